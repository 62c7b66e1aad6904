"""The study workflow, run for real: a simulated study of three participants converted by
Snakemake on this machine and on a Slurm cluster that the test starts, each folder's output
compared byte for byte with a direct `sensconv -scandir` of that folder.

The binaries come from SENSCONV_BINARY and SNSRSIM_BINARY (ctest sets them).
"""

import csv
import datetime
import os
import shutil
import subprocess
import tempfile
import time

import pytest

from slurm_cluster import SlurmCluster

REPOSITORY = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SNAKEFILE = os.path.join(REPOSITORY, "workflow", "Snakefile")
SLURM_PROFILE = os.path.join(REPOSITORY, "workflow", "profiles", "slurm")
SENSCONV = os.path.abspath(os.environ.get("SENSCONV_BINARY", os.path.join(REPOSITORY, "build", "sensconv")))
SNSRSIM = os.environ.get("SNSRSIM_BINARY", os.path.join(REPOSITORY, "build", "tools", "snsrsim"))
SNAKEMAKE = shutil.which("snakemake")

RUN_TIMEOUT = 300
START = 1741944600  # the simulator's default start, 2025-03-14T09:30:00Z
WEEK = 7 * 24 * 3600
DURATION = 20
GAP = 120

# The study: recording folders at two depths, one inside another (P01's first download,
# its second in a subfolder), two sessions in one folder, a damaged folder and one whose
# only file is too short to convert (exit status 254).
LAYOUT = {
    "P01": dict(sessions=2, files=2, seed=1, start=START),
    "P01/visit2": dict(sessions=1, files=1, seed=2, start=START + WEEK),
    "P02/visit1": dict(sessions=1, files=2, seed=3, start=START + 3600, damaged=True),
    "P02/visit2": dict(sessions=1, files=1, seed=4, start=START + 3600 + WEEK),
}
FAILING = "P03"
FAILING_STATUS = "254"
FAILING_ERROR = "# ERROR: There are no SNSR Files to parse"


def simulate(folder, sessions, files, seed, start, damaged=False):
    command = [SNSRSIM, "--out", folder, "--duration", str(DURATION), "--files", str(files),
               "--sessions", str(sessions), "--gap", str(GAP), "--seed", str(seed),
               "--start-time", str(start), "--quiet"]
    subprocess.run(command + (["--damaged"] if damaged else []), check=True, timeout=120)


def make_study(root):
    for folder, settings in LAYOUT.items():
        simulate(os.path.join(root, folder), **settings)
    # A file of a real recording cut to 600 bytes: the converter screens it out.
    with open(os.path.join(root, "P01/20250314_093000_000.snsr"), "rb") as whole:
        head = whole.read(600)
    os.makedirs(os.path.join(root, FAILING))
    with open(os.path.join(root, FAILING, "20250401_080000_000.snsr"), "wb") as cut:
        cut.write(head)
    with open(os.path.join(root, FAILING, "notes.txt"), "w") as notes:
        notes.write("battery died after a minute\n")
    return dict(LAYOUT)


def without_run_times(name, content):
    """The bytes that do not depend on when the converter ran: binaryData.meta without its
    processing times, the WAV file with its creation date (ICRD) blanked."""
    if name == "binaryData.meta":
        return b"".join(line for line in content.splitlines(True)
                        if not line.startswith(b'"processingDate'))
    if name.endswith(".wav") and b"ICRD" in content:
        at = content.index(b"ICRD") + 8
        size = int.from_bytes(content[at - 4:at], "little")
        return content[:at] + bytes(size) + content[at + size:]
    return content


def converted_files(folder):
    """Every file of a conversion's part_NN folders by relative path, without run times."""
    files = {}
    if not os.path.isdir(folder):
        return files
    for part in sorted(os.listdir(folder)):
        if not part.startswith("part_"):
            continue
        for directory, _, names in os.walk(os.path.join(folder, part)):
            for name in names:
                path = os.path.join(directory, name)
                with open(path, "rb") as stream:
                    files[os.path.relpath(path, folder)] = without_run_times(name, stream.read())
    return files


def convert_directly(study, folder, reference):
    """What `sensconv -scandir` makes of the folder, called as the workflow calls it."""
    os.makedirs(reference, exist_ok=True)
    run = subprocess.run([SENSCONV, "-scandir", os.path.join(study, folder, ""),
                          "-outputdir", os.path.join(folder, "")],
                         cwd=reference, capture_output=True, text=True, timeout=RUN_TIMEOUT)
    return run.returncode, converted_files(os.path.join(reference, folder))


def run_workflow(output_root, study, extra=(), environment=None, timeout=RUN_TIMEOUT,
                 converter=SENSCONV):
    command = [SNAKEMAKE, "-s", SNAKEFILE, "--directory", output_root, *extra,
               "--config", f"study_root={study}", f"sensconv={converter}"]
    began = time.monotonic()
    run = subprocess.run(command, capture_output=True, text=True, timeout=timeout,
                         env=environment, cwd=os.path.dirname(output_root))
    print(f"snakemake {' '.join(extra)}: exit {run.returncode} after "
          f"{time.monotonic() - began:.1f} s")
    return run


def run_locally(output_root, study, extra=(), converter=SENSCONV):
    return run_workflow(output_root, study, ["--cores", "2", "--keep-going", "--rerun-incomplete",
                                             *extra], converter=converter)


def read_csv(path):
    with open(path, newline="") as stream:
        return list(csv.DictReader(stream))


def snapshot(root, skip=".snakemake"):
    """Path -> (size, mtime) of every file below root, outside Snakemake's own folder."""
    found = {}
    for directory, subdirectories, names in os.walk(root):
        subdirectories[:] = [name for name in subdirectories if name != skip]
        for name in names:
            path = os.path.join(directory, name)
            found[os.path.relpath(path, root)] = (os.path.getsize(path), os.stat(path).st_mtime_ns)
    return found


def seconds_since_1970(utc):
    """"2025-03-14T09:30:00.005Z" -> 1741944600.005"""
    assert utc.endswith("Z"), utc
    return datetime.datetime.fromisoformat(utc[:-1] + "+00:00").timestamp()


def check_study(study, output_root, layout, work):
    """Each folder's output equals a direct conversion, nothing else is written, and the
    two tables hold the expected rows."""
    reference = os.path.join(work, "direct-" + os.path.basename(output_root))
    shutil.rmtree(reference, ignore_errors=True)
    expected_files = {"study_sessions.csv", "study_failures.csv", "study_days.csv"}
    session_files = set()
    for folder in [*layout, *([FAILING] if FAILING not in layout else [])]:
        status, direct = convert_directly(study, folder, reference)
        produced = converted_files(os.path.join(output_root, folder))
        assert sorted(produced) == sorted(direct), folder
        for name in direct:
            assert produced[name] == direct[name], f"{folder}/{name} differs from a direct run"
        session_files |= {f"{folder}/{name}" for name in direct if name.endswith("/session.json")}
        record = "sensconv.done" if status == 0 else "sensconv.failed"
        expected_files |= {f"{folder}/{name}" for name in [*direct, "sensconv.log", record]}
        if status != 0:
            assert folder == FAILING and str(status) == FAILING_STATUS
    # The jobs wrote into their own folders only: no stray or stale file anywhere.
    assert set(snapshot(output_root)) == expected_files

    sessions = read_csv(os.path.join(output_root, "study_sessions.csv"))
    expected_rows = [(folder, f"part_{index:02d}", str(index + 1), str(settings["files"]))
                     for folder, settings in sorted(layout.items())
                     for index in range(settings["sessions"])]
    # One row per session.json the converter wrote; a converter that writes none gives an
    # empty table, never made-up rows.
    if not session_files:
        expected_rows = []
    assert len(session_files) == len(expected_rows)
    assert [(row["folder"], row["part"], row["session"], row["files"])
            for row in sessions] == expected_rows
    for row in sessions:
        settings = layout[row["folder"]]
        session_start = settings["start"] + int(row["part"][5:]) * (DURATION + GAP)
        start = seconds_since_1970(row["start_utc"])
        assert abs(start - session_start) < 1.0, row
        assert abs(seconds_since_1970(row["end_utc"]) - start - DURATION) < 1.0, row
        assert abs(float(row["duration_s"]) - DURATION) < 1.0, row
        assert row["status"] == "0", row
        damaged = settings.get("damaged", False)
        assert row["bad_images"] == ("1" if damaged else "0"), row
        # The simulator never makes the converter fill a clean channel.
        for board in ("qor2", "jux"):
            share = float(row["filled_share_" + board])
            assert (0 < share < 0.01) if damaged else share == 0, row
        # GPS fixes and the clock check come with the GPS decoding (both empty without
        # it); there is a clock offset exactly when there are fixes.
        fixes = int(row["gps_fixes"]) if row["gps_fixes"] else 0
        assert fixes >= 0 and (row["clock_offset_ms"] != "") == (fixes > 0), row

    failures = read_csv(os.path.join(output_root, "study_failures.csv"))
    expected_failures = [] if FAILING in layout else [
        {"folder": FAILING, "exit_status": FAILING_STATUS, "last_error": FAILING_ERROR,
         "log": f"{FAILING}/sensconv.log"}]
    assert failures == expected_failures


@pytest.fixture
def work(tmp_path):
    if SNAKEMAKE is None:
        pytest.skip("snakemake is not installed (scripts/install-deps installs it)")
    return str(tmp_path)


def test_local_run_converts_each_folder_once_and_redoes_only_failed_and_changed(work):
    study = os.path.join(work, "study")
    output_root = os.path.join(work, "converted")
    layout = make_study(study)
    recordings = snapshot(study)

    first = run_locally(output_root, study)
    # The failing folder makes the run fail, after every other folder was converted.
    assert first.returncode != 0, first.stderr
    assert first.stderr.count("Error in rule convert") == 1, first.stderr
    assert f"wildcards: folder={FAILING}\n" in first.stderr
    check_study(study, output_root, layout, work)
    assert snapshot(study) == recordings, "the recordings were touched"
    assert os.path.isdir(os.path.join(output_root, ".snakemake", "metadata"))

    # Fix the failed folder, record P01's first download again with one session instead
    # of two, add a participant: exactly these three folders are converted again, P01
    # loses its second session's output and keeps its subfolder's.
    before = snapshot(output_root)
    os.remove(os.path.join(study, FAILING, "20250401_080000_000.snsr"))
    layout[FAILING] = dict(sessions=1, files=1, seed=5, start=START + 2 * WEEK)
    for name in os.listdir(os.path.join(study, "P01")):
        if name.endswith(".snsr"):
            os.remove(os.path.join(study, "P01", name))
    layout["P01"] = dict(sessions=1, files=2, seed=6, start=START)
    layout["P04/visit1"] = dict(sessions=1, files=1, seed=7, start=START + 3 * WEEK)
    for folder in (FAILING, "P01", "P04/visit1"):
        simulate(os.path.join(study, folder), **layout[folder])

    second = run_locally(output_root, study)
    assert second.returncode == 0, second.stderr
    check_study(study, output_root, layout, work)
    after = snapshot(output_root)
    folders = sorted(layout, key=len, reverse=True)
    redone = {next((folder for folder in folders if path.startswith(folder + "/")), path)
              for path in after if after[path] != before.get(path)}
    assert redone == {FAILING, "P01", "P04/visit1", "study_sessions.csv",
                      "study_failures.csv", "study_days.csv"}

    third = run_locally(output_root, study)
    assert third.returncode == 0, third.stderr
    assert "Nothing to be done" in third.stderr
    assert snapshot(output_root) == after


# A converter as a study of hundreds of folders meets it: while P01 converts, the folder
# "vanishing" is removed; the first conversion of "killed" is ended by SIGKILL after a
# line of its usual output, and the first job of "jobkilled" is ended by SIGKILL.
HOSTILE_CONVERTER = """#!/usr/bin/python3
import os, shutil, signal, sys
study, marks = {study!r}, {marks!r}
folder = os.path.relpath(sys.argv[sys.argv.index("-scandir") + 1], study)
if folder == "P01":
    shutil.rmtree(os.path.join(study, "vanishing"), ignore_errors=True)
if folder in ("killed", "jobkilled") and not os.path.exists(os.path.join(marks, folder)):
    open(os.path.join(marks, folder), "w").close()
    print("# INFO: ----", flush=True)
    if folder == "jobkilled":
        os.kill(os.getppid(), signal.SIGKILL)
    os.kill(os.getpid(), signal.SIGKILL)
os.execv({sensconv!r}, [{sensconv!r}, *sys.argv[1:]])
"""
QUOTES = "q'\"$(touch PWNED)`touch PWNED`;touch PWNED;x"
CONVERTING = ["P01", "new\nline", "-leading", "--outdir=evil", QUOTES]
REFUSED = {"P01/part_00": "its output folder would be P01/part_00",
           "bad\\xff": "not valid UTF-8", "{braces}": "holds { or }"}
NOT_FINISHED = "the conversion did not finish (interrupted, out of time or out of memory)"


def test_local_run_lists_hostile_names_failed_killed_and_vanished_folders_and_tries_them_again(work):
    study = os.path.join(work, "study")
    output_root = os.path.join(work, "converted")
    marks = os.path.join(work, "marks")
    os.makedirs(marks)
    converter = os.path.join(work, "hostile-sensconv")
    with open(converter, "w") as script:
        script.write(HOSTILE_CONVERTER.format(study=study, marks=marks, sensconv=SENSCONV))
    os.chmod(converter, 0o755)
    for seed, folder in enumerate([*CONVERTING, "P01/part_00", "{braces}", "vanishing", "killed",
                                   "jobkilled"], 1):
        simulate(os.path.join(study, folder), sessions=1, files=1, seed=seed, start=START)
    simulate(os.fsdecode(os.path.join(os.fsencode(study), b"bad\xff")), sessions=1, files=1,
             seed=20, start=START)
    os.makedirs(os.path.join(study, "bad"))
    with open(os.path.join(study, "bad", "x.snsr"), "wb") as short:
        short.write(bytes(100))

    # An output root inside the study is refused, and leaves nothing behind there.
    inside = run_workflow(os.path.join(study, "out"), study, ["--cores", "1"])
    assert inside.returncode != 0 and "lies inside study_root" in inside.stderr
    assert not os.path.exists(os.path.join(study, "out"))

    # One conversion at a time, P01 first: "vanishing" is gone before its turn.
    first = run_locally(output_root, study, ["--cores", "1", "--prioritize", "P01/sensconv.done"],
                        converter=converter)
    assert first.returncode != 0, first.stderr
    assert "Traceback" not in first.stderr
    failures = {row["folder"]: row for row in read_csv(os.path.join(output_root, "study_failures.csv"))}
    assert sorted(failures) == sorted([*REFUSED, "bad", "vanishing", "killed", "jobkilled"])
    for folder, reason in REFUSED.items():
        assert reason in failures[folder]["last_error"] and failures[folder]["exit_status"] == "", folder
    assert (failures["bad"]["exit_status"], failures["bad"]["last_error"]) == (
        FAILING_STATUS, FAILING_ERROR)
    assert failures["vanishing"]["exit_status"] not in ("", "0")
    assert (failures["killed"]["exit_status"], failures["killed"]["last_error"]) == (
        "SIGKILL", "the converter was ended by SIGKILL")
    assert (failures["jobkilled"]["exit_status"], failures["jobkilled"]["last_error"]) == (
        "", NOT_FINISHED)
    sessions = read_csv(os.path.join(output_root, "study_sessions.csv"))
    assert sorted(row["folder"] for row in sessions) == sorted(CONVERTING)
    for folder in CONVERTING:
        assert os.path.isfile(os.path.join(output_root, folder, "part_00", "session.json")), folder
        assert os.path.isfile(os.path.join(output_root, folder, "sensconv.done")), folder
    # P01's own session folder holds P01's conversion only.
    assert sorted(os.listdir(os.path.join(output_root, "P01"))) == [
        "part_00", "sensconv.done", "sensconv.log"]
    converted = {path: state for path, state in snapshot(output_root).items()
                 if path.split("/")[0] in CONVERTING}

    # Nothing changed: the failed and killed folders are tried again, nothing else.
    second = run_locally(output_root, study, converter=converter)
    assert second.returncode != 0 and "Nothing to be done" not in second.stderr, second.stderr
    assert second.stderr.count("Error in rule convert") == 1 and "wildcards: folder=bad\n" in second.stderr
    failures = {row["folder"] for row in read_csv(os.path.join(output_root, "study_failures.csv"))}
    assert failures == {*REFUSED, "bad"}
    assert {path: state for path, state in snapshot(output_root).items()
            if path.split("/")[0] in CONVERTING} == converted
    for folder in ("killed", "jobkilled"):
        assert os.path.isfile(os.path.join(output_root, folder, "part_00", "session.json")), folder

    # The failed folder fixed and the refused ones renamed away: exactly it is converted.
    before = snapshot(output_root)
    os.remove(os.path.join(study, "bad", "x.snsr"))
    simulate(os.path.join(study, "bad"), sessions=1, files=1, seed=21, start=START)
    for folder in ("P01/part_00", "{braces}"):
        shutil.rmtree(os.path.join(study, folder))
    shutil.rmtree(os.path.join(os.fsencode(study), b"bad\xff"))
    third = run_locally(output_root, study, converter=converter)
    assert third.returncode == 0, third.stderr
    after = snapshot(output_root)
    # The day table gains the fixed folder's days.
    assert {path.split("/")[0] for path in after if after[path] != before.get(path)} == {
        "bad", "study_sessions.csv", "study_failures.csv", "study_days.csv"}
    assert read_csv(os.path.join(output_root, "study_failures.csv")) == []

    for directory, subdirectories, names in os.walk(work):
        assert "PWNED" not in names, directory


def test_local_conversion_record_reaches_the_disk_before_it_is_renamed_into_place(work):
    """strace shows the order of the system calls: the record's bytes and its folder
    are flushed before the rename, the folder again after it."""
    strace = shutil.which("strace")
    if strace is None:
        pytest.skip("strace is not installed (scripts/install-deps installs it)")
    study = os.path.join(work, "study")
    simulate(os.path.join(study, "P01"), sessions=1, files=1, seed=1, start=START)
    output_root = os.path.join(work, "converted")
    os.makedirs(output_root)
    trace = os.path.join(work, "trace")
    # The leak check of a sanitizer build cannot run under a tracer.
    run = subprocess.run([strace, "-f", "-qq", "-o", trace, "-E", "ASAN_OPTIONS=detect_leaks=0",
                          "-e", "trace=openat,fsync,fdatasync,rename,renameat,renameat2,close", "/usr/bin/python3",
                          os.path.join(REPOSITORY, "workflow", "scripts", "convert_folder.py"),
                          f"--converter={SENSCONV}", f"--recordings={study}/P01", "--outdir=P01",
                          "--log=P01/sensconv.log", "--done=P01/sensconv.done"],
                         cwd=output_root, capture_output=True, text=True, timeout=RUN_TIMEOUT)
    assert run.returncode == 0, run.stderr
    with open(trace) as lines:
        calls = [line.split(None, 1)[1] for line in lines]
    renamed = next(k for k, call in enumerate(calls)
                   if call.startswith("rename") and '"P01/sensconv.done"' in call)
    record = next(k for k, call in enumerate(calls)
                  if call.startswith("openat") and '"P01/sensconv.done.tmp"' in call)
    record_fd = calls[record].rsplit("= ", 1)[1].strip()
    folder_fds = [(k, call.rsplit("= ", 1)[1].strip()) for k, call in enumerate(calls)
                  if call.startswith("openat") and '"P01"' in call and "O_DIRECTORY" in call]
    synced = {(k, call[len("fsync("):call.index(")")]) for k, call in enumerate(calls)
              if call.startswith("fsync(")}
    assert any(record < k < renamed and fd == record_fd for k, fd in synced), calls[record:renamed + 1]
    assert any(record < opened < k < renamed and (k, fd) in synced for opened, fd in folder_fds
               for k in range(opened, renamed)), calls[record:renamed + 1]
    assert any(renamed < opened < k and (k, fd) in synced for opened, fd in folder_fds
               for k in range(opened, len(calls))), calls[renamed:]


@pytest.fixture
def cluster():
    # munged wants every folder above its socket open to all: a folder of its own in /tmp.
    with tempfile.TemporaryDirectory(prefix="sensconv-slurm-") as directory:
        os.chmod(directory, 0o755)
        yield SlurmCluster(directory)


def test_slurm_run_on_a_single_node_cluster(work, cluster):
    reason = cluster.why_not_startable()
    if reason:
        pytest.skip("no Slurm cluster on this machine: " + reason)
    study = os.path.join(work, "study")
    output_root = os.path.join(work, "converted")
    layout = make_study(study)

    began = time.monotonic()
    cluster.start(timeout=60)
    try:
        run = run_workflow(output_root, study, ["--profile", SLURM_PROFILE],
                           environment=cluster.environment())
        jobs = subprocess.run(["scontrol", "-o", "show", "job"], capture_output=True, text=True,
                              env=cluster.environment(), timeout=30).stdout.splitlines()
    finally:
        cluster.stop()
    print(f"cluster started, workflow run and cluster stopped in {time.monotonic() - began:.1f} s")
    assert run.returncode != 0, run.stderr + cluster.log_tail()
    # One batch job per folder, each with one core, the configured memory and a time limit
    # of 10 minutes plus 1 per GB (these folders hold a few MB).
    slurm_logs = os.path.join(output_root, ".snakemake", "slurm_logs", "rule_convert")
    assert len(os.listdir(slurm_logs)) == len(jobs) == len(layout) + 1, jobs
    for job in jobs:
        assert all(field in job.split() for field in
                   ("NumCPUs=1", "MinMemoryNode=512M", "TimeLimit=00:11:00")), job
    check_study(study, output_root, layout, work)
