"""scan, trend and poll from the command line against bacpypes3 test peers."""

from __future__ import annotations

import csv
import datetime
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
from peers import (BBMD_INSTANCE, ROUTER_INSTANCE, SITE_NETWORK, DeviceSpec, scan_site_specs, start_device,
                   start_flat_site, start_scan_site)
from peers.catalogue import BASE_OBJECTS, log_time, log_value, site_points

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


def read_png(path: Path):
    from matplotlib.image import imread

    return imread(path)


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


def everywhere(site) -> str:
    """Who-Is to every network, through the site's router."""
    host, port = site.router.address
    return f"{host}:{port}/65535"


@pytest.mark.parametrize("routed", [False, True], ids=["flat", "routed"])
def test_scan_finds_every_device_of_a_site_and_lists_one_that_falls_silent_halfway(peer_topology, capsys, routed):
    specs = {"devices": 4, "points": 120, "options": {5003: {"mute_after": 6}}}
    if routed:  # the router keeps answering for itself while 5003 behind it falls silent
        site = peer_topology(start_scan_site, **specs)
        target, per_device = everywhere(site), 120
    else:
        site = peer_topology(start_flat_site, scan_site_specs(**specs))
        target, per_device = site.broadcast, 121  # and each device's network port
    code, out, err = run_cli(capsys, "scan", target, "--timeout", "2", "--retries", "2", "--json")
    assert code == 1 and err == ""
    scan = json.loads(out)
    devices = {d["device"]: d for d in scan["devices"]}
    assert sorted(devices) == ([ROUTER_INSTANCE] if routed else []) + [5001, 5002, 5003, 5004]
    devices.pop(ROUTER_INSTANCE, None)
    for instance, device in devices.items():
        assert device["object_count"] == per_device
        assert (device["network"], device["mac"]) == ((SITE_NETWORK, site.device(instance).mac.hex()) if routed
                                                      else (None, None))
        read = [o for o in device["objects"] if o["error"] is None]
        assert all(o["name"] for o in read)
        if instance != 5003:
            assert device["error"] is None and len(read) == per_device
    silent = devices[5003]
    assert silent["error"].startswith("stopped answering") and 0 < sum(
        o["error"] is None for o in silent["objects"]) < per_device
    assert {o["error"] for o in silent["objects"] if o["error"]} <= {
        "no answer", "not read: the device stopped answering"}
    assert {f["device"] for f in scan["failures"]} == {5003}


def test_whole_site_behind_a_router_scanned_then_its_trend_log_and_points_read(scan_site, capsys, tmp_path):
    # 20 devices of 200 objects on one network behind the router; the router itself is left out.
    host, port = scan_site.router.address
    code, out, err = run_cli(capsys, "scan", f"{host}:{port}", "--network", str(SITE_NETWORK), "--json",
                             "--ede", str(tmp_path / "site"))
    assert (code, err) == (0, "")
    scan = json.loads(out)
    assert scan["summary"] == {"devices": 20, "objects": 4000, "objects_read": 4000, "failures": 0}
    for device, expected in zip(scan["devices"], scan_site.devices):
        assert device["address"] == f"{host}:{port}/{SITE_NETWORK}:{expected.mac.hex()}"
        assert (device["device"], device["name"], device["object_count"]) == (
            expected.instance, f"device-{expected.instance}", 200)
        assert all(o["error"] is None and o["name"] for o in device["objects"])
    assert len(check_ede(tmp_path / "site", "ferromesh scan")) == 4000

    # The trend log of 5001, by instance; points of two devices, one by address and one by instance.
    code, out, _ = run_cli(capsys, "trend", "device:5001", "trend-log:1", "--last", "3", "--discover",
                           everywhere(scan_site), "--json")
    assert code == 0 and json.loads(out)["address"] == scan["devices"][0]["address"]
    assert [r["value"] for r in json.loads(out)["records"]] == [log_value(n) for n in range(118, 121)]
    points = tmp_path / "points.csv"
    points.write_text(f"address,object\n{scan['devices'][1]['address']},analog-value:1\ndevice:5020,analog-input:1\n")
    code, out, _ = run_cli(capsys, "poll", str(points), "--count", "1", "--interval", "1", "--discover",
                           everywhere(scan_site))
    assert code == 0
    assert [(r["address"], r["value"]) for r in csv.DictReader(out.splitlines())] == [
        (scan["devices"][1]["address"], "21.5"), ("device:5020", "20.25")]


def test_scan_through_a_bbmd_as_a_foreign_device(bbmd_site, capsys):
    host, port = bbmd_site.bbmd.address
    code, out, err = run_cli(capsys, "scan", "--bbmd", f"{host}:{port}", "--wait", "2", "--json")
    assert (code, err) == (0, "")
    devices = {d["device"]: d for d in json.loads(out)["devices"]}
    assert sorted(devices) == [BBMD_INSTANCE, 3101, 3102]
    for device in bbmd_site.devices:
        assert devices[device.instance]["address"] == "%s:%d" % device.address
        assert devices[device.instance]["object_count"] == len(BASE_OBJECTS) + 2  # + device, network port


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


# -- trend ---------------------------------------------------------------------

TREND_ARGS = ["trend-log:1", "--timeout", "1", "--json"]


@pytest.fixture(scope="module", params=["segmentedBoth", "noSegmentation"])
def trend_device(request, bacpypes3_peers):
    # Without segmentation, pages of records shrink until an answer fits 480 octets.
    with start_device(DeviceSpec(4110, capabilities=("trend-log",), segmentation=request.param, max_apdu=480)) as site:
        yield address(site)


@pytest.mark.parametrize("window, numbers", [
    (["--last", "5"], range(116, 121)),
    (["--last", "500"], range(1, 121)),
    (["--since", "2024-03-15T08:10", "--until", "2024-03-15T08:40:00"], range(11, 42)),  # both ends included
    (["--since", "2024-03-15T09:58:30"], range(120, 121)),
    (["--since", "2024-03-16T00:00"], range(0)),
])
def test_trend_reads_the_records_of_a_window(trend_device, capsys, window, numbers):
    code, out, _ = run_cli(capsys, "trend", trend_device, *TREND_ARGS, *window)
    assert code == 0
    records = json.loads(out)["records"]
    assert [(r["timestamp"], r["kind"], r["value"]) for r in records] == [
        (log_time(n).isoformat(), "real-value", log_value(n)) for n in numbers]


def test_trend_csv_and_plot(trend_device, capsys, tmp_path):
    pytest.importorskip("matplotlib")  # not in the sanitizer run
    png, table = tmp_path / "trend.png", tmp_path / "trend.csv"
    code, out, _ = run_cli(capsys, "trend", trend_device, "trend-log:1", "--last", "120", "--plot", str(png),
                           "--csv", str(table))
    assert code == 0 and out.splitlines()[-1].startswith(log_time(120).isoformat())
    with table.open(newline="") as stream:
        rows = list(csv.DictReader(stream))
    assert [float(r["value"]) for r in rows] == [log_value(n) for n in range(1, 121)]
    assert {r["fault"] for r in rows} == {"false"}
    image = read_png(png)
    assert image.shape[:2] == (450, 1000)
    assert (image[..., :3] < 0.5).any(axis=-1).mean() > 0.01  # axes, labels and the line drawn, not a blank page


def test_trend_plot_without_matplotlib_says_how_to_install_it(trend_device, tmp_path):
    code = ("import sys; sys.modules['matplotlib'] = None; from ferromesh.cli import main;"
            f" sys.exit(main(['trend', '{trend_device}', 'trend-log:1', '--plot', '{tmp_path}/t.png']))")
    done = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 6
    assert "pip install 'ferromesh[plot]'" in done.stderr and not (tmp_path / "t.png").exists()


# -- poll ----------------------------------------------------------------------


def test_poll_writes_each_round_with_its_time_stamp_and_per_point_errors(peer_topology, tmp_path):
    site = peer_topology(start_device, DeviceSpec(4120, points=4))
    points = tmp_path / "points.csv"
    points.write_text("address,object,property\n"
                      f"{address(site)},analog-value:1,present-value\n"
                      f"{address(site)},analog-input:100,units\n"
                      f"{address(site)},analog-value:99,present-value\n")  # no such object
    process = subprocess.Popen([sys.executable, "-P", "-m", "ferromesh", "poll", str(points), "--interval", "1",
                                "--count", "3", "--json", "--timeout", "1"], stdout=subprocess.PIPE, text=True)
    assert process.stdout is not None
    rounds = [json.loads(process.stdout.readline())]
    site.command("set 4120 analog-value:1 present-value 30.5")
    rounds += [json.loads(line) for line in process.stdout]
    assert process.wait(timeout=30) == 0
    assert len(rounds) == 3
    stamps = [datetime.datetime.fromisoformat(r["timestamp"]) for r in rounds]
    assert all(0.5 < (b - a).total_seconds() < 1.5 for a, b in zip(stamps, stamps[1:]))
    values = [[p.get("value", p.get("error")) for p in r["points"]] for r in rounds]
    assert values[0][:2] == [21.5, "degrees-celsius"] and values[-1][:2] == [30.5, "degrees-celsius"]
    assert all("unknown-object" in v[2] for v in values)


def test_poll_reads_the_points_of_a_scan(peer_topology, capsys, tmp_path):
    site = peer_topology(start_device, DeviceSpec(4121, points=8))
    code, out, _ = run_cli(capsys, "scan", address(site), *FAST, "--json", "--csv", str(tmp_path / "scan.csv"))
    (tmp_path / "scan.json").write_text(out)
    for source in ("scan.json", "scan.csv"):
        code, out, _ = run_cli(capsys, "poll", str(tmp_path / source), "--interval", "0.2", "--count", "1")
        rows = list(csv.DictReader(out.splitlines()))
        assert code == 0
        # Every object with a present value: the base points and the site points, not the device or its port.
        assert [r["object"] for r in rows] == [*BASE_OBJECTS, *(f"{p.object_type}:{p.instance}" for p in site_points(8))]
        assert rows[0]["value"] == "21.5" and rows[2]["value"] == "inactive" and all(not r["error"] for r in rows)
