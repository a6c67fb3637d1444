"""The command line's arguments: the parser, its help text and exit codes, and the checks of every argument.

A bad argument ends the program with exit code 2 and one line saying what is wrong.
"""

from __future__ import annotations

import argparse
import datetime
import ipaddress
import math
import re
import sys
from typing import Any, Callable, NoReturn

from .. import (
    BacnetAddr,
    ObjectIdentifier,
    PropertyValueBoolean,
    PropertyValueCharacterString,
    PropertyValueDouble,
    PropertyValueEnumerated,
    PropertyValueNull,
    PropertyValueOctetString,
    PropertyValueReal,
    PropertyValueSigned,
    PropertyValueUnsigned,
)
from ..names import ALL_DEVICES, GLOBAL_BROADCAST, parse_address, parse_device, parse_object_id, parse_property_id

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
element (priority-array[8], object-list[0]). Devices are HOST or HOST:PORT
(default port 47808); behind a router HOST[:PORT]/NETWORK:MAC, the router's
address with the device's network number and MAC in hex (192.168.1.1/5:1a);
or device:INSTANCE (or the bare instance), found with a global Who-Is, through
the BBMD when --bbmd registers the command as a foreign device.

examples:
  python -m ferromesh demo
  python -m ferromesh whois 192.168.1.255
  python -m ferromesh read 192.168.1.20 analog-value:1 present-value
  python -m ferromesh read 192.168.1.20:47809 device:1234 object-list[0] --json
  python -m ferromesh readm 192.168.1.20 analog-value:1 object-name,present-value device:1234 85
  python -m ferromesh write 192.168.1.20 analog-value:1 present-value 21.5 --priority 8
  python -m ferromesh write 192.168.1.20 binary-value:3 present-value active --priority 8
  python -m ferromesh read device:1234 analog-input:3 present-value --bbmd 10.1.0.1
  python -m ferromesh read 192.168.1.1/5:1a analog-input:3 present-value
  python -m ferromesh scan --json > site.json
  python -m ferromesh trend 192.168.1.20 trend-log:1 --last 100 --plot trend.png
  python -m ferromesh poll site.json --interval 60 > log.jsonl
  python -m ferromesh watch 192.168.1.20 analog-input:1 --json

exit codes:
  0    success
  1    readm: the device answered, but some properties are errors;
       scan: some devices, objects or properties could not be read (listed)
  2    bad command line
  3    the device answered with a BACnet Error
  4    the device rejected or aborted the request, or a router could not reach it
  5    no answer (timeout); whois, scan: no device answered; watch: the
       subscription could not be renewed
  6    local failure (socket, undecodable answer, demo device did not start)
  130  interrupted (scan and poll write what they read before)
"""

SCAN_EPILOG = """\
Sends Who-Is (to ADDRESS, by default --discover: every device of every
network, through the BBMD with --bbmd), then reads every answering device's
object list and, for each object, its name, description, present value, status
flags, units and state texts (ReadPropertyMultiple where the device takes it).
Devices behind routers are listed with their network and MAC. Devices that do
not answer, objects and properties that fail are listed in the output, not
fatal. Progress goes to stderr when it is a terminal (pip install
'ferromesh[cli]' for a progress bar). Ctrl-C writes what was read so far.

examples:
  python -m ferromesh scan
  python -m ferromesh scan 192.168.1.255 --low 1000 --high 1999 --json > site.json
  python -m ferromesh scan --network 5 --csv points.csv --ede site/plant --project "Plant 1"
  python -m ferromesh scan --bbmd 10.1.0.1 --json > remote-site.json
  python -m ferromesh scan 192.168.1.1/5 --max-concurrency 8 --per-device 2
  python -m ferromesh scan device:1234

exit codes:
  0    every device and object read
  1    some devices, objects or properties could not be read (listed)
  2    bad command line
  5    no device answered
  6    local failure (socket, file)
  130  interrupted; what was read is written
"""

TREND_EPILOG = """\
Reads a trend log's log-buffer with ReadRange: the last N records (--last, 100
when no window is given), or those time-stamped from --since to --until. Times
are the device's local time, as 2024-03-15T08:30 or as a time ago (90m, 2h,
1d). Prints a table (or --json), writes CSV with --csv, and with --plot draws
the values over time into a PNG, marking status changes, log-status records
and gaps (pip install 'ferromesh[plot]' for matplotlib).

examples:
  python -m ferromesh trend 192.168.1.20 trend-log:1
  python -m ferromesh trend 192.168.1.20 trend-log:1 --last 500 --plot trend.png
  python -m ferromesh trend 192.168.1.20 trend-log:3 --since 2024-03-15T08:00 --until 2024-03-15T12:00 --csv log.csv
  python -m ferromesh trend 192.168.1.20 trend-log:3 --since 2h --json

exit codes:
  0    success (also when the window holds no record)
  2    bad command line
  3    the device answered with a BACnet Error (not a trend log, say)
  4    the device rejected or aborted the request
  5    no answer (timeout)
  6    local failure (socket, file, --plot without matplotlib)
"""

POLL_EPILOG = """\
POINTS_FILE is what scan writes (--json or --csv: every object with a present
value), or a list of one's own: a CSV with the columns address and object
(optionally property and array_index), or a JSON list of objects with those
keys; '-' reads it from stdin. Every interval the points are read with
ReadPropertyMultiple where a device takes it, and each round is written with
its time stamp: CSV rows (timestamp, address, object, property, value, error),
or with --json one JSON line per round. A round that takes longer than the
interval is reported on stderr and the rounds it overran are skipped.

examples:
  python -m ferromesh scan --json > site.json
  python -m ferromesh poll site.json --interval 60 > log.csv
  python -m ferromesh poll points.csv --interval 5 --count 12 --json > log.jsonl

exit codes:
  0    --count rounds written
  2    bad command line or points file
  6    local failure (socket)
  130  interrupted (the rounds written so far are complete)
"""

MAX_DEVICE_INSTANCE = (1 << 22) - 1

# ---------------------------------------------------------------------------
# Argument values


_PROPERTY_WITH_INDEX = re.compile(r"(.+?)\[(\d+)\]")


def parse_property_ref(text: str) -> tuple[int, int | None]:
    """'present-value' -> (85, None); 'priority-array[8]' -> (87, 8)."""
    m = _PROPERTY_WITH_INDEX.fullmatch(text.strip())
    name, index = (m.group(1), int(m.group(2))) if m else (text, None)
    if index is not None and index >= 1 << 32:
        raise ValueError(f"array index out of range: {text!r}")
    return parse_property_id(name), index


def parse_bind(text: str) -> str:
    """The local address 'HOST:PORT' (dotted IPv4; port 0 picks any free port)."""
    host, sep, port = text.strip().rpartition(":")
    if not sep:
        raise ValueError(f"expected HOST:PORT, got {text!r}")
    try:
        host = str(ipaddress.IPv4Address(host))
    except ValueError:
        raise ValueError(f"not an IPv4 address: {text!r}") from None
    if not port.isdigit() or int(port) > 65535:
        raise ValueError(f"not a UDP port (0..65535): {text!r}")
    return f"{host}:{int(port)}"


def _number_in(low: int, high: int) -> Callable[[str], int]:
    def number(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise ValueError(f"not a whole number: {text!r}") from None
        if not low <= value <= high:
            raise ValueError(f"{value} is outside {low}..{high}")
        return value
    return number


def _seconds(*, zero: bool) -> Callable[[str], float]:
    def seconds(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise ValueError(f"not a number of seconds: {text!r}") from None
        if not math.isfinite(value) or value < 0 or (value == 0 and not zero):
            raise ValueError(f"expected a number of seconds {'from' if zero else 'above'} 0, got {text!r}")
        return value
    return seconds


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


_AGO = re.compile(r"(\d+(?:\.\d+)?)\s*([smhd])")
_UNITS = {"s": "seconds", "m": "minutes", "h": "hours", "d": "days"}


def parse_time(text: str, now: datetime.datetime | None = None) -> datetime.datetime:
    """'2024-03-15T08:30', '2024-03-15 08:30:00' (the device's local time), or a time ago: '90m', '2h', '1d'."""
    text = text.strip()
    if m := _AGO.fullmatch(text):
        ago = datetime.timedelta(**{_UNITS[m.group(2)]: float(m.group(1))})
        return (now or datetime.datetime.now()) - ago
    try:
        moment = datetime.datetime.fromisoformat(text)
    except ValueError:
        raise ValueError(f"expected a date and time like 2024-03-15T08:30 or a time ago like 2h, got {text!r}") \
            from None
    return moment.replace(tzinfo=None) if moment.tzinfo is None else moment.astimezone().replace(tzinfo=None)


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


# ---------------------------------------------------------------------------
# The parser


class _Parser(argparse.ArgumentParser):
    """Reports a bad command line in one line (argparse would print the usage first)."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see --help)\n")


def _checked(parse: Callable[[str], Any]) -> Callable[[str], Any]:
    # Lets argparse report a bad value as a usage error saying what is wrong.
    def wrapper(text: str) -> Any:
        try:
            return parse(text)
        except (ValueError, TypeError, OverflowError) as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None
    return wrapper


def build_parser() -> argparse.ArgumentParser:
    common = _Parser(add_help=False)
    common.add_argument("--json", action="store_true", help="print JSON instead of text")
    common.add_argument("--bind", default="0.0.0.0:0", type=_checked(parse_bind), metavar="HOST:PORT",
                        help="local UDP address (default %(default)s: any port)")
    common.add_argument("--timeout", type=_checked(_seconds(zero=False)), default=3.0, metavar="SECONDS",
                        help="seconds to wait for an answer before re-sending (default %(default)s)")
    common.add_argument("--retries", type=_checked(_number_in(0, 255)), default=3, metavar="0..255",
                        help="re-sends before giving up (default %(default)s)")
    common.add_argument("--bbmd", type=_checked(parse_address), metavar="HOST[:PORT]",
                        help="register as a foreign device with this BBMD: broadcasts (Who-Is) go through it")
    common.add_argument("--ttl", type=_checked(_number_in(1, 65535)), default=60, metavar="SECONDS",
                        help="time-to-live of that registration, renewed while the command runs"
                             " (default %(default)s)")
    common.add_argument("--discover", type=_checked(parse_address), default=ALL_DEVICES,
                        metavar="ADDRESS", help="where Who-Is for a device:INSTANCE goes (default %(default)s,"
                                                " every network)")

    parser = _Parser(
        prog="python -m ferromesh",
        description="Talk to BACnet/IP devices: read and write properties, discover devices, scan a site,"
                    " read trend logs, poll points, watch changes, run the demo.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help_text: str, epilog: str = EPILOG) -> argparse.ArgumentParser:
        return sub.add_parser(name, parents=[common], help=help_text, description=help_text,
                              epilog=epilog, formatter_class=argparse.RawDescriptionHelpFormatter)

    device = _checked(parse_device)
    device_help = "device: HOST[:PORT], HOST[:PORT]/NETWORK:MAC or device:INSTANCE"
    object_id = _checked(parse_object_id)
    property_ref = _checked(parse_property_ref)
    priority = _checked(_number_in(1, 16))

    p = command("read", "read one property of one object (ReadProperty)")
    p.add_argument("address", type=device, help=device_help)
    p.add_argument("object", type=object_id, help="object, e.g. analog-value:1")
    p.add_argument("property", type=property_ref, help="property, e.g. present-value or object-list[0]")

    p = command("readm", "read several properties of several objects at once (ReadPropertyMultiple)")
    p.add_argument("address", type=device, help=device_help)
    p.add_argument("pairs", nargs="+", metavar="OBJECT PROPERTIES",
                   help="pairs of an object and a comma-separated list of its properties")

    p = command("write", "write one property (WriteProperty)")
    p.add_argument("address", type=device, help=device_help)
    p.add_argument("object", type=object_id, help="object, e.g. analog-value:1")
    p.add_argument("property", type=property_ref, help="property, e.g. present-value")
    p.add_argument("value", help="the value; its type is guessed unless --type is given: null, true/false,"
                                 " active/inactive (enumerated), integers, decimals (real), else text")
    p.add_argument("--type", choices=sorted(_VALUE_TYPES), dest="value_type", help="the value's BACnet type")
    p.add_argument("--priority", type=priority, metavar="1..16", help="command priority for commandable objects")

    p = command("whois", "discover devices (Who-Is / I-Am)")
    p.add_argument("address", nargs="?", default=None, type=device,
                   help="where to send Who-Is: a device (the answer ends the wait), a broadcast address"
                        " ending in .255, HOST[:PORT]/NETWORK for every device of one network behind a"
                        " router, or device:INSTANCE to look for that device (default: --discover,"
                        " every device of every network)")
    instance = _checked(_number_in(0, MAX_DEVICE_INSTANCE))
    p.add_argument("--low", type=instance, help="lowest device instance asked for (with --high)")
    p.add_argument("--high", type=instance, help="highest device instance asked for (with --low)")
    p.add_argument("--wait", type=_checked(_seconds(zero=True)), default=3.0, metavar="SECONDS",
                   help="how long to collect answers (default %(default)s)")

    p = command("scan", "find every device and list every object (Who-Is, object lists, ReadPropertyMultiple)",
                SCAN_EPILOG)
    p.add_argument("address", nargs="?", default=None, type=device,
                   help="where to send Who-Is: a broadcast address ending in .255, HOST[:PORT]/NETWORK for"
                        " every device of one network behind a router, one device, or device:INSTANCE"
                        " (default: --discover, every device of every network)")
    p.add_argument("--low", type=instance, help="lowest device instance to scan (with --high)")
    p.add_argument("--high", type=instance, help="highest device instance to scan (with --low)")
    p.add_argument("--network", type=_checked(_number_in(1, 65534)), metavar="N",
                   help="only the devices of network N: Who-Is goes to that network alone")
    p.add_argument("--wait", type=_checked(_seconds(zero=True)), default=3.0, metavar="SECONDS",
                   help="how long to collect I-Am answers (default %(default)s)")
    p.add_argument("--csv", metavar="FILE", help="write one row per object to FILE ('-': stdout)")
    p.add_argument("--ede", metavar="PREFIX", help="write the EDE file set PREFIX_EDE.csv, PREFIX_StateTexts.csv,"
                                                   " PREFIX_Units.csv, PREFIX_ObjTypes.csv")
    p.add_argument("--project", default="ferromesh scan", help="project name in the EDE file (default %(default)s)")
    p.add_argument("--max-concurrency", type=_checked(_number_in(1, 4096)), default=32, metavar="N",
                   help="requests in flight to all devices together (default %(default)s)")
    p.add_argument("--per-device", type=_checked(_number_in(1, 255)), default=4, metavar="N",
                   help="requests in flight to one device (default %(default)s)")

    p = command("trend", "read a trend log's records (ReadRange) and print, export or plot them", TREND_EPILOG)
    p.add_argument("address", type=device, help=device_help)
    p.add_argument("object", type=object_id, help="the trend log, e.g. trend-log:1")
    moment = _checked(parse_time)
    p.add_argument("--since", type=moment, metavar="TIME", help="records from this time on (2024-03-15T08:30, 2h)")
    p.add_argument("--until", type=moment, metavar="TIME", help="records up to this time")
    p.add_argument("--last", type=_checked(_number_in(1, 1 << 31)), metavar="N",
                   help="the last N records (default 100 when neither --since nor --until is given)")
    p.add_argument("--csv", metavar="FILE", help="write the records as CSV to FILE ('-': stdout)")
    p.add_argument("--plot", metavar="FILE.png", help="draw the records into a PNG (needs the plot extra)")

    p = command("poll", "read points every interval and write them with time stamps (a quick data logger)",
                POLL_EPILOG)
    p.add_argument("points_file", metavar="POINTS_FILE", help="points: a scan's JSON or CSV, or a list ('-': stdin)")
    p.add_argument("--interval", type=_checked(_seconds(zero=False)), default=60.0, metavar="SECONDS",
                   help="seconds from the start of one round to the next (default %(default)s)")
    p.add_argument("--count", type=_checked(_number_in(1, 1 << 31)), metavar="N",
                   help="stop after N rounds (default: run until interrupted)")
    p.add_argument("--per-device", type=_checked(_number_in(1, 255)), default=4, metavar="N",
                   help="requests in flight to one device (default %(default)s)")

    p = command("watch", "print changes of an object or one property as they arrive (SubscribeCOV or"
                         " SubscribeCOVProperty), polling when the device refuses COV")
    p.add_argument("address", type=device, help=device_help)
    p.add_argument("object", type=object_id, help="object, e.g. analog-input:1")
    p.add_argument("property", nargs="?", type=property_ref,
                   help="one property to subscribe to, e.g. present-value (default: the object's COV)")
    p.add_argument("--confirmed", action="store_true", help="ask for confirmed notifications")
    p.add_argument("--lifetime", type=_checked(_number_in(1, 0xFFFFFFFF)), default=300, metavar="SECONDS",
                   help="subscription lifetime, renewed before it ends (default %(default)s)")
    p.add_argument("--interval", type=_checked(_seconds(zero=False)), default=5.0, metavar="SECONDS",
                   help="polling interval when the device refuses COV (default %(default)s)")
    p.add_argument("--count", type=_checked(_number_in(1, 1 << 31)), metavar="N",
                   help="stop after N changes (default: until interrupted)")

    p = command("demo", "start a simulated device on 127.0.0.1 and show what the stack does with it")
    p.add_argument("--port", type=_checked(_number_in(0, 65535)), default=0,
                   help="UDP port for the simulated device (default: a free one)")
    p.add_argument("--setpoint", type=float, default=22.5, help="value the demo writes (default %(default)s)")
    p.add_argument("--priority", type=priority, default=8, metavar="1..16",
                   help="priority of that write (default %(default)s)")
    return parser


def _readm_specs(pairs: list[str]) -> list[tuple[ObjectIdentifier, list[tuple[int, int | None]]]]:
    if len(pairs) % 2:
        raise ValueError("readm needs pairs of OBJECT and PROPERTIES")
    return [(parse_object_id(obj_text), [parse_property_ref(p) for p in props_text.split(",")])
            for obj_text, props_text in zip(pairs[::2], pairs[1::2])]


def _check_command(args: argparse.Namespace) -> None:
    # What one argument alone cannot say: readm's pairs, write's value, whois's limits.
    if args.command == "readm":
        args.specs = _readm_specs(args.pairs)
    elif args.command == "write":
        try:
            args.value = parse_write_value(args.value, args.value_type)
        except (ValueError, TypeError, OverflowError) as exc:
            raise ValueError(f"bad value {args.value!r}: {exc}") from None
    elif args.command == "trend":
        if args.last is not None and (args.since is not None or args.until is not None):
            raise ValueError("give --last or a time window (--since/--until), not both")
        if args.since is not None and args.until is not None and args.since > args.until:
            raise ValueError("--since is after --until")
    elif args.command == "poll":
        from .poll import load_points  # the command's module needs this one: imported late

        try:
            if args.points_file == "-":
                args.points = load_points(sys.stdin)
            else:
                with open(args.points_file, encoding="utf-8") as stream:
                    args.points = load_points(stream)
        except (OSError, ValueError, KeyError, TypeError) as exc:
            raise ValueError(f"cannot read points from {args.points_file}: {exc}") from None
        if not args.points:
            raise ValueError(f"no points in {args.points_file}")
    elif args.command in ("whois", "scan"):
        if isinstance(args.address, int):
            if args.low is not None or args.high is not None:
                raise ValueError("give device:INSTANCE or --low and --high, not both")
            args.low = args.high = args.address
            args.address = None
        if args.command == "scan":
            _check_scan(args)
        if (args.low is None) != (args.high is None):
            raise ValueError("give both --low and --high, or neither")
        if args.low is not None and args.low > args.high:
            raise ValueError(f"--low {args.low} is above --high {args.high}")


def _check_scan(args: argparse.Namespace) -> None:
    if args.per_device > args.max_concurrency:
        raise ValueError(f"--per-device {args.per_device} is above --max-concurrency {args.max_concurrency}")
    if args.network is None:
        return
    # Who-Is to that network alone: a broadcast there (through the router at ADDRESS, when given).
    where = args.address if args.address is not None else parse_address(GLOBAL_BROADCAST)
    if where.network not in (None, args.network):
        raise ValueError(f"the address names network {where.network}, --network {args.network}")
    args.address = BacnetAddr(where.addr, where.port, args.network, where.mac)


def parse_arguments(argv: list[str] | None = None) -> argparse.Namespace:
    """The checked arguments; a bad command line exits with EXIT_USAGE and one line on stderr."""
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        _check_command(args)
    except ValueError as exc:
        parser.exit(EXIT_USAGE, f"{parser.prog} {args.command}: error: {exc} (see --help)\n")
    return args
