"""What the device peers serve, checked octet by octet: constructed values,
ReadRange of a trend log, COV subscriptions of both kinds, and alarms."""

from __future__ import annotations

import datetime
import json

import pytest

from . import catalogue as c
from . import wire as w
from .topology import ALL_FEATURES, VIRTUAL_NETWORK, start_device

READ_PROPERTY, READ_RANGE, SUBSCRIBE_COV, SUBSCRIBE_COV_PROPERTY = 12, 26, 5, 28
ANALOG_INPUT, ANALOG_VALUE, BINARY_VALUE, DEVICE, MULTI_STATE_VALUE = 0, 2, 5, 8, 19
SCHEDULE, CALENDAR, TREND_LOG = 17, 6, 20
PRESENT_VALUE, STATUS_FLAGS, LOG_BUFFER = 85, 111, 131
OBJECT_TYPES = {"analog-input": ANALOG_INPUT, "analog-value": ANALOG_VALUE, "binary-value": BINARY_VALUE,
                "multi-state-value": MULTI_STATE_VALUE}


@pytest.fixture
def wire():
    with w.Wire() as socket_:
        yield socket_


@pytest.fixture(scope="module")
def device(bacpypes3_peers):
    """One B/IP device of this module's own: the tests change its values."""
    with start_device(instance=4001, capabilities=ALL_FEATURES) as topology:
        yield topology


def read_routed(site, wire, object_type, instance, prop, **options):
    return wire.request(site.router.address, READ_PROPERTY, w.read_property(object_type, instance, prop),
                        dnet=VIRTUAL_NETWORK, dadr=b"\x11", **options)


def _day(entries):
    return w.opening(0) + b"".join(w.time_of_day(t) + w.real(v) for t, v in entries) + w.closing(0)


def _time_values(entries):
    return w.opening(2) + b"".join(w.time_of_day(t) + w.real(v) for t, v in entries) + w.closing(2)


# The property values of 2001 as they must appear on the wire, built from the catalogue.
CONSTRUCTED = {
    "weekly-schedule": (SCHEDULE, 123, b"".join(_day(day) for day in c.WEEKLY_SCHEDULE)),
    "exception-schedule": (SCHEDULE, 38, (
        w.opening(0) + w.context(0, w.date_octets(c.HOLIDAY)) + w.closing(0)  # period: a calendar entry
        + _time_values([(datetime.time(0), 16.0)]) + w.unsigned(1, 3)
        + w.object_id(CALENDAR, 1, 1)  # period: a calendar reference
        + _time_values([(datetime.time(8), 19.0), (datetime.time(12), 17.0)]) + w.unsigned(5, 3))),
    "date-list": (CALENDAR, 23, (
        w.context(0, w.date_octets(c.HOLIDAY))
        + w.opening(1) + w.date(c.CALENDAR_RANGE[0]) + w.date(c.CALENDAR_RANGE[1]) + w.closing(1)
        + w.context(2, bytes([12, 0xFF, 1])))),
    "event-time-stamps": (ANALOG_INPUT, 130, (
        w.context(0, w.time_octets(c.EVENT_TIME_STAMPS[0])) + w.unsigned(c.EVENT_TIME_STAMPS[1], 1)
        + w.opening(2) + w.date(c.EVENT_TIME_STAMPS[2].date()) + w.time_of_day(c.EVENT_TIME_STAMPS[2].time())
        + w.closing(2))),
}


@pytest.mark.parametrize("name", CONSTRUCTED)
def test_constructed_values_on_the_wire(routed_site, wire, name):
    object_type, prop, value = CONSTRUCTED[name]
    instance = 2 if object_type == ANALOG_INPUT else 1
    answer = read_routed(routed_site, wire, object_type, instance, prop)
    assert answer.body == w.object_id(object_type, instance, 0) + w.enumerated(prop, 1) + w.opening(3) + value + \
        w.closing(3)


def log_records(item_data: list[w.Tag]) -> list[int]:
    """The record numbers of decoded log records, checked against the catalogue."""
    numbers = []
    for i, tag in enumerate(item_data):
        if tag == w.Tag("open", 0):
            stamp = datetime.datetime.combine(item_data[i + 1].date(), item_data[i + 2].time())
            number = int((stamp - c.LOG_START).total_seconds() // 60) + 1
            value = item_data[i + 5]  # open 0, date, time, close 0, open 1, [2] real
            assert (value.kind, value.number, value.real()) == ("ctx", 2, c.log_value(number))
            numbers.append(number)
    return numbers


def read_range_result(answer):
    tags = answer.tags()
    flags, count = tags[2], tags[3]
    assert (flags.number, count.number) == (3, 4)
    start, end = tags.index(w.Tag("open", 5)), tags.index(w.Tag("close", 5))
    first_sequence = tags[end + 1].unsigned() if end + 1 < len(tags) else None
    bits = tuple(int(b) for b in f"{flags.data[1]:08b}"[:3])  # first-item, last-item, more-items
    records = log_records(tags[start + 1:end])
    assert count.unsigned() == len(records)
    return records, bits, first_sequence


@pytest.mark.parametrize("by, reference, count, records, flags, first_sequence", [
    ("position", 1, 5, [1, 2, 3, 4, 5], (1, 0, 0), None),
    ("position", c.TREND_RECORDS, -3, [118, 119, 120], (0, 1, 0), None),
    ("position", 500, 3, [], (0, 0, 0), None),
    ("sequence", 10, 4, [10, 11, 12, 13], (0, 0, 0), 10),
    ("sequence", 3, -5, [1, 2, 3], (1, 0, 0), 1),
    ("time", c.log_time(31), 2, [32, 33], (0, 0, 0), 32),  # strictly after the reference time
    ("time", c.log_time(31), -2, [29, 30], (0, 0, 0), 29),
])
def test_read_range_of_the_trend_log(routed_site, wire, by, reference, count, records, flags, first_sequence):
    answer = wire.request(routed_site.router.address, READ_RANGE,
                          w.read_range(TREND_LOG, 1, LOG_BUFFER, by, reference, count),
                          dnet=VIRTUAL_NETWORK, dadr=b"\x11")
    assert (answer.pdu_type, answer.service) == (3, READ_RANGE)
    assert read_range_result(answer) == (records, flags, first_sequence)


def test_read_range_pages_answers_for_a_client_that_cannot_take_segments(routed_site, wire):
    answer = wire.request(routed_site.router.address, READ_RANGE,
                          w.read_range(TREND_LOG, 1, LOG_BUFFER, "position", 1, 100),
                          dnet=VIRTUAL_NETWORK, dadr=b"\x11", max_apdu=206, segmented_accepted=False)
    records, flags, _ = read_range_result(answer)
    assert records == list(range(1, len(records) + 1)) and 3 <= len(records) < 10
    assert flags == (1, 0, 1)  # more items


def test_trend_log_grows_on_command(device, wire):
    address = device.devices[0].address
    number = int(device.command("trend-append 4001 42.5"))
    assert number == c.TREND_RECORDS + 1
    answer = wire.request(address, READ_RANGE, w.read_range(TREND_LOG, 1, LOG_BUFFER, "sequence", number, 1))
    tags = answer.tags()
    assert w.Tag("ctx", 2, w.real(42.5, 2)[1:]) in tags and tags[-1] == w.Tag("ctx", 6, bytes([number]))


def _notification(message, process_id, object_type, instance):
    """(time remaining, {property: value tags}) of a COV notification, after checking whom it is for."""
    tags = message.tags()
    assert tags[0].unsigned() == process_id
    assert tags[1].object_id() == (DEVICE, 4001)
    assert tags[2].object_id() == (object_type, instance)
    values, prop = {}, None
    for tag in tags[5:-1]:
        if tag.kind == "ctx" and tag.number == 0:
            prop = tag.unsigned()
        elif tag.kind == "app":
            values[prop] = tag
    return tags[3].unsigned(), values


def _next_notification(wire, confirmed):
    message = wire.receive(5.0)
    assert message is not None, "no notification"
    if confirmed:
        assert (message.pdu_type, message.service) == (0, 1)
        wire.send(w.unicast(w.npdu(w.simple_ack(message.invoke_id, 1))), message.sender)
    else:
        assert (message.pdu_type, message.service) == (1, 2)
    return message


def _app_value(tag):
    return tag.real() if tag.number == 4 else tag.unsigned()


@pytest.mark.parametrize("service, obj, new_value, wire_value, confirmed", [
    (SUBSCRIBE_COV, "analog-value:1", "30.0", 30.0, False),
    (SUBSCRIBE_COV, "binary-value:1", "active", 1, True),
    (SUBSCRIBE_COV, "multi-state-value:1", "3", 3, False),
    (SUBSCRIBE_COV_PROPERTY, "analog-input:1", "25.5", 25.5, True),
    (SUBSCRIBE_COV_PROPERTY, "multi-state-value:1", "1", 1, False),
])
def test_cov_subscription_notifies_changes_until_cancelled(device, wire, service, obj, new_value, wire_value,
                                                           confirmed):
    address, process_id = device.devices[0].address, 40 + service
    type_name, instance = obj.split(":")
    object_type, instance = OBJECT_TYPES[type_name], int(instance)

    def subscribe(lifetime, confirmed):
        if service == SUBSCRIBE_COV:
            return w.subscribe_cov(process_id, object_type, instance, confirmed=confirmed, lifetime=lifetime)
        return w.subscribe_cov_property(process_id, object_type, instance, PRESENT_VALUE, confirmed=confirmed,
                                        lifetime=lifetime)

    assert wire.request(address, service, subscribe(120, confirmed)).apdu == w.simple_ack(0, service)
    old = json.loads(device.command(f"get 4001 {obj} present-value"))
    remaining, values = _notification(_next_notification(wire, confirmed), process_id, object_type, instance)
    assert 115 <= remaining <= 120 and set(values) == {PRESENT_VALUE, STATUS_FLAGS}
    assert _app_value(values[PRESENT_VALUE]) == (old if not isinstance(old, str) else int(old == "active"))

    device.command(f"set 4001 {obj} present-value {new_value}")
    _, values = _notification(_next_notification(wire, confirmed), process_id, object_type, instance)
    assert _app_value(values[PRESENT_VALUE]) == wire_value
    [entry] = [s for s in json.loads(device.command("subscriptions 4001")) if s["process_id"] == process_id]
    assert (entry["object"], entry["confirmed"]) == (obj, confirmed)

    wire.request(address, service, subscribe(None, None))  # cancel
    device.command(f"set 4001 {obj} present-value {json.dumps(old) if not isinstance(old, str) else old}")
    assert wire.receive(0.5) is None
    assert not [s for s in json.loads(device.command("subscriptions 4001")) if s["process_id"] == process_id]


@pytest.mark.parametrize("service", [SUBSCRIBE_COV, SUBSCRIBE_COV_PROPERTY])
def test_cov_increment_and_lifetime(device, wire, service):
    address, process_id = device.devices[0].address, 60 + service
    if service == SUBSCRIBE_COV:  # the object's own increment, 0.5
        request = w.subscribe_cov(process_id, ANALOG_VALUE, 1, confirmed=False, lifetime=2)
        small, large = 0.25, 0.5
    else:
        request = w.subscribe_cov_property(process_id, ANALOG_VALUE, 1, PRESENT_VALUE, confirmed=False,
                                           lifetime=2, increment=2.0)
        small, large = 1.5, 2.0
    start = float(device.command("get 4001 analog-value:1 present-value"))
    wire.request(address, service, request)
    assert wire.receive(5.0) is not None  # the initial notification
    device.command(f"set 4001 analog-value:1 present-value {start + small}")
    assert wire.receive(0.5) is None
    device.command(f"set 4001 analog-value:1 present-value {start + large}")
    _, values = _notification(_next_notification(wire, False), process_id, ANALOG_VALUE, 1)
    assert values[PRESENT_VALUE].real() == start + large
    # Two seconds of lifetime: after them the subscription is gone and changes go unreported.
    assert wire.receive(2.5) is None
    assert not [s for s in json.loads(device.command("subscriptions 4001")) if s["process_id"] == process_id]
    device.command(f"set 4001 analog-value:1 present-value {start}")
    assert wire.receive(0.5) is None


@pytest.mark.parametrize("confirmed", [False, True])
def test_an_out_of_range_value_raises_an_alarm(device, wire, confirmed):
    host, port = wire.address
    device.command(f"recipient 4001 {host}:{port} 77 {'confirmed' if confirmed else 'unconfirmed'}")
    transitions = []
    for value in (c.ALARM_HIGH_LIMIT + 10, c.ALARM_NORMAL_VALUE):
        device.command(f"set 4001 analog-value:2 present-value {value}")
        message = wire.receive(5.0)
        assert message is not None, "no event notification"
        if confirmed:
            assert (message.pdu_type, message.service) == (0, 2)
            wire.send(w.unicast(w.npdu(w.simple_ack(message.invoke_id, 2))), message.sender)
        else:
            assert (message.pdu_type, message.service) == (1, 3)
        tags = message.tags()
        assert tags[0].unsigned() == 77 and tags[1].object_id() == (DEVICE, 4001)
        assert tags[2].object_id() == (ANALOG_VALUE, 2)
        by_number = {t.number: t for t in tags if t.kind == "ctx"}
        assert by_number[5].unsigned() == c.ALARM_PRIORITY and by_number[6].unsigned() == 5  # out-of-range
        transitions.append((by_number[10].unsigned(), by_number[11].unsigned()))
    assert transitions == [(0, 3), (3, 0)]  # normal → high-limit → normal
