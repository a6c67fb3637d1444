"""The site tools' files and drawings, without a device: trend plots, time arguments, points files."""

from __future__ import annotations

import asyncio
import datetime
import io
import re

import pytest

from ferromesh.cli.arguments import parse_time
from ferromesh.cli.poll import load_points
from ferromesh.names import format_object_id
from ferromesh.views import LogRecord, StatusFlags

START = datetime.datetime(2024, 3, 15, 8, 0)


def marks(path) -> tuple[int, int]:
    """Pixels of the status-change lines (orange) and of the gap spans (light gray)."""
    from matplotlib.image import imread

    rgb = imread(path)[..., :3]
    r, g, b = rgb[..., 0], rgb[..., 1], rgb[..., 2]
    orange = (r > 0.9) & (abs(g - 0.5) < 0.1) & (b < 0.2)
    gray = (abs(r - g) < 0.02) & (abs(g - b) < 0.02) & (abs(r - 0.87) < 0.03)
    return int(orange.sum()), int(gray.sum())


@pytest.mark.parametrize("gap, fault, expect_orange, expect_gray", [
    (False, False, False, False),
    (True, False, False, True),
    (False, True, True, False),
    (True, True, True, True),
])
def test_plot_marks_status_changes_and_gaps(tmp_path, gap, fault, expect_orange, expect_gray):
    pytest.importorskip("matplotlib")  # not in the sanitizer run
    from ferromesh.cli.plot import plot_records

    normal, faulty = StatusFlags(False, False, False, False), StatusFlags(False, True, False, False)
    records = [LogRecord(START + datetime.timedelta(minutes=n), "real-value", 20.0 + n % 7,
                               faulty if fault and 30 <= n < 40 else normal)
               for n in range(60) if not (gap and 15 <= n < 25)]
    plot_records(records, tmp_path / "t.png", "trend-log:1")
    orange, gray = marks(tmp_path / "t.png")
    assert (orange > 200, gray > 5000) == (expect_orange, expect_gray)


@pytest.mark.parametrize("text, expected", [
    ("2024-03-15T08:30", datetime.datetime(2024, 3, 15, 8, 30)),
    ("2024-03-15 08:30:15", datetime.datetime(2024, 3, 15, 8, 30, 15)),
    ("90m", datetime.datetime(2024, 3, 15, 10, 30)),
    ("2h", datetime.datetime(2024, 3, 15, 10, 0)),
    ("1.5d", datetime.datetime(2024, 3, 14, 0, 0)),
])
def test_trend_times(text, expected):
    assert parse_time(text, now=datetime.datetime(2024, 3, 15, 12, 0)) == expected


@pytest.mark.parametrize("text", ["yesterday", "2h ago", "-2h", "2024-13-01"])
def test_bad_trend_times(text):
    with pytest.raises(ValueError):
        parse_time(text)


@pytest.mark.parametrize("text", [
    '[{"address": "10.0.0.5", "object": "analog-value:1"},'
    ' {"address": "10.0.0.6:47809", "object": "binary-input:3", "property": "priority-array", "array_index": 8}]',
    "address,object,property,array_index\n10.0.0.5,analog-value:1,,\n10.0.0.6:47809,binary-input:3,priority-array,8\n",
    "address,object,property\n10.0.0.5,analog-value:1,present-value\n10.0.0.6:47809,3:3,priority-array[8]\n",
])
def test_points_files(text):
    points = load_points(io.StringIO(text))
    assert [(f"{p.device.addr}:{p.device.port}", format_object_id(p.object), p.property, p.array_index)
            for p in points] == [("10.0.0.5:47808", "analog-value:1", 85, None),
                                 ("10.0.0.6:47809", "binary-input:3", 87, 8)]


@pytest.mark.parametrize("text", ['{"objects": 3}', "[1, 2]", "device,object\n1,analog-value:1\n",
                                  "address,object\n10.0.0.5,analog-value\n"])
def test_bad_points_files(text):
    with pytest.raises((ValueError, KeyError, TypeError, AttributeError)):
        load_points(io.StringIO(text))


class Terminal(io.StringIO):
    def __init__(self, tty: bool) -> None:
        super().__init__()
        self.tty = tty

    def isatty(self) -> bool:
        return self.tty


@pytest.mark.parametrize("tty, rich", [(True, False), (True, True), (False, False), (False, True)])
def test_scan_progress_shows_on_a_terminal_only(monkeypatch, tty, rich):
    from ferromesh.cli import progress
    from ferromesh.scan import ScanCounters

    monkeypatch.setattr(progress, "PLAIN_EVERY", 0.05)
    counters = ScanCounters(devices=3, objects=40)
    stream = Terminal(tty)

    async def scan() -> None:
        async with progress.ScanProgress(counters, stream, rich=rich):
            for _ in range(4):
                await asyncio.sleep(0.06)
                counters.objects_read += 10
            counters.devices_done = 3

    asyncio.run(scan())
    shown = stream.getvalue()
    if not tty:
        assert shown == ""
    elif rich:
        assert "40/40" in shown and "3/3 devices" in shown
    else:  # plain lines, no terminal control codes
        assert shown.splitlines()[-1].startswith("scan: 3/3 devices, 40/40 objects read, 0 errors")
        assert "\x1b" not in shown and "\r" not in shown


@pytest.mark.parametrize("command", ["read", "readm", "write", "whois", "scan", "trend", "poll", "demo"])
def test_help_of_every_command_has_its_example_and_exit_codes(capsys, command):
    from ferromesh import cli

    with pytest.raises(SystemExit) as done:
        cli.main([command, "--help"])
    shown = capsys.readouterr().out
    assert done.value.code == 0
    assert re.search(rf"\n  python -m ferromesh {command}( |\n)", shown) and "\nexit codes:\n  0 " in shown


@pytest.mark.parametrize("argv, message", [
    (["scan", "--per-device", "8", "--max-concurrency", "4"], "--per-device 8 is above --max-concurrency 4"),
    (["scan", "--low", "5"], "give both --low and --high"),
    (["scan", "device:5", "--low", "5", "--high", "6"], "give device:INSTANCE or --low and --high"),
    (["scan", "10.0.0.1/7", "--network", "5"], "the address names network 7, --network 5"),
    (["poll", "/nonexistent/points.csv"], "cannot read points from /nonexistent/points.csv"),
])
def test_bad_site_tool_arguments(capsys, argv, message):
    from ferromesh import cli

    with pytest.raises(SystemExit) as done:
        cli.main(argv)
    assert done.value.code == 2 and message in capsys.readouterr().err


@pytest.mark.parametrize("window, message", [
    (["--last", "5", "--since", "2h"], "give --last or a time window"),
    (["--since", "tomorrow"], "expected a date and time"),
    (["--since", "2024-03-15T09:00", "--until", "2024-03-15T08:00"], "--since is after --until"),
])
def test_bad_trend_windows(capsys, window, message):
    test_bad_site_tool_arguments(capsys, ["trend", "10.0.0.5", "trend-log:1", *window], message)
