"""The overall progress bar of a batch on a terminal: pictures done,
pixels filled per second and the time left, redrawn in place on one line."""
from __future__ import annotations

import threading
import time
from typing import Optional, TextIO

_WIDTH = 24
_REDRAW_SECONDS = 1.0


def rate_text(pixels_per_second: float) -> str:
    for scale, unit in ((1e6, "M"), (1e3, "k")):
        if pixels_per_second >= scale:
            return f"{pixels_per_second / scale:.1f} {unit}px/s"
    return f"{pixels_per_second:.0f} px/s"


def duration_text(seconds: float) -> str:
    """0:42, 12:05 or 1:02:03."""
    seconds = int(round(seconds))
    hours, rest = divmod(seconds, 3600)
    minutes, seconds = divmod(rest, 60)
    if hours:
        return f"{hours}:{minutes:02d}:{seconds:02d}"
    return f"{minutes}:{seconds:02d}"


class ProgressBar:
    """Redraws itself every second from a thread of its own, and on every
    picture that ends; `message` prints a line above it."""

    def __init__(self, stream: TextIO, total: int) -> None:
        self._stream = stream
        self._total = total
        self._done = 0
        self._worked = 0  # pictures that were repaired, not skipped
        self._pixels = 0
        self._start = time.monotonic()
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = threading.Thread(
            target=self._tick, name="patchwell-batch-progress", daemon=True)
        self._draw()
        self._thread.start()

    def advance(self, pixels: int, worked: bool) -> None:
        """One picture ended; `worked` unless it was skipped."""
        with self._lock:
            self._done += 1
            self._worked += worked
            self._pixels += pixels
            self._draw()

    def message(self, text: str) -> None:
        with self._lock:
            self._stream.write("\r\033[K" + text + "\n")
            self._draw()

    def close(self) -> None:
        """Stops the redraws and clears the line (once)."""
        if self._thread is None:
            return
        self._stop.set()
        self._thread.join()
        self._thread = None
        with self._lock:
            self._stream.write("\r\033[K")
            self._stream.flush()

    def _tick(self) -> None:
        while not self._stop.wait(_REDRAW_SECONDS):
            with self._lock:
                self._draw()

    def _draw(self) -> None:
        elapsed = max(time.monotonic() - self._start, 1e-9)
        filled = _WIDTH * self._done // max(self._total, 1)
        line = (f"[{'#' * filled}{'.' * (_WIDTH - filled)}] "
                f"{self._done}/{self._total} pictures  "
                f"{rate_text(self._pixels / elapsed)}")
        remaining = self._total - self._done
        if remaining and self._worked:
            line += f"  {duration_text(elapsed / self._worked * remaining)} left"
        elif remaining:
            line += "  --:-- left"
        else:
            line += f"  {duration_text(elapsed)}"
        self._stream.write("\r\033[K" + line)
        self._stream.flush()
