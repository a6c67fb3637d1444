"""The demo and the command line against the simulated device, as a user runs them."""

import json
import subprocess
import sys

from ferromesh.demo_device import DEVICE_INSTANCE, DEVICE_NAME, POINTS


def ferromesh_cli(*argv):
    return subprocess.run([sys.executable, "-P", "-m", "ferromesh", *argv], capture_output=True, text=True, timeout=120)


def test_demo_discovers_reads_everything_and_writes_the_setpoint(peer_installed):
    done = ferromesh_cli("demo", "--json", "--setpoint", "19.75", "--priority", "9")
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert report["device"]["device"] == DEVICE_INSTANCE
    assert report["object_count"] == len(POINTS) + 2 == len(report["objects"])
    rows = {row["object"]: row for row in report["objects"]}
    assert rows[f"device:{DEVICE_INSTANCE}"]["name"] == DEVICE_NAME
    for point in POINTS[:: 17]:
        row = rows[f"{point.object_type}:{point.instance}"]
        assert row["name"] == point.name and row["present-value"] != "-"
    assert report["write"] == {"object": "analog-value:1", "priority": 9, "before": 21.0, "written": 19.75,
                               "after": 19.75, "priority_array_slot": 19.75}


def test_demo_prints_a_table(peer_installed):
    done = ferromesh_cli("demo")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith(f"1. Who-Is -> I-Am from device {DEVICE_INSTANCE}")
    assert any(line.split()[:3] == ["analog-input:1", "zone-001-temperature", "18.25"] for line in lines)


def test_cli_read_and_write_against_the_device(device):
    done = ferromesh_cli("read", device.address, f"device:{DEVICE_INSTANCE}", "object-name")
    assert (done.returncode, done.stdout) == (0, f"device:{DEVICE_INSTANCE} object-name = {DEVICE_NAME}\n")
    done = ferromesh_cli("write", device.address, "analog-value:2", "object-type", "2", "--type", "enumerated")
    assert done.returncode == 3 and "write-access-denied" in done.stderr
    done = ferromesh_cli("read", device.address, "analog-value:998", "present-value", "--json")
    assert done.returncode == 3
    assert json.loads(done.stdout) == {"error": {"kind": "error", "class": "object", "code": "unknown-object"}}
