"""A lossy UDP proxy for tests: drops, duplicates, delays and reorders
datagrams between a client and one device, each direction on its own terms.

The client sends to ``proxy.address`` instead of the device; the proxy
forwards from its own socket, so the device answers the proxy, which relays
to the client (the last address that sent it anything other than the
device). Decisions come from one seeded generator per direction, drawn the
same number of times for every datagram, so that the n-th datagram of a
direction meets the same fate for a seed whatever the timing: a run is
reproducible given the same arrival order. Every decision is logged.

    async with UdpProxy(device, seed=7, client_to_device=Impairment(drop=0.05)) as proxy:
        client.read(proxy.address, ...)
        proxy.counts["device_to_client"]["dropped"]
"""

from __future__ import annotations

import asyncio
import random
from collections import Counter
from dataclasses import dataclass, field
from typing import Literal

Direction = Literal["client_to_device", "device_to_client"]
DIRECTIONS: tuple[Direction, Direction] = ("client_to_device", "device_to_client")


@dataclass(frozen=True)
class Impairment:
    """Rates (0..1) of what befalls the datagrams of one direction.

    ``delay`` is the share of datagrams held back by up to ``max_delay``
    seconds; ``reorder`` the share held until the next datagram of the same
    direction has gone (or ``reorder_timeout`` passed, if none comes); a
    duplicate follows its original after up to ``duplicate_gap`` seconds."""

    drop: float = 0.0
    duplicate: float = 0.0
    delay: float = 0.0
    reorder: float = 0.0
    max_delay: float = 3.0
    duplicate_gap: float = 0.05
    reorder_timeout: float = 0.5

    def __post_init__(self) -> None:
        for name in ("drop", "duplicate", "delay", "reorder"):
            if not 0.0 <= getattr(self, name) <= 1.0:
                raise ValueError(f"{name} must be a rate between 0 and 1")


@dataclass(frozen=True)
class Decision:
    """What happened to the ``index``-th datagram of ``direction``."""

    direction: Direction
    index: int
    action: str  # "forward", "drop", "black-hole"
    delay: float = 0.0
    duplicate_after: float | None = None
    reordered: bool = False


@dataclass
class _Lane:
    impairment: Impairment
    rng: random.Random
    arrived: int = 0
    black_hole_until: float = 0.0
    held: list[tuple[bytes, asyncio.TimerHandle]] = field(default_factory=list)


class UdpProxy(asyncio.DatagramProtocol):
    def __init__(self, device: tuple[str, int], *, seed: int,
                 client_to_device: Impairment | None = None, device_to_client: Impairment | None = None,
                 host: str = "127.0.0.1") -> None:
        self.device = device
        self.seed = seed
        self.host = host
        self._lanes = {
            direction: _Lane(impairment or Impairment(), random.Random(f"{seed}/{direction}"))
            for direction, impairment in zip(DIRECTIONS, (client_to_device, device_to_client))}
        self.counts: dict[Direction, Counter[str]] = {d: Counter() for d in DIRECTIONS}
        self.decisions: list[Decision] = []
        self.client: tuple[str, int] | None = None
        self._transport: asyncio.DatagramTransport | None = None
        self._timers: set[asyncio.TimerHandle] = set()

    async def __aenter__(self) -> UdpProxy:
        await self.start()
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        self.close()

    async def start(self) -> None:
        loop = asyncio.get_running_loop()
        self._transport, _ = await loop.create_datagram_endpoint(lambda: self, local_addr=(self.host, 0))

    def close(self) -> None:
        for timer in self._timers:
            timer.cancel()
        self._timers.clear()
        if self._transport is not None:
            self._transport.close()
            self._transport = None

    @property
    def address(self) -> tuple[str, int]:
        """Where the client sends instead of the device."""
        assert self._transport is not None, "start the proxy first"
        host, port = self._transport.get_extra_info("sockname")[:2]
        return host, port

    @property
    def holding(self) -> int:
        """Datagrams (and duplicates) delayed or held for reordering, not yet sent."""
        return len(self._timers)

    def impair(self, direction: Direction, impairment: Impairment) -> None:
        """From now on, ``direction`` meets ``impairment`` (the generator goes on where it was)."""
        self._lanes[direction].impairment = impairment

    def black_hole(self, direction: Direction, seconds: float) -> None:
        """Loses every datagram of ``direction`` for the next ``seconds``."""
        self._lanes[direction].black_hole_until = asyncio.get_running_loop().time() + seconds

    def datagram_received(self, data: bytes, addr: tuple[str, int]) -> None:
        if addr == self.device:
            direction: Direction = "device_to_client"
            destination = self.client
        else:
            direction, destination = "client_to_device", self.device
            self.client = addr
        if destination is not None:
            self._route(direction, data, destination)

    def _route(self, direction: Direction, data: bytes, destination: tuple[str, int]) -> None:
        lane, counts = self._lanes[direction], self.counts[direction]
        rates = lane.impairment
        loop = asyncio.get_running_loop()
        index, lane.arrived = lane.arrived, lane.arrived + 1
        counts["received"] += 1
        # Six draws for every datagram, used or not, keep the sequence aligned.
        u_drop, u_dup, u_delay, u_reorder = (lane.rng.random() for _ in range(4))
        delay, gap = lane.rng.uniform(0.0, rates.max_delay), lane.rng.uniform(0.0, rates.duplicate_gap)
        if loop.time() < lane.black_hole_until:
            counts["black_holed"] += 1
            self.decisions.append(Decision(direction, index, "black-hole"))
            return
        if u_drop < rates.drop:
            counts["dropped"] += 1
            self.decisions.append(Decision(direction, index, "drop"))
            return
        delayed = u_delay < rates.delay
        reordered = not delayed and u_reorder < rates.reorder
        duplicate_after = gap if u_dup < rates.duplicate else None
        self.decisions.append(Decision(direction, index, "forward", delay if delayed else 0.0, duplicate_after,
                                       reordered))
        if delayed:
            counts["delayed"] += 1
            self._later(delay, data, destination, counts)
        elif reordered:
            counts["reordered"] += 1
            handle = loop.call_later(rates.reorder_timeout, self._release_held, lane, destination, counts)
            self._timers.add(handle)
            lane.held.append((data, handle))
        else:
            self._send(data, destination, counts)
        if not reordered:
            # Held datagrams go out after the one that arrived next: now they are out of order.
            self._release_held(lane, destination, counts)
        if duplicate_after is not None:
            counts["duplicated"] += 1
            self._later((delay if delayed else 0.0) + duplicate_after, data, destination, counts)

    def _release_held(self, lane: _Lane, destination: tuple[str, int], counts: Counter[str]) -> None:
        held, lane.held = lane.held, []
        for data, handle in held:
            handle.cancel()
            self._timers.discard(handle)
            self._later(0.0, data, destination, counts)

    def _later(self, seconds: float, data: bytes, destination: tuple[str, int], counts: Counter[str]) -> None:
        def fire() -> None:
            self._timers.discard(handle)
            self._send(data, destination, counts)

        handle = asyncio.get_running_loop().call_later(seconds, fire)
        self._timers.add(handle)

    def _send(self, data: bytes, destination: tuple[str, int], counts: Counter[str]) -> None:
        if self._transport is not None:
            self._transport.sendto(data, destination)
            counts["sent"] += 1
