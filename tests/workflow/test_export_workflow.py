"""The study workflow's `export:` setting, run for real with Snakemake on this machine:
every converted session gets its exports, byte for byte those of a direct
`sensconv -export`, and a second run does nothing."""

import os
import subprocess

import pytest

from test_study_workflow import RUN_TIMEOUT, SENSCONV, SNAKEFILE, SNAKEMAKE, simulate


def run_with_export(output_root, study):
    command = [SNAKEMAKE, "-s", SNAKEFILE, "--directory", output_root, "--cores", "2", "--keep-going",
               "--rerun-incomplete", "--config", f"study_root={study}", f"sensconv={SENSCONV}", "export=[edf,netcdf]"]
    return subprocess.run(command, capture_output=True, text=True, timeout=RUN_TIMEOUT,
                          cwd=os.path.dirname(output_root))


def test_local_export_setting_exports_every_session_once(tmp_path):
    if SNAKEMAKE is None:
        pytest.skip("snakemake is not installed (scripts/install-deps installs it)")
    study, output_root = str(tmp_path / "study"), str(tmp_path / "converted")
    simulate(os.path.join(study, "P01"), sessions=2, files=1, seed=7, start=1741944600)
    run = run_with_export(output_root, study)
    assert run.returncode == 0, run.stderr[-3000:]
    parts = sorted(os.path.join(output_root, "P01", p) for p in os.listdir(os.path.join(output_root, "P01"))
                   if p.startswith("part_"))
    assert len(parts) == 2
    assert os.path.exists(os.path.join(output_root, "P01", "sensconv.exported"))

    reference = tmp_path / "reference"
    direct = subprocess.run([SENSCONV, "-export", "all", "-outputdir", str(reference), *parts],
                            capture_output=True, text=True)
    assert direct.returncode == 0, direct.stderr
    for part in parts:
        exported = sorted(os.listdir(os.path.join(part, "export")))
        name = os.path.basename(part)
        assert f"{name}.nc" in exported and f"{name}_file00_qor2.bdf" in exported
        for file in exported:
            with open(os.path.join(part, "export", file), "rb") as ours:
                assert ours.read() == (reference / file).read_bytes(), file

    again = run_with_export(output_root, study)
    assert again.returncode == 0 and "Nothing to be done" in again.stdout + again.stderr
