"""What one selected piece of a run holds as an array: the datasets behind
it, its dimensions, coordinates and attributes, and its values, read at
once or as a Dask array whose chunks are whole chunks of the file.

Only events whose `present` is 1 have data. The file stores the others as
NaN (floats) or 0 (markers, image frames); they are left out here, or set
to the caller's fill value, never passed on as they are stored.
"""

import h5py
import numpy as np

from . import _file

# Rows per Dask chunk: a whole number of the file's chunks, about this
# many bytes (fewer, larger tasks for one-frame chunks of small images).
DASK_CHUNK_BYTES = 16 << 20


# The dimensions of a channel's data, events included, by kind.
RANKS = {"item": (1,), "block": (1,), "value": (1,), "marker": (1,), "member": (3,),
         "spectrum": (3,), "image": (2, 3)}


def pieces(ref):
    """The (dataset, inner selection) pairs whose values make ref: one,
    or one per item of a whole block, none for a channel of kind none.
    Each is checked to have the dimensions of its kind."""
    ch, kind = ref.channel, ref.kind
    if kind == "item":
        found = [(ch.dataset("items/" + ref.item), ())]
    elif kind == "block":
        found = [(ch.dataset("items/" + ds), ()) for ds, _ in ch.items]
    elif kind == "member":
        found = [(ch.dataset("data"), (ref.member,))]
    elif kind in RANKS:
        found = [(ch.dataset("data"), ())]
    else:
        return []
    for ds, _ in found:
        if ds.ndim not in RANKS[kind] or ds.dtype.kind not in "iuf":
            raise ch.source.error("damaged: %s has %d dimensions of %s, not the data of "
                                  "a channel of kind %s" % (ds.name, ds.ndim, ds.dtype, ch.kind))
    return found


def inner_shape(ref, found):
    """The shape of one event's values of ref, given its pieces."""
    if ref.kind == "block":
        return (len(found),)
    if not found:
        return ()
    ds, inner = found[0]
    return np.empty((1,) + ds.shape[1:], dtype=np.uint8)[(slice(None),) + inner].shape[1:]


def value_dtype(ref, found):
    if not found:
        return np.dtype(np.float32)
    return np.result_type(*[ds.dtype for ds, _ in found])


def filled_dtype(dtype, fill):
    """The type that holds both dtype's values and fill: integer types take
    a NaN fill as float32 (pixels and markers fit it exactly) or float64."""
    dtype = np.dtype(dtype)
    if fill is None:
        return dtype
    if dtype.kind in "iub" and isinstance(fill, float) and not float(fill).is_integer():
        return np.dtype(np.float32 if dtype.itemsize <= 2 else np.float64)
    return np.result_type(dtype, np.min_scalar_type(fill) if np.isscalar(fill) else fill)


def read(ref, rows, out=None):
    """The values of ref in the given file rows, read at once."""
    found = pieces(ref)
    if ref.kind != "block":
        if not found:
            return np.full((len(rows),), np.nan, np.float32) if out is None else out
        ds, inner = found[0]
        return _file.read_rows(ds, rows, inner, out=out)
    if out is None:
        out = np.empty((len(rows), len(found)), value_dtype(ref, found))
    for k, (ds, _) in enumerate(found):
        out[:, k] = _file.read_rows(ds, rows)
    return out


def dims(ref, shape):
    """Dimension names of ref's values after event_id."""
    kind = ref.kind
    if kind == "block":
        return ("item",)
    if kind == "spectrum":
        return ("member", "x")
    if kind == "member":
        return ("x",)
    if kind == "image":
        return ("y", "x") if len(shape) == 2 else ("pixel",)
    return ()


def coords(ref, shape):
    """Coordinates of ref's dimensions other than event_id."""
    kind = ref.kind
    if kind == "block":
        return {"item": [name for _, name in ref.channel.items]}
    if kind == "image":
        names = dims(ref, shape)
        return {d: np.arange(n, dtype=np.uint32) for d, n in zip(names, shape)}
    if kind in ("spectrum", "member"):
        return spectrum_coords(ref, shape)
    return {}


def spectrum_coords(ref, shape):
    """x from the file's axis (layout 2: a 1-D scale; layout 1: the
    per-member axes [member, x], taken as x when all members share it),
    else the value index; x_member where members have axes of their own."""
    node = ref.channel.node()
    values = shape[-1]
    x, per_member = None, None
    ds = node.get("x")
    if isinstance(ds, h5py.Dataset) and ds.ndim == 2 and ds.shape[1] == values:
        per_member = ds[()]
    elif isinstance(ds, h5py.Dataset) and ds.ndim == 1 and ds.shape[0] == values:
        x = ds[()]
    ds = node.get("x_member")
    if isinstance(ds, h5py.Dataset) and ds.ndim == 2 and ds.shape[1] == values:
        per_member = ds[()]
    if per_member is not None and ref.member is not None and ref.member < len(per_member):
        x, per_member = per_member[ref.member], None
    elif per_member is not None and x is None and len(per_member) and \
            np.array_equal(per_member, per_member[:1].repeat(len(per_member), 0), equal_nan=True):
        x, per_member = per_member[0], None
    if x is None:
        x = np.arange(values, dtype=np.int32)
    out = {"x": x}
    if ref.member is None:
        out["member"] = np.arange(shape[0], dtype=np.int32)
        if per_member is not None and per_member.shape[0] == shape[0]:
            out["x_member"] = (("member", "x"), per_member)
    return out


def attrs(ref):
    """units, long_name, kind, source_format and title of ref, with item or
    member for a part of a channel."""
    ch = ref.channel
    out = dict(ch.attrs)
    out["kind"] = ch.kind
    out["title"] = ch.title
    if ref.item is not None:
        out["item"] = ref.name[len(ch.name) + 1:]
        out["units"] = ch.item_units(ref.item)
        out["long_name"] = "%s %s" % (out["long_name"], out["item"])
    if ref.member is not None:
        out["member"] = ref.member
    return out


# ---- Dask arrays ------------------------------------------------------------------------

def dask_rows(ds):
    return _file.block_rows(ds, DASK_CHUNK_BYTES)


class BlockReader:
    """Reads one Dask chunk: rows start..stop of a dataset (whole chunks of
    the file), keeps the wanted ones and fills those without data. Holds the
    file's path, not the file, so that it travels to other processes."""

    def __init__(self, path, dataset, inner, dtype, fill):
        self.path = path
        self.dataset = dataset
        self.inner = inner
        self.dtype = np.dtype(dtype)
        self.fill = fill

    def __call__(self, start, stop, keep, blank):
        ds = _file.handle(self.path)[self.dataset]
        block = ds[(slice(start, stop),) + self.inner]
        if len(keep) != stop - start:
            block = block[keep]
        block = block.astype(self.dtype, copy=False)
        if len(blank):
            block = np.array(block, copy=True) if not block.flags.writeable else block
            block[blank] = self.fill
        return block


def dask_array(ref, rows, has, fill):
    """A Dask array of ref's values in rows (has: which of them have data);
    rows without data are left out, or filled with fill when it is given."""
    import dask.array as da

    found = pieces(ref)
    shape = inner_shape(ref, found)
    dtype = filled_dtype(value_dtype(ref, found), fill)
    take = rows if fill is not None else rows[has]
    blank_all = ~has if fill is not None else np.zeros(len(take), bool)
    if ref.kind == "block":
        cols = [column_dask(ds, (), take, blank_all, dtype, fill, ref) for ds, _ in found]
        if not cols:
            return da.empty((len(take), 0), dtype=dtype)
        return da.stack(cols, axis=1)
    if not found:
        return da.full((len(take),) + shape, np.nan if fill is None else fill, dtype=dtype)
    ds, inner = found[0]
    return column_dask(ds, inner, take, blank_all, dtype, fill, ref)


def column_dask(ds, inner, take, blank_all, dtype, fill, ref):
    """One dataset's rows `take` as a Dask array, a chunk per block of the
    file's chunks that holds any of them."""
    import dask.array as da
    from dask.base import tokenize

    source = ref.channel.source
    shape = inner_shape_of(ds, inner)
    reader = BlockReader(source.abspath, ds.name, inner, dtype, fill)
    name = "korvel-" + tokenize(source.abspath, ds.name, inner, take, blank_all, str(dtype), fill)
    step = dask_rows(ds)
    graph, sizes = {}, []
    if len(take):
        first, last = int(take[0]), int(take[-1]) + 1
        for start in range(first - first % step, last, step):
            stop = min(start + step, last)
            a, b = np.searchsorted(take, [start, stop])
            if b == a:
                continue
            lo, hi = int(take[a]), int(take[b - 1]) + 1
            keep = take[a:b] - lo
            blank = np.flatnonzero(blank_all[a:b])
            graph[(name, len(sizes)) + (0,) * len(shape)] = (reader, lo, hi, keep, blank)
            sizes.append(b - a)
    if not sizes:
        return da.empty((0,) + shape, dtype=dtype)
    chunks = (tuple(sizes),) + tuple((n,) for n in shape)
    return da.Array(graph, name, chunks, dtype=dtype)


def inner_shape_of(ds, inner):
    return np.empty((1,) + ds.shape[1:], dtype=np.uint8)[(slice(None),) + inner].shape[1:]
