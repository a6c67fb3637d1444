"""ferromesh against an independent BACnet/IP device (bacpypes3) on 127.0.0.1."""

from __future__ import annotations

import asyncio
import math
import socket
import time

import pytest

from ferromesh import (
    BacnetAddr,
    BacnetPropertyError,
    EventResponse,
    InputCancel,
    InputReceived,
    InputSend,
    InputTick,
    ObjectIdentifier,
    OutputDeadline,
    OutputEvent,
    OutputTransmit,
    PropertyValueArray,
    PropertyValueBitString,
    PropertyValueBoolean,
    PropertyValueCharacterString,
    PropertyValueDate,
    PropertyValueDouble,
    PropertyValueEnumerated,
    PropertyValueNull,
    PropertyValueReal,
    PropertyValueSigned,
    PropertyValueTime,
    PropertyValueUnsigned,
    ServiceReadProperty,
    ServiceReadPropertyMultiple,
    ServiceWriteProperty,
    Stack,
    StackConfig,
    decode_read_property,
    decode_read_property_multiple,
)
from ferromesh._enums import ErrorClass, ErrorCode, ObjectType, PropertyIdentifier
from ferromesh.client import BacnetErrorResponse, Client, format_object_id, make_read_access_spec, parse_object_id
from ferromesh.demo_device import DEVICE_INSTANCE, DEVICE_NAME, POINTS, VENDOR_ID

DEVICE = f"device:{DEVICE_INSTANCE}"
NAMES = {f"{p.object_type}:{p.instance}": p.name for p in POINTS}


def plain(value):
    """A decoded value as plain Python data, for comparisons."""
    if isinstance(value, PropertyValueArray):
        return [plain(v) for v in value.values]
    if isinstance(value, PropertyValueNull):
        return None
    if isinstance(value, PropertyValueDate):
        return (value.year, value.month, value.day)
    if isinstance(value, PropertyValueTime):
        return (value.hour, value.minute, value.second, value.hundredths)
    if isinstance(value, PropertyValueBitString):
        return (value.used_bits, value.bits)
    if isinstance(value, ObjectIdentifier):
        return format_object_id(value)
    if isinstance(value, BacnetPropertyError):
        return (int(value.error_class), int(value.error_code))
    return value.value


def with_client(work, **config):
    async def main():
        async with Client("127.0.0.1:0", config=StackConfig(**config) if config else None) as client:
            return await work(client)
    return asyncio.run(asyncio.wait_for(main(), 60))


def read(device, obj, prop, index=None, **config):
    return with_client(lambda c: c.read_property(device.address, obj, prop, index), **config)


@pytest.mark.parametrize("obj, prop, index, cls, expected", [
    ("analog-input:1", "present-value", None, PropertyValueReal, 18.25),
    ("analog-output:3", "present-value", None, PropertyValueReal, 6.0),
    ("analog-value:2", "units", None, PropertyValueEnumerated, 62),
    ("binary-value:1", "present-value", None, PropertyValueEnumerated, 1),
    ("binary-value:1", "out-of-service", None, PropertyValueBoolean, False),
    ("analog-input:1", "status-flags", None, PropertyValueBitString, (4, [0])),
    ("multi-state-value:1", "present-value", None, PropertyValueUnsigned, 2),
    ("multi-state-value:1", "state-text", None, PropertyValueArray, ["off", "low", "high"]),
    ("multi-state-value:1", "state-text", 3, PropertyValueCharacterString, "high"),
    ("characterstring-value:7", "present-value", None, PropertyValueCharacterString, "Zone 7 – Büro 0"),
    ("integer-value:1", "present-value", None, PropertyValueSigned, -42),
    ("positive-integer-value:1", "present-value", None, PropertyValueUnsigned, 70000),
    ("large-analog-value:1", "present-value", None, PropertyValueDouble, 1234567.890625),
    ("date-value:1", "present-value", None, PropertyValueDate, (2024, 3, 15)),
    ("time-value:1", "present-value", None, PropertyValueTime, (7, 5, 0, 9)),
    ("analog-value:1", "priority-array", 16, PropertyValueNull, None),
    (DEVICE, "object-identifier", None, ObjectIdentifier, DEVICE),
    (DEVICE, "protocol-version", None, PropertyValueUnsigned, 1),
    (DEVICE, "vendor-identifier", None, PropertyValueUnsigned, VENDOR_ID),
    (DEVICE, "device-address-binding", None, PropertyValueArray, []),
])
def test_read_property_of_every_value_type(device, obj, prop, index, cls, expected):
    result = read(device, obj, prop, index)
    assert type(result.value) is cls
    assert plain(result.value) == expected
    assert format_object_id(result.object_id) == obj and result.array_index == index


@pytest.mark.parametrize("obj", [DEVICE, "analog-input:100", "analog-output:1", "analog-value:1", "binary-value:60",
                                 "multi-state-value:2", "characterstring-value:30", "large-analog-value:1"])
def test_object_names_longer_than_four_characters(device, obj):
    name = read(device, obj, "object-name").value.value
    assert name == NAMES.get(obj, DEVICE_NAME) and len(name) > 4


def test_object_list_whole_is_a_segmented_answer(device):
    objects = [format_object_id(o) for o in read(device, DEVICE, "object-list").value.values]
    # 5 octets per identifier: far more than one 1476-octet APDU holds.
    assert len(objects) * 5 > 1476
    assert objects[0] == DEVICE
    assert set(NAMES) <= set(objects) and len(objects) == len(set(objects)) == len(POINTS) + 2


def test_object_list_by_array_index(device):
    async def work(c):
        whole = (await c.read_property(device.address, DEVICE, "object-list")).value.values
        count = await c.read_property(device.address, DEVICE, "object-list", 0)
        first = await c.read_property(device.address, DEVICE, "object-list", 1)
        last = await c.read_property(device.address, DEVICE, "object-list", len(whole))
        with pytest.raises(BacnetErrorResponse) as beyond:
            await c.read_property(device.address, DEVICE, "object-list", len(whole) + 1)
        return whole, count, first, last, beyond.value

    whole, count, first, last, beyond = with_client(work)
    assert type(count.value) is PropertyValueUnsigned and count.value.value == len(whole)
    assert plain(first.value) == plain(whole[0]) and plain(last.value) == plain(whole[-1])
    assert (beyond.error_class, beyond.error_code) == (ErrorClass.PROPERTY, ErrorCode.INVALID_ARRAY_INDEX)


UNKNOWN_PROPERTY = (ErrorClass.PROPERTY, ErrorCode.UNKNOWN_PROPERTY)
UNKNOWN_OBJECT = (ErrorClass.OBJECT, ErrorCode.UNKNOWN_OBJECT)


def test_read_property_multiple_with_unknown_property_and_object(device):
    result = with_client(lambda c: c.read_property_multiple(device.address, [
        ("analog-input:2", ["object-name", "present-value", "units"]),
        ("binary-value:2", ["present-value", "file-size"]),
        ("analog-value:999", ["present-value"]),
        ("characterstring-value:3", [("object-name", None)]),
    ]))
    got = [(format_object_id(o.object_id), [plain(p.value) for p in o.properties]) for o in result.objects]
    assert got == [
        ("analog-input:2", ["zone-002-temperature", 18.5, 62]),
        ("binary-value:2", [0, UNKNOWN_PROPERTY]),
        ("analog-value:999", [UNKNOWN_OBJECT]),
        ("characterstring-value:3", ["zone-003-label"]),
    ]


def test_read_property_multiple_of_only_an_unknown_object_is_an_error(device):
    with pytest.raises(BacnetErrorResponse) as caught:
        with_client(lambda c: c.read_property_multiple(device.address, [("analog-value:999", ["present-value"])]))
    assert (caught.value.error_class, caught.value.error_code) == UNKNOWN_OBJECT


def test_write_with_priority_commands_and_relinquishes(device):
    async def work(c):
        steps = []
        for value in (PropertyValueReal(23.5), PropertyValueNull()):
            await c.write_property(device.address, "analog-value:1", "present-value", value, priority=8)
            steps.append([plain((await c.read_property(device.address, "analog-value:1", prop, index)).value)
                          for prop, index in (("present-value", None), ("priority-array", 8))])
        return steps

    assert with_client(work) == [[23.5, 23.5], [21.0, None]]


@pytest.mark.parametrize("obj, value, expected", [
    ("analog-value:40", PropertyValueReal(12.25), 12.25),
    ("multi-state-value:40", PropertyValueUnsigned(3), 3),
    ("binary-value:59", PropertyValueEnumerated(0), 0),
    ("characterstring-value:30", PropertyValueCharacterString("written by ferromesh – Grüße"),
     "written by ferromesh – Grüße"),
])
def test_write_without_priority_reads_back(device, obj, value, expected):
    async def work(c):
        await c.write_property(device.address, obj, "present-value", value)
        return (await c.read_property(device.address, obj, "present-value")).value

    assert plain(with_client(work)) == expected


def test_writing_a_read_only_property_is_an_error(device):
    with pytest.raises(BacnetErrorResponse) as caught:
        with_client(lambda c: c.write_property(device.address, "analog-value:2", "status-flags",
                                               PropertyValueBitString(4, b"\x00")))
    assert (caught.value.error_class, caught.value.error_code) == (ErrorClass.PROPERTY, ErrorCode.WRITE_ACCESS_DENIED)


SEGMENTED_SPECS = [(f"analog-input:{n}", ["object-name", "present-value"]) for n in range(1, 41)]


def _check_segmented_answer(result):
    assert [(format_object_id(o.object_id), [plain(p.value) for p in o.properties]) for o in result.objects] == [
        (f"analog-input:{n}", [NAMES[f"analog-input:{n}"], 18.0 + (n % 40) * 0.25]) for n in range(1, 41)]


def test_segmented_request_through_the_client(device):
    # 40 objects of 11 octets each: 440 octets, in 58-octet segments of 64-octet APDUs.
    _check_segmented_answer(with_client(lambda c: c.read_property_multiple(device.address, SEGMENTED_SPECS),
                                        max_apdu_length=64))


class RawHost:
    """The host loop of the stack's documentation, with a real socket and clock."""

    def __init__(self, stack: Stack) -> None:
        self.stack = stack
        self.sent: list[bytes] = []
        self.deadline = math.inf
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))

    def close(self) -> None:
        self.sock.close()

    def act(self, outputs, transmit=True) -> list[object]:
        events = []
        for out in outputs:
            if isinstance(out, OutputTransmit):
                self.sent.append(bytes(out.data))
                if transmit:
                    self.sock.sendto(bytes(out.data), (out.dest.addr, out.dest.port))
            elif isinstance(out, OutputDeadline):
                self.deadline = min(self.deadline, out.deadline)
            elif isinstance(out, OutputEvent):
                events.append(out.event)
        return events

    def until_event(self, events, give_up_after=30.0) -> list[object]:
        give_up = time.monotonic() + give_up_after
        while not events:
            assert time.monotonic() < give_up
            self.sock.settimeout(max(0.001, min(self.deadline, give_up) - time.monotonic()))
            try:
                data, src = self.sock.recvfrom(4096)
                events = self.act(self.stack.process(InputReceived(data, BacnetAddr(*src))))
            except TimeoutError:
                self.deadline = math.inf
                events = self.act(self.stack.process(InputTick(time.monotonic())))
        return events


@pytest.mark.parametrize("max_apdu_length, segments", [(64, 8), (128, 4)])
def test_segmented_request_through_a_raw_stack_sends_each_segment_once(device, max_apdu_length, segments):
    host = RawHost(Stack(StackConfig(max_apdu_length=max_apdu_length)))
    try:
        host.act(host.stack.process(InputTick(time.monotonic())))
        service = ServiceReadPropertyMultiple([make_read_access_spec(*s) for s in SEGMENTED_SPECS])
        (event,) = host.until_event(host.act(host.stack.process(InputSend(service, BacnetAddr("127.0.0.1",
                                                                                              device.port)))))
    finally:
        host.close()
    assert isinstance(event, EventResponse)
    # Segment 0 alone, then the device's windows: every segment went out once.
    assert [d[9] for d in host.sent if d[6] in (0x0A, 0x0E)] == list(range(segments))
    _check_segmented_answer(decode_read_property_multiple(event.payload))


def test_a_cancelled_write_is_never_sent_again(device):
    """A write whose datagram was lost is cancelled, a newer one made: the old one must not follow it."""
    dest = BacnetAddr("127.0.0.1", device.port)
    point = ObjectIdentifier(ObjectType.ANALOG_VALUE, 39)
    host = RawHost(Stack(StackConfig(apdu_timeout_secs=1.0, apdu_retries=3)))
    start = time.monotonic()
    try:
        host.act(host.stack.process(InputTick(start)))
        old = ServiceWriteProperty(point, PropertyIdentifier.PRESENT_VALUE, PropertyValueReal(11.0))
        [request, _] = host.stack.process(InputSend(old, dest))
        host.act([request], transmit=False)  # lost on the way
        assert host.act(host.stack.process(InputCancel(dest, request.data[8]))) == []
        new = ServiceWriteProperty(point, PropertyIdentifier.PRESENT_VALUE, PropertyValueReal(22.0))
        (written,) = host.until_event(host.act(host.stack.process(InputSend(new, dest))))
        # Ticks past every retry the old write had.
        for later in (1.5, 3.0, 4.5, 6.0):
            host.act(host.stack.process(InputTick(start + later)))
        read = ServiceReadProperty(point, PropertyIdentifier.PRESENT_VALUE)
        (answer,) = host.until_event(host.act(host.stack.process(InputSend(read, dest))))
    finally:
        host.close()
    assert isinstance(written, EventResponse) and written.payload == []
    assert [d for d in host.sent if d == bytes(request.data)] == [bytes(request.data)]  # the lost one only
    assert decode_read_property(answer.payload).value.value == 22.0


def test_who_is_finds_the_device(device):
    async def work(c):
        found = await c.who_is(device.address, timeout=10, expect=1)
        inside = await c.who_is(device.address, DEVICE_INSTANCE, DEVICE_INSTANCE, timeout=10, expect=1)
        outside = await c.who_is(device.address, DEVICE_INSTANCE + 1, DEVICE_INSTANCE + 100, timeout=1.0)
        return found, inside, outside

    found, inside, outside = with_client(work)
    assert [(d.address, format_object_id(d.device_id), d.vendor_id, d.max_apdu, d.segmentation) for d in found] == [
        (device.address, DEVICE, VENDOR_ID, 1024, 0)]
    assert [d.instance for d in inside] == [DEVICE_INSTANCE] and outside == []


def test_many_concurrent_requests_beyond_the_invoke_id_pool(device):
    points = [f"{p.object_type}:{p.instance}" for p in POINTS]

    async def work(c):
        return await asyncio.gather(*(c.read_property(device.address, parse_object_id(p), "object-name")
                                      for p in points))

    names = [r.value.value for r in with_client(work, apdu_timeout_secs=10.0)]
    assert len(points) > 256 and names == [NAMES[p] for p in points]
