"""``scan``: find every device, read every object, write the list as text, JSON, CSV and EDE."""

from __future__ import annotations

import argparse
import itertools
import sys

from ..client import Client
from ..ede import write_ede
from ..scan import Scanner, new_scan
from ..site import SiteScan, dump_json, write_csv
from .arguments import EXIT_INTERRUPTED, EXIT_NO_ANSWER, EXIT_OK, EXIT_PROPERTY_ERRORS
from .commands import Output, is_broadcast
from .interrupt import run_interruptible
from .progress import ScanProgress
from .render import table

__all__ = ["scan"]


def _text(scan: SiteScan) -> str:
    rows = [{"device": d.instance, "address": d.address, "name": d.name or "", "objects": len(d.objects),
             "read": sum(o.error is None for o in d.objects), "error": d.error or ""} for d in scan.devices]
    lines = [table(["device", "address", "name", "objects", "read", "error"], rows)] if rows else []
    failures = scan.failures()
    if failures:
        lines.append(f"\n{len(failures)} failures:")
        # Objects that failed alike on one device (a device that fell silent) make one line.
        for (device, error), group in itertools.groupby(failures, key=lambda f: (f.device, f.error)):
            same = list(group)
            if len(same) > 3:
                lines.append(f"  device {device}: {len(same)} objects ({same[0].object} ...): {error}")
                continue
            lines += [f"  device {f.device}" + (f" {f.object}" if f.object else "")
                      + (f" {f.property}" if f.property else "") + f": {f.error}" for f in same]
    summary = scan.summary()
    lines.append(f"\n{summary['devices']} devices, {summary['objects_read']} of {summary['objects']} objects read"
                 f" in {scan.seconds:.1f} s" + ("" if scan.complete else " (interrupted)"))
    return "\n".join(lines)


def _write(scan: SiteScan, args: argparse.Namespace, out: Output) -> None:
    if args.csv == "-":
        write_csv(scan, sys.stdout)
    elif args.csv is not None:
        with open(args.csv, "w", encoding="utf-8", newline="") as stream:
            write_csv(scan, stream)
    if args.ede is not None:
        write_ede(scan, args.ede, project=args.project)
    if out.as_json:
        dump_json(scan, sys.stdout)
    elif args.csv != "-":
        print(_text(scan))


async def scan(client: Client, args: argparse.Namespace, out: Output) -> int:
    result = new_scan()
    scanner = Scanner(client, per_device=args.per_device, max_concurrency=args.max_concurrency)
    address = args.address if args.address is not None else args.discover
    # One device, at a unicast address or by instance: its answer is all there is to wait for.
    expect = 1 if not is_broadcast(address) or (args.low is not None and args.low == args.high) else None

    async def run() -> None:
        found = await client.who_is(address, args.low, args.high, timeout=args.wait, expect=expect)
        if args.network is not None:  # answers to others' Who-Is come from anywhere
            found = [d for d in found if d.network == args.network]
        await scanner.run(result, found)

    async with ScanProgress(scanner.counters):
        interrupted = await run_interruptible(run())
    _write(result, args, out)
    if interrupted:
        return EXIT_INTERRUPTED
    if not result.devices:
        return EXIT_NO_ANSWER
    return EXIT_PROPERTY_ERRORS if result.failures() else EXIT_OK
