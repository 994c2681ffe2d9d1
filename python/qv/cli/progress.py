"""Values done and their rate on standard error while a long input runs.

Standard library only.
"""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import IO


class Progress:
    """Values done and their rate on standard error, when that is a terminal."""

    def __init__(
        self,
        stream: IO[str],
        clock: Callable[[], float] = time.monotonic,
        interval: float = 0.5,
    ) -> None:
        self.stream, self.clock, self.interval = stream, clock, interval
        self.enabled = stream.isatty()
        self.start = self.last = clock()
        self.width = 0

    def update(self, done: int) -> None:
        if not self.enabled:
            return
        now = self.clock()
        if now - self.last < self.interval:
            return
        self.last = now
        rate = done / max(now - self.start, 1e-9)
        text = f"qv: {done:,} values, {rate:,.0f}/s"
        self.stream.write("\r" + text.ljust(self.width))
        self.stream.flush()
        self.width = len(text)

    def finish(self) -> None:
        if self.width:
            self.stream.write("\r" + " " * self.width + "\r")
            self.stream.flush()
            self.width = 0
