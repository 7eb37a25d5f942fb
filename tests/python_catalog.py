"""korvel-ls --catalog on run directories made by hand: the status and
reason each marker and log gives, hostile names and files, the command
line. (The catalogue of real runs is checked by workflow_runs.py.)"""

import csv
import os
import shutil
import subprocess

import h5py
import numpy as np
import pytest

import python_common as pc
from korvel import _catalog

LS = os.environ.get("KORVEL_LS", os.path.join(pc.PACKAGE_DIR, "korvel-ls"))


@pytest.mark.parametrize("lines, reason", [
    # warnings and the count of replayed events come before the cause
    (["runs/x.jsonl:2: image.pixels: 3 bytes, fewer than len 6; zero-padded",
      "korvel-replay: 1 event replayed",
      "korvel-replay: an output of the plug-in failed: event table file t.csv: No space"],
     "korvel-replay: an output of the plug-in failed: event table file t.csv: No space"),
    (["korvel-h5: t.csv:4: warning: cell not understood", "", "korvel-h5: t.csv: no header"],
     "korvel-h5: t.csv: no header"),
    # a Python program that crashed: the exception, not "Traceback"
    (["Traceback (most recent call last):", '  File "x.py", line 1', "MemoryError: big"],
     "MemoryError: big"),
    (["korvel-h5: t.csv:4: warning: cell not understood"], None),
    ([], None),
])
def test_reason_line(lines, reason):
    assert _catalog.reason_line(lines) == reason


def make_run(out, key, files):
    """out/key/ with log/ and the given {relative path: bytes}."""
    os.makedirs(os.path.join(out, key, "log"))
    for rel, data in files.items():
        path = os.path.join(out, key, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


@pytest.mark.parametrize("files, status, reason", [
    ({"log/failed": b"h5 2\n", "log/h5.log": b"korvel-h5: t.csv: not a table\n"},
     "failed", "h5: korvel-h5: t.csv: not a table"),
    # killed without a word (out of memory on a batch node)
    ({"log/failed": b"look 137\n", "log/look.log": b""}, "failed", "look: killed by signal 9"),
    # a damaged marker names no file outside the log directory
    ({"log/failed": b"../../x 1\n"}, "failed", "unknown: exited with status 1 and said nothing"),
    # a reason is one line of printable text
    ({"log/failed": b"h5 2\n", "log/h5.log": b"bad \x1b[31m\xff name\n"},
     "failed", "h5: bad  [31m\ufffd name"),
    # never done without the marker of a complete report, nor without its files
    ({"k.look/index.html": b"", "log/h5.log": b""}, "incomplete",
     "not finished: k.h5 missing"),
    ({"log/done": b"", "k.look/index.html": b""}, "incomplete", "not finished: k.h5 missing"),
    # a file that is not korvel-h5's: failed, never done
    ({"log/done": b"", "k.look/index.html": b"", "k.h5": b"not hdf5"}, "failed",
     "catalogue: "),
])
def test_status_and_reason(tmp_path, files, status, reason):
    make_run(tmp_path, "k", files)
    row = _catalog.run_row(str(tmp_path), "k")
    assert row["status"] == status
    assert row["reason"].startswith(reason) and (reason.endswith(": ") or row["reason"] == reason)


def mark_lossy(path, marks):
    """Sets the lossy attribute of the channels of the file named in marks."""
    with h5py.File(path, "r+") as f:
        titles = [t.decode() for t in f["entry/channel_table/title"][()]]
        groups = [g.decode() for g in f["entry/channel_table/group"][()]]
        for title, value in marks.items():
            f["entry/channels/" + groups[titles.index(title)]].attrs["lossy"] = value


@pytest.mark.parametrize("marks, status, lossy, reason", [
    # the converter's own marks: a block's items written %.2e, a spectrum's %.e
    ({}, "done", "MAGNETS, SPECT/ADC", ""),
    # in the channel table's order; a mark of 0 is no mark
    ({"SPECT/ADC": np.uint8(1), "MAGNETS": np.uint8(0), "BPM/Y": np.uint8(1)}, "done",
     "BPM/Y, SPECT/ADC", ""),
    # a damaged mark fails the run's row, naming the channel
    ({"BPM/Y": "yes"}, "failed", "",
     "catalogue: {out}/k/k.h5: damaged: the lossy attribute of channel BPM/Y is not one "
     "integer"),
    ({"BPM/Y": np.array([1, 1], dtype=np.uint8)}, "failed", "",
     "catalogue: {out}/k/k.h5: damaged: the lossy attribute of channel BPM/Y is not one "
     "integer"),
])
def test_lossy_channels(tmp_path, marks, status, lossy, reason):
    out = str(tmp_path / "out")
    make_run(out, "k", {"log/done": b"", "k.look/index.html": b""})
    h5 = os.path.join(out, "k", "k.h5")
    shutil.move(pc.make_run(tmp_path, "k"), h5)
    mark_lossy(h5, marks)
    row = _catalog.run_row(out, "k")
    assert (row["status"], row["lossy_channels"], row["reason"]) == (
        status, lossy, reason.format(out=out))


def test_hostile_key_is_quoted_in_links_and_escaped_in_text(tmp_path):
    key = 'a#b?<i>"&%'
    make_run(tmp_path, key, {key + ".look/index.html": b"", "log/done": b""})
    assert ls("--catalog", str(tmp_path))[0] == 0
    page = (tmp_path / "runs.html").read_text()
    assert '<a href="a%23b%3F%3Ci%3E%22%26%25/' in page
    assert "<td>a#b?&lt;i&gt;&quot;&amp;%</td>" in page
    with open(tmp_path / "runs.csv", newline="") as f:
        assert [r["run"] for r in csv.DictReader(f)] == [key]


def ls(*args):
    res = subprocess.run([LS] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return res.returncode, res.stderr.decode()


@pytest.mark.parametrize("args, message", [
    ([], "give either a run's file or --catalog DIR"),
    (["x.h5", "--catalog", "."], "give either a run's file or --catalog DIR"),
    (["--catalog", "/nonexistent/out"], "/nonexistent/out: cannot list the directory"),
])
def test_command_line_refusals(args, message):
    status, err = ls(*args)
    assert status == 2 and message in err
