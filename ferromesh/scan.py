"""Scanning a site: every device that answers Who-Is, its object list, and what integrators list of each object.

``Scanner.run`` fills a ``SiteScan`` in place, so that whatever was read
survives an interruption. Each device's object list is read whole (a
segmented answer where the device can send one) or element by element when
it cannot; the objects' properties are read with ``Client.read_many``
(ReadPropertyMultiple where the device takes it) a few objects at a time, by
as many workers per device as it may have requests in flight: each batch is
kept as soon as it is read (so progress shows and an interruption loses
only the batches in flight), and a device that falls silent is given up
after one round of timeouts, not after every one of its objects timed out.
No failure of one device or object ends the scan: each is recorded where it
happened.
"""

from __future__ import annotations

import asyncio
import datetime
from collections import deque
import time
from dataclasses import dataclass, field
from typing import Any, Sequence

from . import (
    BacnetError,
    BacnetTimeoutError,
    ObjectIdentifier,
    PropertyValueArray,
    PropertyValueCharacterString,
    PropertyValueEnumerated,
    PropertyValueUnsigned,
)
from ._enums import ErrorCode, ObjectType
from .client import Client, DiscoveredDevice
from .errors import BacnetAbortError, BacnetErrorResponse, BacnetRejectError
from .names import enum_name
from .polling import DEFAULT_MAX_PER_DEVICE, PointResult
from .site import NOT_READ, ScannedDevice, ScannedObject, SiteScan, status_flags

__all__ = ["DEFAULT_MAX_CONCURRENCY", "ScanCounters", "Scanner", "new_scan", "properties_of"]

DEFAULT_MAX_CONCURRENCY = 32
# Objects whose properties one read_many call reads: about one
# ReadPropertyMultiple request of a device that takes 1476 octets (read_many
# splits the batch where the device takes less).
BATCH_OBJECTS = 8

_T = ObjectType
_ANALOG = frozenset((_T.ANALOG_INPUT, _T.ANALOG_OUTPUT, _T.ANALOG_VALUE, _T.LARGE_ANALOG_VALUE, _T.INTEGER_VALUE,
                     _T.POSITIVE_INTEGER_VALUE, _T.ACCUMULATOR, _T.PULSE_CONVERTER, _T.LOOP))
_BINARY = frozenset((_T.BINARY_INPUT, _T.BINARY_OUTPUT, _T.BINARY_VALUE))
_MULTI_STATE = frozenset((_T.MULTI_STATE_INPUT, _T.MULTI_STATE_OUTPUT, _T.MULTI_STATE_VALUE))
# Other objects with a present value worth listing.
_VALUED = frozenset((_T.SCHEDULE, _T.CALENDAR, _T.CHARACTERSTRING_VALUE, _T.BITSTRING_VALUE,
                     _T.OCTETSTRING_VALUE, _T.DATE_VALUE, _T.TIME_VALUE, _T.DATETIME_VALUE))
_VALUE = ("present-value", "status-flags")
# Properties whose absence is not a failure: many objects have no description.
_OPTIONAL = frozenset(("description", "units", "inactive-text", "active-text", "state-text", "status-flags"))
_ABSENT = frozenset((ErrorCode.UNKNOWN_PROPERTY, ErrorCode.INVALID_ARRAY_INDEX))
# Aborts that mean "this answer is too large for me to send".
_TOO_LARGE = frozenset((1, 4, 11))  # buffer-overflow, segmentation-not-supported, apdu-too-long


def properties_of(object_type: int) -> tuple[str, ...]:
    """The properties a scan reads of an object of this type."""
    common = ("object-name", "description")
    if object_type in _ANALOG:
        return (*common, *_VALUE, "units")
    if object_type in _BINARY:
        return (*common, *_VALUE, "inactive-text", "active-text")
    if object_type in _MULTI_STATE:
        return (*common, *_VALUE, "state-text")
    if object_type in _VALUED:
        return (*common, *_VALUE)
    return common


@dataclass
class ScanCounters:
    """What a progress display shows; updated as the scan goes."""

    devices: int = 0
    devices_done: int = 0
    objects: int = 0  # in the object lists read so far
    objects_read: int = 0
    errors: int = 0
    started: float = field(default_factory=time.monotonic)

    def rate(self) -> float:
        """Objects read per second since the start."""
        elapsed = time.monotonic() - self.started
        return self.objects_read / elapsed if elapsed > 0 else 0.0


def _error_text(error: BaseException) -> str:
    if isinstance(error, BacnetTimeoutError):
        return "no answer"
    return str(error) or type(error).__name__


def _strings(value: object) -> list[str] | None:
    values = value.values if isinstance(value, PropertyValueArray) else [value]
    texts = [v.value for v in values if isinstance(v, PropertyValueCharacterString)]
    return texts if len(texts) == len(values) else None


def _apply(obj: ScannedObject, prop: str, result: PointResult) -> None:
    """Stores one property's outcome in the object."""
    error = result.error
    if error is not None:
        if prop in _OPTIONAL and isinstance(error, BacnetErrorResponse) and error.error_code in _ABSENT:
            return
        obj.property_errors[prop] = _error_text(error)
        return
    value = result.value
    if prop == "object-name":
        obj.name = value.value if isinstance(value, PropertyValueCharacterString) else None
    elif prop == "description":
        obj.description = value.value if isinstance(value, PropertyValueCharacterString) else None
    elif prop == "present-value":
        obj.present_value = value
    elif prop == "status-flags":
        obj.status_flags = status_flags(value)
    elif prop == "units":
        obj.units = value.value if isinstance(value, PropertyValueEnumerated) else None
    elif prop in ("inactive-text", "active-text"):
        texts = obj.state_texts or ["inactive", "active"]
        texts[prop == "active-text"] = value.value if isinstance(value, PropertyValueCharacterString) else ""
        obj.state_texts = texts
    elif prop == "state-text":
        obj.state_texts = _strings(value)


class Scanner:
    """Reads devices' object lists and objects with a bounded number of requests in flight.

    At most ``per_device`` requests go to one device at a time, and at most
    ``max_concurrency`` to all of them: devices are scanned
    ``max_concurrency // per_device`` at a time.
    """

    def __init__(self, client: Client, *, per_device: int = DEFAULT_MAX_PER_DEVICE,
                 max_concurrency: int = DEFAULT_MAX_CONCURRENCY, batch: int = BATCH_OBJECTS) -> None:
        if not 1 <= per_device <= max_concurrency:
            raise ValueError(f"need 1 <= per-device ({per_device}) <= max-concurrency ({max_concurrency})")
        self.client = client
        self.per_device = per_device
        self.devices_at_once = max(1, max_concurrency // per_device)
        self.batch = batch
        self.counters = ScanCounters()

    async def run(self, scan: SiteScan, found: Sequence[DiscoveredDevice]) -> None:
        """Scans ``found`` into ``scan`` (devices in instance order); returns when every device is done."""
        gate = asyncio.Semaphore(self.devices_at_once)
        devices = [ScannedDevice(d.instance, d.address, d.vendor_id, d.max_apdu, enum_name(d.segmentation),
                                 d.network, None if d.mac is None else d.mac.hex())
                   for d in sorted(found, key=lambda d: (d.instance, d.address))]
        scan.devices.extend(devices)
        self.counters.devices += len(devices)

        async def one(device: ScannedDevice) -> None:
            async with gate:
                await self._scan_device(device)
            self.counters.devices_done += 1

        started = time.monotonic()
        try:
            await asyncio.gather(*(one(d) for d in devices))
            scan.complete = True
        finally:
            scan.seconds += time.monotonic() - started

    async def _scan_device(self, device: ScannedDevice) -> None:
        device_id = ObjectIdentifier(ObjectType.DEVICE, device.instance)
        try:
            object_ids = await self._object_list(device, device_id)
        except BacnetError as error:
            device.error = f"object-list not read: {_error_text(error)}"
            self.counters.errors += 1
            return
        device.objects = [ScannedObject(o.object_type, o.instance) for o in object_ids]
        self.counters.objects += len(device.objects)
        batches = deque(device.objects[n:n + self.batch] for n in range(0, len(device.objects), self.batch))
        silent = False

        async def worker() -> None:
            nonlocal silent
            while batches and not silent:
                if not await self._read_objects(device, batches.popleft()):
                    silent = True

        await asyncio.gather(*(worker() for _ in range(min(self.per_device, len(batches)))))
        if silent:
            unread = [o for o in device.objects if o.error == NOT_READ]
            for obj in unread:
                obj.error = "not read: the device stopped answering"
            read = sum(o.error is None for o in device.objects)
            device.error = (f"stopped answering ({read} of {len(device.objects)} objects read)" if read
                            else "no answer to reading its objects")
            self.counters.errors += 1 + len(unread)

    async def _object_list(self, device: ScannedDevice, device_id: ObjectIdentifier) -> list[ObjectIdentifier]:
        try:
            answer = await self.client.read_property(device.address, device_id, "object-list")
            return _object_ids(answer.value)
        except (BacnetAbortError, BacnetRejectError, BacnetErrorResponse) as error:
            # Too large to send unsegmented (or refused as a whole): one element at a time.
            if isinstance(error, BacnetAbortError) and error.reason not in _TOO_LARGE:
                raise
        length = await self.client.read_property(device.address, device_id, "object-list", 0)
        if not isinstance(length.value, PropertyValueUnsigned):
            raise BacnetError("object-list[0] is not the list's length")
        points = [(device.address, device_id, "object-list", n) for n in range(1, length.value.value + 1)]
        results = await self.client.read_many(points, max_per_device=self.per_device)
        failed = [r.error for r in results if r.error is not None]
        if failed:
            raise failed[0] if isinstance(failed[0], BacnetError) else BacnetError(str(failed[0]))
        return [_object_id(r.value) for r in results]

    async def _read_objects(self, device: ScannedDevice, batch: list[ScannedObject]) -> bool:
        """Reads a batch of objects; False when the device answered none of it."""
        asked: list[tuple[ScannedObject, str]] = []
        points: list[tuple[Any, ...]] = []
        for obj in batch:
            object_id = ObjectIdentifier(obj.object_type, obj.instance)
            for prop in properties_of(obj.object_type):
                asked.append((obj, prop))
                points.append((device.address, object_id, prop))
        # One request at a time: the device's other workers make its share.
        results = await self.client.read_many(points, max_per_device=1)
        if all(isinstance(r.error, BacnetTimeoutError) for r in results):
            for obj in batch:
                obj.error = "no answer"
            self.counters.errors += len(batch)
            return False
        outcome: dict[int, list[tuple[str, PointResult]]] = {}
        for (obj, prop), result in zip(asked, results):
            outcome.setdefault(id(obj), []).append((prop, result))
        for obj in batch:
            answers = outcome[id(obj)]
            errors = [r.error for _, r in answers if r.error is not None]
            if len(errors) == len(answers) and not isinstance(errors[0], BacnetErrorResponse):
                obj.error = _error_text(errors[0])  # the requests failed, not the properties
                self.counters.errors += 1
                continue
            obj.error = None
            for prop, result in answers:
                _apply(obj, prop, result)
            if obj.object_type == ObjectType.DEVICE and obj.instance == device.instance:
                device.name = obj.name
            self.counters.objects_read += 1
            self.counters.errors += len(obj.property_errors)
        return True


def _object_id(value: object) -> ObjectIdentifier:
    if not isinstance(value, ObjectIdentifier):
        raise BacnetError("the object-list holds a value that is not an object identifier")
    return value


def _object_ids(value: object) -> list[ObjectIdentifier]:
    # A list of one object decodes as that object alone, not as an array.
    return [_object_id(v) for v in (value.values if isinstance(value, PropertyValueArray) else [value])]


def new_scan() -> SiteScan:
    return SiteScan(started=datetime.datetime.now(datetime.timezone.utc))

