"""Dask arrays and Dask-backed DataArrays: lazy, and for any chunking the
bytes of the in-memory call, on the threaded scheduler and on a cluster of
worker processes."""

import pickle

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


# ---------------------------------------------------------------- the graph itself

def _read(path, i, j, block):
    """A chunk's reading, counted in the file at path (a line a reading,
    from any process)."""
    with open(path, "a") as f:
        f.write(f"{i} {j}\n")
    return block.copy()


def _counted(z, chunks, path):
    """z as a dask array whose chunks come from _read."""
    template = da.from_array(z, chunks=chunks)
    name = f"counted-{dask.base.tokenize(z, chunks, str(path))}"
    rb, cb = (np.cumsum((0,) + c) for c in template.chunks)
    dsk = {(name, i, j): (_read, str(path), i, j, z[rb[i]:rb[i + 1], cb[j]:cb[j + 1]])
           for i in range(len(rb) - 1) for j in range(len(cb) - 1)}
    return da.Array(dsk, name, template.chunks, dtype=z.dtype)


def _readings(path):
    with open(path) as f:
        lines = f.read().split("\n")[:-1]
    return {line: lines.count(line) for line in lines}


GRAPH_CASES = [
    dict(scale=[1, 4], stretch="p99", direction="both"),
    dict(scale=6, direction="columns", dtype="float32"),
    dict(stretch="full"),
]


@pytest.mark.parametrize("options", GRAPH_CASES)
@pytest.mark.parametrize("scheduler", ["threads", "sync"])
def test_each_chunk_is_read_once(tmp_path, options, scheduler):
    z, path = _holey("float32"), tmp_path / "readings"
    lazy = tavelkorn.roughness(_counted(z, (9, 8), path), **options)
    with dask.config.set(scheduler=scheduler):
        np.testing.assert_array_equal(lazy.compute(), tavelkorn.roughness(z, **options))
    assert _readings(path) == {f"{i} {j}": 1 for i in range(5) for j in range(7)}


def _nbytes(result):
    if isinstance(result, (tuple, list)):
        return sum(_nbytes(r) for r in result)
    return getattr(result, "nbytes", 0)


@pytest.mark.parametrize("options", GRAPH_CASES)
def test_no_task_gives_more_than_a_blocks_partials_but_the_image(options):
    from dask.callbacks import Callback

    z = dem("float64", 300, 400)
    z[40:50, 100:200] = np.nan
    x = da.from_array(z, chunks=(60, 80))
    lazy = tavelkorn.roughness(x, **options)
    sizes = {}
    with Callback(posttask=lambda key, result, *args: sizes.__setitem__(key, _nbytes(result))):
        lazy.compute(scheduler="sync")
    scales = len(np.atleast_1d(options.get("scale", 1)))
    # A block's partials for its rows and columns (five int64 a line and a
    # scale), a percentile's histograms, and the halo strips it lends (at
    # most 8 cells deep); the DEM is 960 kB, a chunk 38 kB.
    histograms = scales * tavelkorn._moteur.NB_CASES * 8 if options.get("stretch") == "p99" else 0
    bound = max(scales * (60 + 80) * 5 * 8, histograms, 8 * 80 * z.itemsize)
    # (newer dask gathers the image in a task of its own, "finalize-...")
    name = [k[0] if isinstance(k, tuple) else k for k in sizes]
    ours = {k: n for k, s, n in zip(sizes, name, sizes.values())
            if s not in (x.name, lazy.name) and not str(s).startswith("finalize-")}
    assert ours and max(ours.values()) <= bound
    assert all(n <= 16 * 1024 for n in map(len, map(pickle.dumps, _our_tasks(lazy, x))))  # nothing DEM-sized


def _our_tasks(lazy, x):
    graph = lazy.__dask_graph__()
    return [t for name, layer in graph.layers.items() if name not in x.__dask_graph__().layers
            for t in dict(layer).values()]


def test_the_graph_is_the_same_with_or_without_a_client():
    distributed = pytest.importorskip("distributed")
    x = da.from_array(_holey("int32"), chunks=(10, 9))

    def shape():
        lazy = tavelkorn.roughness(x, scale=[1, 2], stretch="p99", direction="both")
        graph = dict(lazy.__dask_graph__())
        return {k: sorted(map(str, dask.core.get_dependencies(graph, k))) for k in graph}

    alone = shape()
    with distributed.Client(processes=False, dashboard_address=None):
        assert shape() == alone


def _disk_writes(dask_worker):
    data = dask_worker.data
    if hasattr(data, "get_metrics"):  # distributed before 2023
        return data.get_metrics()["disk_write_count_total"]
    return data.cumulative_metrics.get(("disk-write", "count"), 0)


def test_memory_limited_workers_spill_and_give_the_in_memory_bytes(tmp_path):
    # Workers that keep a few kilobytes in memory spill the kept chunks to
    # disk and read them back from there: the DEM is still read once.
    distributed = pytest.importorskip("distributed")
    z, path = dem("float64", 300, 260), tmp_path / "readings"
    z[40:50, 100:200] = np.nan
    limits = {"distributed.worker.memory.target": 0.0001, "distributed.worker.memory.spill": False,
              "distributed.worker.memory.pause": False, "distributed.worker.memory.terminate": False}
    with dask.config.set(limits), distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None,
            memory_limit="300MiB") as cluster, distributed.Client(cluster) as client:
        for k, options in enumerate(GRAPH_CASES):
            lazy = tavelkorn.roughness(_counted(z, (50, 40), f"{path}{k}"), **options)
            np.testing.assert_array_equal(client.compute(lazy).result(), tavelkorn.roughness(z, **options))
            assert _readings(f"{path}{k}") == {f"{i} {j}": 1 for i in range(6) for j in range(7)}
        spilled = client.run(_disk_writes)
    assert sum(spilled.values()) > 0
