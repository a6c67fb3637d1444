"""The exceptions a user of the client catches, each a ``BacnetError``.

``BacnetTimeoutError`` (no answer after the retries) and
``InvokeIdExhaustedError`` come from the extension module and are re-exported
here, so that every kind of failure can be imported from one place.
"""

from __future__ import annotations

from . import BacnetError, BacnetTimeoutError, EventError, InvokeIdExhaustedError
from ._enums import ErrorClass, ErrorCode
from .names import enum_member, enum_name

__all__ = [
    "ABORT_REASONS",
    "REJECT_REASONS",
    "BacnetAbortError",
    "BacnetError",
    "BacnetErrorResponse",
    "BacnetRejectError",
    "BacnetTimeoutError",
    "ClientClosedError",
    "InvokeIdExhaustedError",
    "error_from_event",
]

REJECT_REASONS = (
    "other", "buffer-overflow", "inconsistent-parameters", "invalid-parameter-data-type",
    "invalid-tag", "missing-required-parameter", "parameter-out-of-range", "too-many-arguments",
    "undefined-enumeration", "unrecognized-service",
)
ABORT_REASONS = (
    "other", "buffer-overflow", "invalid-apdu-in-this-state", "preempted-by-higher-priority-task",
    "segmentation-not-supported",
    # The stack also reports 5 when it gives up reassembling a segmented answer.
    "security-error or abandoned segmented answer",
    "insufficient-security", "window-size-out-of-range", "application-exceeded-reply-time",
    "out-of-resources", "tsm-timeout", "apdu-too-long",
)


def _reason_text(reason: int, names: tuple[str, ...]) -> str:
    return f"{reason} ({names[reason]})" if reason < len(names) else str(reason)


class BacnetErrorResponse(BacnetError):
    """The device answered with a BACnet Error PDU.

    ``error_class`` and ``error_code`` are ``ErrorClass`` / ``ErrorCode``
    members when the numbers are known, plain ints otherwise; both compare
    equal to the numbers on the wire.
    """

    def __init__(self, error_class: int, error_code: int) -> None:
        self.error_class = enum_member(ErrorClass, error_class)
        self.error_code = enum_member(ErrorCode, error_code)
        super().__init__(
            f"device answered with error class {enum_name(self.error_class)} ({error_class}),"
            f" code {enum_name(self.error_code)} ({error_code})"
        )


class BacnetRejectError(BacnetError):
    """The device rejected the request (Reject PDU); ``reason`` is the reject reason."""

    def __init__(self, reason: int) -> None:
        self.reason = reason
        super().__init__(f"device rejected the request: reason {_reason_text(reason, REJECT_REASONS)}")


class BacnetAbortError(BacnetError):
    """The transaction was aborted (Abort PDU, or a segmented answer given up); ``reason`` is the abort reason."""

    def __init__(self, reason: int) -> None:
        self.reason = reason
        super().__init__(f"request aborted: reason {_reason_text(reason, ABORT_REASONS)}")


class ClientClosedError(BacnetError):
    """The client was closed before the request finished."""


def error_from_event(event: EventError) -> BacnetError:
    """The exception that an EventError about a request stands for."""
    if event.kind == "error" and event.error_class is not None and event.error_code is not None:
        return BacnetErrorResponse(int(event.error_class), int(event.error_code))
    if event.kind == "reject" and event.reject_reason is not None:
        return BacnetRejectError(event.reject_reason)
    # A local refusal: too large to segment, or a value the wire cannot carry as given.
    return BacnetError(event.message)
