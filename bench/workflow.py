#!/usr/bin/python3
"""The workflow (workflow/Snakefile) on eight synthetic runs, against the
same three programs run by hand, one run after another:

    /usr/bin/python3 bench/workflow.py BUILD_DIR [--events N] [--runs N] [--repeats N]
                                       [--scheduler ilp|greedy]

Each run is a recording of korvel-replay's default mix (a marker, 300
values, 4 name-value blocks of 16 items, 3 spectra of 4 x 1000 values, a
1024 x 1024 16-bit camera, 2 EqData channels), N events, its numbers
different from run to run. Measured, as wall time of the whole command, in
each repeat (with the CPU time of every process it ran, which other work
on the machine disturbs less): the three programs by hand (korvel-replay, korvel-h5,
korvel-look with the options the workflow gives them), snakemake --cores 1
and --cores 2 into fresh output directories, then --cores 2 again with
nothing changed, and the catalogue alone (korvel-ls --catalog on the
--cores 1 output: the one output the programs by hand do not make, so
that its share of the overhead is seen). Printed: the medians and the
ratios the workflow is held to (--cores 2 at least 1.7 x faster than
--cores 1; nothing changed under 5 s; at most 10 % over the programs by
hand). --scheduler is given to every snakemake (Snakemake's default is
ilp). --overhead-only runs only the programs by hand and --cores 1, in
turn, for more repeats of the one comparison that the programs' own spread
blurs most. The overhead is also given as the median of the repeats' own
ratios, which a drift of the machine's speed over the sitting moves less.
Everything is written in a temporary directory, removed at the end.
"""

import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SNAKEFILE = os.path.join(ROOT, "workflow", "Snakefile")
T0 = 1796654123


def channels():
    return ([{"name": "SYN/MARK", "type": 1}]
            + [{"name": "SYN/V.%03d" % i} for i in range(300)]
            + [{"name": "SYN/NV.%d" % i} for i in range(4)]
            + [{"name": "SYN/SPECT.%d" % i, "type": 3} for i in range(3)]
            + [{"name": "SYN/CAM", "type": 4}]
            + [{"name": "SYN/EQ.%d" % i, "type": 5} for i in range(2)])


def event(rng, k):
    """One event of the default mix; numbers with few digits, so that the
    table's formats hold them."""
    ch = {"SYN/MARK": {}}
    for i, v in enumerate(np.round(rng.normal(size=300), 3)):
        ch["SYN/V.%03d" % i] = {"value": float(v)}
    for i in range(4):
        ch["SYN/NV.%d" % i] = {"items": [["Q%d" % j, float(v)] for j, v in
                                         enumerate(np.round(rng.uniform(0, 50, 16), 1))]}
    for i in range(3):
        ch["SYN/SPECT.%d" % i] = {"members": [
            {"values": rng.integers(0, 1000, 1000).tolist()} for _ in range(4)]}
    pixels = rng.integers(0, 4096, 1024 * 1024, dtype=np.uint16).astype(">u2").tobytes().hex()
    ch["SYN/CAM"] = {"image": {"width": 1024, "height": 1024, "bpp": 2, "pixels": pixels}}
    for i in range(2):
        ch["SYN/EQ.%d" % i] = {"eq": {"type": 2, "values": [float(k)]}}
    return {"id": 1000 + k, "time": [T0 + k, 0], "channels": ch}


def write_recording(path, seed, events):
    rng = np.random.default_rng(seed)
    with open(path, "w") as f:
        f.write(json.dumps({"format": "korvel-recording", "version": 1,
                            "channels": channels()}) + "\n")
        for k in range(events):
            f.write(json.dumps(event(rng, k)) + "\n")


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def measured(call, *args):
    """(wall seconds, CPU seconds of the processes it ran) of call(*args)."""
    t, c = time.monotonic(), children_cpu()
    call(*args)
    return time.monotonic() - t, children_cpu() - c


def by_hand(build, runs, out):
    """The three programs, one run after another, as the workflow calls them."""
    for name in sorted(os.listdir(runs)):
        key = os.path.splitext(name)[0]
        work = os.path.join(out, key)
        os.makedirs(work)
        subprocess.run([os.path.join(build, "korvel-replay"), "--no-progress",
                        os.path.join(runs, name), "--", "-hdf5", "-out", "table.csv",
                        "-xdump", "descr.xml"], cwd=work, check=True,
                       stdout=open(os.path.join(work, "stdout.txt"), "w"),
                       stderr=subprocess.DEVNULL)
        h5 = os.path.join(work, key + ".h5")
        subprocess.run([os.path.join(build, "korvel-h5"), os.path.join(work, "table.csv"),
                        "--xml", os.path.join(work, "descr.xml"), "--names",
                        os.path.join(work, "stdout.txt"), "-o", h5, "--run", key,
                        "--threads", "1", "--no-progress"], check=True,
                       stderr=subprocess.DEVNULL)
        os.remove(os.path.join(work, "table.csv"))
        subprocess.run([os.path.join(build, "look", "korvel-look"), h5, "-o",
                        os.path.join(work, key + ".look")], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def workflow(build, tmp, out, cores, scheduler):
    subprocess.run(["snakemake", "-s", SNAKEFILE, "--cores", str(cores), "--scheduler",
                    scheduler, "--config", "runs=runs", "out=" + out, "build=" + build],
                   cwd=tmp, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def catalogue(build, out):
    subprocess.run([os.path.join(build, "python", "korvel-ls"), "--catalog", out], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def report(times, cpu):
    med = {k: statistics.median(v) for k, v in times.items() if v}
    cpu = {k: statistics.median(v) for k, v in cpu.items() if v}
    print("medians: " + ", ".join("%s %.1f s (CPU %.1f s)" % (k, med[k], cpu[k]) for k in med))
    if "cores2" in med:
        print("--cores 2 is %.2f x faster than --cores 1 (goal: at least 1.7)"
              % (med["cores1"] / med["cores2"]))
        print("nothing changed: %.1f s (goal: under 5 s)" % med["unchanged"])
        print("the catalogue alone: %.1f s (CPU %.1f s)" % (med["catalogue"], cpu["catalogue"]))
    paired = statistics.median(w / h for w, h in zip(times["cores1"], times["hand"]))
    print("--cores 1 over the programs by hand: %+.1f %% wall time, %+.1f %% CPU time; "
          "median of the repeats' ratios %+.1f %% (goal: at most 10 %%)"
          % (100 * (med["cores1"] / med["hand"] - 1), 100 * (cpu["cores1"] / cpu["hand"] - 1),
             100 * (paired - 1)))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("build")
    p.add_argument("--events", type=int, default=10)
    p.add_argument("--runs", type=int, default=8)
    p.add_argument("--repeats", type=int, default=3)
    p.add_argument("--scheduler", choices=("ilp", "greedy"), default="ilp")
    p.add_argument("--overhead-only", action="store_true",
                   help="only the programs by hand and --cores 1, in turn")
    a = p.parse_args()
    build = os.path.abspath(a.build)
    tmp = tempfile.mkdtemp(prefix="korvel-workflow-bench.")
    try:
        os.makedirs(os.path.join(tmp, "runs"))
        for r in range(a.runs):
            write_recording(os.path.join(tmp, "runs", "run%02d.jsonl" % r), r, a.events)
        size = sum(os.path.getsize(os.path.join(tmp, "runs", n))
                   for n in os.listdir(os.path.join(tmp, "runs")))
        print("%d runs of %d events, %.0f MB of recordings; scheduler %s"
              % (a.runs, a.events, size / 1e6, a.scheduler))
        times = {"hand": [], "cores1": [], "cores2": [], "unchanged": [], "catalogue": []}
        cpu = {k: [] for k in times}
        for rep in range(a.repeats):
            for what in ("hand", "cores1") if a.overhead_only else ("hand", "cores1", "cores2"):
                out = os.path.join(tmp, "out-" + what)
                shutil.rmtree(out, ignore_errors=True)
                shutil.rmtree(os.path.join(tmp, ".snakemake"), ignore_errors=True)
                wall, used = (measured(by_hand, build, os.path.join(tmp, "runs"), out)
                              if what == "hand" else
                              measured(workflow, build, tmp, out, int(what[-1]), a.scheduler))
                times[what].append(wall)
                cpu[what].append(used)
            if a.overhead_only:
                print("repeat %d (load average %.1f): by hand %.1f s, --cores 1 %.1f s"
                      % (rep + 1, os.getloadavg()[0], times["hand"][-1], times["cores1"][-1]),
                      flush=True)
                continue
            wall, used = measured(workflow, build, tmp, os.path.join(tmp, "out-cores2"), 2,
                                  a.scheduler)
            times["unchanged"].append(wall)
            cpu["unchanged"].append(used)
            wall, used = measured(catalogue, build, os.path.join(tmp, "out-cores1"))
            times["catalogue"].append(wall)
            cpu["catalogue"].append(used)
            print("repeat %d (load average %.1f): %s" % (
                rep + 1, os.getloadavg()[0], ", ".join(
                    "%s %.1f s (CPU %.1f s)" % (k, v[-1], cpu[k][-1]) for k, v in times.items())),
                flush=True)
        report(times, cpu)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
