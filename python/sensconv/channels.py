"""One sensor channel: its description, values, times and filled samples.

The converter writes each channel as ``binaryData_<name>.bin`` (little-endian
float32, no header), ``binaryData_<name>.meta`` (``"key",value`` lines) and, where it
filled in lost samples with the previous value, ``binaryData_<name>.sparse`` (one
``position,1`` line per filled sample).
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from . import validate
from .errors import SessionError
from .timebase import TimeBase

SAMPLE_DTYPE = np.dtype("<f4")


@dataclass(frozen=True)
class ChannelInfo:
    """What session.json (or an older folder's .meta file) says about a channel."""

    name: str
    long_name: str | None
    board: str | None
    unit: str | None
    rate: float
    samples: int
    filled_samples: int
    file: str
    sparse_file: str | None
    timebase: TimeBase = field(repr=False, compare=False)
    # What the values measure (session.json schema 2): the UCUM unit of the physical
    # value, and how a .bin value becomes it ("unchanged", "fahrenheitToCelsius",
    # "accelerometerCalibration").
    quantity: str | None = None
    ucum: str | None = None
    conversion: str = "unchanged"
    uncalibrated: bool = True


def read_meta(path: Path) -> dict[str, str]:
    """The ``"key",value`` lines of a .meta file; quotes around a value are removed.

    An empty file is what a run that did not finish leaves behind: the converter
    writes a channel's .meta lines when it closes the channel.
    """
    text = validate.read_bytes(path, validate.META_LIMIT, "that a .meta file can take").decode(
        "utf-8", errors="replace")
    if not text.strip():
        raise SessionError(path, "is empty: the conversion that wrote this folder did not finish")
    pairs: dict[str, str] = {}
    for number, line in enumerate(text.splitlines(), 1):
        if not line:
            continue
        key, sep, value = line.partition(",")
        if not sep or len(key) < 2 or not (key.startswith('"') and key.endswith('"')):
            raise SessionError(path, f"line {number} is not a \"key\",value pair: {line!r}")
        pairs[key[1:-1]] = value.strip('"')
    return pairs


def meta_number(path: Path, meta: dict[str, str], key: str, kind: type = float) -> float:
    """The value of a .meta line as kind (int or float), or a SessionError naming the line."""
    try:
        value = kind(meta[key])
        if not math.isfinite(value):
            raise ValueError(value)
        return value
    except KeyError:
        raise SessionError(path, f"has no \"{key}\" line") from None
    except ValueError:
        what = "an integer" if kind is int else "a finite number"
        raise SessionError(path, f"\"{key}\" is not {what}: {meta[key]!r}") from None


def meta_int(path: Path, meta: dict[str, str], key: str) -> int:
    return int(meta_number(path, meta, key, int))


def meta_float(path: Path, meta: dict[str, str], key: str) -> float:
    return meta_number(path, meta, key, float)


def read_sparse(path: Path, samples: int, filled: int | None = None) -> np.ndarray:
    """The positions listed in a .sparse file, checked to be inside the channel (and to
    be ``filled`` many, where the description says how many)."""
    digits = len(str(max(samples - 1, 0)))
    limit = (samples if filled is None else filled) * (digits + len(",1\n"))
    data = validate.read_bytes(path, limit, f"that {samples if filled is None else filled} position,1 lines "
                                            f"of positions below {samples} take")
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError:
        raise SessionError(path, "is not a text file of position,1 lines") from None
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    positions = np.empty(len(lines), dtype=np.int64)
    for number, line in enumerate(lines):
        position, sep, flag = line.partition(",")
        if sep != "," or flag != "1" or not position.isdigit() or not position.isascii():
            raise SessionError(path, f"line {number + 1} is not a position,1 line: {line!r}")
        if int(position) >= samples:
            raise SessionError(path, f"lists position {position} but the channel has {samples} samples")
        positions[number] = int(position)
    if filled is not None and len(positions) != filled:
        raise SessionError(path, f"lists {len(positions)} positions, its description says {filled} filled samples")
    return positions


class Channel:
    """One channel's values, times and filled samples.

    >>> pressure = session.channel("BarPres")             # doctest: +SKIP
    >>> pressure.values[:2], pressure.times[:1]            # doctest: +SKIP
    (memmap([1015.5545 , 1015.49255], dtype=float32),
     array(['2025-03-14T09:30:00.000466824'], dtype='datetime64[ns]'))

    ``values`` is memory-mapped from the .bin file, read-only and not copied;
    ``times`` are UTC as ``datetime64[ns]`` (or ``timedelta64[ns]`` session time for
    output written before session.json); ``filled`` is True where the converter
    filled in a lost sample with the previous value.
    """

    def __init__(self, folder: Path, info: ChannelInfo) -> None:
        self.info = info
        self.path = folder / info.file
        self._sparse_path = folder / info.sparse_file if info.sparse_file else None
        self.values = map_values(self.path, info.samples)
        self._filled: np.ndarray | None = None
        self._physical = None  # set by the session: .bin values -> physical values

    @property
    def physical(self) -> np.ndarray:
        """The values in the channel's physical unit (``ucum``), as float64: the
        acceleration calibrated by the session's accelerometer calibration, the
        gyroscope temperatures in degrees Celsius, every other channel unchanged.

        >>> session.channel("accel").physical[:2]             # doctest: +SKIP
        array([0.1512, 0.1498])
        """
        if self._physical is None:
            return np.asarray(self.values, dtype=np.float64)
        return self._physical(self)

    @property
    def ucum(self) -> str | None:
        return self.info.ucum

    def __repr__(self) -> str:
        return f"<Channel {self.name}: {len(self)} samples at {self.rate:g} Hz, unit {self.unit!r}>"

    def __len__(self) -> int:
        return self.info.samples

    @property
    def name(self) -> str:
        return self.info.name

    @property
    def rate(self) -> float:
        return self.info.rate

    @property
    def unit(self) -> str | None:
        return self.info.unit

    @property
    def timebase(self) -> TimeBase:
        return self.info.timebase

    @property
    def times(self) -> np.ndarray:
        return self.timebase.times()

    @property
    def filled_positions(self) -> np.ndarray:
        """Positions of the filled samples, in the order of the .sparse file."""
        if self._sparse_path is None:
            return np.empty(0, dtype=np.int64)
        return read_sparse(self._sparse_path, self.info.samples, self.info.filled_samples)

    @property
    def filled(self) -> np.ndarray:
        if self._filled is None:
            mask = np.zeros(self.info.samples, dtype=bool)
            mask[self.filled_positions] = True
            self._filled = mask
        return self._filled


def map_values(path: Path, samples: int) -> np.ndarray:
    """Memory-maps a .bin file after checking that it holds exactly ``samples`` floats."""
    with validate.open_regular(path) as stream:
        size = os.fstat(stream.fileno()).st_size
        check_size(path, size, samples)
        if samples == 0:
            # A file of no bytes cannot be mapped.
            empty = np.empty(0, dtype=SAMPLE_DTYPE)
            empty.flags.writeable = False
            return empty
        # The mapping stays valid once the file is closed.
        return np.memmap(stream, dtype=SAMPLE_DTYPE, mode="r", shape=(samples,))


def check_size(path: Path, size: int, samples: int) -> None:
    if size % SAMPLE_DTYPE.itemsize:
        raise SessionError(path, f"is {size} bytes long, not a whole number of 4-byte samples: truncated")
    if size // SAMPLE_DTYPE.itemsize != samples:
        raise SessionError(
            path, f"holds {size // SAMPLE_DTYPE.itemsize} samples, its description says {samples}: "
            + ("truncated" if size // SAMPLE_DTYPE.itemsize < samples else "longer than described"))
