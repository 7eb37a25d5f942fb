"""One run: the converter's file opened as a Run, its events and channels,
selections of channels and events, and its data as xarray, pandas and Dask
objects labelled by event id."""

import sys

import numpy as np

from . import _arrays, _file, _names
from ._names import UnknownChannel

# What `present` says of an event in a channel; only DATA is data.
DATA, NONE, EMPTY, NOT_UNDERSTOOD, NOT_REACHED, CUT_HERE = 1, 0, 2, -1, -2, -3
SCALAR_KINDS = ("value", "marker", "item")


def open_run(path):
    """Open the HDF5 file of a run written by korvel-h5.

    Parameters
    ----------
    path : str or os.PathLike
        The file (layout version 1 or 2).

    Returns
    -------
    Run
        The whole run; use it as a context manager, or call ``close()``.

    Raises
    ------
    KorvelError
        The file is missing, not HDF5, not the converter's, of an unknown
        layout version or damaged; the message names the file and why.
    """
    return Run(_file.Source(path))


class Run:
    """A run, or a selection of its channels and events.

    ``select`` and ``select_events`` give new Run objects over the same open
    file; closing any of them closes the file.

    Attributes
    ----------
    path : str
        The file.
    key : str
        The run's key: ``/entry@run`` (layout 2), else the file's name
        without its extension.
    layout_version : int
        1 or 2.
    """

    def __init__(self, source, refs=None, rows=None):
        self._source = source
        self._refs = refs if refs is not None else _names.whole(source.channels)
        self._rows = rows if rows is not None else np.arange(source.n_events, dtype=np.int64)
        self.path = source.path
        self.key = source.run_key()
        self.layout_version = source.version

    # ---- the run as a whole ----------------------------------------------------------

    def close(self):
        """Close the file (of this run and every selection made from it)."""
        self._source.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __len__(self):
        return len(self._rows)

    def __repr__(self):
        return "<korvel.Run %s: %d events, %d channels>" % (self.path, len(self), len(self._refs))

    @property
    def events(self):
        """The selected events: a DataFrame indexed by ``event_id`` with
        ``time`` (datetime64, UTC), ``status`` (only when the table has
        status columns) and ``complete`` (False for a row cut short)."""
        import pandas as pd

        ev, rows = self._source.events, self._rows
        data = {"time": self._source.times[rows]}
        if "status" in ev:
            data["status"] = ev["status"][rows]
        data["complete"] = ev["complete"][rows].astype(bool)
        return pd.DataFrame(data, index=pd.Index(ev["id"][rows], name="event_id"))

    @property
    def channels(self):
        """The selected channels: a DataFrame indexed by name (title,
        ``TITLE/ITEM`` or ``TITLE[k]``) with title, kind, units, long_name,
        shape (of one event's values) and dtype."""
        import pandas as pd

        rows = []
        for ref in self._refs:
            found = _arrays.pieces(ref)
            a = _arrays.attrs(ref)
            rows.append({"name": ref.name, "title": ref.channel.title, "kind": ref.kind,
                         "units": a["units"], "long_name": a["long_name"],
                         "shape": _arrays.inner_shape(ref, found),
                         "dtype": str(_arrays.value_dtype(ref, found)) if found else ""})
        cols = ["title", "kind", "units", "long_name", "shape", "dtype"]
        return pd.DataFrame(rows, columns=["name"] + cols).set_index("name")

    def summary(self):
        """The run at a glance as a dict (what ``info`` prints and
        ``korvel-ls --json`` writes)."""
        from ._summary import summary
        return summary(self)

    def info(self, buf=None):
        """Print the run at a glance: events, id and time range, rate, rows
        cut short, and per channel kind, units, shape, dtype and the share
        of events with data.

        Parameters
        ----------
        buf : file-like, optional
            Where to write (default: standard output).
        """
        from ._summary import text
        (buf or sys.stdout).write(text(self.summary()))

    # ---- selections ------------------------------------------------------------------

    def _derive(self, refs=None, rows=None):
        return Run(self._source, self._refs if refs is None else refs,
                   self._rows if rows is None else rows)

    def _resolve(self, patterns, missing_ok=False):
        refs, unmatched = _names.resolve(self._source.channels, patterns, self._refs)
        if unmatched and not missing_ok:
            raise UnknownChannel("%s: no channel matches %s" % (
                self.path, ", ".join(repr(p) for p in unmatched)))
        return refs, unmatched

    def _one(self, name):
        refs, _ = self._resolve([name])
        if len(refs) != 1:
            raise UnknownChannel("%s: %r names %d channels (%s); name one" % (
                self.path, name, len(refs), ", ".join(r.name for r in refs[:5])))
        return refs[0]

    def _has(self, channel, rows=None):
        """Whether each of rows (default: the selected events) has data."""
        rows = self._rows if rows is None else rows
        return _file.read_rows(channel.dataset("present"), rows) == DATA

    def select(self, patterns, require_all=False):
        """The run restricted to some channels.

        Parameters
        ----------
        patterns : str or list of str
            Shell wildcards (``*``, ``?``, ``[...]``) on channel names; an
            item of a name-value block is ``CHANNEL/ITEM``, member k of a
            spectrum ``CHANNEL[k]``. An exact name is taken as it is.
        require_all : bool
            Keep only the events in which every selected channel has data.

        Raises
        ------
        UnknownChannel
            A pattern matches no channel of the selection.
        """
        refs, _ = self._resolve(patterns)
        rows = self._rows
        if require_all:
            keep = np.ones(len(rows), bool)
            for index in dict.fromkeys(r.channel.index for r in refs):
                keep &= self._has(self._source.channels[index])
            rows = rows[keep]
        return self._derive(refs, rows)

    def select_events(self, ids):
        """The run restricted to some events.

        Parameters
        ----------
        ids : slice, boolean Series or array, or list of event ids
            ``slice(first, last)``: the events whose id lies between first
            and last, both included (either may be None). A boolean Series
            indexed by event id (as ``run.events`` and ``get_dataframe``
            give) or a boolean array, one value per selected event. A list
            of ids: the events with those ids, in file order.

        Raises
        ------
        KeyError
            An id of the list is not in the run.
        """
        return self._derive(rows=self._rows[event_mask(self, ids)])

    # ---- data --------------------------------------------------------------------------

    def _coords(self, rows):
        return {"event_id": self._source.events["id"][rows],
                "time": ("event_id", self._source.times[rows])}

    def get_array(self, channel, fill=None, lazy=False):
        """The values of one channel as an xarray DataArray.

        Parameters
        ----------
        channel : str
            A channel name, ``CHANNEL/ITEM`` or ``CHANNEL[k]`` (or a pattern
            naming exactly one of them).
        fill : scalar, optional
            Keep the events without data, with this value (``numpy.nan``
            turns integer data into floats). By default they are left out.
        lazy : bool
            Wrap ``get_dask_array``: nothing is read until computed.

        Returns
        -------
        xarray.DataArray
            Dimension ``event_id`` (coordinates event ids and ``time``),
            then ``item`` (a block), ``member`` and ``x`` (a spectrum; x the
            axis values where the file has them, else the value index), or
            ``y`` and ``x`` (an image); attrs units, long_name, kind,
            source_format and title.
        """
        import xarray as xr
        ref = self._one(channel)
        has = self._has(ref.channel)
        rows = self._rows if fill is not None else self._rows[has]
        if lazy:
            values = _arrays.dask_array(ref, self._rows, has, fill)
        else:
            values = _arrays.read(ref, rows)
            if fill is not None:
                values = values.astype(_arrays.filled_dtype(values.dtype, fill), copy=False)
                values[~has] = fill
        shape = values.shape[1:]
        coords = self._coords(rows)
        coords.update(_arrays.coords(ref, shape))
        return xr.DataArray(values, dims=("event_id",) + _arrays.dims(ref, shape),
                            coords=coords, name=ref.name, attrs=_arrays.attrs(ref))

    def get_dask_array(self, channel, fill=None):
        """The values of one channel as a Dask array, read when computed.

        Each chunk is a whole number of the file's chunks along the events
        (one task reads one stretch of the file). The channel's ``present``
        flags (one byte per event) are read at once, to know which events
        have data; events without data are left out, or set to fill.

        Parameters
        ----------
        channel : str
            As for ``get_array``.
        fill : scalar, optional
            As for ``get_array``.
        """
        ref = self._one(channel)
        return _arrays.dask_array(ref, self._rows, self._has(ref.channel), fill)

    def get_dataframe(self, patterns=None):
        """Scalar channels as a pandas DataFrame indexed by event id.

        Parameters
        ----------
        patterns : str or list of str, optional
            As for ``select``; default: every selected channel. Value and
            marker channels become a column each (a marker 1.0), name-value
            blocks a column per item named ``CHANNEL/ITEM``; spectra and
            images are left out.

        Returns
        -------
        pandas.DataFrame
            Index ``event_id``, a ``time`` column, then float32 columns,
            NaN where the event has no data (a value that was NaN in the
            table is NaN too: ``get_array`` tells them apart).
        """
        refs = self._refs if patterns is None else self._resolve(patterns)[0]
        cols = [p for r in refs for p in _names.parts(r) if p.kind in SCALAR_KINDS]
        if patterns is not None and not cols:
            raise UnknownChannel("%s: %s names no value, marker or block item"
                                 % (self.path, patterns))
        return self._frame(cols)

    def _frame(self, cols):
        """The columns cols (value, marker and item Refs) as a float32 frame.

        A float dataset is NaN wherever its channel's `present` is not 1
        (the datasets' fill value, and the converter writes NaN over a cell
        it could not read), so it is taken as stored: a table of hundreds
        of channels then costs one read per column, not two. A marker's
        data is 0 where it was not written and is masked by `present`.
        """
        import pandas as pd

        rows = self._rows
        buf = np.empty((len(cols), len(rows)), np.float32)
        for k, ref in enumerate(cols):
            ds, inner = _arrays.pieces(ref)[0]
            _file.read_rows(ds, rows, inner, out=buf[k])
            if ds.dtype.kind != "f":
                buf[k][~self._has(ref.channel)] = np.nan
        index = pd.Index(self._source.events["id"][rows], name="event_id")
        df = pd.DataFrame(buf.T, index=index, columns=[r.name for r in cols], copy=False)
        df.insert(0, "time", self._source.times[rows])
        return df


def event_mask(run, ids):
    """Which of run's selected events the argument of select_events keeps."""
    got = run._source.events["id"][run._rows]
    if isinstance(ids, slice):
        if ids.step is not None:
            raise ValueError("%s: select_events takes a slice of event ids without a step"
                             % run.path)
        keep = np.ones(len(got), bool)
        if ids.start is not None:
            keep &= got >= ids.start
        if ids.stop is not None:
            keep &= got <= ids.stop
        return keep
    # A pandas Series can only be given once pandas is imported; the
    # package imports it only when it makes a frame, so that korvel-ls and
    # the catalogue start without it.
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(ids, pd.Series) and ids.dtype == bool:
        if len(ids) == len(got) and np.array_equal(ids.index.to_numpy(), got):
            return ids.to_numpy()
        return np.isin(got, ids.index.to_numpy()[ids.to_numpy()])
    arr = np.asarray(ids)
    if arr.dtype == bool:
        if arr.shape != got.shape:
            raise ValueError("%s: a boolean mask of %d values for %d events"
                             % (run.path, arr.size, len(got)))
        return arr
    want = np.unique(arr.astype(np.int64).reshape(-1))
    missing = np.setdiff1d(want, got)
    if len(missing):
        raise KeyError("%s: no event with id %s" % (run.path, ", ".join(map(str, missing[:5]))))
    return np.isin(got, want)

