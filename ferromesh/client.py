"""asyncio BACnet/IP client: one UDP socket and one sans-IO ``Stack``.

Usage::

    async with Client("0.0.0.0:0") as client:
        result = await client.read_property("192.168.1.20", "analog-value:1", "present-value")
        print(result.value)

All requests of a ``Client`` share its ``Stack``. The client ticks the stack
with the event loop's monotonic clock right before every send (so that a
request's deadline counts from its real send time) and again at the earliest
deadline the stack asked for. Answers are matched to requests by the
device's address, port and invoke ID.
"""

from __future__ import annotations

import asyncio
import ipaddress
import math
import re
import socket
from collections import deque
from dataclasses import dataclass
from enum import IntEnum
from typing import Any, Callable, Iterable, NamedTuple

from . import (
    BacnetAddr,
    BacnetError,
    BacnetTimeoutError,
    EventAbort,
    EventError,
    EventResponse,
    EventTimeout,
    EventUnconfirmedReceived,
    InputReceived,
    InputSend,
    InputTick,
    InvokeIdExhaustedError,
    ObjectIdentifier,
    OutputDeadline,
    OutputEvent,
    OutputTransmit,
    PropertyValueAny,
    PropertyValueArray,
    PropertyValueBitString,
    PropertyValueBoolean,
    PropertyValueCharacterString,
    PropertyValueDate,
    PropertyValueDouble,
    PropertyValueEnumerated,
    PropertyValueNull,
    PropertyValueOctetString,
    PropertyValueReal,
    PropertyValueSigned,
    PropertyValueTime,
    PropertyValueUnsigned,
    ReadAccessSpec,
    ReadPropertyMultipleResult,
    ReadPropertyResult,
    ServiceReadProperty,
    ServiceReadPropertyMultiple,
    ServiceWriteProperty,
    Stack,
    StackConfig,
    UnconfirmedIAm,
    decode_read_property,
    decode_read_property_multiple,
)
from ._enums import ErrorClass, ErrorCode, ObjectType, PropertyIdentifier

DEFAULT_PORT = 47808
GLOBAL_BROADCAST = "255.255.255.255"

__all__ = [
    "BacnetAbortError",
    "BacnetErrorResponse",
    "BacnetRejectError",
    "Client",
    "ClientClosedError",
    "DEFAULT_PORT",
    "DiscoveredDevice",
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

# ---------------------------------------------------------------------------
# Errors


def _member(enum: type[IntEnum], number: int) -> int:
    try:
        return enum(number)
    except ValueError:
        return number


def enum_name(value: int) -> str:
    """'unknown-property' for an enumeration member, the decimal number otherwise."""
    name = getattr(value, "name", None)
    return name.lower().replace("_", "-") if isinstance(name, str) else str(int(value))


REJECT_REASONS = (
    "other", "buffer-overflow", "inconsistent-parameters", "invalid-parameter-data-type",
    "invalid-tag", "missing-required-parameter", "parameter-out-of-range", "too-many-arguments",
    "undefined-enumeration", "unrecognized-service",
)
ABORT_REASONS = (
    "other", "buffer-overflow", "invalid-apdu-in-this-state", "preempted-by-higher-priority-task",
    "segmentation-not-supported",
    # The stack also reports 5 when it gives up reassembling a segmented answer.
    "security-error or abandoned segmented answer",
    "insufficient-security", "window-size-out-of-range", "application-exceeded-reply-time",
    "out-of-resources", "tsm-timeout", "apdu-too-long",
)


def _reason_text(reason: int, names: tuple[str, ...]) -> str:
    return f"{reason} ({names[reason]})" if reason < len(names) else str(reason)


class BacnetErrorResponse(BacnetError):
    """The device answered with a BACnet Error PDU.

    ``error_class`` and ``error_code`` are ``ErrorClass`` / ``ErrorCode``
    members when the numbers are known, plain ints otherwise; both compare
    equal to the numbers on the wire.
    """

    def __init__(self, error_class: int, error_code: int) -> None:
        self.error_class = _member(ErrorClass, error_class)
        self.error_code = _member(ErrorCode, error_code)
        super().__init__(
            f"device answered with error class {enum_name(self.error_class)} ({error_class}),"
            f" code {enum_name(self.error_code)} ({error_code})"
        )


class BacnetRejectError(BacnetError):
    """The device rejected the request (Reject PDU); ``reason`` is the reject reason."""

    def __init__(self, reason: int) -> None:
        self.reason = reason
        super().__init__(f"device rejected the request: reason {_reason_text(reason, REJECT_REASONS)}")


class BacnetAbortError(BacnetError):
    """The transaction was aborted (Abort PDU, or a segmented answer given up); ``reason`` is the abort reason."""

    def __init__(self, reason: int) -> None:
        self.reason = reason
        super().__init__(f"request aborted: reason {_reason_text(reason, ABORT_REASONS)}")


class ClientClosedError(BacnetError):
    """The client was closed before the request finished."""


_ERROR_MESSAGE = re.compile(r"error class=(\d+) code=(\d+)")
_REJECT_MESSAGE = re.compile(r"reject reason=(\d+)")


def _error_from_event(message: str) -> BacnetError:
    if m := _ERROR_MESSAGE.fullmatch(message):
        return BacnetErrorResponse(int(m.group(1)), int(m.group(2)))
    if m := _REJECT_MESSAGE.fullmatch(message):
        return BacnetRejectError(int(m.group(1)))
    return BacnetError(message)  # a local refusal, e.g. a request too large to segment


# ---------------------------------------------------------------------------
# Names, numbers and addresses


def parse_address(address: str | BacnetAddr) -> BacnetAddr:
    """'host' or 'host:port' (dotted IPv4, default port 47808) as a BacnetAddr."""
    if isinstance(address, BacnetAddr):
        address = f"{address.addr}:{address.port}"
    if not isinstance(address, str):
        raise TypeError(f"address must be a str like '192.168.1.20:47808', not {type(address).__name__}")
    host, sep, port_text = address.strip().partition(":")
    try:
        host = str(ipaddress.IPv4Address(host))
    except ValueError:
        raise ValueError(f"not an IPv4 address: {address!r}") from None
    port = DEFAULT_PORT
    if sep:
        if not port_text.isdigit() or not 0 < int(port_text) < 65536:
            raise ValueError(f"not a UDP port: {address!r}")
        port = int(port_text)
    return BacnetAddr(host, port)


def _enum_lookup(enum: type[IntEnum], text: str) -> int:
    text = text.strip()
    if text.isdigit():
        return int(text)
    # Accept 'analog-value', 'ANALOG_VALUE' and 'analogValue'.
    key = re.sub(r"(?<=[a-z0-9])(?=[A-Z])", "_", text).upper().replace("-", "_")
    try:
        return enum[key]
    except KeyError:
        raise ValueError(f"unknown {enum.__name__} name: {text!r}") from None


# An object as the requests accept it; see parse_object_id.
ObjectSpec = ObjectIdentifier | str | tuple[int | str, int]


def parse_object_id(value: ObjectSpec) -> ObjectIdentifier:
    """An ObjectIdentifier from 'analog-value:1', '2:1', (ObjectType.ANALOG_VALUE, 1) or ('analog-value', 1)."""
    if isinstance(value, ObjectIdentifier):
        return value
    if isinstance(value, str):
        type_text, sep, instance_text = value.rpartition(":")
        if not sep or not instance_text.strip().isdigit():
            raise ValueError(f"expected OBJECT-TYPE:INSTANCE, got {value!r}")
        value = (type_text, int(instance_text))
    kind, instance = value
    number = _enum_lookup(ObjectType, kind) if isinstance(kind, str) else int(kind)
    if not 0 <= number < 1024:
        raise ValueError(f"object type {number} is outside 0..1023")
    if not 0 <= instance < 1 << 22:
        raise ValueError(f"object instance {instance} is outside 0..4194303")
    return ObjectIdentifier(number, instance)


def parse_property_id(value: int | str) -> int:
    """A property number from 85, PropertyIdentifier.PRESENT_VALUE, '85' or 'present-value'."""
    number = _enum_lookup(PropertyIdentifier, value) if isinstance(value, str) else int(value)
    if not 0 <= number < 1 << 32:
        raise ValueError(f"property identifier {number} is outside 0..4294967295")
    return number


def object_type_name(object_type: int) -> str:
    return enum_name(_member(ObjectType, int(object_type)))


def property_name(property_id: int) -> str:
    return enum_name(_member(PropertyIdentifier, int(property_id)))


def format_object_id(object_id: ObjectIdentifier) -> str:
    """'analog-value:1'; the inverse of parse_object_id."""
    return f"{object_type_name(object_id.object_type)}:{object_id.instance}"


_VALUE_CLASSES = (
    PropertyValueNull, PropertyValueBoolean, PropertyValueUnsigned, PropertyValueSigned,
    PropertyValueReal, PropertyValueDouble, PropertyValueOctetString, PropertyValueCharacterString,
    PropertyValueBitString, PropertyValueEnumerated, PropertyValueDate, PropertyValueTime,
    PropertyValueAny, ObjectIdentifier,
)


def to_property_value(value: Any) -> Any:
    """A value to write: PropertyValue* objects pass unchanged; None, bool, int, float and str are converted.

    int becomes Unsigned (Signed when negative) and float becomes Real; pass a
    PropertyValueEnumerated or PropertyValueDouble explicitly where a device
    expects those.
    """
    if isinstance(value, _VALUE_CLASSES):
        return value
    if isinstance(value, PropertyValueArray):
        raise TypeError("a decoded PropertyValueArray cannot be written")
    if value is None:
        return PropertyValueNull()
    if isinstance(value, bool):
        return PropertyValueBoolean(value)
    if isinstance(value, int):
        return PropertyValueUnsigned(value) if value >= 0 else PropertyValueSigned(value)
    if isinstance(value, float):
        return PropertyValueReal(value)
    if isinstance(value, str):
        return PropertyValueCharacterString(value)
    raise TypeError(f"cannot write a {type(value).__name__}; pass a PropertyValue* object")


PropertySpec = int | str | tuple[int | str, int | None]


def make_read_access_spec(object_id: ObjectSpec, properties: Iterable[PropertySpec]) -> ReadAccessSpec:
    """A ReadAccessSpec from an object and properties given as names, numbers or (property, array_index)."""
    refs: list[tuple[int, int | None]] = []
    for prop in properties:
        prop, index = prop if isinstance(prop, tuple) else (prop, None)
        refs.append((parse_property_id(prop), index))
    return ReadAccessSpec(parse_object_id(object_id), refs)


def who_is_datagram(low: int | None = None, high: int | None = None, *, broadcast: bool = True) -> bytes:
    """The complete BACnet/IP Who-Is datagram, optionally limited to device instances low..high."""
    apdu = bytearray([0x10, 0x08])  # Unconfirmed-Request, Who-Is
    if low is not None and high is not None:
        if not 0 <= low <= high < 1 << 22:
            raise ValueError("device instance limits must satisfy 0 <= low <= high <= 4194303")
        for tag, limit in ((0, low), (1, high)):
            content = limit.to_bytes(max(1, (limit.bit_length() + 7) // 8), "big")
            apdu += bytes([tag << 4 | 0x08 | len(content)]) + content
    elif low is not None or high is not None:
        raise ValueError("give both low and high limits, or neither")
    npdu = bytes([0x01, 0x00]) + apdu  # no reply expected
    length = 4 + len(npdu)
    return bytes([0x81, 0x0B if broadcast else 0x0A, length >> 8, length & 0xFF]) + npdu


def _is_broadcast(addr: str) -> bool:
    # The global broadcast or a directed broadcast of a /24 (or wider) network.
    return addr.endswith(".255")


@dataclass(frozen=True)
class DiscoveredDevice:
    """A device that answered Who-Is with I-Am."""

    address: str  # 'host:port', usable as the address of a request
    device_id: ObjectIdentifier
    max_apdu: int
    segmentation: int  # 0 both, 1 transmit, 2 receive, 3 none
    vendor_id: int

    @property
    def instance(self) -> int:
        return self.device_id.instance


# ---------------------------------------------------------------------------
# The client


class _Protocol(asyncio.DatagramProtocol):
    def __init__(self, client: Client) -> None:
        self._client = client
        self.closed: asyncio.Future[None] = asyncio.get_running_loop().create_future()

    def datagram_received(self, data: bytes, addr: tuple[str, int]) -> None:
        self._client._on_datagram(data, addr)

    def error_received(self, exc: Exception) -> None:
        # ICMP errors (e.g. port unreachable) end nothing: the stack's timeout reports the silence.
        pass

    def connection_lost(self, exc: Exception | None) -> None:
        if not self.closed.done():
            self.closed.set_result(None)


class _Endpoint(NamedTuple):
    """What a started Client runs on."""

    loop: asyncio.AbstractEventLoop
    transport: asyncio.DatagramTransport
    protocol: _Protocol


_Service = ServiceReadProperty | ServiceReadPropertyMultiple | ServiceWriteProperty
_Output = OutputTransmit | OutputEvent | OutputDeadline
_Event = EventResponse | EventTimeout | EventAbort | EventError | EventUnconfirmedReceived


class Client:
    """An asyncio BACnet/IP client bound to one local UDP address.

    ``bind`` is 'host:port' ('0.0.0.0:0' picks any port). Bind port 47808
    to hear I-Am answers that devices broadcast. ``config`` tunes the
    stack's timeouts, retries and maximum APDU length.

    Any number of requests may run concurrently, to any number of devices.
    When all 256 invoke IDs towards one device are in use, further requests
    to it wait, in order, until an ID is free.
    """

    def __init__(self, bind: str = "0.0.0.0:0", *, config: StackConfig | None = None) -> None:
        host, _, port = bind.rpartition(":")
        if not host or not port.isdigit():
            raise ValueError(f"bind must be 'host:port', got {bind!r}")
        self._bind = (host, int(port))
        self._config = config if config is not None else StackConfig()
        self._stack = Stack(self._config)
        self._endpoint: _Endpoint | None = None
        self._closed = False
        # (device address, port, invoke ID) -> the future of the request waiting for it
        self._pending: dict[tuple[str, int, int], asyncio.Future[list[int]]] = {}
        # (device address, port) -> requests waiting for a free invoke ID, oldest first
        self._id_waiters: dict[tuple[str, int], deque[asyncio.Future[None]]] = {}
        # Called with None when the client closes.
        self._unconfirmed_listeners: list[Callable[[EventUnconfirmedReceived | None], None]] = []
        self._deadline = math.inf
        self._deadline_timer: asyncio.TimerHandle | None = None

    # -- life cycle ---------------------------------------------------------

    async def start(self) -> None:
        """Open the UDP socket."""
        if self._endpoint is not None or self._closed:
            raise RuntimeError("a Client can be started once")
        loop = asyncio.get_running_loop()
        transport, protocol = await loop.create_datagram_endpoint(
            lambda: _Protocol(self), local_addr=self._bind, allow_broadcast=True)
        self._endpoint = _Endpoint(loop, transport, protocol)
        try:
            # Answers to many concurrent requests arrive in bursts.
            transport.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        except OSError:
            pass  # the system's default buffer then has to do

    async def close(self) -> None:
        """Close the socket; requests still running fail with ClientClosedError."""
        if self._closed:
            return
        self._closed = True
        if self._deadline_timer is not None:
            self._deadline_timer.cancel()
            self._deadline_timer = None
        unfinished: list[asyncio.Future[list[int]] | asyncio.Future[None]] = [
            *self._pending.values(), *(w for q in self._id_waiters.values() for w in q)]
        for future in unfinished:
            if not future.done():
                future.set_exception(ClientClosedError("client closed"))
        self._pending.clear()
        self._id_waiters.clear()
        for listener in list(self._unconfirmed_listeners):
            listener(None)
        if self._endpoint is not None:
            self._endpoint.transport.close()
            await self._endpoint.protocol.closed

    async def __aenter__(self) -> Client:
        await self.start()
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    @property
    def local_address(self) -> tuple[str, int]:
        """The (host, port) the socket is bound to."""
        host, port = self._open().transport.get_extra_info("sockname")[:2]
        return str(host), int(port)

    # -- requests ------------------------------------------------------------

    async def read_property(self, address: str | BacnetAddr, object_id: ObjectSpec, property_id: int | str,
                            array_index: int | None = None) -> ReadPropertyResult:
        """Read one property (or one array element); returns the decoded ReadPropertyResult."""
        service = ServiceReadProperty(parse_object_id(object_id), parse_property_id(property_id), array_index)
        return decode_read_property(await self._confirmed(address, service))

    async def read_property_multiple(self, address: str | BacnetAddr,
                                     specs: Iterable[ReadAccessSpec | tuple[ObjectSpec, Iterable[PropertySpec]]],
                                     ) -> ReadPropertyMultipleResult:
        """Read several properties of several objects in one request.

        ``specs`` holds ReadAccessSpec objects or (object, properties) pairs,
        e.g. ``[("analog-value:1", ["object-name", "present-value"])]``; a
        property may be (property, array_index). A property the device cannot
        read comes back as a BacnetPropertyError inside the result.
        """
        access_specs = [s if isinstance(s, ReadAccessSpec) else make_read_access_spec(*s) for s in specs]
        service = ServiceReadPropertyMultiple(access_specs)
        return decode_read_property_multiple(await self._confirmed(address, service))

    async def write_property(self, address: str | BacnetAddr, object_id: ObjectSpec, property_id: int | str,
                             value: Any, array_index: int | None = None, priority: int | None = None) -> None:
        """Write one property; ``priority`` 1..16 for commandable objects. See to_property_value."""
        if priority is not None and not 1 <= priority <= 16:
            raise ValueError(f"priority must be 1..16, got {priority}")
        service = ServiceWriteProperty(parse_object_id(object_id), parse_property_id(property_id),
                                       to_property_value(value), array_index, priority)
        await self._confirmed(address, service)

    async def who_is(self, address: str | BacnetAddr = GLOBAL_BROADCAST, low: int | None = None,
                     high: int | None = None, *, timeout: float = 3.0,
                     expect: int | None = None) -> list[DiscoveredDevice]:
        """Send Who-Is and collect the I-Am answers for ``timeout`` seconds.

        ``address`` may be a device (unicast) or a broadcast address ending in
        .255 (sent as a broadcast). ``low``/``high`` limit the device
        instances asked for. Returns early once ``expect`` devices answered.
        """
        endpoint = self._open()
        dest = parse_address(address)
        datagram = who_is_datagram(low, high, broadcast=_is_broadcast(dest.addr))
        found: dict[tuple[str, int], DiscoveredDevice] = {}
        enough: asyncio.Future[None] = endpoint.loop.create_future()

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
            src = event.src
            found.setdefault((f"{src.addr}:{src.port}", instance), DiscoveredDevice(
                f"{src.addr}:{src.port}", message.device_id, message.max_apdu,
                message.segmentation, message.vendor_id))
            if expect is not None and len(found) >= expect and not enough.done():
                enough.set_result(None)

        self._unconfirmed_listeners.append(on_unconfirmed)
        try:
            endpoint.transport.sendto(datagram, (dest.addr, dest.port))
            await asyncio.wait([enough], timeout=timeout)
        finally:
            self._unconfirmed_listeners.remove(on_unconfirmed)
            if not enough.done():
                enough.cancel()
        self._open()
        return list(found.values())

    # -- the engine round trip ----------------------------------------------

    def _open(self) -> _Endpoint:
        if self._closed:
            raise ClientClosedError("client closed")
        return self._started()

    def _started(self) -> _Endpoint:
        if self._endpoint is None:
            raise RuntimeError("Client not started: use 'async with Client(...)' or 'await client.start()'")
        return self._endpoint

    async def _confirmed(self, address: str | BacnetAddr, service: _Service) -> list[int]:
        endpoint = self._open()
        dest = parse_address(address)
        peer = (dest.addr, dest.port)
        if self._id_waiters.get(peer):
            await self._wait_for_invoke_id(peer, front=False)  # keep the order of waiting requests
        while True:
            self._tick()
            try:
                outputs = self._stack.process(InputSend(service, dest))
                break
            except InvokeIdExhaustedError:
                await self._wait_for_invoke_id(peer, front=True)
        invoke_id = _sent_invoke_id(outputs)
        future: asyncio.Future[list[int]] = endpoint.loop.create_future()
        key = (dest.addr, dest.port, invoke_id)
        self._pending[key] = future
        self._wake_id_waiter(peer)  # another ID may be free as well
        self._apply(outputs)
        self._schedule_tick()
        try:
            return await future
        finally:
            if self._pending.get(key) is future:
                del self._pending[key]

    async def _wait_for_invoke_id(self, peer: tuple[str, int], *, front: bool) -> None:
        waiter: asyncio.Future[None] = self._started().loop.create_future()
        queue = self._id_waiters.setdefault(peer, deque())
        if front:
            queue.appendleft(waiter)
        else:
            queue.append(waiter)
        try:
            await waiter
        except asyncio.CancelledError:
            if waiter.done() and not waiter.cancelled():
                self._wake_id_waiter(peer)  # we were woken but will not use the ID: pass it on
            raise
        finally:
            if waiter in queue:
                queue.remove(waiter)
            if not queue and self._id_waiters.get(peer) is queue:
                del self._id_waiters[peer]
        self._open()

    def _wake_id_waiter(self, peer: tuple[str, int]) -> None:
        queue = self._id_waiters.get(peer)
        while queue:
            waiter = queue.popleft()
            if not waiter.done():
                waiter.set_result(None)
                return

    def _tick(self) -> None:
        outputs = self._stack.process(InputTick(self._started().loop.time()))
        # A tick reports the earliest of everything pending, replacing what we held.
        self._deadline = math.inf
        self._apply(outputs)
        self._schedule_tick()

    def _on_deadline(self) -> None:
        self._deadline_timer = None
        if not self._closed:
            self._tick()

    def _schedule_tick(self) -> None:
        timer = self._deadline_timer
        if timer is not None and timer.when() == self._deadline:
            return
        if timer is not None:
            timer.cancel()
            self._deadline_timer = None
        if math.isfinite(self._deadline):
            self._deadline_timer = self._started().loop.call_at(self._deadline, self._on_deadline)

    def _on_datagram(self, data: bytes, addr: tuple[str, int]) -> None:
        if self._closed:
            return
        self._apply(self._stack.process(InputReceived(data, BacnetAddr(addr[0], addr[1]))))
        self._schedule_tick()

    def _apply(self, outputs: list[_Output]) -> None:
        for output in outputs:
            if isinstance(output, OutputTransmit):
                dest = output.dest
                self._started().transport.sendto(bytes(output.data), (dest.addr, dest.port))
            elif isinstance(output, OutputDeadline):
                # Keep the earliest; a NaN deadline is ignored like the stack ignores it.
                if output.deadline < self._deadline:
                    self._deadline = output.deadline
            elif isinstance(output, OutputEvent):
                self._dispatch(output.event)

    def _dispatch(self, event: _Event) -> None:
        if isinstance(event, EventUnconfirmedReceived):
            for listener in list(self._unconfirmed_listeners):
                listener(event)
            return
        peer = event.peer
        future = self._pending.pop((peer.addr, peer.port, event.invoke_id), None)
        if future is not None and not future.done():
            if isinstance(event, EventResponse):
                future.set_result(event.payload)
            elif isinstance(event, EventTimeout):
                future.set_exception(BacnetTimeoutError(f"no answer from {peer.addr}:{peer.port}"))
            elif isinstance(event, EventAbort):
                future.set_exception(BacnetAbortError(event.reason))
            elif isinstance(event, EventError):
                future.set_exception(_error_from_event(event.message))
        self._wake_id_waiter((peer.addr, peer.port))


def _sent_invoke_id(outputs: list[_Output]) -> int:
    """The invoke ID the stack gave a request: octet 8 of its datagram (of its first segment, if segmented)."""
    for output in outputs:
        if isinstance(output, OutputTransmit):
            return output.data[8]  # 81 0a LL LL 01 04 <pdu type> 05 <invoke id> ...
        if isinstance(output, OutputEvent) and isinstance(output.event, EventError):
            return output.event.invoke_id  # refused: the error is in the outputs
    raise BacnetError("the stack sent nothing for the request")
