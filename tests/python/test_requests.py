"""The service request classes."""

import collections

import pytest

import ferromesh
import ferromesh._enums as enums

OID = ferromesh.ObjectIdentifier(8, 1234)
PropertyRef = collections.namedtuple("PropertyRef", "property_id array_index")


class TestServiceReadProperty:
    def test_fields_and_defaults(self):
        request = ferromesh.ServiceReadProperty(OID, enums.PropertyIdentifier.PRESENT_VALUE)
        assert request.object_id is OID
        assert request.property_id == 85 and type(request.property_id) is int
        assert request.array_index is None
        request.array_index = 2**32 - 1
        assert request.array_index == 2**32 - 1

    def test_object_id_is_shared_not_copied(self):
        oid = ferromesh.ObjectIdentifier(0, 1)
        request = ferromesh.ServiceReadProperty(oid, 85)
        oid.instance = 99
        assert request.object_id.instance == 99

    @pytest.mark.parametrize(
        "kwargs, error, name",
        [
            (dict(object_id=(8, 1234), property_id=85), TypeError, "object_id"),
            (dict(object_id=OID, property_id=2**32), OverflowError, "property_id"),
            (dict(object_id=OID, property_id=-1), OverflowError, "property_id"),
            (dict(object_id=OID, property_id=85, array_index=2**32), OverflowError, "array_index"),
            (dict(object_id=OID, property_id=85, array_index="1"), TypeError, "array_index"),
        ],
    )
    def test_refused_arguments(self, kwargs, error, name):
        with pytest.raises(error, match=name):
            ferromesh.ServiceReadProperty(**kwargs)

    def test_subclass_of_object_identifier_accepted(self):
        class Oid(ferromesh.ObjectIdentifier):
            pass

        oid = Oid(8, 1)
        assert ferromesh.ServiceReadProperty(oid, 85).object_id is oid


class TestServiceWriteProperty:
    def test_value_is_stored_unexamined(self):
        value = "not a property value"
        request = ferromesh.ServiceWriteProperty(OID, 85, value)
        assert request.value is value
        assert request.array_index is None and request.priority is None

    @pytest.mark.parametrize("priority", [None, 0, 1, 16, 200, 255])
    def test_priority_is_not_range_checked_within_a_byte(self, priority):
        assert ferromesh.ServiceWriteProperty(OID, 85, None, priority=priority).priority == priority

    @pytest.mark.parametrize("priority", [256, -1])
    def test_priority_outside_a_byte(self, priority):
        request = ferromesh.ServiceWriteProperty(OID, 85, None, None, 8)
        with pytest.raises(OverflowError, match="priority"):
            ferromesh.ServiceWriteProperty(OID, 85, None, None, priority)
        with pytest.raises(OverflowError, match="priority"):
            request.priority = priority
        assert request.priority == 8

    def test_all_attributes_writable(self):
        request = ferromesh.ServiceWriteProperty(OID, 85, None)
        other = ferromesh.ObjectIdentifier(2, 2)
        real = ferromesh.PropertyValueReal(1.0)
        request.object_id, request.property_id, request.value = other, 87, real
        request.array_index, request.priority = 3, 16
        assert (request.object_id, request.property_id, request.value) == (other, 87, real)
        assert (request.array_index, request.priority) == (3, 16)

    def test_reference_cycle_through_value_is_collected(self):
        import gc
        import weakref

        class Holder:
            pass

        holder = Holder()
        holder.request = ferromesh.ServiceWriteProperty(OID, 85, holder)
        alive = weakref.ref(holder)
        del holder
        gc.collect()
        assert alive() is None


class TestReadAccessSpec:
    def test_properties_read_back_as_new_list_of_tuples(self):
        access_spec = ferromesh.ReadAccessSpec(OID, [(85, None), (87, 3)])
        first, second = access_spec.properties, access_spec.properties
        assert first == [(85, None), (87, 3)]
        assert first is not second and type(first[0]) is tuple

    @pytest.mark.parametrize(
        "properties",
        [((85, None),), [PropertyRef(85, None)], [(enums.PropertyIdentifier.PRESENT_VALUE, None)]],
    )
    def test_any_sequence_of_pairs_stored_as_numbers(self, properties):
        read_back = ferromesh.ReadAccessSpec(OID, properties).properties
        assert read_back == [(85, None)]
        assert type(read_back[0]) is tuple and type(read_back[0][0]) is int

    def test_empty_properties(self):
        assert ferromesh.ReadAccessSpec(OID, []).properties == []

    @pytest.mark.parametrize(
        "properties, error",
        [
            ([[85, None]], TypeError),
            ("85", TypeError),
            (85, TypeError),
            ({(85, None)}, TypeError),
            ([(85,)], ValueError),
            ([(85, None, 1)], ValueError),
            ([(85.0, None)], TypeError),
            ([(2**32, None)], OverflowError),
            ([(85, -1)], OverflowError),
            ([(85, "1")], TypeError),
        ],
    )
    def test_refused_properties_keep_previous_state(self, properties, error):
        access_spec = ferromesh.ReadAccessSpec(OID, [(77, None)])
        with pytest.raises(error, match="properties"):
            ferromesh.ReadAccessSpec(OID, properties)
        with pytest.raises(error, match="properties"):
            access_spec.properties = properties
        assert access_spec.properties == [(77, None)]


class TestServiceReadPropertyMultiple:
    def test_specs_are_new_lists_of_the_same_objects(self):
        spec_a = ferromesh.ReadAccessSpec(OID, [(85, None)])
        spec_b = ferromesh.ReadAccessSpec(ferromesh.ObjectIdentifier(0, 1), [])
        request = ferromesh.ServiceReadPropertyMultiple((spec_a, spec_b))
        first, second = request.specs, request.specs
        assert first is not second
        assert first[0] is spec_a and first[1] is spec_b and second[0] is spec_a
        spec_a.properties = [(77, None)]
        assert request.specs[0].properties == [(77, None)]

    def test_empty_specs(self):
        assert ferromesh.ServiceReadPropertyMultiple([]).specs == []

    @pytest.mark.parametrize("specs", ["abc", [OID], [None], 5])
    def test_refused_specs(self, specs):
        request = ferromesh.ServiceReadPropertyMultiple([])
        with pytest.raises(TypeError, match="specs"):
            ferromesh.ServiceReadPropertyMultiple(specs)
        with pytest.raises(TypeError, match="specs"):
            request.specs = specs
        assert request.specs == []
