#!/usr/bin/env python3
"""Benchmark of the Python package:

    PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py [ROWS COLS [RUNS]]

(default 10000 10000 5). On an int32 DEM held in memory, in alternating
rounds, each leg in a process of its own so that its peak memory is its own:
  - tavelkorn.roughness (classic, half; every core), and with the curvature
    term both ways as Float32 deviations, the nearest to the peers below
    (every core, and one thread);
  - tavelkorn.roughness at scale=[1, 2, 4, 8], along rows and both ways;
  - gdal.DEMProcessing(..., "roughness", format="MEM") on the same array;
  - a plain numpy version of classic/half (exact int64 sums), whose bytes
    must equal tavelkorn's;
  - with PEERS_PYTHON (a venv's python with xarray-spatial and xdem from
    PyPI, as bench/run.sh makes it): xarray-spatial's curvature and xDEM's
    roughness, terrain ruggedness index and curvature, as their users call
    them; in the first round each is checked to compute what the table says
    it does, on a corner of the DEM;
and a Dask leg: the DEM as an Int16 GeoTIFF in DEFLATE tiles (predictor 2,
256 x 256), read with rioxarray.open_rasterio(chunks=...) on a
distributed.LocalCluster of 2 worker processes, against the command line
(TAVELKORN_PROGRAM, default build/tavelkorn) writing a GeoTIFF from it;
their bytes must be identical. Prints median, min and max seconds, peak
memory, and the ratios; exits 1 when bytes differ.
"""

import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.environ.get("BENCH_DIR", os.path.join(tempfile.gettempdir(), "tavelkorn-bench"))
CHUNKS = (1, 2048, 2048)
CELL = 25.0  # the DEM's cell size (its GeoTIFF's), which the peers' curvatures divide by
PEERS = ["xrspatial_curvature", "xdem_roughness", "xdem_tri", "xdem_curvature"]


def make_dem(rows: int, cols: int) -> np.ndarray:
    """A deterministic rough surface within Int16, made a few rows at a
    time so that making it takes no more memory than it holds."""
    z = np.empty((rows, cols), np.int32)
    rng = np.random.default_rng(2026)
    base = np.cumsum(rng.integers(-3, 4, cols)).astype(np.int64)
    for r in range(0, rows, 256):
        n = min(256, rows - r)
        walk = np.cumsum(rng.integers(-2, 3, (n, cols)), axis=0) + base
        base = walk[-1]
        z[r:r + n] = 2000 + (walk + rng.integers(0, 25, (n, cols))) % 20000
    return z


def plain_numpy(z: np.ndarray, norm: int = 255) -> np.ndarray:
    """Classic term, half stretch, as docs/computation.md's formulas say, in numpy."""
    zz = z.astype(np.int64)
    t = 4 * zz[:, 1:-1] - zz[:, :-2] - zz[:, 2:]
    s = t.sum(axis=1)
    n = t.shape[1]
    m = np.sign(s) * (np.abs(s) // n)  # truncated toward zero
    d = np.abs(t - m[:, None])
    dmax = float(d[2:-2, 1:-1].max())
    dmin = dmax * 0.5
    dif = dmax - dmin
    v = ((d - dmin) / dif) * norm
    out = np.zeros(z.shape, np.uint8)
    out[:, 1:-1] = (np.maximum(v, 0.0).astype(np.int64) & 255).astype(np.uint8)
    return out


def peer(name: str):
    """A peer's function of a 2-D array, called as its users call it; its
    numba code, if any, compiled beforehand on a small array."""
    import warnings

    warnings.simplefilter("ignore", DeprecationWarning)  # xDEM's curvature() points to its other curvatures
    if name == "xrspatial_curvature":
        import xarray as xr
        import xrspatial

        def f(a):
            return xrspatial.curvature(xr.DataArray(a, dims=("y", "x"), attrs={"res": (CELL, CELL)})).values
    else:
        import xdem

        f = {"xdem_roughness": xdem.terrain.roughness,
             "xdem_tri": xdem.terrain.terrain_ruggedness_index,
             "xdem_curvature": lambda a: xdem.terrain.curvature(a, resolution=CELL,
                                                                surface_fit="ZevenbergThorne")}[name]
    f(make_dem(64, 64))
    return f


def peer_expected(name: str, z: np.ndarray) -> np.ndarray:
    """What the table says each peer computes, in numpy, at the inner cells
    of z: none of it is taken against a line's mean."""
    from numpy.lib.stride_tricks import sliding_window_view

    zz = z.astype(np.float64)
    c = zz[1:-1, 1:-1]
    if name in ("xrspatial_curvature", "xdem_curvature"):
        # the two second differences, along the row and down the column, summed
        s = (2 * c - zz[1:-1, :-2] - zz[1:-1, 2:]) + (2 * c - zz[:-2, 1:-1] - zz[2:, 1:-1])
        return s * (100 if name == "xrspatial_curvature" else 200) / CELL**2
    w = sliding_window_view(zz, (3, 3))
    if name == "xdem_roughness":
        return w.max(axis=(2, 3)) - w.min(axis=(2, 3))  # as gdaldem roughness
    return np.sqrt(((w - c[:, :, None, None]) ** 2).sum(axis=(2, 3)))  # Riley's TRI


def rss_mib() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def leg(name: str, rows: int, cols: int) -> None:
    """One timed run in this process: prints seconds, peak MiB, and MiB
    over what the input held before the call."""
    z = make_dem(rows, cols)
    compute = peer(name) if name in PEERS else None
    before = rss_mib()
    if compute:
        t0 = time.perf_counter()
        out = compute(z)
    elif name == "tavelkorn":
        import tavelkorn

        t0 = time.perf_counter()
        out = tavelkorn.roughness(z)
    elif name.startswith("tavelkorn_curvature"):
        import tavelkorn

        threads = 1 if name.endswith("_1") else None  # one thread, as xarray-spatial's loop runs
        t0 = time.perf_counter()
        out = tavelkorn.roughness(z, term="curvature", direction="both", dtype="float32", threads=threads)
    elif name.startswith("tavelkorn_scales"):
        import tavelkorn

        direction = "both" if name.endswith("_both") else "rows"
        t0 = time.perf_counter()
        out = tavelkorn.roughness(z, scale=[1, 2, 4, 8], direction=direction)
    elif name == "gdal":
        from osgeo import gdal, gdal_array

        gdal.UseExceptions()
        src = gdal_array.OpenArray(z)  # a MEM dataset over the array's own memory
        t0 = time.perf_counter()
        ds = gdal.DEMProcessing("", src, "roughness", format="MEM")
        out = ds.GetRasterBand(1).ReadAsArray()
    else:
        t0 = time.perf_counter()
        out = plain_numpy(z)
    seconds = time.perf_counter() - t0
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    if name == "numpy" and os.environ.get("BENCH_CHECK"):
        import tavelkorn

        assert np.array_equal(out, tavelkorn.roughness(z)), "plain numpy and tavelkorn differ"
    if compute and os.environ.get("BENCH_CHECK"):
        corner = z[:300, :300]
        assert np.allclose(out[1:299, 1:299], peer_expected(name, corner), rtol=1e-5, atol=1e-3), name
    print(f"{seconds:.3f} {peak:.0f} {peak - before:.0f}")


def run_leg(name: str, rows: int, cols: int):
    python = os.environ["PEERS_PYTHON"] if name in PEERS else sys.executable
    r = subprocess.run([python, __file__, "--leg", name, str(rows), str(cols)], check=True,
                       capture_output=True, text=True)
    s, peak, extra = r.stdout.split()
    return float(s), float(peak), float(extra)


def deflate_tif(rows: int, cols: int) -> str:
    import rasterio

    path = os.path.join(WORK, f"python_{rows}x{cols}_deflate.tif")
    if not os.path.exists(path):
        os.makedirs(WORK, exist_ok=True)
        z = make_dem(rows, cols)
        with rasterio.open(path + ".tmp", "w", driver="GTiff", width=cols, height=rows, count=1, dtype="int16",
                           tiled=True, blockxsize=256, blockysize=256, compress="deflate", predictor=2,
                           crs="EPSG:32616",
                           transform=rasterio.transform.from_origin(500000, 4000000, 25, 25)) as f:
            f.write(z.astype(np.int16), 1)
        os.replace(path + ".tmp", path)
    return path


def dask_legs(rows: int, cols: int, runs: int):
    """The Dask leg against the command line on the same DEFLATE GeoTIFF."""
    import rasterio
    import rioxarray
    from distributed import Client, LocalCluster

    import tavelkorn

    tif = deflate_tif(rows, cols)
    program = os.environ.get("TAVELKORN_PROGRAM", os.path.join(ROOT, "build", "tavelkorn"))
    out = os.path.join(WORK, "python_cli.tif")
    times = {"cli": [], "dask": []}
    import dask

    # One machine: compressing the transfers between processes (lz4 by
    # default) costs more than it saves; across machines keep the default.
    with dask.config.set({"distributed.comm.compression": None}), \
            LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                         dashboard_address=None) as cluster, Client(cluster) as client:
        # untimed: the workers import the package and open the file once
        warm = rioxarray.open_rasterio(tif, chunks=CHUNKS, lock=False)[:, :512]
        client.compute(tavelkorn.roughness(warm).data).result()
        for _ in range(runs):
            t0 = time.perf_counter()
            subprocess.run([program, "-q", tif, out], check=True)
            times["cli"].append(time.perf_counter() - t0)
            t0 = time.perf_counter()
            dem = rioxarray.open_rasterio(tif, chunks=CHUNKS, lock=False)
            mine = client.compute(tavelkorn.roughness(dem).data).result()
            times["dask"].append(time.perf_counter() - t0)
        with rasterio.open(out) as f:
            same = np.array_equal(f.read(1), mine[0])
    return times, same


def main(argv) -> int:
    if argv[:1] == ["--leg"]:
        leg(argv[1], int(argv[2]), int(argv[3]))
        return 0
    rows, cols = (int(argv[0]), int(argv[1])) if len(argv) >= 2 else (10000, 10000)
    runs = int(argv[2]) if len(argv) >= 3 else 5
    names = ["tavelkorn", "tavelkorn_curvature", "tavelkorn_curvature_1", "tavelkorn_scales", "tavelkorn_scales_both",
             "gdal", "numpy"] + (PEERS if os.environ.get("PEERS_PYTHON") else [])
    results = {n: [] for n in names}
    for r in range(runs):
        for n in names:
            if (n == "numpy" or n in PEERS) and r == 0:
                os.environ["BENCH_CHECK"] = "1"  # once: the plain version's bytes, what each peer computes
            results[n].append(run_leg(n, rows, cols))
            os.environ.pop("BENCH_CHECK", None)
    times, same = dask_legs(rows, cols, runs)
    input_mib = rows * cols * 4 / 2**20
    print(f"{rows} x {cols} int32 ({input_mib:.0f} MiB in memory), {runs} runs, medians (min - max)")
    print("| run | median s | min - max s | peak MiB | ratio |")
    print("|---|---|---|---|---|")
    med = {n: statistics.median(x[0] for x in results[n]) for n in names}
    labels = {"tavelkorn": "tavelkorn.roughness, numpy int32 in memory",
              "tavelkorn_curvature": 'the same, term="curvature", direction="both", dtype="float32"',
              "tavelkorn_curvature_1": "the same, threads=1",
              "tavelkorn_scales": "tavelkorn.roughness, scale=[1, 2, 4, 8]",
              "tavelkorn_scales_both": 'the same, direction="both"',
              "gdal": 'gdal.DEMProcessing(..., "roughness", format="MEM")',
              "numpy": "plain numpy, classic/half, exact int64 sums",
              "xrspatial_curvature": "xarray-spatial curvature (DataArray of the int32 array)",
              "xdem_roughness": "xDEM roughness",
              "xdem_tri": "xDEM terrain_ruggedness_index (Riley)",
              "xdem_curvature": 'xDEM curvature (surface_fit="ZevenbergThorne")'}
    for n in names:
        ts = [x[0] for x in results[n]]
        peak = max(x[1] for x in results[n])
        extra = max(x[2] for x in results[n])
        ratio = ""
        if n == "tavelkorn":
            ratio = (f"{med[n] / med['gdal']:.3f} x gdal.DEMProcessing, {med[n] / med['numpy']:.3f} x plain numpy; "
                     f"{extra:.0f} MiB beyond the input")
        elif n.startswith("tavelkorn_curvature") or n == "tavelkorn_scales":
            ratio = f"{med[n] / med['tavelkorn']:.2f} x the default"
        elif n == "tavelkorn_scales_both":
            ratio = f"{med[n] / med['tavelkorn_scales']:.2f} x along rows"
        elif n in PEERS:
            ratio = (f"tavelkorn.roughness {med['tavelkorn'] / med[n]:.3f} x this, "
                     f"its curvature both ways {med['tavelkorn_curvature'] / med[n]:.3f} x "
                     f"({med['tavelkorn_curvature_1'] / med[n]:.3f} x on 1 thread)")
        print(f"| {labels[n]} | {med[n]:.3f} | {min(ts):.3f} - {max(ts):.3f} | {peak:.0f} | {ratio} |")
    md = {k: statistics.median(v) for k, v in times.items()}
    print(f"| tavelkorn command line, DEFLATE tiles to GeoTIFF | {md['cli']:.3f} | "
          f"{min(times['cli']):.3f} - {max(times['cli']):.3f} | | |")
    print(f"| Dask, rioxarray chunks {CHUNKS[1]} x {CHUNKS[2]}, LocalCluster of 2 processes | {md['dask']:.3f} | "
          f"{min(times['dask']):.3f} - {max(times['dask']):.3f} | | {md['dask'] / md['cli']:.2f} x the command line, "
          f"{'identical bytes' if same else 'BYTES DIFFER'} |")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
