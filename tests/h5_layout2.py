#!/usr/bin/python3
"""Layout version 2 through the whole pipeline: every array labelled by
event id, read back with h5py, xarray (engine h5netcdf) and silx's NXdata;
units and long names from the XML description; the run's metadata; the
precision attributes, warnings and the -fti word; the EqData mark; and the
converter's options --xml none, --run, --kind and --image-shape with
wildcards.

The expected values are worked out from each recording. Needs KORVEL_REPLAY
and KORVEL_H5 (and optionally KORVEL_PLUGIN); CTest sets them. Run with
Debian's /usr/bin/python3 (h5py, numpy, xarray, h5netcdf, silx).
"""

import os
import subprocess
import sys
import unittest

import numpy as np
import xarray as xr
from silx.io import nxdata

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from h5_roundtrip import (CONVERTER, DIALECTS, Pipeline, attr_text, bits, chan,  # noqa: E402
                          f32, recording)

IDS = [7, 9, 100, 4000000000]  # the last one is printed negative by the table
TIMES = [[1700000000, 250], [1700000001, 0], [1700000002, 500000], [1700000003, 999999]]


def convert(run, options, out="again.h5"):
    """korvel-h5 once more on a pipeline's table, with other options."""
    return subprocess.run([CONVERTER] + list(options) + ["user_out.txt", "-o", out],
                          cwd=run.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True)


def open_group(path, group):
    return xr.open_dataset(path, group="entry/channels/" + group, engine="h5netcdf")


class EveryKindTest(unittest.TestCase):
    """A run of every kind, with descriptions for some channels."""

    # group: {variable: dimensions} as xarray must see them
    DIMS = {
        "M": {"data": ("event_id",), "present": ("event_id",), "id": ("event_id",)},
        "BPM/X": {"data": ("event_id",), "present": ("event_id",)},
        "NV": {"present": ("event_id",), "item_names": ("item",)},
        "NV/items": {"a": ("event_id",), "b": ("event_id",), "time~2": ("event_id",)},
        "S": {"data": ("event_id", "member", "x"), "count": ("event_id", "member"),
              "stats": ("event_id", "member", "stat"), "x_member": ("member", "x")},
        "C": {"data": ("event_id", "y", "x")},
        "EQ": {"present": ("event_id",)},
    }
    # group: (units, long_name) of the signal datasets
    SIGNALS = {"M": ("", "M"), "BPM/X": ("mm", "horizontal position"),
               "NV/items/a": ("V", "two voltages"), "NV/items/b": ("V", "two voltages"),
               "S": ("counts", "S"), "C": ("", "C")}
    # group: NeXus axes
    AXES = {"M": ["event_id"], "BPM/X": ["event_id"], "S": ["event_id", "member", "x"],
            "C": ["event_id", "y", "x"]}

    @classmethod
    def setUpClass(cls):
        events = []
        for e in range(4):
            events.append({"id": IDS[e], "time": TIMES[e], "channels": {
                "M": {}, "BPM/X": {"value": 0.5 * e},
                "NV": {"items": [["a", 1.0 + e], ["b", 2.0], ["time", -1.0]]},
                "S": {"members": [{"start": 10, "inc": 0.5, "values": [1, 2, 3],
                                   "stat": {"mask": 1, "val": {"0": 2.5}}},
                                  {"start": 10, "inc": 0.5, "values": [4, 5]}]},
                "C": {"image": {"width": 3, "height": 2, "pixels": "0102030405%02x" % e}},
                "EQ": {"eq": {"type": 2, "values": [1.5]}}}})
        text = recording([chan("M", 1), chan("BPM/X", 2), chan("NV", 2), chan("S", 3),
                          chan("C", 4), chan("EQ", 5)], events,
                         [{"daq_name": "BPM/X", "desc": "horizontal position", "units": "mm"},
                          {"daq_name": "NV", "desc": "two voltages", "units": "V"},
                          {"daq_name": "S", "units": "counts"}])
        cls.runs = {d: Pipeline(text, ["-xdump"], d) for d in DIALECTS}

    @classmethod
    def tearDownClass(cls):
        for run in cls.runs.values():
            run.close()

    def test_xarray_names_every_dimension_by_event_id(self):
        want_time = np.array([np.datetime64(s * 1000000 + us, "us") for s, us in TIMES],
                             dtype="datetime64[ns]")
        for d, run in self.runs.items():
            run.h5(self)
            for group, dims in self.DIMS.items():
                with self.subTest(dialect=d, group=group), open_group(run.out, group) as ds:
                    for name, want in dims.items():
                        self.assertEqual(ds[name].dims, want, name)
                    self.assertEqual(ds["event_id"].values.tolist(), IDS)
                    # float64 seconds hold the microseconds to within a few ns
                    late = ds["time"].values.astype("int64") - want_time.astype("int64")
                    self.assertLess(np.abs(late).max(), 1000, ds["time"].values)

    def test_scales_of_spectra_and_images(self):
        for d, run in self.runs.items():
            with self.subTest(dialect=d):
                f = run.h5(self)
                s = f["entry/channels/S"]
                # Every member shares start 10 and inc 0.5: one axis.
                self.assertEqual(s["x"][()].tolist(), [10.0, 10.5, 11.0])
                self.assertNotIn("long_name", s["x"].attrs)
                self.assertEqual(s["member"][()].tolist(), [0, 1])
                self.assertEqual(s["stat"][()].tolist(), list(range(32)))
                c = f["entry/channels/C"]
                self.assertEqual((c["y"][()].tolist(), c["x"][()].tolist()), ([0, 1], [0, 1, 2]))
                self.assertEqual(c["data"][3].tolist(), [[1, 2, 3], [4, 5, 3]])
                nv = f["entry/channels/NV"]
                self.assertEqual(nv["item"][()].tolist(), [0, 1, 2])
                # An item named like the time link is stored beside it.
                self.assertEqual(attr_text(nv["items/time~2"].attrs["item_name"]), "time")
                self.assertEqual(nv["items/time~2"][()].tolist(), [-1.0] * 4)
                self.assertEqual(attr_text(nv["items/a"].attrs["item_name"]), "a")
                self.assertEqual(nv["event_id"].id, f["entry/event/event_id"].id)
                self.assertEqual(nv["items/time"].id, f["entry/event/time"].id)

    def test_units_long_names_and_time_coordinate(self):
        for d, run in self.runs.items():
            f = run.h5(self)
            for group, (units, long_name) in self.SIGNALS.items():
                with self.subTest(dialect=d, group=group):
                    g = f["entry/channels/" + group]
                    data = g if group.startswith("NV/") else g["data"]
                    self.assertEqual(attr_text(data.attrs.get("units", "")), units)
                    self.assertEqual(attr_text(data.attrs["long_name"]), long_name)
                    self.assertEqual(attr_text(data.attrs["coordinates"]), "time")
            t = f["entry/event/time"]
            self.assertEqual(attr_text(t.attrs["units"]), "seconds since 1970-01-01 00:00:00 UTC")

    def test_nexus_axes_and_default(self):
        for d, run in self.runs.items():
            f = run.h5(self)
            for group, axes in self.AXES.items():
                with self.subTest(dialect=d, group=group):
                    g = f["entry/channels/" + group]
                    self.assertTrue(nxdata.is_valid_nxdata(g), g.name)
                    self.assertEqual(nxdata.NXdata(g).axes_dataset_names, axes)
            # The first value channel, not the marker before it.
            self.assertEqual(attr_text(f["entry"].attrs["default"]), "channels/BPM/X")

    def test_run_metadata(self):
        want = {"run": "user_out", "source_table": "user_out.txt", "events": 4,
                "cut_rows": 0, "channels": 6, "first_event_id": 7,
                "last_event_id": 4000000000,
                "start_time": "2023-11-14T22:13:20.000250Z",
                "end_time": "2023-11-14T22:13:23.999999Z"}
        for d, run in self.runs.items():
            with self.subTest(dialect=d):
                entry = run.h5(self)["entry"]
                got = {k: entry.attrs[k] for k in want}
                self.assertEqual({k: attr_text(v) if isinstance(want[k], str) else int(v)
                                  for k, v in got.items()}, want)
                self.assertEqual(int(run.h5(self).attrs["layout_version"]), 2)
        r = convert(self.runs["hdf5"], ["--run", "shift 7"])
        self.assertEqual(r.returncode, 0, r.stderr)
        import h5py
        with h5py.File(os.path.join(self.runs["hdf5"].dir, "again.h5"), "r") as f:
            self.assertEqual(attr_text(f["entry"].attrs["run"]), "shift 7")

    def test_eqdata_marked_only_with_the_description(self):
        import h5py
        for d, run in self.runs.items():
            with self.subTest(dialect=d):
                eq = run.h5(self)["entry/channels/EQ"]
                self.assertEqual(int(eq.attrs["eqdata"]), 1)
                self.assertNotIn("eqdata", run.h5(self)["entry/channels/M"].attrs)
                r = convert(run, ["--xml", "none"], "none.h5")
                self.assertEqual(r.returncode, 0, r.stderr)
                with h5py.File(os.path.join(run.dir, "none.h5"), "r") as f:
                    self.assertNotIn("eqdata", f["entry/channels/EQ"].attrs)
                    # Without the description the camera's shape is unknown.
                    self.assertEqual(f["entry/channels/C/data"].shape, (4, 6))
                    self.assertNotIn("units", f["entry/channels/BPM/X/data"].attrs)
                with open_group(os.path.join(run.dir, "none.h5"), "C") as ds:
                    self.assertEqual(ds["data"].dims, ("event_id", "pixel"))
                    self.assertEqual(ds["pixel"].values.tolist(), list(range(6)))


class OptionsTest(unittest.TestCase):
    """--xml none and '', --image-shape alone and with wildcards, a shape
    that leaves frames unreadable, --kind with wildcards."""

    @classmethod
    def setUpClass(cls):
        # One-pixel frames read as values unless an option says otherwise.
        events = [{"id": 1 + e, "channels": {
            "CAM1": {"image": {"width": 1, "height": 1, "pixels": "%02x" % (5 + e)}},
            "CAM2": {"image": {"width": 2, "height": 2, "pixels": "01020304"}},
            "V": {"value": 1.5}}} for e in range(3)]
        text = recording([chan("CAM1", 4), chan("CAM2", 4), chan("V", 2)], events)
        cls.pipe = Pipeline(text, ["-xdump"], "hdf5")

    @classmethod
    def tearDownClass(cls):
        cls.pipe.close()

    def kinds(self, options):
        import h5py
        r = convert(self.pipe, options)
        self.assertEqual(r.returncode, 0, r.stderr)
        with h5py.File(os.path.join(self.pipe.dir, "again.h5"), "r") as f:
            return {attr_text(t): attr_text(k) for t, k in
                    zip(f["entry/channel_table/title"][()], f["entry/channel_table/kind"][()])}

    def test_kinds_by_option(self):
        cases = [  # options, kinds of CAM1, CAM2, V
            (["--xml", "none"], ("value", "image", "value")),
            (["--xml", "none", "--image-shape", "CAM1=1x1"], ("image", "image", "value")),
            (["--xml", "none", "--image-shape", "CAM?=1x1", "--image-shape", "CAM2=2x2"],
             ("image", "image", "value")),
            (["--kind", "CAM*=none", "--kind", "V=marker"], ("none", "none", "marker")),
        ]
        for options, want in cases:
            with self.subTest(options=options):
                got = self.kinds(options)
                self.assertEqual((got["CAM1"], got["CAM2"], got["V"]), want)

    def test_refused_options(self):
        for options in (["--xml", ""], ["--xml="], ["--kind", "NOPE*=value"],
                        ["--image-shape", "X?=2x2"], ["--run", ""]):
            with self.subTest(options=options):
                r = convert(self.pipe, options)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.pipe.dir, "again.h5.part")))

    def test_a_shape_that_leaves_frames_unreadable(self):
        # Every CAM2 frame has 4 pixels: a 3x1 shape fits none of the 3.
        r = convert(self.pipe, ["--image-shape", "CAM2=3x1"], "misfit.h5")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("channel CAM2: 3 cells are not what a image channel writes, 3 frames",
                      r.stderr)
        self.assertIn("3x1", r.stderr)
        r = convert(self.pipe, ["--image-shape", "CAM2=3x1", "--strict"], "strict.h5")
        self.assertEqual(r.returncode, 2)
        self.assertIn("does not fit its image shape 3x1", r.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.pipe.dir, "strict.h5")))


class PrecisionTest(unittest.TestCase):
    """Values the table's formats lose, the warnings that name them, and the
    exact round trip with the word of --fti-word."""

    SMALL = [1.5e-9, 0.25, -3e-8, 2.0]     # %f: 0.000000, 0.250000, -0.000000, 2.000000
    PLAIN = [0.5, 1.25, -7.0, 3.0]          # %f keeps these
    ZERO = [0.0, 1.0, 2.0, 3.0]             # a true 0 reads as a lost one would
    ITEMS = [[["p", 0.123456]], [["p", 7.0]], [["p", -1e-20]], [["p", 3.0]]]
    SPECTRUM = [[1.234, 5e-7, 3.0]] * 4

    @classmethod
    def setUpClass(cls):
        events = [{"id": 1 + e, "channels": {
            "SMALL": {"value": cls.SMALL[e]}, "PLAIN": {"value": cls.PLAIN[e]},
            "ZERO": {"value": cls.ZERO[e]},
            "NV": {"items": cls.ITEMS[e]},
            "SP": {"members": [{"values": cls.SPECTRUM[e]}]}}} for e in range(4)]
        text = recording([chan("SMALL", 2), chan("PLAIN", 2), chan("ZERO", 2), chan("NV", 2),
                          chan("SP", 3)], events)
        # The tab dialect: in the comma dialect a single value in the
        # integer form, "[[N]]", also reads as a block or a spectrum.
        cls.lossy = Pipeline(text, ["-xdump"], "tab")
        cls.word = subprocess.run([CONVERTER, "--fti-word", "user_out.txt"], cwd=cls.lossy.dir,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        cls.exact = Pipeline(text, ["-xdump", "-fti", cls.word.stdout.strip()], "tab")
        cut = [{"id": 1 + e, "channels": {"LONG": {"members": [{"values": list(range(150))}]}}}
               for e in range(4)]
        cls.cut = Pipeline(recording([chan("LONG", 3)], cut), ["-xdump"], "tab")

    @classmethod
    def tearDownClass(cls):
        for run in (cls.lossy, cls.exact, cls.cut):
            run.close()

    def test_the_word_flags_every_channel(self):
        self.assertEqual(self.word.returncode, 0, self.word.stderr)
        word = self.word.stdout.strip()
        for name in ("SMALL", "PLAIN", "ZERO", "NV", "SP"):
            self.assertIn(name, word)
        self.assertEqual(len(word), len("SMALLPLAINZERONVSP"))

    def test_lossy_channels_are_named(self):
        f = self.lossy.h5(self)
        err = self.lossy.convert.stderr.decode()
        cases = [  # channel, source_format, exact, lossy, warning, words of the evidence
            ("SMALL", "%f", 0, 1, "lost", ["2 values read as 0.000000 where 2 other events",
                                           "1 value reads as -0.000000"]),
            ("PLAIN", "%f", 0, 0, None, []),
            ("ZERO", "%f", 0, 1, "may have lost", ["1 value reads as 0.000000 where 3 other"]),
            ("NV", "%.2e", 0, 1, "lost", ["%.2e"]),
            ("SP", "%.e", 0, 1, "lost", ["%.e"]),
        ]
        for name, fmt, exact, lossy, warning, evidence in cases:
            with self.subTest(channel=name):
                g = f["entry/channels/" + name]
                self.assertEqual(attr_text(g.attrs["source_format"]), fmt)
                self.assertEqual((int(g.attrs["exact"]), int(g.attrs["lossy"])), (exact, lossy))
                warned = [w for w in ("lost", "may have lost") if
                          "warning: channel %s: values %s precision" % (name, w) in err]
                self.assertEqual(warned, [warning] if warning else [])
                for words in evidence:
                    self.assertIn(words, attr_text(g.attrs["lossy_evidence"]))
        self.assertIn("4 channels' values the table did not keep exactly: SMALL, ZERO, NV, SP",
                      err)
        self.assertIn("-fti ", err)

    def test_the_word_gives_exact_values_without_warning(self):
        f = self.exact.h5(self)
        err = self.exact.convert.stderr.decode()
        self.assertNotIn("warning:", err)
        self.assertIn("0 warnings", err)
        for name, values in (("SMALL", self.SMALL), ("PLAIN", self.PLAIN), ("ZERO", self.ZERO)):
            with self.subTest(channel=name):
                g = f["entry/channels/" + name]
                self.assertEqual(attr_text(g.attrs["source_format"]), "integer form")
                self.assertEqual((int(g.attrs["exact"]), int(g.attrs["lossy"])), (1, 0))
                self.assertEqual([bits(v) for v in g["data"][()]],
                                 [bits(f32(v)) for v in values])
        self.assertEqual([bits(v) for v in f["entry/channels/NV/items/p"][()]],
                         [bits(f32(it[0][1])) for it in self.ITEMS])
        self.assertEqual([bits(v) for v in f["entry/channels/SP/data"][()].reshape(-1)],
                         [bits(f32(v)) for row in self.SPECTRUM for v in row])

    def test_cut_spectra(self):
        # 150 values, 100 written: the description says so; without it the
        # 100 values are noted as possibly cut.
        import h5py
        g = self.cut.h5(self)["entry/channels/LONG"]
        self.assertEqual(int(g["data"].attrs["truncated"]), 1)
        self.assertIn("XML description records members with more values",
                      attr_text(g.attrs["lossy_evidence"]))
        self.assertIn("-dumpall", self.cut.convert.stderr.decode())
        r = convert(self.cut, ["--xml", "none"])
        self.assertEqual(r.returncode, 0, r.stderr)
        with h5py.File(os.path.join(self.cut.dir, "again.h5"), "r") as f:
            g = f["entry/channels/LONG"]
            self.assertIn("exactly 100 values", attr_text(g.attrs["lossy_evidence"]))
            self.assertNotIn("truncated", g["data"].attrs)


class FtiWordTest(unittest.TestCase):
    """--fti-word from a table, a channel listing and an XML description."""

    def run_word(self, name, text):
        import tempfile
        with tempfile.TemporaryDirectory(prefix="korvel-fti-") as tmp:
            with open(os.path.join(tmp, name), "w", encoding="utf-8") as f:
                f.write(text)
            return subprocess.run([CONVERTER, "--fti-word", name], cwd=tmp, text=True,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def test_words(self):
        listing = ("zarn_user_init()==== CHANNELS ==============\n[0] \t A\n[1] \t AB\n"
                   "[2] \t CAM:3\n[3] \t X-1\nzarn_user_init()===== CHANNELS END ==============\n")
        cases = [  # file, text, word, status, named on standard error
            ("t.txt", "EventId,Time,TimeISO,A,AB,BC\n", "ABBC", 0, None),
            ("t.txt", "EventId\tTime\t\t\tLONGER\tLONG\tNG\n", "LONGER", 0, None),
            ("out.txt", listing, "CAM:3AB", 1, "X-1"),
            ("d.xml", '<?xml version="1.0"?>\n<channels>\n  <channel daq_name="Q" desc="" '
             'units=""/>\n  <dimensions name="QQ" num="1"/>\n</channels>\n', "QQ", 0, None),
        ]
        for name, text, word, status, unflagged in cases:
            with self.subTest(text=text):
                r = self.run_word(name, text)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertEqual(r.stdout, word + "\n")
                if unflagged:
                    self.assertIn(unflagged, r.stderr)


if __name__ == "__main__":
    unittest.main()
