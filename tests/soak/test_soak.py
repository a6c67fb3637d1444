"""The client on a lossy network: one short soak run per loss rate (soak.py
says what is checked; scripts/soak.sh runs many seeds for longer)."""

from __future__ import annotations

import asyncio

import pytest

from soak import LOSS_RATES, Plan, soak

SEEDS = {0.01: 101, 0.05: 105, 0.20: 120}


@pytest.mark.parametrize("loss", LOSS_RATES)
def test_every_operation_ends_once_with_what_the_device_holds(bacpypes3_peers: None, loss: float) -> None:
    plan = Plan(SEEDS[loss], loss, rounds=2, operations=200)
    report = asyncio.run(soak(plan))
    print(report.summary())
    assert not report.violations, f"{report.summary()}\nreplay: {plan.replay()}"
    # The run went where it should: every kind of operation got through,
    # segmented both ways, and the proxies lost and duplicated datagrams.
    for kind in ("read", "read-multiple", "write", "write-segmented", "read-back"):
        assert report.outcomes[kind, "ok"] > 0, kind
    assert report.datagrams["device_to_client dropped"] > 0 and report.datagrams["client_to_device duplicated"] > 0
