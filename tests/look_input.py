#!/usr/bin/python3
"""korvel-look on input it cannot report on, and on files with parts
missing: one line `korvel-look: FILE: what` and status 2 for a missing
file, a file that is not HDF5 or not korvel-h5's, a damaged one, an unknown
layout version and unusable options; a page with a note for a channel
without data. Also --help, --version and the progress line.

Needs KORVEL_LOOK, KORVEL_REPLAY, KORVEL_H5 (CTest sets them); Debian's
/usr/bin/python3 (h5py)."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

import h5py
import numpy as np

from look_common import Run, look, recording, report_json, report_of


def small_run():
    """Three events of a value channel V, a spectrum S and a camera C."""
    events = [{"id": e, "time": [100 + e, 0], "channels": {
        "V": {"value": e + 0.5}, "S": {"members": [{"values": [1, 2]}]},
        "C": {"image": {"width": 2, "height": 2, "pixels": "01020304"}}}} for e in range(3)]
    return Run(recording([("V", 2), ("S", 3), ("C", 4)], events))


class RefusedInputTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="korvel-look-in-")
        cls.dir = cls.tmp.name
        cls.pipeline = small_run()

    @classmethod
    def tearDownClass(cls):
        cls.pipeline.close()
        cls.tmp.cleanup()

    def refused(self, path, what, *options):
        """korvel-look on path exits 2 with the one line path: what..., and
        writes no report."""
        out = os.path.join(self.dir, "never.look")
        status, stdout, stderr = look([path, "-o", out] + list(options))
        self.assertEqual(status, 2, stderr)
        self.assertEqual(stdout, "")
        self.assertEqual(stderr.count("\n"), 1, stderr)
        self.assertTrue(stderr.startswith("korvel-look: %s: %s" % (path, what)), stderr)
        self.assertFalse(os.path.exists(out))
        self.assertEqual([n for n in os.listdir(self.dir) if n.startswith(".never")], [])

    def copy(self, name):
        self.assertTrue(self.pipeline.ok, self.pipeline.why)
        path = os.path.join(self.dir, name)
        shutil.copy(self.pipeline.h5, path)
        return path

    def test_missing_file(self):
        self.refused(os.path.join(self.dir, "absent.h5"), "no such file")

    def test_not_hdf5(self):
        path = os.path.join(self.dir, "table.h5")
        with open(path, "w") as f:
            f.write("EventId,Time,TimeISO,V\n")
        self.refused(path, "not an HDF5 file")

    def test_hdf5_of_someone_else(self):
        path = os.path.join(self.dir, "other.h5")
        with h5py.File(path, "w") as f:
            f["entry/event/id"] = [1, 2]
        self.refused(path, "not a korvel-h5 file (no layout_version attribute")

    def test_layout_version_unknown(self):
        path = self.copy("v3.h5")
        with h5py.File(path, "r+") as f:
            f.attrs["layout_version"] = 3
        self.refused(path, "layout version 3 is not known (korvel-look reads versions 1 and 2)")

    def test_converter_file_without_event_table(self):
        path = self.copy("noevents.h5")
        with h5py.File(path, "r+") as f:
            del f["entry/event/time"]
        self.refused(path, "not a korvel-h5 file (/entry/event/time is missing)")

    def test_damaged_files(self):
        def text_present(f):
            del f["entry/channels/V/present"]
            f["entry/channels/V/present"] = np.array([b"1", b"x", b"1"])

        def nan_times(f):
            f["entry/event/time"][...] = np.nan

        def link_loop(f):
            del f["entry/channels/V"]
            f["entry/channels/V"] = h5py.SoftLink("/entry/channels/W")
            f["entry/channels/W"] = h5py.SoftLink("/entry/channels/V")

        cases = (("text_present", text_present,
                  "damaged: /entry/channels/V/present holds |S1, not presence codes"),
                 ("nan_times", nan_times, "damaged: /entry/event/time is nan at row 0"),
                 ("link_loop", link_loop, "damaged: /entry/channels/V cannot be opened ("))
        for name, damage, what in cases:
            with self.subTest(name):
                path = self.copy(name + ".h5")
                with h5py.File(path, "r+") as f:
                    damage(f)
                self.refused(path, what)

    def test_unusable_options(self):
        path = self.copy("options.h5")
        for args, what in ((["--events", "5:9"], "--events 5:9: no events in that range"),
                           (["--events", "x"], "--events x: expected FIRST:LAST"),
                           (["--channels", "NOPE*"], "--channels NOPE*: no channel")):
            status, _, stderr = look([path] + args)
            self.assertEqual(status, 2, stderr)
            self.assertEqual(stderr, "korvel-look: " + what + stderr[len(what) + 13:])
            self.assertEqual(stderr.count("\n"), 1, stderr)
        status, _, stderr = look([])
        self.assertEqual(status, 2)
        self.assertIn("korvel-look --help", stderr)


class DamagedChannelsTest(unittest.TestCase):
    """Channels that lost their data still get the page, with a note."""

    def test_notes_instead_of_errors(self):
        run = small_run()
        self.addCleanup(run.close)
        self.assertTrue(run.ok, run.why)
        with h5py.File(run.h5, "r+") as f:
            del f["entry/channels/V/data"]
            del f["entry/channels/S"]
            del f["entry/channels/C/present"]
        out = os.path.join(run.dir, "look")
        status, _, stderr = look([run.h5, "-o", out])
        self.assertEqual(status, 0, stderr)
        notes = {c["title"]: c["notes"] for c in report_json(out)["channels"]}
        self.assertEqual(notes["V"], ["no data dataset"])
        self.assertEqual(notes["S"], ["its group /entry/channels/S is missing from the file"])
        self.assertEqual(notes["C"], ["no usable present dataset"])
        with open(os.path.join(out, "index.html"), encoding="utf-8") as f:
            page = f.read()
        for n in notes.values():
            self.assertIn(n[0], page)

    def test_camera_frames_of_another_shape(self):
        for shape in ((3,), (3, 2, 2, 1)):
            with self.subTest(shape=shape):
                run = small_run()
                self.addCleanup(run.close)
                self.assertTrue(run.ok, run.why)
                with h5py.File(run.h5, "r+") as f:
                    del f["entry/channels/C/data"]
                    f["entry/channels/C/data"] = np.ones(shape, dtype=np.uint8)
                out = os.path.join(run.dir, "look")
                status, _, stderr = look([run.h5, "-o", out])
                self.assertEqual(status, 0, stderr)
                rep = report_json(out)
                notes = {c["title"]: c["notes"] for c in rep["channels"]}
                self.assertEqual(notes["C"], ["data dataset of unexpected shape %s" % (shape,)])
                self.assertEqual(rep["cameras"], [])

    def test_run_without_events(self):
        _, out = report_of(self, [("V", 2)], [])
        rep = report_json(out)
        self.assertEqual(rep["summary"]["events"], 0)
        self.assertEqual([c["title"] for c in rep["channels"]], ["V"])
        with open(os.path.join(out, "index.html"), encoding="utf-8") as f:
            self.assertIn("no events", f.read())


class CommandLineTest(unittest.TestCase):

    def test_help_and_version(self):
        for flag in ("--help", "-h"):
            status, stdout, _ = look([flag])
            self.assertEqual(status, 0)
            self.assertTrue(stdout.startswith("usage: korvel-look RUN.h5"), stdout)
            self.assertIn("--events FIRST:LAST", stdout)
            self.assertIn("--ids FIRST:LAST", stdout)
        status, stdout, _ = look(["--version"])
        self.assertEqual(status, 0)
        self.assertRegex(stdout, r"^korvel-look \d+\.\d+\.\d+\n$")
        # The source tree's copy, whose package CMake has not configured,
        # knows the project's version as well.
        source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "look",
                              "korvel-look")
        res = subprocess.run([source, "--version"], stdout=subprocess.PIPE, check=True)
        self.assertEqual(res.stdout.decode(), stdout)

    def test_progress_only_when_asked(self):
        run = small_run()
        self.addCleanup(run.close)
        self.assertTrue(run.ok, run.why)
        status, _, stderr = look([run.h5, "-o", os.path.join(run.dir, "a")])
        self.assertEqual((status, stderr), (0, ""))
        status, _, stderr = look([run.h5, "-o", os.path.join(run.dir, "b"), "--progress"])
        self.assertEqual(status, 0, stderr)
        self.assertTrue(re.search(r"\rkorvel-look: channel 1/3 V", stderr), repr(stderr))


if __name__ == "__main__":
    unittest.main()
