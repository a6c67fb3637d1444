"""Module object, __all__, exceptions, class conventions and enumeration conversions."""

import subprocess
import sys
import textwrap
import weakref

import pytest

import ferromesh
import ferromesh._enums as enums
from peer import one_of_each_stack_class
from support import RP_ACK, RPM_ACK, RR_ACK, WPM_ERROR, assert_no_pending_error, one_of_each

FINAL_ORDER = [
    "BacnetError", "BacnetTimeoutError", "InvokeIdExhaustedError",
    "ObjectIdentifier", "BacnetAddr", "StackConfig",
    "Stack", "InputReceived", "InputTick", "InputSend",
    "ReadAccessSpec", "ServiceReadProperty", "ServiceReadPropertyMultiple", "ServiceWriteProperty",
    "OutputTransmit", "OutputEvent", "OutputDeadline",
    "EventResponse", "EventTimeout", "EventAbort", "EventError", "EventUnconfirmedReceived",
    "UnconfirmedIAm", "UnconfirmedIAmRouterToNetwork",
    "PropertyValueNull", "PropertyValueBoolean", "PropertyValueUnsigned", "PropertyValueSigned",
    "PropertyValueReal", "PropertyValueDouble", "PropertyValueOctetString", "PropertyValueCharacterString",
    "PropertyValueBitString", "PropertyValueEnumerated", "PropertyValueDate", "PropertyValueTime",
    "PropertyValueAny", "PropertyValueArray",
    "BacnetPropertyError", "PropertyResult", "ObjectResult", "ReadPropertyResult", "ReadPropertyMultipleResult",
    "decode_read_property", "decode_read_property_multiple",
    "InputSendUnconfirmed", "ServiceWhoIs", "InputCancel",
    "PropertyValueContext", "PropertyValueConstructed",
    "PropertyWrite", "WriteAccessSpec", "ServiceWritePropertyMultiple",
    "ReadRangeByPosition", "ReadRangeBySequenceNumber", "ReadRangeByTime", "ServiceReadRange",
    "ReadRangeResult", "WritePropertyMultipleError",
    "decode_read_range", "decode_write_property_multiple_error",
    "ServiceWhoIsRouterToNetwork", "InputRegisterForeignDevice", "InputUnregisterForeignDevice", "EventBvlcResult",
    "UnconfirmedRejectMessageToNetwork", "UnconfirmedRouterBusyToNetwork", "UnconfirmedRouterAvailableToNetwork",
]
NOT_YET_REGISTERED: set[str] = set()

# class name -> (__text_signature__, __doc__)
CLASS_DOCS = {
    "ObjectIdentifier": ("(object_type, instance)", "BACnet ObjectIdentifier (type, instance)."),
    "BacnetAddr": ("(addr, port, network=None, mac=None)", "IPv4 BACnet address (addr, port)."),
    "StackConfig": (
        "(apdu_timeout_secs=3.0, apdu_retries=3, max_apdu_length=1476, max_segment_buffer=2097152)",
        "StackConfig \u2014 tuneable protocol parameters.",
    ),
    "Stack": (
        "(config=None)",
        "The sans-IO BACnet/IP stack.\n\nUsage:\n\n```python\nstack = Stack()\n"
        "outputs = stack.process(InputTick(now=0.0))\n```",
    ),
    "InputReceived": ("(data, src)", "Input: a UDP datagram was received."),
    "InputTick": ("(now)", "Input: timer tick \u2014 inject current time (seconds since arbitrary epoch)."),
    "InputSend": ("(service, dest)", "Input: send a confirmed service request."),
    "OutputTransmit": (None, "Output: transmit bytes to a destination."),
    "OutputEvent": (None, "Output: a BACnet event occurred."),
    "OutputDeadline": (None, "Output: call Tick no later than this time."),
    "EventResponse": (None, "Event: confirmed response received."),
    "EventTimeout": (None, "Event: request timed out."),
    "EventAbort": (None, "Event: server sent Abort PDU."),
    "EventError": (None, "Event: BACnet error or local error."),
    "EventUnconfirmedReceived": (None, "Event: unconfirmed message received."),
    "UnconfirmedIAm": (None, "Unconfirmed I-Am message."),
    "UnconfirmedIAmRouterToNetwork": (None, "Unconfirmed IAmRouterToNetwork message."),
    "ReadAccessSpec": ("(object_id, properties)", "ReadAccessSpec for ReadPropertyMultiple."),
    "ServiceReadProperty": ("(object_id, property_id, array_index=None)", "Service: ReadProperty request."),
    "ServiceReadPropertyMultiple": ("(specs)", "Service: ReadPropertyMultiple request."),
    "ServiceWriteProperty": (
        "(object_id, property_id, value, array_index=None, priority=None)",
        "Service: WriteProperty request.",
    ),
    "PropertyValueNull": ("()", None),
    "PropertyValueBoolean": ("(value)", None),
    "PropertyValueUnsigned": ("(value)", None),
    "PropertyValueSigned": ("(value)", None),
    "PropertyValueReal": ("(value)", None),
    "PropertyValueDouble": ("(value)", None),
    "PropertyValueOctetString": ("(value)", None),
    "PropertyValueCharacterString": ("(value, charset=0)", None),
    "PropertyValueBitString": (
        "(used_bits, bits)",
        "A BACnet bit string: `bits` holds the octets, bit 0 being the most significant bit of the\n"
        "first octet; `used_bits` is the number of unused bits at the end of the last octet (0..7),\n"
        "not the number of bits. A request whose `used_bits` is above 7 is refused when sent.",
    ),
    "PropertyValueEnumerated": ("(value)", None),
    "PropertyValueDate": ("(year, month, day, weekday=None)", None),
    "PropertyValueTime": ("(hour, minute, second, hundredths)", None),
    "PropertyValueAny": ("(data)", None),
    "PropertyValueArray": (None, "Multiple decoded values from a ReadProperty array/list response."),
    "BacnetPropertyError": ("(error_class, error_code)", None),
    "InputSendUnconfirmed": (
        "(service, dest)",
        "Input: send an unconfirmed service request, as a broadcast when dest is one\n(an address ending in .255).",
    ),
    "InputCancel": (
        "(peer, invoke_id)",
        "Input: take back the request sent to peer under invoke_id. It ends without\n"
        "an event and its invoke ID is free again; nothing more is sent for it but an\n"
        "Abort to a device in the middle of its segments. An unknown request: nothing.",
    ),
    "ServiceWhoIs": (
        "(low=None, high=None)",
        "Service: Who-Is request, answered with I-Am by the devices whose instance\n"
        "is in low..high (both limits or neither; 0 <= low <= high <= 4194303).",
    ),
    "ServiceWhoIsRouterToNetwork": (
        "(network=None)",
        "Service: Who-Is-Router-To-Network, answered with I-Am-Router-To-Network by the\n"
        "routers that reach network (None: by every router, with all it reaches).",
    ),
    "InputRegisterForeignDevice": (
        "(bbmd, ttl)",
        "Input: register with the BBMD at bbmd as a foreign device for ttl seconds\n"
        "(1..65535) and keep the registration alive; broadcasts then go through it.",
    ),
    "InputUnregisterForeignDevice": (
        "()", "Input: end the foreign-device registration; broadcasts go out locally again.",
    ),
    "EventBvlcResult": (
        None,
        "Event: BVLC-Result received, result 0 for success or the code of a NAK\n"
        "(0x30: foreign-device registration refused, 0x60: broadcast not distributed).",
    ),
    "UnconfirmedRejectMessageToNetwork": (
        None,
        "Unconfirmed Reject-Message-To-Network message: a router could not pass a message\n"
        "on to network (reason 1: unreachable, 2: busy, ...).",
    ),
    "UnconfirmedRouterBusyToNetwork": (
        None,
        "Unconfirmed Router-Busy-To-Network message: the router takes no traffic for these\n"
        "networks for now (an empty list: for any).",
    ),
    "UnconfirmedRouterAvailableToNetwork": (
        None,
        "Unconfirmed Router-Available-To-Network message: the router takes traffic for these\n"
        "networks again (an empty list: for all).",
    ),
    "PropertyResult": (None, "Result for a single property within ReadPropertyMultiple."),
    "ObjectResult": (None, "Result for one object in a ReadPropertyMultiple response."),
    "ReadPropertyResult": (None, "Decoded result of a ReadProperty response."),
    "ReadPropertyMultipleResult": (None, "Decoded result of a ReadPropertyMultiple response."),
    "PropertyValueContext": (
        "(tag, data)",
        "Context-tagged primitive data inside a constructed value: its tag number and content octets, whose\n"
        "meaning depends on the property.",
    ),
    "PropertyValueConstructed": (
        "(tag, values)",
        "Constructed data between an opening and a closing tag: its tag number and its elements in order.",
    ),
    "PropertyWrite": ("(property_id, value, array_index=None, priority=None)", "One property write of a WriteAccessSpec."),
    "WriteAccessSpec": ("(object_id, properties)", "WriteAccessSpec for WritePropertyMultiple."),
    "ServiceWritePropertyMultiple": ("(specs)", "Service: WritePropertyMultiple request."),
    "ReadRangeByPosition": (
        "(reference_index, count)",
        "ReadRange: `count` items from list position `reference_index` (1 = first) on; backwards when negative.",
    ),
    "ReadRangeBySequenceNumber": (
        "(reference_sequence_number, count)",
        "ReadRange: `count` items from the one with sequence number `reference_sequence_number` on; backwards\n"
        "when negative.",
    ),
    "ReadRangeByTime": (
        "(date, time, count)",
        "ReadRange: `count` items time-stamped after `date` `time`; when negative, before it.",
    ),
    "ServiceReadRange": (
        "(object_id, property_id, array_index=None, range=None)",
        "Service: ReadRange request; without a range the whole list.",
    ),
    "ReadRangeResult": (
        None,
        "Decoded result of a ReadRange response. `items` holds the elements of the item data in order; the\n"
        "items of a list of constructed records lie back to back, so one record may span several elements.",
    ),
    "WritePropertyMultipleError": (
        None,
        "Decoded Error of a WritePropertyMultiple request: the error class and code and the first write that\n"
        "failed (object, property, array index); the writes before it took effect.",
    ),
}
WITHOUT_CONSTRUCTOR = [name for name, (signature, _) in CLASS_DOCS.items() if signature is None]
READ_ONLY = {"PropertyValueArray", "BacnetPropertyError", "ServiceWhoIs", *WITHOUT_CONSTRUCTOR}


def _run_python(code):
    """Runs `code` in a fresh interpreter that imports the same installed package; its stdout."""
    # -P: the current directory (possibly the source tree) stays off sys.path.
    done = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def _every_instance():
    return {**one_of_each(), **one_of_each_stack_class()}


def _attributes(cls):
    return [name for name, attr in vars(cls).items() if type(attr).__name__ == "getset_descriptor"]


class TestModule:
    def test_all_in_registration_order(self):
        assert ferromesh.__all__ == [name for name in FINAL_ORDER if name not in NOT_YET_REGISTERED]
        assert ferromesh.__all__ is ferromesh.ferromesh.__all__

    def test_every_name_is_exported_by_the_package(self):
        for name in ferromesh.__all__:
            assert getattr(ferromesh, name) is getattr(ferromesh.ferromesh, name)

    def test_docstring(self):
        assert ferromesh.ferromesh.__doc__ == "Python extension module entry point."

    def test_reimport_returns_the_same_module_without_registering_again(self):
        code = textwrap.dedent(
            """
            import sys
            import ferromesh
            first = ferromesh.ferromesh
            first_all = list(first.__all__)
            for name in ("ferromesh", "ferromesh.ferromesh"):
                del sys.modules[name]
            import ferromesh
            assert ferromesh.ferromesh is first
            assert ferromesh.ferromesh.__all__ == first_all
            assert ferromesh.ObjectIdentifier is first.ObjectIdentifier
            print("ok")
            """
        )
        assert _run_python(code) == "ok"

    def test_second_interpreter_gets_import_error(self):
        code = textwrap.dedent(
            """
            import os
            import ferromesh
            try:
                import _interpreters as interpreters
                make = lambda: interpreters.create("legacy")
            except ImportError:
                import _xxsubinterpreters as interpreters
                make = lambda: interpreters.create(isolated=False)
            read_end, write_end = os.pipe()
            interp = make()
            interpreters.run_string(interp, f'''
            import os
            try:
                import ferromesh
                outcome = "imported"
            except ImportError as error:
                outcome = "ImportError: " + str(error)
            os.write({write_end}, outcome.encode())
            ''')
            interpreters.destroy(interp)
            print(os.read(read_end, 1000).decode())
            """
        )
        out = _run_python(code)
        assert out.startswith("ImportError: ") and "one interpreter" in out


class TestExceptions:
    @pytest.mark.parametrize(
        "name, base, doc",
        [
            ("BacnetError", Exception, "BACnet protocol error."),
            ("BacnetTimeoutError", ferromesh.BacnetError, "No response received within the retry budget."),
            ("InvokeIdExhaustedError", ferromesh.BacnetError, "All 256 invoke IDs are in use for this destination."),
        ],
    )
    def test_base_name_and_doc(self, name, base, doc):
        cls = getattr(ferromesh, name)
        assert cls.__bases__ == (base,)
        assert f"{cls.__module__}.{cls.__qualname__}" == f"ferromesh.{name}"
        assert cls.__doc__ == doc
        with pytest.raises(ferromesh.BacnetError):
            raise cls("message")


class TestClassConventions:
    @pytest.mark.parametrize("name", CLASS_DOCS)
    def test_module_signature_and_doc(self, name):
        cls = getattr(ferromesh, name)
        signature, doc = CLASS_DOCS[name]
        assert cls.__module__ == "ferromesh"
        assert cls.__qualname__ == name
        assert cls.__text_signature__ == signature
        assert cls.__doc__ == doc

    def test_attribute_docstrings(self):
        documented = {
            ("PropertyValueDate", "weekday"): "weekday 0=Mon..6=Sun, 7=Mon-Fri, None=wildcard",
            ("ReadPropertyResult", "value"): "A PropertyValue* instance.",
            ("PropertyResult", "value"): "Either a PropertyValue* instance or a BacnetPropertyError.",
            ("PropertyValueBitString", "used_bits"): "Unused bits at the end of the last octet of `bits` (0..7).",
            ("PropertyValueBitString", "bit_count"): "Number of bits in the string: 8 * len(bits) - used_bits.",
            ("OutputTransmit", "invoke_id"):
                "Invoke ID of the request this datagram carries; None for other datagrams (SegmentACKs).",
            ("EventError", "kind"):
                '"error" (a BACnet Error), "reject" (a Reject), "network" (a router\'s Reject-Message-To-Network) or '
                '"local" (the request was not sent).',
            ("EventError", "error_class"): "ErrorClass of a BACnet Error, else None.",
            ("EventError", "error_code"): "ErrorCode of a BACnet Error, else None.",
            ("EventError", "reject_reason"): "Reason of a Reject or of a router's Reject-Message-To-Network, else None.",
            ("BacnetAddr", "network"): "Network number of a device behind the router at addr:port (1..65534), 65535 "
                                       "for\nevery network, None for our own network.",
            ("BacnetAddr", "mac"): "MAC address (1..7 octets) of a device on that network; None for all of its devices.",
        }
        for name in CLASS_DOCS:
            cls = getattr(ferromesh, name)
            for attribute in _attributes(cls):
                assert getattr(cls, attribute).__doc__ == documented.pop((name, attribute), None), (name, attribute)
        assert documented == {}

    @pytest.mark.parametrize("name", WITHOUT_CONSTRUCTOR)
    def test_classes_without_constructor_refuse_calls(self, name):
        with pytest.raises(TypeError):
            getattr(ferromesh, name)()

    def test_every_class_has_an_instance_here(self):
        assert sorted(_every_instance()) == sorted(CLASS_DOCS)

    @pytest.mark.parametrize("name, instance", _every_instance().items())
    def test_no_dict_no_weakref_identity_semantics(self, name, instance):
        assert type(instance).__name__ == name
        assert not hasattr(instance, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(instance)
        with pytest.raises(AttributeError):
            instance.not_an_attribute = 1
        cls = type(instance)
        if name != "ObjectIdentifier":  # compares by value, see test_values
            assert cls.__eq__ is object.__eq__ and cls.__hash__ is object.__hash__

    @pytest.mark.parametrize("name, instance", _every_instance().items())
    def test_deleting_any_attribute_raises(self, name, instance):
        for attribute in _attributes(type(instance)):
            before = getattr(instance, attribute)
            with pytest.raises(AttributeError):
                delattr(instance, attribute)
            assert getattr(instance, attribute) == before

    @pytest.mark.parametrize("name", sorted(READ_ONLY))
    def test_read_only_attributes_refuse_assignment(self, name):
        instance = _every_instance()[name]
        attributes = _attributes(type(instance))
        assert attributes
        for attribute in attributes:
            with pytest.raises(AttributeError):
                setattr(instance, attribute, getattr(instance, attribute))

    @pytest.mark.parametrize("name", [n for n in CLASS_DOCS if n not in WITHOUT_CONSTRUCTOR])
    def test_classes_with_constructor_can_be_subclassed(self, name):
        cls = getattr(ferromesh, name)
        subclass = type("Sub" + name, (cls,), {})
        assert issubclass(subclass, cls)


class TestFunctions:
    @pytest.mark.parametrize(
        "function, doc",
        [
            (ferromesh.decode_read_property, "Decode a ReadProperty ComplexACK payload into a ReadPropertyResult."),
            (
                ferromesh.decode_read_property_multiple,
                "Decode a ReadPropertyMultiple ComplexACK payload into a ReadPropertyMultipleResult.",
            ),
            (ferromesh.decode_read_range, "Decode a ReadRange ComplexACK payload into a ReadRangeResult."),
            (
                ferromesh.decode_write_property_multiple_error,
                "Decode the payload of the EventError that answers a WritePropertyMultiple request into a\n"
                "WritePropertyMultipleError.",
            ),
        ],
    )
    def test_signature_and_doc(self, function, doc):
        assert function.__text_signature__ == "(data)"
        assert function.__doc__ == doc
        assert function.__module__ == "ferromesh"

    @pytest.mark.parametrize(
        "function, payload",
        [
            (ferromesh.decode_read_property, RP_ACK),
            (ferromesh.decode_read_property_multiple, RPM_ACK),
            (ferromesh.decode_read_range, RR_ACK),
            (ferromesh.decode_write_property_multiple_error, WPM_ERROR),
        ],
    )
    def test_data_positional_or_keyword(self, function, payload):
        assert repr(function(payload)) == repr(function(data=payload))
        with pytest.raises(TypeError):
            function(payload, payload)
        with pytest.raises(TypeError):
            function(payload=payload)


class TestEnumerationConversions:
    def test_members_when_enums_present(self):
        assert ferromesh.ObjectIdentifier(8, 1).object_type is enums.ObjectType.DEVICE
        error = ferromesh.BacnetPropertyError(2, 32)
        assert error.error_class is enums.ErrorClass.PROPERTY
        assert error.error_code is enums.ErrorCode.UNKNOWN_PROPERTY
        assert ferromesh.decode_read_property(RP_ACK).property_id is enums.PropertyIdentifier.PRESENT_VALUE

    def test_plain_ints_when_enums_missing(self, without_enums):
        value = ferromesh.ObjectIdentifier(8, 1).object_type
        assert_no_pending_error()
        assert type(value) is int and value == 8
        error = ferromesh.BacnetPropertyError(2, 32)
        assert_no_pending_error()
        assert (type(error.error_class), type(error.error_code)) == (int, int)
        assert (error.error_class, error.error_code) == (2, 32)
        result = ferromesh.decode_read_property(RP_ACK)
        assert_no_pending_error()
        assert type(result.property_id) is int and result.property_id == 85

    @pytest.mark.parametrize(
        "make",
        [
            lambda: ferromesh.ObjectIdentifier(1000, 1).object_type,
            lambda: ferromesh.BacnetPropertyError(4_000_000_000, 1).error_class,
            lambda: ferromesh.BacnetPropertyError(1, 4_000_000_000).error_code,
            lambda: ferromesh.decode_read_property(bytes.fromhex("0C020004D21C7FFFFFFF3E003F")).property_id,
        ],
    )
    def test_number_without_member_is_a_plain_int(self, make):
        value = make()
        assert_no_pending_error()
        assert type(value) is int

    def test_class_that_raises_is_swallowed(self, monkeypatch):
        def refuse(number):
            raise RuntimeError("no")

        monkeypatch.setattr(enums, "ObjectType", refuse)
        value = ferromesh.ObjectIdentifier(8, 1).object_type
        assert_no_pending_error()
        assert type(value) is int and value == 8

    def test_lookup_runs_on_every_call_and_result_is_passed_through(self, monkeypatch):
        oid = ferromesh.ObjectIdentifier(8, 1)
        monkeypatch.setattr(enums, "ObjectType", lambda number: ("custom", number))
        assert oid.object_type == ("custom", 8)
        monkeypatch.undo()
        assert oid.object_type is enums.ObjectType.DEVICE
