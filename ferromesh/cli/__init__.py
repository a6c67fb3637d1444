"""The command line: ``python -m ferromesh read|readm|write|whois|scan|trend|poll|watch|demo``.

``arguments`` parses and checks the command line, ``commands`` runs one
request and prints it, ``render`` turns values into text and JSON, ``demo``
runs the simulated device and the demo's conversation. ``main`` runs a command
and maps what went wrong to an exit code.
"""

from __future__ import annotations

import argparse
import asyncio
import importlib
import importlib.util
from typing import Awaitable, Callable

from .. import BacnetError, BacnetTimeoutError, StackConfig
from ..client import Client
from ..errors import BacnetAbortError, BacnetErrorResponse, BacnetRejectError, BacnetRouteError
from ..names import enum_name
from .arguments import (
    EXIT_DEVICE_ERROR,
    EXIT_INTERRUPTED,
    EXIT_LOCAL_FAILURE,
    EXIT_NO_ANSWER,
    EXIT_OK,
    EXIT_PROPERTY_ERRORS,
    EXIT_REJECTED,
    EXIT_USAGE,
    EPILOG,
    build_parser,
    parse_arguments,
    parse_property_ref,
    parse_write_value,
)
from .commands import COMMANDS, Output
from .demo import SimulatedDevice, demo
from .plot import PlotUnavailable
from .render import value_json, value_text

__all__ = [
    "EXIT_DEVICE_ERROR",
    "EXIT_INTERRUPTED",
    "EXIT_LOCAL_FAILURE",
    "EXIT_NO_ANSWER",
    "EXIT_OK",
    "EXIT_PROPERTY_ERRORS",
    "EXIT_REJECTED",
    "EXIT_USAGE",
    "EPILOG",
    "SimulatedDevice",
    "build_parser",
    "main",
    "parse_property_ref",
    "parse_write_value",
    "value_json",
    "value_text",
]


# The site tools live in modules of their own, imported when run (they need more than the others).
_SITE_TOOLS = ("scan", "trend", "poll")


def _command(name: str) -> Callable[[Client, argparse.Namespace, Output], Awaitable[int]]:
    if name in _SITE_TOOLS:
        handler: Callable[[Client, argparse.Namespace, Output], Awaitable[int]] = getattr(
            importlib.import_module(f"{__name__}.{name}"), name)
        return handler
    return COMMANDS[name]


async def _run(args: argparse.Namespace, out: Output, device_address: str | None) -> int:
    """Runs the command; ``device_address`` is the simulated device's for the demo, None otherwise."""
    config = StackConfig(apdu_timeout_secs=args.timeout, apdu_retries=args.retries)
    bind = "127.0.0.1:0" if device_address is not None else args.bind
    bbmd = args.bbmd if device_address is None else None
    async with Client(bind, config=config, bbmd=bbmd, ttl=args.ttl, discovery=args.discover) as client:
        if device_address is not None:
            return await demo(client, args, out, device_address)
        return await _command(args.command)(client, args, out)


def main(argv: list[str] | None = None) -> int:
    args = parse_arguments(argv)
    out = Output(args.json)
    try:
        if args.command != "demo":
            return asyncio.run(_run(args, out, None))
        if importlib.util.find_spec("bacpypes3") is None:
            out.failure("the demo needs the simulated device: pip install 'ferromesh[demo]'",
                        {"kind": "missing-dependency", "message": "bacpypes3 is not installed"})
            return EXIT_LOCAL_FAILURE
        with SimulatedDevice(args.port) as device:
            return asyncio.run(_run(args, out, device.address))
    except PlotUnavailable as exc:
        out.failure(str(exc), {"kind": "missing-dependency", "message": str(exc)})
        return EXIT_LOCAL_FAILURE
    except BacnetErrorResponse as exc:
        out.failure(str(exc), {"kind": "error", "class": enum_name(exc.error_class),
                               "code": enum_name(exc.error_code)})
        return EXIT_DEVICE_ERROR
    except (BacnetRejectError, BacnetAbortError) as exc:
        kind = "reject" if isinstance(exc, BacnetRejectError) else "abort"
        out.failure(str(exc), {"kind": kind, "reason": exc.reason})
        return EXIT_REJECTED
    except BacnetRouteError as exc:
        out.failure(str(exc), {"kind": "route", "network": exc.network, "reason": exc.reason})
        return EXIT_REJECTED
    except BacnetTimeoutError as exc:
        out.failure(str(exc), {"kind": "timeout", "message": str(exc)})
        return EXIT_NO_ANSWER
    except (BacnetError, OSError, RuntimeError, ValueError) as exc:
        out.failure(str(exc), {"kind": "local", "message": str(exc)})
        return EXIT_LOCAL_FAILURE
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
