"""The client through scripted routers and BBMDs on 127.0.0.1: devices by instance, routed
addresses, Reject-Message-To-Network and foreign-device registration (the NAKs and rejects
that bacpypes3 never sends)."""

from __future__ import annotations

import asyncio

import pytest

from ferromesh import BacnetError, BacnetTimeoutError, StackConfig
from ferromesh.client import Client
from ferromesh.errors import BacnetRouteError
from test_client import ScriptedDevice, run

NETWORK = 5


def npdu_parts(datagram: bytes) -> tuple[int | None, bytes | None, bytes]:
    """(DNET, DADR, APDU or network message) of a datagram the client sent."""
    control, pos = datagram[5], 6
    dnet = dadr = None
    if control & 0x20:
        dnet, length = int.from_bytes(datagram[6:8], "big"), datagram[8]
        dadr, pos = datagram[9:9 + length], 9 + length + 1  # and the hop count
    return dnet, dadr, datagram[pos:]


def from_behind(mac: bytes, apdu: bytes, function: int = 0x0A) -> bytes:
    """A datagram a device behind the router sends, as the router passes it on: SNET and SADR."""
    npdu = bytes([0x01, 0x08]) + NETWORK.to_bytes(2, "big") + bytes([len(mac)]) + mac + apdu
    return bytes([0x81, function]) + (4 + len(npdu)).to_bytes(2, "big") + npdu


def i_am_apdu(instance: int, max_apdu: int = 480) -> bytes:
    return (b"\x10\x00\xc4" + ((8 << 22) | instance).to_bytes(4, "big") + b"\x22" + max_apdu.to_bytes(2, "big")
            + b"\x91\x03\x21\x07")


class Router:
    """A router with devices behind it, by MAC -> instance; each answers ReadProperty with its instance
    as an Unsigned. ``silent`` MACs answer nothing; a request to another network is rejected."""

    def __init__(self, devices: dict[bytes, int]) -> None:
        self.devices = devices
        self.silent: set[bytes] = set()
        self.requests: list[tuple[int | None, bytes | None, bytes]] = []

    def __call__(self, datagram: bytes) -> list[bytes]:
        dnet, dadr, apdu = npdu_parts(datagram)
        self.requests.append((dnet, dadr, apdu))
        if apdu[:2] == b"\x10\x08":  # Who-Is, with its limits
            low = high = None
            if len(apdu) > 2:
                low = int.from_bytes(apdu[3:3 + (apdu[2] & 7)], "big")
                high = int.from_bytes(apdu[4 + (apdu[2] & 7):], "big")
            return [from_behind(mac, i_am_apdu(instance), 0x0B) for mac, instance in self.devices.items()
                    if dnet in (NETWORK, 0xFFFF) and (low is None or low <= instance <= high)]
        if dnet != NETWORK:
            return [bytes([0x81, 0x0A, 0x00, 0x0A, 0x01, 0x80, 0x03, 0x01]) + (dnet or 0).to_bytes(2, "big")]
        if dadr in self.silent or dadr not in self.devices:
            return []
        invoke_id, service = apdu[2], apdu[3]
        value = b"\x22" + self.devices[dadr].to_bytes(2, "big")
        return [from_behind(dadr, bytes([0x30, invoke_id, service]) + apdu[4:] + b"\x3e" + value + b"\x3f")]


def test_devices_behind_a_router_by_instance_and_by_whole_address():
    router = Router({b"\x11": 2001, b"\x12": 2002})

    async def main(address):
        async with Client("127.0.0.1:0", discovery=f"{address}/65535") as c:
            found = await c.who_is(timeout=0.5)
            by_instance = [(await c.read_property(i, "device:1", "object-name")).value.value for i in (2002, 2001)]
            again = await c.read_property("device:2001", "device:1", "object-name")
            by_address = await c.read_property(f"{address}/{NETWORK}:12", "device:1", "object-name")
            return found, by_instance, again, by_address

    with ScriptedDevice(router) as device:
        found, by_instance, again, by_address = run(main(device.address))
    assert sorted((d.instance, d.address, d.network, d.mac, d.max_apdu) for d in found) == [
        (2001, f"{device.address}/{NETWORK}:11", NETWORK, b"\x11", 480),
        (2002, f"{device.address}/{NETWORK}:12", NETWORK, b"\x12", 480)]
    assert by_instance == [2002, 2001] and again.value.value == 2001 and by_address.value.value == 2002
    # One Who-Is to every network, then none for the instances heard of: each request named its device.
    who_is = [r for r in router.requests if r[2][:2] == b"\x10\x08"]
    assert [(dnet, dadr, apdu) for dnet, dadr, apdu in who_is] == [(0xFFFF, b"", b"\x10\x08")]
    assert [dadr for dnet, dadr, apdu in router.requests if apdu[:1] == b"\x02"] == [b"\x12", b"\x11", b"\x11",
                                                                                     b"\x12"]


def test_a_device_that_moved_is_found_again_after_a_timeout():
    router = Router({b"\x12": 2002})

    async def main(address):
        config = StackConfig(apdu_timeout_secs=0.2, apdu_retries=0)
        async with Client("127.0.0.1:0", config=config, discovery=f"{address}/65535") as c:
            first = await c.read_property(2002, "device:1", "object-name")
            # The device is now at MAC 0x13; at 0x12 nothing answers.
            router.devices = {b"\x13": 2002}
            router.silent = {b"\x12"}
            moved = await c.read_property(2002, "device:1", "object-name")
            with pytest.raises(BacnetTimeoutError, match="4194000"):
                await c.read_property(4194000, "device:1", "object-name")
            return first, moved, (await c.find_device(2002)).address

    with ScriptedDevice(router) as device:
        first, moved, address = run(main(device.address))
    assert first.value.value == moved.value.value == 2002 and address == f"{device.address}/{NETWORK}:13"
    # Asked at the old MAC once, then found again (Who-Is for 2002 alone) and asked at the new one.
    assert [(dnet, dadr) for dnet, dadr, apdu in router.requests if apdu[:1] == b"\x02"] == [
        (NETWORK, b"\x12"), (NETWORK, b"\x12"), (NETWORK, b"\x13")]
    assert [apdu for _, _, apdu in router.requests if apdu[:2] == b"\x10\x08"].count(
        b"\x10\x08\x0a\x07\xd2\x1a\x07\xd2") >= 2


def test_a_network_the_router_cannot_reach_fails_at_once():
    router = Router({b"\x11": 2001})

    async def main(address):
        async with Client("127.0.0.1:0", config=StackConfig(apdu_timeout_secs=30)) as c:
            started = asyncio.get_running_loop().time()
            with pytest.raises(BacnetError) as caught:
                await c.read_property(f"{address}/99:11", "device:1", "object-name")
            return caught.value, asyncio.get_running_loop().time() - started

    with ScriptedDevice(router) as device:
        error, took = run(main(device.address))
    assert str(error) == "router rejected the message to network 99: network unreachable (reason 1)"
    assert isinstance(error, BacnetRouteError) and (error.network, error.reason) == (99, 1)
    assert took < 10  # not the 30 s timeout


@pytest.mark.parametrize("answer, raises", [
    (b"\x81\x00\x00\x06\x00\x00", None),
    (b"\x81\x00\x00\x06\x00\x30", "refused the registration"),
    (None, "did not answer the registration"),
])
def test_foreign_device_registration(answer, raises):
    received: list[bytes] = []

    def bbmd(datagram: bytes) -> list[bytes]:
        received.append(datagram)
        return [answer] if datagram[1] == 0x05 and answer is not None else []

    async def main(address):
        config = StackConfig(apdu_timeout_secs=0.1, apdu_retries=1)
        async with Client("127.0.0.1:0", config=config, bbmd=address, ttl=600) as c:
            assert c.registered
            await c.who_is(timeout=0.2)
        return None

    with ScriptedDevice(bbmd) as device:
        if raises is None:
            run(main(device.address))
        else:
            with pytest.raises(BacnetError, match=raises):
                run(main(device.address))
    assert received[0] == b"\x81\x05\x00\x06\x02\x58"  # Register-Foreign-Device, 600 s
    if raises is None:
        # The global Who-Is goes to the BBMD to be distributed.
        assert received[1:] == [b"\x81\x09\x00\x0c\x01\x20\xff\xff\x00\xff\x10\x08"]
    elif answer is None:
        assert len(received) == 2  # sent again once (one retry) before the client gave up
