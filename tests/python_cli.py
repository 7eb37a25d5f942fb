"""korvel-ls on a run (text and JSON, worked out by hand from the
recording), on files it must refuse (status 2, one line naming the file);
the package's version is the project's; the README's section "Analysis in
Python" runs as it stands."""

import json
import os
import re
import subprocess
import sys

import h5py
import numpy as np
import psutil
import pytest

import python_common as pc
import korvel

LS = os.environ.get("KORVEL_LS", os.path.join(pc.PACKAGE_DIR, "korvel-ls"))


def ls(*args):
    res = subprocess.run([LS] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         stdin=subprocess.DEVNULL)
    return res.returncode, res.stdout.decode(), res.stderr.decode()


@pytest.fixture(scope="module")
def run_path(tmp_path_factory):
    return pc.make_run(tmp_path_factory.mktemp("ls"))


def test_listing_as_json(run_path):
    status, out, err = ls(run_path, "--json")
    assert status == 0, err
    s = json.loads(out)
    # Events 10..15 without 14; 12 cut short; 4.75 s from first to last.
    assert {k: s[k] for k in ("events", "cut_rows", "first_event_id", "last_event_id",
                              "start_time", "end_time", "duration_s", "layout_version")} == \
        {"events": 5, "cut_rows": 1, "first_event_id": 10, "last_event_id": 15,
         "start_time": "2026-12-07T14:35:23.500000Z", "end_time": "2026-12-07T14:35:28.250000Z",
         "duration_s": 4.75, "layout_version": 2}
    assert s["rate_hz"] == pytest.approx(4 / 4.75)
    ch = {c["name"]: c for c in s["channels"]}
    assert {n: c["with_data"] for n, c in ch.items()} == {
        "RUN/MARKER": 2, "BPM/X": 4, "BPM/Y": 3, "MAGNETS": 2, "SPECT/ADC": 2,
        "CAM/A": 3, "CAM/B:1": 1, "EQ/TEMP": 0}
    # Event 12 was cut by BPM/Y's failed query.
    assert ch["BPM/Y"]["states"] == {"data": 3, "none": 1, "cut_here": 1}
    assert (ch["BPM/X"]["units"], ch["CAM/A"]["shape"], ch["CAM/B:1"]["dtype"],
            ch["SPECT/ADC"]["shape"], ch["MAGNETS"]["shape"]) == \
        ("mm", [2, 3], "uint16", [2, 4], [2])


def test_listing_as_text_with_a_pattern(run_path):
    status, out, err = ls(run_path, "--channels", "BPM/*,MAGNETS/Q1")
    assert status == 0, err
    lines = out.splitlines()
    assert "events      5" in lines and "cut short   1 rows" in lines
    rows = [l.split() for l in lines if l.startswith("  ") and "%" in l and "name" not in l]
    assert [(r[0], r[1], r[-2]) for r in rows] == [
        ("BPM/X", "value", "80.0"), ("BPM/Y", "value", "60.0"), ("MAGNETS/Q1", "item", "40.0")]


def refused(tmp_path, how):
    path = str(tmp_path / ("%s.h5" % how))
    if how == "text":
        open(path, "w").write("EventId,Time\n")
        return path, "not an HDF5 file"
    if how == "foreign":
        h5py.File(path, "w").attrs["creator"] = "someone"
        return path, "not a korvel-h5 file"
    if how == "missing":
        return path, "no such file"
    path = pc.make_run(tmp_path)
    with h5py.File(path, "r+") as f:
        f.attrs["layout_version"] = np.int32(3)
    return path, "layout version 3 is not known"


@pytest.mark.parametrize("how", ["text", "foreign", "missing", "version"])
def test_a_file_that_is_not_the_converters_gives_status_2(tmp_path, how):
    path, words = refused(tmp_path, how)
    status, out, err = ls(path)
    assert status == 2 and out == ""
    assert err.count("\n") == 1 and err.startswith("korvel-ls: %s: " % path) and words in err


def test_a_pattern_without_a_channel_gives_status_2(run_path):
    status, _, err = ls(run_path, "--channels", "NOPE")
    assert status == 2 and "no channel matches 'NOPE'" in err


def project_version():
    text = open(os.path.join(pc.ROOT, "CMakeLists.txt"), encoding="utf-8").read()
    return re.search(r"project\(korvel VERSION ([0-9.]+)", text).group(1)


def test_versions_agree_with_the_project():
    version = project_version()
    assert ls("--version")[1].strip() == "korvel-ls " + version
    out = subprocess.run([sys.executable, "-m", "korvel", "--version"], stdout=subprocess.PIPE,
                         env=dict(os.environ, PYTHONPATH=os.path.dirname(
                             os.path.dirname(korvel.__file__)))).stdout.decode()
    assert out.strip() == "korvel " + version
    pyproject = open(os.path.join(pc.ROOT, "python", "pyproject.toml"), encoding="utf-8").read()
    assert re.search(r'^version = "([0-9.]+)"', pyproject, re.M).group(1) == version


def readme_blocks():
    readme = open(os.path.join(pc.ROOT, "README.md"), encoding="utf-8").read()
    section = re.search(r"^## Analysis in Python\n(.*?)(?=^## )", readme, re.S | re.M).group(1)
    return re.findall(r"```python\n(.*?)```", section, re.S)


def test_readme_section_runs_as_it_stands(tmp_path, monkeypatch):
    """The section's blocks run in order in one scope, in a directory
    holding two runs of the recording (run1.h5, run2.h5); their results
    are checked against the recording."""
    blocks = readme_blocks()
    assert blocks, "no Python block in the README's section"
    for b in blocks:
        code = [l for l in b.splitlines() if l.strip() and not l.startswith(("import ", "from "))]
        assert len(code) <= 3, b
    for name in ("run1", "run2"):
        pc.make_run(tmp_path, name)
    monkeypatch.chdir(tmp_path)
    here = os.getpid()
    before = {p.pid for p in psutil.Process(here).children(recursive=True)}
    scope = {}
    try:
        for b in blocks:
            exec(compile(b, "README.md", "exec"), scope)
    finally:
        for name in ("client", "cluster"):
            if name in scope:
                scope[name].close()
        left = [p for p in psutil.Process(here).children(recursive=True)
                if p.pid not in before and "spawn_main" in " ".join(p.cmdline())]
        for p in left:
            p.kill()
    assert not left
    check_readme_results(scope)


def check_readme_results(s):
    assert list(s["both"].events.index) == [10, 15]
    assert s["r"] == pytest.approx(np.corrcoef([-0.125, 0.25], [4, 8.5])[0, 1])
    np.testing.assert_array_equal(s["frame"].values, [[5.5, 6, 6.5], [12, 12.5, 13]])
    np.testing.assert_array_equal(s["spectrum"].values, [[1, 2, 3, 2], [5, 6, 7, 8]])
    assert list(s["cut"].index) == [12]
    assert list(s["df"].columns[:3]) == ["time", "BPM/X", "BPM/Y"]
    assert len(s["joined"]) == 2 * len(pc.IDS)
    assert s["means"] == [pytest.approx(np.mean([-0.125, 1.5, 2.5, 0.25]))] * 2
