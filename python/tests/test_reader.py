"""The reader against the simulator's ground truth and the converter's own files."""

from __future__ import annotations

import csv
import os
import shutil
import subprocess
import sys
import warnings
import zipfile

import numpy as np
import pandas as pd
import pytest
import soundfile

import sensconv
from conftest import ROOT, truth_anchors, truth_filled, truth_values
from sensconv import SessionError, SessionTimeWarning
from sensconv.timebase import seconds_to_ns


def open_quietly(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SessionTimeWarning)
        return sensconv.open_session(path)


@pytest.fixture(scope="module")
def session(paused):
    return open_quietly(paused.part)


def sensor_names(session):
    return [n for n in session.channels.index if n != "audio"]


def test_values_and_filled_samples_match_the_files_and_the_truth(session, paused):
    names = sensor_names(session)
    assert len(names) == 24
    for name in names:
        channel = session.channel(name)
        on_disk = np.fromfile(paused.part / f"binaryData_{name}.bin", dtype="<f4")
        assert isinstance(channel.values, np.memmap) or len(on_disk) == 0, name
        assert not channel.values.flags.writeable, name
        assert channel.values.tobytes() == on_disk.tobytes(), name
        assert np.array_equal(channel.values, truth_values(paused.truth_part, name).astype("<f4")), name
        sparse = paused.part / f"binaryData_{name}.sparse"
        listed = [int(line.split(",")[0]) for line in sparse.read_text().splitlines()] if sparse.exists() else []
        assert np.flatnonzero(channel.filled).tolist() == listed == truth_filled(paused.truth_part, name).tolist()
        assert session.channels.loc[name, "filled_samples"] == len(listed)
        assert len(channel.times) == len(channel)


def test_the_audio_reads_back(session, paused):
    expected = np.fromfile(paused.truth_part / "binaryData_audio.f64", dtype="<f8")
    # The converter keeps the low 16 bits of each value truncated toward zero.
    expected = np.trunc(expected).astype(np.int64).astype(np.int16)
    sound = session.audio()
    assert sound.rate == 8000
    assert np.array_equal(sound.samples, expected)
    assert np.array_equal(sound.samples, soundfile.read(paused.part / "completeSensorAudio.wav", dtype="int16")[0])
    piece = session.audio(100_000, 100_010)
    assert np.array_equal(piece.samples, expected[100_000:100_010])
    assert piece.first == sound.times[100_000] == piece.times[0]


def first_sample_errors(session, truth_part):
    """Per channel and input file, how far (in sample periods) the reader puts the
    file's first sample from its true UTC."""
    errors = {}
    for anchor in truth_anchors(truth_part):
        info = session.info(anchor["channel"])
        index = int(anchor["index"])
        placed = int(info.timebase.ns(index, index + 1)[0])
        errors[anchor["channel"], int(anchor["file"])] = (placed - seconds_to_ns(float(anchor["unixSeconds"]))) \
            * info.rate / 1e9
    return errors


def test_every_files_first_sample_is_placed_in_utc_within_one_period(session, paused):
    assert session.json is not None, "the converter wrote no session.json"
    errors = first_sample_errors(session, paused.truth_part)
    assert len(errors) == 23 * 3  # every channel with samples (the audio too), in each file
    assert all(abs(e) <= 1 for e in errors.values()), {k: e for k, e in errors.items() if abs(e) > 1}


def test_gps_rows_equal_gps_csv(demo):
    path = demo.part / "gps.csv"
    table = open_quietly(demo.part).gps()
    with open(path, newline="") as stream:
        rows = list(csv.DictReader(stream))
    assert len(table) == len(rows) > 0
    for (utc, row), expected in zip(table.iterrows(), rows):
        assert utc.strftime("%Y-%m-%dT%H:%M:%S.") + f"{utc.microsecond // 1000:03d}Z" == expected["utc"]
        assert row["session_ms"] == int(expected["session_ms"])
        for column in ("latitude_deg", "longitude_deg", "altitude_m", "speed_mps", "course_deg"):
            assert row[column] == float(expected[column]), column
        assert (np.isnan(row["hdop"]) and expected["hdop"] == "") or row["hdop"] == float(expected["hdop"])
        assert (row["fix_type"], row["satellites"], row["source"]) == (
            int(expected["fix_type"]), int(expected["satellites"]), expected["source"])


def test_tables_mark_filled_samples_and_put_rates_on_one_grid(session):
    accel = session.channel("accel")
    assert accel.filled.any()
    table = session.frame(["accel", "accelY", "accelZ", "accelMag"])
    expected_index = accel.times.astype("int64")
    assert np.array_equal(table.index.asi8, expected_index)
    assert table["accel"].isna().to_numpy().tolist() == accel.filled.tolist()
    # Physical values by default, the .bin values on request.
    kept = session.frame("accel", filled="keep", raw=True)
    assert np.array_equal(kept["accel"].to_numpy(), accel.values)
    assert kept.attrs["units"] == {"accel": "Gs"}
    physical = session.frame("accel", filled="keep")
    assert np.array_equal(physical["accel"].to_numpy(), accel.physical)
    assert physical.attrs["units"] == {"accel": "[g]"}

    with pytest.raises(ValueError, match="different rates"):
        session.frame(["accel", "BarPres"])
    grid = session.frame(["accel", "BarPres"], rate=1.0, method="mean", raw=True)
    assert grid.attrs["grid"] == {"rate": 1.0, "method": "mean"}
    assert (np.diff(grid.index.asi8) == 10**9).all() and grid.index.asi8[0] % 10**9 == 0
    ns, values = accel.timebase.ns(), np.where(accel.filled, np.nan, accel.values)
    for row in (5, 60):
        start = grid.index.asi8[row]
        inside = (ns >= start) & (ns < start + 10**9)
        assert grid["accel"].iloc[row] == pytest.approx(np.nanmean(values[inside]))
    assert grid.iloc[41].isna().all()  # the pause between the first two files
    linear = session.frame(["BarPres"], rate=4.0, method="linear")["BarPres"]
    pressure = session.channel("BarPres")
    p_ns, p_values = pressure.timebase.ns(), pressure.values.astype(float)
    # Between two neighbouring real samples the line is the straight one between them.
    for t, value in linear.dropna().iloc[10:30].items():
        k = np.searchsorted(p_ns, t.value)
        if p_ns[k] == t.value:
            assert value == p_values[k]
        else:
            assert value == pytest.approx(np.interp(t.value, p_ns[k - 1:k + 1], p_values[k - 1:k + 1]))
    with pytest.raises(ValueError, match="filled"):
        session.frame("accel", filled="drop")


def test_images_are_listed_with_their_times(session, paused):
    images = session.images()
    on_disk = sorted(os.listdir(paused.part / "images"))
    assert [os.path.basename(p) for p in images["path"]] == on_disk
    assert images["session_ms"].tolist() == [int(name[:11]) for name in on_disk]
    assert images.index.is_monotonic_increasing
    if session.json is not None:
        # An image of the first file lies its name's milliseconds after the main
        # board's time began in UTC, give or take the board clock's drift (40 ppm).
        zero = next(float(a["unixSeconds"]) for a in truth_anchors(paused.truth_part)
                    if a["channel"] == "audio" and a["file"] == "0")
        first_file = images[images["session_ms"] < 40_000]  # the files last 40 s
        expected = pd.to_datetime(seconds_to_ns(zero) + first_file["session_ms"].to_numpy() * 10**6, utc=True)
        allowed = pd.to_timedelta(1 + first_file["session_ms"].to_numpy() * 50e-6, unit="ms")
        assert len(first_file) >= 2
        assert (abs(first_file.index - expected) <= allowed).all()


def test_output_without_session_json_opens_from_meta_files_with_session_time(part_copy, paused):
    (part_copy / "session.json").unlink(missing_ok=True)
    with pytest.warns(SessionTimeWarning, match="no session.json"):
        older = sensconv.open_session(part_copy)
    assert not older.utc
    pressure = older.channel("BarPres")
    assert np.array_equal(pressure.values, np.fromfile(paused.part / "binaryData_BarPres.bin", dtype="<f4"))
    assert pressure.times.dtype == np.dtype("timedelta64[ns]")
    assert isinstance(older.frame("BarPres").index, pd.TimedeltaIndex)
    # Boards and units are the converter's table's: such a folder does not say them.
    assert older.channels.loc["gyro", ["board", "unit"]].tolist() == ["jux", "degrees"]
    assert older.channels.loc["ShtHumid", ["board", "unit"]].tolist() == ["qor2", "% relative humidity"]

    # A channel the table does not know keeps its values, with no board and no unit.
    meta = (part_copy / "binaryData_BarPres.meta").read_text().replace('"Name","BarPres"', '"Name","newSensor"')
    (part_copy / "binaryData_newSensor.meta").write_text(meta)
    (part_copy / "binaryData_newSensor.bin").write_bytes((part_copy / "binaryData_BarPres.bin").read_bytes())
    with pytest.warns(UserWarning, match="no channel 'newSensor': its board and unit are unknown"):
        unknown = sensconv.open_session(part_copy)
    assert unknown.channels.loc["newSensor", ["board", "unit"]].isna().all()
    assert [name for name in unknown.channels.index if name != "audio"][-1] == "newSensor"  # after the table's
    assert np.array_equal(unknown.channel("newSensor").values, pressure.values)


def truncate(path, by):
    size = os.path.getsize(path)
    with open(path, "r+b") as stream:
        stream.truncate(size - by)


def interrupted(part):
    # What a run that stops before the session ends leaves: the channels' .meta
    # files are created at the start and written at the end; the session's own
    # description files come last.
    for name in ("session.json", "binaryData.meta"):
        (part / name).unlink(missing_ok=True)
    for meta in part.glob("binaryData_*.meta"):
        meta.write_bytes(b"")


DAMAGE = {
    "truncated .bin": (lambda p: truncate(p / "binaryData_BarPres.bin", 6), "binaryData_BarPres.bin",
                       "not a whole number|truncated"),
    "truncated by whole samples": (lambda p: truncate(p / "binaryData_gyro.bin", 8), "binaryData_gyro.bin",
                                   "truncated"),
    "missing .meta": (lambda p: (p / "binaryData_gyro.meta").unlink(), "binaryData_gyro.meta", "missing"),
    "interrupted run": (interrupted, ".meta", "did not finish"),
    "damaged .sparse": (lambda p: (p / "binaryData_accel.sparse").write_text("12,1\nx,1\n"),
                        "binaryData_accel.sparse", "line 2"),
    "cut session.json": (lambda p: (p / "session.json").write_bytes((p / "session.json").read_bytes()[:200]),
                         "session.json", "not valid JSON"),
    "truncated WAV": (lambda p: truncate(p / "completeSensorAudio.wav", 1000), "completeSensorAudio.wav",
                      "holds|cannot be read"),
}


@pytest.mark.parametrize("damage", list(DAMAGE))
def test_damaged_folders_raise_errors_naming_the_file(part_copy, damage):
    spoil, file, problem = DAMAGE[damage]
    spoil(part_copy)
    with pytest.raises(SessionError, match=problem) as raised:
        session = open_quietly(part_copy)
        session.channel("BarPres").filled
        session.channel("gyro").values
        session.channel("accel").filled
        session.audio()
    assert file in raised.value.path


def test_the_built_package_holds_the_schema_of_docs(tmp_path):
    """session.json is checked against docs/session.schema.json; an installed package
    has no docs/, so the wheel must hold the schema itself."""
    shutil.copytree(ROOT / "python", tmp_path / "python", symlinks=True,
                    ignore=shutil.ignore_patterns("tests", "build", "*.egg-info", "__pycache__"))
    shutil.copytree(ROOT / "docs", tmp_path / "docs")
    built = subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-q",
                            "-w", str(tmp_path / "wheel"), str(tmp_path / "python")],
                           capture_output=True, text=True, timeout=300)
    if built.returncode != 0 and "No module named pip" in built.stderr:
        pytest.skip("pip is not installed")
    assert built.returncode == 0, built.stderr
    (wheel,) = (tmp_path / "wheel").glob("sensconv-*.whl")
    with zipfile.ZipFile(wheel) as archive:
        assert archive.read("sensconv/session.schema.json") == (ROOT / "docs" / "session.schema.json").read_bytes()
