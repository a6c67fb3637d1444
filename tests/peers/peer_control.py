"""The control channel of a peer process: one command per stdin line.

Every command names the device it acts on by instance number and answers one
line (``ok ...`` or ``error ...``, written by the caller). See README.md for
the list.
"""

from __future__ import annotations

import asyncio
import json
import shlex
from typing import Any

from bacpypes3.apdu import (
    AbortPDU,
    AtomicReadFileRequest,
    ErrorPDU,
    ErrorRejectAbortNack,
    ReadPropertyRequest,
    ReinitializeDeviceRequest,
    RejectPDU,
    SimpleAckPDU,
)
from bacpypes3.basetypes import (
    AtomicReadFileRequestAccessMethodChoice,
    AtomicReadFileRequestAccessMethodChoiceStreamAccess,
)
from bacpypes3.pdu import Address
from bacpypes3.primitivedata import Enumerated, ObjectIdentifier

import peer_objects
from peer_services import attribute_name


def _object_id(text: str) -> ObjectIdentifier:
    object_type, _, instance = text.rpartition(":")
    return ObjectIdentifier((object_type, int(instance)))


def _plain(value: Any) -> Any:
    """A bacpypes3 value as JSON-able data, for ``get``."""
    if isinstance(value, Enumerated):
        return str(value)
    if isinstance(value, (bool, int, float, str)) or value is None:
        return value
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return str(value)


def _value(text: str) -> Any:
    """A JSON value (numbers, true/false, null), else the text itself
    (enumerations such as ``active``)."""
    try:
        return json.loads(text)
    except ValueError:
        return text


async def _request(app: Any, address: str, service: str) -> str:
    """Sends a confirmed request the client is not expected to serve and
    reports how it was answered."""
    if service == "read-property":
        apdu = ReadPropertyRequest(objectIdentifier=("device", 4194303), propertyIdentifier="objectName")
    elif service == "reinitialize-device":
        apdu = ReinitializeDeviceRequest(reinitializedStateOfDevice="warmstart")
    elif service == "atomic-read-file":
        apdu = AtomicReadFileRequest(
            fileIdentifier=("file", 1),
            accessMethod=AtomicReadFileRequestAccessMethodChoice(
                streamAccess=AtomicReadFileRequestAccessMethodChoiceStreamAccess(
                    fileStartPosition=0, requestedOctetCount=64)))
    else:
        raise ValueError(f"unknown service {service!r}")
    apdu.pduDestination = Address(address)
    try:
        answer = await asyncio.wait_for(app.request(apdu), 15)
    except asyncio.TimeoutError:
        return "timeout"
    except ErrorRejectAbortNack as exc:  # how bacpypes3 hands over an Error, Reject or Abort
        return _describe(exc)
    return _describe(answer)


def _describe(answer: Any) -> str:
    if isinstance(answer, RejectPDU):
        return f"reject {answer.apduAbortRejectReason}"
    if isinstance(answer, AbortPDU):
        return f"abort {answer.apduAbortRejectReason}"
    if isinstance(answer, ErrorPDU):
        return f"error {getattr(answer, 'errorClass', '?')} {getattr(answer, 'errorCode', '?')}"
    if isinstance(answer, SimpleAckPDU):
        return "ack"
    return f"other {type(answer).__name__}"


async def run(peers: Any, text: str) -> str:
    words = shlex.split(text)
    command, args = words[0], words[1:]
    if command == "devices":
        return json.dumps(sorted(peers.apps))
    app = peers.apps[int(args[0])]
    if command == "set":
        # set DEVICE OBJECT PROPERTY JSON-VALUE
        obj = app.get_object_id(_object_id(args[1]))
        setattr(obj, attribute_name(args[2]), _value(args[3]))
        return ""
    if command == "get":
        obj = app.get_object_id(_object_id(args[1]))
        return json.dumps(_plain(getattr(obj, attribute_name(args[2]))))
    if command == "mute":
        app.muted = True
        return ""
    if command == "unmute":
        app.muted, app.answers_left = False, None
        return ""
    if command == "mute-after":
        app.muted, app.answers_left = False, int(args[1])
        return ""
    if command == "iam":
        app.i_am()
        return ""
    if command == "stats":
        return json.dumps(app.stats)
    if command == "writes":
        # writes DEVICE [OBJECT PROPERTY]: the writes that took effect, oldest first
        log = [(f"{obj.objectIdentifier[0]}:{obj.objectIdentifier[1]}", prop, _plain(value), invoke_id)
               for obj, prop, value, invoke_id in app.write_log]
        if len(args) == 3:
            log = [entry for entry in log if entry[:2] == (args[1], args[2])]
        return json.dumps([{"object": o, "property": p, "value": v, "invoke_id": i} for o, p, v, i in log])
    if command == "request":
        # request DEVICE ADDRESS [SERVICE]
        return await _request(app, args[1], args[2] if len(args) > 2 else "reinitialize-device")
    if command == "recipient":
        # recipient DEVICE ADDRESS PROCESS-ID confirmed|unconfirmed
        nc = app.get_object_id(_object_id("notification-class:1"))
        nc.recipientList = [peer_objects.recipient(Address(args[1]), int(args[2]), args[3] == "confirmed")]
        return ""
    if command == "trend-append":
        return str(app.trend_append(float(args[1])))
    if command == "subscriptions":
        return json.dumps(app.cov_subscriptions())
    raise ValueError(f"unknown command {command!r}")
