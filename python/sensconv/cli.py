"""``python3 -m sensconv look PART...`` and ``python3 -m sensconv summary DIR``."""

from __future__ import annotations

import argparse
import os
import sys
import warnings
from pathlib import Path
from typing import Iterator, Sequence

import numpy as np

from . import layout
from .errors import SessionError, SessionTimeWarning
from .session import open_session


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m sensconv",
                                     description="Look at the sessions that sensconv converted.")
    commands = parser.add_subparsers(dest="command", required=True)
    look = commands.add_parser("look", help="draw PART/quicklook.png for each session folder")
    look.add_argument("parts", nargs="+", metavar="PART", help="a session folder (part_NN)")
    look.add_argument("--output", "-o", help="where to write the PNG (one PART only)")
    look.add_argument("--width", type=int, default=1600, help="width in pixels (default 1600)")
    look.add_argument("--height", type=int, default=1500, help="height in pixels (default 1500)")
    summary = commands.add_parser("summary", help="one line per session found under DIR")
    summary.add_argument("directory", metavar="DIR")
    args = parser.parse_args(argv)
    if args.command == "look":
        if args.output and len(args.parts) > 1:
            parser.error("--output takes one PART")
        return _look(args.parts, args.output, args.width, args.height)
    return _summary(Path(args.directory))


def _look(parts: list[str], output: str | None, width: int, height: int) -> int:
    from .look import quicklook  # matplotlib is loaded only to draw

    status = 0
    for part in parts:
        try:
            print(quicklook(part, output, width=width, height=height).path)
        except SessionError as error:
            print(f"sensconv look: {error}", file=sys.stderr)
            status = 1
    return status


def session_folders(root: Path) -> Iterator[Path]:
    """Folders under ``root`` (itself included) that the converter wrote a session into."""
    for folder, subfolders, files in os.walk(root):
        subfolders.sort()
        if layout.SESSION_JSON in files or any(layout.channel_name_of(f, layout.META_EXTENSION) is not None for f in files):
            yield Path(folder)


def _summary(root: Path) -> int:
    if not root.is_dir():
        print(f"sensconv summary: {root} is not a directory", file=sys.stderr)
        return 1
    rows = []
    status = 0
    for folder in session_folders(root):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", SessionTimeWarning)
                session = open_session(folder)
                numbers = session.summary()
        except (SessionError, OSError) as error:
            # A damaged session is reported; the others are still listed.
            print(f"sensconv summary: {error}", file=sys.stderr)
            status = 1
            continue
        start = (np.datetime_as_string(numbers["start"].astype("datetime64[ms]"), unit="ms") + "Z"
                 if session.utc else "(no UTC: no session.json)")
        audio = numbers["audio_filled"]
        rows.append([str(folder), start, format_duration(numbers["duration"]), f"{numbers['filled']:.2%}",
                     f"{audio:.2%}" if audio is not None else "-",
                     str(numbers["gps_fixes"]) if numbers["gps_fixes"] is not None else "-", str(numbers["images"])])
    if not rows and status == 0:
        print(f"sensconv summary: no session folder under {root}", file=sys.stderr)
        return 1
    header = ["session", "start (UTC)", "duration", "filled", "audio filled", "GPS fixes", "images"]
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    for row in [header] + rows:
        print("  ".join(cell.ljust(w) if i < 2 else cell.rjust(w) for i, (cell, w) in enumerate(zip(row, widths))))
    return status


def format_duration(seconds: float) -> str:
    """H:MM:SS.mmm

    >>> format_duration(3725.5)
    '1:02:05.500'
    """
    whole = int(seconds)
    return f"{whole // 3600}:{whole % 3600 // 60:02d}:{whole % 60:02d}.{int(round((seconds - whole) * 1000)) % 1000:03d}"
