"""The reader against hostile session folders: paths out of the folder, links, FIFOs,
/dev/zero, huge files, NaN and huge numbers, wrong types. Each case is a copy of a
converted session with one thing spoilt; hostile_worker.py reads them all in one process
that watches the files outside the folders. Every case must end in a SessionError that
names the file and the problem, without opening anything outside, hanging or using
100 MB."""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest

TESTS = Path(__file__).resolve().parent
PACKAGE = TESTS.parent
HUGE = 1 << 30
PEAK_MB = 100


def channel(doc: dict, name: str) -> dict:
    return next(c for c in doc["channels"] if c["name"] == name)


def edit(change, raw: str | None = None):
    """Changes session.json; raw replaces the value "@RAW@" with text JSON cannot
    produce from Python values (NaN, 1e400, 30 digits)."""
    def spoil(part: Path, outside: Path) -> None:
        doc = json.loads((part / "session.json").read_text())
        doc = change(doc, outside) or doc
        text = json.dumps(doc)
        replace(part / "session.json", text.replace('"@RAW@"', raw) if raw else text)
    return spoil


def setting(where, key: str, value):
    def change(doc, outside):
        target = where(doc)
        target[key] = value(outside) if callable(value) else value
    return change


def replace(path: Path, text: str) -> None:
    path.unlink()
    path.write_text(text)


def link(name: str, target) -> callable:
    def spoil(part, outside):
        (part / name).unlink() if (part / name).is_file() else shutil.rmtree(part / name)
        os.symlink(target(outside) if callable(target) else target, part / name)
    return spoil


def fifo(name: str):
    def spoil(part, outside):
        (part / name).unlink()
        os.mkfifo(part / name)
    return spoil


def huge(name: str):
    def spoil(part, outside):
        os.truncate(part / name, HUGE)
    return spoil


def older(spoil=None):
    """Output without session.json (opened from the .meta files), then spoil."""
    def both(part, outside):
        (part / "session.json").unlink()
        if spoil:
            spoil(part, outside)
    return both


def meta_line(name: str, key: str, value: str):
    def spoil(part, outside):
        path = part / f"binaryData_{name}.meta"
        lines = [f'"{key}",{value}' if line.startswith(f'"{key}",') else line
                 for line in path.read_text().splitlines()]
        replace(path, "\n".join(lines) + "\n")
    return spoil


def write(name: str, text: str):
    return lambda part, outside: replace(part / name, text)


BAR = lambda doc: channel(doc, "BarPres")  # noqa: E731
ACCEL = lambda doc: channel(doc, "accel")  # noqa: E731
FIRST_ANCHOR = lambda doc: channel(doc, "accel")["anchors"][0]  # noqa: E731
OUT = "leads out of the session folder"
SCHEMA = "does not follow its schema"
YEARS = "outside the years 1678 to 2262"


def swapped_anchors(doc, outside):
    anchors = channel(doc, "accel")["anchors"]
    anchors[0]["index"], anchors[1]["index"] = anchors[1]["index"], anchors[0]["index"]


# case: (spoil, the file the error names, the problem it reports)
CASES = {
    # Paths in session.json that lead out of the folder.
    "file-parent": (edit(setting(BAR, "file", "../../../outside/secret.bin")), "session.json", OUT),
    "file-absolute": (edit(setting(BAR, "file", lambda o: str(o / "secret.bin"))), "session.json", OUT),
    "file-dev-zero": (edit(setting(BAR, "file", "/dev/zero")), "session.json", OUT),
    "file-through-a-folder": (edit(setting(BAR, "file", "sub/../binaryData_BarPres.bin")), "session.json", OUT),
    "file-empty": (edit(setting(BAR, "file", "")), "session.json", "not a file name"),
    "sparse-parent": (edit(setting(ACCEL, "sparseFile", "../../../outside/secret.sparse")), "session.json", OUT),
    "sparse-dev-zero": (edit(setting(ACCEL, "sparseFile", "/dev/zero")), "session.json", OUT),
    "images-parent": (edit(setting(lambda d: d["images"], "directory", "../../../outside/images")), "session.json",
                      OUT),
    "images-absolute": (edit(setting(lambda d: d["images"], "directory", lambda o: str(o / "images"))),
                        "session.json", OUT),
    "gps-parent": (edit(setting(lambda d: d["gps"], "csv", "../../../outside/secret.csv")), "session.json", OUT),
    "gps-dev-zero": (edit(setting(lambda d: d["gps"], "csv", "/dev/zero")), "session.json", OUT),
    "audio-parent": (edit(setting(lambda d: channel(d, "audio"), "file", "../../../outside/secret.wav")),
                     "session.json", OUT),
    # Links out of the folder.
    "link-bin": (link("binaryData_BarPres.bin", lambda o: o / "secret.bin"), "binaryData_BarPres.bin", OUT),
    "link-bin-dev-zero": (link("binaryData_BarPres.bin", "/dev/zero"), "binaryData_BarPres.bin", OUT),
    "link-sparse": (link("binaryData_accel.sparse", lambda o: o / "secret.sparse"), "binaryData_accel.sparse", OUT),
    "link-meta": (link("binaryData_BarPres.meta", lambda o: o / "secret.meta"), "binaryData_BarPres.meta", OUT),
    "link-session-json": (link("session.json", lambda o: o / "session.json"), "session.json", OUT),
    "link-session-json-dev-zero": (link("session.json", "/dev/zero"), "session.json", OUT),
    "link-images": (link("images", lambda o: o / "images"), "images", OUT),
    "link-gps": (link("gps.csv", lambda o: o / "secret.csv"), "gps.csv", OUT),
    "link-wav": (link("completeSensorAudio.wav", lambda o: o / "secret.wav"), "completeSensorAudio.wav", OUT),
    "older-link-meta-dev-zero": (older(link("binaryData_BarPres.meta", "/dev/zero")), "binaryData_BarPres.meta",
                                 OUT),
    "older-link-global-meta": (older(link("binaryData.meta", lambda o: o / "secret.meta")), "binaryData.meta", OUT),
    # FIFOs, which a plain open() waits on for ever.
    "fifo-session-json": (fifo("session.json"), "session.json", "FIFO"),
    "fifo-bin": (fifo("binaryData_BarPres.bin"), "binaryData_BarPres.bin", "FIFO"),
    "fifo-meta": (fifo("binaryData_BarPres.meta"), "binaryData_BarPres.meta", "FIFO"),
    "fifo-sparse": (fifo("binaryData_accel.sparse"), "binaryData_accel.sparse", "FIFO"),
    "fifo-gps": (fifo("gps.csv"), "gps.csv", "FIFO"),
    "fifo-wav": (fifo("completeSensorAudio.wav"), "completeSensorAudio.wav", "FIFO"),
    "older-fifo-meta": (older(fifo("binaryData_BarPres.meta")), "binaryData_BarPres.meta", "FIFO"),
    "older-fifo-sparse": (older(fifo("binaryData_accel.sparse")), "binaryData_accel.sparse", "FIFO"),
    # Files far larger than their description allows (sparse files: no disk used).
    "huge-session-json": (huge("session.json"), "session.json", "more than"),
    "huge-sparse": (huge("binaryData_accel.sparse"), "binaryData_accel.sparse", "more than"),
    "huge-gps": (huge("gps.csv"), "gps.csv", "more than"),
    "huge-meta": (huge("binaryData_BarPres.meta"), "binaryData_BarPres.meta", "more than"),
    # Numbers that give no time or no sample.
    "rate-nan": (edit(setting(BAR, "rate", "@RAW@"), "NaN"), "session.json", "NaN is not a JSON number"),
    "rate-zero": (edit(setting(BAR, "rate", 0)), "session.json", "must be above 0"),
    "rate-negative": (edit(setting(BAR, "rate", -1)), "session.json", SCHEMA),
    "rate-tiny": (edit(setting(BAR, "rate", 1e-300)), "session.json", YEARS),
    "rate-overflow": (edit(setting(BAR, "rate", "@RAW@"), "1e400"), "session.json", "beyond the range"),
    "anchor-nan": (edit(setting(FIRST_ANCHOR, "unixSeconds", "@RAW@"), "NaN"), "session.json", "not a JSON number"),
    "anchor-far-future": (edit(setting(FIRST_ANCHOR, "unixSeconds", 1e300)), "session.json", YEARS),
    "anchor-far-past": (edit(setting(FIRST_ANCHOR, "unixSeconds", -1e300)), "session.json", YEARS),
    "anchor-index-30-digits": (edit(setting(FIRST_ANCHOR, "index", "@RAW@"), "1" * 30), "session.json",
                               "does not fit in 64 bits"),
    "anchors-out-of-order": (edit(swapped_anchors), "session.json", "do not run from 0 upwards"),
    "anchor-of-no-file": (edit(setting(FIRST_ANCHOR, "file", 99)), "session.json", "anchor of input file 99"),
    "samples-30-digits": (edit(setting(BAR, "samples", "@RAW@"), "9" * 30), "session.json",
                          "does not fit in 64 bits"),
    "start-30-digits": (edit(setting(lambda d: d["start"], "unixMs", "@RAW@"), "1" * 30), "session.json",
                        "does not fit in 64 bits"),
    "zero-session-seconds-huge": (edit(setting(lambda d: d["files"][0]["clocks"]["qor2"], "zeroSessionSeconds",
                                               1e300)), "session.json", YEARS),
    "duration-infinity": (edit(setting(lambda d: d, "durationSeconds", "@RAW@"), "Infinity"), "session.json",
                          "Infinity is not a JSON number"),
    "sparse-30-digits": (write("binaryData_accel.sparse", "1" * 30 + ",1\n"), "binaryData_accel.sparse",
                         "lists position 1{30}"),
    "sparse-count": (write("binaryData_accel.sparse", "1,1\n2,1\n"), "binaryData_accel.sparse",
                     "lists 2 positions"),
    "filled-above-samples": (edit(setting(BAR, "filledSamples", 1000)), "session.json", "1000 filled samples of"),
    # Wrong types.
    "rate-string": (edit(setting(BAR, "rate", "fast")), "session.json", SCHEMA + ".*channels/1/rate"),
    "samples-string": (edit(setting(BAR, "samples", "6")), "session.json", SCHEMA),
    "board-without-serial": (edit(setting(lambda d: d["boards"], "qor2", {})), "session.json",
                             SCHEMA + ".*boards/qor2: .serial. is a required property"),
    "channels-object": (edit(setting(lambda d: d, "channels", {})), "session.json", SCHEMA),
    "anchors-string": (edit(setting(ACCEL, "anchors", "x")), "session.json", SCHEMA),
    "schema-version-string": (edit(setting(lambda d: d, "schemaVersion", "1")), "session.json", SCHEMA),
    "schema-version-3": (edit(setting(lambda d: d, "schemaVersion", 3)), "session.json", "knows up to 2"),
    "json-array": (write("session.json", "[]"), "session.json", "does not hold a JSON object"),
    # Output without session.json: the same checks on its .meta files.
    "older-rate-nan": (older(meta_line("BarPres", "SampleRate", "nan")), "binaryData_BarPres.meta",
                       "not a finite number"),
    "older-rate-zero": (older(meta_line("BarPres", "SampleRate", "0")), "binaryData_BarPres.meta",
                        "must be above 0"),
    "older-samples-30-digits": (older(meta_line("BarPres", "NumSamples", "9" * 30)), "binaryData_BarPres.meta",
                                "samples"),
    "older-first-time": (older(meta_line("BarPres", "firstTimestamp", "abc")), "binaryData_BarPres.meta",
                         "not a finite number"),
}
INTACT = "intact"


def outside_files(part: Path, outside: Path) -> None:
    """What the cases point at: copies of the session's own files, so that a reader
    that follows them finds files it could take for its own."""
    outside.mkdir()
    for name, copy in (("secret.bin", "binaryData_BarPres.bin"), ("secret.sparse", "binaryData_accel.sparse"),
                       ("secret.meta", "binaryData_BarPres.meta"), ("secret.csv", "gps.csv"),
                       ("secret.wav", "completeSensorAudio.wav"), ("session.json", "session.json")):
        shutil.copyfile(part / copy, outside / name)
    shutil.copytree(part / "images", outside / "images")
    (outside / "images" / "00000000100.jpg").write_bytes(b"\xff\xd8\xff\xd9")


@pytest.fixture(scope="module")
def hostile(small, tmp_path_factory) -> SimpleNamespace:
    root = tmp_path_factory.mktemp("hostile")
    outside = root / "outside"
    outside_files(small.part, outside)
    cases = root / "cases"
    for name, (spoil, _, _) in [*CASES.items(), (INTACT, (lambda part, outside: None, None, None))]:
        part = Path(shutil.copytree(small.part, cases / name / "part_00"))
        spoil(part, outside)
    environment = dict(os.environ, PYTHONPATH=str(PACKAGE))
    run = subprocess.run([sys.executable, str(TESTS / "hostile_worker.py"), str(cases), str(outside)],
                         capture_output=True, text=True, env=environment, timeout=600)
    assert run.returncode == 0, run.stderr[-3000:]
    lines = [json.loads(line) for line in run.stdout.splitlines()]
    return SimpleNamespace(cases=cases, results={line["case"]: line for line in lines[:-1]},
                           peak_mb=lines[-1]["peak_mb"], environment=environment)


@pytest.mark.parametrize("case", sorted(CASES))
def test_a_hostile_folder_raises_a_session_error_naming_the_file_and_reads_nothing_outside(hostile, case):
    _, file, problem = CASES[case]
    result = hostile.results[case]
    assert result["kind"] == "SessionError", result
    assert os.path.basename(result["path"]) == file, result
    assert re.search(problem, result["problem"]), result
    assert result["outside"] == [], result


def test_the_intact_copy_reads_and_the_reader_stays_small(hostile):
    assert hostile.results[INTACT] == {"case": INTACT, "kind": "ok", "outside": []}
    assert len(CASES) >= 50
    assert hostile.peak_mb < PEAK_MB, f"{hostile.peak_mb:.0f} MB"


def test_summary_reports_each_damaged_session_and_goes_on(hostile):
    run = subprocess.run([sys.executable, "-m", "sensconv", "summary", str(hostile.cases)], capture_output=True,
                         text=True, env=hostile.environment, timeout=300)
    assert run.returncode == 1 and "Traceback" not in run.stderr, run.stderr[-3000:]
    # The summary opens each session and reads its images and GPS count, not its samples.
    failing = {case for case, result in hostile.results.items() if result.get("step") in ("open", "summary")}
    reported = {Path(line.split(": ")[1]).relative_to(hostile.cases).parts[0]
                for line in run.stderr.splitlines() if line.startswith("sensconv summary: ")}
    assert reported == failing
    listed = {Path(line.split()[0]).relative_to(hostile.cases).parts[0] for line in run.stdout.splitlines()[1:]}
    assert INTACT in listed and listed == set(hostile.results) - failing


def test_the_quick_look_replaces_a_planted_link_instead_of_writing_through_it(small, tmp_path):
    from sensconv.look import quicklook

    part = Path(shutil.copytree(small.part, tmp_path / "part_00"))
    victim = tmp_path / "victim.txt"
    victim.write_text("keep me")
    os.symlink(victim, part / "quicklook.png")
    written = quicklook(part, width=400, height=600)
    assert victim.read_text() == "keep me"
    assert not (part / "quicklook.png").is_symlink()
    assert written.path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert sorted(os.listdir(part)) == sorted([*os.listdir(small.part), "quicklook.png"])
