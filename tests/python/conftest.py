"""Shared by the Python tests: DEMs that are not symmetric, and what the
command line makes of them (run on a GeoTIFF of the same cells)."""

import os
import subprocess

import numpy as np
import pytest
import rasterio

PROGRAM = os.environ.get("TAVELKORN_PROGRAM", "")
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def dem(dtype="int32", rows=37, cols=53, seed=7, low=0):
    """An odd-sized rough surface: random walks along both axes plus noise,
    so that rows differ from one another and from their mirror image."""
    rng = np.random.default_rng(seed)
    z = np.cumsum(rng.integers(-9, 10, (rows, cols)), axis=1) + np.cumsum(rng.integers(-5, 6, (rows, 1)), axis=0)
    z = z - z.min() + low + np.arange(cols) * 3
    if np.dtype(dtype).kind == "f":
        return (z + rng.random((rows, cols)) * 0.9).astype(dtype)  # fractions the rounding sees
    return z.astype(dtype)


def cli(tmp_path, z, *args, nodata=None, floats=False, bands=False):
    """The command line's image of z (written as a GeoTIFF in z's dtype):
    uint8 bytes, or float32 deviations with --type Float32; with bands, the
    bands of a GeoTIFF (bands, rows, columns), as several scales give."""
    if not PROGRAM:
        pytest.fail("TAVELKORN_PROGRAM is not set: tests/python/run.sh sets it")
    src, out = tmp_path / "dem.tif", tmp_path / ("out.tif" if floats or bands else "out.raw")
    with rasterio.open(src, "w", driver="GTiff", width=z.shape[1], height=z.shape[0], count=1,
                       dtype=z.dtype.newbyteorder("=").name, nodata=nodata,
                       transform=rasterio.transform.from_origin(500000, 4000000, 25, 25)) as f:
        f.write(z.astype(z.dtype.newbyteorder("=")), 1)
    extra = ["--type", "Float32"] if floats else []
    subprocess.run([PROGRAM, "-q", *extra, *args, str(src), str(out)], check=True, stderr=subprocess.DEVNULL)
    if floats or bands:
        with rasterio.open(out) as f:
            return f.read() if bands else f.read(1)
    return np.fromfile(out, np.uint8).reshape(z.shape)
