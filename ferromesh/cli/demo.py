"""The demo: a simulated device (bacpypes3) in a subprocess, and the conversation the demo holds with it."""

from __future__ import annotations

import argparse
import json
import select
import socket
import subprocess
import sys
import tempfile
import time
from typing import Any

from .. import (
    BacnetError,
    BacnetPropertyError,
    BacnetTimeoutError,
    ObjectIdentifier,
    PropertyValueArray,
    PropertyValueReal,
)
from .._enums import PropertyIdentifier
from ..client import Client, DiscoveredDevice
from ..names import format_object_id, parse_object_id, property_enumeration, property_name
from .arguments import EXIT_LOCAL_FAILURE, EXIT_OK
from .commands import Output, device_row, segmentation_text
from .render import decimal_text, table, value_json, value_text


def _free_udp_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        _, port = s.getsockname()
        return int(port)


class SimulatedDevice:
    """The bacpypes3 demo device as a subprocess on 127.0.0.1; always terminated on exit."""

    def __init__(self, port: int = 0) -> None:
        self.port = port or _free_udp_port()
        self.address = f"127.0.0.1:{self.port}"
        self._stderr = tempfile.TemporaryFile()
        self._process: subprocess.Popen[bytes] | None = None

    def __enter__(self) -> SimulatedDevice:
        from .. import demo_device

        # Run as a plain script (-P: nothing from the working directory on
        # sys.path), so that the device needs bacpypes3 but not this package.
        self._process = subprocess.Popen(
            [sys.executable, "-P", demo_device.__file__, "--port", str(self.port)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self._stderr)
        stdout = self._process.stdout
        assert stdout is not None  # stdout=PIPE
        ready, _, _ = select.select([stdout], [], [], 30)
        line = stdout.readline().decode(errors="replace").strip() if ready else ""
        if line != f"ready {self.port}":
            self.__exit__()
            raise RuntimeError(f"the simulated device did not start: {line or self.stderr_tail()}")
        return self

    def __exit__(self, *exc_info: object) -> None:
        process, self._process = self._process, None
        if process is not None:
            process.terminate()
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            if process.stdout is not None:
                process.stdout.close()

    def stderr_tail(self) -> str:
        self._stderr.seek(0)
        return self._stderr.read().decode(errors="replace")[-2000:].strip()


async def _await_device(client: Client, address: str, deadline: float) -> DiscoveredDevice:
    # The device's socket may not answer at once after it reported ready.
    while True:
        devices = await client.who_is(address, timeout=0.5, expect=1)
        if devices:
            return devices[0]
        if time.monotonic() > deadline:
            raise BacnetTimeoutError(f"the simulated device at {address} does not answer Who-Is")


def _object_identifiers(object_list: object) -> list[ObjectIdentifier]:
    # A list of one object decodes as that object alone, not as an array.
    values = object_list.values if isinstance(object_list, PropertyValueArray) else [object_list]
    objects = [v for v in values if isinstance(v, ObjectIdentifier)]
    if len(objects) != len(values):
        raise BacnetError("the device's object-list holds values that are not object identifiers")
    return objects


async def demo(client: Client, args: argparse.Namespace, out: Output, device_address: str) -> int:
    """Discover the simulated device, read all its objects, write its setpoint and read it back."""
    from ..demo_device import SETPOINT

    report: dict[str, Any] = {}
    say = (lambda text: None) if out.as_json else print

    started = time.perf_counter()
    found = await _await_device(client, device_address, time.monotonic() + 15)
    report["device"] = device_row(found)
    say(f"1. Who-Is -> I-Am from device {found.instance} at {found.address}"
        f" (vendor {found.vendor_id}, max APDU {found.max_apdu},"
        f" segmentation {segmentation_text(found.segmentation)})")

    object_list = await client.read_property(found.address, found.device_id, "object-list")
    objects = _object_identifiers(object_list.value)
    report["object_count"] = len(objects)
    say(f"2. ReadProperty object-list -> {len(objects)} objects (a segmented answer)")

    specs = [(obj, ["object-name"] if obj.object_type == found.device_id.object_type else
                   ["object-name", "present-value"]) for obj in objects]
    answer = await client.read_property_multiple(found.address, specs)
    rows: list[dict[str, Any]] = []
    for obj_result in answer.objects:
        values = {property_name(p.property_id): p.value for p in obj_result.properties}
        present = values.get("present-value")
        names = property_enumeration(obj_result.object_id.object_type, PropertyIdentifier.PRESENT_VALUE)
        rows.append({"object": format_object_id(obj_result.object_id),
                     "name": value_text(values["object-name"]),
                     # Objects such as the device or its network port have no present value.
                     "present-value": "-" if present is None or isinstance(present, BacnetPropertyError)
                     else value_text(present, names)})
    report["objects"] = rows
    say(f"3. ReadPropertyMultiple object-name and present-value of all {len(rows)} objects"
        f" (segmented request and answer)")

    setpoint = parse_object_id(SETPOINT)
    written = PropertyValueReal(args.setpoint)
    before = await client.read_property(found.address, setpoint, "present-value")
    await client.write_property(found.address, setpoint, "present-value", written, priority=args.priority)
    after = await client.read_property(found.address, setpoint, "present-value")
    slot = await client.read_property(found.address, setpoint, "priority-array", args.priority)
    report["write"] = {"object": format_object_id(setpoint), "priority": args.priority,
                       "before": value_json(before.value), "written": args.setpoint,
                       "after": value_json(after.value), "priority_array_slot": value_json(slot.value)}
    say(f"4. WriteProperty {format_object_id(setpoint)} present-value {value_text(before.value)}"
        f" -> {decimal_text(written)} at priority {args.priority}; read back"
        f" {value_text(after.value)} (priority-array[{args.priority}] = {value_text(slot.value)})")

    report["seconds"] = round(time.perf_counter() - started, 3)
    if out.as_json:
        print(json.dumps(report, ensure_ascii=False))
    else:
        print()
        print(table(["object", "name", "present-value"], rows))
        print(f"\n{len(rows)} objects read in {report['seconds']:.2f} s")
    return EXIT_OK if value_json(after.value) == value_json(written) else EXIT_LOCAL_FAILURE
