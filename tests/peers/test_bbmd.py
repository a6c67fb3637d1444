"""The BBMD topology on the wire: a client registers as a foreign device and
reaches the devices of the other B/IP network through the BBMD."""

from __future__ import annotations

import socket

import pytest

from . import wire as w
from .topology import BBMD_INSTANCE

RESULT, READ_FDT_ACK, FORWARDED_NPDU = 0x00, 0x07, 0x04


@pytest.fixture
def wire():
    with w.Wire() as socket_:
        yield socket_


def i_am_instance(message: w.Message) -> int | None:
    if message.apdu[:2] != b"\x10\x00":
        return None
    return message.tags()[0].object_id()[1]


def test_a_foreign_device_reaches_the_far_network_through_the_bbmd(bbmd_site, wire):
    bbmd = bbmd_site.bbmd.address
    far = {d.instance: d.address for d in bbmd_site.devices}

    wire.send(w.register_foreign_device(60), bbmd)
    ack = wire.receive()
    assert ack is not None and (ack.function, ack.bvlc_payload) == (RESULT, b"\x00\x00")
    wire.send(w.READ_FDT, bbmd)
    table = wire.receive()
    host, port = wire.address
    # Our entry: address, port and the TTL we asked for (then the time left).
    entry = socket.inet_aton(host) + port.to_bytes(2, "big") + (60).to_bytes(2, "big")
    assert table is not None and table.function == READ_FDT_ACK and entry in table.bvlc_payload

    wire.send(w.distribute_broadcast(w.npdu(w.who_is())), bbmd)
    answers = {i_am_instance(m): m for m in wire.collect_until(lambda messages: len(messages) >= 3)}
    assert set(answers) == {BBMD_INSTANCE, *far}
    # 3101 answers the Who-Is directly; 3102 broadcasts its I-Am on its own
    # network and the BBMD forwards it, naming 3102 as the original source.
    assert answers[3101].sender == far[3101] and answers[3101].function == 0x0A
    assert answers[3102].sender == bbmd and answers[3102].function == FORWARDED_NPDU
    assert answers[3102].forwarded_from == far[3102]

    bbmd_site.command("iam 3101")
    forwarded = [m for m in wire.collect_until(lambda messages: bool(messages)) if i_am_instance(m) == 3101]
    assert [(m.function, m.sender, m.forwarded_from) for m in forwarded] == [(FORWARDED_NPDU, bbmd, far[3101])]

    # Deregistered, the device's broadcasts no longer reach us.
    wire.send(w.bvlc(0x08, socket.inet_aton(host) + port.to_bytes(2, "big")), bbmd)
    deleted = wire.receive()
    assert deleted is not None and (deleted.function, deleted.bvlc_payload) == (RESULT, b"\x00\x00")
    bbmd_site.command("iam 3101")
    assert not [m for m in wire.collect(1.0) if i_am_instance(m) == 3101]

