#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target.

    make_seeds.py CAPTURES_DIR OUT_DIR

Seeds come from known-good hex vectors and from every BACnet/IP datagram in
the pcap files of CAPTURES_DIR, cut at the layer each target decodes. One
directory per target under OUT_DIR, one file per distinct seed. Standard
library only.
"""

import hashlib
import random
import struct
import sys
from pathlib import Path

# Cap per target: enough variety, still a quick start for libFuzzer.
MAX_SEEDS = 600

VECTORS = {
    "fuzz_property_value": [
        "21ff", "220100", "24ffffffff", "2000", "317f", "3200c8", "33ffffff", "34ff7fffff", "31ff", "328000",
        "10", "11", "00", "4442910000", "55084052200000000000", "a47c030f05", "a47c030fff", "b40c1e0000",
        "c4020004d2", "9103", "65050102030405", "75060068656c6c6f", "8200a0", "75fe012d00" + "61" * 300,
        "a4ffffffff", "a4ff0d20ff", "a47c0e2203", "b4ffffffff", "b4ff1eff00", "450441b40000", "4341b400", "0500",
        "c505020004d200",
    ],
    "fuzz_read_property_ack": [
        "0c020004d219553e44429100003f", "0c020004d2195529023e44429100003f", "0c020004d219553e210121023f",
        "0c020004d219553e3f", "0c020004d219553e4442910000",
    ],
    "fuzz_read_property_multiple_ack": [
        "0c020004d21e294b4ec4020004d24f294d5e910291205f1f", "0c020004d21e2e09554e44429100004f2f1f",
        "0c020004d21e1f0c020004d31e1f", "",
    ],
    "fuzz_constructed_value": [
        "0eb4080000004441a80000b411200000000f", "0c0c000000", "1905", "2ea47c030f05b40c0000002f",
        "f9200d", "fe0f2101ff0f", "0d06010203040506", "1e1f", "4441a80000", "0e" * 32 + "00" + "0f" * 32,
        "0e1e0e09010f1f0f",
    ],
    "fuzz_read_range_ack": [
        "0c0500000119833a05c049015e0ea47c030f05b40c0000000f1e2c41a800001f2a04005f6907",
        "0c05000001198329013a050049005e5f",
    ],
    "fuzz_write_property_multiple_error": [
        "0e910291280f1e0c00800001195529041f", "0e910291280f1e0c0080000119551f",
    ],
    "fuzz_i_am": ["c4020004d22205c49100210f", "c4020004d22205c49103210f", "c4020004d22205c49107210f"],
    "fuzz_network_message": ["0100052710", "01", "030104d2", "04", "0404d20005", "0504d2", "0004d2"],
    "fuzz_npdu": [
        "0100", "0104020500", "0120ffff00ff1008", "01080005010a200500",
        "0128000103010203000a01aaff200500", "01800100052710",
        # Refused: a source without MAC, of every network, of network 0; a hop count missing; DADR cut.
        "01080005002005", "0108ffff010a2005", "01080000010a2005", "0120ffff00", "012004d20611",
    ],
    "fuzz_bvlc": [
        "810a0009010020050f", "810b0009010020050f", "810a0006010020050f", "810000060000", "810000060030",
        "81040010c0a80105bac0010010080000", "8104000ac0a80105bac0",
    ],
    "fuzz_apdu": [
        "20050f", "50010c91029120", "3c0700040c0c020004d2", "30010c0c020004d219553e44429100003f", "40010203",
        "600109", "700105", "1000c4020004d22205c49100210f", "0205000c0c020004d21955",
    ],
}

# Targets that build their inputs from the fuzz octets: seeded with noise.
ENCODER_TARGETS = [
    "fuzz_property_value_roundtrip", "fuzz_npdu_roundtrip", "fuzz_request_roundtrip",
    "fuzz_constructed_value_roundtrip",
]


def pcap_datagrams(path):
    """UDP payloads that start like a BVLC header, in capture order."""
    data = path.read_bytes()
    magic = data[:4]
    if magic in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1"):
        endian = "<"
    elif magic in (b"\xa1\xb2\xc3\xd4", b"\xa1\xb2\x3c\x4d"):
        endian = ">"
    else:
        raise ValueError(f"{path}: not a pcap file")
    pos = 24
    while pos + 16 <= len(data):
        captured = struct.unpack(endian + "I", data[pos + 8:pos + 12])[0]
        frame = data[pos + 16:pos + 16 + captured]
        pos += 16 + captured
        offset = 14
        ethertype = int.from_bytes(frame[12:14], "big")
        if ethertype == 0x8100:
            ethertype = int.from_bytes(frame[16:18], "big")
            offset = 18
        ip = frame[offset:]
        if ethertype != 0x0800 or len(ip) < 20 or ip[9] != 17:
            continue
        udp = ip[(ip[0] & 0x0F) * 4:]
        payload = udp[8:int.from_bytes(udp[4:6], "big")]
        if len(payload) >= 4 and payload[0] == 0x81:
            yield payload


def npdu_body(npdu):
    """(network-layer message?, octets after the network header, their offset) or None."""
    if len(npdu) < 2 or npdu[0] != 0x01:
        return None
    control, pos = npdu[1], 2
    for present in (control & 0x20, control & 0x08):
        if present:
            if len(npdu) < pos + 3:
                return None
            pos += 3 + npdu[pos + 2]
    if control & 0x20:
        pos += 1  # hop count
    if pos > len(npdu):
        return None
    return bool(control & 0x80), npdu[pos:], pos


# fuzz_stack's choices: its operations (0..OPERATIONS) and peers.
OPERATIONS = 12
PEERS = 3


class StackScript:
    """An input for fuzz_stack, built the way its FuzzedDataProvider takes it
    apart: octet strings from the front, numbers from the back."""

    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in the order they are consumed

    def number(self, low, high, value):
        span, width = high - low, 0
        while width < 8 and span >> (8 * width):
            width += 1
        self.back += (value - low).to_bytes(width, "big")

    def pick(self, index, size):
        self.number(0, size - 1, index)

    def octets(self, data):
        self.front += data

    def config(self):
        self.pick(2, 4)  # timeout 3.0 s
        self.number(0, 3, 3)  # retries
        self.pick(6, 8)  # max_apdu_length 1476
        self.pick(5, 6)  # max_segment_buffer 2 MiB

    def send_read_property(self):
        self.number(0, OPERATIONS, 0)  # op: send
        self.pick(0, PEERS)  # first peer
        self.number(0, 2, 0)  # ReadProperty
        for low, high, value in ((0, 0xFFFF, 8), (0, 0xFFFFFFFF, 1234), (0, 0xFFFFFFFF, 85)):
            self.number(low, high, value)

    def send_read_property_multiple(self):
        self.number(0, OPERATIONS, 0)  # op: send
        self.pick(0, PEERS)  # first peer
        self.number(0, 2, 2)  # ReadPropertyMultiple
        self.number(0, 40, 1)  # one object
        for low, high, value in ((0, 0xFFFF, 8), (0, 0xFFFFFFFF, 1234)):
            self.number(low, high, value)
        self.number(0, 8, 1)  # one property

    def raw(self, datagram):
        self.number(0, OPERATIONS, 9)  # op: raw datagram
        self.number(0, 7, 1)  # from a peer, not the stranger
        self.pick(0, PEERS)  # the first peer
        self.number(0, 1500, len(datagram))
        self.octets(datagram)
        self.number(0, 255, 0)  # deliver as it is

    def burst(self, count):
        self.number(0, OPERATIONS, 10)  # op: burst of ReadProperty requests
        self.pick(0, PEERS)  # to the first peer
        self.number(1, 300, count)

    def tick(self, step_index):
        self.number(0, OPERATIONS, 2)  # op: tick
        self.number(0, 15, 1)  # a sane clock
        self.pick(step_index, 10)

    def data(self):
        return bytes(self.front) + bytes(reversed(self.back))


def with_invoke_id(datagram, apdu_offset, invoke_id):
    patched = bytearray(datagram)
    patched[apdu_offset + 1] = invoke_id
    return bytes(patched)


def stack_script(datagrams, service=12):
    """Send a request (invoke ID 0) of the service answered, ReadProperty or
    ReadPropertyMultiple, and replay `datagrams` as its answer."""
    script = StackScript()
    script.config()
    if service == 14:
        script.send_read_property_multiple()
    else:
        script.send_read_property()
    for datagram in datagrams:
        script.raw(datagram)
    script.tick(7)  # 3.0 s later
    return script.data()


def add_answer(seeds, service, payload):
    """A whole ComplexACK payload, for the decoder of its service."""
    if service == 12:
        seeds["fuzz_read_property_ack"].append(payload)
        opening = payload.find(0x3E, 5)  # the value brackets
        if opening >= 0:
            seeds["fuzz_property_value"].append(payload[opening + 1:])
            seeds["fuzz_constructed_value"].append(payload[opening + 1:])
    elif service == 14:
        seeds["fuzz_read_property_multiple_ack"].append(payload)
    elif service == 26:
        seeds["fuzz_read_range_ack"].append(payload)


def exhausting_script():
    """Use up the first peer's invoke IDs, free one with a SimpleACK, send again."""
    script = StackScript()
    script.config()
    script.burst(300)
    script.raw(bytes.fromhex("810a0009010020050f"))
    script.send_read_property()
    return script.data()


def collect(captures_dir):
    seeds = {name: [bytes.fromhex(v) for v in vectors] for name, vectors in VECTORS.items()}
    for name in ENCODER_TARGETS:
        seeds[name] = []
    seeds["fuzz_stack"] = [exhausting_script()]
    segments = {}  # (file, invoke ID) -> the segments of an answer so far
    for path in sorted(Path(captures_dir).glob("*.pcap")):
        for datagram in pcap_datagrams(path):
            seeds["fuzz_bvlc"].append(datagram)
            length = int.from_bytes(datagram[2:4], "big")
            npdu_start = {0x0A: 4, 0x0B: 4, 0x04: 10}.get(datagram[1])  # Forwarded-NPDU: after the B/IP address
            if npdu_start is None or length > len(datagram):
                continue
            npdu = datagram[npdu_start:length]
            seeds["fuzz_npdu"].append(npdu)
            parsed = npdu_body(npdu)
            if parsed is None:
                continue
            network_message, body, body_offset = parsed
            if network_message:
                seeds["fuzz_network_message"].append(body)
                continue
            if not body:
                continue
            seeds["fuzz_apdu"].append(body)
            pdu_type = body[0] >> 4
            if pdu_type == 1 and len(body) >= 2 and body[1] == 0:
                seeds["fuzz_i_am"].append(body[2:])
                seeds["fuzz_property_value"].append(body[2:])
            # Answers are replayed to the engine as the answer to its own request.
            replayable = npdu_start == 4 and length <= 1500 and len(body) >= 3
            if not replayable or pdu_type not in (2, 3, 5, 6, 7):
                continue
            if pdu_type == 5 and body[2] == 16:
                seeds["fuzz_write_property_multiple_error"].append(body[3:])
            answer = with_invoke_id(datagram[:length], npdu_start + body_offset, 0)
            if pdu_type != 3:
                seeds["fuzz_stack"].append(stack_script([answer], body[2]))
            elif not body[0] & 0x08:
                seeds["fuzz_stack"].append(stack_script([answer], body[2]))
                add_answer(seeds, body[2], body[3:])
            elif len(body) >= 5:
                parts = segments.setdefault((path.name, body[1]), [])
                parts.append((body[5:], answer))
                if not body[0] & 0x04:  # no more follow: the answer is whole
                    del segments[(path.name, body[1])]
                    seeds["fuzz_stack"].append(stack_script([d for _, d in parts], body[4]))
                    add_answer(seeds, body[4], b"".join(p for p, _ in parts))
    noise = random.Random(47808)
    for name in ENCODER_TARGETS:
        seeds[name] += [bytes(noise.getrandbits(8) for _ in range(noise.randint(8, 96))) for _ in range(64)]
    return seeds


def write(seeds, out_dir):
    for name, items in sorted(seeds.items()):
        distinct = sorted(set(items), key=lambda s: (len(s), s))
        if len(distinct) > MAX_SEEDS:
            distinct = sorted(random.Random(name).sample(distinct, MAX_SEEDS), key=lambda s: (len(s), s))
        target_dir = Path(out_dir) / name
        target_dir.mkdir(parents=True, exist_ok=True)
        for seed in distinct:
            (target_dir / hashlib.sha1(seed).hexdigest()).write_bytes(seed)
        print(f"{name}: {len(distinct)} seeds")


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    write(collect(sys.argv[1]), sys.argv[2])


if __name__ == "__main__":
    main()
