"""pytest fixtures for the test peers; ``tests/conftest.py`` makes them
available to every test package.

The session-wide topologies are shared by every test that asks for them:
read from them, subscribe to them, but do not change their state (values,
muting); start your own with ``peer_topology`` for that.
"""

from __future__ import annotations

import importlib.util
import os
from collections.abc import Callable, Iterator
from typing import Any

import pytest

from .topology import Topology, start_bbmd_site, start_device, start_routed_site, start_scan_site


@pytest.fixture(scope="session")
def bacpypes3_peers() -> None:
    """Skips (fails in CI) where bacpypes3, the peers' stack, is missing."""
    if importlib.util.find_spec("bacpypes3") is None:
        message = "the test peers need bacpypes3 (pip install 'ferromesh[test]')"
        if os.environ.get("CI"):
            pytest.fail(message)
        pytest.skip(message)


@pytest.fixture(scope="session")
def routed_site(bacpypes3_peers: None) -> Iterator[Topology]:
    """``start_routed_site()``: devices 2001 (every capability, 100 extra
    points) and 2002 (no ReadPropertyMultiple, 480-octet APDUs, no
    segmentation) behind a router on 127.0.0.1."""
    with start_routed_site() as site:
        yield site


@pytest.fixture(scope="session")
def bbmd_site(bacpypes3_peers: None) -> Iterator[Topology]:
    """``start_bbmd_site()``: a BBMD and devices 3101 (COV) and 3102
    (answers Who-Is with a broadcast I-Am) on a second B/IP network."""
    with start_bbmd_site() as site:
        yield site


@pytest.fixture(scope="session")
def scan_site(bacpypes3_peers: None) -> Iterator[Topology]:
    """``start_scan_site()``: 20 devices of 200 objects behind a router."""
    with start_scan_site() as site:
        yield site


@pytest.fixture
def peer_topology(bacpypes3_peers: None) -> Iterator[Callable[..., Topology]]:
    """Starts topologies for one test and stops them after it:
    ``peer_topology(start_device, capabilities=("cov",))``."""
    started: list[Topology] = []

    def start(starter: Callable[..., Topology] = start_device, *args: Any, **kwargs: Any) -> Topology:
        topology = starter(*args, **kwargs)
        started.append(topology)
        return topology

    yield start
    for topology in started:
        topology.process.stop()
