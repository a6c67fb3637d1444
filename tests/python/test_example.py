"""examples/read_property.py as a user runs it, against a tiny UDP device on 127.0.0.1."""

import pathlib
import socket
import subprocess
import sys
import threading

import pytest

from peer import abort, complex_ack, error_pdu, i_am, read_property_ack, reject, segment

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "read_property.py"
REAL_72_5 = b"\x44\x42\x91\x00\x00"


def parse(datagram):
    """(invoke ID, service choice, service parameters) of an unsegmented request."""
    return datagram[8], datagram[9], datagram[10:]


class Responder:
    """Answers each datagram with what `script` returns; records what it got.

    An answer given as ("stranger", datagram) comes from another port, as if from another device.
    """

    def __init__(self, script):
        self.script = script
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.05)
        self.port = self.sock.getsockname()[1]
        self.stranger = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.stranger.bind(("127.0.0.1", 0))
        self.received = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc_info):
        self._stop.set()
        self._thread.join()
        self.sock.close()
        self.stranger.close()

    def _serve(self):
        while not self._stop.is_set():
            try:
                data, sender = self.sock.recvfrom(2048)
            except TimeoutError:
                continue
            self.received.append(data)
            for answer in self.script(data):
                if isinstance(answer, tuple):
                    self.stranger.sendto(answer[1], sender)
                else:
                    self.sock.sendto(answer, sender)


def run_example(port, *args):
    return subprocess.run(
        [sys.executable, str(EXAMPLE), f"127.0.0.1:{port}", *args], capture_output=True, text=True, timeout=60
    )


def read_ack(data):
    invoke_id, service, _ = parse(data)
    return [complex_ack(invoke_id, service, read_property_ack(1, REAL_72_5))]


def test_reads_the_value():
    with Responder(read_ack) as device:
        done = run_example(device.port, "analog-value:1", "present-value")
    assert (done.returncode, done.stdout, done.stderr) == (0, "PropertyValueReal(72.5)\n", "")
    [request] = device.received
    assert parse(request) == (0, 12, bytes.fromhex("0c0080000119 55".replace(" ", "")))


def test_numbers_and_a_segmented_answer():
    payload = read_property_ack(1, REAL_72_5)

    def segmented(data):
        if data[6] == 0x40:  # the example's SegmentACK of segment 0
            return [segment(data[7], 1, False, 2, 12, payload[6:])]
        return [segment(data[8], 0, True, 2, 12, payload[:6])]

    with Responder(segmented) as device:
        done = run_example(device.port, "2:1", "85")
    assert (done.returncode, done.stdout) == (0, "PropertyValueReal(72.5)\n")
    assert [d[6] for d in device.received] == [0x02, 0x40, 0x40]


def test_answers_that_are_not_ours_are_ignored():
    """An answer for another invoke ID, one from another device, and an I-Am do not end the request."""
    def script(data):
        invoke_id, service, _ = parse(data)
        not_ours = complex_ack(invoke_id, service, b"\x00")
        return [complex_ack(invoke_id + 1, service, b"\x00"), ("stranger", not_ours), i_am(99), *read_ack(data)]

    with Responder(script) as device:
        done = run_example(device.port, "analog-value:1", "present-value")
    assert (done.returncode, done.stdout) == (0, "PropertyValueReal(72.5)\n")
    assert "UnconfirmedIAm" in done.stderr


@pytest.mark.parametrize(
    "answer, message",
    [
        (lambda i, s: error_pdu(i, s, 2, 32), "device refused: error class=2 code=32"),
        (lambda i, s: reject(i, 9), "device refused: reject reason=9"),
        (lambda i, s: abort(i, 4), "aborted, reason 4"),
        (lambda i, s: complex_ack(i, s, b"\x0d"), "undecodable answer: Decode error: InvalidContextTag"),
    ],
    ids=["error", "reject", "abort", "undecodable"],
)
def test_refusals_exit_1(answer, message):
    with Responder(lambda data: [answer(*parse(data)[:2])]) as device:
        done = run_example(device.port, "analog-value:1", "present-value")
    assert (done.returncode, done.stdout, done.stderr.strip()) == (1, "", message)


def test_silence_times_out_after_the_retries():
    with Responder(lambda data: []) as device:
        done = run_example(device.port, "analog-value:1", "present-value", "--apdu-timeout", "0.2", "--retries", "2")
    assert (done.returncode, done.stderr.strip()) == (3, "no answer from the device")
    assert len(device.received) == 3 and len(set(device.received)) == 1


@pytest.mark.parametrize(
    "args", [["010.0.0.1", "analog-value:1", "85"], ["127.0.0.1", "lamp:1", "85"], ["127.0.0.1", "2:1", "colour"],
             ["127.0.0.1:x", "2:1", "85"], ["127.0.0.1", "2:1", "85", "--retries", "256"]],
)
def test_bad_command_lines_exit_2(args):
    done = subprocess.run([sys.executable, str(EXAMPLE), *args], capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and done.stderr
