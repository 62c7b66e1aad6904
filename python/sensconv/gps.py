"""The receiver's fixes, as the converter writes them to gps.csv."""

from __future__ import annotations

import io
from pathlib import Path

import pandas as pd

from . import layout, validate
from .errors import SessionError

CSV_NAME = layout.GPS_CSV
COLUMNS = ["utc", "session_ms", "latitude_deg", "longitude_deg", "altitude_m", "speed_mps", "course_deg",
           "fix_type", "satellites", "hdop", "source"]
_TYPES = {"session_ms": "int64", "latitude_deg": "float64", "longitude_deg": "float64", "altitude_m": "float64",
          "speed_mps": "float64", "course_deg": "float64", "fix_type": "int64", "satellites": "int64",
          "hdop": "float64", "source": "string"}


def read_csv(path: Path, fixes: int | None = None) -> pd.DataFrame:
    """One row per fix, indexed by the fix's UTC; ``hdop`` is NaN where unknown.
    ``fixes``, where known, bounds the size of the file.

    >>> read_csv(Path("part_00/gps.csv")).iloc[0]                      # doctest: +SKIP
    session_ms             1015
    latitude_deg      48.1372210
    ...
    source                    41
    """
    if fixes is None:
        with validate.open_regular(path) as stream:
            data = stream.read()
    else:
        data = validate.read_bytes(path, (fixes + 1) * validate.GPS_LINE_LIMIT,
                                   f"that {fixes} fixes (session.json) take")
    header = data.split(b"\n", 1)[0].decode("utf-8", errors="replace").rstrip("\r")
    if header.split(",") != COLUMNS:
        raise SessionError(path, f"has the header {header!r}, not {','.join(COLUMNS)!r}")
    try:
        table = pd.read_csv(io.BytesIO(data), dtype={"utc": "string", **_TYPES}, keep_default_na=False,
                            na_values={"hdop": [""]})
        utc = pd.to_datetime(table.pop("utc"), format="%Y-%m-%dT%H:%M:%S.%fZ", utc=True)
    except (ValueError, TypeError) as error:
        raise SessionError(path, f"cannot be read as the converter's GPS table: {error}") from None
    table.index = pd.DatetimeIndex(utc, name="utc")
    return table
