"""How long ``python -m ferromesh scan`` takes on a whole simulated site, and how many requests it sends.

Starts the site of the test peers (bacpypes3, one process for every device:
20 devices of 200 objects by default, on one B/IP network, or with
``--routed`` on a network behind a router), runs the scan command against
it ``--repeat`` times (the broadcast address; behind the router,
``ROUTER --network N``), and reports for
each run: wall-clock time of the command and of the scan itself, the
command's CPU time, the requests the devices received by service (counted
by the peers), and the objects listed. Needs bacpypes3 and the package
installed (the test venv has both):

    build/venv-test/bin/python -P bench/scan_bench.py --repeat 3
    build/venv-test/bin/python -P bench/scan_bench.py --routed --repeat 3
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from peers import SITE_NETWORK, scan_site_specs, start_flat_site, start_scan_site  # noqa: E402


def requests(site) -> collections.Counter[str]:
    total: collections.Counter[str] = collections.Counter()
    for device in site.devices:
        total.update(json.loads(site.command(f"stats {device.instance}").removeprefix("ok ")))
    return total


def target(site, routed: bool) -> list[str]:
    """Who-Is to every device of the site: its broadcast address, or its network through the router."""
    if not routed:
        return [site.broadcast]
    host, port = site.router.address
    return [f"{host}:{port}", "--network", str(SITE_NETWORK)]


def run_scan(site, routed: bool, extra: list[str]) -> dict[str, float]:
    before_requests = requests(site)
    before_cpu = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    done = subprocess.run([sys.executable, "-P", "-m", "ferromesh", "scan", *target(site, routed), "--json", *extra],
                          capture_output=True, text=True, check=False)
    wall = time.perf_counter() - started
    after_cpu = resource.getrusage(resource.RUSAGE_CHILDREN)
    sent = requests(site) - before_requests
    scan = json.loads(done.stdout)
    return {"exit": done.returncode, "wall": wall, "scan": scan["seconds"],
            "cpu": (after_cpu.ru_utime + after_cpu.ru_stime) - (before_cpu.ru_utime + before_cpu.ru_stime),
            "objects": scan["summary"]["objects"], "read": scan["summary"]["objects_read"],
            "failures": scan["summary"]["failures"], "requests": sum(sent.values()),
            **{f"n {name}": count for name, count in sent.items()}}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--devices", type=int, default=20)
    parser.add_argument("--points", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--routed", action="store_true", help="the devices behind a router")
    parser.add_argument("scan_arguments", nargs="*", help="more arguments for scan, after --")
    args = parser.parse_args()
    where = "behind a router" if args.routed else "on one B/IP network"
    print(f"load average {os.getloadavg()[0]:.1f}; {args.devices} devices x {args.points} objects {where}")
    site = start_scan_site(args.devices, args.points) if args.routed else start_flat_site(
        scan_site_specs(args.devices, args.points))
    with site:
        runs = [run_scan(site, args.routed, args.scan_arguments) for _ in range(args.repeat)]
    for run in runs:
        print("  ".join(f"{k}={v:.2f}" if isinstance(v, float) else f"{k}={v}" for k, v in run.items()))
    print(f"median: command {statistics.median(r['wall'] for r in runs):.2f} s,"
          f" scan {statistics.median(r['scan'] for r in runs):.2f} s,"
          f" CPU {statistics.median(r['cpu'] for r in runs):.2f} s,"
          f" requests {statistics.median(r['requests'] for r in runs):.0f}; load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
