"""A dask array in, a lazy result out: a graph of the engine's block
primitives that gives, for any chunking and at every scale, the bytes of
the in-memory call.

Its shape is a function of its arguments alone (the DEM's chunks, the
direction, the stretch, the scales, the dtype), whatever scheduler runs it.
Blocks are kept: each chunk of the DEM is read once, by the DEM's own task,
and that result is what every step of its block reads, until its image is
made. A distributed cluster's workers spill kept chunks to disk when their
memory is short and read them back from there; the local threaded scheduler
keeps them in memory (the DEM in its own dtype, at most).

    chunk (i, j)  the DEM's own task: read once, kept
        |   \\
        |    halo (i, j, ...)  copies of the chunk's edge rows or columns
        |        |             that the neighbouring blocks' halos take
        v        v
    partials (i, j)      each line's sums, counts and window extremes, at
        |                every scale: (scales, rows, 5) and
        |                (scales, columns, 5) int64
        +--> rows (i)    the partials of a band of blocks combined in a tree
        |                (SPLIT_EVERY at a time), then the rows' means:
        |                (scales, rows, 3)
        +--> columns (j) the same down a band of columns
    dmax                 the largest window deviation of each scale, a tree
                         of maxima over the means: (scales,)
    histograms (i, j)    for a percentile only: each block's counts given
        |                its means, (scales, NB_CASES), added in a tree
    reference            each scale's percentile (or dmax): (scales,)
    image (i, j)         from the kept chunk, its halo, its rows' and
                         columns' means and the references: the block's
                         bytes (or Float32 deviations), (scales, rows,
                         columns) with several scales

A block's halo is the largest scale's lag (rows above and below down
columns, columns on each side along rows), within the grid; a chunk smaller
than the halo gives the part of it a block needs, from as many chunks as it
takes. Apart from the chunks themselves and the image, no task's result is
larger than a block's partials, its histograms or its halo strips, and only
those travel between workers.

Every function of the graph is a module-level function of this package, so
the graph pickles, and worker processes only need tavelkorn importable.
"""

from __future__ import annotations

from functools import partial
from typing import List, Optional

import dask.array as da
import numpy as np
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph

from . import _arrays, _moteur

SPLIT_EVERY = 8  # partials combined this many at a time


def _pieces(arrays, where):
    # The engine's pieces: (elevations, mask or None, first row, first column).
    out = []
    for a, (r, c) in zip(arrays, where):
        data, mask = _arrays.split_masked(a)
        out.append((_arrays.elevations(data), mask, r, c))
    return out


def _halo(chunk, rows, cols):
    # A copy, so that a neighbour's halo holds no view of the whole chunk.
    return chunk[rows[0]:rows[1], cols[0]:cols[1]].copy()


def _partials(arrays, *, where, block, reading, options):
    return _moteur.block_partials(_pieces(arrays, where), block=block, reading=reading, options=options)


def _combine(parts, *, side, first, top):
    # side 0 takes a block's row partials, 1 its column partials; the top of
    # the tree gives the lines' means.
    if first:
        parts = [p[side] for p in parts]
    c = parts[0] if len(parts) == 1 else _moteur.combine_partials(parts)
    return _moteur.means(c) if top else c


def _largest(parts, *, first, top):
    # Each scale's largest window deviation: from the lines' means, then maxima.
    if first:
        parts = [m[:, :, 2].max(axis=1, initial=0) for m in parts]
    return np.max(np.stack(parts), axis=0)


def _histograms(arrays, row_means, column_means, *, where, block, reading, options):
    return _moteur.block_histograms(_pieces(arrays, where), block=block, reading=reading, options=options,
                                    row_means=row_means, column_means=column_means)


def _add(parts, *, first, top, rank):
    h = parts[0] if len(parts) == 1 else np.sum(np.stack(parts), axis=0, dtype=np.uint64)
    return np.array([_moteur.percentile(s, rank) for s in h]) if top else h


def _references(dmax, percentiles):
    # (scales, 2): each scale's dmax and what its stretch maps to the norm.
    dmax = dmax.astype(np.float64)
    return np.stack([dmax, dmax if percentiles is None else percentiles], axis=1)


def _image(arrays, row_means, column_means, references, *, where, block, reading, options, several):
    refs = references if references is not None else np.zeros((len(options.scales), 2))
    out = _moteur.block_image(_pieces(arrays, where), block=block, reading=reading, options=options,
                              row_means=row_means, column_means=column_means, dmax=list(refs[:, 0]),
                              reference=list(refs[:, 1]))
    return out if several else out[0]


def _column(references, *, k, several):
    return references[:, k] if several else np.float64(references[0, k])


def _tree(dsk: dict, name: str, index: tuple, leaves: List, func, **kwargs):
    """The key of leaves reduced by func(list, first=, top=), SPLIT_EVERY
    at a time."""
    keys, level = leaves, 0
    while True:
        groups = [keys[a:a + SPLIT_EVERY] for a in range(0, len(keys), SPLIT_EVERY)]
        top = len(groups) == 1
        keys = []
        for g, group in enumerate(groups):
            key = (f"{name}-{level}", *index, g)
            dsk[key] = (partial(func, first=level == 0, top=top, **kwargs), group)
            keys.append(key)
        if top:
            return keys[0]
        level += 1


def _bounds(chunks) -> np.ndarray:
    return np.concatenate([[0], np.cumsum(chunks)]).astype(int)


class _Graph:
    """The tasks of one computation, built from the DEM's chunks."""

    def __init__(self, x: da.Array, reading: _moteur.Reading, options: _moteur.Options, token: str):
        self.x, self.reading, self.options = x, reading, options
        self.rb, self.cb = _bounds(x.chunks[0]), _bounds(x.chunks[1])
        self.shape = x.shape
        self.hl, self.hc = _moteur.halo(options, nrows=x.shape[0], ncols=x.shape[1])
        self.stats = f"tavelkorn-stats-{token}"
        self.dsk: dict = {}

    def _chunks_over(self, bounds, lo, hi):
        # The chunks (index, their start) whose span meets [lo, hi).
        return [(k, int(bounds[k])) for k in range(len(bounds) - 1) if bounds[k] < hi and bounds[k + 1] > lo]

    def _piece(self, i, j, r0, r1, c0, c1):
        # Chunk (i, j)'s rows r0 .. r1 - 1 and columns c0 .. c1 - 1 (grid
        # coordinates): the chunk's own key when that is the whole of it.
        a, b, c, d = r0 - self.rb[i], r1 - self.rb[i], c0 - self.cb[j], c1 - self.cb[j]
        if (a, b, c, d) == (0, self.rb[i + 1] - self.rb[i], 0, self.cb[j + 1] - self.cb[j]):
            return (self.x.name, i, j)
        key = (f"{self.stats}-halo", i, j, int(a), int(b), int(c), int(d))
        self.dsk[key] = (partial(_halo, rows=(int(a), int(b)), cols=(int(c), int(d))), (self.x.name, i, j))
        return key

    def block(self, i, j):
        """(keys of the block's pieces, their first cells, the Block)."""
        r0, r1, c0, c1 = self.rb[i], self.rb[i + 1], self.cb[j], self.cb[j + 1]
        nr, nc = self.shape
        keys, where = [(self.x.name, i, j)], [(int(r0), int(c0))]
        for jj, start in self._chunks_over(self.cb, max(0, c0 - self.hc), min(nc, c1 + self.hc)):
            if jj != j:
                lo, hi = max(start, c0 - self.hc), min(int(self.cb[jj + 1]), c1 + self.hc)
                keys.append(self._piece(i, jj, r0, r1, lo, hi))
                where.append((int(r0), int(lo)))
        for ii, start in self._chunks_over(self.rb, max(0, r0 - self.hl), min(nr, r1 + self.hl)):
            if ii != i:
                lo, hi = max(start, r0 - self.hl), min(int(self.rb[ii + 1]), r1 + self.hl)
                keys.append(self._piece(ii, j, lo, hi, c0, c1))
                where.append((int(lo), int(c0)))
        block = _moteur.Block(row0=int(r0), col0=int(c0), rows=int(r1 - r0), cols=int(c1 - c0), nrows=nr, ncols=nc)
        return keys, tuple(where), block


def roughness(x: da.Array, nodata: Optional[float], req: _arrays.Request):
    """The lazy result of x (2-D), and the lazy dmax and reference: (scales,)
    with several scales, scalars otherwise."""
    if x.ndim != 2:
        raise ValueError(f"dem: shape {x.shape}: a 2-D array (rows, columns) is needed")
    if any(np.isnan(c) for c in x.shape):
        raise ValueError("dem: a dask array of unknown chunk sizes; call dem.compute_chunk_sizes() first")
    # TypeError for a dtype the engine does not read, now; else the dtype it reads the chunks in
    widened = _arrays.elevations(np.empty((0, 0), x.dtype)).dtype
    if x.shape[0] < 1 or x.shape[1] < 1 or x.shape[0] >= 2**31 or x.shape[1] >= 2**31:
        raise ValueError(f"dem: shape {x.shape}: 1 to 2^31 - 1 rows and columns")
    if 0 in x.chunks[0] or 0 in x.chunks[1]:
        x = x.rechunk({0: tuple(c for c in x.chunks[0] if c), 1: tuple(c for c in x.chunks[1] if c)})
    o, reading = req.options, _arrays.reading(nodata, req.z_scale, widened)
    token = tokenize(x.name, nodata, req.z_scale, int(o.term), int(o.direction), int(o.stretch), o.rank, o.scales,
                     o.norm, o.floats, req.several)
    g = _Graph(x, reading, o, token)
    dsk, stats, nrb, ncb = g.dsk, g.stats, x.numblocks[0], x.numblocks[1]
    rows, columns = o.direction != _moteur.Direction.COLUMNS, o.direction != _moteur.Direction.ROWS
    blocks = {(i, j): g.block(i, j) for i in range(nrb) for j in range(ncb)}
    static = dict(reading=reading, options=o)

    for (i, j), (keys, where, block) in blocks.items():
        dsk[(f"{stats}-partials", i, j)] = (partial(_partials, where=where, block=block, **static), keys)
    means = {}
    if rows:
        for i in range(nrb):
            leaves = [(f"{stats}-partials", i, j) for j in range(ncb)]
            means["rows", i] = _tree(dsk, f"{stats}-rows", (i,), leaves, _combine, side=0)
    if columns:
        for j in range(ncb):
            leaves = [(f"{stats}-partials", i, j) for i in range(nrb)]
            means["columns", j] = _tree(dsk, f"{stats}-columns", (j,), leaves, _combine, side=1)
    dmax = _tree(dsk, f"{stats}-dmax", (), list(means.values()), _largest)
    percentiles = None
    if o.stretch == _moteur.Stretch.PERCENTILE:
        hist = []
        for (i, j), (keys, where, block) in blocks.items():
            key = (f"{stats}-histograms", i, j)
            dsk[key] = (partial(_histograms, where=where, block=block, **static), keys, means.get(("rows", i)),
                        means.get(("columns", j)))
            hist.append(key)
        percentiles = _tree(dsk, f"{stats}-percentiles", (), hist, _add, rank=o.rank)
    references = (f"{stats}-references",)
    dsk[references] = (_references, dmax, percentiles)

    name = f"tavelkorn-{token}"
    image = {}
    for (i, j), (keys, where, block) in blocks.items():
        key = (name, 0, i, j) if req.several else (name, i, j)
        image[key] = (partial(_image, where=where, block=block, several=req.several, **static), keys,
                      means.get(("rows", i)), means.get(("columns", j)), None if o.floats else references)
    found = {}
    layers, deps = dict(x.__dask_graph__().layers), dict(x.__dask_graph__().dependencies)
    layers[stats], deps[stats] = dsk, set(x.__dask_layers__())
    layers[name], deps[name] = image, {stats, *x.__dask_layers__()}
    for k, what in enumerate(("dmax", "reference")):
        n = f"tavelkorn-{what}-{token}"
        layers[n], deps[n] = {(n, 0) if req.several else (n,): (partial(_column, k=k, several=req.several),
                                                                  references)}, {stats}
        found[what] = n
    graph = HighLevelGraph(layers, deps)
    dtype = np.float32 if o.floats else np.uint8
    lead = ((len(o.scales),),) if req.several else ()
    out = da.Array(graph, name, lead + x.chunks, meta=np.empty((0,) * (len(lead) + 2), dtype))
    for what, n in found.items():
        found[what] = da.Array(graph, n, lead, meta=np.empty((0,) * len(lead), np.float64))
    return out, found
