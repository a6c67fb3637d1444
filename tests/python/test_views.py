"""ferromesh.views on decoded trees: the typed views of what devices hold, and refusal of trees that do
not have the structure a view expects."""

import datetime

import pytest

import ferromesh
from ferromesh import PropertyValueBitString, PropertyValueDate, PropertyValueTime
from ferromesh._enums import ObjectType, PropertyIdentifier as P
from ferromesh.views import (
    CalendarEntry,
    DeviceObjectPropertyReference,
    LogRecord,
    ObjectId,
    SpecialEvent,
    StatusFlags,
    TimeStamp,
    WeekNDay,
    date_time,
    date_value,
    log_records,
    time_value,
    to_python,
    view,
)


def decoded(value_hex: str):
    """The value of a ReadProperty answer holding these value octets."""
    return ferromesh.decode_read_property(bytes.fromhex("0C0100000119553E" + value_hex + "3F")).value


CLEAR = StatusFlags(False, False, False, False)
NOON = datetime.datetime(2024, 3, 15, 12, 0)

VIEWS = [
    (P.WEEKLY_SCHEDULE, "0EB4080000004441A80000B411200000000F" + "0E0F" * 6,
     [[(datetime.time(8), 21.0), (datetime.time(17, 32), None)]] + [[]] * 6),
    # A date, a calendar reference (calendar 3), and a week-n-day entry in the last week of any month.
    (P.EXCEPTION_SCHEDULE,
     "0E0C7C0C19FF0F 2EB4000000004441800000 2F3901" "1C01800003 2E2F3910" "0E2BFF06070F 2E2F3903",
     [SpecialEvent(CalendarEntry(date=datetime.date(2024, 12, 25)), [(datetime.time(0), 16.0)], 1),
      SpecialEvent(ObjectId(ObjectType.CALENDAR, 3), [], 16),
      SpecialEvent(CalendarEntry(week_n_day=WeekNDay(None, 6, 6)), [], 3)]),
    (P.DATE_LIST, "0C7C0C19FF 1EA47C071DFFA47C0810FF1F 2B0CFF01",
     [CalendarEntry(date=datetime.date(2024, 12, 25)),
      CalendarEntry(date_range=(datetime.date(2024, 7, 29), datetime.date(2024, 8, 16))),
      CalendarEntry(week_n_day=WeekNDay(12, None, 0))]),
    (P.EVENT_TIME_STAMPS, "0C061E0F32 1A1267 2EA47C030F05B40C0000002F",
     [TimeStamp(time=datetime.time(6, 30, 15, 500000)), TimeStamp(sequence_number=4711), TimeStamp(date_time=NOON)]),
    # Records: a real value with status flags, a failure (class 2, code 32), a log-status without flags.
    (P.LOG_BUFFER,
     "0EA47C030F05B40C0000000F1E2C41A800001F2A0400"
     "0EA47C030F05B40C0100000F1E8E910291208F1F"
     "0EA47C030F05B40C0200000F1E0A05401F",
     [LogRecord(NOON, "real-value", 21.0, CLEAR),
      LogRecord(NOON.replace(minute=1), "failure", (2, 32)),
      LogRecord(NOON.replace(minute=2), "log-status", (False, True, False))]),
    (P.LOG_DEVICE_OBJECT_PROPERTY, "0C00000001195529033C02000004",
     DeviceObjectPropertyReference(ObjectId(ObjectType.ANALOG_INPUT, 1), P.PRESENT_VALUE, 3,
                                   ObjectId(ObjectType.DEVICE, 4))),
    (P.PRIORITY_ARRAY, "00" * 7 + "4441A80000" + "00" * 8, [None] * 7 + [21.0] + [None] * 8),
    (P.STATUS_FLAGS, "820450", StatusFlags(False, True, False, True)),
    (P.OBJECT_NAME, "750600" + "54c3a96d70", "Témp"),
    (P.EFFECTIVE_PERIOD, "A47C0101FFA48A0C1FFF", [datetime.date(2024, 1, 1), datetime.date(2038, 12, 31)]),
]


@pytest.mark.parametrize("prop, value, expected", VIEWS, ids=[str(p) for p, _, _ in VIEWS])
def test_views_by_property(prop, value, expected):
    assert view(prop, decoded(value.replace(" ", ""))) == expected


@pytest.mark.parametrize(
    "prop, value",
    [
        (P.WEEKLY_SCHEDULE, "1E1F"),  # a day under the wrong tag
        (P.WEEKLY_SCHEDULE, "0EB4080000000F"),  # a time without its value
        (P.EVENT_TIME_STAMPS, "3C00000000"),  # no such choice
        (P.EVENT_TIME_STAMPS, "0B0C0000"),  # a time of three octets
        (P.LOG_BUFFER, "0EA47C030F05B40C0000000F"),  # no datum
        (P.LOG_BUFFER, "0EA47C030F05B40C0000000F1EB8001F"),  # datum choice 11
        (P.EXCEPTION_SCHEDULE, "0E0C7C0C19FF0F"),  # no time values, no priority
        (P.DATE_LIST, "2A0C01"),  # week-n-day of two octets
        (P.LOG_DEVICE_OBJECT_PROPERTY, "1955"),  # no object
    ],
)
def test_trees_of_another_shape_are_refused(prop, value):
    with pytest.raises(ValueError):
        view(prop, decoded(value))


def test_unspecified_fields_give_tuples():
    assert date_value(PropertyValueDate(2024, 255, 1, 0)) == (2024, None, 1, 0)
    assert date_value(PropertyValueDate(2024, 2, 30)) == (2024, 2, 30, None)  # no such day
    assert time_value(PropertyValueTime(12, 255, 255, 255)) == (12, None, None, None)
    assert date_time(PropertyValueDate(2024, 3, 15), PropertyValueTime(255, 0, 0, 0)) == (
        2024, 3, 15, None, 0, 0, 0)
    assert date_time(PropertyValueDate(2024, 3, 15), PropertyValueTime(23, 59, 59, 99)) == datetime.datetime(
        2024, 3, 15, 23, 59, 59, 990000)


@pytest.mark.parametrize(
    "value, expected",
    [
        ("00", None), ("11", True), ("2401020304", 0x01020304), ("31FF", -1), ("9103", 3), ("4440200000", 2.5),
        ("6400010203", b"\x00\x01\x02\x03"), ("8203A0", (True, False, True, False, False)),
        ("A47C030F05", datetime.date(2024, 3, 15)), ("B40C1E0000", datetime.time(12, 30)),
        ("C400400001", ObjectId(ObjectType.ANALOG_OUTPUT, 1)), ("21012102", [1, 2]),
    ],
)
def test_to_python(value, expected):
    assert to_python(decoded(value)) == expected


def test_context_data_is_left_to_the_views():
    context = decoded("1A0102")
    assert to_python(context) is context
    assert context.decode_as(2).value == 258
    with pytest.raises(ferromesh.BacnetError, match="InvalidData"):
        context.decode_as(1)  # a Boolean is one octet
    assert log_records([]) == []
    # Read with an array index, one day of a weekly schedule is the constructed value itself.
    assert view(P.WEEKLY_SCHEDULE, decoded("0EB4080000004441A800000F")) == [[(datetime.time(8), 21.0)]]
    assert view(P.STATUS_FLAGS, PropertyValueBitString(0, [])) == CLEAR
