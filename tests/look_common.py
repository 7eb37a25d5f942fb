"""Shared by the korvel-look tests: runs made in a temporary directory from a
recording (korvel-replay, then korvel-h5), and korvel-look run on them.

Needs KORVEL_LOOK, KORVEL_REPLAY, KORVEL_H5 (and optionally KORVEL_PLUGIN)
in the environment; CTest sets them. Run with Debian's /usr/bin/python3."""

import json
import os
import subprocess
import tempfile

import h5py
import numpy as np

import pipeline

LOOK = os.environ.get("KORVEL_LOOK")
REPLAY, CONVERTER, PLUGIN = pipeline.REPLAY, pipeline.CONVERTER, pipeline.PLUGIN


def recording(channels, events, descriptions=()):
    """The JSON Lines text of a recording: channels as (name, data type),
    descriptions as (daq_name, desc, units)."""
    header = {"format": "korvel-recording", "version": 1,
              "channels": [{"name": n, "type": t} for n, t in channels],
              "descriptions": [{"daq_name": n, "desc": d, "units": u}
                               for n, d, u in descriptions]}
    return "".join(json.dumps(line) + "\n" for line in [header] + events)


class Run:
    """A directory holding run.h5, converted from a recording; .ok says
    whether both steps succeeded, .why what failed."""

    def __init__(self, text, words=("-hdf5", "-xdump"), options=()):
        self.tmp = tempfile.TemporaryDirectory(prefix="korvel-look-")
        self.dir = self.tmp.name
        self.h5 = os.path.join(self.dir, "run.h5")
        replay, convert = pipeline.replay_and_convert(
            self.dir, text, words,
            ["--no-progress"] + list(options) + ["user_out.txt", "-o", "run.h5"])
        self.ok = convert is not None and convert.returncode == 0 and os.path.exists(self.h5)
        self.why = pipeline.messages(replay, convert)

    def close(self):
        self.tmp.cleanup()


def layout_of(path):
    """The layout_version of a converter's file."""
    with h5py.File(path, "r") as f:
        return int(f.attrs["layout_version"])


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


# ---- A small file of layout version 2, written as docs/hdf5-layout.md says --

V2_RUN = "run-0042"
V2_IDS = [50, 51, 52, 53, 54, 55]
# Row 4 is cut by B's failed query (C and L after it not reached); row 5
# is the last line of an interrupted run, cut after A.
V2_PRESENT = {"A": [1, 1, 1, 1, 1, 1], "B": [1, 1, 1, 1, -3, -2],
              "E": [2, 2, 2, 2, -2, -2], "L": [1, 1, 0, 1, -2, -2]}
V2_A = [1, 2, 3, 4, 5, 9]
V2_B_ITEM = [10, 10, 10, 20, np.nan, np.nan]
V2_L = [0.0, 0.0, np.nan, 2e-6, np.nan, np.nan]
V2_EVIDENCE = "2 values read as 0.000000 where other events of the channel are not zero"


def fixed(texts):
    width = max(1, max(len(t.encode()) for t in texts))
    return np.array([t.encode() for t in texts], dtype="S%d" % width)


def write_v2(path):
    """Channels A (value, in mm), B (name-value, item a in V), E (EqData,
    kind none) and L (value, lossy) over the events V2_IDS."""
    with h5py.File(path, "w") as f:
        f.attrs.update({"NX_class": "NXroot", "default": "entry", "creator": "korvel-h5 9.9.9",
                        "converter_version": "9.9.9", "source_table": "user_out.txt",
                        "source_dialect": "hdf5"})
        f.attrs["layout_version"] = np.int32(2)
        entry = f.create_group("entry")
        entry.attrs.update({"NX_class": "NXentry", "default": "channels/A", "run": V2_RUN,
                            "source_table": "user_out.txt", "events": np.uint64(6),
                            "cut_rows": np.uint64(2), "channels": np.uint64(4),
                            "first_event_id": np.uint32(50), "last_event_id": np.uint32(55),
                            "start_time": "2023-11-14T22:13:20.000000Z",
                            "end_time": "2023-11-14T22:13:25.000000Z"})
        scale = write_v2_events(entry.create_group("event"))
        titles, kinds = ["A", "B", "E", "L"], ["value", "block", "none", "value"]
        table = entry.create_group("channel_table")
        for name, texts in (("title", titles), ("group", titles), ("kind", kinds)):
            table[name] = fixed(texts)
        for title, kind in zip(titles, kinds):
            write_v2_channel(entry, scale, title, kind)


def write_v2_events(ev):
    """/entry/event; returns the event_id dimension scale."""
    scale = ev.create_dataset("event_id", data=np.array(V2_IDS, dtype=np.uint32))
    scale.make_scale("event_id")
    ev["id"] = np.array(V2_IDS, dtype=np.uint32)
    ev["time_s"] = np.arange(1700000000, 1700000006, dtype=np.uint32)
    ev["time_us"] = np.zeros(6, dtype=np.uint32)
    ev["time"] = np.arange(1700000000, 1700000006, dtype=np.float64)
    ev["time"].attrs.update({"units": "seconds since 1970-01-01 00:00:00 UTC",
                             "long_name": "event time"})
    ev["time_iso"] = fixed(["2023-11-14T22:13:2%dZ" % k for k in range(6)])
    ev["complete"] = np.array([1, 1, 1, 1, 0, 0], dtype=np.uint8)
    ev["line"] = np.arange(2, 8, dtype=np.uint64)
    for name in ("id", "time_s", "time_us", "time", "time_iso", "complete", "line"):
        ev[name].dims[0].attach_scale(scale)
    return scale


def write_v2_channel(entry, scale, title, kind):
    g = entry.require_group("channels").create_group(title)
    g["event_id"] = scale
    g["time"] = entry["event/time"]
    g.create_dataset("present", data=np.array(V2_PRESENT[title], dtype=np.int8))
    g.attrs.update({"title": title, "kind": kind, "source_format": "%f",
                    "exact": np.uint8(0), "lossy": np.uint8(title == "L")})
    if title == "L":
        g.attrs["lossy_evidence"] = V2_EVIDENCE
    if title == "E":
        g.attrs["eqdata"] = np.uint8(1)
        g.attrs["source_format"] = ""
    signals = {"A": ("data", V2_A, "mm"), "L": ("data", V2_L, "V"),
               "B": ("items/a", V2_B_ITEM, "V")}
    if title in signals:
        name, values, units = signals[title]
        ds = g.create_dataset(name, data=np.array(values, dtype=np.float32))
        ds.attrs.update({"units": units, "long_name": title + " signal",
                         "coordinates": "time"})
        g.attrs["NX_class"] = "NXcollection" if kind == "block" else "NXdata"
        if title != "A":  # A's units on its dataset only: the dataset's are read
            g.attrs["units"] = units
    if kind == "block":
        g["items/event_id"] = scale
        g["items/time"] = entry["event/time"]
        g["items/a"].attrs["item_name"] = "a"
        g["item"] = np.zeros(1, dtype=np.int32)
        g["item"].make_scale("item")
        g["item_names"] = np.array([(b"a", b"a")], dtype=[("dataset", "S1"), ("name", "S1")])
        g["item_names"].dims[0].attach_scale(g["item"])
    for name in ("present", "data", "items/a"):
        if name in g:
            g[name].dims[0].attach_scale(scale)
