"""Many runs: open together as one Runs whose results gain a `run` level,
or analysed one by one with map_runs, in order or on a Dask cluster."""

import os
import sys
import warnings

import numpy as np

from .run import UnknownChannel, open_run


class MissingChannelWarning(UserWarning):
    """A channel that some of the runs lack; their values are NaN."""


def open_runs(paths, run=None):
    """Open several runs as one.

    Parameters
    ----------
    paths : iterable of str
        The runs' HDF5 files.
    run : list of str, optional
        The runs' keys, one per path. By default ``/entry@run`` (layout 2),
        else the file's name without its extension; when the default keys
        of two runs agree, every run is keyed by its file's name, with a
        warning.

    Returns
    -------
    Runs

    Raises
    ------
    KorvelError
        A file cannot be read (the others are closed again).
    ValueError
        Two runs have the same key (give ``run=``).
    """
    paths = [os.fspath(p) for p in paths]
    if run is not None and len(run) != len(paths):
        raise ValueError("open_runs: %d run keys for %d files" % (len(run), len(paths)))
    opened = []
    try:
        for p in paths:
            opened.append(open_run(p))
        keys = list(run) if run is not None else [r.key for r in opened]
        if run is None and len(set(keys)) < len(keys):
            # Tables keep the plug-in's default name (user_out.txt), so the
            # converter's default keys often agree; the files' names tell
            # the runs apart.
            stems = [os.path.splitext(os.path.basename(p))[0] for p in paths]
            if len(set(stems)) == len(stems):
                warnings.warn("open_runs: runs share the key %r; keyed by their files' "
                              "names instead" % sorted({k for k in keys if keys.count(k) > 1})[0])
                keys = stems
        twice = sorted({k for k in keys if keys.count(k) > 1})
        if twice:
            raise ValueError("open_runs: runs with the same key %s (%s); give run=[...]"
                             % (", ".join(map(repr, twice)),
                                ", ".join(p for p, k in zip(paths, keys) if k in twice)))
    except BaseException:
        for r in opened:
            r.close()
        raise
    return Runs(dict(zip(keys, opened)))


class Runs:
    """Several runs with the methods of a Run; results carry the run's key
    (a ``run`` level in pandas, a ``run`` coordinate along ``event_id`` in
    xarray). Event ids may repeat across runs: every event is kept.
    """

    def __init__(self, runs):
        self._runs = dict(runs)

    def __getitem__(self, key):
        return self._runs[key]

    def __iter__(self):
        return iter(self._runs.items())

    def __len__(self):
        return len(self._runs)

    def __repr__(self):
        return "<korvel.Runs %s>" % ", ".join(self._runs)

    @property
    def keys(self):
        return list(self._runs)

    def close(self):
        for r in self._runs.values():
            r.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @property
    def events(self):
        """The events of every run, indexed by (run, event_id)."""
        import pandas as pd

        return pd.concat({k: r.events for k, r in self}, names=["run"])

    @property
    def channels(self):
        """The channels of any run, with ``runs``: how many runs have it."""
        import pandas as pd

        tables = [r.channels for _, r in self]
        counts = pd.concat([t.index.to_series() for t in tables]).value_counts()
        table = pd.concat(tables)
        table = table[~table.index.duplicated()].copy()
        table["runs"] = counts.reindex(table.index).to_numpy()
        return table

    def summary(self):
        return [r.summary() for _, r in self]

    def info(self, buf=None):
        for _, r in self:
            r.info(buf)

    def _each(self, call, what):
        """call(run) for every run; runs where it names nothing are listed
        in a MissingChannelWarning, and an error when all are."""
        results, missing = {}, []
        for k, r in self:
            try:
                results[k] = call(r)
            except UnknownChannel:
                missing.append(k)
        if not results:
            raise UnknownChannel("no run has %s (%s)" % (what, ", ".join(
                r.path for _, r in self)))
        if missing:
            warnings.warn("%s is missing from run %s: NaN there" % (what, ", ".join(missing)),
                          MissingChannelWarning, stacklevel=3)
        return results, missing

    def select(self, patterns, require_all=False):
        """As ``Run.select``, in every run; a pattern need only match in one
        run (a warning names the runs without it; with require_all they
        keep no event)."""
        out, absent = {}, []
        for k, r in self:
            refs, unmatched = r._resolve(patterns, missing_ok=True)
            if unmatched:
                absent.append("%s (%s)" % (k, ", ".join(map(repr, unmatched))))
            sub = r._derive(refs)
            if require_all and unmatched:
                sub = sub._derive(rows=sub._rows[:0])
            elif require_all:
                sub = sub.select([x.name for x in refs], require_all=True)
            out[k] = sub
        if all(not r._refs for r in out.values()):
            raise UnknownChannel("no run has a channel matching %s" % (patterns,))
        if absent:
            warnings.warn("channels missing from run %s" % "; ".join(absent),
                          MissingChannelWarning, stacklevel=2)
        return Runs(out)

    def select_events(self, ids):
        """As ``Run.select_events`` in every run. A boolean Series indexed
        by (run, event_id) selects per run, a boolean array holds one value
        per event of all runs in order; a list of ids need only be found in
        one run."""
        out = {}
        pd = sys.modules.get("pandas")  # a Series exists only once pandas is imported
        if pd is not None and isinstance(ids, pd.Series) and isinstance(ids.index, pd.MultiIndex):
            for k, r in self:
                part = ids.xs(k, level=0) if k in ids.index.get_level_values(0) else \
                    pd.Series(False, index=r.events.index)
                out[k] = r.select_events(part.astype(bool))
            return Runs(out)
        if isinstance(ids, slice):
            return Runs({k: r.select_events(ids) for k, r in self})
        mask = np.asarray(ids)
        if mask.dtype == bool:
            sizes = [len(r) for _, r in self]
            if mask.shape != (sum(sizes),):
                raise ValueError("a boolean mask of %d values for %d events of %d runs"
                                 % (mask.size, sum(sizes), len(sizes)))
            parts = np.split(mask, np.cumsum(sizes)[:-1])
            return Runs({k: r.select_events(m) for (k, r), m in zip(self, parts)})
        want = np.unique(np.asarray(ids).astype(np.int64).reshape(-1))
        found = np.zeros(len(want), bool)
        for k, r in self:
            got = r.events.index.to_numpy()
            found |= np.isin(want, got)
            out[k] = r.select_events(want[np.isin(want, got)])
        if not found.all():
            raise KeyError("no run has an event with id %s"
                           % ", ".join(map(str, want[~found][:5])))
        return Runs(out)

    def get_array(self, channel, fill=None, lazy=False):
        """As ``Run.get_array``, the runs one after the other along
        ``event_id``, with a ``run`` coordinate. A run without the channel
        gives no events, or its events filled with fill."""
        import xarray as xr
        arrays, _ = self._each(lambda r: r.get_array(channel, fill, lazy), repr(channel))
        template = next(iter(arrays.values()))
        parts = []
        for k, r in self:
            a = arrays.get(k)
            if a is None and fill is None:
                continue
            if a is None:
                a = filled_like(template, r, fill)
            parts.append(a.assign_coords(run=("event_id", np.full(a.sizes["event_id"], k,
                                                                  dtype=object))))
        return xr.concat(parts, dim="event_id", combine_attrs="override")

    def get_dask_array(self, channel, fill=None):
        """As ``Run.get_dask_array``, the runs one after the other."""
        import dask.array as da
        arrays, _ = self._each(lambda r: r.get_dask_array(channel, fill), repr(channel))
        template = next(iter(arrays.values()))
        parts = []
        for k, r in self:
            if k in arrays:
                parts.append(arrays[k])
            elif fill is not None:
                parts.append(da.full((len(r),) + template.shape[1:], fill,
                                     dtype=template.dtype))
        return da.concatenate(parts, axis=0)

    def get_dataframe(self, patterns=None):
        """As ``Run.get_dataframe``, indexed by (run, event_id); a column
        that a run lacks is NaN there."""
        import pandas as pd

        frames, missing = self._each(lambda r: r.get_dataframe(patterns),
                                     "any channel matching %r" % (patterns,))
        for k, r in self:
            if k not in frames:
                frames[k] = pd.DataFrame({"time": r.events["time"]})
        cols = list(dict.fromkeys(c for f in frames.values() for c in f.columns))
        lacking = [k for k, f in frames.items() if k not in missing and len(f.columns) < len(cols)]
        if lacking:
            warnings.warn("run %s lacks some of the columns: NaN there" % ", ".join(lacking),
                          MissingChannelWarning, stacklevel=2)
        out = pd.concat({k: frames[k] for k, _ in self}, names=["run"])
        return out[cols]


def filled_like(template, run, fill):
    """An array like template (its dimensions after event_id) over run's
    events, every value fill."""
    import xarray as xr
    from ._arrays import filled_dtype
    shape = (len(run),) + template.shape[1:]
    dtype = filled_dtype(template.dtype, fill)
    coords = {d: template.coords[d] for d in template.dims[1:] if d in template.coords}
    ev = run.events
    coords["event_id"] = ev.index.to_numpy()
    coords["time"] = ("event_id", ev["time"].to_numpy())
    return xr.DataArray(np.full(shape, fill, dtype=dtype), dims=template.dims, coords=coords,
                        name=template.name, attrs=template.attrs)


# ---- map_runs ---------------------------------------------------------------------------

def local_cluster(n_workers=2, threads_per_worker=1, **options):
    """A dask.distributed LocalCluster of worker processes on this machine
    whose every socket listens on 127.0.0.1 only.

    ``host="127.0.0.1"`` alone leaves the HTTP servers of the scheduler
    (port 8787) and of each worker on every interface; here they are on
    the loopback too, on free ports, and there is no dashboard.

    Parameters
    ----------
    n_workers, threads_per_worker : int
        Worker processes, and threads in each.
    **options
        Further LocalCluster arguments (they override these).
    """
    import dask
    from distributed import LocalCluster
    kwargs = dict(n_workers=n_workers, threads_per_worker=threads_per_worker, processes=True,
                  host="127.0.0.1", dashboard_address=None,
                  worker_dashboard_address="127.0.0.1:0",
                  scheduler_kwargs={"dashboard_address": "127.0.0.1:0"})
    kwargs.update(options)
    # Dask starts its workers with MALLOC_TRIM_THRESHOLD_=65536, so that
    # glibc hands freed memory back at once. Setting it at all also pins
    # glibc's mmap threshold at 128 KiB: every column of a run (160 KiB for
    # 20 000 events) is then a fresh mapping whose pages fault in again on
    # each read, and a worker spent 40 % more CPU on the same analysis than
    # map_runs in order. The workers keep glibc's defaults, as this process
    # does. Read after importing distributed, which adds its defaults.
    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ", {}))
    environ.pop("MALLOC_TRIM_THRESHOLD_", None)
    with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
        return LocalCluster(**kwargs)


def apply_to_run(func, path):
    """func(Run of path); an error carries a note naming the run."""
    try:
        with open_run(path) as run:
            return func(run)
    except Exception as e:
        e.add_note("korvel.map_runs: while analysing %s" % path)
        raise


def map_runs(func, paths, client=None):
    """Apply func to every run.

    Parameters
    ----------
    func : callable
        Called with each opened Run (closed again afterwards); with a
        client it must be picklable (cloudpickle: a lambda will do).
    paths : iterable of str
        The runs' HDF5 files.
    client : distributed.Client, optional
        Run the calls as tasks on this Dask cluster (a LocalCluster, or a
        cluster of a batch system); by default they run here, in order.

    Returns
    -------
    list
        One result per path, in the paths' order; a run that failed holds
        its exception instead (with a note naming the file).
    """
    paths = [os.path.abspath(os.fspath(p)) for p in paths]
    if client is None:
        results = []
        for p in paths:
            try:
                results.append(apply_to_run(func, p))
            except Exception as e:
                results.append(e)
        return results
    futures = client.map(apply_to_run, [func] * len(paths), paths, pure=False)
    results = []
    for f in futures:
        try:
            results.append(f.result())
        except Exception as e:
            results.append(e)
    return results
