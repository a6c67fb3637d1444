"""Host side of the test peers: start bacpypes3 topologies, know their
addresses, talk to their control channel, and always stop them.

Each topology runs in one subprocess (``peer_server.py``) on 127.0.0.0/8 with
ports picked free at start, so that test runs on one machine do not collide.
"""

from __future__ import annotations

import asyncio
import itertools
import json
import os
import select
import socket
import subprocess
import sys
import tempfile
import threading
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Iterable

from .catalogue import BASE_OBJECTS

SERVER = Path(__file__).with_name("peer_server.py")

# Network numbers the tests know. Both need two octets, so a byte-order
# mistake in DNET or SNET cannot go unnoticed.
IP_NETWORK = 0x0105  # the B/IP network the tests and the router share
VIRTUAL_NETWORK = 0x04D2  # behind the router
SITE_NETWORK = 0x07D1  # behind the router of the whole-site topology

ROUTER_INSTANCE = 1000
BBMD_INSTANCE = 3000
# Capabilities a device may have; see README.md.
CAPABILITIES = frozenset({"cov", "schedule", "calendar", "trend-log", "event-time-stamps", "alarms", "no-rpm",
                          "iam-broadcast"})
ALL_FEATURES = ("cov", "schedule", "calendar", "trend-log", "event-time-stamps", "alarms")


class PeerError(RuntimeError):
    """A peer did not start, or refused a control command."""


@dataclass(frozen=True)
class DeviceSpec:
    """One device to start: what it serves and how it behaves."""

    instance: int
    capabilities: Iterable[str] = ()
    points: int = 0  # extra objects beyond the base points (whole-site scans)
    max_apdu: int = 1476
    segmentation: str = "segmentedBoth"  # or "noSegmentation"
    mute_after: int | None = None  # stop answering after this many confirmed requests
    range_page: int | None = None  # most log records one ReadRange answer holds
    trend_records: int | None = None
    name: str | None = None

    def node(self) -> dict[str, Any]:
        unknown = set(self.capabilities) - CAPABILITIES
        if unknown:
            raise ValueError(f"unknown capabilities {sorted(unknown)}")
        node: dict[str, Any] = {
            "instance": self.instance, "name": self.name or f"device-{self.instance}",
            "capabilities": sorted(self.capabilities), "points": self.points, "max_apdu": self.max_apdu,
            "segmentation": self.segmentation}
        for key in ("mute_after", "range_page", "trend_records"):
            if getattr(self, key) is not None:
                node[key] = getattr(self, key)
        return node


@dataclass(frozen=True)
class Device:
    """A running device as a client addresses it: the UDP address datagrams
    go to (the router's for a routed device) and, behind a router, the
    network number and MAC address that go into DNET/DADR."""

    instance: int
    address: tuple[str, int]
    network: int | None = None
    mac: bytes | None = None
    spec: DeviceSpec | None = None

    @property
    def capabilities(self) -> frozenset[str]:
        return frozenset(self.spec.capabilities) if self.spec else frozenset()


def free_udp_port() -> int:
    """A UDP port free on every local address at this moment."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("0.0.0.0", 0))
        return int(s.getsockname()[1])


class PeerProcess:
    """One peer subprocess. ``command()`` sends a control line and returns
    the text after ``ok``; ``acommand()`` does the same without blocking an
    event loop (needed when the peer waits for the client under test)."""

    def __init__(self, nodes: list[dict[str, Any]], *, start_timeout: float = 60) -> None:
        self.nodes = nodes
        self.start_timeout = start_timeout
        self._stderr = tempfile.TemporaryFile()
        self._process: subprocess.Popen[bytes] | None = None
        self._lock = threading.Lock()

    def __enter__(self) -> PeerProcess:
        self.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def start(self) -> None:
        self._process = subprocess.Popen(
            [sys.executable, str(SERVER), json.dumps({"nodes": self.nodes})],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self._stderr,
            env={**os.environ, "PYTHONUNBUFFERED": "1"})
        line = self._readline(self.start_timeout)
        if line != "ready":
            self.stop()
            raise PeerError(f"the peer did not start: {line or self.stderr_tail()}")

    def stop(self) -> None:
        process, self._process = self._process, None
        if process is None:
            return
        assert process.stdin is not None and process.stdout is not None
        try:
            process.stdin.close()  # end of input: the peer shuts down by itself
        except OSError:
            pass
        process.terminate()
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        process.stdout.close()

    @property
    def running(self) -> bool:
        return self._process is not None and self._process.poll() is None

    def command(self, text: str, timeout: float = 30) -> str:
        with self._lock:
            if self._process is None or self._process.stdin is None:
                raise PeerError("the peer is not running")
            self._process.stdin.write(text.encode() + b"\n")
            self._process.stdin.flush()
            line = self._readline(timeout)
        if line.startswith("ok"):
            return line[2:].strip()
        raise PeerError(f"{text!r}: {line or 'no answer; ' + self.stderr_tail()}")

    async def acommand(self, text: str, timeout: float = 30) -> str:
        return await asyncio.get_running_loop().run_in_executor(None, self.command, text, timeout)

    def _readline(self, timeout: float) -> str:
        assert self._process is not None and self._process.stdout is not None
        ready, _, _ = select.select([self._process.stdout], [], [], timeout)
        return self._process.stdout.readline().decode(errors="replace").strip() if ready else ""

    def stderr_tail(self) -> str:
        self._stderr.seek(0)
        return self._stderr.read().decode(errors="replace")[-3000:].strip()


@dataclass
class Topology:
    """A started topology: its process and the devices a test may address."""

    process: PeerProcess
    devices: list[Device]
    extra: dict[str, Any] = field(default_factory=dict)

    def __enter__(self) -> Topology:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.process.stop()

    def device(self, instance: int) -> Device:
        return next(d for d in self.devices if d.instance == instance)

    def command(self, text: str, timeout: float = 30) -> str:
        return self.process.command(text, timeout)

    async def acommand(self, text: str, timeout: float = 30) -> str:
        return await self.process.acommand(text, timeout)

    def __getattr__(self, name: str) -> Any:
        try:
            return self.__dict__["extra"][name]
        except KeyError:
            raise AttributeError(name) from None


def _ip_link(address: str, port: int, **more: Any) -> dict[str, Any]:
    return {"type": "ip", "address": address, "port": port, "mask": 8, **more}


def _start(nodes: list[dict[str, Any]], devices: list[Device], **extra: Any) -> Topology:
    process = PeerProcess(nodes)
    process.start()
    return Topology(process, devices, extra)


def start_device(spec: DeviceSpec | None = None, **spec_fields: Any) -> Topology:
    """One B/IP device on 127.0.0.1; ``topology.devices[0]`` addresses it."""
    spec = spec or DeviceSpec(instance=spec_fields.pop("instance", 4001), **spec_fields)
    port = free_udp_port()
    node = {**spec.node(), "link": _ip_link("127.0.0.1", port)}
    return _start([node], [Device(spec.instance, ("127.0.0.1", port), spec=spec)])


def start_devices(specs: list[DeviceSpec]) -> Topology:
    """Several B/IP devices on 127.0.0.1 in one process, each on a port of its
    own (so each has invoke IDs of its own towards a client)."""
    nodes, devices = [], []
    for spec in specs:
        port = free_udp_port()
        nodes.append({**spec.node(), "link": _ip_link("127.0.0.1", port)})
        devices.append(Device(spec.instance, ("127.0.0.1", port), spec=spec))
    return _start(nodes, devices)


def default_routed_devices() -> list[DeviceSpec]:
    return [DeviceSpec(2001, capabilities=ALL_FEATURES, points=100),
            DeviceSpec(2002, capabilities=("no-rpm",), max_apdu=480, segmentation="noSegmentation")]


def start_routed_site(devices: list[DeviceSpec] | None = None, *, network: int = VIRTUAL_NETWORK,
                      ip_network: int = IP_NETWORK, first_mac: int = 0x11) -> Topology:
    """A router on 127.0.0.1 between the tests' B/IP network (``ip_network``)
    and virtual network ``network`` with the devices behind it, their MAC
    addresses one octet each from ``first_mac``. The router itself is device
    ``ROUTER_INSTANCE`` with no objects beyond its device object."""
    specs = devices if devices is not None else default_routed_devices()
    port = free_udp_port()
    router = {"instance": ROUTER_INSTANCE, "name": "router", "bare": True,
              "link": _ip_link("127.0.0.1", port, network=ip_network),
              "routes_to": {"network": network, "mac": 0x01}}
    nodes, devices_ = [router], []
    for mac, spec in zip(itertools.count(first_mac), specs):
        nodes.append({**spec.node(), "link": {"type": "virtual", "network": network, "mac": mac}})
        devices_.append(Device(spec.instance, ("127.0.0.1", port), network, bytes([mac]), spec))
    return _start(nodes, devices_, router=Device(ROUTER_INSTANCE, ("127.0.0.1", port)),
                  network=network, ip_network=ip_network)


def default_bbmd_devices() -> list[DeviceSpec]:
    return [DeviceSpec(3101, capabilities=("cov",)), DeviceSpec(3102, capabilities=("iam-broadcast",))]


def start_bbmd_site(devices: list[DeviceSpec] | None = None, *, subnet: str = "127.0.77") -> Topology:
    """A BBMD and devices on a second B/IP network: ``subnet``.1 is the BBMD,
    the devices follow from ``subnet``.2, all on one port that no test
    client uses, so that their broadcasts (to 127.255.255.255 on that port)
    reach each other and the BBMD but never a client. A client reaches them
    by registering with the BBMD (``topology.bbmd``) as a foreign device."""
    specs = devices if devices is not None else default_bbmd_devices()
    port = free_udp_port()
    bbmd_address = f"{subnet}.1"
    nodes = [{"instance": BBMD_INSTANCE, "name": "bbmd", "bare": True,
              "link": _ip_link(bbmd_address, port, bdt=[f"{bbmd_address}:{port}"])}]
    devices_ = []
    for host, spec in zip(itertools.count(2), specs):
        address = f"{subnet}.{host}"
        nodes.append({**spec.node(), "link": _ip_link(address, port)})
        devices_.append(Device(spec.instance, (address, port), spec=spec))
    return _start(nodes, devices_, bbmd=Device(BBMD_INSTANCE, (bbmd_address, port)), port=port)


def scan_site_specs(devices: int = 20, points: int = 200, *, first_instance: int = 5001,
                    options: dict[int, dict[str, Any]] | None = None) -> list[DeviceSpec]:
    """The devices of a whole site: each with an object list of ``points``
    objects (device object included); the first has a trend log. ``options``
    overrides ``DeviceSpec`` fields by instance."""
    specs = []
    for n in range(devices):
        instance = first_instance + n
        capabilities = ("cov", "trend-log") if n == 0 else ("cov",)
        trend_logs = 1 if n == 0 else 0
        extra = points - 1 - len(BASE_OBJECTS) - trend_logs
        fields: dict[str, Any] = {"capabilities": capabilities, "points": extra,
                                  **(options or {}).get(instance, {})}
        specs.append(DeviceSpec(instance, **fields))
    return specs


def start_scan_site(devices: int = 20, points: int = 200, *, first_instance: int = 5001,
                    network: int = SITE_NETWORK, options: dict[int, dict[str, Any]] | None = None) -> Topology:
    """``devices`` devices behind a router, instances from ``first_instance``,
    each with an object list of ``points`` objects (device object included);
    the first has a trend log. ``options`` overrides ``DeviceSpec`` fields
    by instance, for example ``{5007: {"mute_after": 30}}`` for a device
    that stops answering halfway through a scan (or send it ``mute``)."""
    specs = scan_site_specs(devices, points, first_instance=first_instance, options=options)
    return start_routed_site(specs, network=network)


def start_flat_site(devices: list[DeviceSpec], *, subnet: str = "127.0.88") -> Topology:
    """Devices on one B/IP network without a router: ``subnet``.2, .3, ...
    all on one free port P. A client finds them all with one Who-Is to the
    broadcast address ``127.255.255.255:P`` (``topology.broadcast``)."""
    port = free_udp_port()
    nodes, devices_ = [], []
    for host, spec in zip(itertools.count(2), devices):
        address = f"{subnet}.{host}"
        nodes.append({**spec.node(), "link": _ip_link(address, port)})
        devices_.append(Device(spec.instance, (address, port), spec=spec))
    return _start(nodes, devices_, port=port, broadcast=f"127.255.255.255:{port}")
