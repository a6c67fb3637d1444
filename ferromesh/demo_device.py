"""A simulated BACnet/IP device for the demo and the interoperability tests.

Run as ``python -m ferromesh.demo_device --port 47809``. It serves a device
object and a few hundred points of several types on 127.0.0.1 only, answers
until it receives SIGTERM or SIGINT, and prints ``ready <port>`` once it
listens. The device itself is bacpypes3 (the optional ``demo`` extra), an
independent BACnet implementation; this module only describes the points.

The point catalogue below is plain data so that the demo and the tests know
what the device serves without importing bacpypes3.
"""

from __future__ import annotations

import argparse
import asyncio
import datetime
import signal
import sys
from typing import TYPE_CHECKING, Any, NamedTuple

if TYPE_CHECKING:
    from bacpypes3.app import Application

DEVICE_INSTANCE = 599
DEVICE_NAME = "ferromesh-demo-device"
VENDOR_ID = 999
# The one commandable point (it has a priority array): the demo writes it.
SETPOINT = ("analog-value", 1)


class Point(NamedTuple):
    object_type: str
    instance: int
    name: str
    value: Any


def _points() -> list[Point]:
    points = [Point("analog-value", 1, "zone-temperature-setpoint", 21.0)]
    # Multiples of 0.25 are exact in binary32, so reads compare with ==.
    points += [Point("analog-input", n, f"zone-{n:03d}-temperature", 18.0 + (n % 40) * 0.25)
               for n in range(1, 101)]
    points += [Point("analog-output", n, f"valve-{n:03d}-position", float(n * 2 % 100))
               for n in range(1, 41)]
    points += [Point("analog-value", n, f"zone-{n:03d}-humidity-limit", 40.0 + n * 0.5)
               for n in range(2, 41)]
    points += [Point("binary-value", n, f"zone-{n:03d}-occupied", "active" if n % 2 else "inactive")
               for n in range(1, 61)]
    points += [Point("multi-state-value", n, f"ahu-{n:03d}-fan-speed", n % 3 + 1)
               for n in range(1, 41)]
    points += [Point("characterstring-value", n, f"zone-{n:03d}-label", f"Zone {n} – Büro {n % 7}")
               for n in range(1, 31)]
    points += [
        Point("integer-value", 1, "boiler-offset", -42),
        Point("positive-integer-value", 1, "occupancy-count", 70000),
        Point("large-analog-value", 1, "meter-total-energy", 1234567.890625),
        Point("date-value", 1, "holiday-date", datetime.date(2024, 3, 15)),
        Point("time-value", 1, "opening-time", datetime.time(7, 5, 0, 90000)),
    ]
    return points


POINTS = _points()
FAN_SPEED_STATES = ["off", "low", "high"]
# Properties the standard makes read-only; the device refuses writes to them
# with property / write-access-denied.
READ_ONLY = frozenset({"object-identifier", "object-type", "object-list", "status-flags", "priority-array",
                       "protocol-version", "protocol-revision", "vendor-identifier"})


if TYPE_CHECKING:
    class _WritableObject:
        """What the object classes ReadOnlyGuard is mixed into provide."""

        async def write_property(self, attr: Any, value: Any, index: int | None = None,
                                 priority: int | None = None) -> Any: ...
else:
    _WritableObject = object


def _build_application(port: int) -> Application:
    # Imported here so that the catalogue above needs no bacpypes3.
    from bacpypes3.app import Application
    from bacpypes3.argparse import SimpleArgumentParser
    from bacpypes3.local.analog import AnalogInputObject, AnalogOutputObject, AnalogValueObject
    from bacpypes3.local.binary import BinaryValueObject
    from bacpypes3.local.cmd import Commandable
    from bacpypes3.local.multistate import MultiStateValueObject
    from bacpypes3.local.object import Object as LocalObject
    from bacpypes3 import object as standard_objects
    from bacpypes3.errors import ExecutionError
    from bacpypes3.primitivedata import Date, Time

    class ReadOnlyGuard(_WritableObject):
        async def write_property(self, attr: Any, value: Any, index: int | None = None,
                                 priority: int | None = None) -> Any:
            if str(attr) in READ_ONLY:
                raise ExecutionError(errorClass="property", errorCode="writeAccessDenied")
            return await super().write_property(attr, value, index, priority)

    def guarded(*bases: type) -> type:
        return type("Guarded" + bases[-1].__name__, (ReadOnlyGuard, *bases), {})

    def local(name: str) -> type:
        return guarded(LocalObject, getattr(standard_objects, name))

    # A /32 prefix keeps the device's notion of "local broadcast" on 127.0.0.1.
    args = SimpleArgumentParser().parse_args([
        "--address", f"127.0.0.1/32:{port}",
        "--instance", str(DEVICE_INSTANCE),
        "--name", DEVICE_NAME,
        "--vendoridentifier", str(VENDOR_ID),
    ])
    app = Application.from_args(args)

    classes = {
        "analog-input": guarded(AnalogInputObject),
        "analog-output": guarded(AnalogOutputObject),
        "analog-value": guarded(AnalogValueObject),
        "binary-value": guarded(BinaryValueObject),
        "multi-state-value": guarded(MultiStateValueObject),
        "characterstring-value": local("CharacterStringValueObject"),
        "integer-value": local("IntegerValueObject"),
        "positive-integer-value": local("PositiveIntegerValueObject"),
        "large-analog-value": local("LargeAnalogValueObject"),
        "date-value": local("DateValueObject"),
        "time-value": local("TimeValueObject"),
    }
    for point in POINTS:
        kwargs = {
            "objectIdentifier": (point.object_type, point.instance),
            "objectName": point.name,
            "presentValue": point.value,
            "outOfService": False,
        }
        cls = classes[point.object_type]
        if point.object_type in ("analog-input", "analog-output", "analog-value"):
            kwargs["units"] = "percent" if point.object_type == "analog-output" else "degreesCelsius"
        if point.object_type == "multi-state-value":
            kwargs["numberOfStates"] = len(FAN_SPEED_STATES)
            kwargs["stateText"] = FAN_SPEED_STATES
        if point.object_type == "date-value":
            d = point.value
            kwargs["presentValue"] = Date((d.year - 1900, d.month, d.day, d.isoweekday()))
        if point.object_type == "time-value":
            t = point.value
            kwargs["presentValue"] = Time((t.hour, t.minute, t.second, t.microsecond // 10000))
        if (point.object_type, point.instance) == SETPOINT:
            cls = guarded(Commandable, AnalogValueObject)
            kwargs["relinquishDefault"] = point.value
        app.add_object(cls(**kwargs))
    return app


async def _serve(port: int) -> None:
    app = _build_application(port)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    print(f"ready {port}", flush=True)
    await stop.wait()
    app.close()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m ferromesh.demo_device",
        description="Simulated BACnet/IP device on 127.0.0.1 (needs the 'demo' extra: bacpypes3).",
    )
    parser.add_argument("--port", type=int, required=True, help="UDP port on 127.0.0.1")
    args = parser.parse_args(argv)
    try:
        asyncio.run(_serve(args.port))
    except ImportError as exc:
        print(f"the simulated device needs bacpypes3 (pip install 'ferromesh[demo]'): {exc}", file=sys.stderr)
        return 6
    return 0


if __name__ == "__main__":
    sys.exit(main())
