"""A dask array in, a lazy result out: a graph of the engine's block
primitives that gives, for any chunking, the bytes of the in-memory call.

    blocks with one column of halo (overlap, no padding at the grid's edge)
      -> each block's per-row sums and counts of its terms and their extremes
         in the search window, combined along rows by one reduction
      -> the row means and each row's largest deviation (one small array,
         nrows x 3), whose maximum is dmax
      -> for a percentile, each block's histogram, added by one reduction
      -> each block's bytes (or Float32 deviations)

On a distributed cluster, each block is read once and kept until its bytes
are made, as the command line keeps a decoded DEM: the workers spill what
does not fit to disk. Elsewhere (the threaded scheduler keeps everything in
memory) each step reads the DEM anew (twice, three times for a percentile),
so that memory stays bounded by the blocks.

Every function of the graph is a module-level function of this package, so
the graph pickles, and worker processes only need tavelkorn importable.
"""

from __future__ import annotations

import sys
from typing import Optional, Tuple

import dask.array as da
import numpy as np
from dask.graph_manipulation import clone

from . import _arrays, _moteur


def _block(b: np.ndarray, nodata: Optional[float], z_scale: float):
    data, mask = _arrays.split_masked(b)
    data = _arrays.elevations(data)
    return data, mask, _arrays.reading(data.dtype, nodata, z_scale)


def _columns_of(cols: np.ndarray, *, ncols: int) -> np.ndarray:
    # Where a block lies, as an array as long as the block with its halo:
    # its first column, then its width. Its contents could not say it: the
    # first of two 1-column blocks holds the same cells as the second.
    c0, width = int(cols[0]), len(cols)
    out = np.full(width + (c0 > 0) + (c0 + width < ncols), width, np.int64)
    out[0] = c0
    return out


def _position(rows: np.ndarray, cols: np.ndarray, shape: Tuple[int, int]) -> tuple:
    # rows: the block's part of np.arange over the rows; cols: _columns_of's.
    return (int(rows[0]), int(cols[0]), int(cols[-1]) if len(cols) > 1 else 1, shape[0], shape[1])


def _spills() -> bool:
    """Whether the graph will run on a distributed client, whose workers
    spill to disk what their memory cannot hold."""
    distributed = sys.modules.get("distributed")
    if distributed is None:
        return False
    try:
        distributed.default_client()
    except ValueError:
        return False
    return True


def _engine(f, *args):
    try:
        return f(*args)
    except ValueError as e:  # an elevation beyond the 32-bit range: name the parameter as Python spells it
        raise _arrays.engine_error(str(e)) from None


def _sums(b, rows, cols, *, nodata, z_scale, term, shape):
    data, mask, reading = _block(b, nodata, z_scale)
    s = _engine(_moteur.sommes, data, mask, reading, _position(rows, cols, shape), term)
    return s[:, None, :]


def _merge_rows(x, axis, keepdims):
    # Sums and counts add; the window's least term takes the smaller, its
    # largest the larger.
    parts = [x[..., :3].sum(axis=axis, keepdims=keepdims, dtype=np.int64),
             x[..., 3:4].min(axis=axis, keepdims=keepdims), x[..., 4:].max(axis=axis, keepdims=keepdims)]
    return np.concatenate(parts, axis=-1)


def _means(s):
    return _moteur.moyennes(s)


def _row_dmax(means):
    return means[:, 2:]


def _stats(b, means, rows, cols, *, nodata, z_scale, term, shape, histogram):
    data, mask, reading = _block(b, nodata, z_scale)
    s = _engine(_moteur.statistiques, data, mask, reading, _position(rows, cols, shape), term, means, histogram)
    return s[None, None, :]


def _keep(x, axis, keepdims):
    return x


def _merge(x, axis, keepdims):
    # Histogram counts add; the last element, dmax, takes the larger.
    out = x[..., :-1].sum(axis=axis, keepdims=keepdims, dtype=np.uint64)
    top = x[..., -1:].max(axis=axis, keepdims=keepdims)
    return np.concatenate([out, top], axis=-1)


def _reference(stats, *, stretch, rank):
    return np.float64(_moteur.reference(stats, stretch, rank))


def _dmax(stats):
    return np.float64(stats[-1])


def _floats(b, means, rows, cols, *, nodata, z_scale, term, shape):
    data, mask, reading = _block(b, nodata, z_scale)
    return _engine(_moteur.reelles, data, mask, reading, _position(rows, cols, shape), term, means)


def _bytes(b, means, stats, rows, cols, *, nodata, z_scale, term, shape, stretch, rank, norm):
    data, mask, reading = _block(b, nodata, z_scale)
    return _engine(_moteur.octets, data, mask, reading, _position(rows, cols, shape), term, means, stats, stretch,
                   rank, norm)


def roughness(x: da.Array, nodata: Optional[float], req: _arrays.Request):
    """The lazy result of x (2-D), and the lazy dmax and reference."""
    if x.ndim != 2:
        raise ValueError(f"dem: shape {x.shape}: a 2-D array (rows, columns) is needed")
    if any(np.isnan(c) for c in x.shape):
        raise ValueError("dem: a dask array of unknown chunk sizes; call dem.compute_chunk_sizes() first")
    _arrays.elevations(np.empty((0, 0), x.dtype))  # TypeError for a dtype the engine does not read, now
    shape = x.shape
    if shape[0] < 1 or shape[1] < 1 or shape[0] >= 2**31 or shape[1] >= 2**31:
        raise ValueError(f"dem: shape {shape}: 1 to 2^31 - 1 rows and columns")
    x = x.rechunk({0: tuple(c for c in x.chunks[0] if c), 1: tuple(c for c in x.chunks[1] if c)})
    rows = da.arange(shape[0], chunks=(x.chunks[0],))  # where each block's rows lie

    def with_halo(a):
        return da.overlap.overlap(a, depth={0: 0, 1: 1}, boundary="none") if a.numblocks[1] > 1 else a

    def reading():  # the DEM for a reduction: read anew (the same tasks under new keys), or shared
        return x if _spills() else clone(x)

    halo = with_halo(x)
    cols = da.arange(shape[1], chunks=(x.chunks[1],)).map_blocks(_columns_of, ncols=shape[1],
                                                                  chunks=(halo.chunks[1],), dtype=np.int64)
    common = dict(nodata=nodata, z_scale=req.z_scale, term=req.term, shape=shape)
    ncb = x.numblocks[1]

    sums = da.blockwise(_sums, "ijl", with_halo(reading()), "ij", rows, "i", cols, "j", new_axes={"l": 5},
                        adjust_chunks={"j": (1,) * ncb}, dtype=np.int64, meta=np.empty((0, 0, 0), np.int64), **common)
    sums = da.reduction(sums, chunk=_keep, combine=_merge_rows, aggregate=_merge_rows, axis=1, dtype=np.int64,
                        concatenate=True, meta=np.empty((0, 0), np.int64))
    means = sums.map_blocks(_means, dtype=np.int64, chunks=(x.chunks[0], (3,)))
    top = means.map_blocks(_row_dmax, dtype=np.int64, chunks=(x.chunks[0], (1,))).max(axis=0).astype(np.uint64)

    if req.stretch == _moteur.ETIRE_RANG and not req.floats:
        per_block = da.blockwise(_stats, "ijk", with_halo(reading()), "ij", means, "il", rows, "i", cols, "j",
                                 new_axes={"k": _moteur.NB_CASES + 1},
                                 adjust_chunks={"i": (1,) * x.numblocks[0], "j": (1,) * ncb}, concatenate=True,
                                 dtype=np.uint64, meta=np.empty((0, 0, 0), np.uint64), histogram=True, **common)
        stats = da.reduction(per_block, chunk=_keep, combine=_merge, aggregate=_merge, axis=(0, 1),
                             dtype=np.uint64, concatenate=True, meta=np.empty((0,), np.uint64))
    else:
        stats = top  # dmax alone, as the last (and only) element
    dmax = da.blockwise(_dmax, "", stats, "k", concatenate=True, dtype=np.float64, meta=np.float64(0))
    reference = da.blockwise(_reference, "", stats, "k", concatenate=True, dtype=np.float64, meta=np.float64(0),
                             stretch=req.stretch, rank=req.rank)

    if req.floats:
        out = da.blockwise(_floats, "ij", halo, "ij", means, "il", rows, "i", cols, "j",
                           adjust_chunks={"j": x.chunks[1]}, concatenate=True, dtype=np.float32,
                           meta=np.empty((0, 0), np.float32), **common)
    else:
        out = da.blockwise(_bytes, "ij", halo, "ij", means, "il", stats, "k", rows, "i", cols, "j",
                           adjust_chunks={"j": x.chunks[1]}, concatenate=True, dtype=np.uint8,
                           meta=np.empty((0, 0), np.uint8), stretch=req.stretch, rank=req.rank, norm=req.norm,
                           **common)
    return out, {"dmax": dmax, "reference": reference}
