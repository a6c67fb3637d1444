"""Repeated construction, assignment, reading, representation and decoding must not leak."""

import gc
import itertools
import sys

import pytest

import ferromesh
import ferromesh._enums as enums
from peer import abort, complex_ack, i_am, i_am_router_to_network, one_of_each_stack_class, segment
from support import RP_ACK, RP_ACK_TWO_VALUES, RPM_ACK, RR_ACK, WPM_ERROR, one_of_each

pytestmark = pytest.mark.skipif(
    sys.getallocatedblocks() == 0, reason="allocated blocks are only counted with pymalloc"
)

ROUNDS = 5000
# A leak grows with every round (thousands of blocks); interpreter caches and
# free lists settle at a few hundred whatever the round count.
BLOCK_TOLERANCE = ROUNDS // 10

BIG = 4_000_000_000  # not a cached small int, so its reference count is meaningful
TEXT = "sensor name"
PAYLOADS = [RP_ACK, RPM_ACK, RP_ACK_TWO_VALUES]
OID = ferromesh.ObjectIdentifier(8, 1234)
ACCESS_SPEC = ferromesh.ReadAccessSpec(OID, [(85, None), (87, 3)])
VALUE = ferromesh.PropertyValueReal(1.0)
ADDR = ferromesh.BacnetAddr("192.168.1.20", 47808)
READ = ferromesh.ServiceReadProperty(OID, 85)
TRACKED = [BIG, TEXT, OID, ACCESS_SPEC, VALUE, *PAYLOADS, enums.ObjectType.DEVICE, enums.PropertyIdentifier.PRESENT_VALUE,
           enums.ErrorClass.PROPERTY, enums.ErrorCode.UNKNOWN_PROPERTY, ferromesh.ObjectIdentifier,
           ferromesh.ReadPropertyResult, ADDR, READ, ferromesh.OutputTransmit, ferromesh.InvokeIdExhaustedError]

CONSTRUCTORS = [
    lambda: ferromesh.ObjectIdentifier(8, BIG),
    lambda: ferromesh.ObjectIdentifier(8, -1),
    lambda: ferromesh.ObjectIdentifier("8", 1),
    lambda: ferromesh.ReadAccessSpec(OID, [(85, None), (87, BIG)]),
    lambda: ferromesh.ReadAccessSpec(OID, [(85, None), [87, 3]]),
    lambda: ferromesh.ReadAccessSpec(OID, [(85,)]),
    lambda: ferromesh.ServiceReadProperty(OID, BIG, 3),
    lambda: ferromesh.ServiceReadProperty(OID, 85, "x"),
    lambda: ferromesh.ServiceWriteProperty(OID, 85, VALUE, None, 8),
    lambda: ferromesh.ServiceWriteProperty(OID, 85, VALUE, None, 256),
    lambda: ferromesh.ServiceReadPropertyMultiple([ACCESS_SPEC, ACCESS_SPEC]),
    lambda: ferromesh.ServiceReadPropertyMultiple([ACCESS_SPEC, OID]),
    lambda: ferromesh.PropertyValueNull(),
    lambda: ferromesh.PropertyValueBoolean(1),
    lambda: ferromesh.PropertyValueSigned(-BIG),
    lambda: ferromesh.PropertyValueReal(BIG),
    lambda: ferromesh.PropertyValueDouble(10**400),
    lambda: ferromesh.PropertyValueOctetString(PAYLOADS[0]),
    lambda: ferromesh.PropertyValueOctetString([1, 2, 300]),
    lambda: ferromesh.PropertyValueCharacterString(TEXT),
    lambda: ferromesh.PropertyValueCharacterString("\ud800"),
    lambda: ferromesh.PropertyValueBitString(3, [1, "x"]),
    lambda: ferromesh.PropertyValueDate(2024, 3, 5, weekday=None),
    lambda: ferromesh.PropertyValueTime(7, 5, 0, hundredths=BIG),
    lambda: ferromesh.PropertyValueAny(TEXT),
    lambda: ferromesh.PropertyValueArray(),
    lambda: ferromesh.BacnetPropertyError(2, 32),
    lambda: ferromesh.BacnetPropertyError(2, BIG * 2),
    lambda: ferromesh.PropertyValueCharacterString(TEXT, 256),
    lambda: ferromesh.PropertyValueContext(255, [1]),
    lambda: ferromesh.PropertyValueConstructed(1, [VALUE, OID]),
    lambda: ferromesh.PropertyValueConstructed(1, TEXT),
    lambda: ferromesh.ReadRangeByTime(VALUE, VALUE, 1),
    lambda: ferromesh.WriteAccessSpec(OID, [ferromesh.PropertyWrite(85, VALUE), OID]),
]


def _every_instance():
    return {**one_of_each(), **one_of_each_stack_class()}


def _attributes(instance):
    return [name for name, attr in vars(type(instance)).items() if type(attr).__name__ == "getset_descriptor"]


def _setters():
    """Assign each attribute its own value, values of wrong type and range, and delete it."""
    ops = []
    for instance in _every_instance().values():
        for attribute in _attributes(instance):
            current = getattr(instance, attribute)
            for value in (current, object(), -1, 2**70, TEXT):
                ops.append(lambda i=instance, a=attribute, v=value: setattr(i, a, v))
            ops.append(lambda i=instance, a=attribute, v=current: setattr(i, a, v))
            ops.append(lambda i=instance, a=attribute: delattr(i, a))
    return ops


def _readers():
    ops = []
    for instance in _every_instance().values():
        ops.append(lambda i=instance: repr(i))
        for attribute in _attributes(instance):
            ops.append(lambda i=instance, a=attribute: getattr(i, a))
    return ops


DECODERS = [
    lambda: ferromesh.decode_read_property(PAYLOADS[0]),
    lambda: repr(ferromesh.decode_read_property(PAYLOADS[0])),
    lambda: ferromesh.decode_read_property(PAYLOADS[2]).value.values,
    lambda: ferromesh.decode_read_property(PAYLOADS[0][:7]),
    lambda: ferromesh.decode_read_property(PAYLOADS[0][:12]),
    lambda: ferromesh.decode_read_property(TEXT),
    lambda: ferromesh.decode_read_property_multiple(PAYLOADS[1]).objects[0].properties[1].value,
    lambda: repr(ferromesh.decode_read_property_multiple(PAYLOADS[1]).objects[0].properties[1]),
    lambda: ferromesh.decode_read_property_multiple(PAYLOADS[1][:-1]),
    lambda: ferromesh.decode_read_property_multiple(data=[BIG]),
    # A weekly-schedule day, event time stamps, text kept as received.
    lambda: repr(ferromesh.decode_read_property(RP_ACK[:7] + bytes.fromhex("3E0EB4080000004441A800000F3F"))),
    lambda: ferromesh.decode_read_property(RP_ACK[:7] + bytes.fromhex("3E0C0C0000001905F9200D3F")).value.values[2].decode_as(2),
    lambda: ferromesh.decode_read_property(RP_ACK[:7] + bytes.fromhex("3E0C0C0000003F")).value.decode_as(12),
    lambda: ferromesh.decode_read_property(RP_ACK[:7] + bytes.fromhex("3E7401418220 3F".replace(" ", ""))).value.raw,
    lambda: ferromesh.decode_read_property(RP_ACK[:7] + bytes.fromhex("3E" + "0E" * 40 + "3F")),
    lambda: repr(ferromesh.decode_read_range(RR_ACK)),
    lambda: ferromesh.decode_read_range(RR_ACK[:-3]),
    lambda: repr(ferromesh.decode_write_property_multiple_error(WPM_ERROR)),
    lambda: ferromesh.decode_write_property_multiple_error(WPM_ERROR[:-1]),
]


def _process_ops():
    """Whole conversations, ticks and refused inputs on long-lived stacks, which must end up as they began."""
    stack = ferromesh.Stack(ferromesh.StackConfig(apdu_retries=0, max_apdu_length=50))
    full = ferromesh.Stack()
    for _ in range(256):
        full.process(ferromesh.InputSend(READ, ADDR))
    clock = itertools.count(1000.0, 10.0)

    def receive(data, src=ADDR):
        return stack.process(ferromesh.InputReceived(data, src))

    def sent_id(outputs):
        return outputs[0].data[8]

    def round_trip():
        invoke_id = sent_id(stack.process(ferromesh.InputSend(READ, ADDR)))
        [event] = receive(complex_ack(invoke_id, 12, RP_ACK))
        return ferromesh.decode_read_property(event.event.payload), event.event.peer.addr

    def segmented_answer():
        invoke_id = sent_id(stack.process(ferromesh.InputSend(READ, ADDR)))
        receive(segment(invoke_id, 0, True, 2, 12, RP_ACK[:5]))
        segment_ack, response = receive(segment(invoke_id, 1, False, 2, 12, RP_ACK[5:]))
        return segment_ack.data, response.event.payload

    def segmented_request_aborted():
        write = ferromesh.ServiceWriteProperty(OID, 85, ferromesh.PropertyValueOctetString(bytes(200)))
        invoke_id = sent_id(stack.process(ferromesh.InputSend(write, ADDR)))
        return receive(abort(invoke_id, 4))

    def timed_out():
        stack.process(ferromesh.InputSend(READ, ADDR))
        return [o.event.peer for o in stack.process(ferromesh.InputTick(next(clock))) if hasattr(o, "event")]

    bad_addr = ferromesh.BacnetAddr(TEXT, 1)
    return [
        round_trip,
        segmented_answer,
        segmented_request_aborted,
        timed_out,
        lambda: stack.process(ferromesh.InputTick(next(clock))),
        lambda: [o.event.message.networks for o in receive(i_am_router_to_network(1, 2))],
        lambda: [o.event.message.device_id for o in receive(i_am(7))],
        lambda: receive(b"\x81\x0a\x00\x03"),
        lambda: receive(RP_ACK, bad_addr),
        lambda: stack.process(ADDR),
        lambda: stack.process(ferromesh.InputSend(OID, ADDR)),
        lambda: stack.process(ferromesh.InputSend(READ, bad_addr)),
        lambda: stack.process(ferromesh.InputSend(ferromesh.ServiceWriteProperty(OID, 85, TEXT), ADDR)),
        lambda: full.process(ferromesh.InputSend(READ, ADDR)),
        lambda: stack.process(ferromesh.InputSend(ferromesh.ServiceWritePropertyMultiple([ferromesh.WriteAccessSpec(
            OID, [ferromesh.PropertyWrite(123, [ferromesh.PropertyValueConstructed(0, [VALUE]), VALUE])])]), ADDR)),
        lambda: stack.process(ferromesh.InputSend(ferromesh.ServiceWriteProperty(
            OID, 77, ferromesh.PropertyValueCharacterString(TEXT + "\u20ac", 5)), ADDR)),
        lambda: stack.process(ferromesh.InputSend(ferromesh.ServiceReadRange(OID, 131, None, ferromesh.ReadRangeByTime(
            ferromesh.PropertyValueDate(2024, 3, 5), ferromesh.PropertyValueTime(7, 5, 0, 9), -BIG // 2**22)), ADDR)),
    ]


def _run(ops):
    for op in ops:
        try:
            op()
        except (TypeError, OverflowError, ValueError, AttributeError, ferromesh.BacnetError):
            pass


def _growth(ops):
    for _ in range(100):
        _run(ops)
    gc.collect()
    blocks = sys.getallocatedblocks()
    refs = [sys.getrefcount(obj) for obj in TRACKED]
    for _ in range(ROUNDS):
        _run(ops)
    gc.collect()
    after = [sys.getrefcount(obj) for obj in TRACKED]
    return sys.getallocatedblocks() - blocks, {repr(o): a - b for o, a, b in zip(TRACKED, after, refs) if a != b}


@pytest.mark.parametrize(
    "ops",
    [CONSTRUCTORS, _setters(), _readers(), DECODERS, _process_ops()],
    ids=["constructors", "setters", "readers", "decoders", "process"],
)
def test_no_growth(ops):
    blocks, refs = _growth(ops)
    assert refs == {}
    assert blocks < BLOCK_TOLERANCE


def test_no_growth_without_enums(without_enums):
    blocks, refs = _growth([lambda: ferromesh.ObjectIdentifier(8, 1).object_type, *DECODERS[:3]])
    assert refs == {}
    assert blocks < BLOCK_TOLERANCE
