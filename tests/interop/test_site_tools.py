"""scan, trend and poll from the command line against bacpypes3 test peers."""

from __future__ import annotations

import csv
import json
import os
import pty
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from ferromesh import cli
from peers import DeviceSpec, start_device
from peers.catalogue import BASE_OBJECTS, site_points

# The EDE main file's columns, as the format's description gives them.
EDE_COLUMNS = ["keyname", "device obj.-instance", "object-name", "object-type", "object-instance", "description",
               "present-value-default", "min-present-value", "max-present-value", "settable", "supports COV",
               "hi-limit", "low-limit", "state-text-reference", "unit-code", "vendor-specific-address"]
EDE_HEADER = ["PROJECT_NAME", "VERSION_OF_REFERENCEFILE", "TIMESTAMP_OF_LAST_CHANGE", "AUTHOR_OF_LAST_CHANGE",
              "VERSION_OF_LAYOUT"]
FAST = ["--timeout", "0.5", "--retries", "1", "--wait", "2"]


def address(site) -> str:
    host, port = site.devices[0].address
    return f"{host}:{port}"


def run_cli(capsys, *argv: str) -> tuple[int, str, str]:
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def ede_rows(path: Path) -> list[list[str]]:
    with path.open(encoding="utf-8", newline="") as stream:
        return list(csv.reader(stream, delimiter=";"))


def check_ede(prefix: Path, project: str) -> list[dict[str, str]]:
    """Checks the file set against the format's layout; returns the main file's rows by column."""
    main = ede_rows(prefix.with_name(prefix.name + "_EDE.csv"))
    assert [row[0] for row in main[:5]] == EDE_HEADER and main[0][1] == project and main[4][1] == "2.2"
    marks, titles, rows = main[5], main[6], main[7:]
    assert titles[0] == "#keyname" and titles[1:] == EDE_COLUMNS[1:]
    assert marks[0].startswith("#") and len(marks) == len(EDE_COLUMNS)
    assert all(len(row) == len(EDE_COLUMNS) for row in rows)
    objects = [dict(zip(EDE_COLUMNS, row)) for row in rows]
    assert len({o["keyname"] for o in objects}) == len(objects)
    assert all(o[c] for o in objects for c in EDE_COLUMNS[:5])
    states = {row[0]: row[1:] for row in ede_rows(prefix.with_name(prefix.name + "_StateTexts.csv"))[1:]}
    units = {row[0]: row[1] for row in ede_rows(prefix.with_name(prefix.name + "_Units.csv"))[1:]}
    types = {row[0]: row[1] for row in ede_rows(prefix.with_name(prefix.name + "_ObjTypes.csv"))[1:]}
    for o in objects:
        assert o["object-type"] in types
        assert o["state-text-reference"] == "" or o["state-text-reference"] in states
        assert o["unit-code"] == "" or o["unit-code"] in units
    return objects


@pytest.mark.parametrize("segmentation", ["segmentedBoth", "noSegmentation"])
def test_scan_lists_every_object_as_json_csv_and_ede(peer_topology, capsys, tmp_path, segmentation):
    # 300 points: an object list too long for one unsegmented answer, read element by element.
    site = peer_topology(start_device, DeviceSpec(4101, points=300, segmentation=segmentation))
    code, out, err = run_cli(capsys, "scan", address(site), *FAST, "--json", "--csv", str(tmp_path / "points.csv"),
                             "--ede", str(tmp_path / "ede" / "site"), "--project", "Plant; 1")
    assert (code, err) == (0, "")
    scan = json.loads(out)
    assert scan["complete"] and scan["failures"] == []
    [device] = scan["devices"]
    assert (device["device"], device["name"], device["address"]) == (4101, "device-4101", address(site))
    objects = {o["object"]: o for o in device["objects"]}
    assert len(objects) == device["object_count"] == 300 + len(BASE_OBJECTS) + 2  # + device, network port
    for point in site_points(300):
        o = objects[f"{point.object_type}:{point.instance}"]
        assert (o["name"], o["description"], o["error"]) == (point.name, point.description, None)
        assert o["present_value"] == point.value
        assert o["units"] == {"degreesCelsius": "degrees-celsius", "percent": "percent", None: None}[point.units]
        assert o["status_flags"] == {"in-alarm": False, "fault": False, "overridden": False, "out-of-service": False}
    assert objects["multi-state-value:1"]["state_texts"] == ["off", "low", "high"]

    with (tmp_path / "points.csv").open(newline="") as stream:
        rows = list(csv.DictReader(stream))
    assert [r["object"] for r in rows] == list(objects)
    assert {r["address"] for r in rows} == {address(site)}

    ede = {o["object-name"]: o for o in check_ede(tmp_path / "ede" / "site", "Plant; 1")}
    assert len(ede) == len(objects)
    assert (ede["setpoint"]["present-value-default"], ede["setpoint"]["unit-code"]) == ("21.5", "62")
    assert ede["fan-speed"]["state-text-reference"] != ""


def test_scan_of_a_device_that_falls_silent_lists_what_it_read_and_what_it_did_not(peer_topology, capsys):
    site = peer_topology(start_device, DeviceSpec(4102, points=200, mute_after=4))
    code, out, _ = run_cli(capsys, "scan", address(site), *FAST, "--json")
    assert code == 1
    [device] = json.loads(out)["devices"]
    read = [o for o in device["objects"] if o["error"] is None]
    assert device["object_count"] == 206 and 0 < len(read) < 206
    assert device["error"].startswith("stopped answering")
    assert all(o["name"] for o in read)
    assert {o["error"] for o in device["objects"] if o["error"]} <= {
        "no answer", "not read: the device stopped answering"}


def scan_process(argv: list[str], **streams) -> subprocess.Popen[bytes]:
    return subprocess.Popen([sys.executable, "-P", "-m", "ferromesh", "scan", *argv], **streams)


def test_ctrl_c_writes_what_was_read_and_exits_130(peer_topology, tmp_path):
    # The device falls silent after the object list and two answers; the scan waits on its long timeout.
    site = peer_topology(start_device, DeviceSpec(4103, points=200, mute_after=3))
    process = scan_process([address(site), "--timeout", "30", "--json", "--csv", str(tmp_path / "p.csv")],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 30
    # Muted, the device counts no more requests: two answered ones, and the scan waits on the rest.
    while json.loads(site.command("stats 4103").removeprefix("ok ")).get("ReadPropertyMultipleRequest", 0) < 2:
        assert time.monotonic() < deadline
        time.sleep(0.1)
    time.sleep(0.5)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=30)
    assert process.returncode == 130, err
    scan = json.loads(out)
    assert not scan["complete"]
    assert 0 < scan["summary"]["objects_read"] < scan["summary"]["objects"] == 206
    assert len((tmp_path / "p.csv").read_text().splitlines()) == 207


def test_progress_shows_on_a_terminal_only(peer_topology):
    site = peer_topology(start_device, DeviceSpec(4104, points=400))
    parent, child = pty.openpty()
    process = scan_process([address(site), *FAST], stdout=subprocess.PIPE, stderr=child)
    os.close(child)
    shown = b""
    while True:
        try:
            chunk = os.read(parent, 4096)
        except OSError:  # the other end closed
            break
        if not chunk:
            break
        shown += chunk
    os.close(parent)
    out, _ = process.communicate(timeout=30)
    assert process.returncode == 0
    assert b"objects" in shown and b"406/406" in shown  # the final state of the bar
    assert out.decode().splitlines()[-1].startswith("1 devices, 406 of 406 objects read")
