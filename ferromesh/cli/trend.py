"""``trend``: a trend log's records by time window or the last N, printed, exported as CSV or JSON, or plotted."""

from __future__ import annotations

import argparse
import csv
import datetime
import sys
from typing import IO, Any

from .. import BacnetAddr, PropertyValueUnsigned, ReadRangeByPosition
from ..client import Client
from ..errors import BacnetAbortError
from ..names import format_object_id
from ..views import LogRecord, StatusFlags, log_records
from .arguments import EXIT_OK
from .commands import Output, device_address
from .plot import plot_records, require_matplotlib
from .render import table, value_text

__all__ = ["read_records", "trend"]

PAGE = 100  # records asked for per ReadRange; devices may send fewer
CSV_COLUMNS = ["timestamp", "kind", "value", "in_alarm", "fault", "overridden", "out_of_service"]
_FLAGS = ("in_alarm", "fault", "overridden", "out_of_service")


def _too_large(error: BacnetAbortError) -> bool:
    return error.reason in (1, 4, 11)  # buffer-overflow, segmentation-not-supported, apdu-too-long


async def _last(client: Client, address: str | BacnetAddr, obj: Any, count: int) -> list[LogRecord]:
    """The last ``count`` records: from position record-count - count + 1 forwards to the end."""
    total = (await client.read_property(address, obj, "record-count")).value
    if not isinstance(total, PropertyValueUnsigned):
        raise ValueError("the trend log's record-count is not a number")
    position = max(1, total.value - count + 1)
    records: list[LogRecord] = []
    page_size = PAGE
    while True:
        try:
            page = await client.read_range(address, obj, "log-buffer", ReadRangeByPosition(position, page_size))
        except BacnetAbortError as error:
            if not _too_large(error) or page_size == 1:
                raise
            page_size = max(1, page_size // 4)  # a device that cannot send a segmented answer
            continue
        got = log_records(page.items)
        records += got
        position += page.item_count
        if page.last_item or not got:
            return records[-count:]


async def read_records(client: Client, address: str | BacnetAddr, obj: Any, *,
                       since: datetime.datetime | None = None, until: datetime.datetime | None = None,
                       last: int | None = None) -> list[LogRecord]:
    """A trend log's records, oldest first: the last ``last`` ones, or those from ``since`` to ``until``."""
    if last is not None:
        return await _last(client, address, obj, last)
    # ReadRange by time reads what is time-stamped after its time: a hundredth
    # of a second earlier, the first record of the window is in.
    after = None if since is None else since - datetime.timedelta(milliseconds=10)
    records: list[LogRecord] = []
    page_size = PAGE
    while True:
        try:
            async for record in client.trend_log_records(address, obj, since=after, page_size=page_size):
                stamp = record.timestamp
                if until is not None and isinstance(stamp, datetime.datetime) and stamp > until:
                    return records
                records.append(record)
            return records
        except BacnetAbortError as error:
            if not _too_large(error) or page_size == 1:
                raise
            page_size = max(1, page_size // 4)  # a device that cannot send a segmented answer
            last_stamp = records[-1].timestamp if records else None
            if isinstance(last_stamp, datetime.datetime):
                after = last_stamp  # go on after what was read


def timestamp_text(stamp: object) -> str:
    """ISO 8601; fields a device left unspecified as '*'."""
    if isinstance(stamp, datetime.datetime):
        return stamp.isoformat(timespec="milliseconds" if stamp.microsecond else "seconds")
    if isinstance(stamp, tuple):
        year, month, day, _weekday, hour, minute, second = stamp[:7]
        f = ["*" if v is None else f"{v:02d}" for v in (year, month, day, hour, minute, second)]
        return f"{f[0]}-{f[1]}-{f[2]}T{f[3]}:{f[4]}:{f[5]}"
    return str(stamp)


_LOG_STATUS = ("log-disabled", "buffer-purged", "log-interrupted")


def value_json(record: LogRecord) -> Any:
    """The record's value as JSON: numbers and booleans as they are, log-status by the names of its set flags."""
    value = record.value
    if record.kind == "log-status":
        return [name for name, bit in zip(_LOG_STATUS, value) if bit]
    if record.kind == "failure":
        return {"error_class": value[0], "error_code": value[1]}
    if isinstance(value, (tuple, list)):
        return [value_json(LogRecord(record.timestamp, "", v)) for v in value]
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    return value_text(value)


def _value_text(record: LogRecord) -> str:
    value = value_json(record)
    if isinstance(value, list):
        return ",".join(map(str, value)) or "-"
    if isinstance(value, dict):
        return f"error {value['error_class']}/{value['error_code']}"
    if isinstance(value, bool):
        return "true" if value else "false"
    return "null" if value is None else str(value)


def _flags_json(flags: StatusFlags | None) -> dict[str, bool] | None:
    return None if flags is None else {name.replace("_", "-"): getattr(flags, name) for name in _FLAGS}


def _flags_text(flags: StatusFlags | None) -> str:
    set_flags = [name.replace("_", "-") for name in _FLAGS if flags is not None and getattr(flags, name)]
    return ",".join(set_flags) or ("" if flags is None else "normal")


def write_csv(records: list[LogRecord], stream: IO[str]) -> None:
    writer = csv.writer(stream, lineterminator="\n")
    writer.writerow(CSV_COLUMNS)
    for r in records:
        flags = r.status_flags
        writer.writerow([timestamp_text(r.timestamp), r.kind, _value_text(r),
                         *("" if flags is None else str(getattr(flags, name)).lower() for name in _FLAGS)])


async def trend(client: Client, args: argparse.Namespace, out: Output) -> int:
    obj_text = format_object_id(args.object)
    if args.plot is not None:
        require_matplotlib()  # before reading, not after
    last = args.last if args.last is not None or args.since or args.until else 100
    address = await device_address(client, args.address)
    records = await read_records(client, address, args.object, since=args.since, until=args.until, last=last)
    if args.csv == "-":
        write_csv(records, sys.stdout)
    elif args.csv is not None:
        with open(args.csv, "w", encoding="utf-8", newline="") as stream:
            write_csv(records, stream)
    if args.plot is not None:
        plot_records(records, args.plot, f"{obj_text} at {address}")
    rows = [{"timestamp": timestamp_text(r.timestamp), "value": _value_text(r), "status": _flags_text(r.status_flags),
             "kind": r.kind} for r in records]
    if args.csv != "-":
        out.result(table(["timestamp", "value", "status", "kind"], rows) if rows else "no records", {
            "address": address, "object": obj_text,
            "records": [{"timestamp": timestamp_text(r.timestamp), "kind": r.kind, "value": value_json(r),
                         "status_flags": _flags_json(r.status_flags)} for r in records]})
    return EXIT_OK
