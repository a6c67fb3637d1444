"""Scripted BACnet/IP devices and a simulated network for driving a Stack.

`Network` plays the host program on a simulated clock: it sends every
`OutputTransmit` to the scripted `Device` at that address, feeds each answer
back as `InputReceived` when it is due, and ticks at the deadlines the stack
asked for (and, if asked, at a fixed interval). Devices answer the way a
device would: with the APDUs a test scripts, or with a segmented ComplexACK
sent window by window as SegmentACKs come in; they reassemble segmented
requests and acknowledge them. Every datagram is logged as on the wire.
"""

from __future__ import annotations

import heapq
import itertools
import math
from dataclasses import dataclass, field
from typing import Callable

from ferromesh import (
    BacnetAddr,
    InputReceived,
    InputCancel,
    InputRegisterForeignDevice,
    InputSend,
    InputSendUnconfirmed,
    InputTick,
    InputUnregisterForeignDevice,
    ObjectIdentifier,
    OutputDeadline,
    OutputEvent,
    OutputTransmit,
    ServiceReadProperty,
    ServiceWhoIs,
    ServiceWhoIsRouterToNetwork,
    Stack,
    StackConfig,
)

DEVICE = ("192.168.1.20", 47808)

# --- datagrams a device sends ------------------------------------------------


def frame(apdu: bytes, control: int = 0x00, function: int = 0x0A) -> bytes:
    npdu = bytes([0x01, control]) + apdu
    return bytes([0x81, function]) + (4 + len(npdu)).to_bytes(2, "big") + npdu


def simple_ack(invoke_id: int, service: int) -> bytes:
    return frame(bytes([0x20, invoke_id, service]))


def complex_ack(invoke_id: int, service: int, payload: bytes) -> bytes:
    return frame(bytes([0x30, invoke_id, service]) + payload)


def segment(invoke_id: int, seq: int, more: bool, window: int, service: int, payload: bytes) -> bytes:
    return frame(bytes([0x3C if more else 0x38, invoke_id, seq, window, service]) + payload)


def server_segment_ack(invoke_id: int, seq: int, window: int) -> bytes:
    return frame(bytes([0x41, invoke_id, seq, window]))


def error_pdu(invoke_id: int, service: int, error_class: int, error_code: int) -> bytes:
    return frame(bytes([0x50, invoke_id, service, 0x91, error_class, 0x91, error_code]))


def reject(invoke_id: int, reason: int) -> bytes:
    return frame(bytes([0x60, invoke_id, reason]))


def abort(invoke_id: int, reason: int) -> bytes:
    return frame(bytes([0x71, invoke_id, reason]))


def i_am(instance: int, max_apdu: int = 1476, segmentation: int = 0, vendor: int = 260) -> bytes:
    oid = ((8 << 22) | instance).to_bytes(4, "big")
    return frame(
        bytes([0x10, 0x00, 0xC4]) + oid + b"\x22" + max_apdu.to_bytes(2, "big")
        + bytes([0x91, segmentation, 0x22]) + vendor.to_bytes(2, "big"),
        function=0x0B,
    )


def i_am_router_to_network(*networks: int) -> bytes:
    return frame(b"\x01" + b"".join(n.to_bytes(2, "big") for n in networks), control=0x80)


def bvlc_result(code: int) -> bytes:
    return bytes([0x81, 0x00, 0x00, 0x06]) + code.to_bytes(2, "big")


def read_property_ack(instance: int, value: bytes) -> bytes:
    """ReadProperty-ACK parameters: analog-value `instance`, present-value, `value` (application-tagged)."""
    return b"\x0c" + ((2 << 22) | instance).to_bytes(4, "big") + b"\x19\x55\x3e" + value + b"\x3f"


# --- what a device reads ------------------------------------------------------


@dataclass
class Request:
    """A confirmed request as the device sees it, segments joined."""

    invoke_id: int
    service: int
    params: bytes


def parse_confirmed(data: bytes) -> tuple[int, int, int | None, bool, int, bytes]:
    """(invoke ID, service, sequence number or None, more follows, proposed window, octets) of a request datagram."""
    assert data[:2] == b"\x81\x0a" and int.from_bytes(data[2:4], "big") == len(data), data.hex()
    assert data[4:6] == b"\x01\x04", "a request expects a reply"
    apdu = data[6:]
    assert apdu[0] >> 4 == 0 and apdu[1] & 0x0F <= 0x05, apdu.hex()
    if apdu[0] & 0x08:
        return apdu[2], apdu[5], apdu[3], bool(apdu[0] & 0x04), apdu[4], apdu[6:]
    return apdu[2], apdu[3], None, False, 0, apdu[4:]


@dataclass
class Segmented:
    """Answer with a segmented ComplexACK of `payload`: segment 0, then `window` segments per SegmentACK.

    Segments go out `gap` seconds apart; after `stall_after` segments the device falls silent.
    """

    payload: bytes
    segment_size: int
    window: int = 2
    gap: float = 0.0
    stall_after: int | None = None


# An answer: APDU datagrams to send at once, a segmented answer, or None (silence).
Answer = list[bytes] | Segmented | None
Script = Callable[[Request], Answer]


@dataclass
class _Outgoing:
    invoke_id: int
    service: int
    answer: Segmented
    sent: int = 0

    def window_from(self, first: int) -> list[tuple[float, bytes]]:
        chunks = [self.answer.payload[i:i + self.answer.segment_size]
                  for i in range(0, len(self.answer.payload), self.answer.segment_size)]
        # Segment 0 goes alone: its SegmentACK tells the device the client's window.
        count = 1 if first == 0 else self.answer.window
        due = []
        for seq in range(first, min(first + count, len(chunks))):
            if self.answer.stall_after is not None and self.sent >= self.answer.stall_after:
                break
            self.sent += 1
            more = seq + 1 < len(chunks)
            due.append((self.answer.gap * len(due) + self.answer.gap,
                        segment(self.invoke_id, seq, more, self.answer.window, self.service, chunks[seq])))
        return due


@dataclass
class Device:
    """A device at `addr`:`port` that answers requests by `script`, `delay` seconds later."""

    script: Script
    addr: str = DEVICE[0]
    port: int = DEVICE[1]
    delay: float = 0.0
    acknowledge_segments: bool = True
    requests: list[Request] = field(default_factory=list)
    aborts: list[bytes] = field(default_factory=list)  # Abort APDUs from the client
    _incoming: dict[int, list[bytes]] = field(default_factory=dict)
    _outgoing: dict[int, _Outgoing] = field(default_factory=dict)

    def receive(self, data: bytes) -> list[tuple[float, bytes]]:
        """The datagrams this device sends in reply, each with its delay."""
        if data[6] >> 4 == 4:  # the client's SegmentACK of our segmented answer
            invoke_id, seq = data[7], data[8]
            outgoing = self._outgoing.get(invoke_id)
            return outgoing.window_from(seq + 1) if outgoing else []
        if data[6] >> 4 == 7:  # the client gives up: no more segments either way
            self.aborts.append(data[6:])
            self._outgoing.pop(data[7], None)
            self._incoming.pop(data[7], None)
            return []
        invoke_id, service, seq, more, window, octets = parse_confirmed(data)
        if seq is None:
            return self._answer(Request(invoke_id, service, octets))
        if not self.acknowledge_segments:
            return []
        parts = self._incoming.setdefault(invoke_id, [])
        if seq == len(parts):
            parts.append(octets)
        # Segment 0 is acknowledged at once, then every window.
        if more and seq % window:
            return []
        ack = [(self.delay, server_segment_ack(invoke_id, seq, window))]
        if more:
            return ack
        return ack + self._answer(Request(invoke_id, service, b"".join(self._incoming.pop(invoke_id))))

    def _answer(self, request: Request) -> list[tuple[float, bytes]]:
        self.requests.append(request)
        answer = self.script(request)
        if isinstance(answer, Segmented):
            outgoing = _Outgoing(request.invoke_id, request.service, answer)
            self._outgoing[request.invoke_id] = outgoing
            return [(self.delay + d, data) for d, data in outgoing.window_from(0)]
        return [(self.delay, data) for data in answer or []]


@dataclass
class Wire:
    time: float
    direction: str  # "out" from the stack, "in" to it
    peer: tuple[str, int]
    data: bytes


class Network:
    """A Stack, the devices it talks to and a simulated clock, driven like a host program."""

    def __init__(self, *devices: Device, stack: Stack | None = None, now: float = 0.0) -> None:
        self.stack = stack if stack is not None else Stack()
        self.devices = {(d.addr, d.port): d for d in devices}
        self.now = now
        self.deadline: float | None = None
        self.events: list[object] = []
        self.event_times: list[float] = []
        self.wire: list[Wire] = []
        self._due: list[tuple[float, int, tuple[str, int], bytes]] = []
        self._order = itertools.count()

    def process(self, item: object) -> list[object]:
        """One call of Stack.process at the current time; its outputs are acted on like a host would."""
        outputs = self.stack.process(item)
        if isinstance(item, InputTick):
            self.deadline = None  # a Tick reports the earliest of everything pending
        for output in outputs:
            if isinstance(output, OutputTransmit):
                self._transmit(output)
            elif isinstance(output, OutputDeadline):
                if self.deadline is None or output.deadline < self.deadline:
                    self.deadline = output.deadline
            elif isinstance(output, OutputEvent):
                self.events.append(output.event)
                self.event_times.append(self.now)
        return outputs

    def tick(self, now: float) -> list[object]:
        self.now = now
        return self.process(InputTick(now))

    def deliver(self, data: bytes, src: tuple[str, int] = DEVICE) -> list[object]:
        self.wire.append(Wire(self.now, "in", src, data))
        return self.process(InputReceived(data, BacnetAddr(*src)))

    def run(self, until: float, tick_every: float | None = None) -> None:
        """Deliver answers when due and tick at the deadlines (and every `tick_every` s) up to `until`."""
        periodic = self.now + tick_every if tick_every else math.inf
        for _ in range(100_000):
            next_delivery = self._due[0][0] if self._due else math.inf
            next_tick = min(periodic, self.deadline if self.deadline is not None else math.inf)
            if min(next_delivery, next_tick) > until:
                self.now = until
                return
            if next_delivery <= next_tick:
                at, _, src, data = heapq.heappop(self._due)
                self.now = max(self.now, at)
                self.deliver(data, src)
            else:
                self.tick(max(self.now, next_tick))
                if next_tick == periodic and tick_every:
                    periodic += tick_every
        raise AssertionError("the stack never stops asking for ticks")

    def sent(self, peer: tuple[str, int] = DEVICE) -> list[Wire]:
        return [w for w in self.wire if w.direction == "out" and w.peer == peer]

    def _transmit(self, output: OutputTransmit) -> None:
        peer = (output.dest.addr, output.dest.port)
        data = bytes(output.data)
        self.wire.append(Wire(self.now, "out", peer, data))
        device = self.devices.get(peer)
        for delay, answer in device.receive(data) if device else []:
            heapq.heappush(self._due, (self.now + delay, next(self._order), peer, answer))


def one_of_each_stack_class() -> dict[str, object]:
    """One instance of every class of the stack API, keyed by class name, made by a real conversation."""
    stack = Stack(StackConfig(apdu_retries=0))
    addr = BacnetAddr(*DEVICE)
    send = InputSend(ServiceReadProperty(ObjectIdentifier(2, 7), 85), addr)
    transmit, deadline = stack.process(send)
    [response] = stack.process(InputReceived(complex_ack(0, 12, b"\x0c"), addr))
    stack.process(send)
    [aborted] = stack.process(InputReceived(abort(1, 4), addr))
    [rejected] = stack.process(InputReceived(reject(2, 9), addr))
    stack.process(send)
    [timeout] = [o for o in stack.process(InputTick(100.0)) if isinstance(o, OutputEvent)]
    [announced] = stack.process(InputReceived(i_am(1234), addr))
    [routed] = stack.process(InputReceived(i_am_router_to_network(5), addr))
    [rejected_there] = stack.process(InputReceived(frame(b"\x03\x01\x04\xd2", control=0x80), addr))
    [busy] = stack.process(InputReceived(frame(b"\x04\x04\xd2", control=0x80), addr))
    [available] = stack.process(InputReceived(frame(b"\x05", control=0x80), addr))
    [registered] = stack.process(InputReceived(bvlc_result(0), addr))
    return {
        "BacnetAddr": addr,
        "StackConfig": StackConfig(),
        "Stack": stack,
        "InputReceived": InputReceived(b"\x81", addr),
        "InputTick": InputTick(0.0),
        "InputSend": send,
        "InputSendUnconfirmed": InputSendUnconfirmed(ServiceWhoIs(1, 2), addr),
        "InputCancel": InputCancel(addr, 7),
        "OutputTransmit": transmit,
        "OutputEvent": response,
        "OutputDeadline": deadline,
        "EventResponse": response.event,
        "EventTimeout": timeout.event,
        "EventAbort": aborted.event,
        "EventError": rejected.event,
        "EventUnconfirmedReceived": announced.event,
        "UnconfirmedIAm": announced.event.message,
        "UnconfirmedIAmRouterToNetwork": routed.event.message,
        "ServiceWhoIsRouterToNetwork": ServiceWhoIsRouterToNetwork(5),
        "InputRegisterForeignDevice": InputRegisterForeignDevice(addr, 60),
        "InputUnregisterForeignDevice": InputUnregisterForeignDevice(),
        "EventBvlcResult": registered.event,
        "UnconfirmedRejectMessageToNetwork": rejected_there.event.message,
        "UnconfirmedRouterBusyToNetwork": busy.event.message,
        "UnconfirmedRouterAvailableToNetwork": available.event.message,
    }
