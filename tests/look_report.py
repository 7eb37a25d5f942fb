#!/usr/bin/python3
"""korvel-look on runs made here (recording -> korvel-replay -> korvel-h5)
and on a small file of layout version 2 written here with h5py: the report
holds every channel, its figures reflect the data and stand on event ids,
and the summary's and the statistics' numbers are right. Every expected
number below is worked out from the recording (or file) written in the
test.

The converter's files may be of layout version 1 or 2: where the versions
differ (the failed query of a cut row, the EqData attribute), the expected
result follows the file's version.

Needs KORVEL_LOOK, KORVEL_REPLAY, KORVEL_H5 (CTest sets them); Debian's
/usr/bin/python3 (h5py, numpy, matplotlib)."""

import math
import os
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET

import matplotlib.image
import numpy as np

import look_common as v2
from look_common import LOOK, Run, layout_of, look, recording, report_json, report_of

CHANNELS = [("V", 2), ("GAP", 2), ("NVB", 2), ("S", 3), ("CAM", 4), ("M", 1), ("EQ", 5)]
TITLES = [n for n, _ in CHANNELS]
EVENTS = 40
ROW = {t: k for k, t in enumerate(TITLES)}  # presence image rows, table order
DESCRIPTIONS = [("V", "half the event number", "mm")]
EQDATA = "EqData channel: its values go to the plug-in's standard output, not the table"


def spread(values):
    """The standard deviation over N, worked out from its definition."""
    mean = sum(values) / len(values)
    return math.sqrt(sum((v - mean) ** 2 for v in values) / len(values))


def event(e):
    """Event e of the main run: V = e/2; GAP absent in events 10-19; NVB
    items a = 1 and b = e; S member 0 [2 4 6] on even events, [4 8 2] on
    odd ones, member 1 [1]; CAM a 4 x 3 frame of 7s, absent in event 5; M on
    even events; EQ an EqData channel (an empty cell in the table). The
    last event's first reader query fails, which cuts its row before V."""
    c = {"V": {"value": e * 0.5},
         "NVB": {"items": [["a", 1.0], ["b", float(e)]]},
         "S": {"members": [{"values": [2, 4, 6] if e % 2 == 0 else [4, 8, 2]},
                           {"values": [1]}]},
         "EQ": {"eq": {"type": 2, "values": [1.5]}}}
    if not 10 <= e <= 19:
        c["GAP"] = {"value": 1.0}
    if e != 5:
        c["CAM"] = {"image": {"width": 4, "height": 3, "pixels": "07" * 12}}
    if e % 2 == 0:
        c["M"] = {}
    if e == EVENTS - 1:
        c["V"]["block"] = {"fail": True}
    return {"id": 100 + e, "time": [1000 + e, 500000], "channels": c}


def presence_states(out_dir, rep):
    """The raw presence image read back as state labels [rows][columns]."""
    pixels = matplotlib.image.imread(os.path.join(out_dir, rep["presence"]["raw"]))
    legend = {tuple(round(int(h[i:i + 2], 16) / 255.0, 2) for i in (1, 3, 5)): label
              for label, h in rep["presence"]["legend"].items()}
    return [[legend[tuple(round(float(v), 2) for v in px[:3])] for px in row]
            for row in pixels]


class LookTest(unittest.TestCase):
    pipeline = None

    @classmethod
    def setUpClass(cls):
        cls.pipeline = Run(recording(CHANNELS, [event(e) for e in range(EVENTS)], DESCRIPTIONS))
        cls.v2 = cls.pipeline.ok and layout_of(cls.pipeline.h5) >= 2

    @classmethod
    def tearDownClass(cls):
        cls.pipeline.close()

    def look(self, *args):
        self.assertTrue(self.pipeline.ok, self.pipeline.why)
        out = os.path.join(self.pipeline.dir, "look-%d" % len(os.listdir(self.pipeline.dir)))
        status, stdout, stderr = look([self.pipeline.h5, "-o", out] + list(args))
        self.assertEqual(status, 0, stderr)
        self.assertEqual(stderr, "", "no progress line when standard error is not a terminal")
        self.assertIn(os.path.join(out, "index.html"), stdout)
        return out, report_json(out)


class WholeRunTest(LookTest):
    """The whole run, every channel."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.out, cls.rep = None, None

    def setUp(self):
        if WholeRunTest.out is None:
            WholeRunTest.out, WholeRunTest.rep = self.look()

    def test_summary_numbers(self):
        s = self.rep["summary"]
        self.assertEqual(s["events"], EVENTS)
        self.assertEqual(s["events_in_file"], EVENTS)
        self.assertEqual((s["first_id"], s["last_id"]), (100, 139))
        self.assertEqual(s["first_time"], 1000.5)
        self.assertEqual(s["last_time"], 1039.5)
        self.assertEqual(s["first_iso"], "1970-01-01T00:16:40Z")
        self.assertEqual(s["duration"], 39.0)
        self.assertEqual(s["rate"], 1.0)      # 39 intervals in 39 s
        self.assertEqual(s["cut_short"], 1)
        # Version 1 does not record the channel whose query cut the row.
        self.assertEqual(s["cut_rows"], [{"row": 39, "id": 139,
                                          "channel": "V" if self.v2 else None}])
        self.assertEqual(self.rep["key"], "user_out" if self.v2 else "run")

    def test_every_channel_with_kind_and_share(self):
        chans = self.rep["channels"]
        self.assertEqual([c["title"] for c in chans], TITLES)
        self.assertEqual([c["kind"] for c in chans],
                         ["value", "value", "block", "spectrum", "image", "marker", "none"])
        data = {c["title"]: c["counts"]["data"] for c in chans}
        # The cut last row reached no channel; GAP misses 10 events, CAM one,
        # M the 19 odd events of 0..38, EQ never has data.
        self.assertEqual(data, {"V": 39, "GAP": 29, "NVB": 39, "S": 39, "CAM": 38,
                                "M": 20, "EQ": 0})
        failed = "V" if self.v2 else None
        for c in chans:
            self.assertEqual(c["counts"]["not reached"], int(c["title"] != failed), c["title"])
            self.assertEqual(c["counts"]["query failed"], int(c["title"] == failed), c["title"])
        self.assertEqual(chans[ROW["GAP"]]["counts"]["none"], 10)
        self.assertEqual(chans[ROW["EQ"]]["counts"]["empty cell"], 39)
        self.assertIn(EQDATA if self.v2 else "never had data (kind none)",
                      chans[ROW["EQ"]]["notes"])
        self.assertEqual(chans[ROW["V"]]["units"], "mm")

    def test_presence_image_shows_the_gaps(self):
        states = presence_states(self.out, self.rep)
        self.assertEqual(len(states), len(TITLES))
        self.assertEqual({len(r) for r in states}, {EVENTS})
        for t in TITLES:
            self.assertEqual(states[ROW[t]][EVENTS - 1],
                             "query failed" if self.v2 and t == "V" else "not reached", t)
        gap = states[ROW["GAP"]]
        self.assertEqual(gap[10:20], ["none"] * 10)
        self.assertEqual(gap[:10] + gap[20:39], ["data"] * 29)
        self.assertEqual(states[ROW["CAM"]][5], "none")
        self.assertEqual(states[ROW["M"]][:4], ["data", "none", "data", "none"])
        self.assertEqual(states[ROW["EQ"]][:39], ["empty cell"] * 39)
        self.assertEqual(states[ROW["V"]][:39], ["data"] * 39)

    def test_camera_of_sevens(self):
        cams = self.rep["cameras"]
        self.assertEqual([c["title"] for c in cams], ["CAM"])
        n = cams[0]["numbers"]
        self.assertEqual((n["width"], n["height"]), (4, 3))
        self.assertEqual(n["frames"], 38)   # 0..38 without 5
        self.assertEqual((n["first_row"], n["last_row"]), (0, 38))
        self.assertEqual((n["first_id"], n["last_id"]), (100, 138))
        self.assertEqual((n["mean_min"], n["mean_max"], n["max"]), (7.0, 7.0, 7))

    def test_value_and_item_ranges(self):
        series = {s["title"]: (s["min"], s["max"]) for s in self.rep["values"][0]["series"]}
        self.assertEqual(series, {"V": (0.0, 19.0), "GAP": (1.0, 1.0)})
        block = self.rep["blocks"][0]
        self.assertEqual(block["title"], "NVB")
        items = {s["title"]: (s["min"], s["max"]) for s in block["series"]}
        self.assertEqual(items, {"a": (1.0, 1.0), "b": (0.0, 38.0)})

    def test_statistics(self):
        # V = e/2 and the items a = 1, b = e over the events 0..38 that
        # reached them; GAP = 1 in the 29 of them outside 10..19.
        v = [e * 0.5 for e in range(39)]
        b = [float(e) for e in range(39)]
        want = {("V", None): ("mm", 39, 9.5, spread(v), 0.0, 19.0),
                ("GAP", None): ("", 29, 1.0, 0.0, 1.0, 1.0),
                ("NVB", "a"): ("", 39, 1.0, 0.0, 1.0, 1.0),
                ("NVB", "b"): ("", 39, 19.0, spread(b), 0.0, 38.0)}
        got = {(x["channel"], x["item"]): x for x in self.rep["statistics"]}
        self.assertEqual(set(got), set(want))
        for key, (units, count, mean, std, lo, hi) in want.items():
            x = got[key]
            self.assertEqual((x["units"], x["count"], x["min"], x["max"]),
                             (units, count, lo, hi), key)
            self.assertAlmostEqual(x["mean"], mean, places=9, msg=key)
            self.assertAlmostEqual(x["std"], std, places=9, msg=key)

    def test_figures_stand_on_event_ids(self):
        # The ids 100..139 rise by one: the axis is the event id itself.
        self.assertEqual(self.rep["axis"], {"label": "event id", "contiguous": True})
        self.assertIn("ids 100 to 139", self.rep["axis_note"])
        per_event = [("presence.png", "", "x"), ("values-1.png", "", "x"),
                     ("block-%d-1.png" % ROW["NVB"], "", "x"),
                     ("camera-%d.png" % ROW["CAM"], "frame sum", "x"),
                     ("spectrum-%d.png" % ROW["S"], "member 0: waterfall", "y")]
        for name, title, side in per_event:
            axes = [a for a in self.rep["figures"][name] if a["title"] == title]
            self.assertEqual([a[side] for a in axes], ["event id"], name)
        self.assertIn({"title": "first frame (event id 100)", "x": "", "y": ""},
                      self.rep["figures"]["camera-%d.png" % ROW["CAM"]])

    def test_spectrum_means(self):
        spectra = self.rep["spectra"]
        self.assertEqual([s["title"] for s in spectra], ["S"])
        m0, m1 = spectra[0]["mean"][:2]
        even, odd = 20, 19                 # events 0..38
        want = [(even * a + odd * b) / (even + odd) for a, b in ((2, 4), (4, 8), (6, 2))]
        np.testing.assert_allclose(m0, want, rtol=1e-6)
        self.assertEqual(m1[0], 1.0)
        self.assertEqual(m1[1:], [None, None])  # member 1 has one value only

    def test_page_is_well_formed_and_complete(self):
        with open(os.path.join(self.out, "index.html"), encoding="utf-8") as f:
            text = f.read()
        self.assertTrue(text.startswith("<!DOCTYPE html>"))
        root = ET.fromstring(text[text.index("<html"):])
        self.assertEqual(root.tag, "html")
        self.assertEqual(root.findall(".//script"), [])
        images = [img.get("src") for img in root.iter("img")]
        self.assertIn("presence.png", images)
        self.assertIn("camera-%d.png" % ROW["CAM"], images)
        self.assertIn("spectrum-%d.png" % ROW["S"], images)
        for src in images:
            self.assertFalse(src.startswith(("/", "http:", "https:")), src)
            with open(os.path.join(self.out, src), "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n", src)
        cells = [td.text for td in root.iter("td")]
        for t in TITLES:
            self.assertIn(t, cells)
        self.assertIn(EQDATA if self.v2 else "never had data (kind none)",
                      "".join(root.itertext()))
        self.assertEqual(root.find(".//h1").text, "Run " + self.rep["key"])
        ids = {e.get("id") for e in root.iter() if e.get("id")}
        links = [a.get("href") for a in root.find(".//nav").iter("a")]
        self.assertTrue({"#summary", "#cut-rows", "#presence", "#values", "#statistics",
                         "#channels", "#ch-%d" % ROW["CAM"]} <= set(links), links)
        self.assertEqual([h for h in links if h[1:] not in ids], [])
        version = subprocess.run([LOOK, "--version"], stdout=subprocess.PIPE,
                                 check=True).stdout.decode().strip()
        self.assertIn("Made by %s from" % version, "".join(root.find(".//footer").itertext()))


class SelectionTest(LookTest):
    """--channels and --events narrow the report before anything is read."""

    def test_channel_patterns(self):
        out, rep = self.look("--channels", "G*,CAM")
        self.assertEqual([c["title"] for c in rep["channels"]], ["GAP", "CAM"])
        self.assertEqual(rep["channels_in_file"], len(TITLES))
        self.assertEqual(len(presence_states(out, rep)), 2)
        self.assertEqual(rep["spectra"], [])
        out, rep = self.look("--channels", "V", "--channels", "M")
        self.assertEqual([c["title"] for c in rep["channels"]], ["V", "M"])

    def test_event_range(self):
        out, rep = self.look("--events", "10:20")
        s = rep["summary"]
        self.assertEqual((s["events"], s["first_id"], s["last_id"]), (10, 110, 119))
        self.assertEqual((s["duration"], s["cut_short"]), (9.0, 0))
        gap = rep["channels"][ROW["GAP"]]
        self.assertEqual(gap["counts"]["data"], 0)
        self.assertIn("no data in the events shown", gap["notes"])
        states = presence_states(out, rep)
        self.assertEqual(states[ROW["GAP"]], ["none"] * 10)
        self.assertEqual(rep["cameras"][0]["numbers"]["frames"], 10)
        out, rep = self.look("--events=-3:")
        self.assertEqual((rep["summary"]["first_id"], rep["summary"]["cut_short"]), (137, 1))


class IdSelectionTest(unittest.TestCase):
    """--ids FIRST:LAST on ids with gaps that also step back once: the
    first stretch of rows whose ids lie from FIRST to LAST (both included);
    ids of the range met again later are named in a note. V holds the row's
    number, so its mean shows which rows were read."""

    IDS = [10, 11, 13, 20, 21, 22, 30, 5, 6, 12]

    @classmethod
    def setUpClass(cls):
        events = [{"id": i, "time": [3000 + k, 0], "channels": {"V": {"value": float(k)}}}
                  for k, i in enumerate(cls.IDS)]
        cls.ids_run = Run(recording([("V", 2)], events))

    @classmethod
    def tearDownClass(cls):
        cls.ids_run.close()

    def test_rows_of_id_ranges(self):
        self.assertTrue(self.ids_run.ok, self.ids_run.why)
        # ids -> rows shown [first, last), later (events of the range after
        # the stretch, and the row of the first), contiguous
        cases = [("11:21", 1, 5, (1, 9), False),   # 11 13 20 21; 12 in row 9
                 ("20:22", 3, 6, None, True),
                 (":6", 7, 9, None, True),         # 5 6, then 12 ends the stretch
                 ("25:", 6, 7, None, True)]        # 30, then 5
        for arg, first, last, later, contiguous in cases:
            out = os.path.join(self.ids_run.dir, "ids-" + arg.replace(":", "-"))
            status, _, stderr = look([self.ids_run.h5, "-o", out, "--ids", arg])
            self.assertEqual(status, 0, stderr)
            rep = report_json(out)
            s = rep["summary"]
            self.assertEqual((s["first"], s["last"]), (first, last), arg)
            self.assertEqual((s["first_id"], s["last_id"]),
                             (self.IDS[first], self.IDS[last - 1]), arg)
            self.assertAlmostEqual(rep["statistics"][0]["mean"], (first + last - 1) / 2, msg=arg)
            self.assertEqual(rep["axis"]["contiguous"], contiguous, arg)
            note = rep["selection_note"]
            if later:
                self.assertIn("%d more events with ids" % later[0], note)
                self.assertIn("from row %d on" % later[1], note)
            else:
                self.assertEqual(note, "", arg)

    def test_whole_run_in_table_order(self):
        out = os.path.join(self.ids_run.dir, "whole")
        status, _, stderr = look([self.ids_run.h5, "-o", out])
        self.assertEqual(status, 0, stderr)
        rep = report_json(out)
        self.assertEqual(rep["axis"], {"label": "event id (table order)", "contiguous": False})
        self.assertEqual(rep["figures"]["values-1.png"][0]["x"], "event id (table order)")
        self.assertIn("table order", rep["axis_note"])

    def test_refused(self):
        for args, what in ((["--ids", "14:19"], "--ids 14:19: no event has an id from 14 to 19"),
                           (["--ids", "9:3"], "--ids 9:3: FIRST is above LAST"),
                           (["--ids=-1:5"], "--ids -1:5: event ids run from 0 to 4294967295"),
                           (["--ids", "4294967296:"], "--ids 4294967296:: event ids run"),
                           (["--ids", "1:2", "--events", "0:1"],
                            "--ids and --events exclude each other")):
            out = os.path.join(self.ids_run.dir, "no")
            status, stdout, stderr = look([self.ids_run.h5, "-o", out] + args)
            self.assertEqual((status, stdout), (2, ""), stderr)
            self.assertTrue(stderr.startswith("korvel-look: " + what), stderr)
            self.assertEqual(stderr.count("\n"), 1, stderr)
            self.assertFalse(os.path.exists(out))


class LayoutTwoTest(unittest.TestCase):
    """A file of layout version 2 written here by the layout page (see
    look_common.write_v2): run metadata, units on the signal datasets, the
    failed query of a cut row, EqData and lossy channels."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="korvel-look-v2-")
        cls.h5 = os.path.join(cls.tmp.name, "v2.h5")
        v2.write_v2(cls.h5)
        cls.out = os.path.join(cls.tmp.name, "look")
        status, _, stderr = look([cls.h5, "-o", cls.out])
        cls.status, cls.stderr = status, stderr

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def setUp(self):
        self.assertEqual(self.status, 0, self.stderr)
        self.rep = report_json(self.out)

    def test_run_metadata(self):
        self.assertEqual(self.rep["key"], v2.V2_RUN)
        self.assertEqual(self.rep["run"]["first_event_id"], 50)
        self.assertEqual(self.rep["run"]["end_time"], "2023-11-14T22:13:25.000000Z")
        with open(os.path.join(self.out, "index.html"), encoding="utf-8") as f:
            root = ET.fromstring(f.read().split("\n", 1)[1])
        self.assertEqual(root.find(".//h1").text, "Run " + v2.V2_RUN)
        self.assertEqual(root.find(".//title").text, "korvel-look: run " + v2.V2_RUN)
        rows = {tr.find("th").text: tr.find("td").text for tr in root.iter("tr")
                if tr.find("th") is not None and tr.find("td") is not None}
        self.assertEqual(rows["whole run"], "ids 50 to 55")
        self.assertEqual(rows["whole run's time"],
                         "2023-11-14T22:13:20.000000Z to 2023-11-14T22:13:25.000000Z")

    def test_cut_rows_and_failed_query(self):
        # Row 4 was cut at B; row 5, the last line of an interrupted run,
        # names no channel.
        self.assertEqual(self.rep["summary"]["cut_rows"],
                         [{"row": 4, "id": 54, "channel": "B"},
                          {"row": 5, "id": 55, "channel": None}])
        self.assertIn("interrupted run", self.rep["cut_note"])
        counts = {c["title"]: c["counts"] for c in self.rep["channels"]}
        self.assertEqual([counts[t]["query failed"] for t in "ABEL"], [0, 1, 0, 0])
        self.assertEqual([counts[t]["not reached"] for t in "ABEL"], [0, 1, 2, 2])
        states = presence_states(self.out, self.rep)
        self.assertEqual([row[4] for row in states],
                         ["data", "query failed", "not reached", "not reached"])
        legend = self.rep["presence"]["legend"]
        self.assertEqual(len(set(legend.values())), len(legend))
        with open(os.path.join(self.out, "index.html"), encoding="utf-8") as f:
            page = f.read()
        self.assertIn('<td class="num">54</td><td>B</td>', page)

    def test_channel_notes_and_units(self):
        notes = {c["title"]: c["notes"] for c in self.rep["channels"]}
        self.assertEqual(notes["E"], [EQDATA])
        self.assertEqual(notes["L"], ["precision lost in the table: " + v2.V2_EVIDENCE])
        self.assertEqual(notes["A"], [])
        lossy = [c["title"] for c in self.rep["channels"] if c["lossy"]]
        self.assertEqual(lossy, ["L"])
        # A = 1 2 3 4 5 9; B's item a = 10 10 10 20 (rows 4 and 5 cut);
        # L = 0 0 2e-6 (2e-6 as float32).
        a, item, low = [1, 2, 3, 4, 5, 9], [10, 10, 10, 20], [0.0, 0.0, 2e-6]
        want = {("A", None): ("mm", 6, 4.0, spread(a)), ("B", "a"): ("V", 4, 12.5, spread(item)),
                ("L", None): ("V", 3, 2e-6 / 3, spread(low))}
        got = {(x["channel"], x["item"]): x for x in self.rep["statistics"]}
        self.assertEqual(set(got), set(want))
        for key, (units, count, mean, std) in want.items():
            self.assertEqual((got[key]["units"], got[key]["count"]), (units, count), key)
            self.assertAlmostEqual(got[key]["mean"], mean, delta=abs(mean) * 1e-6, msg=key)
            self.assertAlmostEqual(got[key]["std"], std, delta=std * 1e-6, msg=key)
        self.assertEqual(self.rep["figures"]["values-1.png"][0]["x"], "event id")


class LongRunTest(unittest.TestCase):
    """More events than columns: blocks of events, each showing the gravest
    state of its events. 1000 events in at most 800 columns make blocks of
    2 events, 500 columns; A is absent in event 501 only, B not understood
    in none."""

    def test_block_keeps_the_gap(self):
        events = [{"id": e, "time": [5000 + e // 10, 0],
                   "channels": {"A": {"value": 1.5}} if e != 501 else {}}
                  for e in range(1000)]
        _, out = report_of(self, [("A", 2)], events)
        rep = report_json(out)
        self.assertEqual(rep["presence"]["events_per_column"], 2)
        states = presence_states(out, rep)
        self.assertEqual(len(states[0]), 500)
        self.assertEqual(states[0][250], "none")
        self.assertEqual(states[0][:250] + states[0][251:], ["data"] * 499)
        self.assertEqual(rep["channels"][0]["counts"]["data"], 999)
        self.assertEqual(rep["summary"]["duration"], 99.0)


if __name__ == "__main__":
    unittest.main()
