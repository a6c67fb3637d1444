"""Property tests: whatever the network or the host hands the module, it raises
only its documented exceptions and never crashes, and values survive the trip
through a WriteProperty request and a ReadProperty answer."""

import math
import sys
import struct

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import ferromesh
from support import RP_ACK, RP_ACK_TWO_VALUES, RPM_ACK

# Bounded so that the whole file stays within a few seconds, also with the
# sanitizer build; no example database is written into the work tree.
bounded = settings(max_examples=150, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])

U8, U16, U32, U64 = 2**8 - 1, 2**16 - 1, 2**32 - 1, 2**64 - 1

PROCESS_MESSAGES = (
    "Expected InputReceived, InputTick, or InputSend",
    "Unknown service type",
    "Unknown PropertyValue type",
)
INVALID_ADDRESS = "Invalid IPv4 address: "

# A few peers, so that answers meet the requests they answer.
PEERS = ["10.0.0.1", "10.0.0.2", "192.168.1.20"]

any_float = st.floats(allow_nan=True, allow_infinity=True)
# Text with lone surrogates too, which no UTF-8 text can hold.
any_text = st.text(st.characters() | st.characters(categories=["Cs"]), max_size=20)


def construct(cls, *args):
    """An instance, or None where the constructor refuses the arguments as documented."""
    try:
        return cls(*args)
    except (TypeError, ValueError, OverflowError):
        return None


def built(cls, *args):
    return st.builds(construct, st.just(cls), *args)


object_ids = st.builds(ferromesh.ObjectIdentifier, st.integers(0, U16), st.integers(0, U32))


# --- Values ------------------------------------------------------------------

# Values whose every field lies in the range the wire can carry and the
# decoder accepts, so that they must come back unchanged: unspecified date and
# time fields, odd and even months, last, odd and even days included. Weekday 7
# (Monday to Friday) has no place in a date on the wire and reads back as any day.
wire_values = st.one_of(
    st.builds(ferromesh.PropertyValueNull),
    st.builds(ferromesh.PropertyValueBoolean, st.booleans()),
    st.builds(ferromesh.PropertyValueUnsigned, st.integers(0, U32)),
    st.builds(ferromesh.PropertyValueSigned, st.integers(-(2**31), 2**31 - 1)),
    st.builds(ferromesh.PropertyValueReal, any_float),
    st.builds(ferromesh.PropertyValueDouble, any_float),
    st.builds(ferromesh.PropertyValueOctetString, st.binary(max_size=600)),
    st.builds(ferromesh.PropertyValueCharacterString, st.text(max_size=200)),
    st.builds(ferromesh.PropertyValueBitString, st.integers(0, 7), st.binary(max_size=100)),
    st.builds(ferromesh.PropertyValueEnumerated, st.integers(0, U32)),
    st.builds(
        ferromesh.PropertyValueDate,
        st.none() | st.integers(1900, 2154),
        st.none() | st.integers(1, 14),
        st.none() | st.integers(1, 34),
        st.none() | st.integers(0, 6),
    ),
    st.builds(
        ferromesh.PropertyValueTime,
        st.none() | st.integers(0, 23),
        st.none() | st.integers(0, 59),
        st.none() | st.integers(0, 59),
        st.none() | st.integers(0, 99),
    ),
    st.builds(ferromesh.ObjectIdentifier, st.integers(0, 1023), st.integers(0, 2**22 - 1)),
)

# Anything a host may put into ServiceWriteProperty.value: every value class
# with any field values, and objects that are no value at all.
any_values = st.one_of(
    wire_values,
    st.builds(ferromesh.PropertyValueBitString, st.integers(0, U8), st.binary(max_size=4)),
    st.builds(
        ferromesh.PropertyValueDate,
        st.none() | st.integers(0, U16),
        st.integers(0, U8),
        st.integers(0, U8),
        st.none() | st.integers(0, U8),
    ),
    st.builds(
        ferromesh.PropertyValueTime, st.integers(0, U8), st.integers(0, U8), st.integers(0, U8), st.integers(0, U8)
    ),
    object_ids,
    built(ferromesh.PropertyValueCharacterString, any_text),
    st.builds(ferromesh.PropertyValueAny, st.binary(max_size=64)),
    st.builds(lambda: ferromesh.decode_read_property(RP_ACK_TWO_VALUES).value),  # an array cannot be written
    st.none(),
    st.integers(),
    st.text(max_size=4),
)

_FIELDS = {
    ferromesh.PropertyValueNull: (),
    ferromesh.PropertyValueBoolean: ("value",),
    ferromesh.PropertyValueUnsigned: ("value",),
    ferromesh.PropertyValueSigned: ("value",),
    ferromesh.PropertyValueReal: ("value",),
    ferromesh.PropertyValueDouble: ("value",),
    ferromesh.PropertyValueOctetString: ("value",),
    ferromesh.PropertyValueCharacterString: ("value",),
    ferromesh.PropertyValueBitString: ("used_bits", "bits"),
    ferromesh.PropertyValueEnumerated: ("value",),
    ferromesh.PropertyValueDate: ("year", "month", "day", "weekday"),
    ferromesh.PropertyValueTime: ("hour", "minute", "second", "hundredths"),
    ferromesh.ObjectIdentifier: ("object_type", "instance"),
}


def fields(value):
    """The class and field values; floats by their bits, so NaN equals itself and -0.0 differs from 0.0."""
    out = [type(value).__name__]
    for name in _FIELDS[type(value)]:
        field = getattr(value, name)
        if isinstance(field, float):
            field = struct.pack(">d", field)
        elif isinstance(field, int) and not isinstance(field, bool):
            field = int(field)  # enumeration members as their numbers
        out.append(field)
    return out


OID = ferromesh.ObjectIdentifier(2, 1)
DEVICE = ferromesh.BacnetAddr("10.0.0.1", 47808)


def written_value_octets(value):
    """The value octets of the WriteProperty datagram the stack transmits for `value`."""
    outputs = ferromesh.Stack().process(
        ferromesh.InputSend(ferromesh.ServiceWriteProperty(OID, 85, value), DEVICE)
    )
    assert [type(o) for o in outputs] == [ferromesh.OutputTransmit, ferromesh.OutputDeadline]
    data = bytes(outputs[0].data)
    # BVLC (4), NPDU (2), request header (4), object identifier (5), then the
    # property identifier 85 (0x19 0x55) and the opening tag 3.
    assert data[10:15] == bytes([0x0C, 0x00, 0x80, 0x00, 0x01])
    assert data[15:18] == bytes([0x19, 0x55, 0x3E])
    assert data[-1] == 0x3F
    return data[18:-1]


@bounded
@given(wire_values)
def test_values_survive_write_property_and_read_property(value):
    octets = written_value_octets(value)
    answer = bytes([0x0C, 0x02, 0x00, 0x04, 0xD2, 0x19, 0x55, 0x3E]) + octets + bytes([0x3F])
    assert fields(ferromesh.decode_read_property(answer).value) == fields(value)


def wire_refusal(object_id, value):
    """Why a WriteProperty of `value` to `object_id` cannot go on the wire unchanged, or None."""
    for oid in (object_id, value):
        if isinstance(oid, ferromesh.ObjectIdentifier):
            if oid.object_type > 1023:
                return f"object identifier type {oid.object_type} is above 1023"
            if oid.instance > 4194303:
                return f"object identifier instance {oid.instance} is above 4194303"
    if isinstance(value, ferromesh.PropertyValueDate) and value.year is not None and not 1900 <= value.year <= 2154:
        return f"date year {value.year} is outside 1900..2154"
    if isinstance(value, ferromesh.PropertyValueBitString) and value.used_bits > 7:
        return f"bit string unused-bits count {value.used_bits} is above 7"
    return None


@bounded
@given(object_ids, st.one_of(wire_values, any_values.filter(lambda v: type(v).__name__ in ferromesh.__all__)))
def test_what_the_wire_cannot_carry_is_refused_not_narrowed(object_id, value):
    try:
        outputs = ferromesh.Stack().process(
            ferromesh.InputSend(ferromesh.ServiceWriteProperty(object_id, 85, value), DEVICE)
        )
    except ValueError:  # an array or another object that is no request value
        return
    reason = wire_refusal(object_id, value)
    if reason is None:
        assert [type(o) for o in outputs] == [ferromesh.OutputTransmit, ferromesh.OutputDeadline]
        return
    [output] = outputs
    error = output.event
    assert (type(error), error.kind, error.message, error.invoke_id) == (ferromesh.EventError, "local", reason, 0)
    assert (error.error_class, error.error_code, error.reject_reason) == (None, None, None)


@bounded
@given(st.binary(max_size=200))
def test_any_value_is_written_unchanged(octets):
    assert written_value_octets(ferromesh.PropertyValueAny(octets)) == octets


# --- Decode functions --------------------------------------------------------

# Arbitrary octets, and valid answers cut, extended and with octets changed, so
# that decoding gets past the first tag.
def _mutated(valid):
    return st.tuples(
        st.integers(0, len(valid)), st.binary(max_size=16), st.lists(st.tuples(st.integers(0, 63), st.integers(0, U8)))
    ).map(lambda t: _apply(valid[: t[0]] + t[1] + valid[t[0] :], t[2]))


def _apply(data, changes):
    data = bytearray(data)
    for index, octet in changes:
        if data:
            data[index % len(data)] = octet
    return bytes(data)


answer_octets = st.one_of(st.binary(max_size=300), _mutated(RP_ACK), _mutated(RPM_ACK), _mutated(RP_ACK_TWO_VALUES))


def touch(node):
    """Read every attribute and representation of a decoded tree."""
    repr(node)
    if isinstance(node, list):
        for item in node:
            touch(item)
    elif type(node).__name__ in ferromesh.__all__:
        for name in dir(node):
            if not name.startswith("_"):
                touch(getattr(node, name))


@bounded
@given(answer_octets, st.sampled_from([bytes, bytearray, list]))
def test_decoders_raise_only_bacnet_error(octets, form):
    for decode in (ferromesh.decode_read_property, ferromesh.decode_read_property_multiple):
        try:
            result = decode(form(octets))
        except ferromesh.BacnetError as error:
            assert type(error) is ferromesh.BacnetError
            assert str(error).startswith("Decode error: ")
        else:
            touch(result)


# --- Stack.process -----------------------------------------------------------

configs = st.one_of(
    st.none(),
    st.builds(
        ferromesh.StackConfig,
        apdu_timeout_secs=st.floats(min_value=0.0, exclude_min=True, allow_infinity=False),
        apdu_retries=st.integers(0, U8),
        max_apdu_length=st.one_of(st.integers(50, 64), st.integers(50, 2000), st.integers(50, 65529)),
        max_segment_buffer=st.one_of(st.integers(1, 5000), st.integers(1, U64)),
    ),
)

addresses = st.one_of(st.sampled_from(PEERS), any_text, st.sampled_from(["010.0.0.1", "10.0.0", " 1.2.3.4"]))
bacnet_addrs = built(ferromesh.BacnetAddr, addresses, st.sampled_from([47808, 47809]) | st.integers(0, U16))

read_access_specs = st.builds(
    ferromesh.ReadAccessSpec,
    object_ids,
    st.lists(st.tuples(st.integers(0, U32), st.none() | st.integers(0, U32)), max_size=4),
)

services = st.one_of(
    st.builds(ferromesh.ServiceReadProperty, object_ids, st.integers(0, U32), st.none() | st.integers(0, U32)),
    st.builds(
        ferromesh.ServiceWriteProperty,
        object_ids,
        st.integers(0, U32),
        any_values,
        st.none() | st.integers(0, U32),
        st.none() | st.integers(0, U8),
    ),
    st.builds(ferromesh.ServiceReadPropertyMultiple, st.lists(read_access_specs, max_size=120)),
    st.none(),
    st.integers(),
)


def _datagram(function, npdu, apdu):
    return bytes([0x81, function]) + (4 + len(npdu) + len(apdu)).to_bytes(2, "big") + npdu + apdu


# Datagrams that reach the engine's dispatch: well framed, with PDU types and
# invoke IDs that meet outstanding requests, besides arbitrary octets.
apdus = st.one_of(
    st.binary(max_size=40),
    st.tuples(
        st.sampled_from([0x10, 0x20, 0x30, 0x38, 0x3C, 0x40, 0x41, 0x50, 0x60, 0x70]),
        st.integers(0, 3),
        st.binary(max_size=40),
    ).map(lambda t: bytes([t[0], t[1]]) + t[2]),
)
datagrams = st.one_of(
    st.binary(max_size=80),
    st.builds(
        _datagram,
        st.sampled_from([0x0A, 0x0B, 0x04]),
        st.sampled_from([b"\x01\x00", b"\x01\x04", b"\x01\x80"]) | st.binary(max_size=8),
        apdus,
    ),
)

# The same octets as bytes, bytearray or a list of ints.
octet_lists = st.builds(lambda form, data: form(data), st.sampled_from([bytes, bytearray, list]), datagrams)

steps = st.one_of(
    st.tuples(st.just("tick"), any_float),
    st.tuples(st.just("tick"), st.floats(0, 30)),
    st.tuples(st.just("received"), octet_lists, bacnet_addrs),
    st.tuples(st.just("send"), services, bacnet_addrs),
    # Enough requests to one device to exhaust its invoke IDs.
    st.tuples(st.just("burst"), st.integers(1, 300), st.sampled_from(PEERS)),
    st.tuples(st.just("other"), st.one_of(st.none(), st.integers(), st.text(max_size=4), bacnet_addrs)),
)

OUTPUT_CLASSES = (ferromesh.OutputTransmit, ferromesh.OutputDeadline, ferromesh.OutputEvent)
EVENT_CLASSES = (
    ferromesh.EventResponse,
    ferromesh.EventTimeout,
    ferromesh.EventAbort,
    ferromesh.EventError,
    ferromesh.EventUnconfirmedReceived,
)


def check_outputs(outputs):
    assert type(outputs) is list
    for position, output in enumerate(outputs):
        assert isinstance(output, OUTPUT_CLASSES)
        if isinstance(output, ferromesh.OutputTransmit):
            data = output.data
            assert type(data) is list
            octets = bytes(data)  # only ints 0..255 convert
            assert octets[:2] == b"\x81\x0a" and int.from_bytes(octets[2:4], "big") == len(octets)
            assert isinstance(output.dest, ferromesh.BacnetAddr)
            # Requests (NPDU 01 04, confirmed-request PDU) carry their ID, nothing else does.
            is_request = octets[4:6] == b"\x01\x04" and octets[6] >> 4 == 0
            assert output.invoke_id == (octets[8] if is_request else None)
        elif isinstance(output, ferromesh.OutputDeadline):
            assert type(output.deadline) is float
            assert position == len(outputs) - 1
        else:
            event = output.event
            assert isinstance(event, EVENT_CLASSES)
            sender = event.src if isinstance(event, ferromesh.EventUnconfirmedReceived) else event.peer
            assert isinstance(sender, ferromesh.BacnetAddr)
            if isinstance(event, ferromesh.EventError):
                numbers = (event.error_class, event.error_code, event.reject_reason)
                shape = {"error": (int, int, type(None)), "reject": (type(None), type(None), int),
                         "local": (type(None), type(None), type(None))}[event.kind]
                assert tuple(isinstance(n, t) for n, t in zip(numbers, shape)) == (True, True, True), event.kind


def process(stack, item, check=check_outputs):
    """Stack.process, letting through only the documented exceptions."""
    try:
        outputs = stack.process(item)
    except ferromesh.InvokeIdExhaustedError as error:
        assert error.args == ("invoke ID pool exhausted",)
        return None
    except ValueError as error:
        message = str(error)
        assert message in PROCESS_MESSAGES or message.startswith(INVALID_ADDRESS), message
        return None
    check(outputs)
    return outputs


def run_step(stack, step):
    kind = step[0]
    if kind == "tick":
        process(stack, ferromesh.InputTick(step[1]))
    elif kind in ("received", "send"):
        # An address the constructor refused leaves no input to process.
        item = construct(ferromesh.InputReceived if kind == "received" else ferromesh.InputSend, step[1], step[2])
        if item is not None:
            process(stack, item)
    elif kind == "burst":
        request = ferromesh.InputSend(ferromesh.ServiceReadProperty(OID, 85), ferromesh.BacnetAddr(step[2], 47808))
        for _ in range(step[1]):
            process(stack, request)
    else:
        process(stack, step[1])


@bounded
@given(configs, st.lists(steps, max_size=25))
def test_process_raises_only_documented_exceptions(config, script):
    stack = ferromesh.Stack(config)
    for step in script:
        run_step(stack, step)
    # Every request ends by the time the clock reaches the largest time there
    # is: then nothing is pending and a Tick says nothing. (Infinity is no
    # time: a Tick at it changes nothing.)
    for _ in range(U8 + 2):
        if process(stack, ferromesh.InputTick(sys.float_info.max), check=lambda outputs: None) == []:
            return
    raise AssertionError("requests still pending after ticking to the end of time")


config_fields = st.one_of(st.integers(), any_float, st.text(max_size=3), st.none(), st.booleans())


@bounded
@given(config_fields, config_fields, config_fields, config_fields)
def test_configurations_fail_only_with_type_overflow_and_value_errors(timeout, retries, apdu, buffer):
    try:
        config = ferromesh.StackConfig(timeout, retries, apdu, buffer)
    except (TypeError, OverflowError):
        return
    except ValueError:
        # Only for values that could only misbehave.
        assert (isinstance(timeout, (int, float)) and not (math.isfinite(timeout) and timeout > 0)) or (
            isinstance(apdu, int) and not 50 <= apdu <= 65529) or buffer == 0
        return
    check_outputs(ferromesh.Stack(config).process(ferromesh.InputTick(0.0)))


@bounded
@given(st.one_of(st.integers(), any_text, any_float, st.builds(ferromesh.InputTick, any_float)))
def test_stack_takes_only_a_stack_config(config):
    try:
        ferromesh.Stack(config)
    except TypeError:
        return
    raise AssertionError(f"Stack accepted {config!r}")
