#!/usr/bin/python3
"""python_bench.py - the package korvel against plain h5py, on synthetic
runs made here (korvel-replay, then korvel-h5, comma dialect with the XML
description). Each measure is a ratio of two ways of doing the same work in
the same process, medians of REPEATS runs, each result first checked value
for value against its reference:

- get_dataframe of the 300 value channels of a 20 000-event run, against
  reading the same datasets with h5py alone into a DataFrame (goal: at most
  1.5 times the time);
- the mean frame of 1 000 camera frames (256 x 256, 16 bit) through
  get_dask_array, against a hand-written loop over the file's chunks with
  h5py (goal: at most 1.5 times);
- map_runs over 8 runs on a LocalCluster of 2 worker processes, against
  map_runs in order (goal: at least 1.6 times faster);
- the peak memory that get_dataframe adds to a fresh process, against the
  size of the frame it returns (goal: at most 2 times).

    bench/python_bench.py BUILD_DIR

Environment: REPEATS (default 5), RUN_DIR (where the runs are made, default
a fresh directory under $TMPDIR or /tmp, removed afterwards; the tables
take about 0.2 GB). Not part of the tests.
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import h5py
import numpy as np
import pandas as pd

EVENTS, VALUES, FRAMES, RUNS = 20000, 300, 1000, 8


def make_run(build, directory, name, events, mix):
    """directory/name.h5 from a synthetic run, kept when already there."""
    out = os.path.join(directory, name + ".h5")
    if os.path.exists(out):
        return out
    work = os.path.join(directory, name)
    os.makedirs(work, exist_ok=True)
    subprocess.run([os.path.join(build, "korvel-replay"), "--no-progress", "--synthetic",
                    str(events), "--mix", mix, "--", "-hdf5", "-xdump"],
                   cwd=work, check=True, stdout=subprocess.DEVNULL)
    subprocess.run([os.path.join(build, "korvel-h5"), "--no-progress", "user_out.txt",
                    "-o", out], cwd=work, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    shutil.rmtree(work)
    return out


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


# ---- references: plain h5py, written as a user would ---------------------------------

def h5py_dataframe(path):
    with h5py.File(path, "r") as f:
        groups = [g.decode() for g in f["entry/channel_table/group"][()]]
        titles = [t.decode() for t in f["entry/channel_table/title"][()]]
        ids = f["entry/event/id"][()]
        us = f["entry/event/time_s"][()].astype(np.int64) * 1000000 + f["entry/event/time_us"][()]
        cols = {"time": us.astype("datetime64[us]").astype("datetime64[ns]")}
        for t, g in zip(titles, groups):
            cols[t] = f["entry/channels/%s/data" % g][()]
    return pd.DataFrame(cols, index=pd.Index(ids, name="event_id"))


def h5py_mean_frame(path, group):
    with h5py.File(path, "r") as f:
        data, present = f[group + "/data"], f[group + "/present"][()]
        total, n = np.zeros(data.shape[1:], np.float64), 0
        for k in np.flatnonzero(present == 1):   # one frame per chunk
            total += data[k]
            n += 1
    return total / n


def first_day(run):
    """What map_runs applies to each run: the table and its statistics."""
    df = run.get_dataframe()
    return df.iloc[:, 1:].describe()


# ---- the measures ---------------------------------------------------------------------

def dataframe_ratio(korvel, path, repeats):
    def ours():
        with korvel.open_run(path) as run:
            return run.get_dataframe()
    got, want = ours(), h5py_dataframe(path)
    pd.testing.assert_frame_equal(got, want, check_dtype=True)
    t_ours, t_ref = median_time(ours, repeats), median_time(lambda: h5py_dataframe(path), repeats)
    return t_ours, t_ref


def mean_frame_ratio(korvel, path, repeats):
    with korvel.open_run(path) as run:
        name = run.channels.query("kind == 'image'").index[0]
        with h5py.File(path, "r") as f:
            kinds = [k.decode() for k in f["entry/channel_table/kind"][()]]
            groups = f["entry/channel_table/group"]
            group = "entry/channels/" + groups[kinds.index("image")].decode()

        def ours():
            return run.get_dask_array(name).mean(axis=0).compute(scheduler="threads")
        np.testing.assert_allclose(ours(), h5py_mean_frame(path, group), rtol=1e-12)
        t_ours = median_time(ours, repeats)
    t_ref = median_time(lambda: h5py_mean_frame(path, group), repeats)
    return t_ours, t_ref


def cpu_seconds(pids):
    """User and system CPU seconds the processes pids have used so far."""
    import psutil
    return sum(sum(psutil.Process(p).cpu_times()[:2]) for p in pids)


def map_runs_ratio(korvel, paths, repeats):
    """(wall time on the cluster, in order) and the cores each used on
    average: CPU seconds of the workers, or of this process, per second."""
    import psutil
    in_order = korvel.map_runs(first_day, paths)
    with korvel.local_cluster(n_workers=2) as cluster, cluster.get_client() as client:
        korvel.map_runs(first_day, paths[:2], client=client)    # workers import korvel
        on_cluster = korvel.map_runs(first_day, paths, client=client)
        for a, b in zip(in_order, on_cluster):
            pd.testing.assert_frame_equal(a, b)
        workers = [p.pid for p in psutil.Process().children(recursive=True)
                   if "spawn_main" in " ".join(p.cmdline())]
        cpu = cpu_seconds(workers)
        t_cluster = median_time(lambda: korvel.map_runs(first_day, paths, client=client),
                                repeats)
        cores_cluster = (cpu_seconds(workers) - cpu) / (t_cluster * repeats)
    cpu = cpu_seconds([os.getpid()])
    t_order = median_time(lambda: korvel.map_runs(first_day, paths), repeats)
    cores_order = (cpu_seconds([os.getpid()]) - cpu) / (t_order * repeats)
    return t_cluster, t_order, cores_cluster, cores_order


MEMORY_CHILD = """
import gc, sys
import korvel


def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key + ":"):
            return int(line.split()[1]) * 1024


run = korvel.open_run(sys.argv[1])
run.get_dataframe("*VAL.000")                   # every import and first use done
gc.collect()
with open("/proc/self/clear_refs", "w") as f:   # the peak (VmHWM) starts again from here
    f.write("5")
before = status("VmRSS")
df = run.get_dataframe()
print(status("VmHWM") - before, df.memory_usage(deep=True, index=True).sum())
"""


def dataframe_memory(python_dir, path):
    """(peak bytes get_dataframe adds, bytes of the frame), in a fresh
    process: its resident peak (VmHWM, reset once imports and a first read
    are done) less its resident size before the call."""
    out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, path], check=True,
                         stdout=subprocess.PIPE, env=dict(os.environ, PYTHONPATH=python_dir))
    added, size = map(int, out.stdout.split())
    return added, size


def main(argv):
    if len(argv) != 2 or not os.path.isdir(argv[1]):
        print("usage: python_bench.py BUILD_DIR", file=sys.stderr)
        return 2
    build = os.path.abspath(argv[1])
    python_dir = os.path.join(build, "python")
    sys.path.insert(0, python_dir)
    import korvel
    repeats = int(os.environ.get("REPEATS", "5"))
    top = os.environ.get("RUN_DIR") or tempfile.mkdtemp(prefix="korvel-pybench-")
    try:
        values = make_run(build, top, "values", EVENTS, "values=%d" % VALUES)
        camera = make_run(build, top, "camera", FRAMES, "image=1x256x256x2")
        copies = []
        for k in range(RUNS):
            copies.append(os.path.join(top, "copy%d.h5" % k))
            if not os.path.exists(copies[-1]):
                shutil.copy(values, copies[-1])
        report(*dataframe_ratio(korvel, values, repeats), "get_dataframe / h5py", 1.5)
        report(*mean_frame_ratio(korvel, camera, repeats), "dask mean frame / h5py loop", 1.5)
        load = os.getloadavg()[0]
        t_cluster, t_order, cores_cluster, cores_order = map_runs_ratio(korvel, copies, repeats)
        load = max(load, os.getloadavg()[0])
        # The machine's other work takes cores from the workers: its load
        # average and the cores each way got on average are printed too.
        print("%-32s %8.3f s / %8.3f s = %.2f (goal >= 1.6: %s; load average %.1f; "
              "cores used %.2f in order, %.2f by the workers)" % (
                  "map_runs in order / 2 workers", t_order, t_cluster, t_order / t_cluster,
                  "met" if t_order / t_cluster >= 1.6 else "MISSED", load, cores_order,
                  cores_cluster))
        added, size = dataframe_memory(python_dir, values)
        print("%-32s %8.1f MiB / %6.1f MiB = %.2f (goal <= 2: %s)" % (
            "get_dataframe peak / frame", added / 2**20, size / 2**20, added / size,
            "met" if added / size <= 2 else "MISSED"))
    finally:
        if not os.environ.get("RUN_DIR"):
            shutil.rmtree(top)
    return 0


def report(t_ours, t_ref, what, goal):
    print("%-32s %8.3f s / %8.3f s = %.2f (goal <= %.1f: %s)" % (
        what, t_ours, t_ref, t_ours / t_ref, goal, "met" if t_ours / t_ref <= goal else "MISSED"))


if __name__ == "__main__":
    sys.exit(main(sys.argv))
