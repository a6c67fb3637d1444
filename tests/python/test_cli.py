"""python -m ferromesh: arguments, output and exit codes, against scripted devices."""

from __future__ import annotations

import json
import pathlib
import subprocess
import sys
import time

import pytest

import ferromesh
from ferromesh import cli
from test_client import ScriptedDevice, complex_ack, error_pdu, frame, i_am, invoke_id, read_ack, simple_ack
from test_routing import Router


def run_cli(capsys, *argv: str) -> tuple[int, str, str]:
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


REAL_72_5 = b"\x44\x42\x91\x00\x00"


@pytest.mark.parametrize("answer, argv, code, text", [
    (lambda rq: [read_ack(rq, REAL_72_5)], ["analog-value:1", "present-value"], 0,
     "analog-value:1 present-value = 72.5"),
    (lambda rq: [read_ack(rq, b"\xc4\x00\x80\x00\x01")], ["device:5", "object-list[1]"], 0,
     "device:5 object-list[1] = analog-value:1"),
    (lambda rq: [error_pdu(rq, 1, 31)], ["2:9", "85"], 3, "error: device answered with error class object (1)"),
    (lambda rq: [frame(bytes([0x60, invoke_id(rq), 9]))], ["2:1", "85"], 4,
     "error: device rejected the request: unrecognized-service (9)"),
    (lambda rq: [frame(bytes([0x71, invoke_id(rq), 4]))], ["2:1", "85"], 4,
     "error: request aborted: segmentation-not-supported (4)"),
    (lambda rq: [], ["2:1", "85", "--timeout", "0.05", "--retries", "0"], 5, "error: no answer from 127.0.0.1"),
])
def test_read_output_and_exit_code(capsys, answer, argv, code, text):
    with ScriptedDevice(answer) as device:
        got, out, err = run_cli(capsys, "read", device.address, *argv)
    assert got == code
    assert (out if code == 0 else err).startswith(text)


def test_read_json(capsys):
    with ScriptedDevice(lambda rq: [read_ack(rq, REAL_72_5)]) as device:
        code, out, _ = run_cli(capsys, "read", device.address, "analog-value:1", "priority-array[8]", "--json")
    assert code == 0
    assert json.loads(out) == {"address": device.address, "object": "analog-value:1",
                               "property": "priority-array", "array_index": 8, "value": 72.5}


@pytest.mark.parametrize("obj, prop, value, text, as_json", [
    # Enumerated values by the enumeration their property holds.
    ("analog-input:1", "units", b"\x91\x3e", "degrees-celsius", "degrees-celsius"),
    ("analog-input:1", "reliability", b"\x91\x07", "unreliable-other", "unreliable-other"),
    ("analog-value:1", "event-state", b"\x91\x02", "offnormal", "offnormal"),
    ("binary-value:3", "present-value", b"\x91\x01", "active", "active"),
    ("binary-output:3", "priority-array", b"\x00\x91\x00", "[null, inactive]", [None, "inactive"]),
    ("device:5", "segmentation-supported", b"\x91\x03", "no-segmentation", "no-segmentation"),
    ("device:5", "system-status", b"\x91\x00", "operational", "operational"),
    # A number the standard does not name, or a property without an enumeration, stays a number.
    ("analog-input:1", "units", b"\x92\x01\x2c", "300", 300),
    ("multi-state-value:1", "present-value", b"\x91\x02", "2", 2),
    # Names the lists used to miss resolve both ways.
    ("analog-value:1", "cov-increment", b"\x44\x3f\x00\x00\x00", "0.5", 0.5),
    ("device:5", "sc-hub-connector-state", b"\x91\x01", "1", 1),
])
def test_read_names_properties_and_enumerated_values(capsys, obj, prop, value, text, as_json):
    with ScriptedDevice(lambda rq: [read_ack(rq, value)]) as device:
        _, text_out, _ = run_cli(capsys, "read", device.address, obj, prop)
        code, json_out, _ = run_cli(capsys, "read", device.address, obj, prop, "--json")
    assert code == 0
    assert text_out == f"{obj} {prop} = {text}\n"
    got = json.loads(json_out)
    assert (got["property"], got["value"]) == (prop, as_json)


def test_error_json_names_class_and_code(capsys):
    with ScriptedDevice(lambda rq: [error_pdu(rq, 2, 32)]) as device:
        code, out, _ = run_cli(capsys, "read", device.address, "analog-value:1", "85", "--json")
    assert code == 3
    assert json.loads(out) == {"error": {"kind": "error", "class": "property", "code": "unknown-property"}}


def test_readm_reports_property_errors_with_exit_code_1(capsys):
    payload = bytes.fromhex("0c00800001 1e 294d 4e 7505007a6f6e65 4f 2955 5e 9102 9120 5f 1f")
    with ScriptedDevice(lambda rq: [complex_ack(rq, payload)]) as device:
        code, out, _ = run_cli(capsys, "readm", device.address, "analog-value:1", "object-name,present-value")
    assert device.received[0][9:] == bytes.fromhex("0e 0c00800001 1e 094d 0955 1f")
    assert code == 1
    assert out.splitlines() == ["analog-value:1 object-name = zone",
                                "analog-value:1 present-value = error: property/unknown-property"]


def test_write_sends_the_typed_value_at_a_priority(capsys):
    with ScriptedDevice(lambda rq: [simple_ack(rq)]) as device:
        code, out, _ = run_cli(capsys, "write", device.address, "binary-value:3", "present-value", "active",
                               "--priority", "8")
    assert code == 0 and out.startswith("ok: binary-value:3 present-value <- active at priority 8")
    assert device.received[0][10:] == bytes.fromhex("0c01400003 1955 3e 9101 3f 4908")


def test_whois_lists_devices_and_exits_5_without_answers(capsys):
    with ScriptedDevice(lambda rq: [i_am(1234)]) as device:
        code, out, _ = run_cli(capsys, "whois", device.address, "--wait", "0.5", "--json")
    assert code == 0
    assert json.loads(out) == [{"device": 1234, "address": device.address, "network": None, "mac": None,
                                "vendor_id": 15, "max_apdu": 1476, "segmentation": "no-segmentation"}]
    with ScriptedDevice(lambda rq: []) as device:
        code, out, _ = run_cli(capsys, "whois", device.address, "--wait", "0.1")
    assert (code, out) == (5, "no device answered\n")


@pytest.mark.parametrize("argv", [
    ["read", "127.0.0.1", "analog-value"],                 # missing property
    ["read", "127.0.0.1", "no-such-type:1", "85"],
    ["read", "300.0.0.1", "analog-value:1", "85"],
    ["read", "127.0.0.1", "analog-value:1", "present-valu"],
    ["readm", "127.0.0.1", "analog-value:1"],               # odd pair
    ["write", "127.0.0.1", "analog-value:1", "85", "x", "--type", "real"],
    ["write", "127.0.0.1", "analog-value:1", "85", "1", "--priority", "17"],
])
def test_bad_command_lines_exit_2(capsys, argv):
    with pytest.raises(SystemExit) as caught:
        cli.main(argv)
    assert caught.value.code == 2


def test_help_shows_examples_and_exit_codes():
    shown = subprocess.run([sys.executable, "-P", "-m", "ferromesh", "--help"], capture_output=True, text=True,
                           check=True).stdout
    assert "python -m ferromesh read 192.168.1.20 analog-value:1 present-value" in shown
    for code in ("0", "1", "2", "3", "4", "5", "6", "130"):
        assert f"\n  {code} " in shown


@pytest.mark.parametrize("text, kind, cls, value", [
    ("72.5", None, ferromesh.PropertyValueReal, 72.5),
    ("3", None, ferromesh.PropertyValueUnsigned, 3),
    ("-3", None, ferromesh.PropertyValueSigned, -3),
    ("true", None, ferromesh.PropertyValueBoolean, True),
    ("inactive", None, ferromesh.PropertyValueEnumerated, 0),
    ("hello world", None, ferromesh.PropertyValueCharacterString, "hello world"),
    ("3", "enumerated", ferromesh.PropertyValueEnumerated, 3),
    ("3", "real", ferromesh.PropertyValueReal, 3.0),
    ("0.1", "double", ferromesh.PropertyValueDouble, 0.1),
    ("0a0b", "octets", ferromesh.PropertyValueOctetString, [10, 11]),
    ("72.5", "string", ferromesh.PropertyValueCharacterString, "72.5"),
])
def test_parse_write_value(text, kind, cls, value):
    parsed = cli.parse_write_value(text, kind)
    assert type(parsed) is cls and parsed.value == value


def test_parse_write_value_null():
    assert type(cli.parse_write_value("null", None)) is ferromesh.PropertyValueNull


@pytest.mark.parametrize("value, text, as_json", [
    (ferromesh.PropertyValueReal(0.1), "0.1", 0.1),
    (ferromesh.PropertyValueReal(20.0), "20", 20.0),
    (ferromesh.PropertyValueReal(-1.5e-7), "-0.00000015", -1.5e-7),
    (ferromesh.PropertyValueDouble(1e16), "10000000000000000", 1e16),
    (ferromesh.PropertyValueReal(float("nan")), "nan", "nan"),
    (ferromesh.PropertyValueDouble(0.1), "0.1", 0.1),
    (ferromesh.PropertyValueBoolean(False), "false", False),
    (ferromesh.PropertyValueNull(), "null", None),
    (ferromesh.PropertyValueBitString(4, b"\xa0"), "1010", "1010"),
    (ferromesh.PropertyValueOctetString(b"\x01\xff"), "0x01ff", "0x01ff"),
    (ferromesh.PropertyValueDate(2024, 3, 5), "2024-03-05", "2024-03-05"),
    (ferromesh.PropertyValueTime(7, 5, 0, 9), "07:05:00.09", "07:05:00.09"),
    (ferromesh.PropertyValueDate(None, 13, 32), "*-13-32", "*-13-32"),
    (ferromesh.PropertyValueTime(None, 30, None, None), "*:30:*.*", "*:30:*.*"),
    (ferromesh.ObjectIdentifier(2, 1), "analog-value:1", "analog-value:1"),
    (ferromesh.ObjectIdentifier(130, 5), "130:5", "130:5"),
    (ferromesh.BacnetPropertyError(2, 32), "error: property/unknown-property",
     {"error": {"class": "property", "code": "unknown-property"}}),
])
def test_value_text_and_json(value, text, as_json):
    assert cli.value_text(value) == text
    assert cli.value_json(value) == as_json


def test_arrays_render_each_element():
    result = ferromesh.decode_read_property(bytes.fromhex("0c00800001 194c 3e 2101 c400800001 3f"))
    assert cli.value_text(result.value) == "[1, analog-value:1]"
    assert cli.value_json(result.value) == [1, "analog-value:1"]


def test_demo_without_the_simulated_device_says_how_to_install_it(capsys, monkeypatch):
    real_find_spec = cli.importlib.util.find_spec
    monkeypatch.setattr(cli.importlib.util, "find_spec",
                        lambda name, *a: None if name == "bacpypes3" else real_find_spec(name, *a))
    code, _, err = run_cli(capsys, "demo")
    assert code == 6 and "pip install 'ferromesh[demo]'" in err


# Each bad argument, in the command line and (where it has the argument) in the
# example: the text the one-line complaint must contain.
EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "read_property.py"
BAD_ARGUMENTS = [
    # what,                 command line,                                          example,                               says
    ("bind port", ["read", "127.0.0.1", "2:1", "85", "--bind", "127.0.0.1:99999"], None, "127.0.0.1:99999"),
    ("bind text", ["read", "127.0.0.1", "2:1", "85", "--bind", "nonsense"], None, "nonsense"),
    ("low alone", ["whois", "127.0.0.1", "--low", "5"], None, "--high"),
    ("low above high", ["whois", "--low", "5", "--high", "1"], None, "--low 5 is above --high 1"),
    ("instance limit", ["whois", "--low", "0", "--high", "4194304"], None, "4194304"),
    ("wait nan", ["whois", "--wait", "nan"], None, "'nan'"),
    ("timeout nan", ["read", "127.0.0.1", "2:1", "85", "--timeout", "nan"],
     ["127.0.0.1", "2:1", "85", "--apdu-timeout", "nan"], "'nan'"),
    ("timeout negative", ["read", "127.0.0.1", "2:1", "85", "--timeout", "-1"],
     ["127.0.0.1", "2:1", "85", "--apdu-timeout", "-1"], "'-1'"),
    ("instance", ["read", "127.0.0.1", "analog-input:99999999999", "85"],
     ["127.0.0.1", "analog-input:99999999999", "85"], "99999999999"),
    ("object type", ["read", "127.0.0.1", "99999:1", "85"], ["127.0.0.1", "99999:1", "85"], "99999"),
    ("readm object type", ["readm", "127.0.0.1", "99999:1", "85"], None, "99999"),
    ("device port", ["read", "127.0.0.1:99999", "2:1", "85"], ["127.0.0.1:99999", "2:1", "85"], "99999"),
    ("retries", ["read", "127.0.0.1", "2:1", "85", "--retries", "300"],
     ["127.0.0.1", "2:1", "85", "--retries", "300"], "300"),
]


@pytest.mark.parametrize("program, argv, says", [
    pytest.param(program, argv, says, id=f"{program}-{what}")
    for what, cli_argv, example_argv, says in BAD_ARGUMENTS
    for program, argv in (("cli", cli_argv), ("example", example_argv)) if argv is not None
])
def test_bad_arguments_say_what_is_wrong_in_one_line_and_exit_2(capsys, program, argv, says):
    if program == "cli":
        with pytest.raises(SystemExit) as caught:
            cli.main(argv)
        code, (out, err) = caught.value.code, capsys.readouterr()
    else:
        done = subprocess.run([sys.executable, str(EXAMPLE), *argv], capture_output=True, text=True, timeout=60)
        code, out, err = done.returncode, done.stdout, done.stderr
    assert (code, out) == (2, "")
    assert err.count("\n") == 1 and "error: " in err and says in err


def test_whois_to_one_device_returns_at_its_answer(capsys):
    with ScriptedDevice(lambda rq: [i_am(1234)]) as device:
        started = time.monotonic()
        code, out, _ = run_cli(capsys, "whois", device.address, "--wait", "600")
    # Waiting out --wait would take ten minutes.
    assert code == 0 and "1234" in out and time.monotonic() - started < 60


def test_whois_names_routed_devices_and_commands_take_an_instance(capsys):
    router = Router({b"\x11": 2001})
    with ScriptedDevice(router) as device:
        everywhere = f"{device.address}/65535"
        code, out, _ = run_cli(capsys, "whois", everywhere, "--wait", "0.3")
        assert code == 0
        assert [line.split() for line in out.splitlines()[2:]] == [
            ["2001", f"{device.address}/5:11", "5", "11", "7", "480", "no-segmentation"]]
        code, out, _ = run_cli(capsys, "read", "device:2001", "device:1", "object-name", "--discover", everywhere,
                               "--json")
        assert code == 0 and json.loads(out)["address"] == f"{device.address}/5:11"
        code, out, _ = run_cli(capsys, "whois", "2001", "--discover", everywhere, "--wait", "30", "--json")
        assert code == 0 and [row["device"] for row in json.loads(out)] == [2001]
