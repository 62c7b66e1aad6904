#!/usr/bin/python3
"""The study's tables: every converted session and every folder that did not convert.

The workflow calls write_summary() at its end; by hand:

    /usr/bin/python3 workflow/scripts/study_summary.py OUTPUT_ROOT --study STUDY_ROOT

writes OUTPUT_ROOT/study_sessions.csv (one row per part_NN/session.json) and
OUTPUT_ROOT/study_failures.csv (one row per folder whose last conversion failed or that
has not been converted). Without --study the folders are those with a conversion record
below OUTPUT_ROOT.

The converter's session.json is read as written; the GPS fixes and the clock offset come
from GPS fields that converters without GPS decoding do not write, and their cells stay
empty then.
"""

import argparse
import csv
import hashlib
import io
import json
import os
import re
import statistics
import sys

SESSIONS_CSV = "study_sessions.csv"
FAILURES_CSV = "study_failures.csv"
DONE_RECORD = "sensconv.done"
FAILED_RECORD = "sensconv.failed"
CONVERTER_LOG = "sensconv.log"
SESSION_JSON = "session.json"
NOT_CONVERTED = "not converted yet"

# The boards every table has a column for, in this order; other boards get columns after.
KNOWN_BOARDS = ("qor2", "jux")

SESSION_COLUMNS = ["folder", "part", "session", "start_utc", "end_utc", "duration_s", "files"]
SESSION_COLUMNS_AFTER_BOARDS = ["bad_images", "gps_fixes", "clock_offset_ms", "status"]
FAILURE_COLUMNS = ["folder", "exit_status", "last_error", "log"]

PART_FOLDER = re.compile(r"part_(\d+)")

# What a conversion writes into its output folder, and the tables at the top: a
# recording folder whose output folder would have one of these names would be written
# into another folder's output (and wiped by that folder's next conversion).
OUTPUT_NAMES = (CONVERTER_LOG, DONE_RECORD, FAILED_RECORD, DONE_RECORD + ".tmp",
                FAILED_RECORD + ".tmp")
TOP_NAMES = (SESSIONS_CSV, FAILURES_CSV, SESSIONS_CSV + ".tmp", FAILURES_CSV + ".tmp")
# Snakemake reads "{name}" in a file name as a wildcard, whatever the quoting.
WILDCARD_LIKE = re.compile(r"[{}]")


def is_recording(name):
    """The converter takes every file whose name ends in .snsr, in any case."""
    return name.lower().endswith(".snsr")


def recording_listing(folder):
    """The .snsr files of one folder with their sizes and modification times, sorted:
    [("a.snsr", 1048576, 1741944600000000000), ...]; empty when the folder is gone."""
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return []
    listing = []
    for entry in entries:
        try:
            if is_recording(entry.name) and entry.is_file():
                status = entry.stat()
                listing.append((entry.name, status.st_size, status.st_mtime_ns))
        except OSError:  # removed while being listed
            continue
    return sorted(listing)


def recordings_fingerprint(folder):
    """What the folder's .snsr files are, in one line: a file added, removed, changed in
    size or touched gives another line."""
    digest = hashlib.sha256()
    listing = recording_listing(folder)
    for name, size, mtime in listing:
        digest.update(os.fsencode(name) + b"\0" + f"{size}\0{mtime}\n".encode())
    return (f"{len(listing)} .snsr files, {sum(size for _, size, _ in listing)} bytes, "
            f"sha256 {digest.hexdigest()}")


def find_recording_folders(study_root):
    """Every folder below study_root holding .snsr files, relative and sorted:
    ["P01/day1", "P01/day2", "P02"]. Hidden folders are skipped; linked folders are
    followed, each real folder once."""
    found = []
    seen = set()
    for directory, subdirectories, files in os.walk(study_root, followlinks=True):
        real = os.path.realpath(directory)
        if real in seen:
            subdirectories.clear()
            continue
        seen.add(real)
        subdirectories[:] = sorted(name for name in subdirectories if not name.startswith("."))
        if any(is_recording(name) and os.path.isfile(os.path.join(directory, name))
               for name in files):
            found.append(os.path.relpath(directory, study_root))
    return sorted(found)


def printable(folder):
    """The folder's name as the tables and messages show it: bytes that are not UTF-8
    as \\xNN."""
    return os.fsencode(folder).decode("utf-8", "backslashreplace")


def refusal(folder, folders):
    """Why the workflow cannot convert this recording folder (relative to the study
    root), or None. folders: every recording folder of the study."""
    try:
        folder.encode("utf-8")
    except UnicodeEncodeError:
        return "the folder's name is not valid UTF-8, which Snakemake cannot handle: rename the folder"
    if WILDCARD_LIKE.search(folder):
        return "the folder's name holds { or }, which Snakemake takes for a wildcard: rename the folder"
    parts = folder.split(os.sep)
    if parts[0] in TOP_NAMES:
        return f"its output folder would replace the study table {parts[0]}: rename the folder"
    recording = set(folders)
    for depth in range(1, len(parts)):
        parent, name = os.path.join(*parts[:depth]), parts[depth]
        if parent in recording and (PART_FOLDER.fullmatch(name) or name in OUTPUT_NAMES):
            return (f"its output folder would be {parent}/{name}, which the conversion of {parent} "
                    f"writes: rename the folder")
    return None


def last_error_line(log_path):
    """The line of the converter's log that says what went wrong: the last "# ERROR:"
    line other than the closing "# ERROR: Exiting", else the last line that mentions
    an error, else the last line."""
    try:
        with open(log_path, encoding="utf-8", errors="replace") as log:
            lines = [line.strip() for line in log if line.strip()]
    except OSError as error:
        return f"no log: {error}"
    errors = [line for line in lines if line.startswith("# ERROR:")]
    telling = [line for line in errors if line != "# ERROR: Exiting"]
    for candidates in (telling, errors, [line for line in lines if "ERROR" in line], lines):
        if candidates:
            return candidates[-1]
    return "the log is empty"


def _share(filled, samples):
    return f"{filled / samples:.6f}" if samples else ""


def _number(value, digits):
    return "" if value is None else f"{value:.{digits}f}"


def session_row(folder, part, session):
    """One row of study_sessions.csv from a parsed session.json."""
    filled = {}
    samples = {}
    for channel in session.get("channels") or []:
        board = channel.get("board")
        filled[board] = filled.get(board, 0) + (channel.get("filledSamples") or 0)
        samples[board] = samples.get(board, 0) + (channel.get("samples") or 0)
    boards = session.get("boards") or {}
    gps = session.get("gps") or {}
    offsets = [file["clockCheck"]["medianOffsetMs"] for file in session.get("files") or []
               if (file.get("clockCheck") or {}).get("medianOffsetMs") is not None]
    row = {
        "folder": folder,
        "part": part,
        "session": session.get("session", ""),
        "start_utc": (session.get("start") or {}).get("utc", ""),
        "end_utc": (session.get("end") or {}).get("utc", ""),
        "duration_s": _number(session.get("durationSeconds"), 3),
        "files": len(session.get("files") or []),
        "bad_images": (session.get("images") or {}).get("bad", ""),
        "gps_fixes": gps.get("fixes", ""),
        "clock_offset_ms": _number(statistics.median(offsets) if offsets else None, 3),
        "status": session.get("status", ""),
    }
    for board in set(boards) | set(samples):
        if board is None:
            continue
        present = boards.get(board) is not None or samples.get(board)
        row["filled_share_" + board] = _share(filled.get(board, 0), samples.get(board, 0)) \
            if present else ""
    return row


def _parts(folder_path):
    try:
        entries = [entry for entry in os.scandir(folder_path)
                   if PART_FOLDER.fullmatch(entry.name) and entry.is_dir()]
    except FileNotFoundError:
        return []
    return sorted(entries, key=lambda entry: int(PART_FOLDER.fullmatch(entry.name).group(1)))


def _read_record(path):
    try:
        with open(path, encoding="utf-8") as stream:
            return json.load(stream)
    except (OSError, ValueError):
        return None


def collect(output_root, folders, refused=None):
    """The rows of both tables for the given folders (relative to output_root), and a
    failure row for each refused folder (folder -> reason)."""
    sessions = []
    failures = []
    refused = refused or {}
    for folder in sorted({*folders, *refused}):
        if folder in refused:
            failures.append({"folder": printable(folder), "exit_status": "",
                             "last_error": refused[folder], "log": ""})
            continue
        folder_path = os.path.join(output_root, folder)
        log = os.path.join(folder, CONVERTER_LOG)
        for part in _parts(folder_path):
            path = os.path.join(part.path, SESSION_JSON)
            if not os.path.exists(path):
                continue
            try:
                with open(path, encoding="utf-8") as stream:
                    session = json.load(stream)
            except (OSError, ValueError) as error:
                failures.append({"folder": folder, "exit_status": "", "log": log,
                                 "last_error": f"{part.name}/{SESSION_JSON} unreadable: {error}"})
                continue
            sessions.append(session_row(folder, part.name, session))
        if os.path.exists(os.path.join(folder_path, DONE_RECORD)):
            continue
        record = _read_record(os.path.join(folder_path, FAILED_RECORD))
        if record is None:
            failures.append({"folder": folder, "exit_status": "", "last_error": NOT_CONVERTED,
                             "log": ""})
        else:
            failures.append({"folder": folder, "exit_status": record.get("exitStatus") or "",
                             "last_error": record.get("lastError") or "", "log": log})
    return sessions, failures


def _write_csv(path, columns, rows):
    """Writes the table; a table whose content did not change is left as it is, so that
    a run that changed nothing changes no file."""
    text = io.StringIO(newline="")
    writer = csv.DictWriter(text, fieldnames=columns, restval="", lineterminator="\n")
    writer.writeheader()
    writer.writerows(rows)
    content = text.getvalue().encode("utf-8")
    try:
        with open(path, "rb") as stream:
            if stream.read() == content:
                return
    except OSError:
        pass
    temporary = path + ".tmp"
    with open(temporary, "wb") as stream:
        stream.write(content)
    os.replace(temporary, path)


def write_summary(output_root, folders, refused=None):
    """Writes both tables into output_root; returns (sessions, failures) rows."""
    sessions, failures = collect(output_root, folders, refused)
    extra_boards = sorted({key[len("filled_share_"):] for row in sessions for key in row
                           if key.startswith("filled_share_")} - set(KNOWN_BOARDS))
    board_columns = ["filled_share_" + board for board in (*KNOWN_BOARDS, *extra_boards)]
    _write_csv(os.path.join(output_root, SESSIONS_CSV),
               SESSION_COLUMNS + board_columns + SESSION_COLUMNS_AFTER_BOARDS, sessions)
    _write_csv(os.path.join(output_root, FAILURES_CSV), FAILURE_COLUMNS, failures)
    return sessions, failures


def split_folders(study_root):
    """The study's recording folders: (those to convert, {refused folder: reason})."""
    folders = find_recording_folders(study_root)
    refused = {folder: reason for folder in folders
               if (reason := refusal(folder, folders)) is not None}
    return [folder for folder in folders if folder not in refused], refused


def folders_with_records(output_root):
    found = []
    for directory, subdirectories, files in os.walk(output_root):
        subdirectories[:] = [name for name in subdirectories if not name.startswith(".")]
        if DONE_RECORD in files or FAILED_RECORD in files:
            found.append(os.path.relpath(directory, output_root))
    return sorted(found)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Writes study_sessions.csv and "
                                     "study_failures.csv of a converted study.")
    parser.add_argument("output_root")
    parser.add_argument("--study", help="the study root: list every recording folder, "
                        "also those without a conversion record")
    arguments = parser.parse_args(argv)
    folders, refused = (split_folders(arguments.study) if arguments.study
                        else (folders_with_records(arguments.output_root), {}))
    sessions, failures = write_summary(arguments.output_root, folders, refused)
    print(f"{len(sessions)} sessions, {len(failures)} folders not converted: "
          f"{os.path.join(arguments.output_root, SESSIONS_CSV)}, "
          f"{os.path.join(arguments.output_root, FAILURES_CSV)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
