"""Dask arrays and Dask-backed DataArrays: lazy, and for any chunking the
bytes of the in-memory call, on the threaded scheduler and on a cluster of
worker processes."""

import dask
import dask.array as da
import numpy as np
import pytest
import rioxarray

import tavelkorn
from conftest import dem
from test_xarray import SAMPLE

CHUNKS = [
    (1, 53),            # one row a block
    (37, 1),            # one column a block
    (5, 2),             # blocks narrower than the window's border
    ((2, 1, 30, 2, 2), (1, 2, 47, 2, 1)),  # blocks ending inside the border, both ways
    (11, 17),
    (37, 53),           # one block
]
CASES = [
    dict(),
    dict(stretch="p99", term="curvature"),
    dict(stretch="full", norm=120, z_scale=10.0),
    dict(dtype="float32", z_scale=-0.5),
    dict(direction="columns"),
    dict(direction="columns", stretch="p99", dtype="float32"),
    dict(direction="both", stretch="p99", term="curvature"),
    dict(direction="both", stretch="full", z_scale=-0.5),
]


def _holey(dtype):
    z = dem(dtype)
    if z.dtype.kind == "f":
        z[3:6, 10:14] = z[20, :] = z[:, 1] = np.nan
    return z


@pytest.mark.parametrize("chunks", CHUNKS)
@pytest.mark.parametrize("options", CASES)
@pytest.mark.parametrize("dtype", ["int32", "float32", ">u2"])
def test_any_chunking_gives_the_in_memory_bytes(chunks, options, dtype):
    z = _holey(dtype)
    lazy = tavelkorn.roughness(da.from_array(z, chunks=chunks), **options)
    assert isinstance(lazy, da.Array) and lazy.chunks == da.from_array(z, chunks=chunks).chunks
    np.testing.assert_array_equal(lazy.compute(), tavelkorn.roughness(z, **options))


@pytest.mark.parametrize("stretch", ["half", "p99"])
def test_elevations_across_the_32_bit_range(stretch):
    z = dem("int64")
    z = ((z - z.min()) * (2**32 - 1) // (z.max() - z.min()) - 2**31).astype(np.int32)
    np.testing.assert_array_equal(tavelkorn.roughness(da.from_array(z, chunks=(6, 7)), stretch=stretch).compute(),
                                  tavelkorn.roughness(z, stretch=stretch))


def test_nothing_is_computed_before_compute():
    def refuse(*args, **kwargs):
        raise AssertionError("computed")

    with dask.config.set(scheduler=refuse):
        d = rioxarray.open_rasterio(SAMPLE, masked=True, chunks=(1, 64, 64))
        r = tavelkorn.roughness(d, stretch="p99")
    assert r.chunks == d.chunks


@pytest.mark.parametrize("direction, dtype", [("rows", "uint8"), ("columns", "uint8"), ("both", "uint8"),
                                              ("rows", "float32"), ("both", "float32")])
def test_dataarray_with_dask_as_in_memory(direction, dtype):
    d = rioxarray.open_rasterio(SAMPLE, masked=True, chunks=(1, 50, 70))
    lazy = tavelkorn.roughness(d, stretch="p99", direction=direction, dtype=dtype).compute()
    eager = tavelkorn.roughness(d.compute(), stretch="p99", direction=direction, dtype=dtype)
    np.testing.assert_array_equal(lazy.values, eager.values)
    assert lazy.rio.crs == eager.rio.crs and float(lazy.dmax) == eager.attrs["dmax"]
    assert float(lazy.reference) == eager.attrs["reference"]


@pytest.mark.parametrize("direction", ["rows", "columns", "both"])
def test_masked_blocks_and_nodata(direction):
    z = dem("int16")
    holes = np.zeros(z.shape, bool)
    holes[7:9, 3:40] = holes[:, 16] = True
    masked = da.from_array(np.ma.MaskedArray(z, mask=holes), chunks=(9, 8))
    np.testing.assert_array_equal(tavelkorn.roughness(masked, direction=direction).compute(),
                                  tavelkorn.roughness(np.ma.MaskedArray(z, mask=holes), direction=direction).data)
    np.testing.assert_array_equal(tavelkorn.roughness(da.from_array(np.where(holes, -1, z), chunks=(9, 8)),
                                                      nodata=-1, direction=direction).compute(),
                                  tavelkorn.roughness(np.where(holes, -1, z), nodata=-1, direction=direction))


@pytest.mark.parametrize("call, error", [
    (lambda: tavelkorn.roughness(da.zeros((3, 4, 5), chunks=2)), ValueError),
    (lambda: tavelkorn.roughness(da.zeros((4, 5), dtype=bool, chunks=2)), TypeError),
    (lambda: tavelkorn.roughness(da.from_array(dem("float64") * 1e12, chunks=10)).compute(), ValueError),
])
def test_errors(call, error):
    with pytest.raises(error):
        call()


def test_cluster_of_worker_processes_gives_the_same_bytes():
    distributed = pytest.importorskip("distributed")
    z = _holey("float64")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        for options in CASES:
            lazy = tavelkorn.roughness(da.from_array(z, chunks=(7, 9)), **options)
            np.testing.assert_array_equal(client.compute(lazy).result(), tavelkorn.roughness(z, **options))
