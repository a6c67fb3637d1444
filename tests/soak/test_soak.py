"""The client on a lossy network: one short soak run through every loss rate
(soak.py says what is checked; scripts/soak.sh runs seed after seed)."""

from __future__ import annotations

import asyncio

from soak import Plan, soak


def test_every_operation_ends_once_with_what_the_device_holds(bacpypes3_peers: None) -> None:
    plan = Plan(101, rounds=1, operations=200)
    report = asyncio.run(soak(plan))
    print(report.summary())
    assert not report.violations, f"{report.summary()}\nreplay: {plan.replay()}"
    assert report.endings > report.requests / 2, "the stack's endings were not watched"
    # The run went where it should: at every rate each kind of operation got
    # through, segmented both ways, while the proxies lost and duplicated datagrams.
    for loss in plan.losses:
        for kind in ("read", "read-multiple", "write", "write-segmented", "read-back"):
            assert report.outcomes[loss, kind, "ok"] > 0, (loss, kind)
        datagrams = report.datagrams[loss]
        assert datagrams["device_to_client dropped"] > 0 and datagrams["client_to_device duplicated"] > 0, loss
