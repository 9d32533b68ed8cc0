"""A DataArray in, a DataArray out: the input's dims, coords (rioxarray's
spatial_ref with them), name and attrs, around the numpy or Dask result."""

from __future__ import annotations

import math
import re
from typing import Hashable, Optional, Tuple

import numpy as np
import xarray as xr

from . import _arrays

# Attributes that describe the elevations' values, not the roughness's
# (GDAL's STATISTICS_* would be written back as the image's own).
# Float32 deviations keep the elevations' units.
_ELEVATION_ATTRS = ("_FillValue", "missing_value", "scale_factor", "add_offset", "valid_range", "valid_min",
                    "valid_max")


def _of_elevations(key: str, floats: bool) -> bool:
    return key in _ELEVATION_ATTRS or key.startswith("STATISTICS_") or (key == "units" and not floats)


# Where a nodata value is written, in rioxarray's order.
_NODATA_ATTRS = ("_FillValue", "missing_value", "fill_value", "nodata")


def nodata_of(dem: xr.DataArray) -> Optional[float]:
    """The nodata value as the attributes hold it, else rioxarray's (the
    file's, or NaN for a masked array). rioxarray's ``rio.nodata`` casts an
    attribute into the dtype (65535 on int16 becomes -1, a real elevation):
    the value as written is kept, and a value the dtype cannot hold marks
    nothing (``_arrays.reading``)."""
    v = next((dem.attrs[k] for k in _NODATA_ATTRS if k in dem.attrs), None)
    if v is None and hasattr(dem, "rio"):
        try:
            v = dem.rio.nodata
        except Exception:  # a DataArray rioxarray cannot describe: no nodata
            v = None
    if v is None:
        return None
    v = float(np.asarray(v).ravel()[0])
    return None if math.isnan(v) else v


def spatial_dims(dem: xr.DataArray) -> Tuple[Hashable, Hashable]:
    """(y, x): the dims down and along the DEM's rows, by name ("y" and "x",
    or rioxarray's ``rio.y_dim`` and ``rio.x_dim``); a bare array's (xarray's
    own names dim_0, dim_1 ... for the last two) are rows and columns as in
    numpy. ValueError when they cannot be told."""
    y = x = None
    if hasattr(dem, "rio"):
        try:
            x, y = dem.rio.x_dim, dem.rio.y_dim
        except Exception:  # rioxarray finds none
            x = y = None
    if (x is None or y is None) and "x" in dem.dims and "y" in dem.dims:
        x, y = "x", "y"
    if x in dem.dims and y in dem.dims and x != y:
        return y, x
    if all(re.fullmatch(r"dim_\d+", str(d)) for d in dem.dims[-2:]):
        return dem.dims[-2], dem.dims[-1]
    raise ValueError(f"dem: dims {dem.dims}: which are y and x cannot be told; name them 'y' and 'x', or tell "
                     f"rioxarray (dem.rio.set_spatial_dims(x_dim=..., y_dim=...))")


def roughness(dem: xr.DataArray, req: _arrays.Request) -> xr.DataArray:
    if dem.ndim not in (2, 3):
        raise ValueError(f"dem: dims {dem.dims}: a 2-D DataArray (y, x), or 3-D with one band, is needed")
    y, x = spatial_dims(dem)
    band = [d for d in dem.dims if d not in (y, x)]
    if band and dem.sizes[band[0]] != 1:
        raise ValueError(f"dem: dimension {band[0]!r}, the band of a 3-D DataArray, has {dem.sizes[band[0]]} "
                         f"bands; one is needed (select it: dem.isel({band[0]}=[0]))")
    if req.several and "scale" in dem.dims:
        raise ValueError(f"dem: dims {dem.dims}: the result's scale dimension would take the name 'scale'")
    # The engine measures along the last axis: x comes last (a view, or a
    # lazy transpose), and the result goes back to the dims as given.
    order = (*band, y, x)
    work = dem if dem.dims == order else dem.transpose(*order)
    nodata = req.nodata if req.nodata is not None else nodata_of(dem)
    data = work.data
    grid = data[0] if band else data
    attrs = dict(req.attrs)
    if _is_dask(grid):
        from . import _dask

        result, found = _dask.roughness(grid, nodata, req)
    else:
        grid = np.asarray(grid) if not isinstance(grid, np.ndarray) else grid
        from . import _in_memory

        result, _, found = _in_memory(grid, None, nodata, req, False)
        attrs["missing_cells"] = found.pop("missing_cells")
        if not req.several:  # one scale in memory: what was found, as attributes
            attrs.update(dmax=found.pop("dmax")[0], reference=found.pop("reference")[0])
    lead = ("scale",) if req.several else ()
    if band:
        result = result[:, None] if req.several else result[None]
    out_attrs = {k: v for k, v in dem.attrs.items() if not _of_elevations(k, req.floats)}
    out_attrs.update(attrs)
    if req.floats:
        out_attrs["_FillValue"] = np.float32(np.nan)
    coords = dict(work.coords)
    if req.several:
        coords["scale"] = ("scale", np.array(req.scales))
    out = xr.DataArray(result, coords=coords, dims=lead + order, name=dem.name, attrs=out_attrs)
    if order != dem.dims:
        out = out.transpose(*lead, *dem.dims)
    if found:  # dmax and reference: one a scale along scale, or scalars for one scale computed lazily
        out = out.assign_coords({k: (lead, v) for k, v in found.items()})
    if "grid_mapping" in dem.encoding:  # where rioxarray finds the CRS when the coordinate is not spatial_ref
        out.encoding["grid_mapping"] = dem.encoding["grid_mapping"]
    return out


def _is_dask(a) -> bool:
    import sys

    m = sys.modules.get("dask.array")
    return m is not None and isinstance(a, m.Array)
