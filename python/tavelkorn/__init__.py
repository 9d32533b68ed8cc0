"""Tavelkorn: terrain roughness from a digital elevation model.

``tavelkorn.roughness(dem)`` takes a numpy array, a masked array, an
``xarray.DataArray`` (rioxarray's, with its CRS) or a dask array, and returns
the same kind: the 8-bit roughness image the ``tavelkorn`` command line
writes, byte for byte, or the deviations it stretches (``dtype="float32"``).
Only numpy is needed; xarray, rioxarray and dask are used when given.
"""

from __future__ import annotations

import sys
from typing import Any, Callable, Optional, Sequence, Union

import numpy as np

from . import _arrays, _moteur
from ._version import __version__

__all__ = ["roughness", "Cancelled", "__version__"]


Cancelled = _moteur.Cancelled  # raised by the engine itself when progress returns False


def _is_instance(dem: Any, module: str, name: str) -> bool:
    # Without importing the module: a DataArray or a dask array cannot
    # exist unless its module was imported.
    m = sys.modules.get(module)
    return m is not None and isinstance(dem, getattr(m, name))


def _warn_nothing_to_stretch(req: _arrays.Request, references, stacklevel: int) -> None:
    import warnings

    for k, reference in zip(req.scales, references):
        if not req.floats and not reference > 0:
            where = f"scale {k}: " if req.several or k != 1 else ""
            warnings.warn(f"{where}nothing to stretch by (the search window holds no deviation, or the percentile "
                          f"is 0): the image is all 0", RuntimeWarning, stacklevel=stacklevel + 1)


def _in_memory(a: np.ndarray, mask: Optional[np.ndarray], nodata: Optional[float], req: _arrays.Request,
               presence: bool):
    """The engine's whole computation of a 2-D numpy array: (image, presence
    or None, what was found: dmax and reference, one a scale, and
    missing_cells). The image has a leading scale axis when req.several."""
    a = _arrays.elevations(a)
    nb_lig, nb_col = a.shape
    if nb_lig < 1 or nb_col < 1 or nb_lig >= 2**31 or nb_col >= 2**31:
        raise ValueError(f"dem: shape {a.shape}: 1 to 2^31 - 1 rows and columns")
    r = _moteur.compute(a, reading=_arrays.reading(nodata, req.z_scale, a.dtype), options=req.options, mask=mask,
                        presence=presence, progress=req.progress)
    import warnings

    if r.fractions:
        warnings.warn("elevations with fractions (after z_scale) are rounded to whole units; z_scale=100 keeps "
                      "centimetres",
                      RuntimeWarning, stacklevel=3)
    _warn_nothing_to_stretch(req, r.reference, 3)
    found = {"dmax": r.dmax, "reference": r.reference, "missing_cells": int(r.missing_cells)}
    return (r.image if req.several else r.image[0]), r.presence, found


def roughness(
    dem: Any,
    *,
    term: str = "classic",
    direction: str = "rows",
    stretch: str = "half",
    norm: int = 255,
    z_scale: float = 1.0,
    dtype: Union[str, np.dtype, type] = "uint8",
    nodata: Optional[float] = None,
    threads: Optional[int] = None,
    progress: Optional[Callable[[float], Any]] = None,
    scale: Union[int, Sequence[int]] = 1,
) -> Any:
    """Terrain roughness of a DEM: how far, along every row, the local bend
    of the terrain departs from the row's mean bend, as the ``tavelkorn``
    command line computes it.

    For rows ``i`` and columns ``j`` of whole elevations ``z[i][j]`` (after
    ``z_scale``), at every column ``j`` from 1 to ``ncols - 2`` whose cell and
    both neighbours are present:

    - term ``t[i][j] = 4 z[i][j] - z[i][j-1] - z[i][j+1]`` (``"classic"``) or
      ``2 z[i][j] - z[i][j-1] - z[i][j+1]`` (``"curvature"``, the second
      difference: 0 on any plane), exact in 64-bit integers;
    - row mean ``m[i] = sum(t[i][j]) / count``, truncated toward zero;
    - deviation ``d[i][j] = |t[i][j] - m[i]|``; 0 in the first and last
      columns and at a present cell without a term.

    ``dmax`` is the largest deviation inside the search window (the grid less
    a border two cells wide). The image stretches ``d`` to bytes:

    - ``"half"``: ``v = ((d - dmax/2) / (dmax/2)) * norm``, 0 where negative;
      the byte is the low 8 bits of ``v`` truncated (256 gives 0);
    - ``"full"``: ``v = d / dmax * norm``, truncated, at most ``norm``;
    - ``"pP"`` (``"p99"``, ``"p99.5"``...): ``v = d / q * norm``, truncated, at
      most ``norm``, ``q`` the P-th percentile of the window's deviations by
      nearest rank, read from a histogram (within 1/128).

    When there is nothing to stretch by (``dmax`` or ``q`` is 0), the image
    is all 0 and a ``RuntimeWarning`` says so.

    Along rows (the default), a ridge, a valley or a scarp that runs along
    the rows (east-west on a north-up DEM) bends nothing along a row and
    does not show. ``direction`` takes the measure the other way too:

    - ``"rows"``: as above;
    - ``"columns"``: the same term down each column,
      ``t[i][j] = 4 z[i][j] - z[i-1][j] - z[i+1][j]`` (or ``2 z[i][j] - ...``
      for ``"curvature"``), against the column's mean term (exact, truncated
      toward zero, over the rows where the three cells are present); the
      first and last rows are 0. East-west features show, north-south ones
      fade;
    - ``"both"``: at each cell the larger of its row deviation and its
      column deviation (a cell with only one of them takes that one), so
      features show whichever way they run. With ``"curvature"`` the two
      second differences are the two halves of the Laplacian, each taken
      against its own line's mean.

    Every stretch, ``dtype="float32"`` and missing cells work the same in
    every direction; a transposed DEM gives with ``"columns"`` the transpose
    of what the DEM gives with ``"rows"``.

    ``scale`` sets the lag ``k`` of the term, in cells: at scale ``k`` the
    row term is ``4 z[i][j] - z[i][j-k] - z[i][j+k]`` (``2 z[i][j] - ...``
    for ``"curvature"``) at every column ``j`` from ``k`` to ``ncols - 1 - k``
    whose three cells are present, the column term the same down columns
    (``z[i-k][j]``, ``z[i+k][j]``), and the search window is the grid less a
    border ``k + 1`` cells wide; scale 1 is the formulas above. Each scale
    has its own means, ``dmax`` (or percentile) and image. A feature shows
    at the scales near its wavelength: a scarp at 1 or 2 cells, a dune train
    or a moraine field at 8 or 16. Several scales (``scale=[1, 2, 4, 8]``,
    ``range(1, 9)``) give one image a scale along a leading ``scale`` axis,
    the DEM read once for them all. Their summary, the largest byte over
    the scales and the smallest scale that has it (the command line's
    ``--scale-summary``), is what xarray already does::

        r = tavelkorn.roughness(dem, scale=[1, 2, 4, 8])  # a DataArray
        r.max("scale"), r.idxmax("scale")

    Parameters
    ----------
    dem : numpy.ndarray, numpy.ma.MaskedArray, xarray.DataArray or dask.array.Array
        The elevations, 2-D (rows, columns); a DataArray may also be 3-D with
        a band dimension of length 1, as ``rioxarray.open_rasterio`` gives. A
        DataArray's rows run along its ``x`` dimension (or rioxarray's
        ``rio.x_dim``) whatever its position, so a transposed ``(x, y)``
        DataArray gives the transpose of its ``(y, x)`` result; one with
        xarray's default dims (``dim_0``, ``dim_1``) is taken as numpy takes
        it; any other raises ValueError. dtype int16, uint16, int32, uint32, float32 or float64, any
        strides, either byte order, read in place without a copy; int8, uint8
        and float16 are widened exactly (a copy). A DataArray backed by dask,
        or a dask array, gives a lazy result of the same chunks, any chunks,
        every option and scale. Blocks are kept: the graph reads each chunk
        once and keeps it until its image is made (the halo it lends its
        neighbours, the largest scale's lag, is copied out); on a
        ``distributed`` cluster the workers spill kept chunks to disk when
        their memory is short, on the local threaded scheduler they stay in
        memory (at most the DEM in its own dtype). The graph's shape
        depends on the arguments alone, never on the scheduler.
    term : {"classic", "curvature"}
        The term (see above).
    direction : {"rows", "columns", "both"}
        Along rows, down columns, or the larger of the two deviations at each
        cell (see above); the command line's ``--direction``.
    stretch : {"half", "full"} or str
        The stretch of the uint8 image; ``"pP"`` with P in (0, 100].
    norm : int
        The value ``dmax`` (or the percentile) maps to; above 255 means 255.
    z_scale : float
        Elevations are multiplied by it and rounded half away from zero
        before computing (integers at 1 are taken as they are; a float DEM is
        rounded to whole units at 1: ``z_scale=100`` keeps centimetres). A
        fraction rounded away gives a ``RuntimeWarning`` (in memory).
        Non-zero and finite. An elevation beyond the 32-bit range once scaled
        raises ValueError.
    dtype : {"uint8", "float32"}
        ``"uint8"``: the stretched image, 0 at missing cells (as the command
        line's ``.raw`` and ``.bmp`` give them). ``"float32"``: the deviation
        ``d / |z_scale|`` in elevation units, NaN at missing cells (as
        ``--type Float32``).
    nodata : float, optional
        Cells equal to it are missing (compared in the array's own dtype; a
        value the dtype cannot hold, such as 65535 for int16, marks nothing).
        Default: a DataArray's ``_FillValue`` (or ``missing_value``) attribute
        as written, else its ``rio.nodata``.
        NaN in float arrays and the mask of a masked array are missing too.
        A missing cell has no term, nor do its two neighbours; the row mean
        is over the existing terms.
    threads : int, optional
        Threads of the computation, 1 to 256 (default: ``TAVELKORN_THREADS``,
        else one per core); any number gives the same result. Dask input runs
        each block on one thread of Dask's own.
    progress : callable, optional
        Called with the fraction done (0 to 1) as the engine advances, from
        the calling thread (numpy and in-memory DataArray input). Returning
        False cancels: :class:`Cancelled` is raised.
    scale : int, or a sequence or range of int
        The lag in cells (see above), from 1; an int gives one image, as
        today's shape. A sequence gives one image a scale, in ascending
        order (duplicates merged), at most 64 scales. A scale with no term
        in the DEM (a DEM narrower than ``2 scale + 1`` both ways) gives an
        image of 0 and the warning of a flat DEM, naming the scale.

    Returns
    -------
    numpy.ndarray, numpy.ma.MaskedArray, xarray.DataArray or dask.array.Array
        The same kind as ``dem``, of dtype uint8 or float32 and the same
        shape; with a sequence of scales, a leading axis of one image a
        scale (a DataArray's new first dimension ``scale``, with the scales
        as its coordinate, and ``dmax`` and ``reference`` as coordinates
        along it). A masked array comes back masked at the missing cells. A
        DataArray comes back with ``dem``'s dims, coords (so ``rio.crs`` and
        ``rio.transform()``), name and attrs, less those that describe the
        elevations' values (``_FillValue``, ``missing_value``,
        ``scale_factor``, ``add_offset``, GDAL's ``STATISTICS_*``, and
        ``units`` of a uint8 result), plus ``term``, ``direction``, ``stretch``, ``norm``,
        ``z_scale``, ``scale`` (one scale) and, when computed in memory, ``dmax``, ``reference``
        (what the stretch maps to ``norm``: ``dmax`` or the percentile) and
        ``missing_cells``. A lazy DataArray carries ``dmax``
        and ``reference`` as scalar coordinates instead, computed along with
        it. Float32 results have ``_FillValue`` NaN. A uint8 result has no
        nodata: every byte value is a possible roughness, so missing cells
        are 0 and are not marked (take ``dem.isnull()``, or ``dtype="float32"``,
        for them).

    Raises
    ------
    ValueError
        A shape that is not 2-D (or 3-D with one band), a DataArray whose
        spatial dims cannot be told, an unknown term,
        direction, stretch or dtype, a percentile outside (0, 100], a zero or infinite
        ``z_scale``, ``threads`` outside 1 to 256, a scale below 1 or beyond
        2^31 - 1, no scale or more than 64, an elevation beyond the 32-bit
        range once scaled.
    TypeError
        A complex, bool, object or other dtype the engine does not read;
        options of the wrong type (a scale that is not an integer).
    MemoryError
        Memory the engine cannot have.
    Cancelled
        ``progress`` returned False.
    KeyboardInterrupt
        Ctrl-C during the computation (checked before every round of rows).

    Examples
    --------
    >>> import numpy as np, tavelkorn
    >>> z = np.add.outer(np.arange(6), np.arange(7) ** 2).astype(np.int32)
    >>> tavelkorn.roughness(z, term="curvature", stretch="full").shape
    (6, 7)
    """
    req = _arrays.request(term, stretch, norm, z_scale, dtype, nodata, threads, progress, direction, scale)
    if _is_instance(dem, "xarray", "DataArray"):
        from . import _xarray

        return _xarray.roughness(dem, req)
    if _is_instance(dem, "dask.array", "Array"):
        if dem.ndim != 2:
            raise ValueError(f"dem: shape {dem.shape}: a 2-D array (rows, columns) is needed")
        from . import _dask

        return _dask.roughness(dem, req.nodata, req)[0]
    if not isinstance(dem, np.ndarray):
        raise TypeError(f"dem: a numpy array, masked array, xarray.DataArray or dask array, not {type(dem).__name__}")
    if dem.ndim != 2:
        raise ValueError(f"dem: shape {dem.shape}: a 2-D array (rows, columns) is needed")
    data, mask = _arrays.split_masked(dem)
    image, presence, _ = _in_memory(data, mask, req.nodata, req, isinstance(dem, np.ma.MaskedArray))
    if isinstance(dem, np.ma.MaskedArray):
        missing = presence == 0
        return np.ma.MaskedArray(image, mask=np.repeat(missing[None], image.shape[0], 0) if req.several else missing)
    return image
