"""Decode functions and result classes."""

import pytest

import ferromesh
import ferromesh._enums as enums
from capture_reader import CAPTURES, complex_acks
from support import RP_ACK, RP_ACK_TWO_VALUES, RPM_ACK

INVALID_CONTEXT_TAG = "Decode error: InvalidContextTag"
INCOMPLETE_DATA = "Decode error: IncompleteData"


class TestDecodeReadProperty:
    def test_single_real_value(self):
        result = ferromesh.decode_read_property(RP_ACK)
        assert (result.object_id.object_type, result.object_id.instance) == (8, 1234)
        assert result.property_id == 85 and result.array_index is None
        assert type(result.value) is ferromesh.PropertyValueReal and result.value.value == 72.5
        assert repr(result) == (
            "ReadPropertyResult(object_id=ObjectIdentifier(type=8, instance=1234), property_id=85, "
            "array_index=None, value=PropertyValueReal(72.5))"
        )

    def test_array_index_shown_as_some(self):
        result = ferromesh.decode_read_property(RP_ACK[:7] + b"\x29\x03" + RP_ACK[7:])
        assert result.array_index == 3
        assert ", array_index=Some(3), " in repr(result)

    @pytest.mark.parametrize("convert", [bytes, bytearray, list, tuple, memoryview])
    def test_accepts_any_octet_sequence(self, convert):
        assert ferromesh.decode_read_property(convert(RP_ACK)).value.value == 72.5

    @pytest.mark.parametrize(
        "data, error", [(RP_ACK.hex(), TypeError), (list(RP_ACK) + [256], OverflowError), ([1.0], TypeError)]
    )
    def test_bad_argument(self, data, error):
        with pytest.raises(error, match="data"):
            ferromesh.decode_read_property(data)

    @pytest.mark.parametrize("length", range(len(RP_ACK)))
    def test_every_strict_prefix_fails_cleanly(self, length):
        # Only the cut right after the property identifier misses an expected tag.
        expected = INVALID_CONTEXT_TAG if length == 7 else INCOMPLETE_DATA
        with pytest.raises(ferromesh.BacnetError) as caught:
            ferromesh.decode_read_property(RP_ACK[:length])
        assert caught.value.args == (expected,)
        assert type(caught.value) is ferromesh.BacnetError

    @pytest.mark.parametrize(
        "data, message",
        [
            (b"\x0d" + RP_ACK[1:], INVALID_CONTEXT_TAG),
            (RP_ACK[:8] + b"\xd0" + RP_ACK[13:], "Decode error: UnsupportedApplicationTag"),
            (RP_ACK[:8] + b"\xa4\x7c\x0f\x01\xff\x3f", "Decode error: InvalidDate"),  # month 15
            (RP_ACK[:8] + b"\xb4\x18\x00\x00\x00\x3f", "Decode error: InvalidTime"),  # hour 24
            (RP_ACK[:8] + b"\x43\x41\xb4\x00\x00\x3f", "Decode error: InvalidData"),  # a Real of 3 octets
            (RP_ACK[:8] + b"\xc5\x05\x00\x00\x00\x01\x00\x3f", "Decode error: InvalidData"),  # 5-octet object id
        ],
    )
    def test_failure_kinds(self, data, message):
        with pytest.raises(ferromesh.BacnetError, match=f"^{message}$"):
            ferromesh.decode_read_property(data)

    def test_each_call_builds_new_objects(self):
        first, second = ferromesh.decode_read_property(RP_ACK), ferromesh.decode_read_property(RP_ACK)
        assert first.object_id is not second.object_id and first.value is not second.value
        assert first.object_id is first.object_id and first.value is first.value

    def test_repr_follows_the_current_object_identifier(self):
        result = ferromesh.decode_read_property(RP_ACK)
        result.object_id.instance = 7
        assert repr(result).startswith("ReadPropertyResult(object_id=ObjectIdentifier(type=8, instance=7), ")

    def test_array_of_values(self):
        value = ferromesh.decode_read_property(RP_ACK_TWO_VALUES).value
        assert type(value) is ferromesh.PropertyValueArray
        assert [v.value for v in value.values] == [1, 2]


class TestDecodeReadPropertyMultiple:
    def test_value_and_access_error(self):
        result = ferromesh.decode_read_property_multiple(RPM_ACK)
        assert repr(result) == "ReadPropertyMultipleResult(objects=[1 object(s)])"
        (obj,) = result.objects
        assert repr(obj) == "ObjectResult(object_id=ObjectIdentifier(type=8, instance=1234), properties=[...])"
        first, second = obj.properties
        assert first.property_id == 75 and type(first.value) is ferromesh.ObjectIdentifier
        assert repr(first) == (
            "PropertyResult(property_id=75, array_index=None, value=ObjectIdentifier(type=8, instance=1234))"
        )
        assert second.property_id is enums.PropertyIdentifier.OBJECT_NAME
        assert type(second.value) is ferromesh.BacnetPropertyError
        assert repr(second.value) == "BacnetPropertyError(error_class=2, error_code=32)"
        assert second.value.error_class is enums.ErrorClass.PROPERTY
        assert second.value.error_code is enums.ErrorCode.UNKNOWN_PROPERTY

    def test_lists_are_new_but_hold_the_same_objects(self):
        result = ferromesh.decode_read_property_multiple(RPM_ACK)
        assert result.objects is not result.objects and result.objects[0] is result.objects[0]
        obj = result.objects[0]
        assert obj.properties is not obj.properties and obj.properties[1] is obj.properties[1]

    def test_empty_payload_is_an_empty_result(self):
        result = ferromesh.decode_read_property_multiple(b"")
        assert result.objects == []
        assert repr(result) == "ReadPropertyMultipleResult(objects=[0 object(s)])"

    def test_wrapped_layout(self):
        wrapped = bytes.fromhex("0C020004D21E2E09554E44429100004F2F1F")
        (obj,) = ferromesh.decode_read_property_multiple(wrapped).objects
        (prop,) = obj.properties
        assert prop.property_id == 85 and prop.value.value == 72.5
        with pytest.raises(ferromesh.BacnetError, match=f"^{INVALID_CONTEXT_TAG}$"):
            ferromesh.decode_read_property_multiple(wrapped[:-2] + wrapped[-1:])

    def test_two_objects_in_order(self):
        second = bytes.fromhex("0C00000001" "1E" "1F")
        result = ferromesh.decode_read_property_multiple(RPM_ACK + second)
        assert [o.object_id.instance for o in result.objects] == [1234, 1]
        assert result.objects[1].properties == []

    @pytest.mark.parametrize("length", range(1, len(RPM_ACK)))
    def test_every_strict_prefix_fails_cleanly(self, length):
        # The cuts that end where an opening or closing tag is expected.
        expected = INVALID_CONTEXT_TAG if length in (5, 8, 17, 22) else INCOMPLETE_DATA
        with pytest.raises(ferromesh.BacnetError) as caught:
            ferromesh.decode_read_property_multiple(RPM_ACK[:length])
        assert caught.value.args == (expected,)


class TestBacnetPropertyError:
    def test_constructor_and_repr_show_numbers(self):
        error = ferromesh.BacnetPropertyError(error_code=32, error_class=2)
        assert repr(error) == "BacnetPropertyError(error_class=2, error_code=32)"
        assert (error.error_class, error.error_code) == (2, 32)
        assert not isinstance(error, BaseException)

    @pytest.mark.parametrize(
        "args, error, name",
        [((2**32, 1), OverflowError, "error_class"), ((1, -1), OverflowError, "error_code"),
         (("2", 1), TypeError, "error_class"), ((1,), TypeError, "error_code")],
    )
    def test_refused_arguments(self, args, error, name):
        with pytest.raises(error, match=name):
            ferromesh.BacnetPropertyError(*args)

    def test_conversion_happens_once_at_construction(self, monkeypatch):
        member = enums.ErrorClass.PROPERTY
        error = ferromesh.BacnetPropertyError(2, 32)
        monkeypatch.setattr(enums, "ErrorClass", lambda number: "changed")
        assert error.error_class is member
        assert ferromesh.BacnetPropertyError(2, 32).error_class == "changed"


class TestReprRobustness:
    def test_failing_str_of_property_id_is_left_empty(self, monkeypatch):
        class Unprintable:
            def __str__(self):
                raise RuntimeError("no str")

            def __repr__(self):
                raise RuntimeError("no repr")

        monkeypatch.setattr(enums, "PropertyIdentifier", lambda number: Unprintable())
        monkeypatch.setattr(enums, "ErrorClass", lambda number: Unprintable())
        result = ferromesh.decode_read_property(RP_ACK)
        assert repr(result) == (
            "ReadPropertyResult(object_id=ObjectIdentifier(type=8, instance=1234), property_id=, "
            "array_index=None, value=PropertyValueReal(72.5))"
        )
        prop = ferromesh.decode_read_property_multiple(RPM_ACK).objects[0].properties[1]
        assert repr(prop) == "PropertyResult(property_id=, array_index=None, value=BacnetPropertyError(error_class=2, error_code=32))"


def _context_number(octets, tag):
    """The number after a context tag header of `tag` at the start of `octets`."""
    header = octets[0]
    assert header >> 4 == tag and header & 0x08, octets.hex()
    length = header & 0x07
    return int.from_bytes(octets[1 : 1 + length], "big"), octets[1 + length :]


@pytest.mark.skipif(not CAPTURES.is_dir(), reason="shared captures not present")
class TestRealCaptures:
    @pytest.mark.parametrize(
        "name", ["bacnet_example.pcap", "bacnet_services.pcap", "bacnet_segmented_data.pcap"]
    )
    def test_read_property_answers_match_their_requests(self, name):
        pairs = complex_acks(name, 12)
        assert pairs
        for request, payload in pairs:
            word, rest = int.from_bytes(request[1:5], "big"), request[5:]
            property_id, _ = _context_number(rest, 1)
            result = ferromesh.decode_read_property(payload)
            assert (result.object_id.object_type, result.object_id.instance) == (word >> 22, word & 0x3FFFFF)
            assert result.property_id == property_id
            assert repr(result).startswith("ReadPropertyResult(")

    def test_segmented_read_property_multiple_answer(self):
        ((request, payload),) = complex_acks("bacnet_services.pcap", 14)
        result = ferromesh.decode_read_property_multiple(payload)
        requested = []
        while request:
            assert request[0] == 0x0C and request[5] == 0x1E
            requested.append(int.from_bytes(request[1:5], "big"))
            request = request[6:]
            while request[0] != 0x1F:
                _, request = _context_number(request, 0)
                if request[0] & 0xF8 == 0x18 and request[0] & 0x07 < 5:  # array index, not closing tag 1
                    _, request = _context_number(request, 1)
            request = request[1:]
        answered = [(o.object_id.object_type << 22) | o.object_id.instance for o in result.objects]
        assert answered == requested
        assert all(len(o.properties) >= 1 for o in result.objects)
