"""A site scan as an EDE file set (Engineering Data Exchange, layout 2.2).

Four CSV files sharing a prefix, separated by ';' and quoted only where a
field holds the separator: ``<prefix>_EDE.csv`` (a project header, then one
row per object in the 16 columns of the layout), ``<prefix>_StateTexts.csv``
(the state texts of binary and multi-state objects, referenced by number from
the main file), ``<prefix>_Units.csv`` and ``<prefix>_ObjTypes.csv`` (the codes
the main file uses, with their names).
"""

from __future__ import annotations

import csv
from pathlib import Path
from typing import IO, Any

from . import (
    PropertyValueBoolean,
    PropertyValueDouble,
    PropertyValueEnumerated,
    PropertyValueReal,
    PropertyValueSigned,
    PropertyValueUnsigned,
)
from ._enums import EngineeringUnits, ObjectType
from .cli.render import decimal_text
from .names import enum_member, enum_name, object_type_name
from .site import ScannedDevice, ScannedObject, SiteScan

__all__ = ["COLUMNS", "LAYOUT_VERSION", "write_ede"]

LAYOUT_VERSION = "2.2"
COLUMNS = ["keyname", "device obj.-instance", "object-name", "object-type", "object-instance", "description",
           "present-value-default", "min-present-value", "max-present-value", "settable", "supports COV",
           "hi-limit", "low-limit", "state-text-reference", "unit-code", "vendor-specific-address"]
MANDATORY = 5  # the first five columns

_BINARY = frozenset((ObjectType.BINARY_INPUT, ObjectType.BINARY_OUTPUT, ObjectType.BINARY_VALUE))
_DEFAULT_BINARY_TEXTS = ("inactive", "active")


def _writer(stream: IO[str]) -> Any:
    # Excel and the front ends that read EDE expect CRLF line ends.
    return csv.writer(stream, delimiter=";", quoting=csv.QUOTE_MINIMAL, lineterminator="\r\n")


def _number(value: object) -> str:
    """A present value as the number EDE wants (binary and multi-state states by number)."""
    if isinstance(value, (PropertyValueReal, PropertyValueDouble)):
        return decimal_text(value)
    if isinstance(value, (PropertyValueEnumerated, PropertyValueUnsigned, PropertyValueSigned)):
        return str(value.value)
    if isinstance(value, PropertyValueBoolean):
        return "1" if value.value else "0"
    return ""


class _StateTexts:
    """State-text lists numbered from 1 in the order first used; equal lists share a number."""

    def __init__(self) -> None:
        self.numbers: dict[tuple[str, ...], int] = {}

    def reference(self, obj: ScannedObject) -> str:
        texts = tuple(obj.state_texts) if obj.state_texts else (
            _DEFAULT_BINARY_TEXTS if obj.object_type in _BINARY else ())
        if not texts:
            return ""
        return str(self.numbers.setdefault(texts, len(self.numbers) + 1))


def _row(device: ScannedDevice, obj: ScannedObject, states: _StateTexts) -> list[str]:
    return [f"{device.instance}_{obj.object_type}_{obj.instance}", str(device.instance),
            obj.name if obj.name is not None else obj.object_id, str(obj.object_type), str(obj.instance),
            obj.description or "", _number(obj.present_value), "", "", "", "", "", "",
            states.reference(obj), "" if obj.units is None else str(obj.units), device.address]


def write_ede(scan: SiteScan, prefix: str | Path, *, project: str = "ferromesh scan", author: str = "ferromesh",
              version: int = 1) -> list[Path]:
    """Writes the file set ``<prefix>_EDE.csv``, ``_StateTexts.csv``, ``_Units.csv``, ``_ObjTypes.csv``.

    Returns the paths written. Every object of the scan gets a row, read or
    not (an object not read has its identifier as its name), so that the set
    lists the whole site.
    """
    base = Path(prefix)
    paths = [base.with_name(f"{base.name}_{suffix}.csv") for suffix in ("EDE", "StateTexts", "Units", "ObjTypes")]
    base.parent.mkdir(parents=True, exist_ok=True)
    states = _StateTexts()
    units: set[int] = set()
    types: set[int] = set()
    with paths[0].open("w", encoding="utf-8", newline="") as stream:
        writer = _writer(stream)
        stamp = scan.started.astimezone().strftime("%Y-%m-%d %H:%M:%S")
        for key, value in (("PROJECT_NAME", project), ("VERSION_OF_REFERENCEFILE", str(version)),
                           ("TIMESTAMP_OF_LAST_CHANGE", stamp), ("AUTHOR_OF_LAST_CHANGE", author),
                           ("VERSION_OF_LAYOUT", LAYOUT_VERSION)):
            writer.writerow([key, value])
        writer.writerow(["#mandatory"] + ["mandatory"] * (MANDATORY - 1) + ["optional"] * (len(COLUMNS) - MANDATORY))
        writer.writerow(["#" + COLUMNS[0], *COLUMNS[1:]])
        for device, obj in scan.objects():
            writer.writerow(_row(device, obj, states))
            types.add(obj.object_type)
            if obj.units is not None:
                units.add(obj.units)
    with paths[1].open("w", encoding="utf-8", newline="") as stream:
        writer = _writer(stream)
        most = max((len(texts) for texts in states.numbers), default=2)
        writer.writerow(["#Reference Number", *(f"Text {n}" for n in range(1, most + 1))])
        for texts, number in states.numbers.items():
            writer.writerow([str(number), *texts])
    with paths[2].open("w", encoding="utf-8", newline="") as stream:
        writer = _writer(stream)
        writer.writerow(["#Unit Code", "Unit Text"])
        for code in sorted(units):
            writer.writerow([str(code), enum_name(enum_member(EngineeringUnits, code))])
    with paths[3].open("w", encoding="utf-8", newline="") as stream:
        writer = _writer(stream)
        writer.writerow(["#Code", "Object Type Text"])
        for code in sorted(types):
            writer.writerow([str(code), object_type_name(code)])
    return paths
