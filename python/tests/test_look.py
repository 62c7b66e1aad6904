"""The quick look and the summary, drawn and printed from the demo's recording."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
from matplotlib.image import imread

from sensconv.look import ACTIVITY_PANEL, AUDIO_PANEL, GPS_PANEL, GROUPS, IMAGES_PANEL

PYTHON_PATH = str(Path(__file__).resolve().parents[1])


def run_module(*args: str) -> subprocess.CompletedProcess:
    environment = dict(os.environ, PYTHONPATH=PYTHON_PATH, MPLBACKEND="Agg")
    return subprocess.run([sys.executable, "-m", "sensconv", *args], capture_output=True, text=True,
                          env=environment, check=False)


def test_the_quick_look_draws_every_panel(demo, tmp_path):
    from sensconv.look import quicklook

    result = quicklook(demo.part, tmp_path / "look.png", width=1600, height=1500)
    assert (tmp_path / "look.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    image = imread(tmp_path / "look.png")
    assert image.shape[:2] == (1500, 1600)
    assert set(result.panels) == {name for name, _ in GROUPS} | {AUDIO_PANEL, ACTIVITY_PANEL, IMAGES_PANEL, GPS_PANEL}
    rgb = image[..., :3]
    for name, (left, top, right, bottom) in result.panels.items():
        inside = rgb[top + 3:bottom - 3, left + 3:right - 3]
        drawn = np.count_nonzero(inside.min(axis=2) < 0.9)
        coloured = np.count_nonzero(inside.max(axis=2) - inside.min(axis=2) > 0.25)
        assert drawn > 100, f"panel {name} is blank"
        if name not in ("Power", IMAGES_PANEL) and (name != GPS_PANEL or (demo.part / "gps.csv").exists()):
            assert coloured > 200, f"panel {name} shows no data"


def test_look_and_summary_commands(demo):
    looked = run_module("look", str(demo.out / "part_00"), str(demo.out / "part_01"))
    assert looked.returncode == 0, looked.stderr
    written = looked.stdout.split()
    assert written == [str(demo.out / p / "quicklook.png") for p in ("part_00", "part_01")]
    assert all(Path(p).stat().st_size > 10_000 for p in written)

    summary = run_module("summary", str(demo.out))
    assert summary.returncode == 0, summary.stderr
    lines = summary.stdout.splitlines()
    assert lines[0].split()[:2] == ["session", "start"] and len(lines) == 3
    for line, part in zip(lines[1:], ("part_00", "part_01")):
        fields = line.split()
        images = len(os.listdir(demo.out / part / "images"))
        assert fields[0] == str(demo.out / part) and fields[-1] == str(images)
        assert "0:01:2" in line or "0:01:3" in line  # about 90 s

    failed = run_module("summary", str(demo.out / "nowhere"))
    assert failed.returncode == 1 and "not a directory" in failed.stderr
