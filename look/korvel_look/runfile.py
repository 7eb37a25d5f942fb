"""Opening a korvel-h5 file, checking that it is one, its channel table, the
run's and the channels' attributes, the presence codes of its `present`
datasets, and reads along the event axis in chunk-aligned slices.

Every per-event dataset is read in slices of whole chunks (a few MiB at a
time), never whole: memory stays flat whatever the run's length.
"""

import dataclasses
import os

import h5py
import numpy as np

# Layout versions this program reads. Version 2 adds what the report uses
# where present (run metadata, units on the signal datasets, the failed-query
# state, the precision and EqData attributes); version 1 files lack them.
LAYOUT_VERSIONS = (1, 2)

# Run metadata: the attributes of /entry in version 2.
RUN_ATTRIBUTES = ("run", "source_table", "events", "cut_rows", "channels",
                  "first_event_id", "last_event_id", "start_time", "end_time")

# The presence codes of a channel's `present` dataset, one per event: data;
# the cell says there is none; an empty cell; a cell not understood; not
# reached (the row was cut before the channel); the channel whose reader
# query failed and cut the row.
PRESENT_DATA, PRESENT_NONE, PRESENT_EMPTY = 1, 0, 2
PRESENT_NOT_UNDERSTOOD, PRESENT_NOT_REACHED, PRESENT_QUERY_FAILED = -1, -2, -3

# Bytes read at a time from one dataset: whole chunks up to about this much
# (the converter's chunks hold about 1 MiB), so that a long run reads in
# slices of the same size as a run of a few thousand events.
SLICE_BYTES = 2 << 20

# The chunk cache of every dataset: large enough for the biggest chunk the
# converter writes (about 1 MiB, or one camera frame), so that a slice of a
# chunk read twice (a camera's present next to its frames) is inflated once.
CHUNK_CACHE_BYTES = 4 << 20


class BadFile(Exception):
    """The file cannot be reported on; the message says why, in one line."""


@dataclasses.dataclass(eq=False)
class Channel:
    """One row of the channel table: its position, title, group path
    (relative to /entry/channels), kind, and the h5py group or None."""

    index: int
    title: str
    group: str
    kind: str
    node: object


def text(value):
    """A fixed-length string element or attribute as Python text; bytes that
    are not UTF-8 are shown as replacement characters."""
    if isinstance(value, np.ndarray) and value.shape == (1,):
        value = value[0]
    if isinstance(value, (bytes, np.bytes_)):
        return bytes(value).rstrip(b"\0").decode("utf-8", "replace")
    return str(value)


def open_run(path):
    """The open h5py file of a korvel-h5 run; raises BadFile for a missing
    file, a file that is not HDF5 or not written by korvel-h5, or a layout
    version this program does not know."""
    if not os.path.exists(path):
        raise BadFile("no such file")
    if os.path.isdir(path):
        raise BadFile("is a directory, not an HDF5 file")
    try:
        f = h5py.File(path, "r", rdcc_nbytes=CHUNK_CACHE_BYTES, rdcc_nslots=1009)
    except OSError as e:
        if not os.access(path, os.R_OK):
            raise BadFile("cannot be read (permission denied)") from e
        raise BadFile("not an HDF5 file") from e
    try:
        check_layout(f)
    except BadFile:
        f.close()
        raise
    return f


def check_layout(f):
    """Raises BadFile unless f carries the layout this program reads."""
    if "layout_version" not in f.attrs:
        raise BadFile("not a korvel-h5 file (no layout_version attribute at its root)")
    try:
        version = int(np.asarray(f.attrs["layout_version"]).reshape(-1)[0])
    except (TypeError, ValueError, IndexError) as e:
        raise BadFile("not a korvel-h5 file (layout_version is not a number)") from e
    if version not in LAYOUT_VERSIONS:
        raise BadFile("layout version %d is not known (korvel-look reads versions %s)"
                      % (version, " and ".join(str(v) for v in LAYOUT_VERSIONS)))
    for name in ("entry/event/id", "entry/event/time", "entry/channel_table/title",
                 "entry/channel_table/group", "entry/channel_table/kind"):
        if not isinstance(lookup(f, name), h5py.Dataset):
            raise BadFile("not a korvel-h5 file (/%s is missing)" % name)
    n = f["entry/event/id"].shape[0]
    if f["entry/event/time"].shape[0] != n:
        raise BadFile("damaged: /entry/event/time and /entry/event/id differ in length")
    table = [f["entry/channel_table/" + k].shape for k in ("title", "group", "kind")]
    if len(set(table)) != 1:
        raise BadFile("damaged: the columns of /entry/channel_table differ in length")


def layout_version(f):
    """The file's layout version (the file passed check_layout)."""
    return int(np.asarray(f.attrs["layout_version"]).reshape(-1)[0])


def event_count(f):
    return f["entry/event/id"].shape[0]


def root_text(f, name):
    """A root attribute as text, or "" when absent."""
    return text(f.attrs[name]) if name in f.attrs else ""


def attr_value(attrs, name):
    """An attribute as a plain Python value: text for strings, int or float
    for a number, None when absent, not finite or of another shape (a
    foreign file's array is not taken for a scalar)."""
    if name not in attrs:
        return None
    value = attrs[name]
    if isinstance(value, (bytes, np.bytes_, str)):
        return text(value)
    a = np.asarray(value)
    if a.size != 1:
        return None
    a = a.reshape(-1)[0]
    if isinstance(a, (bytes, np.bytes_, str)):
        return text(a)
    if np.issubdtype(type(a), np.integer):
        return int(a)
    if np.issubdtype(type(a), np.floating) and np.isfinite(a):
        return float(a)
    return None


def attr_flag(attrs, name):
    """A uint8 flag attribute (1 set), False when absent or not a number."""
    value = attr_value(attrs, name)
    return isinstance(value, int) and value != 0


def run_metadata(f):
    """The run metadata of /entry that the file has, as a dict (empty for
    version 1, which has none)."""
    entry = f["entry"]
    meta = {}
    for name in RUN_ATTRIBUTES:
        value = attr_value(entry.attrs, name)
        if value is not None:
            meta[name] = value
    return meta


def signal_text(node, ds, name):
    """A text attribute of a signal dataset (units, long_name): the
    dataset's own (version 2), else its channel group's (version 1)."""
    for holder in (ds, node):
        if holder is not None:
            value = attr_value(holder.attrs, name)
            if isinstance(value, str) and value:
                return value
    return ""


def channels(f):
    """The channel table as a list of Channel, in table order. The table is
    one element per channel (a few hundred bytes each), read in slices."""
    result = []
    cols = [f["entry/channel_table/" + k] for k in ("title", "group", "kind")]
    for start, stop in slices(cols[0], 0, cols[0].shape[0]):
        titles, groups, kinds = (c[start:stop] for c in cols)
        for k in range(stop - start):
            group = text(groups[k])
            node = lookup(f, "entry/channels/" + group) if group else None
            if not isinstance(node, h5py.Group):
                node = None
            result.append(Channel(start + k, text(titles[k]), group, text(kinds[k]), node))
    return result


def slices(ds, first, last, budget=SLICE_BYTES):
    """(start, stop) pairs covering [first, last) of ds's first axis, each
    made of whole chunks (cut at first and last) and about budget bytes."""
    if last <= first:
        return
    row_bytes = max(1, ds.dtype.itemsize * int(np.prod(ds.shape[1:], dtype=np.int64)))
    chunk = ds.chunks[0] if ds.chunks else max(1, budget // row_bytes)
    per = chunk * max(1, budget // max(1, chunk * row_bytes))
    start = first
    while start < last:
        stop = min(last, (start // per + 1) * per)
        yield start, stop
        start = stop


def member(node, name):
    """The dataset name inside group node, or None."""
    if node is None:
        return None
    ds = lookup(node, name)
    return ds if isinstance(ds, h5py.Dataset) else None


def lookup(parent, name):
    """parent.get(name): the object, or None when there is none; raises
    BadFile when a link on the way cannot be followed (a loop of soft
    links, an external link to a file that cannot be opened)."""
    try:
        return parent.get(name)
    except (RuntimeError, KeyError, OSError) as e:
        where = parent.name.rstrip("/") + "/" + name
        raise BadFile("damaged: %s cannot be opened (%s)" % (where, e)) from e
