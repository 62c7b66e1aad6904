"""Wear time and activity: a session's epoch table (``epochs.csv``) and its days in
the wearer's own time zone.

The converter writes one row per epoch (60 s unless ``-epoch`` said otherwise), keyed
by its UTC start: ENMO and MAD in mg, the wear state (``wear``, ``nonwear``,
``nodata``), the share of filled samples, the mean board temperature and ambient light
(docs/epochs.md). ``days`` cuts the epochs into local calendar days with the IANA
time-zone database, so a day is 23 or 25 hours long where the clocks change.

>>> frame = session.epochs()                                         # doctest: +SKIP
>>> frame.loc["2025-03-14T10:00Z", ["enmo_mg", "wear"]].tolist()     # doctest: +SKIP
[23.5, 'wear']
>>> session.days(timezone="Europe/Zurich")[["day_hours", "worn_hours", "valid"]]  # doctest: +SKIP
            day_hours  worn_hours  valid
date
2025-03-30       23.0       21.4   True
"""

from __future__ import annotations

from pathlib import Path
from typing import Iterable

import numpy as np
import pandas as pd

from . import layout
from .errors import SessionError

EPOCHS_FILE = layout.EPOCHS_FILE
# The field's usual rules: a day counts when it was worn 16 hours or more; activity of
# moderate intensity and above lies above 100 mg ENMO.
VALID_DAY_HOURS = 16.0
ACTIVE_ENMO_MG = 100.0
WEAR_STATES = ("wear", "nonwear", "nodata")
DAY_COLUMNS = ["timezone", "day_hours", "recorded_hours", "worn_hours", "nonworn_hours", "nodata_hours",
               "mean_enmo_mg", "minutes_enmo_above_100mg", "valid"]


def read_epochs(folder: Path) -> pd.DataFrame:
    """The epochs of a session folder, indexed by their UTC start (``utc``)."""
    path = Path(folder) / EPOCHS_FILE
    if not path.exists():
        raise SessionError(path, "is missing: the session has no accelerometer, or was converted before epochs")
    try:
        frame = pd.read_csv(path, dtype={"wear": str})
        index = pd.to_datetime(frame.pop("utc"), format="%Y-%m-%dT%H:%M:%S.%fZ", utc=True)
    except (ValueError, KeyError, pd.errors.ParserError) as error:
        raise SessionError(path, f"is not an epoch table ({error})") from None
    unknown = set(frame["wear"].dropna()) - set(WEAR_STATES)
    if unknown:
        raise SessionError(path, f"has unknown wear states {sorted(unknown)}")
    frame.index = pd.DatetimeIndex(index, name="utc")
    return frame


def epoch_seconds_of(frame: pd.DataFrame, declared: float | None = None) -> float:
    """The epoch length: as session.json declares it, else the table's usual step."""
    if declared:
        return float(declared)
    if len(frame) < 2:
        return 60.0
    steps = np.diff(frame.index.asi8) / 1e9
    return float(pd.Series(steps).mode().iloc[0])


def _day_hours(dates: pd.DatetimeIndex, timezone: str) -> np.ndarray:
    """Hours from each local midnight to the next one."""
    def midnight(days: pd.DatetimeIndex) -> pd.DatetimeIndex:
        return days.tz_localize(timezone, ambiguous=True, nonexistent="shift_forward")

    starts = midnight(dates)
    ends = midnight(dates + pd.Timedelta(days=1))
    return (ends.asi8 - starts.asi8) / 3.6e12


def days(epochs: pd.DataFrame | Iterable[pd.DataFrame], timezone: str, *, epoch_seconds: float | None = None,
         valid_hours: float = VALID_DAY_HOURS, active_mg: float = ACTIVE_ENMO_MG) -> pd.DataFrame:
    """One row per local calendar day of the epochs (or of several sessions' epochs,
    merged: an epoch given twice counts once).

    Columns: ``day_hours`` (23, 24 or 25), ``recorded_hours``, ``worn_hours``,
    ``nonworn_hours``, ``nodata_hours`` (the rest of the day: lost or not recorded),
    ``mean_enmo_mg`` over worn epochs, ``minutes_enmo_above_100mg`` (worn minutes above
    ``active_mg``; the column keeps its name for other thresholds), ``valid`` (worn at
    least ``valid_hours``).
    """
    frames = [epochs] if isinstance(epochs, pd.DataFrame) else list(epochs)
    frames = [f for f in frames if len(f)]
    if not frames:
        empty = pd.DataFrame(columns=DAY_COLUMNS)
        empty.index = pd.DatetimeIndex([], name="date")
        return empty
    seconds = epoch_seconds or epoch_seconds_of(frames[0])
    frame = pd.concat(frames)
    frame = frame[~frame.index.duplicated(keep="first")].sort_index()
    try:
        local = frame.index.tz_convert(timezone)
    except Exception as error:  # pytz and zoneinfo raise different kinds
        raise ValueError(f"unknown time zone {timezone!r} ({error})") from None
    date = local.tz_localize(None).normalize()
    state = frame["wear"].to_numpy()
    hours = seconds / 3600.0
    worn = state == "wear"
    enmo = frame["enmo_mg"].to_numpy(dtype=float)
    table = pd.DataFrame({
        "date": date,
        "recorded": hours,
        "worn": np.where(worn, hours, 0.0),
        "nonworn": np.where(state == "nonwear", hours, 0.0),
        "enmo_worn": np.where(worn, enmo, 0.0),
        "worn_epochs": worn.astype(int),
        "active": np.where(worn & (enmo > active_mg), seconds / 60.0, 0.0),
    })
    grouped = table.groupby("date", sort=True).sum()
    result = pd.DataFrame(index=pd.DatetimeIndex(grouped.index, name="date"))
    result["timezone"] = timezone
    result["day_hours"] = _day_hours(result.index, timezone)
    result["recorded_hours"] = grouped["recorded"].to_numpy()
    result["worn_hours"] = grouped["worn"].to_numpy()
    result["nonworn_hours"] = grouped["nonworn"].to_numpy()
    result["nodata_hours"] = np.clip(result["day_hours"] - result["worn_hours"] - result["nonworn_hours"], 0.0, None)
    with np.errstate(invalid="ignore", divide="ignore"):
        result["mean_enmo_mg"] = np.where(grouped["worn_epochs"] > 0,
                                          grouped["enmo_worn"] / grouped["worn_epochs"].clip(lower=1), np.nan)
    result["minutes_enmo_above_100mg"] = grouped["active"].to_numpy()
    result["valid"] = result["worn_hours"] >= valid_hours
    return result
