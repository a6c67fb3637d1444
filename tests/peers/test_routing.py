"""The router topology on the wire: routed requests and answers, broadcasts
through the router, the network layer, and devices that refuse or fall silent."""

from __future__ import annotations

import threading

import pytest

from . import wire as w
from .topology import IP_NETWORK, ROUTER_INSTANCE, VIRTUAL_NETWORK, DeviceSpec, start_routed_site

OBJECT_NAME, OBJECT_LIST, SERVICES_SUPPORTED = 77, 76, 97
DEVICE = 8
READ_PROPERTY, READ_PROPERTY_MULTIPLE, REINITIALIZE_DEVICE = 12, 14, 20


@pytest.fixture
def wire():
    with w.Wire() as socket_:
        yield socket_


@pytest.mark.parametrize("instance, mac", [(2001, b"\x11"), (2002, b"\x12"), (ROUTER_INSTANCE, None)])
def test_read_property_through_the_router(routed_site, wire, instance, mac):
    router = routed_site.router.address
    dnet = VIRTUAL_NETWORK if mac else None
    answer = wire.request(router, READ_PROPERTY, w.read_property(DEVICE, instance, OBJECT_NAME),
                          dnet=dnet, dadr=mac or b"")
    # Answers from behind the router come from the router's address and name their source network and MAC.
    assert answer.sender == router
    assert (answer.snet, answer.sadr, answer.dnet) == (dnet, mac, None)
    assert (answer.pdu_type, answer.service) == (3, READ_PROPERTY)
    tags = answer.tags()
    assert tags[0].object_id() == (DEVICE, instance)
    assert tags[3].text() == ("router" if mac is None else f"device-{instance}")


def test_who_is_through_the_router_finds_routed_devices_and_their_limits(routed_site, wire):
    wire.send(w.unicast(w.npdu(w.who_is(), dnet=0xFFFF)), routed_site.router.address)
    i_ams = {}
    for message in wire.collect_until(lambda messages: len(messages) >= 3):
        if message.apdu[:2] == b"\x10\x00":
            oid, max_apdu, segmentation, vendor = message.tags()
            i_ams[oid.object_id()[1]] = (message.snet, message.sadr, max_apdu.unsigned(), segmentation.unsigned())
    assert i_ams == {
        ROUTER_INSTANCE: (None, None, 1476, 0),
        2001: (VIRTUAL_NETWORK, b"\x11", 1476, 0),
        2002: (VIRTUAL_NETWORK, b"\x12", 480, 3),  # no segmentation
    }
    wire.send(w.unicast(w.npdu(b"", network_message=0x00)), routed_site.router.address)  # Who-Is-Router-To-Network
    answers = [m for m in wire.collect_until(lambda messages: bool(messages)) if m.network_message == 0x01]
    assert [m.apdu for m in answers] == [VIRTUAL_NETWORK.to_bytes(2, "big")]


def test_segmented_answer_through_the_router(routed_site, wire):
    """2001's object list in 206-octet segments, each acknowledged back through the router."""
    router, mac = routed_site.router.address, b"\x11"
    wire.send(w.unicast(w.npdu(w.confirmed(9, READ_PROPERTY, w.read_property(DEVICE, 2001, OBJECT_LIST),
                                           max_apdu=206), dnet=VIRTUAL_NETWORK, dadr=mac, expecting_reply=True)),
              router)
    payload, sequence = b"", 0
    while True:
        segment = wire.receive()
        assert segment is not None and segment.snet == VIRTUAL_NETWORK and segment.sadr == mac
        assert segment.apdu[0] & 0xF8 == 0x38 and segment.apdu[1] == 9 and segment.apdu[2] == sequence
        payload += segment.apdu[5:]
        wire.send(w.unicast(w.npdu(bytes([0x40, 9, sequence, 1]), dnet=VIRTUAL_NETWORK, dadr=mac)),
                  router)
        if not segment.apdu[0] & 0x04:  # no more follows
            break
        sequence += 1
    assert sequence >= 2
    objects = [t.object_id() for t in w.read_tags(payload)[3:-1]]
    assert len(objects) == 1 + 4 + 2 + 1 + 1 + 2 + 100  # device, base points, features, extra points
    assert (DEVICE, 2001) in objects and (20, 1) in objects  # and the trend log


@pytest.mark.parametrize("instance, mac, rpm_supported", [(2001, b"\x11", True), (2002, b"\x12", False)])
def test_a_device_can_refuse_read_property_multiple(routed_site, wire, instance, mac, rpm_supported):
    router = routed_site.router.address
    answer = wire.request(router, READ_PROPERTY_MULTIPLE, w.read_property_multiple(DEVICE, instance, [OBJECT_NAME]),
                          dnet=VIRTUAL_NETWORK, dadr=mac)
    if rpm_supported:
        assert answer.pdu_type == 3
    else:
        assert (answer.pdu_type, answer.reason, answer.snet, answer.sadr) == (6, 9, VIRTUAL_NETWORK, mac)
    services = wire.request(router, READ_PROPERTY, w.read_property(DEVICE, instance, SERVICES_SUPPORTED),
                            dnet=VIRTUAL_NETWORK, dadr=mac).tags()[3].data
    bits = "".join(f"{octet:08b}" for octet in services[1:])
    assert bits[14] == ("1" if rpm_supported else "0")  # readPropertyMultiple
    assert bits[12] == "1"  # readProperty either way


@pytest.mark.parametrize("answer, reported", [
    (lambda invoke_id: w.reject(invoke_id, 9), "reject unrecognized-service"),
    (lambda invoke_id: w.simple_ack(invoke_id, REINITIALIZE_DEVICE), "ack"),
])
def test_a_routed_device_sends_a_confirmed_request_to_the_client(routed_site, wire, answer, reported):
    host, port = wire.address
    result: dict[str, str] = {}
    asking = threading.Thread(target=lambda: result.setdefault(
        "reply", routed_site.command(f"request 2001 {IP_NETWORK}:{host}:{port} reinitialize-device")))
    asking.start()
    request = wire.receive()
    assert request is not None and request.sender == routed_site.router.address
    assert (request.snet, request.sadr, request.pdu_type, request.service) == (VIRTUAL_NETWORK, b"\x11", 0,
                                                                               REINITIALIZE_DEVICE)
    wire.send(w.unicast(w.npdu(answer(request.invoke_id), dnet=request.snet, dadr=request.sadr)), request.sender)
    asking.join()
    assert result["reply"] == reported


def test_a_device_stops_answering_on_command(peer_topology, wire):
    site = peer_topology(start_routed_site, [DeviceSpec(2101, mute_after=2)])
    router, mac = site.router.address, site.devices[0].mac

    def answers(expected: bool) -> bool:
        # An answer may take a while on a busy machine; silence is judged after a second.
        wire.timeout = 5.0 if expected else 1.0
        try:
            wire.request(router, READ_PROPERTY, w.read_property(DEVICE, 2101, OBJECT_NAME), dnet=VIRTUAL_NETWORK,
                         dadr=mac)
        except TimeoutError:
            return False
        return True

    assert answers(True) and answers(True) and not answers(False)
    assert site.command("stats 2101") == '{"ReadPropertyRequest": 2}'
    site.command("unmute 2101")
    assert answers(True)
    site.command("mute 2101")
    assert not answers(False)
    # The router still answers for itself while the device behind it is silent.
    assert wire.request(router, READ_PROPERTY, w.read_property(DEVICE, ROUTER_INSTANCE, OBJECT_NAME)).pdu_type == 3
