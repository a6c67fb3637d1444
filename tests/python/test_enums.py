"""The enumeration classes against well-known numbers, and the generator's table checks."""

import enum
import importlib.util
import pathlib
import re

import pytest

import ferromesh._enums as enums

REPO = pathlib.Path(__file__).resolve().parents[2]
_spec = importlib.util.spec_from_file_location("generate_enums", REPO / "scripts" / "generate_enums.py")
generator = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(generator)

CLASSES = [getattr(enums, name) for name in enums.__all__]

# A few numbers per enumeration that integrators meet every day, and the edges
# of each table (the first and last numbers, both sides of a gap).
WELL_KNOWN = {
    enums.ObjectType: [(0, "analog-input"), (8, "device"), (20, "trend-log"), (56, "network-port"),
                       (64, "color-temperature"), (1001, "proprietary-1001"), (1026, "proprietary-1026")],
    enums.PropertyIdentifier: [(8, "all"), (22, "cov-increment"), (23, "date-list"), (27, "derivative-constant-units"),
                               (85, "present-value"), (117, "units"), (226, "door-alarm-state"),
                               (236, "reserved-236"), (371, "property-list"), (511, "issuer-certificate-files"),
                               (4194304, "max-bvlc-length-accepted"), (4194327, "sc-minimum-reconnect-time")],
    enums.ErrorClass: [(0, "device"), (2, "property"), (7, "communication")],
    enums.ErrorCode: [(0, "other"), (31, "unknown-object"), (32, "unknown-property"), (42, "invalid-array-index"),
                      (205, "referenced-port-in-error")],
    enums.EngineeringUnits: [(0, "square-meters"), (62, "degrees-celsius"), (64, "degrees-fahrenheit"),
                             (95, "no-units"), (98, "percent"), (234, "ph"), (254, "million-standard-cubic-feet-per-minute"),
                             (47808, "standard-cubic-feet-per-day")],
    enums.EventState: [(0, "normal"), (2, "offnormal"), (5, "life-safety-alarm")],
    enums.Reliability: [(0, "no-fault-detected"), (7, "unreliable-other"), (12, "communication-failure"),
                        (25, "multi-state-out-of-range")],
    enums.BinaryPV: [(0, "inactive"), (1, "active")],
    enums.Polarity: [(0, "normal"), (1, "reverse")],
    enums.Segmentation: [(0, "segmented-both"), (3, "no-segmentation")],
    enums.DeviceStatus: [(0, "operational"), (4, "non-operational"), (5, "backup-in-progress")],
    enums.EventType: [(0, "change-of-bitstring"), (5, "out-of-range"), (10, "buffer-ready"), (22, "change-of-timer")],
    enums.NotifyType: [(0, "alarm"), (2, "ack-notification")],
    enums.AbortReason: [(1, "buffer-overflow"), (4, "segmentation-not-supported"), (11, "apdu-too-long")],
    enums.RejectReason: [(0, "other"), (9, "unrecognized-service"), (10, "invalid-data-encoding")],
}
# Numbers the standard assigns nothing to, which must stay unnamed.
UNASSIGNED = {
    enums.ObjectType: [65, 1000, 1027],
    enums.PropertyIdentifier: [18, 466, 512, 4194303],
    enums.ErrorCode: [33],
    enums.Reliability: [11],
    enums.EventType: [7, 12],
}


def test_every_class_is_checked():
    assert set(WELL_KNOWN) == set(CLASSES)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_well_known_numbers_resolve_both_ways(cls):
    for number, name in WELL_KNOWN[cls]:
        member = cls[name.upper().replace("-", "_")]
        assert member == number and cls(number) is member
    for number in UNASSIGNED.get(cls, []):
        with pytest.raises(ValueError):
            cls(number)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_members_are_unique_upper_snake_names(cls):
    assert issubclass(cls, enum.IntEnum)
    assert len(list(cls)) == len(cls.__members__), "no aliases"
    assert all(re.fullmatch(r"[A-Z][A-Z0-9]*(_[A-Z0-9]+)*", name) for name in cls.__members__)


def _table(*rows):
    return "// A title.\n" + "".join(row + "\n" for row in rows)


@pytest.mark.parametrize(
    "rows, message",
    [
        (['FM_X(1, "b")', 'FM_X(0, "a")'], "0 does not follow 1"),
        (['FM_X(0, "a")', 'FM_X(0, "b")'], "0 does not follow 0"),
        (['FM_X(0, "a")', 'FM_X(1, "a")'], "'a' is listed twice"),
        (['FM_X(0, PresentValu, "present-value")'], "is PresentValue, not PresentValu"),
        (['FM_X(0, A, "a")', 'FM_X(1, "b")'], "every row has a CppIdentifier or none"),
        (['FM_Y(0, "a")'], "expected FM_X"),
        (['FM_X(0, "Bad_Name")'], "expected FM_X"),
        ([], "no rows"),
    ],
)
def test_generator_refuses_malformed_tables(rows, message):
    with pytest.raises(generator.TableError, match=re.escape(message)):
        generator.read_table(_table(*rows), "x.def", "FM_X")


def test_generator_reads_a_table():
    text = _table('FM_X(0, AnalogInput, "analog-input")', "// a comment", "", 'FM_X(1024, Proprietary1024, "proprietary-1024")')
    assert generator.read_table(text, "x.def", "FM_X") == ("A title.", [(0, "analog-input"), (1024, "proprietary-1024")])
