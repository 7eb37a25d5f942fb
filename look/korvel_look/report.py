"""The report of a run: reads every channel shown once (its presence, then
its data), picks its figures by its kind, and writes the page and
report.json into the report's work directory.

Everything the drawing shares (the open file, the rows and channels shown,
the event blocks and their axis, the report being filled, where the figures
go, the progress line) travels in one Context. The report itself is a dict
of plain numbers and texts: the page is made from it, and report.json is
it without the arrays.
"""

import collections
import json
import os

import numpy as np

from . import VERSION, axis, bins, figures, page, presence, runfile, summary
from .output import REPORT_JSON, members_of, writing

# Event blocks across a figure: about one per pixel column.
COLUMNS = 800

EQDATA_NOTE = "EqData channel: its values go to the plug-in's standard output, not the table"

# What the command line chose: the rows [first, last) with a note on the
# selection, the channels shown and the number of channels in the file.
Shown = collections.namedtuple("Shown", "first last note chans in_file")


class Context:
    """What making the report shares: the open file f and its path run,
    the selection shown (Shown), the events' blocks, their event axis and
    the run summary, the report r being filled, the value channels' lanes
    gathered for one figure, the directory the files go to and the
    progress line. Reads the summary and the blocks' event ids."""

    def __init__(self, f, run, shown, out_dir, progress):
        self.f = f
        self.run = run
        self.shown = shown
        self.out_dir = out_dir
        self.progress = progress
        self.ids = f["entry/event/id"]
        self.blocks = bins.Blocks(shown.first, shown.last, COLUMNS)
        self.summary = summary.run_summary(f, shown.first, shown.last)
        self.axis = axis.EventAxis(self.blocks, axis.block_ids(self.ids, self.blocks),
                                   axis.ids_contiguous(self.ids, shown.first, shown.last), {})
        self.r = None
        self.value_panels = []
        self.waterfall = None

    def waterfall_axis(self):
        """The event axis of the spectra's waterfalls (fewer, larger
        blocks), made once."""
        if self.waterfall is None:
            wblocks = bins.Blocks(self.blocks.first, self.blocks.last, figures.WATERFALL_ROWS)
            self.waterfall = axis.EventAxis(wblocks, axis.block_ids(self.ids, wblocks),
                                            self.axis.contiguous, self.axis.log)
        return self.waterfall


def write(ctx):
    """Reads and draws the report into ctx.out_dir: its figures, index.html
    and last report.json with the list of everything written."""
    r = build(ctx)
    path = os.path.join(ctx.out_dir, "index.html")
    with writing(path):
        page.write(path, r)
    r["files"] = members_of(ctx.out_dir)
    path = os.path.join(ctx.out_dir, REPORT_JSON)
    with writing(path):
        write_json(path, r)


def build(ctx):
    """Reads and draws everything for the rows and channels shown; returns
    the report as a dict for the page and report.json."""
    r = ctx.r = new_report(ctx)
    chans, blocks = ctx.shown.chans, ctx.blocks
    ranks = []
    for k, c in enumerate(chans):
        ctx.progress.show("channel %d/%d %s" % (k + 1, len(chans), c.title))
        entry, worst = channel_entry(c, blocks, ctx.summary["cut_rows"])
        r["channels"].append(entry)
        ranks.append(worst)
        if entry["counts"] is None or blocks.last <= blocks.first:
            continue
        try:
            draw_channel(ctx, c, entry)
        except (OSError, ValueError, KeyError, TypeError) as e:
            entry["notes"].append("could not be read: %s" % e)
    ctx.progress.show("drawing value channels", force=True)
    add_values(ctx)
    ctx.progress.show("drawing the presence image", force=True)
    r["presence"] = presence_entry(chans, ranks, ctx)
    r["cut_note"] = cut_note(r, len(chans) == ctx.shown.in_file)
    return r


def new_report(ctx):
    """The report before any channel is read: the file's and the run's
    texts, the summary, and empty lists for the channels to fill."""
    meta = runfile.run_metadata(ctx.f)
    return {"file": ctx.run, "key": run_key(ctx.run, meta), "run": meta,
            "creator": runfile.root_text(ctx.f, "creator"),
            "converter_version": runfile.root_text(ctx.f, "converter_version"),
            "layout_version": runfile.layout_version(ctx.f), "version": VERSION,
            "summary": ctx.summary, "selection_note": ctx.shown.note,
            "channels_in_file": ctx.shown.in_file,
            "channels": [], "statistics": [], "values": [], "blocks": [], "spectra": [],
            "cameras": [], "figures": ctx.axis.log,
            "axis": {"label": ctx.axis.label, "contiguous": ctx.axis.contiguous},
            "axis_note": axis_caption(ctx.summary, ctx.axis)}


def run_key(run, meta):
    """The run's key: /entry@run, else the file's name without .h5."""
    if meta.get("run"):
        return meta["run"]
    base = os.path.basename(run)
    return base[:-3] if base.endswith(".h5") else base


def add_values(ctx):
    """The value channels' lanes, gathered from every channel, as the
    figures of one entry of the values section."""
    if not ctx.value_panels:
        return
    figs = figures.lane_figures(ctx.out_dir, "values", ctx.value_panels, ctx.axis)
    if figs:
        ctx.r["values"].append({"title": "", "figures": figs,
                                "series": series_numbers(ctx.value_panels)})


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


def draw_channel(ctx, c, entry):
    """Reads the data of channel c and adds its figures, statistics or
    notes to the report, as its kind asks."""
    draw = DRAW_BY_KIND.get(c.kind)
    if draw is None:
        entry["notes"].append("kind %r is not known to korvel-look" % c.kind)
    else:
        draw(ctx, c, entry)


def has_data(entry):
    """Whether the channel had data in any event shown."""
    return entry["counts"]["data"] > 0


def draw_value(ctx, c, entry):
    """A value channel: a lane of the values figure, a statistics row."""
    ds = usable(c.node, "data", ctx.blocks.last, entry)
    if ds is not None and has_data(entry):
        ctx.value_panels.append(series_panel(ctx, c, None, ds))


def draw_block(ctx, c, entry):
    """A name-value channel: a lane per item, in figures of its own."""
    items = figures.block_items(c)
    if not items:
        entry["notes"].append("no item datasets")
        return
    if not has_data(entry):
        return
    panels = []
    for d, name in items:
        ds = c.node["items"][d]
        if series_fits(ds, ctx.blocks.last):
            panels.append(series_panel(ctx, c, name, ds))
    figs = figures.lane_figures(ctx.out_dir, "block-%d" % c.index, panels, ctx.axis)
    ctx.r["blocks"].append({"title": c.title, "index": c.index, "figures": figs,
                            "series": series_numbers(panels),
                            "lines": ["%d items" % len(items)], "notes": []})


def draw_spectrum(ctx, c, entry):
    """A spectrum channel: its members' means and bands, and waterfalls."""
    ds = usable(c.node, "data", ctx.blocks.last, entry, ndim=(3,))
    if ds is not None and has_data(entry):
        ctx.r["spectra"].append(spectrum_entry(ctx, c, ds))


def draw_camera(ctx, c, entry):
    """A camera: its frames and the frame sum against event id."""
    ds = usable(c.node, "data", ctx.blocks.last, entry, ndim=(2, 3))
    if ds is not None and has_data(entry):
        ctx.r["cameras"].append(camera_entry(ctx, c, ds))


def draw_none(ctx, c, entry):
    """A channel of kind none has nothing to draw; an EqData channel's
    note says already why."""
    if not entry["eqdata"]:
        entry["notes"].append("never had data (kind none)")


def draw_nothing(ctx, c, entry):
    """A marker: its presence image row says all there is."""


# The drawing of each kind of channel the converter writes.
DRAW_BY_KIND = {"value": draw_value, "block": draw_block, "spectrum": draw_spectrum,
                "image": draw_camera, "none": draw_none, "marker": draw_nothing}


def series_fits(ds, last):
    """Whether ds is a series [events] that covers the events shown."""
    return ds.ndim == 1 and ds.shape[0] >= last


def series_panel(ctx, c, item, ds):
    """The lane (title, units, envelope) of the series ds of channel c (of
    its item, None for a value channel); its statistics row goes into the
    report."""
    blocks = ctx.blocks
    env, moments = figures.series_envelope(ds, blocks.first, blocks.last, blocks)
    units = runfile.signal_text(c.node, ds, "units")
    ctx.r["statistics"].append(statistics_row(c, item, units, moments))
    return (c.title if item is None else item, units, env)


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
    """Reads the spectrum ds in two passes and draws it; returns its entry
    of the spectra section, with the members' means for report.json."""
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
    """Reads the frames of ds and draws them; returns its entry of the
    cameras section, with the frames' numbers for report.json."""
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
             "brightest pixel %d" % (w, h, ds.dtype, cam["frames"],
                                     page.number(numbers["mean_min"]),
                                     page.number(numbers["mean_max"]), numbers["max"])]
    notes = (["no frame shape in the file: frames shown as one row of pixels"]
             if ds.ndim == 2 else [])
    return {"title": c.title, "index": c.index, "figures": [name], "lines": lines,
            "notes": notes, "numbers": numbers}


def presence_entry(chans, ranks, ctx):
    """Draws the presence image from the channels' block ranks; returns
    the presence section's entry (a note instead without channels or
    events)."""
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
