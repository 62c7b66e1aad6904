"""What the reader checks before it trusts a session folder.

Every name the reader takes from session.json is a file of the session folder itself;
the reader opens regular files only (never a FIFO or a device, which could hang it or
feed it without end), follows a link only while it stays inside the folder, and reads
no more of a file than its description allows. session.json is checked against its own
schema (docs/session.schema.json, shipped with the package) and for what the schema
cannot say: rates above zero, anchors in order, times that a ``datetime64[ns]`` holds.
Whatever is wrong raises ``SessionError`` naming the file and the problem.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import functools
import json
import math
import os
import stat
import tempfile
from importlib import resources
from pathlib import Path
from typing import BinaryIO, Iterator

from .errors import SessionError

SCHEMA_FILE = "session.schema.json"
# Layouts this reader opens: version 2 only adds keys to version 1.
READABLE_VERSIONS = (1, 2)

# Far above what the converter writes (about 6 KB of session.json per input file, so
# some 60 MB for a session of 10,000 files; a .meta file of a channel is a few lines,
# binaryData.meta about 4 KB per input file); bounds what a damaged folder can cost.
SESSION_JSON_LIMIT = 128 << 20
META_LIMIT = 1 << 20
GLOBAL_META_LIMIT = 64 << 20
# The longest gps.csv line the converter writes is about 120 bytes.
GPS_LINE_LIMIT = 256

# datetime64[ns] ends in 2262; times beyond it (or before 1678) cannot be placed.
SECONDS_LIMIT = (2**63 - 1) / 1e9
INT64 = 2**63


def file_name(source: Path, what: str, value: object, *, folder_itself: bool = False) -> str:
    """value, a name session.json (source) gives for ``what``, checked to name a file in
    the session folder itself: no folder part, no "..", nothing absolute. With
    folder_itself, "." (the folder) is allowed too."""
    if not isinstance(value, str) or not value or "\0" in value:
        raise SessionError(source, f"{what} is not a file name: {value!r}")
    if value == "." and folder_itself:
        return value
    if "/" in value or value in (".", ".."):
        raise SessionError(source, f"{what} is {value!r}, which leads out of the session folder: "
                                   f"the converter names files of the folder itself")
    return value


def _inside(path: Path) -> str:
    """The real path of path (links followed), which must lie in path's own folder."""
    folder = os.path.realpath(path.parent)
    real = os.path.realpath(path)
    if os.path.dirname(real) != folder and real != folder:
        raise SessionError(path, f"is a link that leads out of the session folder (to {real})")
    return real


def open_regular(path: Path) -> BinaryIO:
    """The open file at path, a regular file of the session folder (a link is followed
    only when it stays inside)."""
    real = _inside(path)
    try:
        # O_NONBLOCK: opening a FIFO must not wait for a writer; O_NOFOLLOW: the checked
        # path is the one opened.
        descriptor = os.open(real, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW | os.O_CLOEXEC)
    except FileNotFoundError:
        raise SessionError(path, "is missing") from None
    except OSError as error:
        if error.errno == errno.ELOOP:
            raise SessionError(path, "changed into a link while it was opened") from None
        raise SessionError(path, f"cannot be opened: {error.strerror}") from None
    try:
        mode = os.fstat(descriptor).st_mode
        if not stat.S_ISREG(mode):
            kind = ("a FIFO" if stat.S_ISFIFO(mode) else "a device" if stat.S_ISCHR(mode) or stat.S_ISBLK(mode)
                    else "a folder" if stat.S_ISDIR(mode) else "a socket" if stat.S_ISSOCK(mode) else "special")
            raise SessionError(path, f"is {kind}, not a regular file")
        fcntl.fcntl(descriptor, fcntl.F_SETFL, fcntl.fcntl(descriptor, fcntl.F_GETFL) & ~os.O_NONBLOCK)
        return os.fdopen(descriptor, "rb")
    except BaseException:
        os.close(descriptor)
        raise


def read_bytes(path: Path, limit: int, why: str) -> bytes:
    """The whole of a regular file of the folder that holds at most limit bytes (why:
    what sets the limit, for the message)."""
    with open_regular(path) as stream:
        size = os.fstat(stream.fileno()).st_size
        if size > limit:
            raise SessionError(path, f"is {size} bytes long, more than the {limit} bytes {why}")
        try:
            data = stream.read(limit + 1)
        except OSError as error:
            raise SessionError(path, f"cannot be read: {error.strerror}") from None
    if len(data) > limit:
        raise SessionError(path, f"grew beyond {limit} bytes ({why}) while it was read")
    return data


def folder_inside(path: Path) -> Path:
    """path (a folder of the session folder, or the folder itself), checked not to lead
    out of it through a link."""
    if path.name in ("", "."):
        return path
    real = os.path.realpath(path)
    if os.path.dirname(real) != os.path.realpath(path.parent):
        raise SessionError(path, f"is a link that leads out of the session folder (to {real})")
    return path


@contextlib.contextmanager
def replacing(path: Path) -> Iterator[BinaryIO]:
    """A new file beside path to write, renamed over path when the block ends: whatever
    path was (a link included) is replaced, never written through. Nothing changes at
    path when the block fails."""
    descriptor, temporary = tempfile.mkstemp(prefix=f".{path.name}.", dir=path.parent or ".")
    try:
        mask = os.umask(0o22)
        os.umask(mask)
        os.fchmod(descriptor, 0o666 & ~mask)
        with os.fdopen(descriptor, "wb") as stream:
            descriptor = -1
            yield stream
        os.replace(temporary, path)
    except BaseException:
        if descriptor >= 0:
            os.close(descriptor)
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


# -- session.json --------------------------------------------------------------


class _NumberError(ValueError):
    pass


def _float(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise _NumberError(f"the number {text} is beyond the range of a double")
    return value


def _int(text: str) -> int:
    if len(text) > 20 or not -INT64 <= (value := int(text)) < INT64:
        raise _NumberError(f"the integer {text[:40]}{'...' if len(text) > 40 else ''} does not fit in 64 bits")
    return value


def _constant(name: str) -> float:
    raise _NumberError(f"{name} is not a JSON number")


@functools.lru_cache(maxsize=1)
def _validator():
    import jsonschema  # loaded when the first session.json is opened

    schema = json.loads(resources.files(__package__).joinpath(SCHEMA_FILE).read_text(encoding="utf-8"))
    # One schema for every readable layout: later versions only add keys.
    schema["properties"]["schemaVersion"] = {"enum": list(READABLE_VERSIONS)}
    validator_class = jsonschema.validators.validator_for(schema)
    return validator_class(schema)


def load_session_json(path: Path) -> dict:
    """session.json parsed, and checked against its schema and for what the schema
    cannot say."""
    data = read_bytes(path, SESSION_JSON_LIMIT, "that a session.json can take")
    try:
        doc = json.loads(data.decode("utf-8"), parse_float=_float, parse_int=_int, parse_constant=_constant)
    except _NumberError as error:
        raise SessionError(path, f"holds a number the reader cannot take: {error}") from None
    except (UnicodeDecodeError, ValueError, RecursionError) as error:
        raise SessionError(path, f"is not valid JSON ({error}); the conversion may not have finished") from None
    if not isinstance(doc, dict):
        raise SessionError(path, "does not hold a JSON object")
    version = doc.get("schemaVersion")
    if isinstance(version, int) and not isinstance(version, bool) and version > max(READABLE_VERSIONS):
        raise SessionError(path, f"has schemaVersion {version}; this reader knows up to {max(READABLE_VERSIONS)}")
    import jsonschema

    error = jsonschema.exceptions.best_match(_validator().iter_errors(doc))
    # Where a value may be one thing or null, what is wrong with it as that thing.
    while error is not None and error.context:
        error = jsonschema.exceptions.best_match(
            [inner for inner in error.context if (inner.validator, inner.validator_value) != ("type", "null")]
            or error.context)
    if error is not None:
        where = "/".join(str(key) for key in error.absolute_path) or "the top level"
        message = error.message if len(error.message) <= 200 else error.message[:200] + "..."
        raise SessionError(path, f"does not follow its schema at {where}: {message}")
    _check_values(path, doc)
    return doc


def check_seconds(path: Path, what: str, seconds: float, since: str = "since 1970") -> None:
    if not -SECONDS_LIMIT < seconds < SECONDS_LIMIT:
        raise SessionError(path, f"{what} is {seconds!r} s {since}, outside the years 1678 to 2262")


def check_channel_times(path: Path, name: str, rate: float, samples: int, anchors: list[tuple[int, float]]) -> None:
    """The rate and the anchors of a channel with samples: a rate above zero, anchor
    indexes from 0 upwards within the samples, and every sample's time in range."""
    if samples < 0 or samples >= INT64 // 8:
        raise SessionError(path, f"channel {name} has {samples} samples")
    if not samples:
        return
    if not (math.isfinite(rate) and rate > 0):
        raise SessionError(path, f"channel {name} has {samples} samples at a rate of {rate!r} Hz: "
                                 f"a rate must be above 0")
    if not anchors:
        raise SessionError(path, f"channel {name} has {samples} samples but no time anchor")
    index = [i for i, _ in anchors]
    if index[0] != 0 or any(b < a for a, b in zip(index, index[1:])) or index[-1] > samples:
        raise SessionError(path, f"channel {name}: anchor indexes {index[:20]} do not run from 0 "
                                 f"upwards within its {samples} samples")
    for k, (start, seconds) in enumerate(anchors):
        stop = index[k + 1] if k + 1 < len(index) else samples
        check_seconds(path, f"channel {name}: anchor {k}", seconds)
        if stop > start:
            check_seconds(path, f"channel {name}: sample {stop - 1} (at {rate!r} Hz from anchor {k})",
                          seconds + (stop - 1 - start) / rate)


def _check_values(path: Path, doc: dict) -> None:
    files = doc["files"]
    for k, file in enumerate(files):
        for board, clock in (file.get("clocks") or {}).items():
            if not isinstance(clock, dict):
                continue
            zero = clock.get("zero")
            if isinstance(zero, dict) and isinstance(zero.get("unixSeconds"), (int, float)):
                check_seconds(path, f"files/{k}/clocks/{board}/zero/unixSeconds", zero["unixSeconds"])
            if isinstance(clock.get("zeroSessionSeconds"), (int, float)):
                check_seconds(path, f"files/{k}/clocks/{board}/zeroSessionSeconds", clock["zeroSessionSeconds"],
                              "of session time, which would put UTC")
    for channel in doc["channels"]:
        name = channel["name"]
        file_name(path, f"the file of channel {name}", channel["file"])
        if channel["sparseFile"] is not None:
            file_name(path, f"the sparseFile of channel {name}", channel["sparseFile"])
        samples = channel["samples"]
        if channel["filledSamples"] > samples:
            raise SessionError(path, f"channel {name} has {channel['filledSamples']} filled samples of {samples}")
        anchors = channel["anchors"]
        if any(anchor["file"] >= len(files) for anchor in anchors):
            raise SessionError(path, f"channel {name} has an anchor of input file "
                                     f"{max(a['file'] for a in anchors)}, of {len(files)} files")
        check_channel_times(path, name, channel["rate"], samples,
                            [(anchor["index"], anchor["unixSeconds"]) for anchor in anchors])
    file_name(path, "images/directory", doc["images"]["directory"], folder_itself=True)
    gps = doc["gps"]
    for key in ("file", "csv", "gpx"):
        if gps.get(key) is not None:
            file_name(path, f"gps/{key}", gps[key])
    if gps.get("fixes") is not None and (not isinstance(gps["fixes"], int) or gps["fixes"] < 0):
        raise SessionError(path, f"gps/fixes is {gps['fixes']!r}, not a count")
