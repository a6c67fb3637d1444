"""What every test peer serves, as plain data.

Both sides import it: the peer process builds its objects from it and the
tests know from it what they should read. No bacpypes3 here.
"""

from __future__ import annotations

import datetime
from typing import Any, NamedTuple

VENDOR_ID = 999

# The base points of every device (not of bare routers and BBMDs).
SETPOINT = 21.5  # analog-value:1, COV increment 0.5
TEMPERATURE = 20.25  # analog-input:1, COV increment 0.25
FAN_SPEED_STATES = ["off", "low", "high"]
FAN_SPEED = 2  # multi-state-value:1
BASE_OBJECTS = ["analog-value:1", "analog-input:1", "binary-value:1", "multi-state-value:1"]

# schedule:1: the same for Monday to Friday, nothing at the weekend.
_WORKDAY = [(datetime.time(7, 0), 21.0), (datetime.time(12, 30), 20.5), (datetime.time(18, 0), 17.0)]
WEEKLY_SCHEDULE: list[list[tuple[datetime.time, float]]] = [_WORKDAY] * 5 + [[], []]
SCHEDULE_DEFAULT = 15.0
HOLIDAY = datetime.date(2024, 12, 25)
# calendar:1: the holiday, a date range and every Monday of December.
CALENDAR_RANGE = (datetime.date(2024, 7, 29), datetime.date(2024, 8, 16))

# trend-log:1: one real value a minute from LOG_START, sequence numbers from 1.
TREND_RECORDS = 120
TREND_BUFFER_SIZE = 5000
LOG_START = datetime.datetime(2024, 3, 15, 8, 0, 0)


def log_time(number: int) -> datetime.datetime:
    """The time stamp of record ``number`` (1-based)."""
    return LOG_START + datetime.timedelta(minutes=number - 1)


def log_value(number: int) -> float:
    """The value of record ``number``: quarter steps, exact in binary32."""
    return 18.0 + (number % 40) * 0.25


# analog-input:2: event-time-stamps of the three kinds (time, sequence number, date-time).
EVENT_TIME_STAMPS = (datetime.time(6, 30, 15, 500000), 4711, datetime.datetime(2024, 3, 14, 23, 59, 58))

# analog-value:2 with intrinsic reporting through notification-class:1.
ALARM_HIGH_LIMIT = 80.0
ALARM_LOW_LIMIT = 10.0
ALARM_NORMAL_VALUE = 50.0
ALARM_PRIORITY = 100


class SitePoint(NamedTuple):
    object_type: str
    instance: int
    name: str
    description: str
    value: Any
    units: str | None


_SITE_TYPES = ["analog-input", "analog-value", "binary-value", "multi-state-value"]


def site_points(count: int) -> list[SitePoint]:
    """``count`` extra points, instances from 100 so they never meet the base points."""
    points = []
    for n in range(count):
        object_type = _SITE_TYPES[n % len(_SITE_TYPES)]
        instance = 100 + n // len(_SITE_TYPES)
        name = f"{object_type}-{instance}"
        description = f"site point {n}"
        if object_type in ("analog-input", "analog-value"):
            points.append(SitePoint(object_type, instance, name, description, 10.0 + (n % 64) * 0.5,
                                    "degreesCelsius" if object_type == "analog-input" else "percent"))
        elif object_type == "binary-value":
            points.append(SitePoint(object_type, instance, name, description,
                                    "active" if n % 3 == 0 else "inactive", None))
        else:
            points.append(SitePoint(object_type, instance, name, description, n % 3 + 1, None))
    return points
