"""DataArrays in and out: coords, CRS, attrs and nodata kept, and the
README's notebook example giving the command line's pixels."""

import os
import subprocess
import sys

import numpy as np
import pytest
import rasterio
import rioxarray
import xarray as xr

import tavelkorn
from conftest import PROGRAM, ROOT, cli, dem

SAMPLE = os.path.join(ROOT, "examples", "jacksboro.tif")


@pytest.mark.parametrize("masked, direction", [(False, "rows"), (True, "rows"), (True, "both")])
@pytest.mark.parametrize("dtype", ["uint8", "float32"])
def test_sample_keeps_coords_crs_and_attrs(tmp_path, masked, direction, dtype):
    d = rioxarray.open_rasterio(SAMPLE, masked=masked)
    d.name, d.attrs["long_name"] = "elevation", "sample DEM"
    r = tavelkorn.roughness(d, dtype=dtype, stretch="p99", direction=direction)
    assert r.dims == d.dims and r.name == "elevation" and r.dtype == dtype
    for name in d.coords:
        xr.testing.assert_identical(r.coords[name], d.coords[name])
    assert r.rio.crs == d.rio.crs and r.rio.transform() == d.rio.transform()
    assert r.attrs["long_name"] == "sample DEM" and "STATISTICS_MEAN" not in r.attrs
    assert (r.attrs["term"], r.attrs["direction"], r.attrs["stretch"], r.attrs["norm"],
            r.attrs["z_scale"]) == ("classic", direction, "p99", 255, 1.0)
    assert 0 < r.attrs["reference"] <= r.attrs["dmax"] and r.attrs["missing_cells"] == 9480
    expected = cli(tmp_path, np.asarray(rioxarray.open_rasterio(SAMPLE)[0]), "--stretch", "p99", "--direction",
                   direction, nodata=-32768, floats=dtype == "float32")
    np.testing.assert_array_equal(r.values[0], expected)
    if dtype == "float32":
        assert np.isnan(r.rio.nodata) and np.isnan(r.values[0]).sum() == 9480
    else:
        assert r.rio.nodata is None


def test_nodata_from_fillvalue_without_rioxarray_accessor(tmp_path):
    z = dem("int16")
    z[4, 4:9] = -5
    d = xr.DataArray(z, dims=("y", "x"), attrs={"_FillValue": -5})
    np.testing.assert_array_equal(tavelkorn.roughness(d).values, cli(tmp_path, z, nodata=-5))


@pytest.mark.parametrize("shape, words", [((2, 5, 6), "2 bands"), ((1, 1, 5, 6), "dims")])
def test_shapes_refused(shape, words):
    with pytest.raises(ValueError, match=words):
        tavelkorn.roughness(xr.DataArray(np.zeros(shape, np.int16)))


@pytest.mark.parametrize("mark, output, args", [
    ("python-example", "jacksboro_roughness.tif", []),
    ("python-dask-example", "jacksboro_p99.tif", ["--term", "curvature", "--stretch", "p99"]),
])
def test_readme_examples_give_the_command_lines_pixels(tmp_path, mark, output, args):
    # The README's and docs/' examples as written there, run from a folder with the examples.
    block = subprocess.run(["bash", os.path.join(ROOT, "tests", "doc_block.sh"), mark, ROOT], check=True,
                           capture_output=True, text=True).stdout
    (tmp_path / "example.py").write_text(block)
    os.symlink(os.path.join(ROOT, "examples"), tmp_path / "examples")
    subprocess.run([sys.executable, "example.py"], cwd=tmp_path, check=True, stdout=subprocess.DEVNULL)
    subprocess.run([PROGRAM, "-q", *args, SAMPLE, str(tmp_path / "cli.tif")], check=True)
    with rasterio.open(tmp_path / output) as mine, rasterio.open(tmp_path / "cli.tif") as theirs:
        np.testing.assert_array_equal(mine.read(1), theirs.read(1))
        assert mine.crs == theirs.crs and mine.transform.almost_equals(theirs.transform)
