#!/usr/bin/python3
"""korvel-look's output directory: an existing directory replaced only when
it holds its report's files and nothing else (checked before the work and
again before the move); a report that cannot be written (a file-size
limit, a place that cannot be made) ends the run with status 1 naming the
file; SIGINT and SIGTERM end it with 130 and 143. Every time the old report
is kept byte for byte and no hidden work directory is left.

Needs KORVEL_LOOK, KORVEL_REPLAY, KORVEL_H5 (CTest sets them); Debian's
/usr/bin/python3 (h5py)."""

import json
import os
import resource
import shutil
import signal
import subprocess
import time
import unittest

from look_common import LOOK, Run, look, recording, report_json
from look_input import small_run


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


if __name__ == "__main__":
    unittest.main()
