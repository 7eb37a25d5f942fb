"""What a report shows: the channels that match --channels, and the rows of
the file that --events (rows, as a Python slice) or --ids (event ids, both
ends inclusive) name. Every selection is one stretch of rows [first, last),
found before anything else is read.

--ids FIRST:LAST takes the first stretch of consecutive rows whose ids all
lie from FIRST to LAST. When the ids increase along the table, as they do
in a run that was not restarted, that is exactly the events with those ids,
gaps or not. When they do not (a counter that restarted, a stray id), ids
of the range that occur again after the stretch are counted and named in a
note, and --events reaches them.
"""

import fnmatch

import numpy as np

from .runfile import slices

ID_MAX = 2**32 - 1  # event ids are stored as uint32


class Usage(Exception):
    """A command-line error; the message is one line."""


def two_ints(option, text, low=None):
    """FIRST and LAST of the FIRST:LAST text (None where left out); raises
    Usage for anything else."""
    parts = text.split(":")
    try:
        if len(parts) != 2:
            raise ValueError
        ends = [int(p) if p.strip() else None for p in parts]
    except ValueError:
        raise Usage("%s %s: expected FIRST:LAST, two integers (either may be "
                    "left out)" % (option, text))
    if low is not None and any(e is not None and not low <= e <= ID_MAX for e in ends):
        raise Usage("%s %s: event ids run from %d to %d" % (option, text, low, ID_MAX))
    return ends


def event_range(text, n):
    """[first, last) of the --events FIRST:LAST option over n events."""
    if text is None:
        return 0, n
    first, last = two_ints("--events", text)
    first, last, _ = slice(first, last).indices(n)
    if last <= first and n:
        raise Usage("--events %s: no events in that range (the file has %d)" % (text, n))
    return first, max(first, last)


class IdStretch:
    """Walks the ids slice by slice: the first stretch of rows whose ids lie
    in [lo, hi], and the ids of the range met after it."""

    def __init__(self, lo, hi):
        self.lo, self.hi = lo, hi
        self.first = self.last = None
        self.later = 0
        self.later_row = None

    def add(self, a, ids):
        inside = (ids >= self.lo) & (ids <= self.hi)
        k = 0
        if self.first is None:
            hits = np.flatnonzero(inside)
            if not hits.size:
                return
            self.first, k = a + int(hits[0]), int(hits[0])
        if self.last is None:
            outside = np.flatnonzero(~inside[k:])
            if not outside.size:
                return
            self.last = k = a + k + int(outside[0])
            k -= a
        again = np.flatnonzero(inside[k:])
        if again.size and self.later_row is None:
            self.later_row = a + k + int(again[0])
        self.later += again.size


def id_range(text, ids):
    """[first, last) and a note (or "") for --ids FIRST:LAST over the
    dataset of event ids, read in slices."""
    lo, hi = two_ints("--ids", text, low=0)
    lo = 0 if lo is None else lo
    hi = ID_MAX if hi is None else hi
    if lo > hi:
        raise Usage("--ids %s: FIRST is above LAST" % text)
    walk = IdStretch(lo, hi)
    n = ids.shape[0]
    for a, b in slices(ids, 0, n):
        walk.add(a, ids[a:b].astype(np.int64))
    if walk.first is None:
        raise Usage("--ids %s: no event has an id from %d to %d (the file has %d events)"
                    % (text, lo, hi, n))
    last = n if walk.last is None else walk.last
    note = ""
    if walk.later:
        note = ("the ids are not increasing: %d more events with ids from %d to %d "
                "follow from row %d on; shown are rows %d to %d, the first stretch "
                "(--events selects rows)" % (walk.later, lo, hi, walk.later_row,
                                            walk.first, last - 1))
    return walk.first, last, note


def chosen(chans, patterns):
    """The channels whose title matches one of the patterns (shell
    wildcards, several to an argument separated by commas)."""
    if not patterns:
        return chans
    pats = [p for arg in patterns for p in arg.split(",") if p]
    return [c for c in chans if any(fnmatch.fnmatchcase(c.title, p) for p in pats)]
