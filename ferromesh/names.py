"""Text and numbers: object types, properties, object identifiers, addresses and enumerated values.

Requests name their device, object and property as text ('192.168.1.20',
'analog-value:1', 'present-value') on every call, so each text is parsed once:
the text -> number lookups are cached, and the objects handed out are built
fresh from the cached numbers (``BacnetAddr`` and ``ObjectIdentifier`` are
mutable, so a cached object could be changed behind the cache's back). A
pre-built ``ObjectIdentifier`` or ``BacnetAddr`` is used as it is.
"""

from __future__ import annotations

import functools
import ipaddress
import re
from enum import IntEnum
from typing import Iterable

from . import BacnetAddr, ObjectIdentifier, ReadAccessSpec
from ._enums import (
    BinaryPV,
    DeviceStatus,
    EngineeringUnits,
    EventState,
    EventType,
    NotifyType,
    ObjectType,
    Polarity,
    PropertyIdentifier,
    Reliability,
    Segmentation,
)

__all__ = [
    "ALL_DEVICES",
    "DEFAULT_PORT",
    "DeviceSpec",
    "GLOBAL_BROADCAST",
    "ObjectSpec",
    "address_key",
    "PropertySpec",
    "enum_member",
    "enum_name",
    "format_address",
    "format_object_id",
    "make_read_access_spec",
    "object_type_name",
    "parse_address",
    "parse_device",
    "parse_object_id",
    "parse_property_id",
    "property_enumeration",
    "property_name",
]

DEFAULT_PORT = 47808
GLOBAL_BROADCAST = "255.255.255.255"
# The global broadcast to every network: every device of the site, routed or not, hears it.
ALL_DEVICES = "255.255.255.255/65535"

# Distinct texts a program uses are few (its points and devices); the bound
# only keeps a program that invents texts from growing the caches forever.
_CACHE_SIZE = 4096

# An object as the requests accept it; see parse_object_id.
ObjectSpec = ObjectIdentifier | str | tuple[int | str, int]
# A property as the requests accept it: a name or number, or (property, array_index).
PropertySpec = int | str | tuple[int | str, int | None]


def enum_member(enum: type[IntEnum], number: int) -> int:
    """The member of ``enum`` for ``number`` when there is one, the number otherwise."""
    try:
        return enum(number)
    except ValueError:
        return number


def enum_name(value: int) -> str:
    """'unknown-property' for an enumeration member, the decimal number otherwise."""
    name = getattr(value, "name", None)
    return name.lower().replace("_", "-") if isinstance(name, str) else str(int(value))


# ---------------------------------------------------------------------------
# Addresses


_MAX_MAC_OCTETS = 7
_GLOBAL_NETWORK = 0xFFFF


@functools.lru_cache(maxsize=_CACHE_SIZE)
def _address_numbers(address: str) -> tuple[str, int, int | None, bytes | None]:
    text = address.strip()
    udp, slash, route = text.partition("/")
    host, sep, port_text = udp.partition(":")
    try:
        host = str(ipaddress.IPv4Address(host))
    except ValueError:
        raise ValueError(f"not an IPv4 address: {address!r}") from None
    port = DEFAULT_PORT
    if sep:
        if not port_text.isdigit() or not 0 < int(port_text) < 65536:
            raise ValueError(f"not a UDP port: {address!r}")
        port = int(port_text)
    if not slash:
        return host, port, None, None
    network_text, colon, mac_text = route.partition(":")
    if not network_text.isdigit() or not 0 < int(network_text) <= _GLOBAL_NETWORK:
        raise ValueError(f"not a network number 1..65535: {address!r}")
    network = int(network_text)
    if not colon:
        return host, port, network, None  # every device of that network
    try:
        mac = bytes.fromhex(mac_text) if mac_text.isascii() and mac_text.isalnum() else b""
    except ValueError:
        mac = b""
    if not 0 < len(mac) <= _MAX_MAC_OCTETS or network == _GLOBAL_NETWORK:
        raise ValueError(f"not a MAC address of 1 to 7 octets in hex on a network 1..65534: {address!r}")
    return host, port, network, mac


def parse_address(address: str | BacnetAddr) -> BacnetAddr:
    """'host', 'host:port' (dotted IPv4, default port 47808) or, for a device behind a router,
    'host[:port]/network:mac' (the router's address, the device's network and MAC in hex), as a
    BacnetAddr; 'host[:port]/network' is every device of that network. A BacnetAddr as it is."""
    if isinstance(address, BacnetAddr):
        return address  # the Stack checks its text when it uses it
    if not isinstance(address, str):
        raise TypeError(f"address must be a str like '192.168.1.20:47808', not {type(address).__name__}")
    return BacnetAddr(*_address_numbers(address))


def format_address(address: BacnetAddr) -> str:
    """'host:port', or 'host:port/network:mac' for a device behind a router; parse_address reads it back."""
    text = f"{address.addr}:{address.port}"
    if address.network is None:
        return text
    return f"{text}/{address.network}" + (f":{address.mac.hex()}" if address.mac is not None else "")


def address_key(address: BacnetAddr) -> tuple[str, int, int | None, bytes | None]:
    """The whole address as a hashable value (BacnetAddr objects compare by identity)."""
    return address.addr, address.port, address.network, address.mac


# A device as requests accept it: its address, or its device instance
# (1234, 'device:1234' or '1234'), which the client finds with Who-Is.
DeviceSpec = str | int | BacnetAddr


@functools.lru_cache(maxsize=_CACHE_SIZE)
def _device_text(text: str) -> int | tuple[str, int, int | None, bytes | None]:
    stripped = text.strip()
    kind, sep, instance_text = stripped.rpartition(":")
    if stripped.isdigit() or (sep and kind.strip().lower() in ("device", "8") and instance_text.isdigit()):
        instance = int(stripped if stripped.isdigit() else instance_text)
        if not 0 <= instance < 1 << 22:
            raise ValueError(f"device instance {instance} is outside 0..4194303")
        return instance
    return _address_numbers(text)


def parse_device(device: DeviceSpec) -> BacnetAddr | int:
    """A device given by address (see parse_address) or by instance: 1234, 'device:1234' or '1234' give 1234."""
    if isinstance(device, BacnetAddr):
        return device
    if isinstance(device, int) and not isinstance(device, bool):
        if not 0 <= device < 1 << 22:
            raise ValueError(f"device instance {device} is outside 0..4194303")
        return device
    if not isinstance(device, str):
        raise TypeError(f"device must be an address like '192.168.1.20:47808' or a device instance, "
                        f"not {type(device).__name__}")
    parsed = _device_text(device)
    return parsed if isinstance(parsed, int) else BacnetAddr(*parsed)


# ---------------------------------------------------------------------------
# Object types and properties


@functools.lru_cache(maxsize=_CACHE_SIZE)
def _enum_number(enum: type[IntEnum], text: str) -> int:
    text = text.strip()
    if text.isdigit():
        return int(text)
    # Accept 'analog-value', 'ANALOG_VALUE' and 'analogValue'.
    key = re.sub(r"(?<=[a-z0-9])(?=[A-Z])", "_", text).upper().replace("-", "_")
    try:
        return enum[key]
    except KeyError:
        raise ValueError(f"unknown {enum.__name__} name: {text!r}") from None


def _object_numbers(kind: int | str, instance: int) -> tuple[int, int]:
    number = _enum_number(ObjectType, kind) if isinstance(kind, str) else int(kind)
    if not 0 <= number < 1024:
        raise ValueError(f"object type {number} is outside 0..1023")
    if not 0 <= instance < 1 << 22:
        raise ValueError(f"object instance {instance} is outside 0..4194303")
    return number, instance


@functools.lru_cache(maxsize=_CACHE_SIZE)
def _object_text_numbers(text: str) -> tuple[int, int]:
    type_text, sep, instance_text = text.rpartition(":")
    if not sep or not instance_text.strip().isdigit():
        raise ValueError(f"expected OBJECT-TYPE:INSTANCE, got {text!r}")
    return _object_numbers(type_text, int(instance_text))


def parse_object_id(value: ObjectSpec) -> ObjectIdentifier:
    """An ObjectIdentifier from 'analog-value:1', '2:1', (ObjectType.ANALOG_VALUE, 1) or ('analog-value', 1).

    An ObjectIdentifier is returned as it is.
    """
    if isinstance(value, ObjectIdentifier):
        return value
    if isinstance(value, str):
        return ObjectIdentifier(*_object_text_numbers(value))
    kind, instance = value
    return ObjectIdentifier(*_object_numbers(kind, instance))


def parse_property_id(value: int | str) -> int:
    """A property number from 85, PropertyIdentifier.PRESENT_VALUE, '85' or 'present-value'."""
    number = _enum_number(PropertyIdentifier, value) if isinstance(value, str) else int(value)
    if not 0 <= number < 1 << 32:
        raise ValueError(f"property identifier {number} is outside 0..4294967295")
    return number


@functools.lru_cache(maxsize=_CACHE_SIZE)
def object_type_name(object_type: int) -> str:
    """'analog-value' for 2; the decimal number for a type without a name."""
    return enum_name(enum_member(ObjectType, int(object_type)))


@functools.lru_cache(maxsize=_CACHE_SIZE)
def property_name(property_id: int) -> str:
    """'present-value' for 85; the decimal number for a property without a name."""
    return enum_name(enum_member(PropertyIdentifier, int(property_id)))


def format_object_id(object_id: ObjectIdentifier) -> str:
    """'analog-value:1'; the inverse of parse_object_id."""
    return f"{object_type_name(object_id.object_type)}:{object_id.instance}"


_P = PropertyIdentifier
# The enumeration that names a property's Enumerated values, whatever the object.
_PROPERTY_ENUMERATIONS: dict[int, type[IntEnum]] = {
    **dict.fromkeys((_P.UNITS, _P.OUTPUT_UNITS, _P.CONTROLLED_VARIABLE_UNITS, _P.PROPORTIONAL_CONSTANT_UNITS,
                     _P.INTEGRAL_CONSTANT_UNITS, _P.DERIVATIVE_CONSTANT_UNITS, _P.CAR_LOAD_UNITS), EngineeringUnits),
    _P.EVENT_STATE: EventState,
    _P.EVENT_TYPE: EventType,
    _P.NOTIFY_TYPE: NotifyType,
    _P.RELIABILITY: Reliability,
    _P.POLARITY: Polarity,
    _P.SEGMENTATION_SUPPORTED: Segmentation,
    _P.SYSTEM_STATUS: DeviceStatus,
    _P.OBJECT_TYPE: ObjectType,
}
# Binary objects hold their present value, and the values that stand for it, as
# BinaryPV; other objects' present values are numbers or other enumerations.
_BINARY_OBJECTS = frozenset((ObjectType.BINARY_INPUT, ObjectType.BINARY_OUTPUT, ObjectType.BINARY_VALUE))
_BINARY_PV_PROPERTIES = frozenset((_P.PRESENT_VALUE, _P.RELINQUISH_DEFAULT, _P.PRIORITY_ARRAY, _P.ALARM_VALUE,
                                   _P.FEEDBACK_VALUE))


def property_enumeration(object_type: int, property_id: int) -> type[IntEnum] | None:
    """The enumeration that names the Enumerated values of a property of an object type, if one does.

    ``property_enumeration(0, 117)`` (analog-input units) is ``EngineeringUnits``.
    """
    if property_id in _BINARY_PV_PROPERTIES:
        return BinaryPV if object_type in _BINARY_OBJECTS else None
    return _PROPERTY_ENUMERATIONS.get(property_id)


def make_read_access_spec(object_id: ObjectSpec, properties: Iterable[PropertySpec]) -> ReadAccessSpec:
    """A ReadAccessSpec from an object and properties given as names, numbers or (property, array_index)."""
    refs: list[tuple[int, int | None]] = []
    for prop in properties:
        prop, index = prop if isinstance(prop, tuple) else (prop, None)
        refs.append((parse_property_id(prop), index))
    return ReadAccessSpec(parse_object_id(object_id), refs)
