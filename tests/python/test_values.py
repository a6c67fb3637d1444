"""ObjectIdentifier and the PropertyValue* classes: conversions, ranges and representations."""

import math
import random
import struct
from decimal import Decimal
from fractions import Fraction

import pytest

import ferromesh
import ferromesh._enums as enums
from support import RP_ACK_TWO_VALUES

U8, U16, U32 = 2**8 - 1, 2**16 - 1, 2**32 - 1
I32_MIN, I32_MAX = -(2**31), 2**31 - 1


def make(cls_name, **fields):
    return getattr(ferromesh, cls_name)(**fields)


# (class, attribute, valid keyword arguments, values the attribute accepts,
#  values that raise OverflowError, values that raise TypeError)
FIELDS = [
    ("ObjectIdentifier", "object_type", dict(object_type=8, instance=1), [0, U16], [-1, U16 + 1], [8.0, "8", None]),
    ("ObjectIdentifier", "instance", dict(object_type=8, instance=1), [0, 2**22, U32], [-1, U32 + 1], [1.0, None]),
    ("PropertyValueBoolean", "value", dict(value=True), [False, True], [], [1, 0, None, "true"]),
    ("PropertyValueUnsigned", "value", dict(value=1), [0, U32], [-1, U32 + 1, 2**64], [1.0, "1", None]),
    ("PropertyValueSigned", "value", dict(value=1), [I32_MIN, I32_MAX], [I32_MIN - 1, I32_MAX + 1], [1.5, None]),
    ("PropertyValueEnumerated", "value", dict(value=1), [0, U32], [-1, U32 + 1], [1.0, None]),
    ("PropertyValueReal", "value", dict(value=1.0), [0.5, -2.0, 3], [10**400], ["1.0", None]),
    ("PropertyValueDouble", "value", dict(value=1.0), [0.5, -2.0, 3], [10**400], ["1.0", None]),
    ("PropertyValueOctetString", "value", dict(value=b""), [b"\x00\xff", [0, 255], bytearray(b"\x07"), (1,)],
     [[256], [-1]], ["ab", 5, [1.0], None]),
    ("PropertyValueCharacterString", "value", dict(value=""), ["", "héllo"], [], [b"x", 1, None]),
    ("PropertyValueBitString", "used_bits", dict(used_bits=0, bits=b""), [0, U8], [-1, U8 + 1], [None, 1.0]),
    ("PropertyValueBitString", "bits", dict(used_bits=0, bits=b""), [b"\x80", [1, 2]], [[300]], ["10", None]),
    ("PropertyValueDate", "year", dict(year=2024, month=1, day=1), [0, U16, None], [-1, U16 + 1], [2024.0]),
    ("PropertyValueDate", "month", dict(year=2024, month=1, day=1), [0, 13, U8, None], [-1, U8 + 1], ["1"]),
    ("PropertyValueDate", "day", dict(year=2024, month=1, day=1), [0, 32, U8, None], [U8 + 1], ["1"]),
    ("PropertyValueDate", "weekday", dict(year=2024, month=1, day=1), [None, 0, 7, 9, U8], [-1, U8 + 1], ["Mon"]),
    ("PropertyValueTime", "hour", dict(hour=0, minute=0, second=0, hundredths=0), [0, 24, U8], [U8 + 1], [0.0]),
    ("PropertyValueTime", "hundredths", dict(hour=0, minute=0, second=0, hundredths=0), [99, U8, None], [-1], [0.5]),
    ("PropertyValueAny", "data", dict(data=b""), [b"\x21\x05", [0x00]], [[256]], ["\x00", None]),
]


def _normalised(value):
    if isinstance(value, (bytes, bytearray, tuple)) or (isinstance(value, list)):
        return list(value)
    return value


@pytest.mark.parametrize("cls_name, attribute, kwargs, good, overflow, wrong_type", FIELDS)
class TestFieldConversion:
    def test_accepted_in_constructor_and_setter(self, cls_name, attribute, kwargs, good, overflow, wrong_type):
        for value in good:
            built = make(cls_name, **{**kwargs, attribute: value})
            assigned = make(cls_name, **kwargs)
            setattr(assigned, attribute, value)
            for obj in (built, assigned):
                expected = _normalised(value)
                if cls_name == "PropertyValueReal":
                    expected = struct.unpack("<f", struct.pack("<f", value))[0]
                assert getattr(obj, attribute) == expected

    def test_overflow_names_the_argument(self, cls_name, attribute, kwargs, good, overflow, wrong_type):
        obj = make(cls_name, **kwargs)
        before = getattr(obj, attribute)
        for value in overflow:
            with pytest.raises(OverflowError, match=attribute):
                make(cls_name, **{**kwargs, attribute: value})
            with pytest.raises(OverflowError, match=attribute):
                setattr(obj, attribute, value)
            assert getattr(obj, attribute) == before

    def test_wrong_type_names_the_argument(self, cls_name, attribute, kwargs, good, overflow, wrong_type):
        obj = make(cls_name, **kwargs)
        before = getattr(obj, attribute)
        for value in wrong_type:
            with pytest.raises(TypeError, match=attribute):
                make(cls_name, **{**kwargs, attribute: value})
            with pytest.raises(TypeError, match=attribute):
                setattr(obj, attribute, value)
            assert getattr(obj, attribute) == before


class TestConstructorArguments:
    @pytest.mark.parametrize(
        "call",
        [
            lambda: ferromesh.ObjectIdentifier(8),
            lambda: ferromesh.ObjectIdentifier(8, 1, 2),
            lambda: ferromesh.ObjectIdentifier(8, instance=1, object_type=8),
            lambda: ferromesh.ObjectIdentifier(8, 1, colour=1),
            lambda: ferromesh.PropertyValueNull(1),
            lambda: ferromesh.PropertyValueDate(2024, 1),
        ],
    )
    def test_wrong_arity_or_keyword(self, call):
        with pytest.raises(TypeError):
            call()

    def test_positional_and_keyword_agree(self):
        by_position = ferromesh.PropertyValueDate(2024, 3, 5, 4)
        by_keyword = ferromesh.PropertyValueDate(weekday=4, day=5, month=3, year=2024)
        assert (by_position.year, by_position.month, by_position.day, by_position.weekday) == (2024, 3, 5, 4)
        assert repr(by_position) == repr(by_keyword)
        assert ferromesh.PropertyValueDate(2024, 3, 5).weekday is None

    def test_enum_member_accepted_as_its_number(self):
        oid = ferromesh.ObjectIdentifier(enums.ObjectType.ANALOG_VALUE, 3)
        assert oid.object_type is enums.ObjectType.ANALOG_VALUE
        assert repr(oid) == "ObjectIdentifier(type=2, instance=3)"

    def test_text_with_lone_surrogate_is_refused(self):
        with pytest.raises(ValueError, match="value"):
            ferromesh.PropertyValueCharacterString("\ud800")

    def test_subclass_instances_behave_like_the_class(self):
        class Reading(ferromesh.PropertyValueReal):
            pass

        reading = Reading(2.5)
        assert isinstance(reading, ferromesh.PropertyValueReal)
        assert reading.value == 2.5 and repr(reading) == "PropertyValueReal(2.5)"


class TestOctetLists:
    @pytest.mark.parametrize(
        "cls_name, kwargs, attribute",
        [
            ("PropertyValueOctetString", dict(value=b"\x01\x02\xff"), "value"),
            ("PropertyValueBitString", dict(used_bits=0, bits=b"\x01\x02\xff"), "bits"),
            ("PropertyValueAny", dict(data=b"\x01\x02\xff"), "data"),
        ],
    )
    def test_read_back_as_new_lists(self, cls_name, kwargs, attribute):
        obj = make(cls_name, **kwargs)
        first, second = getattr(obj, attribute), getattr(obj, attribute)
        assert first == [1, 2, 255] and type(first) is list
        assert first is not second
        first.append(7)
        assert getattr(obj, attribute) == [1, 2, 255]

    def test_source_changes_after_construction_do_not_leak_in(self):
        source = bytearray(b"\x01")
        obj = ferromesh.PropertyValueOctetString(source)
        source[0] = 9
        assert obj.value == [1]


REPRS = [
    (lambda: ferromesh.ObjectIdentifier(8, 1234), "ObjectIdentifier(type=8, instance=1234)"),
    (lambda: ferromesh.ObjectIdentifier(65535, 2**32 - 1), "ObjectIdentifier(type=65535, instance=4294967295)"),
    (lambda: ferromesh.PropertyValueNull(), "PropertyValueNull()"),
    (lambda: ferromesh.PropertyValueBoolean(True), "PropertyValueBoolean(true)"),
    (lambda: ferromesh.PropertyValueBoolean(False), "PropertyValueBoolean(false)"),
    (lambda: ferromesh.PropertyValueUnsigned(4294967295), "PropertyValueUnsigned(4294967295)"),
    (lambda: ferromesh.PropertyValueSigned(-2147483648), "PropertyValueSigned(-2147483648)"),
    (lambda: ferromesh.PropertyValueEnumerated(7), "PropertyValueEnumerated(7)"),
    (lambda: ferromesh.PropertyValueReal(0.1), "PropertyValueReal(0.1)"),
    (lambda: ferromesh.PropertyValueReal(3.0), "PropertyValueReal(3)"),
    (lambda: ferromesh.PropertyValueReal(1e-7), "PropertyValueReal(0.0000001)"),
    (lambda: ferromesh.PropertyValueReal(1e300), "PropertyValueReal(inf)"),
    (lambda: ferromesh.PropertyValueReal(-0.0), "PropertyValueReal(-0)"),
    (lambda: ferromesh.PropertyValueDouble(float("nan")), "PropertyValueDouble(NaN)"),
    (lambda: ferromesh.PropertyValueDouble(float("-inf")), "PropertyValueDouble(-inf)"),
    (lambda: ferromesh.PropertyValueDouble(2.5), "PropertyValueDouble(2.5)"),
    (lambda: ferromesh.PropertyValueDouble(1e22), "PropertyValueDouble(10000000000000000000000)"),
    (lambda: ferromesh.PropertyValueOctetString(b"\x01\x02\xff"), "PropertyValueOctetString([1, 2, 255])"),
    (lambda: ferromesh.PropertyValueOctetString(b""), "PropertyValueOctetString([])"),
    (lambda: ferromesh.PropertyValueBitString(3, b"\xa0\x01"), "PropertyValueBitString(used=3, bits=[160, 1])"),
    (lambda: ferromesh.PropertyValueDate(2024, 3, 5), "PropertyValueDate(2024-03-05)"),
    (lambda: ferromesh.PropertyValueDate(5, 12, 31, 4), "PropertyValueDate(5-12-31)"),
    (lambda: ferromesh.PropertyValueTime(7, 5, 0, 9), "PropertyValueTime(07:05:00.09)"),
    (lambda: ferromesh.PropertyValueTime(23, 59, 59, 199), "PropertyValueTime(23:59:59.199)"),
    (lambda: ferromesh.PropertyValueDate(None, 13, 32), "PropertyValueDate(*-13-32)"),
    (lambda: ferromesh.PropertyValueDate(2024, None, None), "PropertyValueDate(2024-*-*)"),
    (lambda: ferromesh.PropertyValueTime(None, 5, None, None), "PropertyValueTime(*:05:*.*)"),
    (lambda: ferromesh.PropertyValueAny(b"\x21\x05"), "PropertyValueAny([33, 5])"),
    (lambda: ferromesh.decode_read_property(RP_ACK_TWO_VALUES).value, "PropertyValueArray([2 item(s)])"),
]


@pytest.mark.parametrize("build, text", REPRS)
def test_representation(build, text):
    assert repr(build()) == text


@pytest.mark.parametrize(
    "text, quoted",
    [
        ("", '""'),
        ("plain", '"plain"'),
        ('say "hi"', r'"say \"hi\""'),
        ("back\\slash", r'"back\\slash"'),
        ("a\nb\rc\td\0e", r'"a\nb\rc\td\0e"'),
        ("\x1b[0m", r'"\u{1b}[0m"'),
        ("\x7f\x85", r'"\u{7f}\u{85}"'),
        ("zero\u200bwidth", r'"zero\u{200b}width"'),
        ("line\u2028sep", r'"line\u{2028}sep"'),
        ("private\ue000", r'"private\u{e000}"'),
        ("héllo wörld", '"héllo wörld"'),
        ("日本語 😀", '"日本語 😀"'),
        ("'single'", "\"'single'\""),
    ],
)
def test_character_string_quoted_form(text, quoted):
    assert repr(ferromesh.PropertyValueCharacterString(text)) == f"PropertyValueCharacterString({quoted})"
    assert ferromesh.PropertyValueCharacterString(text).value == text


def _plain(decimal):
    """A Decimal written without exponent and without a trailing ".0"."""
    if decimal.is_zero():
        return "-0" if decimal.is_signed() else "0"
    return format(decimal.normalize(), "f")


def _binary32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def _binary32_from_bits(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def _shortest_binary32(x):
    """The shortest decimal inside x's binary32 rounding interval, nearest to x."""
    if x == 0:
        return "-0" if math.copysign(1.0, x) < 0 else "0"
    sign, magnitude = ("-", -x) if x < 0 else ("", x)
    bits = struct.unpack("<I", struct.pack("<f", magnitude))[0]
    exact = Fraction(magnitude)
    below = Fraction(_binary32_from_bits(bits - 1)) if bits > 1 else Fraction(0)
    above = exact + (exact - below) if bits == 0x7F7FFFFF else Fraction(_binary32_from_bits(bits + 1))
    low, high = (below + exact) / 2, (exact + above) / 2
    ties_included = bits % 2 == 0  # round-half-even reaches the bounds only for an even significand

    def inside(candidate):
        return low < candidate < high or (ties_included and candidate in (low, high))

    exponent = Decimal(magnitude).adjusted()
    for digits in range(1, 10):
        step = Fraction(10) ** (exponent - digits + 1)
        floor = (exact // step) * step
        candidates = [c for c in (floor, floor + step) if inside(c)]
        if candidates:
            # Equally near candidates: the one whose last digit is even, as round-half-even would give.
            best = min(candidates, key=lambda c: (abs(c - exact), (c / step) % 2))
            return sign + _plain(Decimal(best.numerator) / Decimal(best.denominator))
    raise AssertionError(f"no shortest form for {x!r}")


def _special_floats():
    return [0.0, -0.0, 1.0, -1.0, 0.5, 2.5, 72.5, 100.0, 1e-7, 1e7, 123456789.0, 1.17549435e-38, 1e-45,
            3.4028234663852886e38, 16777216.0, 16777217.0, 0.3, 2.0**-126, 2.0**-149, 1 / 3]


def _random_binary32(count, seed):
    rng = random.Random(seed)
    values = []
    while len(values) < count:
        value = _binary32_from_bits(rng.getrandbits(32))
        if math.isfinite(value):
            values.append(value)
    return values


def _random_binary64(count, seed):
    rng = random.Random(seed)
    values = []
    while len(values) < count:
        value = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        if math.isfinite(value):
            values.append(value)
    return values + [rng.uniform(-1000, 1000) for _ in range(count)]


class TestShortestDecimals:
    def test_real_value_is_rounded_to_binary32(self):
        assert ferromesh.PropertyValueReal(0.1).value == 0.10000000149011612
        assert ferromesh.PropertyValueDouble(0.1).value == 0.1

    @pytest.mark.parametrize("seed", range(4))
    def test_real_matches_binary32_oracle(self, seed):
        for value in _special_floats() + _random_binary32(500, seed):
            stored = _binary32(value)
            real = ferromesh.PropertyValueReal(value)
            assert real.value == stored or (math.isnan(stored) and math.isnan(real.value))
            assert repr(real) == f"PropertyValueReal({_shortest_binary32(stored)})", value

    @pytest.mark.parametrize("seed", range(4))
    def test_double_matches_python_repr_expanded(self, seed):
        for value in _special_floats() + _random_binary64(500, seed):
            expected = _plain(Decimal(repr(value)))
            assert repr(ferromesh.PropertyValueDouble(value)) == f"PropertyValueDouble({expected})", value

    def test_oracle_sanity(self):
        assert _shortest_binary32(_binary32(0.1)) == "0.1"
        assert _shortest_binary32(_binary32(3.4028234663852886e38)) == "340282350000000000000000000000000000000"
        assert _shortest_binary32(_binary32(1e-45)) == "0." + "0" * 44 + "1"


# ReadPropertyMultiple-ACK for device 1234: a schedule's effective period
# (Date, Date) and a calendar-like pattern, then Time values, all with
# unspecified fields or special months and days.
WILDCARD_RPM_ACK = bytes.fromhex(
    "0C020004D2" "1E"
    "2920" "4E" "A4FFFFFFFF" "A47C0D20FF" "4F"    # every date; odd months, last day, 2024
    "2921" "4E" "A4FF0E21FF" "A4FFFF2205" "4F"    # even months, odd days; even days, Friday
    "2922" "4E" "B4FFFFFFFF" "B4FF1EFF00" "4F"    # any time; half past any hour
    "1F"
)


class TestUnspecifiedFields:
    def test_a_whole_answer_decodes_and_fields_read_none_or_their_number(self):
        [obj] = ferromesh.decode_read_property_multiple(WILDCARD_RPM_ACK).objects
        fields = [
            [(v.year, v.month, v.day, v.weekday) if hasattr(v, "year") else (v.hour, v.minute, v.second, v.hundredths)
             for v in prop.value.values]
            for prop in obj.properties
        ]
        assert fields == [
            [(None, None, None, None), (2024, 13, 32, None)],
            [(None, 14, 33, None), (None, None, 34, 4)],
            [(None, None, None, None), (None, 30, None, 0)],
        ]

    def test_values_are_written_back_octet_for_octet(self):
        [obj] = ferromesh.decode_read_property_multiple(WILDCARD_RPM_ACK).objects
        stack = ferromesh.Stack()
        dest = ferromesh.BacnetAddr("10.0.0.1", 47808)
        for prop, wire in zip(obj.properties, ["A4FFFFFFFFA47C0D20FF", "A4FF0E21FFA4FFFF2205", "B4FFFFFFFFB4FF1EFF00"]):
            for value, octets in zip(prop.value.values, (wire[:10], wire[10:])):
                [sent, _] = stack.process(
                    ferromesh.InputSend(ferromesh.ServiceWriteProperty(obj.object_id, 85, value), dest))
                assert bytes(sent.data)[-6:-1].hex().upper() == octets


def test_object_identifiers_compare_and_hash_by_their_numbers():
    class Point(ferromesh.ObjectIdentifier):
        pass

    a, b = ferromesh.ObjectIdentifier(8, 1234), Point(enums.ObjectType.DEVICE, 1234)
    assert a == b and not (a != b) and hash(a) == hash(b) and {a: "device"}[b] == "device"
    others = [ferromesh.ObjectIdentifier(t, i) for t, i in ((8, 1235), (9, 1234), (1234, 8), (0, 0))]
    assert len({a, *others}) == 5 and all(a != o for o in [*others, (8, 1234), 8, None])
    with pytest.raises(TypeError):
        a < b  # noqa: B015


@pytest.mark.parametrize(
    "used_bits, bits, booleans",
    [
        (0, b"", []),
        (4, b"\xa0", [True, False, True, False]),  # status flags: in-alarm and overridden
        (0, b"\x80\x01", [True] + [False] * 14 + [True]),
        (7, b"\xff\x80", [True] * 9),
        (8, b"\xff", []),  # more unused bits than bits: none left
        (3, b"", []),
    ],
)
def test_bit_string_bits(used_bits, bits, booleans):
    value = ferromesh.PropertyValueBitString(used_bits, bits)
    assert value.to_bools() == booleans and value.bit_count == len(booleans)
    with pytest.raises(AttributeError):
        value.bit_count = 1


class TestArray:
    def test_values_are_new_lists_of_the_same_objects(self):
        array = ferromesh.decode_read_property(RP_ACK_TWO_VALUES).value
        first, second = array.values, array.values
        assert first is not second
        assert all(a is b for a, b in zip(first, second))
        assert [type(v).__name__ for v in first] == ["PropertyValueUnsigned"] * 2
        assert [v.value for v in first] == [1, 2]

    def test_empty_array(self):
        array = ferromesh.decode_read_property(bytes.fromhex("0C020004D219553E3F")).value
        assert array.values == [] and repr(array) == "PropertyValueArray([0 item(s)])"
