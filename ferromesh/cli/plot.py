"""A trend log drawn as a PNG: time on the x axis, value on the y axis, status changes and gaps marked.

Needs matplotlib, the ``plot`` extra (``pip install 'ferromesh[plot]'``).
Drawn on a Figure of its own with the Agg canvas: no window, no pyplot state.
"""

from __future__ import annotations

import datetime
import math
import statistics
from pathlib import Path
from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the command line imports this module for PlotUnavailable alone
    from ..views import LogRecord, StatusFlags

__all__ = ["INSTALL_HINT", "PlotUnavailable", "plot_records", "require_matplotlib"]

INSTALL_HINT = "--plot needs matplotlib: pip install 'ferromesh[plot]'"
# A pause between records this many times the usual interval is a gap.
GAP_FACTOR = 3.0
_NUMERIC = frozenset(("real-value", "unsigned-value", "signed-value", "enumerated-value", "boolean-value"))


class PlotUnavailable(RuntimeError):
    """matplotlib is not installed."""


def require_matplotlib() -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise PlotUnavailable(INSTALL_HINT) from None


def _flags(flags: StatusFlags | None) -> tuple[bool, ...]:
    return (False,) * 4 if flags is None else tuple(flags)


def _gaps(times: list[datetime.datetime]) -> list[tuple[datetime.datetime, datetime.datetime]]:
    steps = [(b - a).total_seconds() for a, b in zip(times, times[1:])]
    usual = statistics.median(steps) if steps else 0
    return [(a, b) for a, b, step in zip(times, times[1:], steps) if usual > 0 and step > GAP_FACTOR * usual]


def plot_records(records: list[LogRecord], path: str | Path, title: str) -> None:
    """Draws the records' values over time into the PNG ``path``.

    Status-flag changes and log-status records (logging disabled,
    interrupted, buffer purged) are vertical lines, failures crosses on the
    x axis, gaps (pauses of more than GAP_FACTOR times the usual interval)
    shaded spans.
    """
    require_matplotlib()
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.dates import AutoDateLocator, ConciseDateFormatter, date2num
    from matplotlib.figure import Figure

    def x(moment: datetime.datetime) -> float:
        return float(date2num(moment))  # type: ignore[no-untyped-call]  # matplotlib.dates has no types

    timed = [r for r in records if isinstance(r.timestamp, datetime.datetime)]
    points = [(r.timestamp, float(r.value)) for r in timed
              if r.kind in _NUMERIC and isinstance(r.timestamp, datetime.datetime)]
    figure = Figure(figsize=(10, 4.5), dpi=100, layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    gaps = _gaps([t for t, _ in points])
    if points:
        binary = all(r.kind == "boolean-value" for r in timed if r.kind in _NUMERIC)
        # The line breaks at each gap (a NaN point) rather than bridging it.
        starts = {start for start, _ in gaps}
        xs: list[float] = []
        ys: list[float] = []
        for t, v in points:
            xs.append(x(t))
            ys.append(v)
            if t in starts:
                xs.append(math.nan)
                ys.append(math.nan)
        axes.plot(xs, ys, marker="." if len(points) < 200 else None,
                  drawstyle="steps-post" if binary else "default", color="tab:blue", label="value")
    previous = _flags(None)
    for r in timed:
        assert isinstance(r.timestamp, datetime.datetime)
        if r.kind == "log-status":
            axes.axvline(x(r.timestamp), color="tab:red", linestyle=":", label="log status")
        elif r.kind == "failure":
            axes.plot([x(r.timestamp)], [0], marker="x", color="tab:red", transform=axes.get_xaxis_transform(),
                      clip_on=False, label="failure")
        flags = _flags(r.status_flags)
        if flags != previous:
            axes.axvline(x(r.timestamp), color="tab:orange", linestyle="--", label="status change")
            previous = flags
    for start, end in gaps:
        axes.axvspan(x(start), x(end), color="tab:gray", alpha=0.25, label="gap")
    handles, labels = axes.get_legend_handles_labels()
    unique = dict(zip(labels, handles))
    if unique:
        axes.legend(unique.values(), unique.keys(), loc="upper left", fontsize="small")
    axes.set_title(title)
    axes.set_xlabel("time")
    axes.set_ylabel("value")
    axes.grid(True, alpha=0.3)
    locator = AutoDateLocator()  # type: ignore[no-untyped-call]
    axes.xaxis.set_major_locator(locator)
    axes.xaxis.set_major_formatter(ConciseDateFormatter(locator))  # type: ignore[no-untyped-call]
    if not points:
        axes.text(0.5, 0.5, "no values", transform=axes.transAxes, ha="center")
    figure.savefig(str(path), format="png")
