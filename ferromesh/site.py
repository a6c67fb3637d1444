"""What a site scan found, and its JSON and CSV forms.

A ``SiteScan`` holds the devices that answered, each with the objects of its
object list and what was read of them. Values are kept as the decoded
``PropertyValue*`` objects; the writers render them (names for enumerated
values, numbers where a format wants numbers). What could not be read is kept
beside what could: a device that did not answer, an object whose properties
failed, a property the device refused. ``failures()`` lists them all.
"""

from __future__ import annotations

import csv
import datetime
import json
from dataclasses import dataclass, field
from typing import IO, Any, Iterator, NamedTuple

from . import PropertyValueBitString, views
from ._enums import EngineeringUnits, PropertyIdentifier
from .cli.render import value_json, value_text
from .names import enum_member, enum_name, object_type_name, property_enumeration

__all__ = ["STATUS_FLAGS", "ScannedDevice", "ScannedObject", "SiteScan", "status_flags", "write_csv", "scan_json"]

# The error of an object until it has been read.
NOT_READ = "not read"
# The bits of a status-flags value, in order.
STATUS_FLAGS = ("in-alarm", "fault", "overridden", "out-of-service")

CSV_COLUMNS = ["device", "address", "object", "object_type", "instance", "name", "description",
               "present_value", "units", *(flag.replace("-", "_") for flag in STATUS_FLAGS), "error"]


def status_flags(value: object) -> dict[str, bool] | None:
    """A status-flags bit string as {'in-alarm': False, 'fault': False, ...}; None for anything else."""
    if not isinstance(value, PropertyValueBitString):
        return None
    return dict(zip(STATUS_FLAGS, views.status_flags(value)))


@dataclass
class ScannedObject:
    """One entry of a device's object list and what was read of it.

    ``error`` says why the object was not read at all (the device stopped
    answering, the request failed); ``property_errors`` names the properties
    the device refused by property name. Optional properties the object does
    not have (a missing description) are simply None.
    """

    object_type: int
    instance: int
    name: str | None = None
    description: str | None = None
    present_value: object = None  # the decoded PropertyValue*, or None
    units: int | None = None
    status_flags: dict[str, bool] | None = None
    state_texts: list[str] | None = None  # binary: inactive, active; multi-state: state 1, 2, ...
    error: str | None = NOT_READ
    property_errors: dict[str, str] = field(default_factory=dict)

    @property
    def object_id(self) -> str:
        return f"{object_type_name(self.object_type)}:{self.instance}"

    def present_value_json(self) -> Any:
        return value_json(self.present_value, self._names()) if self.present_value is not None else None

    def present_value_text(self) -> str:
        return value_text(self.present_value, self._names()) if self.present_value is not None else ""

    def units_name(self) -> str | None:
        return None if self.units is None else enum_name(enum_member(EngineeringUnits, self.units))

    def _names(self) -> Any:
        return property_enumeration(self.object_type, PropertyIdentifier.PRESENT_VALUE)

    def to_json(self) -> dict[str, Any]:
        return {"object": self.object_id, "type": object_type_name(self.object_type), "instance": self.instance,
                "name": self.name, "description": self.description, "present_value": self.present_value_json(),
                "units": self.units_name(), "status_flags": self.status_flags, "state_texts": self.state_texts,
                "error": self.error, "property_errors": self.property_errors}


@dataclass
class ScannedDevice:
    """A device that answered Who-Is, and the objects of its object list."""

    instance: int
    address: str  # as requests take it: 'host:port', behind a router 'host:port/network:mac'
    vendor_id: int
    max_apdu: int
    segmentation: str
    network: int | None = None  # behind a router: the device's network number
    mac: str | None = None  # and its MAC there, in hex
    name: str | None = None
    objects: list[ScannedObject] = field(default_factory=list)
    error: str | None = None  # why the device, or the rest of it, could not be read

    def to_json(self) -> dict[str, Any]:
        return {"device": self.instance, "address": self.address, "network": self.network, "mac": self.mac,
                "name": self.name, "vendor_id": self.vendor_id, "max_apdu": self.max_apdu,
                "segmentation": self.segmentation, "object_count": len(self.objects), "error": self.error,
                "objects": [o.to_json() for o in self.objects]}


class Failure(NamedTuple):
    device: int
    object: str | None  # None: the device as a whole
    property: str | None  # None: the object as a whole
    error: str


@dataclass
class SiteScan:
    """The result of a scan; ``complete`` is False when it was interrupted."""

    started: datetime.datetime
    devices: list[ScannedDevice] = field(default_factory=list)
    seconds: float = 0.0
    complete: bool = False

    def objects(self) -> Iterator[tuple[ScannedDevice, ScannedObject]]:
        for device in self.devices:
            for obj in device.objects:
                yield device, obj

    def failures(self) -> list[Failure]:
        found: list[Failure] = []
        for device in self.devices:
            if device.error is not None:
                found.append(Failure(device.instance, None, None, device.error))
            for obj in device.objects:
                if obj.error is not None:
                    found.append(Failure(device.instance, obj.object_id, None, obj.error))
                found += [Failure(device.instance, obj.object_id, prop, text)
                          for prop, text in obj.property_errors.items()]
        return found

    def summary(self) -> dict[str, int]:
        objects = [obj for _, obj in self.objects()]
        return {"devices": len(self.devices), "objects": len(objects),
                "objects_read": sum(obj.error is None for obj in objects), "failures": len(self.failures())}


def scan_json(scan: SiteScan) -> dict[str, Any]:
    """The scan as one JSON document (what ``scan --json`` prints and ``poll`` reads)."""
    return {"complete": scan.complete, "started": scan.started.isoformat(timespec="seconds"),
            "seconds": round(scan.seconds, 3), "summary": scan.summary(),
            "devices": [d.to_json() for d in scan.devices], "failures": [f._asdict() for f in scan.failures()]}


def write_csv(scan: SiteScan, stream: IO[str]) -> None:
    """One row per object under a header of CSV_COLUMNS; ``poll`` reads the address and object columns back."""
    writer = csv.writer(stream, lineterminator="\n")
    writer.writerow(CSV_COLUMNS)
    for device, obj in scan.objects():
        flags = obj.status_flags
        writer.writerow([
            device.instance, device.address, obj.object_id, object_type_name(obj.object_type), obj.instance,
            obj.name or "", obj.description or "", obj.present_value_text(), obj.units_name() or "",
            *(("" if flags is None else str(flags[flag]).lower()) for flag in STATUS_FLAGS),
            obj.error or "; ".join(f"{prop}: {text}" for prop, text in obj.property_errors.items())])


def dump_json(scan: SiteScan, stream: IO[str]) -> None:
    json.dump(scan_json(scan), stream, ensure_ascii=False)
    stream.write("\n")
