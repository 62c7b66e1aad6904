"""A converted session folder (``part_NN``) and everything in it, on one time axis."""

from __future__ import annotations

import os
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import Sequence

import numpy as np
import pandas as pd
import soundfile

from . import gps as gps_module
from . import layout, validate
from .channels import Channel, ChannelInfo, meta_float, meta_int, read_meta
from .errors import SessionError, SessionTimeWarning
from .timebase import NS_PER_SECOND, TimeBase, seconds_to_ns

AUDIO = "audio"
AUDIO_FILE = layout.AUDIO_FILE
ACCEL_AXES = tuple(layout.table_name(axis) for axis in ("qor2/x_accel", "qor2/y_accel", "qor2/z_accel"))
BAR_TEMP = layout.table_name("qor2/temp")
NOMINAL_ZERO_G = 2.0
NOMINAL_CALIBRATION = {"accepted": False, "reason": "written before the converter calibrated the accelerometer",
                       "offsetMg": [0.0, 0.0, 0.0], "gain": [1.0, 1.0, 1.0],
                       "temperatureCoefficientMgPerC": [0.0, 0.0, 0.0], "referenceTemperatureC": 0.0}

FILLED_CHOICES = ("nan", "keep")
GRID_METHODS = ("mean", "linear", "nearest")


@dataclass
class Audio:
    """Samples of the microphone (16-bit integers, as in the WAV file) and their time.

    >>> sound = session.audio()                             # doctest: +SKIP
    >>> sound.rate, sound.first, sound.samples[:3]          # doctest: +SKIP
    (8000.0, numpy.datetime64('2025-03-14T09:30:00.000466824'), array([-16,  -3,  -9], dtype=int16))
    """

    samples: np.ndarray
    rate: float
    first: np.datetime64 | np.timedelta64 | None
    start: int
    timebase: TimeBase

    @property
    def times(self) -> np.ndarray:
        """The time of every sample (from the anchors, so right across file boundaries)."""
        return self.timebase.times(self.start, self.start + len(self.samples))


def open_session(part_dir: str | os.PathLike) -> "Session":
    """Opens a converted session folder.

    >>> session = sensconv.open_session("demo/output/part_00")     # doctest: +SKIP
    >>> session.start, session.duration                              # doctest: +SKIP
    (numpy.datetime64('2025-03-14T09:30:00.000'), 89.995)

    A folder without session.json (written by a converter before it wrote one) opens
    from its .meta files, with a ``SessionTimeWarning``: its times are then durations
    since the session's start (``timedelta64``), not UTC.
    """
    return Session(Path(part_dir))


class Session:
    """One ``part_NN`` folder. See ``open_session``."""

    def __init__(self, folder: Path) -> None:
        self.path = folder
        if not folder.is_dir():
            raise SessionError(folder, "is not a directory")
        self.json: dict | None = None
        json_path = folder / layout.SESSION_JSON
        if json_path.exists() or json_path.is_symlink():
            self._load_json(json_path)
        else:
            self._load_meta_files()

    # -- loading --------------------------------------------------------------

    def _load_json(self, path: Path) -> None:
        doc = validate.load_session_json(path)
        need = _Needs(path)
        version = need(doc, "schemaVersion", int)
        self.json = doc
        self.utc = True
        status = need(doc, "status", int)
        if status != 0:
            warnings.warn(f"{path}: the conversion of this session ended with status {status}", stacklevel=4)
        self.start = _utc_of(need, doc, "start")
        self.end = _utc_of(need, doc, "end")
        self.duration = float(need(doc, "durationSeconds", (int, float)))
        boards = need(doc, "boards", dict)
        self.serials = {name: board["serial"] for name, board in boards.items() if isinstance(board, dict)}
        self._infos: dict[str, ChannelInfo] = {}
        for entry in need(doc, "channels", list):
            info = _channel_from_json(need, entry)
            self._infos[info.name] = info
        self._session_clock = _main_board_zeros(need(doc, "files", list))
        calibration = doc.get("accelerometerCalibration")
        if version < 2:
            warnings.warn(f"{path}: written with session.json schema {version}, before the converter calibrated "
                          "the accelerometer: physical values use the nominal conversion (value - 2.0 g)",
                          SessionTimeWarning, stacklevel=4)
            calibration = NOMINAL_CALIBRATION
        self.accelerometer_calibration: dict | None = calibration
        self._image_dir = need(doc, "images", dict).get("directory", layout.IMAGES_DIRECTORY)
        gps = need(doc, "gps", dict)
        self._gps_csv = gps.get("csv")
        self.gps_fixes: int | None = gps.get("fixes")

    def _load_meta_files(self) -> None:
        folder = self.path
        metas = sorted(folder.glob(layout.channel_file("*", layout.META_EXTENSION)))
        bins = sorted(folder.glob(layout.channel_file("*", layout.DATA_EXTENSION)))
        if not metas and not bins:
            raise SessionError(folder, "holds neither session.json nor binaryData_<name>.meta files: "
                                       "not a folder the converter wrote")
        for bin_path in bins:
            meta_path = bin_path.with_suffix(layout.META_EXTENSION)
            if not meta_path.exists():
                raise SessionError(meta_path, f"is missing: {bin_path.name} has no description")
        warnings.warn(f"{folder}: no session.json (output of an older converter): times are session time "
                      "(timedelta64 since the session's start), not UTC, and the pauses between the "
                      "session's input files are unknown", SessionTimeWarning, stacklevel=4)
        self.utc = False
        self.start = np.timedelta64(0, "ns")
        # Such a folder names its channels (the .meta files' "Name") but says nothing of
        # their boards and units: those are the converter's table's, and unknown (None)
        # for a channel the table does not hold.
        table = layout.channel_table()
        infos = []
        for meta_path in metas:
            meta = read_meta(meta_path)
            name = meta.get("Name") or layout.channel_name_of(meta_path.name, layout.META_EXTENSION)
            samples = meta_int(meta_path, meta, "NumSamples")
            rate = meta_float(meta_path, meta, "SampleRate")
            first = meta_float(meta_path, meta, "firstTimestamp") if "firstTimestamp" in meta else 0.0
            validate.check_channel_times(meta_path, name, rate, samples, [(0, first)])
            sparse = folder / layout.channel_file(name, layout.SPARSE_EXTENSION)
            filled = _count_lines(sparse) if sparse.exists() else 0
            row = table.get(name)
            if row is None:
                warnings.warn(f"{meta_path}: the converter has no channel {name!r}: its board and unit are unknown",
                              stacklevel=4)
            base = TimeBase(rate, samples, [0], [seconds_to_ns(first)], utc=False)
            infos.append(ChannelInfo(name, None, row.board if row else None, row.unit if row else None, rate, samples,
                                     filled, layout.channel_file(name, layout.DATA_EXTENSION),
                                     sparse.name if sparse.exists() else None, base))
        order = list(table)
        infos.sort(key=lambda i: order.index(i.name) if i.name in order else len(order))
        self._infos = {i.name: i for i in infos}
        wav = folder / AUDIO_FILE
        if wav.exists():
            with open_audio(wav, None) as sound:
                pass
            base = TimeBase(sound.samplerate, sound.frames, [0], [0], utc=False)
            row = table[AUDIO]
            self._infos[AUDIO] = ChannelInfo(AUDIO, row.long_name, row.board, row.unit, float(sound.samplerate),
                                             sound.frames, 0, AUDIO_FILE, None, base)
        ends = [i.timebase.anchor_ns[0] + i.samples * i.timebase.period_ns for i in infos if i.samples and i.rate]
        self.duration = float(max(ends) / NS_PER_SECOND) if ends else 0.0
        self.end = self.start + np.timedelta64(int(self.duration * NS_PER_SECOND), "ns")
        global_meta = folder / layout.SESSION_META
        described = read_meta(global_meta) if global_meta.exists() else {}
        self.serials = {board: int(described[f"{board}_deviceSN"])
                        for board in ("qor2", "jux") if f"{board}_deviceSN" in described}
        self._session_clock = None
        self.accelerometer_calibration = NOMINAL_CALIBRATION
        self._image_dir = layout.IMAGES_DIRECTORY
        self._gps_csv = None
        self.gps_fixes = None

    # -- channels -------------------------------------------------------------

    def __repr__(self) -> str:
        return f"<Session {self.path}: {self.start} + {self.duration:.3f} s, {len(self._infos)} channels>"

    @property
    def channels(self) -> pd.DataFrame:
        """Every channel (the audio included) with its board, unit, rate and counts.

        >>> session.channels.loc["BarPres", ["rate", "unit", "samples"]].tolist()   # doctest: +SKIP
        [1.0, 'bar', 86]
        """
        rows = [{"name": i.name, "board": i.board, "unit": i.unit, "rate": i.rate, "samples": i.samples,
                 "filled_samples": i.filled_samples,
                 "filled_share": i.filled_samples / i.samples if i.samples else 0.0,
                 "file": i.file} for i in self._infos.values()]
        return pd.DataFrame(rows).set_index("name")

    def info(self, name: str) -> ChannelInfo:
        try:
            return self._infos[name]
        except KeyError:
            raise KeyError(f"{self.path} has no channel {name!r}; it has {', '.join(self._infos)}") from None

    def channel(self, name: str) -> Channel:
        """One sensor channel: ``values`` (memory-mapped), ``times`` and ``filled``."""
        info = self.info(name)
        if name == AUDIO:
            raise ValueError(f"the audio is in {AUDIO_FILE}: use session.audio()")
        if self.json is not None:
            # The .meta file the converter wrote beside the .bin must agree with session.json.
            meta_path = self.path / (Path(info.file).stem + layout.META_EXTENSION)
            meta = read_meta(meta_path)
            if meta_int(meta_path, meta, "NumSamples") != info.samples:
                raise SessionError(meta_path, f"says {meta['NumSamples']} samples, session.json {info.samples}")
        channel = Channel(self.path, info)
        channel._physical = self._physical_values
        return channel

    def _conversion(self, info: ChannelInfo) -> str:
        if self.json is not None and int(self.json.get("schemaVersion", 1)) >= 2:
            return info.conversion
        # Older folders do not say: the converter's table does.
        row = layout.channel_table().get(info.name)
        return row.conversion if row is not None else "unchanged"

    def _physical_values(self, channel: Channel) -> np.ndarray:
        return self.physical_block(channel, 0, len(channel))

    def physical_block(self, channel: Channel, start: int, stop: int) -> np.ndarray:
        """Physical values of samples start to stop of channel (float64), so that long
        channels can be converted a block at a time."""
        values = np.asarray(channel.values[start:stop], dtype=np.float64)
        conversion = self._conversion(channel.info)
        if conversion == "fahrenheitToCelsius":
            return (values - 32.0) * 5.0 / 9.0
        if conversion != "accelerometerCalibration":
            return values
        axis = ACCEL_AXES.index(channel.name)
        c = self.accelerometer_calibration or NOMINAL_CALIBRATION
        result = c["offsetMg"][axis] / 1000.0 + c["gain"][axis] * (values - NOMINAL_ZERO_G)
        coefficient = c["temperatureCoefficientMgPerC"][axis] / 1000.0
        if coefficient != 0.0:
            result += coefficient * (self._temperature_for(channel, start, stop) - c["referenceTemperatureC"])
        return result

    def _temperature_for(self, channel: Channel, start: int, stop: int) -> np.ndarray:
        """BarTemp (degrees Celsius) paired with samples start to stop of channel, by the
        converter's one rule: sample i takes BarTemp sample floor(i * rate_T / rate_a),
        the last one where BarTemp has fewer."""
        temperature = self.channel(BAR_TEMP)
        positions = np.arange(start, stop, dtype=np.float64)
        index = np.floor(positions * temperature.rate / channel.rate).astype(np.int64)
        index = np.minimum(index, len(temperature) - 1)
        return np.asarray(temperature.values, dtype=np.float64)[index]

    def acceleration(self, *, filled: str = "nan") -> pd.DataFrame:
        """The calibrated acceleration in g, with its magnitude (``magnitude``), indexed by
        time. The converter's ``accelMag`` channel is the norm of the uncalibrated values
        (about 3.5 at rest) and no acceleration.

        >>> session.acceleration()["magnitude"].median()        # doctest: +SKIP
        1.0002
        """
        table = self.frame(list(ACCEL_AXES), filled=filled)
        table["magnitude"] = np.sqrt((table[list(ACCEL_AXES)] ** 2).sum(axis=1, skipna=False))
        table.attrs["units"]["magnitude"] = "[g]"
        return table

    def frame(self, names: str | Sequence[str], *, filled: str = "nan", rate: float | None = None,
              method: str = "mean", raw: bool = False) -> pd.DataFrame:
        """A table of channels, indexed by time (UTC, or session time for older output).

        >>> session.frame(["accel", "accelY", "accelZ"]).head(2)            # doctest: +SKIP
                                                accel    accelY    accelZ
        utc
        2025-03-14 09:30:00.000466824+00:00  2.156870  2.008057  2.983825
        2025-03-14 09:30:00.025466824+00:00  2.141732  1.990661  2.977782

        ``filled="nan"`` puts NaN where the converter filled in a lost sample,
        ``filled="keep"`` keeps the repeated value there.

        Without ``rate`` the channels must share one rate; the first channel's sample
        times are the index and each other channel's samples are matched to them to
        within half a sample period (NaN where none matches). With ``rate`` (Hz),
        every channel is put on one grid of that rate, aligned to whole multiples of
        its period, by ``method``:

        - ``"mean"``: the mean of the samples in [t, t + 1/rate), NaN if there are none;
        - ``"linear"``: linear interpolation between the two neighbouring samples,
          NaN where they are more than 1.5 sample periods apart (a gap) or one is NaN;
        - ``"nearest"``: the nearest sample within half a period (the larger of the
          channel's and the grid's), else NaN.

        The grid's rate and method are kept in ``frame.attrs["grid"]``.

        The values are physical (``Channel.physical``: calibrated acceleration in g,
        temperatures in degrees Celsius), each column's UCUM unit in
        ``frame.attrs["units"]``; ``raw=True`` gives the .bin values as written, with
        the .meta files' unit texts.
        """
        if filled not in FILLED_CHOICES:
            raise ValueError(f"filled must be one of {FILLED_CHOICES}, not {filled!r}")
        names = [names] if isinstance(names, str) else list(names)
        if not names:
            raise ValueError("no channel named")
        channels = [self.channel(n) for n in names]
        columns = {c.name: _values_for_frame(c, filled, raw) for c in channels}
        if rate is None:
            rates = {c.name: c.rate for c in channels}
            if len(set(rates.values())) > 1:
                raise ValueError(f"channels of different rates {rates}: pass rate= (Hz) and method= "
                                 f"to put them on one grid")
            table = _same_rate_table(channels, columns)
        else:
            if method not in GRID_METHODS:
                raise ValueError(f"method must be one of {GRID_METHODS}, not {method!r}")
            if not rate > 0:
                raise ValueError(f"rate must be above 0 Hz, not {rate!r}")
            table = _grid_table(channels, columns, float(rate), method)
            table.attrs["grid"] = {"rate": float(rate), "method": method}
        table.attrs["units"] = {c.name: (c.unit if raw else self._ucum(c.info)) for c in channels}
        table.attrs["values"] = "raw" if raw else "physical"
        return table

    def frame_unit(self, info: ChannelInfo) -> str | None:
        """The UCUM unit of a channel's physical values."""
        return self._ucum(info)

    def _ucum(self, info: ChannelInfo) -> str | None:
        if info.ucum is not None:
            return info.ucum
        conversion = self._conversion(info)
        return {"accelerometerCalibration": "[g]", "fahrenheitToCelsius": "Cel"}.get(conversion)

    # -- audio, GPS, images -----------------------------------------------------

    def audio(self, start: int = 0, stop: int | None = None) -> Audio:
        """The microphone's samples ``start`` to ``stop`` (all by default) and the time
        of the first of them. A day of audio is about 1.4 GB: read it in pieces."""
        if AUDIO not in self._infos:
            raise SessionError(self.path, "has no audio")
        info = self._infos[AUDIO]
        with open_audio(self.path / info.file, info.samples if self.json is not None else None) as sound:
            stop = sound.frames if stop is None else min(stop, sound.frames)
            sound.seek(start)
            samples = sound.read(max(stop - start, 0), dtype="int16")
        first = info.timebase.times(start, start + 1)[0] if len(samples) else None
        return Audio(samples, info.rate, first, start, info.timebase)

    def gps(self) -> pd.DataFrame:
        """The rows of gps.csv (one per fix), indexed by their UTC."""
        path = self.path / (self._gps_csv or gps_module.CSV_NAME)
        if not path.exists():
            older = self.json is None or self._gps_csv is None
            raise SessionError(path, "is missing" + (" (output of a converter that did not yet decode the GPS "
                                                     "receiver)" if older else ""))
        return gps_module.read_csv(path, self.gps_fixes)

    def images(self) -> pd.DataFrame:
        """Every camera image: its path and session time in ms, indexed by its time."""
        folder = validate.folder_inside(self.path / self._image_dir)
        if not folder.is_dir():
            folder = self.path  # written with -NoWriteImageSubDir
        found = sorted((int(m.group(1)), folder / m.group(0))
                       for m in map(layout.IMAGE_NAME.match, os.listdir(folder)) if m)
        session_ms = np.array([ms for ms, _ in found], dtype=np.int64)
        index = pd.Index(self.session_ms_to_time(session_ms), name=self.time_name)
        if self.utc:
            index = pd.DatetimeIndex(index).tz_localize("UTC")
        return pd.DataFrame({"path": [str(p) for _, p in found], "session_ms": session_ms}, index=index)

    @property
    def time_name(self) -> str:
        return "utc" if self.utc else "session_time"

    def session_ms_to_time(self, session_ms: np.ndarray) -> np.ndarray:
        """Session time (the main board's clock, which names the images and is
        ``session_ms`` in gps.csv) to UTC, as the converter places it: from where each
        input file's main-board time begins in UTC and in session time. Without those
        (an older session.json), through the anchors of the main board's fastest
        channel, right to within a few milliseconds."""
        session_ns = np.asarray(session_ms, dtype=np.int64) * 1_000_000
        if not self.utc:
            return session_ns.view("timedelta64[ns]")
        if self._session_clock is not None:
            starts_ns, zeros_ns = self._session_clock
        else:
            candidates = [i for i in self._infos.values() if i.board == "qor2" and i.samples and i.rate > 0]
            if not candidates:
                raise SessionError(self.path / "session.json", "has no main-board time to place session times in UTC")
            base = max(candidates, key=lambda i: i.rate).timebase
            starts_ns, zeros_ns = np.rint(base.anchor_index * base.period_ns).astype(np.int64), base.anchor_ns
        k = np.clip(np.searchsorted(starts_ns, session_ns, side="right") - 1, 0, None)
        return (zeros_ns[k] + (session_ns - starts_ns[k])).view("datetime64[ns]")

    # -- the session in one line -----------------------------------------------------

    def summary(self) -> dict:
        """The numbers of ``python3 -m sensconv summary``."""
        sensors = [i for i in self._infos.values() if i.name != AUDIO]
        samples = sum(i.samples for i in sensors)
        audio = self._infos.get(AUDIO)
        fixes = self.gps_fixes
        if fixes is None:
            csv = self.path / (self._gps_csv or gps_module.CSV_NAME)
            fixes = max(_count_lines(csv) - 1, 0) if csv.exists() else None
        return {
            "start": self.start, "duration": self.duration,
            "filled": sum(i.filled_samples for i in sensors) / samples if samples else 0.0,
            # Output without session.json does not say which audio samples were filled.
            "audio_filled": audio.filled_samples / audio.samples if audio and audio.samples and self.json else None,
            "gps_fixes": fixes, "images": len(self.images()), "serials": self.serials,
        }

    # -- wear time and activity (sensconv.activity) ----------------------------------

    def epochs(self) -> pd.DataFrame:
        """The epoch table (epochs.csv) with a UTC index; see ``sensconv.activity``."""
        from . import activity

        return activity.read_epochs(self.path)

    def days(self, timezone: str, **options) -> pd.DataFrame:
        """One row per local calendar day in ``timezone`` (an IANA name such as
        ``"Europe/Zurich"``); see ``sensconv.activity.days`` for the columns and options."""
        from . import activity

        declared = (((self.json or {}).get("wear") or {}).get("epochs") or {}).get("seconds")
        return activity.days(self.epochs(), timezone, epoch_seconds=declared, **options)


def open_audio(path: Path, samples: int | None) -> soundfile.SoundFile:
    """Opens the session's WAV file after checking that it is complete: that its
    header was finished and its samples are all there (``samples``, when known)."""
    stream = validate.open_regular(path)
    try:
        head = stream.read(1 << 16)
        size = os.fstat(stream.fileno()).st_size
        sound = _check_wav(path, stream, head, size)
    except BaseException:
        stream.close()
        raise
    if samples is not None and sound.frames != samples:
        sound.close()
        raise SessionError(path, f"holds {sound.frames} samples, session.json says {samples}")
    return sound


class _SessionSound(soundfile.SoundFile):
    """A WAV file read from the stream the reader opened (and closed with it)."""

    def __init__(self, stream) -> None:
        self._stream = stream
        super().__init__(stream)

    def close(self) -> None:
        try:
            super().close()
        finally:
            self._stream.close()


def _check_wav(path: Path, stream, head: bytes, size: int) -> soundfile.SoundFile:
    if head[:4] != b"RIFF" or head[8:12] != b"WAVE":
        raise SessionError(path, "is not a WAV file")
    offset = 12
    while offset + 8 <= len(head):
        chunk, length = head[offset:offset + 4], int.from_bytes(head[offset + 4:offset + 8], "little")
        if chunk == b"data":
            held = size - offset - 8
            if length == 0 and held > 0 or length == 0xFFFFFFFF:
                raise SessionError(path, "has a header that was never finished: the conversion did not finish")
            if length > held:
                raise SessionError(path, f"is cut short: its header announces {length} bytes of samples, "
                                         f"the file holds {held}")
            break
        offset += 8 + length + (length & 1)
    stream.seek(0)
    try:
        return _SessionSound(stream)
    except RuntimeError as error:  # how soundfile reports an unreadable file
        raise SessionError(path, f"cannot be read: {error}") from None


class _Needs:
    """Fetches a key of session.json with its type, or says which one is missing."""

    def __init__(self, path: Path) -> None:
        self.path = path

    def __call__(self, obj: dict, key: str, kind):
        if not isinstance(obj, dict) or key not in obj:
            raise SessionError(self.path, f"has no \"{key}\" where it is needed")
        value = obj[key]
        if kind is not None and not isinstance(value, kind) or isinstance(value, bool) and kind is not bool:
            raise SessionError(self.path, f"\"{key}\" has the wrong type: {value!r}")
        return value


def _utc_of(need: _Needs, obj: dict, key: str) -> np.datetime64 | None:
    time = obj.get(key)
    if time is None:
        return None
    return np.datetime64(int(need(time, "unixMs", int)), "ms")


def _channel_from_json(need: _Needs, entry: dict) -> ChannelInfo:
    name = need(entry, "name", str)
    rate = float(need(entry, "rate", (int, float)))
    samples = need(entry, "samples", int)
    anchors = need(entry, "anchors", list)
    index = [need(a, "index", int) for a in anchors]
    seconds = [need(a, "unixSeconds", (int, float)) for a in anchors]
    base = TimeBase(rate, samples, index, [seconds_to_ns(s) for s in seconds], utc=True)
    return ChannelInfo(name, entry.get("longName"), entry.get("board"), entry.get("unit"), rate, samples,
                       int(entry.get("filledSamples") or 0), need(entry, "file", str), entry.get("sparseFile"), base,
                       entry.get("quantity"), entry.get("ucum"), entry.get("conversion") or "unchanged",
                       bool(entry.get("uncalibrated", True)))


def _main_board_zeros(files: list) -> tuple[np.ndarray, np.ndarray] | None:
    """Per input file, the session time and the UTC (both in ns) at which the main
    board's time in that file begins, where session.json gives them."""
    starts, zeros = [], []
    for file in files:
        clock = ((file.get("clocks") or {}).get("qor2") or {}) if isinstance(file, dict) else {}
        zero, start = clock.get("zero"), clock.get("zeroSessionSeconds")
        if not isinstance(zero, dict) or not isinstance(zero.get("unixSeconds"), (int, float)) or start is None:
            return None
        starts.append(seconds_to_ns(start))
        zeros.append(seconds_to_ns(zero["unixSeconds"]))
    return (np.array(starts, dtype=np.int64), np.array(zeros, dtype=np.int64)) if starts else None


def _count_lines(path: Path) -> int:
    count = 0
    with validate.open_regular(path) as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            count += block.count(b"\n")
    return count


def _values_for_frame(channel: Channel, filled: str, raw: bool = False) -> np.ndarray:
    source = channel.values if raw else channel.physical
    if filled == "keep":
        return source
    values = np.array(source, dtype=np.float32 if raw else np.float64)
    values[channel.filled_positions] = np.nan
    return values


def _index(channel: Channel, ns: np.ndarray) -> pd.Index:
    if channel.timebase.utc:
        return pd.DatetimeIndex(ns.view("datetime64[ns]"), name="utc").tz_localize("UTC")
    return pd.TimedeltaIndex(ns.view("timedelta64[ns]"), name="session_time")


def _same_rate_table(channels: list[Channel], columns: dict[str, np.ndarray]) -> pd.DataFrame:
    base_ns = channels[0].timebase.ns()
    data = {}
    for channel in channels:
        values = columns[channel.name]
        ns = channel.timebase.ns()
        if len(ns) == len(base_ns) and np.array_equal(ns, base_ns):
            data[channel.name] = values
            continue
        # Same rate, other clock or other start: match each sample to the nearest base time.
        column = np.full(len(base_ns), np.nan, dtype=np.float32)
        if len(ns) and len(base_ns):
            nearest = _nearest(base_ns, ns)
            close = np.abs(base_ns[nearest] - ns) <= channel.timebase.period_ns / 2
            column[nearest[close]] = values[close]
        data[channel.name] = column
    return pd.DataFrame(data, index=_index(channels[0], base_ns))


def _grid_table(channels: list[Channel], columns: dict[str, np.ndarray], rate: float, method: str) -> pd.DataFrame:
    period = NS_PER_SECOND / rate
    spans = [(c.timebase.ns(0, 1)[0], c.timebase.ns(len(c) - 1, len(c))[0]) for c in channels if len(c)]
    if not spans:
        grid = np.empty(0, dtype=np.int64)
    else:
        first = np.floor(min(s for s, _ in spans) / period)
        last = np.floor(max(e for _, e in spans) / period)
        grid = np.rint(np.arange(first, last + 1) * period).astype(np.int64)
    data = {c.name: _on_grid(c.timebase.ns(), columns[c.name], grid, period, c.timebase.period_ns, method)
            for c in channels}
    return pd.DataFrame(data, index=_index(channels[0], grid))


def _on_grid(ns: np.ndarray, values: np.ndarray, grid: np.ndarray, grid_period: float, period: float,
             method: str) -> np.ndarray:
    out = np.full(len(grid), np.nan)
    if not len(ns) or not len(grid):
        return out
    values = np.asarray(values, dtype=np.float64)
    if method == "mean":
        bins = np.floor((ns - grid[0]) / grid_period).astype(np.int64)
        ok = ~np.isnan(values) & (bins >= 0) & (bins < len(grid))
        sums = np.bincount(bins[ok], weights=values[ok], minlength=len(grid))
        counts = np.bincount(bins[ok], minlength=len(grid))
        np.divide(sums, counts, out=out, where=counts > 0)
        return out
    last = len(ns) - 1
    if method == "linear":
        right = np.searchsorted(ns, grid, side="left")  # the first sample at or after each grid time
        r = np.minimum(right, last)
        l = np.maximum(right - 1, 0)
        span = (ns[r] - ns[l]).astype(np.float64)
        weight = (grid - ns[l]) / np.where(span > 0, span, 1.0)
        usable = (right > 0) & (right <= last) & (span <= 1.5 * period)
        out[usable] = (values[l] + (values[r] - values[l]) * weight)[usable]
        exact = (right <= last) & (ns[r] == grid)
        out[exact] = values[r[exact]]
        return out
    nearest = _nearest(ns, grid)
    close = np.abs(ns[nearest] - grid) <= max(period, grid_period) / 2
    out[close] = values[nearest[close]]
    return out


def _nearest(sorted_ns: np.ndarray, query: np.ndarray) -> np.ndarray:
    """For each query time, the position of the nearest of the sorted times."""
    r = np.minimum(np.searchsorted(sorted_ns, query), len(sorted_ns) - 1)
    l = np.maximum(r - 1, 0)
    return np.where(np.abs(sorted_ns[l] - query) <= np.abs(sorted_ns[r] - query), l, r)
