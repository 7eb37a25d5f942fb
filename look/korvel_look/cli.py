"""korvel-look's command line and the order of the work: open and check the
file, select channels and events, read each channel once in slices (its
presence, then its data), draw, write the page into a fresh directory and
put it in place. Exit status: 0 report written; 1 the report could not be
written; 2 usage error or a file that cannot be reported on; 130 and 143
interrupted (SIGINT, SIGTERM), the work directory removed.
"""

import argparse
import json
import os
import re
import shutil
import signal
import sys

import numpy as np

from . import axis, bins, figures, output, page, presence, runfile, selection, summary
from .progress import Progress
from .selection import Usage

# Event blocks across a figure: about one per pixel column.
COLUMNS = 800

EQDATA_NOTE = "EqData channel: its values go to the plug-in's standard output, not the table"


def project_version():
    """The project's version. CMake writes it into _version.py where it
    configures the package (the build tree, and from there the install);
    the package in the source tree has no such file, and reads it from the
    project's CMakeLists.txt two levels up instead."""
    try:
        from ._version import VERSION as configured
        return configured
    except ImportError:
        pass
    top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakeLists.txt")
    try:
        with open(top, encoding="utf-8") as f:
            found = re.search(r"^project\(\s*korvel\s+VERSION\s+([0-9][0-9.]*)", f.read(), re.M)
    except (OSError, UnicodeDecodeError):
        found = None
    return found.group(1) if found else "unknown"


VERSION = project_version()

USAGE = ("korvel-look RUN.h5 [-o DIR] [--channels PATTERN] "
         "[--events FIRST:LAST | --ids FIRST:LAST]")
DESCRIPTION = """\
Writes a static report of a run from the HDF5 file of korvel-h5: DIR/index.html
(default: RUN.look/ beside RUN.h5) and its PNG figures. It opens from the
file system in any browser; no server, no network, no script.

The report: run summary (the run's key and metadata, events, first and last
event id and time, duration, event rate, rows cut short with the channel
whose query failed, per channel its kind and share of events with data);
the presence of every channel in every event as one image; value channels
and name-value items against event id (a min/max envelope per block of
events when there are more events than pixel columns) with a table of their
units, mean, standard deviation, minimum and maximum; spectra (per member the
mean with a 5-95 % band, and a waterfall); cameras (first, last and mean
frame, maximum projection, frame sum against event id).

The file is read in slices of whole chunks: memory stays flat whatever the
run's length. An existing DIR is replaced only when it holds a report and
nothing else (the files its report.json lists); a file of your own saved
into it keeps it from being replaced."""
EPILOG = """\
exit status: 0 report written; 1 the report could not be written (a file
of it named); 2 usage error, a missing file, a file that is not korvel-h5's,
damaged or of an unknown layout version; 130 interrupted (SIGINT), 143
terminated (SIGTERM)."""


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
    p.add_argument("--ids", metavar="FIRST:LAST",
                   help="only the events with ids FIRST to LAST, both included (either may "
                        "be left out): the first stretch of rows whose ids all lie in that "
                        "range; ids of the range that occur again later (ids that are not "
                        "increasing) are named in a note")
    p.add_argument("--progress", action="store_true",
                   help="show the progress line even when standard error is not a terminal")
    p.add_argument("--no-progress", action="store_true", help="never show it")
    p.add_argument("--version", action="version", version="korvel-look " + VERSION)
    return p.parse_args(argv)


def rows_shown(f, args):
    """[first, last) of the rows to show and a note on the selection."""
    n = runfile.event_count(f)
    if args.ids is not None and args.events is not None:
        raise Usage("--ids and --events exclude each other: give one of them")
    if args.ids is not None:
        return selection.id_range(args.ids, f["entry/event/id"])
    first, last = selection.event_range(args.events, n)
    return first, last, ""


def default_output(run):
    base = run[:-3] if run.endswith(".h5") else run
    return base + ".look"


def run_key(run, meta):
    """The run's key: /entry@run, else the file's name without .h5."""
    if meta.get("run"):
        return meta["run"]
    base = os.path.basename(run)
    return base[:-3] if base.endswith(".h5") else base


class Stopped(BaseException):
    """SIGINT or SIGTERM arrived: the run ends with status 128 + signal.
    A BaseException, so that no handler of read errors takes it."""

    def __init__(self, signum):
        super().__init__(signum)
        self.status = 128 + signum


# hold: set by the first signal, and while the finished report is moved
# into place; a signal then waits for the move or the clean-up to end
# instead of cutting it in the middle. late: such a signal.
SIGNALS = {"hold": False, "late": None}


def on_signal(signum, _frame):
    if SIGNALS["hold"]:
        SIGNALS["late"] = signum
        return
    SIGNALS["hold"] = True
    raise Stopped(signum)


def release_signals():
    """Ends a hold: a signal that came meanwhile ends the run now."""
    if SIGNALS["late"]:
        raise Stopped(SIGNALS["late"])
    SIGNALS["hold"] = False


def catch_signals():
    """SIGINT and SIGTERM end the run through Stopped (the work directory
    is removed on the way out); SIGXFSZ is ignored, so that a file-size
    limit makes the write fail with EFBIG, reported like any write error."""
    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)


def main(argv=None):
    SIGNALS.update(hold=False, late=None)
    catch_signals()
    try:
        return run(sys.argv[1:] if argv is None else argv)
    except Stopped as e:  # a signal while a failure was being reported
        return fail(None, stopped_text(e), status=e.status)


def stopped_text(e):
    return "%s; no report written" % ("interrupted" if e.status == 130 else "terminated")


def run(argv):
    """The whole run; returns the exit status."""
    try:
        args = parse_args(argv)
    except Usage as e:
        return fail(None, str(e) + " (korvel-look --help tells more)")
    progress = Progress(args.progress or (not args.no_progress and sys.stderr.isatty()))
    out = args.output or default_output(args.run)
    work = None
    try:
        with runfile.open_run(args.run) as f:
            shown, rows = prepare(f, args, out)
            SIGNALS["hold"] = True  # the work directory is known before a signal ends the run
            work = output.make_work(out)
            release_signals()
            write_report(f, args.run, shown, rows, work, progress)
        progress.finish()
        SIGNALS["hold"] = True
        warning = output.put_in_place(work, out)
        work = None
    except Usage as e:
        return fail(None, str(e))
    except runfile.BadFile as e:
        progress.finish()
        return fail(args.run, str(e))
    except output.WriteFailed as e:
        progress.finish()
        return fail(shown_path(e.path, work, out), e.reason + "; no report written", status=1)
    except OSError as e:
        progress.finish()
        return fail(e.filename or out, e.strerror or str(e), status=1)
    except Stopped as e:
        progress.finish()
        return fail(None, stopped_text(e), status=e.status)
    except Exception as e:  # noqa: BLE001 - a file nobody foresaw: one line, not a traceback
        progress.finish()
        return fail(args.run, "cannot be reported on (%s: %s)" % (type(e).__name__, e))
    finally:
        SIGNALS["hold"] = True  # the work directory goes, whatever comes
        if work is not None:
            shutil.rmtree(work, ignore_errors=True)
    if SIGNALS["late"]:
        warning = "; ".join(w for w in (warning, "a signal came while the finished report "
                                        "was put in place; it is complete") if w)
    if warning:
        sys.stderr.write("korvel-look: warning: %s\n" % warning)
    print("korvel-look: report in %s" % os.path.join(out, "index.html"))
    return 0


def prepare(f, args, out):
    """Everything checked before any work: the rows and channels shown, and
    that out may be replaced. Returns (channels shown, (first, last, note,
    channels in the file))."""
    first, last, note = rows_shown(f, args)
    chans = runfile.channels(f)
    shown = selection.chosen(chans, args.channels)
    if args.channels and not shown:
        raise Usage("--channels %s: no channel of the file matches" % ",".join(args.channels))
    output.check_output(out)
    return shown, (first, last, note, len(chans))


def write_report(f, run, shown, rows, work, progress):
    """Reads and draws the report into work: its figures, index.html and
    last report.json with the list of everything written."""
    first, last, note, in_file = rows
    r = report(f, run, shown, in_file, (first, last, note), work, progress)
    path = os.path.join(work, "index.html")
    with output.writing(path):
        page.write(path, r)
    r["files"] = output.members_of(work)
    path = os.path.join(work, output.REPORT_JSON)
    with output.writing(path):
        write_json(path, r)


def shown_path(path, work, out):
    """A file of the report under the name it would have had in out, not
    in the hidden work directory that is gone by the time it is read."""
    if work and os.path.dirname(path) == work:
        return os.path.join(out, os.path.basename(path))
    return path


def fail(name, message, status=2):
    sys.stderr.write("korvel-look: %s%s\n" % (name + ": " if name else "", message))
    return status


# ---- The report ------------------------------------------------------------

class Context:
    """What drawing every channel shares: the open file, the events shown
    (blocks, and their event axis), the report being filled, where the
    figures go and the progress line."""

    def __init__(self, f, blocks, event_axis, r, out_dir, progress):
        self.f = f
        self.ids = f["entry/event/id"]
        self.blocks = blocks
        self.axis = event_axis
        self.r = r
        self.out_dir = out_dir
        self.progress = progress
        self.waterfall = None

    def waterfall_axis(self):
        """The event axis of the spectra's waterfalls (fewer, larger
        blocks), made once."""
        if self.waterfall is None:
            wblocks = bins.Blocks(self.blocks.first, self.blocks.last, figures.WATERFALL_ROWS)
            self.waterfall = axis.EventAxis(wblocks, axis.block_ids(self.ids, wblocks),
                                            self.axis.contiguous, self.axis.log)
        return self.waterfall


def report(f, run, chans, in_file, shown, out_dir, progress):
    """Reads and draws everything for the rows shown = (first, last, note);
    returns the report as a dict for the page and report.json."""
    first, last, note = shown
    blocks = bins.Blocks(first, last, COLUMNS)
    s = summary.run_summary(f, first, last)
    ids = f["entry/event/id"]
    event_axis = axis.EventAxis(blocks, axis.block_ids(ids, blocks),
                                axis.ids_contiguous(ids, first, last), {})
    meta = runfile.run_metadata(f)
    r = {"file": run, "key": run_key(run, meta), "run": meta,
         "creator": runfile.root_text(f, "creator"),
         "converter_version": runfile.root_text(f, "converter_version"),
         "layout_version": runfile.layout_version(f), "version": VERSION,
         "summary": s, "selection_note": note, "channels_in_file": in_file,
         "channels": [], "statistics": [], "values": [], "blocks": [], "spectra": [],
         "cameras": [], "figures": event_axis.log,
         "axis": {"label": event_axis.label, "contiguous": event_axis.contiguous},
         "axis_note": axis_caption(s, event_axis)}
    ctx = Context(f, blocks, event_axis, r, out_dir, progress)
    ranks, value_panels = [], []
    for k, c in enumerate(chans):
        progress.show("channel %d/%d %s" % (k + 1, len(chans), c.title))
        entry, worst = channel_entry(c, blocks, s["cut_rows"])
        r["channels"].append(entry)
        ranks.append(worst)
        if entry["counts"] is None or last <= first:
            continue
        try:
            draw_channel(ctx, c, entry, value_panels)
        except (OSError, ValueError, KeyError, TypeError) as e:
            entry["notes"].append("could not be read: %s" % e)
    progress.show("drawing value channels", force=True)
    value_figs = figures.lane_figures(out_dir, "values", value_panels, event_axis) \
        if value_panels else []
    if value_figs:
        r["values"].append({"title": "", "figures": value_figs,
                            "series": series_numbers(value_panels)})
    progress.show("drawing the presence image", force=True)
    r["presence"] = presence_entry(chans, ranks, ctx)
    r["cut_note"] = cut_note(r, len(chans) == in_file)
    return r


def axis_caption(s, event_axis):
    """The caption of the figures against event id: the ids and the time
    range shown, and how the axis runs."""
    if not s["events"]:
        return ""
    text = ("Against event id: ids %d to %d, from %s to %s (%s s)"
            % (s["first_id"], s["last_id"], s["first_iso"] or page.number(s["first_time"]),
               s["last_iso"] or page.number(s["last_time"]), page.number(s["duration"])))
    if not event_axis.contiguous:
        text += ("; the ids do not rise by one from event to event, so the axis runs in "
                 "table order, one step per event, its ticks labelled with their events' ids")
    size = event_axis.blocks.size
    if size > 1:
        text += "; the band spans each block's minimum and maximum (%d events a block)" % size
    return text + "."


def channel_entry(c, blocks, cut_rows):
    """The channel's table entry (counts per state, attributes, notes) and
    its block ranks for the presence image; marks the cut rows at which
    its query failed."""
    entry = channel_attributes(c)
    if c.node is None:
        entry["notes"].insert(0, "its group /entry/channels/%s is missing from the file"
                              % c.group)
        return entry, np.full(blocks.count, presence.MISSING_RANK, dtype=np.int8)
    watch = [cut["row"] for cut in cut_rows]
    entry["counts"], worst, failed = presence.scan(c, blocks.first, blocks.last, blocks, watch)
    if entry["counts"] is None:
        entry["notes"].insert(0, "no usable present dataset")
        return entry, np.full(blocks.count, presence.MISSING_RANK, dtype=np.int8)
    for cut in cut_rows:
        if cut["row"] in failed and cut["channel"] is None:
            cut["channel"] = c.title
    if entry["counts"]["data"] == 0 and blocks.last > blocks.first \
            and c.kind != "none" and not entry["eqdata"]:
        entry["notes"].insert(0, "no data in the events shown")
    return entry, worst


def channel_attributes(c):
    """The entry of channel c with what its attributes say: units and long
    name (of its signal, else its group), EqData, lossy with the evidence;
    their notes."""
    attrs = c.node.attrs if c.node is not None else {}
    signal = runfile.member(c.node, "data")
    entry = {"index": c.index, "title": c.title, "group": c.group, "kind": c.kind,
             "counts": None, "notes": [],
             "units": runfile.signal_text(c.node, signal, "units"),
             "long_name": runfile.signal_text(c.node, signal, "long_name"),
             "source_format": runfile.attr_value(attrs, "source_format"),
             "eqdata": runfile.attr_flag(attrs, "eqdata"),
             "lossy": runfile.attr_flag(attrs, "lossy"), "lossy_evidence": None}
    if entry["eqdata"]:
        entry["notes"].append(EQDATA_NOTE)
    if entry["lossy"]:
        evidence = runfile.attr_value(attrs, "lossy_evidence")
        entry["lossy_evidence"] = evidence if isinstance(evidence, str) and evidence else None
        entry["notes"].append("precision lost in the table: %s"
                              % (entry["lossy_evidence"] or "the converter gave no evidence"))
    return entry


def draw_channel(ctx, c, entry, value_panels):
    """Reads the data of channel c and adds its figures, statistics or
    notes to the report."""
    first, last = ctx.blocks.first, ctx.blocks.last
    has_data = entry["counts"]["data"] > 0
    if c.kind == "value":
        ds = usable(c.node, "data", last, entry)
        if ds is not None and has_data:
            env, moments = figures.series_envelope(ds, first, last, ctx.blocks)
            units = runfile.signal_text(c.node, ds, "units")
            value_panels.append((c.title, units, env))
            ctx.r["statistics"].append(statistics_row(c, None, units, moments))
    elif c.kind == "block":
        block_entry(ctx, c, entry, has_data)
    elif c.kind == "spectrum":
        ds = usable(c.node, "data", last, entry, ndim=(3,))
        if ds is not None and has_data:
            ctx.r["spectra"].append(spectrum_entry(ctx, c, ds))
    elif c.kind == "image":
        ds = usable(c.node, "data", last, entry, ndim=(2, 3))
        if ds is not None and has_data:
            ctx.r["cameras"].append(camera_entry(ctx, c, ds))
    elif c.kind == "none":
        if not entry["eqdata"]:
            entry["notes"].append("never had data (kind none)")
    elif c.kind != "marker":
        entry["notes"].append("kind %r is not known to korvel-look" % c.kind)


def usable(node, name, last, entry, ndim=None):
    """The dataset name of node when it covers the events (and has one of
    the numbers of dimensions ndim), else None with a note in entry."""
    ds = runfile.member(node, name)
    if ds is None:
        entry["notes"].append("no %s dataset" % name)
    elif ds.ndim == 0 or ds.shape[0] < last or (ndim and ds.ndim not in ndim):
        entry["notes"].append("%s dataset of unexpected shape %s" % (name, ds.shape))
        ds = None
    return ds


def statistics_row(c, item, units, moments):
    """A row of the statistics table: channel, item (None for a value
    channel), units and the moments of the values shown."""
    row = {"index": c.index, "channel": c.title, "item": item, "units": units}
    row.update(moments.numbers())
    return row


def block_entry(ctx, c, entry, has_data):
    items = figures.block_items(c)
    if not items:
        entry["notes"].append("no item datasets")
        return
    if not has_data:
        return
    blocks, panels = ctx.blocks, []
    for d, name in items:
        ds = c.node["items"][d]
        if ds.ndim == 1 and ds.shape[0] >= blocks.last:
            env, moments = figures.series_envelope(ds, blocks.first, blocks.last, blocks)
            units = runfile.signal_text(c.node, ds, "units")
            panels.append((name, units, env))
            ctx.r["statistics"].append(statistics_row(c, name, units, moments))
    figs = figures.lane_figures(ctx.out_dir, "block-%d" % c.index, panels, ctx.axis)
    ctx.r["blocks"].append({"title": c.title, "index": c.index, "figures": figs,
                            "series": series_numbers(panels),
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


def spectrum_entry(ctx, c, ds):
    blocks = ctx.blocks
    waxis = ctx.waterfall_axis()
    ctx.progress.show("spectrum %s: pass 1 of 2" % c.title, force=True)
    st = figures.spectrum_stats(ds, blocks.first, blocks.last, waxis.blocks)
    ctx.progress.show("spectrum %s: pass 2 of 2" % c.title, force=True)
    band = figures.spectrum_band(ds, blocks.first, blocks.last, st)
    name = "spectrum-%d.png" % c.index
    ylabel = figures.axis_label(ds, "value", c.node)
    mean = figures.spectrum_figure(ctx.out_dir, name, c, st, band, waxis, ylabel)
    shape = st["shape"]
    lines = ["%d members of %d values" % (ds.shape[1], ds.shape[2])]
    notes = []
    if ds.shape[1] > shape.members:
        notes.append("the first %d members of %d are drawn" % (shape.members, ds.shape[1]))
    if shape.group > 1:
        notes.append("values averaged in groups of %d to fit %d columns"
                     % (shape.group, shape.columns))
    if runfile.attr_flag(ds.attrs, "truncated"):
        notes.append("the table held fewer values than the channel had (truncated)")
    return {"title": c.title, "index": c.index, "figures": [name], "lines": lines,
            "notes": notes,
            "mean": [[None if np.isnan(v) else float(v) for v in m] for m in mean]}


def camera_entry(ctx, c, ds):
    ctx.progress.show("camera %s" % c.title, force=True)
    blocks = ctx.blocks
    cam = figures.camera_scan(ds, c.node["present"], blocks.first, blocks.last, blocks)
    name = "camera-%d.png" % c.index
    units = runfile.signal_text(c.node, ds, "units")
    ids = (int(ctx.ids[cam["first_row"]]), int(ctx.ids[cam["last_row"]]))
    mean = figures.camera_figure(ctx.out_dir, name, cam, ctx.axis, units, ids)
    h, w = figures.frame_shape(ds)
    numbers = {"frames": cam["frames"], "height": h, "width": w,
               "mean_min": float(mean.min()), "mean_max": float(mean.max()),
               "mean_mean": float(mean.mean()), "max": int(cam["max"].max()),
               "first_row": cam["first_row"], "last_row": cam["last_row"],
               "first_id": ids[0], "last_id": ids[1]}
    lines = ["%d × %d pixels, %s; %d frames with data; mean frame from %s to %s; "
             "brightest pixel %d" % (w, h, ds.dtype, cam["frames"], page.number(numbers["mean_min"]),
                                      page.number(numbers["mean_max"]), numbers["max"])]
    notes = ["no frame shape in the file: frames shown as one row of pixels"] if ds.ndim == 2 else []
    return {"title": c.title, "index": c.index, "figures": [name], "lines": lines,
            "notes": notes, "numbers": numbers}


def presence_entry(chans, ranks, ctx):
    p = {"notes": [], "caption": ""}
    blocks = ctx.blocks
    if not chans or blocks.count == 0:
        p["notes"].append("no channels or no events: no presence image")
        return p
    matrix, labels, group = presence.image_rows([c.title for c in chans], ranks)
    presence.write_raw(os.path.join(ctx.out_dir, "presence-cells.png"), matrix)
    presence.write_figure(os.path.join(ctx.out_dir, "presence.png"), matrix, labels,
                          ctx.axis, group)
    p["legend"] = dict(zip(presence.LABELS, presence.COLOURS))
    p.update(figure="presence.png", raw="presence-cells.png", rows=int(matrix.shape[0]),
             channels_per_row=group, events_per_column=blocks.size, columns=blocks.count)
    p["caption"] = ("%s; each cell shows the gravest state of its events (%s). "
                    "\"query failed\" marks the channel whose failed reader query cut "
                    "the row; the channels after it were not reached."
                    % ("One event per column" if blocks.size == 1
                       else "Blocks of %d events per column" % blocks.size,
                       " < ".join(label for _, label in bins.STATES))
                    + (" %d channels per row." % group if group > 1 else ""))
    return p


def cut_note(r, all_channels):
    """Why a listed cut row names no channel, or "" when each names one."""
    cuts = r["summary"]["cut_rows"]
    if all(cut["channel"] for cut in cuts):
        return ""
    if r["layout_version"] < 2:
        return ("A file of layout version 1 does not record the channel whose query "
                "failed.")
    if not all_channels:
        return ("A row without a channel was cut at a channel not shown (--channels), "
                "or is the last line of an interrupted run.")
    return "A row without a channel is the last line of an interrupted run: no query failed."


def write_json(path, r):
    """The report's numbers for scripts (and tests): everything but arrays."""
    keep = {k: r[k] for k in ("file", "key", "run", "creator", "converter_version",
                              "layout_version", "version", "summary", "selection_note",
                              "channels_in_file", "channels", "statistics", "presence",
                              "values", "blocks", "spectra", "cameras", "figures", "axis",
                              "axis_note", "cut_note", "files")}
    with open(path, "w", encoding="utf-8") as f:
        json.dump(keep, f, indent=1, allow_nan=False, default=float)
