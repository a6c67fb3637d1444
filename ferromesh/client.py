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
import math
import socket
from collections import deque
from dataclasses import dataclass
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
    InputSendUnconfirmed,
    InputTick,
    InvokeIdExhaustedError,
    ObjectIdentifier,
    OutputDeadline,
    OutputEvent,
    OutputTransmit,
    ReadAccessSpec,
    ReadPropertyMultipleResult,
    ReadPropertyResult,
    ServiceReadProperty,
    ServiceReadPropertyMultiple,
    ServiceWhoIs,
    ServiceWriteProperty,
    Stack,
    StackConfig,
    UnconfirmedIAm,
    decode_read_property,
    decode_read_property_multiple,
)
from ._enums import Segmentation

# Names that lived here before errors, names and values had modules of their
# own; importing them from here keeps working.
from .errors import (
    ABORT_REASONS as ABORT_REASONS,
    REJECT_REASONS as REJECT_REASONS,
    BacnetAbortError,
    BacnetErrorResponse,
    BacnetRejectError,
    ClientClosedError,
    error_from_event,
)
from .names import (
    DEFAULT_PORT,
    GLOBAL_BROADCAST,
    ObjectSpec,
    PropertySpec,
    enum_member,
    enum_name,
    format_object_id,
    make_read_access_spec,
    object_type_name,
    parse_address,
    parse_object_id,
    parse_property_id,
    property_name,
)
from .values import to_property_value

__all__ = [
    "BacnetAbortError",
    "BacnetErrorResponse",
    "BacnetRejectError",
    "Client",
    "ClientClosedError",
    "DEFAULT_PORT",
    "DiscoveredDevice",
    "GLOBAL_BROADCAST",
    "ObjectSpec",
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


@dataclass(frozen=True)
class DiscoveredDevice:
    """A device that answered Who-Is with I-Am."""

    address: str  # 'host:port', usable as the address of a request
    device_id: ObjectIdentifier
    max_apdu: int
    segmentation: int  # a Segmentation member (segmented-both ... no-segmentation), or the number
    vendor_id: int

    @property
    def instance(self) -> int:
        return self.device_id.instance


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
        request = InputSendUnconfirmed(ServiceWhoIs(low, high), dest)
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
                enum_member(Segmentation, message.segmentation), message.vendor_id))
            if expect is not None and len(found) >= expect and not enough.done():
                enough.set_result(None)

        self._unconfirmed_listeners.append(on_unconfirmed)
        try:
            self._apply(self._stack.process(request))
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
                future.set_exception(error_from_event(event))
        self._wake_id_waiter((peer.addr, peer.port))


def _sent_invoke_id(outputs: list[_Output]) -> int:
    """The invoke ID the stack gave a request: octet 8 of its datagram (of its first segment, if segmented)."""
    for output in outputs:
        if isinstance(output, OutputTransmit):
            return output.data[8]  # 81 0a LL LL 01 04 <pdu type> 05 <invoke id> ...
        if isinstance(output, OutputEvent) and isinstance(output.event, EventError):
            return output.event.invoke_id  # refused: the error is in the outputs
    raise BacnetError("the stack sent nothing for the request")
