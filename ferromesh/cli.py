"""The command line: ``python -m ferromesh read|readm|write|whois|demo``."""

from __future__ import annotations

import argparse
import asyncio
import decimal
import importlib.util
import json
import math
import re
import select
import socket
import struct
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable

from . import (
    BacnetAddr,
    BacnetError,
    BacnetPropertyError,
    BacnetTimeoutError,
    ObjectIdentifier,
    PropertyValueAny,
    PropertyValueArray,
    PropertyValueBitString,
    PropertyValueBoolean,
    PropertyValueCharacterString,
    PropertyValueDate,
    PropertyValueDouble,
    PropertyValueEnumerated,
    PropertyValueNull,
    PropertyValueOctetString,
    PropertyValueReal,
    PropertyValueSigned,
    PropertyValueTime,
    PropertyValueUnsigned,
    StackConfig,
)
from .client import (
    BacnetAbortError,
    BacnetErrorResponse,
    BacnetRejectError,
    Client,
    DiscoveredDevice,
    enum_name,
    format_object_id,
    parse_address,
    parse_object_id,
    parse_property_id,
    property_name,
)

EXIT_OK = 0
EXIT_PROPERTY_ERRORS = 1
EXIT_USAGE = 2
EXIT_DEVICE_ERROR = 3
EXIT_REJECTED = 4
EXIT_NO_ANSWER = 5
EXIT_LOCAL_FAILURE = 6
EXIT_INTERRUPTED = 130

EPILOG = """\
objects are TYPE:INSTANCE with the type by name or number (analog-value:1, 2:1);
properties by name or number (present-value, 85), with [INDEX] for one array
element (priority-array[8], object-list[0]). Addresses are HOST or HOST:PORT
(default port 47808).

examples:
  python -m ferromesh demo
  python -m ferromesh whois 192.168.1.255
  python -m ferromesh read 192.168.1.20 analog-value:1 present-value
  python -m ferromesh read 192.168.1.20:47809 device:1234 object-list[0] --json
  python -m ferromesh readm 192.168.1.20 analog-value:1 object-name,present-value device:1234 85
  python -m ferromesh write 192.168.1.20 analog-value:1 present-value 21.5 --priority 8
  python -m ferromesh write 192.168.1.20 binary-value:3 present-value active --priority 8

exit codes:
  0    success
  1    readm: the device answered, but some properties are errors
  2    bad command line
  3    the device answered with a BACnet Error
  4    the device rejected or aborted the request
  5    no answer (timeout); whois: no device answered
  6    local failure (socket, undecodable answer, demo device did not start)
  130  interrupted
"""

# ---------------------------------------------------------------------------
# Values as text and as JSON


def _shortest_binary32(x: float) -> str:
    packed = struct.pack(">f", x)
    for digits in range(1, 10):
        text = f"{x:.{digits}g}"
        if struct.pack(">f", float(text)) == packed:
            return text
    return repr(x)


def _float_text(x: float, binary32: bool) -> str:
    """Shortest text that reads back as the same binary32 (or binary64) value, without an exponent."""
    if math.isnan(x):
        return "nan"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return format(decimal.Decimal(_shortest_binary32(x) if binary32 else repr(x)), "f")


def _bits_text(value: PropertyValueBitString) -> str:
    bits = value.bits
    # used_bits carries the number of unused bits in the last octet.
    count = max(0, len(bits) * 8 - value.used_bits) if value.used_bits < 8 else len(bits) * 8
    return "".join("1" if bits[i // 8] >> (7 - i % 8) & 1 else "0" for i in range(count))


def value_text(value: object) -> str:
    """A readable rendering of a decoded value."""
    if isinstance(value, BacnetPropertyError):
        return f"error: {enum_name(value.error_class)}/{enum_name(value.error_code)}"
    if isinstance(value, PropertyValueNull):
        return "null"
    if isinstance(value, PropertyValueBoolean):
        return "true" if value.value else "false"
    if isinstance(value, (PropertyValueUnsigned, PropertyValueSigned, PropertyValueEnumerated)):
        return str(value.value)
    if isinstance(value, PropertyValueReal):
        return _float_text(value.value, binary32=True)
    if isinstance(value, PropertyValueDouble):
        return _float_text(value.value, binary32=False)
    if isinstance(value, PropertyValueCharacterString):
        return value.value
    if isinstance(value, (PropertyValueOctetString, PropertyValueAny)):
        octets = value.value if isinstance(value, PropertyValueOctetString) else value.data
        return "0x" + bytes(octets).hex()
    if isinstance(value, PropertyValueBitString):
        return _bits_text(value)
    if isinstance(value, PropertyValueDate):
        return f"{value.year}-{value.month:02d}-{value.day:02d}"
    if isinstance(value, PropertyValueTime):
        return f"{value.hour:02d}:{value.minute:02d}:{value.second:02d}.{value.hundredths:02d}"
    if isinstance(value, ObjectIdentifier):
        return format_object_id(value)
    if isinstance(value, PropertyValueArray):
        return "[" + ", ".join(value_text(v) for v in value.values) + "]"
    return repr(value)


def value_json(value: object) -> Any:
    """A JSON-ready rendering of a decoded value."""
    if isinstance(value, BacnetPropertyError):
        return {"error": {"class": enum_name(value.error_class), "code": enum_name(value.error_code)}}
    if isinstance(value, PropertyValueNull):
        return None
    if isinstance(value, (PropertyValueBoolean, PropertyValueUnsigned, PropertyValueSigned,
                          PropertyValueEnumerated, PropertyValueCharacterString)):
        return value.value
    if isinstance(value, (PropertyValueReal, PropertyValueDouble)):
        x = value.value
        if not math.isfinite(x):
            return _float_text(x, binary32=False)  # JSON has no NaN or infinity
        return float(_float_text(x, binary32=True)) if isinstance(value, PropertyValueReal) else x
    if isinstance(value, PropertyValueArray):
        return [value_json(v) for v in value.values]
    return value_text(value)


# ---------------------------------------------------------------------------
# Arguments

_PROPERTY_WITH_INDEX = re.compile(r"(.+?)\[(\d+)\]")


def parse_property_ref(text: str) -> tuple[int, int | None]:
    """'present-value' -> (85, None); 'priority-array[8]' -> (87, 8)."""
    m = _PROPERTY_WITH_INDEX.fullmatch(text.strip())
    name, index = (m.group(1), int(m.group(2))) if m else (text, None)
    if index is not None and index >= 1 << 32:
        raise ValueError(f"array index out of range: {text!r}")
    return parse_property_id(name), index


_VALUE_TYPES: dict[str, Callable[[str], Any]] = {
    "null": lambda text: PropertyValueNull(),
    "boolean": lambda text: PropertyValueBoolean(_parse_bool(text)),
    "unsigned": lambda text: PropertyValueUnsigned(int(text, 0)),
    "signed": lambda text: PropertyValueSigned(int(text, 0)),
    "real": lambda text: PropertyValueReal(float(text)),
    "double": lambda text: PropertyValueDouble(float(text)),
    "enumerated": lambda text: PropertyValueEnumerated(_parse_enumerated(text)),
    "string": lambda text: PropertyValueCharacterString(text),
    "octets": lambda text: PropertyValueOctetString(bytes.fromhex(text.removeprefix("0x"))),
}


def _parse_bool(text: str) -> bool:
    if text.lower() in ("true", "1"):
        return True
    if text.lower() in ("false", "0"):
        return False
    raise ValueError(f"not a boolean: {text!r}")


def _parse_enumerated(text: str) -> int:
    named = {"inactive": 0, "active": 1}
    return named[text.lower()] if text.lower() in named else int(text, 0)


def parse_write_value(text: str, kind: str | None) -> Any:
    """The value of `write`: typed by --type, or guessed from its text."""
    if kind is not None:
        return _VALUE_TYPES[kind](text)
    lowered = text.lower()
    if lowered == "null":
        return PropertyValueNull()
    if lowered in ("true", "false"):
        return PropertyValueBoolean(lowered == "true")
    if lowered in ("active", "inactive"):
        return PropertyValueEnumerated(_parse_enumerated(lowered))
    if re.fullmatch(r"[+-]?\d+", text):
        number = int(text)
        return PropertyValueUnsigned(number) if number >= 0 else PropertyValueSigned(number)
    try:
        return PropertyValueReal(float(text))
    except ValueError:
        return PropertyValueCharacterString(text)


def _checked(parse: Callable[[str], Any]) -> Callable[[str], Any]:
    # Lets argparse report a bad object, property or address as a usage error.
    def wrapper(text: str) -> Any:
        try:
            return parse(text)
        except (ValueError, TypeError) as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None
    wrapper.__name__ = parse.__name__
    return wrapper


def build_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--json", action="store_true", help="print JSON instead of text")
    common.add_argument("--bind", default="0.0.0.0:0", metavar="HOST:PORT",
                        help="local UDP address (default %(default)s: any port)")
    common.add_argument("--timeout", type=float, default=3.0, metavar="SECONDS",
                        help="seconds to wait for an answer before re-sending (default %(default)s)")
    common.add_argument("--retries", type=int, default=3, choices=range(0, 256), metavar="N",
                        help="re-sends before giving up (default %(default)s)")

    parser = argparse.ArgumentParser(
        prog="python -m ferromesh",
        description="Talk to BACnet/IP devices: read and write properties, discover devices, run the demo.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help_text: str) -> argparse.ArgumentParser:
        return sub.add_parser(name, parents=[common], help=help_text, description=help_text,
                              epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)

    address = _checked(parse_address)
    object_id = _checked(parse_object_id)
    property_ref = _checked(parse_property_ref)

    p = command("read", "read one property of one object (ReadProperty)")
    p.add_argument("address", type=address, help="device HOST[:PORT]")
    p.add_argument("object", type=object_id, help="object, e.g. analog-value:1")
    p.add_argument("property", type=property_ref, help="property, e.g. present-value or object-list[0]")

    p = command("readm", "read several properties of several objects at once (ReadPropertyMultiple)")
    p.add_argument("address", type=address, help="device HOST[:PORT]")
    p.add_argument("pairs", nargs="+", metavar="OBJECT PROPERTIES",
                   help="pairs of an object and a comma-separated list of its properties")

    p = command("write", "write one property (WriteProperty)")
    p.add_argument("address", type=address, help="device HOST[:PORT]")
    p.add_argument("object", type=object_id, help="object, e.g. analog-value:1")
    p.add_argument("property", type=property_ref, help="property, e.g. present-value")
    p.add_argument("value", help="the value; its type is guessed unless --type is given: null, true/false,"
                                 " active/inactive (enumerated), integers, decimals (real), else text")
    p.add_argument("--type", choices=sorted(_VALUE_TYPES), dest="value_type", help="the value's BACnet type")
    p.add_argument("--priority", type=int, choices=range(1, 17), metavar="1..16",
                   help="command priority for commandable objects")

    p = command("whois", "discover devices (Who-Is / I-Am)")
    p.add_argument("address", nargs="?", default="255.255.255.255", type=address,
                   help="where to send Who-Is: a device, or a broadcast address ending in .255 (default %(default)s)")
    p.add_argument("--low", type=int, help="lowest device instance asked for (with --high)")
    p.add_argument("--high", type=int, help="highest device instance asked for (with --low)")
    p.add_argument("--wait", type=float, default=3.0, metavar="SECONDS",
                   help="how long to collect answers (default %(default)s)")

    p = command("demo", "start a simulated device on 127.0.0.1 and show what the stack does with it")
    p.add_argument("--port", type=int, default=0, help="UDP port for the simulated device (default: a free one)")
    p.add_argument("--setpoint", type=float, default=22.5, help="value the demo writes (default %(default)s)")
    p.add_argument("--priority", type=int, default=8, choices=range(1, 17), metavar="1..16",
                   help="priority of that write (default %(default)s)")
    return parser


def _readm_specs(parser: argparse.ArgumentParser,
                 pairs: list[str]) -> list[tuple[ObjectIdentifier, list[tuple[int, int | None]]]]:
    if len(pairs) % 2:
        parser.error("readm needs pairs of OBJECT and PROPERTIES")
    specs: list[tuple[ObjectIdentifier, list[tuple[int, int | None]]]] = []
    for obj_text, props_text in zip(pairs[::2], pairs[1::2]):
        try:
            specs.append((parse_object_id(obj_text), [parse_property_ref(p) for p in props_text.split(",")]))
        except ValueError as exc:
            parser.error(str(exc))
    return specs


# ---------------------------------------------------------------------------
# Commands


class _Output:
    def __init__(self, as_json: bool) -> None:
        self.as_json = as_json

    def result(self, text: str, data: Any) -> None:
        print(json.dumps(data, ensure_ascii=False) if self.as_json else text)

    def failure(self, text: str, data: dict[str, Any]) -> None:
        if self.as_json:
            print(json.dumps({"error": data}, ensure_ascii=False))
        else:
            print(f"error: {text}", file=sys.stderr)


def _addr_text(addr: BacnetAddr) -> str:
    return f"{addr.addr}:{addr.port}"


def _property_label(prop: int, index: int | None) -> str:
    return property_name(prop) + (f"[{index}]" if index is not None else "")


async def _read(client: Client, args: argparse.Namespace, out: _Output) -> int:
    prop, index = args.property
    result = await client.read_property(args.address, args.object, prop, index)
    obj = format_object_id(result.object_id)
    label = _property_label(result.property_id, result.array_index)
    out.result(f"{obj} {label} = {value_text(result.value)}", {
        "address": _addr_text(args.address), "object": obj, "property": property_name(result.property_id),
        "array_index": result.array_index, "value": value_json(result.value)})
    return EXIT_OK


async def _readm(client: Client, args: argparse.Namespace, out: _Output) -> int:
    result = await client.read_property_multiple(args.address, args.specs)
    lines, objects, errors = [], [], 0
    for obj_result in result.objects:
        obj = format_object_id(obj_result.object_id)
        props = []
        for prop in obj_result.properties:
            errors += isinstance(prop.value, BacnetPropertyError)
            lines.append(f"{obj} {_property_label(prop.property_id, prop.array_index)} = {value_text(prop.value)}")
            props.append({"property": property_name(prop.property_id), "array_index": prop.array_index,
                          "value": value_json(prop.value)})
        objects.append({"object": obj, "properties": props})
    out.result("\n".join(lines), {"address": _addr_text(args.address), "objects": objects})
    return EXIT_PROPERTY_ERRORS if errors else EXIT_OK


async def _write(client: Client, args: argparse.Namespace, out: _Output) -> int:
    prop, index = args.property
    await client.write_property(args.address, args.object, prop, args.value, index, args.priority)
    obj = format_object_id(args.object)
    priority = f" at priority {args.priority}" if args.priority else ""
    out.result(f"ok: {obj} {_property_label(prop, index)} <- {value_text(args.value)}{priority}", {
        "ok": True, "address": _addr_text(args.address), "object": obj, "property": property_name(prop),
        "array_index": index, "value": value_json(args.value), "priority": args.priority})
    return EXIT_OK


_SEGMENTATION = ("both", "transmit", "receive", "none")


def _device_row(device: DiscoveredDevice) -> dict[str, Any]:
    return {"device": device.instance, "address": device.address, "vendor_id": device.vendor_id,
            "max_apdu": device.max_apdu, "segmentation": _SEGMENTATION[device.segmentation]}


async def _whois(client: Client, args: argparse.Namespace, out: _Output) -> int:
    if (args.low is None) != (args.high is None):
        raise ValueError("give both --low and --high, or neither")
    devices = await client.who_is(args.address, args.low, args.high, timeout=args.wait)
    rows = [_device_row(d) for d in sorted(devices, key=lambda d: (d.instance, d.address))]
    out.result(_table(["device", "address", "vendor_id", "max_apdu", "segmentation"], rows) if rows
               else "no device answered", rows)
    return EXIT_OK if rows else EXIT_NO_ANSWER


def _table(columns: list[str], rows: list[dict[str, Any]]) -> str:
    cells = [[str(row[c]) for c in columns] for row in rows]
    widths = [max(len(c), *(len(r[i]) for r in cells)) for i, c in enumerate(columns)]
    lines = ["  ".join(c.ljust(w) for c, w in zip(columns, widths)).rstrip(),
             "  ".join("-" * w for w in widths)]
    lines += ["  ".join(v.ljust(w) for v, w in zip(r, widths)).rstrip() for r in cells]
    return "\n".join(lines)


# ---------------------------------------------------------------------------
# The demo


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
        from . import demo_device

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


async def _demo(client: Client, args: argparse.Namespace, out: _Output, device_address: str) -> int:
    from .demo_device import SETPOINT

    report: dict[str, Any] = {}
    say = (lambda text: None) if out.as_json else print

    started = time.perf_counter()
    found = await _await_device(client, device_address, time.monotonic() + 15)
    report["device"] = _device_row(found)
    say(f"1. Who-Is -> I-Am from device {found.instance} at {found.address}"
        f" (vendor {found.vendor_id}, max APDU {found.max_apdu},"
        f" segmentation {_SEGMENTATION[found.segmentation]})")

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
        rows.append({"object": format_object_id(obj_result.object_id),
                     "name": value_text(values["object-name"]),
                     # Objects such as the device or its network port have no present value.
                     "present-value": "-" if present is None or isinstance(present, BacnetPropertyError)
                     else value_text(present)})
    report["objects"] = rows
    say(f"3. ReadPropertyMultiple object-name and present-value of all {len(rows)} objects"
        f" (segmented request and answer)")

    setpoint = parse_object_id(SETPOINT)
    before = await client.read_property(found.address, setpoint, "present-value")
    await client.write_property(found.address, setpoint, "present-value",
                                PropertyValueReal(args.setpoint), priority=args.priority)
    after = await client.read_property(found.address, setpoint, "present-value")
    slot = await client.read_property(found.address, setpoint, "priority-array", args.priority)
    report["write"] = {"object": format_object_id(setpoint), "priority": args.priority,
                       "before": value_json(before.value), "written": args.setpoint,
                       "after": value_json(after.value), "priority_array_slot": value_json(slot.value)}
    say(f"4. WriteProperty {format_object_id(setpoint)} present-value {value_text(before.value)}"
        f" -> {_float_text(args.setpoint, binary32=True)} at priority {args.priority}; read back"
        f" {value_text(after.value)} (priority-array[{args.priority}] = {value_text(slot.value)})")

    report["seconds"] = round(time.perf_counter() - started, 3)
    if out.as_json:
        print(json.dumps(report, ensure_ascii=False))
    else:
        print()
        print(_table(["object", "name", "present-value"], rows))
        print(f"\n{len(rows)} objects read in {report['seconds']:.2f} s")
    written = float(_float_text(args.setpoint, binary32=True))
    return EXIT_OK if value_json(after.value) == written else EXIT_LOCAL_FAILURE


# ---------------------------------------------------------------------------
# Entry point


async def _run(args: argparse.Namespace, out: _Output, device_address: str | None) -> int:
    """Runs the command; ``device_address`` is the simulated device's for the demo, None otherwise."""
    config = StackConfig(apdu_timeout_secs=args.timeout, apdu_retries=args.retries)
    bind = "127.0.0.1:0" if device_address is not None else args.bind
    async with Client(bind, config=config) as client:
        if device_address is not None:
            return await _demo(client, args, out, device_address)
        return await {"read": _read, "readm": _readm, "write": _write, "whois": _whois}[args.command](
            client, args, out)


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    out = _Output(args.json)
    if args.command == "readm":
        args.specs = _readm_specs(parser, args.pairs)
    if args.command == "write":
        try:
            args.value = parse_write_value(args.value, args.value_type)
        except (ValueError, TypeError, OverflowError) as exc:
            parser.error(f"bad value {args.value!r}: {exc}")
    try:
        if args.command != "demo":
            return asyncio.run(_run(args, out, None))
        if importlib.util.find_spec("bacpypes3") is None:
            out.failure("the demo needs the simulated device: pip install 'ferromesh[demo]'",
                        {"kind": "missing-dependency", "message": "bacpypes3 is not installed"})
            return EXIT_LOCAL_FAILURE
        with SimulatedDevice(args.port) as device:
            return asyncio.run(_run(args, out, device.address))
    except BacnetErrorResponse as exc:
        out.failure(str(exc), {"kind": "error", "class": enum_name(exc.error_class),
                               "code": enum_name(exc.error_code)})
        return EXIT_DEVICE_ERROR
    except (BacnetRejectError, BacnetAbortError) as exc:
        kind = "reject" if isinstance(exc, BacnetRejectError) else "abort"
        out.failure(str(exc), {"kind": kind, "reason": exc.reason})
        return EXIT_REJECTED
    except BacnetTimeoutError as exc:
        out.failure(str(exc), {"kind": "timeout", "message": str(exc)})
        return EXIT_NO_ANSWER
    except (BacnetError, OSError, RuntimeError, ValueError) as exc:
        out.failure(str(exc), {"kind": "local", "message": str(exc)})
        return EXIT_LOCAL_FAILURE
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
