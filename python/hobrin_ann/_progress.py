"""A progress bar for long additions: tqdm's where tqdm is installed (in a
notebook too, through tqdm.auto), else a one-line bar on stderr."""

from __future__ import annotations

import sys
import threading
import time
from collections.abc import Callable
from typing import Any, TextIO


def _clock(seconds: float) -> str:
    minutes, seconds = divmod(int(seconds), 60)
    return f"{minutes:d}:{seconds:02d}"


class ProgressBar:
    """Redraws `done/total`, the rate, the time spent and the time left."""

    def __init__(self, total: int, stream: TextIO | None = None) -> None:
        self.total = total
        self.stream = stream if stream is not None else sys.stderr
        self.started = time.monotonic()

    def line(self, done: int) -> str:
        elapsed = time.monotonic() - self.started
        rate = done / elapsed if elapsed > 0 else 0.0
        left = _clock((self.total - done) / rate) if rate > 0 else "?"
        width = 30
        filled = width * done // self.total if self.total else width
        bar = "#" * filled + "-" * (width - filled)
        return f"\r[{bar}] {done}/{self.total} {rate:,.0f}/s {_clock(elapsed)} elapsed, {left} left"

    def show(self, done: int) -> None:
        self.stream.write(self.line(done))
        self.stream.flush()

    def finish(self) -> None:
        self.show(self.total)
        self.stream.write("\n")
        self.stream.flush()

    def abandon(self) -> None:
        """The work failed: the bar stays where it stopped."""
        self.stream.write("\n")
        self.stream.flush()


class TqdmBar:
    """The same calls, drawn by tqdm. A bar must never fail an add, so what
    tqdm raises (it starts threads and allocates as it draws) is dropped."""

    def __init__(self, total: int, tqdm: Callable[..., Any]) -> None:
        self.bar = tqdm(total=total, unit="vectors", desc="adding")

    def show(self, done: int) -> None:
        try:
            self.bar.update(done - self.bar.n)
        except Exception:
            pass

    def finish(self) -> None:
        try:
            self.show(self.bar.total)
            self.bar.close()
        except Exception:
            pass

    def abandon(self) -> None:
        try:
            self.bar.close()
        except Exception:
            pass


def make_bar(total: int) -> ProgressBar | TqdmBar:
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped, import-not-found, unused-ignore]

        return TqdmBar(total, tqdm)
    except Exception:  # not installed, broken, or out of memory: the plain bar does
        return ProgressBar(total)


def run_with_progress(
    work: Callable[[], None], done: Callable[[], int], total: int, interval: float = 0.2
) -> None:
    """Runs `work` on this thread while a helper thread redraws a bar from
    `done()` every `interval` seconds.

    `work` stays on the calling thread so that it behaves as it does without
    the bar: a KeyboardInterrupt (Ctrl-C) cannot cut it short, as Python
    raises it only once the native call has returned, and whatever `work`
    raises comes out here."""
    finished = threading.Event()
    bar = make_bar(total)

    def redraw() -> None:
        while not finished.wait(interval):
            bar.show(done())

    drawer = threading.Thread(target=redraw, name="hobrin_ann progress", daemon=True)
    completed = False
    try:
        try:
            drawer.start()
        except RuntimeError:
            # No thread to be had (its stack needs memory, or the thread limit
            # is reached): the work goes on without redraws.
            pass
        work()
        completed = True
    finally:
        finished.set()
        if drawer.is_alive():
            drawer.join()
        if not completed:
            bar.abandon()
    bar.finish()
