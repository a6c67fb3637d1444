"""Test peers: bacpypes3 devices, routers and BBMDs in one subprocess.

Run as ``python peer_server.py SPEC_JSON`` (the host side in ``topology.py``
builds the spec). Every node of the spec is a bacpypes3 application with its
own device object, attached either to a B/IP socket on 127.0.0.0/8 or to an
in-process virtual network behind a router node. The process prints
``ready`` once every socket is bound, then reads control commands from stdin,
one per line, and answers each with one line, ``ok ...`` or ``error ...``.
It exits on SIGTERM, SIGINT or when stdin reaches end of file (its parent is
gone), so that no peer outlives the test run that started it.

bacpypes3 is used as the peer only, through its public API; this module just
describes objects and wires applications together.
"""

from __future__ import annotations

import asyncio
import collections
import json
import signal
import sys
from typing import Any

from bacpypes3.apdu import ErrorRejectAbortNack
from bacpypes3.app import Application
from bacpypes3.basetypes import BDTEntry, ServicesSupported
from bacpypes3.errors import UnrecognizedService
from bacpypes3.local.device import DeviceObject
from bacpypes3.local.networkport import NetworkPortObject
from bacpypes3.pdu import LocalStation
from bacpypes3.vlan import VirtualNetwork
from bacpypes3.vlan.link import VirtualLinkLayer

import catalogue
import peer_objects
from peer_services import CovPropertyServices, ReadRangeServices, attribute_name
from peer_writes import WritePropertyMultipleServices


class PeerApplication(CovPropertyServices, ReadRangeServices, WritePropertyMultipleServices, Application):
    """A device whose behaviour the control channel and its spec can change."""

    peer_spec: dict[str, Any]
    muted: bool = False
    serving: bool = False  # set once every node of the process answers
    answers_left: int | None = None

    def configure(self, spec: dict[str, Any]) -> None:
        self.peer_spec = spec
        self.capabilities = frozenset(spec.get("capabilities", ()))
        self.answers_left = spec.get("mute_after")
        # Requests that reached the application, by bacpypes3's class name.
        self.stats: collections.Counter[str] = collections.Counter()
        # Every WriteProperty that took effect, in order: (object, property, value held after it, invoke ID).
        self.write_log: list[tuple[Any, str, Any, int]] = []
        self.object_subscriptions: set[Any] = set()
        self.init_cov_property()

    # bacpypes3's device object lists no active-cov-subscriptions, so the
    # subscriptions are tracked here as bacpypes3 adds and cancels them
    # (expiry cancels too).
    def add_subscription(self, cov: Any) -> None:
        self.object_subscriptions.add(cov)
        super().add_subscription(cov)

    def cancel_subscription(self, cov: Any) -> None:
        self.object_subscriptions.discard(cov)
        super().cancel_subscription(cov)

    def cov_subscriptions(self) -> list[dict[str, Any]]:
        """The live subscriptions, those of SubscribeCOV first."""
        now = asyncio.get_running_loop().time()
        found = []
        for cov in self.object_subscriptions:
            handle = cov.cancel_handle
            found.append({
                "kind": "object", "process_id": cov.proc_id, "object": f"{cov.obj_id[0]}:{cov.obj_id[1]}",
                "confirmed": bool(cov.confirmed), "address": str(cov.client_addr),
                "time_remaining": None if handle is None else max(0, round(handle.when() - now))})
        return found + self.property_subscriptions()

    async def indication(self, apdu: Any) -> None:
        # A muted device hears nothing, like a controller whose trunk was cut.
        if self.muted:
            return
        if self.answers_left is not None and apdu.apduType == 0:  # a confirmed request
            if self.answers_left <= 0:
                self.muted = True
                return
            self.answers_left -= 1
        self.stats[type(apdu).__name__] += 1
        await super().indication(apdu)

    async def do_ReadPropertyMultipleRequest(self, apdu: Any) -> None:
        if "no-rpm" in self.capabilities:
            raise UnrecognizedService()
        await super().do_ReadPropertyMultipleRequest(apdu)

    async def do_WritePropertyRequest(self, apdu: Any) -> None:
        await super().do_WritePropertyRequest(apdu)  # raises when the write is refused
        obj, prop = self.get_object_id(apdu.objectIdentifier), str(apdu.propertyIdentifier)
        self.write_log.append((obj, prop, getattr(obj, attribute_name(prop)), apdu.apduInvokeID))

    async def do_SubscribeCOVRequest(self, apdu: Any) -> None:
        if "cov" not in self.capabilities:
            raise UnrecognizedService()
        await super().do_SubscribeCOVRequest(apdu)

    async def do_WhoIsRequest(self, apdu: Any) -> None:
        # The start-up probe is answered directly: it listens on no broadcast address.
        if "iam-broadcast" not in self.capabilities or not self.serving:
            await super().do_WhoIsRequest(apdu)
            return
        # Many field devices answer Who-Is with a global broadcast, which a
        # BBMD then forwards to its foreign devices.
        instance = self.device_object.objectIdentifier[1]
        low, high = apdu.deviceInstanceRangeLowLimit, apdu.deviceInstanceRangeHighLimit
        if low is None or low <= instance <= high:
            self.i_am()

    def get_services_supported(self) -> Any:
        services = super().get_services_supported()
        supported = {ServicesSupported.readPropertyMultiple: "no-rpm" not in self.capabilities,
                     ServicesSupported.subscribeCOV: "cov" in self.capabilities,
                     ServicesSupported.subscribeCOVProperty: "cov" in self.capabilities}
        services.extend([0] * (max(supported) + 1 - len(services)))
        for bit, on in supported.items():
            services[bit] = int(on)
        return services


def _device_object(spec: dict[str, Any]) -> DeviceObject:
    return DeviceObject(
        objectIdentifier=("device", spec["instance"]),
        objectName=spec["name"],
        vendorIdentifier=catalogue.VENDOR_ID,
        maxApduLengthAccepted=spec.get("max_apdu", 1476),
        segmentationSupported=spec.get("segmentation", "segmentedBoth"),
    )


def _ip_port(link: dict[str, Any]) -> NetworkPortObject:
    port = NetworkPortObject(
        f"{link['address']}/{link.get('mask', 8)}:{link['port']}",
        objectIdentifier=("network-port", 1),
        objectName="bip",
    )
    if "network" in link:
        port.networkNumber = link["network"]
    if "bdt" in link:
        port.bacnetIPMode = "bbmd"
        port.bbmdAcceptFDRegistrations = True
        port.bbmdBroadcastDistributionTable = [BDTEntry(entry) for entry in link["bdt"]]
    return port


class Peers:
    """Every application of this process, by device instance."""

    def __init__(self, spec: dict[str, Any]) -> None:
        self.apps: dict[int, PeerApplication] = {}
        self.virtual_networks: dict[int, VirtualNetwork] = {}
        for node in spec["nodes"]:
            self._add(node)

    def _virtual_network(self, number: int) -> str:
        name = f"vlan-{number}"
        if number not in self.virtual_networks:
            self.virtual_networks[number] = VirtualNetwork(name)
        return name

    def _add(self, node: dict[str, Any]) -> None:
        objects: list[Any] = [_device_object(node)]
        link = node["link"]
        if link["type"] == "ip":
            objects.append(_ip_port(link))
        app = PeerApplication.from_object_list(objects)
        assert isinstance(app, PeerApplication)
        if link["type"] == "virtual":
            mac = LocalStation(bytes([link["mac"]]))
            app.nsap.bind(VirtualLinkLayer(mac, self._virtual_network(link["network"])), link["network"], mac)
        if "routes_to" in node:
            # A router: its second port is on the virtual network behind it.
            vlan = node["routes_to"]
            mac = LocalStation(bytes([vlan["mac"]]))
            app.nsap.bind(VirtualLinkLayer(mac, self._virtual_network(vlan["network"])), vlan["network"], mac)
        app.configure(node)
        for obj in peer_objects.build(node):
            app.add_object(obj)
        self.apps[node["instance"]] = app

    def close(self) -> None:
        for app in self.apps.values():
            app.close()


def _who_is(instance: int, route: tuple[int, int] | None) -> bytes:
    """A Who-Is for one instance, routed to (network, MAC) when given."""
    octets = instance.to_bytes(3, "big").lstrip(b"\0") or b"\0"
    apdu = bytes([0x10, 0x08, 0x08 | len(octets)]) + octets + bytes([0x18 | len(octets)]) + octets
    npdu = bytes([0x01, 0x00]) if route is None else bytes([0x01, 0x20]) + route[0].to_bytes(2, "big") + bytes(
        [0x01, route[1], 0xFF])
    return bytes([0x81, 0x0A]) + (4 + len(npdu) + len(apdu)).to_bytes(2, "big") + npdu + apdu


async def _await_answers(spec: dict[str, Any], timeout: float = 30) -> None:
    """Returns once every node answers a Who-Is on the wire: bacpypes3 binds
    its sockets in the background, so being constructed is not being ready."""
    routers = {n["routes_to"]["network"]: n["link"] for n in spec["nodes"] if "routes_to" in n}
    pending: dict[int, tuple[bytes, tuple[str, int]]] = {}
    for node in spec["nodes"]:
        link = node["link"]
        if link["type"] == "ip":
            pending[node["instance"]] = (_who_is(node["instance"], None), (link["address"], link["port"]))
        else:
            router = routers[link["network"]]
            pending[node["instance"]] = (_who_is(node["instance"], (link["network"], link["mac"])),
                                         (router["address"], router["port"]))
    loop = asyncio.get_running_loop()
    answered: asyncio.Queue[bytes] = asyncio.Queue()

    class Probe(asyncio.DatagramProtocol):
        def datagram_received(self, data: bytes, addr: Any) -> None:
            answered.put_nowait(data)

    transport, _ = await loop.create_datagram_endpoint(Probe, local_addr=("127.0.0.1", 0))
    try:
        deadline = loop.time() + timeout
        while pending:
            if loop.time() > deadline:
                raise RuntimeError(f"no answer to Who-Is from devices {sorted(pending)}")
            for datagram, address in pending.values():
                transport.sendto(datagram, address)
            try:
                while True:
                    data = await asyncio.wait_for(answered.get(), 0.25)
                    for instance in list(pending):
                        if ((8 << 22) | instance).to_bytes(4, "big") in data and b"\x10\x00\xc4" in data:
                            del pending[instance]
            except asyncio.TimeoutError:
                pass
    finally:
        transport.close()


async def _serve(spec: dict[str, Any]) -> None:
    peers = Peers(spec)
    await _await_answers(spec)
    for app in peers.apps.values():
        app.stats.clear()
        app.serving = True
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    reader = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)

    async def control() -> None:
        import peer_control

        while line := await reader.readline():
            text = line.decode().strip()
            if not text:
                continue
            try:
                reply = "ok " + await peer_control.run(peers, text)
            except (Exception, ErrorRejectAbortNack) as exc:  # the test sees it, the peer keeps serving
                reply = f"error {type(exc).__name__}: {exc}"
            print(reply.strip(), flush=True)
        stop.set()

    print("ready", flush=True)
    task = asyncio.create_task(control())
    await stop.wait()
    task.cancel()
    peers.close()


def main() -> None:
    spec = json.loads(sys.argv[1])
    asyncio.run(_serve(spec))


if __name__ == "__main__":
    main()
