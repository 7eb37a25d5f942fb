#!/usr/bin/python3
"""Random round trips: recording -> korvel-replay -> korvel-h5 -> h5py.

Each run is a random recording with channels of every kind (markers,
values, name-value blocks, spectra, 8- and 16-bit images, EqData channels,
often placed just before a spectrum or a block, and channels of unknown
types), events that fail, reader queries that fail and cut rows short
(also in the last event), status columns, -fti, -dumpall, -nonvn,
-nostat, the value limit and the XML description, in both dialects. The
file is read back and every event, state, status word and value is
compared with what the recording and the table's rules say it must be:
the expectations are computed here from the recording, never from the
converter's output.

Two things make a run's kinds decidable from its table alone, as the
converter's documentation asks: the first event of every run is complete
and holds data in every channel (spectra with at least two values, blocks
with at least two items), and
the channels the documentation names as ambiguous get --kind (-fti
channels in the comma dialect, -fti values and unnamed -fti blocks in the
tab dialect, images in the comma dialect without the XML description).

KORVEL_H5_RANDOM_RUNS (default 200, as CTest runs it) runs from seed KORVEL_H5_RANDOM_SEED
(default 1) on; set it to some thousands to search longer. Needs
KORVEL_REPLAY and KORVEL_H5 (and optionally KORVEL_PLUGIN), as CTest sets
them; Debian's /usr/bin/python3 with h5py and numpy.
"""

import json
import math
import os
import random
import subprocess
import sys
import tempfile
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

import h5py
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from h5_roundtrip import CONVERTER, PLUGIN, REPLAY, bits, f32, rounding  # noqa: E402

RUNS = int(os.environ.get("KORVEL_H5_RANDOM_RUNS", "200"))
FIRST_SEED = int(os.environ.get("KORVEL_H5_RANDOM_SEED", "1"))
ROLES = ["marker", "value", "block", "spectrum", "image", "eq", "other"]
KIND_OF_ROLE = {"marker": "marker", "value": "value", "block": "block",
                "spectrum": "spectrum", "image": "image", "eq": "none", "other": "none"}
ITEM_NAMES = ["x", "Q/1", "a:b", "p%", "v 1", "y.2", "n-3"]
# Presence states of the file.
DATA, NONE, EMPTY, NOT_REACHED, FAILED = 1, 0, 2, -2, -3


# ---- Random recordings ---------------------------------------------------------

def random_value(rng):
    r = rng.random()
    if r < 0.08:
        return rng.choice(["inf", "-inf", "nan", "-0"])
    if r < 0.16:
        return {"bits": rng.randint(-2 ** 31, 2 ** 31 - 1)}
    if r < 0.22:
        return rng.choice([0, 1, -1, 0.5])
    return rng.choice([1, -1]) * rng.uniform(0.5, 9.5) * 10.0 ** rng.randint(-12, 12)


def random_block(rng, rich):
    names = rng.sample(ITEM_NAMES, rng.randint(2 if rich else 1, 4))
    return {"items": [[n, random_value(rng)] for n in names]}


def random_member(rng, rich):
    r = rng.random()
    if not rich and r < 0.1:
        return {"fail": True}
    m = {}
    if rng.random() < 0.3:
        m["start"], m["inc"] = rng.uniform(-5, 5), rng.uniform(0.1, 2)
    if not rich and r < 0.2:
        m["values"] = []
    else:
        m["values"] = [random_value(rng) for _ in range(rng.randint(2 if rich else 1, 12))]
        g = rng.random()
        if g < 0.1 and len(m["values"]) >= 2:
            m["groups"], m["ndata"] = 2, len(m["values"]) // 2
        elif g < 0.2:
            m["ndata"] = len(m["values"]) + rng.randint(1, 3)  # zeros past the end
    if rng.random() < 0.4:
        mask = rng.getrandbits(32) & rng.getrandbits(32) & rng.getrandbits(32)
        m["stat"] = {"mask": mask, "val": {str(j): random_value(rng)
                                           for j in range(32) if rng.random() < 0.5}}
    return m


def random_spectrum(rng, rich):
    members = [random_member(rng, rich and k == 0) for k in range(rng.randint(1, 3))]
    entry = {"members": members}
    if not rich and rng.random() < 0.15:
        entry["nmemb"] = rng.choice([0, -1, len(members) + 1])
    elif not rich and rng.random() < 0.1:
        entry["members"] = []
    return entry


def random_image(rng, shape, rich):
    w, h, bpp = shape
    image = {"width": w, "height": h, "bpp": bpp,
             "pixels": "".join("%02x" % rng.randrange(256) for _ in range(w * h * bpp))}
    if not rich:
        r = rng.random()
        if r < 0.08:
            image["fail"] = True
        elif r < 0.14:
            image["size"] = w * h * bpp + 1  # "Invalid Image"
    return {"image": image}


def random_entry(rng, ch, rich):
    role = ch["role"]
    if role == "marker":
        return {}
    if role == "value":
        return {"value": random_value(rng)}
    if role == "block":
        return random_block(rng, rich) if rich or rng.random() < 0.85 else {"items": []}
    if role == "spectrum":
        return random_spectrum(rng, rich)
    if role == "image":
        return random_image(rng, ch["image"], rich)
    if role == "eq":
        return {"eq": {"type": 2, "values": [1.5]}} if rng.random() < 0.7 else {}
    return {}


def random_channels(rng):
    roles = [rng.choice(ROLES) for _ in range(rng.randint(1, 6))]
    out = []
    for role in roles:
        if role in ("spectrum", "block") and rng.random() < 0.5:
            out.append("eq")  # an empty cell just before a spectrum or a block
        out.append(role)
    if rng.random() < 0.2:
        out.append("eq")
    channels = []
    for i, role in enumerate(out):
        # No name occurs in another (-fti lists channels by their names' occurrence).
        name = ("G/K%dZ" if rng.random() < 0.2 else "K%dZ") % i
        ch = {"role": role, "name": name, "sub": rng.choice([None] * 4 + [0, 3])}
        ch["title"] = name if ch["sub"] is None else "%s:%d" % (name, ch["sub"])
        ch["type"] = {"marker": 1, "value": 2, "block": 2, "spectrum": 3, "image": 4,
                      "eq": 5}.get(role) or rng.choice([0, 6, -1])
        if role == "image":
            ch["image"] = (rng.randint(1, 4), rng.randint(1, 3), rng.choice([1, 2]))
        channels.append(ch)
    return channels


def random_event(rng, n, channels, first, cut_rate):
    ev = {"id": rng.choice([n, rng.getrandbits(32)]),
          "time": [rng.randint(10 ** 9, 2 * 10 ** 9), rng.randrange(10 ** 6)],
          "type": rng.choice([1, 1, 1, 0, 2, 3, 4, 7]),
          "status": rng.choice([0, 0, 1, -1, rng.randint(-2 ** 31, 2 ** 31 - 1)])}
    if not first and rng.random() < 0.05:
        ev["fail"] = True
    entries = {}
    for ch in channels:
        if first or rng.random() < 0.85:
            e = random_entry(rng, ch, first)
            if rng.random() < 0.3:
                e["block"] = {"status": rng.choice([1, 255, -1])}
            if rng.random() < 0.2:
                e["chan"] = {"status": rng.choice([2, -7])}
            entries[ch["title"]] = e
    if not first and rng.random() < cut_rate:
        ch = rng.choice(channels)
        e = entries.setdefault(ch["title"], random_entry(rng, ch, False))
        query = rng.choice(["block", "chan"])
        e.setdefault(query, {})["fail"] = True
    ev["channels"] = entries
    return ev


def random_run(seed):
    rng = random.Random(seed)
    run = {"seed": seed, "dialect": rng.choice(["hdf5", "tab"]),
           "outmode": rng.choice([0, 0, 1, 3]), "xdump": rng.random() < 0.5,
           "dumpall": rng.random() < 0.3, "nostat": rng.random() < 0.2,
           "nonvn": rng.random() < 0.25, "nbunch": rng.choice([0, 2, 3, 7])}
    run["channels"] = channels = random_channels(rng)
    run["fti"] = [ch["title"] for ch in channels
                  if ch["role"] in ("value", "block", "spectrum") and ch["sub"] is None
                  and rng.random() < 0.35]
    # Now and then most rows are cut short, so that lines hold several.
    cut_rate = 0.7 if rng.random() < 0.15 else 0.18
    run["events"] = [random_event(rng, n, channels, n == 0, cut_rate)
                     for n in range(rng.randint(1, 8))]
    run["shape_option"] = rng.random() < 0.5
    return run


# ---- What the table must say --------------------------------------------------------

def is_invalid(x):
    """Whether the spectrum writes a recording value as "Invalid"."""
    v = f32(x)
    return math.isnan(v) or math.isinf(v)


def forced_kinds(run):
    """The --kind options the run is given (see the module's text)."""
    kinds = {}
    hdf5 = run["dialect"] == "hdf5"
    for ch in run["channels"]:
        fti = ch["title"] in run["fti"]
        role = ch["role"]
        if fti and (hdf5 or role == "value" or (role == "block" and run["nonvn"])):
            kinds[ch["title"]] = role
        if role == "image" and hdf5 and not run["xdump"]:
            kinds[ch["title"]] = "image"
    return kinds


def spectrum_members(run, entry):
    """Per member written: -1 (query failed), or (values, stats) with the
    values written and the statistics {index: value}."""
    members = entry.get("members", [])
    nmemb = entry.get("nmemb", len(members))
    samples = run["nbunch"] or 100
    out = []
    for m in range(max(0, nmemb)):
        mem = members[m] if m < len(members) else {"fail": True}
        if mem.get("fail"):
            out.append(-1)
            continue
        values = mem.get("values", [])
        groups = mem.get("groups", 0)
        ndata = mem.get("ndata", len(values) // groups if groups >= 2 else len(values))
        stats = {}
        stat = mem.get("stat")
        if stat and not run["nostat"]:
            stats = {j: stat["val"].get(str(j), 0) for j in range(32) if stat["mask"] >> j & 1}
        if ndata == 0:
            out.append(([], stats))
            continue
        lndata = ndata * groups if groups >= 2 else ndata
        n = lndata if run["dumpall"] else min(lndata, samples)
        out.append(([values[k] if k < len(values) else 0 for k in range(max(0, n))], stats))
    return out


def cell_state(run, ch, entry):
    """The presence state of a written cell, and whether it shows the role's kind."""
    if entry is None:
        return NONE, False
    role = ch["role"]
    if ch["type"] not in (1, 2, 3, 4, 5):
        return NONE, False
    if role == "eq":
        return EMPTY, False
    if role == "block":
        return (DATA, True) if entry["items"] else (NONE, False)
    if role == "spectrum":
        return (DATA, True) if spectrum_members(run, entry) else (NONE, False)
    if role == "image":
        im = entry["image"]
        bad = im.get("fail") or "size" in im
        return (NONE, run["dialect"] == "tab") if bad else (DATA, True)
    return DATA, True


def expected(run):
    """Events and per-channel states of the table the run writes."""
    events, line = [], 2
    for ev in run["events"]:
        if ev.get("fail"):
            continue
        row = {"ev": ev, "line": line, "complete": True, "cells": []}
        cut = False
        for ch in run["channels"]:
            entry = ev["channels"].get(ch["title"])
            e = entry or {}
            if cut:
                row["cells"].append({"state": NOT_REACHED, "srv": 0, "chan": 0})
            elif e.get("block", {}).get("fail") or e.get("chan", {}).get("fail"):
                cut = True
                srv = 0 if e.get("block", {}).get("fail") else e.get("block", {}).get("status", 0)
                row["cells"].append({"state": FAILED, "srv": srv, "chan": 0})
            else:
                state, shows = cell_state(run, ch, entry)
                row["cells"].append({"state": state, "shows": shows, "entry": entry,
                                     "srv": e.get("block", {}).get("status", 0),
                                     "chan": e.get("chan", {}).get("status", 0)})
        row["complete"] = not cut
        if not cut:
            line += 1
        events.append(row)
    kinds = forced_kinds(run)
    for k, ch in enumerate(run["channels"]):
        if ch["title"] not in kinds:
            shows = any(r["cells"][k].get("shows") for r in events)
            kinds[ch["title"]] = KIND_OF_ROLE[ch["role"]] if shows else "none"
    return events, kinds


# ---- Running a pipeline ------------------------------------------------------------

def run_pipeline(run, where):
    """Replays and converts run in the directory where; returns what failed,
    or None."""
    header = {"format": "korvel-recording", "version": 1, "nbunch": run["nbunch"],
              "outmode": run["outmode"],
              "channels": [{"name": c["name"], "type": c["type"]} if c["sub"] is None else
                           {"name": c["name"], "type": c["type"], "sub": c["sub"]}
                           for c in run["channels"]]}
    with open(os.path.join(where, "run.jsonl"), "w", encoding="utf-8") as f:
        for line in [header] + run["events"]:
            f.write(json.dumps(line) + "\n")
    words = (["-hdf5"] if run["dialect"] == "hdf5" else []) + (
        ["-xdump"] if run["xdump"] else []) + (["-dumpall"] if run["dumpall"] else []) + (
        ["-nostat"] if run["nostat"] else []) + (["-nonvn"] if run["nonvn"] else [])
    if run["fti"]:
        words += ["-fti", ",".join(run["fti"])]
    cmd = [REPLAY, "--no-progress"] + (["--plugin", PLUGIN] if PLUGIN else [])
    rep = subprocess.run(cmd + ["run.jsonl", "--"] + words, cwd=where,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if rep.returncode != 0:
        return "korvel-replay: " + rep.stderr.decode(errors="replace")
    options = []
    for title, kind in forced_kinds(run).items():
        options += ["--kind", "%s=%s" % (title, kind)]
    for ch in run["channels"]:
        if ch["role"] == "image" and run["shape_option"]:
            w, h, bpp = ch["image"]
            options += ["--image-shape", "%s=%dx%dx%d" % (ch["title"], w, h, bpp)]
    conv = subprocess.run([CONVERTER, "--no-progress", "--threads", "1"] + options +
                          ["user_out.txt", "-o", "out.h5"], cwd=where,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if conv.returncode != 0:
        return "korvel-h5 (status %d): %s" % (conv.returncode,
                                              conv.stderr.decode(errors="replace"))
    return None


# ---- Comparing ------------------------------------------------------------------------

class Differences:
    """Collects the differences of one run, each with where it is."""

    def __init__(self):
        self.found = []

    def eq(self, got, want, where):
        if got != want:
            self.found.append("%s: %r, want %r" % (where, got, want))

    def float(self, got, want, fmt, where):
        """got (a stored float32) against a recording value want written in
        format fmt ("bits": the integer form); None: missing (NaN)."""
        pattern = bits(got)  # before widening, which would quiet a signalling NaN
        got = float(got)
        if want is None or (fmt in ("%.e", "bits-spectrum") and is_invalid(want)):
            ok = math.isnan(got)
        elif fmt in ("bits", "bits-spectrum"):
            ok = pattern == bits(f32(want))
        else:
            w = f32(want)
            if math.isnan(w):
                ok = math.isnan(got)
            elif math.isinf(w):
                ok = got == float(w)
            else:
                ok = abs(got - float(w)) <= rounding(w, fmt)
        if not ok:
            self.found.append("%s: %r, want %r (%s)" % (where, got, want, fmt))


def item_dataset(name):
    return name.replace("%", "%25").replace("/", "%2F")


def compare_events(f, run, events, d):
    ev = f["entry/event"]
    d.eq(ev["id"][()].tolist(), [r["ev"]["id"] for r in events], "event id")
    d.eq(ev["time_s"][()].tolist(), [r["ev"]["time"][0] for r in events], "time_s")
    d.eq(ev["time_us"][()].tolist(), [r["ev"]["time"][1] for r in events], "time_us")
    d.eq(ev["complete"][()].tolist(), [int(r["complete"]) for r in events], "complete")
    d.eq(ev["line"][()].tolist(), [r["line"] for r in events], "line")
    iso = [time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(r["ev"]["time"][0])).encode()
           for r in events]
    d.eq(ev["time_iso"][()].tolist(), iso, "time_iso")
    if run["outmode"]:
        d.eq(ev["status"][()].tolist(), [r["ev"]["status"] for r in events], "status")
    if run["dialect"] == "tab":
        names = {0: "NONE", 1: "NORMAL", 2: "CALIB", 3: "PEDESTAL", 4: "TEST"}
        d.eq(ev["type_name"][()].tolist(),
             [names.get(r["ev"]["type"], "TYPE%d" % r["ev"]["type"]).encode() for r in events],
             "type_name")


def compare_block(g, run, ch, events, fti, d):
    """Items by name, or by position with -nonvn."""
    want = {}
    for e, r in enumerate(events):
        c = r["cells"][ch]
        if c["state"] != DATA:
            continue
        for k, (name, value) in enumerate(c["entry"]["items"]):
            key = str(k) if run["nonvn"] else item_dataset(name)
            want.setdefault(key, {})[e] = value
    items = g["items"] if "items" in g else {}
    # items/ also links the event_id scale and the time of every event.
    names = [k for k in items.keys() if k not in ("event_id", "time")]
    d.eq(sorted(names), sorted(want), g.name + "/items")
    for key, values in want.items():
        if key in items:
            got = items[key][()]
            for e in range(len(events)):
                d.float(got[e], values.get(e), "bits" if fti else "%.2e",
                        "%s/items/%s[%d]" % (g.name, key, e))


def compare_spectrum(g, run, ch, events, fti, d):
    data, count = g["data"][()], g["count"][()]
    stats = g["stats"][()] if "stats" in g else None
    any_stats = False
    for e, r in enumerate(events):
        c = r["cells"][ch]
        members = spectrum_members(run, c["entry"]) if c["state"] == DATA else []
        for m in range(count.shape[1]):
            where = "%s event %d member %d" % (g.name, e, m)
            mem = members[m] if m < len(members) else 0
            values, st = mem if isinstance(mem, tuple) else ([], {})
            d.eq(int(count[e, m]), mem if isinstance(mem, int) else len(values), where + " count")
            for k in range(data.shape[2]):
                want = values[k] if k < len(values) else None
                d.float(data[e, m, k], want, "bits-spectrum" if fti else "%.e",
                        "%s value %d" % (where, k))
            any_stats = any_stats or bool(st)
            if stats is not None:
                for j in range(32):
                    d.float(stats[e, m, j], st.get(j), "%e", "%s stat %d" % (where, j))
        if len(members) > count.shape[1]:
            d.found.append("%s event %d: %d members, want %d" % (g.name, e, count.shape[1],
                                                                  len(members)))
    d.eq(stats is not None, any_stats, g.name + " has stats")


def compare_image(g, run, ch, shape, events, d):
    w, h, bpp = shape
    data = g["data"][()]
    for e, r in enumerate(events):
        c = r["cells"][ch]
        if c["state"] == DATA:
            raw = bytes.fromhex(c["entry"]["image"]["pixels"])
            px = list(raw) if bpp == 1 else [raw[2 * k] * 256 + raw[2 * k + 1]
                                             for k in range(w * h)]
        else:
            px = [0] * (w * h)
        d.eq(data[e].reshape(-1).tolist(), px, "%s frame %d" % (g.name, e))


def compare_channel(f, run, k, events, kind, d):
    ch = run["channels"][k]
    g = f["entry/channels/" + ch["title"]]
    title = ch["title"]
    fti = title in run["fti"]
    if g.attrs["kind"] != kind:
        d.found.append("%s: kind %s, want %s" % (title, g.attrs["kind"], kind))
        return
    states = [r["cells"][k]["state"] for r in events]
    # A channel without a kind stores no data: cells that hold some read none.
    want_present = [NONE if kind == "none" and s == DATA else s for s in states]
    d.eq(g["present"][()].tolist(), want_present, title + " present")
    if run["outmode"]:
        d.eq(g["srv_status"][()].tolist(), [r["cells"][k]["srv"] for r in events],
             title + " srv_status")
        d.eq(g["chan_status"][()].tolist(), [r["cells"][k]["chan"] for r in events],
             title + " chan_status")
    if kind == "marker":
        d.eq(g["data"][()].tolist(), [int(s == DATA) for s in states], title + " data")
    elif kind == "value":
        got = g["data"][()]
        for e, r in enumerate(events):
            c = r["cells"][k]
            want = c["entry"]["value"] if c["state"] == DATA else None
            d.float(got[e], want, "bits" if fti else "%f", "%s[%d]" % (title, e))
    elif kind == "block":
        compare_block(g, run, k, events, fti, d)
    elif kind == "spectrum":
        compare_spectrum(g, run, k, events, fti, d)
    elif kind == "image":
        compare_image(g, run, k, ch["image"], events, d)


def check_run(seed):
    """Runs one random run; returns its differences (empty when none)."""
    run = random_run(seed)
    events, kinds = expected(run)
    with tempfile.TemporaryDirectory(prefix="korvel-h5rand-") as where:
        failed = run_pipeline(run, where)
        if failed:
            return [failed]
        d = Differences()
        with h5py.File(os.path.join(where, "out.h5"), "r") as f:
            compare_events(f, run, events, d)
            titles = [t.decode() for t in f["entry/channel_table/title"][()]]
            d.eq(titles, [c["title"] for c in run["channels"]], "titles")
            if titles == [c["title"] for c in run["channels"]]:
                for k, ch in enumerate(run["channels"]):
                    try:
                        compare_channel(f, run, k, events, kinds[ch["title"]], d)
                    except (KeyError, IndexError, ValueError) as e:
                        d.found.append("%s: %s" % (ch["title"], e))
        return d.found


def describe(seed, found):
    run = random_run(seed)
    options = {k: run[k] for k in ("dialect", "outmode", "xdump", "dumpall", "nostat",
                                   "nonvn", "nbunch", "fti", "shape_option")}
    return "seed %d %s: %s%s" % (seed, json.dumps(options), "; ".join(found[:6]),
                                 " (and %d more)" % (len(found) - 6) if len(found) > 6 else "")


class RandomRoundTripTest(unittest.TestCase):
    """KORVEL_H5_RANDOM_RUNS random runs; every difference of a run is named
    with its seed, which repeats it (KORVEL_H5_RANDOM_SEED=N
    KORVEL_H5_RANDOM_RUNS=1)."""

    def test_random_runs_read_back_as_recorded(self):
        seeds = range(FIRST_SEED, FIRST_SEED + RUNS)
        with ThreadPoolExecutor(max_workers=2) as pool:
            results = list(pool.map(check_run, seeds))
        bad = [describe(s, r) for s, r in zip(seeds, results) if r]
        self.assertEqual(bad, [], "%d of %d runs differ:\n%s" % (len(bad), RUNS,
                                                                 "\n".join(bad[:20])))


def main():
    missing = [n for n, v in (("KORVEL_REPLAY", REPLAY), ("KORVEL_H5", CONVERTER)) if not v]
    if missing:
        sys.exit("h5_random_roundtrip.py: set %s (CTest does)" % " and ".join(missing))
    unittest.main()


if __name__ == "__main__":
    main()
