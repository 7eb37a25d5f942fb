"""The run summary: the selected events' ids, times, duration, rate and rows
cut short (the first of them listed with their event ids), read from
/entry/event in slices."""

import numpy as np

from .runfile import BadFile, member, slices, text

# Cut rows listed by row, event id and the channel whose query failed; a
# run cut thousands of times lists the first ones and counts them all.
CUT_ROWS_LISTED = 200


def run_summary(f, first, last):
    """A dict of the summary's numbers for events [first, last)."""
    ev = f["entry/event"]
    s = {"events": last - first, "events_in_file": ev["id"].shape[0],
         "first": first, "last": last, "cut_short": 0, "cut_rows": []}
    if last <= first:
        return s
    s["first_id"] = int(ev["id"][first])
    s["last_id"] = int(ev["id"][last - 1])
    s["first_time"] = event_time(ev["time"], first)
    s["last_time"] = event_time(ev["time"], last - 1)
    iso = member(ev, "time_iso")
    s["first_iso"] = text(iso[first]) if iso is not None else ""
    s["last_iso"] = text(iso[last - 1]) if iso is not None else ""
    s["duration"] = s["last_time"] - s["first_time"]
    s["rate"] = (last - first - 1) / s["duration"] if s["duration"] > 0 else None
    s["cut_short"], rows = cut_rows(member(ev, "complete"), first, last)
    ids = ev["id"]
    s["cut_rows"] = [{"row": r, "id": int(ids[r]), "channel": None} for r in rows]
    return s


def event_time(times, row):
    """The time of a row in seconds; raises BadFile when it is not a
    finite number (the converter writes none such)."""
    t = float(times[row])
    if not np.isfinite(t):
        raise BadFile("damaged: %s is %s at row %d, not a time" % (times.name, t, row))
    return t


def cut_rows(complete, first, last):
    """How many rows of [first, last) were cut short (complete == 0), and
    the first CUT_ROWS_LISTED of them."""
    if complete is None:
        return 0, []
    n, listed = 0, []
    for a, b in slices(complete, first, last):
        cut = np.flatnonzero(complete[a:b] == 0)
        n += cut.size
        listed += [a + int(k) for k in cut[:CUT_ROWS_LISTED - len(listed)]]
    return n, listed
