#!/usr/bin/python3
"""reference_convert.py - the converter a user would write with numpy and
h5py, as the yardstick of bench/convert.sh.

    /usr/bin/python3 bench/reference_convert.py TABLE OUT.h5

It reads a comma-dialect table line by line, splits each row into its cells
(at the commas outside brackets), turns every list into an array with
np.array (np.fromstring for the digits of a pixel list) and writes one row per event into resizable, uncompressed h5py
datasets: one per channel, shaped as the channel's first filled cell. It
knows the cell forms of the default synthetic mix (markers, single values,
name-value blocks, spectra with statistics, pixel lists) and no more: it is
a measure of speed, not a second converter.
"""
import re
import sys

import h5py
import numpy as np

STAT = re.compile(r"\[\d+\]:\S+")


def split_cells(line):
    """The depth-0 cells of a row: commas inside brackets are kept."""
    cells, cur, depth = [], None, 0
    for piece in line.split(","):
        cur = piece if cur is None else cur + "," + piece
        depth += piece.count("[") - piece.count("]")
        if depth == 0:
            cells.append(cur)
            cur = None
    return cells


def parse_cell(cell):
    """One cell as a numpy array (None: no data)."""
    if cell in ("", "[]", "[[]]"):
        return None
    if cell == "1\t":
        return np.array(1, np.uint8)
    if cell.startswith("[[ ["):  # a spectrum: members "[...]", statistics "[j]:x"
        members = [STAT.sub("", m).split() for m in cell[2:-2].split("][")]
        width = max(len(m) for m in members)
        out = np.full((len(members), width), np.nan, np.float32)
        for i, m in enumerate(members):
            out[i, :len(m)] = np.array(m, np.float32)
        return out
    if ":" in cell:  # a name-value block
        items = cell[2:-2].split("][")
        return np.array([float(i.rsplit(":", 1)[1]) for i in items], np.float32)
    if "." in cell:  # a single value
        return np.array(float(cell[2:-2]), np.float32)
    return np.fromstring(cell[2:-2], np.uint16, sep=" ")  # a pixel list


def main(table, out):
    with open(table) as f, h5py.File(out, "w") as h5:
        titles = f.readline().rstrip("\n").split(",")[3:]
        datasets = {}
        for event, line in enumerate(f):
            cells = split_cells(line.rstrip("\n"))
            for title, cell in zip(titles, cells[3:]):
                data = parse_cell(cell)
                if data is None:
                    continue
                ds = datasets.get(title)
                if ds is None:
                    ds = h5.create_dataset(title.replace("/", "_"), (0,) + data.shape,
                                           data.dtype, maxshape=(None,) + data.shape)
                    datasets[title] = ds
                if data.shape != ds.shape[1:]:
                    continue  # a cell of another size: left out
                ds.resize(event + 1, axis=0)
                ds[event] = data


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
