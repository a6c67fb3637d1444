"""read_many and poll against bacpypes3 devices: one that serves ReadPropertyMultiple, one that
refuses it, and a silent one."""

from __future__ import annotations

import asyncio
import os
import select
import socket
import subprocess
import sys
import time

import pytest
from conftest import _answers_who_is

from ferromesh import BacnetTimeoutError, ServiceReadProperty, ServiceReadPropertyMultiple, StackConfig
from ferromesh._enums import ErrorCode
from ferromesh.client import Client
from ferromesh.demo_device import POINTS

REFUSING_DEVICE = os.path.join(os.path.dirname(__file__), "rpm_refusing_device.py")


@pytest.fixture(scope="module")
def refusing_device(peer_installed):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    process = subprocess.Popen([sys.executable, "-P", REFUSING_DEVICE, "--port", str(port)],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        ready, _, _ = select.select([process.stdout], [], [], 30)
        assert ready and process.stdout.readline().strip() == f"ready {port}"
        deadline = time.monotonic() + 20
        while not _answers_who_is(port):
            assert time.monotonic() < deadline, "the refusing device did not answer"
        yield f"127.0.0.1:{port}"
    finally:
        process.terminate()
        process.wait(timeout=10)


@pytest.fixture()
def silent():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        yield f"127.0.0.1:{s.getsockname()[1]}"


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


def test_read_many_mixes_devices_and_keeps_the_order_asked(device, refusing_device, silent):
    points = []
    for n, p in enumerate(ANALOG):
        points.append((device.address, f"analog-input:{p.instance}", "present-value"))
        if n % 10 == 0:
            points.append((refusing_device, f"analog-input:{p.instance}", "object-name"))
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
    names = iter(p.name for p in ANALOG[::10])
    for point, result in zip(points[:-5], results):
        if point[0] == device.address:
            assert result.ok and result.value.value == next(values)
        elif point[0] == refusing_device:
            assert result.ok and result.value.value == next(names)
        else:
            assert isinstance(result.error, BacnetTimeoutError) and result.value is None
    unknown_object, no_priority_array, refused_unknown, state_text, bad_address = results[-5:]
    assert unknown_object.error.error_code == ErrorCode.UNKNOWN_OBJECT
    assert no_priority_array.error.error_code == ErrorCode.UNKNOWN_PROPERTY
    assert refused_unknown.error.error_code == ErrorCode.UNKNOWN_OBJECT
    assert state_text.value.value == "low"
    assert isinstance(bad_address.error, ValueError)
    # The served device got everything in one packed request; the refusing
    # one was asked once that way, then point by point.
    assert sent.count((device.address, ServiceReadPropertyMultiple)) == 1
    assert sent.count((refusing_device, ServiceReadPropertyMultiple)) == 1
    assert sent.count((refusing_device, ServiceReadProperty)) == 4


def test_a_device_that_refused_is_asked_point_by_point_from_then_on(refusing_device):
    points = [(refusing_device, f"analog-input:{p.instance}", "present-value") for p in ANALOG[:5]]

    async def twice(client):
        await client.read_many(points)
        return await client.read_many(points)

    results, sent = run(twice)
    assert [r.value.value for r in results] == [p.value for p in ANALOG[:5]]
    assert [service for _, service in sent].count(ServiceReadPropertyMultiple) == 1
    assert len(sent) == 11


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


def test_poll_reports_overruns_and_skips_instead_of_stacking(device, silent):
    points = [(device.address, "analog-input:1", "present-value"), (silent, "analog-input:1", "present-value")]

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
