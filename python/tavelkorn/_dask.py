"""A dask array in, a lazy result out: a graph of the engine's block
primitives that gives, for any chunking, the bytes of the in-memory call.

    blocks with one column of halo (overlap, no padding at the grid's edge)
      -> each block's per-row sums and counts of its terms and their extremes
         in the search window, combined along rows by one reduction
      -> the row means and each row's largest deviation (one small array,
         nrows x 3), whose maximum is dmax
      -> for a percentile, each block's histogram, added by one reduction
      -> each block's bytes (or Float32 deviations)

Down columns and in both directions, blocks also take one row of halo above
and below; each block gives its per-column sums (and, for both, its per-row
sums), combined along columns by one reduction into the column means; dmax
(and a percentile's histogram) then comes from each block's deviations, a
second reduction, so the DEM is read three times: for the sums, for the
deviations, for the bytes.

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


def _length(where: np.ndarray) -> int:
    # The block's length from _columns_of's array.
    return int(where[-1]) if len(where) > 1 else 1


def _position(rows: np.ndarray, cols: np.ndarray, shape: Tuple[int, int], direction: int) -> tuple:
    # rows: the block's part of np.arange over the rows (along rows), or
    # _columns_of's over the rows (the block then has halo rows); cols: _columns_of's.
    where = (int(rows[0]), int(cols[0]), _length(cols), shape[0], shape[1])
    return where if direction == _moteur.DIRECTION_LIGNES else where + (_length(rows),)


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


def _sums(b, rows, cols, *, nodata, z_scale, term, shape, direction):
    data, mask, reading = _block(b, nodata, z_scale)
    # In both directions dmax comes from the deviations: the rows' extremes are not needed.
    s = _engine(_moteur.sommes, data, mask, reading, _position(rows, cols, shape, direction), term,
                direction == _moteur.DIRECTION_LIGNES)
    return s[:, None, :]


def _column_sums(b, rows, cols, *, nodata, z_scale, term, shape, direction):
    data, mask, reading = _block(b, nodata, z_scale)
    s = _engine(_moteur.sommes_colonnes, data, mask, reading, _position(rows, cols, shape, direction), term)
    return s[None, :, :]


def _add(x, axis, keepdims):
    return x.sum(axis=axis, keepdims=keepdims, dtype=np.int64)


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


def _stats(b, means, rows, cols, column_means=None, *, nodata, z_scale, term, shape, direction, histogram):
    data, mask, reading = _block(b, nodata, z_scale)
    s = _engine(_moteur.statistiques, data, mask, reading, _position(rows, cols, shape, direction), term, means,
                histogram, direction, column_means)
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


def _floats(b, means, rows, cols, column_means=None, *, nodata, z_scale, term, shape, direction):
    data, mask, reading = _block(b, nodata, z_scale)
    return _engine(_moteur.reelles, data, mask, reading, _position(rows, cols, shape, direction), term, means,
                   direction, column_means)


def _bytes(b, means, stats, rows, cols, column_means=None, *, nodata, z_scale, term, shape, direction, stretch, rank,
           norm):
    data, mask, reading = _block(b, nodata, z_scale)
    return _engine(_moteur.octets, data, mask, reading, _position(rows, cols, shape, direction), term, means, stats,
                   stretch, rank, norm, direction, column_means)


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
    down = req.direction != _moteur.DIRECTION_LIGNES

    def with_halo(a):
        depth = {0: int(down and a.numblocks[0] > 1), 1: int(a.numblocks[1] > 1)}
        return da.overlap.overlap(a, depth=depth, boundary="none") if any(depth.values()) else a

    def reading():  # the DEM for a reduction: read anew (the same tasks under new keys), or shared
        return x if _spills() else clone(x)

    halo = with_halo(x)
    cols = da.arange(shape[1], chunks=(x.chunks[1],)).map_blocks(_columns_of, ncols=shape[1],
                                                                  chunks=(halo.chunks[1],), dtype=np.int64)
    common = dict(nodata=nodata, z_scale=req.z_scale, term=req.term, shape=shape, direction=req.direction)
    ncb = x.numblocks[1]
    if down:
        rows = rows.map_blocks(_columns_of, ncols=shape[0], chunks=(halo.chunks[0],), dtype=np.int64)
        return _down(x, halo, rows, cols, with_halo, reading, common, req)

    sums = da.blockwise(_sums, "ijl", with_halo(reading()), "ij", rows, "i", cols, "j", new_axes={"l": 5},
                        adjust_chunks={"j": (1,) * ncb}, dtype=np.int64, meta=np.empty((0, 0, 0), np.int64), **common)
    sums = da.reduction(sums, chunk=_keep, combine=_merge_rows, aggregate=_merge_rows, axis=1, dtype=np.int64,
                        concatenate=True, meta=np.empty((0, 0), np.int64))
    means = sums.map_blocks(_means, dtype=np.int64, chunks=(x.chunks[0], (3,)))
    top = means.map_blocks(_row_dmax, dtype=np.int64, chunks=(x.chunks[0], (1,))).max(axis=0).astype(np.uint64)

    # Float32 deviations do not need the histogram, but a DataArray's reference coordinate does.
    if req.stretch == _moteur.ETIRE_RANG:
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


def _down(x, halo, rows, cols, with_halo, reading, common, req):
    """Down columns and in both directions: the graph of roughness() with the
    blocks' halo rows, the column means and a reduction of the deviations
    for dmax. Blocks carry halo rows, the means do not: blockwise must not
    align their chunks (align_arrays=False), and each output says its own."""
    nrb, ncb = x.numblocks
    both = req.direction == _moteur.DIRECTION_LES_DEUX
    first = with_halo(reading())  # one reading for the column sums and the row sums
    sums = da.blockwise(_column_sums, "ijl", first, "ij", rows, "i", cols, "j", new_axes={"l": 3},
                        adjust_chunks={"i": (1,) * nrb, "j": x.chunks[1]}, align_arrays=False, dtype=np.int64,
                        meta=np.empty((0, 0, 0), np.int64), **common)
    sums = da.reduction(sums, chunk=_keep, combine=_add, aggregate=_add, axis=0, dtype=np.int64,
                        concatenate=True, meta=np.empty((0, 0), np.int64))
    column_means = sums.map_blocks(_means, dtype=np.int64, chunks=(x.chunks[1], (3,)))
    means = None
    if both:
        sums = da.blockwise(_sums, "ijl", first, "ij", rows, "i", cols, "j", new_axes={"l": 3},
                            adjust_chunks={"i": x.chunks[0], "j": (1,) * ncb}, align_arrays=False, dtype=np.int64,
                            meta=np.empty((0, 0, 0), np.int64), **common)
        sums = da.reduction(sums, chunk=_keep, combine=_add, aggregate=_add, axis=1, dtype=np.int64,
                            concatenate=True, meta=np.empty((0, 0), np.int64))
        means = sums.map_blocks(_means, dtype=np.int64, chunks=(x.chunks[0], (3,)))
    row_args = (means, "il") if both else (None, None)

    histogram = req.stretch == _moteur.ETIRE_RANG
    per_block = da.blockwise(_stats, "ijk", with_halo(reading()), "ij", *row_args, rows, "i", cols, "j",
                             column_means, "jm", new_axes={"k": _moteur.NB_CASES + 1 if histogram else 1},
                             adjust_chunks={"i": (1,) * nrb, "j": (1,) * ncb}, align_arrays=False,
                             concatenate=True, dtype=np.uint64, meta=np.empty((0, 0, 0), np.uint64),
                             histogram=histogram, **common)
    stats = da.reduction(per_block, chunk=_keep, combine=_merge, aggregate=_merge, axis=(0, 1), dtype=np.uint64,
                         concatenate=True, meta=np.empty((0,), np.uint64))
    dmax = da.blockwise(_dmax, "", stats, "k", concatenate=True, dtype=np.float64, meta=np.float64(0))
    reference = da.blockwise(_reference, "", stats, "k", concatenate=True, dtype=np.float64, meta=np.float64(0),
                             stretch=req.stretch, rank=req.rank)

    chunks = {"i": x.chunks[0], "j": x.chunks[1]}
    if req.floats:
        out = da.blockwise(_floats, "ij", halo, "ij", *row_args, rows, "i", cols, "j", column_means, "jm",
                           adjust_chunks=chunks, align_arrays=False, concatenate=True, dtype=np.float32,
                           meta=np.empty((0, 0), np.float32), **common)
    else:
        out = da.blockwise(_bytes, "ij", halo, "ij", *row_args, stats, "k", rows, "i", cols, "j", column_means, "jm",
                           adjust_chunks=chunks, align_arrays=False, concatenate=True, dtype=np.uint8,
                           meta=np.empty((0, 0), np.uint8), stretch=req.stretch, rank=req.rank, norm=req.norm,
                           **common)
    return out, {"dmax": dmax, "reference": reference}
