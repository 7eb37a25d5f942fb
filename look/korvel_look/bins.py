"""Event blocks: a run's selected events cut into at most a few hundred
blocks, one per pixel column of a figure, and the reductions kept per block
as the slices of a dataset stream past (minimum, maximum, sum, count, worst
presence state, the states ranked by gravity), and the moments of a whole
series. A run shorter than the number of columns has blocks of one event,
so nothing is reduced.
"""

import numpy as np

from .runfile import (PRESENT_DATA, PRESENT_EMPTY, PRESENT_NONE, PRESENT_NOT_REACHED,
                      PRESENT_NOT_UNDERSTOOD, PRESENT_QUERY_FAILED)

# The presence states in order of gravity within a block: data < none <
# empty cell < not reached < query failed < not understood. A block shows
# the gravest state any of its events had, so one gap in a thousand events
# still shows. The failed query (the channel at which a cut row stopped)
# ranks above "not reached", the channels after it, so that the cause
# shows over its consequence.
STATES = [  # (code, label), in order of gravity
    (PRESENT_DATA, "data"),
    (PRESENT_NONE, "none"),
    (PRESENT_EMPTY, "empty cell"),
    (PRESENT_NOT_REACHED, "not reached"),
    (PRESENT_QUERY_FAILED, "query failed"),
    (PRESENT_NOT_UNDERSTOOD, "not understood"),
]
LOWEST_CODE = min(code for code, _ in STATES)
HIGHEST_CODE = max(code for code, _ in STATES)
# A code outside the known ones ranks as not understood.
UNKNOWN_RANK = [code for code, _ in STATES].index(PRESENT_NOT_UNDERSTOOD)
# Rank of a code: RANK[code - LOWEST_CODE].
RANK = np.full(HIGHEST_CODE - LOWEST_CODE + 1, UNKNOWN_RANK, dtype=np.int8)
for _rank, (_code, _) in enumerate(STATES):
    RANK[_code - LOWEST_CODE] = _rank


def ranks(present):
    """The gravity ranks (int8) of an integer array of presence codes. The
    codes are compared as they are, not narrowed first: a wider integer
    of a foreign file (65537 in an int32) is not understood, not taken
    for the code it would wrap to."""
    codes = np.asarray(present)
    known = (codes >= LOWEST_CODE) & (codes <= HIGHEST_CODE)
    r = np.full(codes.shape, UNKNOWN_RANK, dtype=np.int8)
    r[known] = RANK[codes[known].astype(np.int64) - LOWEST_CODE]
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


class Moments:
    """Count, mean, minimum, maximum and standard deviation (over N) of the
    finite values of a series, merged slice by slice: each slice's mean and
    sum of squared deviations are folded into the running ones (the pairwise
    update of Chan, Golub and LeVeque), so one pass keeps float64 accuracy
    and memory flat."""

    def __init__(self):
        self.count = 0
        self.mean = 0.0
        self.m2 = 0.0
        self.lo = np.inf
        self.hi = -np.inf

    def add(self, values):
        """Folds in a float64 array in which NaN marks no number."""
        x = values[~np.isnan(values)]
        n = x.size
        if n == 0:
            return
        mean = float(x.mean())
        m2 = float(np.square(x - mean).sum())
        total = self.count + n
        delta = mean - self.mean
        self.mean += delta * n / total
        self.m2 += m2 + delta * delta * self.count * n / total
        self.count = total
        self.lo = min(self.lo, float(x.min()))
        self.hi = max(self.hi, float(x.max()))

    def numbers(self):
        """count, mean, std, min, max (None for each without values)."""
        if not self.count:
            return {"count": 0, "mean": None, "std": None, "min": None, "max": None}
        return {"count": self.count, "mean": self.mean,
                "std": float(np.sqrt(max(self.m2, 0.0) / self.count)),
                "min": self.lo, "max": self.hi}
