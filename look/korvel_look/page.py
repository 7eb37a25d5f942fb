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
"""


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


def summary_html(r):
    s = r["summary"]
    rows = [("file", r["file"]), ("written by", r["creator"] or "–"),
            ("layout version", r["layout_version"]),
            ("events shown", "%s of %s (rows %s to %s of the file)" % (
                number(s["events"]), number(s["events_in_file"]), number(s["first"]),
                number(max(s["first"], s["last"] - 1))))]
    if s["events"]:
        rows += [("first event", "id %s at %s" % (s["first_id"], s["first_iso"] or number(s["first_time"]))),
                 ("last event", "id %s at %s" % (s["last_id"], s["last_iso"] or number(s["last_time"]))),
                 ("duration", "%s s" % number(s["duration"])),
                 ("event rate", "%s events/s" % number(s["rate"], 4)),
                 ("rows cut short", number(s["cut_short"])),
                 ("channels shown", "%s of %s" % (number(len(r["channels"])),
                                                  number(r["channels_in_file"])))]
    body = "".join('<tr><th>%s</th><td>%s</td></tr>' % (esc(k), esc(v)) for k, v in rows)
    return "<h2>Run summary</h2><table>%s</table>" % body


def channel_table_html(r):
    n = r["summary"]["events"]
    head = ("<tr><th>#</th><th>channel</th><th>kind</th><th class=\"num\">data</th>"
            "<th class=\"num\">none</th><th class=\"num\">empty</th>"
            "<th class=\"num\">not understood</th><th class=\"num\">not reached</th>"
            "<th>notes</th></tr>")
    rows = []
    for c in r["channels"]:
        k = c["counts"] or {}
        cells = [esc(c["index"]), esc(c["title"]), esc(c["kind"]),
                 esc(percent(k.get("data", 0), n) if c["counts"] else "–")]
        cells += [esc(number(k[label]) if label in k else "–")
                  for label in ("none", "empty cell", "not understood", "not reached")]
        rows.append("<tr>" + "".join(
            '<td class="num">%s</td>' % x if 3 <= i <= 7 else "<td>%s</td>" % x
            for i, x in enumerate(cells)) + "<td>%s</td></tr>" % esc("; ".join(c["notes"])))
    return ("<h2>Channels</h2><p class=\"small\">Share of the shown events in which each "
            "channel had data, and the events of each other state.</p>"
            "<table>%s%s</table>" % (head, "".join(rows)))


def presence_html(r):
    p = r["presence"]
    keys = "".join('<span class="key" style="background: %s"></span>%s' % (c, esc(l))
                   for c, l in zip(presence.COLOURS, presence.LABELS))
    text = ('<h2>Presence</h2><p class="small">Channels (rows, table order) against '
            'events (columns). %s</p><p class="small">%s</p>'
            % (esc(p["caption"]), keys))
    if p.get("figure"):
        text += image(p["figure"], "presence of every channel in every event")
        text += ('<p class="small">One pixel per cell: <a href="%s">%s</a>.</p>'
                 % (esc(p["raw"]), esc(p["raw"])))
    return text + notes_html(p.get("notes", []))


def section_html(title, intro, entries):
    """A section of figures: entries are dicts with title, figures, notes."""
    if not entries:
        return ""
    parts = ["<h2>%s</h2><p class=\"small\">%s</p>" % (esc(title), esc(intro))]
    for e in entries:
        if e.get("title"):
            parts.append("<h3>%s</h3>" % esc(e["title"]))
        parts.append(notes_html(e.get("notes", [])))
        for line in e.get("lines", []):
            parts.append('<p class="small">%s</p>' % esc(line))
        parts += [image(fig, e.get("title") or title) for fig in e.get("figures", [])]
    return "".join(parts)


def write(path, r):
    """Writes the page of report r to path."""
    s = r["summary"]
    parts = ['<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8" />',
             "<title>%s</title>" % esc("korvel-look: " + r["file"]),
             '<meta name="viewport" content="width=device-width, initial-scale=1" />',
             "<style>%s</style></head><body>" % CSS,
             "<h1>%s</h1>" % esc("Run " + r["file"]),
             summary_html(r)]
    if not s["events"]:
        parts.append('<p class="note">The file holds no events in the range shown: '
                     'there is nothing to plot.</p>')
    parts += [presence_html(r),
              section_html("Value channels", r["axis_note"], r["values"]),
              section_html("Name-value items", r["axis_note"], r["blocks"]),
              section_html("Spectra", "Per member: the mean over the events with its 5–95 % "
                           "band, and the waterfall (mean per block of events).", r["spectra"]),
              section_html("Cameras", "Frames with data only. " + r["axis_note"], r["cameras"]),
              channel_table_html(r),
              '<p class="small">Made by korvel-look %s.</p></body></html>\n' % esc(r["version"])]
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(p for p in parts if p))
