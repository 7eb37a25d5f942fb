#!/usr/bin/python3
"""korvel-look on runs made here (recording -> korvel-replay -> korvel-h5):
the report holds every channel, its figures reflect the data and the
summary's numbers are right. Every expected number below is worked out from
the recording written in the test.

Needs KORVEL_LOOK, KORVEL_REPLAY, KORVEL_H5 (CTest sets them); Debian's
/usr/bin/python3 (h5py, numpy, matplotlib)."""

import os
import unittest
import xml.etree.ElementTree as ET

import matplotlib.image
import numpy as np

from look_common import Run, look, recording, report_json, report_of

CHANNELS = [("V", 2), ("GAP", 2), ("NVB", 2), ("S", 3), ("CAM", 4), ("M", 1), ("EQ", 5)]
TITLES = [n for n, _ in CHANNELS]
EVENTS = 40
ROW = {t: k for k, t in enumerate(TITLES)}  # presence image rows, table order


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
        cls.pipeline = Run(recording(CHANNELS, [event(e) for e in range(EVENTS)]))

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
        for c in chans:
            self.assertEqual(c["counts"]["not reached"], 1, c["title"])
        self.assertEqual(chans[ROW["GAP"]]["counts"]["none"], 10)
        self.assertEqual(chans[ROW["EQ"]]["counts"]["empty cell"], 39)
        self.assertIn("never had data (kind none)", chans[ROW["EQ"]]["notes"])

    def test_presence_image_shows_the_gaps(self):
        states = presence_states(self.out, self.rep)
        self.assertEqual(len(states), len(TITLES))
        self.assertEqual({len(r) for r in states}, {EVENTS})
        for t in TITLES:
            self.assertEqual(states[ROW[t]][EVENTS - 1], "not reached", t)
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
        self.assertEqual((n["mean_min"], n["mean_max"], n["max"]), (7.0, 7.0, 7))

    def test_value_and_item_ranges(self):
        series = {s["title"]: (s["min"], s["max"]) for s in self.rep["values"][0]["series"]}
        self.assertEqual(series, {"V": (0.0, 19.0), "GAP": (1.0, 1.0)})
        block = self.rep["blocks"][0]
        self.assertEqual(block["title"], "NVB")
        items = {s["title"]: (s["min"], s["max"]) for s in block["series"]}
        self.assertEqual(items, {"a": (1.0, 1.0), "b": (0.0, 38.0)})

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
        self.assertIn("never had data (kind none)", text)


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
