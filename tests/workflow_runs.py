"""The workflow (workflow/Snakefile) on four small runs, one of them broken:
locally with snakemake --cores 2 (always), and on a single-node Slurm
started by scripts/slurm-local.sh (when it can start here; otherwise the
test says why and skips only that part). Checks the outputs, the catalogue
(numbers worked out by hand from the recordings below), that the broken
run's failure and reason are reported while the others finish, and that
fixing it redoes that run alone.

Needs KORVEL_BUILD (the build directory); CTest sets it.
Run with Debian's /usr/bin/python3 -m pytest.
"""

import csv
import json
import os
import re
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("KORVEL_BUILD", os.path.join(ROOT, "build"))
SNAKEFILE = os.path.join(ROOT, "workflow", "Snakefile")
SLURM_LOCAL = os.path.join(ROOT, "scripts", "slurm-local.sh")
T0 = 1796654123                       # 2026-12-07T14:35:23Z

HEADER = {"format": "korvel-recording", "version": 1, "channels": [{"name": "X"}]}
# Events 7, 8 and 9 over 4 s; event 8's server block cannot be read, so
# its row is cut short.
GOOD = [{"id": 7, "time": [T0, 0], "channels": {"X": {"value": 1.5}}},
        {"id": 8, "time": [T0 + 2, 500000], "channels": {"X": {"value": 3,
                                                               "block": {"fail": True}}}},
        {"id": 9, "time": [T0 + 4, 0], "channels": {"X": {"value": 2}}}]
GOOD_ROW = {"events": "3", "first_event_id": "7", "last_event_id": "9",
            "start_time": "2026-12-07T14:35:23.000000Z",
            "end_time": "2026-12-07T14:35:27.000000Z", "rate_hz": "0.5",
            "channels": "1", "cut_rows": "1", "lossy_channels": ""}


def write_recording(path, events, broken_line=None):
    lines = [json.dumps(HEADER)] + [json.dumps(e) for e in events]
    if broken_line is not None:
        lines.insert(broken_line - 1, '{"id": 5, "time": [')
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def make_runs(runs):
    """a, b-1: recordings; c: a table with its XML description, written by
    a replay as a reader would; d: a recording whose line 3 is cut off."""
    os.makedirs(runs)
    write_recording(os.path.join(runs, "a.jsonl"), GOOD)
    write_recording(os.path.join(runs, "b-1.jsonl"), GOOD)
    write_recording(os.path.join(runs, "c.rec"), GOOD)
    subprocess.run([os.path.join(BUILD, "korvel-replay"), "c.rec", "--", "-hdf5", "-out",
                    "c.csv", "-xdump", "c.xml"], cwd=runs, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.remove(os.path.join(runs, "c.rec"))
    write_recording(os.path.join(runs, "d.jsonl"), GOOD, broken_line=3)


def snakemake(tmp, *extra, env=None):
    cmd = ["snakemake", "-s", SNAKEFILE, "--keep-going", "--config", "runs=runs", "out=out",
           "build=" + BUILD] + list(extra)
    res = subprocess.run(cmd, cwd=tmp, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         env=env, timeout=600)
    return res.returncode, res.stdout.decode(errors="replace")


def catalogue(tmp):
    with open(os.path.join(tmp, "out", "runs.csv"), newline="") as f:
        return {r["run"]: r for r in csv.DictReader(f)}


def check_outputs(tmp, status, log):
    """Three runs done with the hand-worked numbers; d failed at its replay
    with the recording error as reason, no HDF5 file made of what the
    plug-in wrote before the error, its log kept."""
    assert status != 0, log
    rows = catalogue(tmp)
    assert sorted(rows) == ["a", "b-1", "c", "d"]
    for key in ("a", "b-1", "c"):
        assert rows[key]["status"] == "done", rows[key]
        assert {k: rows[key][k] for k in GOOD_ROW} == GOOD_ROW
        assert rows[key]["report"] == "%s/%s.look/index.html" % (key, key)
        assert os.path.isfile(os.path.join(tmp, "out", rows[key]["report"]))
    d = rows["d"]
    assert d["status"] == "failed" and d["file"] == "" and d["report"] == ""
    assert re.match(r"replay: .*d\.jsonl:3: ", d["reason"]), d["reason"]
    assert not os.path.exists(os.path.join(tmp, "out", "d", "d.h5"))
    assert os.path.isfile(os.path.join(tmp, "out", "d", "log", "replay.log"))
    page = open(os.path.join(tmp, "out", "runs.html")).read()
    for key in ("a", "b-1", "c"):
        assert 'href="%s/%s.look/index.html"' % (key, key) in page
    assert 'class="failed"' in page


def mtimes(tmp, keys):
    return {k: os.stat(os.path.join(tmp, "out", k, k + ".h5")).st_mtime_ns for k in keys}


def test_local_run_then_only_the_fixed_and_changed_runs_redone(tmp_path):
    make_runs(tmp_path / "runs")
    status, log = snakemake(tmp_path, "--cores", "2")
    check_outputs(tmp_path, status, log)
    before = mtimes(tmp_path, ["a", "b-1", "c"])
    write_recording(tmp_path / "runs" / "d.jsonl", GOOD)
    status, log = snakemake(tmp_path, "--cores", "2")
    assert status == 0, log
    assert {r["status"] for r in catalogue(tmp_path).values()} == {"done"}
    assert mtimes(tmp_path, ["a", "b-1", "c"]) == before
    # A changed recording whose replayed table is gone (events 7 and 9).
    write_recording(tmp_path / "runs" / "a.jsonl", [GOOD[0], GOOD[2]])
    status, log = snakemake(tmp_path, "--cores", "2")
    assert status == 0, log
    a = catalogue(tmp_path)["a"]
    assert (a["status"], a["events"], a["cut_rows"], a["rate_hz"]) == ("done", "2", "0", "0.25")
    assert mtimes(tmp_path, ["b-1", "c"]) == {k: before[k] for k in ("b-1", "c")}


def start_slurm(state):
    res = subprocess.run([SLURM_LOCAL, "start", state], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, timeout=120)
    return res.returncode, res.stdout.decode(errors="replace")


def test_on_single_node_slurm(tmp_path):
    state = str(tmp_path / "slurm")
    status, said = start_slurm(state)
    try:
        if status == 3:
            pytest.skip("single-node Slurm cannot run here: " + said.strip())
        assert status == 0, said
        env = dict(os.environ, SLURM_CONF=os.path.join(state, "slurm.conf"),
                   USER=os.environ.get("USER", "root"))
        make_runs(tmp_path / "runs")
        status, log = snakemake(tmp_path, "--profile",
                                os.path.join(ROOT, "workflow", "profiles", "slurm"),
                                "--default-resources", "slurm_partition=korvel",
                                "--max-status-checks-per-second", "1",
                                # one Slurm job per run: the test stays short
                                "--groups", "replay=run", "h5=run", "look=run", env=env)
        check_outputs(tmp_path, status, log)
        assert "submitted with SLURM jobid" in log
    finally:
        subprocess.run([SLURM_LOCAL, "stop", state], timeout=60)
