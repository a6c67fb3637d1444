"""Vectors and helpers shared by the tests of the extension module."""

import ctypes

import ferromesh

# ReadProperty-ACK: device 1234, present-value (85), Real 72.5.
RP_ACK = bytes([0x0C, 0x02, 0x00, 0x04, 0xD2, 0x19, 0x55, 0x3E, 0x44, 0x42, 0x91, 0x00, 0x00, 0x3F])
# ReadPropertyMultiple-ACK: device 1234; property 75 -> ObjectIdentifier(8, 1234),
# property 77 -> access error class 2, code 32.
RPM_ACK = bytes(
    [0x0C, 0x02, 0x00, 0x04, 0xD2, 0x1E, 0x29, 0x4B, 0x4E, 0xC4, 0x02, 0x00, 0x04, 0xD2, 0x4F,
     0x29, 0x4D, 0x5E, 0x91, 0x02, 0x91, 0x20, 0x5F, 0x1F]
)
# ReadProperty-ACK whose value brackets hold Unsigned 1 and Unsigned 2.
RP_ACK_TWO_VALUES = bytes([0x0C, 0x02, 0x00, 0x04, 0xD2, 0x19, 0x55, 0x3E, 0x21, 0x01, 0x21, 0x02, 0x3F])
# ReadRange-ACK: trend-log 1, log-buffer, first and last item, one record
# (2024-03-15 12:00 -> Real 21.0, status flags all clear), first sequence number 7.
RR_ACK = bytes.fromhex(
    "0C0500000119833A05C049015E"
    "0EA47C030F05B40C0000000F1E2C41A800001F2A0400"
    "5F6907"
)
# The Error parameters of a WritePropertyMultiple: class property (2), code
# write-access-denied (40), first failed write analog-value 1 present-value.
WPM_ERROR = bytes.fromhex("0E910291280F1E0C00800001195529041F")

_pending_error = ctypes.pythonapi.PyErr_Occurred
_pending_error.restype = ctypes.c_void_p


def assert_no_pending_error():
    # A ctypes call into the C API re-raises an error left set by earlier C
    # code; a clean state returns NULL.
    assert _pending_error() is None


def one_of_each():
    """One instance of every class of the module, keyed by class name."""
    oid = ferromesh.ObjectIdentifier(8, 1234)
    access_spec = ferromesh.ReadAccessSpec(oid, [(85, None)])
    rpm = ferromesh.decode_read_property_multiple(RPM_ACK)
    return {
        "ObjectIdentifier": oid,
        "ReadAccessSpec": access_spec,
        "ServiceReadProperty": ferromesh.ServiceReadProperty(oid, 85),
        "ServiceReadPropertyMultiple": ferromesh.ServiceReadPropertyMultiple([access_spec]),
        "ServiceWriteProperty": ferromesh.ServiceWriteProperty(oid, 85, ferromesh.PropertyValueReal(1.0)),
        "ServiceWhoIs": ferromesh.ServiceWhoIs(1, 2),
        "PropertyValueNull": ferromesh.PropertyValueNull(),
        "PropertyValueBoolean": ferromesh.PropertyValueBoolean(True),
        "PropertyValueUnsigned": ferromesh.PropertyValueUnsigned(1),
        "PropertyValueSigned": ferromesh.PropertyValueSigned(-1),
        "PropertyValueReal": ferromesh.PropertyValueReal(1.5),
        "PropertyValueDouble": ferromesh.PropertyValueDouble(1.5),
        "PropertyValueOctetString": ferromesh.PropertyValueOctetString(b"\x01"),
        "PropertyValueCharacterString": ferromesh.PropertyValueCharacterString("x"),
        "PropertyValueBitString": ferromesh.PropertyValueBitString(3, b"\xa0"),
        "PropertyValueEnumerated": ferromesh.PropertyValueEnumerated(2),
        "PropertyValueDate": ferromesh.PropertyValueDate(2024, 3, 5),
        "PropertyValueTime": ferromesh.PropertyValueTime(7, 5, 0, 9),
        "PropertyValueAny": ferromesh.PropertyValueAny(b"\x21\x01"),
        "PropertyValueArray": ferromesh.decode_read_property(RP_ACK_TWO_VALUES).value,
        "BacnetPropertyError": ferromesh.BacnetPropertyError(2, 32),
        "PropertyResult": rpm.objects[0].properties[0],
        "ObjectResult": rpm.objects[0],
        "ReadPropertyResult": ferromesh.decode_read_property(RP_ACK),
        "ReadPropertyMultipleResult": rpm,
        "PropertyValueContext": ferromesh.PropertyValueContext(1, b"\x05"),
        "PropertyValueConstructed": ferromesh.PropertyValueConstructed(0, [ferromesh.PropertyValueNull()]),
        "PropertyWrite": ferromesh.PropertyWrite(85, ferromesh.PropertyValueReal(1.0)),
        "WriteAccessSpec": ferromesh.WriteAccessSpec(oid, [ferromesh.PropertyWrite(85, ferromesh.PropertyValueNull())]),
        "ServiceWritePropertyMultiple": ferromesh.ServiceWritePropertyMultiple([]),
        "ReadRangeByPosition": ferromesh.ReadRangeByPosition(1, 10),
        "ReadRangeBySequenceNumber": ferromesh.ReadRangeBySequenceNumber(1, 10),
        "ReadRangeByTime": ferromesh.ReadRangeByTime(
            ferromesh.PropertyValueDate(2024, 3, 5), ferromesh.PropertyValueTime(7, 5, 0, 9), 10),
        "ServiceReadRange": ferromesh.ServiceReadRange(oid, 131),
        "ReadRangeResult": ferromesh.decode_read_range(RR_ACK),
        "WritePropertyMultipleError": ferromesh.decode_write_property_multiple_error(WPM_ERROR),
    }
