"""What the numpy, xarray and Dask paths share: the request as the engine
takes it, and how an array's dtype and missing cells are read."""

from __future__ import annotations

import math
import os
from typing import Any, Callable, NamedTuple, Optional, Tuple

import numpy as np

from . import _moteur


class Request(NamedTuple):
    """One call's options, checked, in the engine's terms."""

    term: int
    stretch: int
    rank: float
    norm: int
    z_scale: float
    floats: bool
    nodata: Optional[float]
    threads: int
    progress: Optional[Callable[[float], Any]]
    attrs: dict  # how the result was made, as the result records it
    direction: int = _moteur.DIRECTION_LIGNES


_TERMS = {"classic": _moteur.TERME_CLASSIQUE, "curvature": _moteur.TERME_COURBURE}
_DIRECTIONS = {"rows": _moteur.DIRECTION_LIGNES, "columns": _moteur.DIRECTION_COLONNES,
               "both": _moteur.DIRECTION_LES_DEUX}
# Exact widenings into a type the engine reads; any other dtype is refused.
_WIDENED = {"i1": np.int16, "u1": np.int16, "f2": np.float32}


def _stretch(stretch: Any) -> Tuple[int, float]:
    if stretch == "half":
        return _moteur.ETIRE_DEMI, 100.0
    if stretch == "full":
        return _moteur.ETIRE_PLEIN, 100.0
    if isinstance(stretch, str) and len(stretch) > 1 and stretch[0] == "p":
        try:
            p = float(stretch[1:])
        except ValueError:
            p = None
        if p is not None:
            if not (0.0 < p <= 100.0):
                raise ValueError(f"stretch={stretch!r}: the percentile {p:g} is outside (0, 100]")
            return _moteur.ETIRE_RANG, p
    raise ValueError(f"stretch={stretch!r}: 'half', 'full' or 'pP' with P in (0, 100], such as 'p99'")


def _default_threads() -> int:
    # As the command line: TAVELKORN_THREADS, else one per core.
    try:
        n = int(os.environ.get("TAVELKORN_THREADS", ""))
        if 1 <= n <= 256:
            return n
    except ValueError:
        pass
    try:
        n = len(os.sched_getaffinity(0))
    except AttributeError:
        n = os.cpu_count() or 1
    return max(1, min(n, 256))


def request(term, stretch, norm, z_scale, dtype, nodata, threads, progress, direction="rows") -> Request:
    """Checks every option; ValueError or TypeError naming the one at fault."""
    if not isinstance(term, str) or term not in _TERMS:
        raise ValueError(f"term={term!r}: 'classic' or 'curvature'")
    if not isinstance(direction, str) or direction not in _DIRECTIONS:
        raise ValueError(f"direction={direction!r}: 'rows', 'columns' or 'both'")
    etirement, rank = _stretch(stretch)
    if isinstance(norm, (bool, np.bool_)) or not isinstance(norm, (int, np.integer)):
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
        threads = _default_threads()
    elif isinstance(threads, (bool, np.bool_)) or not isinstance(threads, (int, np.integer)):
        raise TypeError(f"threads={threads!r}: an integer from 1 to 256, or None")
    elif not 1 <= threads <= 256:
        raise ValueError(f"threads={threads!r}: from 1 to 256")
    if progress is not None and not callable(progress):
        raise TypeError(f"progress={progress!r}: a callable taking the fraction done, or None")
    attrs = {"term": term, "direction": direction, "stretch": stretch, "norm": int(min(norm, 255)),
             "z_scale": z_scale}
    return Request(_TERMS[term], etirement, rank, int(norm), z_scale, out == "float32", nodata, int(threads),
                   progress, attrs, _DIRECTIONS[direction])


def elevations(a: np.ndarray, what: str = "dem") -> np.ndarray:
    """a itself when the engine reads its dtype, an exact widening of it for
    8-bit integers and float16; TypeError for anything else."""
    dt = a.dtype
    code = f"{dt.kind}{dt.itemsize}"
    if code in _moteur.TYPES:
        return a
    if code in _WIDENED:
        return a.astype(_WIDENED[code])
    if dt.kind in "biuf":
        raise TypeError(
            f"{what}: dtype {dt} is not read (int16, uint16, int32, uint32, float32 or float64, "
            f"or int8, uint8 and float16 widened exactly); convert it yourself, e.g. {what}.astype('float64')"
        )
    raise TypeError(f"{what}: dtype {dt} holds no elevations (complex, bool, object, text and dates are refused)")


def reading(dt: np.dtype, nodata: Optional[float], z_scale: float) -> tuple:
    """How the engine reads an array of dt: (type, other byte order, has
    nodata, nodata, z-scale)."""
    avec = nodata is not None and not math.isnan(nodata)
    if avec and dt.kind in "iu":
        # An integer array cannot hold a nodata it has no value for: no cell is missing by it.
        info = np.iinfo(dt)
        avec = nodata == math.floor(nodata) and info.min <= nodata <= info.max
    return (_moteur.TYPES[f"{dt.kind}{dt.itemsize}"], not dt.isnative, avec, nodata if avec else 0.0, z_scale)


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


def engine_error(text: str) -> Exception:
    """The engine's failure as the Python exception a caller can act on."""
    text = text.replace("--z-scale", "z_scale")
    if "32-bit range" in text:
        return ValueError(text)
    if "memory" in text:
        return MemoryError(text)
    return RuntimeError(text)
