"""Real traffic: every BACnet/IP datagram of the captured traces goes through a Stack.

The traces are pcap files of real devices and clients. They are read here
without any library, and each datagram is classified by a small reader in
this file that is independent of the stack, so that the events the stack
produces can be compared with what is on the wire.
"""

from __future__ import annotations

import collections
import pathlib
import struct
from dataclasses import dataclass

import pytest

import ferromesh
from ferromesh import (
    BacnetAddr,
    EventAbort,
    EventError,
    EventResponse,
    EventUnconfirmedReceived,
    InputReceived,
    InputSend,
    ObjectIdentifier,
    OutputEvent,
    OutputTransmit,
    ServiceReadProperty,
    ServiceReadPropertyMultiple,
    Stack,
    UnconfirmedIAm,
    UnconfirmedIAmRouterToNetwork,
)
from ferromesh.client import object_type_name, property_name

CAPTURES = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "captures"
FILES = ["bacnet_example.pcap", "bacnet_services.pcap", "bacnet_segmented_data.pcap",
         "bacnet_error_reject_abort.pcap"]

pytestmark = pytest.mark.skipif(not CAPTURES.is_dir(), reason=f"no captures at {CAPTURES}")


@dataclass
class Datagram:
    src: str
    sport: int
    data: bytes


def read_pcap(path: pathlib.Path) -> list[Datagram]:
    """UDP payloads of IPv4 over Ethernet (VLAN tag optional) that start with the BVLC type 0x81."""
    raw = path.read_bytes()
    endian = {b"\xd4\xc3\xb2\xa1": "<", b"\xa1\xb2\xc3\xd4": ">"}[raw[:4]]
    out, pos = [], 24
    while pos + 16 <= len(raw):
        captured = struct.unpack_from(endian + "I", raw, pos + 8)[0]
        frame = raw[pos + 16:pos + 16 + captured]
        pos += 16 + captured
        off, ethertype = 14, frame[12:14]
        if ethertype == b"\x81\x00":
            off, ethertype = 18, frame[16:18]
        if ethertype != b"\x08\x00" or frame[off + 9] != 17:
            continue
        udp = off + (frame[off] & 0x0F) * 4
        length = int.from_bytes(frame[udp + 4:udp + 6], "big")
        payload = frame[udp + 8:udp + length]
        if payload[:1] == b"\x81":
            src = ".".join(str(b) for b in frame[off + 12:off + 16])
            out.append(Datagram(src, int.from_bytes(frame[udp:udp + 2], "big"), payload))
    return out


@dataclass
class Wire:
    """What a datagram carries, read without the stack."""

    kind: str  # iam, router, simple_ack, complex_ack, segment, error, reject, abort, ignored
    invoke_id: int = 0
    fields: tuple = ()
    payload: bytes = b""
    service: int = -1


def _unsigned(d: bytes, p: int, tag_number: int) -> tuple[int, int]:
    assert d[p] >> 4 == tag_number and not d[p] & 0x08 and 1 <= d[p] & 7 <= 4, d[p:].hex()
    n = d[p] & 7
    return int.from_bytes(d[p + 1:p + 1 + n], "big"), p + 1 + n


def classify(d: bytes) -> Wire:
    length = int.from_bytes(d[2:4], "big")
    # Some captured datagrams claim more octets than they carry; they are malformed.
    if d[1] not in (0x0A, 0x0B) or not 6 <= length <= len(d):
        return Wire("ignored")
    npdu = d[4:length]
    control, p = npdu[1], 2
    if control & 0x20:
        p += 3 + npdu[p + 2]
    if control & 0x08:
        p += 3 + npdu[p + 2]
    if control & 0x20:
        p += 1  # hop count
    body = npdu[p:]
    if control & 0x80:
        if body[:1] == b"\x01" and len(body) % 2 == 1:
            nets = tuple(int.from_bytes(body[i:i + 2], "big") for i in range(1, len(body), 2))
            return Wire("router", fields=nets)
        return Wire("ignored")
    pdu = body[0] >> 4 if body else -1
    if pdu == 1 and body[1] == 0:
        assert body[2] == 0xC4
        word = int.from_bytes(body[3:7], "big")
        max_apdu, q = _unsigned(body, 7, 2)
        segmentation, q = _unsigned(body, q, 9)
        vendor, q = _unsigned(body, q, 2)
        return Wire("iam", fields=(word >> 22, word & 0x3FFFFF, max_apdu, min(segmentation, 3), vendor))
    if pdu == 2:
        return Wire("simple_ack", body[1])
    if pdu == 3 and body[0] & 0x08:
        return Wire("segment", body[1], service=body[4], payload=bytes(body[5:]))
    if pdu == 3:
        return Wire("complex_ack", body[1], service=body[2], payload=bytes(body[3:]))
    if pdu == 5:
        error_class, q = _unsigned(body, 3, 9)
        error_code, _ = _unsigned(body, q, 9)
        return Wire("error", body[1], fields=(error_class, error_code))
    if pdu in (6, 7):
        return Wire("reject" if pdu == 6 else "abort", body[1], fields=(body[2],))
    return Wire("ignored")  # requests, other unconfirmed services, SegmentACKs


def _events(outputs: list) -> list:
    assert all(isinstance(o, (OutputEvent, OutputTransmit)) for o in outputs)
    return [o.event for o in outputs if isinstance(o, OutputEvent)]


@pytest.mark.parametrize("name", FILES)
def test_every_datagram_becomes_the_event_on_the_wire(name):
    datagrams = read_pcap(CAPTURES / name)
    assert datagrams
    stack = Stack()
    seen = collections.Counter()
    for dg in datagrams:
        wire = classify(dg.data)
        outputs = stack.process(InputReceived(dg.data, BacnetAddr(dg.src, dg.sport)))
        events = _events(outputs)
        seen[wire.kind] += 1
        if wire.kind in ("ignored", "segment"):
            # Segments nobody asked for are not reassembled.
            assert outputs == [], (wire, dg.data.hex())
            continue
        assert len(outputs) == 1 and len(events) == 1, (wire, dg.data.hex())
        event = events[0]
        if wire.kind in ("iam", "router"):
            assert isinstance(event, EventUnconfirmedReceived)
            assert (event.src.addr, event.src.port) == (dg.src, dg.sport)
            message = event.message
            if wire.kind == "iam":
                assert isinstance(message, UnconfirmedIAm)
                got = (int(message.device_id.object_type), message.device_id.instance, message.max_apdu,
                       message.segmentation, message.vendor_id)
            else:
                assert isinstance(message, UnconfirmedIAmRouterToNetwork)
                got = tuple(message.networks)
            assert got == wire.fields
            continue
        assert (event.peer.addr, event.peer.port, event.invoke_id) == (dg.src, dg.sport, wire.invoke_id)
        if wire.kind in ("simple_ack", "complex_ack"):
            assert isinstance(event, EventResponse)
            assert bytes(event.payload) == wire.payload
        elif wire.kind == "error":
            assert isinstance(event, EventError)
            assert event.message == "error class={} code={}".format(*wire.fields)
        elif wire.kind == "reject":
            assert isinstance(event, EventError)
            assert event.message == f"reject reason={wire.fields[0]}"
        else:
            assert isinstance(event, EventAbort) and event.reason == wire.fields[0]
    assert seen["iam"] + seen["complex_ack"] + seen["error"] > 0


def _read_property_answers() -> list[tuple[str, bytes]]:
    return [(name, wire.payload) for name in FILES for dg in read_pcap(CAPTURES / name)
            if (wire := classify(dg.data)).kind == "complex_ack" and wire.service == 12]


# ReadProperty answers whose values the value model cannot represent, by
# (object type, property, decode error) with how often each occurs. Every
# answer in these traces holds values the model covers, so there are none.
UNREPRESENTABLE: dict[tuple[str, str, str], int] = {}


def _object_and_property(payload: bytes) -> tuple[str, str]:
    word = int.from_bytes(payload[1:5], "big")
    prop = int.from_bytes(payload[6:6 + (payload[5] & 7)], "big")
    return object_type_name(word >> 22), property_name(prop)


def wire_values(payload: bytes) -> tuple[int | None, list]:
    """Array index and application-tagged values of a ReadProperty-ACK, read independently of the codec."""
    p = 6 + (payload[5] & 7)
    index = None
    if payload[p] & 0xF8 == 0x28:
        n = payload[p] & 7
        index, p = int.from_bytes(payload[p + 1:p + 1 + n], "big"), p + 1 + n
    assert payload[p] == 0x3E
    p += 1
    values = []
    while payload[p] != 0x3F:
        header = payload[p]
        tag, length = header >> 4, header & 7
        assert not header & 0x08 and tag <= 12
        p += 1
        if tag == 1:  # an application Boolean carries its value in the length field
            values.append(bool(length))
            continue
        if length == 5:
            length, p = payload[p], p + 1
            if length >= 254:
                width = 2 if length == 254 else 4
                length, p = int.from_bytes(payload[p:p + width], "big"), p + width
        c = payload[p:p + length]
        p += length
        values.append([
            lambda: None,
            None,
            lambda: int.from_bytes(c, "big"),
            lambda: int.from_bytes(c, "big", signed=True),
            lambda: c,  # Real, as its binary32 octets
            lambda: c,  # Double, as its binary64 octets
            lambda: list(c),
            lambda: c[1:].decode("utf-8", "replace"),
            lambda: (c[0], list(c[1:])),
            lambda: int.from_bytes(c, "big"),
            lambda: (1900 + c[0], c[1], c[2]),
            lambda: tuple(c),
            lambda: (int.from_bytes(c, "big") >> 22, int.from_bytes(c, "big") & 0x3FFFFF),
        ][tag]())
    return index, values


def decoded(value):
    """A decoded value in the shapes wire_values gives."""
    kind = type(value).__name__.removeprefix("PropertyValue")
    if kind == "Array":
        return [decoded(v) for v in value.values]
    if kind in ("Real", "Double"):
        return struct.pack(">f" if kind == "Real" else ">d", value.value)
    return {
        "Null": lambda: None,
        "BitString": lambda: (value.used_bits, value.bits),
        "Date": lambda: (value.year, value.month, value.day),
        "Time": lambda: (value.hour, value.minute, value.second, value.hundredths),
        "ObjectIdentifier": lambda: (int(value.object_type), value.instance),
    }.get(kind, lambda: value.value)()


def test_read_property_answers_decode_to_the_values_on_the_wire():
    answers = _read_property_answers()
    assert len(answers) == 4664
    failures: collections.Counter = collections.Counter()
    for name, payload in answers:
        try:
            result = ferromesh.decode_read_property(payload)
        except ferromesh.BacnetError as exc:
            message = str(exc)
            assert message.startswith("Decode error: "), message
            failures[(*_object_and_property(payload), message.removeprefix("Decode error: "))] += 1
            continue
        word = int.from_bytes(payload[1:5], "big")
        assert (int(result.object_id.object_type), result.object_id.instance) == (word >> 22, word & 0x3FFFFF)
        assert property_name(result.property_id) == _object_and_property(payload)[1]
        index, values = wire_values(payload)
        assert result.array_index == index
        assert decoded(result.value) == (values[0] if len(values) == 1 else values), (name, payload.hex())
    assert dict(failures) == UNREPRESENTABLE


def _apdu_start(datagram: bytes) -> int:
    """Where the APDU of an Original-Unicast-NPDU starts: after DNET/DADR/hop count and SNET/SADR, if any."""
    control, pos = datagram[5], 6
    if control & 0x20:
        pos += 3 + datagram[pos + 2]
    if control & 0x08:
        pos += 3 + datagram[pos + 2]
    return pos + (1 if control & 0x20 else 0)


def _source(datagram: bytes, host: str, port: int) -> BacnetAddr:
    """Who sent an answer: the UDP sender and, from behind a router, the NPDU's SNET and SADR."""
    if not datagram[5] & 0x08:
        return BacnetAddr(host, port)
    length = datagram[8]
    return BacnetAddr(host, port, int.from_bytes(datagram[6:8], "big"), bytes(datagram[9:9 + length]))


def _solicit(stack: Stack, dest: BacnetAddr, invoke_id: int, service: int) -> None:
    # The stack reassembles only answers to what it asked: send requests of
    # the captured service until the destination's next invoke ID is the one
    # the capture used.
    request = ServiceReadPropertyMultiple([]) if service == 14 else ServiceReadProperty(ObjectIdentifier(8, 1), 76)
    for expected in range(invoke_id + 1):
        outputs = stack.process(InputSend(request, dest))
        data = bytes(outputs[0].data)
        assert data[_apdu_start(data) + 2] == expected


@pytest.mark.parametrize("name, service, segments", [
    ("bacnet_segmented_data.pcap", 12, 3),
    ("bacnet_services.pcap", 14, 2),
])
def test_solicited_segmented_answer_is_reassembled(name, service, segments):
    datagrams = [dg for dg in read_pcap(CAPTURES / name)
                 if (w := classify(dg.data)).kind == "segment" and w.service == service]
    assert len(datagrams) == segments
    first = classify(datagrams[0].data)
    # Behind a router (bacnet_services.pcap): the whole address, network and MAC included.
    src = _source(datagrams[0].data, datagrams[0].src, datagrams[0].sport)
    stack = Stack()
    _solicit(stack, src, first.invoke_id, service)
    events, acks = [], []
    for dg in datagrams:
        outputs = stack.process(InputReceived(dg.data, BacnetAddr(dg.src, dg.sport)))
        events += _events(outputs)
        acks += [bytes(o.data) for o in outputs if isinstance(o, OutputTransmit)]
    # The last segment is acknowledged (SegmentACK, invoke ID, sequence number) and completes the answer.
    assert acks and acks[-1][_apdu_start(acks[-1]):][:3] == bytes([0x40, first.invoke_id, segments - 1])
    assert len(events) == 1 and isinstance(events[0], EventResponse)
    payload = bytes(events[0].payload)
    assert payload == b"".join(classify(dg.data).payload for dg in datagrams)
    if service == 12:
        result = ferromesh.decode_read_property(payload)
        assert len(result.value.values) > 1
    else:
        result = ferromesh.decode_read_property_multiple(payload)
        assert result.objects
