"""The receiver's fixes, as the converter writes them to gps.csv."""

from __future__ import annotations

from pathlib import Path

import pandas as pd

from .errors import SessionError

CSV_NAME = "gps.csv"
COLUMNS = ["utc", "session_ms", "latitude_deg", "longitude_deg", "altitude_m", "speed_mps", "course_deg",
           "fix_type", "satellites", "hdop", "source"]
_TYPES = {"session_ms": "int64", "latitude_deg": "float64", "longitude_deg": "float64", "altitude_m": "float64",
          "speed_mps": "float64", "course_deg": "float64", "fix_type": "int64", "satellites": "int64",
          "hdop": "float64", "source": "string"}


def read_csv(path: Path) -> pd.DataFrame:
    """One row per fix, indexed by the fix's UTC; ``hdop`` is NaN where unknown.

    >>> read_csv(Path("part_00/gps.csv")).iloc[0]                      # doctest: +SKIP
    session_ms             1015
    latitude_deg      48.1372210
    ...
    source                    41
    """
    with open(path, encoding="utf-8") as stream:
        header = stream.readline().rstrip("\r\n")
    if header.split(",") != COLUMNS:
        raise SessionError(path, f"has the header {header!r}, not {','.join(COLUMNS)!r}")
    try:
        table = pd.read_csv(path, dtype={"utc": "string", **_TYPES}, keep_default_na=False,
                            na_values={"hdop": [""]})
        utc = pd.to_datetime(table.pop("utc"), format="%Y-%m-%dT%H:%M:%S.%fZ", utc=True)
    except (ValueError, TypeError) as error:
        raise SessionError(path, f"cannot be read as the converter's GPS table: {error}") from None
    table.index = pd.DatetimeIndex(utc, name="utc")
    return table
