"""``poll``: read a list of points every interval and write what was read, with time stamps, as CSV or JSON lines.

The points file is what ``scan`` writes (its JSON, or its CSV) or a list of
one's own: a CSV with the columns ``address`` and ``object`` (and optionally
``property`` and ``array_index``), or a JSON list of objects with those keys.
Points of a scan are the objects that have a present value.
"""

from __future__ import annotations

import argparse
import csv
import datetime
import io
import json
import sys
from typing import IO, Any, Iterable

from ..client import Client
from ..names import (format_address, format_object_id, parse_device, parse_object_id, parse_property_id,
                     property_enumeration, property_name)
from ..polling import Point, PollRound
from ..scan import properties_of
from .arguments import EXIT_INTERRUPTED, EXIT_OK, parse_property_ref
from .commands import Output
from .render import value_json, value_text
from .interrupt import run_interruptible

__all__ = ["load_points", "poll"]

CSV_COLUMNS = ["timestamp", "address", "object", "property", "value", "error"]


def _point(address: Any, obj: Any, prop: Any = None, index: Any = None) -> Point:
    if not isinstance(address, str) or not isinstance(obj, str):
        raise ValueError(f"a point needs an address and an object, got {address!r} {obj!r}")
    property_id, array_index = parse_property_ref(prop) if isinstance(prop, str) and prop else (85, None)
    if index not in (None, ""):
        array_index = int(index)
    return Point(parse_device(address), parse_object_id(obj), property_id, array_index)


def _from_scan(document: dict[str, Any]) -> Iterable[Point]:
    for device in document.get("devices", []):
        for obj in device.get("objects", []):
            if "present-value" in properties_of(parse_object_id(obj["object"]).object_type):
                yield _point(device["address"], obj["object"])


def load_points(stream: IO[str]) -> list[Point]:
    """The points of a file as ``scan`` writes it (JSON or CSV), or of a plain list (see the module)."""
    text = stream.read()
    if text.lstrip().startswith(("{", "[")):
        document = json.loads(text)
        if isinstance(document, dict) and isinstance(document.get("devices"), list):
            return list(_from_scan(document))
        if isinstance(document, list):
            return [_point(p.get("address"), p.get("object"), p.get("property"), p.get("array_index"))
                    for p in document]
        raise ValueError("a JSON points file holds a scan or a list of points")
    rows = list(csv.DictReader(io.StringIO(text)))
    if rows and not {"address", "object"} <= rows[0].keys():
        raise ValueError("a CSV points file needs the columns address and object")
    if rows and "property" not in rows[0]:  # a scan's CSV: the objects with a present value
        rows = [r for r in rows if "present-value" in properties_of(parse_object_id(r["object"]).object_type)]
    return [_point(r["address"], r["object"], r.get("property"), r.get("array_index")) for r in rows]


def _stamp(timestamp: float) -> str:
    return datetime.datetime.fromtimestamp(timestamp).astimezone().isoformat(timespec="milliseconds")


def _label(point: Point) -> tuple[str, str, str]:
    device = parse_device(point.device)
    address = f"device:{device}" if isinstance(device, int) else format_address(device)
    prop = property_name(parse_property_id(point.property)) + (
        "" if point.array_index is None else f"[{point.array_index}]")
    return address, format_object_id(parse_object_id(point.object)), prop


class _Writer:
    """Writes rounds as CSV rows (one per point) or JSON lines (one per round) and flushes each round."""

    def __init__(self, points: list[Point], as_json: bool, stream: IO[str]) -> None:
        self.as_json = as_json
        self.stream = stream
        self.labels = [_label(p) for p in points]
        self.names = [property_enumeration(parse_object_id(p.object).object_type, parse_property_id(p.property))
                      for p in points]
        self.csv = csv.writer(stream, lineterminator="\n")
        if not as_json:
            self.csv.writerow(CSV_COLUMNS)

    def round(self, polled: PollRound) -> None:
        stamp = _stamp(polled.timestamp)
        rows = []
        for (address, obj, prop), names, result in zip(self.labels, self.names, polled.results):
            error = None if result.error is None else str(result.error) or type(result.error).__name__
            if self.as_json:
                entry: dict[str, Any] = {"address": address, "object": obj, "property": prop}
                entry.update({"error": error} if error is not None else {"value": value_json(result.value, names)})
                rows.append(entry)
            else:
                self.csv.writerow([stamp, address, obj, prop, "" if error else value_text(result.value, names),
                                   error or ""])
        if self.as_json:
            self.stream.write(json.dumps({"timestamp": stamp, "elapsed": round(polled.elapsed, 3),
                                          "overran": polled.overran, "missed": polled.missed, "points": rows},
                                         ensure_ascii=False) + "\n")
        self.stream.flush()


async def poll(client: Client, args: argparse.Namespace, out: Output) -> int:
    points: list[Point] = args.points
    writer = _Writer(points, out.as_json, sys.stdout)

    async def run() -> None:
        rounds = 0
        async for polled in client.poll(points, args.interval, max_per_device=args.per_device):
            writer.round(polled)
            if polled.overran or polled.missed:
                print(f"poll: a round took {polled.elapsed:.2f} s of a {args.interval:g} s interval"
                      + (f"; {polled.missed} rounds skipped" if polled.missed else ""), file=sys.stderr)
            rounds += 1
            if rounds == args.count:
                return

    return EXIT_INTERRUPTED if await run_interruptible(run()) else EXIT_OK
