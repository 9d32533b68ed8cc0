"""What the numpy, xarray and Dask paths share: the request as the engine
takes it, and how an array's dtype and missing cells are read."""

from __future__ import annotations

import math
from typing import Any, Callable, NamedTuple, Optional, Tuple

import numpy as np

from . import _moteur


class Request(NamedTuple):
    """One call's options, checked, in the engine's terms."""

    options: _moteur.Options  # term, direction, stretch, rank, scales, norm, floats, threads
    z_scale: float
    nodata: Optional[float]
    progress: Optional[Callable[[float], Any]]
    attrs: dict  # how the result was made, as the result records it
    several: bool  # scale was a sequence: the result has a leading scale axis

    @property
    def scales(self) -> Tuple[int, ...]:
        return tuple(self.options.scales)

    @property
    def floats(self) -> bool:
        return self.options.floats


_TERMS = {"classic": _moteur.Term.CLASSIC, "curvature": _moteur.Term.CURVATURE}
_DIRECTIONS = {"rows": _moteur.Direction.ROWS, "columns": _moteur.Direction.COLUMNS,
               "both": _moteur.Direction.BOTH}
# Exact widenings into a type the engine reads; any other dtype is refused.
_WIDENED = {"i1": np.int16, "u1": np.int16, "f2": np.float32}
_SCALE_MAX = 2**31 - 1


def _is_int(v: Any) -> bool:
    return isinstance(v, (int, np.integer)) and not isinstance(v, (bool, np.bool_))


def _stretch(stretch: Any) -> Tuple[_moteur.Stretch, float]:
    # The grammar is the engine's (the command line's --stretch); only the
    # words of a refusal are Python's.
    if isinstance(stretch, str) and "\0" not in stretch:
        parsed = _moteur.parse_stretch(stretch)
        if parsed is not None:
            return parsed
        if len(stretch) > 1 and stretch[0] == "p":
            try:
                p = float(stretch[1:])
            except ValueError:
                p = None
            if p is not None and not (0.0 < p <= 100.0):
                raise ValueError(f"stretch={stretch!r}: the percentile {p:g} is outside (0, 100]")
    raise ValueError(f"stretch={stretch!r}: 'half', 'full' or 'pP' with P in (0, 100], such as 'p99'")


def _scales(scale: Any) -> Tuple[Tuple[int, ...], bool]:
    """(the scales ascending and distinct, whether scale was a sequence)."""
    what = "an integer from 1, or a sequence or range of them"
    if _is_int(scale):
        if not 1 <= scale <= _SCALE_MAX:
            raise ValueError(f"scale={scale!r}: scales are whole numbers from 1 to 2^31 - 1")
        return (int(scale),), False
    if isinstance(scale, (str, bytes)) or not hasattr(scale, "__iter__"):
        raise TypeError(f"scale={scale!r}: {what}")
    scales = list(scale)
    for k in scales:
        if not _is_int(k):
            raise TypeError(f"scale={scale!r}: {k!r} is not an integer; scale is {what}")
        if not 1 <= k <= _SCALE_MAX:
            raise ValueError(f"scale={scale!r}: {k!r}: scales are whole numbers from 1 to 2^31 - 1")
    merged = sorted(set(int(k) for k in scales))
    if not merged:
        raise ValueError(f"scale={scale!r}: at least one scale is needed")
    if len(merged) > _moteur.SCALES_MAX:
        raise ValueError(f"scale={scale!r}: {len(merged)} scales; at most {_moteur.SCALES_MAX}")
    return tuple(merged), True


def request(term, stretch, norm, z_scale, dtype, nodata, threads, progress, direction="rows", scale=1) -> Request:
    """Checks every option; ValueError or TypeError naming the one at fault."""
    if not isinstance(term, str) or term not in _TERMS:
        raise ValueError(f"term={term!r}: 'classic' or 'curvature'")
    if not isinstance(direction, str) or direction not in _DIRECTIONS:
        raise ValueError(f"direction={direction!r}: 'rows', 'columns' or 'both'")
    etirement, rank = _stretch(stretch)
    if not _is_int(norm):
        raise TypeError(f"norm={norm!r}: an integer (255 at most is used)")
    if not -(2**31) <= norm < 2**31:
        raise ValueError(f"norm={norm!r}: beyond the 32-bit range")
    if isinstance(z_scale, (bool, np.bool_)) or not isinstance(z_scale, (int, float, np.integer, np.floating)):
        raise TypeError(f"z_scale={z_scale!r}: a number")
    z_scale = float(z_scale)
    if not math.isfinite(z_scale) or z_scale == 0.0:
        raise ValueError(f"z_scale={z_scale!r}: must be a non-zero number")
    try:
        out = np.dtype(dtype).name
    except TypeError:
        out = None
    if out not in ("uint8", "float32"):
        raise ValueError(f"dtype={dtype!r}: 'uint8' (the stretched image) or 'float32' (the deviations)")
    if nodata is not None:
        if isinstance(nodata, (bool, np.bool_)) or not isinstance(nodata, (int, float, np.integer, np.floating)):
            raise TypeError(f"nodata={nodata!r}: a number or None")
        nodata = float(nodata)
    if threads is None:
        threads = _moteur.default_threads()
    elif not _is_int(threads):
        raise TypeError(f"threads={threads!r}: an integer from 1 to 256, or None")
    elif not 1 <= threads <= 256:
        raise ValueError(f"threads={threads!r}: from 1 to 256")
    if progress is not None and not callable(progress):
        raise TypeError(f"progress={progress!r}: a callable taking the fraction done, or None")
    scales, several = _scales(scale)
    attrs = {"term": term, "direction": direction, "stretch": stretch, "norm": int(min(norm, 255)),
             "z_scale": z_scale}
    if not several:
        attrs["scale"] = scales[0]
    options = _moteur.Options(term=_TERMS[term], direction=_DIRECTIONS[direction], stretch=etirement, rank=rank,
                              scales=list(scales), norm=int(norm), floats=out == "float32", threads=int(threads))
    return Request(options, z_scale, nodata, progress, attrs, several)


def elevations(a: np.ndarray, what: str = "dem") -> np.ndarray:
    """a itself when the engine reads its dtype, an exact widening of it for
    8-bit integers and float16; TypeError for anything else."""
    dt = a.dtype
    code = f"{dt.kind}{dt.itemsize}"
    if code in _moteur.DTYPES:
        return a
    if code in _WIDENED:
        return a.astype(_WIDENED[code])
    if dt.kind in "biuf":
        raise TypeError(
            f"{what}: dtype {dt} is not read (int16, uint16, int32, uint32, float32 or float64, "
            f"or int8, uint8 and float16 widened exactly); convert it yourself, e.g. {what}.astype('float64')"
        )
    raise TypeError(f"{what}: dtype {dt} holds no elevations (complex, bool, object, text and dates are refused)")


def reading(nodata: Optional[float], z_scale: float, dt: np.dtype) -> _moteur.Reading:
    """How the engine reads the cells of an array of dt: nodata and the
    z-scale. A nodata that marks nothing in dt (NaN; in an integer dtype, a
    value it cannot hold) is left out, as the engine would ignore it, so
    that an int32 array is still read where it lies."""
    if nodata is not None and (math.isnan(nodata) or (dt.kind in "iu" and not (
            nodata == math.floor(nodata) and np.iinfo(dt).min <= nodata <= np.iinfo(dt).max))):
        nodata = None
    return _moteur.Reading(nodata=nodata, z_scale=z_scale)


def split_masked(a: np.ndarray) -> Tuple[np.ndarray, Optional[np.ndarray]]:
    """A masked array's data and its mask as the engine reads it (uint8,
    rows of adjacent bytes), or None without a mask."""
    if not isinstance(a, np.ma.MaskedArray):
        return a, None
    m = np.ma.getmask(a)
    data = np.ma.getdata(a)
    if m is np.ma.nomask:
        return data, None
    m = np.broadcast_to(m, data.shape)
    if m.strides[1] != 1:
        m = np.ascontiguousarray(m)
    return data, m.view(np.uint8)
