"""Event blocks: a run's selected events cut into at most a few hundred
blocks, one per pixel column of a figure, and the reductions kept per block
as the slices of a dataset stream past (minimum, maximum, sum, count, worst
presence state). A run shorter than the number of columns has blocks of one
event, so nothing is reduced.
"""

import numpy as np

# Presence codes of the file, and their order of gravity within a block:
# data < none < empty cell < not reached < not understood. A block shows the
# gravest state any of its events had, so one gap in a thousand events
# still shows.
DATA, NONE, EMPTY, NOT_UNDERSTOOD, NOT_REACHED = 1, 0, 2, -1, -2
STATES = [  # (code, label), in order of gravity
    (DATA, "data"),
    (NONE, "none"),
    (EMPTY, "empty cell"),
    (NOT_REACHED, "not reached"),
    (NOT_UNDERSTOOD, "not understood"),
]
# Rank of a code: RANK[code + 2]; codes outside -2..2 rank as not understood.
RANK = np.array([3, 4, 1, 0, 2], dtype=np.int8)
UNKNOWN_RANK = 4


# The channel whose reader query failed where its row was cut (-3) shows as
# not reached, as the channels after it.
FAILED = -3


def ranks(present):
    """The gravity ranks of an int8 array of presence codes."""
    p = present.astype(np.int16)
    p[p == FAILED] = NOT_REACHED
    bad = (p < -2) | (p > 2)
    r = RANK[np.clip(p, -2, 2) + 2]
    r[bad] = UNKNOWN_RANK
    return r


class Blocks:
    """The events [first, last) cut into blocks of `size` events (the last
    may be shorter); count blocks in all."""

    def __init__(self, first, last, columns):
        self.first = first
        self.last = last
        n = max(0, last - first)
        self.size = max(1, -(-n // columns)) if n else 1
        self.count = -(-n // self.size) if n else 0

    def bounds(self, start, stop):
        """For the slice [start, stop): the index of its first block and the
        offsets in the slice where each block (or its part) begins."""
        k0 = (start - self.first) // self.size
        next_start = self.first + (k0 + 1) * self.size
        offsets = [0] + list(range(next_start - start, stop - start, self.size))
        return k0, np.array(offsets, dtype=np.intp)

    def reduce(self, out, values, start, stop, ufunc):
        """Folds values (the slice [start, stop) along axis 0) into
        out[block] with ufunc (np.fmin, np.fmax, np.add, np.maximum)."""
        k0, offsets = self.bounds(start, stop)
        part = ufunc.reduceat(values, offsets, axis=0)
        k1 = k0 + len(offsets)
        out[k0:k1] = ufunc(out[k0:k1], part)


def nan_blocks(blocks, *tail):
    """A float64 array [blocks, *tail] of NaN, ready for fmin/fmax."""
    return np.full((blocks.count,) + tail, np.nan)


class Envelope:
    """Per block: minimum and maximum of a float series, NaN ignored (a block
    without any number stays NaN)."""

    def __init__(self, blocks):
        self.blocks = blocks
        self.lo = nan_blocks(blocks)
        self.hi = nan_blocks(blocks)

    def add(self, values, start, stop):
        v = np.asarray(values, dtype=np.float64)
        self.blocks.reduce(self.lo, v, start, stop, np.fmin)
        self.blocks.reduce(self.hi, v, start, stop, np.fmax)
