"""Soak: one Client, many requests outstanding, lossy UDP proxies, bacpypes3
devices; every operation is checked against what the devices hold.

    bash scripts/soak.sh 30                    # seed after seed for 30 minutes
    bash scripts/soak.sh --seed 7              # one run again
    python -P tests/soak/soak.py --seed 7      # the same, with the package installed

A run starts ``devices`` bacpypes3 devices in one process and puts a proxy
(``peers.UdpProxy``) in front of each that drops, duplicates, delays and
reorders datagrams in both directions, at each loss rate in turn (1 %, 5 %,
20 %, ``rounds`` rounds each), and black-holes one direction for a while in
every round. One Client goes through all of it: through the proxies it
drives a list of operations per device and round, drawn from the seed: ReadProperty,
ReadPropertyMultiple (answers come in segments), WriteProperty of a Real
and of a long CharacterString (requests go in segments: small
``max_apdu_length``), writes read back, and a few callers that stop waiting
early. The seed fixes the operations, the values written and each proxy
decision by datagram index; the timing, and so which datagram meets which
fate, varies from run to run.

What is checked:
- every operation ends, once; the event loop reports no error; the stack
  times a request out only while it is in flight: never one it ended
  already, nor one the client took back (the client itself would drop such
  an event unseen). Answers under an invoke ID not in use (late and
  duplicated datagrams) the stack reports by design; they are counted;
- a read returns exactly what the device holds (read losslessly at the start);
- a failure is a timeout (the stack's, or the caller's own deadline), an
  abort or an error the device sent; never a wrong value, never another
  exception;
- writes, against the device's log of every write that took effect and its
  final values: a write reported done took effect; a write takes effect
  under one invoke ID only and never after a later write to its property;
  nothing takes effect that was not written; a read-back sees the write, or
  (when the write failed) the value before it;
- after each round the stack holds no transaction, no segmentation state and
  no invoke ID in use (``Stack.table_sizes``); from the end of the first
  round to the end of the last, allocated memory does not grow.

Two limits keep the network itself from breaking what is checked, and each
is what a site must provide anyway:
- A write to a property starts only once every copy of the previous write
  to it has arrived or been lost (``Plan.in_flight`` after it ended): the
  network may deliver a duplicate or delayed copy late, and then nothing a
  client does can keep it in order. A copy that lands after the later write
  was therefore sent after its own write had ended: a fault of the client.
- Requests to a device are paced so that an invoke ID is reused only after
  any answer to its previous use has arrived or been lost (``Plan.rate``):
  BACnet's invoke IDs are 8 bits, and a late answer to an ID in use again is
  indistinguishable from the answer it is waiting for.
"""

from __future__ import annotations

import argparse
import asyncio
import ctypes
import gc
import itertools
import json
import random
import string
import sys
import time
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Iterator

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # the peers package beside this directory

from peers import DeviceSpec, Impairment, Topology, UdpProxy, start_devices  # noqa: E402

from ferromesh import (  # noqa: E402
    BacnetTimeoutError,
    EventAbort,
    EventError,
    EventResponse,
    EventTimeout,
    ReadPropertyMultipleResult,
    ReadPropertyResult,
    StackConfig,
)
from ferromesh.client import (  # noqa: E402
    BacnetAbortError,
    BacnetErrorResponse,
    BacnetRejectError,
    Client,
)

LOSS_RATES = (0.01, 0.05, 0.20)
FIRST_INSTANCE = 4401
SITE_POINTS = 80  # analog inputs, analog values, binary values, multi-state values 100..119
# Few enough that writes to one property follow each other within seconds.
SLOT_OBJECTS = [f"analog-value:{100 + n}" for n in range(16)]
STATIC_OBJECTS = [f"{kind}:{100 + n}" for kind in ("analog-input", "binary-value", "multi-state-value")
                  for n in range(SITE_POINTS // 4)]
STATIC_PROPERTIES = ("object-name", "description", "present-value")
# An operation that has not ended by then never will: the stack gives up far sooner.
HANG_LIMIT = 120.0
# How long the stack may take, once every operation ended, to drop what it holds.
DRAIN_LIMIT = 30.0


@dataclass(frozen=True)
class Plan:
    """Everything a run depends on: the seed and these replay it."""

    seed: int
    losses: tuple[float, ...] = LOSS_RATES  # in turn, ``rounds`` rounds each
    rounds: int = 2
    operations: int = 300  # per device and round
    devices: int = 2
    outstanding: int = 24  # requests in flight per device at most
    max_delay: float = 2.0  # a delayed datagram is held up to this long
    black_hole: float = 2.0  # seconds one direction loses everything, once a round
    deadline_share: float = 0.12  # operations whose caller stops waiting early (within 1.5 s)
    apdu_timeout: float = 3.0
    apdu_retries: int = 3
    max_apdu_length: int = 206  # writes of long strings go in segments

    def impairment(self, loss: float) -> Impairment:
        """Each datagram: lost, duplicated, delayed, or held back for reordering, at ``loss`` each."""
        return Impairment(drop=loss, duplicate=loss, delay=loss, reorder=loss, max_delay=self.max_delay,
                          duplicate_gap=0.05, reorder_timeout=0.5)

    def round_losses(self) -> list[float]:
        return [loss for loss in self.losses for _ in range(self.rounds)]

    @property
    def in_flight(self) -> float:
        """The longest a datagram can spend in a proxy, duplicates included."""
        rates = self.impairment(1.0)
        return rates.max_delay + rates.duplicate_gap + rates.reorder_timeout + 0.25

    @property
    def rate(self) -> float:
        """Requests per second and device: an invoke ID comes round again only
        after (256 - outstanding) others, and an answer can arrive up to two
        transits after its request ended."""
        return (256 - self.outstanding) / (2 * self.in_flight)

    def replay(self) -> str:
        return (f"bash scripts/soak.sh --seed {self.seed} " + " ".join(f"--loss {loss}" for loss in self.losses) +
                f" --rounds {self.rounds} --operations {self.operations}")


# -- what is written -----------------------------------------------------------


@dataclass
class Slot:
    """One property that writes go to, one at a time, ``in_flight`` apart."""

    number: int
    object_id: str
    property_id: str
    initial: Any = None
    lock: asyncio.Lock = field(default_factory=asyncio.Lock)
    free_at: float = 0.0
    # Every write of the run, drawn up front: nothing the checks keep grows while it runs.
    attempts: list[WriteAttempt] = field(default_factory=list)

    def value(self, n: int) -> Any:
        if self.property_id == "present-value":
            return float((self.number + 1) * 10000 + n)  # exact in binary32
        filler = random.Random(f"{self.number}/{n}")
        text = "".join(filler.choices(string.ascii_letters, k=filler.randint(200, 600)))
        return f"slot {self.number} write {n:05d} {text}"

    def write_number(self, value: Any) -> int | None:
        """Which write put ``value`` there (0: none, the initial value); None for a value never written."""
        if value == self.initial:
            return 0
        if self.property_id == "present-value":
            n = int(value) - (self.number + 1) * 10000 if isinstance(value, float) else -1
        else:
            words = value.split(" ") if isinstance(value, str) else []
            n = int(words[3]) if len(words) > 3 and words[:3] == ["slot", str(self.number), "write"] else -1
        return n if 0 < n <= len(self.attempts) and self.value(n) == value else None


@dataclass
class WriteAttempt:
    n: int
    loss: float  # of the round it belongs to
    outcome: str = "pending"
    read_back: int | None = None  # the write number of the value read back, when it was


def describe(attempt: WriteAttempt) -> str:
    return f"{attempt.outcome}, at {attempt.loss:.0%} loss"


def slots_of_device() -> list[Slot]:
    # Real and string properties in turn, so that every round writes both.
    return [Slot(n, obj, prop) for n, (obj, prop) in
            enumerate(itertools.product(SLOT_OBJECTS, ("present-value", "description")))]


# -- operations -----------------------------------------------------------------


@dataclass(frozen=True)
class Operation:
    kind: str  # "read", "read-multiple", "write"
    loss: float  # of the round it belongs to
    targets: tuple[str, ...] = ()  # objects (the property of a read comes second)
    slot: Slot | None = None
    attempt: WriteAttempt | None = None
    read_back: bool = False
    deadline: float | None = None  # the caller stops waiting after this long


def draw_operations(rng: random.Random, plan: Plan, loss: float, slots: list[Slot],
                    slot_cycle: itertools.cycle[int]) -> list[Operation]:
    operations = []
    for _ in range(plan.operations):
        deadline = round(rng.uniform(0.002, 1.5), 3) if rng.random() < plan.deadline_share else None
        choice = rng.random()
        if choice < 0.5:
            obj, prop = rng.choice(STATIC_OBJECTS), rng.choice(STATIC_PROPERTIES)
            operations.append(Operation("read", loss, (obj, prop), deadline=deadline))
        elif choice < 0.75:
            objects = tuple(rng.sample(STATIC_OBJECTS, rng.randint(6, 30)))
            operations.append(Operation("read-multiple", loss, objects, deadline=deadline))
        else:
            slot = slots[next(slot_cycle)]
            slot.attempts.append(WriteAttempt(len(slot.attempts) + 1, loss))
            operations.append(Operation("write", loss, slot=slot, attempt=slot.attempts[-1],
                                        read_back=rng.random() < 0.5, deadline=deadline))
    return operations


class LocalDeadline(Exception):
    """The caller stopped waiting."""


class Hang(Exception):
    """An operation that did not end."""

    def __str__(self) -> str:
        return f"did not end within {HANG_LIMIT:.0f} s"


def failure_kind(exc: BaseException) -> str | None:
    """The kind of an allowed failure; None for anything else."""
    if isinstance(exc, LocalDeadline):
        return "deadline"
    if isinstance(exc, BacnetTimeoutError):
        return "timeout"
    if isinstance(exc, BacnetAbortError):
        return f"abort {int(exc.reason)}"
    if isinstance(exc, BacnetErrorResponse):
        return f"error {int(exc.error_class)}/{int(exc.error_code)}"
    if isinstance(exc, BacnetRejectError):
        return f"reject {int(exc.reason)}"
    return None


def describe_read(result: ReadPropertyResult) -> tuple[str, int, int | None, str]:
    return repr(result.object_id), int(result.property_id), result.array_index, repr(result.value)


def describe_multiple(result: ReadPropertyMultipleResult) -> list[tuple[str, int, int | None, str]]:
    return [(repr(o.object_id), int(p.property_id), p.array_index, repr(p.value))
            for o in result.objects for p in o.properties]


@dataclass
class DeviceRun:
    """One device behind its proxy, and what the run did to it."""

    instance: int
    address: str  # the proxy's, where requests go
    proxy: UdpProxy
    slots: list[Slot]
    pace_interval: float
    next_start: float = 0.0
    counted: Counter[str] = field(default_factory=Counter)  # the proxy's counts at the last look

    def impair(self, impairment: Impairment) -> None:
        for direction in ("client_to_device", "device_to_client"):
            self.proxy.impair(direction, impairment)

    def datagrams_since(self) -> Counter[str]:
        """What the proxy did since the last call, as "<direction> <what>" counts."""
        now = Counter({f"{direction} {what}": n for direction, counts in self.proxy.counts.items()
                       for what, n in counts.items()})
        since, self.counted = now - self.counted, now
        return since

    async def pace(self) -> None:
        loop = asyncio.get_running_loop()
        start = max(loop.time(), self.next_start)
        self.next_start = start + self.pace_interval
        await asyncio.sleep(start - loop.time())


@dataclass
class Report:
    plan: Plan
    outcomes: Counter[tuple[float, str, str]] = field(default_factory=Counter)  # (loss, kind, outcome)
    datagrams: dict[float, Counter[str]] = field(default_factory=dict)  # by loss: "<direction> <what>"
    violations: list[str] = field(default_factory=list)
    memory: list[tuple[int, int]] = field(default_factory=list)  # (blocks, heap octets) after each round
    requests: int = 0
    endings: int = 0  # events of the stack that ended a request
    strays: int = 0  # answers the stack reported under an invoke ID not in use
    landed_twice: int = 0  # writes that took effect twice in a row (a re-sent request)
    seconds: float = 0.0
    rounds: list[float] = field(default_factory=list)  # seconds each round took
    longest: dict[float, float] = field(default_factory=dict)  # by loss: the longest operation, seconds

    def violation(self, text: str) -> None:
        if len(self.violations) < 200:
            self.violations.append(text)

    def summary(self) -> str:
        operations = sum(n for (_, kind, _), n in self.outcomes.items() if kind != "read-back")
        lines = [f"seed {self.plan.seed}: {operations} operations, {self.requests} requests "
                 f"({self.endings} ended by the stack, {self.strays} stray answers reported) in {self.seconds:.0f} s "
                 "(rounds of " + ", ".join(f"{t:.0f}" for t in self.rounds) + f" s), {len(self.violations)} violations"]
        for loss in self.plan.losses:
            lines.append(f" loss {loss:.0%}: longest operation {self.longest.get(loss, 0):.1f} s; datagrams " +
                         ", ".join(f"{k} {v}" for k, v in sorted(self.datagrams.get(loss, Counter()).items())
                                   if k.endswith(("received", "dropped", "duplicated"))))
            lines.extend(outcome_lines(self.outcomes, loss))
        lines.append(f" writes that took effect twice in a row: {self.landed_twice}")
        if len(self.memory) > 1:
            (b0, h0), (b1, h1) = self.memory[0], self.memory[-1]
            lines.append(f" memory after round 1 -> last: {b1 - b0:+} blocks, {h1 - h0:+} heap octets")
        lines.extend(f" VIOLATION {v}" for v in self.violations)
        return "\n".join(lines)


def outcome_lines(outcomes: Counter[tuple[float, str, str]], loss: float) -> list[str]:
    """Per kind of operation: how many, the share that succeeded, the count of each failure."""
    lines = []
    for kind in ("read", "read-multiple", "write", "write-segmented", "read-back"):
        counts = {outcome: n for (at, k, outcome), n in sorted(outcomes.items()) if k == kind and at == loss}
        total = sum(counts.values())
        if total:
            lines.append(f"  {kind:15} {total:6}  ok {counts.get('ok', 0) / total:6.1%}  " +
                         "  ".join(f"{o} {n}" for o, n in counts.items() if o != "ok"))
    return lines


# -- running ---------------------------------------------------------------------


class Soak:
    def __init__(self, plan: Plan, site: Topology, client: Client) -> None:
        self.plan = plan
        self.site = site
        self.client = client
        self.report = Report(plan)
        self.rng = random.Random(plan.seed)
        self.baseline: dict[tuple[str, str], tuple[str, int, int | None, str]] = {}
        self.devices: list[DeviceRun] = []

    async def run(self) -> Report:
        loop = asyncio.get_running_loop()
        loop.set_exception_handler(lambda _, context: self.report.violation(
            f"event loop: {context.get('message')} {context.get('exception')!r}"))
        started = loop.time()
        self.watch_endings()
        await self.read_baseline()
        for index, device in enumerate(self.site.devices):
            proxy = UdpProxy(device.address, seed=self.plan.seed * 1000 + index)
            await proxy.start()
            slots = slots_of_device()
            for slot in slots:
                slot.initial = await self.held(device.instance, slot)
            self.devices.append(DeviceRun(device.instance, f"{proxy.address[0]}:{proxy.address[1]}", proxy, slots,
                                          1.0 / self.plan.rate))
        cycles = [itertools.cycle(range(len(d.slots))) for d in self.devices]
        rounds = [(loss, [draw_operations(self.rng, self.plan, loss, d.slots, c) for d, c in zip(self.devices, cycles)])
                  for loss in self.plan.round_losses()]
        try:
            for loss, lists in rounds:
                round_started = loop.time()
                for device in self.devices:
                    device.impair(self.plan.impairment(loss))
                self.schedule_black_holes()
                queues = [iter(ops) for ops in lists]  # the lists stay: nothing is freed while memory is compared
                await asyncio.gather(*(self.lane(d, queue) for d, queue in zip(self.devices, queues)
                                       for _ in range(self.plan.outstanding)))
                self.report.rounds.append(loop.time() - round_started)
                await self.drained()
                while any(d.proxy.holding for d in self.devices):  # what they hold is no leak
                    await asyncio.sleep(0.1)
                counts = self.report.datagrams.setdefault(loss, Counter())
                for device in self.devices:
                    counts.update(device.datagrams_since())
                    device.proxy.decisions.clear()  # the proxy's log would grow with the run
                self.report.memory.append(allocated())
            for device in self.devices:
                await self.check_writes(device)
        finally:
            for device in self.devices:
                device.proxy.close()
        self.check_memory()
        self.report.seconds = loop.time() - started
        return self.report

    def watch_endings(self) -> None:
        """Counts the events that end requests in the client's host; a Timeout
        for a request not in flight there is a violation."""
        host = self.client._open()
        on_event = host._on_event

        def checked(event: Any) -> None:
            if isinstance(event, (EventTimeout, EventResponse, EventError, EventAbort)):
                peer = event.peer
                if (peer.addr, peer.port, peer.network, peer.mac, event.invoke_id) in host._in_flight:
                    self.report.endings += 1
                elif isinstance(event, EventTimeout):
                    self.report.violation(f"Timeout for invoke ID {event.invoke_id} of {peer.addr}:{peer.port}, "
                                          "a request that had ended or was taken back")
                else:
                    self.report.strays += 1
            on_event(event)

        host._on_event = checked  # type: ignore[method-assign]

    async def read_baseline(self) -> None:
        """What the devices hold, read without a proxy in between."""
        for device in self.site.devices:
            address = f"{device.address[0]}:{device.address[1]}"
            for obj, prop in itertools.product(STATIC_OBJECTS, STATIC_PROPERTIES):
                result = await self.client.read_property(address, obj, prop)
                self.baseline[(obj, prop)] = describe_read(result)
        # Every device serves the same points, so one table serves them all.

    async def held(self, instance: int, slot: Slot) -> Any:
        return json.loads(await self.site.acommand(f"get {instance} {slot.object_id} {slot.property_id}"))

    def schedule_black_holes(self) -> None:
        loop = asyncio.get_running_loop()
        for device in self.devices:
            direction = self.rng.choice(("client_to_device", "device_to_client"))
            loop.call_later(self.rng.uniform(0.5, 3.0), device.proxy.black_hole, direction, self.plan.black_hole)

    async def lane(self, device: DeviceRun, operations: Iterator[Operation]) -> None:
        for operation in operations:  # shared by the device's lanes: each takes the next
            if operation.kind == "write":
                await self.write(device, operation)
            elif operation.kind == "read":
                await self.read(device, operation)
            else:
                await self.read_multiple(device, operation)

    async def call(self, device: DeviceRun, loss: float, awaitable: Any, deadline: float | None) -> Any:
        await device.pace()
        self.report.requests += 1
        loop = asyncio.get_running_loop()
        started = loop.time()
        try:
            return await asyncio.wait_for(awaitable, deadline if deadline is not None else HANG_LIMIT)
        except TimeoutError:
            raise LocalDeadline() if deadline is not None else Hang() from None
        finally:
            self.report.longest[loss] = max(self.report.longest.get(loss, 0.0), loop.time() - started)

    def failed(self, what: str, exc: BaseException) -> str:
        kind = failure_kind(exc)
        if kind is None:
            self.report.violation(f"{what}: not a timeout or device error: {type(exc).__name__}: {exc}")
            return "wrong"
        return kind

    async def read(self, device: DeviceRun, operation: Operation) -> None:
        obj, prop = operation.targets
        what = f"device {device.instance} read {obj} {prop}"
        try:
            result = await self.call(device, operation.loss,
                                     self.client.read_property(device.address, obj, prop), operation.deadline)
        except Exception as exc:
            self.report.outcomes[operation.loss, "read", self.failed(what, exc)] += 1
            return
        if describe_read(result) != self.baseline[obj, prop]:
            self.report.violation(f"{what}: got {describe_read(result)}, device holds {self.baseline[obj, prop]}")
            self.report.outcomes[operation.loss, "read", "wrong"] += 1
        else:
            self.report.outcomes[operation.loss, "read", "ok"] += 1

    async def read_multiple(self, device: DeviceRun, operation: Operation) -> None:
        what = f"device {device.instance} read-multiple {len(operation.targets)} objects"
        specs = [(obj, list(STATIC_PROPERTIES)) for obj in operation.targets]
        try:
            result = await self.call(device, operation.loss,
                                     self.client.read_property_multiple(device.address, specs), operation.deadline)
        except Exception as exc:
            self.report.outcomes[operation.loss, "read-multiple", self.failed(what, exc)] += 1
            return
        expected = [self.baseline[obj, prop] for obj in operation.targets for prop in STATIC_PROPERTIES]
        got = describe_multiple(result)
        if got != expected:
            first = next((i for i, (g, e) in enumerate(zip(got, expected)) if g != e), min(len(got), len(expected)))
            self.report.violation(f"{what}: {len(got)} results for {len(expected)}; first difference at {first}: "
                                  f"{got[first:first + 1]} != {expected[first:first + 1]}")
            self.report.outcomes[operation.loss, "read-multiple", "wrong"] += 1
        else:
            self.report.outcomes[operation.loss, "read-multiple", "ok"] += 1

    async def write(self, device: DeviceRun, operation: Operation) -> None:
        slot, attempt = operation.slot, operation.attempt
        assert slot is not None and attempt is not None
        async with slot.lock:  # taken in the order the operations were drawn
            loop = asyncio.get_running_loop()
            await asyncio.sleep(max(0.0, slot.free_at - loop.time()))
            what = f"device {device.instance} write {attempt.n} to {slot.object_id} {slot.property_id}"
            try:
                await self.call(device, operation.loss, self.client.write_property(
                    device.address, slot.object_id, slot.property_id, slot.value(attempt.n)), operation.deadline)
                attempt.outcome = "ok"
            except Exception as exc:
                attempt.outcome = self.failed(what, exc)
            kind = "write" if slot.property_id == "present-value" else "write-segmented"
            self.report.outcomes[operation.loss, kind, attempt.outcome] += 1
            if operation.read_back:
                try:
                    result = await self.call(device, operation.loss, self.client.read_property(
                        device.address, slot.object_id, slot.property_id), None)
                    attempt.read_back = slot.write_number(result.value.value)
                    if attempt.read_back is None:
                        self.report.violation(f"{what}: read back a value never written: {result.value!r:.80}")
                    self.report.outcomes[operation.loss, "read-back", "ok"] += 1
                except Exception as exc:
                    self.report.outcomes[operation.loss, "read-back", self.failed(f"{what}: read back", exc)] += 1
            slot.free_at = loop.time() + self.plan.in_flight

    async def drained(self) -> None:
        """Waits until the stack, and the client's host, hold nothing; a violation if either keeps anything."""
        stack, host = self.client._stack, self.client._open()
        deadline = asyncio.get_running_loop().time() + DRAIN_LIMIT
        while True:
            sizes = {k: v for k, v in stack.table_sizes().items() if k != "peers" and v}
            sizes.update({k: n for k, n in (("host requests in flight", len(host._in_flight)),
                                            ("host queued", sum(map(len, host._queues.values())))) if n})
            if not sizes:
                return
            if asyncio.get_running_loop().time() > deadline:
                self.report.violation(f"the stack still holds {sizes} {DRAIN_LIMIT:.0f} s after every operation ended")
                return
            await asyncio.sleep(0.1)

    async def check_writes(self, device: DeviceRun) -> None:
        log = json.loads(await self.site.acommand(f"writes {device.instance}"))
        for slot in device.slots:
            await self.check_slot(device, slot, [e for e in log if (e["object"], e["property"]) ==
                                                 (slot.object_id, slot.property_id)])

    async def check_slot(self, device: DeviceRun, slot: Slot, entries: list[dict[str, Any]]) -> None:
        name = f"device {device.instance} {slot.object_id} {slot.property_id}"
        landed: list[int] = []  # write numbers in the order they took effect, repeats in a row once
        invoke_ids: dict[int, set[int]] = {}
        for entry in entries:
            n = slot.write_number(entry["value"])
            if not n:
                self.report.violation(f"{name}: took effect with a value never written: {entry['value']!r:.80}")
                continue
            invoke_ids.setdefault(n, set()).add(entry["invoke_id"])
            if landed and landed[-1] == n:
                self.report.landed_twice += 1
                continue
            if landed and n < landed[-1]:
                self.report.violation(f"{name}: write {n} ({describe(slot.attempts[n - 1])}) took effect after "
                                      f"write {landed[-1]} ({describe(slot.attempts[landed[-1] - 1])})")
            landed.append(n)
        for n, ids in invoke_ids.items():
            if len(ids) > 1:
                self.report.violation(f"{name}: write {n} took effect under invoke IDs {sorted(ids)}")
        for attempt in slot.attempts:
            previous = max((n for n in landed if n < attempt.n), default=0)
            if attempt.outcome == "ok" and attempt.n not in landed:
                self.report.violation(f"{name}: write {attempt.n} ({describe(attempt)}) reported done but never "
                                      "took effect")
            if attempt.read_back is not None:
                allowed = [attempt.n] if attempt.outcome == "ok" else (
                    [previous, attempt.n] if attempt.n in landed else [previous])
                if attempt.read_back not in allowed:
                    self.report.violation(f"{name}: after write {attempt.n} ({describe(attempt)}) read back the value "
                                          f"of write {attempt.read_back}, expected one of {allowed} (0: initial)")
        final = await self.held(device.instance, slot)
        expected = slot.value(landed[-1]) if landed else slot.initial
        if final != expected:
            self.report.violation(f"{name}: holds {final!r:.60} at the end, the last write to take effect "
                                  f"put {expected!r:.60}")

    def check_memory(self) -> None:
        if len(self.report.memory) < 2:
            return
        (blocks0, heap0), (blocks1, heap1) = self.report.memory[0], self.report.memory[-1]
        # The event loop's timers and weak references come and go by a few
        # hundred blocks, the heap by some tens of KiB, whatever the length of
        # the run; a leak of one object or one datagram per request grows
        # beyond these.
        requests = self.report.requests * (self.plan.rounds - 1) / self.plan.rounds
        if blocks1 - blocks0 > 600 + requests / 50:
            self.report.violation(f"memory: {blocks1 - blocks0} more Python blocks after {requests:.0f} requests")
        if heap1 - heap0 > 192 * 1024 + requests * 8:
            self.report.violation(f"memory: {heap1 - heap0} more heap octets after {requests:.0f} requests")


def allocated() -> tuple[int, int]:
    """Python's allocated blocks and the C heap in use (0 where glibc is not there)."""
    gc.collect()
    return sys.getallocatedblocks(), _heap_in_use()


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _heap_in_use() -> int:
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (AttributeError, OSError):
        return 0
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    return int(info.uordblks + info.hblkhd)


async def soak(plan: Plan) -> Report:
    specs = [DeviceSpec(FIRST_INSTANCE + n, points=SITE_POINTS, max_apdu=480) for n in range(plan.devices)]
    config = StackConfig(apdu_timeout_secs=plan.apdu_timeout, apdu_retries=plan.apdu_retries,
                         max_apdu_length=plan.max_apdu_length)
    with start_devices(specs) as site:
        async with Client("127.0.0.1:0", config=config) as client:
            return await Soak(plan, site, client).run()


def main() -> int:
    parser = argparse.ArgumentParser(description="Soak the client through lossy proxies to bacpypes3 devices.")
    parser.add_argument("--minutes", type=float, help="run seed after seed until this much time passed")
    parser.add_argument("--seed", type=int, help="the first seed (alone: replays that run)")
    parser.add_argument("--loss", type=float, action="append", help="loss rates in turn (default 0.01 0.05 0.2)")
    parser.add_argument("--rounds", type=int, default=Plan.rounds, help="per loss rate")
    parser.add_argument("--operations", type=int, default=Plan.operations, help="per device and round")
    args = parser.parse_args()
    losses = tuple(args.loss or LOSS_RATES)
    first_seed = args.seed if args.seed is not None else int(time.time()) % 100000
    stop = time.monotonic() + 60 * args.minutes if args.minutes else None
    failures = []
    totals: Counter[tuple[float, str, str]] = Counter()
    for seed in itertools.count(first_seed):
        plan = Plan(seed, losses, rounds=args.rounds, operations=args.operations)
        report = asyncio.run(soak(plan))
        print(report.summary(), flush=True)
        totals.update(report.outcomes)
        if report.violations:
            failures.append(plan)
            print(f"FAILED seed {seed}; replay: {plan.replay()}", flush=True)
        if stop is None or time.monotonic() > stop:
            break
    print(f"== {seed - first_seed + 1} runs, seeds {first_seed}..{seed}, {len(failures)} failed")
    for loss in losses:
        print(f" loss {loss:.0%}")
        print("\n".join(outcome_lines(totals, loss)))
    for plan in failures:
        print(f"FAILED seed {plan.seed}; replay: {plan.replay()}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
