from collections.abc import Sequence
from typing import Any, Literal, TypeAlias, final

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
    # Equal when type and instance are equal, so identifiers can key dicts and sets.
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class BacnetAddr:
    """IPv4 BACnet address (addr, port)."""
    def __init__(self, addr: str, port: int, network: int | None = None, mac: bytes | None = None) -> None: ...
    # Dotted decimal; checked only when a Stack uses the address.
    addr: str
    port: int
    # Behind the router at addr:port: network 1..65534 and the device's MAC
    # (1..7 octets); network without mac is all of that network, 65535 every network.
    network: int | None
    mac: bytes | None

class StackConfig:
    """StackConfig — tuneable protocol parameters."""
    # ValueError for what can only misbehave: apdu_timeout_secs not finite or
    # not above 0, max_apdu_length outside 50..65529, max_segment_buffer 0.
    def __init__(
        self,
        apdu_timeout_secs: float = 3.0,
        apdu_retries: int = 3,
        max_apdu_length: int = 1476,
        max_segment_buffer: int = 2097152,
    ) -> None: ...
    apdu_timeout_secs: float
    apdu_retries: int
    max_apdu_length: int
    max_segment_buffer: int

class Stack:
    """The sans-IO BACnet/IP stack."""
    def __init__(self, config: StackConfig | None = None) -> None: ...
    def process(self, input: _Input) -> list[_Output]:
        """Process one input event and return a list of output objects.

        Raises `InvokeIdExhaustedError` when all 256 invoke IDs for the
        destination are in use.
        """
    def table_sizes(self) -> dict[str, int]:
        """How many entries the stack's tables hold: a dict of `transactions`
        (requests outstanding), `segmented_requests` (requests being sent in
        segments), `segmented_answers` (answers being reassembled), `invoke_ids`
        (in use, all devices) and `peers` (devices with an invoke-ID pool)."""

class InputReceived:
    """Input: a UDP datagram was received."""
    def __init__(self, data: _Octets, src: BacnetAddr) -> None: ...
    @property
    def data(self) -> list[int]: ...
    @data.setter
    def data(self, value: _Octets) -> None: ...
    src: BacnetAddr

class InputTick:
    """Input: timer tick — inject current time (seconds since arbitrary epoch)."""
    def __init__(self, now: float) -> None: ...
    now: float

class InputSend:
    """Input: send a confirmed service request."""
    def __init__(self, service: _Service, dest: BacnetAddr) -> None: ...
    # Any object is stored; its class is checked when the input is processed.
    service: _Service
    dest: BacnetAddr

class InputSendUnconfirmed:
    """Input: send an unconfirmed service request, as a broadcast when dest is one
    (an address ending in .255)."""
    def __init__(self, service: _UnconfirmedService, dest: BacnetAddr) -> None: ...
    # Any object is stored; its class is checked when the input is processed.
    service: _UnconfirmedService
    dest: BacnetAddr

class InputCancel:
    """Input: take back the request sent to peer under invoke_id. It ends without
    an event and its invoke ID is free again; nothing more is sent for it but an
    Abort to a device in the middle of its segments. An unknown request: nothing."""
    def __init__(self, peer: BacnetAddr, invoke_id: int) -> None: ...
    peer: BacnetAddr
    invoke_id: int

class InputRegisterForeignDevice:
    """Input: register with the BBMD at bbmd as a foreign device for ttl seconds
    (1..65535) and keep the registration alive; broadcasts then go through it."""
    def __init__(self, bbmd: BacnetAddr, ttl: int) -> None: ...
    bbmd: BacnetAddr
    # 0 is refused (ValueError) when the input is processed.
    ttl: int

class InputUnregisterForeignDevice:
    """Input: end the foreign-device registration; broadcasts go out locally again."""
    def __init__(self) -> None: ...

_Input: TypeAlias = (InputReceived | InputTick | InputSend | InputSendUnconfirmed | InputCancel
                     | InputRegisterForeignDevice | InputUnregisterForeignDevice)

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
    # ObjectIdentifier (except PropertyValueArray), or a list or tuple of
    # them (written back to back), can be sent.
    value: Any
    array_index: int | None
    priority: int | None

_Service: TypeAlias = (
    ServiceReadProperty
    | ServiceReadPropertyMultiple
    | ServiceWriteProperty
    | ServiceWritePropertyMultiple
    | ServiceReadRange
    | ServiceSubscribeCOV
    | ServiceSubscribeCOVProperty
)

class ServiceWhoIs:
    """Service: Who-Is request, answered with I-Am by the devices whose instance
    is in low..high (both limits or neither; 0 <= low <= high <= 4194303)."""
    # Limits that cannot be sent raise ValueError, non-integers TypeError.
    def __init__(self, low: int | None = None, high: int | None = None) -> None: ...
    @property
    def low(self) -> int | None: ...
    @property
    def high(self) -> int | None: ...

class ServiceWhoIsRouterToNetwork:
    """Service: Who-Is-Router-To-Network, answered with I-Am-Router-To-Network by the
    routers that reach network (None: by every router, with all it reaches)."""
    def __init__(self, network: int | None = None) -> None: ...
    network: int | None

_UnconfirmedService: TypeAlias = ServiceWhoIs | ServiceWhoIsRouterToNetwork

@final
class OutputTransmit:
    """Output: transmit bytes to a destination."""
    @property
    def dest(self) -> BacnetAddr: ...
    @property
    def data(self) -> list[int]: ...
    @property
    def data_bytes(self) -> bytes:
        """The same octets as ``data``, as bytes."""
    @property
    def invoke_id(self) -> int | None:
        """Invoke ID of the request this datagram carries; None for other datagrams (SegmentACKs)."""

@final
class OutputEvent:
    """Output: a BACnet event occurred."""
    @property
    def event(self) -> _Event: ...

@final
class OutputDeadline:
    """Output: call Tick no later than this time."""
    @property
    def deadline(self) -> float: ...

_Output: TypeAlias = OutputTransmit | OutputEvent | OutputDeadline

# `peer` is the device the request went to or the answer came from.
@final
class EventResponse:
    """Event: confirmed response received."""
    @property
    def invoke_id(self) -> int: ...
    @property
    def payload(self) -> list[int]: ...
    @property
    def peer(self) -> BacnetAddr: ...
    @property
    def payload_bytes(self) -> bytes:
        """The same octets as ``payload``, as bytes."""

@final
class EventTimeout:
    """Event: request timed out."""
    @property
    def invoke_id(self) -> int: ...
    @property
    def peer(self) -> BacnetAddr: ...

@final
class EventAbort:
    """Event: server sent Abort PDU."""
    @property
    def invoke_id(self) -> int: ...
    @property
    def reason(self) -> int: ...
    @property
    def peer(self) -> BacnetAddr: ...

@final
class EventError:
    """Event: BACnet error or local error."""
    @property
    def invoke_id(self) -> int: ...
    @property
    def message(self) -> str: ...
    @property
    def peer(self) -> BacnetAddr: ...
    @property
    def payload(self) -> list[int]:
        """An Error PDU's parameters after the service choice; empty for a Reject or a local error."""
    @property
    def kind(self) -> Literal["error", "reject", "network", "local"]:
        """"error" (a BACnet Error), "reject" (a Reject), "network" (a router's Reject-Message-To-Network) or "local" (the request was not sent)."""
    @property
    def error_class(self) -> ErrorClass | int | None:
        """ErrorClass of a BACnet Error, else None."""
    @property
    def error_code(self) -> ErrorCode | int | None:
        """ErrorCode of a BACnet Error, else None."""
    @property
    def reject_reason(self) -> int | None:
        """Reason of a Reject or of a router's Reject-Message-To-Network, else None."""

@final
class EventUnconfirmedReceived:
    """Event: unconfirmed message received."""
    @property
    def src(self) -> BacnetAddr: ...
    @property
    def message(self) -> _UnconfirmedMessage: ...

@final
class EventBvlcResult:
    """Event: BVLC-Result received, result 0 for success or the code of a NAK
    (0x30: foreign-device registration refused, 0x60: broadcast not distributed)."""
    @property
    def src(self) -> BacnetAddr: ...
    @property
    def result(self) -> int: ...

_Event: TypeAlias = (
    EventResponse
    | EventTimeout
    | EventAbort
    | EventError
    | EventUnconfirmedReceived
    | EventBvlcResult
    | EventCOVNotification
    | EventEventNotification
)

@final
class UnconfirmedIAm:
    """Unconfirmed I-Am message."""
    @property
    def device_id(self) -> ObjectIdentifier: ...
    @property
    def max_apdu(self) -> int: ...
    @property
    def segmentation(self) -> int: ...
    @property
    def vendor_id(self) -> int: ...

@final
class UnconfirmedIAmRouterToNetwork:
    """Unconfirmed IAmRouterToNetwork message."""
    @property
    def networks(self) -> list[int]: ...

@final
class UnconfirmedRejectMessageToNetwork:
    """Unconfirmed Reject-Message-To-Network message: a router could not pass a message
    on to network (reason 1: unreachable, 2: busy, ...)."""
    @property
    def reason(self) -> int: ...
    @property
    def network(self) -> int: ...

@final
class UnconfirmedRouterBusyToNetwork:
    """Unconfirmed Router-Busy-To-Network message: the router takes no traffic for these
    networks for now (an empty list: for any)."""
    @property
    def networks(self) -> list[int]: ...

@final
class UnconfirmedRouterAvailableToNetwork:
    """Unconfirmed Router-Available-To-Network message: the router takes traffic for these
    networks again (an empty list: for all)."""
    @property
    def networks(self) -> list[int]: ...

_UnconfirmedMessage: TypeAlias = (UnconfirmedIAm | UnconfirmedIAmRouterToNetwork | UnconfirmedRejectMessageToNetwork
                                  | UnconfirmedRouterBusyToNetwork | UnconfirmedRouterAvailableToNetwork)

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
    def __init__(self, value: str, charset: int = 0) -> None: ...
    # Assigning `value` or `charset` drops `raw`.
    value: str
    # 0 UTF-8, 3 UCS-4, 4 UCS-2, 5 ISO 8859-1 are decoded and written; 1
    # (DBCS), 2 (JIS X 0208) and others only written back as received.
    charset: int
    @property
    def raw(self) -> list[int] | None:
        """The octets as received when `value` cannot give them back (a set without decoder, invalid data)."""

class PropertyValueBitString:
    """A BACnet bit string: `bits` holds the octets, bit 0 being the most significant bit of the
    first octet; `used_bits` is the number of unused bits at the end of the last octet (0..7),
    not the number of bits. A request whose `used_bits` is above 7 is refused when sent."""
    def __init__(self, used_bits: int, bits: _Octets) -> None: ...
    used_bits: int
    """Unused bits at the end of the last octet of `bits` (0..7)."""
    @property
    def bits(self) -> list[int]: ...
    @bits.setter
    def bits(self, value: _Octets) -> None: ...
    @property
    def bit_count(self) -> int:
        """Number of bits in the string: 8 * len(bits) - used_bits."""
    def to_bools(self) -> list[bool]:
        """The bits as a list of bit_count booleans, bit 0 first."""

class PropertyValueEnumerated:
    def __init__(self, value: int) -> None: ...
    value: int

# None is an unspecified field (0xFF on the wire). Months 13 and 14 are odd and
# even months; days 32, 33 and 34 the last, odd and even days. A year outside
# 1900..2154 is refused when sent.
class PropertyValueDate:
    def __init__(self, year: int | None, month: int | None, day: int | None, weekday: int | None = None) -> None: ...
    year: int | None
    month: int | None
    day: int | None
    weekday: int | None
    """weekday 0=Mon..6=Sun, 7=Mon-Fri, None=wildcard"""

class PropertyValueTime:
    def __init__(self, hour: int | None, minute: int | None, second: int | None, hundredths: int | None) -> None: ...
    hour: int | None
    minute: int | None
    second: int | None
    hundredths: int | None

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
    | PropertyValueContext
    | PropertyValueConstructed
)
# What a constructed value holds and what can be written.
_Element: TypeAlias = (
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
    | PropertyValueAny
    | PropertyValueContext
    | PropertyValueConstructed
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

class PropertyValueContext:
    """Context-tagged primitive data inside a constructed value: its tag number and content octets, whose
meaning depends on the property."""
    def __init__(self, tag: int, data: _Octets) -> None: ...
    tag: int
    @property
    def data(self) -> list[int]: ...
    @data.setter
    def data(self, value: _Octets) -> None: ...
    def decode_as(self, tag: int, /) -> _DecodedValue:
        """The content read as application tag `tag` (0..12) would be, e.g. 11 for the time of a time stamp;
        BacnetError "Decode error: ..." when it is not exactly one such value."""

class PropertyValueConstructed:
    """Constructed data between an opening and a closing tag: its tag number and its elements in order."""
    def __init__(self, tag: int, values: Sequence[_Element]) -> None: ...
    tag: int
    @property
    def values(self) -> list[_Element]: ...
    @values.setter
    def values(self, value: Sequence[_Element]) -> None: ...

class PropertyWrite:
    """One property write of a WriteAccessSpec."""
    def __init__(self, property_id: int, value: Any, array_index: int | None = None, priority: int | None = None) -> None: ...
    property_id: int
    # Checked when sent, like ServiceWriteProperty.value.
    value: Any
    array_index: int | None
    priority: int | None

class WriteAccessSpec:
    """WriteAccessSpec for WritePropertyMultiple."""
    def __init__(self, object_id: ObjectIdentifier, properties: Sequence[PropertyWrite]) -> None: ...
    object_id: ObjectIdentifier
    @property
    def properties(self) -> list[PropertyWrite]: ...
    @properties.setter
    def properties(self, value: Sequence[PropertyWrite]) -> None: ...

class ServiceWritePropertyMultiple:
    """Service: WritePropertyMultiple request."""
    def __init__(self, specs: Sequence[WriteAccessSpec]) -> None: ...
    @property
    def specs(self) -> list[WriteAccessSpec]: ...
    @specs.setter
    def specs(self, value: Sequence[WriteAccessSpec]) -> None: ...

class ReadRangeByPosition:
    """ReadRange: `count` items from list position `reference_index` (1 = first) on; backwards when negative."""
    def __init__(self, reference_index: int, count: int) -> None: ...
    reference_index: int
    count: int

class ReadRangeBySequenceNumber:
    """ReadRange: `count` items from the one with sequence number `reference_sequence_number` on; backwards
when negative."""
    def __init__(self, reference_sequence_number: int, count: int) -> None: ...
    reference_sequence_number: int
    count: int

class ReadRangeByTime:
    """ReadRange: `count` items time-stamped after `date` `time`; when negative, before it."""
    def __init__(self, date: PropertyValueDate, time: PropertyValueTime, count: int) -> None: ...
    date: PropertyValueDate
    time: PropertyValueTime
    count: int

_Range: TypeAlias = ReadRangeByPosition | ReadRangeBySequenceNumber | ReadRangeByTime

class ServiceReadRange:
    """Service: ReadRange request; without a range the whole list."""
    def __init__(
        self, object_id: ObjectIdentifier, property_id: int, array_index: int | None = None, range: _Range | None = None
    ) -> None: ...
    object_id: ObjectIdentifier
    property_id: int
    array_index: int | None
    range: _Range | None

@final
class ReadRangeResult:
    """Decoded result of a ReadRange response. `items` holds the elements of the item data in order; the
items of a list of constructed records lie back to back, so one record may span several elements."""
    @property
    def object_id(self) -> ObjectIdentifier: ...
    @property
    def property_id(self) -> PropertyIdentifier | int: ...
    @property
    def array_index(self) -> int | None: ...
    @property
    def first_item(self) -> bool: ...
    @property
    def last_item(self) -> bool: ...
    @property
    def more_items(self) -> bool: ...
    @property
    def item_count(self) -> int: ...
    @property
    def items(self) -> list[_Element]: ...
    @property
    def first_sequence_number(self) -> int | None: ...

@final
class WritePropertyMultipleError:
    """Decoded Error of a WritePropertyMultiple request: the error class and code and the first write that
failed (object, property, array index); the writes before it took effect."""
    @property
    def error_class(self) -> ErrorClass | int: ...
    @property
    def error_code(self) -> ErrorCode | int: ...
    @property
    def object_id(self) -> ObjectIdentifier: ...
    @property
    def property_id(self) -> PropertyIdentifier | int: ...
    @property
    def array_index(self) -> int | None: ...

def decode_read_range(data: _Octets) -> ReadRangeResult:
    """Decode a ReadRange ComplexACK payload into a ReadRangeResult."""

def decode_write_property_multiple_error(data: _Octets) -> WritePropertyMultipleError:
    """Decode the payload of the EventError that answers a WritePropertyMultiple request into a
WritePropertyMultipleError."""

class ServiceSubscribeCOV:
    """Service: SubscribeCOV request, notifications of the object's changes to process `process_id` for
`lifetime` seconds (0 or None: without end), confirmed or not; with neither confirmed nor lifetime it
cancels the subscription."""
    def __init__(
        self, process_id: int, object_id: ObjectIdentifier, confirmed: bool | None = None, lifetime: int | None = None
    ) -> None: ...
    process_id: int
    object_id: ObjectIdentifier
    confirmed: bool | None
    lifetime: int | None

class ServiceSubscribeCOVProperty:
    """Service: SubscribeCOVProperty request, as ServiceSubscribeCOV for one property; a REAL property
notifies changes of at least `cov_increment` (None: the object's own increment)."""
    def __init__(
        self,
        process_id: int,
        object_id: ObjectIdentifier,
        property_id: int,
        array_index: int | None = None,
        confirmed: bool | None = None,
        lifetime: int | None = None,
        cov_increment: float | None = None,
    ) -> None: ...
    process_id: int
    object_id: ObjectIdentifier
    property_id: int
    array_index: int | None
    confirmed: bool | None
    lifetime: int | None
    cov_increment: float | None

@final
class NotifiedValue:
    """One property value of a COV notification."""
    @property
    def property_id(self) -> PropertyIdentifier | int: ...
    @property
    def array_index(self) -> int | None: ...
    @property
    def value(self) -> _DecodedValue: ...
    @property
    def priority(self) -> int | None: ...

@final
class EventCOVNotification:
    """Event: COV notification received; a confirmed one has been acknowledged with a SimpleACK."""
    @property
    def src(self) -> BacnetAddr: ...
    @property
    def confirmed(self) -> bool: ...
    @property
    def process_id(self) -> int: ...
    @property
    def initiating_device(self) -> ObjectIdentifier: ...
    @property
    def monitored_object(self) -> ObjectIdentifier: ...
    @property
    def time_remaining(self) -> int: ...
    @property
    def values(self) -> list[NotifiedValue]: ...

@final
class EventEventNotification:
    """Event: event notification (alarm, fault, acknowledgement...) received; a confirmed one has been
acknowledged with a SimpleACK. time_stamp and event_values are the lossless tree; event_type,
notify_type and the states are the numbers of their enumerations."""
    @property
    def src(self) -> BacnetAddr: ...
    @property
    def confirmed(self) -> bool: ...
    @property
    def process_id(self) -> int: ...
    @property
    def initiating_device(self) -> ObjectIdentifier: ...
    @property
    def event_object(self) -> ObjectIdentifier: ...
    @property
    def time_stamp(self) -> _Element: ...
    @property
    def notification_class(self) -> int: ...
    @property
    def priority(self) -> int: ...
    @property
    def event_type(self) -> int: ...
    @property
    def message_text(self) -> str | None: ...
    @property
    def notify_type(self) -> int: ...
    @property
    def ack_required(self) -> bool | None: ...
    @property
    def from_state(self) -> int | None: ...
    @property
    def to_state(self) -> int: ...
    @property
    def event_values(self) -> _Element | None: ...
