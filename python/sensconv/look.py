"""The quick look: a session's sensors, audio, filled samples, images and GPS track
in one figure on a shared UTC axis.

Every channel is reduced to its minimum and maximum per pixel column, reading the
memory-mapped values (and the WAV file) in bounded blocks, so a day-long session
plots in seconds and in little memory.
"""

from __future__ import annotations

import math
import os
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Iterator

import matplotlib
import matplotlib.patches
import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.dates import AutoDateLocator, ConciseDateFormatter
from matplotlib.figure import Figure
from matplotlib.ticker import MaxNLocator
from matplotlib.transforms import blended_transform_factory

from . import layout, validate
from .cli import format_duration as _duration
from .errors import SessionError
from .session import ACCEL_AXES, AUDIO, Session, open_audio, open_session
from .timebase import NS_PER_SECOND, TimeBase

# The calibrated acceleration's magnitude, drawn with the three axes.
MAGNITUDE = "magnitude"

# The panels of sensor channels, top to bottom.
GROUPS: list[tuple[str, list[str]]] = [
    ("Pressure", ["BarPres"]),
    ("Temperature", ["BarTemp", "ShtTemp", "gyroTemp", "gyroTempY", "gyroTempZ"]),
    ("Humidity", ["ShtHumid"]),
    ("Light", ["visFreqLight", "IRLight", "VisLight", "AmbientLight"]),
    ("Acceleration", ["accel", "accelY", "accelZ", MAGNITUDE]),
    ("Compass", ["compass"]),
    ("Gyroscopes", ["gyro", "gyroY", "gyroZ"]),
    ("Magnetometer", ["mag", "magY", "magZ"]),
    ("Power", ["power", "juxpower"]),
]
AUDIO_PANEL = "Audio"
ACTIVITY_PANEL = "Activity"
WEAR_COLOURS = {"wear": "#2ca02c", "nonwear": "#ff7f0e", "nodata": "#7f7f7f"}
IMAGES_PANEL = "Images"
GPS_PANEL = "GPS track"
FILLED_COLOUR = "#d62728"
TRACK_COLOURS = matplotlib.colormaps["viridis"]
# Samples read per block while reducing; bounds the memory a channel needs.
BLOCK_SAMPLES = 1 << 21
DPI = 100


@dataclass
class QuickLook:
    """What ``quicklook`` wrote: the PNG's path, its size in pixels and each panel's
    box in pixels (left, top, right, bottom; origin at the image's top left)."""

    path: Path
    size: tuple[int, int]
    panels: dict[str, tuple[int, int, int, int]] = field(default_factory=dict)


@dataclass
class Columns:
    """A channel reduced to pixel columns."""

    low: np.ndarray
    high: np.ndarray
    count: np.ndarray
    filled: np.ndarray


def quicklook(part_dir: str | os.PathLike, output: str | os.PathLike | None = None, *,
              width: int = 1600, height: int = 1500) -> QuickLook:
    """Draws ``part_dir/quicklook.png`` (or ``output``) and returns where and what.

    >>> quicklook("demo/output/part_00").path                         # doctest: +SKIP
    PosixPath('demo/output/part_00/quicklook.png')
    """
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the figure's title says when times are not UTC
        session = open_session(part_dir)
    path = Path(output) if output is not None else session.path / layout.QUICKLOOK_FILE
    figure = Figure(figsize=(width / DPI, height / DPI), dpi=DPI)
    FigureCanvasAgg(figure)
    panels = _draw(session, figure)
    # A new file renamed into place: a link planted at path is replaced, never written through.
    with validate.replacing(path) as stream:
        figure.savefig(stream, dpi=DPI, format=path.suffix[1:].lower() or None)
    boxes = {}
    for name, axes in panels.items():
        box = axes.get_window_extent()
        boxes[name] = (math.ceil(box.x0), math.ceil(height - box.y1), math.floor(box.x1), math.floor(height - box.y0))
    return QuickLook(path, (width, height), boxes)


def _draw(session: Session, figure: Figure) -> dict:
    grid = figure.add_gridspec(len(GROUPS) + 3, 2, width_ratios=[3.2, 1], height_ratios=[1] * (len(GROUPS) + 2) + [0.35],
                               left=0.07, right=0.985, top=0.93, bottom=0.05, hspace=0.12, wspace=0.16)
    panels = {}
    first = None
    for row, (name, _) in enumerate(GROUPS + [(AUDIO_PANEL, []), (ACTIVITY_PANEL, []), (IMAGES_PANEL, [])]):
        axes = figure.add_subplot(grid[row, 0], sharex=first)
        first = first or axes
        panels[name] = axes
    panels[GPS_PANEL] = figure.add_subplot(grid[0:6, 1])

    axis = _TimeAxis(session, panels[GROUPS[0][0]])
    for name, channel_names in GROUPS:
        _draw_group(session, panels[name], name, channel_names, axis)
    _draw_audio(session, panels[AUDIO_PANEL], axis)
    _draw_activity(session, panels[ACTIVITY_PANEL], axis)
    _draw_images(session, panels[IMAGES_PANEL], axis)
    _draw_track(session, panels[GPS_PANEL])
    _draw_facts(session, figure, grid[7:, 1])

    for name, axes in panels.items():
        if name == GPS_PANEL:
            continue
        if name != IMAGES_PANEL:
            axes.tick_params(labelbottom=False)
        axes.set_xlim(axis.x([axis.t0, axis.t1]))
        axes.grid(True, linewidth=0.3, alpha=0.5)
    axis.format(panels[IMAGES_PANEL])
    figure.suptitle(_title(session), fontsize=12)
    return panels


class _TimeAxis:
    """The shared time axis: session start to end in pixel columns."""

    def __init__(self, session: Session, axes) -> None:
        self.utc = session.utc
        spans = []
        for info in (session.info(n) for n in session.channels.index):
            if info.samples and info.rate > 0:
                base = info.timebase
                spans += [base.ns(0, 1)[0], base.ns(info.samples - 1, info.samples)[0]]
        if not session.utc:
            spans += [0, int(session.duration * NS_PER_SECOND)]
        elif session.start is not None:
            start = int(session.start.astype("datetime64[ns]").astype(np.int64))
            spans += [start, start + int(session.duration * NS_PER_SECOND)]
        spans = spans or [0]
        self.t0, self.t1 = min(spans), max(spans)
        if self.t1 <= self.t0:
            self.t1 = self.t0 + NS_PER_SECOND
        figure_width = axes.figure.get_figwidth() * axes.figure.dpi
        self.columns = max(int(math.ceil(axes.get_position().width * figure_width)), 16)
        self.step = (self.t1 - self.t0) / self.columns
        self.edges = self.t0 + np.arange(self.columns + 1) * self.step
        self.centres = self.edges[:-1] + self.step / 2

    def x(self, ns) -> np.ndarray:
        ns = np.asarray(ns, dtype=np.float64)
        if self.utc:
            return np.rint(ns).astype(np.int64).view("datetime64[ns]")
        return (ns - self.t0) / NS_PER_SECOND

    def format(self, axes) -> None:
        if self.utc:
            locator = AutoDateLocator()
            axes.xaxis.set_major_locator(locator)
            axes.xaxis.set_major_formatter(ConciseDateFormatter(locator))
            axes.set_xlabel("UTC")
        else:
            axes.set_xlabel("session time (s) - no UTC: this folder has no session.json")


def _column_blocks(base: TimeBase, axis: _TimeAxis) -> Iterator[tuple[np.ndarray, np.ndarray, int, int]]:
    """Per run of samples, the pixel columns it touches in blocks of at most
    BLOCK_SAMPLES samples (a single wider column stands alone): yields the columns,
    their first samples relative to the block, and the block's first and end sample."""
    for seg in base.segments():
        bounds = base.first_index_at_or_after(seg, axis.edges)
        counts = np.diff(bounds)
        columns = np.flatnonzero(counts)
        if not len(columns):
            continue
        starts = bounds[columns]
        ends = bounds[columns + 1]
        group = (np.cumsum(counts[columns]) - counts[columns]) // BLOCK_SAMPLES
        cuts = np.flatnonzero(np.diff(group)) + 1
        for part in np.split(np.arange(len(columns)), cuts):
            a, b = int(starts[part[0]]), int(ends[part[-1]])
            yield columns[part], starts[part] - a, a, b


def reduce_channel(base: TimeBase, values: np.ndarray, filled_positions: np.ndarray, axis: _TimeAxis) -> Columns:
    """Minimum, maximum, count and filled count of a channel's samples per column."""
    n = axis.columns
    result = Columns(np.full(n, np.nan), np.full(n, np.nan), np.zeros(n, np.int64), np.zeros(n, np.int64))
    filled = np.sort(filled_positions)
    for columns, offsets, a, b in _column_blocks(base, axis):
        block = np.asarray(values[a:b], dtype=np.float64)
        result.low[columns] = np.fmin(result.low[columns], np.fmin.reduceat(block, offsets))
        result.high[columns] = np.fmax(result.high[columns], np.fmax.reduceat(block, offsets))
        edges = np.append(offsets + a, b)
        result.count[columns] += np.diff(edges)
        result.filled[columns] += np.diff(np.searchsorted(filled, edges))
    return result


def reduce_audio(base: TimeBase, read: Callable[[int, int], np.ndarray], axis: _TimeAxis) -> tuple[np.ndarray, np.ndarray]:
    """RMS and peak level (dB of full scale) of the audio per column."""
    n = axis.columns
    squares = np.zeros(n)
    count = np.zeros(n, np.int64)
    peak = np.zeros(n)
    for columns, offsets, a, b in _column_blocks(base, axis):
        block = read(a, b).astype(np.float64)
        squares[columns] += np.add.reduceat(block * block, offsets)
        peak[columns] = np.maximum(peak[columns], np.maximum.reduceat(np.abs(block), offsets))
        count[columns] += np.diff(np.append(offsets, b - a))
    with np.errstate(divide="ignore", invalid="ignore"):
        rms = np.sqrt(squares / count)
        to_db = lambda level: np.where(count > 0, 20 * np.log10(np.maximum(level, 1.0) / 32768.0), np.nan)
        return to_db(rms), to_db(peak)


def _interleave(columns: Columns, axis: _TimeAxis, period_ns: float) -> tuple[np.ndarray, np.ndarray]:
    """A line through each column's minimum and maximum, so that every sample's
    extent shows; it passes over columns without samples (a channel slower than the
    columns) and breaks only where no sample came for more than 1.5 sample periods."""
    used = np.flatnonzero(columns.count > 0)
    centres = axis.centres[used]
    gap = np.flatnonzero(np.diff(centres) > 1.5 * period_ns + axis.step) + 1
    x = np.insert(np.repeat(centres, 2), 2 * gap, np.nan)
    y = np.insert(np.column_stack([columns.low[used], columns.high[used]]).ravel(), 2 * gap, np.nan)
    if axis.utc:
        return np.where(np.isnan(x), np.datetime64("NaT"), axis.x(np.nan_to_num(x))), y
    return axis.x(x), y


class _PhysicalValues:
    """A channel's physical values (the calibrated acceleration's magnitude for
    MAGNITUDE), converted block by block as the drawing reads them."""

    def __init__(self, session: Session, channels: list) -> None:
        self.session, self.channels = session, channels

    def __len__(self) -> int:
        return min(len(c) for c in self.channels)

    def __getitem__(self, piece: slice) -> np.ndarray:
        start, stop, _ = piece.indices(len(self))
        blocks = [self.session.physical_block(c, start, stop) for c in self.channels]
        if len(blocks) == 1:
            return blocks[0]
        return np.sqrt(sum(b * b for b in blocks))


def _draw_group(session: Session, axes, name: str, channel_names: list[str], axis: _TimeAxis) -> None:
    present = [n for n in channel_names if n in session.channels.index
               or n == MAGNITUDE and all(a in session.channels.index for a in ACCEL_AXES)]
    filled = np.zeros(axis.columns)
    units = set()
    drawn = 0
    lowest = math.inf
    for channel_name in present:
        if channel_name == MAGNITUDE:
            axes_channels = [session.channel(a) for a in ACCEL_AXES]
            channel = axes_channels[0]
            values = _PhysicalValues(session, axes_channels)
        else:
            channel = session.channel(channel_name)
            values = _PhysicalValues(session, [channel])
        units.add(session.frame_unit(channel.info))
        if not len(channel):
            continue
        columns = reduce_channel(channel.timebase, values, channel.filled_positions, axis)
        x, y = _interleave(columns, axis, channel.timebase.period_ns)
        lowest = min(lowest, float(np.nanmin(columns.low)) if columns.count.any() else lowest)
        share = channel.info.filled_samples / len(channel)
        label = channel_name + (f" ({share:.2%} filled)" if share else "")
        axes.plot(x, y, linewidth=0.7, label=label)
        with np.errstate(divide="ignore", invalid="ignore"):
            filled = np.fmax(filled, np.where(columns.count > 0, columns.filled / columns.count, 0))
        drawn += 1
    if drawn:
        if name == "Light" and lowest > 0:
            axes.set_yscale("log")
        else:
            axes.ticklabel_format(axis="y", useOffset=False)
        limits = axes.get_ylim()
        _shade_filled(axes, filled, axis)
        axes.set_ylim(limits)  # the shading is in axes coordinates: it must not move the limits
    unit = units.pop() if len(units) == 1 else None
    axes.set_ylabel(name + (f"\n{unit}" if unit else ""), fontsize=9)
    if drawn:
        axes.legend(loc="upper left", fontsize=7, ncol=min(drawn, 5), framealpha=0.6)
    else:
        why = "no samples in this session" if present else "no such channel in this session"
        axes.text(0.5, 0.5, f"{', '.join(channel_names)}: {why}", transform=axes.transAxes, ha="center",
                  va="center", fontsize=9, color="0.35")


def _shade_filled(axes, share: np.ndarray, axis: _TimeAxis) -> None:
    """Where samples were filled in: a bar at the bottom whose height is the share of
    filled samples in the column (at least a sliver, and three columns wide, so that a
    single filled sample shows), and a light full-height span where a tenth or more
    of the column was filled (a real gap, not a lost packet here and there)."""
    marked = share > 0
    if not marked.any():
        return
    marked = marked | np.roll(marked, 1) | np.roll(marked, -1)
    widened = np.fmax(share, np.fmax(np.roll(share, 1), np.roll(share, -1)))
    transform = blended_transform_factory(axes.transData, axes.transAxes)
    x = axis.x(axis.centres)
    axes.fill_between(x, 0, 1, where=widened >= 0.1, step="mid", transform=transform, color=FILLED_COLOUR,
                      alpha=0.10, linewidth=0)
    axes.fill_between(x, 0, np.where(marked, np.maximum(widened, 0.05), 0), where=marked, step="mid",
                      transform=transform, color=FILLED_COLOUR, alpha=0.5, linewidth=0, label="filled")


def _draw_audio(session: Session, axes, axis: _TimeAxis) -> None:
    axes.set_ylabel("Audio\ndB full scale", fontsize=9)
    if AUDIO not in session.channels.index or not session.info(AUDIO).samples:
        axes.text(0.5, 0.5, "no audio in this session", transform=axes.transAxes, ha="center", va="center")
        return
    info = session.info(AUDIO)
    with open_audio(session.path / info.file, info.samples if session.json is not None else None) as sound:

        def read(a: int, b: int) -> np.ndarray:
            sound.seek(a)
            return sound.read(b - a, dtype="int16")

        rms, peak = reduce_audio(info.timebase, read, axis)
    x = axis.x(axis.centres)
    floor = -90.0
    axes.fill_between(x, floor, peak, color="#9ecae1", linewidth=0, label="peak", step="mid")
    axes.fill_between(x, floor, rms, color="#2171b5", linewidth=0, label="RMS", step="mid")
    axes.set_ylim(floor, 3)
    axes.legend(loc="upper left", fontsize=7, ncol=2, framealpha=0.6)


def _draw_activity(session: Session, axes, axis: _TimeAxis) -> None:
    """ENMO per epoch over time, with a band of wear, non-wear and no data under it."""
    axes.set_ylabel("Activity\nENMO mg", fontsize=9)
    if not (session.path / layout.EPOCHS_FILE).exists():
        axes.text(0.5, 0.5, "no epochs in this session", transform=axes.transAxes, ha="center", va="center")
        return
    epochs = session.epochs()
    starts = epochs.index.asi8
    step = int(np.median(np.diff(starts))) if len(starts) > 1 else 60 * NS_PER_SECOND
    axes.plot(axis.x(starts + step // 2), epochs["enmo_mg"].to_numpy(dtype=float), color="#08519c", linewidth=0.7,
              label="ENMO")
    band = blended_transform_factory(axes.transData, axes.transAxes)
    states = epochs["wear"].to_numpy()
    change = np.flatnonzero(np.r_[True, states[1:] != states[:-1]])
    for k, at in enumerate(change):
        end = change[k + 1] if k + 1 < len(change) else len(states)
        left, right = axis.x([starts[at], starts[end - 1] + step])
        axes.fill_between([left, right], 0, 0.1, color=WEAR_COLOURS.get(states[at], "#7f7f7f"), linewidth=0,
                          transform=band)
    top = np.nanmax(epochs["enmo_mg"].to_numpy(dtype=float)) if epochs["enmo_mg"].notna().any() else 1.0
    axes.set_ylim(-0.12 * max(top, 1.0) / 0.88, max(top, 1.0) * 1.05)
    handles = [matplotlib.patches.Patch(color=c, label=s) for s, c in WEAR_COLOURS.items()]
    axes.legend(handles=[*axes.get_lines(), *handles], loc="upper left", fontsize=7, ncol=4, framealpha=0.6)


def _draw_images(session: Session, axes, axis: _TimeAxis) -> None:
    """Image times as black ticks in the upper half; the GPS fixes' times in the lower
    half, coloured as their points in the track panel."""
    images = session.images()
    try:
        fixes = session.gps()["session_ms"].to_numpy()
    except SessionError:
        fixes = np.empty(0, dtype=np.int64)
    axes.set_yticks([0.25, 0.75], [f"GPS fixes {len(fixes)}", f"images {len(images)}"], fontsize=8)
    width = lambda count: 1.2 if count < axis.columns / 8 else 0.4
    if len(images):
        times = session.session_ms_to_time(images["session_ms"].to_numpy()).view("int64")
        axes.vlines(axis.x(times), 0.52, 1, color="black", linewidth=width(len(times)))
    if len(fixes):
        times = session.session_ms_to_time(fixes).view("int64")
        colours = TRACK_COLOURS(np.linspace(0, 1, len(fixes)))
        axes.vlines(axis.x(times), 0, 0.48, colors=colours, linewidth=width(len(fixes)))
    if not len(images) and not len(fixes):
        axes.text(0.5, 0.5, "no camera images, no GPS fix", transform=axes.transAxes, ha="center", va="center")
    axes.set_ylim(0, 1)


def _draw_track(session: Session, axes) -> None:
    axes.set_title(GPS_PANEL, fontsize=10)
    try:
        fixes = session.gps()
    except SessionError as error:
        axes.text(0.5, 0.5, f"no GPS track:\n{os.path.basename(error.path)} {error.problem}", ha="center",
                  va="center", transform=axes.transAxes, fontsize=8, wrap=True)
        axes.set_xticks([])
        axes.set_yticks([])
        return
    if not len(fixes):
        axes.text(0.5, 0.5, "the receiver had no fix", ha="center", va="center", transform=axes.transAxes)
        return
    lon, lat = fixes["longitude_deg"].to_numpy(), fixes["latitude_deg"].to_numpy()
    axes.plot(lon, lat, color="0.6", linewidth=0.8)
    points = axes.scatter(lon, lat, c=np.arange(len(fixes)), cmap=TRACK_COLOURS, s=6, zorder=3)
    axes.plot(lon[:1], lat[:1], marker="o", color="green", markersize=7, label="first fix", linestyle="none", zorder=4)
    axes.plot(lon[-1:], lat[-1:], marker="s", color="red", markersize=7, label="last fix", linestyle="none", zorder=4)
    axes.set_aspect(1 / max(math.cos(math.radians(float(np.nanmean(lat)))), 0.05), adjustable="datalim")
    axes.set_xlabel("longitude (°)", fontsize=8)
    axes.set_ylabel("latitude (°)", fontsize=8)
    axes.tick_params(labelsize=7)
    axes.ticklabel_format(useOffset=False)
    axes.xaxis.set_major_locator(MaxNLocator(3))
    axes.legend(loc="best", fontsize=7)
    bar = axes.figure.colorbar(points, ax=axes, fraction=0.05, pad=0.02)
    bar.set_label(f"fix number (of {len(fixes)})", fontsize=7)
    bar.ax.tick_params(labelsize=7)


def _draw_facts(session: Session, figure: Figure, place) -> None:
    axes = figure.add_subplot(place)
    axes.axis("off")
    numbers = session.summary()
    lines = [f"{session.path}", f"duration  {_duration(session.duration)}",
             f"filled samples  {numbers['filled']:.3%} of the sensors'"]
    if numbers["audio_filled"] is not None:
        lines.append(f"                {numbers['audio_filled']:.3%} of the audio")
    lines.append(f"GPS fixes  {numbers['gps_fixes'] if numbers['gps_fixes'] is not None else 'unknown'}")
    lines.append(f"images  {numbers['images']}")
    if session.json is not None:
        lines.append(f"input files  {len(session.json.get('files', []))}")
    lines.append(_calibration_line(session.accelerometer_calibration))
    wear = (session.json or {}).get("wear")
    if wear:
        minutes = wear["minutes"]
        lines.append(f"hours worn  {minutes['wear'] / 60:.1f} (not worn {minutes['nonwear'] / 60:.1f},"
                     f" no data {minutes['nodata'] / 60:.1f})")
    axes.text(0, 1, "\n".join(lines), va="top", ha="left", family="monospace", fontsize=8, transform=axes.transAxes)


def _calibration_line(calibration: dict | None) -> str:
    if calibration is None:
        return "accelerometer  no samples"
    before, after = calibration.get("errorBeforeMg"), calibration.get("errorAfterMg")
    if calibration.get("accepted"):
        return f"calibration error  {before:.1f} -> {after:.1f} mg"
    error = f"{before:.1f} mg, " if before is not None else ""
    return f"calibration  not applied ({error}{calibration.get('reason')})"


def _title(session: Session) -> str:
    names = {"qor2": "main board", "jux": "second board"}
    boards = ", ".join(f"{names.get(b, b)} #{serial}" for b, serial in session.serials.items()) or "no board"
    if session.utc:
        span = f"{_iso(session.start)} to {_iso(session.end)} UTC"
    else:
        span = "session time only (no session.json)"
    return f"{session.path.name}: {boards}   |   {span}   ({_duration(session.duration)})"


def _iso(time) -> str:
    return np.datetime_as_string(time.astype("datetime64[ms]"), unit="ms") + "Z" if time is not None else "?"

