#!/usr/bin/python3
"""One folder's conversion, as a job of the study workflow runs it.

    convert_folder.py --converter=build/sensconv --recordings=STUDY/P01/day1 \\
        --outdir=P01/day1 --log=P01/day1/sensconv.log --done=P01/day1/sensconv.done \\
        -- [converter options]

Runs ``sensconv [options] -scandir RECORDINGS/ -outputdir OUTDIR/`` with every message
in the log, and leaves a record of the attempt beside the output: ``sensconv.done`` only
when the conversion succeeded, ``sensconv.failed`` otherwise (exit status and the last
error line, read by the study summary). The exit status is the converter's, so that
Snakemake redoes a failed folder on the next run.

Before converting, the part_NN folders of an earlier attempt are removed: a folder that
now holds fewer sessions must not keep stale ones. Nothing else in the output folder is
touched; output folders of nested recording folders stay as they are.
"""

import argparse
import datetime
import json
import os
import resource
import shlex
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import study_summary  # noqa: E402

PART_FOLDER = study_summary.PART_FOLDER


def utc_now():
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds").replace(
        "+00:00", "Z")


def sync_folder(folder):
    descriptor = os.open(folder or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def write_json(path, record):
    """Puts the record in place whole and on disk: a power loss leaves the old record or
    the new one, never a record of output that is not on disk yet. The converter's
    output (in the same folder) and the record's own bytes reach the disk before the
    rename, the rename itself after it."""
    folder = os.path.dirname(path)
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as stream:
        json.dump(record, stream, indent=2)
        stream.write("\n")
        stream.flush()
        os.fsync(stream.fileno())
    sync_folder(folder)
    os.replace(temporary, path)
    sync_folder(folder)


def remove_earlier_output(outdir, done, failed):
    for path in (done, failed):
        if os.path.lexists(path):
            os.remove(path)
    for entry in os.scandir(outdir):
        if PART_FOLDER.fullmatch(entry.name) and entry.is_dir(follow_symlinks=False):
            shutil.rmtree(entry.path)


def exit_status_text(returncode):
    """The status as a shell shows it (0-255), or the signal that ended the converter."""
    if returncode < 0:
        try:
            return signal.Signals(-returncode).name
        except ValueError:
            return f"signal {-returncode}"
    return str(returncode)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--converter", required=True)
    parser.add_argument("--recordings", required=True)
    parser.add_argument("--outdir", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--done", required=True)
    parser.add_argument("options", nargs="*")
    arguments = parser.parse_args()

    outdir = arguments.outdir
    failed = os.path.join(outdir, study_summary.FAILED_RECORD)
    os.makedirs(outdir, exist_ok=True)
    remove_earlier_output(outdir, arguments.done, failed)

    command = [arguments.converter, *arguments.options,
               "-scandir", os.path.join(arguments.recordings, ""),
               "-outputdir", os.path.join(outdir, "")]
    record = {
        "folder": arguments.recordings,
        "command": command,
        "host": os.uname().nodename,
        "slurmJobId": os.environ.get("SLURM_JOB_ID"),
        "started": utc_now(),
        "finished": None,
        "exitStatus": None,
        "lastError": "the conversion did not finish (interrupted, out of time or out of memory)",
    }
    # Until the converter returns, the folder counts as failed: a job that is killed
    # leaves this record behind.
    write_json(failed, record)

    began = time.monotonic()
    with open(arguments.log, "w", encoding="utf-8") as log:
        log.write("# " + shlex.join(command) + "\n")
        log.flush()
        returncode = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=log,
                                    stderr=subprocess.STDOUT, check=False).returncode

    record["finished"] = utc_now()
    record["wallSeconds"] = round(time.monotonic() - began, 3)
    record["peakMemoryMB"] = round(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024, 1)
    record["exitStatus"] = exit_status_text(returncode)
    if returncode == 0:
        record["lastError"] = None
        write_json(arguments.done, record)
        os.remove(failed)
        return 0
    # A converter ended by a signal wrote no error of its own: its last line says nothing.
    record["lastError"] = (f"the converter was ended by {record['exitStatus']}" if returncode < 0
                           else study_summary.last_error_line(arguments.log))
    write_json(failed, record)
    return returncode if returncode > 0 else 128 - returncode


if __name__ == "__main__":
    sys.exit(main())
