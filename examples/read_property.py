"""Read one property from a BACnet/IP device with a sans-IO ferromesh Stack.

    python read_property.py 192.168.1.20 analog-input:3 present-value
    python read_property.py 192.168.1.20:47809 device:1234 76

The Stack owns no socket and no clock, so this program does all I/O itself:
it sends what the stack asks it to send, feeds back every datagram that
arrives, and tells the stack the time whenever a deadline the stack gave
has passed. Copy this loop to drive a Stack from any host program.

Exit codes: 0 the value was printed; 1 the device answered with an Error,
Reject or Abort, or with an answer that does not decode; 2 bad command line,
or a request the stack refuses to send; 3 no answer (the stack gave up after
its retries); 4 socket failure.
"""

from __future__ import annotations

import argparse
import math
import select
import socket
import sys
import time
from collections.abc import Callable, Sequence
from typing import NoReturn, TypeVar

from ferromesh import (
    BacnetAddr,
    BacnetError,
    EventAbort,
    EventError,
    EventResponse,
    EventTimeout,
    EventUnconfirmedReceived,
    InputReceived,
    InputSend,
    InputTick,
    OutputDeadline,
    OutputEvent,
    OutputTransmit,
    ServiceReadProperty,
    Stack,
    StackConfig,
    decode_read_property,
)
from ferromesh.names import parse_address, parse_object_id, parse_property_id

EXIT_OK, EXIT_DEVICE_REFUSED, EXIT_USAGE, EXIT_TIMEOUT, EXIT_SOCKET = 0, 1, 2, 3, 4

T = TypeVar("T")


def checked(parse: Callable[[str], T]) -> Callable[[str], T]:
    """An argument type from a parser that raises ValueError (or OverflowError) on bad text."""
    def parse_argument(text: str) -> T:
        try:
            return parse(text)
        except (ValueError, OverflowError) as error:
            raise argparse.ArgumentTypeError(str(error)) from None
    return parse_argument


def seconds(text: str) -> float:
    value = float(text)
    if not math.isfinite(value) or value <= 0:
        raise ValueError(f"expected a number of seconds above 0, not {text!r}")
    return value


def retries(text: str) -> int:
    if not text.isdigit() or int(text) > 255:
        raise ValueError(f"expected 0..255, not {text!r}")
    return int(text)


class ArgumentParser(argparse.ArgumentParser):
    """Says what is wrong with the command line in one line, without the usage text."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def parse_arguments(argv: list[str]) -> argparse.Namespace:
    parser = ArgumentParser(description="Read one property from a BACnet/IP device.")
    parser.add_argument("device", type=checked(parse_address),
                        help="host[:port], an IPv4 address (port 47808 by default)")
    parser.add_argument("object", type=checked(parse_object_id),
                        help="object-type:instance, e.g. analog-input:3 or 0:3")
    parser.add_argument("property", type=checked(parse_property_id),
                        help="property name or number, e.g. present-value or 85")
    parser.add_argument("--apdu-timeout", type=checked(seconds), default=3.0,
                        help="seconds before a re-send (default 3)")
    parser.add_argument("--retries", type=checked(retries), default=3,
                        help="re-sends before giving up, 0..255 (default 3)")
    return parser.parse_args(argv)


def sent_invoke_id(outputs: Sequence[object]) -> int | None:
    """The invoke ID the stack gave a request, from the outputs of its InputSend."""
    for output in outputs:
        if isinstance(output, OutputTransmit):
            return output.invoke_id
        if isinstance(output, OutputEvent) and isinstance(output.event, EventError):
            return output.event.invoke_id  # refused: nothing was sent
    return None


class Host:
    """One UDP socket, one Stack, and the earliest time the stack wants to hear from us."""

    def __init__(self, sock: socket.socket, stack: Stack, device: BacnetAddr) -> None:
        self.sock = sock
        self.stack = stack
        self.device = (device.addr, device.port)
        self.deadline: float | None = None
        self.invoke_id: int | None = None  # of our request, once the stack sent it
        self.exit_code: int | None = None  # set by the event that ends the request

    def tick(self) -> None:
        outputs = self.stack.process(InputTick(time.monotonic()))
        # A Tick reports the earliest of everything still pending (or nothing
        # when nothing is), so it replaces the deadline we held.
        self.deadline = None
        self.handle(outputs)

    def handle(self, outputs: Sequence[object]) -> None:
        for output in outputs:
            if isinstance(output, OutputTransmit):
                dest = (output.dest.addr, output.dest.port)
                # Datagrams only ever go to the device we were asked to talk to.
                if dest == self.device:
                    self.sock.sendto(bytes(output.data), dest)
            elif isinstance(output, OutputDeadline):
                # Send and Received report only their own new deadline: keep the earliest.
                if self.deadline is None or output.deadline < self.deadline:
                    self.deadline = output.deadline
            elif isinstance(output, OutputEvent):
                self.on_event(output.event)

    def on_event(self, event: object) -> None:
        if isinstance(event, EventUnconfirmedReceived):
            # I-Am and I-Am-Router-To-Network announcements: not what we wait for.
            print(f"note: unconfirmed {type(event.message).__name__} from {event.src.addr}:{event.src.port}",
                  file=sys.stderr)
            return
        if not isinstance(event, (EventResponse, EventError, EventAbort, EventTimeout)):
            return
        # The stack reports every answer it gets, even one for an invoke ID we
        # never used: only our device and our invoke ID end our request.
        if (event.peer.addr, event.peer.port) != self.device or event.invoke_id != self.invoke_id:
            return
        if isinstance(event, EventResponse):
            try:
                result = decode_read_property(event.payload)
            except BacnetError as error:
                print(f"undecodable answer: {error}", file=sys.stderr)
                self.exit_code = EXIT_DEVICE_REFUSED
                return
            print(repr(result.value))
            self.exit_code = EXIT_OK
        elif isinstance(event, EventError) and event.kind == "local":
            # The stack did not send the request: nothing of it can go on the wire as given.
            print(f"not sent: {event.message}", file=sys.stderr)
            self.exit_code = EXIT_USAGE
        elif isinstance(event, EventError):
            # A BACnet Error (error_class, error_code) or Reject (reject_reason);
            # the message says the same in words.
            print(f"device refused: {event.message}", file=sys.stderr)
            self.exit_code = EXIT_DEVICE_REFUSED
        elif isinstance(event, EventAbort):
            print(f"aborted, reason {event.reason}", file=sys.stderr)
            self.exit_code = EXIT_DEVICE_REFUSED
        else:
            print("no answer from the device", file=sys.stderr)
            self.exit_code = EXIT_TIMEOUT

    def wait(self) -> int:
        """Feed datagrams and ticks to the stack until an event ends our request."""
        while self.exit_code is None:
            if self.deadline is None:
                # Impossible while a request is outstanding; do not wait forever on a broken promise.
                print("the stack has nothing pending yet the request did not end", file=sys.stderr)
                return EXIT_TIMEOUT
            timeout = max(0.0, self.deadline - time.monotonic())
            readable, _, _ = select.select([self.sock], [], [], timeout)
            if readable:
                data, (addr, port) = self.sock.recvfrom(65535)
                self.handle(self.stack.process(InputReceived(data, BacnetAddr(addr, port))))
            # Tick once the deadline has come, even while datagrams keep arriving.
            if self.exit_code is None and self.deadline is not None and time.monotonic() >= self.deadline:
                self.tick()
        return self.exit_code


def main(argv: list[str]) -> int:
    try:
        args = parse_arguments(argv)
    except SystemExit as stop:  # argparse has printed the problem
        return EXIT_USAGE if stop.code else EXIT_OK
    stack = Stack(StackConfig(apdu_timeout_secs=args.apdu_timeout, apdu_retries=args.retries))
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            sock.bind(("0.0.0.0", 0))
            host = Host(sock, stack, args.device)
            # Tell the stack the time first: deadlines count from its latest Tick.
            host.tick()
            # A full invoke-ID pool would raise InvokeIdExhaustedError; a
            # fresh stack with one request cannot have one.
            outputs = stack.process(InputSend(ServiceReadProperty(args.object, args.property), args.device))
            host.invoke_id = sent_invoke_id(outputs)
            host.handle(outputs)
            return host.wait()
    except OSError as error:
        print(f"socket error: {error}", file=sys.stderr)
        return EXIT_SOCKET


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
