"""A run at a glance: events, id and time range, rate, rows cut short, and
per channel kind, units, shape, dtype and the share of events with data;
as a dict (korvel-ls --json) and as text (Run.info, korvel-ls)."""

import numpy as np

from . import _arrays, _file

STATES = {1: "data", 0: "none", 2: "empty", -1: "not_understood", -2: "not_reached",
          -3: "cut_here"}


def iso(t):
    """A datetime64 as ISO 8601 UTC with microseconds."""
    return np.datetime_as_string(t.astype("datetime64[us]"), unit="us") + "Z"


def summary(run):
    src, rows = run._source, run._rows
    ids, times = src.events["id"][rows], src.times[rows]
    complete = src.events["complete"][rows]
    out = {"file": run.path, "run": run.key, "layout_version": src.version,
           "converter_version": src.root_text("converter_version"),
           "events": int(len(rows)), "cut_rows": int(np.count_nonzero(complete == 0))}
    if len(rows):
        span = float((times[-1] - times[0]) / np.timedelta64(1, "us")) / 1e6
        out.update({"first_event_id": int(ids[0]), "last_event_id": int(ids[-1]),
                    "start_time": iso(times[0]), "end_time": iso(times[-1]),
                    "duration_s": span,
                    "rate_hz": (len(rows) - 1) / span if span > 0 else None})
    out["channels"] = [channel_summary(run, ref) for ref in run._refs]
    return out


def channel_summary(run, ref):
    found = _arrays.pieces(ref)
    a = _arrays.attrs(ref)
    present = _file.read_rows(ref.channel.dataset("present"), run._rows)
    codes, counts = np.unique(present, return_counts=True)
    states = {STATES.get(int(c), str(int(c))): int(n) for c, n in zip(codes, counts)}
    n = len(present)
    return {"name": ref.name, "kind": ref.kind, "units": a["units"],
            "shape": list(_arrays.inner_shape(ref, found)),
            "dtype": str(_arrays.value_dtype(ref, found)) if found else "",
            "with_data": states.get("data", 0),
            "share_with_data": states.get("data", 0) / n if n else 0.0,
            "states": states}


def text(s):
    """The summary as lines of text."""
    lines = ["%s  (run %s, layout %d)" % (s["file"], s["run"], s["layout_version"]),
             "events      %d" % s["events"]]
    if s["events"]:
        rate = "%.3f Hz" % s["rate_hz"] if s["rate_hz"] is not None else "-"
        lines += ["event ids   %d .. %d" % (s["first_event_id"], s["last_event_id"]),
                  "time        %s .. %s (%.3f s)" % (s["start_time"], s["end_time"],
                                                    s["duration_s"]),
                  "rate        %s" % rate]
    lines.append("cut short   %d rows" % s["cut_rows"])
    lines.append("channels    %d" % len(s["channels"]))
    if s["channels"]:
        width = max(len(c["name"]) for c in s["channels"])
        lines.append("  %-*s  %-8s  %-10s  %-12s  %-8s  %s"
                     % (width, "name", "kind", "units", "shape", "dtype", "with data"))
        for c in s["channels"]:
            shape = "x".join(map(str, c["shape"])) or "-"
            lines.append("  %-*s  %-8s  %-10s  %-12s  %-8s  %5.1f %%"
                         % (width, c["name"], c["kind"], c["units"] or "-", shape,
                            c["dtype"] or "-", 100.0 * c["share_with_data"]))
    return "\n".join(lines) + "\n"
