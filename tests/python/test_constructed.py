"""Constructed values, character sets, WritePropertyMultiple and ReadRange through the Python API: what a
device answers decodes to the lossless tree, and what was read is written back octet for octet."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import ferromesh
from ferromesh import (
    BacnetAddr,
    InputReceived,
    InputSend,
    ObjectIdentifier,
    PropertyValueCharacterString,
    PropertyValueConstructed,
    PropertyValueContext,
    PropertyValueNull,
    PropertyValueReal,
    PropertyWrite,
    ServiceReadRange,
    ServiceWriteProperty,
    ServiceWritePropertyMultiple,
    Stack,
    WriteAccessSpec,
)
from peer import DEVICE, frame, parse_confirmed
from support import RR_ACK

ADDR = BacnetAddr(*DEVICE)
SCHEDULE = ObjectIdentifier(17, 1)
HEAD = bytes.fromhex("0C04400001197B")  # schedule 1, weekly-schedule


def rp_ack(value: bytes) -> bytes:
    return HEAD + b"\x3e" + value + b"\x3f"


def sent_params(service) -> bytes:
    """The service parameters of the request datagram the stack makes for `service`."""
    [transmit, _] = Stack().process(InputSend(service, ADDR))
    _, _, _, _, _, params = parse_confirmed(bytes(transmit.data))
    return params


def write_back(value) -> bytes:
    """The value octets of a WriteProperty that writes back what was read."""
    written = value.values if isinstance(value, ferromesh.PropertyValueArray) else value
    params = sent_params(ServiceWriteProperty(SCHEDULE, 123, written))
    assert params.startswith(HEAD + b"\x3e") and params.endswith(b"\x3f")
    return params[len(HEAD) + 1:-1]


# (value octets between the brackets, repr of the decoded value)
TREES = [
    # One BACnetDailySchedule: 08:00 -> 21.0, 17:30 -> Null.
    ("0EB4080000004441A80000B41120000000" "0F",
     "PropertyValueConstructed(0, [PropertyValueTime(08:00:00.00), PropertyValueReal(21), "
     "PropertyValueTime(17:32:00.00), PropertyValueNull()])"),
    # event-time-stamps: a time [0], a sequence number [1] and a date-time [2].
    ("0C0C0000001905" "2EA47C030F05B40C0000002F",
     "PropertyValueArray([3 item(s)])"),
    # Context data with an extended tag number and an extended length.
    ("F9200D0D06010203040506", "PropertyValueArray([2 item(s)])"),
    ("1E1F", "PropertyValueConstructed(1, [])"),
    ("4441A80000", "PropertyValueReal(21)"),  # a plain value stays what it was
]


@pytest.mark.parametrize("value, shown", TREES)
def test_constructed_values_decode_and_write_back_octet_for_octet(value, shown):
    decoded = ferromesh.decode_read_property(rp_ack(bytes.fromhex(value))).value
    assert repr(decoded) == shown
    assert write_back(decoded) == bytes.fromhex(value)


def test_a_weekly_schedule_changed_is_written_as_changed():
    week = ferromesh.decode_read_property(rp_ack(bytes.fromhex("0EB4080000004441A800000F" * 7))).value
    monday = week.values[0]
    monday.values = [*monday.values, ferromesh.PropertyValueTime(18, 0, 0, 0), PropertyValueNull()]
    assert write_back(week) == bytes.fromhex("0EB4080000004441A80000B412000000000F" + "0EB4080000004441A800000F" * 6)


def test_values_that_cannot_be_written_are_refused_when_sent():
    deep = PropertyValueNull()
    for _ in range(33):
        deep = PropertyValueConstructed(0, [deep])
    looped = PropertyValueConstructed(0, [])
    looped.values = [looped]
    assert "[...]" in repr(looped)
    for value in (deep, looped, [[PropertyValueNull()]], PropertyValueConstructed(0, [None])):
        with pytest.raises(ValueError):
            Stack().process(InputSend(ServiceWriteProperty(SCHEDULE, 123, value), ADDR))
    with pytest.raises(ValueError, match="255 is reserved"):
        PropertyValueContext(255, b"")


# --- character sets ------------------------------------------------------------

# (character set, octets after it, text, raw kept)
TEXTS = [
    (0, "54c3a9", "Té", None),
    (0, "54e9", "T\ufffd", [0x54, 0xE9]),
    (5, "54656d70e972617475726500", "Température\0", None),
    (4, "005400e920ac", "Té€", None),
    (4, "d83dde00", "\U0001F600", None),
    (3, "000000410001f600", "A\U0001F600", None),
    (1, "418220", "A\ufffd ", [0x41, 0x82, 0x20]),
    (2, "3042", "\ufffd", [0x30, 0x42]),
]


@pytest.mark.parametrize("charset, octets, text, raw", TEXTS)
def test_character_sets_decode_and_write_back(charset, octets, text, raw):
    content = bytes([charset]) + bytes.fromhex(octets)
    wire = (bytes([0x70 | len(content)]) if len(content) < 5 else bytes([0x75, len(content)])) + content
    value = ferromesh.decode_read_property(rp_ack(wire)).value
    assert (value.value, value.charset, value.raw) == (text, charset, raw)
    assert write_back(value) == wire


def test_text_is_written_in_the_set_asked_for():
    assert write_back(PropertyValueCharacterString("Té", 5)) == bytes.fromhex("730554e9")
    assert write_back(PropertyValueCharacterString("Té", 4)) == bytes.fromhex("7505040054" "00e9")
    assert write_back(PropertyValueCharacterString("Té")) == bytes.fromhex("740054c3a9")
    for text, charset in (("5 €", 5), ("x", 1), ("x", 9)):
        with pytest.raises(ValueError, match="charset"):
            write_back(PropertyValueCharacterString(text, charset))


def test_assigning_text_or_charset_drops_the_octets_received():
    value = ferromesh.decode_read_property(rp_ack(bytes.fromhex("7401418220"))).value
    value.value = "ok"
    assert value.raw is None
    with pytest.raises(ValueError):
        write_back(value)  # DBCS has no encoder
    value.charset = 0
    assert write_back(value) == bytes.fromhex("73006f6b")


# --- WritePropertyMultiple and ReadRange ------------------------------------------


def test_write_property_multiple_request():
    service = ServiceWritePropertyMultiple([
        WriteAccessSpec(ObjectIdentifier(2, 1), [PropertyWrite(85, PropertyValueReal(21.5), priority=8)]),
        WriteAccessSpec(SCHEDULE, [PropertyWrite(123, [PropertyValueConstructed(0, [])] * 2, array_index=None)]),
    ])
    assert sent_params(service) == bytes.fromhex(
        "0C008000011E09552E4441AC00002F39081F" "0C044000011E097B2E0E0F0E0F2F1F")


def test_write_property_multiple_error_names_the_failed_write():
    stack = Stack()
    [transmit, _] = stack.process(InputSend(ServiceWritePropertyMultiple([]), ADDR))
    invoke_id = bytes(transmit.data)[8]
    details = bytes.fromhex("0E910291280F1E0C00800001195529041F")
    [event] = stack.process(InputReceived(frame(bytes([0x50, invoke_id, 16]) + details), ADDR))
    assert event.event.message == "error class=2 code=40" and bytes(event.event.payload) == details
    error = ferromesh.decode_write_property_multiple_error(event.event.payload)
    assert (error.error_class, error.error_code, error.property_id, error.array_index) == (2, 40, 85, 4)
    assert repr(error) == ("WritePropertyMultipleError(error_class=2, error_code=40, "
                           "object_id=ObjectIdentifier(type=2, instance=1), property_id=85, array_index=Some(4))")


@pytest.mark.parametrize(
    "range_, params",
    [
        (None, ""),
        (ferromesh.ReadRangeByPosition(1, -10), "3E210133FFFFF63F"),
        (ferromesh.ReadRangeBySequenceNumber(70000, 100), "6E230111703164 6F"),
        (ferromesh.ReadRangeByTime(ferromesh.PropertyValueDate(2024, 3, 15), ferromesh.PropertyValueTime(12, 30, 0, 0), 20),
         "7EA47C030FFFB40C1E00003114 7F"),
    ],
)
def test_read_range_requests(range_, params):
    service = ServiceReadRange(ObjectIdentifier(20, 1), 131, range=range_)
    assert sent_params(service) == bytes.fromhex("0C0500000119 83" + params)


def test_read_range_answer():
    result = ferromesh.decode_read_range(RR_ACK)
    assert (result.first_item, result.last_item, result.more_items) == (True, True, False)
    assert (result.item_count, result.first_sequence_number, result.property_id) == (1, 7, 131)
    assert [type(item).__name__ for item in result.items] == [
        "PropertyValueConstructed", "PropertyValueConstructed", "PropertyValueContext"]
    assert repr(result) == (
        "ReadRangeResult(object_id=ObjectIdentifier(type=20, instance=1), property_id=131, array_index=None, "
        "first_item=True, last_item=True, more_items=False, item_count=1, items=[3 element(s)], "
        "first_sequence_number=Some(7))")


# --- any tree survives the trip --------------------------------------------------

scalars = st.one_of(
    st.builds(PropertyValueNull),
    st.builds(PropertyValueReal, st.floats(width=32, allow_nan=False)),
    st.builds(ferromesh.PropertyValueUnsigned, st.integers(0, 2**32 - 1)),
    st.builds(PropertyValueCharacterString, st.text(max_size=8), st.sampled_from([0, 3, 4])),
    st.builds(PropertyValueContext, st.integers(0, 254), st.binary(max_size=300)),
)
trees = st.recursive(
    scalars, lambda inner: st.builds(PropertyValueConstructed, st.integers(0, 254), st.lists(inner, max_size=4)),
    max_leaves=20)


@settings(max_examples=150, deadline=None, database=None)
@given(st.lists(trees, min_size=2, max_size=4))
def test_any_tree_written_reads_back_the_same(values):
    params = sent_params(ServiceWriteProperty(SCHEDULE, 123, values))
    decoded = ferromesh.decode_read_property(params).value
    assert repr(decoded.values) == repr(values)
    assert write_back(decoded) == params[len(HEAD) + 1:-1]
