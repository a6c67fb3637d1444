"""The asyncio host loop of a ``Stack``: one UDP socket, the clock, and the requests in flight.

``Host`` owns the socket (a non-blocking one read with ``loop.add_reader``:
every datagram that is ready is read into one preallocated buffer per
wake-up), feeds the stack, sends what it asks to send, keeps one timer for
the earliest deadline it gave, and completes each request's future with the
event that ended it. It knows nothing about names, values or exceptions:
the Client turns events into results and errors.

A request to a device goes out at once while the device has fewer than
``max_per_device`` requests in flight (at most 256, the invoke IDs); after
that it waits in the device's queue, first come first served, and goes out
when an earlier one ends. Everything a request goes through happens in four
methods: ``request`` (accept or queue), ``_send`` (hand it to the stack),
``_on_event`` (complete its future) and ``_release`` (drop its bookkeeping
and send the next queued one); ``cancel`` takes it back, from the stack too.
"""

from __future__ import annotations

import asyncio
import math
import socket
from collections import deque
from typing import Callable

from . import (
    BacnetAddr,
    EventAbort,
    EventBvlcResult,
    EventError,
    EventResponse,
    EventTimeout,
    EventUnconfirmedReceived,
    InputCancel,
    InputReceived,
    InputRegisterForeignDevice,
    InputSend,
    InputSendUnconfirmed,
    InputTick,
    InputUnregisterForeignDevice,
    InvokeIdExhaustedError,
    OutputDeadline,
    OutputEvent,
    OutputTransmit,
    ServiceReadProperty,
    ServiceReadPropertyMultiple,
    ServiceReadRange,
    ServiceWriteProperty,
    ServiceWritePropertyMultiple,
    Stack,
)

Service = (ServiceReadProperty | ServiceReadPropertyMultiple | ServiceWriteProperty | ServiceWritePropertyMultiple
           | ServiceReadRange)
Outcome = EventResponse | EventError | EventAbort | EventTimeout
Output = OutputTransmit | OutputEvent | OutputDeadline
# A device's whole address: IPv4 address, port and, behind a router, network and MAC.
Peer = tuple[str, int, int | None, bytes | None]
Endpoint = tuple[str, int]  # a UDP address

INVOKE_IDS = 256
# A send brings the stack's clock up to date first when its latest Tick is
# older than this: a request's deadline counts from that Tick, so it can be
# early by at most this much, and a burst of sends costs one Tick.
CLOCK_RESOLUTION = 0.001
# Datagrams are read into one buffer of the largest UDP payload.
RECEIVE_BUFFER = 65536
# Sources seen recently, each with its BacnetAddr built once; cleared when full.
ADDRESS_CACHE = 4096
# Datagrams read per wake-up at most, so that a flood cannot starve the other callbacks.
DRAIN_LIMIT = 1024


class Request:
    """One confirmed request: its future, and where it is (queued, or in flight as ``key``)."""

    __slots__ = ("future", "dest", "peer", "service", "key")

    def __init__(self, future: asyncio.Future[Outcome], dest: BacnetAddr, peer: Peer, service: Service) -> None:
        self.future = future
        self.dest = dest
        self.peer = peer
        self.service = service
        self.key: tuple[str, int, int | None, bytes | None, int] | None = None  # (*peer, invoke ID) once sent


class Host:
    """Drives a Stack on a bound non-blocking UDP socket in the running event loop."""

    def __init__(self, sock: socket.socket, stack: Stack, *, max_per_device: int = INVOKE_IDS,
                 on_unconfirmed: Callable[[EventUnconfirmedReceived | EventBvlcResult], None] = lambda event: None,
                 ) -> None:
        if not 1 <= max_per_device <= INVOKE_IDS:
            raise ValueError(f"max_per_device must be 1..{INVOKE_IDS}, got {max_per_device}")
        self._loop = asyncio.get_running_loop()
        self._sock = sock
        self._stack = stack
        self._limit = max_per_device
        self._on_unconfirmed = on_unconfirmed
        self._buffer = bytearray(RECEIVE_BUFFER)
        self._addresses: dict[Endpoint, BacnetAddr] = {}
        self._in_flight: dict[tuple[str, int, int | None, bytes | None, int], Request] = {}
        self._busy: dict[Peer, int] = {}  # requests in flight per device
        self._queues: dict[Peer, deque[Request]] = {}
        self._freed: deque[Peer] = deque()  # devices with an invoke ID freed and requests waiting
        self._depth = 0  # of nested _apply calls
        self._flushing = False
        self._unsent: deque[tuple[bytes, Endpoint]] = deque()  # while the socket is not writable
        self._clock = -math.inf  # time of the latest Tick
        self._deadline = math.inf  # earliest time the stack asked to be ticked
        self._timer: asyncio.TimerHandle | None = None
        self._closed = False
        sock.setblocking(False)
        self._loop.add_reader(sock.fileno(), self._on_readable)

    # -- requests ------------------------------------------------------------

    def request(self, dest: BacnetAddr, service: Service) -> Request:
        """Send ``service`` to ``dest`` now, or queue it behind the device's earlier requests.

        Await ``request.future`` for the event that ends it; call ``cancel``
        if the caller stops waiting.
        """
        peer = (dest.addr, dest.port, dest.network, dest.mac)
        request = Request(self._loop.create_future(), dest, peer, service)
        if self._closed:
            raise RuntimeError("host closed")
        queue = self._queues.get(peer)
        if queue is not None or self._busy.get(peer, 0) >= self._limit:
            if queue is None:
                queue = self._queues[peer] = deque()
            queue.append(request)
        else:
            self._send(request)
        return request

    def cancel(self, request: Request) -> None:
        """The caller no longer waits for ``request``.

        A queued request is dropped. One in flight is taken back from the
        stack (InputCancel): nothing more is sent for it, so it cannot reach
        the device later, and its invoke ID is free for the next request.
        """
        if request.key is None:
            queue = self._queues.get(request.peer)
            if queue is not None and request in queue:
                queue.remove(request)
                if not queue:
                    del self._queues[request.peer]
        elif not self._closed and self._in_flight.get(request.key) is request:
            del self._in_flight[request.key]
            self._release(request.peer)
            self._apply(self._stack.process(InputCancel(request.dest, request.key[-1])))
        if not request.future.done():
            request.future.cancel()

    def _send(self, request: Request) -> None:
        now = self._loop.time()
        if now - self._clock > CLOCK_RESOLUTION:
            self._tick(now)
        try:
            outputs = self._stack.process(InputSend(request.service, request.dest))
        except InvokeIdExhaustedError:
            # The stack still holds IDs we no longer count: wait, first in line, for the next one to end.
            self._queues.setdefault(request.peer, deque()).appendleft(request)
            return
        except Exception as error:
            # A request the stack refuses to take (e.g. an address it cannot parse) fails alone.
            if not request.future.done():
                request.future.set_exception(error)
            return
        first = outputs[0] if outputs else None
        if isinstance(first, OutputTransmit) and first.invoke_id is not None:
            # Its first datagram (or first segment) carries the invoke ID.
            self._register(request, first.invoke_id)
            dest = first.dest
            self.transmit(first.data_bytes, (dest.addr, dest.port))
            self._apply(outputs[1:])
        else:  # refused on the spot: an error event names the ID
            self._register(request, sent_invoke_id(outputs))
            self._apply(outputs)

    def _register(self, request: Request, invoke_id: int) -> None:
        request.key = (*request.peer, invoke_id)
        self._in_flight[request.key] = request
        self._busy[request.peer] = self._busy.get(request.peer, 0) + 1

    def _on_event(self, event: Outcome | EventUnconfirmedReceived | EventBvlcResult) -> None:
        if isinstance(event, (EventUnconfirmedReceived, EventBvlcResult)):
            self._on_unconfirmed(event)
            return
        peer = event.peer
        request = self._in_flight.pop((peer.addr, peer.port, peer.network, peer.mac, event.invoke_id), None)
        if request is None:
            return  # an answer to nothing we sent (late, duplicated, or another client's)
        future = request.future
        if not future.done():
            future.set_result(event)
        self._release(request.peer)

    def _release(self, peer: Peer) -> None:
        """One request to ``peer`` has ended: its invoke ID is free for the next queued one.

        That one is sent once the outputs being applied are all applied: a
        later event among them may name the invoke ID it would be given.
        """
        busy = self._busy[peer] - 1
        if busy:
            self._busy[peer] = busy
        else:
            del self._busy[peer]
        if peer in self._queues:
            self._freed.append(peer)

    def _send_queued(self) -> None:
        """Send, for each invoke ID freed, the next request waiting for that device."""
        self._flushing = True
        try:
            while self._freed:
                peer = self._freed.popleft()
                queue = self._queues.get(peer)
                while queue and self._busy.get(peer, 0) < self._limit:
                    request = queue.popleft()
                    if not request.future.done():  # skip the cancelled
                        self._send(request)
                        break
                if queue is not None and not queue:
                    del self._queues[peer]
        finally:
            self._flushing = False

    def process(self, item: InputSendUnconfirmed | InputRegisterForeignDevice | InputUnregisterForeignDevice) -> None:
        """An input with nothing to wait for (Who-Is, foreign-device registration): no bookkeeping."""
        now = self._loop.time()
        if now - self._clock > CLOCK_RESOLUTION:
            self._tick(now)  # a registration's renewals count from now
        self._apply(self._stack.process(item))

    # -- datagrams and time ----------------------------------------------------

    def transmit(self, data: bytes, dest: Endpoint) -> None:
        """Send a datagram now, or as soon as the socket takes it (in order)."""
        if self._unsent:
            self._unsent.append((data, dest))
            return
        try:
            self._sock.sendto(data, dest)
        except (BlockingIOError, InterruptedError):
            self._unsent.append((data, dest))
            self._loop.add_writer(self._sock.fileno(), self._on_writable)
        except OSError:
            pass  # unreachable or refused: the stack's timeout reports the silence

    def _on_writable(self) -> None:
        while self._unsent:
            data, dest = self._unsent[0]
            try:
                self._sock.sendto(data, dest)
            except (BlockingIOError, InterruptedError):
                return
            except OSError:
                pass
            self._unsent.popleft()
        self._loop.remove_writer(self._sock.fileno())

    def _on_readable(self) -> None:
        buffer = self._buffer
        receive = self._sock.recvfrom_into
        process = self._stack.process
        addresses = self._addresses
        for _ in range(DRAIN_LIMIT):
            if self._closed:
                return
            try:
                size, source = receive(buffer)
            except (BlockingIOError, InterruptedError):
                return
            except OSError:
                return  # e.g. an ICMP error reported on the socket: nothing to read
            src = addresses.get(source)
            if src is None:
                if len(addresses) >= ADDRESS_CACHE:
                    addresses.clear()
                src = addresses[source] = BacnetAddr(source[0], source[1])
            self._apply(process(InputReceived(buffer[:size], src)))
            if not self._in_flight:
                # Nothing more is expected: skip the read that would find the socket empty. Anything
                # unexpected that did arrive makes the socket readable again.
                return

    def _tick(self, now: float) -> None:
        self._clock = now
        # A Tick reports the earliest of everything pending, replacing what was held.
        self._deadline = math.inf
        self._apply(self._stack.process(InputTick(now)))

    def _on_timer(self) -> None:
        self._timer = None
        if not self._closed:
            self._tick(self._loop.time())

    def _arm(self) -> None:
        """Keep one timer at the earliest deadline; a later deadline leaves it to fire early."""
        timer = self._timer
        deadline = self._deadline
        if timer is not None:
            if timer.when() <= deadline:
                return
            timer.cancel()
            self._timer = None
        if deadline != math.inf:
            self._timer = self._loop.call_at(deadline, self._on_timer)

    def _apply(self, outputs: list[Output]) -> None:
        self._depth += 1
        try:
            self._apply_each(outputs)
        finally:
            self._depth -= 1
        if self._freed and not self._depth and not self._flushing:
            self._send_queued()

    def _apply_each(self, outputs: list[Output]) -> None:
        for output in outputs:
            if isinstance(output, OutputEvent):
                self._on_event(output.event)
            elif isinstance(output, OutputTransmit):
                dest = output.dest
                self.transmit(output.data_bytes, (dest.addr, dest.port))
            elif isinstance(output, OutputDeadline):
                if output.deadline < self._deadline:  # a NaN deadline is ignored, as the stack does
                    self._deadline = output.deadline
                    self._arm()

    # -- life cycle ------------------------------------------------------------

    def close(self, error: BaseException) -> None:
        """Stop reading and fail every unfinished request with ``error``."""
        if self._closed:
            return
        self._closed = True
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        self._loop.remove_reader(self._sock.fileno())
        if self._unsent:
            self._loop.remove_writer(self._sock.fileno())
            self._unsent.clear()
        unfinished = [*self._in_flight.values(), *(r for q in self._queues.values() for r in q)]
        self._in_flight.clear()
        self._queues.clear()
        self._busy.clear()
        for request in unfinished:
            if not request.future.done():
                request.future.set_exception(error)


def sent_invoke_id(outputs: list[Output]) -> int:
    """The invoke ID the stack gave a request, from its first datagram (or first segment)."""
    for output in outputs:
        if isinstance(output, OutputTransmit) and output.invoke_id is not None:
            return output.invoke_id
        if isinstance(output, OutputEvent) and isinstance(output.event, EventError):
            return output.event.invoke_id  # refused: the error is in the outputs
    raise RuntimeError("the stack sent nothing for the request")
