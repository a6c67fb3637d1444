"""The Python enums agree with the C++ name lists in src/codec/*.def."""

import importlib.util
import pathlib
import re

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
_spec = importlib.util.spec_from_file_location("ferromesh_enums_under_test", REPO / "ferromesh" / "_enums.py")
enums = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(enums)

_LINE = re.compile(r'^(FM_\w+)\((\d+), (\w+), "([a-z0-9-]+)"\)$')


def _parse(filename, macro):
    rows = []
    for line in (REPO / "src" / "codec" / filename).read_text().splitlines():
        if not line.strip() or line.startswith("//"):
            continue
        m = _LINE.match(line)
        assert m and m.group(1) == macro, f"malformed line in {filename}: {line!r}"
        rows.append((int(m.group(2)), m.group(3), m.group(4)))
    return rows


OBJECT_TYPES = _parse("object_types.def", "FM_OBJECT_TYPE")
PROPERTIES = _parse("property_identifiers.def", "FM_PROPERTY_IDENTIFIER")


def _object_type_in_def_range(n):
    return n <= 19 or 40 <= n <= 46 or 1001 <= n <= 1026


# (rows from the .def, Python enum, expected count, predicate for numbers the .def covers)
LISTS = {
    "object_types": (OBJECT_TYPES, enums.ObjectType, 53, _object_type_in_def_range),
    "property_identifiers": (PROPERTIES, enums.PropertyIdentifier, 354, lambda n: n <= 387),
}


@pytest.mark.parametrize("which", LISTS)
def test_def_file_shape(which):
    rows, _, count, _ = LISTS[which]
    numbers = [n for n, _, _ in rows]
    identifiers = [ident for _, ident, _ in rows]
    assert len(rows) == count
    assert numbers == sorted(set(numbers)), "numbers must be strictly ascending"
    assert len(set(identifiers)) == len(identifiers)
    assert "Other" not in identifiers
    # CppIdentifier is the PascalCase of the standard name.
    for _, ident, text in rows:
        assert ident == "".join(part.capitalize() for part in text.split("-")), text


@pytest.mark.parametrize("which", LISTS)
def test_def_and_python_agree(which):
    rows, enum, _, covered = LISTS[which]
    by_number = {n: text for n, _, text in rows}
    for n, text in by_number.items():
        assert n in enum._value2member_map_, f"{enum.__name__} has no member {n} ({text})"
        assert enum(n).name == text.upper().replace("-", "_")
    uncovered = sorted(m.value for m in enum if covered(m.value) and m.value not in by_number)
    assert uncovered == [], f"{enum.__name__} members missing from the .def: {uncovered}"


def test_property_identifier_gaps_are_exact():
    unlisted = {18, *range(22, 28), 51, 95, 194, *range(198, 202), 216, 217, *range(223, 227),
                *range(237, 244), *range(312, 317), 324, 325}
    assert {n for n, _, _ in PROPERTIES} == set(range(388)) - unlisted
    assert all(m.value not in unlisted for m in enums.PropertyIdentifier)


@pytest.mark.parametrize("enum", [enums.ObjectType, enums.PropertyIdentifier, enums.ErrorClass, enums.ErrorCode])
def test_no_aliases(enum):
    assert len(list(enum)) == len(enum.__members__)


@pytest.mark.parametrize(
    "member, value",
    [
        (enums.ObjectType.DEVICE, 8),
        (enums.ObjectType.CHARACTERSTRING_VALUE, 40),
        (enums.ObjectType.PROPRIETARY_1001, 1001),
        (enums.PropertyIdentifier.OBJECT_NAME, 77),
        (enums.PropertyIdentifier.PRESENT_VALUE, 85),
        (enums.PropertyIdentifier.PROPERTY_LIST, 371),
        (enums.ErrorClass.PROPERTY, 2),
        (enums.ErrorClass.COMMUNICATION, 7),
        (enums.ErrorCode.UNKNOWN_OBJECT, 31),
        (enums.ErrorCode.UNKNOWN_PROPERTY, 32),
        (enums.ErrorCode.WRITE_ACCESS_DENIED, 40),
        (enums.ErrorCode.INVALID_ARRAY_INDEX, 42),
    ],
)
def test_anchor_values(member, value):
    assert member == value
