"""Services the peer answers itself, on top of bacpypes3's encoders.

bacpypes3 0.0.110 answers every ReadRange of a trend-log's log-buffer with
Error (device, operational-problem) and has no SubscribeCOVProperty service,
so the peer serves both here: the requests are decoded and the answers and
notifications encoded by bacpypes3's APDU classes; only the selection of
records and the subscription bookkeeping are ours.
"""

from __future__ import annotations

import asyncio
import datetime
import re
import time
from dataclasses import dataclass
from typing import Any

from bacpypes3.apdu import (
    ConfirmedCOVNotificationRequest,
    ErrorRejectAbortNack,
    ReadRangeACK,
    SimpleAckPDU,
    UnconfirmedCOVNotificationRequest,
)
from bacpypes3.basetypes import LogRecord, PropertyValue
from bacpypes3.constructeddata import Any as AnyValue
from bacpypes3.constructeddata import ListOf
from bacpypes3.errors import ExecutionError, UnrecognizedService
from bacpypes3.primitivedata import ObjectIdentifier

import peer_objects

# Encoded size of one real-valued log record; a page that must fit an
# unsegmented answer holds no more than this allows.
_RECORD_OCTETS = 24
_ACK_OVERHEAD = 32


def attribute_name(name: str) -> str:
    """``present-value`` → ``presentValue``, bacpypes3's attribute names."""
    return re.sub(r"-([a-z])", lambda m: m.group(1).upper(), name)


def _python_datetime(value: Any) -> datetime.datetime:
    d, t = value.date, value.time
    return datetime.datetime(d[0] + 1900, d[1], d[2], t[0], t[1], t[2], t[3] * 10000)


class ReadRangeServices:
    """ReadRange of trend-log:1's log-buffer by position, sequence number or time."""

    peer_spec: dict[str, Any]

    def trend_append(self, value: float) -> int:
        """Appends a record one minute after the last; returns its sequence number."""
        log = self.get_object_id(ObjectIdentifier(("trend-log", 1)))  # type: ignore[attr-defined]
        number = log.totalRecordCount + 1
        records = list(log.logBuffer) + [peer_objects.log_record(number, value)]
        del records[:max(0, len(records) - log.bufferSize)]
        log.logBuffer = records
        log.recordCount, log.totalRecordCount = len(records), number
        return number

    async def do_ReadRangeRequest(self, apdu: Any) -> None:
        log = self.get_object_id(apdu.objectIdentifier)  # type: ignore[attr-defined]
        if log is None:
            raise ExecutionError(errorClass="object", errorCode="unknownObject")
        if str(apdu.objectIdentifier[0]) != "trend-log" or str(apdu.propertyIdentifier) != "log-buffer":
            raise ExecutionError(errorClass="services", errorCode="propertyIsNotAList")
        records = list(log.logBuffer)
        first_sequence = log.totalRecordCount - len(records) + 1
        selected, by_position = self._range(apdu.range, records, first_sequence)
        limit = self.peer_spec.get("range_page") or len(records)
        if not apdu.apduSA:
            limit = min(limit, max(1, (_max_apdu(apdu.apduMaxResp) - _ACK_OVERHEAD) // _RECORD_OCTETS))
        # A page that cannot hold everything keeps the items nearest the reference.
        more = len(selected) > limit
        if more:
            selected = selected[:limit] if _forwards(apdu.range) else selected[-limit:]
        positions = [p for p, _ in selected]
        flags = [bool(positions) and positions[0] == 0,
                 bool(positions) and positions[-1] == len(records) - 1, more]
        ack = ReadRangeACK(
            context=apdu, objectIdentifier=apdu.objectIdentifier, propertyIdentifier=apdu.propertyIdentifier,
            resultFlags=flags, itemCount=len(selected),
            itemData=AnyValue(ListOf(LogRecord)([record for _, record in selected])))
        if positions and not by_position:
            ack.firstSequenceNumber = first_sequence + positions[0]
        await self.response(ack)  # type: ignore[attr-defined]

    @staticmethod
    def _range(rng: Any, records: list[Any], first_sequence: int) -> tuple[list[tuple[int, Any]], bool]:
        numbered = list(enumerate(records))
        if rng is None:
            return numbered, True
        if rng.byPosition is not None:
            return _window(numbered, rng.byPosition.referenceIndex - 1, rng.byPosition.count), True
        if rng.bySequenceNumber is not None:
            index = rng.bySequenceNumber.referenceSequenceNumber - first_sequence
            return _window(numbered, index, rng.bySequenceNumber.count), False
        reference = _python_datetime(rng.byTime.referenceTime)
        count = rng.byTime.count
        stamps = [_python_datetime(r.timestamp) for r in records]
        if count > 0:
            later = [item for item, stamp in zip(numbered, stamps) if stamp > reference]
            return later[:count], False
        earlier = [item for item, stamp in zip(numbered, stamps) if stamp < reference]
        return earlier[len(earlier) + count:] if count else [], False


def _window(numbered: list[tuple[int, Any]], index: int, count: int) -> list[tuple[int, Any]]:
    if not 0 <= index < len(numbered) or count == 0:
        return []
    if count > 0:
        return numbered[index:index + count]
    return numbered[max(0, index + count + 1):index + 1]


def _forwards(rng: Any) -> bool:
    if rng is None:
        return True
    choice = rng.byPosition or rng.bySequenceNumber or rng.byTime
    return choice.count > 0


def _max_apdu(code: int) -> int:
    return [50, 128, 206, 480, 1024, 1476][code] if code < 6 else 1476


@dataclass
class _PropertySubscription:
    address: Any
    process_id: int
    object_id: Any
    property_name: str
    attribute: str
    confirmed: bool
    expires: float | None
    increment: float | None
    last: Any = None


class CovPropertyServices:
    """SubscribeCOVProperty: the monitored property and status-flags are
    notified when the property changes (by at least the increment for REAL
    values) and once at subscription."""

    capabilities: frozenset[str]

    def init_cov_property(self) -> None:
        self._property_subscriptions: dict[tuple[Any, ...], _PropertySubscription] = {}
        self._cov_property_task: asyncio.Task[None] | None = None

    async def do_SubscribeCOVPropertyRequest(self, apdu: Any) -> None:
        if "cov" not in self.capabilities:
            raise UnrecognizedService()
        obj = self.get_object_id(apdu.monitoredObjectIdentifier)  # type: ignore[attr-defined]
        if obj is None:
            raise ExecutionError(errorClass="object", errorCode="unknownObject")
        name = str(apdu.monitoredPropertyIdentifier.propertyIdentifier)
        attribute = attribute_name(name)
        if getattr(obj, attribute, None) is None:
            raise ExecutionError(errorClass="property", errorCode="unknownProperty")
        key = (apdu.pduSource, apdu.subscriberProcessIdentifier, apdu.monitoredObjectIdentifier, name)
        await self.response(SimpleAckPDU(context=apdu))  # type: ignore[attr-defined]
        if apdu.issueConfirmedNotifications is None and apdu.lifetime is None:
            self._property_subscriptions.pop(key, None)
            return
        lifetime = apdu.lifetime or 0
        subscription = _PropertySubscription(
            apdu.pduSource, apdu.subscriberProcessIdentifier, apdu.monitoredObjectIdentifier, name, attribute,
            bool(apdu.issueConfirmedNotifications), time.monotonic() + lifetime if lifetime else None,
            apdu.covIncrement)
        self._property_subscriptions[key] = subscription
        await self._notify(obj, subscription)
        if self._cov_property_task is None:
            self._cov_property_task = asyncio.create_task(self._watch())

    def property_subscriptions(self) -> list[dict[str, Any]]:
        now = time.monotonic()
        return [{"kind": "property", "process_id": s.process_id, "object": f"{s.object_id[0]}:{s.object_id[1]}",
                 "property": s.property_name, "confirmed": s.confirmed, "address": str(s.address),
                 "time_remaining": None if s.expires is None else max(0, round(s.expires - now))}
                for s in self._property_subscriptions.values()]

    async def _watch(self) -> None:
        while True:
            await asyncio.sleep(0.05)
            now = time.monotonic()
            for key, subscription in list(self._property_subscriptions.items()):
                if subscription.expires is not None and now >= subscription.expires:
                    del self._property_subscriptions[key]
                    continue
                obj = self.get_object_id(subscription.object_id)  # type: ignore[attr-defined]
                if obj is not None and self._changed(subscription, getattr(obj, subscription.attribute)):
                    await self._notify(obj, subscription)

    @staticmethod
    def _changed(subscription: _PropertySubscription, value: Any) -> bool:
        if isinstance(value, float) and isinstance(subscription.last, float):
            increment = subscription.increment or 0.0
            return abs(value - subscription.last) >= increment and value != subscription.last
        return bool(value != subscription.last)

    async def _notify(self, obj: Any, subscription: _PropertySubscription) -> None:
        value = getattr(obj, subscription.attribute)
        subscription.last = value
        remaining = 0 if subscription.expires is None else max(0, round(subscription.expires - time.monotonic()))
        values = [PropertyValue(propertyIdentifier=subscription.attribute, value=AnyValue(value)),
                  PropertyValue(propertyIdentifier="statusFlags", value=AnyValue(obj.statusFlags))]
        cls = ConfirmedCOVNotificationRequest if subscription.confirmed else UnconfirmedCOVNotificationRequest
        request = cls(subscriberProcessIdentifier=subscription.process_id,
                      initiatingDeviceIdentifier=self.device_object.objectIdentifier,  # type: ignore[attr-defined]
                      monitoredObjectIdentifier=subscription.object_id, timeRemaining=remaining,
                      listOfValues=values)
        request.pduDestination = subscription.address
        try:
            await self.request(request)  # type: ignore[attr-defined]
        except (ErrorRejectAbortNack, Exception):  # a refused notification ends nothing here
            pass

