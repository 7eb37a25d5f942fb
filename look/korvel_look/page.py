"""The report's HTML page: one self-contained file, inline CSS, no script,
its figures referred to by relative path. Every text from the file is
escaped; the page is well-formed XML as well as valid HTML, so that it can
be checked by any parser."""

import html
import math

from . import presence

CSS = """
body { font-family: sans-serif; margin: 1.5em auto; max-width: 1100px; color: #222; }
h1 { font-size: 1.5em; } h2 { font-size: 1.2em; border-bottom: 1px solid #ccc; margin-top: 2em; }
h3 { font-size: 1em; margin-bottom: 0.3em; }
table { border-collapse: collapse; font-size: 0.85em; }
td, th { border: 1px solid #ccc; padding: 2px 6px; text-align: left; }
td.num, th.num { text-align: right; }
img { max-width: 100%; height: auto; border: 1px solid #eee; }
.note { color: #8a4b00; } .key { display: inline-block; width: 1em; height: 1em;
  vertical-align: middle; border: 1px solid #555; margin: 0 0.3em 0 1em; }
.small { font-size: 0.85em; color: #555; }
nav ul { margin: 0.3em 0; } nav li { margin: 0.1em 0; }
footer { margin-top: 2em; border-top: 1px solid #ccc; padding-top: 0.5em; }
"""

# The page's sections in order: anchor, heading. Sections without content
# are left out, of the page and of its table of contents.
SECTIONS = [("summary", "Run summary"), ("cut-rows", "Rows cut short"),
            ("precision", "Precision"), ("presence", "Presence"),
            ("values", "Value channels"), ("items", "Name-value items"),
            ("spectra", "Spectra"), ("cameras", "Cameras"),
            ("statistics", "Statistics"), ("channels", "Channels")]


def esc(value):
    return html.escape(str(value), quote=True)


def number(value, digits=6):
    """A number for people: integers with thin groups, floats to a few
    significant digits, None and NaN as a dash."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "–"
    if isinstance(value, int):
        return "{:,}".format(value).replace(",", " ")
    return "%.*g" % (digits, value)


def percent(part, whole):
    return "–" if not whole else "%.1f %%" % (100.0 * part / whole)


def image(src, alt):
    return '<p><img src="%s" alt="%s" /></p>' % (esc(src), esc(alt))


def notes_html(notes):
    return "".join('<p class="note">%s</p>' % esc(n) for n in notes)


def heading(anchor, level=2):
    """The heading of section anchor, with its id for the contents."""
    return '<h%d id="%s">%s</h%d>' % (level, anchor, esc(dict(SECTIONS)[anchor]), level)


def table(head, rows, numeric=()):
    """A table: head is a list of column names, rows lists of cell texts;
    the columns numbered in numeric are right-aligned."""
    def cell(tag, k, text):
        return '<%s%s>%s</%s>' % (tag, ' class="num"' if k in numeric else "", esc(text), tag)
    return "<table><tr>%s</tr>%s</table>" % (
        "".join(cell("th", k, h) for k, h in enumerate(head)),
        "".join("<tr>%s</tr>" % "".join(cell("td", k, x) for k, x in enumerate(row))
                for row in rows))


def anchor_of(entry):
    """The anchor of a figure entry: its channel's position in the table."""
    return "ch-%d" % entry["index"] if "index" in entry else ""


def summary_html(r):
    s = r["summary"]
    rows = [("run", r["key"]), ("file", r["file"]), ("written by", r["creator"] or "–"),
            ("layout version", r["layout_version"])]
    rows += whole_run_rows(r["run"])
    rows.append(("events shown", "%s of %s (rows %s to %s of the file)" % (
        number(s["events"]), number(s["events_in_file"]), number(s["first"]),
        number(max(s["first"], s["last"] - 1)))))
    if s["events"]:
        rows += [("first event", "id %s at %s" % (s["first_id"], s["first_iso"] or number(s["first_time"]))),
                 ("last event", "id %s at %s" % (s["last_id"], s["last_iso"] or number(s["last_time"]))),
                 ("duration", "%s s" % number(s["duration"])),
                 ("event rate", "%s events/s" % number(s["rate"], 4)),
                 ("rows cut short", number(s["cut_short"])),
                 ("channels shown", "%s of %s" % (number(len(r["channels"])),
                                                  number(r["channels_in_file"])))]
    body = "".join('<tr><th>%s</th><td>%s</td></tr>' % (esc(k), esc(v)) for k, v in rows)
    return heading("summary") + "<table>%s</table>" % body + notes_html(
        [r["selection_note"]] if r["selection_note"] else [])


def whole_run_rows(meta):
    """Summary rows of the run metadata the file carries (layout 2)."""
    rows = []
    if "first_event_id" in meta or "last_event_id" in meta:
        rows.append(("whole run", "ids %s to %s" % (meta.get("first_event_id", "–"),
                                                   meta.get("last_event_id", "–"))))
    if "start_time" in meta or "end_time" in meta:
        rows.append(("whole run's time", "%s to %s" % (meta.get("start_time", "–"),
                                                      meta.get("end_time", "–"))))
    for key, label in (("events", "events in the run"), ("cut_rows", "rows cut short in the run"),
                       ("channels", "channels in the run"), ("source_table", "table")):
        if key in meta:
            rows.append((label, number(meta[key]) if isinstance(meta[key], int) else meta[key]))
    return rows


def cut_rows_html(r):
    s = r["summary"]
    if not s["cut_rows"]:
        return ""
    rows = [(number(c["row"]), c["id"], c["channel"] or "–") for c in s["cut_rows"]]
    more = s["cut_short"] - len(rows)
    notes = ["%s more cut rows are not listed" % number(more)] if more > 0 else []
    return (heading("cut-rows") + '<p class="small">Each row cut short, and the channel whose '
            'failed reader query cut it (the channels after it were not reached).</p>'
            + table(["row", "event id", "channel whose query failed"], rows, numeric=(0, 1))
            + notes_html(notes + ([r["cut_note"]] if r["cut_note"] else [])))


def precision_html(r):
    lossy = [c for c in r["channels"] if c["lossy"]]
    if not lossy:
        return ""
    rows = [(c["title"], c["source_format"] or "–", c["lossy_evidence"] or "–") for c in lossy]
    return (heading("precision") + '<p class="small">Channels whose numbers lost precision '
            'in the table, with what the converter found. The plug-in writes exact values '
            'for the channels its -fti word names.</p>'
            + table(["channel", "written as", "evidence"], rows))


def presence_html(r):
    p = r["presence"]
    keys = "".join('<span class="key" style="background: %s"></span>%s' % (c, esc(l))
                   for c, l in zip(presence.COLOURS, presence.LABELS))
    text = (heading("presence") + '<p class="small">Channels (rows, table order) against '
            'events (columns). %s</p><p class="small">%s</p>' % (esc(p["caption"]), keys))
    if p.get("figure"):
        text += image(p["figure"], "presence of every channel in every event")
        text += ('<p class="small">One pixel per cell: <a href="%s">%s</a>.</p>'
                 % (esc(p["raw"]), esc(p["raw"])))
    return text + notes_html(p.get("notes", []))


def section_html(anchor, intro, entries):
    """A section of figures: entries are dicts with title, figures, notes."""
    if not entries:
        return ""
    parts = [heading(anchor), '<p class="small">%s</p>' % esc(intro)]
    for e in entries:
        if e.get("title"):
            parts.append('<h3 id="%s">%s</h3>' % (anchor_of(e), esc(e["title"])))
        parts.append(notes_html(e.get("notes", [])))
        for line in e.get("lines", []):
            parts.append('<p class="small">%s</p>' % esc(line))
        parts += [image(fig, e.get("title") or dict(SECTIONS)[anchor])
                  for fig in e.get("figures", [])]
    return "".join(parts)


def statistics_html(r):
    if not r["statistics"]:
        return ""
    rows = [(x["channel"], x["item"] or "", x["units"] or "", number(x["count"]),
             number(x["mean"]), number(x["std"]), number(x["min"]), number(x["max"]))
            for x in r["statistics"]]
    return (heading("statistics") + '<p class="small">Value channels and name-value items '
            'over the events shown: the count of finite values, their mean, standard '
            'deviation (over the count, not one less), minimum and maximum.</p>'
            + table(["channel", "item", "units", "values", "mean", "std", "min", "max"],
                    rows, numeric=(3, 4, 5, 6, 7)))


def channel_table_html(r):
    n = r["summary"]["events"]
    states = ("none", "empty cell", "not understood", "not reached", "query failed")
    rows = []
    for c in r["channels"]:
        k = c["counts"] or {}
        rows.append([c["index"], c["title"], c["kind"], c["units"] or "",
                     percent(k.get("data", 0), n) if c["counts"] else "–"]
                    + [number(k[label]) if label in k else "–" for label in states]
                    + ["; ".join(c["notes"])])
    return (heading("channels") + '<p class="small">Share of the shown events in which each '
            'channel had data, and the events of each other state.</p>'
            + table(["#", "channel", "kind", "units", "data"] + list(states) + ["notes"],
                    rows, numeric=(0, 4, 5, 6, 7, 8, 9)))


def sections(r):
    """(anchor, html, sub-entries) of the page's sections with content."""
    note, parts = r["axis_note"], []
    spectra = ("Per member: the mean over the events with its 5–95 % band, and the "
               "waterfall (mean per block of events, event ids down).")
    for anchor, html_text, entries in (
            ("summary", summary_html(r), []), ("cut-rows", cut_rows_html(r), []),
            ("precision", precision_html(r), []), ("presence", presence_html(r), []),
            ("values", section_html("values", note, r["values"]), []),
            ("items", section_html("items", note, r["blocks"]), r["blocks"]),
            ("spectra", section_html("spectra", spectra, r["spectra"]), r["spectra"]),
            ("cameras", section_html("cameras", "Frames with data only. " + note,
                                     r["cameras"]), r["cameras"]),
            ("statistics", statistics_html(r), []), ("channels", channel_table_html(r), [])):
        if html_text:
            parts.append((anchor, html_text, entries))
    return parts


def contents_html(parts):
    """The table of contents: every section, and the channels of the
    sections that have one heading per channel."""
    items = []
    for anchor, _, entries in parts:
        sub = "".join('<li><a href="#%s">%s</a></li>' % (anchor_of(e), esc(e["title"]))
                      for e in entries if e.get("title"))
        items.append('<li><a href="#%s">%s</a>%s</li>' % (
            anchor, esc(dict(SECTIONS)[anchor]), "<ul>%s</ul>" % sub if sub else ""))
    return '<nav id="contents"><h2>Contents</h2><ul>%s</ul></nav>' % "".join(items)


def write(path, r):
    """Writes the page of report r to path."""
    parts = sections(r)
    page = ['<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8" />',
            "<title>%s</title>" % esc("korvel-look: run " + r["key"]),
            '<meta name="viewport" content="width=device-width, initial-scale=1" />',
            "<style>%s</style></head><body>" % CSS,
            "<h1>%s</h1>" % esc("Run " + r["key"]),
            contents_html(parts)]
    for anchor, text, _ in parts:
        page.append(text)
        if anchor == "summary" and not r["summary"]["events"]:
            page.append('<p class="note">The file holds no events in the range shown: '
                        'there is nothing to plot.</p>')
    page.append('<footer class="small">Made by korvel-look %s from a file of %s, layout '
                'version %s.</footer></body></html>\n'
                % (esc(r["version"]), esc(r["creator"] or "an unnamed writer"),
                   esc(r["layout_version"])))
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(page))
