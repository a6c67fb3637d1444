"""Ctrl-C that ends a long-running command's work but lets the command write what it has."""

from __future__ import annotations

import asyncio
import signal
from typing import Any, Coroutine

__all__ = ["run_interruptible"]


async def run_interruptible(work: Coroutine[Any, Any, None]) -> bool:
    """Runs ``work``; Ctrl-C cancels it instead of ending the program. True when it was interrupted."""
    task = asyncio.ensure_future(work)
    interrupted = False

    def on_interrupt() -> None:
        nonlocal interrupted
        interrupted = True
        task.cancel()

    loop = asyncio.get_running_loop()
    try:
        loop.add_signal_handler(signal.SIGINT, on_interrupt)
    except (NotImplementedError, RuntimeError):  # no signals here (not the main thread, or Windows)
        await task
        return False
    try:
        await task
    except asyncio.CancelledError:
        if not interrupted:
            raise
    finally:
        loop.remove_signal_handler(signal.SIGINT)
    return interrupted
