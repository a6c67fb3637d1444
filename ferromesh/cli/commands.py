"""The commands read, readm, write, whois and watch through a Client, and how they print."""

from __future__ import annotations

import argparse
import asyncio
import datetime
import json
import sys
from typing import Any, Awaitable, Callable

from .. import BacnetAddr, BacnetPropertyError, ObjectIdentifier
from .._enums import PropertyIdentifier, Segmentation
from ..client import Client, DiscoveredDevice
from ..errors import BacnetErrorResponse, BacnetRejectError
from ..names import enum_member, enum_name, format_address, format_object_id, property_enumeration, property_name
from .arguments import EXIT_NO_ANSWER, EXIT_OK, EXIT_PROPERTY_ERRORS
from .render import table, value_json, value_text


class Output:
    """Where results and failures go: text to stdout/stderr, or one JSON document to stdout."""

    def __init__(self, as_json: bool) -> None:
        self.as_json = as_json

    def result(self, text: str, data: Any) -> None:
        print(json.dumps(data, ensure_ascii=False) if self.as_json else text)

    def failure(self, text: str, data: dict[str, Any]) -> None:
        if self.as_json:
            print(json.dumps({"error": data}, ensure_ascii=False))
        else:
            print(f"error: {text}", file=sys.stderr)


async def device_address(client: Client, device: BacnetAddr | int) -> str:
    """The device's address as text; a device given by instance is looked up (and found) first."""
    if isinstance(device, int):
        return (await client.find_device(device)).address
    return format_address(device)


def _property_label(prop: int, index: int | None) -> str:
    return property_name(prop) + (f"[{index}]" if index is not None else "")


async def read(client: Client, args: argparse.Namespace, out: Output) -> int:
    prop, index = args.property
    address = await device_address(client, args.address)
    result = await client.read_property(args.address, args.object, prop, index)
    obj = format_object_id(result.object_id)
    label = _property_label(result.property_id, result.array_index)
    names = property_enumeration(result.object_id.object_type, result.property_id)
    out.result(f"{obj} {label} = {value_text(result.value, names)}", {
        "address": address, "object": obj, "property": property_name(result.property_id),
        "array_index": result.array_index, "value": value_json(result.value, names)})
    return EXIT_OK


async def readm(client: Client, args: argparse.Namespace, out: Output) -> int:
    address = await device_address(client, args.address)
    result = await client.read_property_multiple(args.address, args.specs)
    lines, objects, errors = [], [], 0
    for obj_result in result.objects:
        obj = format_object_id(obj_result.object_id)
        props = []
        for prop in obj_result.properties:
            errors += isinstance(prop.value, BacnetPropertyError)
            names = property_enumeration(obj_result.object_id.object_type, prop.property_id)
            lines.append(f"{obj} {_property_label(prop.property_id, prop.array_index)} = "
                         f"{value_text(prop.value, names)}")
            props.append({"property": property_name(prop.property_id), "array_index": prop.array_index,
                          "value": value_json(prop.value, names)})
        objects.append({"object": obj, "properties": props})
    out.result("\n".join(lines), {"address": address, "objects": objects})
    return EXIT_PROPERTY_ERRORS if errors else EXIT_OK


async def write(client: Client, args: argparse.Namespace, out: Output) -> int:
    prop, index = args.property
    address = await device_address(client, args.address)
    await client.write_property(args.address, args.object, prop, args.value, index, args.priority)
    obj = format_object_id(args.object)
    names = property_enumeration(args.object.object_type, prop)
    priority = f" at priority {args.priority}" if args.priority else ""
    out.result(f"ok: {obj} {_property_label(prop, index)} <- {value_text(args.value, names)}{priority}", {
        "ok": True, "address": address, "object": obj, "property": property_name(prop),
        "array_index": index, "value": value_json(args.value, names), "priority": args.priority})
    return EXIT_OK


def segmentation_text(segmentation: int) -> str:
    """'segmented-both' for 0; the decimal number for a value the standard does not name."""
    return enum_name(enum_member(Segmentation, segmentation))


def device_row(device: DiscoveredDevice) -> dict[str, Any]:
    return {"device": device.instance, "address": device.address, "network": device.network,
            "mac": device.mac.hex() if device.mac is not None else None, "vendor_id": device.vendor_id,
            "max_apdu": device.max_apdu, "segmentation": segmentation_text(device.segmentation)}


def is_broadcast(address: BacnetAddr) -> bool:
    # The global broadcast or a directed broadcast of a /24 (or wider) network, as the Stack sends it, or every
    # device of a network behind a router.
    return address.addr.endswith(".255") or (address.network is not None and address.mac is None)


async def whois(client: Client, args: argparse.Namespace, out: Output) -> int:
    address = args.address if args.address is not None else args.discover
    # One device, at a unicast address or by instance: its answer is all there is to wait for.
    expect = 1 if not is_broadcast(address) or (args.low is not None and args.low == args.high) else None
    devices = await client.who_is(address, args.low, args.high, timeout=args.wait, expect=expect)
    rows = [device_row(d) for d in sorted(devices, key=lambda d: (d.instance, d.address))]
    columns = ["device", "address", "network", "mac", "vendor_id", "max_apdu", "segmentation"]
    text_rows = [{**row, "network": row["network"] if row["network"] is not None else "-",
                  "mac": row["mac"] if row["mac"] is not None else "-"} for row in rows]
    out.result(table(columns, text_rows) if rows else "no device answered", rows)
    return EXIT_OK if rows else EXIT_NO_ANSWER


class _Changes:
    """Prints each change as a row (text) or one JSON object per line, and counts them."""

    # Text rows: time, source (cov or poll), object, property, value.
    ROW = "{:12}  {:6}  {:24}  {:20}  {}"

    def __init__(self, args: argparse.Namespace, out: Output, address: str) -> None:
        self.address = address
        self.as_json = out.as_json
        self.left: int | None = args.count
        if not self.as_json:
            print(self.ROW.format("time", "source", "object", "property", "value").rstrip(), flush=True)

    def show(self, source: str, obj: ObjectIdentifier, prop: int, value: object) -> bool:
        """Prints one change; False once --count changes have been printed."""
        names = property_enumeration(obj.object_type, prop)
        now = datetime.datetime.now().isoformat(timespec="milliseconds")
        if self.as_json:
            print(json.dumps({"time": now, "source": source, "address": self.address, "object": format_object_id(obj),
                              "property": property_name(prop), "value": value_json(value, names)},
                             ensure_ascii=False), flush=True)
        else:
            print(self.ROW.format(now[11:], source, format_object_id(obj), property_name(prop),
                                  value_text(value, names)), flush=True)
        if self.left is None:
            return True
        self.left -= 1
        return self.left > 0


async def watch(client: Client, args: argparse.Namespace, out: Output) -> int:
    changes = _Changes(args, out, await device_address(client, args.address))
    prop = args.property[0] if args.property else None
    try:
        async with client.subscribe_cov(args.address, args.object, prop, confirmed=args.confirmed,
                                        lifetime=args.lifetime) as subscription:
            async for change in subscription:
                for changed, value in change.values.items():
                    if not changes.show("cov", change.object_id, changed, value):
                        return EXIT_OK
    except (BacnetRejectError, BacnetErrorResponse) as refusal:
        # A device without COV (or without it for this object) is polled instead.
        print(f"note: no COV ({refusal}); polling every {args.interval:g} s", file=sys.stderr)
    return await _poll_changes(client, args, changes)


async def _poll_changes(client: Client, args: argparse.Namespace, changes: _Changes) -> int:
    prop, index = args.property if args.property else (int(PropertyIdentifier.PRESENT_VALUE), None)
    last: object = None
    while True:
        result = await client.read_property(args.address, args.object, prop, index)
        shown = value_json(result.value)
        if shown != last:
            last = shown
            if not changes.show("poll", result.object_id, prop, result.value):
                return EXIT_OK
        await asyncio.sleep(args.interval)


COMMANDS: dict[str, Callable[[Client, argparse.Namespace, Output], Awaitable[int]]] = {
    "read": read, "readm": readm, "write": write, "whois": whois, "watch": watch,
}
