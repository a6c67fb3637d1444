"""Schedules, calendars, trend logs, time stamps, 'all' properties and WritePropertyMultiple against
bacpypes3 test peers (tests/peers): what they serve decodes to the typed views, and what is written back
reads the same."""

from __future__ import annotations

import asyncio
import datetime

import pytest

from ferromesh import BacnetPropertyError, PropertyValueCharacterString, ReadRangeByPosition, ReadRangeByTime
from ferromesh._enums import ErrorClass, ErrorCode, ObjectType, PropertyIdentifier
from ferromesh.client import BacnetWriteMultipleError, Client, format_object_id
from ferromesh.views import (
    CalendarEntry,
    LogRecord,
    ObjectId,
    SpecialEvent,
    StatusFlags,
    TimeStamp,
    WeekNDay,
    log_records,
    view,
)
from peers import catalogue, start_device

CAPABILITIES = ("schedule", "trend-log", "event-time-stamps")
CLEAR = StatusFlags(False, False, False, False)


def run(work):
    async def main():
        async with Client("127.0.0.1:0") as client:
            return await work(client)
    return asyncio.run(asyncio.wait_for(main(), 120))


@pytest.fixture(scope="module")
def peer(bacpypes3_peers):
    """One device with a schedule, a calendar, a trend log and event time stamps; only read here."""
    with start_device(capabilities=CAPABILITIES) as topology:
        host, port = topology.devices[0].address
        yield f"{host}:{port}"


def read_view(address, obj, prop):
    result = run(lambda c: c.read_property(address, obj, prop))
    return view(result.property_id, result.value)


def expected_record(number: int) -> LogRecord:
    return LogRecord(catalogue.log_time(number), "real-value", catalogue.log_value(number), CLEAR)


def test_weekly_schedule(peer):
    assert read_view(peer, "schedule:1", "weekly-schedule") == catalogue.WEEKLY_SCHEDULE


def test_exception_schedule(peer):
    assert read_view(peer, "schedule:1", "exception-schedule") == [
        SpecialEvent(CalendarEntry(date=catalogue.HOLIDAY), [(datetime.time(0, 0), 16.0)], 1),
        SpecialEvent(ObjectId(ObjectType.CALENDAR, 1), [(datetime.time(8, 0), 19.0), (datetime.time(12, 0), 17.0)], 5),
    ]


def test_calendar_date_list(peer):
    assert read_view(peer, "calendar:1", "date-list") == [
        CalendarEntry(date=catalogue.HOLIDAY),
        CalendarEntry(date_range=catalogue.CALENDAR_RANGE),
        CalendarEntry(week_n_day=WeekNDay(12, None, 0)),  # every Monday of December
    ]


def test_event_time_stamps(peer):
    time_of_day, sequence_number, moment = catalogue.EVENT_TIME_STAMPS
    assert read_view(peer, "analog-input:2", "event-time-stamps") == [
        TimeStamp(time=time_of_day), TimeStamp(sequence_number=sequence_number), TimeStamp(date_time=moment)]


def test_trend_log_read_range_by_position_and_by_time(peer):
    async def work(c):
        by_position = await c.read_range(peer, "trend-log:1", "log-buffer", ReadRangeByPosition(11, 5))
        since = catalogue.log_time(100)
        by_time = await c.read_range(peer, "trend-log:1", "log-buffer", ReadRangeByTime(
            *_date_and_time(since), 30))
        backwards = await c.read_range(peer, "trend-log:1", "log-buffer", ReadRangeByPosition(3, -5))
        return by_position, by_time, backwards

    by_position, by_time, backwards = run(work)
    assert (by_position.item_count, by_position.first_item, by_position.last_item) == (5, False, False)
    assert log_records(by_position.items) == [expected_record(n) for n in range(11, 16)]
    # Strictly after the reference time: records 101 .. 120, the last of the buffer.
    assert log_records(by_time.items) == [expected_record(n) for n in range(101, 121)]
    assert (by_time.last_item, by_time.first_sequence_number) == (True, 101)
    assert log_records(backwards.items) == [expected_record(n) for n in (1, 2, 3)] and backwards.first_item


def _date_and_time(moment):
    from ferromesh import PropertyValueDate, PropertyValueTime
    return PropertyValueDate(moment.year, moment.month, moment.day), PropertyValueTime(
        moment.hour, moment.minute, moment.second, 0)


@pytest.mark.parametrize("since, first", [(None, 1), (catalogue.log_time(90), 91)])
def test_trend_log_records_page_through_the_whole_buffer(peer, since, first):
    async def work(c):
        return [record async for record in c.trend_log_records(peer, "trend-log:1", since=since, page_size=17)]

    assert run(work) == [expected_record(n) for n in range(first, catalogue.TREND_RECORDS + 1)]


@pytest.mark.parametrize("obj", ["schedule:1", "calendar:1", "trend-log:1", "analog-input:2", "analog-value:1"])
def test_all_properties_decode_to_typed_views(peer, obj):
    values = run(lambda c: c.read_all(peer, obj))
    views = {prop: view(prop, value) for prop, value in values.items() if not isinstance(value, BacnetPropertyError)}
    assert str(views[PropertyIdentifier.OBJECT_IDENTIFIER]) == obj
    assert PropertyIdentifier.OBJECT_NAME in views and PropertyIdentifier.OBJECT_TYPE in views
    if obj != "calendar:1":  # a calendar has no status flags
        assert views[PropertyIdentifier.STATUS_FLAGS] == CLEAR
    if obj == "schedule:1":
        assert views[PropertyIdentifier.WEEKLY_SCHEDULE] == catalogue.WEEKLY_SCHEDULE
        assert views[PropertyIdentifier.EFFECTIVE_PERIOD] == [datetime.date(2024, 1, 1), datetime.date(2030, 12, 31)]
    if obj == "trend-log:1":
        assert views[PropertyIdentifier.LOG_BUFFER] == [expected_record(n) for n in range(1, 121)]
        reference = views[PropertyIdentifier.LOG_DEVICE_OBJECT_PROPERTY]
        assert (reference.object_id, reference.property_id) == (
            ObjectId(ObjectType.ANALOG_INPUT, 1), PropertyIdentifier.PRESENT_VALUE)


def test_required_and_optional_make_up_all(peer):
    async def work(c):
        return [set(await c.read_all(peer, "schedule:1", which)) for which in ("required", "optional", "all")]

    required, optional, every = run(work)
    assert PropertyIdentifier.OBJECT_NAME in required and PropertyIdentifier.EXCEPTION_SCHEDULE in optional
    assert required | optional == every and not required & optional


def test_all_of_several_objects_is_one_segmented_answer(peer):
    objects = ["schedule:1", "calendar:1", "trend-log:1", "analog-input:2"]
    result = run(lambda c: c.read_property_multiple(peer, [(obj, ["all"]) for obj in objects]))
    assert [format_object_id(o.object_id) for o in result.objects] == objects
    log = next(p.value for p in result.objects[2].properties if p.property_id == PropertyIdentifier.LOG_BUFFER)
    assert len(log_records(log)) == catalogue.TREND_RECORDS  # some 3 kB: many segments


def test_all_falls_back_to_the_property_list_one_by_one(bacpypes3_peers, peer):
    with start_device(instance=4002, capabilities=(*CAPABILITIES, "no-rpm")) as topology:
        host, port = topology.devices[0].address
        one_by_one = run(lambda c: c.read_all(f"{host}:{port}", "schedule:1"))
    whole = run(lambda c: c.read_all(peer, "schedule:1"))
    assert set(one_by_one) - {PropertyIdentifier.PROPERTY_LIST} == set(whole) - {PropertyIdentifier.PROPERTY_LIST}
    assert view(PropertyIdentifier.WEEKLY_SCHEDULE, one_by_one[PropertyIdentifier.WEEKLY_SCHEDULE]) == \
        catalogue.WEEKLY_SCHEDULE


def test_writes_back(bacpypes3_peers):
    """A weekly-schedule read, changed and written back reads the same; text goes out in the set asked
    for; WritePropertyMultiple stops at the first failed write and names it."""
    with start_device(instance=4003, capabilities=("schedule",)) as topology:
        host, port = topology.devices[0].address
        address = f"{host}:{port}"

        async def work(c):
            week = (await c.read_property(address, "schedule:1", "weekly-schedule")).value
            saturday = week.values[5]
            saturday.values = week.values[0].values[:2]
            await c.write_property(address, "schedule:1", "weekly-schedule", week)
            written = (await c.read_property(address, "schedule:1", "weekly-schedule")).value
            texts = []
            for charset in (5, 4):
                await c.write_property(address, "analog-value:1", "description",
                                       PropertyValueCharacterString(f"Température {charset}", charset))
                texts.append((await c.read_property(address, "analog-value:1", "description")).value.value)
            with pytest.raises(BacnetWriteMultipleError) as failed:
                await c.write_property_multiple(address, [
                    ("analog-value:1", [("present-value", 30.5), ("description", "first")]),
                    ("analog-input:1", [("object-identifier", 7)]),
                    ("analog-value:1", [("present-value", 40.0)]),
                ])
            after = await c.read_property_multiple(address, [("analog-value:1", ["present-value", "description"])])
            return week, written, texts, failed.value, [p.value.value for p in after.objects[0].properties]

        week, written, texts, failed, after = run(work)
    assert texts == ["Température 5", "Température 4"]
    assert view(PropertyIdentifier.WEEKLY_SCHEDULE, written) == view(PropertyIdentifier.WEEKLY_SCHEDULE, week)
    assert view(PropertyIdentifier.WEEKLY_SCHEDULE, written)[5] == catalogue.WEEKLY_SCHEDULE[0][:1]
    assert (format_object_id(failed.object_id), failed.property_id, failed.array_index) == (
        "analog-input:1", PropertyIdentifier.OBJECT_IDENTIFIER, None)
    assert (failed.error_class, failed.error_code) == (ErrorClass.PROPERTY, ErrorCode.WRITE_ACCESS_DENIED)
    assert after == [30.5, "first"]  # the writes before the failed one were made, the one after it not
