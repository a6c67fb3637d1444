"""BACnet/IP APDUs from the real-traffic pcap files shared with the repository."""

import pathlib
import struct

CAPTURES = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "captures"


def _udp_payloads(path):
    data = path.read_bytes()
    endian = "<" if data[:4] in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1") else ">"
    pos = 24
    while pos + 16 <= len(data):
        captured = struct.unpack(endian + "I", data[pos + 8 : pos + 12])[0]
        frame = data[pos + 16 : pos + 16 + captured]
        pos += 16 + captured
        offset, ethertype = 14, frame[12:14]
        if ethertype == b"\x81\x00":
            offset, ethertype = 18, frame[16:18]
        if ethertype != b"\x08\x00" or frame[offset + 9] != 17:
            continue
        ip = frame[offset:]
        udp = ip[(ip[0] & 0x0F) * 4 :]
        yield (ip[12:16], udp[0:2]), (ip[16:20], udp[2:4]), udp[8:]


def _apdu(datagram):
    """The APDU of an Original-Unicast/Broadcast-NPDU, or None for anything else."""
    if len(datagram) < 6 or datagram[0] != 0x81 or datagram[1] not in (0x0A, 0x0B):
        return None
    npdu = datagram[4 : struct.unpack(">H", datagram[2:4])[0]]
    control, pos = npdu[1], 2
    if control & 0x80:
        return None
    if control & 0x20:
        pos += 3 + npdu[pos + 2]
    if control & 0x08:
        pos += 3 + npdu[pos + 2]
    if control & 0x20:
        pos += 1
    return npdu[pos:]


def apdus(name):
    """(source, destination, APDU) for every BACnet APDU in the named capture."""
    for source, destination, datagram in _udp_payloads(CAPTURES / name):
        apdu = _apdu(datagram)
        if apdu:
            yield source, destination, apdu


def complex_acks(name, service_choice):
    """(request parameters, service-ACK payload) pairs of one service, matched by
    peer and invoke ID; segmented answers are joined in sequence order."""
    requests, segments, pairs = {}, {}, []
    for source, destination, apdu in apdus(name):
        pdu_type = apdu[0] >> 4
        if pdu_type == 0 and not apdu[0] & 0x08 and apdu[3] == service_choice:
            requests[(source, destination, apdu[2])] = apdu[4:]
        elif pdu_type == 3:
            key = (destination, source, apdu[1])
            if apdu[0] & 0x08:
                if apdu[4] == service_choice:
                    segments.setdefault(key, {})[apdu[2]] = apdu[5:]
                    if not apdu[0] & 0x04 and key in requests:
                        parts = segments.pop(key)
                        pairs.append((requests[key], b"".join(parts[n] for n in sorted(parts))))
            elif apdu[2] == service_choice and key in requests:
                pairs.append((requests[key], apdu[3:]))
    return pairs
