"""The independent peer: a bacpypes3 device in a subprocess on 127.0.0.1.

It is used only through the wire. The fixture waits until the device answers
a Who-Is sent from a plain socket (not through ferromesh), and always
terminates it.
"""

import importlib.util
import os
import socket
import time

import pytest

from ferromesh.cli import SimulatedDevice

WHO_IS = bytes.fromhex("810a0008 0100 1008")


def _answers_who_is(port: int) -> bool:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        s.settimeout(0.5)
        s.sendto(WHO_IS, ("127.0.0.1", port))
        try:
            data, _ = s.recvfrom(1500)
        except TimeoutError:
            return False
    return data[6:8] == b"\x10\x00"  # an I-Am


@pytest.fixture(scope="session")
def peer_installed():
    if importlib.util.find_spec("bacpypes3") is None:
        message = "the interoperability tests need bacpypes3 (pip install 'ferromesh[demo]')"
        if os.environ.get("CI"):
            pytest.fail(message)
        pytest.skip(message)


@pytest.fixture(scope="session")
def device(peer_installed):
    with SimulatedDevice() as dev:
        deadline = time.monotonic() + 20
        while not _answers_who_is(dev.port):
            assert time.monotonic() < deadline, f"device did not answer: {dev.stderr_tail()}"
        yield dev
