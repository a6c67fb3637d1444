"""ferromesh against bacpypes3 devices behind a router and behind a BBMD.

The routed devices live on a virtual network behind a bacpypes3 router on
127.0.0.1; the BBMD's devices on another B/IP network (127.0.77.x, a port
no client uses), whose broadcasts reach a client only once it registered
with the BBMD as a foreign device.
"""

from __future__ import annotations

import asyncio
import json
import subprocess
import sys

import pytest

from ferromesh import PropertyValueReal, StackConfig
from ferromesh.client import BacnetRejectError, Client
from peers import DeviceSpec, catalogue, start_routed_site
from peers.topology import ROUTER_INSTANCE

ROUTED, LIMITED = 2101, 2102
POINTS = catalogue.site_points(100)


@pytest.fixture(scope="module")
def site(bacpypes3_peers):
    """A routed site of our own (values are written): 2101 with 100 extra points, 2102 without
    ReadPropertyMultiple or segmentation, at most 480-octet APDUs."""
    with start_routed_site([DeviceSpec(ROUTED, points=100),
                            DeviceSpec(LIMITED, capabilities=("no-rpm",), max_apdu=480,
                                       segmentation="noSegmentation")]) as topology:
        yield topology


def text(device) -> str:
    host, port = device.address
    return f"{host}:{port}/{device.network}:{device.mac.hex()}"


def everywhere(topology) -> str:
    """Every device of every network, through the site's router."""
    host, port = topology.router.address
    return f"{host}:{port}/65535"


def run(work, **client):
    async def main():
        async with Client("127.0.0.1:0", **client) as c:
            return await work(c)
    return asyncio.run(asyncio.wait_for(main(), 90))


def test_read_write_and_segmented_read_multiple_to_a_routed_device(site):
    address = text(site.device(ROUTED))
    specs = [(f"{p.object_type}:{p.instance}", ["object-name", "description"]) for p in POINTS]

    async def work(c):
        before = await c.read_property(address, "analog-value:1", "present-value")
        await c.write_property(address, "analog-value:1", "present-value", PropertyValueReal(30.5), priority=8)
        after = await c.read_property(address, "analog-value:1", "present-value")
        many = await c.read_property_multiple(address, specs)
        return before, after, many

    before, after, many = run(work)
    assert (before.value.value, after.value.value) == (catalogue.SETPOINT, 30.5)
    assert site.command(f"get {ROUTED} analog-value:1 present-value") == "30.5"
    # 100 objects of two texts each: several 1476-octet segments through the router.
    got = [[p.value.value for p in o.properties] for o in many.objects]
    assert got == [[p.name, p.description] for p in POINTS]
    assert sum(len(p.name) + len(p.description) + 8 for p in POINTS) > 1476


def test_a_routed_device_that_refuses_read_property_multiple(site):
    address = text(site.device(LIMITED))

    async def work(c):
        name = await c.read_property(address, "device:%d" % LIMITED, "object-name")
        with pytest.raises(BacnetRejectError):
            await c.read_property_multiple(address, [("analog-value:1", ["present-value"])])
        return name

    assert run(work).value.value == f"device-{LIMITED}"


def test_who_is_finds_routed_devices_with_their_network_and_mac(site):
    found = run(lambda c: c.who_is(everywhere(site), timeout=10, expect=3))
    router_host, router_port = site.router.address
    assert sorted((d.instance, d.address, d.network, d.mac, d.max_apdu, int(d.segmentation)) for d in found) == [
        (ROUTER_INSTANCE, f"{router_host}:{router_port}", None, None, 1476, 0),
        (ROUTED, text(site.device(ROUTED)), site.network, site.device(ROUTED).mac, 1476, 0),
        (LIMITED, text(site.device(LIMITED)), site.network, site.device(LIMITED).mac, 480, 3),
    ]


def test_routed_devices_addressed_by_instance(site):
    async def work(c):
        first = await c.read_property(ROUTED, "analog-input:1", "present-value")
        name = await c.read_property(f"device:{LIMITED}", f"device:{LIMITED}", "object-name")
        found = await c.find_device(LIMITED)
        return first, name, found

    first, name, found = run(work, discovery=everywhere(site))
    assert first.value.value == catalogue.TEMPERATURE and name.value.value == f"device-{LIMITED}"
    assert (found.address, found.max_apdu, int(found.segmentation)) == (text(site.device(LIMITED)), 480, 3)


def test_an_instance_nobody_has_times_out(site):
    async def work(c):
        with pytest.raises(Exception) as caught:
            await c.read_property(4194302, "analog-input:1", "present-value")
        return caught.value

    error = run(work, discovery=everywhere(site), config=StackConfig(apdu_timeout_secs=0.5, apdu_retries=0))
    assert type(error).__name__ == "BacnetTimeoutError" and "4194302" in str(error)


def test_foreign_device_discovers_and_reads_devices_behind_the_bbmd(bbmd_site):
    bbmd_host, bbmd_port = bbmd_site.bbmd.address
    far = {d.instance: d for d in bbmd_site.devices}

    async def work(c):
        found = await c.who_is(timeout=10, expect=3)
        # 3102 answers with a broadcast that reaches us as a Forwarded-NPDU:
        # the client reads it at the address it came from, not the BBMD's.
        names = [(await c.read_property(instance, f"device:{instance}", "object-name")).value.value
                 for instance in sorted(far)]
        return found, names

    found, names = run(work, bbmd=f"{bbmd_host}:{bbmd_port}", ttl=30)
    addresses = {d.instance: d.address for d in found}
    assert addresses == {3000: f"{bbmd_host}:{bbmd_port}",
                         **{i: f"{d.address[0]}:{d.address[1]}" for i, d in far.items()}}
    assert names == [f"device-{i}" for i in sorted(far)]


def cli(*argv: str) -> tuple[int, str, str]:
    done = subprocess.run([sys.executable, "-P", "-m", "ferromesh", *argv], capture_output=True, text=True,
                          timeout=120)
    return done.returncode, done.stdout, done.stderr


def test_command_line_lists_routed_devices_and_reads_one_by_instance(site):
    code, out, err = cli("whois", everywhere(site), "--wait", "3", "--json")
    assert code == 0, err
    rows = {row["device"]: row for row in json.loads(out)}
    assert (rows[ROUTED]["network"], rows[ROUTED]["mac"]) == (site.network, site.device(ROUTED).mac.hex())
    assert (rows[ROUTER_INSTANCE]["network"], rows[ROUTER_INSTANCE]["mac"]) == (None, None)

    code, out, err = cli("read", str(ROUTED), "analog-input:1", "present-value", "--discover", everywhere(site),
                         "--json")
    assert code == 0, err
    assert json.loads(out)["address"] == text(site.device(ROUTED))
    assert json.loads(out)["value"] == catalogue.TEMPERATURE


def test_command_line_through_the_bbmd(bbmd_site):
    bbmd_host, bbmd_port = bbmd_site.bbmd.address
    code, out, err = cli("read", "device:3102", "device:3102", "object-name", "--bbmd", f"{bbmd_host}:{bbmd_port}")
    assert code == 0, err
    assert out.strip() == "device:3102 object-name = device-3102"
