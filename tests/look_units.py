#!/usr/bin/python3
"""korvel-look's reductions that carry state from one slice of a dataset to
the next, fed the same data in every way of cutting it: the moments of a
series (checked against numpy over the whole array) and the walk of --ids
over the event ids (checked against stretches worked out by hand). The
runs of the other tests fit one slice, so only here are slice boundaries
crossed. Also the one piece of the signal handling no whole run can reach
on purpose: a signal's stop dropped by a C callback is raised again.

Needs KORVEL_LOOK (the build tree's program, beside its package); Debian's
/usr/bin/python3 (numpy)."""

import os
import signal
import sys
import time
import types
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.environ.get("KORVEL_LOOK", "")))
from korvel_look import cli  # noqa: E402
from korvel_look.bins import Moments  # noqa: E402
from korvel_look.selection import IdStretch  # noqa: E402


def cuts(n, pieces):
    """Every way of cutting range(n) at pieces - 1 places (with repeats)."""
    if pieces == 1:
        yield [(0, n)]
        return
    for k in range(n + 1):
        for rest in cuts(n - k, pieces - 1):
            yield [(0, k)] + [(a + k, b + k) for a, b in rest]


class MomentsTest(unittest.TestCase):

    def test_any_slicing_gives_numpy_moments(self):
        rng = np.random.default_rng(7)
        # Values far from zero with a small spread, where a naive sum of
        # squares loses every digit; NaN marks no number.
        values = 1e6 + rng.standard_normal(9)
        values[[2, 5]] = np.nan
        finite = values[~np.isnan(values)]
        for parts in cuts(len(values), 3):
            m = Moments()
            for a, b in parts:
                m.add(values[a:b])
            got = m.numbers()
            self.assertEqual(got["count"], finite.size, parts)
            self.assertEqual((got["min"], got["max"]), (finite.min(), finite.max()), parts)
            self.assertAlmostEqual(got["mean"], finite.mean(), delta=1e-9, msg=parts)
            self.assertAlmostEqual(got["std"], finite.std(), delta=1e-9, msg=parts)

    def test_no_numbers(self):
        m = Moments()
        m.add(np.array([np.nan, np.nan]))
        self.assertEqual(m.numbers(), {"count": 0, "mean": None, "std": None,
                                       "min": None, "max": None})


class IdStretchTest(unittest.TestCase):

    IDS = np.array([10, 11, 13, 20, 21, 22, 30, 5, 6, 12, 21])

    def test_any_slicing_finds_the_same_stretch(self):
        # [lo, hi] -> first and last+1 row of the stretch, ids of the range
        # after it, the row of the first of them
        cases = [((11, 21), (1, 5, 2, 9)),      # then 12 and 21
                 ((20, 22), (3, 6, 1, 10)),     # then 21
                 ((5, 6), (7, 9, 0, None)),
                 ((21, 40), (4, 7, 1, 10)),     # 21 22 30, then 21 again
                 ((0, 100), (0, None, 0, None)),   # to the end of the table
                 ((14, 19), (None, None, 0, None))]
        for (lo, hi), want in cases:
            for parts in cuts(len(self.IDS), 3):
                walk = IdStretch(lo, hi)
                for a, b in parts:
                    walk.add(a, self.IDS[a:b])
                self.assertEqual((walk.first, walk.last, walk.later, walk.later_row), want,
                                 (lo, hi, parts))


class LostStopTest(unittest.TestCase):
    """A signal's Stopped that a C callback drops (h5py calls its logging
    from HDF5's callbacks, which print an exception and go on) still
    reaches the run, a moment later, instead of the report being written
    as if no signal had come."""

    def test_a_dropped_stop_is_raised_again(self):
        cli.SIGNALS.update(hold=True, late=None, raised=signal.SIGINT)
        self.addCleanup(signal.signal, signal.SIGALRM, signal.signal(signal.SIGALRM, cli.on_alarm))
        self.addCleanup(cli.settle_stop)
        with self.assertRaises(cli.Stopped) as caught:
            cli.on_lost_stop(types.SimpleNamespace(exc_value=cli.Stopped(signal.SIGINT)))
            time.sleep(5)  # a bound: the alarm ends it long before
        self.assertEqual(caught.exception.status, 130)


if __name__ == "__main__":
    unittest.main()
