"""Recordings for the reader's tests: simulated by snsrsim (with its ground truth)
and converted by sensconv, both the real programs of this build."""

from __future__ import annotations

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


@pytest.fixture(scope="session")
def demo(tmp_path_factory) -> SimpleNamespace:
    """The demo's recording converted with -scandir: ``out`` (part_00, part_01) and
    ``truth`` (the simulator's ground truth, same layout)."""
    base = tmp_path_factory.mktemp("demo")
    subprocess.run([program("SNSRSIM_BINARY", "tools/snsrsim"), "--out", str(base / "rec"), "--truth",
                    str(base / "truth"), "--quiet", *DEMO_OPTIONS], check=True)
    converted = subprocess.run([program("SENSCONV_BINARY", "sensconv"), "-scandir", str(base / "rec"),
                                "-outputdir", str(base / "out")], capture_output=True, text=True)
    assert converted.returncode == 0, converted.stderr[-2000:]
    return SimpleNamespace(out=base / "out", truth=base / "truth", part=base / "out" / "part_00",
                           truth_part=base / "truth" / "part_00")


@pytest.fixture
def part_copy(demo, tmp_path) -> Path:
    """A copy of the demo's first session, to damage."""
    return Path(shutil.copytree(demo.part, tmp_path / "part_00"))


def truth_values(truth_part: Path, name: str) -> np.ndarray:
    return np.fromfile(truth_part / f"binaryData_{name}.f64", dtype="<f8")


def truth_filled(truth_part: Path, name: str) -> np.ndarray:
    path = truth_part / f"binaryData_{name}.sparse"
    if not path.exists():
        return np.empty(0, dtype=np.int64)
    return np.array([int(line.split(",")[0]) for line in path.read_text().splitlines()], dtype=np.int64)


def truth_file_starts(truth_part: Path, name: str, board: str) -> list[int]:
    """Where each input file's samples of a channel begin in its output, from the
    truth alone: a file holds the samples it delivered plus those filled in before
    them, so its end is found by taking in its filled positions until none is left."""
    received = []
    for line in (truth_part / "expected.meta").read_text().splitlines():
        key, _, value = line.partition(",")
        if key == f'"{board}_recvieved_{name}"':
            received.append(int(value))
    filled = truth_filled(truth_part, name)
    starts, start = [], 0
    for count in received:
        starts.append(start)
        end = start + count
        while True:
            grown = start + count + int(np.count_nonzero((filled >= start) & (filled < end)))
            if grown == end:
                break
            end = grown
        start = end
    return starts
