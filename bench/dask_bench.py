#!/usr/bin/env python3
"""Benchmark of the Dask path against the command line, and of the numpy
path at several scales:

    PYTHONPATH=build/python /usr/bin/python3 bench/dask_bench.py [ROWS COLS [RUNS]]
    PYTHONPATH=build/python /usr/bin/python3 bench/dask_bench.py --numpy [OLD_PYTHONPATH [RUNS]]

The Dask legs (default 20000 x 20000, one run): an Int16 DEM, DEFLATE with
predictor 2 in 256 x 256 tiles (made with gdal_translate from a generated
DEM, in $BENCH_DIR, default a folder in the temporary directory; about 2 *
ROWS * COLS bytes decoded), read with rioxarray.open_rasterio(chunks=2048 x
2048, lock=False), written with rio.to_raster(tiled=True) (the client
gathers the image and writes it) and with the README's
rio.to_raster(tiled=True, lock=distributed.Lock(...)) (the workers write
their blocks as they are made), on a
distributed.LocalCluster of 1 and of 2 worker processes with default
settings, and of 2 workers limited to 1 GB each with GDAL_CACHEMAX=64;
against the tavelkorn command line (TAVELKORN_PROGRAM, default
build/tavelkorn) writing a GeoTIFF from the same file, in the same run.
Two cases: rows/half, and both/curvature/p99. Prints seconds, peak memory
(the command line's; the workers' together, sampled every half second) and
the ratios against the targets; exits 1 when bytes differ.

The numpy legs: tavelkorn.roughness on a 10000 x 10000 int32 array in
memory, rows and both, scale=1 and scale=[1, 2, 4, 8], each in a process of
its own, best of RUNS (default 5); with OLD_PYTHONPATH, the same calls at
scale 1 on the package found there (a build from before scales), in
alternating rounds.
"""

import os
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.environ.get("BENCH_DIR", os.path.join(tempfile.gettempdir(), "tavelkorn-dask-bench"))
CHUNKS = {"x": 2048, "y": 2048}
CASES = {"rows/half": [], "both/curvature/p99": ["--direction", "both", "--term", "curvature", "--stretch", "p99"]}
OPTIONS = {"rows/half": {}, "both/curvature/p99": dict(direction="both", term="curvature", stretch="p99")}
CLUSTERS = [(1, False), (2, False), (2, True)]  # (worker processes, limited to 1 GB with GDAL_CACHEMAX=64)
WRITES = ["client writes", "workers write"]


def make_dem(rows: int, cols: int, path: str) -> None:
    """A deterministic rough surface within Int16 as a raw file with an ENVI
    header, made a few rows at a time."""
    rng = np.random.default_rng(2026)
    base = np.cumsum(rng.integers(-3, 4, cols)).astype(np.int64)
    with open(path, "wb") as f:
        for r in range(0, rows, 256):
            n = min(256, rows - r)
            walk = np.cumsum(rng.integers(-2, 3, (n, cols)), axis=0) + base
            base = walk[-1]
            (2000 + (walk + rng.integers(0, 25, (n, cols))) % 20000).astype("<i2").tofile(f)
    with open(os.path.splitext(path)[0] + ".hdr", "w") as f:
        f.write(f"ENVI\nsamples = {cols}\nlines = {rows}\nbands = 1\nheader offset = 0\nfile type = ENVI Standard\n"
                "data type = 2\ninterleave = bsq\nbyte order = 0\n"
                "map info = {UTM, 1, 1, 500000, 4000000, 25, 25, 16, North, WGS-84}\n")


def deflate_tif(rows: int, cols: int) -> str:
    path = os.path.join(WORK, f"dem_{rows}x{cols}_deflate.tif")
    if not os.path.exists(path):
        os.makedirs(WORK, exist_ok=True)
        need = rows * cols * 2 * 3
        if shutil.disk_usage(WORK).free < need:
            sys.exit(f"dask_bench: {WORK}: {need / 2**30:.1f} GiB needed")
        raw = os.path.join(WORK, "dem.raw")
        make_dem(rows, cols, raw)
        subprocess.run(["gdal_translate", "-q", "-of", "GTiff", "-ot", "Int16", "-co", "TILED=YES", "-co",
                        "COMPRESS=DEFLATE", "-co", "PREDICTOR=2", "-co", "NUM_THREADS=ALL_CPUS", raw, path + ".tmp"],
                       check=True)
        os.replace(path + ".tmp", path)
        os.remove(raw)
        os.remove(os.path.splitext(raw)[0] + ".hdr")
    return path


def command_line(tif: str, case: str, out: str):
    program = os.environ.get("TAVELKORN_PROGRAM", os.path.join(ROOT, "build", "tavelkorn"))
    t0 = time.perf_counter()
    r = subprocess.run(["/usr/bin/time", "-f", "%M", program, "-q", *CASES[case], tif, out], check=True,
                       stderr=subprocess.PIPE, text=True)
    return time.perf_counter() - t0, int(r.stderr.split()[-1]) / 1024


class Sampler:
    """The workers' resident memory together, sampled every half second."""

    def __init__(self, client):
        self.client, self.peak, self.done = client, 0.0, threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.done.wait(0.5):
            try:
                info = self.client.scheduler_info()["workers"].values()
                self.peak = max(self.peak, sum(w["metrics"]["memory"] for w in info) / 2**20)
            except Exception:  # a worker restarting: no figure this time
                pass

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.done.set()
        self.thread.join()


def same_pixels(a: str, b: str) -> bool:
    import rasterio

    with rasterio.open(a) as f, rasterio.open(b) as g:
        if (f.width, f.height, f.count) != (g.width, g.height, g.count):
            return False
        for r in range(0, f.height, 2048):
            w = rasterio.windows.Window(0, r, f.width, min(2048, f.height - r))
            if not np.array_equal(f.read(window=w), g.read(window=w)):
                return False
    return True


def dask_legs(tif: str, runs: int, cli_out: dict):
    import dask
    import rioxarray
    from distributed import Client, LocalCluster, Lock

    import tavelkorn

    times, peaks, same = {}, {}, True
    for workers, limited in CLUSTERS:
        config = {"distributed.nanny.pre-spawn-environ.GDAL_CACHEMAX": "64"} if limited else {}
        with dask.config.set(config), LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                                   host="127.0.0.1", dashboard_address=None,
                                                   memory_limit="1GB" if limited else "auto") as cluster, \
                Client(cluster) as client:
            warm = rioxarray.open_rasterio(tif, chunks=CHUNKS, lock=False)[:, :512, :512]
            tavelkorn.roughness(warm).compute()  # untimed: the workers import the package and open the file
            for case in CASES:
                for _, write in [(r, w) for r in range(runs) for w in WRITES]:
                    out = os.path.join(WORK, "dask.tif")
                    lock = {"lock": Lock("rio", client=client)} if write == "workers write" else {}
                    with Sampler(client) as sampler:
                        t0 = time.perf_counter()
                        dem = rioxarray.open_rasterio(tif, chunks=CHUNKS, lock=False)
                        tavelkorn.roughness(dem, **OPTIONS[case]).rio.to_raster(out, tiled=True, **lock)
                        seconds = time.perf_counter() - t0
                    key = (workers, limited, case, write)
                    times.setdefault(key, []).append(seconds)
                    peaks[key] = max(peaks.get(key, 0), sampler.peak)
                    same = same_pixels(out, cli_out[case]) and same
    return times, peaks, same


def dask_main(rows: int, cols: int, runs: int) -> int:
    tif = deflate_tif(rows, cols)
    cli, cli_peak, cli_out = {}, {}, {}
    for case in CASES:
        cli_out[case] = os.path.join(WORK, f"cli_{case.replace('/', '_')}.tif")
        for _ in range(runs):
            s, peak = command_line(tif, case, cli_out[case])
            cli.setdefault(case, []).append(s)
            cli_peak[case] = peak
    times, peaks, same = dask_legs(tif, runs, cli_out)
    best = {k: min(v) for k, v in times.items()}
    print(f"{rows} x {cols} Int16 DEFLATE tiles, chunks {CHUNKS['y']} x {CHUNKS['x']}, best of {runs}")
    print("| run | command line | Dask, 1 worker | Dask, 2 workers | 2 workers, 1 GB, GDAL_CACHEMAX=64 |")
    print("|---|---|---|---|---|")
    for case in CASES:
        c = min(cli[case])
        for write in WRITES:
            cells = [f"{c:.2f} s, {cli_peak[case]:.0f} MiB"]
            for workers, limited in CLUSTERS:
                key = (workers, limited, case, write)
                cells.append(f"{best[key]:.2f} s ({best[key] / c:.2f}x), workers {peaks[key]:.0f} MiB")
            print(f"| {case}, {write} | " + " | ".join(cells) + " |")
    for write in WRITES:
        rows, both = min(cli["rows/half"]), min(cli["both/curvature/p99"])
        targets = [("rows/half, 2 workers", best[2, False, "rows/half", write] / rows, 1.5),
                   ("both/curvature/p99, 2 workers", best[2, False, "both/curvature/p99", write] / both, 2.0),
                   ("both/curvature/p99, 2 workers of 1 GB", best[2, True, "both/curvature/p99", write] / both, 2.5)]
        targets += [(f"{case}, 2 workers / 1 worker", best[2, False, case, write] / best[1, False, case, write], 0.6)
                    for case in CASES]
        for what, ratio, target in targets:
            print(f"{write}: {what}: {ratio:.2f} (target at most {target})")
    print("identical bytes" if same else "BYTES DIFFER")
    return 0 if same else 1


def numpy_leg(direction: str, scales: str) -> None:
    """One process: the best of three calls, after a small warm-up."""
    import tavelkorn

    rng = np.random.default_rng(1)
    z = np.cumsum(rng.integers(-3, 4, (10000, 10000), dtype=np.int32), axis=1, dtype=np.int32) + 2000
    kwargs = {} if scales == "old" else {"scale": [int(k) for k in scales.split(",")] if "," in scales else int(scales)}
    tavelkorn.roughness(z[:200], direction=direction, **kwargs)
    best = min(_timed(lambda: tavelkorn.roughness(z, direction=direction, **kwargs)) for _ in range(3))
    print(f"{best:.4f} {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f}")


def _timed(f) -> float:
    t0 = time.perf_counter()
    f()
    return time.perf_counter() - t0


def numpy_main(old: str, runs: int) -> int:
    legs = [(d, s) for d in ("rows", "both") for s in ("1", "1,2,4,8")] + ([(d, "old") for d in ("rows", "both")]
                                                                           if old else [])
    results = {}
    for _ in range(runs):
        for d, s in legs:
            env = dict(os.environ)
            if s == "old":
                env["PYTHONPATH"] = old
            out = subprocess.run([sys.executable, __file__, "--numpy-leg", d, s], env=env, check=True,
                                 capture_output=True, text=True).stdout.split()
            results.setdefault((d, s), []).append((float(out[0]), float(out[1])))
    print(f"10000 x 10000 int32 in memory, best of {runs} processes (each the best of 3 calls)")
    print("| call | seconds | peak MiB | ratio |")
    print("|---|---|---|---|")
    best = {k: min(t for t, _ in v) for k, v in results.items()}
    for (d, s), v in results.items():
        ratio = ""
        if s == "1,2,4,8":
            ratio = f"{best[d, s] / best[d, '1']:.2f}x scale=1 (target at most 4.5)"
            if d == "both":
                ratio += f"; {best[d, s] / best['rows', s]:.2f}x rows (target at most 2)"
        elif s == "1" and old:
            ratio = f"{best[d, s] / best[d, 'old']:.2f}x the old package"
        label = f"direction={d!r}, " + ("the old package" if s == "old" else f"scale={s}")
        print(f"| {label} | {best[d, s]:.3f} | {max(p for _, p in v):.0f} | {ratio} |")
    return 0


def main(argv) -> int:
    if argv[:1] == ["--numpy-leg"]:
        numpy_leg(argv[1], argv[2])
        return 0
    if argv[:1] == ["--numpy"]:
        return numpy_main(argv[1] if len(argv) > 1 else "", int(argv[2]) if len(argv) > 2 else 5)
    rows, cols = (int(argv[0]), int(argv[1])) if len(argv) >= 2 else (20000, 20000)
    return dask_main(rows, cols, int(argv[2]) if len(argv) >= 3 else 1)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
