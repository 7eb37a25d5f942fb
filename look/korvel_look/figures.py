"""The figures of the channels' data, each read in chunk-aligned slices and
reduced per event block as it streams past:

- value channels and name-value items: min/max envelope against event id,
  as lanes of one plot, 25 to a figure, and the moments of each series
  (count, mean, standard deviation, minimum, maximum) in the same pass;
- spectra: per member the mean with a 5-95 % band (two passes: the range of
  each value, then a histogram of it), and a waterfall of events x values;
- cameras: first, last and mean frame, maximum projection, and the frame sum
  against event id.

Each function returns plain numbers for the page (and the report's JSON);
a channel whose data cannot be read gets a note instead of a figure.
"""

import os

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import h5py  # noqa: E402
import numpy as np  # noqa: E402

from . import bins  # noqa: E402
from .runfile import (PRESENT_DATA, SLICE_BYTES, lookup, member, signal_text,  # noqa: E402
                      slices, text)

LANES = 25               # series per figure
LANE_COLOURS = ("#1f5fa0", "#c0392b")
DPI = 80

SPECTRUM_MEMBERS = 8     # members drawn per spectrum channel
SPECTRUM_COLUMNS = 1000  # values drawn per member; more are averaged in groups
WATERFALL_ROWS = 256     # event rows of a waterfall
HISTOGRAM_BINS = 256     # bins between a value's minimum and maximum
FRAME_BYTES = 4 << 20    # camera frames read at a time (at least one)


def finite(a):
    """a as float64 with infinities made NaN (not plottable, not averaged)."""
    a = np.asarray(a, dtype=np.float64)
    a[~np.isfinite(a)] = np.nan
    return a


# ---- Series: value channels and name-value items ---------------------------

def series_envelope(ds, first, last, blocks):
    """The min/max envelope of a float dataset [events] over the blocks, and
    the moments of its finite values (bins.Moments), in one pass."""
    env = bins.Envelope(blocks)
    moments = bins.Moments()
    for a, b in slices(ds, first, last):
        v = finite(ds[a:b])
        env.add(v, a, b)
        moments.add(v)
    return env, moments


def lane_figures(out_dir, prefix, panels, axis):
    """Draws panels (title, units, Envelope) as lanes of one plot, LANES to
    a figure, each lane scaled between its own minimum and maximum (written
    at its right), into PREFIX-1.png, PREFIX-2.png, ... in out_dir; returns
    the file names. One axes per figure keeps a 300-channel run quick to
    draw."""
    names = []
    for start in range(0, len(panels), LANES):
        part = panels[start:start + LANES]
        name = "%s-%d.png" % (prefix, start // LANES + 1)
        lane_figure(os.path.join(out_dir, name), part, axis)
        names.append(name)
    return names


def lane_figure(path, part, axis):
    n = len(part)
    fig = plt.figure(figsize=(12, 0.42 * n + 0.9), dpi=DPI)
    ax = fig.add_axes([0.2, 0.7 / (0.42 * n + 0.9), 0.62, 1 - 0.9 / (0.42 * n + 0.9)])
    ranges = []
    x = axis.x
    for k, (title, units, env) in enumerate(part):
        base = n - 1 - k
        lo, hi = np.nanmin(env.lo, initial=np.inf), np.nanmax(env.hi, initial=-np.inf)
        ranges.append(lane_range(lo, hi, units))
        if not np.isfinite(lo):
            continue
        scale = 0.8 / (hi - lo) if hi > lo else 0.0
        ylo = base + 0.1 + (env.lo - lo) * scale + (0.4 if scale == 0 else 0)
        yhi = base + 0.1 + (env.hi - lo) * scale + (0.4 if scale == 0 else 0)
        if axis.blocks.size == 1:
            ax.plot(x, ylo, ".-", ms=2, lw=0.8, color=LANE_COLOURS[k % 2])
        else:
            ax.fill_between(x, ylo, yhi, step="post", color=LANE_COLOURS[k % 2], lw=0.6)
    ax.set_ylim(0, n)
    ax.set_yticks(np.arange(n) + 0.5)
    ax.set_yticklabels([p[0] for p in reversed(part)], fontsize=8)
    right = ax.twinx()
    right.set_ylim(0, n)
    right.set_yticks(np.arange(n) + 0.5)
    right.set_yticklabels(list(reversed(ranges)), fontsize=7)
    for y in range(1, n):
        ax.axhline(y, color="#dddddd", lw=0.5)
    axis.apply(ax)
    ax.tick_params(axis="x", labelsize=7)
    axis.save(fig, path, dpi=DPI)


def draw_envelope(ax, axis, env):
    """One event per block: the values as a line with dots; otherwise the
    band between each block's minimum and maximum."""
    x = axis.x
    if axis.blocks.size == 1:
        ax.plot(x, env.lo, ".-", ms=2, lw=0.8, color=LANE_COLOURS[0])
    else:
        ax.fill_between(x, env.lo, env.hi, step="post", color=LANE_COLOURS[0], lw=0.5)
    if np.all(np.isnan(env.lo)):
        ax.text(0.5, 0.5, "no numbers", transform=ax.transAxes, ha="center", fontsize=8)


def lane_range(lo, hi, units):
    """The text at a lane's right: its minimum and maximum."""
    if not np.isfinite(lo):
        return "no numbers"
    u = " " + units if units else ""
    if lo == hi:
        return "%.6g%s" % (lo, u)
    return "%.4g … %.4g%s" % (lo, hi, u)


def block_items(channel):
    """The (dataset, item name) pairs of a name-value channel, in creation
    order from item_names (the dataset's name when item_names is absent or
    the name is empty); pairs without a dataset are left out."""
    items = lookup(channel.node, "items") if channel.node is not None else None
    if not isinstance(items, h5py.Group):
        return []
    names = member(channel.node, "item_names")
    pairs = []
    if names is not None and names.dtype.names and "dataset" in names.dtype.names:
        for a, b in slices(names, 0, names.shape[0]):
            for row in names[a:b]:
                name = text(row["name"]) if "name" in names.dtype.names else ""
                pairs.append((text(row["dataset"]), name))
    else:
        pairs = [(k, "") for k in items.keys()]
    return [(d, n or d) for d, n in pairs if member(items, d) is not None]


# ---- Spectra ---------------------------------------------------------------

class SpectrumShape:
    """What of a spectrum is drawn: members shown, values per member, the
    size of the value groups averaged into one column, and the columns."""

    def __init__(self, ds):
        self.members = min(ds.shape[1], SPECTRUM_MEMBERS)
        self.values = ds.shape[2]
        self.group = max(1, -(-self.values // SPECTRUM_COLUMNS))
        self.columns = -(-self.values // self.group)

    def reduce(self, slab):
        """slab [n, members, values] -> [n, members, columns], group means
        (NaN where a group has no number)."""
        slab = finite(slab)
        if self.group == 1:
            return slab
        n, m, v = slab.shape
        pad = self.columns * self.group - v
        slab = np.concatenate([slab, np.full((n, m, pad), np.nan)], axis=2)
        slab = slab.reshape(n, m, self.columns, self.group)
        count = np.count_nonzero(~np.isnan(slab), axis=3)
        total = np.nansum(slab, axis=3)
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(count > 0, total / np.maximum(count, 1), np.nan)


def spectrum_slabs(ds, shape, first, last):
    """(a, b, slab) over [first, last), the slab reduced to shape's columns."""
    row = shape.members * shape.values * 8
    for a, b in slices(ds, first, last, budget=max(row, SLICE_BYTES)):
        yield a, b, shape.reduce(ds[a:b, :shape.members, :])


def spectrum_stats(ds, first, last, wblocks):
    """Pass one: per (member, column) the count, sum, minimum and maximum,
    and the waterfall's sums and counts per event row."""
    shape = SpectrumShape(ds)
    m, c = shape.members, shape.columns
    st = {"shape": shape, "count": np.zeros((m, c)), "sum": np.zeros((m, c)),
          "min": np.full((m, c), np.nan), "max": np.full((m, c), np.nan),
          "wsum": np.zeros((wblocks.count, m, c)), "wcount": np.zeros((wblocks.count, m, c))}
    for a, b, x in spectrum_slabs(ds, shape, first, last):
        valid = ~np.isnan(x)
        x0 = np.where(valid, x, 0.0)
        st["count"] += valid.sum(axis=0)
        st["sum"] += x0.sum(axis=0)
        st["min"] = np.fmin(st["min"], np.fmin.reduce(x, axis=0))
        st["max"] = np.fmax(st["max"], np.fmax.reduce(x, axis=0))
        wblocks.reduce(st["wsum"], x0, a, b, np.add)
        wblocks.reduce(st["wcount"], valid.astype(np.float64), a, b, np.add)
    return st


def spectrum_band(ds, first, last, st, quantiles=(0.05, 0.95)):
    """Pass two: a histogram of every (member, column) between its minimum
    and maximum, and the quantiles read from it (linear within a bin)."""
    shape, k = st["shape"], HISTOGRAM_BINS
    lo, hi = st["min"], st["max"]
    width = np.where(hi > lo, hi - lo, 1.0)
    positions = lo.size
    hist = np.zeros(positions * k, dtype=np.int64)
    base = (np.arange(positions) * k).reshape(lo.shape)
    for _, _, x in spectrum_slabs(ds, shape, first, last):
        valid = ~np.isnan(x)
        with np.errstate(invalid="ignore"):
            idx = np.clip(((x - lo) / width * k).astype(np.int64, copy=False), 0, k - 1)
        flat = (idx + base)[valid]
        hist += np.bincount(flat, minlength=positions * k)
    hist = hist.reshape(lo.shape + (k,))
    # A position whose values are all the same has every one in bin 0 and
    # no width: its quantiles are that value, not a fraction of a bin above.
    step = np.where(hi > lo, width / k, 0.0)
    return [histogram_quantile(hist, st["count"], lo, step, q) for q in quantiles]


def histogram_quantile(hist, count, lo, step, q):
    """The q-quantile of each position's histogram (NaN without numbers)."""
    cum = np.cumsum(hist, axis=-1)
    target = q * count
    j = np.argmax(cum >= target[..., None], axis=-1)
    before = np.take_along_axis(cum, j[..., None], -1)[..., 0] - \
        np.take_along_axis(hist, j[..., None], -1)[..., 0]
    inside = np.take_along_axis(hist, j[..., None], -1)[..., 0]
    with np.errstate(invalid="ignore", divide="ignore"):
        frac = np.where(inside > 0, (target - before) / np.maximum(inside, 1), 0.0)
    out = lo + (j + np.clip(frac, 0, 1)) * step
    return np.where(count > 0, out, np.nan)


def spectrum_axis(channel, shape):
    """The x of each drawn column per member and the axis label: the
    file's per-member axes (version 2 `x_member`, version 1 a 2-D `x`),
    else its shared axis (version 2's 1-D `x`), averaged in the same groups
    as the values; else the value index."""
    node = channel.node
    index = np.arange(shape.columns) * shape.group + (shape.group - 1) / 2.0
    for name in ("x_member", "x"):
        x = member(node, name)
        if x is not None and x.ndim == 2 and x.shape[1] == shape.values \
                and x.shape[0] >= shape.members:
            xs = shape.reduce(x[:shape.members][None, :, :])[0]
            return list(xs), axis_label(x, "x")
    x = member(node, "x")
    if x is not None and x.ndim == 1 and x.shape[0] == shape.values:
        xs = shape.reduce(np.broadcast_to(x[()], (1, shape.members, shape.values)))[0]
        return list(xs), axis_label(x, "x")
    return [index] * shape.members, "value index"


def axis_label(ds, fallback, node=None):
    """"long_name [units]" of a dataset, from its attributes (or, for those
    it lacks, from its channel group node's, as version 1 keeps them)."""
    name = signal_text(node, ds, "long_name") or fallback
    units = signal_text(node, ds, "units")
    return "%s [%s]" % (name, units) if units else name


def spectrum_figure(out_dir, name, channel, st, band, waxis, ylabel):
    """Members as rows: the mean with its band, and the waterfall (events
    down, on waxis, the event axis of the waterfall's blocks)."""
    shape = st["shape"]
    xs, xlabel = spectrum_axis(channel, shape)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.where(st["count"] > 0, st["sum"] / np.maximum(st["count"], 1), np.nan)
        water = np.where(st["wcount"] > 0, st["wsum"] / np.maximum(st["wcount"], 1), np.nan)
    rows = shape.members
    fig, axes = plt.subplots(rows, 2, figsize=(12, 2.6 * rows + 0.3), dpi=DPI, squeeze=False)
    for m in range(rows):
        ax = axes[m][0]
        ax.fill_between(xs[m], band[0][m], band[1][m], color="#9ecae1", lw=0,
                        label="5–95 %")
        ax.plot(xs[m], mean[m], lw=0.9, color="#08519c", label="mean")
        ax.set_title("member %d: mean and 5–95 %% band" % m, fontsize=8)
        ax.set_xlabel(xlabel, fontsize=8)
        ax.set_ylabel(ylabel, fontsize=8)
        ax.tick_params(labelsize=7)
        ax.legend(fontsize=7, loc="upper right")
        ax = axes[m][1]
        im = ax.imshow(water[:, m, :], aspect="auto", interpolation="nearest",
                       cmap="viridis",
                       extent=(-0.5, shape.columns - 0.5, waxis.end, waxis.start))
        ax.set_title("member %d: waterfall" % m, fontsize=8)
        ax.set_xlabel("column" + (" (%d values each)" % shape.group if shape.group > 1
                                  else " (value index)"), fontsize=8)
        waxis.apply(ax, "y")
        ax.tick_params(labelsize=7)
        fig.colorbar(im, ax=ax)
    fig.tight_layout()
    waxis.save(fig, os.path.join(out_dir, name), dpi=DPI)
    return mean


# ---- Cameras ---------------------------------------------------------------

def frame_shape(ds):
    """(height, width) of a frame: [events, h, w], or a flat [events, n]
    shown as one row."""
    return (ds.shape[1], ds.shape[2]) if ds.ndim == 3 else (1, ds.shape[1])


def camera_scan(ds, present, first, last, blocks):
    """Reads the frames with data (present PRESENT_DATA) in slices; returns
    a dict with first, last, sum (uint64) and maximum frame, the number of
    frames and the frame-sum envelope."""
    h, w = frame_shape(ds)
    cam = {"frames": 0, "first": None, "last": None, "first_row": None, "last_row": None,
           "sum": np.zeros((h, w), dtype=np.uint64), "max": np.zeros((h, w), dtype=ds.dtype),
           "sums": bins.Envelope(blocks)}
    for a, b in slices(ds, first, last, budget=max(FRAME_BYTES, h * w * ds.dtype.itemsize)):
        have = present[a:b] == PRESENT_DATA
        frame_sums = np.full(b - a, np.nan)
        if have.any():
            frames = ds[a:b][have].reshape(-1, h, w)
            rows = np.nonzero(have)[0] + a
            frame_sums[have] = frames.reshape(len(frames), -1).sum(axis=1, dtype=np.uint64)
            cam["sum"] += frames.sum(axis=0, dtype=np.uint64)
            np.maximum(cam["max"], frames.max(axis=0), out=cam["max"])
            if cam["first"] is None:
                cam["first"], cam["first_row"] = frames[0].copy(), int(rows[0])
            cam["last"], cam["last_row"] = frames[-1].copy(), int(rows[-1])
            cam["frames"] += len(frames)
        cam["sums"].add(frame_sums, a, b)
    return cam


def camera_figure(out_dir, name, cam, axis, units, first_last_ids):
    """First, last, mean frame and maximum projection with colour bars, and
    the frame sum against event id."""
    mean = cam["sum"] / max(cam["frames"], 1)
    fig = plt.figure(figsize=(12, 10.5), dpi=DPI)
    grid = fig.add_gridspec(3, 2, height_ratios=[1, 1, 0.6])
    shown = [("first frame (event id %d)" % first_last_ids[0], cam["first"]),
             ("last frame (event id %d)" % first_last_ids[1], cam["last"]),
             ("mean frame (%d frames)" % cam["frames"], mean),
             ("maximum projection", cam["max"])]
    for k, (title, frame) in enumerate(shown):
        ax = fig.add_subplot(grid[k // 2, k % 2])
        im = ax.imshow(frame, cmap="inferno", interpolation="nearest",
                       aspect="equal" if frame.shape[0] > 1 else "auto")
        ax.set_title(title, fontsize=9)
        ax.tick_params(labelsize=7)
        bar = fig.colorbar(im, ax=ax)
        bar.ax.tick_params(labelsize=7)
        if units:
            bar.set_label(units, fontsize=8)
    ax = fig.add_subplot(grid[2, :])
    draw_envelope(ax, axis, cam["sums"])
    ax.set_title("frame sum", fontsize=9)
    axis.apply(ax)
    ax.set_ylabel("frame sum" + (" [%s]" % units if units else ""), fontsize=8)
    ax.tick_params(labelsize=7)
    fig.tight_layout()
    axis.save(fig, os.path.join(out_dir, name), dpi=DPI)
    return mean
