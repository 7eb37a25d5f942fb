"""korvel: the HDF5 files of korvel-h5 (layout versions 1 and 2) as runs
labelled by event id, for pandas, xarray and Dask.

    import korvel
    run = korvel.open_run("run.h5")
    x = run.get_array("BPM/X")                 # xarray, events with data only
    df = run.get_dataframe(["BPM/*", "MAGNETS/*"])
    both = run.select(["BPM/X", "BPM/Y"], require_all=True)

Many runs: ``korvel.open_runs(paths)`` (results gain a ``run`` level) and
``korvel.map_runs(func, paths, client=None)`` (one run per Dask task).
"""

from ._file import KorvelError
from ._names import UnknownChannel
from ._version_info import __version__
from .run import Run, open_run
from .runs import MissingChannelWarning, Runs, local_cluster, map_runs, open_runs

__all__ = ["open_run", "open_runs", "map_runs", "local_cluster", "Run", "Runs", "KorvelError",
           "UnknownChannel", "MissingChannelWarning", "__version__"]
