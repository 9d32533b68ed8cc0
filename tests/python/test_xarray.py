"""DataArrays in and out: coords, CRS, attrs and nodata kept, and the
README's notebook example giving the command line's pixels."""

import importlib.util
import os
import subprocess
import sys

import dask.array as da
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


def _cf(name, n, axis):
    return xr.DataArray(np.arange(n) * 25.0, dims=(name,), attrs={"axis": axis})


# DEM z (rows y, columns x) as a DataArray whose dims say where y and x are,
# and the names of its y and x dims.
LAYOUTS = {
    "y x": (lambda z: xr.DataArray(z, dims=("y", "x")), "y", "x"),
    "x y": (lambda z: xr.DataArray(z.T, dims=("x", "y")), "y", "x"),
    "band x y": (lambda z: xr.DataArray(z.T[None], dims=("band", "x", "y")), "y", "x"),
    "x band y": (lambda z: xr.DataArray(z.T[:, None], dims=("x", "band", "y")), "y", "x"),
    "lon lat, told rioxarray": (lambda z: xr.DataArray(z.T, dims=("lon", "lat")).rio.set_spatial_dims(
        x_dim="lon", y_dim="lat"), "lat", "lon"),
    "e n by their CF axes": (lambda z: xr.DataArray(z.T, dims=("e", "n"), coords={
        "e": _cf("e", z.shape[1], "X"), "n": _cf("n", z.shape[0], "Y")}), "n", "e"),
    "dim_0 dim_1, as numpy": (lambda z: xr.DataArray(z), "dim_0", "dim_1"),
}


@pytest.mark.parametrize("lazy", [False, True])
@pytest.mark.parametrize("direction", ["rows", "columns", "both"])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_measured_along_x_whatever_the_order_of_the_dims(tmp_path, layout, direction, lazy):
    z = dem("int16", rows=23, cols=31)
    make, y, x = LAYOUTS[layout]
    # Chunked before the DataArray is made: a chunked copy forgets rioxarray's spatial dims.
    d = make(da.from_array(z, chunks=7) if lazy else z)
    r = tavelkorn.roughness(d, direction=direction, stretch="p99")
    assert r.dims == d.dims and r.shape == d.shape and hasattr(r.data, "dask") == lazy
    got = r.transpose(..., y, x).values.reshape(z.shape)
    np.testing.assert_array_equal(got, cli(tmp_path, z, "--direction", direction, "--stretch", "p99"))


def test_a_transposed_rioxarray_dem_gives_the_command_lines_bytes_transposed(tmp_path):
    subprocess.run([PROGRAM, "-q", SAMPLE, str(tmp_path / "cli.raw")], check=True)
    expected = np.fromfile(tmp_path / "cli.raw", np.uint8).reshape(rioxarray.open_rasterio(SAMPLE).shape[1:])
    for d in (rioxarray.open_rasterio(SAMPLE).transpose("band", "x", "y"),
              rioxarray.open_rasterio(SAMPLE, chunks=(1, 100, 64)).transpose("x", "y", "band")):
        r = tavelkorn.roughness(d)
        assert r.dims == d.dims and r.rio.crs == d.rio.crs
        np.testing.assert_array_equal(r.transpose("band", "y", "x").values[0], expected)


@pytest.mark.parametrize("dims", [("row", "col"), ("x", "band"), ("lat", "lon"), ("band", "row", "col")])
def test_dims_that_say_nothing_of_y_and_x_are_refused(dims):
    shape = (1, 5, 6) if len(dims) == 3 else (5, 6)
    with pytest.raises(ValueError, match="cannot be told"):
        tavelkorn.roughness(xr.DataArray(np.zeros(shape, np.int16), dims=dims))


def _geotiff(path, z, nodata):
    from osgeo import gdal

    gdal.UseExceptions()
    kind = {"int16": gdal.GDT_Int16, "int32": gdal.GDT_Int32}[z.dtype.name]
    ds = gdal.GetDriverByName("GTiff").Create(str(path), z.shape[1], z.shape[0], 1, kind)
    ds.SetGeoTransform([500000, 25, 0, 4000000, 0, -25])
    ds.GetRasterBand(1).WriteArray(z)
    ds.GetRasterBand(1).SetNoDataValue(nodata)
    ds = None


@pytest.mark.parametrize("dtype, fill, cast", [("int16", 65535, -1), ("int32", 2**40, 0)])
def test_a_fill_value_the_dtype_cannot_hold_marks_nothing(tmp_path, dtype, fill, cast):
    # rioxarray casts the fill value into the dtype (to cast): real cells hold it.
    z = dem(dtype, low=-30)
    z[4, 5:17] = z[9, 30:40] = cast
    nothing = cli(tmp_path, z)
    assert (cli(tmp_path, z, nodata=cast) != nothing).any()  # marking them would show
    arrays = [xr.DataArray(z, dims=("y", "x"), attrs={"_FillValue": fill}),
              xr.DataArray(z, dims=("y", "x"), attrs={"missing_value": np.float64(fill)}),
              xr.DataArray(z, dims=("y", "x"), attrs={"_FillValue": fill}).chunk(8)]
    # The file as GDAL writes it (rasterio refuses such a nodata, gdal_translate
    # clamps it): where GDAL's Python is, as with Debian's python3.
    if importlib.util.find_spec("osgeo"):
        _geotiff(tmp_path / "fill.tif", z, fill)
        subprocess.run([PROGRAM, "-q", str(tmp_path / "fill.tif"), str(tmp_path / "fill.raw")], check=True)
        np.testing.assert_array_equal(np.fromfile(tmp_path / "fill.raw", np.uint8).reshape(z.shape), nothing)
        arrays.append(rioxarray.open_rasterio(tmp_path / "fill.tif"))
    for d in arrays:
        r = tavelkorn.roughness(d)
        np.testing.assert_array_equal(np.asarray(r).reshape(z.shape), nothing)
    np.testing.assert_array_equal(tavelkorn.roughness(z, nodata=fill), nothing)
