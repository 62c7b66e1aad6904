"""Where the converter puts what in a session folder, and its table of channels.

A folder with session.json names its channel, audio, GPS and image files itself, and
says each channel's board and units: the reader takes them from there. The names here
are those of the files that describe the rest, and what the reader needs for folders
that do not describe their channels themselves (written before session.json, or with
its schema 1): the converter's channel table, as ``tools/channeltable`` prints it
into ``channel_table.json`` (a test keeps the two the same).
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass
from functools import lru_cache
from pathlib import Path

SESSION_JSON = "session.json"
SESSION_META = "binaryData.meta"
AUDIO_FILE = "completeSensorAudio.wav"
GPS_CSV = "gps.csv"
EPOCHS_FILE = "epochs.csv"
IMAGES_DIRECTORY = "images"
IMAGE_NAME = re.compile(r"^(\d{11})\.jpg$")
QUICKLOOK_FILE = "quicklook.png"

CHANNEL_PREFIX = "binaryData_"
DATA_EXTENSION = ".bin"
META_EXTENSION = ".meta"
SPARSE_EXTENSION = ".sparse"


def channel_file(name: str, extension: str) -> str:
    """``binaryData_<name>`` with extension (``DATA_EXTENSION`` and the others)."""
    return f"{CHANNEL_PREFIX}{name}{extension}"


def channel_name_of(file_name: str, extension: str) -> str | None:
    """The channel a file of that extension belongs to, by its name; None for another file."""
    if file_name.startswith(CHANNEL_PREFIX) and file_name.endswith(extension):
        return file_name[len(CHANNEL_PREFIX):len(file_name) - len(extension)]
    return None


@dataclass(frozen=True)
class TableChannel:
    """One row of the converter's channel table."""

    name: str
    long_name: str
    board: str
    unit: str | None
    quantity: str
    ucum: str
    conversion: str
    uncalibrated: bool


@lru_cache(maxsize=1)
def channel_table() -> dict[str, TableChannel]:
    """The converter's channels by short name, in the order it creates them."""
    text = (Path(__file__).with_name("channel_table.json")).read_text(encoding="utf-8")
    rows = json.loads(text)["channels"]
    return {row["name"]: TableChannel(row["name"], row["longName"], row["board"], row["unit"], row["quantity"],
                                      row["ucum"], row["conversion"], row["uncalibrated"]) for row in rows}


def table_name(long_name: str) -> str:
    """The short name of a channel of the table by its long name (its identity)."""
    for row in channel_table().values():
        if row.long_name == long_name:
            return row.name
    raise KeyError(long_name)
