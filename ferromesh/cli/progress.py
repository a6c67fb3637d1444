"""Progress of a scan on stderr, only when stderr is a terminal.

With the ``cli`` extra installed (``pip install 'ferromesh[cli]'``, rich) it
is a live progress bar; without it a plain line every few seconds. When
stderr is not a terminal nothing is shown, so that redirected output holds
nothing but the result.
"""

from __future__ import annotations

import asyncio
import importlib.util
import sys
from types import TracebackType
from typing import IO, Any

from ..scan import ScanCounters

__all__ = ["ScanProgress"]

PLAIN_EVERY = 2.0  # seconds between the plain lines
RICH_EVERY = 0.1


def _summary(counters: ScanCounters) -> str:
    return (f"{counters.devices_done}/{counters.devices} devices, {counters.objects_read}/{counters.objects}"
            f" objects read, {counters.errors} errors, {counters.rate():.0f} objects/s")


class ScanProgress:
    """``async with ScanProgress(counters):`` shows the counters while the block runs."""

    def __init__(self, counters: ScanCounters, stream: IO[str] | None = None, *, rich: bool | None = None) -> None:
        self.counters = counters
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = self.stream.isatty()
        self.use_rich = self.enabled and (importlib.util.find_spec("rich") is not None if rich is None else rich)
        self._task: asyncio.Task[None] | None = None
        self._bar: Any = None
        self._bar_task: Any = None

    async def __aenter__(self) -> ScanProgress:
        if self.use_rich:
            from rich.console import Console
            from rich.progress import BarColumn, MofNCompleteColumn, Progress, SpinnerColumn, TextColumn, \
                TimeElapsedColumn

            self._bar = Progress(SpinnerColumn(), TextColumn("scan"), BarColumn(), MofNCompleteColumn(),
                                 TextColumn("objects · {task.fields[devices]} devices · {task.fields[errors]} errors"
                                            " · {task.fields[rate]} objects/s"), TimeElapsedColumn(),
                                 console=Console(file=self.stream), redirect_stdout=False, redirect_stderr=False)
            self._bar_task = self._bar.add_task("scan", total=None, devices="0/0", errors=0, rate="0")
            self._bar.start()
        if self.enabled:
            self._task = asyncio.create_task(self._show())
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        traceback: TracebackType | None) -> None:
        if self._task is not None:
            self._task.cancel()
            await asyncio.gather(self._task, return_exceptions=True)
        if self.enabled:
            self._update()
        if self._bar is not None:
            self._bar.stop()

    async def _show(self) -> None:
        while True:
            await asyncio.sleep(RICH_EVERY if self.use_rich else PLAIN_EVERY)
            self._update()

    def _update(self) -> None:
        c = self.counters
        if self._bar is None:
            print(f"scan: {_summary(c)}", file=self.stream, flush=True)
            return
        self._bar.update(self._bar_task, total=c.objects or None, completed=c.objects_read,
                         devices=f"{c.devices_done}/{c.devices}", errors=c.errors, rate=f"{c.rate():.0f}")
