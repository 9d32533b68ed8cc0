#!/usr/bin/env python3
"""Benchmark of the Python package:

    PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py [ROWS COLS [RUNS]]

(default 10000 10000 5). On an int32 DEM held in memory, in alternating
rounds, each leg in a process of its own so that its peak memory is its own:
  - tavelkorn.roughness (classic, half; every core);
  - gdal.DEMProcessing(..., "roughness", format="MEM") on the same array;
  - a plain numpy version of classic/half (exact int64 sums), whose bytes
    must equal tavelkorn's;
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


def rss_mib() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def leg(name: str, rows: int, cols: int) -> None:
    """One timed run in this process: prints seconds, peak MiB, and MiB
    over what the input held before the call."""
    z = make_dem(rows, cols)
    before = rss_mib()
    if name == "tavelkorn":
        import tavelkorn

        t0 = time.perf_counter()
        out = tavelkorn.roughness(z)
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
    print(f"{seconds:.3f} {peak:.0f} {peak - before:.0f}")


def run_leg(name: str, rows: int, cols: int):
    r = subprocess.run([sys.executable, __file__, "--leg", name, str(rows), str(cols)], check=True,
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
    names = ["tavelkorn", "gdal", "numpy"]
    results = {n: [] for n in names}
    for r in range(runs):
        for n in names:
            if n == "numpy" and r == 0:
                os.environ["BENCH_CHECK"] = "1"  # once: the plain version's bytes are tavelkorn's
            results[n].append(run_leg(n, rows, cols))
            os.environ.pop("BENCH_CHECK", None)
    times, same = dask_legs(rows, cols, runs)
    input_mib = rows * cols * 4 / 2**20
    print(f"{rows} x {cols} int32 ({input_mib:.0f} MiB in memory), {runs} runs, medians (min - max)")
    print("| run | median s | min - max s | peak MiB | ratio |")
    print("|---|---|---|---|---|")
    med = {n: statistics.median(x[0] for x in results[n]) for n in names}
    labels = {"tavelkorn": "tavelkorn.roughness, numpy int32 in memory",
              "gdal": 'gdal.DEMProcessing(..., "roughness", format="MEM")',
              "numpy": "plain numpy, classic/half, exact int64 sums"}
    for n in names:
        ts = [x[0] for x in results[n]]
        peak = max(x[1] for x in results[n])
        extra = max(x[2] for x in results[n])
        ratio = ""
        if n == "tavelkorn":
            ratio = (f"{med[n] / med['gdal']:.3f} x gdal.DEMProcessing, {med[n] / med['numpy']:.3f} x plain numpy; "
                     f"{extra:.0f} MiB beyond the input")
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
