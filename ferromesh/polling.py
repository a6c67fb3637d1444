"""Reading many points at once, and polling them: ``Client.read_many`` and ``Client.poll``.

A point is (device, object, property) or (device, object, property,
array_index), each part in any form the single requests accept. The points
of one device are packed into ReadPropertyMultiple requests sized to what
the device and the client accept; a device that refuses ReadPropertyMultiple
is read with ReadProperty from then on. Devices are read concurrently, each
with at most ``max_per_device`` of this call's requests in flight. Every
point gets a ``PointResult`` in the order asked: its value, or the error
that point met.
"""

from __future__ import annotations

import asyncio
import math
import time
from collections import deque
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, AsyncIterator, Hashable, Iterable, NamedTuple, Sequence

from . import (
    BacnetAddr,
    BacnetError,
    BacnetPropertyError,
    ObjectIdentifier,
    ReadAccessSpec,
    ReadPropertyMultipleResult,
)
from .errors import BacnetAbortError, BacnetErrorResponse, BacnetRejectError
from .names import DeviceSpec, ObjectSpec, address_key, parse_device, parse_object_id, parse_property_id

if TYPE_CHECKING:
    from .client import Client

__all__ = ["DEFAULT_MAX_PER_DEVICE", "Point", "PointResult", "PollRound"]

# Requests of one read_many call in flight per device: a field controller
# serves a handful of requests at once, a supervisory one many more.
DEFAULT_MAX_PER_DEVICE = 4
# What a property's value is assumed to take in an answer when packing
# requests (a Real takes 5 octets, a name 10 to 60); an answer that turns out
# too large for the device is split and asked again.
VALUE_ESTIMATE = 20
# Reasons a device gives for an answer too large to send.
_TOO_LARGE_ABORTS = frozenset({1, 4, 11})  # buffer-overflow, segmentation-not-supported, apdu-too-long
_SERVICES_ERROR_CLASS = 5
_SERVICE_UNKNOWN_REJECT = 9  # unrecognized-service


class Point(NamedTuple):
    """What to read: a device, an object, a property and optionally an array index."""

    device: DeviceSpec  # an address, or a device instance
    object: ObjectSpec
    property: int | str
    array_index: int | None = None


@dataclass(frozen=True, slots=True)
class PointResult:
    """The outcome for one point: ``value`` (a PropertyValue* object) or ``error``."""

    point: Point | tuple[Any, ...]  # as the caller gave it
    value: Any = None
    error: BaseException | None = None

    @property
    def ok(self) -> bool:
        return self.error is None


@dataclass(frozen=True, slots=True)
class PollRound:
    """One round of ``Client.poll``.

    ``timestamp`` is the wall-clock time (``time.time()``) the round began
    and ``elapsed`` how long its reads took. ``overran`` is true when they
    took longer than the interval; ``missed`` counts the rounds skipped
    before this one because an earlier round (or the consumer) ran late.
    """

    timestamp: float
    results: list[PointResult]
    elapsed: float
    overran: bool
    missed: int


class _Item(NamedTuple):
    """A parsed point and its place in the caller's list."""

    position: int
    object_id: tuple[int, int]
    property_id: int
    array_index: int | None


def _parse(point: Point | tuple[Any, ...]) -> tuple[BacnetAddr | int, tuple[int, int], int, int | None]:
    if not isinstance(point, tuple) or not 3 <= len(point) <= 4:
        raise TypeError(f"a point is (device, object, property[, array_index]), got {point!r}")
    device, obj, prop, *rest = point
    index = rest[0] if rest else None
    if index is not None and (not isinstance(index, int) or not 0 <= index < 1 << 32):
        raise ValueError(f"array index must be None or 0..4294967295, got {index!r}")
    object_id = parse_object_id(obj)
    return parse_device(device), (object_id.object_type, object_id.instance), parse_property_id(prop), index


class _Plan(NamedTuple):
    """The points of a read_many call, parsed once and grouped by device."""

    points: list[Point | tuple[Any, ...]]
    # By the device's whole address, or its instance (found when read).
    devices: dict[Hashable, tuple[BacnetAddr | int, list[_Item]]]
    failed: dict[int, BaseException]  # points that did not parse


def plan(points: Iterable[Point | tuple[Any, ...]]) -> _Plan:
    listed = list(points)
    devices: dict[Hashable, tuple[BacnetAddr | int, list[_Item]]] = {}
    failed: dict[int, BaseException] = {}
    for index, point in enumerate(listed):
        try:
            dest, object_id, property_id, array_index = _parse(point)
        except (TypeError, ValueError) as error:
            failed[index] = error
            continue
        key = dest if isinstance(dest, int) else address_key(dest)
        entry = devices.get(key)
        if entry is None:
            entry = devices[key] = (dest, [])
        entry[1].append(_Item(index, object_id, property_id, array_index))
    return _Plan(listed, devices, failed)


def _tag_size(number: int) -> int:
    return 2 if number < 0x100 else 3 if number < 0x10000 else 5


def pack(items: Sequence[_Item], apdu_limit: int) -> list[list[_Item]]:
    """Split one device's items into ReadPropertyMultiple requests whose request and estimated answer fit.

    Items of the same object are kept together where they fit, so that an
    object is named once per request.
    """
    by_object: dict[tuple[int, int], list[_Item]] = {}
    for item in items:
        by_object.setdefault(item.object_id, []).append(item)
    chunks: list[list[_Item]] = []
    chunk: list[_Item] = []
    request = answer = 4  # APDU headers
    for object_items in by_object.values():
        object_cost = 7  # identifier and the list's opening and closing tags
        request += object_cost
        answer += object_cost
        for item in object_items:
            reference = _tag_size(item.property_id) + (0 if item.array_index is None
                                                       else _tag_size(item.array_index))
            if chunk and max(request + reference, answer + reference + 2 + VALUE_ESTIMATE) > apdu_limit:
                chunks.append(chunk)
                chunk = []
                request = answer = 4 + object_cost
            chunk.append(item)
            request += reference
            answer += reference + 2 + VALUE_ESTIMATE
    if chunk:
        chunks.append(chunk)
    return chunks


def _access_specs(chunk: list[_Item]) -> list[ReadAccessSpec]:
    by_object: dict[tuple[int, int], list[tuple[int, int | None]]] = {}
    for item in chunk:
        by_object.setdefault(item.object_id, []).append((item.property_id, item.array_index))
    return [ReadAccessSpec(ObjectIdentifier(*object_id), refs) for object_id, refs in by_object.items()]


def _refuses_service(error: BaseException) -> bool:
    if isinstance(error, BacnetRejectError):
        return error.reason == _SERVICE_UNKNOWN_REJECT
    return isinstance(error, BacnetErrorResponse) and error.error_class == _SERVICES_ERROR_CLASS


def _too_large(error: BaseException) -> bool:
    return isinstance(error, BacnetAbortError) and error.reason in _TOO_LARGE_ABORTS


class _DeviceReader:
    """Reads one device's items with at most ``limit`` requests in flight.

    The work is a queue of (items, by ReadProperty?) entries: packed
    ReadPropertyMultiple requests first, single points read with
    ReadProperty where the device refused the packed form.
    """

    def __init__(self, client: Client, dest: BacnetAddr | int, items: list[_Item], limit: int,
                 out: list[tuple[Any, BaseException | None]]) -> None:
        self.client = client
        self.dest = dest  # requests to an instance let the client find it again if it moved
        self.items = items
        self.limit = limit
        self.out = out
        self.work: deque[tuple[list[_Item], bool]] = deque()

    async def run(self) -> None:
        dest = self.dest
        if isinstance(dest, int):
            try:
                dest = (await self.client.find_device(dest)).bacnet_addr
            except BacnetError as error:  # nobody answered: every point of the device fails alike
                for item in self.items:
                    self.out[item.position] = (None, error)
                return
        self.peer = address_key(dest)
        chunks = [[item] for item in self.items] if self.client._refuses_rpm(self.peer) else pack(
            self.items, self.client._apdu_limit(self.peer))
        self.work.extend((chunk, False) for chunk in chunks)
        await asyncio.gather(*(self._worker() for _ in range(min(self.limit, len(self.work)))))

    async def _worker(self) -> None:
        while self.work:
            chunk, single = self.work.popleft()
            if single or self.client._refuses_rpm(self.peer):
                if len(chunk) > 1:
                    self._one_by_one(chunk)
                    continue
                await self._read_property(chunk[0])
            else:
                await self._read_multiple(chunk)

    def _one_by_one(self, chunk: list[_Item]) -> None:
        """Put the chunk's points back at the front of the work, to be read each with ReadProperty."""
        self.work.extendleft(([item], True) for item in reversed(chunk))

    async def _read_property(self, item: _Item) -> None:
        try:
            result = await self.client.read_property(self.dest, ObjectIdentifier(*item.object_id),
                                                     item.property_id, item.array_index)
        except BacnetError as error:
            self.out[item.position] = (None, error)
        else:
            self.out[item.position] = (result.value, None)

    async def _read_multiple(self, chunk: list[_Item]) -> None:
        try:
            result = await self.client.read_property_multiple(self.dest, _access_specs(chunk))
        except BacnetError as error:
            if _refuses_service(error):
                self.client._note_rpm_refused(self.peer)
                self._one_by_one(chunk)
            elif _too_large(error) and len(chunk) > 1:
                half = len(chunk) // 2
                self.work.extendleft([(chunk[half:], False), (chunk[:half], False)])
            elif isinstance(error, (BacnetErrorResponse, BacnetRejectError, BacnetAbortError)):
                # Refused as a whole (some devices refuse every object when one
                # is unknown): each point read on its own says which failed.
                self._one_by_one(chunk)
            else:  # silence, or the client closing: the same for every point
                for item in chunk:
                    self.out[item.position] = (None, error)
            return
        self._distribute(chunk, result)

    def _distribute(self, chunk: list[_Item], result: ReadPropertyMultipleResult) -> None:
        answers: dict[tuple[int, int, int, int | None], Any] = {}
        for obj in result.objects:
            object_id = (int(obj.object_id.object_type), obj.object_id.instance)
            for prop in obj.properties:
                answers[(*object_id, int(prop.property_id), prop.array_index)] = prop.value
        for item in chunk:
            value = answers.get((*item.object_id, item.property_id, item.array_index), _MISSING)
            if value is _MISSING:
                self.out[item.position] = (None, BacnetError("the device's answer left this property out"))
            elif isinstance(value, BacnetPropertyError):
                self.out[item.position] = (None, BacnetErrorResponse(value.error_class, value.error_code))
            else:
                self.out[item.position] = (value, None)


_MISSING = object()


def check_options(max_per_device: int, interval: float = 1.0) -> None:
    if not isinstance(max_per_device, int) or max_per_device < 1:
        raise ValueError(f"max_per_device must be at least 1, got {max_per_device!r}")
    if not interval > 0 or math.isinf(interval):
        raise ValueError(f"interval must be a positive number of seconds, got {interval!r}")


async def read_planned(client: Client, planned: _Plan, max_per_device: int) -> list[PointResult]:
    out: list[tuple[Any, BaseException | None]] = [(None, None)] * len(planned.points)
    for index, error in planned.failed.items():
        out[index] = (None, error)
    readers = [_DeviceReader(client, dest, items, max_per_device, out) for dest, items in planned.devices.values()]
    await asyncio.gather(*(reader.run() for reader in readers))
    return [PointResult(point, value, error) for point, (value, error) in zip(planned.points, out)]


async def poll(client: Client, points: Iterable[Point | tuple[Any, ...]], interval: float,
               max_per_device: int) -> AsyncIterator[PollRound]:
    planned = plan(points)
    loop = asyncio.get_running_loop()
    start = loop.time()
    slot = 0  # the round due at start + slot * interval
    missed = 0
    while True:
        delay = start + slot * interval - loop.time()
        if delay > 0:
            await asyncio.sleep(delay)
        began = loop.time()
        timestamp = time.time()
        results = await read_planned(client, planned, max_per_device)
        elapsed = loop.time() - began
        yield PollRound(timestamp, results, elapsed, elapsed > interval, missed)
        # Late (a long round or a slow consumer): run the latest slot that has
        # come at once and skip those before it, rather than catching up.
        passed = math.floor((loop.time() - start) / interval)
        missed = max(0, passed - slot - 1)
        slot = max(slot + 1, passed)
