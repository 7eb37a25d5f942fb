#!/usr/bin/python3
"""korvel-h5 in one walk: a long table in the comma dialect is read once
(its first 4 MiB twice), and the file is the one two walks make. Each
case is a table of some 10 MB whose rows change (or not) after the first
4 MiB, converted (with the kinds given, or not) and again with --strict,
which stops at the first cell not understood and so always surveys the
whole table first: the two files must hold the same groups, datasets,
types, shapes, values and attributes (chunk shapes may differ: one walk
sizes them from the table's size), and the runs must say the same.

Needs KORVEL_H5 in the environment (CTest sets it). Run with Debian's
/usr/bin/python3 (h5py, numpy).
"""

import os
import subprocess
import sys
import tempfile
import unittest

import h5py
import numpy as np

CONVERTER = os.environ.get("KORVEL_H5")

ROWS = 4000
# The bytes the survey reads before it lays the file out.
FIRST_ROWS = 4 << 20
KINDS = ["--kind", "V=value", "--kind", "S=spectrum", "--kind", "B=block", "--kind", "E=value"]


def row(n, values=400, items=("a", "b"), e="", named=True):
    """Event n: a value, a spectrum of one member, a block (its items
    unnamed as -nonvn writes them, unless `named`), a cell E."""
    spectrum = " ".join("%de+00" % ((n + i) % 9 + 1) for i in range(values))
    block = "".join(("[%s:%.2e]" % (name, n + k)) if named else ("[%.2e]" % (n + k))
                    for k, name in enumerate(items))
    return "%d,%d:0,1970-01-01T00:00:00Z,[[%.6f]],[[%s]],[%s],%s\n" % (
        n + 1, 100 + n, n / 8, spectrum, block, e)


def table(late, every=None):
    """ROWS events of row's keywords `every`; from event ROWS - 10 on,
    `late` too."""
    lines = ["EventId,Time,TimeISO,V,S,B,E\n"]
    lines += [row(n, **dict(every or {}, **(late if n >= ROWS - 10 else {})))
              for n in range(ROWS)]
    return "".join(lines)


def read_chars(command, cwd):
    """Runs the command; returns (status, standard error, bytes it read)."""
    p = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    with p.stderr:
        err = p.stderr.read().decode()
    os.waitid(os.P_PID, p.pid, os.WEXITED | os.WNOWAIT)  # exited, not yet reaped
    with open("/proc/%d/io" % p.pid) as io:
        rchar = int(next(l for l in io if l.startswith("rchar:")).split()[1])
    return p.wait(), err, rchar


def said(err, out):
    """The messages of a run, in order, without the one walk's note and
    with the output's name left out."""
    return [l.replace(out, "OUT") for l in err.splitlines() if "converting again" not in l]


def differences(a, b):
    """What differs between two files but chunk shapes, as a list."""
    found = []

    def compare(name, x):
        y = b.get(name)
        if y is None or type(x) is not type(y):
            found.append("%s: missing" % name)
            return
        if set(x.attrs) != set(y.attrs):
            found.append("%s: attributes %s" % (name, set(x.attrs) ^ set(y.attrs)))
        for k in x.attrs:
            if k not in ("DIMENSION_LIST", "REFERENCE_LIST") and k in y.attrs and \
                    not np.array_equal(np.asarray(x.attrs[k]), np.asarray(y.attrs[k])):
                found.append("%s@%s" % (name, k))
        if isinstance(x, h5py.Dataset):
            if x.dtype != y.dtype or x.shape != y.shape:
                found.append("%s: %s %s, not %s %s" % (name, x.dtype, x.shape, y.dtype, y.shape))
            elif x.dtype.kind == "f":
                if not np.array_equal(x[()], y[()], equal_nan=True):
                    found.append("%s: values" % name)
            elif not np.array_equal(x[()], y[()]):
                found.append("%s: values" % name)

    compare("/", a["/"])
    a.visititems(compare)
    names = []
    b.visit(names.append)
    found += ["%s: not in the first" % n for n in names if n not in a]
    return found


class OneWalkTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="korvel-h5-one-")
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def convert(self, text, options, out):
        path = os.path.join(self.dir, "t.csv")
        with open(path, "w") as f:
            f.write(text)
        status, err, rchar = read_chars([CONVERTER, "--no-progress", "--xml", "none", "t.csv",
                                         "-o", out] + options, self.dir)
        self.assertEqual(status, 0, err)
        return err, rchar, os.path.getsize(path)

    def test_one_walk_makes_the_file_two_walks_make(self):
        # (case, what changes late, options, does the layout of the first
        # rows hold to the end)
        cases = [
            ("steady", {}, KINDS, True),
            ("steady, kinds left to the cells", {}, [], True),
            ("a longer spectrum", {"values": 420}, KINDS, False),
            # an item first seen late gets its dataset then, among the others
            ("an item first seen late", {"items": ("a", "late", "b")}, KINDS, True),
            ("more unnamed items late", {"items": ("a", "b", "c"), "named": False}, KINDS, True),
            ("a channel of kind none in --like gets data", {"e": "[[2.500000]]"},
             ["--like", "like.h5"], False),
        ]
        self.convert(table({}), [], "like.h5")
        for case, late, options, holds in cases:
            with self.subTest(case):
                text = table(late, {"named": late.get("named", True)})
                err, rchar, size = self.convert(text, options, "one.h5")
                self.assertEqual("converting again" not in err, holds, err)
                if holds:
                    self.assertLess(rchar, size + FIRST_ROWS + (1 << 20), "read once")
                err2, _, _ = self.convert(text, options + ["--strict"], "two.h5")
                self.assertEqual(said(err, "one.h5"), said(err2, "two.h5"))
                with h5py.File(os.path.join(self.dir, "one.h5"), "r") as a, \
                        h5py.File(os.path.join(self.dir, "two.h5"), "r") as b:
                    self.assertEqual(differences(a, b), [])
                    self.assertEqual(a["entry"].attrs["events"], ROWS)


def main():
    if not CONVERTER:
        sys.exit("h5_one_walk.py: set KORVEL_H5 (CTest does)")
    unittest.main()


if __name__ == "__main__":
    main()
