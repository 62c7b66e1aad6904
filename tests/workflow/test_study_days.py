"""study_days.csv from the workflow, run for real: three participants of simulated days,
one of them with two downloads over a week whose middle day both downloads share.

The binaries come from SENSCONV_BINARY and SNSRSIM_BINARY (ctest sets them).
"""

import csv
import datetime
import os
import subprocess
import zoneinfo

from test_study_workflow import SENSCONV, SNAKEFILE, SNAKEMAKE, SNSRSIM, START

import pytest

DAY = 86400
ZONE = "Europe/Zurich"
# Folder: (start, duration in seconds). P01's downloads meet on their fourth day: the first
# ends at 13:30 UTC, the second starts at 16:00 UTC.
STUDY = {
    "P01/download1": (START, 3 * DAY + 4 * 3600),
    "P01/download2": (START + 3 * DAY + int(6.5 * 3600), 3 * DAY + 12 * 3600),
    "P02": (START + 600, 8 * 3600),
    "P03/visit1": (START + 1800, 30 * 3600),
}
FAST = ["--schedule", "--streams", "qor2", "--rate", "acc=10", "--rate", "amb=0.5", "--rate", "comp=0.5",
        "--rate", "dals=0.5", "--rate", "hum=0.1", "--quiet"]


def local_dates_of_epochs(part):
    """{local date: epochs} of one converted session, counted from its epochs.csv."""
    zone = zoneinfo.ZoneInfo(ZONE)
    counts = {}
    with open(os.path.join(part, "epochs.csv"), newline="") as stream:
        for row in csv.DictReader(stream):
            utc = datetime.datetime.strptime(row["utc"], "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc)
            date = utc.astimezone(zone).date().isoformat()
            counts[date] = counts.get(date, 0) + 1
    return counts


@pytest.mark.skipif(SNAKEMAKE is None, reason="snakemake is not installed")
def test_local_study_days_one_row_per_participant_and_day_merged_across_downloads(tmp_path):
    study = tmp_path / "study"
    for seed, (folder, (start, duration)) in enumerate(STUDY.items(), start=1):
        subprocess.run([SNSRSIM, "--out", str(study / folder), "--start-time", str(start), "--duration",
                        str(duration), "--files", "2", "--seed", str(seed), *FAST], check=True, timeout=300)
    output = tmp_path / "out"
    run = subprocess.run([SNAKEMAKE, "-s", SNAKEFILE, "--directory", str(output), "--cores", "2", "--config",
                          f"study_root={study}", f"sensconv={SENSCONV}", f"timezone={ZONE}"],
                         capture_output=True, text=True, timeout=600, cwd=tmp_path)
    assert run.returncode == 0, run.stderr[-3000:]

    with open(output / "study_days.csv", newline="") as stream:
        rows = list(csv.DictReader(stream))
    keys = [(row["participant"], row["date"]) for row in rows]
    assert len(keys) == len(set(keys)), "a participant's day appears twice"

    for participant in ("P01", "P02", "P03"):
        expected = {}
        folders = [f for f in STUDY if f.split("/")[0] == participant]
        for folder in folders:
            for date, count in local_dates_of_epochs(output / folder / "part_00").items():
                expected.setdefault(date, []).append(count)
        days = {row["date"]: row for row in rows if row["participant"] == participant}
        assert sorted(days) == sorted(expected), participant
        for date, counts in expected.items():
            day = days[date]
            assert float(day["recorded_hours"]) == pytest.approx(sum(counts) / 60), (participant, date)
            assert int(day["sessions"]) == len(counts)
            assert day["timezone"] == ZONE
            assert float(day["worn_hours"]) + float(day["nonworn_hours"]) + float(day["nodata_hours"]) == \
                pytest.approx(float(day["day_hours"]))
    shared = [row for row in rows if row["participant"] == "P01" and row["sessions"] == "2"]
    assert [row["date"] for row in shared] == ["2025-03-17"]
    # Whole days of P01 are worn most of the time and valid by the 16-hour rule.
    whole = [row for row in rows if row["participant"] == "P01" and float(row["recorded_hours"]) == 24.0]
    assert whole and all(row["valid"] == ("true" if float(row["worn_hours"]) >= 16 else "false") for row in whole)
