#!/usr/bin/python3
"""The study's days: one row per participant and local calendar day, from every
session's epochs.csv, in study_days.csv.

The participant is the first `participant_depth` folder levels of a recording folder's
path below the study root ("P01/visit2" is participant "P01" at depth 1). A day that
spans two sessions, or two downloads of one participant, is one row: the epochs of all
of them are put together before the day is cut (sensconv.activity.days). The days are
calendar days in `timezone` (an IANA name), 23 or 25 hours long where the clocks change.

The workflow calls write_days() at its end; by hand:

    /usr/bin/python3 workflow/scripts/study_days.py OUTPUT_ROOT --timezone Europe/Zurich
"""

import argparse
import os
import sys

import pandas as pd

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))

from sensconv import activity  # noqa: E402  (the repository's reader, found through the line above)

import study_summary  # noqa: E402

DAYS_CSV = "study_days.csv"
DAY_COLUMNS = ["participant", "date", *activity.DAY_COLUMNS, "sessions"]


def participant_of(folder, depth):
    """The participant of a recording folder: its first `depth` path levels."""
    parts = [part for part in folder.replace(os.sep, "/").split("/") if part and part != "."]
    return "/".join(parts[:max(depth, 1)])


def participant_epochs(output_root, folders, depth):
    """{participant: [(session label, epochs frame), ...]} of every converted session."""
    found = {}
    for folder in folders:
        for part in study_summary._parts(os.path.join(output_root, folder)):
            if not os.path.exists(os.path.join(part.path, activity.EPOCHS_FILE)):
                continue
            label = f"{folder}/{part.name}"
            found.setdefault(participant_of(folder, depth), []).append((label, activity.read_epochs(part.path)))
    return found


def day_rows(output_root, folders, timezone, depth=1, valid_hours=activity.VALID_DAY_HOURS):
    rows = []
    for participant, sessions in sorted(participant_epochs(output_root, folders, depth).items()):
        frames = [frame for _, frame in sessions]
        table = activity.days(frames, timezone, valid_hours=valid_hours)
        for date, day in table.iterrows():
            start = date.tz_localize(timezone, ambiguous=True, nonexistent="shift_forward")
            end = (date + pd.Timedelta(days=1)).tz_localize(timezone, ambiguous=True,
                                                                     nonexistent="shift_forward")
            contributing = sum(1 for frame in frames
                               if len(frame) and frame.index[0] < end and frame.index[-1] >= start)
            row = {"participant": participant, "date": date.strftime("%Y-%m-%d")}
            for column in activity.DAY_COLUMNS:
                value = day[column]
                row[column] = "" if isinstance(value, float) and value != value else value
            for column in ("day_hours", "recorded_hours", "worn_hours", "nonworn_hours", "nodata_hours"):
                row[column] = f"{day[column]:.4f}"
            if row["mean_enmo_mg"] != "":
                row["mean_enmo_mg"] = f"{day['mean_enmo_mg']:.3f}"
            row["minutes_enmo_above_100mg"] = f"{day['minutes_enmo_above_100mg']:g}"
            row["valid"] = "true" if day["valid"] else "false"
            row["sessions"] = contributing
            rows.append(row)
    return rows


def write_days(output_root, folders, timezone, depth=1, valid_hours=activity.VALID_DAY_HOURS):
    """Writes output_root/study_days.csv; returns its rows."""
    rows = day_rows(output_root, folders, timezone, depth, valid_hours)
    study_summary._write_csv(os.path.join(output_root, DAYS_CSV), DAY_COLUMNS, rows)
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output_root")
    parser.add_argument("--timezone", default="UTC")
    parser.add_argument("--participant-depth", type=int, default=1)
    parser.add_argument("--valid-hours", type=float, default=activity.VALID_DAY_HOURS)
    arguments = parser.parse_args(argv)
    folders = study_summary.folders_with_records(arguments.output_root)
    write_days(arguments.output_root, folders, arguments.timezone, arguments.participant_depth, arguments.valid_hours)
    return 0


if __name__ == "__main__":
    sys.exit(main())
