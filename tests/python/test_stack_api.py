"""Stack.process as the Python boundary: conversions in, conversions out, and every refusal."""

import re

import pytest

import ferromesh
from ferromesh import (
    BacnetAddr,
    EventError,
    InputReceived,
    InputSend,
    InputTick,
    ObjectIdentifier,
    OutputDeadline,
    OutputEvent,
    OutputTransmit,
    ReadAccessSpec,
    ServiceReadProperty,
    ServiceReadPropertyMultiple,
    ServiceWriteProperty,
    Stack,
    StackConfig,
)
from ferromesh._enums import ErrorClass, ErrorCode
from peer import DEVICE, abort, complex_ack, frame, i_am, i_am_router_to_network, segment, simple_ack

ADDR = BacnetAddr(*DEVICE)
OID = ObjectIdentifier(2, 7)
READ = ServiceReadProperty(OID, 85)
# ReadProperty analog-value 7, present-value, invoke ID 0, as the stack frames it.
# It advertises max-segments more than 64 and max-APDU 1476 (0x75).
READ_DATAGRAM = bytes.fromhex("810a001101040275000c0c00800007 1955".replace(" ", ""))


def transmits(outputs):
    return [o for o in outputs if isinstance(o, OutputTransmit)]


def next_invoke_id(stack, dest=ADDR):
    """Sends a request and returns the invoke ID it got: a probe of the pool's state."""
    return transmits(stack.process(InputSend(READ, dest)))[0].data[8]


class TestSurface:
    def test_process_signature_and_doc(self):
        assert Stack.process.__text_signature__ == "($self, input)"
        assert Stack.process.__doc__ == (
            "Process one input event and return a list of output objects.\n\n"
            "Raises `InvokeIdExhaustedError` when all 256 invoke IDs for the\ndestination are in use."
        )

    def test_docstring_example_runs(self):
        stack = Stack()
        assert stack.process(InputTick(now=0.0)) == []
        assert stack.process(input=InputTick(1.0)) == []

    def test_bacnet_addr_repr_is_verbatim(self):
        assert repr(BacnetAddr("192.168.1.20", 47808)) == "BacnetAddr('192.168.1.20', 47808)"
        assert repr(BacnetAddr("it's", 0)) == "BacnetAddr('it's', 0)"

    @pytest.mark.parametrize(
        "make, attribute, wrong_type, out_of_range",
        [
            (StackConfig, "apdu_timeout_secs", "3", None),
            (StackConfig, "apdu_retries", 3.0, 256),
            (StackConfig, "max_apdu_length", "1476", 2**64),
            (StackConfig, "max_segment_buffer", None, -1),
            (lambda: BacnetAddr("1.2.3.4", 1), "addr", b"1.2.3.4", None),
            (lambda: BacnetAddr("1.2.3.4", 1), "port", "1", 65536),
            (lambda: InputTick(0.0), "now", "0", None),
            (lambda: InputReceived(b"", ADDR), "data", "abc", [0, 256]),
            (lambda: InputReceived(b"", ADDR), "src", ("1.2.3.4", 1), None),
            (lambda: InputSend(READ, ADDR), "dest", "1.2.3.4", None),
        ],
    )
    def test_setters_refuse_like_constructors(self, make, attribute, wrong_type, out_of_range):
        instance = make()
        before = getattr(instance, attribute)
        with pytest.raises(TypeError, match=attribute):
            setattr(instance, attribute, wrong_type)
        if out_of_range is not None:
            with pytest.raises(OverflowError, match=attribute):
                setattr(instance, attribute, out_of_range)
        assert getattr(instance, attribute) == before

    def test_stack_config_edges(self):
        with pytest.raises(OverflowError):
            StackConfig(apdu_retries=256)
        edges = StackConfig(apdu_timeout_secs=5e-324, apdu_retries=0, max_apdu_length=50, max_segment_buffer=1)
        assert (edges.apdu_timeout_secs, edges.max_apdu_length, edges.max_segment_buffer) == (5e-324, 50, 1)
        assert StackConfig(max_apdu_length=65529).max_apdu_length == 65529

    @pytest.mark.parametrize("field, value, message", [
        ("apdu_timeout_secs", 0.0, "apdu_timeout_secs must be a finite number of seconds above 0"),
        ("apdu_timeout_secs", -1, "apdu_timeout_secs must be a finite number of seconds above 0"),
        ("apdu_timeout_secs", float("nan"), "apdu_timeout_secs must be a finite number of seconds above 0"),
        ("apdu_timeout_secs", float("inf"), "apdu_timeout_secs must be a finite number of seconds above 0"),
        ("max_apdu_length", 49, "max_apdu_length must be in the range 50..65529"),
        ("max_apdu_length", 65530, "max_apdu_length must be in the range 50..65529"),
        ("max_apdu_length", 2**64 - 1, "max_apdu_length must be in the range 50..65529"),
        ("max_segment_buffer", 0, "max_segment_buffer must be at least 1"),
    ])
    def test_stack_config_refuses_what_can_only_misbehave(self, field, value, message):
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            StackConfig(**{field: value})
        config = StackConfig()
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            setattr(config, field, value)
        assert getattr(config, field) == getattr(StackConfig(), field)  # unchanged

    def test_input_received_data(self):
        with pytest.raises(TypeError):
            InputReceived("\x81\x0a", ADDR)
        received = InputReceived(b"\x81\x0a\xff", ADDR)
        assert received.data == [0x81, 0x0A, 0xFF]
        assert received.data is not received.data

    def test_input_send_holds_any_service_object(self):
        service = object()
        send = InputSend(service, ADDR)
        assert send.service is service and send.dest is ADDR

    @pytest.mark.parametrize("config", [object(), {"apdu_retries": 1}, 3])
    def test_stack_refuses_a_config_of_another_class(self, config):
        with pytest.raises(TypeError):
            Stack(config)


class TestAddresses:
    @pytest.mark.parametrize("text", ["0.0.0.0", "255.255.255.255", "10.0.0.5", "192.168.1.20", "1.22.133.0"])
    def test_canonical_text_is_sent_to_and_reported_back(self, text):
        outputs = Stack().process(InputSend(READ, BacnetAddr(text, 47809)))
        dest = outputs[0].dest
        assert (dest.addr, dest.port) == (text, 47809)

    @pytest.mark.parametrize(
        "text",
        ["010.0.0.1", "00.0.0.1", "1.2.3.04", " 10.0.0.1", "10.0.0.1 ", "10.0.0", "10.0.0.1.2", "10.0.0.1.",
         "256.0.0.1", "192.168.1.300", "1234.1.1.1", "1..2.3", "+1.2.3.4", "1.2.3.-4", "\uff11.2.3.4",
         "1.2.3.4\x00", "", "0x1.2.3.4", "localhost", "1.2.3.4:47808"],
    )
    def test_non_canonical_text_is_refused_for_dest_and_src(self, text):
        stack = Stack()
        bad = BacnetAddr(text, 47808)
        for item in (InputSend(READ, bad), InputReceived(simple_ack(0, 12), bad)):
            with pytest.raises(ValueError) as refused:
                stack.process(item)
            assert refused.value.args == ("Invalid IPv4 address: " + text,)
        assert next_invoke_id(stack) == 0

    def test_address_is_checked_before_the_service(self):
        with pytest.raises(ValueError, match="^Invalid IPv4 address: 192.168.1.300$"):
            Stack().process(InputSend(None, BacnetAddr("192.168.1.300", 47808)))


class TestRefusedInputs:
    @pytest.mark.parametrize(
        "item, message",
        [
            (ADDR, "Expected InputReceived, InputTick, or InputSend"),
            (None, "Expected InputReceived, InputTick, or InputSend"),
            (READ, "Expected InputReceived, InputTick, or InputSend"),
            (0.0, "Expected InputReceived, InputTick, or InputSend"),
            (InputSend(None, ADDR), "Unknown service type"),
            (InputSend(ReadAccessSpec(OID, []), ADDR), "Unknown service type"),
            (InputSend(OID, ADDR), "Unknown service type"),
            (InputSend(ServiceWriteProperty(OID, 85, None), ADDR), "Unknown PropertyValue type"),
            (InputSend(ServiceWriteProperty(OID, 85, 21.5), ADDR), "Unknown PropertyValue type"),
            (InputSend(ServiceWriteProperty(OID, 85, "on"), ADDR), "Unknown PropertyValue type"),
            (InputSend(ServiceWriteProperty(OID, 85, ferromesh.decode_read_property(
                bytes.fromhex("0C020004D219553E210121023F")).value), ADDR), "Unknown PropertyValue type"),
        ],
    )
    def test_value_error_and_nothing_changes(self, item, message):
        stack = Stack()
        stack.process(InputSend(READ, ADDR))
        with pytest.raises(ValueError) as refused:
            stack.process(item)
        assert refused.value.args == (message,)
        assert next_invoke_id(stack) == 1

    def test_pool_exhaustion_raises_with_the_engine_message(self):
        stack = Stack()
        assert [next_invoke_id(stack) for _ in range(256)] == list(range(256))
        with pytest.raises(ferromesh.InvokeIdExhaustedError) as refused:
            stack.process(InputSend(READ, ADDR))
        assert refused.value.args == ("invoke ID pool exhausted",)
        assert next_invoke_id(stack, BacnetAddr(DEVICE[0], DEVICE[1] + 1)) == 0
        assert next_invoke_id(stack, BacnetAddr("192.168.1.21", DEVICE[1])) == 0
        # An answer frees its ID, and the pool serves it again.
        stack.process(InputReceived(complex_ack(5, 12, b""), ADDR))
        assert next_invoke_id(stack) == 5

    def test_reentrant_call_is_refused_and_changes_nothing(self, monkeypatch):
        # Raising the pool error constructs the exception inside process: Python
        # code that runs then sees the stack in use.
        stack = Stack()
        for _ in range(256):
            stack.process(InputSend(READ, ADDR))
        other = BacnetAddr("10.0.0.1", 47808)
        seen = []

        def reenter(self, *args):
            for item in (InputSend(READ, other), InputTick(100.0)):
                try:
                    seen.append(stack.process(item))
                except RuntimeError as error:
                    seen.append(type(error))
            Exception.__init__(self, *args)

        monkeypatch.setattr(ferromesh.InvokeIdExhaustedError, "__init__", reenter)
        with pytest.raises(ferromesh.InvokeIdExhaustedError, match="pool exhausted"):
            stack.process(InputSend(READ, ADDR))
        monkeypatch.undo()
        assert seen == [RuntimeError, RuntimeError]
        # Neither the send nor the tick happened: the other peer still starts
        # at ID 0, and nothing came due at 100 s.
        assert next_invoke_id(stack, other) == 0
        [deadline] = stack.process(InputTick(2.0))
        assert deadline.deadline == 3.0


class TestOutputs:
    def test_every_call_and_output_builds_new_objects(self):
        stack = Stack()
        first = stack.process(InputSend(READ, ADDR))
        second = stack.process(InputSend(READ, ADDR))
        assert first[0].dest is not second[0].dest
        assert first[0].data is not first[0].data and first[0].data == first[0].data
        [response] = stack.process(InputReceived(complex_ack(0, 12, b"\x0c"), ADDR))
        payload = response.event.payload
        assert payload == [0x0C] and response.event.payload is not payload
        assert response.event.peer is response.event.peer  # an object field
        assert response.event.peer is not first[0].dest

    def test_two_outputs_to_one_peer_carry_distinct_addresses(self):
        stack = Stack()
        stack.process(InputSend(READ, ADDR))
        stack.process(InputSend(READ, ADDR))
        resent = transmits(stack.process(InputTick(3.0)))
        assert len(resent) == 2 and resent[0].dest is not resent[1].dest
        assert [(t.dest.addr, t.dest.port) for t in resent] == [DEVICE, DEVICE]

    def test_transmit_is_the_whole_datagram(self):
        [transmit, deadline] = Stack().process(InputSend(READ, ADDR))
        assert transmit.data == list(READ_DATAGRAM) and transmit.data_bytes == READ_DATAGRAM
        assert type(deadline) is OutputDeadline and deadline.deadline == 3.0

    @pytest.mark.parametrize(
        "datagram, event_class, fields",
        [
            (simple_ack(9, 15), "EventResponse", {"invoke_id": 9, "payload": [], "payload_bytes": b""}),
            (complex_ack(1, 12, b"\x01\x02"), "EventResponse",
             {"invoke_id": 1, "payload": [1, 2], "payload_bytes": b"\x01\x02"}),
            (abort(4, 6), "EventAbort", {"invoke_id": 4, "reason": 6}),
            (frame(bytes([0x50, 3, 12, 0x91, 2, 0x91, 32])), "EventError",
             {"invoke_id": 3, "message": "error class=2 code=32", "kind": "error",
              "error_class": ErrorClass.PROPERTY, "error_code": ErrorCode.UNKNOWN_PROPERTY, "reject_reason": None}),
            # Numbers without an enumeration member stay ints.
            (frame(bytes([0x50, 3, 12, 0x92, 0x12, 0x34, 0x92, 0xFF, 0xFF])), "EventError",
             {"message": "error class=4660 code=65535", "error_class": 4660, "error_code": 65535}),
            (frame(bytes([0x60, 2, 9])), "EventError",
             {"invoke_id": 2, "message": "reject reason=9", "kind": "reject",
              "error_class": None, "error_code": None, "reject_reason": 9}),
        ],
    )
    def test_answer_events_name_their_peer(self, datagram, event_class, fields):
        [output] = Stack().process(InputReceived(datagram, BacnetAddr("10.1.2.3", 47809)))
        event = output.event
        assert type(output) is OutputEvent and type(event).__name__ == event_class
        assert {name: getattr(event, name) for name in fields} == fields
        assert all(type(fields[name]) is type(getattr(event, name)) for name in fields)  # members, not bare ints
        assert (event.peer.addr, event.peer.port) == ("10.1.2.3", 47809)

    def test_i_am(self):
        [output] = Stack().process(InputReceived(i_am(1234, max_apdu=480, segmentation=3, vendor=999), ADDR))
        event = output.event
        assert type(event) is ferromesh.EventUnconfirmedReceived
        assert (event.src.addr, event.src.port) == DEVICE
        message = event.message
        assert type(message) is ferromesh.UnconfirmedIAm
        assert repr(message.device_id) == "ObjectIdentifier(type=8, instance=1234)"
        assert (message.max_apdu, message.segmentation, message.vendor_id) == (480, 3, 999)

    def test_i_am_router_to_network(self):
        [output] = Stack().process(InputReceived(i_am_router_to_network(1, 0xFFFE), ADDR))
        message = output.event.message
        assert type(message) is ferromesh.UnconfirmedIAmRouterToNetwork
        assert message.networks == [1, 0xFFFE] and message.networks is not message.networks


class TestInputsAreValues:
    def test_config_is_copied_at_construction(self):
        config = StackConfig(apdu_timeout_secs=5.0)
        stack = Stack(config)
        config.apdu_timeout_secs = 50.0
        assert stack.process(InputSend(READ, ADDR))[1].deadline == 5.0
        assert Stack(None).process(InputSend(READ, ADDR))[1].deadline == 3.0

    def test_service_is_read_when_processed(self):
        send = InputSend(None, ADDR)
        send.service = ServiceWriteProperty(OID, 85, ferromesh.PropertyValueReal(1.0), priority=8)
        [transmit, _] = Stack().process(send)
        assert transmit.data[9] == 15  # WriteProperty
        send.service = ServiceReadPropertyMultiple([])
        assert Stack().process(send)[0].data[9:] == [14]  # an empty spec list goes out as given

    def test_one_input_drives_several_stacks_and_calls(self):
        send = InputSend(READ, ADDR)
        stack = Stack()
        assert [stack.process(send)[0].data[8] for _ in range(3)] == [0, 1, 2]
        assert Stack().process(send)[0].data[8] == 0

    def test_subclass_instances_are_accepted(self):
        class Tick(InputTick):
            pass

        class Addr(BacnetAddr):
            pass

        class Read(ServiceReadProperty):
            pass

        stack = Stack(type("Config", (StackConfig,), {})(apdu_timeout_secs=7.0))
        assert stack.process(Tick(1.0)) == []
        assert stack.process(InputSend(Read(OID, 85), Addr(*DEVICE)))[1].deadline == 8.0


def test_refused_request_is_an_event_not_an_exception():
    # Too large to segment with this configuration: the engine refuses it.
    stack = Stack(StackConfig(max_apdu_length=50))
    [output] = stack.process(InputSend(ServiceWriteProperty(OID, 85, ferromesh.PropertyValueAny(bytes(12000))), ADDR))
    assert type(output.event) is EventError and "segment" in output.event.message
    assert output.event.kind == "local" and output.event.error_class is None


def test_transmits_carry_the_invoke_id_of_their_request_only():
    stack = Stack()
    [first, _] = stack.process(InputSend(READ, ADDR))
    [second, _] = stack.process(InputSend(READ, ADDR))
    assert (first.invoke_id, second.invoke_id) == (0, 1)
    # A segmented answer to request 1: the SegmentACK is no request.
    first_segment = frame(bytes([0x3C, 1, 0, 1, 12]) + bytes(8))
    [ack] = stack.process(InputReceived(first_segment, ADDR))
    assert type(ack) is ferromesh.OutputTransmit and ack.data[6] == 0x40 and ack.invoke_id is None


def test_table_sizes_count_what_the_stack_holds_until_each_request_ends():
    stack = Stack(StackConfig(max_apdu_length=50))
    empty = {"transactions": 0, "segmented_requests": 0, "segmented_answers": 0, "invoke_ids": 0, "peers": 0}
    assert stack.table_sizes() == empty
    long_write = ServiceWriteProperty(OID, 77, ferromesh.PropertyValueCharacterString("x" * 100))
    stack.process(InputSend(long_write, ADDR))  # invoke ID 0, in segments
    stack.process(InputSend(READ, ADDR))  # 1, answered in segments
    stack.process(InputReceived(segment(1, 0, True, 2, 12, b"\x0c"), ADDR))
    assert stack.table_sizes() == {"transactions": 2, "segmented_requests": 1, "segmented_answers": 1,
                                   "invoke_ids": 2, "peers": 1}
    stack.process(InputReceived(segment(1, 1, False, 2, 12, b"\x00"), ADDR))
    stack.process(InputReceived(abort(0, 4), ADDR))
    assert stack.table_sizes() == {**empty, "peers": 1}
