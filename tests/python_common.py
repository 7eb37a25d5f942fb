"""Shared by the tests of the Python package korvel: runs made from
recordings (korvel-replay, then korvel-h5) in a temporary directory, the
recording every test reads with its values worked out by hand, and a file
rewritten to layout 2 as docs/hdf5-layout.md describes it.

Needs KORVEL_REPLAY, KORVEL_H5 (and optionally KORVEL_PLUGIN) in the
environment; CTest sets them and PYTHONPATH to the build tree's package.
Run with Debian's /usr/bin/python3 -m pytest.
"""

import json
import os
import sys

import h5py
import numpy as np

import pipeline

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Run by hand: the package of build/ (it knows its version), else the source.
PACKAGE_DIR = next(d for d in (os.path.join(ROOT, "build", "python"), os.path.join(ROOT, "python"))
                   if os.path.isdir(os.path.join(d, "korvel")))
if not any(os.path.isdir(os.path.join(p, "korvel")) for p in sys.path if p):
    sys.path.insert(0, PACKAGE_DIR)


T0 = 1796654123

# One channel of each kind. BPM/X has units and a description; SPECT/ADC
# has two members whose axes differ; CAM/B:1 is a 16-bit camera.
CHANNELS = [{"name": "RUN/MARKER", "type": 1}, {"name": "BPM/X"}, {"name": "BPM/Y"},
            {"name": "MAGNETS"}, {"name": "SPECT/ADC", "type": 3},
            {"name": "CAM/A", "type": 4}, {"name": "CAM/B", "sub": 1, "type": 4},
            {"name": "EQ/TEMP", "type": 5}]
DESCRIPTIONS = [{"daq_name": "BPM/X", "desc": "horizontal beam position", "units": "mm"}]


def spect(a, b):
    return {"members": [{"start": 0, "inc": 0.5, "values": a}, {"values": b}]}


def image(pixels, bpp=1, w=3, h=2):
    return {"image": {"width": w, "height": h, "bpp": bpp, "pixels": pixels}}


# Every number is one that each of the table's forms writes exactly (%f,
# %.2e, %.e), so that values read back compare equal.
EVENTS = [
    {"id": 10, "time": [T0, 500000], "channels": {
        "RUN/MARKER": {}, "BPM/X": {"value": -0.125}, "BPM/Y": {"value": 4},
        "MAGNETS": {"items": [["Q1", 12.5], ["Q2", -3.25]]},
        "SPECT/ADC": spect([1, 2, 3, 2], [5, 6, 7, 8]),
        "CAM/A": image("00ff10207f80"), "CAM/B:1": image("012cffff", 2, 2, 1),
        "EQ/TEMP": {"eq": {"type": 2, "values": [21.5]}}}},
    {"id": 11, "time": [T0 + 1, 0], "channels": {
        "BPM/X": {"value": 1.5}, "MAGNETS": {"items": [["Q1", 1]]},
        "SPECT/ADC": spect([4, 5, 6, 7], [0.5, 1, 2, 4])}},
    # Cut short: BPM/Y's server block cannot be read.
    {"id": 12, "time": [T0 + 2, 0], "channels": {
        "BPM/X": {"value": 2.5}, "BPM/Y": {"value": 9, "block": {"fail": True}},
        "CAM/A": image("ffffffffffff")}},
    {"id": 13, "time": [T0 + 3, 0], "channels": {
        "RUN/MARKER": {}, "BPM/Y": {"value": -1}, "CAM/A": image("010203040506")}},
    # The reader cannot read this event at all: it has no row.
    {"id": 14, "fail": True},
    {"id": 15, "time": [T0 + 5, 250000], "channels": {
        "BPM/X": {"value": 0.25}, "BPM/Y": {"value": 8.5},
        "CAM/A": image("0a0a0a141414"), "CAM/B:1": {"image": {"fail": True}}}},
]

IDS = [10, 11, 12, 13, 15]
COMPLETE = [True, True, False, True, True]

# The values of each name in the events where it has data.
EXPECT = {
    "RUN/MARKER": {10: 1, 13: 1},
    "BPM/X": {10: -0.125, 11: 1.5, 12: 2.5, 15: 0.25},
    "BPM/Y": {10: 4.0, 13: -1.0, 15: 8.5},
    "MAGNETS/Q1": {10: 12.5, 11: 1.0},
    "MAGNETS/Q2": {10: -3.25, 11: np.nan},
    "SPECT/ADC[0]": {10: [1, 2, 3, 2], 11: [4, 5, 6, 7]},
    "SPECT/ADC[1]": {10: [5, 6, 7, 8], 11: [0.5, 1, 2, 4]},
    "CAM/A": {10: [[0, 255, 16], [32, 127, 128]], 13: [[1, 2, 3], [4, 5, 6]],
              15: [[10, 10, 10], [20, 20, 20]]},
    "CAM/B:1": {10: [[300, 65535]]},
    "EQ/TEMP": {},
}
UNITS = {"BPM/X": "mm", "BPM/Y": "", "CAM/A": ""}


def recording(channels=CHANNELS, events=EVENTS, descriptions=DESCRIPTIONS):
    header = {"format": "korvel-recording", "version": 1, "channels": channels,
              "descriptions": descriptions}
    return "".join(json.dumps(line) + "\n" for line in [header] + events)


def make_run(directory, name="run", text=None, words=("-hdf5", "-xdump"), options=()):
    """directory/name.h5 made from a recording (default: the one above);
    raises AssertionError with both programs' messages when a step fails."""
    work = os.path.join(str(directory), name)
    os.makedirs(work)
    out = os.path.join(str(directory), name + ".h5")
    replay, convert = pipeline.replay_and_convert(
        work, recording() if text is None else text, words,
        ["--no-progress", "--run", name] + list(options) + ["user_out.txt", "-o", out])
    assert convert is not None and convert.returncode == 0 and os.path.exists(out), \
        pipeline.messages(replay, convert)
    return out


def to_layout1(path):
    """Rewrites a file of the converter (layout 2) in place as layout 1
    wrote the same run, as far as the package reads it: version 1, no run
    metadata, a cut row's failed channel -2 like those after it, units
    only on the group, a spectrum's per-member axes as a 2-D x, no
    precision attributes."""
    with h5py.File(path, "r+") as f:
        f.attrs["layout_version"] = np.int32(1)
        for name in list(f["entry"].attrs):
            if name not in ("NX_class", "default"):
                del f["entry"].attrs[name]
        for g in [g.decode() for g in f["entry/channel_table/group"][()]]:
            node = f["entry/channels/" + g]
            present = node["present"]
            p = present[()]
            p[p == -3] = -2
            present[...] = p
            for name in ("exact", "lossy", "lossy_evidence", "eqdata"):
                if name in node.attrs:
                    del node.attrs[name]
            for ds in [node.get("data")] + list(node["items"].values() if "items" in node else []):
                if isinstance(ds, h5py.Dataset):
                    for name in ("units", "long_name", "coordinates"):
                        if name in ds.attrs:
                            del ds.attrs[name]
            if "x_member" in node:
                per_member = node["x_member"][()]
                del node["x_member"]
                del node["x"]
                node["x"] = per_member
