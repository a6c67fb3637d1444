"""Python-level benchmarks of ferromesh, side by side with bacpypes3.

Each case does the same work with both libraries on the same octets, in the
same run: the repeats alternate between the two, so that a change in machine
load hits both alike. Prints the median time per call of each and the ratio.

    python bench/python_bench.py [--repeat N] [--min-time SECONDS]

bacpypes3 is used only through its public encoders and decoders, as an
application that does the same work would use them.
"""

from __future__ import annotations

import argparse
import gc
import platform
import statistics
import struct
import sys
import time
import timeit
from dataclasses import dataclass
from typing import Callable

import ferromesh

from bacpypes3.apdu import APDU, ReadPropertyACK, ReadPropertyMultipleACK, ReadPropertyRequest
from bacpypes3.basetypes import EngineeringUnits, EventState, PropertyIdentifier, Reliability, StatusFlags
from bacpypes3.ipv4.bvll import LPDU, OriginalUnicastNPDU
from bacpypes3.npdu import NPDU
from bacpypes3.pdu import PDU, Address
from bacpypes3.primitivedata import Boolean, CharacterString, ObjectIdentifier, Real

# --- The answers; the C++ benchmarks (bench/cpp/answers.hpp) build the same octets.

LONG_TEXT_LENGTH = 256
RPM_OBJECTS = 50
DEVICE = "10.0.0.2"
PORT = 47808


def object_id_word(object_type: int, instance: int) -> bytes:
    return struct.pack(">I", (object_type & 0x3FF) << 22 | (instance & 0x3FFFFF))


def character_string(text: str) -> bytes:
    content = b"\x00" + text.encode()  # character set 0, UTF-8
    if len(content) < 5:
        return bytes([0x70 | len(content)]) + content
    if len(content) < 254:
        return bytes([0x75, len(content)]) + content
    return bytes([0x75, 254]) + struct.pack(">H", len(content)) + content


def real(value: float) -> bytes:
    return b"\x44" + struct.pack(">f", value)


def enumerated(value: int) -> bytes:
    return bytes([0x91, value]) if value < 0x100 else bytes([0x92]) + struct.pack(">H", value)


def read_property_ack(value: bytes, instance: int = 1) -> bytes:
    """ReadProperty-ACK parameters: analog-input `instance`, present-value, `value`."""
    return b"\x0c" + object_id_word(0, instance) + b"\x19\x55\x3e" + value + b"\x3f"


def ascii_text(length: int) -> str:
    return "".join(chr(ord("a") + i % 26) for i in range(length))


def property_value(property_id: int, value: bytes) -> bytes:
    return bytes([0x29, property_id, 0x4E]) + value + b"\x4f"


def read_property_multiple_ack(objects: int) -> bytes:
    """Ten results for each of `objects` analog inputs, the last an error."""
    out = bytearray()
    for i in range(objects):
        instance = 1000 + i
        out += b"\x0c" + object_id_word(0, instance) + b"\x1e"
        out += property_value(77, character_string(f"AHU-{i} supply air temp"))
        out += property_value(85, real(20.5 + i))
        out += property_value(111, b"\x82\x04\x00")
        out += property_value(36, enumerated(0))
        out += property_value(81, b"\x10")
        out += property_value(117, enumerated(62))
        out += property_value(103, enumerated(0))
        out += property_value(28, character_string("Supply air temperature sensor"))
        out += property_value(75, b"\xc4" + object_id_word(0, instance))
        out += bytes([0x29, 87, 0x5E, 0x91, 0x02, 0x91, 0x20, 0x5F])
        out += b"\x1f"
    return bytes(out)


def complex_ack_apdu(service_choice: int, invoke_id: int, parameters: bytes) -> bytes:
    return bytes([0x30, invoke_id, service_choice]) + parameters


def complex_ack_datagram(invoke_id: int, parameters: bytes) -> bytes:
    npdu = b"\x01\x00" + complex_ack_apdu(12, invoke_id, parameters)
    return b"\x81\x0a" + struct.pack(">H", 4 + len(npdu)) + npdu


RP_REAL = read_property_ack(real(72.5))
RP_LONG_TEXT = read_property_ack(character_string(ascii_text(LONG_TEXT_LENGTH)))
RPM_50X10 = read_property_multiple_ack(RPM_OBJECTS)

# --- bacpypes3: the same work with its own encoders and decoders.

RPM_TYPES = {
    77: CharacterString,
    85: Real,
    111: StatusFlags,
    36: EventState,
    81: Boolean,
    117: EngineeringUnits,
    103: Reliability,
    28: CharacterString,
    75: ObjectIdentifier,
}


def bacpypes3_read_property(apdu: bytes, datatype: type) -> tuple:
    ack = ReadPropertyACK.decode(APDU.decode(PDU(apdu)))
    return ack.objectIdentifier, ack.propertyIdentifier, ack.propertyArrayIndex, ack.propertyValue.cast_out(datatype)


def bacpypes3_read_property_multiple(apdu: bytes) -> list:
    ack = ReadPropertyMultipleACK.decode(APDU.decode(PDU(apdu)))
    objects = []
    for result in ack.listOfReadAccessResults:
        properties = []
        for element in result.listOfResults:
            read = element.readResult
            if read.propertyValue is not None:
                value = read.propertyValue.cast_out(RPM_TYPES[int(element.propertyIdentifier)])
            else:
                value = (read.propertyAccessError.errorClass, read.propertyAccessError.errorCode)
            properties.append((element.propertyIdentifier, element.propertyArrayIndex, value))
        objects.append((result.objectIdentifier, properties))
    return objects


class Bacpypes3RoundTrip:
    """A ReadProperty framed into a datagram and its ComplexACK datagram
    decoded down to the acknowledgement, as Stack.process does for both."""

    def __init__(self) -> None:
        self.destination = Address(DEVICE)
        self.request = ReadPropertyRequest(
            objectIdentifier=ObjectIdentifier("analog-input,1"),
            propertyIdentifier=PropertyIdentifier("present-value"),
            destination=self.destination,
        )
        self.invoke_id = 0
        self.answers = [complex_ack_datagram(i, RP_REAL) for i in range(256)]

    def send(self) -> bytes:
        self.request.apduInvokeID = self.invoke_id
        apdu = self.request.encode()
        apdu.apduSeg, apdu.apduMor, apdu.apduSA, apdu.apduMaxSegs, apdu.apduMaxResp = False, False, True, 0, 5
        npdu = NPDU(apdu.encode().pduData)
        npdu.pduDestination = self.destination
        npdu.pduExpectingReply = True
        return bytes(OriginalUnicastNPDU(npdu.encode()).encode().pduData)

    def receive(self, datagram: bytes) -> ReadPropertyACK:
        lpdu = LPDU.decode(PDU(datagram, source=self.destination))
        npdu = NPDU.decode(OriginalUnicastNPDU.decode(lpdu))
        return ReadPropertyACK.decode(APDU.decode(npdu))

    def round_trip(self) -> ReadPropertyACK:
        datagram = self.send()
        ack = self.receive(self.answers[datagram[8]])
        self.invoke_id = (self.invoke_id + 1) % 256
        return ack

    def round_trip_with_value(self) -> float:
        return self.round_trip().propertyValue.cast_out(Real)


# --- ferromesh


class FerromeshRoundTrip:
    def __init__(self) -> None:
        self.stack = ferromesh.Stack()
        self.address = ferromesh.BacnetAddr(DEVICE, PORT)
        self.send_input = ferromesh.InputSend(
            ferromesh.ServiceReadProperty(ferromesh.ObjectIdentifier(0, 1), 85), self.address
        )
        self.answers = [complex_ack_datagram(i, RP_REAL) for i in range(256)]

    def round_trip(self) -> ferromesh.EventResponse:
        transmit = self.stack.process(self.send_input)[0]
        outputs = self.stack.process(ferromesh.InputReceived(self.answers[transmit.data[8]], self.address))
        return outputs[0].event

    def round_trip_with_value(self) -> float:
        return ferromesh.decode_read_property(self.round_trip().payload).value.value


# --- Checks that both sides really did the same work, before any timing.


def require(condition: bool, what: str) -> None:
    """Stops the run when the two libraries did not do the same work; not an
    assert, which python -O would skip."""
    if not condition:
        raise SystemExit(f"not comparable: {what}")


def check_equivalence() -> None:
    ours = ferromesh.decode_read_property(RP_REAL)
    theirs = bacpypes3_read_property(complex_ack_apdu(12, 0, RP_REAL), Real)
    require(ours.value.value == theirs[3] == 72.5, "ReadProperty of a Real")
    require(int(ours.property_id) == int(theirs[1]) == 85, "ReadProperty property identifier")

    ours = ferromesh.decode_read_property(RP_LONG_TEXT)
    theirs = bacpypes3_read_property(complex_ack_apdu(12, 0, RP_LONG_TEXT), CharacterString)
    require(ours.value.value == str(theirs[3]) == ascii_text(LONG_TEXT_LENGTH), "ReadProperty of a long text")

    ours = ferromesh.decode_read_property_multiple(RPM_50X10).objects
    theirs = bacpypes3_read_property_multiple(complex_ack_apdu(14, 0, RPM_50X10))
    require(len(ours) == len(theirs) == RPM_OBJECTS, "ReadPropertyMultiple object count")
    for mine, other in zip(ours, theirs):
        properties = mine.properties
        require(mine.object_id.instance == other[0][1], "ReadPropertyMultiple object identifier")
        require(len(properties) == len(other[1]) == 10, "ReadPropertyMultiple result count")
        require([int(p.property_id) for p in properties] == [int(p[0]) for p in other[1]], "property identifiers")
        require(properties[1].value.value == float(other[1][1][2]), "present value")
        require(properties[0].value.value == str(other[1][0][2]), "object name")
        error = properties[9].value
        require((int(error.error_class), int(error.error_code)) == tuple(int(x) for x in other[1][9][2]) == (2, 32),
                "property error")

    ours_trip, theirs_trip = FerromeshRoundTrip(), Bacpypes3RoundTrip()
    for _ in range(300):  # past one wrap of the invoke IDs
        require(bytes(ours_trip.round_trip().payload) == RP_REAL, "ferromesh response payload")
        require(theirs_trip.round_trip().propertyValue.cast_out(Real) == 72.5, "bacpypes3 acknowledgement")
    require(ours_trip.round_trip_with_value() == theirs_trip.round_trip_with_value() == 72.5, "decoded answer")


# --- Timing


@dataclass
class Case:
    name: str
    ferromesh: Callable[[], object]
    bacpypes3: Callable[[], object]
    target_us: float | None  # the limit for the ferromesh side


def cases() -> list[Case]:
    rp_real_apdu = complex_ack_apdu(12, 0, RP_REAL)
    rp_text_apdu = complex_ack_apdu(12, 0, RP_LONG_TEXT)
    rpm_apdu = complex_ack_apdu(14, 0, RPM_50X10)
    decode_rp = ferromesh.decode_read_property
    decode_rpm = ferromesh.decode_read_property_multiple
    ours, theirs = FerromeshRoundTrip(), Bacpypes3RoundTrip()
    ours_value, theirs_value = FerromeshRoundTrip(), Bacpypes3RoundTrip()
    return [
        Case("decode_read_property, Real", lambda: decode_rp(RP_REAL),
             lambda: bacpypes3_read_property(rp_real_apdu, Real), 1.5),
        Case(f"decode_read_property, CharacterString of {LONG_TEXT_LENGTH}", lambda: decode_rp(RP_LONG_TEXT),
             lambda: bacpypes3_read_property(rp_text_apdu, CharacterString), None),
        Case(f"decode_read_property_multiple, {RPM_OBJECTS} x 10", lambda: decode_rpm(RPM_50X10),
             lambda: bacpypes3_read_property_multiple(rpm_apdu), 150.0),
        Case("Stack.process round trip (send, ComplexACK)", ours.round_trip, theirs.round_trip, 4.0),
        Case("round trip + decode of the Real", ours_value.round_trip_with_value, theirs_value.round_trip_with_value,
             None),
    ]


# CPU time of this process by default: the machine is shared, and another
# program's load stretches wall-clock time far more than CPU time.
CLOCKS = {"cpu": time.process_time, "wall": time.perf_counter}
clock = CLOCKS["cpu"]


def loops_for(function: Callable[[], object], min_time: float) -> int:
    """Calls per sample so that one sample takes at least `min_time`."""
    timer = timeit.Timer(function, timer=clock)
    number, elapsed = timer.autorange()
    return max(1, int(number * min_time / max(elapsed, 1e-9)))


def sample(function: Callable[[], object], number: int, with_gc: bool) -> float:
    """Seconds per call over `number` calls. timeit turns the garbage collector
    off; an application has it on, and decoding many objects pays for it."""
    timer = timeit.Timer(function, setup="import gc; gc.enable()" if with_gc else "pass", timer=clock)
    return timer.timeit(number) / number


def measure(case: Case, repeat: int, min_time: float, with_gc: bool) -> tuple[list[float], list[float]]:
    ours_loops = loops_for(case.ferromesh, min_time)
    theirs_loops = loops_for(case.bacpypes3, min_time)
    ours, theirs = [], []
    for _ in range(repeat):
        ours.append(sample(case.ferromesh, ours_loops, with_gc))
        theirs.append(sample(case.bacpypes3, theirs_loops, with_gc))
    return ours, theirs


def growth(repeat: int, min_time: float, with_gc: bool) -> None:
    """ferromesh alone: how the Python-level cost grows with the size of an
    answer and with the number of outstanding requests."""

    def median_us(function: Callable[[], object]) -> float:
        loops = loops_for(function, min_time)
        return statistics.median(sample(function, loops, with_gc) for _ in range(repeat)) * 1e6

    print()
    print("decode_read_property_multiple by number of objects (10 results each)")
    for objects in (1, 10, 50, 200):
        answer = read_property_multiple_ack(objects)
        us = median_us(lambda: ferromesh.decode_read_property_multiple(answer))
        print(f"  {objects:5} objects {len(answer):7} octets {us:10.2f} us  {us / (objects * 10) * 1000:7.1f} ns/result")

    print("Stack.process with n requests outstanding to other devices")
    for outstanding in (0, 1_000, 10_000):
        trip = FerromeshRoundTrip()
        for i in range(outstanding):
            peer = ferromesh.BacnetAddr(f"10.1.{i // 256 % 256}.{i // 65536 + 1}", PORT)
            trip.stack.process(ferromesh.InputSend(ferromesh.ServiceReadProperty(ferromesh.ObjectIdentifier(0, i), 85),
                                                   peer))
        round_trip_us = median_us(trip.round_trip)
        tick = ferromesh.InputTick(1.0)  # nothing is due before 3.0
        tick_us = median_us(lambda: trip.stack.process(tick))
        print(f"  {outstanding:6} outstanding: round trip {round_trip_us:8.2f} us, Tick (none due) {tick_us:9.2f} us")


def floor(repeat: int, min_time: float, with_gc: bool) -> None:
    """Where the 50 x 10 decode's time goes: the enumeration conversions call
    the classes of ferromesh._enums 600 times per answer (500 property
    identifiers, 50 error classes, 50 error codes), and everything else."""
    import ferromesh._enums as enums  # noqa: PLC0415

    def median_us(function: Callable[[], object]) -> float:
        loops = loops_for(function, min_time)
        return statistics.median(sample(function, loops, with_gc) for _ in range(repeat)) * 1e6

    numbers = [(enums.PropertyIdentifier, p) for p in (77, 85, 111, 36, 81, 117, 103, 28, 75, 87)] * RPM_OBJECTS
    numbers += [(enums.ErrorClass, 2), (enums.ErrorCode, 32)] * RPM_OBJECTS

    def enum_calls() -> None:
        for enum_class, number in numbers:
            enum_class(number)

    def loop_only() -> None:
        for enum_class, number in numbers:
            pass

    calls_us = median_us(enum_calls) - median_us(loop_only)
    whole_us = median_us(lambda: ferromesh.decode_read_property_multiple(RPM_50X10))
    saved = sys.modules["ferromesh._enums"]
    # Classes that cost next to nothing to call: what the decode costs besides them.
    sys.modules["ferromesh._enums"] = type(sys)("plain_ints")
    for name in ("PropertyIdentifier", "ErrorClass", "ErrorCode", "ObjectType"):
        setattr(sys.modules["ferromesh._enums"], name, int)
    try:
        rest_us = median_us(lambda: ferromesh.decode_read_property_multiple(RPM_50X10))
    finally:
        sys.modules["ferromesh._enums"] = saved
    print()
    print(f"decode_read_property_multiple, {RPM_OBJECTS} x 10: {whole_us:.1f} us in all")
    print(f"  the {len(numbers)} enumeration class calls alone, from Python: {calls_us:.1f} us")
    print(f"  the decode with int in place of the enumeration classes: {rest_us:.1f} us")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=11, help="samples per side (default 11)")
    parser.add_argument("--min-time", type=float, default=0.2, help="seconds per sample (default 0.2)")
    parser.add_argument("--no-gc", action="store_true", help="time with the garbage collector off, as timeit does")
    parser.add_argument("--growth", action="store_true", help="also show how ferromesh's cost grows")
    parser.add_argument("--floor", action="store_true", help="also show what bounds the 50 x 10 decode")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu",
                        help="cpu: this process's CPU time (default); wall: elapsed time")
    args = parser.parse_args()
    global clock
    clock = CLOCKS[args.clock]

    check_equivalence()
    import bacpypes3  # noqa: PLC0415 - only for its version

    print(f"Python {platform.python_version()} on {platform.machine()}, ferromesh, "
          f"bacpypes3 {getattr(bacpypes3, '__version__', '?')}; "
          f"{args.repeat} samples of >= {args.min_time} s per side, garbage collector "
          f"{'off' if args.no_gc else 'on'}, {args.clock} clock; medians per call")
    print(f"ReadPropertyMultiple answer: {len(RPM_50X10)} octets")
    header = f"{'case':48} {'ferromesh':>12} {'bacpypes3':>12} {'ratio':>8}  target"
    print(header)
    print("-" * len(header))
    missed = 0
    gc.collect()
    for case in cases():
        ours, theirs = measure(case, args.repeat, args.min_time, not args.no_gc)
        ours_us = statistics.median(ours) * 1e6
        theirs_us = statistics.median(theirs) * 1e6
        ratio = theirs_us / ours_us
        verdicts = []
        if case.target_us is not None:
            met = ours_us <= case.target_us
            verdicts.append(f"<= {case.target_us:g} us {'met' if met else 'MISSED'}")
            missed += not met
        met = ratio >= 30
        verdicts.append(f">= 30x {'met' if met else 'MISSED'}")
        missed += not met
        spread = f"(ferromesh {min(ours) * 1e6:.3f}..{max(ours) * 1e6:.3f})"
        print(f"{case.name:48} {ours_us:10.3f}us {theirs_us:10.3f}us {ratio:7.1f}x  "
              f"{', '.join(verdicts)} {spread}")
    print(f"{missed} target(s) missed")
    if args.growth:
        growth(args.repeat, args.min_time, not args.no_gc)
    if args.floor:
        floor(args.repeat, args.min_time, not args.no_gc)
    return 0


if __name__ == "__main__":
    sys.exit(main())
