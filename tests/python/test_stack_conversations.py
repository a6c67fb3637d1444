"""Whole conversations: a Stack driven through Stack.process against scripted devices."""

import pytest

import ferromesh
from ferromesh import (
    BacnetAddr,
    EventAbort,
    EventError,
    EventResponse,
    EventTimeout,
    InputSend,
    ObjectIdentifier,
    PropertyValueOctetString,
    ReadAccessSpec,
    ServiceReadProperty,
    ServiceReadPropertyMultiple,
    ServiceWriteProperty,
    Stack,
    StackConfig,
)
from peer import (
    DEVICE,
    Device,
    Network,
    Segmented,
    abort,
    complex_ack,
    error_pdu,
    i_am,
    read_property_ack,
    reject,
    segment,
    simple_ack,
)

ADDR = BacnetAddr(*DEVICE)
READ = ServiceReadProperty(ObjectIdentifier(2, 7), 85)
REAL_72_5 = b"\x44\x42\x91\x00\x00"
SEGMENT_ACK = 0x40


def silent(request):
    return None


def requests_sent(net, peer=DEVICE):
    """Times at which a confirmed request (or one of its segments) went out."""
    return [w.time for w in net.sent(peer) if w.data[6] >> 4 == 0]


def segment_acks_sent(net):
    return [(w.data[7], w.data[8], w.data[9]) for w in net.sent() if w.data[6] == SEGMENT_ACK]


def event_kinds(net):
    return [type(e).__name__ for e in net.events]


class TestAnswers:
    @pytest.mark.parametrize("clock_start", [0.0, 10_000.0])
    def test_read_property_round_trip(self, clock_start):
        net = Network(Device(lambda r: [complex_ack(r.invoke_id, r.service, read_property_ack(7, REAL_72_5))],
                             delay=0.2), now=clock_start)
        net.tick(clock_start)
        net.process(InputSend(READ, ADDR))
        net.run(until=clock_start + 30)
        [event] = net.events
        assert type(event) is EventResponse and event.invoke_id == 0
        assert (event.peer.addr, event.peer.port) == DEVICE
        result = ferromesh.decode_read_property(event.payload)
        assert (result.object_id.instance, result.property_id, result.value.value) == (7, 85, 72.5)
        assert requests_sent(net) == [clock_start]
        assert net.deadline is None  # nothing left pending

    @pytest.mark.parametrize(
        "answer, kind, fields",
        [
            (lambda r: [simple_ack(r.invoke_id, r.service)], EventResponse, {"payload": []}),
            (lambda r: [error_pdu(r.invoke_id, r.service, 2, 31)], EventError,
             {"message": "error class=2 code=31"}),
            (lambda r: [reject(r.invoke_id, 4)], EventError, {"message": "reject reason=4"}),
            (lambda r: [abort(r.invoke_id, 9)], EventAbort, {"reason": 9}),
        ],
        ids=["simple-ack", "error", "reject", "abort"],
    )
    def test_each_answer_ends_the_request(self, answer, kind, fields):
        net = Network(Device(answer, delay=1.0))
        write = ServiceWriteProperty(ObjectIdentifier(2, 7), 85, ferromesh.PropertyValueReal(21.5), priority=8)
        net.process(InputSend(write, ADDR))
        net.process(InputSend(write, ADDR))
        net.run(until=60)
        assert [type(e) for e in net.events] == [kind, kind]
        assert [e.invoke_id for e in net.events] == [0, 1]
        assert all({name: getattr(e, name) for name in fields} == fields for e in net.events)
        assert requests_sent(net) == [0.0, 0.0]  # answered before any re-send, never re-sent after

    def test_read_property_multiple(self):
        rpm_ack = bytes.fromhex("0C020004D21E294B4EC4020004D24F294D5E910291205F1F")
        net = Network(Device(lambda r: [complex_ack(r.invoke_id, r.service, rpm_ack)]))
        spec = ReadAccessSpec(ObjectIdentifier(8, 1234), [(75, None), (77, None)])
        net.process(InputSend(ServiceReadPropertyMultiple([spec]), ADDR))
        net.run(until=10)
        [request] = net.devices[DEVICE].requests
        assert request.service == 14 and request.params == bytes.fromhex("0C020004D21E094B094D1F")
        [obj] = ferromesh.decode_read_property_multiple(net.events[0].payload).objects
        assert [p.property_id for p in obj.properties] == [75, 77]


class TestTimeouts:
    @pytest.mark.parametrize("clock_start", [0.0, 10_000.0])
    def test_retry_timeline_counts_from_the_latest_tick(self, clock_start):
        net = Network(Device(silent), now=clock_start)
        net.tick(clock_start)
        net.process(InputSend(READ, ADDR))
        assert net.deadline == clock_start + 3.0
        net.run(until=clock_start + 60)
        assert [t - clock_start for t in requests_sent(net)] == [0.0, 3.0, 6.0, 9.0]
        assert net.event_times == [clock_start + 12.0]
        [event] = net.events
        assert type(event) is EventTimeout and event.invoke_id == 0
        assert (event.peer.addr, event.peer.port) == DEVICE

    def test_early_tick_only_repeats_the_deadline(self):
        net = Network(Device(silent))
        net.process(InputSend(READ, ADDR))
        [deadline] = net.tick(2.999)
        assert deadline.deadline == 3.0

    def test_no_retries_times_out_at_the_first_deadline(self):
        net = Network(Device(silent), stack=Stack(StackConfig(apdu_retries=0, apdu_timeout_secs=0.5)))
        net.process(InputSend(READ, ADDR))
        net.run(until=10)
        assert requests_sent(net) == [0.0] and event_kinds(net) == ["EventTimeout"]

    def test_timeouts_of_equal_invoke_ids_name_their_device(self):
        other = (DEVICE[0], DEVICE[1] + 1)
        net = Network(Device(silent), Device(silent, port=other[1]))
        net.process(InputSend(READ, ADDR))
        net.process(InputSend(READ, BacnetAddr(*other)))
        net.run(until=60)
        assert sorted((e.invoke_id, e.peer.addr, e.peer.port) for e in net.events) == [(0, *DEVICE), (0, *other)]


class TestSegmentedAnswers:
    PAYLOAD = bytes(range(256)) * 11 + bytes(184)  # 3000 octets

    def test_reassembled_with_segment_acks_per_window(self):
        net = Network(Device(lambda r: Segmented(self.PAYLOAD, segment_size=400, window=3)))
        net.process(InputSend(READ, ADDR))
        net.run(until=30)
        [event] = net.events
        assert type(event) is EventResponse and event.payload == list(self.PAYLOAD)
        # 8 segments: the first alone, then windows of 3 and the last.
        assert segment_acks_sent(net) == [(0, 0, 3), (0, 3, 3), (0, 6, 3), (0, 7, 3)]
        assert requests_sent(net) == [0.0]

    def test_slow_answer_completes_without_resend_or_abort(self):
        # Segments 1.5 s apart for 12 s, ticks every 0.5 s: the request's own
        # 3 s deadline passes long before the answer is complete.
        net = Network(Device(lambda r: Segmented(self.PAYLOAD[:800], segment_size=100, window=2, gap=1.5)))
        net.process(InputSend(READ, ADDR))
        net.run(until=30, tick_every=0.5)
        assert event_kinds(net) == ["EventResponse"]
        assert net.events[0].payload == list(self.PAYLOAD[:800])
        assert requests_sent(net) == [0.0]
        assert [seq for _, seq, _ in segment_acks_sent(net)] == [0, 2, 4, 6, 7]

    def test_stalled_answer_is_abandoned_by_a_host_that_ticks_only_at_deadlines(self):
        net = Network(Device(lambda r: Segmented(self.PAYLOAD, segment_size=400, window=3, gap=0.5, stall_after=1)))
        net.process(InputSend(READ, ADDR))
        net.run(until=60)
        [event] = net.events
        assert type(event) is EventAbort and (event.invoke_id, event.reason) == (0, 5)
        # The segment at 0.5 s counts as activity at the tick of 3.0 s; each
        # 2 s of silence after it repeats our SegmentACK, the fourth gives up.
        # The request itself is never re-sent.
        assert segment_acks_sent(net) == [(0, 0, 3)] * 4
        assert net.event_times == [11.0]
        assert net.now == 60 and requests_sent(net) == [0.0]
        assert [w.time for w in net.wire if w.direction == "in"] == [0.5]
        assert net.deadline is None

    def test_unsolicited_segments_get_no_state_and_no_ack(self):
        net = Network()
        first = segment(0, 0, True, 2, 12, b"\x0c")
        assert net.deliver(first) == []
        net.process(InputSend(READ, ADDR))
        assert net.deliver(first, src=("192.168.1.99", DEVICE[1])) == []  # right ID, wrong device
        assert net.deliver(segment(1, 0, True, 2, 12, b"\x0c")) == []  # right device, wrong ID
        [deadline] = net.tick(1.0)
        assert deadline.deadline == 3.0  # only the request is pending
        assert segment_acks_sent(net) == []


class TestSegmentedRequests:
    BIG = bytes(range(256)) * 4  # 1024 octets of value
    CONFIG = dict(max_apdu_length=206)  # 200 octets of service data per segment

    def write(self):
        return InputSend(ServiceWriteProperty(ObjectIdentifier(2, 7), 85, PropertyValueOctetString(self.BIG)), ADDR)

    def test_delivered_window_by_window_then_answered(self):
        device = Device(lambda r: [simple_ack(r.invoke_id, r.service)])
        net = Network(device, stack=Stack(StackConfig(**self.CONFIG)))
        first = net.process(self.write())
        assert [type(o).__name__ for o in first] == ["OutputTransmit", "OutputDeadline"]  # segment 0 alone
        assert first[-1].deadline == 2.0
        net.run(until=30)
        assert event_kinds(net) == ["EventResponse"]
        [request] = device.requests
        assert request.service == 15 and request.params.endswith(self.BIG + b"\x3f")
        sequence_numbers = [w.data[9] for w in net.sent()]
        assert sequence_numbers == [0, 1, 2, 3, 4, 5]  # no window went out twice
        assert net.deadline is None

    @pytest.mark.parametrize("retries", [3, 1])
    def test_unacknowledged_window_is_resent_then_gives_up(self, retries):
        net = Network(Device(silent, acknowledge_segments=False),
                      stack=Stack(StackConfig(apdu_retries=retries, **self.CONFIG)))
        net.process(self.write())
        net.run(until=60)
        # Segment 0 alone, again and again: nothing says the device's window.
        assert requests_sent(net) == [2.0 * i for i in range(retries + 1)]
        [event] = net.events
        assert type(event) is EventTimeout and event.invoke_id == 0
        assert net.event_times == [2.0 * (retries + 1)]
        assert net.deadline is None

    def test_abort_mid_request_leaves_nothing_to_resend(self):
        net = Network(Device(silent, acknowledge_segments=False), stack=Stack(StackConfig(**self.CONFIG)))
        net.process(self.write())
        net.deliver(abort(0, 4))
        assert event_kinds(net) == ["EventAbort"]
        assert net.tick(10.0) == []
        assert len(requests_sent(net)) == 1

    @pytest.mark.parametrize(
        "config, octets, announced",
        [({"max_apdu_length": 50}, 11300, None), ({}, 2000, i_am(7, max_apdu=480, segmentation=3))],
        ids=["more-than-256-segments", "device-takes-no-segments"],
    )
    def test_unsendable_request_is_refused_and_frees_its_id(self, config, octets, announced):
        net = Network(Device(silent), stack=Stack(StackConfig(**config)))
        if announced:
            net.deliver(announced)
        for _ in range(255):
            net.process(InputSend(ServiceReadPropertyMultiple([]), ADDR))  # fits any APDU
        big = InputSend(ServiceWriteProperty(ObjectIdentifier(2, 7), 85, PropertyValueOctetString(bytes(octets))), ADDR)
        outputs = net.process(big)
        [output] = outputs
        assert type(output.event) is EventError and output.event.invoke_id == 255
        assert "segment" in output.event.message
        assert len(net.sent()) == 255
        # ID 255 is free again: the pool is not exhausted.
        assert net.process(InputSend(ServiceReadPropertyMultiple([]), ADDR))[0].data[8] == 255
