"""The run summary: the selected events' ids, times, duration, rate and rows
cut short, read from /entry/event in slices; and the time of each event
block, the horizontal axis of every figure against event time."""

import numpy as np

from . import bins
from .runfile import member, slices, text


def run_summary(f, first, last, blocks):
    """A dict of the summary's numbers for events [first, last), and the
    per-block event times (seconds, float64, NaN for a block without a
    time) under "block_time"."""
    ev = f["entry/event"]
    s = {"events": last - first, "events_in_file": ev["id"].shape[0],
         "first": first, "last": last}
    if last <= first:
        s.update(block_time=np.zeros(0), cut_short=0)
        return s
    s["first_id"] = int(ev["id"][first])
    s["last_id"] = int(ev["id"][last - 1])
    s["first_time"] = float(ev["time"][first])
    s["last_time"] = float(ev["time"][last - 1])
    iso = member(ev, "time_iso")
    s["first_iso"] = text(iso[first]) if iso is not None else ""
    s["last_iso"] = text(iso[last - 1]) if iso is not None else ""
    s["duration"] = s["last_time"] - s["first_time"]
    s["rate"] = (last - first - 1) / s["duration"] if s["duration"] > 0 else None
    s["block_time"] = block_times(ev["time"], first, last, blocks)
    s["cut_short"] = cut_rows(member(ev, "complete"), first, last)
    return s


def block_times(times, first, last, blocks):
    """The time of each block's first event (the earliest, should the
    clock step back within a block)."""
    out = bins.nan_blocks(blocks)
    for a, b in slices(times, first, last):
        blocks.reduce(out, times[a:b].astype(np.float64), a, b, np.fmin)
    return out


def cut_rows(complete, first, last):
    """How many rows of [first, last) were cut short (complete == 0)."""
    if complete is None:
        return 0
    n = 0
    for a, b in slices(complete, first, last):
        n += int(np.count_nonzero(complete[a:b] == 0))
    return n
