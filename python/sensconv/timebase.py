"""Sample index to time: the anchors of a channel.

The converter writes, per channel and input file, an anchor: the position of the
file's first sample of the channel in the channel's file, and that sample's UTC.
Within a file the samples are evenly spaced at the channel's rate, so

    time(i) = anchor.time + (i - anchor.index) / rate

with the last anchor whose index is <= i. Output written before session.json
existed has no anchors; its one anchor is the channel's first session time, and the
times are then durations since the session's start, not UTC.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Iterator

import numpy as np

NS_PER_SECOND = 1_000_000_000


def seconds_to_ns(seconds: float) -> int:
    """Seconds (a double, as session.json gives them) to integer nanoseconds, losing
    nothing of the double's sub-microsecond digits.

    >>> seconds_to_ns(1741944600.0625)
    1741944600062500000
    """
    whole = math.floor(seconds)
    return whole * NS_PER_SECOND + round((seconds - whole) * NS_PER_SECOND)


@dataclass(frozen=True)
class Segment:
    """Samples ``start`` to ``stop`` (exclusive), evenly spaced from ``start_ns``."""

    start: int
    stop: int
    start_ns: int


class TimeBase:
    """The times of one channel's samples.

    ``utc`` tells whether the times are UTC (nanoseconds since 1970) or session time
    (nanoseconds since the session's start, from output without session.json).

    >>> base = TimeBase(rate=10.0, samples=4, anchor_index=[0, 2],
    ...                 anchor_ns=[0, 5 * NS_PER_SECOND], utc=True)
    >>> base.times().astype("int64") // 100_000_000
    array([ 0,  1, 50, 51])
    """

    def __init__(self, rate: float, samples: int, anchor_index, anchor_ns, utc: bool) -> None:
        self.rate = float(rate)
        self.samples = int(samples)
        self.utc = utc
        self.anchor_index = np.asarray(anchor_index, dtype=np.int64)
        self.anchor_ns = np.asarray(anchor_ns, dtype=np.int64)

    @property
    def period_ns(self) -> float:
        return NS_PER_SECOND / self.rate if self.rate > 0 else math.inf

    @property
    def dtype(self) -> str:
        return "datetime64[ns]" if self.utc else "timedelta64[ns]"

    def segments(self) -> Iterator[Segment]:
        """The evenly spaced runs of samples, one per anchor, in index order."""
        for k, (start, start_ns) in enumerate(zip(self.anchor_index.tolist(), self.anchor_ns.tolist())):
            stop = int(self.anchor_index[k + 1]) if k + 1 < len(self.anchor_index) else self.samples
            if stop > start:
                yield Segment(start, stop, start_ns)

    def ns(self, start: int = 0, stop: int | None = None) -> np.ndarray:
        """Integer nanoseconds of samples ``start`` to ``stop``."""
        stop = self.samples if stop is None else min(stop, self.samples)
        out = np.empty(max(stop - start, 0), dtype=np.int64)
        for seg in self.segments():
            lo, hi = max(seg.start, start), min(seg.stop, stop)
            if lo >= hi:
                continue
            offsets = np.arange(lo - seg.start, hi - seg.start, dtype=np.float64)
            out[lo - start:hi - start] = seg.start_ns + np.rint(offsets * self.period_ns).astype(np.int64)
        return out

    def times(self, start: int = 0, stop: int | None = None) -> np.ndarray:
        """The times of samples ``start`` to ``stop`` as ``datetime64[ns]`` (UTC) or
        ``timedelta64[ns]`` (session time)."""
        return self.ns(start, stop).view(self.dtype)

    def first_index_at_or_after(self, seg: Segment, t_ns: np.ndarray) -> np.ndarray:
        """For each time, the first sample of ``seg`` at or after it (clipped to the segment)."""
        exact = (np.asarray(t_ns, dtype=np.float64) - seg.start_ns) / self.period_ns
        return np.clip(np.ceil(exact - 1e-9).astype(np.int64) + seg.start, seg.start, seg.stop)
