"""COV subscriptions of a Client: subscribe, renew, match notifications, cancel.

A ``Subscription`` is an async context manager and an async iterator of
``COVChange``::

    async with client.subscribe_cov("192.168.1.20", "analog-input:1") as sub:
        async for change in sub:
            print(change.values)

Entering subscribes (an error of the device raises there); while the block
runs the subscription is renewed before its lifetime runs out; leaving it,
also by an exception or cancellation, cancels the subscription at the device
(a device that does not answer within CANCEL_WAIT seconds is given up on)
and stops the iterator.
Notifications are matched by process identifier, which is the client's own
for each subscription, and by the monitored object.
"""

from __future__ import annotations

import asyncio
import contextlib
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from . import (
    BacnetAddr,
    EventCOVNotification,
    ObjectIdentifier,
    ServiceSubscribeCOV,
    ServiceSubscribeCOVProperty,
)
from ._enums import PropertyIdentifier
from .errors import ClientClosedError
from .names import enum_member

if TYPE_CHECKING:
    from .client import Client

__all__ = ["COVChange", "Subscription", "renewal_delay"]

# How long leaving a subscription waits for the device to confirm the
# cancellation: a device that is gone must not hold up the caller for every
# retry; its subscription ends with its lifetime.
CANCEL_WAIT = 3.0
# A renewal goes out this long before the lifetime ends at the latest, which
# leaves room for a device that needs every retry; short lifetimes renew at half.
RENEWAL_MARGIN = 60.0


def renewal_delay(lifetime: int) -> float:
    """Seconds after a subscription of ``lifetime`` seconds to renew it."""
    return max(lifetime / 2, lifetime - RENEWAL_MARGIN)


@dataclass(frozen=True)
class COVChange:
    """One COV notification of a subscription."""

    device: ObjectIdentifier  # the initiating device
    object_id: ObjectIdentifier  # the monitored object
    # Property -> value (a PropertyValue* object), in the order notified.
    values: dict[PropertyIdentifier | int, Any]
    time_remaining: int  # seconds the device still keeps the subscription
    confirmed: bool
    src: BacnetAddr

    @classmethod
    def from_event(cls, event: EventCOVNotification) -> COVChange:
        values = {enum_member(PropertyIdentifier, int(v.property_id)): v.value for v in event.values}
        return cls(event.initiating_device, event.monitored_object, values, event.time_remaining, event.confirmed,
                   event.src)


class Subscription:
    """A COV subscription of one object (or one property) of one device; see the module docstring."""

    def __init__(self, client: Client, dest: BacnetAddr | int, object_id: ObjectIdentifier, property_id: int | None,
                 process_id: int, *, confirmed: bool, lifetime: int, cov_increment: float | None) -> None:
        if not 0 <= lifetime < 1 << 32:
            raise ValueError(f"lifetime must be 0..4294967295 seconds, got {lifetime}")
        if property_id is None and cov_increment is not None:
            raise ValueError("cov_increment needs a property")
        self._client = client
        self.dest = dest
        self.object_id = object_id
        self.property_id = property_id
        self.process_id = process_id
        self.confirmed = confirmed
        self.lifetime = lifetime
        self.cov_increment = cov_increment
        self._queue: asyncio.Queue[COVChange | BaseException | None] = asyncio.Queue()
        self._renewal: asyncio.Task[None] | None = None
        self.renewals = 0  # how often it was renewed

    def _service(self, cancel: bool = False) -> ServiceSubscribeCOV | ServiceSubscribeCOVProperty:
        confirmed = None if cancel else self.confirmed
        lifetime = None if cancel else self.lifetime
        if self.property_id is None:
            return ServiceSubscribeCOV(self.process_id, self.object_id, confirmed, lifetime)
        return ServiceSubscribeCOVProperty(self.process_id, self.object_id, self.property_id, None, confirmed,
                                           lifetime, None if cancel else self.cov_increment)

    async def __aenter__(self) -> Subscription:
        self._client._add_subscription(self)
        try:
            await self._client._confirmed(self.dest, self._service())
        except BaseException:
            self._client._remove_subscription(self)
            raise
        if self.lifetime:
            self._renewal = asyncio.get_running_loop().create_task(self._renew())
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        if self._renewal is not None:
            self._renewal.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await self._renewal
        self._client._remove_subscription(self)
        self._queue.put_nowait(None)
        # A device that is gone or refuses ends the subscription by its lifetime.
        with contextlib.suppress(Exception):
            async with asyncio.timeout(CANCEL_WAIT):
                await self._client._confirmed(self.dest, self._service(cancel=True))

    async def _renew(self) -> None:
        while True:
            await asyncio.sleep(renewal_delay(self.lifetime))
            try:
                await self._client._confirmed(self.dest, self._service())
            except ClientClosedError:
                return
            except Exception as error:  # the iterator raises it
                self._queue.put_nowait(error)
                return
            self.renewals += 1

    def __aiter__(self) -> Subscription:
        return self

    async def __anext__(self) -> COVChange:
        item = await self._queue.get()
        if item is None:
            self._queue.put_nowait(None)  # every later call ends too
            raise StopAsyncIteration
        if isinstance(item, BaseException):
            raise item
        return item

    def _deliver(self, event: EventCOVNotification) -> None:
        monitored = event.monitored_object
        if int(monitored.object_type) == int(self.object_id.object_type) and \
                monitored.instance == self.object_id.instance:
            self._queue.put_nowait(COVChange.from_event(event))

    def _close(self) -> None:
        """The client closed: the iterator ends; no cancellation can be sent."""
        if self._renewal is not None:
            self._renewal.cancel()
        self._queue.put_nowait(None)
