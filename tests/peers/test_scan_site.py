"""The whole-site topology: 20 devices of 200 objects behind one router, and
a device told to fall silent partway through."""

from __future__ import annotations

from . import wire as w
from .topology import ROUTER_INSTANCE, SITE_NETWORK, start_scan_site

DEVICE, TREND_LOG, OBJECT_LIST, OBJECT_NAME, READ_PROPERTY = 8, 20, 76, 77, 12


def test_every_device_of_the_site_answers_with_its_whole_object_list(scan_site):
    router = scan_site.router.address
    with w.Wire() as wire:
        wire.send(w.unicast(w.npdu(w.who_is(), dnet=0xFFFF)), router)
        found = {}
        for message in wire.collect_until(lambda messages: len(messages) >= 21, grace=1.0):
            if message.apdu[:2] == b"\x10\x00":
                found[message.tags()[0].object_id()[1]] = (message.snet, message.sadr)
        assert found == {ROUTER_INSTANCE: (None, None),
                         **{d.instance: (SITE_NETWORK, d.mac) for d in scan_site.devices}}
        for device in scan_site.devices:
            answer = wire.request(router, READ_PROPERTY, w.read_property(DEVICE, device.instance, OBJECT_LIST, 0),
                                  dnet=SITE_NETWORK, dadr=device.mac)
            assert answer.tags()[4].unsigned() == 200, device  # [0] is the array's length
        first = scan_site.devices[0]
        answer = wire.request(router, READ_PROPERTY, w.read_property(DEVICE, first.instance, OBJECT_LIST),
                              dnet=SITE_NETWORK, dadr=first.mac)
        objects = [t.object_id() for t in answer.tags()[3:-1]]
        assert len(set(objects)) == 200 and (TREND_LOG, 1) in objects


def test_a_device_falls_silent_partway_while_the_others_answer(peer_topology):
    site = peer_topology(start_scan_site, devices=3, points=20, options={5002: {"mute_after": 4}})
    router = site.router.address
    expected = [[True, True, True]] * 4 + [[True, False, True]] * 2
    with w.Wire() as wire:
        def answered(device, expect: bool) -> bool:
            # An answer may take a while on a busy machine; silence is judged after a second.
            wire.timeout = 5.0 if expect else 1.0
            try:
                wire.request(router, READ_PROPERTY, w.read_property(DEVICE, device.instance, OBJECT_NAME),
                             dnet=SITE_NETWORK, dadr=device.mac)
            except TimeoutError:
                return False
            return True

        rounds = [[answered(d, expect) for d, expect in zip(site.devices, row)] for row in expected]
    assert rounds == expected
