"""Typed views of what devices hold: schedules, calendars, trend logs, time stamps and more.

A property value decodes to a lossless tree (see ``PropertyValueContext`` and
``PropertyValueConstructed``): the codec keeps context-tagged data as its tag
and octets because their meaning depends on the property. The functions here
know that meaning for the structures users read most and turn the tree into
Python values::

    result = await client.read_property(device, "schedule:1", "weekly-schedule")
    for day, entries in zip(DAYS, weekly_schedule(result.value)):
        print(day, [(t.isoformat(), value) for t, value in entries])

``view(property_id, value)`` picks the view by property; ``to_python(value)``
converts plain values (Real -> float, CharacterString -> str, Date ->
``datetime.date`` when fully specified, ...). Dates, times and date-times with
unspecified fields (wildcards) come back as tuples holding ``None`` where a
field is unspecified. Weekdays count 0 = Monday ... 6 = Sunday, as in
``PropertyValueDate``. A tree that does not have the structure a view expects
raises ``ValueError``.
"""

from __future__ import annotations

import datetime
from dataclasses import dataclass
from typing import Any, Callable, NamedTuple, TypeVar

from . import (
    BacnetError,
    ObjectIdentifier,
    PropertyValueArray,
    PropertyValueBitString,
    PropertyValueBoolean,
    PropertyValueCharacterString,
    PropertyValueConstructed,
    PropertyValueContext,
    PropertyValueDate,
    PropertyValueDouble,
    PropertyValueEnumerated,
    PropertyValueNull,
    PropertyValueOctetString,
    PropertyValueReal,
    PropertyValueSigned,
    PropertyValueTime,
    PropertyValueUnsigned,
)
from ._enums import ObjectType, PropertyIdentifier

__all__ = [
    "DAYS",
    "CalendarEntry",
    "DeviceObjectPropertyReference",
    "LogRecord",
    "ObjectId",
    "PartialDate",
    "PartialDateTime",
    "PartialTime",
    "SpecialEvent",
    "StatusFlags",
    "TimeStamp",
    "TimeValue",
    "WeekNDay",
    "bits",
    "calendar_entry",
    "date_list",
    "date_time",
    "date_value",
    "device_object_property_reference",
    "device_object_property_references",
    "elements",
    "object_id",
    "event_time_stamps",
    "exception_schedule",
    "log_records",
    "priority_array",
    "status_flags",
    "time_stamp",
    "time_value",
    "time_values",
    "to_python",
    "view",
    "weekly_schedule",
]

DAYS = ("monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday")

# (year, month, day, weekday) of a date with unspecified fields; None where unspecified.
PartialDate = tuple[int | None, int | None, int | None, int | None]
# (hour, minute, second, hundredths) of a time with unspecified fields.
PartialTime = tuple[int | None, int | None, int | None, int | None]
# (year, month, day, hour, minute, second, hundredths) of a date-time with unspecified fields.
PartialDateTime = tuple[int | None, int | None, int | None, int | None, int | None, int | None, int | None]

# Application tag numbers, for reading context-tagged data.
_UNSIGNED, _SIGNED, _REAL, _BIT_STRING, _ENUMERATED, _DATE, _TIME, _OBJECT_ID = 2, 3, 4, 8, 9, 10, 11, 12
_WILDCARD = 255

_T = TypeVar("_T")


# ---------------------------------------------------------------------------
# Plain values


class ObjectId(NamedTuple):
    """An object identifier as a value: compares and hashes by type and instance (an ``ObjectIdentifier``
    compares by identity), and the client's requests accept it wherever they take an object."""

    object_type: ObjectType | int
    instance: int

    def __str__(self) -> str:
        name = self.object_type.name.lower().replace("_", "-") if isinstance(self.object_type, ObjectType) else \
            str(self.object_type)
        return f"{name}:{self.instance}"


def object_id(value: ObjectIdentifier) -> ObjectId:
    """An ``ObjectIdentifier`` as an ``ObjectId``."""
    return ObjectId(value.object_type, value.instance)


def _field(value: object) -> int | None:
    """A date or time field: None where unspecified (None, or the wire's 255)."""
    if not isinstance(value, int) or value == _WILDCARD:
        return None
    return value


def date_value(value: PropertyValueDate) -> datetime.date | PartialDate:
    """``datetime.date`` when year, month and day name one day; else (year, month, day, weekday)."""
    year = value.year if isinstance(value.year, int) else None  # a full year: 255 is no wildcard
    month, day, weekday = _field(value.month), _field(value.day), _field(value.weekday)
    if year is not None and month is not None and day is not None:
        try:
            return datetime.date(year, month, day)
        except ValueError:
            pass  # odd/even months, the last day of a month and the like
    return (year, month, day, weekday)


def time_value(value: PropertyValueTime) -> datetime.time | PartialTime:
    """``datetime.time`` when every field is specified; else (hour, minute, second, hundredths)."""
    fields = (_field(value.hour), _field(value.minute), _field(value.second), _field(value.hundredths))
    hour, minute, second, hundredths = fields
    if hour is not None and minute is not None and second is not None and hundredths is not None:
        try:
            return datetime.time(hour, minute, second, hundredths * 10000)
        except ValueError:
            pass
    return fields


def date_time(date: PropertyValueDate, time: PropertyValueTime) -> datetime.datetime | PartialDateTime:
    """A BACnetDateTime: ``datetime.datetime`` when fully specified, else a 7-tuple with None where unspecified."""
    day = date_value(date)
    clock = time_value(time)
    if isinstance(day, datetime.date) and isinstance(clock, datetime.time):
        return datetime.datetime.combine(day, clock)
    year, month, mday = (day.year, day.month, day.day) if isinstance(day, datetime.date) else day[:3]
    hour, minute, second, hundredths = (
        (clock.hour, clock.minute, clock.second, clock.microsecond // 10000) if isinstance(clock, datetime.time)
        else clock)
    return (year, month, mday, hour, minute, second, hundredths)


def bits(value: PropertyValueBitString) -> tuple[bool, ...]:
    """The bits of a bit string, first bit first; unused bits of the last octet left out."""
    count = max(0, 8 * len(value.bits) - value.used_bits)
    return tuple(bool(value.bits[i // 8] & (0x80 >> (i % 8))) for i in range(count))


def to_python(value: Any) -> Any:
    """A plain value as Python sees it; constructed and context-tagged data are returned unchanged.

    Null -> None, Boolean -> bool, Unsigned, Signed and Enumerated -> int,
    Real and Double -> float, OctetString -> bytes, CharacterString -> str,
    BitString -> tuple of bools, Date -> ``datetime.date`` (or a tuple), Time
    -> ``datetime.time`` (or a tuple), an array -> a list of these;
    ObjectIdentifier -> ObjectId.
    """
    if isinstance(value, PropertyValueNull):
        return None
    if isinstance(value, (PropertyValueBoolean, PropertyValueUnsigned, PropertyValueSigned, PropertyValueEnumerated,
                          PropertyValueReal, PropertyValueDouble, PropertyValueCharacterString)):
        return value.value
    if isinstance(value, PropertyValueOctetString):
        return bytes(value.value)
    if isinstance(value, PropertyValueBitString):
        return bits(value)
    if isinstance(value, PropertyValueDate):
        return date_value(value)
    if isinstance(value, PropertyValueTime):
        return time_value(value)
    if isinstance(value, PropertyValueArray):
        return [to_python(element) for element in value.values]
    if isinstance(value, ObjectIdentifier):
        return object_id(value)
    return value


def elements(value: Any) -> list[Any]:
    """The elements of a property value: an array's values, or the value alone (one element answered)."""
    if isinstance(value, PropertyValueArray):
        return list(value.values)
    if isinstance(value, list):
        return value
    return [value]


def _expect(value: object, cls: type[_T], what: str) -> _T:
    if not isinstance(value, cls):
        raise ValueError(f"{what}: expected {cls.__name__}, got {value!r}")
    return value


def _context(element: object, tag: int, application_tag: int, cls: type[_T], what: str) -> _T:
    """Context-tagged data `tag` read as an application value of class `cls`."""
    context = _expect(element, PropertyValueContext, what)
    if context.tag != tag:
        raise ValueError(f"{what}: expected context tag {tag}, got {context!r}")
    return _expect(_decode_as(context, application_tag, what), cls, what)


def _decode_as(context: PropertyValueContext, application_tag: int, what: str) -> Any:
    try:
        return context.decode_as(application_tag)
    except BacnetError as error:
        raise ValueError(f"{what}: {context!r} holds no such value ({error})") from None


def _constructed(element: object, tag: int, what: str) -> list[Any]:
    constructed = _expect(element, PropertyValueConstructed, what)
    if constructed.tag != tag:
        raise ValueError(f"{what}: expected constructed tag {tag}, got {constructed!r}")
    return constructed.values


def _only(parts: list[Any], what: str) -> Any:
    if len(parts) != 1:
        raise ValueError(f"{what}: expected one element, got {parts!r}")
    return parts[0]


def _date_time_of(parts: list[Any], what: str) -> datetime.datetime | PartialDateTime:
    if len(parts) != 2:
        raise ValueError(f"{what}: a date-time is a date and a time, got {parts!r}")
    return date_time(_expect(parts[0], PropertyValueDate, what), _expect(parts[1], PropertyValueTime, what))


# ---------------------------------------------------------------------------
# Status flags and priority arrays


class StatusFlags(NamedTuple):
    """BACnetStatusFlags."""

    in_alarm: bool
    fault: bool
    overridden: bool
    out_of_service: bool


def status_flags(value: Any) -> StatusFlags:
    """status-flags (a bit string, or context-tagged as in a log record) as named booleans."""
    if isinstance(value, PropertyValueContext):
        value = _decode_as(value, _BIT_STRING, "status-flags")
    flags = bits(_expect(value, PropertyValueBitString, "status-flags")) + (False,) * 4
    return StatusFlags(*flags[:4])


def priority_array(value: Any) -> list[Any]:
    """priority-array as its 16 slots, priority 1 first: None where relinquished (Null), else the value."""
    return [to_python(slot) for slot in elements(value)]


# ---------------------------------------------------------------------------
# Time stamps


@dataclass(frozen=True)
class TimeStamp:
    """BACnetTimeStamp: a time, a sequence number or a date-time; exactly one is set."""

    time: datetime.time | PartialTime | None = None
    sequence_number: int | None = None
    date_time: datetime.datetime | PartialDateTime | None = None

    @property
    def value(self) -> datetime.time | PartialTime | int | datetime.datetime | PartialDateTime:
        """Whichever of the three the stamp holds."""
        if self.time is not None:
            return self.time
        if self.sequence_number is not None:
            return self.sequence_number
        assert self.date_time is not None
        return self.date_time


def time_stamp(element: Any) -> TimeStamp:
    """One BACnetTimeStamp element."""
    if isinstance(element, PropertyValueContext) and element.tag == 0:
        return TimeStamp(time=time_value(_context(element, 0, _TIME, PropertyValueTime, "time stamp")))
    if isinstance(element, PropertyValueContext) and element.tag == 1:
        number = _context(element, 1, _UNSIGNED, PropertyValueUnsigned, "time stamp")
        return TimeStamp(sequence_number=number.value)
    return TimeStamp(date_time=_date_time_of(_constructed(element, 2, "time stamp"), "time stamp"))


def event_time_stamps(value: Any) -> list[TimeStamp]:
    """event-time-stamps: the stamps of the to-offnormal, to-fault and to-normal transitions."""
    return [time_stamp(element) for element in elements(value)]


# ---------------------------------------------------------------------------
# Schedules and calendars

# A BACnetTimeValue: from this time of day on, this value (converted by to_python).
TimeValue = tuple[datetime.time | PartialTime, Any]


def time_values(parts: list[Any]) -> list[TimeValue]:
    """A list of BACnetTimeValue: (time, value) pairs from alternating Time and value elements."""
    if len(parts) % 2:
        raise ValueError(f"time values: times and values alternate, got {parts!r}")
    return [(time_value(_expect(time, PropertyValueTime, "time values")), to_python(value))
            for time, value in zip(parts[::2], parts[1::2])]


def weekly_schedule(value: Any) -> list[list[TimeValue]]:
    """weekly-schedule: one list of (time, value) per day, Monday first (seven when read whole)."""
    return [time_values(_constructed(day, 0, "daily schedule")) for day in elements(value)]


class WeekNDay(NamedTuple):
    """BACnetWeekNDay; None where any (month 13/14 odd/even, week 1..5 days 1-7, 8-14, ..., 6 the last seven)."""

    month: int | None
    week_of_month: int | None
    weekday: int | None  # 0 = Monday ... 6 = Sunday


@dataclass(frozen=True)
class CalendarEntry:
    """BACnetCalendarEntry: a date, a date range or a week-and-day; exactly one is set."""

    date: datetime.date | PartialDate | None = None
    date_range: tuple[datetime.date | PartialDate, datetime.date | PartialDate] | None = None
    week_n_day: WeekNDay | None = None


def calendar_entry(element: Any) -> CalendarEntry:
    """One BACnetCalendarEntry element."""
    if isinstance(element, PropertyValueContext) and element.tag == 0:
        return CalendarEntry(date=date_value(_context(element, 0, _DATE, PropertyValueDate, "calendar entry")))
    if isinstance(element, PropertyValueContext) and element.tag == 2:
        octets = element.data
        if len(octets) != 3:
            raise ValueError(f"calendar entry: a week-n-day is 3 octets, got {element!r}")
        month, week, weekday = (_field(octet) for octet in octets)
        return CalendarEntry(week_n_day=WeekNDay(month, week, None if weekday is None else weekday - 1))
    first, last = (_expect(d, PropertyValueDate, "date range") for d in _constructed(element, 1, "calendar entry"))
    return CalendarEntry(date_range=(date_value(first), date_value(last)))


def date_list(value: Any) -> list[CalendarEntry]:
    """date-list of a calendar."""
    return [calendar_entry(element) for element in elements(value)]


@dataclass(frozen=True)
class SpecialEvent:
    """BACnetSpecialEvent of an exception-schedule: when (a calendar entry or a calendar object), what, how urgent."""

    period: CalendarEntry | ObjectId
    time_values: list[TimeValue]
    priority: int


def exception_schedule(value: Any) -> list[SpecialEvent]:
    """exception-schedule: its special events in order."""
    parts = elements(value)
    events = []
    for i in range(0, len(parts), 3):
        period_part, values_part, priority_part = (parts[i:i + 3] + [None, None])[:3]
        period: CalendarEntry | ObjectId
        if isinstance(period_part, PropertyValueContext):
            period = object_id(_context(period_part, 1, _OBJECT_ID, ObjectIdentifier, "special event"))
        else:
            period = calendar_entry(_only(_constructed(period_part, 0, "special event"), "special event"))
        listed = time_values(_constructed(values_part, 2, "special event"))
        priority = _context(priority_part, 3, _UNSIGNED, PropertyValueUnsigned, "special event").value
        events.append(SpecialEvent(period, listed, priority))
    return events


# ---------------------------------------------------------------------------
# Trend logs

# log-datum choices: tag -> (name, application tag of the content, or None when constructed)
_LOG_DATUM: dict[int, tuple[str, int | None]] = {
    0: ("log-status", _BIT_STRING), 1: ("boolean-value", 1), 2: ("real-value", _REAL),
    3: ("enumerated-value", _ENUMERATED), 4: ("unsigned-value", _UNSIGNED), 5: ("signed-value", _SIGNED),
    6: ("bitstring-value", _BIT_STRING), 7: ("null-value", 0), 8: ("failure", None), 9: ("time-change", _REAL),
    10: ("any-value", None),
}


@dataclass(frozen=True)
class LogRecord:
    """BACnetLogRecord of a trend log's log-buffer.

    ``kind`` names the log-datum choice ('real-value', 'log-status', 'failure', ...); ``value`` is it as
    Python sees it: a float, bool, int, None, a tuple of bools (bit strings, log-status), (error class,
    error code) for a failure, the elements themselves for any-value.
    """

    timestamp: datetime.datetime | PartialDateTime
    kind: str
    value: Any
    status_flags: StatusFlags | None = None


def _log_datum(element: Any) -> tuple[str, Any]:
    choice = _only(_constructed(element, 1, "log datum"), "log datum")
    tag = choice.tag if isinstance(choice, (PropertyValueContext, PropertyValueConstructed)) else -1
    if tag not in _LOG_DATUM:
        raise ValueError(f"log datum: unknown choice {choice!r}")
    kind, application_tag = _LOG_DATUM[tag]
    if application_tag is not None:
        return kind, to_python(_decode_as(_expect(choice, PropertyValueContext, "log datum"), application_tag,
                                          "log datum"))
    parts = _constructed(choice, tag, "log datum")
    if kind == "failure":
        error_class, error_code = (_expect(p, PropertyValueEnumerated, "log failure").value for p in parts)
        return kind, (error_class, error_code)
    return kind, parts


def log_records(items: Any) -> list[LogRecord]:
    """The log records of a log-buffer read (a ReadRangeResult's ``items``, or a ReadProperty value)."""
    parts = elements(items)
    records = []
    i = 0
    while i < len(parts):
        timestamp = _date_time_of(_constructed(parts[i], 0, "log record"), "log record")
        if i + 1 >= len(parts):
            raise ValueError("log record: the log datum is missing")
        kind, value = _log_datum(parts[i + 1])
        i += 2
        flags = None
        if i < len(parts) and isinstance(parts[i], PropertyValueContext) and parts[i].tag == 2:
            flags = status_flags(parts[i])
            i += 1
        records.append(LogRecord(timestamp, kind, value, flags))
    return records


# ---------------------------------------------------------------------------
# Object property references


@dataclass(frozen=True)
class DeviceObjectPropertyReference:
    """BACnetDeviceObjectPropertyReference: a property of an object, in another device when ``device_id`` is set."""

    object_id: ObjectId
    property_id: PropertyIdentifier | int
    array_index: int | None = None
    device_id: ObjectId | None = None


def _property(number: int) -> PropertyIdentifier | int:
    try:
        return PropertyIdentifier(number)
    except ValueError:
        return number


def device_object_property_references(value: Any) -> list[DeviceObjectPropertyReference]:
    """A list of BACnetDeviceObjectPropertyReference, as in list-of-object-property-references."""
    parts = elements(value)
    references = []
    i = 0
    while i < len(parts):
        what = "object property reference"
        referenced = object_id(_context(parts[i], 0, _OBJECT_ID, ObjectIdentifier, what))
        if i + 1 >= len(parts):
            raise ValueError(f"{what}: the property identifier is missing")
        property_id = _property(_context(parts[i + 1], 1, _ENUMERATED, PropertyValueEnumerated, what).value)
        i += 2
        array_index = device_id = None
        if i < len(parts) and isinstance(parts[i], PropertyValueContext) and parts[i].tag == 2:
            array_index = _context(parts[i], 2, _UNSIGNED, PropertyValueUnsigned, what).value
            i += 1
        if i < len(parts) and isinstance(parts[i], PropertyValueContext) and parts[i].tag == 3:
            device_id = object_id(_context(parts[i], 3, _OBJECT_ID, ObjectIdentifier, what))
            i += 1
        references.append(DeviceObjectPropertyReference(referenced, property_id, array_index, device_id))
    return references


def device_object_property_reference(value: Any) -> DeviceObjectPropertyReference:
    """One BACnetDeviceObjectPropertyReference, as in a trend log's log-device-object-property."""
    references = device_object_property_references(value)
    if len(references) != 1:
        raise ValueError(f"expected one object property reference, got {len(references)}")
    return references[0]


# ---------------------------------------------------------------------------
# By property

_VIEWS: dict[int, Callable[[Any], Any]] = {
    PropertyIdentifier.WEEKLY_SCHEDULE: weekly_schedule,
    PropertyIdentifier.EXCEPTION_SCHEDULE: exception_schedule,
    PropertyIdentifier.DATE_LIST: date_list,
    PropertyIdentifier.LOG_BUFFER: log_records,
    PropertyIdentifier.EVENT_TIME_STAMPS: event_time_stamps,
    PropertyIdentifier.PRIORITY_ARRAY: priority_array,
    PropertyIdentifier.STATUS_FLAGS: status_flags,
    PropertyIdentifier.LOG_DEVICE_OBJECT_PROPERTY: device_object_property_reference,
    PropertyIdentifier.LIST_OF_OBJECT_PROPERTY_REFERENCES: device_object_property_references,
}


def view(property_id: int, value: Any) -> Any:
    """The typed view of ``property_id``'s value where this module has one, else ``to_python(value)``."""
    convert = _VIEWS.get(int(property_id), to_python)
    return convert(value)
