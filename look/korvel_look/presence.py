"""Presence at a glance: per channel, how many events had each presence
state, and one image of channels x event blocks in which every block shows
the gravest state of its events."""

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.colors import ListedColormap  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402
import numpy as np  # noqa: E402

from . import bins  # noqa: E402
from .output import writing  # noqa: E402
from .runfile import PRESENT_QUERY_FAILED, BadFile, member, slices  # noqa: E402

# Colours by gravity rank (bins.STATES), then one for a channel whose
# presence could not be read at all. Data is a calm green, "none" a light
# grey (the cell said so: not a fault), the faults warm and dark; the failed
# query a cyan that stands apart from all of them, so the channel that cut
# a row is found at once.
COLOURS = ["#2e8b57", "#d3d3d3", "#f0c419", "#4b0082", "#17becf", "#d62728", "#ffffff"]
STATE_COUNT = len(bins.STATES)
MISSING_RANK = STATE_COUNT
LABELS = [label for _, label in bins.STATES] + ["unreadable"]
CMAP = ListedColormap(COLOURS)

# Rows of the image; beyond this, neighbouring channels share a row (the
# gravest state of them), so that a 5000-channel run still fits a page.
MAX_ROWS = 400


def scan(channel, first, last, blocks, watch=()):
    """Reads channel's present in slices. Returns (counts, block_ranks,
    failed): counts maps each label of bins.STATES to its number of events,
    block_ranks is the gravest rank per block (int8), and failed lists the
    rows of watch (sorted rows, the cut rows listed in the report) at which
    the channel's query failed. Returns (None, None, []) when the channel
    has no usable present dataset."""
    present = member(channel.node, "present")
    if present is None or present.ndim != 1 or present.shape[0] < last:
        return None, None, []
    if present.dtype.kind not in "iu":
        raise BadFile("damaged: %s holds %s, not presence codes (integers)"
                      % (present.name, present.dtype))
    worst = np.zeros(blocks.count, dtype=np.int8)
    tally = np.zeros(STATE_COUNT, dtype=np.int64)
    watch = np.asarray(watch, dtype=np.int64)
    failed = []
    for a, b in slices(present, first, last):
        codes = present[a:b]
        r = bins.ranks(codes)
        tally += np.bincount(r, minlength=STATE_COUNT)[:STATE_COUNT]
        blocks.reduce(worst, r, a, b, np.maximum)
        rows = watch[(watch >= a) & (watch < b)]
        failed += [int(row) for row in rows if codes[row - a] == PRESENT_QUERY_FAILED]
    counts = {label: int(tally[k]) for k, (_, label) in enumerate(bins.STATES)}
    return counts, worst, failed


def image_rows(titles, block_ranks):
    """The image matrix [rows, blocks] and each row's label, grouping
    neighbouring channels when there are more than MAX_ROWS."""
    n = len(titles)
    group = max(1, -(-n // MAX_ROWS))
    rows, labels = [], []
    for g in range(0, n, group):
        part = block_ranks[g:g + group]
        rows.append(np.max(np.stack(part), axis=0))
        labels.append(titles[g] if group == 1 else "%s … (%d)" % (titles[g], len(part)))
    return np.stack(rows) if rows else np.zeros((0, 0), dtype=np.int8), labels, group


def write_raw(path, matrix):
    """The matrix as a PNG of one pixel per cell in the legend's colours:
    the image a script (or a test) can read back exactly."""
    rgb = (np.array([matplotlib.colors.to_rgb(c) for c in COLOURS]) * 255).astype(np.uint8)
    with writing(path):
        plt.imsave(path, rgb[matrix])


def write_figure(path, matrix, labels, axis, group):
    """The presence figure: the matrix with channel labels, the event axis
    and a legend of the states."""
    rows = matrix.shape[0]
    height = min(16.0, 1.6 + (0.16 if rows <= 80 else 0.035) * rows)
    fig, ax = plt.subplots(figsize=(11, height), dpi=80)
    ax.imshow(matrix, cmap=CMAP, vmin=0, vmax=len(COLOURS) - 1, aspect="auto",
              interpolation="nearest",
              extent=(axis.start, axis.end, rows, 0))
    if rows <= 80:
        ax.set_yticks(np.arange(rows) + 0.5)
        ax.set_yticklabels(labels, fontsize=7)
    else:
        ax.set_ylabel("channel (table order%s)" % (", %d per row" % group if group > 1 else ""))
    axis.apply(ax)
    handles = [Patch(facecolor=c, edgecolor="#555555", label=l)
               for c, l in zip(COLOURS, LABELS)]
    ax.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, -0.6 / height - 0.02),
              ncol=7, fontsize=8, frameon=False)
    axis.save(fig, path, bbox_inches="tight")
