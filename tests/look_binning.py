#!/usr/bin/python3
"""korvel-look's block binning and the spectra's histogram quantiles on
small arrays whose results are worked out by hand: how the events shown
are cut into blocks, how each slice of a dataset is folded into its blocks
(fed in every way of cutting it), the gravity ranks of the presence codes,
and the 5-95 % band read from each position's histogram.

Needs KORVEL_LOOK (the build tree's program, beside its package); Debian's
/usr/bin/python3 (numpy, h5py)."""

import os
import sys
import unittest

import h5py
import numpy as np

sys.path.insert(0, os.path.dirname(os.environ.get("KORVEL_LOOK", "")))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from korvel_look import bins, figures  # noqa: E402
from look_units import cuts  # noqa: E402

NAN = np.nan


def folded(blocks, values, parts, ufunc, start):
    """values folded into blocks slice by slice (parts, 0-based over
    values, the empty ones left out), from an array filled with start."""
    out = np.full(blocks.count, start, dtype=np.float64)
    for a, b in parts:
        if b > a:
            blocks.reduce(out, values[a:b], blocks.first + a, blocks.first + b, ufunc)
    return out


class BlocksTest(unittest.TestCase):

    def test_block_size_and_count(self):
        # (first, last, columns) -> (events a block, blocks)
        cases = [((0, 10, 800), (1, 10)),       # fewer events than columns
                 ((0, 800, 800), (1, 800)),
                 ((0, 801, 800), (2, 401)),     # one event too many: pairs
                 ((0, 1600, 800), (2, 800)),
                 ((0, 1601, 800), (3, 534)),    # 533 full blocks and one of 2
                 ((5, 15, 4), (3, 4)),          # 3 3 3 1
                 ((7, 7, 4), (1, 0)),           # no events
                 ((9, 3, 4), (1, 0))]
        for (first, last, columns), want in cases:
            b = bins.Blocks(first, last, columns)
            self.assertEqual((b.size, b.count), want, (first, last, columns))

    def test_bounds_of_a_slice(self):
        # Blocks of 3 over events 5..14: [5, 8) [8, 11) [11, 14) [14, 15).
        # (start, stop) -> first block, offsets in the slice where blocks begin
        blocks = bins.Blocks(5, 15, 4)
        cases = [((5, 15), (0, [0, 3, 6, 9])),
                 ((7, 12), (0, [0, 1, 4])),     # 7 in block 0; 8 and 11 begin blocks
                 ((8, 11), (1, [0])),
                 ((13, 15), (2, [0, 1])),       # 13 in block 2, 14 begins block 3
                 ((14, 15), (3, [0]))]
        for (start, stop), (k0, offsets) in cases:
            got_k0, got_offsets = blocks.bounds(start, stop)
            self.assertEqual((got_k0, list(got_offsets)), (k0, offsets), (start, stop))

    def test_reduce_gives_the_same_blocks_however_sliced(self):
        blocks = bins.Blocks(5, 15, 4)
        values = np.array([3, 1, 4, 1, 5, 9, 2, 6, 5, 3], dtype=np.float64)
        # blocks [3 1 4] [1 5 9] [2 6 5] [3]
        cases = [(np.fmin, NAN, [1, 1, 2, 3]),
                 (np.fmax, NAN, [4, 9, 6, 3]),
                 (np.add, 0.0, [8, 15, 13, 3])]
        for ufunc, start, want in cases:
            for parts in cuts(len(values), 3):
                got = folded(blocks, values, parts, ufunc, start)
                self.assertEqual(list(got), want, (ufunc.__name__, parts))

    def test_envelope_leaves_out_nan(self):
        # Blocks of 2: [nan 2] [nan nan] [-1 4]; a block without numbers stays NaN.
        blocks = bins.Blocks(0, 6, 3)
        values = np.array([NAN, 2, NAN, NAN, -1, 4])
        for parts in cuts(len(values), 3):
            env = bins.Envelope(blocks)
            for a, b in parts:
                if b > a:
                    env.add(values[a:b], a, b)
            np.testing.assert_array_equal(env.lo, [2, NAN, -1], err_msg=str(parts))
            np.testing.assert_array_equal(env.hi, [2, NAN, 4], err_msg=str(parts))


class PresenceRankTest(unittest.TestCase):

    def test_ranks_follow_the_order_of_gravity(self):
        # data < none < empty cell < not reached < query failed < not
        # understood; any other code is not understood, in any integer type,
        # also one that a narrower type would wrap onto a known code.
        cases = [(np.int8, [1, 0, 2, -2, -3, -1, 3, -4, 127, -128],
                  [0, 1, 2, 3, 4, 5, 5, 5, 5, 5]),
                 (np.int32, [1, 65537, 65536, -65535, -3], [0, 5, 5, 5, 4]),
                 (np.uint8, [0, 1, 2, 255, 253], [1, 0, 2, 5, 5]),
                 (np.uint64, [2, 2**64 - 1, 2**64 - 3], [2, 5, 5])]
        for dtype, codes, want in cases:
            got = bins.ranks(np.array(codes, dtype=dtype))
            self.assertEqual((got.dtype, list(got)), (np.int8, want), dtype)

    def test_a_block_shows_its_gravest_state(self):
        # Blocks of 2: [data none] [data data] [not reached, query failed]
        blocks = bins.Blocks(0, 6, 3)
        codes = np.array([1, 0, 1, 1, -2, -3], dtype=np.int8)
        for parts in cuts(len(codes), 3):
            worst = np.zeros(blocks.count, dtype=np.int8)
            for a, b in parts:
                if b > a:
                    blocks.reduce(worst, bins.ranks(codes[a:b]), a, b, np.maximum)
            self.assertEqual(list(worst), [1, 0, 4], parts)


class QuantileTest(unittest.TestCase):

    def test_quantiles_of_histograms(self):
        # One position per row: its histogram, lowest value, bin width and
        # {q: quantile}, linear within the bin that holds q * count.
        # [2 2 0 4], 8 values: q 0.05 is 0.4 of a value, 0.2 into bin 0;
        # 0.5 is 4, the top of bin 1; 0.95 is 7.6, 3.6 of bin 3's 4.
        # [0 0 5 0]: 2.5 of 5 values, half way through bin 2.
        cases = [([2, 2, 0, 4], 0.0, 1.0, {0: 0.0, 0.05: 0.2, 0.25: 1.0, 0.5: 2.0,
                                           0.95: 3.9, 1: 4.0}),
                 ([2, 2, 0, 4], 10.0, 0.5, {0.05: 10.1, 0.5: 11.0, 0.95: 11.95}),
                 ([0, 0, 5, 0], -1.0, 2.0, {0.5: 4.0, 0.1: 3.2, 1: 5.0}),
                 ([0, 0, 0, 0], 3.0, 1.0, {0.05: NAN, 0.95: NAN})]
        hist = np.array([c[0] for c in cases], dtype=np.int64)
        count = hist.sum(axis=1).astype(np.float64)
        lo = np.array([c[1] for c in cases])
        step = np.array([c[2] for c in cases])
        for k, (_, _, _, want) in enumerate(cases):
            for q, value in want.items():
                got = figures.histogram_quantile(hist, count, lo, step, q)[k]
                np.testing.assert_allclose(got, value, rtol=0, atol=1e-12,
                                           err_msg="case %d, q %s" % (k, q))

    def test_band_of_a_spectrum(self):
        # One member of four values over 257 events:
        # 0: 0, 1, ..., 256: bins of width 1, 256 shares bin 255 with 255;
        #    5 % of 257 values is 12.85, in bin 12 (13 values to its top),
        #    95 % is 244.15, in bin 244;
        # 1: 7.5 always: no width, the band is the value itself;
        # 2: 0 ... 128, then no numbers: 129 values, bins of width 0.5, value
        #    j in bin 2j (128 in bin 255); 5 % is 6.45 values, 0.45 into
        #    bin 12: 12.45 bins, 6.225; 95 % is 122.55, 0.55 into bin 244:
        #    244.55 bins, 122.275;
        # 3: no numbers at all.
        events = np.arange(257, dtype=np.float64)
        data = np.stack([events, np.full(257, 7.5),
                         np.where(events <= 128, events, NAN), np.full(257, NAN)], axis=1)
        want = ([12.85, 7.5, 6.225, NAN], [244.15, 7.5, 122.275, NAN])
        with h5py.File("band.h5", "w", driver="core", backing_store=False) as f:
            ds = f.create_dataset("data", data=data[:, None, :].astype(np.float32),
                                  chunks=(64, 1, 4))
            wblocks = bins.Blocks(0, 257, figures.WATERFALL_ROWS)
            st = figures.spectrum_stats(ds, 0, 257, wblocks)
            band = figures.spectrum_band(ds, 0, 257, st)
        for got, expected, q in zip(band, want, (0.05, 0.95)):
            np.testing.assert_allclose(got[0], expected, rtol=0, atol=1e-9, err_msg=str(q))


if __name__ == "__main__":
    unittest.main()
