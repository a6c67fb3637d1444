"""Unconfirmed requests through Stack.process: the exact datagram, and every refusal."""

import pytest

from ferromesh import (
    BacnetAddr,
    InputSend,
    InputSendUnconfirmed,
    InputTick,
    ObjectIdentifier,
    OutputTransmit,
    ServiceReadProperty,
    ServiceWhoIs,
    Stack,
)


@pytest.mark.parametrize("low, high, addr, octets", [
    (None, None, "255.255.255.255", "810b0008 0100 1008"),
    (None, None, "192.168.1.20", "810a0008 0100 1008"),
    (5, 256, "10.0.0.255", "810b000d 0100 1008 0905 1a0100"),
    (0, 4194303, "192.168.1.20", "810a000e 0100 1008 0900 1b3fffff"),
])
def test_who_is_datagram(low, high, addr, octets):
    stack = Stack()
    dest = BacnetAddr(addr, 47808)
    [transmit] = stack.process(InputSendUnconfirmed(ServiceWhoIs(low, high), dest))
    assert isinstance(transmit, OutputTransmit)
    assert bytes(transmit.data) == bytes.fromhex(octets)
    assert (transmit.dest.addr, transmit.dest.port) == (addr, 47808)
    # Nothing waits for an answer: no deadline, and no invoke ID was taken.
    assert stack.process(InputTick(1000.0)) == []
    assert bytes(stack.process(InputSend(ServiceReadProperty(ObjectIdentifier(8, 1), 75), dest))[0].data)[8] == 0


@pytest.mark.parametrize("low, high, error", [
    (5, None, ValueError), (None, 5, ValueError), (6, 5, ValueError), (0, 4194304, ValueError),
    (-1, 3, ValueError), (0, 1 << 70, ValueError), (1.0, 2, TypeError), (1, "2", TypeError),
])
def test_who_is_refuses_limits_it_cannot_send(low, high, error):
    with pytest.raises(error):
        ServiceWhoIs(low, high)


def test_limits_read_back_and_stay_fixed():
    who_is = ServiceWhoIs(high=9, low=3)
    assert (who_is.low, who_is.high) == (3, 9)
    assert (ServiceWhoIs().low, ServiceWhoIs().high) == (None, None)
    with pytest.raises(AttributeError):
        who_is.low = 10


def test_confirmed_and_unconfirmed_services_do_not_mix():
    addr = BacnetAddr("192.168.1.20", 47808)
    read = ServiceReadProperty(ObjectIdentifier(8, 1), 75)
    for wrong in (InputSend(ServiceWhoIs(), addr), InputSendUnconfirmed(read, addr), InputSendUnconfirmed(None, addr)):
        with pytest.raises(ValueError, match="^Unknown service type$"):
            Stack().process(wrong)
    with pytest.raises(ValueError, match="Invalid IPv4 address"):
        Stack().process(InputSendUnconfirmed(ServiceWhoIs(), BacnetAddr("not-an-address", 47808)))
