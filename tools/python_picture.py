#!/usr/bin/env python3
"""Makes docs/jacksboro_python.png, docs/python.md's picture of the Python
package: the sample GeoTIFF's roughness (curvature, p99) computed in memory
from a DataArray, and the same computed by Dask in blocks on two worker
processes, with the blocks drawn; the title says whether the bytes agree.

    PYTHONPATH=build/python /usr/bin/python3 tools/python_picture.py
"""

import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import rioxarray  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402

import tavelkorn  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLE = os.path.join(ROOT, "examples", "jacksboro.tif")
OUT = os.path.join(ROOT, "docs", "jacksboro_python.png")
CHUNKS = (1, 64, 96)


def main() -> int:
    eager = tavelkorn.roughness(rioxarray.open_rasterio(SAMPLE, masked=True), term="curvature", stretch="p99")
    with LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=None) as cluster, \
            Client(cluster):
        dem = rioxarray.open_rasterio(SAMPLE, masked=True, chunks=CHUNKS)
        lazy = tavelkorn.roughness(dem, term="curvature", stretch="p99").compute()
    same = np.array_equal(eager.values, lazy.values)
    fig, axes = plt.subplots(1, 2, figsize=(9.2, 4.4), dpi=100)
    for ax, r, label in [(axes[0], eager, "in memory"), (axes[1], lazy, f"Dask, {CHUNKS[1]} x {CHUNKS[2]} chunks")]:
        ax.imshow(r.values[0], cmap="gray", vmin=0, vmax=255, interpolation="nearest")
        ax.set_title(label, fontsize=11)
        ax.set_xticks([])
        ax.set_yticks([])
    ny, nx = lazy.shape[1:]
    for y in range(CHUNKS[1], ny, CHUNKS[1]):
        axes[1].axhline(y - 0.5, color="#ff4000", lw=0.8)
    for x in range(CHUNKS[2], nx, CHUNKS[2]):
        axes[1].axvline(x - 0.5, color="#ff4000", lw=0.8)
    fig.suptitle("tavelkorn.roughness(dem, term=\"curvature\", stretch=\"p99\"): "
                 + ("identical bytes" if same else "THE BYTES DIFFER"), fontsize=11)
    fig.tight_layout()
    fig.savefig(OUT, metadata={"Software": None})  # no version stamp: the same picture, the same bytes
    print(OUT)
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
