#!/usr/bin/python3
"""One converted folder's export, as a job of the study workflow runs it.

    export_folder.py --converter build/sensconv --outdir P01/day1 \\
        --log P01/day1/sensconv-export.log --done P01/day1/sensconv.exported -- edf netcdf

Runs ``sensconv -export FORMAT OUTDIR/part_NN ...`` for each format, every message in
the log; each session's export goes into its part_NN/export/ folder. ``--done`` is
written only when every export succeeded; the exit status is the converter's first
failing one, so that Snakemake redoes the folder on the next run.
"""

import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import study_summary  # noqa: E402

PART_FOLDER = study_summary.PART_FOLDER


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--converter", required=True)
    parser.add_argument("--outdir", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--done", required=True)
    parser.add_argument("formats", nargs="+")
    arguments = parser.parse_args()
    if os.path.lexists(arguments.done):
        os.remove(arguments.done)
    parts = sorted(entry.path for entry in os.scandir(arguments.outdir)
                   if PART_FOLDER.fullmatch(entry.name) and entry.is_dir(follow_symlinks=False))
    status = 0
    with open(arguments.log, "w", encoding="utf-8") as log:
        for export_format in dict.fromkeys(arguments.formats):
            if not parts:
                break
            command = [arguments.converter, "-export", export_format, *parts]
            log.write("# " + " ".join(command) + "\n")
            log.flush()
            run = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            if run.returncode != 0 and status == 0:
                status = run.returncode if run.returncode > 0 else 1
    if status == 0:
        with open(arguments.done, "w", encoding="utf-8") as stream:
            stream.write(f"exported {len(parts)} sessions as {' '.join(arguments.formats)}\n")
    return status


if __name__ == "__main__":
    sys.exit(main())
