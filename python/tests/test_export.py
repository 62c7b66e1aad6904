"""sensconv -export read back by independent readers: MNE for the EDF+/BDF+ files,
xarray (netCDF4 and h5netcdf engines), netCDF4-python and ncdump for the NetCDF file.
The expected values are computed here from the session's .bin files and session.json
(its applied accelerometer calibration), not by the export."""

from __future__ import annotations

import hashlib
import json
import math
import re
import shutil
import subprocess
import warnings
from pathlib import Path

import mne
import netCDF4
import numpy as np
import pytest
import soundfile
import xarray as xr

import sensconv
from conftest import program
from sensconv.channels import read_sparse
from sensconv.timebase import seconds_to_ns

# For session.json written before channels named their conversion (schema version 1).
CONVERSION_OF_V1 = {"qor2/x_accel": "accelerometerCalibration", "qor2/y_accel": "accelerometerCalibration",
                    "qor2/z_accel": "accelerometerCalibration", "jux/x_gyroTemp": "fahrenheitToCelsius",
                    "jux/y_gyroTemp": "fahrenheitToCelsius", "jux/z_gyroTemp": "fahrenheitToCelsius"}
AXIS = {"accel": 0, "accelY": 1, "accelZ": 2}
STANDARD_GRAVITY = 9.80665
ENGINES = ["netcdf4", "h5netcdf"]


def export(*arguments) -> subprocess.CompletedProcess:
    return subprocess.run([program("SENSCONV_BINARY", "sensconv"), "-export", *map(str, arguments)],
                          capture_output=True, text=True)


def folder_digest(folder: Path) -> dict[str, str]:
    return {str(p.relative_to(folder)): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in sorted(folder.rglob("*")) if p.is_file() and "export" not in p.parts}


def physical_values(part: Path, doc: dict, entry: dict) -> np.ndarray:
    """The channel's values in physical units, from its .bin file and session.json."""
    values = np.fromfile(part / entry["file"], dtype="<f4").astype(np.float64)
    conversion = entry.get("conversion", CONVERSION_OF_V1.get(entry["longName"], "unchanged"))
    if conversion == "fahrenheitToCelsius":
        return (values - 32.0) * 5.0 / 9.0
    if conversion != "accelerometerCalibration":
        return values
    calibration = doc.get("accelerometerCalibration") or {
        "offsetMg": [0, 0, 0], "gain": [1, 1, 1], "temperatureCoefficientMgPerC": [0, 0, 0],
        "referenceTemperatureC": 0.0}
    axis = AXIS[entry["name"]]
    temperature_entry = next(c for c in doc["channels"] if c["name"] == "BarTemp")
    temperature = np.fromfile(part / temperature_entry["file"], dtype="<f4").astype(np.float64)
    # Each acceleration sample with the temperature sample at its place in the run of samples.
    at = np.arange(len(values), dtype=np.float64) * temperature_entry["rate"] / entry["rate"]
    paired = temperature[np.minimum(at.astype(np.int64), len(temperature) - 1)]
    return (calibration["offsetMg"][axis] / 1000.0 + calibration["gain"][axis] * (values - 2.0)
            + calibration["temperatureCoefficientMgPerC"][axis] / 1000.0
            * (paired - calibration["referenceTemperatureC"]))


def edf_header(path: Path) -> dict:
    """The fields of an EDF/BDF header that tell how digital values become physical."""
    raw = path.read_bytes()
    count = int(raw[252:256])
    fields = {}
    offset = 256
    for name, width in [("label", 16), ("transducer", 80), ("dimension", 8), ("physmin", 8), ("physmax", 8),
                        ("digmin", 8), ("digmax", 8), ("prefilter", 80), ("samples", 8), ("reserved", 32)]:
        fields[name] = [raw[offset + i * width: offset + (i + 1) * width].decode("ascii").strip() for i in range(count)]
        offset += width * count
    signals = {}
    for i, label in enumerate(fields["label"]):
        low, high = float(fields["physmin"][i]), float(fields["physmax"][i])
        signals[label] = {"step": (high - low) / (int(fields["digmax"][i]) - int(fields["digmin"][i])),
                          "per_record": int(fields["samples"][i]), "dimension": fields["dimension"][i]}
    return {"version": raw[0:8], "reserved": raw[192:236].decode("ascii").strip(),
            "record_seconds": float(raw[244:252]), "records": int(raw[236:244]), "signals": signals}


@pytest.fixture(scope="module")
def exported(paused, tmp_path_factory):
    """A copy of the paused session exported in both formats, and exported a second time."""
    base = tmp_path_factory.mktemp("export")
    part = Path(shutil.copytree(paused.part, base / "part_00"))
    before = folder_digest(part)
    first = export("all", part)
    assert first.returncode == 0, first.stderr
    second = export("all", "-outputdir", base / "again", part)
    assert second.returncode == 0, second.stderr
    assert folder_digest(part) == before, "the export changed the session's files"
    return part, first.stderr, base / "again"


def test_export_lists_what_it_wrote_and_a_second_export_is_byte_identical(exported):
    part, stderr, again = exported
    files = sorted(p.name for p in (part / "export").iterdir())
    doc = json.loads((part / "session.json").read_text())
    # Per input file: the main board (24-bit), the second board (16-bit) and the audio.
    expected = ["part_00.nc"] + [f"part_00_file{f:02d}_{kind}" for f in range(len(doc["files"]))
                                 for kind in ("audio.edf", "jux.edf", "qor2.bdf")]
    assert files == sorted(expected)
    assert re.findall(r"# INFO: Wrote (\S+)", stderr) and "ERROR" not in stderr
    for name in files:
        assert (part / "export" / name).read_bytes() == (again / name).read_bytes(), name


def test_mne_reads_each_edf_file_with_rates_counts_start_values_and_filled_spans(exported):
    part, _, _ = exported
    doc = json.loads((part / "session.json").read_text())
    filled_spans = 0
    for entry in doc["channels"]:
        if not entry["samples"]:
            continue
        name = entry["name"]
        audio = name == "audio"
        if audio:
            with soundfile.SoundFile(str(part / entry["file"])) as sound:
                values = sound.read(dtype="int16").astype(np.float64)
            filled = np.zeros(len(values), dtype=bool)
        else:
            values = physical_values(part, doc, entry)
            filled = np.zeros(len(values), dtype=bool)
            if entry["sparseFile"]:
                filled[read_sparse(part / entry["sparseFile"], entry["samples"])] = True
        for k, anchor in enumerate(entry["anchors"]):
            begin = anchor["index"]
            end = entry["anchors"][k + 1]["index"] if k + 1 < len(entry["anchors"]) else entry["samples"]
            kind = "audio.edf" if audio else "jux.edf" if entry["board"] == "jux" else "qor2.bdf"
            path = part / "export" / f"part_00_file{anchor['file']:02d}_{kind}"
            header = edf_header(path)
            assert header["reserved"] == ("BDF+C" if kind.endswith("bdf") else "EDF+C")
            signal = header["signals"][name]
            read = mne.io.read_raw_bdf if kind.endswith("bdf") else mne.io.read_raw_edf
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                raw = read(str(path), include=[name], preload=True, verbose="error")
            assert raw.info["sfreq"] == pytest.approx(entry["rate"], rel=1e-12)
            assert signal["per_record"] == round(entry["rate"] * header["record_seconds"])
            held = header["records"] * signal["per_record"]
            assert raw.n_times == held and end - begin <= held

            # The start: the header's whole second, and the exact anchor in an annotation.
            anchor_ns = seconds_to_ns(anchor["unixSeconds"])
            assert raw.info["meas_date"].timestamp() == anchor_ns // 1_000_000_000
            start = [d for d in raw.annotations.description if d.startswith("start ")]
            assert len(start) == 1
            text = start[0][len("start "):]
            start_ns = int(np.datetime64(text.rstrip("Z"), "ns").astype(np.int64))
            assert abs(start_ns - anchor_ns) <= 1

            data = raw.get_data()[0][: end - begin]
            assert np.all(np.abs(data - values[begin:end]) <= signal["step"] * (1 + 1e-9)), (name, path.name)
            if audio:
                assert np.array_equal(data, values[begin:end])

            # reject_by_annotation: NaN exactly where this channel was filled (and the
            # padding that completes its last data record).
            mine = [i for i, d in enumerate(raw.annotations.description)
                    if d in (f"BAD_filled {name}", f"BAD_padding {name}")]
            filled_spans += sum(raw.annotations.description[i] == f"BAD_filled {name}" for i in mine)
            raw.set_annotations(raw.annotations[mine] if mine else mne.Annotations([], [], []))
            rejected = np.isnan(raw.get_data(reject_by_annotation="NaN")[0])
            expected = np.concatenate([filled[begin:end], np.ones(held - (end - begin), dtype=bool)])
            assert np.array_equal(rejected, expected), (name, path.name)
    assert filled_spans > 0, "the session has filled samples: their spans must be annotated"


@pytest.mark.parametrize("engine", ENGINES)
def test_xarray_reads_times_values_and_flags_of_the_netcdf_file(exported, engine):
    part, _, _ = exported
    doc = json.loads((part / "session.json").read_text())
    session = sensconv.open_session(part)
    with xr.open_dataset(part / "export" / "part_00.nc", engine=engine) as ds:
        assert ds.attrs["Conventions"] == "CF-1.10"
        checked = 0
        for entry in doc["channels"]:
            if entry["name"] == "audio" or not entry["samples"]:
                continue
            name = entry["name"]
            variable = ds[name]
            assert variable.dtype == np.float32
            dimension = variable.dims[0]
            reader_ns = session.channel(name).times.astype(np.int64)
            file_ns = ds[dimension].values.astype("datetime64[ns]").astype(np.int64)
            assert np.all(np.abs(file_ns - reader_ns) <= 500), name  # to the microsecond
            expected = physical_values(part, doc, entry)
            if variable.attrs["units"] == "m s-2":
                expected = expected * STANDARD_GRAVITY
            assert np.array_equal(variable.values.view(np.uint32), expected.astype(np.float32).view(np.uint32)), name
            flags = ds[variable.attrs["ancillary_variables"]]
            assert list(flags.attrs["flag_values"]) == [0, 1] and flags.attrs["flag_meanings"] == "measured filled"
            assert np.array_equal(flags.values.astype(bool), session.channel(name).filled), name
            checked += 1
        assert checked == sum(1 for c in doc["channels"] if c["name"] != "audio" and c["samples"])


def test_netcdf_time_is_int64_microseconds_without_fill_and_ncdump_shows_cf_attributes(exported):
    path = exported[0] / "export" / "part_00.nc"
    with netCDF4.Dataset(path) as ds:
        times = [v for v in ds.variables.values() if getattr(v, "standard_name", "") == "time"]
        assert times
        for time in times:
            assert time.dtype == np.int64 and "_FillValue" not in time.ncattrs()
            assert time.units == "microseconds since 1970-01-01 00:00:00" and time.calendar == "standard"
            assert np.all(np.diff(time[:]) > 0)
    header = subprocess.run(["ncdump", "-h", str(path)], capture_output=True, text=True, check=True).stdout
    for text in [':Conventions = "CF-1.10"', 'units = "m s-2"', 'units = "hPa"', 'units = "degree_Celsius"',
                 'calendar = "standard"', 'ancillary_variables = "BarPres_filled"', 'flag_meanings = "measured filled"',
                 ':qor2_serial = ', ':accelerometer_gain = 1., 1., 1.']:
        assert text in header, text


def test_the_applied_calibration_reaches_both_exports(part_copy):
    """A session.json of the next schema, with a calibration that is not the nominal one."""
    doc = json.loads((part_copy / "session.json").read_text())
    doc["accelerometerCalibration"] = {"accepted": True, "reason": None, "offsetMg": [12.5, -7.25, 3.0],
                                       "gain": [1.01, 0.99, 1.002], "temperatureCoefficientMgPerC": [0.5, -0.25, 0.1],
                                       "referenceTemperatureC": 25.0}
    (part_copy / "session.json").write_text(json.dumps(doc))
    result = export("all", part_copy)
    assert result.returncode == 0, result.stderr
    with xr.open_dataset(part_copy / "export" / "part_00.nc", engine="netcdf4") as ds:
        assert list(ds.attrs["accelerometer_offset_g"]) == [0.0125, -0.00725, 0.003]
        for name in AXIS:
            entry = next(c for c in doc["channels"] if c["name"] == name)
            expected = (physical_values(part_copy, doc, entry) * STANDARD_GRAVITY).astype(np.float32)
            assert np.array_equal(ds[name].values.view(np.uint32), expected.view(np.uint32)), name
            nominal = doc | {"accelerometerCalibration": None}
            assert not np.allclose(physical_values(part_copy, nominal, entry), expected / STANDARD_GRAVITY)
    entry = next(c for c in doc["channels"] if c["name"] == "accelZ")
    path = part_copy / "export" / "part_00_file00_qor2.bdf"
    raw = mne.io.read_raw_bdf(str(path), include=["accelZ"], preload=True, verbose="error")
    n = entry["anchors"][1]["index"]
    step = edf_header(path)["signals"]["accelZ"]["step"]
    assert np.all(np.abs(raw.get_data()[0][:n] - physical_values(part_copy, doc, entry)[:n]) <= step * (1 + 1e-9))


def test_gps_fixes_are_on_their_own_dimension(demo, tmp_path):
    part = Path(shutil.copytree(demo.part, tmp_path / "part_00"))
    result = export("netcdf", part)
    assert result.returncode == 0, result.stderr
    fixes = sensconv.open_session(part).gps()
    assert len(fixes) > 0
    with xr.open_dataset(part / "export" / "part_00.nc", engine="h5netcdf") as ds:
        assert ds.sizes["gps_fix"] == len(fixes)
        assert np.array_equal(ds["gps_time"].values.astype("datetime64[ns]"),
                              fixes.index.tz_localize(None).values.astype("datetime64[ns]"))
        assert np.array_equal(ds["latitude"].values, fixes["latitude_deg"].to_numpy())
        assert np.array_equal(ds["satellites"].values, fixes["satellites"].to_numpy())


def damage_bin_missing(part):
    (part / "binaryData_BarPres.bin").unlink()


def damage_bin_truncated(part):
    path = part / "binaryData_accel.bin"
    path.write_bytes(path.read_bytes()[:-4])


def edit_json(change):
    def damage(part):
        doc = json.loads((part / "session.json").read_text())
        change(doc)
        (part / "session.json").write_text(json.dumps(doc))
    return damage


def channel_of(doc, name):
    return next(c for c in doc["channels"] if c["name"] == name)


def damage_sparse_beyond_samples(part):
    # Found only while the NetCDF file is being written: no partial file may remain.
    with open(part / "binaryData_gyro.sparse", "a") as stream:
        stream.write("99999999,1\n")


DAMAGES = {
    "bin missing": damage_bin_missing,
    "bin truncated": damage_bin_truncated,
    "session.json cut short": lambda part: (part / "session.json").write_text(
        (part / "session.json").read_text()[:5000]),
    "samples disagree": edit_json(lambda d: channel_of(d, "compass").update(samples=channel_of(d, "compass")["samples"] + 1)),
    "file outside the folder": edit_json(lambda d: channel_of(d, "compass").update(file="../binaryData_compass.bin")),
    "anchors do not rise": edit_json(lambda d: channel_of(d, "gyro")["anchors"].reverse()),
    "unknown channel": edit_json(lambda d: channel_of(d, "compass").update(longName="qor2/nothing")),
    "unfinished conversion": edit_json(lambda d: d.update(status=-1)),
    "calibration of the wrong shape": edit_json(lambda d: d.update(accelerometerCalibration={"gain": [1, 1]})),
    "sparse beyond the samples": damage_sparse_beyond_samples,
}


@pytest.mark.parametrize("damage", DAMAGES.values(), ids=DAMAGES.keys())
def test_damaged_folders_give_an_error_line_and_no_file(part_copy, damage):
    damage(part_copy)
    before = folder_digest(part_copy)
    result = export("netcdf" if damage is damage_sparse_beyond_samples else "all", part_copy)
    assert result.returncode == 255, result.stderr
    lines = result.stderr.splitlines()
    assert lines[-1] == "# ERROR: Exiting"
    assert any(line.startswith("# ERROR: ") and str(part_copy) in line for line in lines[:-1]), result.stderr
    assert not (part_copy / "export").exists() or not any((part_copy / "export").iterdir())
    assert folder_digest(part_copy) == before


def test_unknown_format_and_no_folder_are_refused(part_copy):
    result = export("csv", part_copy)
    assert result.returncode == 253
    assert result.stderr == "# ERROR: Option -export takes edf, netcdf or all, not csv\n# ERROR: Exiting\n"
    assert not (part_copy / "export").exists()
