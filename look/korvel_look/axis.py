"""The event axis of every per-event figure: event ids, as a physicist
reads a run, drawn from the ids of the file.

Event ids are in table order but need not be contiguous or increasing (a
counter that restarts, events left out). When the shown ids rise by one
from row to row, the axis is the event id itself. Otherwise it runs in
table order, one step per event, and its ticks are labelled with the ids of
the events they stand at; the caption says so. Either way a figure's
columns line up with the presence image's.

The axis also saves the figures it is drawn in, and keeps the labels of
each figure's axes for report.json.
"""

import os

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FixedFormatter, FixedLocator, FuncFormatter, MaxNLocator  # noqa: E402
import numpy as np  # noqa: E402

from .output import writing  # noqa: E402
from .runfile import slices  # noqa: E402

LABEL = "event id"
TICKS = 8


class EventAxis:
    """The axis over blocks (bins.Blocks): x[k] is where block k begins,
    [start, end) the whole span. ids holds each block's first event id;
    contiguous says the ids rise by one over the events. log maps a saved
    figure's file name to the labels of its axes."""

    def __init__(self, blocks, ids, contiguous, log):
        self.blocks = blocks
        self.ids = ids
        self.contiguous = bool(contiguous) and len(ids) > 0
        self.log = log
        origin = int(ids[0]) if self.contiguous else 0
        self.x = origin + np.arange(blocks.count, dtype=np.float64) * blocks.size
        self.start = float(origin)
        self.end = float(origin + (blocks.last - blocks.first))
        self.label = LABEL if self.contiguous else LABEL + " (table order)"

    def apply(self, ax, which="x"):
        """Labels ax's x (or y) axis with the event ids and sets its span;
        on y the first event is at the top."""
        side = ax.xaxis if which == "x" else ax.yaxis
        (ax.set_xlabel if which == "x" else ax.set_ylabel)(self.label, fontsize=8)
        if which == "x":
            ax.set_xlim(self.start, max(self.end, self.start + 1))
        else:
            ax.set_ylim(max(self.end, self.start + 1), self.start)
        if self.contiguous or not len(self.ids):
            side.set_major_locator(MaxNLocator(nbins=TICKS, integer=True))
            side.set_major_formatter(FuncFormatter(lambda v, _: "%d" % round(v)))
            return
        k = MaxNLocator(nbins=TICKS, integer=True).tick_values(0, len(self.ids) - 1)
        k = k[(k >= 0) & (k < len(self.ids))].astype(np.int64)
        side.set_major_locator(FixedLocator(self.x[k]))
        side.set_major_formatter(FixedFormatter([str(int(self.ids[j])) for j in k]))

    def save(self, fig, path, **options):
        """Saves fig to path, records its axes' titles and labels (colour
        bars left out) and closes it. Raises output.WriteFailed when the
        file cannot be written."""
        try:
            with writing(path):
                fig.savefig(path, **options)
        finally:
            plt.close(fig)
        self.log[os.path.basename(path)] = [
            {"title": ax.get_title(), "x": ax.get_xlabel(), "y": ax.get_ylabel()}
            for ax in fig.axes
            if ax.get_label() != "<colorbar>"
            and (ax.get_title() or ax.get_xlabel() or ax.get_ylabel())]


def block_ids(ids, blocks):
    """The id of each block's first event, read from the dataset ids in
    slices (int64, one per block)."""
    out = np.zeros(blocks.count, dtype=np.int64)
    for a, b in slices(ids, blocks.first, blocks.last):
        skip = -(a - blocks.first) % blocks.size
        rows = np.arange(a + skip, b, blocks.size)
        if rows.size:
            out[(rows - blocks.first) // blocks.size] = ids[a:b][rows - a]
    return out


def ids_contiguous(ids, first, last):
    """True when the ids of rows [first, last) rise by one from row to row."""
    previous = None
    for a, b in slices(ids, first, last):
        v = ids[a:b].astype(np.int64)
        if previous is not None and v[0] != previous + 1:
            return False
        if np.any(np.diff(v) != 1):
            return False
        previous = int(v[-1])
    return True
