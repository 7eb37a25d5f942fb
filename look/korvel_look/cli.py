"""korvel-look's command line and the order of the work: open and check the
file, select channels and events, read each channel once in slices (its
presence, then its data), draw, write the page into a fresh directory and
put it in place. Exit status: 0 report written; 1 the report could not be
written; 2 usage error or a file that cannot be reported on; 130 interrupt.
"""

import argparse
import fnmatch
import json
import os
import shutil
import sys
import tempfile

import numpy as np

from . import bins, figures, page, presence, runfile, summary
from .progress import Progress

try:
    from ._version import VERSION
except ImportError:  # run from the source tree, not configured by CMake
    VERSION = "unknown"

# Event blocks across a figure: about one per pixel column.
COLUMNS = 800

USAGE = "korvel-look RUN.h5 [-o DIR] [--channels PATTERN] [--events FIRST:LAST]"
DESCRIPTION = """\
Writes a static report of a run from the HDF5 file of korvel-h5: DIR/index.html
(default: RUN.look/ beside RUN.h5) and its PNG figures. It opens from the
file system in any browser; no server, no network, no script.

The report: run summary (events, first and last event id and time, duration,
event rate, rows cut short, per channel its kind and share of events with
data); the presence of every channel in every event as one image; value
channels and name-value items against event time (a min/max envelope per
block of events when there are more events than pixel columns); spectra (per
member the mean with a 5-95 % band, and a waterfall); cameras (first, last
and mean frame, maximum projection, frame sum against event time).

The file is read in slices of whole chunks: memory stays flat whatever the
run's length. An existing DIR is replaced only when it holds a report
(index.html and report.json)."""
EPILOG = """\
exit status: 0 report written; 1 the report could not be written; 2 usage
error, a missing file, a file that is not korvel-h5's or of an unknown
layout version; 130 interrupted."""


class Usage(Exception):
    """A command-line error; the message is one line."""


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Usage(message)


def parse_args(argv):
    p = Parser(prog="korvel-look", usage=USAGE, description=DESCRIPTION, epilog=EPILOG,
               formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("run", metavar="RUN.h5", help="the file written by korvel-h5")
    p.add_argument("-o", "--output", metavar="DIR",
                   help="the report's directory (default: RUN.look beside RUN.h5)")
    p.add_argument("--channels", metavar="PATTERN", action="append",
                   help="only channels whose title matches PATTERN (shell wildcards * ? "
                        "[...]; several patterns separated by commas or given again)")
    p.add_argument("--events", metavar="FIRST:LAST",
                   help="only the file's rows FIRST to LAST-1 (0-based, as a Python slice; "
                        "either may be left out, negative counts from the end: --events=-100:)")
    p.add_argument("--progress", action="store_true",
                   help="show the progress line even when standard error is not a terminal")
    p.add_argument("--no-progress", action="store_true", help="never show it")
    p.add_argument("--version", action="version", version="korvel-look " + VERSION)
    return p.parse_args(argv)


def event_range(text, n):
    """[first, last) of the FIRST:LAST option over n events; raises Usage."""
    if text is None:
        return 0, n
    parts = text.split(":")
    try:
        if len(parts) != 2:
            raise ValueError
        first = int(parts[0]) if parts[0].strip() else None
        last = int(parts[1]) if parts[1].strip() else None
    except ValueError:
        raise Usage("--events %s: expected FIRST:LAST, two integers (either may be "
                    "left out)" % text)
    first, last, _ = slice(first, last).indices(n)
    if last <= first and n:
        raise Usage("--events %s: no events in that range (the file has %d)" % (text, n))
    return first, max(first, last)


def chosen(chans, patterns):
    if not patterns:
        return chans
    pats = [p for arg in patterns for p in arg.split(",") if p]
    return [c for c in chans if any(fnmatch.fnmatchcase(c.title, p) for p in pats)]


def default_output(run):
    base = run[:-3] if run.endswith(".h5") else run
    return base + ".look"


def main(argv=None):
    try:
        args = parse_args(sys.argv[1:] if argv is None else argv)
    except Usage as e:
        return fail(None, str(e) + " (korvel-look --help tells more)")
    progress = Progress(args.progress or (not args.no_progress and sys.stderr.isatty()))
    out = args.output or default_output(args.run)
    try:
        f = runfile.open_run(args.run)
    except runfile.BadFile as e:
        return fail(args.run, str(e))
    work = None
    try:
        with f:
            n = runfile.event_count(f)
            first, last = event_range(args.events, n)
            chans = runfile.channels(f)
            shown = chosen(chans, args.channels)
            if args.channels and not shown:
                raise Usage("--channels %s: no channel of the file matches"
                            % ",".join(args.channels))
            check_output(out)
            work = tempfile.mkdtemp(prefix="." + os.path.basename(out) + ".",
                                    dir=os.path.dirname(os.path.abspath(out)))
            r = report(f, args.run, shown, len(chans), first, last, work, progress)
            page.write(os.path.join(work, "index.html"), r)
            write_json(os.path.join(work, "report.json"), r)
            progress.finish()
            put_in_place(work, out)
            work = None
    except Usage as e:
        return fail(None, str(e))
    except runfile.BadFile as e:
        return fail(args.run, str(e))
    except OSError as e:
        progress.finish()
        return fail(e.filename or out, e.strerror or str(e), status=1)
    except KeyboardInterrupt:
        progress.finish()
        return fail(None, "interrupted; no report written", status=130)
    finally:
        if work is not None:
            shutil.rmtree(work, ignore_errors=True)
    print("korvel-look: report in %s" % os.path.join(out, "index.html"))
    return 0


def fail(name, message, status=2):
    sys.stderr.write("korvel-look: %s%s\n" % (name + ": " if name else "", message))
    return status


def check_output(out):
    """Raises Usage when out exists and is not a report's directory (a
    file, a device, a link, or a directory holding anything but a report).
    A report has its index.html and its report.json, both plain files: a
    web page's directory with an index.html alone is not one."""
    if os.path.lexists(out):
        if not os.path.isdir(out) or os.path.islink(out):
            raise Usage("%s: exists and is not a directory; not replaced" % out)
        if os.listdir(out) and not all(plain_file(os.path.join(out, n))
                                       for n in ("index.html", "report.json")):
            raise Usage("%s: exists and does not hold a report; not replaced" % out)


def plain_file(path):
    """Whether path is a regular file itself, not a link to one."""
    return os.path.isfile(path) and not os.path.islink(path)


def put_in_place(work, out):
    """Moves the finished report from work to out; an old report at out is
    replaced only once the new one is complete."""
    os.chmod(work, 0o755)
    old = None
    if os.path.isdir(out):
        old = tempfile.mkdtemp(prefix="." + os.path.basename(out) + ".old.",
                               dir=os.path.dirname(os.path.abspath(out)))
        os.rename(out, os.path.join(old, "report"))
    os.rename(work, out)
    if old:
        shutil.rmtree(old, ignore_errors=True)


# ---- The report ------------------------------------------------------------

def report(f, run, chans, in_file, first, last, out_dir, progress):
    """Reads and draws everything; returns the report as a dict for the page
    and report.json."""
    blocks = bins.Blocks(first, last, COLUMNS)
    s = summary.run_summary(f, first, last, blocks)
    t0 = s.get("first_time", 0.0)
    r = {"file": run, "creator": runfile.root_text(f, "creator"),
         "converter_version": runfile.root_text(f, "converter_version"),
         "layout_version": runfile.LAYOUT_VERSION, "version": VERSION,
         "summary": s, "channels_in_file": in_file, "channels": [],
         "values": [], "blocks": [], "spectra": [], "cameras": []}
    r["axis_note"] = ("Against event time, seconds after the first event shown (%s)%s."
                      % (s.get("first_iso") or "–",
                         "; the band spans each block's minimum and maximum (%d events a block)"
                         % blocks.size if blocks.size > 1 else ""))
    xlabel = "s after the first event"
    ranks, value_panels = [], []
    for k, c in enumerate(chans):
        progress.show("channel %d/%d %s" % (k + 1, len(chans), c.title))
        entry, worst = channel_entry(c, first, last, blocks)
        r["channels"].append(entry)
        ranks.append(worst)
        if entry["counts"] is None or last <= first:
            continue
        try:
            draw_channel(f, c, entry, r, value_panels, s, blocks, out_dir, xlabel, progress)
        except (OSError, ValueError, KeyError, TypeError) as e:
            entry["notes"].append("could not be read: %s" % e)
    progress.show("drawing value channels", force=True)
    value_figs = figures.lane_figures(out_dir, "values", value_panels, s["block_time"], t0,
                                      blocks, xlabel) if value_panels else []
    if value_figs:
        r["values"].append({"title": "", "figures": value_figs,
                            "series": series_numbers(value_panels)})
    progress.show("drawing the presence image", force=True)
    r["presence"] = presence_entry(chans, ranks, blocks, out_dir)
    return r


def channel_entry(c, first, last, blocks):
    """The channel's table entry (counts per state, notes) and its block
    ranks for the presence image."""
    entry = {"index": c.index, "title": c.title, "group": c.group, "kind": c.kind,
             "counts": None, "notes": []}
    if c.node is None:
        entry["notes"].append("its group /entry/channels/%s is missing from the file" % c.group)
    else:
        entry["counts"], worst = presence.scan(c, first, last, blocks)
        if entry["counts"] is None:
            entry["notes"].append("no usable present dataset")
        else:
            if entry["counts"]["data"] == 0 and last > first and c.kind != "none":
                entry["notes"].append("no data in the events shown")
            return entry, worst
    return entry, np.full(blocks.count, presence.MISSING_RANK, dtype=np.int8)


def draw_channel(f, c, entry, r, value_panels, s, blocks, out_dir, xlabel, progress):
    """Reads the data of channel c and adds its figures or notes to r."""
    first, last = blocks.first, blocks.last
    has_data = entry["counts"]["data"] > 0
    units = runfile.text(c.node.attrs["units"]) if "units" in c.node.attrs else ""
    if c.kind == "value":
        ds = usable(c.node, "data", last, entry)
        if ds is not None and has_data:
            value_panels.append((c.title, units, figures.series_envelope(ds, first, last, blocks)))
    elif c.kind == "block":
        block_entry(c, entry, r, s, blocks, out_dir, xlabel, has_data)
    elif c.kind == "spectrum":
        ds = usable(c.node, "data", last, entry, ndim=3)
        if ds is not None and has_data:
            r["spectra"].append(spectrum_entry(c, ds, entry, blocks, out_dir, progress))
    elif c.kind == "image":
        ds = usable(c.node, "data", last, entry)
        if ds is not None and has_data and ds.ndim in (2, 3):
            r["cameras"].append(camera_entry(c, ds, s, blocks, out_dir, xlabel, units, progress))
    elif c.kind == "none":
        entry["notes"].append("never had data (kind none)")
    elif c.kind != "marker":
        entry["notes"].append("kind %r is not known to korvel-look" % c.kind)


def usable(node, name, last, entry, ndim=None):
    """The dataset name of node when it covers the events, else None with a
    note in entry."""
    ds = runfile.member(node, name)
    if ds is None:
        entry["notes"].append("no %s dataset" % name)
    elif ds.shape[0] < last or (ndim and ds.ndim != ndim):
        entry["notes"].append("%s dataset of unexpected shape %s" % (name, ds.shape))
        ds = None
    return ds


def block_entry(c, entry, r, s, blocks, out_dir, xlabel, has_data):
    items = figures.block_items(c)
    if not items:
        entry["notes"].append("no item datasets")
        return
    if not has_data:
        return
    panels = []
    for d, name in items:
        ds = c.node["items"][d]
        if ds.ndim == 1 and ds.shape[0] >= blocks.last:
            panels.append((name, "", figures.series_envelope(ds, blocks.first, blocks.last, blocks)))
    figs = figures.lane_figures(out_dir, "block-%d" % c.index, panels, s["block_time"],
                                s["first_time"], blocks, xlabel)
    r["blocks"].append({"title": c.title, "figures": figs, "series": series_numbers(panels),
                        "lines": ["%d items" % len(items)], "notes": []})


def series_numbers(panels):
    """Each series' title, minimum and maximum (None without numbers)."""
    out = []
    for title, _, env in panels:
        lo, hi = np.nanmin(env.lo, initial=np.inf), np.nanmax(env.hi, initial=-np.inf)
        ok = bool(np.isfinite(lo))
        out.append({"title": title, "min": float(lo) if ok else None,
                    "max": float(hi) if ok else None})
    return out


def spectrum_entry(c, ds, entry, blocks, out_dir, progress):
    progress.show("spectrum %s: pass 1 of 2" % c.title, force=True)
    wblocks = bins.Blocks(blocks.first, blocks.last, figures.WATERFALL_ROWS)
    st = figures.spectrum_stats(ds, blocks.first, blocks.last, wblocks)
    progress.show("spectrum %s: pass 2 of 2" % c.title, force=True)
    band = figures.spectrum_band(ds, blocks.first, blocks.last, st)
    name = "spectrum-%d.png" % c.index
    mean = figures.spectrum_figure(out_dir, name, c, st, band, wblocks, blocks.first)
    shape = st["shape"]
    lines = ["%d members of %d values" % (ds.shape[1], ds.shape[2])]
    notes = []
    if ds.shape[1] > shape.members:
        notes.append("the first %d members of %d are drawn" % (shape.members, ds.shape[1]))
    if shape.group > 1:
        notes.append("values averaged in groups of %d to fit %d columns"
                     % (shape.group, shape.columns))
    if int(np.asarray(ds.attrs.get("truncated", 0)).reshape(-1)[0]):
        notes.append("the table held fewer values than the channel had (truncated)")
    return {"title": c.title, "figures": [name], "lines": lines, "notes": notes,
            "mean": [[None if np.isnan(v) else float(v) for v in m] for m in mean]}


def camera_entry(c, ds, s, blocks, out_dir, xlabel, units, progress):
    progress.show("camera %s" % c.title, force=True)
    present = c.node["present"]
    cam = figures.camera_scan(ds, present, blocks.first, blocks.last, blocks)
    name = "camera-%d.png" % c.index
    mean = figures.camera_figure(out_dir, name, cam, s["block_time"], s["first_time"],
                                 blocks, xlabel, units)
    h, w = figures.frame_shape(ds)
    numbers = {"frames": cam["frames"], "height": h, "width": w,
               "mean_min": float(mean.min()), "mean_max": float(mean.max()),
               "mean_mean": float(mean.mean()), "max": int(cam["max"].max()),
               "first_row": cam["first_row"], "last_row": cam["last_row"]}
    lines = ["%d × %d pixels, %s; %d frames with data; mean frame from %s to %s; "
             "brightest pixel %d" % (w, h, ds.dtype, cam["frames"], page.number(numbers["mean_min"]),
                                      page.number(numbers["mean_max"]), numbers["max"])]
    notes = ["no frame shape in the file: frames shown as one row of pixels"] if ds.ndim == 2 else []
    return {"title": c.title, "figures": [name], "lines": lines, "notes": notes,
            "numbers": numbers}


def presence_entry(chans, ranks, blocks, out_dir):
    p = {"notes": [], "caption": ""}
    if not chans or blocks.count == 0:
        p["notes"].append("no channels or no events: no presence image")
        return p
    matrix, labels, group = presence.image_rows([c.title for c in chans], ranks)
    presence.write_raw(os.path.join(out_dir, "presence-cells.png"), matrix)
    presence.write_figure(os.path.join(out_dir, "presence.png"), matrix, labels, blocks, group)
    p["legend"] = dict(zip(presence.LABELS, presence.COLOURS))
    p.update(figure="presence.png", raw="presence-cells.png", rows=int(matrix.shape[0]),
             channels_per_row=group, events_per_column=blocks.size, columns=blocks.count)
    p["caption"] = ("%s; each cell shows the gravest state of its events "
                    "(data < none < empty < not reached < not understood)."
                    % ("One event per column" if blocks.size == 1
                       else "Blocks of %d events per column" % blocks.size)
                    + (" %d channels per row." % group if group > 1 else ""))
    return p


def write_json(path, r):
    """The report's numbers for scripts (and tests): everything but arrays."""
    s = {k: v for k, v in r["summary"].items() if k != "block_time"}
    keep = {k: r[k] for k in ("file", "creator", "converter_version", "layout_version",
                              "version", "channels_in_file", "channels", "presence",
                              "values", "blocks", "spectra", "cameras")}
    keep["summary"] = s
    with open(path, "w", encoding="utf-8") as f:
        json.dump(keep, f, indent=1, allow_nan=False, default=float)
