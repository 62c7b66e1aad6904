"""Physical values: the acceleration calibrated by the converter's fit, against the
simulator's truth of the wearer's rests; folders of schema 1 with the nominal conversion."""

import json

import numpy as np
import pandas as pd
import pytest

import sensconv
from sensconv.errors import SessionTimeWarning

from conftest import simulate_and_convert

MISCALIBRATED = ["--duration", "14400", "--files", "2", "--streams", "qor2", "--rate", "acc=10", "--seed", "3",
                 "--accel-offset", "60,-80,40", "--accel-gain", "3,-5,2", "--accel-temperature", "1.5,-2,1"]


@pytest.fixture(scope="module")
def miscalibrated(tmp_path_factory):
    return simulate_and_convert(tmp_path_factory.mktemp("miscalibrated"), MISCALIBRATED)


def test_calibrated_acceleration_lies_on_the_unit_sphere_when_still(miscalibrated):
    session = sensconv.open_session(miscalibrated.part)
    assert session.accelerometer_calibration["accepted"]
    table = session.acceleration()
    assert table.attrs["units"] == {"accel": "[g]", "accelY": "[g]", "accelZ": "[g]", "magnitude": "[g]"}
    rests = pd.read_csv(miscalibrated.truth_part / "stillPeriods.csv")
    times = table.index.asi8 / 1e9
    magnitudes, raw_magnitudes = [], []
    raw = session.frame(["accel", "accelY", "accelZ"], raw=True)
    for rest in rests.itertuples():
        # Whole 10 s windows inside the rest, clear of its edges.
        for start in np.arange(rest.startUnixSeconds + 1.0, rest.endUnixSeconds - 11.0, 10.0):
            inside = (times >= start) & (times < start + 10.0)
            mean = table.loc[inside, ["accel", "accelY", "accelZ"]].mean().to_numpy()
            magnitudes.append(np.linalg.norm(mean))
            raw_magnitudes.append(np.linalg.norm(raw.loc[inside].mean().to_numpy() - 2.0))
    assert len(magnitudes) > 200
    assert abs(np.mean(magnitudes) - 1.0) <= 0.003
    assert np.max(np.abs(np.array(magnitudes) - 1.0)) <= 0.01
    # The nominal conversion is visibly off, and accelMag is no acceleration at all.
    assert np.mean(np.abs(np.array(raw_magnitudes) - 1.0)) > 0.02
    assert session.channel("accelMag").ucum == "{count}"


def test_units_come_from_the_channel_table(paused):
    session = sensconv.open_session(paused.part)
    frame = session.frame(["gyroTemp", "gyroTempY"])
    assert frame.attrs["units"] == {"gyroTemp": "Cel", "gyroTempY": "Cel"}
    gyro = session.channel("gyroTemp")
    assert np.allclose(gyro.physical, (gyro.values.astype(np.float64) - 32.0) * 5.0 / 9.0)
    assert 20.0 < np.nanmedian(frame["gyroTemp"]) < 45.0
    assert session.frame("BarPres").attrs["units"] == {"BarPres": "hPa"}
    assert session.frame("BarPres", raw=True).attrs["units"] == {"BarPres": "bar"}


def test_a_folder_of_schema_1_opens_with_the_nominal_conversion(part_copy):
    doc = json.loads((part_copy / "session.json").read_text())
    doc["schemaVersion"] = 1
    doc.pop("accelerometerCalibration")
    for channel in doc["channels"]:
        for key in ("quantity", "ucum", "conversion", "uncalibrated"):
            channel.pop(key)
    (part_copy / "session.json").write_text(json.dumps(doc))
    with pytest.warns(SessionTimeWarning, match="nominal conversion"):
        older = sensconv.open_session(part_copy)
    accel = older.channel("accel")
    assert np.allclose(accel.physical, accel.values.astype(np.float64) - 2.0)
    assert older.frame("accel").attrs["units"] == {"accel": "[g]"}
