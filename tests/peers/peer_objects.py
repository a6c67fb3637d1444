"""The objects a test peer serves, chosen by its spec's capabilities.

The values are fixed (see ``catalogue.py`` on the host side, which mirrors
them) so that a test knows what it should read without asking the peer.
"""

from __future__ import annotations

import datetime
from typing import Any

from bacpypes3.basetypes import (
    CalendarEntry,
    DailySchedule,
    DateRange,
    DateTime,
    Destination,
    DeviceObjectPropertyReference,
    EventTransitionBits,
    LimitEnable,
    LogRecord,
    LogRecordLogDatum,
    Recipient,
    SpecialEvent,
    SpecialEventPeriod,
    StatusFlags,
    TimeStamp,
    TimeValue,
)
from bacpypes3.local.analog import AnalogInputObject, AnalogValueObject, AnalogValueObjectIR
from bacpypes3.local.binary import BinaryValueObject
from bacpypes3.local.cov import GenericCriteria
from bacpypes3.local.multistate import MultiStateValueObject as BaseMultiStateValueObject
from bacpypes3.local.object import Object as LocalObject
from bacpypes3.local.schedule import ScheduleObject
from bacpypes3.object import CalendarObject, NotificationClassObject, TrendLogObject
from bacpypes3.primitivedata import Date, Real, Time

import catalogue


class MultiStateValueObject(BaseMultiStateValueObject):
    # bacpypes3 0.0.110 gives multi-state values the COV-increment criteria,
    # which fail on the first change (a multi-state value has no increment):
    # any change of value or status flags is a change of value.
    _cov_criteria = GenericCriteria


class LocalCalendarObject(LocalObject, CalendarObject):
    # A calendar reports no events; bacpypes3's local objects look for this.
    notificationClass = None


class LocalTrendLogObject(LocalObject, TrendLogObject):
    pass


class LocalNotificationClassObject(LocalObject, NotificationClassObject):
    pass


def date(d: datetime.date) -> Date:
    return Date((d.year - 1900, d.month, d.day, d.isoweekday()))


def time(t: datetime.time) -> Time:
    return Time((t.hour, t.minute, t.second, t.microsecond // 10000))


def date_time(dt: datetime.datetime) -> DateTime:
    return DateTime(date=date(dt.date()), time=time(dt.time()))


UNSPECIFIED_TIME_STAMP = TimeStamp(dateTime=DateTime(date=Date((255, 255, 255, 255)),
                                                     time=Time((255, 255, 255, 255))))


def base_points() -> list[Any]:
    """The points every device serves; COV works on all four."""
    return [
        AnalogValueObject(objectIdentifier=("analog-value", 1), objectName="setpoint",
                          presentValue=catalogue.SETPOINT, units="degreesCelsius", covIncrement=0.5,
                          statusFlags=[0, 0, 0, 0], outOfService=False),
        AnalogInputObject(objectIdentifier=("analog-input", 1), objectName="temperature",
                          presentValue=catalogue.TEMPERATURE, units="degreesCelsius", covIncrement=0.25,
                          statusFlags=[0, 0, 0, 0], outOfService=False),
        BinaryValueObject(objectIdentifier=("binary-value", 1), objectName="occupied",
                          presentValue="inactive", statusFlags=[0, 0, 0, 0], outOfService=False),
        MultiStateValueObject(objectIdentifier=("multi-state-value", 1), objectName="fan-speed",
                              presentValue=catalogue.FAN_SPEED, numberOfStates=len(catalogue.FAN_SPEED_STATES),
                              stateText=catalogue.FAN_SPEED_STATES, statusFlags=[0, 0, 0, 0],
                              outOfService=False),
    ]


def site_points(count: int) -> list[Any]:
    """``count`` more objects of several types, for whole-site scans."""
    objects: list[Any] = []
    for point in catalogue.site_points(count):
        common = {"objectIdentifier": (point.object_type, point.instance), "objectName": point.name,
                  "description": point.description, "statusFlags": [0, 0, 0, 0], "outOfService": False}
        if point.object_type == "analog-input":
            objects.append(AnalogInputObject(presentValue=point.value, units=point.units, **common))
        elif point.object_type == "analog-value":
            objects.append(AnalogValueObject(presentValue=point.value, units=point.units, **common))
        elif point.object_type == "binary-value":
            objects.append(BinaryValueObject(presentValue=point.value, **common))
        else:
            objects.append(MultiStateValueObject(presentValue=point.value, numberOfStates=3,
                                                 stateText=catalogue.FAN_SPEED_STATES, **common))
    return objects


def schedule() -> ScheduleObject:
    weekly = []
    for day in catalogue.WEEKLY_SCHEDULE:
        weekly.append(DailySchedule(daySchedule=[TimeValue(time=time(t), value=Real(v)) for t, v in day]))
    exceptions = [
        SpecialEvent(period=SpecialEventPeriod(calendarEntry=CalendarEntry(date=date(catalogue.HOLIDAY))),
                     listOfTimeValues=[TimeValue(time=time(datetime.time(0, 0)), value=Real(16.0))],
                     eventPriority=1),
        SpecialEvent(period=SpecialEventPeriod(calendarReference=("calendar", 1)),
                     listOfTimeValues=[TimeValue(time=time(datetime.time(8, 0)), value=Real(19.0)),
                                       TimeValue(time=time(datetime.time(12, 0)), value=Real(17.0))],
                     eventPriority=5),
    ]
    return ScheduleObject(
        objectIdentifier=("schedule", 1), objectName="heating-schedule",
        presentValue=Real(catalogue.SCHEDULE_DEFAULT),
        effectivePeriod=DateRange(startDate=date(datetime.date(2024, 1, 1)),
                                  endDate=date(datetime.date(2030, 12, 31))),
        weeklySchedule=weekly, exceptionSchedule=exceptions,
        scheduleDefault=Real(catalogue.SCHEDULE_DEFAULT),
        listOfObjectPropertyReferences=[], priorityForWriting=16,
        statusFlags=[0, 0, 0, 0], reliability="noFaultDetected", outOfService=False)


def calendar() -> LocalCalendarObject:
    first, last = catalogue.CALENDAR_RANGE
    return LocalCalendarObject(
        objectIdentifier=("calendar", 1), objectName="holidays", presentValue=False,
        dateList=[
            CalendarEntry(date=date(catalogue.HOLIDAY)),
            CalendarEntry(dateRange=DateRange(startDate=date(first), endDate=date(last))),
            # Every Monday of December: month 12, any week, day 1.
            CalendarEntry(weekNDay=bytes([12, 0xFF, 1])),
        ])


def log_record(number: int, value: float) -> LogRecord:
    return LogRecord(timestamp=date_time(catalogue.log_time(number)),
                     logDatum=LogRecordLogDatum(realValue=value), statusFlags=StatusFlags([0, 0, 0, 0]))


def trend_log(records: int) -> LocalTrendLogObject:
    buffer = [log_record(n, catalogue.log_value(n)) for n in range(1, records + 1)]
    return LocalTrendLogObject(
        objectIdentifier=("trend-log", 1), objectName="temperature-log",
        enable=True, stopWhenFull=False, bufferSize=catalogue.TREND_BUFFER_SIZE, logBuffer=buffer,
        recordCount=records, totalRecordCount=records, loggingType="polled", logInterval=6000,
        logDeviceObjectProperty=DeviceObjectPropertyReference(
            objectIdentifier=("analog-input", 1), propertyIdentifier="presentValue"),
        statusFlags=[0, 0, 0, 0], eventState="normal")


def event_stamped_input() -> AnalogInputObject:
    stamps = catalogue.EVENT_TIME_STAMPS
    return AnalogInputObject(
        objectIdentifier=("analog-input", 2), objectName="supply-temperature",
        presentValue=55.5, units="degreesCelsius", statusFlags=[0, 0, 0, 0], outOfService=False,
        eventState="normal",
        eventTimeStamps=[TimeStamp(time=time(stamps[0])), TimeStamp(sequenceNumber=stamps[1]),
                         TimeStamp(dateTime=date_time(stamps[2]))])


def alarm_objects() -> list[Any]:
    """A notification class (recipients set by the control channel) and an
    analog value with intrinsic out-of-range reporting."""
    nc = LocalNotificationClassObject(
        objectIdentifier=("notification-class", 1), objectName="alarms", notificationClass=1,
        priority=[catalogue.ALARM_PRIORITY, catalogue.ALARM_PRIORITY, catalogue.ALARM_PRIORITY],
        ackRequired=EventTransitionBits([1, 0, 0]), recipientList=[])
    av = AnalogValueObjectIR(
        objectIdentifier=("analog-value", 2), objectName="boiler-temperature",
        presentValue=catalogue.ALARM_NORMAL_VALUE, units="degreesCelsius", statusFlags=[0, 0, 0, 0],
        outOfService=False, eventState="normal", highLimit=catalogue.ALARM_HIGH_LIMIT,
        lowLimit=catalogue.ALARM_LOW_LIMIT, deadband=1.0, limitEnable=LimitEnable([1, 1]),
        eventEnable=EventTransitionBits([1, 1, 1]), ackedTransitions=EventTransitionBits([1, 1, 1]),
        notifyType="alarm", notificationClass=1, timeDelay=0, eventDetectionEnable=True,
        eventTimeStamps=[UNSPECIFIED_TIME_STAMP] * 3,
        relinquishDefault=catalogue.ALARM_NORMAL_VALUE)
    return [nc, av]


def recipient(address: Any, process_id: int, confirmed: bool) -> Destination:
    return Destination(
        validDays=[1, 1, 1, 1, 1, 1, 1], fromTime=Time((0, 0, 0, 0)), toTime=Time((23, 59, 59, 99)),
        recipient=Recipient(address=address), processIdentifier=process_id,
        issueConfirmedNotifications=confirmed, transitions=EventTransitionBits([1, 1, 1]))


def build(node: dict[str, Any]) -> list[Any]:
    if node.get("bare"):
        return []
    capabilities = set(node.get("capabilities", ()))
    objects = base_points() + site_points(node.get("points", 0))
    # The schedule's exception list refers to the calendar, which must exist first.
    if capabilities & {"schedule", "calendar"}:
        objects.append(calendar())
    if "schedule" in capabilities:
        objects.append(schedule())
    if "trend-log" in capabilities:
        objects.append(trend_log(node.get("trend_records", catalogue.TREND_RECORDS)))
    if "event-time-stamps" in capabilities:
        objects.append(event_stamped_input())
    if "alarms" in capabilities:
        objects += alarm_objects()
    return objects
