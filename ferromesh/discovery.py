"""Devices by instance: where each device answered from, and what it accepts.

Integrators name devices by their device instance, not by address. A
``DeviceDirectory`` keeps, per instance, what the latest I-Am from that
device said: its whole address (for a device behind a router, the router's
B/IP address with the device's network and MAC), its max APDU and its
segmentation support. An instance nobody has heard of is searched for with
a Who-Is limited to it; callers asking for the same instance at once share
one search. A request that times out makes the client forget the entry, so
that the next call searches again (the device may have moved).
"""

from __future__ import annotations

import asyncio
from collections import OrderedDict
from dataclasses import dataclass
from typing import Callable

from . import BacnetAddr, BacnetTimeoutError, ObjectIdentifier, UnconfirmedIAm
from ._enums import Segmentation
from .names import enum_member, format_address, parse_address

__all__ = ["DeviceDirectory", "DiscoveredDevice", "discovered_device"]

# More devices than any site has; beyond it the longest unheard are forgotten.
_MAX_DEVICES = 65536


@dataclass(frozen=True)
class DiscoveredDevice:
    """A device that answered Who-Is with I-Am."""

    address: str  # 'host:port', or 'host:port/network:mac' behind a router: usable as a request's address
    device_id: ObjectIdentifier
    max_apdu: int
    segmentation: int  # a Segmentation member (segmented-both ... no-segmentation), or the number
    vendor_id: int
    network: int | None = None  # behind a router: the device's network number
    mac: bytes | None = None  # and its MAC address there

    @property
    def instance(self) -> int:
        return self.device_id.instance

    @property
    def bacnet_addr(self) -> BacnetAddr:
        """A new BacnetAddr for ``address``."""
        return parse_address(self.address)


def discovered_device(src: BacnetAddr, i_am: UnconfirmedIAm) -> DiscoveredDevice:
    """The device an I-Am from ``src`` (the event's whole source address) announces."""
    return DiscoveredDevice(format_address(src), i_am.device_id, i_am.max_apdu,
                            enum_member(Segmentation, i_am.segmentation), i_am.vendor_id, src.network, src.mac)


class DeviceDirectory:
    """Device instance -> the latest DiscoveredDevice heard, with searches for the unknown.

    ``send_who_is(instance)`` sends a Who-Is for that one instance wherever the
    client discovers devices (the global broadcast, through a BBMD when
    registered). Feed every I-Am the client hears to ``heard``.
    """

    def __init__(self, send_who_is: Callable[[int], None]) -> None:
        self._send_who_is = send_who_is
        self._known: OrderedDict[int, DiscoveredDevice] = OrderedDict()
        self._searches: dict[int, asyncio.Future[DiscoveredDevice]] = {}
        self._waiting: dict[int, int] = {}  # callers of find() per instance searched for

    def heard(self, device: DiscoveredDevice) -> None:
        instance = device.instance
        self._known[instance] = device
        self._known.move_to_end(instance)
        if len(self._known) > _MAX_DEVICES:
            self._known.popitem(last=False)
        search = self._searches.pop(instance, None)
        if search is not None and not search.done():
            search.set_result(device)

    def known(self, instance: int) -> DiscoveredDevice | None:
        return self._known.get(instance)

    def forget(self, instance: int, address: str) -> None:
        """Forget ``instance`` unless an I-Am has named another address for it since."""
        device = self._known.get(instance)
        if device is not None and device.address == address:
            del self._known[instance]

    async def find(self, instance: int, timeout: float) -> DiscoveredDevice:
        """The device, from the directory or by searching up to ``timeout`` seconds; BacnetTimeoutError if silent."""
        device = self._known.get(instance)
        if device is not None:
            return device
        search = self._searches.get(instance)
        if search is None:
            search = asyncio.get_running_loop().create_future()
            self._searches[instance] = search
            self._send_who_is(instance)
        self._waiting[instance] = self._waiting.get(instance, 0) + 1
        try:
            # A lost broadcast is asked again once, halfway through.
            done, _ = await asyncio.wait([search], timeout=timeout / 2)
            if not done:
                self._send_who_is(instance)
                await asyncio.wait([search], timeout=timeout / 2)
        finally:
            # The last caller to give up ends the search.
            self._waiting[instance] -= 1
            if not self._waiting[instance]:
                del self._waiting[instance]
                if not search.done():
                    search.cancel()
                if self._searches.get(instance) is search:
                    del self._searches[instance]
        if not search.done() or search.cancelled():
            raise BacnetTimeoutError(f"device {instance} did not answer Who-Is")
        return search.result()

    def close(self, error: BaseException) -> None:
        """Fail every search still running with ``error``."""
        for search in self._searches.values():
            if not search.done():
                search.set_exception(error)
        self._searches.clear()
