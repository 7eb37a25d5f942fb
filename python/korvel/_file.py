"""The converter's HDF5 file as the package reads it: opening and checking
it (layout versions 1 and 2), the event columns, the channel table with
what each channel holds, and reads along the event axis in whole chunks.

Every error about a file is a KorvelError whose message starts with the
file's name and says what is wrong in one line.
"""

import collections
import functools
import os
import threading

import h5py
import numpy as np

from ._names import name_channels

LAYOUT_VERSIONS = (1, 2)

# Bytes read from one dataset at a time when only some of its rows are
# wanted: whole chunks up to about this much, so that memory stays near the
# result's size whatever the run's length.
BLOCK_BYTES = 32 << 20

# The chunk cache of every open file: above the largest chunk the converter
# writes (about 1 MiB, or one camera frame of up to 16 MiB is read whole).
CHUNK_CACHE_BYTES = 4 << 20

# HDF5's metadata cache of every open file (see limit_metadata_cache).
METADATA_CACHE_BYTES = 4 << 20

EVENT_COLUMNS = ("id", "time_s", "time_us", "complete")
TABLE_COLUMNS = ("title", "group", "kind")


class KorvelError(Exception):
    """A file that cannot be read as a run, or a part of it that is missing
    or damaged; the message names the file and the reason."""


def text(value):
    """A fixed-length or variable-length string as Python text; bytes that
    are not UTF-8 become replacement characters."""
    if isinstance(value, np.ndarray) and value.shape in ((), (1,)):
        value = value.reshape(-1)[0]
    if isinstance(value, (bytes, np.bytes_)):
        return bytes(value).rstrip(b"\0").decode("utf-8", "replace")
    return str(value)


def attr_text(obj, name):
    """An attribute as text, or None when obj lacks it."""
    if obj is None or name not in obj.attrs:
        return None
    return text(obj.attrs[name])


class Channel:
    """One row of the channel table and what its group holds.

    Attributes
    ----------
    index : int
        Position in the channel table.
    title, group, kind : str
        The title as the table writes it, the group path below
        /entry/channels, and the kind (marker, value, block, spectrum,
        image or none).
    """

    def __init__(self, source, index, title, group, kind):
        self.source = source
        self.index = index
        self.title = title
        self.group = group
        self.kind = kind
        self.path = "entry/channels/" + group

    @functools.cached_property
    def group_node(self):
        """The channel's h5py group, or None when the file lacks it; opened
        once, so that its datasets are found without walking the path."""
        node = self.source.file.get(self.path)
        return node if isinstance(node, h5py.Group) else None

    def node(self):
        """The channel's h5py group; KorvelError when it is missing."""
        if self.group_node is None:
            raise self.source.error("/%s is missing (channel %s)" % (self.path, self.title))
        return self.group_node

    def dataset(self, name):
        """The dataset `name` of the channel's group, checked to run along
        the events; KorvelError when it is missing or of another length."""
        return self.source.dataset("%s/%s" % (self.path, name), self.title,
                                   self.group_node, name)

    @functools.cached_property
    def items(self):
        """A block's items as (dataset name, item name) pairs, in the
        file's order; an item without a name (-nonvn) is named by its
        dataset (its position)."""
        if self.kind != "block":
            return []
        table = self.source.file.get(self.path + "/item_names")
        if not isinstance(table, h5py.Dataset):
            raise self.source.error("/%s/item_names is missing (channel %s)"
                                    % (self.path, self.title))
        if table.ndim != 1 or not {"dataset", "name"} <= set(table.dtype.names or ()):
            raise self.source.error("damaged: /%s/item_names is not a table of dataset and "
                                    "name (channel %s)" % (self.path, self.title))
        rows = table[()]
        pairs = []
        for row in rows:
            ds, name = text(row["dataset"]), text(row["name"])
            pairs.append((ds, name or ds))
        return pairs

    @functools.cached_property
    def attrs(self):
        """units, long_name and source_format of the channel ("" when the
        file has none): from the signal dataset where it carries them
        (layout 2), else from the group (both layouts); with layout 2 also
        exact, lossy and lossy_evidence."""
        node = self.group_node
        signal = node.get("data") if node is not None else None
        signal = signal if isinstance(signal, h5py.Dataset) else None
        out = {}
        for key in ("units", "long_name"):
            out[key] = attr_text(signal, key) or attr_text(node, key) or ""
        out["source_format"] = attr_text(node, "source_format") or ""
        if not out["long_name"]:
            out["long_name"] = self.title
        for key in ("exact", "lossy"):      # layout 2: how far the values can be trusted
            if node is not None and key in node.attrs:
                out[key] = int(np.asarray(node.attrs[key]).reshape(-1)[0])
        if out.get("lossy"):
            out["lossy_evidence"] = attr_text(node, "lossy_evidence") or ""
        return out

    def item_units(self, dataset):
        """The units of one item: its own (layout 2), else the block's."""
        ds = self.source.file.get("%s/items/%s" % (self.path, dataset))
        return attr_text(ds if isinstance(ds, h5py.Dataset) else None,
                         "units") or self.attrs["units"]

    @functools.cached_property
    def members(self):
        """A spectrum's members (the second dimension of its data); 0 for
        any other kind."""
        if self.kind != "spectrum":
            return 0
        ds = self.dataset("data")
        return ds.shape[1] if ds.ndim == 3 else 0

    def signal(self):
        """The dataset holding the channel's data, by kind; None for a
        channel of kind none (it has `present` only)."""
        if self.kind in ("value", "marker", "spectrum", "image"):
            return self.dataset("data")
        return None


class Source:
    """An open converter file: its version, event columns and channels.

    Parameters
    ----------
    path : str
        The HDF5 file written by korvel-h5.
    """

    def __init__(self, path):
        self.path = os.fspath(path)
        self.abspath = os.path.abspath(self.path)
        self.file = open_checked(self.path)
        try:
            self.version = layout_version(self.file, self.path)
            self.events = self._read_events()
            self.times = event_times(self.events)
            self.channels = self._read_channels()
        except BaseException:
            self.file.close()
            raise

    def error(self, reason):
        return KorvelError("%s: %s" % (self.path, reason))

    def close(self):
        forget(self.path)
        if self.file.id.valid:
            self.file.close()

    def __reduce__(self):
        return (Source, (self.path,))

    @property
    def n_events(self):
        return len(self.events["id"])

    def dataset(self, path, title=None, base=None, name=None):
        """The dataset at path (or name inside the group base, when given),
        checked to hold one row per event."""
        ds = self.file.get(path) if base is None else base.get(name)
        what = " (channel %s)" % title if title is not None else ""
        if not isinstance(ds, h5py.Dataset):
            raise self.error("/%s is missing%s" % (path, what))
        if ds.ndim == 0 or ds.shape[0] != self.n_events:
            rows = ds.shape[0] if ds.ndim else 0
            raise self.error("damaged: /%s has %d rows, the run has %d events%s"
                             % (path, rows, self.n_events, what))
        return ds

    def root_text(self, name):
        return attr_text(self.file, name) or ""

    def run_key(self):
        """/entry@run (layout 2), else the file's name without directory
        and extension."""
        key = attr_text(self.file.get("entry"), "run")
        if key:
            return key
        return os.path.splitext(os.path.basename(self.path))[0]

    def _read_events(self):
        base = "entry/event/"
        for name in EVENT_COLUMNS:
            if not isinstance(self.file.get(base + name), h5py.Dataset):
                raise self.error("not a korvel-h5 file (/%s%s is missing)" % (base, name))
        n = self.file[base + "id"].shape[0]
        events = {}
        for name in EVENT_COLUMNS + ("status",):
            ds = self.file.get(base + name)
            if not isinstance(ds, h5py.Dataset):
                continue
            if ds.shape != (n,):
                raise self.error("damaged: /%s%s has shape %s, /entry/event/id has %d rows"
                                 % (base, name, ds.shape, n))
            events[name] = ds[()]
        return events

    def _read_channels(self):
        cols = []
        for name in TABLE_COLUMNS:
            ds = self.file.get("entry/channel_table/" + name)
            if not isinstance(ds, h5py.Dataset):
                raise self.error("not a korvel-h5 file (/entry/channel_table/%s is missing)"
                                 % name)
            cols.append(ds[()])
        if len({len(c) for c in cols}) != 1:
            raise self.error("damaged: the columns of /entry/channel_table differ in length")
        channels = [Channel(self, k, text(t), text(g), text(kd))
                    for k, (t, g, kd) in enumerate(zip(*cols))]
        name_channels(channels)
        return channels


def event_times(events):
    """The events' times as datetime64[ns], exact from seconds and
    microseconds (not through the float `time`)."""
    us = events["time_s"].astype(np.int64) * 1000000 + events["time_us"].astype(np.int64)
    return us.astype("datetime64[us]").astype("datetime64[ns]")


def open_checked(path):
    """The h5py file at path, opened for reading; KorvelError for a missing
    file, a directory, an unreadable file or one that is not HDF5."""
    if not os.path.exists(path):
        raise KorvelError("%s: no such file" % path)
    if os.path.isdir(path):
        raise KorvelError("%s: is a directory, not an HDF5 file" % path)
    try:
        f = h5py.File(path, "r", rdcc_nbytes=CHUNK_CACHE_BYTES, rdcc_nslots=1009)
    except OSError as e:
        if not os.access(path, os.R_OK):
            raise KorvelError("%s: cannot be read (permission denied)" % path) from e
        raise KorvelError("%s: not an HDF5 file" % path) from e
    limit_metadata_cache(f)
    return f


def limit_metadata_cache(f):
    """Keeps HDF5's cache of object headers small: it grows towards 32 MiB
    when a table of hundreds of channels is read, which would cost more
    than the table itself; the headers are read once each anyway."""
    config = f.id.get_mdc_config()
    config.set_initial_size = True
    config.initial_size = METADATA_CACHE_BYTES // 4
    config.min_size = METADATA_CACHE_BYTES // 4
    config.max_size = METADATA_CACHE_BYTES
    f.id.set_mdc_config(config)


def layout_version(f, path):
    """The file's layout version, checked to be one this package reads."""
    if "layout_version" not in f.attrs:
        raise KorvelError("%s: not a korvel-h5 file (no layout_version attribute at its root)"
                          % path)
    try:
        version = int(np.asarray(f.attrs["layout_version"]).reshape(-1)[0])
    except (TypeError, ValueError, IndexError) as e:
        raise KorvelError("%s: not a korvel-h5 file (layout_version is not a number)"
                          % path) from e
    if version not in LAYOUT_VERSIONS:
        raise KorvelError("%s: layout version %d is not known (this korvel reads versions %s)"
                          % (path, version, " and ".join(map(str, LAYOUT_VERSIONS))))
    return version


# ---- Reads along the event axis -------------------------------------------------------

def block_rows(ds, budget=BLOCK_BYTES):
    """Rows per read of ds: a whole number of its chunks, about budget bytes."""
    row_bytes = max(1, ds.dtype.itemsize * int(np.prod(ds.shape[1:], dtype=np.int64)))
    chunk = ds.chunks[0] if ds.chunks else max(1, budget // row_bytes)
    return chunk * max(1, budget // max(1, chunk * row_bytes))


def read_rows(ds, rows, inner=(), out=None):
    """ds[rows][:, *inner] for sorted, distinct row numbers rows, into out
    when given (HDF5 converts to out's type).

    A contiguous range is read straight into the result; other rows are read
    in blocks of whole chunks, each block's wanted rows copied out, so
    memory stays near the result's size.
    """
    rows = np.asarray(rows, dtype=np.int64)
    if out is None:
        probe = np.empty((0,) + ds.shape[1:], dtype=ds.dtype)[(slice(None),) + inner]
        out = np.empty((len(rows),) + probe.shape[1:], dtype=ds.dtype)
    if len(rows) == 0:
        return out
    first, last = int(rows[0]), int(rows[-1]) + 1
    if last - first == len(rows):
        ds.read_direct(out, (slice(first, last),) + inner)
        return out
    step = block_rows(ds)
    start = first - first % step
    while start < last:
        stop = min(start + step, last)
        a, b = np.searchsorted(rows, [start, stop])
        if b > a:
            want = rows[a:b]
            if want[-1] - want[0] + 1 == b - a:
                ds.read_direct(out[a:b], (slice(int(want[0]), int(want[-1]) + 1),) + inner)
            else:
                lo = int(want[0])
                out[a:b] = ds[(slice(lo, int(want[-1]) + 1),) + inner][want - lo]
        start = stop
    return out


# ---- Files opened by path, for reads that run elsewhere (Dask tasks) -------------------

_open_files = collections.OrderedDict()
_open_lock = threading.Lock()
OPEN_FILES_KEPT = 16


def handle(path):
    """An h5py file open for reading at path, kept among the last few used
    in this process, so that the tasks of one array open it once."""
    path = os.path.abspath(path)
    with _open_lock:
        f = _open_files.pop(path, None)
        if f is None or not f.id.valid:
            f = open_checked(path)
        _open_files[path] = f
        while len(_open_files) > OPEN_FILES_KEPT:
            _open_files.popitem(last=False)[1].close()
        return f


def forget(path):
    """Closes the kept file of path, if any (when its run is closed)."""
    path = os.path.abspath(path)
    with _open_lock:
        f = _open_files.pop(path, None)
    if f is not None and f.id.valid:
        f.close()
