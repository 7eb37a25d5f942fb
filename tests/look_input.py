#!/usr/bin/python3
"""korvel-look on input it cannot report on, and on files with parts
missing: one line `korvel-look: FILE: what` and status 2 for a missing
file, a file that is not HDF5 or not korvel-h5's, a damaged one, an unknown
layout version and unusable options; a page with a note for a channel
without data; an existing directory replaced only when it holds a report
and nothing else; a report that cannot be written (a file-size limit) and
signals end the run with nothing left behind. Also --help, --version and
the progress line.

Needs KORVEL_LOOK, KORVEL_REPLAY, KORVEL_H5 (CTest sets them); Debian's
/usr/bin/python3 (h5py)."""

import json
import os
import re
import resource
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import h5py
import numpy as np

from look_common import LOOK, Run, look, recording, report_json, report_of


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


def make_entries(directory, entries):
    """Creates the files named in entries under directory ("sub/x" makes
    the subdirectory too), each holding "keep"."""
    for e in entries:
        path = os.path.join(directory, e)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write("keep")


def tree(directory):
    """Every file under directory with its contents, for before and after."""
    found = {}
    for top, _, files in os.walk(directory):
        for name in files:
            path = os.path.join(top, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, directory)] = f.read()
    return found


def hidden(directory):
    return sorted(n for n in os.listdir(directory) if n.startswith("."))


class OutputDirectoryTest(unittest.TestCase):
    """The default directory, a report replaced, anything else kept."""

    def setUp(self):
        # A value channel and a spectrum: quick to draw, two figures.
        events = [{"id": e, "time": [100 + e, 0], "channels": {
            "V": {"value": e + 0.5}, "S": {"members": [{"values": [1, 2]}]}}} for e in range(3)]
        self.run = Run(recording([("V", 2), ("S", 3)], events))
        self.addCleanup(self.run.close)
        self.assertTrue(self.run.ok, self.run.why)

    def test_default_and_replaced(self):
        status, stdout, stderr = look(["run.h5"], cwd=self.run.dir)
        self.assertEqual(status, 0, stderr)
        out = os.path.join(self.run.dir, "run.look")
        self.assertEqual(stdout, "korvel-look: report in run.look/index.html\n")
        self.assertIn("spectrum-1.png", os.listdir(out))
        self.assertEqual(report_json(out)["files"], sorted(os.listdir(out)))
        # The report of V alone replaces it: the spectrum's figure goes
        # with the old report.
        status, _, stderr = look(["run.h5", "--channels", "V"], cwd=self.run.dir)
        self.assertEqual(status, 0, stderr)
        self.assertNotIn("spectrum-1.png", os.listdir(out))
        self.assertEqual(report_json(out)["files"], sorted(os.listdir(out)))
        self.assertEqual(hidden(self.run.dir), [])

    def test_replaced_only_when_it_holds_nothing_else(self):
        """(name, a report in it first, entries added, how it is refused or
        None when it is replaced)."""
        foreign = "holds %s the report did not write (%s); not replaced"
        cases = (
            ("notes", False, ["notes.txt"], "exists and does not hold a report; not replaced"),
            ("site", False, ["index.html", "precious.txt", "sub/data.bin"],
             "exists and does not hold a report; not replaced"),
            ("precious", True, ["precious.txt"], foreign % ("1 entry", "precious.txt")),
            ("subdir", True, ["precious.txt", "sub/data.bin"],
             foreign % ("2 entries", "precious.txt, sub")),
            ("older", True, [], None),
            ("older_precious", True, ["precious.txt"], foreign % ("1 entry", "precious.txt")),
        )
        status, _, stderr = look(["run.h5", "-o", "first"], cwd=self.run.dir)
        self.assertEqual(status, 0, stderr)
        for name, report_first, entries, refusal in cases:
            with self.subTest(name):
                out = os.path.join(self.run.dir, name)
                if report_first:
                    shutil.copytree(os.path.join(self.run.dir, "first"), out)
                if name.startswith("older"):
                    self.forget_files(out)
                make_entries(out, entries)
                before = tree(out)
                status, _, stderr = look(["run.h5", "-o", name], cwd=self.run.dir)
                if refusal is None:
                    self.assertEqual(status, 0, stderr)
                    self.assertIn("files", report_json(out))
                else:
                    self.assertEqual(status, 2)
                    self.assertEqual(stderr, "korvel-look: %s: %s\n" % (name, refusal))
                    self.assertEqual(tree(out), before)
                self.assertEqual(hidden(self.run.dir), [])

    @staticmethod
    def forget_files(out):
        """Makes the report at out one of a korvel-look that did not list
        its files in report.json."""
        path = os.path.join(out, "report.json")
        with open(path, encoding="utf-8") as f:
            rep = json.load(f)
        del rep["files"]
        with open(path, "w", encoding="utf-8") as f:
            json.dump(rep, f)

    def test_refused_places(self):
        with open(os.path.join(self.run.dir, "plain"), "w") as f:
            f.write("keep")
        os.symlink("elsewhere", os.path.join(self.run.dir, "link"))
        status, _, stderr = look(["run.h5", "-o", "here"], cwd=self.run.dir)
        self.assertEqual(status, 0, stderr)
        here = os.path.join(self.run.dir, "here")
        before = tree(here)
        cases = ((self.run.dir, "plain", "plain: exists and is not a directory"),
                 (self.run.dir, "link", "link: exists and is not a directory"),
                 (here, ".", ".: is the current directory or holds it"),
                 (os.path.join(here, "."), "..", "..: is the current directory or holds it"))
        for cwd, out, says in cases:
            with self.subTest(out):
                status, _, stderr = look([self.run.h5, "-o", out], cwd=cwd)
                self.assertEqual(status, 2)
                self.assertTrue(stderr.startswith("korvel-look: " + says), stderr)
                self.assertEqual(stderr.count("\n"), 1, stderr)
        self.assertEqual(tree(here), before)
        self.assertEqual(hidden(self.run.dir), [])
        # -o .. from here would have worked beside the run's directory.
        top, name = os.path.split(self.run.dir)
        self.assertEqual([n for n in hidden(top) if n.startswith("." + name + ".")], [])


class WriteFailureTest(unittest.TestCase):
    """A file of the report that cannot be written ends the run (status 1,
    the file named), the old report kept; a figure is not dropped with a
    note as if its channel could not be read."""

    def test_file_size_limit(self):
        run = small_run()
        self.addCleanup(run.close)
        self.assertTrue(run.ok, run.why)
        out = os.path.join(run.dir, "look")
        status, _, stderr = look([run.h5, "-o", out])
        self.assertEqual(status, 0, stderr)
        sizes = {n: os.path.getsize(os.path.join(out, n)) for n in os.listdir(out)}
        largest = max(sizes, key=sizes.get)
        before = tree(out)
        # Every file of the same report fits under the limit but the largest.
        limit = sizes[largest] - 1

        def limited():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        res = subprocess.run([LOOK, run.h5, "-o", out], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, preexec_fn=limited)
        stderr = res.stderr.decode()
        self.assertEqual(res.returncode, 1, stderr)
        self.assertEqual(stderr, "korvel-look: %s: File too large; no report written\n"
                         % os.path.join(out, largest))
        self.assertEqual(tree(out), before)
        self.assertEqual(hidden(run.dir), [])

    def test_place_that_cannot_be_made(self):
        run = small_run()
        self.addCleanup(run.close)
        self.assertTrue(run.ok, run.why)
        out = os.path.join(run.dir, "absent", "look")
        status, _, stderr = look([run.h5, "-o", out])
        self.assertEqual(status, 1, stderr)
        self.assertEqual(stderr, "korvel-look: %s: No such file or directory; no report written\n"
                         % out)


class DuringTheRunTest(unittest.TestCase):
    """What happens while a report is made: SIGINT and SIGTERM end the run
    with status 130 and 143, a file saved into the old report meanwhile
    keeps it from being replaced; either way the work directory is removed
    and the old report kept."""

    def test_signals_and_a_file_saved_meanwhile(self):
        channels = [("V%02d" % k, 2) for k in range(60)]
        events = [{"id": e, "time": [100 + e, 0],
                   "channels": {n: {"value": e * k} for k, (n, _) in enumerate(channels)}}
                  for e in range(200)]
        run = Run(recording(channels, events))
        self.addCleanup(run.close)
        self.assertTrue(run.ok, run.why)
        out = os.path.join(run.dir, "look")
        status, _, stderr = look([run.h5, "-o", out])
        self.assertEqual(status, 0, stderr)
        before = tree(out)

        def save_a_file(_):
            make_entries(out, ["precious.txt"])
        cases = (("SIGTERM", lambda p: p.send_signal(signal.SIGTERM), 143,
                  "terminated; no report written", {}),
                 ("SIGINT", lambda p: p.send_signal(signal.SIGINT), 130,
                  "interrupted; no report written", {}),
                 ("saved", save_a_file, 2,
                  "%s: holds 1 entry the report did not write (precious.txt); not replaced" % out,
                  {"precious.txt": b"keep"}))
        for name, act, status, says, added in cases:
            with self.subTest(name):
                proc = subprocess.Popen([LOOK, run.h5, "-o", out], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
                self.assertTrue(wait_for_work(run.dir, proc), "no work directory seen")
                act(proc)
                _, stderr = proc.communicate(timeout=60)
                self.assertEqual(proc.returncode, status, stderr)
                self.assertEqual(stderr.decode(), "korvel-look: %s\n" % says)
                self.assertEqual(tree(out), dict(before, **added))
                self.assertEqual(hidden(run.dir), [])


def wait_for_work(directory, proc):
    """Waits until proc has made its hidden work directory in directory;
    False when it ended first."""
    while proc.poll() is None:
        if any(n.startswith(".look.") for n in os.listdir(directory)):
            return True
        time.sleep(0.005)
    return False


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
