"""ferromesh.client against scripted devices on 127.0.0.1.

A ScriptedDevice is a UDP socket in a thread that answers each request
datagram the way the test's script says (answers may be delayed, withheld
or sent out of order), so every conversation here crosses a real socket.
"""

from __future__ import annotations

import asyncio
import socket
import threading
import time
from typing import Callable

import pytest

import ferromesh
from ferromesh import (
    BacnetTimeoutError,
    ObjectIdentifier,
    PropertyValueReal,
    StackConfig,
)
from ferromesh._enums import AbortReason, ErrorClass, ErrorCode, ObjectType, PropertyIdentifier, RejectReason
from ferromesh.client import (
    BacnetAbortError,
    BacnetErrorResponse,
    BacnetRejectError,
    Client,
    ClientClosedError,
    parse_address,
    parse_object_id,
    parse_property_id,
    who_is_datagram,
)
from ferromesh.names import address_key, format_address, parse_device

# ---------------------------------------------------------------------------
# Datagrams a device sends


def frame(apdu: bytes) -> bytes:
    npdu = b"\x01\x00" + apdu
    return bytes([0x81, 0x0A]) + (4 + len(npdu)).to_bytes(2, "big") + npdu


def invoke_id(request: bytes) -> int:
    return request[8]


def complex_ack(request: bytes, payload: bytes) -> bytes:
    return frame(bytes([0x30, invoke_id(request), request[9]]) + payload)


def read_ack(request: bytes, value: bytes) -> bytes:
    """ReadProperty-ACK echoing the request's object, property and index."""
    return complex_ack(request, request[10:] + b"\x3e" + value + b"\x3f")


def simple_ack(request: bytes) -> bytes:
    return frame(bytes([0x20, invoke_id(request), request[9]]))


def error_pdu(request: bytes, error_class: int, error_code: int) -> bytes:
    return frame(bytes([0x50, invoke_id(request), request[9], 0x91, error_class, 0x92])
                 + error_code.to_bytes(2, "big"))


def instance_of(request: bytes) -> int:
    """Object instance of a ReadProperty request (0x0C and the identifier word at octet 10)."""
    return int.from_bytes(request[11:15], "big") & 0x3FFFFF


def unsigned(value: int) -> bytes:
    return b"\x22" + value.to_bytes(2, "big")


Script = Callable[[bytes], list[bytes]]


class ScriptedDevice:
    """A device on 127.0.0.1 answering by script; answers may be delayed by `delay` seconds."""

    def __init__(self, script: Script, delay: float = 0.0) -> None:
        self.script, self.delay = script, delay
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.01)
        self.address = f"127.0.0.1:{self.sock.getsockname()[1]}"
        self.received: list[bytes] = []
        self.most_unanswered = 0
        self._due: list[tuple[float, bytes, tuple[str, int]]] = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self) -> ScriptedDevice:
        self._thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._stop.set()
        self._thread.join()
        self.sock.close()

    def _run(self) -> None:
        while not self._stop.is_set():
            try:
                data, addr = self.sock.recvfrom(2048)
            except TimeoutError:
                data = None
            if data is not None:
                self.received.append(data)
                self._due += [(time.monotonic() + self.delay, answer, addr) for answer in self.script(data)]
                self.most_unanswered = max(self.most_unanswered, len(self._due))
            now = time.monotonic()
            for item in [item for item in self._due if item[0] <= now]:
                self._due.remove(item)
                self.sock.sendto(item[1], item[2])


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 30))


def client(**config) -> Client:
    return Client("127.0.0.1:0", config=StackConfig(**config) if config else None)


# ---------------------------------------------------------------------------
# Round trips


def test_read_property_returns_the_decoded_answer_and_sends_the_request_octets():
    async def main():
        async with client() as c:
            return await c.read_property(device.address, "analog-value:1", "present-value")

    with ScriptedDevice(lambda rq: [read_ack(rq, b"\x44\x42\x91\x00\x00")]) as device:
        result = run(main())
    assert isinstance(result.value, PropertyValueReal) and result.value.value == 72.5
    assert (int(result.object_id.object_type), result.object_id.instance) == (2, 1)
    assert device.received == [bytes.fromhex("810a0011 0104 0275 00 0c 0c00800001 1955")]


def test_write_property_with_priority_sends_the_value_and_returns_on_simple_ack():
    async def main():
        async with client() as c:
            return await c.write_property(device.address, ObjectIdentifier(2, 1), 85,
                                          PropertyValueReal(72.5), priority=8)

    with ScriptedDevice(lambda rq: [simple_ack(rq)]) as device:
        assert run(main()) is None
    assert device.received[0][10:] == bytes.fromhex("0c00800001 1955 3e 4442910000 3f 4908")


def test_concurrent_answers_out_of_order_reach_their_requests():
    held: list[bytes] = []

    def reverse_after_twenty(rq: bytes) -> list[bytes]:
        held.append(rq)
        if len(held) < 20:
            return []
        return [read_ack(r, unsigned(instance_of(r))) for r in reversed(held)]

    async def main():
        async with client() as c:
            return await asyncio.gather(*(c.read_property(device.address, ("analog-value", n), 85)
                                          for n in range(20)))

    with ScriptedDevice(reverse_after_twenty) as device:
        results = run(main())
    assert [r.value.value for r in results] == list(range(20))


def test_same_invoke_id_at_two_devices_is_told_apart_by_peer():
    async def main():
        async with client() as c:
            return await asyncio.gather(c.read_property(slow.address, "analog-value:1", 85),
                                        c.read_property(fast.address, "analog-value:1", 85))

    with ScriptedDevice(lambda rq: [read_ack(rq, unsigned(1))], delay=0.2) as slow, \
            ScriptedDevice(lambda rq: [read_ack(rq, unsigned(2))]) as fast:
        a, b = run(main())
    assert invoke_id(slow.received[0]) == invoke_id(fast.received[0]) == 0
    assert (a.value.value, b.value.value) == (1, 2)


def test_read_property_multiple_accepts_names_and_indexes():
    async def main():
        async with client() as c:
            return await c.read_property_multiple(device.address, [
                ("analog-value:1", ["present-value", ("priority-array", 8)]),
            ])

    # One object, present-value Real 1.0 and priority-array[8] an access error.
    payload = bytes.fromhex("0c00800001 1e 2955 4e 443f800000 4f 2957 3908 5e 9102 9120 5f 1f")
    with ScriptedDevice(lambda rq: [complex_ack(rq, payload)]) as device:
        result = run(main())
    assert device.received[0][9:] == bytes.fromhex("0e 0c00800001 1e 0955 0957 1908 1f")
    (obj,) = result.objects
    value, error = obj.properties
    assert value.value.value == 1.0
    assert (error.array_index, error.value.error_class, error.value.error_code) == (8, 2, 32)


# ---------------------------------------------------------------------------
# What devices say, as exceptions


@pytest.mark.parametrize("answer, expected", [
    (lambda rq: error_pdu(rq, 2, 32), (BacnetErrorResponse, ErrorClass.PROPERTY, ErrorCode.UNKNOWN_PROPERTY)),
    (lambda rq: error_pdu(rq, 1, 60000), (BacnetErrorResponse, ErrorClass.OBJECT, 60000)),
    (lambda rq: frame(bytes([0x60, invoke_id(rq), 9])), (BacnetRejectError, 9)),
    (lambda rq: frame(bytes([0x71, invoke_id(rq), 4])), (BacnetAbortError, 4)),
])
def test_device_refusals_raise_what_the_device_said(answer, expected):
    async def main():
        async with client() as c:
            await c.read_property(device.address, "analog-value:1", 85)

    with ScriptedDevice(lambda rq: [answer(rq)]) as device, pytest.raises(expected[0]) as caught:
        run(main())
    exc = caught.value
    assert isinstance(exc, ferromesh.BacnetError)
    if expected[0] is BacnetErrorResponse:
        assert (exc.error_class, exc.error_code) == expected[1:]
        assert type(exc.error_class) is ErrorClass
        assert type(exc.error_code) is (int if expected[2] == 60000 else ErrorCode)
    else:
        assert exc.reason == expected[1]


@pytest.mark.parametrize("oid, value, message", [
    (ferromesh.ObjectIdentifier(2, 4194304), 1.0, "object identifier instance 4194304 is above 4194303"),
    ("analog-value:1", ferromesh.PropertyValueBitString(9, b"\xff\x80"), "bit string unused-bits count 9 is above 7"),
])
def test_request_the_stack_refuses_raises_its_reason_and_sends_nothing(oid, value, message):
    async def main():
        async with client() as c:
            await c.write_property(device.address, oid, 85, value)

    with ScriptedDevice(lambda rq: []) as device, pytest.raises(ferromesh.BacnetError) as caught:
        run(main())
    assert type(caught.value) is ferromesh.BacnetError and caught.value.args == (message,)
    assert device.received == []


@pytest.mark.parametrize("error, reason, message", [
    (BacnetRejectError(9), RejectReason.UNRECOGNIZED_SERVICE,
     "device rejected the request: unrecognized-service (9)"),
    (BacnetRejectError(10), RejectReason.INVALID_DATA_ENCODING,
     "device rejected the request: invalid-data-encoding (10)"),
    (BacnetAbortError(1), AbortReason.BUFFER_OVERFLOW, "request aborted: buffer-overflow (1)"),
    (BacnetAbortError(5), AbortReason.SECURITY_ERROR,
     "request aborted: security-error (5), or a segmented answer given up"),
    (BacnetAbortError(200), 200, "request aborted: reason 200"),  # a vendor's reason
])
def test_reject_and_abort_reasons_by_name(error, reason, message):
    assert str(error) == message
    assert error.reason == reason and type(error.reason) is type(reason)


def test_silence_times_out_after_the_retries():
    async def main():
        async with client(apdu_timeout_secs=0.05, apdu_retries=2) as c:
            await c.read_property(device.address, "analog-value:1", 85)

    with ScriptedDevice(lambda rq: []) as device, pytest.raises(BacnetTimeoutError):
        run(main())
    assert len(device.received) == 3 and len(set(device.received)) == 1


def test_deadline_counts_from_the_send_not_from_client_start():
    # The client idles longer than the timeout before sending; an answer
    # inside the timeout after the send must still arrive in time.
    async def main():
        async with client(apdu_timeout_secs=0.5, apdu_retries=0) as c:
            await asyncio.sleep(1.0)
            return await c.read_property(device.address, "analog-value:1", 85)

    with ScriptedDevice(lambda rq: [read_ack(rq, unsigned(7))], delay=0.1) as device:
        assert run(main()).value.value == 7


def test_requests_beyond_256_wait_for_free_invoke_ids():
    async def main():
        async with client() as c:
            return await asyncio.gather(*(c.read_property(device.address, ("analog-value", n), 85)
                                          for n in range(600)))

    with ScriptedDevice(lambda rq: [read_ack(rq, unsigned(instance_of(rq)))], delay=0.1) as device:
        results = run(main())
    assert [r.value.value for r in results] == list(range(600))
    assert 0 < device.most_unanswered <= 256


@pytest.mark.parametrize("stop", ["task.cancel", "wait_for"])
def test_a_request_the_caller_gave_up_on_is_never_sent_again(stop):
    async def main():
        async with client(apdu_timeout_secs=0.1, apdu_retries=3) as c:
            write = c.write_property(silent.address, "analog-value:1", "present-value", 5.0)
            if stop == "wait_for":
                with pytest.raises(asyncio.TimeoutError):
                    await asyncio.wait_for(write, 0.02)
            else:
                task = asyncio.create_task(write)
                await asyncio.sleep(0.02)
                task.cancel()
                await asyncio.gather(task, return_exceptions=True)
            await asyncio.sleep(0.6)  # past every re-send the stack would have made

    with ScriptedDevice(lambda rq: []) as silent:
        run(main())
    assert len(silent.received) == 1


def test_cancelled_requests_free_their_invoke_ids_at_once():
    async def main():
        async with client(apdu_timeout_secs=5.0) as c:
            tasks = [asyncio.create_task(c.read_property(silent.address, ("analog-value", n), 85))
                     for n in range(256)]
            await asyncio.sleep(0.05)
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
            # No timeout has freed an ID: the cancellations did.
            answered.set()
            return await asyncio.wait_for(c.read_property(silent.address, "analog-value:9", 85), 2.0)

    answered = threading.Event()
    with ScriptedDevice(lambda rq: [read_ack(rq, unsigned(9))] if answered.is_set() else []) as silent:
        assert run(main()).value.value == 9
    assert len(silent.received) == 257


def test_close_fails_running_requests_and_leaves_no_task():
    async def main():
        c = client()
        await c.start()
        request = asyncio.create_task(c.read_property(silent.address, "analog-value:1", 85))
        await asyncio.sleep(0.05)
        await c.close()
        with pytest.raises(ClientClosedError):
            await request
        with pytest.raises(ClientClosedError):
            await c.read_property(silent.address, "analog-value:1", 85)
        return asyncio.all_tasks() - {asyncio.current_task()}

    with ScriptedDevice(lambda rq: []) as silent:
        assert run(main()) == set()


# ---------------------------------------------------------------------------
# Answers that name something else: the answer to an earlier request under
# the same invoke ID, from a late or caching device


def rp_ack(request: bytes, object_type: int, instance: int, prop: int, index: int | None, value: bytes) -> bytes:
    payload = b"\x0c" + (object_type << 22 | instance).to_bytes(4, "big") + bytes([0x19, prop])
    if index is not None:
        payload += bytes([0x29, index])
    return complex_ack(request, payload + b"\x3e" + value + b"\x3f")


def rpm_ack_payload(*instances: int) -> bytes:
    """ReadPropertyMultiple-ACK parameters: present-value 9 of each analog-value instance given."""
    return b"".join(b"\x0c" + (2 << 22 | n).to_bytes(4, "big") + b"\x1e\x29\x55\x4e" + unsigned(9) + b"\x4f\x1f"
                    for n in instances)


def rpm_ack(request: bytes, *instances: int) -> bytes:
    return complex_ack(request, rpm_ack_payload(*instances))


def stale_first(stale: Script, right: Script) -> Script:
    """Answers the first request with `stale`, every later one with `right`."""
    seen: list[bytes] = []

    def script(rq: bytes) -> list[bytes]:
        seen.append(rq)
        return stale(rq) if len(seen) == 1 else right(rq)
    return script


@pytest.mark.parametrize("stale", [
    lambda rq: [rp_ack(rq, 2, 2, 85, None, unsigned(7))],  # another object
    lambda rq: [rp_ack(rq, 1, 1, 85, None, unsigned(7))],  # another object type
    lambda rq: [rp_ack(rq, 2, 1, 77, None, unsigned(7))],  # another property
    lambda rq: [rp_ack(rq, 2, 1, 85, 3, unsigned(7))],  # an array element
])
def test_a_read_answer_naming_something_else_is_asked_again(stale):
    async def main():
        async with client() as c:
            return await c.read_property(device.address, "analog-value:1", "present-value")

    with ScriptedDevice(stale_first(stale, lambda rq: [read_ack(rq, unsigned(9))])) as device:
        result = run(main())
    assert result.value.value == 9
    first, again = device.received
    assert invoke_id(first) != invoke_id(again) and first[9:] == again[9:]


@pytest.mark.parametrize("stale", [
    lambda rq: [rpm_ack(rq, 2, 1)],  # the objects in another order
    lambda rq: [rpm_ack(rq, 1)],  # fewer objects
    lambda rq: [rpm_ack(rq, 1, 2, 3)],  # more objects
])
def test_a_read_multiple_answer_naming_other_objects_is_asked_again(stale):
    async def main():
        async with client() as c:
            return await c.read_property_multiple(device.address, [("analog-value:1", ["present-value"]),
                                                                   ("analog-value:2", ["present-value"])])

    with ScriptedDevice(stale_first(stale, lambda rq: [rpm_ack(rq, 1, 2)])) as device:
        result = run(main())
    assert [o.object_id.instance for o in result.objects] == [1, 2]
    assert len(device.received) == 2


def test_a_device_that_only_ever_answers_something_else_fails_the_read():
    async def main():
        async with client(apdu_retries=2) as c:
            await c.read_property(device.address, "analog-value:1", "present-value")

    with ScriptedDevice(lambda rq: [rp_ack(rq, 2, 2, 85, None, unsigned(7))]) as device:
        with pytest.raises(ferromesh.BacnetError, match="answered only with the results of other requests"):
            run(main())
    assert len(device.received) == 3


def test_the_device_wildcard_is_answered_by_the_device_itself():
    async def main():
        async with client() as c:
            return await c.read_property(device.address, "device:4194303", "object-name")

    with ScriptedDevice(lambda rq: [rp_ack(rq, 8, 1234, 77, None, b"\x75\x03\x00ab")]) as device:
        result = run(main())
    assert result.object_id.instance == 1234 and result.value.value == "ab"
    assert len(device.received) == 1


# ---------------------------------------------------------------------------
# Segmented requests


def segmented_request_acker(answer: bool) -> Script:
    """Takes a segmented request as proposed: segment 0 alone, then window by window; answers it when `answer`."""
    def script(rq: bytes) -> list[bytes]:
        pdu, request_id, sequence, window = rq[6], rq[8], rq[9], rq[10]
        assert pdu in (0x0A, 0x0E), rq.hex()
        last = pdu == 0x0A
        if not last and sequence % window:
            return []
        replies = [frame(bytes([0x41, request_id, sequence, window]))]  # SegmentACK from the server
        if last and answer:  # a ReadPropertyMultiple-ACK for the 20 objects asked
            replies.append(frame(bytes([0x30, request_id, 14]) + rpm_ack_payload(*range(20))))
        return replies
    return script


def test_segmented_request_is_carried_window_by_window():
    async def main():
        async with client(max_apdu_length=50) as c:
            return await c.read_property_multiple(device.address, [
                (("analog-value", n), ["object-name", "present-value"]) for n in range(20)])

    with ScriptedDevice(segmented_request_acker(answer=True)) as device:
        result = run(main())
    assert [o.object_id.instance for o in result.objects] == list(range(20))
    assert len(device.received) > 4 and [d[9] for d in device.received] == list(range(len(device.received)))


def test_segmented_request_without_answer_times_out():
    async def main():
        async with client(max_apdu_length=50, apdu_timeout_secs=0.1, apdu_retries=1) as c:
            await c.read_property_multiple(device.address, [
                (("analog-value", n), ["object-name"]) for n in range(10)])

    with ScriptedDevice(segmented_request_acker(answer=False)) as device, pytest.raises(BacnetTimeoutError):
        run(main())


# ---------------------------------------------------------------------------
# Who-Is


def i_am(instance: int) -> bytes:
    word = (8 << 22 | instance).to_bytes(4, "big")
    return frame(b"\x10\x00\xc4" + word + b"\x22\x05\xc4\x91\x03\x21\x0f")


@pytest.mark.parametrize("low, high, broadcast, octets", [
    (None, None, True, "810b0008 0100 1008"),
    (None, None, False, "810a0008 0100 1008"),
    (5, 256, True, "810b000d 0100 1008 0905 1a0100"),
    (0, 4194303, False, "810a000e 0100 1008 0900 1b3fffff"),
])
def test_who_is_datagram(low, high, broadcast, octets):
    assert who_is_datagram(low, high, broadcast=broadcast) == bytes.fromhex(octets)


@pytest.mark.parametrize("low, high", [(5, None), (None, 5), (6, 5), (0, 4194304), (-1, 3)])
def test_who_is_datagram_refuses_bad_limits(low, high):
    with pytest.raises(ValueError):
        who_is_datagram(low, high)


def test_who_is_collects_i_am_answers_inside_the_limits():
    async def main():
        async with client() as c:
            return await c.who_is(device.address, 100, 200, timeout=30, expect=1)

    # The device also announces an instance outside the limits; it must not count.
    with ScriptedDevice(lambda rq: [i_am(7), i_am(150)]) as device:
        (found,) = run(main())
    assert device.received == [bytes.fromhex("810a000c 0100 1008 0964 19c8")]
    assert (found.address, found.instance, found.max_apdu, found.segmentation, found.vendor_id) == \
        (device.address, 150, 1476, 3, 15)


# ---------------------------------------------------------------------------
# Names, numbers and addresses


@pytest.mark.parametrize("text, expected", [
    ("10.0.0.5", ("10.0.0.5", 47808, None, None)),
    ("10.0.0.5:47809", ("10.0.0.5", 47809, None, None)),
    (" 127.0.0.1:1 ", ("127.0.0.1", 1, None, None)),
    ("10.0.0.1/1234:11", ("10.0.0.1", 47808, 1234, b"\x11")),
    ("10.0.0.1:47809/5:C0A80105BAC0", ("10.0.0.1", 47809, 5, bytes.fromhex("c0a80105bac0"))),
    ("10.0.0.1/1234", ("10.0.0.1", 47808, 1234, None)),  # every device of network 1234
    ("255.255.255.255/65535", ("255.255.255.255", 47808, 65535, None)),  # every device of every network
])
def test_parse_address(text, expected):
    addr = parse_address(text)
    assert address_key(addr) == expected
    assert parse_device(text) is not addr and address_key(parse_device(text)) == expected
    # The text form reads back as the same address, and the repr shows it for a routed device.
    assert address_key(parse_address(format_address(addr))) == expected
    if addr.network is None:
        assert repr(addr) == f"BacnetAddr('{addr.addr}', {addr.port})"
    else:
        assert repr(addr) == f"BacnetAddr('{format_address(addr)}')"


@pytest.mark.parametrize("text", ["10.0.0", "010.0.0.1", "10.0.0.256", "host", "10.0.0.5:0", "10.0.0.5:65536",
                                  "10.0.0.5:", "10.0.0.5:x", "10.0.0.5:-1", "10.0.0.1/0:11", "10.0.0.1/65536:11",
                                  "10.0.0.1/:11", "10.0.0.1/12:", "10.0.0.1/12:1", "10.0.0.1/12:0102030405060708",
                                  "10.0.0.1/12:zz", "10.0.0.1/65535:11", "10.0.0.1/x", "device:", "device:4194304"])
def test_parse_address_refuses(text):
    with pytest.raises(ValueError):
        parse_device(text) if text.startswith("device") else parse_address(text)


@pytest.mark.parametrize("value, expected", [(1234, 1234), ("1234", 1234), ("device:1234", 1234), (" DEVICE:0 ", 0),
                                             ("8:4194303", 4194303)])
def test_parse_device_by_instance(value, expected):
    assert parse_device(value) == expected


def test_bacnet_addr_network_and_mac_are_checked():
    addr = ferromesh.BacnetAddr("10.0.0.1", 47808, 1234, b"\x11")
    assert (addr.network, addr.mac) == (1234, b"\x11")
    addr.mac = bytearray(b"\x01\x02")
    assert addr.mac == b"\x01\x02"
    for attribute, value, error in [("network", 0, ValueError), ("network", 65536, OverflowError),
                                    ("network", "1", TypeError), ("mac", b"", ValueError),
                                    ("mac", bytes(8), ValueError), ("mac", [1], TypeError)]:
        with pytest.raises(error, match=attribute):
            setattr(addr, attribute, value)
    assert (addr.network, addr.mac) == (1234, b"\x01\x02")
    # A MAC needs a network of one device; the Stack refuses it otherwise.
    for network in (None, 65535):
        bad = ferromesh.BacnetAddr("10.0.0.1", 47808, network, b"\x11")
        with pytest.raises(ValueError, match="needs a network"):
            ferromesh.Stack().process(ferromesh.InputSend(ferromesh.ServiceReadProperty(ObjectIdentifier(8, 1), 77),
                                                          bad))


@pytest.mark.parametrize("value, expected", [
    ("analog-value:1", (2, 1)),
    ("ANALOG_VALUE:1", (2, 1)),
    ("analogValue:7", (2, 7)),
    ("device:4194303", (8, 4194303)),
    ("130:5", (130, 5)),
    (("multi-state-value", 3), (19, 3)),
    ((ObjectType.DEVICE, 1), (8, 1)),
])
def test_parse_object_id(value, expected):
    oid = parse_object_id(value)
    assert (int(oid.object_type), oid.instance) == expected


@pytest.mark.parametrize("value", ["analog-value", "analog-value:", "no-such-type:1", "device:4194304",
                                   "1024:1", "analog-value:-1"])
def test_parse_object_id_refuses(value):
    with pytest.raises(ValueError):
        parse_object_id(value)


@pytest.mark.parametrize("value, expected", [
    ("present-value", 85), ("PRESENT_VALUE", 85), ("presentValue", 85), ("85", 85), (85, 85),
    (PropertyIdentifier.OBJECT_LIST, 76), ("4294967295", 4294967295),
])
def test_parse_property_id(value, expected):
    assert parse_property_id(value) == expected


@pytest.mark.parametrize("value", ["present_valu", "", "4294967296", -1])
def test_parse_property_id_refuses(value):
    with pytest.raises(ValueError):
        parse_property_id(value)


# ---------------------------------------------------------------------------
# WritePropertyMultiple and read_all


@pytest.mark.parametrize(
    "error, raised",
    [
        # class property, code write-access-denied, first failed write analog-value 1 priority-array[3]
        ("0e9102912 80f1e0c00800001195729031f".replace(" ", ""), "BacnetWriteMultipleError"),
        ("91029128", "BacnetErrorResponse"),  # a device that leaves the failed write out
    ],
)
def test_write_property_multiple_names_the_failed_write(error, raised):
    from ferromesh.client import BacnetWriteMultipleError

    async def main():
        async with client() as c:
            await c.write_property_multiple(device.address, [
                ("analog-value:1", [("present-value", 21.5, 8), (("priority-array", 3), None)])])

    def answer(rq: bytes) -> list[bytes]:
        return [frame(bytes([0x50, invoke_id(rq), 16]) + bytes.fromhex(error))]

    with ScriptedDevice(answer) as device:
        with pytest.raises(BacnetErrorResponse) as failed:
            run(main())
    assert device.received[0][9:] == bytes.fromhex("10 0c00800001 1e 0955 2e4441ac00002f 3908 0957 1903 2e002f 1f")
    assert type(failed.value).__name__ == raised
    assert (failed.value.error_class, failed.value.error_code) == (ErrorClass.PROPERTY, ErrorCode.WRITE_ACCESS_DENIED)
    if isinstance(failed.value, BacnetWriteMultipleError):
        assert (failed.value.object_id.instance, failed.value.property_id, failed.value.array_index) == (
            1, PropertyIdentifier.PRIORITY_ARRAY, 3)
        assert str(failed.value).endswith("first failed write: analog-value:1 priority-array[3]")


@pytest.mark.parametrize("refusal", ["6000 09", "7100 04"])  # Reject unrecognized-service, Abort segmentation
def test_read_all_falls_back_to_the_property_list(refusal):
    def answer(rq: bytes) -> list[bytes]:
        if rq[9] == 14:  # ReadPropertyMultiple
            head = bytes.fromhex(refusal.replace(" ", ""))
            return [frame(bytes([head[0], invoke_id(rq), head[1]]))]
        prop = rq[16:16 + (rq[15] & 0x07)]
        if prop == b"\x01\x73":  # property-list: present-value, description
            return [read_ack(rq, b"\x91\x55\x91\x1c")]
        if prop == b"\x1c":
            return [error_pdu(rq, 2, 32)]
        return [read_ack(rq, b"\x21" + prop[-1:])]

    async def main():
        async with client() as c:
            return await c.read_all(device.address, "analog-value:1")

    with ScriptedDevice(answer) as device:
        values = run(main())
    assert {int(p): getattr(v, "value", None) for p, v in values.items() if p != 28} == {75: 75, 77: 77, 79: 79, 85: 85}
    assert (values[PropertyIdentifier.DESCRIPTION].error_class, values[28].error_code) == (2, 32)
