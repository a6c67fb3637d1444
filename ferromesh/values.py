"""Python values as the PropertyValue objects that a WriteProperty carries."""

from __future__ import annotations

from typing import Any

from . import (
    ObjectIdentifier,
    PropertyValueAny,
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

__all__ = ["to_property_value"]

_VALUE_CLASSES = (
    PropertyValueNull, PropertyValueBoolean, PropertyValueUnsigned, PropertyValueSigned,
    PropertyValueReal, PropertyValueDouble, PropertyValueOctetString, PropertyValueCharacterString,
    PropertyValueBitString, PropertyValueEnumerated, PropertyValueDate, PropertyValueTime,
    PropertyValueAny, ObjectIdentifier, PropertyValueContext, PropertyValueConstructed,
)


def to_property_value(value: Any) -> Any:
    """A value to write: PropertyValue* objects pass unchanged; None, bool, int, float and str are converted.

    int becomes Unsigned (Signed when negative) and float becomes Real; pass a
    PropertyValueEnumerated or PropertyValueDouble explicitly where a device
    expects those. A list or tuple, or a decoded PropertyValueArray, is
    written as its values back to back (a list or array property written
    whole, e.g. a weekly-schedule read, changed and written back).
    """
    if isinstance(value, _VALUE_CLASSES):
        return value
    if isinstance(value, PropertyValueArray):
        value = value.values
    if isinstance(value, (list, tuple)):
        items = [to_property_value(item) for item in value]
        if any(isinstance(item, list) for item in items):
            raise TypeError("a list to write cannot hold lists; use PropertyValueConstructed for nested data")
        return items
    if value is None:
        return PropertyValueNull()
    if isinstance(value, bool):
        return PropertyValueBoolean(value)
    if isinstance(value, int):
        return PropertyValueUnsigned(value) if value >= 0 else PropertyValueSigned(value)
    if isinstance(value, float):
        return PropertyValueReal(value)
    if isinstance(value, str):
        return PropertyValueCharacterString(value)
    raise TypeError(f"cannot write a {type(value).__name__}; pass a PropertyValue* object")
