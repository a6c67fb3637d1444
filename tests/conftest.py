"""Fixtures for every test package: the bacpypes3 test peers (see peers/README.md)."""

from peers.fixtures import bacpypes3_peers, bbmd_site, peer_topology, routed_site, scan_site  # noqa: F401
