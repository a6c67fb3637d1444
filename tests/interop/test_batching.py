"""read_many and poll against bacpypes3 devices: the simulated device, a test peer that refuses
ReadPropertyMultiple, and a muted one that never answers."""

from __future__ import annotations

import asyncio
import json
import socket

import pytest

from ferromesh import BacnetTimeoutError, ServiceReadPropertyMultiple, StackConfig
from ferromesh._enums import ErrorCode
from ferromesh.client import Client
from ferromesh.demo_device import POINTS
from peers import start_device
from peers.catalogue import TEMPERATURE

REFUSING, SILENT = 4301, 4302


@pytest.fixture()
def refusing(peer_topology):
    site = peer_topology(start_device, instance=REFUSING, capabilities=("no-rpm",), max_apdu=480,
                         segmentation="noSegmentation")
    host, port = site.devices[0].address
    return site, f"{host}:{port}"


@pytest.fixture()
def silent(peer_topology):
    host, port = peer_topology(start_device, instance=SILENT, mute_after=0).devices[0].address
    return f"{host}:{port}"


@pytest.fixture()
def nobody():
    """An address where nothing answers."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        yield f"127.0.0.1:{s.getsockname()[1]}"


def stats(site, instance):
    return json.loads(site.command(f"stats {instance}").removeprefix("ok "))


def run(work, **config):
    async def main():
        async with Client("127.0.0.1:0", config=StackConfig(**config)) as client:
            sent = []
            request = client._open().request

            def counting(dest, service):  # which service went to which device
                sent.append((f"{dest.addr}:{dest.port}", type(service)))
                return request(dest, service)

            client._open().request = counting
            return await work(client), sent

    return asyncio.run(asyncio.wait_for(main(), 60))


ANALOG = [p for p in POINTS if p.object_type == "analog-input"][:30]


def test_read_many_mixes_devices_and_keeps_the_order_asked(device, refusing, silent):
    site, refusing_device = refusing
    points = []
    for n, p in enumerate(ANALOG):
        points.append((device.address, f"analog-input:{p.instance}", "present-value"))
        if n % 10 == 0:
            points.append((refusing_device, "analog-input:1", "present-value"))
            points.append((silent, f"analog-input:{p.instance}", "present-value"))
    points += [
        (device.address, "analog-input:9999", "present-value"),
        (device.address, "analog-input:1", "priority-array"),  # analog inputs have none
        (refusing_device, "analog-input:9999", "present-value"),
        (device.address, "multi-state-value:2", "state-text", 2),
        ("not an address", "analog-input:1", "present-value"),
    ]

    results, sent = run(lambda c: c.read_many(points), apdu_timeout_secs=1.5, apdu_retries=0)

    assert [r.point for r in results] == points
    values = iter(p.value for p in ANALOG)
    for point, result in zip(points[:-5], results):
        if point[0] == device.address:
            assert result.ok and result.value.value == next(values)
        elif point[0] == refusing_device:
            assert result.ok and result.value.value == TEMPERATURE
        else:
            assert isinstance(result.error, BacnetTimeoutError) and result.value is None
    unknown_object, no_priority_array, refused_unknown, state_text, bad_address = results[-5:]
    assert unknown_object.error.error_code == ErrorCode.UNKNOWN_OBJECT
    assert no_priority_array.error.error_code == ErrorCode.UNKNOWN_PROPERTY
    assert refused_unknown.error.error_code == ErrorCode.UNKNOWN_OBJECT
    assert state_text.value.value == "low"
    assert isinstance(bad_address.error, ValueError)
    # The simulated device got everything in one packed request; the refusing
    # one was asked once that way, then point by point.
    assert sent.count((device.address, ServiceReadPropertyMultiple)) == 1
    assert stats(site, REFUSING) == {"ReadPropertyMultipleRequest": 1, "ReadPropertyRequest": 4}


def test_a_device_that_refused_is_asked_point_by_point_from_then_on(refusing):
    site, refusing_device = refusing
    objects = ["analog-input:1", "analog-value:1", "binary-value:1", "multi-state-value:1", "analog-input:1"]
    points = [(refusing_device, obj, "object-name") for obj in objects]

    async def twice(client):
        await client.read_many(points)
        return await client.read_many(points)

    results, _ = run(twice)
    assert [r.value.value for r in results] == ["temperature", "setpoint", "occupied", "fan-speed", "temperature"]
    assert stats(site, REFUSING) == {"ReadPropertyMultipleRequest": 1, "ReadPropertyRequest": 10}


def test_poll_reads_every_round_on_its_schedule(device):
    points = [(device.address, f"analog-input:{p.instance}", "present-value") for p in ANALOG[:8]]

    async def three_rounds(client):
        rounds = []
        async for poll_round in client.poll(points, 0.2):
            rounds.append(poll_round)
            if len(rounds) == 3:
                return rounds

    rounds, _ = run(three_rounds)
    for poll_round in rounds:
        assert [r.value.value for r in poll_round.results] == [p.value for p in ANALOG[:8]]
        assert not poll_round.overran and poll_round.missed == 0
    starts = [r.timestamp for r in rounds]
    assert all(0.15 < b - a < 0.35 for a, b in zip(starts, starts[1:]))


def test_poll_reports_overruns_and_skips_instead_of_stacking(device, nobody):
    points = [(device.address, "analog-input:1", "present-value"), (nobody, "analog-input:1", "present-value")]

    async def rounds_of(client):
        rounds = []
        async for poll_round in client.poll(points, 0.2):
            rounds.append(poll_round)
            if len(rounds) == 3:
                return rounds

    rounds, _ = run(rounds_of, apdu_timeout_secs=0.6, apdu_retries=0)
    for poll_round in rounds:
        assert poll_round.results[0].value.value == ANALOG[0].value
        assert isinstance(poll_round.results[1].error, BacnetTimeoutError)
        assert poll_round.overran and poll_round.elapsed >= 0.6
    # Each round waits for the one before; 0.6 s each means at least one
    # slot of 0.2 s passes unused every round.
    assert rounds[0].missed == 0 and all(r.missed >= 1 for r in rounds[1:])
    for before, after in zip(rounds, rounds[1:]):
        assert after.timestamp >= before.timestamp + before.elapsed - 0.01
