"""Test peers: bacpypes3 devices, routers and BBMDs in subprocesses, and a lossy UDP proxy."""

from .topology import (
    ALL_FEATURES,
    BBMD_INSTANCE,
    IP_NETWORK,
    ROUTER_INSTANCE,
    SITE_NETWORK,
    VIRTUAL_NETWORK,
    Device,
    DeviceSpec,
    PeerError,
    PeerProcess,
    Topology,
    scan_site_specs,
    start_bbmd_site,
    start_device,
    start_devices,
    start_flat_site,
    start_routed_site,
    start_scan_site,
)
from .udp_proxy import Decision, Impairment, UdpProxy

__all__ = [
    "ALL_FEATURES", "BBMD_INSTANCE", "IP_NETWORK", "ROUTER_INSTANCE", "SITE_NETWORK", "VIRTUAL_NETWORK",
    "Decision", "Device", "DeviceSpec", "Impairment", "PeerError", "PeerProcess", "Topology", "UdpProxy",
    "scan_site_specs", "start_bbmd_site", "start_device", "start_devices", "start_flat_site", "start_routed_site",
    "start_scan_site",
]
