"""Shared by the korvel-look tests: runs made in a temporary directory from a
recording (korvel-replay, then korvel-h5), and korvel-look run on them.

Needs KORVEL_LOOK, KORVEL_REPLAY, KORVEL_H5 (and optionally KORVEL_PLUGIN)
in the environment; CTest sets them. Run with Debian's /usr/bin/python3."""

import json
import os
import subprocess
import tempfile

LOOK = os.environ.get("KORVEL_LOOK")
REPLAY = os.environ.get("KORVEL_REPLAY")
CONVERTER = os.environ.get("KORVEL_H5")
PLUGIN = os.environ.get("KORVEL_PLUGIN")


def recording(channels, events):
    """The JSON Lines text of a recording: channels as (name, data type)."""
    header = {"format": "korvel-recording", "version": 1,
              "channels": [{"name": n, "type": t} for n, t in channels]}
    return "".join(json.dumps(line) + "\n" for line in [header] + events)


class Run:
    """A directory holding run.h5, converted from a recording; .ok says
    whether both steps succeeded, .why what failed."""

    def __init__(self, text, words=("-hdf5", "-xdump"), options=()):
        self.tmp = tempfile.TemporaryDirectory(prefix="korvel-look-")
        self.dir = self.tmp.name
        self.h5 = os.path.join(self.dir, "run.h5")
        with open(os.path.join(self.dir, "run.jsonl"), "w", encoding="utf-8") as f:
            f.write(text)
        cmd = [REPLAY, "--no-progress"] + (["--plugin", PLUGIN] if PLUGIN else [])
        replay = subprocess.run(cmd + ["run.jsonl", "--"] + list(words), cwd=self.dir,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        convert = subprocess.run([CONVERTER, "--no-progress"] + list(options)
                                 + ["user_out.txt", "-o", "run.h5"], cwd=self.dir,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.ok = convert.returncode == 0 and os.path.exists(self.h5)
        self.why = (replay.stderr + convert.stderr).decode(errors="replace")

    def close(self):
        self.tmp.cleanup()


def look(args, cwd=None):
    """Runs korvel-look with args; returns (status, stdout, stderr) as text."""
    res = subprocess.run([LOOK] + list(args), cwd=cwd, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    return res.returncode, res.stdout.decode(errors="replace"), res.stderr.decode(errors="replace")


def report_json(out_dir):
    with open(os.path.join(out_dir, "report.json"), encoding="utf-8") as f:
        return json.load(f)


def report_of(test, channels, events, name="look"):
    """The report of a run of these channels and events, made in the run's
    directory as `name`; the run is closed when the test ends. Returns the
    Run and the report's directory."""
    run = Run(recording(channels, events))
    test.addCleanup(run.close)
    test.assertTrue(run.ok, run.why)
    out = os.path.join(run.dir, name)
    status, _, stderr = look([run.h5, "-o", out])
    test.assertEqual(status, 0, stderr)
    return run, out
