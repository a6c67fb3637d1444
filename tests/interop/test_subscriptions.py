"""COV subscriptions and notifications against a bacpypes3 device: values changed from the test
drive notifications, confirmed and not; a short lifetime is renewed; leaving the block cancels; the
device's own requests to the client are answered."""

from __future__ import annotations

import asyncio
import json
import subprocess
import sys

import pytest

from ferromesh import BacnetError, EventEventNotification
from ferromesh._enums import PropertyIdentifier
from ferromesh.client import Client, COVChange
from peers import IP_NETWORK, DeviceSpec, start_device, start_routed_site
from peers.catalogue import SETPOINT

INSTANCE = 4401
PV = PropertyIdentifier.PRESENT_VALUE


@pytest.fixture()
def cov_device(peer_topology):
    site = peer_topology(start_device, instance=INSTANCE, capabilities=("cov", "alarms"))
    host, port = site.devices[0].address
    return site, f"{host}:{port}"


def subscriptions_of(site, instance):
    return json.loads(site.command(f"subscriptions {instance}").removeprefix("ok "))


def subscriptions(site):
    return subscriptions_of(site, INSTANCE)


async def next_change(sub, timeout=10.0) -> COVChange:
    return await asyncio.wait_for(anext(sub), timeout)


async def first_with(sub, value, timeout=10.0) -> COVChange:
    """The first change reporting present-value ``value``: a renewal reports the value again."""
    async with asyncio.timeout(timeout):
        async for change in sub:
            if change.values[PV].value == value:
                return change
    raise AssertionError("the subscription ended")


async def drain(sub, seconds) -> list[COVChange]:
    """Every change that arrives within ``seconds``."""
    got = []
    try:
        async with asyncio.timeout(seconds):
            async for change in sub:
                got.append(change)
    except TimeoutError:
        pass
    return got


@pytest.mark.parametrize(
    "obj, prop, value, expected",
    [
        ("analog-value:1", None, 30.5, 30.5),
        ("analog-value:1", "present-value", 40.0, 40.0),
        ("binary-value:1", None, "active", 1),
        ("multi-state-value:1", None, 3, 3),
    ],
)
@pytest.mark.parametrize("confirmed", [False, True])
def test_changes_on_the_device_arrive(cov_device, obj, prop, value, expected, confirmed):
    site, address = cov_device

    async def main():
        async with Client("127.0.0.1:0") as client:
            async with client.subscribe_cov(address, obj, prop, confirmed=confirmed, lifetime=120) as sub:
                initial = await next_change(sub)  # the device reports the value when subscribed
                assert initial.object_id.instance == 1 and PV in initial.values
                [live] = subscriptions(site)
                assert live["process_id"] == sub.process_id and live["confirmed"] == confirmed
                await site.acommand(f"set {INSTANCE} {obj} present-value {json.dumps(value)}")
                change = await next_change(sub)
                assert change.confirmed == confirmed
                assert change.device.instance == INSTANCE
                assert change.values[PV].value == expected
                assert 0 < change.time_remaining <= 120
            # Left: cancelled at the device, and nothing more arrives.
            assert subscriptions(site) == []
            await site.acommand(f"set {INSTANCE} {obj} present-value {json.dumps(value)}")

    asyncio.run(main())


def test_short_lifetime_is_renewed_and_cancel_stops_notifications(cov_device):
    site, address = cov_device

    async def main():
        async with Client("127.0.0.1:0") as client:
            async with client.subscribe_cov(address, "analog-value:1", lifetime=4) as sub:
                await next_change(sub)
                await asyncio.sleep(6)  # past the first lifetime: alive only by renewal
                assert sub.renewals >= 2
                assert [s["process_id"] for s in subscriptions(site)] == [sub.process_id]
                await site.acommand(f"set {INSTANCE} analog-value:1 present-value 33.0")
                await first_with(sub, 33.0)
            # Cancelled: the device sends nothing more for it, even while
            # another subscription of the client is live.
            host = client._open()
            heard, deliver = [], host._on_unconfirmed
            host._on_unconfirmed = lambda event: (heard.append(event), deliver(event))
            async with client.subscribe_cov(address, "analog-input:1", confirmed=True) as other:
                await next_change(other)
                assert [s["process_id"] for s in subscriptions(site)] == [other.process_id]
                await site.acommand(f"set {INSTANCE} analog-value:1 present-value {SETPOINT}")
                assert await drain(other, 1.5) == []
            assert {e.process_id for e in heard} == {other.process_id}

    asyncio.run(main())


def test_subscriptions_to_several_devices_at_once(peer_topology):
    sites = [peer_topology(start_device, instance=INSTANCE + 10 + i, capabilities=("cov",)) for i in range(2)]
    addresses = ["{}:{}".format(*site.devices[0].address) for site in sites]

    async def main():
        async with Client("127.0.0.1:0") as client:
            async with client.subscribe_cov(addresses[0], "analog-value:1") as first, \
                    client.subscribe_cov(addresses[1], "analog-value:1", confirmed=True) as second:
                assert first.process_id != second.process_id
                await asyncio.gather(next_change(first), next_change(second))
                for i, site in enumerate(sites):
                    await site.acommand(f"set {INSTANCE + 10 + i} analog-value:1 present-value {40 + i}")
                changes = await asyncio.gather(first_with(first, 40.0), first_with(second, 41.0))
                assert [c.device.instance for c in changes] == [INSTANCE + 10, INSTANCE + 11]
            assert all(subscriptions_of(site, INSTANCE + 10 + i) == [] for i, site in enumerate(sites))

    asyncio.run(main())


def test_cancelled_task_cancels_the_subscription(cov_device):
    site, address = cov_device

    async def main():
        async with Client("127.0.0.1:0") as client:
            async def watch():
                async with client.subscribe_cov(address, "analog-value:1", confirmed=True) as sub:
                    async for _ in sub:
                        pass

            task = asyncio.create_task(watch())
            for _ in range(100):
                if subscriptions(site):
                    break
                await asyncio.sleep(0.05)
            assert len(subscriptions(site)) == 1
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert subscriptions(site) == []

    asyncio.run(main())


def test_refused_subscription_raises(peer_topology):
    host, port = peer_topology(start_device, instance=INSTANCE + 1).devices[0].address  # no "cov"

    async def main():
        async with Client("127.0.0.1:0") as client:
            with pytest.raises(BacnetError):
                async with client.subscribe_cov(f"{host}:{port}", "analog-value:1"):
                    pass
            assert client._subscriptions == {}

    asyncio.run(main())


@pytest.mark.parametrize("confirmed", [False, True])
def test_alarm_arrives_as_event_notification(cov_device, confirmed):
    site, _ = cov_device

    async def main():
        async with Client("127.0.0.1:0") as client:
            port = client.local_address[1]
            kind = "confirmed" if confirmed else "unconfirmed"
            await site.acommand(f"recipient {INSTANCE} 127.0.0.1:{port} 77 {kind}")
            events = client.notifications()
            pending = asyncio.ensure_future(anext(events))
            await asyncio.sleep(0)
            await site.acommand(f"set {INSTANCE} analog-value:2 present-value 95.0")  # over the high limit 80
            event = await asyncio.wait_for(pending, 10)
            assert isinstance(event, EventEventNotification)
            assert event.process_id == 77 and event.confirmed == confirmed
            assert event.initiating_device.instance == INSTANCE
            assert (event.event_object.instance, event.priority, event.notification_class) == (2, 100, 1)
            assert event.event_type == 5 and event.to_state == 3  # out-of-range, high-limit
            await events.aclose()

    asyncio.run(main())


@pytest.mark.parametrize("service", ["reinitialize-device", "read-property", "atomic-read-file"])
def test_device_request_to_the_client_is_rejected(cov_device, service):
    site, _ = cov_device

    async def main():
        async with Client("127.0.0.1:0") as client:
            port = client.local_address[1]
            answer = await site.acommand(f"request {INSTANCE} 127.0.0.1:{port} {service}")
            assert answer == "reject unrecognized-service"

    asyncio.run(main())


def test_requests_through_a_router_are_answered_back_through_it(peer_topology):
    """The router forwards a device's request with SNET/SADR; only an answer with DNET/DADR
    reaches the device: a Reject here, and a SimpleACK for a confirmed alarm, which the device
    would otherwise send again."""
    site = peer_topology(start_routed_site, [DeviceSpec(2101, capabilities=("cov", "alarms"))])

    async def main():
        async with Client("127.0.0.1:0") as client:
            client_address = f"{IP_NETWORK}:127.0.0.1:{client.local_address[1]}"
            assert await site.acommand(f"request 2101 {client_address}") == "reject unrecognized-service"
            await site.acommand(f"recipient 2101 {client_address} 5 confirmed")
            events = client.notifications()
            pending = asyncio.ensure_future(anext(events))
            await asyncio.sleep(0)
            await site.acommand("set 2101 analog-value:2 present-value 95.0")
            event = await asyncio.wait_for(pending, 10)
            assert (event.confirmed, event.initiating_device.instance, event.process_id) == (True, 2101, 5)
            # Acknowledged: no repeat after the device's APDU timeout (3 s).
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(anext(events), 4.5)
            await events.aclose()
            # A subscription to the routed device, its confirmed notifications
            # acknowledged back through the router.
            device = site.device(2101)
            routed = "{}:{}/{}:{}".format(*device.address, device.network, device.mac.hex())
            async with client.subscribe_cov(routed, "analog-value:1", confirmed=True) as sub:
                first = await next_change(sub)
                assert (first.src.network, bytes(first.src.mac)) == (device.network, device.mac)
                await site.acommand("set 2101 analog-value:1 present-value 29.0")
                await first_with(sub, 29.0)
                assert await drain(sub, 4.5) == []  # nothing sent again
            assert subscriptions_of(site, 2101) == []

    asyncio.run(main())


def watch_cli(address, *argv, as_json=True):
    return subprocess.Popen([sys.executable, "-P", "-m", "ferromesh", "watch", address, *argv]
                            + (["--json"] if as_json else []),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def test_cli_watch_prints_changes_as_json_lines(cov_device):
    site, address = cov_device
    # Each notification carries present-value and status-flags: a line each.
    with watch_cli(address, "analog-value:1", "present-value", "--count", "4") as watching:
        first = [json.loads(watching.stdout.readline()) for _ in range(2)]
        assert [(c["source"], c["object"], c["property"]) for c in first] == [
            ("cov", "analog-value:1", "present-value"), ("cov", "analog-value:1", "status-flags")]
        site.command(f"set {INSTANCE} analog-value:1 present-value 27.5")
        second = [json.loads(watching.stdout.readline()) for _ in range(2)]
        assert [c["value"] for c in second] == [27.5, "0000"]
        assert watching.wait(10) == 0
    assert subscriptions(site) == []


def test_cli_watch_polls_a_device_without_cov(peer_topology):
    site = peer_topology(start_device, instance=INSTANCE + 2)
    host, port = site.devices[0].address
    with watch_cli(f"{host}:{port}", "analog-value:1", "--count", "2", "--interval", "0.2") as watching:
        first = json.loads(watching.stdout.readline())
        assert (first["source"], first["value"]) == ("poll", SETPOINT)
        site.command(f"set {INSTANCE + 2} analog-value:1 present-value 26.0")
        assert json.loads(watching.stdout.readline())["value"] == 26.0
        assert watching.wait(10) == 0
        assert "polling every 0.2 s" in watching.stderr.read()


def test_cli_watch_prints_a_table(cov_device):
    _, address = cov_device
    with watch_cli(address, "analog-value:1", "--count", "2", as_json=False) as watching:
        assert watching.wait(20) == 0
        header, *rows = watching.stdout.read().splitlines()
    assert header.split() == ["time", "source", "object", "property", "value"]
    assert [row.split()[1:] for row in rows] == [["cov", "analog-value:1", "present-value", str(SETPOINT)],
                                                 ["cov", "analog-value:1", "status-flags", "0000"]]
