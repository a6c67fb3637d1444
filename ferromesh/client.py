"""asyncio BACnet/IP client: one UDP socket and one sans-IO ``Stack``.

Usage::

    async with Client("0.0.0.0:0") as client:
        result = await client.read_property("192.168.1.20", "analog-value:1", "present-value")
        print(result.value)

All requests of a ``Client`` share its ``Stack``, driven by a ``Host`` on
one non-blocking UDP socket (see ferromesh.host): the stack's clock is the
event loop's, brought up to date before a send when it is more than a
millisecond old and at the earliest deadline the stack asked for. Answers
are matched to requests by the device's whole address (behind a router:
with its network and MAC) and invoke ID, and must name what was asked (the
object, property and array index of a ReadProperty, the objects of a
ReadPropertyMultiple); any other is the answer to an earlier request, and
the request is sent again. A call cancelled or timed out by its caller
takes its request back from the stack: it is never sent again. Names and
addresses given as text are parsed once and cached.

A device is given by address ('192.168.1.20', '10.0.0.1:47808/5:1a' behind a
router, a BacnetAddr) or by device instance (1234 or 'device:1234'): the
client finds an instance with Who-Is to ``discovery`` (every network by
default; through the BBMD when registered as a foreign device with
``bbmd=``) and keeps what its I-Am said (see ferromesh.discovery).
"""

from __future__ import annotations

import asyncio
import datetime
import socket
from typing import Any, AsyncIterator, Callable, Hashable, Iterable, TypeVar

from . import (
    BacnetAddr,
    BacnetError,
    BacnetPropertyError,
    BacnetTimeoutError,
    EventAbort,
    EventBvlcResult,
    EventResponse,
    EventTimeout,
    EventUnconfirmedReceived,
    InputRegisterForeignDevice,
    InputSendUnconfirmed,
    InputUnregisterForeignDevice,
    ObjectIdentifier,
    OutputTransmit,
    PropertyValueArray,
    PropertyValueDate,
    PropertyValueEnumerated,
    PropertyValueTime,
    PropertyWrite,
    ReadAccessSpec,
    ReadPropertyMultipleResult,
    ReadPropertyResult,
    ReadRangeByPosition,
    ReadRangeBySequenceNumber,
    ReadRangeByTime,
    ReadRangeResult,
    ServiceReadProperty,
    ServiceReadPropertyMultiple,
    ServiceReadRange,
    ServiceWhoIs,
    ServiceWriteProperty,
    ServiceWritePropertyMultiple,
    Stack,
    StackConfig,
    UnconfirmedIAm,
    WriteAccessSpec,
    decode_read_property,
    decode_read_property_multiple,
    decode_read_range,
    decode_write_property_multiple_error,
)
from ._enums import ObjectType, PropertyIdentifier
from .discovery import DeviceDirectory, DiscoveredDevice, discovered_device
# Names that lived here before errors, names and values had modules of their
# own; importing them from here keeps working.
from .errors import (
    ABORT_REASONS as ABORT_REASONS,
    REJECT_REASONS as REJECT_REASONS,
    BacnetAbortError,
    BacnetErrorResponse,
    BacnetRejectError,
    BacnetWriteMultipleError,
    ClientClosedError,
    error_from_event,
)
from .names import (
    ALL_DEVICES,
    DEFAULT_PORT,
    GLOBAL_BROADCAST,
    DeviceSpec,
    ObjectSpec,
    PropertySpec,
    address_key,
    enum_member,
    enum_name,
    format_address,
    format_object_id,
    make_read_access_spec,
    object_type_name,
    parse_address,
    parse_device,
    parse_object_id,
    parse_property_id,
    property_name,
)
from .values import to_property_value
from . import polling
from .host import INVOKE_IDS, Host, Peer
from .polling import DEFAULT_MAX_PER_DEVICE, Point, PointResult, PollRound
from .views import LogRecord, log_records

__all__ = [
    "ALL_DEVICES",
    "BacnetAbortError",
    "BacnetErrorResponse",
    "BacnetRejectError",
    "BacnetWriteMultipleError",
    "Client",
    "ClientClosedError",
    "DEFAULT_PORT",
    "DeviceSpec",
    "DiscoveredDevice",
    "GLOBAL_BROADCAST",
    "ObjectSpec",
    "Point",
    "PointResult",
    "PollRound",
    "PropertySpec",
    "enum_name",
    "format_object_id",
    "make_read_access_spec",
    "object_type_name",
    "parse_address",
    "parse_object_id",
    "parse_property_id",
    "property_name",
    "to_property_value",
    "who_is_datagram",
]


def who_is_datagram(low: int | None = None, high: int | None = None, *, broadcast: bool = True) -> bytes:
    """The BACnet/IP Who-Is datagram a Stack sends, optionally limited to device instances low..high.

    Kept for callers that send Who-Is themselves; a Client sends it through its
    own Stack (InputSendUnconfirmed), which broadcasts to addresses ending in .255.
    """
    dest = BacnetAddr(GLOBAL_BROADCAST if broadcast else "127.0.0.1", DEFAULT_PORT)
    for output in Stack().process(InputSendUnconfirmed(ServiceWhoIs(low, high), dest)):
        if isinstance(output, OutputTransmit):
            return bytes(output.data)
    raise BacnetError("the stack sent nothing for Who-Is")


_Service = (ServiceReadProperty | ServiceReadPropertyMultiple | ServiceWriteProperty | ServiceWritePropertyMultiple
            | ServiceReadRange)
_Range = ReadRangeByPosition | ReadRangeBySequenceNumber | ReadRangeByTime
# One write of write_property_multiple: (property, value) or (property, value, priority); the
# property may be (property, array_index).
WriteSpec = PropertyWrite | tuple[PropertySpec, Any] | tuple[PropertySpec, Any, int | None]
# Properties read_all falls back to when a device refuses 'all': the property-list leaves these out.
_ALWAYS_PRESENT = (PropertyIdentifier.OBJECT_IDENTIFIER, PropertyIdentifier.OBJECT_NAME,
                   PropertyIdentifier.OBJECT_TYPE)
# How many single reads read_all keeps in flight towards one device when it falls back.
_FALLBACK_CONCURRENCY = 4
_WHICH_PROPERTIES = {"all": PropertyIdentifier.ALL, "required": PropertyIdentifier.REQUIRED,
                     "optional": PropertyIdentifier.OPTIONAL}
_T = TypeVar("_T")
# A device object of this instance stands for the device that is asked.
_ANY_DEVICE = 4194303


def _same_object(answered: ObjectIdentifier, asked: ObjectIdentifier) -> bool:
    if int(answered.object_type) != int(asked.object_type):
        return False
    return answered.instance == asked.instance or (
        int(asked.object_type) == ObjectType.DEVICE and asked.instance == _ANY_DEVICE)


def _names_what_was_read(result: ReadPropertyResult, asked: ServiceReadProperty) -> bool:
    """A ReadProperty answer names the object, property and array index asked."""
    return (_same_object(result.object_id, asked.object_id) and int(result.property_id) == asked.property_id
            and result.array_index == asked.array_index)


def _lists_the_objects_read(result: ReadPropertyMultipleResult, asked: list[ReadAccessSpec]) -> bool:
    """A ReadPropertyMultiple answer lists the objects asked, in the order asked."""
    return len(result.objects) == len(asked) and all(
        _same_object(answered.object_id, spec.object_id) for answered, spec in zip(result.objects, asked))
# Texts of addresses, objects and properties whose parsed form the client keeps.
_PARSED_CACHE = 4096


class Client:
    """An asyncio BACnet/IP client bound to one local UDP address.

    ``bind`` is 'host:port' ('0.0.0.0:0' picks any port). Bind port 47808
    to hear I-Am answers that devices broadcast. ``config`` tunes the
    stack's timeouts, retries and maximum APDU length.

    Any number of requests may run concurrently, to any number of devices.
    A device gets at most ``max_per_device`` of them at a time (by default
    256, all its invoke IDs); further requests to it wait, first come first
    served across all callers, until an earlier one ends.

    ``bbmd`` ('host[:port]') registers the client with that BBMD as a foreign
    device for ``ttl`` seconds when it starts, and keeps the registration
    alive: broadcasts (Who-Is) then go through the BBMD, which forwards the
    broadcasts of its networks. ``discovery`` is where the Who-Is that finds
    a device given by instance goes (by default every device of every
    network). ``discovery_timeout`` is how long a device given by instance,
    and the BBMD a registration, has to answer (by default the stack's APDU
    timeout times its retries plus one).
    """

    def __init__(self, bind: str = "0.0.0.0:0", *, config: StackConfig | None = None,
                 max_per_device: int | None = None, bbmd: str | BacnetAddr | None = None, ttl: int = 60,
                 discovery: str | BacnetAddr = ALL_DEVICES, discovery_timeout: float | None = None) -> None:
        host, _, port = bind.rpartition(":")
        if not host or not port.isdigit():
            raise ValueError(f"bind must be 'host:port', got {bind!r}")
        if max_per_device is not None and not 1 <= max_per_device <= INVOKE_IDS:
            raise ValueError(f"max_per_device must be 1..{INVOKE_IDS}, got {max_per_device}")
        if not 1 <= ttl <= 65535:
            raise ValueError(f"ttl must be 1..65535 seconds, got {ttl}")
        self._bind = (host, int(port))
        self._bbmd = parse_address(bbmd) if bbmd is not None else None
        self._ttl = ttl
        self._discovery = parse_address(discovery)
        self._config = config if config is not None else StackConfig()
        self._stack = Stack(self._config)
        self._max_per_device = max_per_device if max_per_device is not None else INVOKE_IDS
        self._sock: socket.socket | None = None
        self._host: Host | None = None
        self._closed = False
        # Text -> the address, service or access specification it stands for; see _remember.
        self._parsed: dict[Hashable, Any] = {}
        # Called with None when the client closes.
        self._unconfirmed_listeners: list[Callable[[EventUnconfirmedReceived | None], None]] = []
        # What devices told about themselves in I-Am: address_key -> (max APDU, segmentation).
        self._heard: dict[Peer, tuple[int, int]] = {}
        # Devices that refused ReadPropertyMultiple.
        self._rpm_refused: set[Peer] = set()
        self._devices = DeviceDirectory(self._send_who_is_for)
        if discovery_timeout is None:
            discovery_timeout = self._config.apdu_timeout_secs * (self._config.apdu_retries + 1)
        self._discovery_timeout = discovery_timeout
        # The BBMD's latest BVLC-Result, and who waits for the next one.
        self._registration: int | None = None
        self._registration_waiters: list[asyncio.Future[int]] = []

    # -- life cycle ---------------------------------------------------------

    async def start(self) -> None:
        """Open the UDP socket."""
        if self._host is not None or self._closed:
            raise RuntimeError("a Client can be started once")
        loop = asyncio.get_running_loop()
        infos = await loop.getaddrinfo(*self._bind, family=socket.AF_INET, type=socket.SOCK_DGRAM)
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
            sock.bind(infos[0][4])
        except BaseException:
            sock.close()
            raise
        try:
            # Answers to many concurrent requests arrive in bursts.
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        except OSError:
            pass  # the system's default buffer then has to do
        self._sock = sock
        self._host = Host(sock, self._stack, max_per_device=self._max_per_device,
                          on_unconfirmed=self._on_unconfirmed)
        if self._bbmd is not None:
            try:
                await self._register(self._bbmd)
            except BaseException:
                await self.close()
                raise

    async def _register(self, bbmd: BacnetAddr) -> None:
        """Register with ``bbmd`` and wait for its first answer; the stack renews it from then on."""
        waiter: asyncio.Future[int] = asyncio.get_running_loop().create_future()
        self._registration_waiters.append(waiter)
        self._open().process(InputRegisterForeignDevice(bbmd, self._ttl))
        try:
            result = await asyncio.wait_for(waiter, self._discovery_timeout)
        except TimeoutError:
            raise BacnetTimeoutError(f"the BBMD at {format_address(bbmd)} did not answer the registration") from None
        finally:
            if waiter in self._registration_waiters:
                self._registration_waiters.remove(waiter)
        if result != 0:
            raise BacnetError(f"the BBMD at {format_address(bbmd)} refused the registration (result 0x{result:04x})")

    @property
    def registered(self) -> bool:
        """Registered as a foreign device: the BBMD accepted the latest registration or renewal."""
        return self._bbmd is not None and self._registration == 0

    async def close(self) -> None:
        """Close the socket; requests still running fail with ClientClosedError."""
        if self._closed:
            return
        self._closed = True
        error = ClientClosedError("client closed")
        self._devices.close(error)
        for waiter in self._registration_waiters:
            if not waiter.done():
                waiter.set_exception(error)
        if self._host is not None:
            if self._bbmd is not None:
                self._host.process(InputUnregisterForeignDevice())
            self._host.close(error)
        for listener in list(self._unconfirmed_listeners):
            listener(None)
        if self._sock is not None:
            self._sock.close()

    async def __aenter__(self) -> Client:
        await self.start()
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    @property
    def local_address(self) -> tuple[str, int]:
        """The (host, port) the socket is bound to."""
        self._open()
        assert self._sock is not None
        host, port = self._sock.getsockname()[:2]
        return str(host), int(port)

    # -- requests ------------------------------------------------------------

    async def read_property(self, address: DeviceSpec, object_id: ObjectSpec, property_id: int | str,
                            array_index: int | None = None) -> ReadPropertyResult:
        """Read one property (or one array element); returns the decoded ReadPropertyResult."""
        if isinstance(object_id, str) and isinstance(property_id, (str, int)):
            # Built once per text. The service never leaves the client: sharing it is safe.
            key = (object_id, property_id, array_index)
            service = self._parsed.get(key)
            if service is None:
                service = ServiceReadProperty(parse_object_id(object_id), parse_property_id(property_id), array_index)
                self._remember(key, service)
        else:
            service = ServiceReadProperty(parse_object_id(object_id), parse_property_id(property_id), array_index)

        def answer(payload: bytes) -> ReadPropertyResult | None:
            result = decode_read_property(payload)
            return result if _names_what_was_read(result, service) else None

        return await self._answered(address, service, answer)

    async def read_property_multiple(self, address: DeviceSpec,
                                     specs: Iterable[ReadAccessSpec | tuple[ObjectSpec, Iterable[PropertySpec]]],
                                     ) -> ReadPropertyMultipleResult:
        """Read several properties of several objects in one request.

        ``specs`` holds ReadAccessSpec objects or (object, properties) pairs,
        e.g. ``[("analog-value:1", ["object-name", "present-value"])]``; a
        property may be (property, array_index). A property the device cannot
        read comes back as a BacnetPropertyError inside the result.
        """
        access_specs = self._access_specs(specs)
        service = ServiceReadPropertyMultiple(access_specs)

        def answer(payload: bytes) -> ReadPropertyMultipleResult | None:
            result = decode_read_property_multiple(payload)
            return result if _lists_the_objects_read(result, access_specs) else None

        return await self._answered(address, service, answer)

    async def write_property(self, address: DeviceSpec, object_id: ObjectSpec, property_id: int | str,
                             value: Any, array_index: int | None = None, priority: int | None = None) -> None:
        """Write one property; ``priority`` 1..16 for commandable objects. See to_property_value."""
        if priority is not None and not 1 <= priority <= 16:
            raise ValueError(f"priority must be 1..16, got {priority}")
        service = ServiceWriteProperty(parse_object_id(object_id), parse_property_id(property_id),
                                       to_property_value(value), array_index, priority)
        await self._confirmed(address, service)

    async def write_property_multiple(
            self, address: DeviceSpec,
            writes: Iterable[WriteAccessSpec | tuple[ObjectSpec, Iterable[WriteSpec]]]) -> None:
        """Write several properties of several objects in one request.

        ``writes`` holds WriteAccessSpec objects or (object, writes) pairs,
        e.g. ``[("analog-value:1", [("present-value", 21.5, 8), ("description", "hall")])]``;
        values as for write_property. When the device refuses a write it
        stops there and this raises BacnetWriteMultipleError naming that
        write's object, property and array index (the writes before it took
        effect).
        """
        specs = [w if isinstance(w, WriteAccessSpec) else _write_access_spec(*w) for w in writes]
        try:
            await self._confirmed(address, ServiceWritePropertyMultiple(specs))
        except BacnetErrorResponse as refused:
            try:
                error = decode_write_property_multiple_error(refused.payload)
            except BacnetError:
                raise refused from None  # an Error without the failed write
            raise BacnetWriteMultipleError(error, refused.payload) from None

    async def read_range(self, address: DeviceSpec, object_id: ObjectSpec, property_id: int | str,
                         range: _Range | None = None, array_index: int | None = None) -> ReadRangeResult:
        """Read part of a list property (a trend log's log-buffer): by position, sequence number or time.

        ``range`` is a ReadRangeByPosition, ReadRangeBySequenceNumber or
        ReadRangeByTime; None reads the whole list. The result's ``items``
        hold the elements of the records; ``views.log_records`` makes them
        typed records. See also trend_log_records.
        """
        service = ServiceReadRange(parse_object_id(object_id), parse_property_id(property_id), array_index, range)

        def named(payload: bytes) -> ReadRangeResult | None:
            result = decode_read_range(payload)
            asked = _same_object(result.object_id, service.object_id) and int(result.property_id) == \
                service.property_id and result.array_index == service.array_index
            return result if asked else None

        return await self._answered(address, service, named)

    async def trend_log_records(self, address: DeviceSpec, object_id: ObjectSpec, *,
                                since: datetime.datetime | None = None, page_size: int = 100,
                                ) -> AsyncIterator[LogRecord]:
        """The records of a trend log's log-buffer, oldest first, read page by page with ReadRange.

        ``since`` starts after that local time instead of at the oldest
        record. Reading ends with the page that holds the buffer's last
        record. Pages follow each other by sequence number where the device
        reports them (records that roll out of the buffer meanwhile are
        then skipped, never repeated), else by position or time. A page
        holds at most ``page_size`` records; devices may send fewer.
        """
        if not 0 < page_size < 1 << 15:
            raise ValueError(f"page_size must be 1..32767, got {page_size}")
        rng: _Range
        if since is None:
            rng = ReadRangeByPosition(1, page_size)
        else:
            rng = ReadRangeByTime(_date_of(since), _time_of(since), page_size)
        while True:
            page = await self.read_range(address, object_id, PropertyIdentifier.LOG_BUFFER, rng)
            records = log_records(page.items)
            for record in records:
                yield record
            # Forwards, the page that holds the list's last item is the last one.
            if page.last_item or page.item_count == 0 or not records:
                return
            if page.first_sequence_number is not None:
                rng = ReadRangeBySequenceNumber(page.first_sequence_number + page.item_count, page_size)
            elif isinstance(rng, ReadRangeByPosition):
                rng = ReadRangeByPosition(rng.reference_index + page.item_count, page_size)
            else:
                last = records[-1].timestamp
                if not isinstance(last, datetime.datetime):
                    raise BacnetError("cannot page on by time: the last record's time stamp is not fully specified")
                rng = ReadRangeByTime(_date_of(last), _time_of(last), page_size)

    async def read_all(self, address: DeviceSpec, object_id: ObjectSpec, which: str = "all",
                       ) -> dict[PropertyIdentifier | int, Any]:
        """Every property of an object: property -> value (a PropertyValue* object, or BacnetPropertyError).

        ``which`` is 'all', 'required' or 'optional', read with
        ReadPropertyMultiple. A device that refuses 'all' (no
        ReadPropertyMultiple, no 'all', or an answer too large to segment)
        is read one property at a time: the object's identifier, name and
        type and everything in its property-list. ``views.view`` turns the
        values into typed views.
        """
        if which not in _WHICH_PROPERTIES:
            raise ValueError(f"which must be 'all', 'required' or 'optional', got {which!r}")
        oid = parse_object_id(object_id)
        try:
            result = await self.read_property_multiple(address, [ReadAccessSpec(oid, [(_WHICH_PROPERTIES[which],
                                                                                      None)])])
        except (BacnetErrorResponse, BacnetRejectError, BacnetAbortError):
            if which != "all":
                raise
            return await self._read_all_one_by_one(address, oid)
        values: dict[PropertyIdentifier | int, Any] = {}
        for obj in result.objects:
            for prop in obj.properties:
                values[prop.property_id] = prop.value
        return values

    async def _read_all_one_by_one(self, address: DeviceSpec, oid: ObjectIdentifier,
                                   ) -> dict[PropertyIdentifier | int, Any]:
        listed = (await self.read_property(address, oid, PropertyIdentifier.PROPERTY_LIST)).value
        numbers = listed.values if isinstance(listed, PropertyValueArray) else [listed]
        properties: list[int] = list(_ALWAYS_PRESENT)
        for number in numbers:
            if isinstance(number, PropertyValueEnumerated) and number.value not in properties:
                properties.append(number.value)
        gate = asyncio.Semaphore(_FALLBACK_CONCURRENCY)

        async def read_one(prop: int) -> tuple[PropertyIdentifier | int, Any]:
            async with gate:
                try:
                    result = await self.read_property(address, oid, prop)
                except BacnetErrorResponse as refused:
                    return enum_member(PropertyIdentifier, prop), BacnetPropertyError(
                        int(refused.error_class), int(refused.error_code))
                return result.property_id, result.value

        return dict(await asyncio.gather(*(read_one(prop) for prop in properties)))

    async def read_many(self, points: Iterable[Point | tuple[Any, ...]], *,
                        max_per_device: int = DEFAULT_MAX_PER_DEVICE) -> list[PointResult]:
        """Read many points, each (device, object, property) or (device, object, property, array_index).

        The points of each device are packed into ReadPropertyMultiple
        requests that fit what the device accepts (its I-Am, when the client
        heard one, and ``config.max_apdu_length``); a device that refuses
        ReadPropertyMultiple is read with ReadProperty. Devices are read
        concurrently, each with at most ``max_per_device`` of these requests
        in flight. Returns one PointResult per point, in the order given,
        with the value or the error of that point: one failure does not fail
        the others.
        """
        polling.check_options(max_per_device)
        return await polling.read_planned(self, polling.plan(points), max_per_device)

    def poll(self, points: Iterable[Point | tuple[Any, ...]], interval: float, *,
             max_per_device: int = DEFAULT_MAX_PER_DEVICE) -> AsyncIterator[PollRound]:
        """Read ``points`` every ``interval`` seconds, as ``read_many`` does; yields one PollRound per round.

        Rounds start on a fixed schedule. A round that takes longer than the
        interval is reported (``overran``); the rounds that could not start
        on time are skipped and counted (``missed``), never run back to back
        to catch up.
        """
        polling.check_options(max_per_device, interval)
        return polling.poll(self, points, interval, max_per_device)

    async def who_is(self, address: str | BacnetAddr | None = None, low: int | None = None,
                     high: int | None = None, *, timeout: float = 3.0,
                     expect: int | None = None) -> list[DiscoveredDevice]:
        """Send Who-Is and collect the I-Am answers for ``timeout`` seconds.

        ``address`` may be a device (unicast), a broadcast address ending in
        .255 (sent as a broadcast; through the BBMD when registered), or
        'host[:port]/network' for every device of one network behind a
        router; by default it is ``discovery``, every device of every
        network. Devices behind routers come with their whole address
        ('host:port/network:mac'). ``low``/``high`` limit the device
        instances asked for. Returns early once ``expect`` devices answered.
        """
        host = self._open()
        dest = self._discovery if address is None else parse_address(address)
        request = InputSendUnconfirmed(ServiceWhoIs(low, high), dest)
        found: dict[tuple[str, int], DiscoveredDevice] = {}
        enough: asyncio.Future[None] = asyncio.get_running_loop().create_future()

        def on_unconfirmed(event: EventUnconfirmedReceived | None) -> None:
            if event is None:  # the client is closing
                if not enough.done():
                    enough.set_result(None)
                return
            message = event.message
            if not isinstance(message, UnconfirmedIAm):
                return
            instance = message.device_id.instance
            if low is not None and high is not None and not low <= instance <= high:
                return  # an answer to someone else's Who-Is
            device = discovered_device(event.src, message)
            found.setdefault((device.address, instance), device)
            if expect is not None and len(found) >= expect and not enough.done():
                enough.set_result(None)

        self._unconfirmed_listeners.append(on_unconfirmed)
        try:
            host.process(request)
            await asyncio.wait([enough], timeout=timeout)
        finally:
            self._unconfirmed_listeners.remove(on_unconfirmed)
            if not enough.done():
                enough.cancel()
        self._open()
        return list(found.values())

    async def find_device(self, instance: int) -> DiscoveredDevice:
        """The device with this instance: as its latest I-Am described it, or found with Who-Is.

        Raises BacnetTimeoutError when no device answers within ``discovery_timeout``.
        """
        self._open()
        return await self._devices.find(instance, self._discovery_timeout)

    # -- the engine round trip ----------------------------------------------

    def _open(self) -> Host:
        if self._closed:
            raise ClientClosedError("client closed")
        if self._host is None:
            raise RuntimeError("Client not started: use 'async with Client(...)' or 'await client.start()'")
        return self._host

    # Requests name things by text on every call; what a text stands for is
    # built once and kept here. These objects never leave the client (only
    # the stack reads them), so sharing them between calls is safe.

    def _remember(self, key: Hashable, value: Any) -> None:
        if len(self._parsed) >= _PARSED_CACHE:
            self._parsed.clear()
        self._parsed[key] = value

    def _destination(self, address: DeviceSpec) -> BacnetAddr | int:
        if isinstance(address, str):
            dest = self._parsed.get(address)
            if dest is None:
                dest = parse_device(address)
                self._remember(address, dest)
            return dest
        return parse_device(address)

    def _access_specs(self, specs: Iterable[ReadAccessSpec | tuple[ObjectSpec, Iterable[PropertySpec]]],
                      ) -> list[ReadAccessSpec]:
        cache = self._parsed
        access_specs = []
        for spec in specs:
            if isinstance(spec, ReadAccessSpec):
                access_specs.append(spec)
                continue
            object_id, properties = spec
            key: Hashable = None
            if isinstance(object_id, str) and isinstance(properties, (list, tuple)):
                key = (object_id, *properties)
                try:
                    access_spec = cache.get(key)
                except TypeError:  # a property given in an unhashable form
                    key = access_spec = None
                if access_spec is not None:
                    access_specs.append(access_spec)
                    continue
            access_spec = make_read_access_spec(object_id, properties)
            if key is not None:
                self._remember(key, access_spec)
            access_specs.append(access_spec)
        return access_specs

    async def _confirmed(self, address: DeviceSpec, service: _Service) -> bytes:
        """Send a request and wait for its answer's payload; raise what ended it otherwise."""
        return await self._answered(address, service, lambda payload: payload)

    async def _answered(self, address: DeviceSpec, service: _Service, answer: Callable[[bytes], _T | None]) -> _T:
        """Send a request and return ``answer(payload)`` of its answer; raise what ended it otherwise."""
        dest = self._destination(address)
        if isinstance(dest, int):
            return await self._answered_by_instance(dest, service, answer)
        return await self._answered_at(dest, service, answer)

    async def _answered_by_instance(self, instance: int, service: _Service,
                                    answer: Callable[[bytes], _T | None]) -> _T:
        """To the device's address as last heard. When it does not answer there the device may have
        moved: it is looked for again, and asked once more if it answers from elsewhere now."""
        device = await self.find_device(instance)
        try:
            return await self._answered_at(device.bacnet_addr, service, answer)
        except BacnetTimeoutError:
            self._devices.forget(instance, device.address)
            try:
                moved = await self.find_device(instance)
            except BacnetTimeoutError:
                moved = device
            if moved.address == device.address:
                raise
        return await self._answered_at(moved.bacnet_addr, service, answer)

    async def _answered_at(self, dest: BacnetAddr, service: _Service, answer: Callable[[bytes], _T | None]) -> _T:
        """``answer`` gives None for an answer that names something other than
        what was asked: the answer to an earlier request under the same
        invoke ID, which a late or caching device sends. That is no result:
        the request is sent again, under a new invoke ID, as often as the
        stack re-sends an unanswered one.
        """
        host = self._open()
        for _ in range(1 + self._config.apdu_retries):
            request = host.request(dest, service)
            try:
                event = await request.future
            except asyncio.CancelledError:
                # Cancelled, or timed out by the caller: the stack must not send it later.
                host.cancel(request)
                raise
            if isinstance(event, EventResponse):
                result = answer(event.payload_bytes)
                if result is not None:
                    return result
                continue
            if isinstance(event, EventTimeout):
                raise BacnetTimeoutError(f"no answer from {format_address(event.peer)}")
            if isinstance(event, EventAbort):
                raise BacnetAbortError(event.reason)
            raise error_from_event(event)
        raise BacnetError(f"{format_address(dest)} answered only with the results of other requests")

    def _send_who_is_for(self, instance: int) -> None:
        if not self._closed and self._host is not None:
            self._host.process(InputSendUnconfirmed(ServiceWhoIs(instance, instance), self._discovery))

    def _on_unconfirmed(self, event: EventUnconfirmedReceived | EventBvlcResult) -> None:
        if isinstance(event, EventBvlcResult):
            self._on_bvlc_result(event)
            return
        message = event.message
        if isinstance(message, UnconfirmedIAm):
            src = event.src
            self._heard[address_key(src)] = (message.max_apdu, message.segmentation)
            self._devices.heard(discovered_device(src, message))
        for listener in list(self._unconfirmed_listeners):
            listener(event)

    def _on_bvlc_result(self, event: EventBvlcResult) -> None:
        bbmd = self._bbmd
        src = event.src
        if bbmd is None or (src.addr, src.port) != (bbmd.addr, bbmd.port):
            return
        self._registration = event.result
        waiters, self._registration_waiters = self._registration_waiters, []
        for waiter in waiters:
            if not waiter.done():
                waiter.set_result(event.result)

    # What read_many and poll need to know about a device.

    def _apdu_limit(self, peer: Peer) -> int:
        heard = self._heard.get(peer)
        own = int(self._config.max_apdu_length)
        return min(own, heard[0]) if heard is not None else own

    def _refuses_rpm(self, peer: Peer) -> bool:
        return peer in self._rpm_refused

    def _note_rpm_refused(self, peer: Peer) -> None:
        self._rpm_refused.add(peer)


def _write_access_spec(object_id: ObjectSpec, writes: Iterable[WriteSpec]) -> WriteAccessSpec:
    properties = []
    for write in writes:
        if isinstance(write, PropertyWrite):
            properties.append(write)
            continue
        if len(write) == 2:
            prop, value = write
            priority = None
        else:
            prop, value, priority = write
        if priority is not None and not 1 <= priority <= 16:
            raise ValueError(f"priority must be 1..16, got {priority}")
        prop, index = prop if isinstance(prop, tuple) else (prop, None)
        properties.append(PropertyWrite(parse_property_id(prop), to_property_value(value), index, priority))
    return WriteAccessSpec(parse_object_id(object_id), properties)


def _date_of(moment: datetime.datetime) -> PropertyValueDate:
    return PropertyValueDate(moment.year, moment.month, moment.day, moment.weekday())


def _time_of(moment: datetime.datetime) -> PropertyValueTime:
    return PropertyValueTime(moment.hour, moment.minute, moment.second, moment.microsecond // 10000)
