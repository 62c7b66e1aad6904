"""Wear time and activity against the simulator's truth: a simulated week of days with
nights of sleep, removals of 10 min to 8 h, walks and runs, converted by sensconv.

The week spans the last Sunday of March, when Zurich's clocks go from 02:00 to 03:00.
Rates and streams are cut to what the analysis reads (the main board, accelerometer at
10 Hz), so that a week simulates and converts in well under a minute.
"""

from __future__ import annotations

import json

import numpy as np
import pandas as pd
import pytest

from conftest import simulate_and_convert
from sensconv import open_session

WEEK_START = 1742981400  # 2025-03-26T09:30:00Z
WEEK_OPTIONS = ["--start-time", str(WEEK_START), "--duration", str(7 * 86400), "--files", "7", "--schedule",
                "--streams", "qor2", "--rate", "acc=10", "--rate", "amb=0.5", "--rate", "comp=0.5",
                "--rate", "dals=0.5", "--rate", "hum=0.1", "--seed", "26"]
TOLERANCE_S = 5 * 60


@pytest.fixture(scope="module")
def week(tmp_path_factory):
    run = simulate_and_convert(tmp_path_factory.mktemp("week"), WEEK_OPTIONS)
    run.json = json.loads((run.part / "session.json").read_text())
    run.minutes = pd.read_csv(run.truth_part / "wear.csv")
    run.removals = pd.read_csv(run.truth_part / "removals.csv")
    return run


def minutes_of(intervals: list[dict]) -> set[int]:
    """The UTC minutes (seconds since 1970) the intervals of session.json cover."""
    covered: set[int] = set()
    for interval in intervals:
        start, end = (pd.Timestamp(interval[key]).value // 10**9 for key in ("start", "end"))
        covered.update(range(start, end, 60))
    return covered


def figures(intervals: list[dict], truth: pd.DataFrame, removals: pd.DataFrame) -> dict:
    flagged = minutes_of(intervals)
    truth_off = set(truth.loc[truth.state == "nonwear", "unix_seconds"])
    hit = len(flagged & truth_off)
    spans = [(pd.Timestamp(i["start"]).value / 1e9, pd.Timestamp(i["end"]).value / 1e9) for i in intervals]
    found = 0
    for removal in removals.itertuples():
        if any(abs(s - removal.start_unix) <= TOLERANCE_S and abs(e - removal.end_unix) <= TOLERANCE_S
               for s, e in spans):
            found += 1
    return {"recall": hit / len(truth_off), "precision": hit / len(flagged) if flagged else 0.0,
            "removals found": f"{found}/{len(removals)}",
            "sleep minutes flagged": len(flagged & set(truth.loc[truth.activity == "sleep", "unix_seconds"]))}


def test_nonwear_is_found_to_the_minute_and_sleep_stays_wear(week):
    removals = week.removals
    lengths = (removals.end_unix - removals.start_unix) / 60
    nights = pd.to_datetime(week.minutes.loc[week.minutes.activity == "sleep", "unix_seconds"] - 12 * 3600,
                            unit="s").dt.date.nunique()
    assert len(removals) >= 12 and lengths.min() >= 10 and lengths.max() >= 8 * 60 * 0.99 and nights >= 7

    wear = week.json["wear"]
    assert wear["method"] == "accelerometerAndTemperature"
    refined = figures(wear["nonwear"], week.minutes, removals)
    alone = figures(wear["accelerometerCriterion"], week.minutes, removals)
    report = f"with temperature {refined}; accelerometer criterion alone {alone}"
    print(report)
    assert refined["recall"] >= 0.95 and refined["precision"] >= 0.98, report
    assert refined["removals found"] == f"{len(removals)}/{len(removals)}", report
    assert refined["sleep minutes flagged"] == 0, report
    # What the temperature adds: the 60-minute windows miss the short removals and take
    # still nights for removals.
    assert alone["recall"] < refined["recall"] and alone["sleep minutes flagged"] > 0, report


def enmo_from_bin_files(part, doc) -> pd.Series:
    """ENMO per UTC minute (mg) straight from the three .bin files, their anchors in
    session.json and the calibration it reports (nominal when it reports none)."""
    channels = {c["name"]: c for c in doc["channels"]}
    calibration = doc.get("accelerometerCalibration") or {}
    offset = np.array(calibration.get("offsetMg", [0, 0, 0])) / 1000
    gain = np.array(calibration.get("gain", [1, 1, 1]))
    coefficient = np.array(calibration.get("temperatureCoefficientMgPerC", [0, 0, 0])) / 1000
    reference = calibration.get("referenceTemperatureC", 0.0)
    x = channels["accel"]
    values = np.stack([np.fromfile(part / channels[n]["file"], dtype="<f4").astype(float)
                       for n in ("accel", "accelY", "accelZ")], axis=1)
    index = np.arange(len(values))
    temperature = np.fromfile(part / channels["BarTemp"]["file"], dtype="<f4").astype(float)
    paired = np.minimum((index * channels["BarTemp"]["rate"] / x["rate"]).astype(np.int64), len(temperature) - 1)
    g = offset + gain * (values - 2.0) + coefficient * (temperature[paired][:, None] - reference)
    anchor_index = np.array([a["index"] for a in x["anchors"]])
    anchor_seconds = np.array([a["unixSeconds"] for a in x["anchors"]])
    k = np.searchsorted(anchor_index, index, side="right") - 1
    seconds = anchor_seconds[k] + (index - anchor_index[k]) / x["rate"]
    filled = np.zeros(len(values), dtype=bool)
    for name in ("accel", "accelY", "accelZ"):
        if channels[name]["sparseFile"]:
            filled[np.loadtxt(part / channels[name]["sparseFile"], delimiter=",", dtype=np.int64, ndmin=2)[:, 0]] = True
    enmo = np.maximum(np.linalg.norm(g, axis=1) - 1.0, 0.0) * 1000
    return pd.Series(enmo[~filled]).groupby((np.floor(seconds[~filled] / 60) * 60).astype(np.int64)).mean()


def test_enmo_of_walks_and_runs_agrees_with_the_truth(week):
    epochs = open_session(week.part).epochs()
    epochs.index = epochs.index.asi8 // 10**9
    independent = enmo_from_bin_files(week.part, week.json)
    bouts = week.minutes[week.minutes.activity.isin(["walk", "run"])].set_index("unix_seconds")
    assert len(bouts) > 7 * 60 and bouts.enmo_mg.max() > 250  # runs are in
    converted = epochs.loc[bouts.index, "enmo_mg"]
    assert np.abs(converted - bouts.enmo_mg).max() <= 2.0
    assert np.abs(independent.loc[bouts.index] - bouts.enmo_mg).max() <= 2.0
    assert np.abs(converted - independent.loc[bouts.index]).max() <= 0.01


def test_days_in_zurich_are_cut_at_local_midnight_across_the_change_to_summer_time(week):
    days = open_session(week.part).days(timezone="Europe/Zurich")
    day_hours = dict(zip(days.index.strftime("%Y-%m-%d"), days.day_hours))
    assert day_hours["2025-03-30"] == 23.0 and day_hours["2025-03-29"] == 24.0 and day_hours["2025-03-31"] == 24.0
    whole = days.loc["2025-03-27":"2025-04-01"]
    assert np.allclose(whole.recorded_hours, whole.day_hours)
    assert np.allclose(days.worn_hours + days.nonworn_hours + days.nodata_hours, days.day_hours)
    # Worn hours per local day as the truth has them, within the few minutes at the ends
    # of each removal.
    truth = week.minutes.copy()
    truth["date"] = pd.to_datetime(truth.unix_seconds, unit="s", utc=True).dt.tz_convert("Europe/Zurich").dt.strftime(
        "%Y-%m-%d")
    worn_truth = truth[truth.state == "wear"].groupby("date").size() / 60
    for date, hours in worn_truth.items():
        assert abs(days.loc[date, "worn_hours"] - hours) <= 0.25, date
    assert (days.valid == (days.worn_hours >= 16)).all()
