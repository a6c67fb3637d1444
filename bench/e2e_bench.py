"""End-to-end benchmark: reads over UDP on 127.0.0.1 against a canned-answer device.

    python bench/e2e_bench.py --device build/bench-e2e/canned_device [--repeat 5] [--seconds 1]

The device (bench/canned_device.c, built by bench/run.sh --e2e) answers every
ReadProperty and ReadPropertyMultiple at once, from up to 100 ports. Each
side runs in a worker process of its own and is measured in turn, the order
rotating from one repeat to the next so that a change of machine load hits
every side alike:

- floor: a blocking socket and a Stack in a plain loop, the least a Python
  host can do per read (send, receive, process, decode);
- client: ferromesh.client.Client, called the way a user calls it (names and
  address text);
- client-ids: the same with pre-built ObjectIdentifier / BacnetAddr objects;
- bacpypes3: bacpypes3's Application as the client, for comparison;
- before (with --before PYTHON): the client as installed for another
  interpreter, e.g. an older version, called as the client side is.

Each sample keeps `concurrency` requests outstanding for `seconds`, spread
round robin over 1 or 100 devices, and counts completed reads (a
ReadPropertyMultiple of 20 objects x 5 properties counts as one request).
CPU time is the worker process's own (the device runs in another process).
Memory per outstanding request is measured in fresh processes against
devices that never answer. Prints medians and each side's ratio to the floor.
"""

from __future__ import annotations

import argparse
import asyncio
import ctypes
import gc
import json
import os
import socket
import statistics
import subprocess
import sys
import time
from typing import Any, Awaitable, Callable

import ferromesh
from ferromesh import (
    BacnetAddr,
    EventResponse,
    EventTimeout,
    InputReceived,
    InputSend,
    InputTick,
    ObjectIdentifier,
    OutputEvent,
    OutputTransmit,
    ServiceReadProperty,
    ServiceReadPropertyMultiple,
    Stack,
    StackConfig,
)

HOST = "127.0.0.1"
OBJECT = "analog-input:1"
PROPERTY = "present-value"
RPM_OBJECTS = 20
RPM_PROPERTIES = ["present-value", "object-name", "status-flags", "units", "out-of-service"]
RPM_PROPERTY_IDS = [85, 77, 111, 117, 81]
SIDES = ("floor", "client", "client-ids", "bacpypes3")
WARMUP = 0.2


def load_average() -> float:
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def heap_bytes() -> int:
    """Bytes in use on the C heap; with PYTHONMALLOC=malloc that includes every Python object."""
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    return int(info.uordblks + info.hblkhd)


def rpm_specs() -> list[tuple[str, list[str]]]:
    return [(f"analog-input:{i}", list(RPM_PROPERTIES)) for i in range(1, RPM_OBJECTS + 1)]


def rpm_service() -> ServiceReadPropertyMultiple:
    return ServiceReadPropertyMultiple([
        ferromesh.ReadAccessSpec(ObjectIdentifier(0, i), [(p, None) for p in RPM_PROPERTY_IDS])
        for i in range(1, RPM_OBJECTS + 1)])


class Measure:
    """Counts completions; snapshots wall and CPU time after the warm-up and at the end."""

    def __init__(self) -> None:
        self.done = 0
        self.errors = 0
        self.marks: list[tuple[int, float, float, float]] = []

    def mark(self) -> None:
        self.marks.append((self.done, time.perf_counter(), time.process_time(), load_average()))

    def result(self) -> dict[str, float]:
        (n0, w0, c0, l0), (n1, w1, c1, l1) = self.marks
        return {"requests": n1 - n0, "wall": w1 - w0, "cpu": c1 - c0, "errors": self.errors, "load": max(l0, l1)}


# --- the sides ---------------------------------------------------------------


class FloorSide:
    """A blocking socket and a Stack: send, receive, process, decode, nothing else."""

    def __init__(self, ports: list[int]) -> None:
        self.ports = ports
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((HOST, 0))
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.sock.settimeout(0.5)
        self.stack = Stack(StackConfig(apdu_timeout_secs=1.0))

    async def run(self, op: str, devices: int, concurrency: int, seconds: float) -> dict[str, float]:
        addrs = [BacnetAddr(HOST, p) for p in self.ports[:devices]]
        service = ServiceReadProperty(ObjectIdentifier(0, 1), 85) if op == "rp" else rpm_service()
        decode = ferromesh.decode_read_property if op == "rp" else ferromesh.decode_read_property_multiple
        sends = [InputSend(service, a) for a in addrs]
        stack, sock = self.stack, self.sock
        m = Measure()
        k = 0

        def send() -> None:
            nonlocal k
            for output in stack.process(sends[k % devices]):
                if type(output) is OutputTransmit:
                    sock.sendto(bytes(output.data), (output.dest.addr, output.dest.port))
            k += 1

        stack.process(InputTick(time.monotonic()))
        for _ in range(concurrency):
            send()
        outstanding = concurrency
        start = time.perf_counter()
        phase = 0  # 0 warm-up, 1 measuring, 2 draining
        while outstanding:
            try:
                data, src = sock.recvfrom(2048)
            except TimeoutError:
                outputs = stack.process(InputTick(time.monotonic()))
            else:
                outputs = stack.process(InputReceived(data, BacnetAddr(src[0], src[1])))
            for output in outputs:
                if type(output) is OutputEvent:
                    event = output.event
                    if type(event) is EventResponse:
                        decode(event.payload)
                        m.done += 1
                    elif type(event) is EventTimeout:
                        m.errors += 1
                    else:
                        continue
                    if phase == 2:
                        outstanding -= 1
                    else:
                        send()
                elif type(output) is OutputTransmit:  # a re-send
                    sock.sendto(bytes(output.data), (output.dest.addr, output.dest.port))
            if m.done & 63 == 0 and phase < 2:
                now = time.perf_counter()
                if phase == 0 and now - start >= WARMUP:
                    m.mark()
                    phase = 1
                elif phase == 1 and now - m.marks[0][1] >= seconds:
                    m.mark()
                    phase = 2
                    stack.process(InputTick(time.monotonic()))
        return m.result()


class ClientSide:
    """ferromesh.client.Client; `prebuilt` passes ObjectIdentifier/BacnetAddr/int instead of text."""

    def __init__(self, ports: list[int], prebuilt: bool) -> None:
        self.ports = ports
        self.prebuilt = prebuilt

    async def run(self, op: str, devices: int, concurrency: int, seconds: float) -> dict[str, float]:
        from ferromesh.client import Client

        if self.prebuilt:
            addrs: list[Any] = [BacnetAddr(HOST, p) for p in self.ports[:devices]]
            obj: Any = ObjectIdentifier(0, 1)
            prop: Any = 85
            specs: Any = rpm_service().specs
        else:
            addrs = [f"{HOST}:{p}" for p in self.ports[:devices]]
            obj, prop, specs = OBJECT, PROPERTY, rpm_specs()
        async with Client(f"{HOST}:0") as client:
            if op == "rp":
                def request(addr: Any) -> Awaitable[object]:
                    return client.read_property(addr, obj, prop)
            else:
                def request(addr: Any) -> Awaitable[object]:
                    return client.read_property_multiple(addr, specs)
            return await run_workers(request, addrs, concurrency, seconds)


class Bacpypes3Side:
    """bacpypes3's Application as a client, with pre-built addresses and identifiers."""

    def __init__(self, ports: list[int]) -> None:
        self.ports = ports
        self.app: Any = None

    async def run(self, op: str, devices: int, concurrency: int, seconds: float) -> dict[str, float]:
        from bacpypes3.pdu import Address
        from bacpypes3.primitivedata import ObjectIdentifier as B3ObjectIdentifier
        from bacpypes3.basetypes import PropertyIdentifier as B3PropertyIdentifier

        if self.app is None:
            from bacpypes3.app import Application
            from bacpypes3.argparse import SimpleArgumentParser

            args = SimpleArgumentParser().parse_args(
                ["--address", f"{HOST}/32:{free_udp_port()}", "--instance", "3999999"])
            self.app = Application.from_args(args)
        app = self.app
        addrs = [Address(f"{HOST}:{p}") for p in self.ports[:devices]]
        obj = B3ObjectIdentifier("analog-input,1")
        prop = B3PropertyIdentifier("present-value")
        parameters: list[Any] = []
        for i in range(1, RPM_OBJECTS + 1):
            parameters += [B3ObjectIdentifier(f"analog-input,{i}"), [B3PropertyIdentifier(p) for p in RPM_PROPERTIES]]
        if op == "rp":
            def request(addr: Any) -> Awaitable[object]:
                return app.read_property(addr, obj, prop)  # type: ignore[no-any-return]
        else:
            def request(addr: Any) -> Awaitable[object]:
                return app.read_property_multiple(addr, parameters)  # type: ignore[no-any-return]
        return await run_workers(request, addrs, concurrency, seconds)


def free_udp_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((HOST, 0))
        return int(s.getsockname()[1])


async def run_workers(request: Callable[[Any], Awaitable[object]], addrs: list[Any], concurrency: int,
                      seconds: float) -> dict[str, float]:
    """`concurrency` tasks, each awaiting one request after another, round robin over `addrs`."""
    m = Measure()
    stop = False
    next_device = 0

    async def worker() -> None:
        nonlocal next_device
        while not stop:
            addr = addrs[next_device % len(addrs)]
            next_device += 1
            try:
                await request(addr)
                m.done += 1
            except Exception:
                m.errors += 1

    tasks = [asyncio.create_task(worker()) for _ in range(concurrency)]
    await asyncio.sleep(WARMUP)
    m.mark()
    await asyncio.sleep(seconds)
    m.mark()
    stop = True
    await asyncio.gather(*tasks)
    return m.result()


def make_side(name: str, ports: list[int]) -> Any:
    if name == "floor":
        return FloorSide(ports)
    if name in ("client", "client-ids"):
        return ClientSide(ports, prebuilt=name == "client-ids")
    return Bacpypes3Side(ports)


async def serve(name: str, ports: list[int]) -> None:
    """Worker process: one JSON command per line on stdin, one JSON result per line on stdout."""
    side = make_side(name, ports)
    loop = asyncio.get_running_loop()
    while line := await loop.run_in_executor(None, sys.stdin.readline):
        command = json.loads(line)
        result = await side.run(command["op"], command["devices"], command["concurrency"], command["seconds"])
        print(json.dumps(result), flush=True)


# --- memory per outstanding request -----------------------------------------


async def memory_case(name: str, devices: int, count: int) -> float:
    """Bytes per outstanding request: `count` requests to `devices` sockets that never answer."""
    silent = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(devices)]
    for s in silent:
        s.bind((HOST, 0))
    ports = [int(s.getsockname()[1]) for s in silent]
    config = StackConfig(apdu_timeout_secs=600.0, apdu_retries=0)
    holders: list[Any] = []
    setup: Callable[[int], Any]
    if name == "floor":
        stack = Stack(config)
        stack.process(InputTick(time.monotonic()))
        sends = [InputSend(ServiceReadProperty(ObjectIdentifier(0, 1), 85), BacnetAddr(HOST, p)) for p in ports]
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)

        def setup(i: int) -> Any:
            for output in stack.process(sends[i % devices]):
                if type(output) is OutputTransmit:
                    sock.sendto(bytes(output.data), (output.dest.addr, output.dest.port))
    elif name in ("client", "client-ids", "task"):
        from ferromesh.client import Client

        client = Client(f"{HOST}:0", config=config)
        await client.start()
        addrs: list[Any] = ([BacnetAddr(HOST, p) for p in ports] if name == "client-ids"
                            else [f"{HOST}:{p}" for p in ports])
        obj: Any = ObjectIdentifier(0, 1) if name == "client-ids" else OBJECT
        loop = asyncio.get_running_loop()

        def setup(i: int) -> Any:
            if name == "task":  # the caller's own cost: a task awaiting a future
                return asyncio.ensure_future(asyncio.wait_for(loop.create_future(), None))
            return asyncio.ensure_future(client.read_property(addrs[i % devices], obj, PROPERTY))
    else:
        from bacpypes3.app import Application
        from bacpypes3.argparse import SimpleArgumentParser
        from bacpypes3.pdu import Address

        app = Application.from_args(SimpleArgumentParser().parse_args(
            ["--address", f"{HOST}/32:{free_udp_port()}", "--instance", "3999998"]))
        b3_addrs = [Address(f"{HOST}:{p}") for p in ports]

        def setup(i: int) -> Any:
            return asyncio.ensure_future(app.read_property(b3_addrs[i % devices], "analog-input,1", "present-value"))
    await asyncio.sleep(0.1)
    gc.collect()
    before = heap_bytes()
    for i in range(count):
        holders.append(setup(i))
    await asyncio.sleep(0.5)  # every request sent or queued
    gc.collect()
    after = heap_bytes()
    return (after - before) / count


# --- the coordinator ---------------------------------------------------------


class Worker:
    def __init__(self, name: str, ports: list[int], python: str = sys.executable, side: str | None = None) -> None:
        self.name = name
        self.process = subprocess.Popen(
            [python, "-P", __file__, "--worker", side or name, "--ports", ",".join(map(str, ports))],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def run(self, op: str, devices: int, concurrency: int, seconds: float) -> dict[str, float]:
        assert self.process.stdin and self.process.stdout
        self.process.stdin.write(json.dumps(
            {"op": op, "devices": devices, "concurrency": concurrency, "seconds": seconds}) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"worker {self.name} ended")
        result: dict[str, float] = json.loads(line)
        return result

    def close(self) -> None:
        if self.process.stdin:
            self.process.stdin.close()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()


def memory_in_subprocess(name: str, devices: int, count: int, python: str = sys.executable) -> float:
    out = subprocess.run([python, "-P", __file__, "--memory", name, str(devices), str(count)],
                         env={**os.environ, "PYTHONMALLOC": "malloc"}, capture_output=True, text=True, check=True)
    return float(out.stdout.strip())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--device", help="the canned_device program")
    parser.add_argument("--repeat", type=int, default=5, help="samples per side and case (default 5)")
    parser.add_argument("--seconds", type=float, default=1.0, help="measured seconds per sample (default 1)")
    parser.add_argument("--sides", default=",".join(SIDES), help=f"comma-separated, of {','.join(SIDES)}")
    parser.add_argument("--cases", default="", help="only these cases, e.g. rp-1-64,rpm-1-16")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory cases")
    parser.add_argument("--json", help="also write every sample to this file")
    parser.add_argument("--before", metavar="PYTHON",
                        help="also measure the client as installed for this interpreter (side 'before')")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--ports", help=argparse.SUPPRESS)
    parser.add_argument("--memory", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker:
        asyncio.run(serve(args.worker, [int(p) for p in args.ports.split(",")]))
        return 0
    if args.memory:
        name, devices, count = args.memory[0], int(args.memory[1]), int(args.memory[2])
        print(asyncio.run(memory_case(name, devices, count)))
        return 0
    if not args.device:
        parser.error("--device is required")

    sides = args.sides.split(",") + (["before"] if args.before else [])
    cases = [("rp", d, c) for d in (1, 100) for c in (1, 16, 64, 256)] + [("rpm", 1, c) for c in (1, 16)]
    if args.cases:
        wanted = set(args.cases.split(","))
        cases = [c for c in cases if f"{c[0]}-{c[1]}-{c[2]}" in wanted]
    print(f"== {os.uname().nodename}: load {open('/proc/loadavg').read().strip()}, python {sys.version.split()[0]}",
          flush=True)
    device = subprocess.Popen([args.device, "--devices", "100"], stdout=subprocess.PIPE, text=True)
    samples: list[dict[str, Any]] = []
    try:
        assert device.stdout
        ready = device.stdout.readline().split()
        if not ready or ready[0] != "ready":
            raise RuntimeError("the canned device did not start")
        ports = [int(p) for p in ready[1:]]
        workers = [Worker(name, ports) if name != "before" else Worker(name, ports, args.before, "client")
                   for name in sides]
        try:
            print(f"{'case':<14}" + "".join(f"{s + ' r/s':>16}{'µs cpu':>9}" for s in sides) + "  ratios to floor",
                  flush=True)
            for op, devices, concurrency in cases:
                rates: dict[str, list[float]] = {s: [] for s in sides}
                cpu: dict[str, list[float]] = {s: [] for s in sides}
                for rep in range(args.repeat):
                    for w in workers[rep % len(workers):] + workers[:rep % len(workers)]:
                        seconds = args.seconds if w.name != "bacpypes3" else min(args.seconds, 0.5)
                        r = w.run(op, devices, concurrency, seconds)
                        samples.append({"side": w.name, "op": op, "devices": devices,
                                        "concurrency": concurrency, **r})
                        rates[w.name].append(r["requests"] / r["wall"])
                        cpu[w.name].append(r["cpu"] / max(1, r["requests"]) * 1e6)
                med = {s: statistics.median(rates[s]) for s in sides}
                line = f"{op}-{devices}-{concurrency:<8}"[:14].ljust(14)
                line += "".join(f"{med[s]:>16,.0f}{statistics.median(cpu[s]):>9.1f}" for s in sides)
                if "floor" in med:
                    line += "  " + " ".join(f"{s}={med[s] / med['floor']:.0%}" for s in sides if s != "floor")
                print(line, flush=True)
        finally:
            for w in workers:
                w.close()
    finally:
        device.terminate()
        device.wait()
    if not args.no_memory:
        print("memory per outstanding request (bytes of heap, Python objects included)")
        for name in sides + ["task"]:
            for devices, count in ((1, 256), (100, 256), (100, 25600), (1, 25600)):
                if name == "floor" and count > 256 * devices:
                    continue  # a bare Stack refuses the 257th request to one device
                if name == "bacpypes3" and count > 256:
                    continue
                heap = (memory_in_subprocess(name, devices, count) if name != "before"
                        else memory_in_subprocess("client", devices, count, args.before))
                samples.append({"side": name, "memory": True, "devices": devices, "count": count, "bytes": heap})
                print(f"  {name:<11} {devices:>3} devices {count:>6} outstanding: {heap:>8,.0f}", flush=True)
    print(f"== load {open('/proc/loadavg').read().strip()}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(samples, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
