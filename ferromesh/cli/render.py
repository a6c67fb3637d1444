"""Decoded values as text and as JSON, and tables of rows."""

from __future__ import annotations

import math
from enum import IntEnum
from typing import Any

from .. import (
    BacnetPropertyError,
    ObjectIdentifier,
    PropertyValueAny,
    PropertyValueArray,
    PropertyValueBitString,
    PropertyValueBoolean,
    PropertyValueCharacterString,
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
from ..names import enum_member, enum_name, format_object_id


def decimal_text(value: PropertyValueReal | PropertyValueDouble) -> str:
    """The shortest decimal that reads back as the same binary32 (Real) or binary64 (Double), without an exponent.

    The extension renders it for the value's repr ('PropertyValueReal(0.1)'),
    so both show the same digits; 'nan', 'inf' and '-inf' for the others.
    """
    text = repr(value).partition("(")[2][:-1]
    return "nan" if text == "NaN" else text


def _bits_text(value: PropertyValueBitString) -> str:
    bits = value.bits
    # used_bits carries the number of unused bits in the last octet.
    count = max(0, len(bits) * 8 - value.used_bits) if value.used_bits < 8 else len(bits) * 8
    return "".join("1" if bits[i // 8] >> (7 - i % 8) & 1 else "0" for i in range(count))


def _field(number: int | None, digits: int = 2) -> str:
    """A date or time field, "*" when unspecified."""
    return "*" if number is None else f"{number:0{digits}d}"


def value_text(value: object, names: type[IntEnum] | None = None) -> str:
    """A readable rendering of a decoded value; ``names`` names its Enumerated values (see property_enumeration)."""
    if isinstance(value, BacnetPropertyError):
        return f"error: {enum_name(value.error_class)}/{enum_name(value.error_code)}"
    if isinstance(value, PropertyValueNull):
        return "null"
    if isinstance(value, PropertyValueBoolean):
        return "true" if value.value else "false"
    if isinstance(value, PropertyValueEnumerated) and names is not None:
        return enum_name(enum_member(names, value.value))
    if isinstance(value, (PropertyValueUnsigned, PropertyValueSigned, PropertyValueEnumerated)):
        return str(value.value)
    if isinstance(value, (PropertyValueReal, PropertyValueDouble)):
        return decimal_text(value)
    if isinstance(value, PropertyValueCharacterString):
        return value.value
    if isinstance(value, (PropertyValueOctetString, PropertyValueAny)):
        octets = value.value if isinstance(value, PropertyValueOctetString) else value.data
        return "0x" + bytes(octets).hex()
    if isinstance(value, PropertyValueBitString):
        return _bits_text(value)
    if isinstance(value, PropertyValueDate):
        return f"{_field(value.year, 1)}-{_field(value.month)}-{_field(value.day)}"
    if isinstance(value, PropertyValueTime):
        return f"{_field(value.hour)}:{_field(value.minute)}:{_field(value.second)}.{_field(value.hundredths)}"
    if isinstance(value, ObjectIdentifier):
        return format_object_id(value)
    if isinstance(value, PropertyValueArray):
        return "[" + ", ".join(value_text(v, names) for v in value.values) + "]"
    return repr(value)


def value_json(value: object, names: type[IntEnum] | None = None) -> Any:
    """A JSON-ready rendering of a decoded value; an Enumerated value that ``names`` names is its name."""
    if isinstance(value, BacnetPropertyError):
        return {"error": {"class": enum_name(value.error_class), "code": enum_name(value.error_code)}}
    if isinstance(value, PropertyValueNull):
        return None
    if isinstance(value, PropertyValueEnumerated) and names is not None:
        member = enum_member(names, value.value)
        return enum_name(member) if isinstance(member, names) else value.value
    if isinstance(value, (PropertyValueBoolean, PropertyValueUnsigned, PropertyValueSigned,
                          PropertyValueEnumerated, PropertyValueCharacterString)):
        return value.value
    if isinstance(value, (PropertyValueReal, PropertyValueDouble)):
        if not math.isfinite(value.value):
            return decimal_text(value)  # JSON has no NaN or infinity
        # A Real as the double nearest its shortest decimal: 0.1, not 0.10000000149011612.
        return float(decimal_text(value)) if isinstance(value, PropertyValueReal) else value.value
    if isinstance(value, PropertyValueArray):
        return [value_json(v, names) for v in value.values]
    return value_text(value)


def table(columns: list[str], rows: list[dict[str, Any]]) -> str:
    """Rows as left-aligned columns under a header line and a rule."""
    cells = [[str(row[c]) for c in columns] for row in rows]
    widths = [max(len(c), *(len(r[i]) for r in cells)) for i, c in enumerate(columns)]
    lines = ["  ".join(c.ljust(w) for c, w in zip(columns, widths)).rstrip(),
             "  ".join("-" * w for w in widths)]
    lines += ["  ".join(v.ljust(w) for v, w in zip(r, widths)).rstrip() for r in cells]
    return "\n".join(lines)
