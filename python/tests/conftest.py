"""Recordings for the reader's tests: simulated by snsrsim (with its ground truth)
and converted by sensconv, both the real programs of this build."""

from __future__ import annotations

import csv
import os
import shutil
import subprocess
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
# The options of scripts/demo: two sessions of two files, a few lost and damaged packets.
DEMO_OPTIONS = ["--sessions", "2", "--files", "2", "--duration", "90", "--gap", "300", "--drop", "0.0005",
                "--bad-checksum", "0.0005", "--corrupt", "0.0005", "--bad-images", "1", "--seed", "2024"]


def program(variable: str, built: str) -> str:
    """A program of this build: from the environment (as ctest passes it) or build/."""
    path = Path(os.environ.get(variable) or ROOT / "build" / built)
    if not path.is_file():
        pytest.fail(f"{path} is missing: build it (make test) or set {variable}")
    return str(path)


# One session of three files with pauses between them and board clocks that drift
# against the recorder's: the times of the samples must still come out right.
PAUSED_OPTIONS = ["--files", "3", "--duration", "120", "--file-gap", "4", "--qor2-drift", "40", "--jux-drift", "-25",
                  "--damaged", "--seed", "5"]


def simulate_and_convert(base: Path, options: list[str]) -> SimpleNamespace:
    """``out`` (part_00, ...) converted with -scandir and ``truth`` (the simulator's
    ground truth, same layout); ``part`` and ``truth_part`` are the first session's."""
    subprocess.run([program("SNSRSIM_BINARY", "tools/snsrsim"), "--out", str(base / "rec"), "--truth",
                    str(base / "truth"), "--quiet", *options], check=True)
    converted = subprocess.run([program("SENSCONV_BINARY", "sensconv"), "-scandir", str(base / "rec"),
                                "-outputdir", str(base / "out")], capture_output=True, text=True)
    assert converted.returncode == 0, converted.stderr[-2000:]
    return SimpleNamespace(out=base / "out", truth=base / "truth", part=base / "out" / "part_00",
                           truth_part=base / "truth" / "part_00")


@pytest.fixture(scope="session")
def demo(tmp_path_factory) -> SimpleNamespace:
    """The demo's recording (two sessions), converted."""
    return simulate_and_convert(tmp_path_factory.mktemp("demo"), DEMO_OPTIONS)


@pytest.fixture(scope="session")
def paused(tmp_path_factory) -> SimpleNamespace:
    """A session of files with pauses between them and drifting clocks, converted."""
    return simulate_and_convert(tmp_path_factory.mktemp("paused"), PAUSED_OPTIONS)


@pytest.fixture(scope="session")
def small(tmp_path_factory) -> SimpleNamespace:
    """A short session (two files, some lost samples, GPS), to copy many times over."""
    return simulate_and_convert(tmp_path_factory.mktemp("small"),
                                ["--files", "2", "--duration", "10", "--drop", "0.01", "--seed", "3"])


@pytest.fixture
def part_copy(paused, tmp_path) -> Path:
    """A copy of a converted session, to damage."""
    return Path(shutil.copytree(paused.part, tmp_path / "part_00"))


def truth_values(truth_part: Path, name: str) -> np.ndarray:
    return np.fromfile(truth_part / f"binaryData_{name}.f64", dtype="<f8")


def truth_filled(truth_part: Path, name: str) -> np.ndarray:
    path = truth_part / f"binaryData_{name}.sparse"
    if not path.exists():
        return np.empty(0, dtype=np.int64)
    return np.array([int(line.split(",")[0]) for line in path.read_text().splitlines()], dtype=np.int64)


def truth_anchors(truth_part: Path) -> list[dict]:
    """Per channel and input file, where the file's first sample stands in the
    channel's output and its true UTC."""
    with open(truth_part / "anchors.csv", newline="") as stream:
        return list(csv.DictReader(stream))
