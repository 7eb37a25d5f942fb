"""The catalogue of a directory of runs (korvel-ls --catalog DIR): one row
per run directory the workflow wrote (DIR/KEY/ with KEY.h5, KEY.look/ and
log/), written as DIR/runs.csv and a static DIR/runs.html that links each
run's report.

A run's status comes from the markers its steps leave in KEY/log/: `failed`
(one line "STEP STATUS", written when a step's program did not end with
status 0; the reason is read from log/STEP.log) and `done` (written when
the report is complete). A run with neither, or whose files are missing, is
`incomplete`: it is never taken as done.
"""

import csv
import html
import io
import os
import re
import tempfile
import urllib.parse

import numpy as np

from ._file import KorvelError
from .run import open_run

COLUMNS = ["run", "status", "reason", "events", "first_event_id", "last_event_id",
           "start_time", "end_time", "rate_hz", "channels", "cut_rows", "warnings",
           "lossy_channels", "report", "file"]

# Lines of the programs' standard error that are not a failure's reason:
# warnings (korvel-h5 "TABLE:LINE: warning: ...", korvel-replay's padded
# pixels) and korvel-replay's count of the events it replayed.
WARNING = re.compile(r": warning: |; zero-padded$")
REPLAY_COUNT = re.compile(r"^korvel-replay: \d+ events? replayed")

# A log is read this far at most: the reason is near its start, and a
# hostile or runaway log must not fill memory.
LOG_BYTES = 1 << 20

# The reason is one line of the catalogue; longer ones are cut here.
REASON_CHARS = 300


def catalog_runs(out_dir):
    """Every run of out_dir as a dict of COLUMNS, sorted by run key."""
    return [run_row(out_dir, key) for key in run_keys(out_dir)]


def run_keys(out_dir):
    """The names of out_dir's subdirectories that hold a log/ directory."""
    try:
        names = os.listdir(out_dir)
    except OSError as e:
        raise KorvelError("%s: cannot list the directory: %s" % (out_dir, e.strerror))
    return sorted(n for n in names if os.path.isdir(os.path.join(out_dir, n, "log")))


def run_row(out_dir, key):
    """One run's row: its status and reason, and its numbers when the HDF5
    file is there (a failed report still has its file)."""
    run_dir = os.path.join(out_dir, key)
    row = dict.fromkeys(COLUMNS, "")
    row.update(run=key, file=key + "/" + key + ".h5", warnings=count_warnings(run_dir))
    row["status"], row["reason"] = run_status(run_dir, key)
    h5 = os.path.join(run_dir, key + ".h5")
    if os.path.isfile(h5):
        try:
            row.update(file_numbers(h5))
        except (KorvelError, OSError) as e:
            row["status"], row["reason"] = "failed", one_line("catalogue: %s" % e)
    else:
        row["file"] = ""
    if os.path.isfile(os.path.join(run_dir, key + ".look", "index.html")):
        row["report"] = key + "/" + key + ".look/index.html"
    return row


def run_status(run_dir, key):
    """(status, reason) of a run directory: failed, done or incomplete."""
    log = os.path.join(run_dir, "log")
    failed = read_head(os.path.join(log, "failed"))
    if failed is not None:
        step, status = parse_failed(failed)
        return "failed", failure_reason(os.path.join(log, step + ".log"), step, status)
    missing = [name for name in (key + ".h5", key + ".look/index.html")
               if not os.path.isfile(os.path.join(run_dir, name))]
    if os.path.isfile(os.path.join(log, "done")) and not missing:
        return "done", ""
    if missing:
        return "incomplete", "not finished: %s missing" % ", ".join(missing)
    return "incomplete", "not finished: the report was not marked complete"


def parse_failed(text):
    """The step and exit status of a `failed` marker ("STEP STATUS"); a
    step name is letters and digits only, so that it names a log beside the
    marker."""
    words = text.split()
    step = words[0] if words and re.fullmatch(r"[a-z][a-z0-9]*", words[0]) else "unknown"
    status = words[1] if len(words) > 1 and re.fullmatch(r"-?\d{1,6}", words[1]) else "?"
    return step, status


def failure_reason(log_path, step, status):
    """"STEP: the first line of the reason" from the step's log, else a
    sentence on its exit status."""
    text = read_head(log_path) or ""
    line = reason_line(text.splitlines())
    if line is None:
        code = int(status) if status not in ("?",) else None
        if code is not None and code > 128:
            line = "killed by signal %d" % (code - 128)
        else:
            line = "exited with status %s and said nothing" % status
    return one_line("%s: %s" % (step, line))


def reason_line(lines):
    """The first line that says why a program failed: not a warning, not a
    count of replayed events; after a Python traceback, its last line (the
    exception). None when there is none."""
    lines = [ln.strip() for ln in lines if ln.strip()]
    if lines and lines[0].startswith("Traceback"):
        return lines[-1]
    for ln in lines:
        if not WARNING.search(ln) and not REPLAY_COUNT.match(ln):
            return ln
    return None


def count_warnings(run_dir):
    """The warnings in the run's logs (korvel-replay, korvel-h5,
    korvel-look)."""
    n = 0
    for step in ("replay", "h5", "look"):
        text = read_head(os.path.join(run_dir, "log", step + ".log")) or ""
        n += sum(1 for ln in text.splitlines() if WARNING.search(ln.rstrip()))
    return n


def read_head(path):
    """The first LOG_BYTES of a regular file as text (bytes that are not
    UTF-8 replaced), or None when there is no such file."""
    if not os.path.isfile(path):
        return None
    try:
        with open(path, "rb") as f:
            return f.read(LOG_BYTES).decode("utf-8", "replace")
    except OSError:
        return None


def one_line(text):
    """text with control characters as spaces, cut to REASON_CHARS."""
    text = "".join(" " if ord(c) < 0x20 or ord(c) == 0x7F else c for c in text).strip()
    return text if len(text) <= REASON_CHARS else text[:REASON_CHARS - 1] + "…"


def file_numbers(path):
    """The run's numbers from its HDF5 file: events, ids, times, rate,
    channels, rows cut short and the channels whose values lost
    precision."""
    with open_run(path) as run:
        src = run._source
        ids, complete, t = src.events["id"], src.events["complete"], src.times
        out = {"events": len(ids), "cut_rows": int((complete == 0).sum()),
               "channels": len(src.channels),
               "lossy_channels": ", ".join(c.title for c in src.channels if is_lossy(c))}
        if len(ids):
            span = float((t[-1] - t[0]) / np.timedelta64(1, "us")) / 1e6
            out.update(first_event_id=int(ids[0]), last_event_id=int(ids[-1]),
                       start_time=iso(t[0]), end_time=iso(t[-1]),
                       rate_hz="%.6g" % ((len(ids) - 1) / span) if span > 0 else "")
    return out


def is_lossy(channel):
    """Whether the converter marked the channel's values as having lost
    precision (the `lossy` attribute of its group, layout 2). Only that
    attribute is read: a run has hundreds of channels, and reading every
    attribute of each (Channel.attrs) made the catalogue cost about a
    tenth of a second per run."""
    node = channel.group_node
    value = node.attrs.get("lossy") if node is not None else None
    if value is None:
        return False
    flat = np.asarray(value).reshape(-1)
    if flat.size != 1 or flat.dtype.kind not in "biu":
        raise KorvelError("%s: damaged: the lossy attribute of channel %s is not one integer"
                          % (channel.source.path, channel.title))
    return bool(flat[0])


def iso(t):
    return np.datetime_as_string(np.datetime64(t, "us"), unit="us") + "Z"


# ---- writing ---------------------------------------------------------------------------

def write_catalog(out_dir, rows):
    """DIR/runs.csv and DIR/runs.html, each written whole beside its final
    name and renamed, so that a reader never sees half a catalogue."""
    write_whole(os.path.join(out_dir, "runs.csv"), csv_text(rows))
    write_whole(os.path.join(out_dir, "runs.html"), html_text(out_dir, rows))


def write_whole(path, text):
    """path written as a hidden file of its own beside it, then renamed:
    two catalogues written at once never mix."""
    fd, part = tempfile.mkstemp(dir=os.path.dirname(path) or ".",
                                prefix="." + os.path.basename(path) + ".", suffix=".part")
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as f:
            f.write(text)
        os.chmod(part, 0o644)
        os.replace(part, path)
    except BaseException:
        os.unlink(part)
        raise


def csv_text(rows):
    buf = io.StringIO()
    w = csv.DictWriter(buf, fieldnames=COLUMNS, lineterminator="\n")
    w.writeheader()
    w.writerows(rows)
    return buf.getvalue()


def link(path, text):
    """An <a> to a path relative to the catalogue (quoted: a run key may
    hold '#', '?' or '%')."""
    return '<a href="%s">%s</a>' % (html.escape(urllib.parse.quote(path)), html.escape(text))


def html_row(row):
    cells = []
    for col in COLUMNS:
        value = str(row[col])
        if col == "report" and value:
            cells.append(link(value, "report"))
        elif col == "file" and value:
            cells.append(link(value, os.path.basename(value)))
        else:
            cells.append(html.escape(value))
    return '<tr class="%s">%s</tr>' % (html.escape(row["status"]), "".join(
        "<td>%s</td>" % c for c in cells))


def html_text(out_dir, rows):
    counts = {s: sum(r["status"] == s for r in rows) for s in ("done", "failed", "incomplete")}
    summary = ", ".join("%d %s" % (n, s) for s, n in counts.items())
    head = "".join("<th>%s</th>" % html.escape(c.replace("_", " ")) for c in COLUMNS)
    body = "\n".join(html_row(r) for r in rows)
    title = html.escape("Runs of %s" % os.path.basename(os.path.abspath(out_dir)))
    return """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>%s</title>
<style>
body { font-family: sans-serif; margin: 1.5em; }
table { border-collapse: collapse; font-size: 0.9em; }
th, td { border: 1px solid #bbb; padding: 0.2em 0.5em; text-align: left; }
tr.failed td { background: #fdd; }
tr.incomplete td { background: #ffd; }
</style></head><body>
<h1>%s</h1>
<p>%d runs: %s.</p>
<table><thead><tr>%s</tr></thead>
<tbody>
%s
</tbody></table>
</body></html>
""" % (title, title, len(rows), summary, head, body)
