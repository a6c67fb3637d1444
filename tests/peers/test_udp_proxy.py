"""The lossy proxy between a client socket and an echoing device socket:
what it decides is what happens on the wire, a seed fixes every decision,
and a black hole loses one direction only."""

from __future__ import annotations

import asyncio
import time
from collections import Counter

import pytest

from .udp_proxy import Impairment, UdpProxy

LOSSY = Impairment(drop=0.1, duplicate=0.1, delay=0.1, reorder=0.1, max_delay=0.3, reorder_timeout=0.2)


class _Endpoint(asyncio.DatagramProtocol):
    """Records what arrives (payload, time); echoes it back when asked to."""

    def __init__(self, echo: bool) -> None:
        self.echo = echo
        self.arrivals: list[tuple[int, float]] = []
        self.transport: asyncio.DatagramTransport | None = None

    def connection_made(self, transport) -> None:  # type: ignore[no-untyped-def]
        self.transport = transport

    def datagram_received(self, data: bytes, addr) -> None:  # type: ignore[no-untyped-def]
        self.arrivals.append((int.from_bytes(data, "big"), time.monotonic()))
        if self.echo:
            assert self.transport is not None
            self.transport.sendto(data, addr)


async def _run(seed: int, count: int = 400):
    """Sends ``count`` numbered datagrams through a lossy proxy to an echo;
    returns the proxy and what each end saw, with the send times."""
    loop = asyncio.get_running_loop()
    device_transport, device = await loop.create_datagram_endpoint(lambda: _Endpoint(echo=True),
                                                                   local_addr=("127.0.0.1", 0))
    client_transport, client = await loop.create_datagram_endpoint(lambda: _Endpoint(echo=False),
                                                                   local_addr=("127.0.0.1", 0))
    sent_at = {}
    async with UdpProxy(device_transport.get_extra_info("sockname"), seed=seed, client_to_device=LOSSY,
                        device_to_client=LOSSY) as proxy:
        for n in range(count):
            sent_at[n] = time.monotonic()
            client_transport.sendto(n.to_bytes(4, "big"), proxy.address)
            await asyncio.sleep(0.001)
        await asyncio.sleep(LOSSY.max_delay + LOSSY.reorder_timeout + LOSSY.duplicate_gap + 0.3)
    device_transport.close()
    client_transport.close()
    return proxy, device.arrivals, client.arrivals, sent_at


@pytest.mark.parametrize("seed", [7])
def test_every_decision_happens_on_the_wire_and_a_seed_repeats_them(seed):
    proxy, at_device, at_client, sent_at = asyncio.run(_run(seed))
    decisions = [d for d in proxy.decisions if d.direction == "client_to_device"]
    assert [d.index for d in decisions] == list(range(400))  # loopback keeps the sending order

    # What the device received is exactly what was decided: dropped, once, or twice.
    received = Counter(n for n, _ in at_device)
    for d in decisions:
        expected = 0 if d.action == "drop" else (2 if d.duplicate_after is not None else 1)
        assert received[d.index] == expected, d
    first_arrival = {}
    for position, (n, when) in enumerate(at_device):
        first_arrival.setdefault(n, (position, when))
    for d in decisions:
        if d.delay:  # held back at least as long as decided
            assert first_arrival[d.index][1] - sent_at[d.index] >= d.delay - 0.005, d
        if d.reordered and d.index + 1 < len(decisions):
            after = decisions[d.index + 1]
            if after.action == "forward" and not after.delay and not after.reordered:
                assert first_arrival[d.index][0] > first_arrival[d.index + 1][0], d

    # The counts add up in both directions, and each impairment happened at about its rate.
    for direction, arrived, delivered in (("client_to_device", 400, at_device),
                                          ("device_to_client", len(at_device), at_client)):
        counts = proxy.counts[direction]
        assert counts["received"] == arrived
        assert counts["sent"] == len(delivered) == arrived - counts["dropped"] + counts["duplicated"]
        for what in ("dropped", "duplicated", "delayed", "reordered"):
            assert 0.04 * arrived <= counts[what] <= 0.16 * arrived, (direction, what, counts)

    # Per direction, the n-th datagram meets the same fate for a seed, however the directions interleave.
    def by_direction(run):
        return sorted(run.decisions, key=lambda d: (d.direction, d.index))

    again, *_ = asyncio.run(_run(seed))
    assert by_direction(again) == by_direction(proxy) and again.counts == proxy.counts
    other, *_ = asyncio.run(_run(seed + 1))
    assert by_direction(other)[:400] != by_direction(proxy)[:400]


def test_a_black_hole_swallows_one_direction_for_a_while():
    async def main():
        loop = asyncio.get_running_loop()
        device_transport, device = await loop.create_datagram_endpoint(lambda: _Endpoint(echo=True),
                                                                       local_addr=("127.0.0.1", 0))
        client_transport, client = await loop.create_datagram_endpoint(lambda: _Endpoint(echo=False),
                                                                       local_addr=("127.0.0.1", 0))
        async with UdpProxy(device_transport.get_extra_info("sockname"), seed=0) as proxy:
            proxy.black_hole("device_to_client", 0.4)
            for n in range(10):
                client_transport.sendto(n.to_bytes(4, "big"), proxy.address)
            await asyncio.sleep(0.6)
            client_transport.sendto((99).to_bytes(4, "big"), proxy.address)
            await asyncio.sleep(0.2)
        device_transport.close()
        client_transport.close()
        return proxy, device.arrivals, client.arrivals

    proxy, at_device, at_client = asyncio.run(main())
    assert [n for n, _ in at_device] == [*range(10), 99]
    assert [n for n, _ in at_client] == [99]
    assert proxy.counts["device_to_client"]["black_holed"] == 10
    assert proxy.counts["client_to_device"]["black_holed"] == 0
