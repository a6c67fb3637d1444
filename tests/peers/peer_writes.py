"""WritePropertyMultiple as a device serves it, on top of bacpypes3's encoders.

bacpypes3 0.0.110's own handler answers a write it cannot make with a Reject,
a plain Error or not at all, never with the WritePropertyMultiple-Error that
names the first failed write. Here the writes are made in order, each through
bacpypes3's object, and the first that fails ends the request with that Error
(the writes before it stay made).
"""

from __future__ import annotations

from typing import Any

from bacpypes3.apdu import SimpleAckPDU, WritePropertyMultipleError
from bacpypes3.basetypes import ErrorType, ObjectPropertyReference
from bacpypes3.errors import ExecutionError

# Properties no client may write, whatever bacpypes3's objects allow.
READ_ONLY = frozenset({"object-identifier", "object-type", "property-list", "status-flags", "event-state"})


class WritePropertyMultipleServices:
    async def do_WritePropertyMultipleRequest(self, apdu: Any) -> None:
        for spec in apdu.listOfWriteAccessSpecs:
            obj = self.get_object_id(spec.objectIdentifier)  # type: ignore[attr-defined]
            for write in spec.listOfProperties:
                failure = await self._write(obj, write)
                if failure is not None:
                    error_class, error_code = failure
                    await self.response(WritePropertyMultipleError(  # type: ignore[attr-defined]
                        context=apdu,
                        errorType=ErrorType(errorClass=error_class, errorCode=error_code),
                        firstFailedWriteAttempt=ObjectPropertyReference(
                            objectIdentifier=spec.objectIdentifier,
                            propertyIdentifier=write.propertyIdentifier,
                            propertyArrayIndex=write.propertyArrayIndex)))
                    return
        await self.response(SimpleAckPDU(context=apdu))  # type: ignore[attr-defined]

    @staticmethod
    async def _write(obj: Any, write: Any) -> tuple[str, str] | None:
        """None when written, else (error class, error code)."""
        if obj is None:
            return "object", "unknownObject"
        if str(write.propertyIdentifier) in READ_ONLY:
            return "property", "writeAccessDenied"
        datatype = obj.get_property_type(write.propertyIdentifier)
        if datatype is None:
            return "property", "unknownProperty"
        try:
            value = write.value.cast_out(datatype, null=write.priority is not None)
            await obj.write_property(write.propertyIdentifier, value, write.propertyArrayIndex, write.priority)
        except ExecutionError as refused:
            return str(refused.errorClass), str(refused.errorCode)
        except Exception:  # a value bacpypes3 cannot take as the property's type
            return "property", "invalidDataType"
        return None
