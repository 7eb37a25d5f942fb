#!/usr/bin/python3
"""Round trips through the whole pipeline.

Each test writes a recording, replays it through the plug-in with
korvel-replay, converts the event table with korvel-h5 and reads the HDF5
file back with h5py. The expected contents are the recording's own values:
exact for pixels, integers and the integer form (-fti), and within the
rounding of the text format otherwise (%f: 6 decimals, %.2e: 3 significant
digits, %.e: 1 significant digit, %e: 7 significant digits).

The malformed-table tests write their tables by hand, in the shape of the
plug-in's rows, and run the converter alone.

Needs KORVEL_REPLAY and KORVEL_H5 (and optionally KORVEL_PLUGIN) in the
environment; CTest sets them. Run with Debian's /usr/bin/python3 (h5py,
numpy, silx).
"""

import json
import math
import os
import signal
import subprocess
import sys
import stat
import tempfile
import unittest

import h5py
import numpy as np
from silx.io import nxdata

import pipeline

REPLAY = os.environ.get("KORVEL_REPLAY")
CONVERTER = os.environ.get("KORVEL_H5")
PLUGIN = os.environ.get("KORVEL_PLUGIN")

DIALECTS = ("hdf5", "tab")
NAN = float("nan")
INF = float("inf")


# ---- Recordings ----------------------------------------------------------

def recording(channels, events, descriptions=None):
    """The JSON Lines text of a recording: header line, then one line per event."""
    header = {"format": "korvel-recording", "version": 1, "channels": channels}
    if descriptions:
        header["descriptions"] = descriptions
    return "".join(json.dumps(line) + "\n" for line in [header] + events)


def chan(name, dtype, sub=None):
    entry = {"name": name, "type": dtype}
    if sub is not None:
        entry["sub"] = sub
    return entry


def f32(value):
    """The single-precision float the stand-in host makes of a recording value."""
    if isinstance(value, dict):
        return np.array([value["bits"]], dtype=np.int32).view(np.float32)[0]
    if isinstance(value, str):
        return np.float32({"inf": INF, "-inf": -INF, "nan": NAN, "-nan": NAN,
                           "-0": -0.0}[value])
    return np.float32(value)


def bits(x):
    """The 32-bit pattern of a float32, as a signed integer."""
    return int(np.array([x], dtype=np.float32).view(np.int32)[0])


def rounding(value, fmt):
    """Largest difference between a float32 and the float32 read back from its
    text in format fmt: half a unit of the last printed digit, plus half a
    step of float32 (the text is read back to the nearest float32)."""
    a = abs(float(value))
    if fmt == "%f":
        unit = 1e-6
    else:
        digits = {"%.e": 0, "%.2e": 2, "%e": 6}[fmt]
        exponent = math.floor(math.log10(a)) if a > 0 else 0
        unit = 10.0 ** (exponent - digits)
    return unit / 2 + float(np.spacing(np.float32(a))) / 2


# ---- Running the pipeline ------------------------------------------------

class Pipeline:
    """One pass: recording -> korvel-replay -> user_out.txt -> korvel-h5 -> out.h5,
    in a temporary directory of its own."""

    def __init__(self, text, words=(), dialect="hdf5", outmode=None, options=()):
        self.tmp = tempfile.TemporaryDirectory(prefix="korvel-h5rt-")
        self.dir = self.tmp.name
        self.out = os.path.join(self.dir, "out.h5")
        words = (["-hdf5"] if dialect == "hdf5" else []) + list(words)
        self.replay, self.convert = pipeline.replay_and_convert(
            self.dir, text, words, list(options) + ["user_out.txt", "-o", "out.h5"],
            [] if outmode is None else ["--outmode", str(outmode)])
        self.file = None
        if self.convert is not None and self.convert.returncode == 0 and os.path.exists(self.out):
            self.file = h5py.File(self.out, "r")

    def h5(self, test):
        """The converted file; fails the test when a step of the pipeline failed."""
        test.assertEqual(self.replay.returncode, 0,
                         "korvel-replay: " + self.replay.stderr.decode(errors="replace"))
        test.assertEqual(self.convert.returncode, 0,
                         "korvel-h5: " + self.convert.stderr.decode(errors="replace"))
        test.assertFalse(os.path.exists(self.out + ".part"))
        test.assertIsNotNone(self.file)
        return self.file

    def close(self):
        if self.file is not None:
            self.file.close()
        self.tmp.cleanup()


def texts(dataset):
    """A string dataset's elements as Python strings."""
    return [t.decode("utf-8", "surrogateescape") if isinstance(t, bytes) else str(t)
            for t in dataset[()]]


def item_names(block):
    """The (dataset, name) pairs of a block's item_names, as Python strings."""
    def text(x):
        return x.decode("utf-8", "surrogateescape") if isinstance(x, bytes) else str(x)
    return [(text(r["dataset"]), text(r["name"])) for r in block["item_names"][()]]


def attr_text(value):
    if isinstance(value, np.ndarray) and value.shape == (1,):
        value = value[0]
    if isinstance(value, bytes):
        return value.decode("utf-8", "surrogateescape")
    return str(value)


class RoundTrip(unittest.TestCase):
    """Base of the round-trip classes: each class builds its pipelines once in
    setUpClass (into cls.runs) and the tests read the files."""

    runs = {}

    @classmethod
    def tearDownClass(cls):
        for run in cls.runs.values():
            run.close()

    def channel(self, f, group):
        return f["entry/channels/" + group]

    def assertFloat(self, got, want, fmt, where=""):
        """got (a stored float32) against the recording value want, read back
        from format fmt; want None means missing (NaN)."""
        if want is None:
            self.assertTrue(math.isnan(got), "%s: %r should be missing (NaN)" % (where, got))
            return
        if fmt == "bits":
            self.assertEqual(bits(got), bits(f32(want)),
                             "%s: bit pattern of %r, want that of %r" % (where, got, want))
            return
        w = f32(want)
        if math.isnan(w):
            self.assertTrue(math.isnan(got), "%s: %r should be NaN" % (where, got))
        elif math.isinf(w):
            self.assertEqual(float(got), float(w), where)
        else:
            self.assertLessEqual(abs(float(got) - float(w)), rounding(w, fmt),
                                 "%s: %r, want %r (%s)" % (where, got, float(w), fmt))

    def assertFloats(self, got, want, fmt, where=""):
        self.assertEqual(len(got), len(want), where)
        for k, (g, w) in enumerate(zip(got, want)):
            self.assertFloat(g, w, fmt, "%s[%d]" % (where, k))

    def assertInts(self, dataset, want, dtype):
        self.assertEqual(dataset.dtype, np.dtype(dtype), dataset.name)
        self.assertEqual([int(x) for x in dataset[()]], want, dataset.name)


# ---- Leading columns and status columns ----------------------------------

class LeadingColumnsTest(RoundTrip):
    """Event numbers, times, ISO times, type names, status words, complete and
    line, with status columns (outmode 1), in both dialects."""

    EVENTS = [
        {"id": 3000000000, "type": 2, "time": [2147483648, 250], "status": -2147483647,
         "channels": {"V": {"value": 0.5, "block": {"status": 255}, "chan": {"status": 18}},
                      "M": {}}},
        {"id": 7, "type": 1, "time": [10, 3000000000], "status": 255,
         "channels": {"V": {"value": -0.125, "block": {"status": -1},
                            "chan": {"status": -2147483648}},
                      "M": {}}},
        {"id": 4294967295, "type": 7, "time": [4294967295, 999999],
         "channels": {"V": {"value": 3.25}}},
    ]

    @classmethod
    def setUpClass(cls):
        text = recording([chan("V", 2), chan("M", 1)], cls.EVENTS)
        cls.runs = {d: Pipeline(text, dialect=d, outmode=1) for d in DIALECTS}

    def test_event_numbers_and_times_are_the_unsigned_values(self):
        for d in DIALECTS:
            with self.subTest(dialect=d):
                ev = self.runs[d].h5(self)["entry/event"]
                self.assertInts(ev["id"], [3000000000, 7, 4294967295], np.uint32)
                self.assertInts(ev["time_s"], [2147483648, 10, 4294967295], np.uint32)
                self.assertInts(ev["time_us"], [250, 3000000000, 999999], np.uint32)
                self.assertEqual(ev["time"].dtype, np.float64)
                for got, want in zip(ev["time"][()],
                                     [2147483648.00025, 3010.0, 4294967295.999999]):
                    self.assertTrue(math.isclose(got, want, rel_tol=1e-15, abs_tol=1e-9),
                                    "time %r, want %r" % (got, want))

    def test_texts(self):
        for d in DIALECTS:
            with self.subTest(dialect=d):
                ev = self.runs[d].h5(self)["entry/event"]
                self.assertEqual(texts(ev["time_iso"]),
                                 ["2038-01-19T03:14:08Z", "1970-01-01T00:00:10Z",
                                  "2106-02-07T06:28:15Z"])
                if d == "tab":
                    self.assertEqual(texts(ev["type_name"]), ["CALIB", "NORMAL", "TYPE7"])
                else:
                    self.assertNotIn("type_name", ev)

    def test_status_words_are_int32_patterns(self):
        for d in DIALECTS:
            with self.subTest(dialect=d):
                f = self.runs[d].h5(self)
                self.assertInts(f["entry/event/status"], [-2147483647, 255, 0], np.int32)
                v = self.channel(f, "V")
                self.assertInts(v["srv_status"], [255, -1, 0], np.int32)
                self.assertInts(v["chan_status"], [18, -2147483648, 0], np.int32)
                m = self.channel(f, "M")
                self.assertInts(m["srv_status"], [0, 0, 0], np.int32)
                self.assertInts(m["chan_status"], [0, 0, 0], np.int32)

    def test_cells_after_status_columns(self):
        for d in DIALECTS:
            with self.subTest(dialect=d):
                f = self.runs[d].h5(self)
                v = self.channel(f, "V")
                self.assertFloats(v["data"][()], [0.5, -0.125, 3.25], "%f", "V")
                self.assertInts(v["present"], [1, 1, 1], np.int8)
                m = self.channel(f, "M")
                self.assertInts(m["data"], [1, 1, 0], np.uint8)
                self.assertInts(m["present"], [1, 1, 0], np.int8)

    def test_every_row_complete_one_line_each(self):
        for d in DIALECTS:
            with self.subTest(dialect=d):
                ev = self.runs[d].h5(self)["entry/event"]
                self.assertInts(ev["complete"], [1, 1, 1], np.uint8)
                self.assertInts(ev["line"], [2, 3, 4], np.uint64)

    def test_root_attributes(self):
        for d in DIALECTS:
            with self.subTest(dialect=d):
                f = self.runs[d].h5(self)
                self.assertEqual(attr_text(f.attrs["NX_class"]), "NXroot")
                self.assertEqual(attr_text(f.attrs["default"]), "entry")
                self.assertEqual(int(f.attrs["layout_version"]), 2)
                self.assertEqual(attr_text(f.attrs["source_table"]), "user_out.txt")
                self.assertEqual(attr_text(f.attrs["source_dialect"]), d)
                self.assertTrue(attr_text(f.attrs["creator"]).startswith("korvel-h5 "))
                self.assertEqual(attr_text(f["entry"].attrs["NX_class"]), "NXentry")


# ---- Values, name-value blocks, markers, EqData, absent channels --------

class ValueCellsTest(RoundTrip):
    """Single values (%f and the integer form), name-value blocks with names
    and with -nonvn, markers, EqData and channels without data."""

    V = [1234.5678, -0.1, "inf", "-inf", "nan", {"bits": 1}, None]
    FTI = [1.0, -1.0, {"bits": 42}, {"bits": -5}, {"bits": 2139095040},
           {"bits": -2147483648}, None]
    NVB = [[["x", 1.0], ["Q/1", 0.000123], ["a:b", -2.5e7]],
           [["Q/1", "inf"], ["z", 7.5]],
           [],
           None,
           [["x", 12345.678], ["Q/1", "nan"]],
           [["x", "-inf"], ["p%", 0.5]],
           [["x", -0.00999]]]
    MARKER = [True, True, False, False, True, False, False]

    @classmethod
    def setUpClass(cls):
        channels = [chan("M", 1), chan("VAL", 2), chan("FTI", 2), chan("NVB", 2),
                    chan("EQ", 5), chan("GONE", 2)]
        events = []
        for e in range(7):
            ch = {"EQ": {"eq": {"type": 2, "values": [1.5]}}}
            if cls.MARKER[e]:
                ch["M"] = {}
            if cls.V[e] is not None:
                ch["VAL"] = {"value": cls.V[e]}
            if cls.FTI[e] is not None:
                ch["FTI"] = {"value": cls.FTI[e]}
            if cls.NVB[e] is not None:
                ch["NVB"] = {"items": cls.NVB[e]}
            events.append({"id": 100 + e, "time": [1000 + e, 0], "channels": ch})
        text = recording(channels, events)
        kinds = {"hdf5": ["--kind", "FTI=value"], "tab": []}
        cls.runs = {}
        for d in DIALECTS:
            cls.runs[d, "names"] = Pipeline(text, ["-fti", "FTI"], d, options=kinds[d])
            nonvn_kinds = kinds[d] + (["--kind", "NVB=block"] if d == "hdf5" else [])
            cls.runs[d, "nonvn"] = Pipeline(text, ["-fti", "FTI", "-nonvn"], d,
                                            options=nonvn_kinds)

    def test_single_values(self):
        for d in DIALECTS:
            with self.subTest(dialect=d):
                v = self.channel(self.runs[d, "names"].h5(self), "VAL")
                self.assertEqual(attr_text(v.attrs["kind"]), "value")
                self.assertEqual(attr_text(v.attrs["source_format"]), "%f")
                self.assertEqual(v["data"].dtype, np.float32)
                self.assertFloats(v["data"][()], self.V, "%f", "VAL")
                self.assertInts(v["present"], [1, 1, 1, 1, 1, 1, 0], np.int8)

    def test_integer_form_restores_the_bits(self):
        for d in DIALECTS:
            with self.subTest(dialect=d):
                v = self.channel(self.runs[d, "names"].h5(self), "FTI")
                self.assertEqual(attr_text(v.attrs["kind"]), "value")
                self.assertEqual(attr_text(v.attrs["source_format"]), "integer form")
                self.assertFloats(v["data"][()], self.FTI, "bits", "FTI")
                self.assertInts(v["present"], [1, 1, 1, 1, 1, 1, 0], np.int8)

    def test_named_items(self):
        # Dataset names follow the group-part rules with '/' as %2F and '%' as %25.
        want = {"x": [1.0, None, None, None, 12345.678, "-inf", -0.00999],
                "Q%2F1": [0.000123, "inf", None, None, None, None, None],
                "a:b": [-2.5e7, None, None, None, None, None, None],
                "z": [None, 7.5, None, None, None, None, None],
                "p%25": [None, None, None, None, None, 0.5, None]}
        order = [("x", "x"), ("Q%2F1", "Q/1"), ("a:b", "a:b"), ("z", "z"), ("p%25", "p%")]
        for d in DIALECTS:
            with self.subTest(dialect=d):
                b = self.channel(self.runs[d, "names"].h5(self), "NVB")
                self.assertEqual(attr_text(b.attrs["kind"]), "block")
                self.assertEqual(attr_text(b.attrs["NX_class"]), "NXcollection")
                self.assertEqual(attr_text(b.attrs["source_format"]), "%.2e")
                self.assertInts(b["present"], [1, 1, 0, 0, 1, 1, 1], np.int8)
                self.assertEqual(sorted(b["items"].keys()),
                                 sorted(list(want) + ["event_id", "time"]))
                for name, values in want.items():
                    self.assertEqual(b["items"][name].dtype, np.float32)
                    self.assertFloats(b["items"][name][()], values, "%.2e", name)
                self.assertEqual(item_names(b), order)

    def test_unnamed_items_by_position(self):
        want = {"0": [1.0, "inf", None, None, 12345.678, "-inf", -0.00999],
                "1": [0.000123, 7.5, None, None, "nan", 0.5, None],
                "2": [-2.5e7, None, None, None, None, None, None]}
        for d in DIALECTS:
            with self.subTest(dialect=d):
                b = self.channel(self.runs[d, "nonvn"].h5(self), "NVB")
                self.assertEqual(attr_text(b.attrs["kind"]), "block")
                self.assertInts(b["present"], [1, 1, 0, 0, 1, 1, 1], np.int8)
                self.assertEqual(sorted(b["items"].keys()), ["0", "1", "2", "event_id", "time"])
                for name, values in want.items():
                    self.assertFloats(b["items"][name][()], values, "%.2e", name)
                self.assertEqual(item_names(b), [("0", ""), ("1", ""), ("2", "")])

    def test_markers(self):
        want = [1 if m else 0 for m in self.MARKER]
        for run in self.runs.values():
            with self.subTest(run=run.dir):
                m = self.channel(run.h5(self), "M")
                self.assertEqual(attr_text(m.attrs["kind"]), "marker")
                self.assertInts(m["data"], want, np.uint8)
                self.assertInts(m["present"], want, np.int8)

    def test_channels_without_data_are_kind_none(self):
        # EqData cells are always empty (2); GONE is in no event ("[]" or
        # "Not found": 0).
        for run in self.runs.values():
            with self.subTest(run=run.dir):
                f = run.h5(self)
                table = f["entry/channel_table"]
                kinds = dict(zip(texts(table["title"]), texts(table["kind"])))
                self.assertEqual(kinds, {"M": "marker", "VAL": "value", "FTI": "value",
                                         "NVB": "block", "EQ": "none", "GONE": "none"})
                for name, present in (("EQ", 2), ("GONE", 0)):
                    g = self.channel(f, name)
                    self.assertEqual(attr_text(g.attrs["kind"]), "none")
                    self.assertEqual(list(g.keys()), ["event_id", "present", "time"])
                    self.assertInts(g["present"], [present] * 7, np.int8)

    def test_no_status_columns_without_outmode(self):
        for run in self.runs.values():
            with self.subTest(run=run.dir):
                f = run.h5(self)
                self.assertNotIn("status", f["entry/event"])
                self.assertNotIn("srv_status", self.channel(f, "VAL"))
                self.assertNotIn("chan_status", self.channel(f, "VAL"))


# ---- Spectra ---------------------------------------------------------------

L150 = [(k % 9) + 1 for k in range(150)]
L150B = [(k % 7) + 1 for k in range(150)]


class SpectrumCellsTest(RoundTrip):
    """Several members with statistics, failed and empty members, the value
    limit and -dumpall, the integer form, and the XML description's axis."""

    S = [[{"start": 10, "inc": 0.5, "values": [1, 0.5, -2],
           "stat": {"mask": 5, "val": {"0": 1.5, "2": -2}}},
          {"fail": True},
          {"values": [], "stat": {"mask": 2, "val": {"1": 4}}},
          {"start": -1, "inc": 0.25, "values": [100, 300, 0.000123],
           "stat": {"mask": 2147483648, "val": {"31": 0.1}}}],
         [{"start": 10, "inc": 0.5, "values": [7]}],
         None,
         [],
         [{"start": 10, "inc": 0.5, "values": [2, "inf", "nan", -3]}, {"fail": True}]]
    # What the table holds per event and member: a list of values, -1 for a
    # failed query, 0 for no data; missing members have count 0.
    S_WANT = [[[1, 0.5, -2], -1, 0, [100, 300, 0.000123]],
              [[7], 0, 0, 0],
              [0, 0, 0, 0],
              [0, 0, 0, 0],
              [[2, "nan", "nan", -3], -1, 0, 0]]
    T = [[{"values": [1.0, -1.0, {"bits": 42}, {"bits": -1}, "inf", {"bits": -8388608}]}],
         [{"values": [{"bits": 2139095039}]}, {"values": [0.0, "-0"]}],
         None, None, None]
    L = [[{"values": L150}], None, [{"values": L150B}], None, None]

    @classmethod
    def setUpClass(cls):
        events = []
        for e in range(5):
            ch = {}
            for name, members in (("S", cls.S[e]), ("T", cls.T[e]), ("L", cls.L[e])):
                if members is not None:
                    ch[name] = {"members": members}
            events.append({"id": 10 + e, "time": [2000 + e, 0], "channels": ch})
        text = recording([chan("S", 3), chan("T", 3), chan("L", 3)], events)
        cls.runs = {}
        for d in DIALECTS:
            cls.runs[d, "limit"] = Pipeline(text, ["-xdump", "-fti", "T"], d)
            cls.runs[d, "all"] = Pipeline(text, ["-xdump", "-fti", "T", "-dumpall"], d)

    def check_members(self, g, want, fmt, name):
        """data and count of a spectrum group against want (see S_WANT)."""
        data, count = g["data"][()], g["count"][()]
        members = max(len(w) for w in want)
        self.assertEqual(data.shape[:2], (len(want), members), name)
        self.assertEqual(count.shape, (len(want), members), name)
        self.assertEqual(g["count"].dtype, np.int32)
        self.assertEqual(g["data"].dtype, np.float32)
        for e, row in enumerate(want):
            for m, w in enumerate(row):
                where = "%s event %d member %d" % (name, e, m)
                n = len(w) if isinstance(w, list) else 0
                self.assertEqual(int(count[e, m]), n if isinstance(w, list) else w, where)
                self.assertGreaterEqual(data.shape[2], n, where)
                if n:
                    self.assertFloats(data[e, m, :n], w, fmt, where)
                self.assertTrue(np.all(np.isnan(data[e, m, n:])), where + ": NaN after the values")

    def test_members_counts_and_presence(self):
        for d in DIALECTS:
            with self.subTest(dialect=d):
                s = self.channel(self.runs[d, "limit"].h5(self), "S")
                self.assertEqual(attr_text(s.attrs["kind"]), "spectrum")
                self.assertEqual(attr_text(s.attrs["source_format"]), "%.e")
                self.assertEqual(attr_text(s["data"].attrs["interpretation"]), "spectrum")
                self.assertInts(s["present"], [1, 1, 0, 0, 1], np.int8)
                self.check_members(s, self.S_WANT, "%.e", "S")

    def test_statistics_where_written(self):
        want = np.full((5, 4, 32), np.nan)
        want[0, 0, 0], want[0, 0, 2] = 1.5, -2
        want[0, 2, 1] = 4          # a member without data keeps its statistics
        want[0, 3, 31] = 0.1       # bit 31 of the mask
        for d in DIALECTS:
            with self.subTest(dialect=d):
                f = self.runs[d, "limit"].h5(self)
                stats = self.channel(f, "S")["stats"]
                self.assertEqual(stats.dtype, np.float32)
                self.assertEqual(stats.shape, (5, 4, 32))
                got = stats[()]
                for idx in np.ndindex(*want.shape):
                    w = None if math.isnan(want[idx]) else float(want[idx])
                    self.assertFloat(got[idx], w, "%e", "stats%r" % (idx,))
                self.assertNotIn("stats", self.channel(f, "T"))
                self.assertNotIn("stats", self.channel(f, "L"))

    def test_value_limit_and_dumpall(self):
        for d in DIALECTS:
            with self.subTest(dialect=d, dumpall=False):
                l = self.channel(self.runs[d, "limit"].h5(self), "L")
                self.check_members(l, [[L150[:100]], [0], [L150B[:100]], [0], [0]], "%.e", "L")
                self.assertEqual(int(l["data"].attrs["truncated"]), 1)
                s = self.channel(self.runs[d, "limit"].h5(self), "S")
                self.assertEqual(int(s["data"].attrs.get("truncated", 0)), 0)
            with self.subTest(dialect=d, dumpall=True):
                l = self.channel(self.runs[d, "all"].h5(self), "L")
                self.check_members(l, [[L150], [0], [L150B], [0], [0]], "%.e", "L")
                self.assertEqual(int(l["data"].attrs.get("truncated", 0)), 0)
                s = self.channel(self.runs[d, "all"].h5(self), "S")
                self.check_members(s, self.S_WANT, "%.e", "S")

    def test_axis_from_description(self):
        # The description keeps each member's last captured start and inc;
        # members 1 and 2 never had data, so their records stay zero. The
        # members with data differ in start and inc, so the shared axis x
        # is the value index; x_member holds each member's own.
        for run in self.runs.values():
            with self.subTest(run=run.dir):
                f = run.h5(self)
                s = self.channel(f, "S")
                values = s["data"].shape[2]
                self.assertEqual(s["x"][()].tolist(), list(range(values)))
                self.assertEqual(attr_text(s["x"].attrs["long_name"]), "value index")
                x = s["x_member"][()]
                self.assertEqual(s["x_member"].dtype, np.float32)
                self.assertEqual(x.shape, s["data"].shape[1:])
                for k in range(x.shape[1]):
                    self.assertFloat(x[0, k], 10 + 0.5 * k, "%f", "x[0,%d]" % k)
                    self.assertFloat(x[1, k], 0.0, "%f", "x[1,%d]" % k)
                    self.assertFloat(x[2, k], 0.0, "%f", "x[2,%d]" % k)
                    self.assertFloat(x[3, k], -1 + 0.25 * k, "%f", "x[3,%d]" % k)
                xl = self.channel(f, "L")["x"][()]
                self.assertGreaterEqual(xl.shape[0], 100)
                self.assertEqual([float(v) for v in xl], [float(k) for k in range(xl.shape[0])])

    def test_integer_form_spectrum(self):
        # Infinities and NaNs are written "Invalid" even in the integer form.
        want = [[[1.0, -1.0, {"bits": 42}, None, None, None], 0],
                [[{"bits": 2139095039}], [0.0, "-0"]],
                [0, 0], [0, 0], [0, 0]]
        for run in self.runs.values():
            with self.subTest(run=run.dir):
                t = self.channel(run.h5(self), "T")
                self.assertEqual(attr_text(t.attrs["kind"]), "spectrum")
                self.assertEqual(attr_text(t.attrs["source_format"]), "integer form")
                self.assertInts(t["present"], [1, 1, 0, 0, 0], np.int8)
                self.check_members(t, want, "bits", "T")


# ---- Images ----------------------------------------------------------------

class ImageCellsTest(RoundTrip):
    """8- and 16-bit images with their shape from the XML description or from
    --image-shape, a flat list without either, failed and absent images."""

    C8 = ["001180ff7f01", None, "ff000102fe80"]
    C16 = ["0102fffe800000ff", "ffff000000011000", None]
    C8_WANT = [[[0, 17, 128], [255, 127, 1]], [[0, 0, 0], [0, 0, 0]],
               [[255, 0, 1], [2, 254, 128]]]
    C16_WANT = [[[258, 65534], [32768, 255]], [[65535, 0], [1, 4096]],
                [[0, 0], [0, 0]]]

    @classmethod
    def setUpClass(cls):
        events = []
        for e in range(3):
            ch = {}
            if cls.C8[e] is None:
                ch["C8"] = {"image": {"width": 3, "height": 2, "fail": True}}
            else:
                ch["C8"] = {"image": {"width": 3, "height": 2, "pixels": cls.C8[e]}}
            if cls.C16[e] is not None:
                ch["C16"] = {"image": {"width": 2, "height": 2, "bpp": 2,
                                       "pixels": cls.C16[e]}}
            events.append({"id": 20 + e, "time": [3000 + e, 0], "channels": ch})
        text = recording([chan("C8", 4), chan("C16", 4)], events)
        shapes = ["--image-shape", "C8=3x2", "--image-shape", "C16=2x2x2"]
        cls.runs = {}
        for d in DIALECTS:
            cls.runs[d, "xml"] = Pipeline(text, ["-xdump"], d)
            cls.runs[d, "shape"] = Pipeline(text, [], d, options=shapes)
        cls.runs["tab", "flat"] = Pipeline(text, [], "tab")

    def check_images(self, f):
        c8, c16 = self.channel(f, "C8"), self.channel(f, "C16")
        for g, want, dtype in ((c8, self.C8_WANT, np.uint8), (c16, self.C16_WANT, np.uint16)):
            self.assertEqual(attr_text(g.attrs["kind"]), "image")
            self.assertEqual(attr_text(g["data"].attrs["interpretation"]), "image")
            self.assertEqual(g["data"].dtype, np.dtype(dtype), g.name)
            self.assertEqual(g["data"].chunks, (1,) + g["data"].shape[1:], g.name)
            self.assertEqual(g["data"][()].tolist(), want, g.name)
        self.assertInts(c8["present"], [1, 0, 1], np.int8)
        self.assertInts(c16["present"], [1, 1, 0], np.int8)

    def test_shape_from_description(self):
        for d in DIALECTS:
            with self.subTest(dialect=d):
                self.check_images(self.runs[d, "xml"].h5(self))

    def test_shape_from_option(self):
        for d in DIALECTS:
            with self.subTest(dialect=d):
                self.check_images(self.runs[d, "shape"].h5(self))

    def test_flat_pixels_without_shape(self):
        run = self.runs["tab", "flat"]
        f = run.h5(self)
        self.assertIn(b"warning", run.convert.stderr.lower())
        c8, c16 = self.channel(f, "C8"), self.channel(f, "C16")
        # Without a depth the smallest type that holds every pixel of the run.
        self.assertEqual(c8["data"].dtype, np.uint8)
        self.assertEqual(c8["data"][()].tolist(),
                         [sum(rows, []) for rows in self.C8_WANT])
        self.assertEqual(c16["data"].dtype, np.uint16)
        self.assertEqual(c16["data"][()].tolist(),
                         [sum(rows, []) for rows in self.C16_WANT])
        self.assertInts(c8["present"], [1, 0, 1], np.int8)
        self.assertInts(c16["present"], [1, 1, 0], np.int8)


# ---- Rows cut short ---------------------------------------------------------

class CutRowsTest(RoundTrip):
    """A failing server-block query leaves the row without its line end; the
    next event's row continues on the same line. The last event's row is cut
    at its first channel, so the table ends without a line end."""

    @classmethod
    def setUpClass(cls):
        def ev(n, a, b, c, d, fail=None):
            ch = {"A": {"value": a}, "B": {"value": b},
                  "C": {"members": [{"values": c}]}, "D": {"value": d}}
            if fail:
                ch[fail]["block"] = {"fail": True}
            return {"id": n, "time": [4000 + n, 10 * n], "channels": ch}
        events = [ev(1, 1.5, 2.5, [1, 2], 4.5),
                  ev(2, 0.25, 9, [3], 8, fail="B"),
                  ev(3, -1, 3, [5], 6),
                  ev(4, 2, -3, [7, 8], 0.75),
                  ev(5, 5, 5, [5], 5, fail="A")]
        text = recording([chan("A", 2), chan("B", 2), chan("C", 3), chan("D", 2)], events)
        cls.runs = {d: Pipeline(text, [], d, options=["--kind", "C=spectrum"])
                    for d in DIALECTS}

    def test_cut_events_kept_incomplete(self):
        for d in DIALECTS:
            with self.subTest(dialect=d):
                run = self.runs[d]
                f = run.h5(self)
                ev = f["entry/event"]
                self.assertInts(ev["id"], [1, 2, 3, 4, 5], np.uint32)
                self.assertInts(ev["time_s"], [4001, 4002, 4003, 4004, 4005], np.uint32)
                self.assertInts(ev["time_us"], [10, 20, 30, 40, 50], np.uint32)
                self.assertInts(ev["complete"], [1, 0, 1, 1, 0], np.uint8)
                self.assertInts(ev["line"], [2, 3, 3, 4, 5], np.uint64)
                self.assertIn(b"warning", run.convert.stderr.lower())

    def test_channels_after_the_cut_not_reached(self):
        for d in DIALECTS:
            with self.subTest(dialect=d):
                f = self.runs[d].h5(self)
                a, b, c, dd = (self.channel(f, n) for n in "ABCD")
                # The channel whose query failed is -3, the ones after it -2.
                self.assertInts(a["present"], [1, 1, 1, 1, -3], np.int8)
                self.assertInts(b["present"], [1, -3, 1, 1, -2], np.int8)
                for g in (c, dd):
                    self.assertInts(g["present"], [1, -2, 1, 1, -2], np.int8)
                self.assertFloats(a["data"][()], [1.5, 0.25, -1, 2, None], "%f", "A")
                self.assertFloats(b["data"][()], [2.5, None, 3, -3, None], "%f", "B")
                self.assertFloats(dd["data"][()], [4.5, None, 6, 0.75, None], "%f", "D")
                self.assertEqual(c["count"][()].tolist(), [[2], [0], [1], [2], [0]])
                self.assertFloats(c["data"][2, 0, :1], [5], "%.e", "C")
                self.assertFloats(c["data"][3, 0, :2], [7, 8], "%.e", "C")


# ---- Tables that read more than one way ------------------------------------

class EmptyCellBeforeSpectrumTest(RoundTrip):
    """Tab dialect: an EqData channel's empty cell, its separator and the next
    channel's spectrum "{...}" begin like a name-value block ("\\t{"). Only one
    reading fits the cells and the row; the kinds and the XML description
    help where both fit the cell."""

    EQ = {"eq": {"type": 2, "values": [1]}}
    ONE = {"members": [{"values": [1.0]}]}          # "{[1065353216]}" with -fti
    # (name, events of S, words); each event also has EQ before S and M after.
    CASES = [
        ("spectrum", [{"members": [{"values": [1.0, 2.0]}]}], []),
        ("integer form", [ONE], ["-fti", "S"]),
        ("no members", [{"members": []}, {"members": [{"values": [3.0, 4.0]}]}], []),
        ("S last, described", [ONE], ["-fti", "S", "-xdump"]),
    ]

    @classmethod
    def setUpClass(cls):
        cls.runs = {}
        for name, spectra, words in cls.CASES:
            last = "last" in name
            order = ["EQ", "M", "S"] if last else ["EQ", "S", "M"]
            types = {"EQ": 5, "S": 3, "M": 1}
            events = [{"id": 1 + e, "time": [1700000000 + e, 0],
                       "channels": {"EQ": cls.EQ, "S": s, "M": {}}}
                      for e, s in enumerate(spectra)]
            text = recording([chan(n, types[n]) for n in order], events)
            cls.runs[name] = Pipeline(text, words, "tab")

    def test_each_channel_gets_its_own_cell(self):
        want_s = {"spectrum": [[[1.0, 2.0]]], "integer form": [[[1.0]]],
                  "no members": [[0], [[3.0, 4.0]]], "S last, described": [[[1.0]]]}
        for name, spectra, _ in self.CASES:
            with self.subTest(case=name):
                run = self.runs[name]
                f = run.h5(self)
                n = len(spectra)
                # The %.e spectrum's lost precision is its one warning.
                warned = [w for w in run.convert.stderr.split(b"\n") if b": warning: " in w]
                self.assertEqual([w for w in warned if b"lost precision" not in w], [])
                kinds = dict(zip(texts(f["entry/channel_table/title"]),
                                 texts(f["entry/channel_table/kind"])))
                self.assertEqual(kinds, {"EQ": "none", "S": "spectrum", "M": "marker"})
                self.assertInts(f["entry/event/complete"], [1] * n, np.uint8)
                self.assertInts(self.channel(f, "EQ")["present"], [2] * n, np.int8)
                self.assertInts(self.channel(f, "M")["data"], [1] * n, np.uint8)
                s = self.channel(f, "S")
                self.assertInts(s["present"], [1 if w != [0] else 0 for w in want_s[name]],
                                np.int8)
                fmt = "bits" if "integer" in name or "last" in name else "%.e"
                for e, members in enumerate(want_s[name]):
                    for m, values in enumerate(members):
                        if values == 0:
                            continue
                        k = len(values)
                        self.assertEqual(int(s["count"][e, m]), k)
                        self.assertFloats(s["data"][e, m, :k], values, fmt, name)


class CutRowsWithStatusColumnsTest(RoundTrip):
    """With status columns, a row cut by B's failed server-block query ends
    after A's cell; one cut by B's failed channel query ends after B's
    server-block status column, which is kept. Cut in the middle of the run
    and in its last event (the table then ends without a line end)."""

    @classmethod
    def setUpClass(cls):
        cls.runs = {}
        for where in ("middle", "last"):
            for query in ("block", "chan"):
                def ev(n, fail):
                    b = {"value": 2.5 + n, "block": {"status": 5 + 2 * n},
                         "chan": {"status": 6}}
                    if fail:
                        b[query]["fail"] = True
                    return {"id": n, "time": [1700000000 + n, 0], "status": n,
                            "channels": {"A": {"value": 1.5 + n}, "B": b}}
                cut = 2 if where == "middle" else 3
                events = [ev(n, n == cut) for n in (1, 2, 3)]
                text = recording([chan("A", 2), chan("B", 2)], events)
                for d in DIALECTS:
                    cls.runs[where, query, d] = Pipeline(text, [], d, outmode=1)

    def test_cut_row_incomplete_and_the_failed_channel_marked(self):
        for (where, query, d), run in self.runs.items():
            with self.subTest(cut=where, query=query, dialect=d):
                f = run.h5(self)
                cut = 1 if where == "middle" else 2
                complete = [0 if e == cut else 1 for e in range(3)]
                self.assertInts(f["entry/event/complete"], complete, np.uint8)
                self.assertInts(f["entry/event/line"], [2, 3, 3] if cut == 1 else [2, 3, 4],
                                np.uint64)
                self.assertInts(f["entry/event/status"], [1, 2, 3], np.int32)
                a, b = self.channel(f, "A"), self.channel(f, "B")
                self.assertInts(a["present"], [1, 1, 1], np.int8)
                self.assertFloats(a["data"][()], [2.5, 3.5, 4.5], "%f", "A")
                self.assertInts(b["present"], [-3 if e == cut else 1 for e in range(3)],
                                np.int8)
                self.assertFloats(b["data"][()], [None if e == cut else 3.5 + e
                                                  for e in range(3)], "%f", "B")
                # The server-block status column stands in the row when the
                # channel query failed after it; the channel status never does.
                srv = [7 + 2 * e if e != cut or query == "chan" else 0 for e in range(3)]
                self.assertInts(b["srv_status"], srv, np.int32)
                self.assertInts(b["chan_status"], [0 if e == cut else 6 for e in range(3)],
                                np.int32)


class CommaTableStartingWithCutRowsTest(RoundTrip):
    """Comma dialect: a line that holds rows cut short holds more fields than
    one row; the channel count comes from each line's last event."""

    @classmethod
    def setUpClass(cls):
        def ev(n, fail):
            b = {"value": 0.5 * n}
            if fail:
                b["block"] = {"fail": True}
            return {"id": n, "time": [1700000000 + n, 0],
                    "channels": {"A": {"value": 1.5 + n}, "B": b}}
        cls.runs = {}
        for name, fails in (("one", [True, False]), ("most", [True] * 5 + [False, True])):
            text = recording([chan("A", 2), chan("B", 2)],
                             [ev(n + 1, fail) for n, fail in enumerate(fails)])
            for outmode in (0, 1):
                cls.runs[name, outmode] = (Pipeline(text, [], "hdf5", outmode=outmode), fails)

    @classmethod
    def tearDownClass(cls):
        for run, _ in cls.runs.values():
            run.close()

    def test_converted_with_every_event(self):
        for (name, outmode), (run, fails) in self.runs.items():
            with self.subTest(case=name, outmode=outmode):
                f = run.h5(self)
                n = len(fails)
                self.assertEqual(texts(f["entry/channel_table/title"]), ["A", "B"])
                self.assertInts(f["entry/event/id"], list(range(1, n + 1)), np.uint32)
                self.assertInts(f["entry/event/complete"], [0 if x else 1 for x in fails],
                                np.uint8)
                self.assertInts(self.channel(f, "A")["present"], [1] * n, np.int8)
                self.assertInts(self.channel(f, "B")["present"],
                                [-3 if x else 1 for x in fails], np.int8)
                self.assertFloats(self.channel(f, "B")["data"][()],
                                  [None if x else 0.5 * (e + 1) for e, x in enumerate(fails)],
                                  "%f", "B")


class KindNoneTest(RoundTrip):
    """--kind CHANNEL=none on a channel with data: nothing is stored, the
    cells with data are present 0 and a warning counts them."""

    @classmethod
    def setUpClass(cls):
        events = [{"id": 1, "channels": {"V": {"value": 1.5}}}, {"id": 2},
                  {"id": 3, "channels": {"V": {"value": 2.5}, "E": {"eq": {}}}}]
        text = recording([chan("V", 2), chan("E", 5)], events)
        cls.runs = {d: Pipeline(text, [], d, options=["--kind", "V=none", "--kind", "E=none"])
                    for d in DIALECTS}

    def test_data_left_out(self):
        for d, run in self.runs.items():
            with self.subTest(dialect=d):
                f = run.h5(self)
                v = self.channel(f, "V")
                self.assertEqual(sorted(v.keys()), ["event_id", "present", "time"])
                self.assertInts(v["present"], [0, 0, 0], np.int8)
                self.assertInts(self.channel(f, "E")["present"], [0, 0, 2], np.int8)
                err = run.convert.stderr.decode()
                self.assertIn("channel V: 2 cells with data left out", err)
                self.assertNotIn("channel E:", err)


# ---- NeXus -------------------------------------------------------------------

class NexusTest(RoundTrip):
    """silx accepts every marker, value, spectrum and image group as NXdata."""

    @classmethod
    def setUpClass(cls):
        events = [{"id": 30 + e, "time": [5000 + e, 0], "channels": {
            "M": {}, "V": {"value": 0.5 * e},
            "NV": {"items": [["a", 1.0 + e]]},
            "S": {"members": [{"values": [1, 2, 3]}, {"values": [4, 5, 6]}]},
            "C": {"image": {"width": 2, "height": 2, "pixels": "01020304"}}}}
            for e in range(3)]
        text = recording([chan("M", 1), chan("V", 2), chan("NV", 2), chan("S", 3),
                          chan("C", 4)], events)
        cls.runs = {d: Pipeline(text, ["-xdump"], d) for d in DIALECTS}

    def test_channel_groups_are_valid_nxdata(self):
        for d in DIALECTS:
            for name in ("M", "V", "S", "C"):
                with self.subTest(dialect=d, channel=name):
                    g = self.channel(self.runs[d].h5(self), name)
                    self.assertEqual(attr_text(g.attrs["NX_class"]), "NXdata")
                    self.assertEqual(attr_text(g.attrs["signal"]), "data")
                    self.assertTrue(nxdata.is_valid_nxdata(g), g.name)

    def test_value_axis_is_the_event_id(self):
        for d in DIALECTS:
            with self.subTest(dialect=d):
                f = self.runs[d].h5(self)
                v = self.channel(f, "V")
                self.assertEqual(v["id"][()].tolist(), [30, 31, 32])
                self.assertEqual(v["id"].id, f["entry/event/id"].id)

    def test_block_is_a_collection_and_entry_default_first_value(self):
        for d in DIALECTS:
            with self.subTest(dialect=d):
                f = self.runs[d].h5(self)
                self.assertEqual(attr_text(self.channel(f, "NV").attrs["NX_class"]),
                                 "NXcollection")
                entry = f["entry"]
                default = entry[attr_text(entry.attrs["default"])]
                self.assertEqual(default.name, "/entry/channels/V")


# ---- Titles and group names ---------------------------------------------------

class TitlesTest(RoundTrip):
    """Titles with '/', duplicates, parents of other titles and bytes that
    need escaping; channel_table; units and long names from the description."""

    # (name, sub-channel, title, group)
    CHANNELS = [
        ("BPM/X", None, "BPM/X", "BPM/X"),
        ("BPM/Y", None, "BPM/Y", "BPM/Y"),
        ("X", None, "X", "X"),
        ("X~2", None, "X~2", "X~2"),
        ("X", None, "X", "X~3"),
        ("A", None, "A", "A"),
        ("A/B", None, "A/B", "A~2/B"),
        ("P/Q", None, "P/Q", "P/Q"),
        ("P", None, "P", "P~2"),
        ("/lead", None, "/lead", "_/lead"),
        ("trail/", None, "trail/", "trail/_"),
        ("a//b", None, "a//b", "a/_/b"),
        ("./dot", None, "./dot", "_./dot"),
        ("../up", None, "../up", "_../up"),
        ("pct%", None, "pct%", "pct%25"),
        ("ctl\x01x", None, "ctl\x01x", "ctl%01x"),
        ("del\x7f", None, "del\x7f", "del%7F"),
        ("B", 2, "B:2", "B:2"),
        ("\u00e9/\u00fc", None, "\u00e9/\u00fc", "\u00e9/\u00fc"),
    ]

    @classmethod
    def setUpClass(cls):
        channels = [chan(n, 2, s) for n, s, _, _ in cls.CHANNELS]
        # Each distinct title carries the value of its first channel's index;
        # a repeated title reads the same entry.
        cls.first = {}
        for k, (_, _, title, _) in enumerate(cls.CHANNELS):
            cls.first.setdefault(title, k)
        events = [{"id": 40 + e, "time": [6000 + e, 0],
                   "channels": {t: {"value": (k + 0.5) * (1 if e == 0 else -1)}
                                for t, k in cls.first.items()}}
                  for e in range(2)]
        descriptions = [{"daq_name": "BPM/X", "desc": "horizontal position", "units": "mm"},
                        {"daq_name": "B", "desc": "beam current", "units": "mA"}]
        text = recording(channels, events, descriptions)
        cls.runs = {d: Pipeline(text, ["-xdump"], d) for d in DIALECTS}

    def test_channel_table(self):
        for d in DIALECTS:
            with self.subTest(dialect=d):
                table = self.runs[d].h5(self)["entry/channel_table"]
                self.assertEqual(texts(table["title"]), [c[2] for c in self.CHANNELS])
                self.assertEqual(texts(table["group"]), [c[3] for c in self.CHANNELS])
                self.assertEqual(texts(table["kind"]), ["value"] * len(self.CHANNELS))

    def test_groups_hold_their_channels(self):
        for d in DIALECTS:
            for _, _, title, group in self.CHANNELS:
                with self.subTest(dialect=d, group=group):
                    g = self.channel(self.runs[d].h5(self), group)
                    self.assertEqual(attr_text(g.attrs["title"]), title)
                    k = self.first[title]
                    self.assertFloats(g["data"][()], [k + 0.5, -(k + 0.5)], "%f", group)

    def test_intermediate_groups_are_collections(self):
        for d in DIALECTS:
            for path in ("BPM", "A~2", "P", "_", "trail", "a", "a/_", "_.", "_..", "\u00e9"):
                with self.subTest(dialect=d, group=path):
                    g = self.channel(self.runs[d].h5(self), path)
                    self.assertEqual(attr_text(g.attrs["NX_class"]), "NXcollection")

    def test_units_and_long_names_of_the_bare_name(self):
        for d in DIALECTS:
            with self.subTest(dialect=d):
                f = self.runs[d].h5(self)
                for group, units, desc in (("BPM/X", "mm", "horizontal position"),
                                           ("B:2", "mA", "beam current")):
                    g = self.channel(f, group)
                    self.assertEqual(attr_text(g.attrs["units"]), units)
                    self.assertEqual(attr_text(g.attrs["long_name"]), desc)


# ---- Malformed tables ----------------------------------------------------------

HDF5_HEAD = "EventId,Time,TimeISO,V,S\n"
TAB_HEAD = "EventId\tTime\t\t\tV\tS\n"


def hdf5_row(n, v, s):
    return "%d,%d:0,1970-01-01T00:01:%02dZ,[[%s]],[[%s]]\n" % (n, 99 + n, 39 + n, v, s)


def tab_row(n, v, s):
    return "[NORMAL]%d\t\t%d:0\t1970-01-01T00:01:%02dZ\t%s\t\t{[%s]}\n" % (
        n, 99 + n, 39 + n, v, s)


class OutputPathTest(unittest.TestCase):
    """The output is written as OUT.part and renamed onto OUT at the end: an
    OUT that is no regular file, or the table itself, is refused before any
    work (a rename would put a file in place of a device or a pipe, or
    replace the table); an OUT.part is replaced only when a killed run left
    it, nothing is written through a link of that name."""

    def setUp(self):
        tmp = tempfile.TemporaryDirectory(prefix="korvel-h5out-")
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name
        self.table = os.path.join(self.dir, "t.txt")
        with open(self.table, "w") as f:
            f.write(HDF5_HEAD + hdf5_row(1, "0.500000", "1e+00 2e+00"))

    def run_h5(self, out):
        return subprocess.run([CONVERTER, "--no-progress", self.table, "-o", out],
                              cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def test_an_output_that_is_no_regular_file_is_refused(self):
        fifo = os.path.join(self.dir, "pipe.h5")
        os.mkfifo(fifo)
        sub = os.path.join(self.dir, "sub.h5")
        os.mkdir(sub)
        outs = [fifo, sub]
        # A null device of the test's own (as root): what /dev/null is,
        # without putting the machine's at risk.
        null = os.path.join(self.dir, "null")
        try:
            os.mknod(null, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
            outs.append(null)
        except OSError as e:
            sys.stderr.write("no character device made (%s): checked on a pipe and a "
                             "directory only\n" % e.strerror)
        for out in outs:
            res = self.run_h5(out)
            self.assertEqual(res.returncode, 2, res.stderr)
            self.assertIn(b"is not a regular file; it is not replaced", res.stderr)
            self.assertFalse(os.path.exists(out + ".part"))
        self.assertTrue(stat.S_ISFIFO(os.lstat(fifo).st_mode))
        self.assertTrue(os.path.isdir(sub))
        if null in outs:
            self.assertTrue(stat.S_ISCHR(os.lstat(null).st_mode))

    def test_the_table_itself_is_refused_under_any_name(self):
        with open(self.table, "rb") as f:
            before = f.read()
        same = os.path.join(self.dir, "same.h5")
        os.link(self.table, same)
        for out, says in ((self.table, b"would replace the table"),
                          (same, b"is the table itself")):
            res = self.run_h5(out)
            self.assertEqual(res.returncode, 2, res.stderr)
            self.assertIn(says, res.stderr)
        with open(self.table, "rb") as f:
            self.assertEqual(f.read(), before)

    def test_only_what_a_killed_run_leaves_as_part_is_replaced(self):
        victim = os.path.join(self.dir, "victim.txt")
        with open(victim, "w") as f:
            f.write("keep me\n")
        # (what OUT.part holds, whether the run goes ahead over it)
        cases = [("link", False), (b"notes of mine\n", False),
                 (b"", True), (b"\x89HDF\r\n\x1a\n" + bytes(40), True)]
        for n, (left, replaced) in enumerate(cases):
            out = os.path.join(self.dir, "out%d.h5" % n)
            if left == "link":
                os.symlink(victim, out + ".part")
            else:
                with open(out + ".part", "wb") as f:
                    f.write(left)
            res = self.run_h5(out)
            if replaced:
                self.assertEqual(res.returncode, 0, res.stderr)
                self.assertFalse(os.path.lexists(out + ".part"))
                with h5py.File(out, "r") as f:
                    self.assertEqual(list(f["/entry/event/id"][()]), [1])
            else:
                self.assertEqual(res.returncode, 2, res.stderr)
                self.assertIn(b"is not a file left by an interrupted run; it is not replaced",
                              res.stderr)
                self.assertTrue(os.path.lexists(out + ".part"))
                self.assertFalse(os.path.lexists(out))
        with open(victim) as f:
            self.assertEqual(f.read(), "keep me\n")
        self.assertEqual(os.readlink(os.path.join(self.dir, "out0.h5.part")), victim)
        with open(os.path.join(self.dir, "out1.h5.part"), "rb") as f:
            self.assertEqual(f.read(), b"notes of mine\n")


class MalformedTablesTest(unittest.TestCase):
    """Hand-written tables in the shape of the plug-in's rows, each with one
    fault: lenient conversions warn and go on, --strict and unreadable tables
    exit 2 with nothing left behind but the old output."""

    OLD = b"an older output that must survive\n"

    def convert(self, text, options=()):
        """Runs korvel-h5 on text in a fresh directory holding an old out.h5."""
        tmp = tempfile.TemporaryDirectory(prefix="korvel-h5bad-")
        self.addCleanup(tmp.cleanup)
        with open(os.path.join(tmp.name, "user_out.txt"), "wb") as f:
            f.write(text.encode("utf-8"))
        with open(os.path.join(tmp.name, "out.h5"), "wb") as f:
            f.write(self.OLD)
        res = subprocess.run([CONVERTER] + list(options) + ["user_out.txt", "-o", "out.h5"],
                             cwd=tmp.name, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        return tmp.name, res

    def assertRefused(self, where, res, line=None):
        err = res.stderr.decode(errors="replace")
        self.assertEqual(res.returncode, 2, err)
        if line is not None:
            self.assertIn("user_out.txt:%d:" % line, err)
        self.assertEqual(sorted(os.listdir(where)), ["out.h5", "user_out.txt"])
        with open(os.path.join(where, "out.h5"), "rb") as f:
            self.assertEqual(f.read(), self.OLD)

    def accepted(self, where, res):
        err = res.stderr.decode(errors="replace")
        self.assertEqual(res.returncode, 0, err)
        self.assertIn("warning", err.lower())
        self.assertFalse(os.path.exists(os.path.join(where, "out.h5.part")))
        f = h5py.File(os.path.join(where, "out.h5"), "r")
        self.addCleanup(f.close)
        return f

    def tables(self, v2, s2, cut_last=False):
        """Both dialects of a three-event table with V and S; event 2 holds the
        texts v2 and s2; with cut_last the last row stops after V's cell."""
        out = {}
        for d, head, row in (("hdf5", HDF5_HEAD, hdf5_row), ("tab", TAB_HEAD, tab_row)):
            rows = [row(1, "0.500000", "1e+00 2e+00"), row(2, v2, s2),
                    row(3, "0.125000", "5e+00 6e+00")]
            if cut_last:
                last = rows[2]
                rows[2] = last[:last.index("0.125000") + len("0.125000")] + (
                    "]]," if d == "hdf5" else "\t\t")
            out[d] = head + "".join(rows)
        return out

    def test_truncated_last_line_kept_incomplete(self):
        for d, text in self.tables("0.250000", "3e+00 4e+00", cut_last=True).items():
            with self.subTest(dialect=d):
                where, res = self.convert(text)
                f = self.accepted(where, res)
                ev = f["entry/event"]
                self.assertEqual(ev["id"][()].tolist(), [1, 2, 3])
                self.assertEqual(ev["complete"][()].tolist(), [1, 1, 0])
                self.assertEqual(ev["line"][()].tolist(), [2, 3, 4])
                v = f["entry/channels/V"]
                self.assertEqual(v["present"][()].tolist(), [1, 1, 1])
                self.assertEqual(v["data"][()].tolist(), [0.5, 0.25, 0.125])
                # The row stops where S's group would begin: S's query failed.
                self.assertEqual(f["entry/channels/S/present"][()].tolist(), [1, 1, -3])

    def test_unbalanced_bracket(self):
        texts_ = self.tables("0.250000", "3e+00 4e+00")
        texts_["hdf5"] = texts_["hdf5"].replace("[[3e+00 4e+00]]", "[[3e+00 4e+00]")
        texts_["tab"] = texts_["tab"].replace("{[3e+00 4e+00]}", "{[3e+00 4e+00}")
        for d, text in texts_.items():
            with self.subTest(dialect=d, strict=False):
                where, res = self.convert(text)
                f = self.accepted(where, res)
                self.assertRegex(res.stderr.decode(errors="replace"), r"(:|line )3\b")
                self.assertEqual(f["entry/event/id"][()].tolist(), [1, 2, 3])
                # The faulty row still ends with its line end: it is not cut short.
                self.assertEqual(f["entry/event/complete"][()].tolist(), [1, 1, 1])
                self.assertEqual(f["entry/event/line"][()].tolist(), [2, 3, 4])
                self.assertEqual(f["entry/channels/V/data"][()].tolist(), [0.5, 0.25, 0.125])
                s = f["entry/channels/S"]
                self.assertEqual(s["present"][()].tolist(), [1, -1, 1])
                self.assertEqual(s["data"][2, 0, :2].tolist(), [5.0, 6.0])
            with self.subTest(dialect=d, strict=True):
                where, res = self.convert(text, ["--strict"])
                self.assertRefused(where, res, line=3)

    def test_number_that_does_not_parse(self):
        for d, text in self.tables("0.2x0000", "3e+00 4e+00").items():
            with self.subTest(dialect=d, strict=False):
                where, res = self.convert(text)
                f = self.accepted(where, res)
                self.assertRegex(res.stderr.decode(errors="replace"), r"(:|line )3\b")
                v = f["entry/channels/V"]
                self.assertEqual(v["present"][()].tolist(), [1, -1, 1])
                got = v["data"][()]
                self.assertEqual([got[0], got[2]], [0.5, 0.125])
                self.assertTrue(math.isnan(got[1]))
                self.assertEqual(f["entry/channels/S/present"][()].tolist(), [1, 1, 1])
            with self.subTest(dialect=d, strict=True):
                where, res = self.convert(text, ["--strict"])
                self.assertRefused(where, res, line=3)

    def test_frames_of_rows_not_kept_hold_the_fill_value(self):
        """A pixel list is read as the row is, before the row is known to be
        whole: where the row then breaks at that cell, the frame is zeros."""
        row = "%d,%d:0,1970-01-01T00:01:40Z,"
        cases = [  # (header, rows, C's present)
            # the last line ends inside C's group, without a line end: not reached
            ("C,V", (row + "[[1 2 3 4]],[[0.500000]]\n") % (1, 100) +
             (row + "[[5 6 7 8]]") % (2, 101), [1, -2]),
            # a comma after the last channel's cell: not understood
            ("V,C", (row + "[[0.500000]],[[1 2 3 4]]\n") % (1, 100) +
             (row + "[[0.250000]],[[5 6 7 8]],\n") % (2, 101), [1, -1])]
        for head, rows, present in cases:
            with self.subTest(header=head):
                where, res = self.convert("EventId,Time,TimeISO,%s\n" % head + rows,
                                          ["--image-shape", "C=2x2x1"])
                c = self.accepted(where, res)["entry/channels/C"]
                self.assertEqual(c["present"][()].tolist(), present)
                self.assertEqual(c["data"][()].tolist(), [[[1, 2], [3, 4]], [[0, 0], [0, 0]]])

    def test_unreadable_tables_refused(self):
        cases = {"empty": "",
                 "prose": "hello, world\nthis is no event table\n",
                 "recording": recording([chan("V", 2)], [{"id": 1}])}
        for name, text in cases.items():
            with self.subTest(table=name):
                where, res = self.convert(text)
                self.assertRefused(where, res)


class OutputFailuresTest(unittest.TestCase):
    """A file system that refuses the file, and an interrupt: exit 1 (or the
    signal's status), a message, no OUT.h5.part, the old output untouched."""

    OLD = b"an older output that must survive\n"

    def big_table(self):
        # Values that deflate cannot shrink much: about 600 kB of floats.
        import random
        rnd = random.Random(7)
        rows = "".join(hdf5_row(n, "%.6f" % (n / 8), " ".join(
            "%de%+03d" % (rnd.randrange(1, 10), rnd.randrange(-30, 30)) for _ in range(400)))
            for n in range(1, 400))
        return HDF5_HEAD + rows

    def test_a_full_file_system_is_a_failure(self):
        import resource
        import signal

        def small_files():
            # Files may not grow past 64 KiB; a write past that fails (EFBIG)
            # as on a full disk, instead of killing the process.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))

        tmp = tempfile.TemporaryDirectory(prefix="korvel-h5full-")
        self.addCleanup(tmp.cleanup)
        with open(os.path.join(tmp.name, "user_out.txt"), "w") as f:
            f.write(self.big_table())
        with open(os.path.join(tmp.name, "out.h5"), "wb") as f:
            f.write(self.OLD)
        for options in (["--compression", "none"], ["--threads", "2"]):
            with self.subTest(options=options):
                res = subprocess.run([CONVERTER, "--no-progress"] + options +
                                     ["user_out.txt", "-o", "out.h5"], cwd=tmp.name,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     preexec_fn=small_files)
                err = res.stderr.decode(errors="replace")
                self.assertEqual(res.returncode, 1, err)
                self.assertIn("out.h5", err)
                self.assertEqual(sorted(os.listdir(tmp.name)), ["out.h5", "user_out.txt"])
                with open(os.path.join(tmp.name, "out.h5"), "rb") as f:
                    self.assertEqual(f.read(), self.OLD)

    def test_an_interrupt_leaves_nothing(self):
        # One signal ends the run in order; a second one ends it at once,
        # and the half-written OUT.part must go with it all the same. Two
        # signals pending together are taken lowest number first, so
        # either may be the one that ends the run.
        # A wide table's layout, made beside its few rows, stops early at
        # the signal: that is the run's end too, not a failure.
        cases = (([signal.SIGTERM], {143}, b"interrupted", self.long_table),
                 ([signal.SIGTERM, signal.SIGINT], {130, 143}, b"", self.long_table),
                 ([signal.SIGTERM], {143}, b"interrupted", self.wide_table))
        for signals, status, words, table in cases:
            with self.subTest(signals=signals, table=table.__name__):
                self.interrupted_run(signals, status, words, table)

    @staticmethod
    def long_table(f):
        """Enough rows that the signal comes first."""
        f.write(HDF5_HEAD)
        row = hdf5_row(1, "0.5", " ".join(["1e+00"] * 2000))
        for _ in range(40):
            f.write(row * 500)

    @staticmethod
    def wide_table(f):
        """Enough channels that the signal comes while the file is laid out."""
        n = 8000
        f.write("EventId,Time,TimeISO," + ",".join("W%d" % k for k in range(n)) + "\n")
        cells = ",".join(["[[0.5]]"] * n)
        for e in range(1, 4):
            f.write("%d,%d:0,1970-01-01T00:01:4%dZ,%s\n" % (e, 99 + e, e, cells))

    def interrupted_run(self, signals, status, words, write_table):
        import time
        tmp = tempfile.TemporaryDirectory(prefix="korvel-h5int-")
        self.addCleanup(tmp.cleanup)
        with open(os.path.join(tmp.name, "user_out.txt"), "w") as f:
            write_table(f)
        with open(os.path.join(tmp.name, "out.h5"), "wb") as f:
            f.write(self.OLD)
        proc = subprocess.Popen([CONVERTER, "--no-progress", "user_out.txt", "-o", "out.h5"],
                                cwd=tmp.name, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        # The signal goes once OUT.part exists: the handlers are in place
        # by then, and the conversion has the whole table still to read.
        part = os.path.join(tmp.name, "out.h5.part")
        deadline = time.monotonic() + 30
        while not os.path.exists(part) and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.005)
        for s in signals:
            proc.send_signal(s)
        _, err = proc.communicate(timeout=60)
        self.assertNotEqual(proc.returncode, 0, "the conversion ended before the signal: "
                            "the table is too short to test an interrupt")
        self.assertIn(proc.returncode, status, err.decode(errors="replace"))
        self.assertIn(words, err)
        self.assertNotIn(b"cannot", err)  # an interrupt is no failure to report
        self.assertEqual(sorted(os.listdir(tmp.name)), ["out.h5", "user_out.txt"])
        with open(os.path.join(tmp.name, "out.h5"), "rb") as f:
            self.assertEqual(f.read(), self.OLD)

def main():
    missing = [n for n, v in (("KORVEL_REPLAY", REPLAY), ("KORVEL_H5", CONVERTER)) if not v]
    if missing:
        sys.exit("h5_roundtrip.py: set %s (CTest does)" % " and ".join(missing))
    unittest.main()


if __name__ == "__main__":
    main()
