#!/usr/bin/env python3
"""Ratios of a korvel-bench run, per family, against the performance goals.

    korvel-bench --benchmark_repetitions=5 --benchmark_format=json > run.json
    bench/ratios.py run.json

With repetitions the medians are used, otherwise the single runs. Times are
CPU times of the process (user and system: the copy into the kernel
counts), which other work on the machine disturbs less than wall time.
Exit status 1 when a goal is missed.
"""
import json
import sys

# kind: (least reference/plugin, most plugin/limit or None)
GOALS = {
    "image8": (15.0, 3.0),
    "image16": (15.0, 3.0),
    "spectrum": (10.0, None),
    "spectrum_fti": (8.0, None),
    "namevalue": (6.0, None),
    "single": (2.0, None),
}


def load(path):
    with open(path) if path != "-" else sys.stdin as f:
        data = json.load(f)
    have_median = any(b.get("aggregate_name") == "median" for b in data["benchmarks"])
    times = {}
    for b in data["benchmarks"]:
        if have_median and b.get("aggregate_name") != "median":
            continue
        if not have_median and b.get("run_type") == "aggregate":
            continue
        name = b.get("run_name", b["name"])
        family, _, variant = name.partition("/")
        variant = variant.split("/")[0]
        times.setdefault(family, {})[variant] = b["cpu_time"]
    return data.get("context", {}), times


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: ratios.py RUN.json (or - for standard input)")
    context, times = load(sys.argv[1])
    print("%-22s %12s %12s %12s %9s %9s  %s" %
          ("family", "plugin us", "reference us", "limit us", "ref/plug", "plug/lim", "goals"))
    missed = 0
    for family, t in times.items():
        kind = family[len("BM_"):]
        kind = kind[:-len("_hdf5")] if kind.endswith("_hdf5") else kind
        speedup = t["reference"] / t["plugin"] if {"reference", "plugin"} <= t.keys() else None
        to_limit = t["plugin"] / t["limit"] if {"plugin", "limit"} <= t.keys() else None
        least, most = GOALS.get(kind, (None, None))
        verdict = []
        if least is not None and speedup is not None:
            ok = speedup >= least
            verdict.append("ref/plug >= %g %s" % (least, "met" if ok else "MISSED"))
            missed += not ok
        if most is not None and to_limit is not None:
            ok = to_limit <= most
            verdict.append("plug/lim <= %g %s" % (most, "met" if ok else "MISSED"))
            missed += not ok
        show = lambda x, f: f % x if x is not None else "-"
        print("%-22s %12s %12s %12s %9s %9s  %s" %
              (family, show(t.get("plugin"), "%.2f"), show(t.get("reference"), "%.2f"),
               show(t.get("limit"), "%.3f"), show(speedup, "%.2f"), show(to_limit, "%.2f"),
               ", ".join(verdict)))
    if context:
        print("\n%s, %s CPUs, %s" % (context.get("date", "?"), context.get("num_cpus", "?"),
                                     context.get("host_name", "?")))
    sys.exit(1 if missed else 0)


if __name__ == "__main__":
    main()
