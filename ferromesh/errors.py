"""The exceptions a user of the client catches, each a ``BacnetError``.

``BacnetTimeoutError`` (no answer after the retries) and
``InvokeIdExhaustedError`` come from the extension module and are re-exported
here, so that every kind of failure can be imported from one place.
"""

from __future__ import annotations

from . import (
    BacnetError,
    BacnetTimeoutError,
    EventError,
    InvokeIdExhaustedError,
    ObjectIdentifier,
    WritePropertyMultipleError,
)
from ._enums import AbortReason, ErrorClass, ErrorCode, PropertyIdentifier, RejectReason
from .names import enum_member, enum_name, format_object_id, property_name

__all__ = [
    "ABORT_REASONS",
    "REJECT_REASONS",
    "BacnetAbortError",
    "BacnetError",
    "BacnetErrorResponse",
    "BacnetRejectError",
    "BacnetRouteError",
    "BacnetTimeoutError",
    "BacnetWriteMultipleError",
    "ClientClosedError",
    "InvokeIdExhaustedError",
    "error_from_event",
]

# The reasons' names by number, for callers that index them; RejectReason and
# AbortReason are the source.
REJECT_REASONS = tuple(enum_name(reason) for reason in RejectReason)
ABORT_REASONS = tuple(enum_name(reason) for reason in AbortReason)


def _reason_text(enum: type[AbortReason] | type[RejectReason], reason: int) -> str:
    """'buffer-overflow (1)'; 'reason 200' for a number the standard does not name."""
    member = enum_member(enum, reason)
    return f"{enum_name(member)} ({reason})" if isinstance(member, enum) else f"reason {reason}"


class BacnetErrorResponse(BacnetError):
    """The device answered with a BACnet Error PDU.

    ``error_class`` and ``error_code`` are ``ErrorClass`` / ``ErrorCode``
    members when the numbers are known, plain ints otherwise; both compare
    equal to the numbers on the wire. ``payload`` holds the Error's
    parameters, which some services extend with details of their own.
    """

    def __init__(self, error_class: int, error_code: int, payload: bytes = b"", *, detail: str = "") -> None:
        self.error_class = enum_member(ErrorClass, error_class)
        self.error_code = enum_member(ErrorCode, error_code)
        self.payload = payload
        super().__init__(
            f"device answered with error class {enum_name(self.error_class)} ({error_class}),"
            f" code {enum_name(self.error_code)} ({error_code}){detail}"
        )


class BacnetWriteMultipleError(BacnetErrorResponse):
    """A WritePropertyMultiple failed: the Error names the first write that failed.

    ``object_id``, ``property_id`` and ``array_index`` identify it; the
    writes before it took effect, the ones after it were not attempted.
    """

    def __init__(self, error: WritePropertyMultipleError, payload: bytes = b"") -> None:
        self.object_id: ObjectIdentifier = error.object_id
        self.property_id: PropertyIdentifier | int = error.property_id
        self.array_index: int | None = error.array_index
        index = "" if error.array_index is None else f"[{error.array_index}]"
        super().__init__(
            int(error.error_class), int(error.error_code), payload,
            detail=f"; first failed write: {format_object_id(error.object_id)} "
                   f"{property_name(error.property_id)}{index}")


class BacnetRejectError(BacnetError):
    """The device rejected the request (Reject PDU).

    ``reason`` is a ``RejectReason`` member when the number is known, the plain
    int otherwise.
    """

    def __init__(self, reason: int) -> None:
        self.reason = enum_member(RejectReason, reason)
        super().__init__(f"device rejected the request: {_reason_text(RejectReason, reason)}")


class BacnetAbortError(BacnetError):
    """The transaction was aborted (Abort PDU, or a segmented answer given up).

    ``reason`` is an ``AbortReason`` member when the number is known, the plain
    int otherwise.
    """

    def __init__(self, reason: int) -> None:
        self.reason = enum_member(AbortReason, reason)
        text = _reason_text(AbortReason, reason)
        if reason == AbortReason.SECURITY_ERROR:
            # The stack reports this reason too when it gives up reassembling a segmented answer.
            text += ", or a segmented answer given up"
        super().__init__(f"request aborted: {text}")


class BacnetRouteError(BacnetError):
    """A router could not pass the request on (Reject-Message-To-Network).

    ``network`` is the device's network; ``reason`` the router's: 1 the
    network is unreachable, 2 the router is busy, 3 unknown message type,
    4 message too long, 5 security error, 6 addressing error, 0 other.
    """

    def __init__(self, message: str, network: int, reason: int) -> None:
        self.network = network
        self.reason = reason
        super().__init__(message)


class ClientClosedError(BacnetError):
    """The client was closed before the request finished."""


def error_from_event(event: EventError) -> BacnetError:
    """The exception that an EventError about a request stands for."""
    if event.kind == "error" and event.error_class is not None and event.error_code is not None:
        return BacnetErrorResponse(int(event.error_class), int(event.error_code), bytes(event.payload))
    if event.kind == "reject" and event.reject_reason is not None:
        return BacnetRejectError(event.reject_reason)
    if event.kind == "network" and event.reject_reason is not None and event.peer.network is not None:
        return BacnetRouteError(event.message, event.peer.network, event.reject_reason)
    # A local refusal: too large to segment, or a value the wire cannot carry as given.
    return BacnetError(event.message)
