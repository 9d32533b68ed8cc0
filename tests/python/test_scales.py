"""scale=: each scale as the command line's --scale K, several scales as
the one-scale calls stacked, for numpy, masked arrays, DataArrays and Dask
at any chunking; the summary as --scale-summary; bad scales refused."""

import warnings

import dask.array as da
import numpy as np
import pytest
import rioxarray
import xarray as xr

import tavelkorn
from conftest import cli, dem
from test_xarray import SAMPLE

OPTIONS = [
    (dict(), []),
    (dict(term="curvature", stretch="p99"), ["--term", "curvature", "--stretch", "p99"]),
    (dict(direction="columns", stretch="full", norm=200), ["--direction", "columns", "--stretch", "full", "--norm",
                                                          "200"]),
    (dict(direction="both", z_scale=-0.5), ["--direction", "both", "--z-scale", "-0.5"]),
]


def _holey(dtype="float32", rows=37, cols=53):
    z = dem(dtype, rows, cols)
    z[3:6, 10:14] = z[20, :] = z[:, 30] = np.nan
    return z


@pytest.mark.parametrize("options, args", OPTIONS)
@pytest.mark.parametrize("k", [1, 2, 5, 8])
def test_each_scale_as_the_command_lines_scale_k(tmp_path, k, options, args):
    z = dem("int16", 41, 47)
    np.testing.assert_array_equal(tavelkorn.roughness(z, scale=k, **options), cli(tmp_path, z, "--scale", str(k),
                                                                                  *args))


@pytest.mark.parametrize("options, args", OPTIONS)
@pytest.mark.parametrize("floats", [False, True])
def test_several_scales_as_the_command_lines_bands(tmp_path, options, args, floats):
    z = _holey()
    extra = {"dtype": "float32"} if floats else {}
    mine = tavelkorn.roughness(z, scale=[1, 3, 4, 9], **options, **extra)
    expected = cli(tmp_path, np.where(np.isnan(z), -999, z).astype(z.dtype), "--scale", "1,3,4,9", *args,
                   nodata=-999, floats=floats, bands=True)
    assert mine.shape == (4, *z.shape) and mine.dtype == expected.dtype
    np.testing.assert_array_equal(mine, expected)


@pytest.mark.parametrize("options", [o for o, _ in OPTIONS] + [dict(dtype="float32", stretch="p90")])
def test_several_scales_are_the_one_scale_calls_stacked(options):
    z = _holey("float64", 30, 61)
    scales = range(1, 12, 2)
    stacked = np.stack([tavelkorn.roughness(z, scale=k, **options) for k in scales])
    np.testing.assert_array_equal(tavelkorn.roughness(z, scale=scales, **options), stacked)
    masked = tavelkorn.roughness(np.ma.masked_invalid(z), scale=list(scales), **options)
    assert isinstance(masked, np.ma.MaskedArray) and masked.shape == stacked.shape
    np.testing.assert_array_equal(masked.data, stacked)
    np.testing.assert_array_equal(np.ma.getmaskarray(masked), np.broadcast_to(np.isnan(z), stacked.shape))


def test_duplicates_are_merged_and_the_scales_sorted():
    z = dem()
    np.testing.assert_array_equal(tavelkorn.roughness(z, scale=[4, 1, 4, 2]), tavelkorn.roughness(z, scale=[1, 2, 4]))
    np.testing.assert_array_equal(tavelkorn.roughness(z, scale=np.array([3])), tavelkorn.roughness(z, scale=3)[None])
    np.testing.assert_array_equal(tavelkorn.roughness(z, scale=np.int64(3)), tavelkorn.roughness(z, scale=3))


@pytest.mark.parametrize("scale, error, words", [
    (0, ValueError, "scale=0"),
    (-2, ValueError, "scale=-2"),
    (2**31, ValueError, "scale=2147483648"),
    ([1, 0], ValueError, "0: scales are whole numbers"),
    ([], ValueError, "at least one scale"),
    (range(1, 66), ValueError, "65 scales; at most 64"),
    (2.5, TypeError, "scale=2.5"),
    (True, TypeError, "scale=True"),
    ("4", TypeError, "scale='4'"),
    (None, TypeError, "scale=None"),
    ([1, 2.0], TypeError, "2.0 is not an integer"),
])
def test_bad_scales_name_the_value(scale, error, words):
    with pytest.raises(error) as e:
        tavelkorn.roughness(dem(), scale=scale)
    assert words in str(e.value)
    with pytest.raises(error):
        tavelkorn.roughness(da.from_array(dem(), chunks=10), scale=scale)


def test_a_scale_without_terms_gives_zeros_and_names_itself():
    z = dem("int32", 9, 12)
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        r = tavelkorn.roughness(z, scale=[1, 6])
    assert [str(w.message).split(":")[0] for w in seen] == ["scale 6"]
    assert r[0].any() and not r[1].any()
    with pytest.warns(RuntimeWarning, match="^scale 6: nothing to stretch by"):
        assert not tavelkorn.roughness(z, scale=6).any()


def test_dataarray_gets_a_scale_dimension_with_dmax_and_reference_along_it(tmp_path):
    d = rioxarray.open_rasterio(SAMPLE, masked=True)
    d.attrs["long_name"] = "sample DEM"
    scales = [1, 4, 16]
    for lazy in (False, True):
        r = tavelkorn.roughness(d.chunk({"y": 70, "x": 90}) if lazy else d, scale=scales, stretch="p99")
        assert r.dims == ("scale", *d.dims) and list(r.scale.values) == scales and hasattr(r.data, "dask") == lazy
        assert r.rio.crs == d.rio.crs and r.attrs["long_name"] == "sample DEM" and "scale" not in r.attrs
        for name in d.coords:
            xr.testing.assert_identical(r.coords[name], d.coords[name])
        for s, k in enumerate(scales):
            one = tavelkorn.roughness(d, scale=k, stretch="p99")
            assert one.attrs["scale"] == k
            np.testing.assert_array_equal(r.values[s], one.values)
            assert float(r.dmax[s]) == one.attrs["dmax"] and float(r.reference[s]) == one.attrs["reference"]
    # The summary, as xarray gives it, is the command line's --scale-summary.
    expected = cli(tmp_path, np.asarray(rioxarray.open_rasterio(SAMPLE)[0]), "--scale", "1,4,16", "--scale-summary",
                   "--stretch", "p99", nodata=-32768, bands=True)
    top = r.max("scale")
    np.testing.assert_array_equal(top.values[0], expected[0])
    np.testing.assert_array_equal(r.idxmax("scale").where(top > 0, 0).values[0], expected[1])


CHUNKS = [(1, 53), (37, 1), (3, 2), ((2, 1, 30, 2, 2), (1, 2, 47, 2, 1)), (11, 17)]


@pytest.mark.parametrize("chunks", CHUNKS)
@pytest.mark.parametrize("options", [dict(), dict(stretch="p99", term="curvature", direction="columns"),
                                     dict(direction="both", stretch="full"), dict(direction="both", dtype="float32")])
def test_dask_at_several_scales_gives_the_in_memory_bytes(chunks, options):
    # Chunks of 1 to 3 cells, smaller than the halo of scale 8.
    z = _holey()
    lazy = tavelkorn.roughness(da.from_array(z, chunks=chunks), scale=[1, 3, 8], **options)
    assert lazy.shape == (3, *z.shape) and lazy.chunks[1:] == da.from_array(z, chunks=chunks).chunks
    np.testing.assert_array_equal(lazy.compute(), tavelkorn.roughness(z, scale=[1, 3, 8], **options))
    np.testing.assert_array_equal(tavelkorn.roughness(da.from_array(z, chunks=chunks), scale=8, **options).compute(),
                                  tavelkorn.roughness(z, scale=8, **options))
