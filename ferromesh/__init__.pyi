from collections.abc import Sequence
from typing import Any, TypeAlias, final

from ._enums import ErrorClass, ErrorCode, ObjectType, PropertyIdentifier

__all__: list[str]

# Octet lists are accepted from any sequence of ints 0..255 except str and
# always read back as a new list of ints.
_Octets: TypeAlias = Sequence[int]

class BacnetError(Exception): ...
class BacnetTimeoutError(BacnetError): ...
class InvokeIdExhaustedError(BacnetError): ...

class ObjectIdentifier:
    def __init__(self, object_type: int, instance: int) -> None: ...
    @property
    def object_type(self) -> ObjectType | int: ...
    @object_type.setter
    def object_type(self, value: int) -> None: ...
    instance: int

class ReadAccessSpec:
    def __init__(self, object_id: ObjectIdentifier, properties: Sequence[tuple[int, int | None]]) -> None: ...
    object_id: ObjectIdentifier
    @property
    def properties(self) -> list[tuple[int, int | None]]: ...
    @properties.setter
    def properties(self, value: Sequence[tuple[int, int | None]]) -> None: ...

class ServiceReadProperty:
    def __init__(self, object_id: ObjectIdentifier, property_id: int, array_index: int | None = None) -> None: ...
    object_id: ObjectIdentifier
    property_id: int
    array_index: int | None

class ServiceReadPropertyMultiple:
    def __init__(self, specs: Sequence[ReadAccessSpec]) -> None: ...
    @property
    def specs(self) -> list[ReadAccessSpec]: ...
    @specs.setter
    def specs(self, value: Sequence[ReadAccessSpec]) -> None: ...

class ServiceWriteProperty:
    def __init__(
        self,
        object_id: ObjectIdentifier,
        property_id: int,
        value: Any,
        array_index: int | None = None,
        priority: int | None = None,
    ) -> None: ...
    object_id: ObjectIdentifier
    property_id: int
    # Any object is stored; only the PropertyValue* classes and
    # ObjectIdentifier (except PropertyValueArray) can be sent.
    value: Any
    array_index: int | None
    priority: int | None

class PropertyValueNull:
    def __init__(self) -> None: ...

class PropertyValueBoolean:
    def __init__(self, value: bool) -> None: ...
    value: bool

class PropertyValueUnsigned:
    def __init__(self, value: int) -> None: ...
    value: int

class PropertyValueSigned:
    def __init__(self, value: int) -> None: ...
    value: int

class PropertyValueReal:
    def __init__(self, value: float) -> None: ...
    value: float

class PropertyValueDouble:
    def __init__(self, value: float) -> None: ...
    value: float

class PropertyValueOctetString:
    def __init__(self, value: _Octets) -> None: ...
    @property
    def value(self) -> list[int]: ...
    @value.setter
    def value(self, value: _Octets) -> None: ...

class PropertyValueCharacterString:
    def __init__(self, value: str) -> None: ...
    value: str

class PropertyValueBitString:
    def __init__(self, used_bits: int, bits: _Octets) -> None: ...
    used_bits: int
    @property
    def bits(self) -> list[int]: ...
    @bits.setter
    def bits(self, value: _Octets) -> None: ...

class PropertyValueEnumerated:
    def __init__(self, value: int) -> None: ...
    value: int

class PropertyValueDate:
    def __init__(self, year: int, month: int, day: int, weekday: int | None = None) -> None: ...
    year: int
    month: int
    day: int
    weekday: int | None
    """weekday 0=Mon..6=Sun, 7=Mon-Fri, None=wildcard"""

class PropertyValueTime:
    def __init__(self, hour: int, minute: int, second: int, hundredths: int) -> None: ...
    hour: int
    minute: int
    second: int
    hundredths: int

class PropertyValueAny:
    def __init__(self, data: _Octets) -> None: ...
    @property
    def data(self) -> list[int]: ...
    @data.setter
    def data(self, value: _Octets) -> None: ...

_DecodedValue: TypeAlias = (
    PropertyValueNull
    | PropertyValueBoolean
    | PropertyValueUnsigned
    | PropertyValueSigned
    | PropertyValueReal
    | PropertyValueDouble
    | PropertyValueOctetString
    | PropertyValueCharacterString
    | PropertyValueBitString
    | PropertyValueEnumerated
    | PropertyValueDate
    | PropertyValueTime
    | ObjectIdentifier
    | PropertyValueArray
)

@final
class PropertyValueArray:
    """Multiple decoded values from a ReadProperty array/list response."""
    @property
    def values(self) -> list[_DecodedValue]: ...

class BacnetPropertyError:
    def __init__(self, error_class: int, error_code: int) -> None: ...
    @property
    def error_class(self) -> ErrorClass | int: ...
    @property
    def error_code(self) -> ErrorCode | int: ...

@final
class PropertyResult:
    """Result for a single property within ReadPropertyMultiple."""
    @property
    def property_id(self) -> PropertyIdentifier | int: ...
    @property
    def array_index(self) -> int | None: ...
    @property
    def value(self) -> _DecodedValue | BacnetPropertyError:
        """Either a PropertyValue* instance or a BacnetPropertyError."""

@final
class ObjectResult:
    """Result for one object in a ReadPropertyMultiple response."""
    @property
    def object_id(self) -> ObjectIdentifier: ...
    @property
    def properties(self) -> list[PropertyResult]: ...

@final
class ReadPropertyResult:
    """Decoded result of a ReadProperty response."""
    @property
    def object_id(self) -> ObjectIdentifier: ...
    @property
    def property_id(self) -> PropertyIdentifier | int: ...
    @property
    def array_index(self) -> int | None: ...
    @property
    def value(self) -> _DecodedValue:
        """A PropertyValue* instance."""

@final
class ReadPropertyMultipleResult:
    """Decoded result of a ReadPropertyMultiple response."""
    @property
    def objects(self) -> list[ObjectResult]: ...

def decode_read_property(data: _Octets) -> ReadPropertyResult:
    """Decode a ReadProperty ComplexACK payload into a ReadPropertyResult."""

def decode_read_property_multiple(data: _Octets) -> ReadPropertyMultipleResult:
    """Decode a ReadPropertyMultiple ComplexACK payload into a ReadPropertyMultipleResult."""
