"""BACnet/IP datagrams built and read by hand, for tests of the peers.

Deliberately independent of ferromesh: these tests check the peers, and the
peers then check ferromesh. Only what the tests need is here.
"""

from __future__ import annotations

import datetime
import socket
import struct
import time
from dataclasses import dataclass, field
from typing import Any, Callable

# --- tags ----------------------------------------------------------------------


def _tag(number: int, data: bytes, context: bool) -> bytes:
    head = (number << 4 if number < 15 else 0xF0) | (0x08 if context else 0)
    extra = bytes([number]) if number >= 15 else b""
    if len(data) < 5:
        return bytes([head | len(data)]) + extra + data
    if len(data) < 254:
        return bytes([head | 5]) + extra + bytes([len(data)]) + data
    return bytes([head | 5]) + extra + b"\xfe" + len(data).to_bytes(2, "big") + data


def _unsigned_octets(n: int) -> bytes:
    return n.to_bytes(max(1, (n.bit_length() + 7) // 8), "big")


def unsigned(n: int, context: int | None = None) -> bytes:
    return _tag(2 if context is None else context, _unsigned_octets(n), context is not None)


def signed(n: int, context: int | None = None) -> bytes:
    length = 1
    while not -(1 << (8 * length - 1)) <= n < (1 << (8 * length - 1)):
        length += 1
    return _tag(3 if context is None else context, n.to_bytes(length, "big", signed=True), context is not None)


def enumerated(n: int, context: int | None = None) -> bytes:
    return _tag(9 if context is None else context, _unsigned_octets(n), context is not None)


def boolean(value: bool, context: int) -> bytes:
    return _tag(context, bytes([int(value)]), True)


def real(value: float, context: int | None = None) -> bytes:
    return _tag(4 if context is None else context, struct.pack(">f", value), context is not None)


def object_id(object_type: int, instance: int, context: int | None = None) -> bytes:
    data = ((object_type << 22) | instance).to_bytes(4, "big")
    return _tag(12 if context is None else context, data, context is not None)


def date_octets(d: datetime.date) -> bytes:
    return bytes([d.year - 1900, d.month, d.day, d.isoweekday()])


def time_octets(t: datetime.time) -> bytes:
    return bytes([t.hour, t.minute, t.second, t.microsecond // 10000])


def date(d: datetime.date) -> bytes:
    return _tag(10, date_octets(d), False)


def time_of_day(t: datetime.time) -> bytes:
    return _tag(11, time_octets(t), False)


def context(number: int, data: bytes) -> bytes:
    """Context-tagged primitive data as given."""
    return _tag(number, data, True)


def opening(number: int) -> bytes:
    return bytes([(number << 4) | 0x0E])


def closing(number: int) -> bytes:
    return bytes([(number << 4) | 0x0F])


@dataclass(frozen=True)
class Tag:
    """One tag as read: ``kind`` is "app", "ctx", "open" or "close"."""

    kind: str
    number: int
    data: bytes = b""

    def unsigned(self) -> int:
        return int.from_bytes(self.data, "big")

    def real(self) -> float:
        return float(struct.unpack(">f", self.data)[0])

    def object_id(self) -> tuple[int, int]:
        raw = int.from_bytes(self.data, "big")
        return raw >> 22, raw & 0x3FFFFF

    def date(self) -> datetime.date:
        return datetime.date(self.data[0] + 1900, self.data[1], self.data[2])

    def time(self) -> datetime.time:
        return datetime.time(self.data[0], self.data[1], self.data[2], self.data[3] * 10000)

    def text(self) -> str:
        assert self.data[0] == 0, "only UTF-8 here"
        return self.data[1:].decode()


def read_tags(data: bytes) -> list[Tag]:
    tags, i = [], 0
    while i < len(data):
        head = data[i]
        number, context, length = head >> 4, bool(head & 0x08), head & 0x07
        i += 1
        if number == 15:
            number, i = data[i], i + 1
        if context and length == 6:
            tags.append(Tag("open", number))
            continue
        if context and length == 7:
            tags.append(Tag("close", number))
            continue
        if not context and number == 1:  # application boolean: the value is the length
            tags.append(Tag("app", 1, bytes([length])))
            continue
        if length == 5:
            length, i = data[i], i + 1
            if length == 254:
                length, i = int.from_bytes(data[i:i + 2], "big"), i + 2
        tags.append(Tag("ctx" if context else "app", number, data[i:i + length]))
        i += length
    return tags


# --- frames -------------------------------------------------------------------


def npdu(apdu: bytes, *, dnet: int | None = None, dadr: bytes = b"", expecting_reply: bool = False,
         network_message: int | None = None) -> bytes:
    control = (0x80 if network_message is not None else 0) | (0x20 if dnet is not None else 0) | (
        0x04 if expecting_reply else 0)
    head = bytes([0x01, control])
    if dnet is not None:
        head += dnet.to_bytes(2, "big") + bytes([len(dadr)]) + dadr
    tail = bytes([0xFF]) if dnet is not None else b""
    if network_message is not None:
        return head + tail + bytes([network_message]) + apdu
    return head + tail + apdu


def bvlc(function: int, payload: bytes) -> bytes:
    return bytes([0x81, function]) + (4 + len(payload)).to_bytes(2, "big") + payload


def unicast(npdu_: bytes) -> bytes:
    return bvlc(0x0A, npdu_)


def broadcast(npdu_: bytes) -> bytes:
    return bvlc(0x0B, npdu_)


def register_foreign_device(ttl: int) -> bytes:
    return bvlc(0x05, ttl.to_bytes(2, "big"))


def distribute_broadcast(npdu_: bytes) -> bytes:
    return bvlc(0x09, npdu_)


READ_FDT = bvlc(0x06, b"")

# --- APDUs --------------------------------------------------------------------

MAX_APDU_CODES = {50: 0, 128: 1, 206: 2, 480: 3, 1024: 4, 1476: 5}


def confirmed(invoke_id: int, service: int, payload: bytes, *, max_apdu: int = 1476,
              segmented_accepted: bool = True) -> bytes:
    """A Confirmed-Request; one that accepts segments takes any number of them."""
    max_segments = 0x70 if segmented_accepted else 0x00
    return bytes([0x02 if segmented_accepted else 0x00, max_segments | MAX_APDU_CODES[max_apdu], invoke_id,
                  service]) + payload


def simple_ack(invoke_id: int, service: int) -> bytes:
    return bytes([0x20, invoke_id, service])


def reject(invoke_id: int, reason: int) -> bytes:
    return bytes([0x60, invoke_id, reason])


def who_is(low: int | None = None, high: int | None = None) -> bytes:
    limits = b"" if low is None else unsigned(low, 0) + unsigned(high if high is not None else low, 1)
    return bytes([0x10, 0x08]) + limits


def read_property(object_type: int, instance: int, prop: int, index: int | None = None) -> bytes:
    body = object_id(object_type, instance, 0) + enumerated(prop, 1)
    return body + (unsigned(index, 2) if index is not None else b"")


def read_property_multiple(object_type: int, instance: int, props: list[int]) -> bytes:
    return object_id(object_type, instance, 0) + opening(1) + b"".join(enumerated(p, 0) for p in props) + closing(1)


def read_range(object_type: int, instance: int, prop: int, by: str, reference: Any, count: int) -> bytes:
    body = object_id(object_type, instance, 0) + enumerated(prop, 1)
    if by == "position":
        return body + opening(3) + unsigned(reference) + signed(count) + closing(3)
    if by == "sequence":
        return body + opening(6) + unsigned(reference) + signed(count) + closing(6)
    return body + opening(7) + date(reference.date()) + time_of_day(reference.time()) + signed(count) + closing(7)


def subscribe_cov(process_id: int, object_type: int, instance: int, *, confirmed: bool | None,
                  lifetime: int | None) -> bytes:
    body = unsigned(process_id, 0) + object_id(object_type, instance, 1)
    if confirmed is not None:
        body += boolean(confirmed, 2)
    return body + (unsigned(lifetime, 3) if lifetime is not None else b"")


def subscribe_cov_property(process_id: int, object_type: int, instance: int, prop: int, *,
                           confirmed: bool | None, lifetime: int | None, increment: float | None = None) -> bytes:
    body = unsigned(process_id, 0) + object_id(object_type, instance, 1)
    if confirmed is not None:
        body += boolean(confirmed, 2)
    if lifetime is not None:
        body += unsigned(lifetime, 3)
    body += opening(4) + enumerated(prop, 0) + closing(4)
    return body + (real(increment, 5) if increment is not None else b"")


# --- reading datagrams --------------------------------------------------------


@dataclass
class Message:
    """A datagram as read: BVLC function, the original source of a
    Forwarded-NPDU, the NPDU's routing fields and the APDU (or the network
    message type and its data)."""

    function: int
    sender: tuple[str, int]
    forwarded_from: tuple[str, int] | None = None
    snet: int | None = None
    sadr: bytes | None = None
    dnet: int | None = None
    network_message: int | None = None
    apdu: bytes = b""
    bvlc_payload: bytes = b""

    @property
    def pdu_type(self) -> int:
        return self.apdu[0] >> 4

    @property
    def invoke_id(self) -> int:
        return self.apdu[2] if self.pdu_type == 0 else self.apdu[1]

    @property
    def service(self) -> int:
        """Service choice of a request or acknowledgement."""
        return {0: self.apdu[3], 1: self.apdu[1], 2: self.apdu[2], 3: self.apdu[2], 5: self.apdu[2]}[self.pdu_type]

    @property
    def reason(self) -> int:
        """Reject or abort reason."""
        return self.apdu[2]

    @property
    def body(self) -> bytes:
        """The service data after the APDU header."""
        return self.apdu[{0: 4, 1: 2, 2: 3, 3: 3, 5: 3}[self.pdu_type]:]

    def tags(self) -> list[Tag]:
        return read_tags(self.body)


def parse(datagram: bytes, sender: tuple[str, int]) -> Message:
    assert datagram[0] == 0x81, datagram.hex()
    function, payload = datagram[1], datagram[4:]
    message = Message(function, sender, bvlc_payload=payload)
    if function == 0x04:
        message.forwarded_from = (socket.inet_ntoa(payload[:4]), int.from_bytes(payload[4:6], "big"))
        payload = payload[6:]
    elif function not in (0x0A, 0x0B):
        return message  # a BVLC message of its own (Result, Read-FDT-Ack, ...)
    control, i = payload[1], 2
    if control & 0x20:
        message.dnet = int.from_bytes(payload[i:i + 2], "big")
        i += 3 + payload[i + 2]
    if control & 0x08:
        message.snet = int.from_bytes(payload[i:i + 2], "big")
        length = payload[i + 2]
        message.sadr = payload[i + 3:i + 3 + length]
        i += 3 + length
    if control & 0x20:
        i += 1  # hop count
    if control & 0x80:
        message.network_message = payload[i]
        message.apdu = payload[i + 1:]
    else:
        message.apdu = payload[i:]
    return message


@dataclass
class Wire:
    """A UDP socket on 127.0.0.1 that sends datagrams and collects what comes back."""

    timeout: float = 5.0
    sock: socket.socket = field(init=False)
    next_invoke_id: int = 0

    def __post_init__(self) -> None:
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))

    def __enter__(self) -> Wire:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.sock.close()

    @property
    def address(self) -> tuple[str, int]:
        host, port = self.sock.getsockname()
        return host, port

    def send(self, datagram: bytes, address: tuple[str, int]) -> None:
        self.sock.sendto(datagram, address)

    def receive(self, timeout: float | None = None) -> Message | None:
        self.sock.settimeout(timeout if timeout is not None else self.timeout)
        try:
            data, sender = self.sock.recvfrom(65535)
        except TimeoutError:
            return None
        return parse(data, sender)

    def collect(self, seconds: float) -> list[Message]:
        """Everything that arrives within ``seconds``."""
        messages, deadline = [], time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0:
            message = self.receive(left)
            if message is not None:
                messages.append(message)
        return messages

    def collect_until(self, done: Callable[[list[Message]], bool], timeout: float = 10.0,
                      grace: float = 0.3) -> list[Message]:
        """Collects until ``done(messages)`` holds (or ``timeout`` passes),
        then ``grace`` seconds more, so that extra messages show up too."""
        messages: list[Message] = []
        deadline = time.monotonic() + timeout
        while not done(messages) and (left := deadline - time.monotonic()) > 0:
            message = self.receive(left)
            if message is not None:
                messages.append(message)
        return messages + self.collect(grace)

    def request(self, address: tuple[str, int], service: int, payload: bytes, *, dnet: int | None = None,
                dadr: bytes = b"", **apdu_options: Any) -> Message:
        """Sends a confirmed request and returns the answer with its invoke ID."""
        invoke_id = self.next_invoke_id
        self.next_invoke_id = (invoke_id + 1) % 256
        apdu = confirmed(invoke_id, service, payload, **apdu_options)
        self.send(unicast(npdu(apdu, dnet=dnet, dadr=dadr, expecting_reply=True)), address)
        deadline = time.monotonic() + self.timeout
        while (left := deadline - time.monotonic()) > 0:
            message = self.receive(left)
            if message is not None and message.apdu and message.pdu_type in (2, 3, 5, 6, 7) and \
                    message.invoke_id == invoke_id:
                return message
        raise TimeoutError(f"no answer to service {service} from {address}")
