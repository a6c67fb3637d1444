"""Batching and queuing in the client: packing, splitting, per-device limits, first come first served."""

from __future__ import annotations

import asyncio
import struct

import pytest
from hypothesis import given, settings, strategies as st

from ferromesh import BacnetAddr, InputSend, ServiceReadPropertyMultiple, Stack
from ferromesh.client import Client
from ferromesh.polling import _access_specs, _Item, pack
from test_client import ScriptedDevice, complex_ack, frame, instance_of, invoke_id, read_ack, run, unsigned


def reject(request: bytes, reason: int) -> bytes:
    return frame(bytes([0x60, invoke_id(request), reason]))


def abort(request: bytes, reason: int) -> bytes:
    return frame(bytes([0x71, invoke_id(request), reason]))


def is_rpm(request: bytes) -> bool:
    return request[9] == 14


def rpm_objects(request: bytes) -> list[int]:
    """Instances of the objects a ReadPropertyMultiple asks for (each 0C <word> 1E 09 55 1F)."""
    params = request[10:]
    return [int.from_bytes(params[i + 1:i + 5], "big") & 0x3FFFFF for i in range(0, len(params), 9)]


def one_object_only(request: bytes) -> list[bytes]:
    """Answers a ReadPropertyMultiple of one object; aborts a larger one as too long to send."""
    objects = rpm_objects(request)
    if len(objects) > 1:
        return [abort(request, 4)]  # segmentation-not-supported
    value = struct.pack(">f", objects[0] + 0.5)
    return [complex_ack(request, request[10:15] + b"\x1e\x29\x55\x4e\x44" + value + b"\x4f\x1f")]


def test_an_answer_too_large_is_asked_again_in_halves():
    with ScriptedDevice(one_object_only) as device:
        points = [(device.address, ("analog-input", n), "present-value") for n in range(5)]
        results = run(read_many(points))
    assert [r.value.value for r in results] == [n + 0.5 for n in range(5)]
    sizes = [len(rpm_objects(rq)) for rq in device.received]
    assert sizes[0] == 5 and sizes.count(1) == 5 and sum(sizes) < 5 * 4


async def read_many(points, **options):
    async with Client("127.0.0.1:0") as c:
        return await c.read_many(points, **options)


def rp_only(request: bytes) -> list[bytes]:
    return [reject(request, 9)] if is_rpm(request) else [read_ack(request, unsigned(instance_of(request)))]


def test_read_many_keeps_to_its_limit_per_device():
    with ScriptedDevice(rp_only, delay=0.02) as device:
        points = [(device.address, ("analog-value", n), "present-value") for n in range(12)]
        results = run(read_many(points, max_per_device=2))
    assert [r.value.value for r in results] == list(range(12))
    assert device.most_unanswered <= 2


def test_requests_queue_first_come_first_served_across_callers():
    # Three callers, each sending four reads at once, to a device limited to
    # two at a time: the device sees them in the order they were asked.
    async def main():
        async with Client("127.0.0.1:0", max_per_device=2) as c:
            async def caller(first):
                return await asyncio.gather(*(c.read_property(device.address, ("analog-value", n), 85)
                                              for n in range(first, first + 4)))
            return await asyncio.gather(caller(0), caller(4), caller(8))

    with ScriptedDevice(lambda rq: [read_ack(rq, unsigned(instance_of(rq)))], delay=0.02) as device:
        results = run(main())
    assert [[r.value.value for r in batch] for batch in results] == [[0, 1, 2, 3], [4, 5, 6, 7], [8, 9, 10, 11]]
    assert [instance_of(rq) for rq in device.received] == list(range(12))
    assert device.most_unanswered <= 2


def test_a_cancelled_queued_request_is_never_sent():
    async def main():
        async with Client("127.0.0.1:0", max_per_device=1) as c:
            first = asyncio.create_task(c.read_property(device.address, "analog-value:1", 85))
            queued = asyncio.create_task(c.read_property(device.address, "analog-value:2", 85))
            last = asyncio.create_task(c.read_property(device.address, "analog-value:3", 85))
            await asyncio.sleep(0.01)
            queued.cancel()
            return (await first).value.value, (await last).value.value

    with ScriptedDevice(lambda rq: [read_ack(rq, unsigned(instance_of(rq)))], delay=0.05) as device:
        assert run(main()) == (1, 3)
    assert [instance_of(rq) for rq in device.received] == [1, 3]


items = st.lists(st.builds(
    _Item, st.just(0), st.tuples(st.integers(0, 3), st.integers(0, 5)),
    st.sampled_from([85, 77, 4_000, 70_000]), st.none() | st.integers(0, 70_000)), max_size=120)


@settings(max_examples=200, deadline=None)
@given(items, st.integers(50, 1476))
def test_packed_requests_fit_and_hold_every_point(points, limit):
    points = [p._replace(position=i) for i, p in enumerate(points)]
    chunks = pack(points, limit)
    assert sorted(p for chunk in chunks for p in chunk) == points
    for chunk in chunks:
        specs = _access_specs(chunk)
        assert [(s.object_id.object_type, s.object_id.instance) for s in specs] == list(
            dict.fromkeys(p.object_id for p in chunk))
        if len(chunk) > 1:  # a single point goes out whatever its size
            outputs = Stack().process(InputSend(ServiceReadPropertyMultiple(specs), BacnetAddr("10.0.0.1", 47808)))
            assert len(outputs[0].data) - 6 <= limit  # the APDU, without BVLC and NPDU


def i_am_with_apdu(max_apdu: int) -> bytes:
    word = (8 << 22 | 7).to_bytes(4, "big")
    return frame(b"\x10\x00\xc4" + word + b"\x21" + bytes([max_apdu]) + b"\x91\x03\x21\x0f")


def test_read_many_sizes_requests_to_what_the_device_announced():
    def script(rq: bytes) -> list[bytes]:
        if rq[6:8] == b"\x10\x08":  # Who-Is
            return [i_am_with_apdu(128)]
        return one_object_only(rq) if is_rpm(rq) else []

    async def main():
        async with Client("127.0.0.1:0") as c:
            await c.who_is(device.address, timeout=1, expect=1)
            return await c.read_many([(device.address, ("analog-input", n), "present-value") for n in range(40)],
                                     max_per_device=1)

    with ScriptedDevice(script) as device:
        results = run(main())
    assert all(r.ok for r in results)
    packed = [rpm_objects(rq) for rq in device.received[1:]]
    assert all(len(rq) - 6 <= 128 for rq in device.received)
    assert max(map(len, packed)) > 1  # packed, and within the announced size


@pytest.mark.parametrize("call", [
    lambda c: c.poll([], 0), lambda c: c.poll([], float("nan")), lambda c: c.poll([], float("inf")),
    lambda c: c.poll([], 1, max_per_device=0), lambda c: asyncio.run(c.read_many([], max_per_device=0)),
])
def test_options_are_refused(call):
    with pytest.raises(ValueError):
        call(Client())


def test_malformed_points_fail_alone():
    with ScriptedDevice(rp_only) as device:
        points = [(device.address, "analog-value:5", "present-value"), (device.address, "analog-value:1", 85, -1),
                  (device.address, "no-such-type:1", 85), ("10.0.0", "analog-value:1", 85), (device.address,),
                  (device.address, "analog-value:6", "present-value", "1")]
        results = run(read_many(points))
    assert results[0].value.value == 5
    assert [type(r.error) for r in results[1:]] == [ValueError, ValueError, ValueError, TypeError, ValueError]
