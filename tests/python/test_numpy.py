"""tavelkorn.roughness on numpy arrays against the command line on the same
cells: every dtype and byte order, strides, missing cells, the options, the
errors, threads and cancelling."""

import os
import signal
import threading

import numpy as np
import pytest

import tavelkorn
from conftest import cli, dem


@pytest.mark.parametrize("dtype", ["int16", "uint16", "int32", "uint32", "float32", "float64"])
@pytest.mark.parametrize("order", ["<", ">"])
def test_each_dtype_and_byte_order_as_the_command_line(tmp_path, dtype, order):
    z = dem(dtype)
    mine = tavelkorn.roughness(z.astype(z.dtype.newbyteorder(order)))
    assert mine.dtype == np.uint8 and mine.shape == z.shape
    np.testing.assert_array_equal(mine, cli(tmp_path, z))


@pytest.mark.parametrize("options, args", [
    (dict(term="curvature", stretch="p99"), ["--term", "curvature", "--stretch", "p99"]),
    (dict(stretch="full", norm=200), ["--stretch", "full", "--norm", "200"]),
    (dict(stretch="p50.5", norm=999), ["--stretch", "p50.5", "--norm", "999"]),
    (dict(z_scale=100.0), ["--z-scale", "100"]),
    (dict(z_scale=-0.37, term="curvature"), ["--z-scale", "-0.37", "--term", "curvature"]),
])
@pytest.mark.parametrize("dtype", ["float32", "int32"])
def test_options_as_the_command_line(tmp_path, options, args, dtype):
    z = dem(dtype)
    np.testing.assert_array_equal(tavelkorn.roughness(z, **options), cli(tmp_path, z, *args))


@pytest.mark.parametrize("direction", ["rows", "columns", "both"])
@pytest.mark.parametrize("options, args", [
    (dict(), []),
    (dict(term="curvature", stretch="p99"), ["--term", "curvature", "--stretch", "p99"]),
])
@pytest.mark.parametrize("holes", [False, True])
def test_directions_as_the_command_line(tmp_path, direction, options, args, holes):
    z = dem("float32", 41, 37)
    if holes:
        z[_holes(z)] = np.nan
    expected = cli(tmp_path, np.where(np.isnan(z), -999, z).astype(z.dtype), "--direction", direction, *args,
                   nodata=-999)
    np.testing.assert_array_equal(tavelkorn.roughness(z, direction=direction, **options), expected)


# A ridge along row 3 bends nothing along a row; down each column the
# classic terms of rows 1 to 5 are 0, -10, 40, -10, 0, their mean 4.
@pytest.mark.parametrize("direction, dtype, stretch, column", [
    ("columns", "float32", "half", [0, 4, 14, 36, 14, 4, 0]),
    ("both", "float32", "half", [0, 4, 14, 36, 14, 4, 0]),
    ("columns", "uint8", "full", [0, 28, 99, 255, 99, 28, 0]),  # d / 36 x 255, truncated
    ("columns", "uint8", "half", [0, 0, 0, 255, 0, 0, 0]),
])
def test_a_ridge_along_the_rows_shows_down_columns(direction, dtype, stretch, column):
    z = np.zeros((7, 9), np.int16)
    z[3] = 10
    mine = tavelkorn.roughness(z, direction=direction, stretch=stretch, dtype=dtype)
    np.testing.assert_array_equal(mine, np.repeat(np.array(column, dtype)[:, None], 9, axis=1))
    with pytest.warns(RuntimeWarning, match="nothing to stretch"):
        assert not tavelkorn.roughness(z, direction="rows", stretch=stretch).any()


@pytest.mark.parametrize("direction, across", [("rows", "columns"), ("columns", "rows"), ("both", "both")])
@pytest.mark.parametrize("options", [dict(), dict(stretch="full"), dict(stretch="p99", term="curvature"),
                                     dict(dtype="float32")])
def test_transposed_dem_gives_the_transposed_image(direction, across, options):
    z = dem("float64", 31, 44)
    z[_holes(z)] = np.nan
    np.testing.assert_array_equal(tavelkorn.roughness(z.T, direction=across, **options),
                                  tavelkorn.roughness(z, direction=direction, **options).T)


@pytest.mark.parametrize("z_scale", [1.0, 100.0, -0.37])
def test_float32_deviations_as_the_command_line(tmp_path, z_scale):
    z = dem("float64")
    z[5, 7] = np.nan
    mine = tavelkorn.roughness(z, dtype="float32", z_scale=z_scale)
    assert mine.dtype == np.float32
    np.testing.assert_array_equal(mine, cli(tmp_path, z, "--z-scale", str(z_scale), floats=True))


@pytest.mark.parametrize("view", [
    lambda z: z[::2, ::3],                      # strides of whole steps
    lambda z: z[::-1, 1:],                      # negative row stride
    lambda z: np.asfortranarray(z),             # column-major
    lambda z: z.T,                              # a transposed view
])
def test_any_strides(tmp_path, view):
    v = view(dem("int16", 41, 60))
    np.testing.assert_array_equal(tavelkorn.roughness(v), cli(tmp_path, np.ascontiguousarray(v)))


def _holes(z):
    holes = np.zeros(z.shape, bool)
    holes[3:6, 10:14] = holes[20, :] = holes[:, 30] = holes[0, 0] = True
    return holes


@pytest.mark.parametrize("how", ["nodata", "nan", "mask"])
def test_missing_cells_as_the_command_line(tmp_path, how):
    z = dem("float32" if how == "nan" else "int16")
    holes = _holes(z)
    expected = cli(tmp_path, np.where(holes, -999, z).astype(z.dtype), nodata=-999)
    if how == "nodata":
        mine = tavelkorn.roughness(np.where(holes, -999, z).astype(z.dtype), nodata=-999)
    elif how == "nan":
        mine = tavelkorn.roughness(np.where(holes, np.nan, z).astype(z.dtype))
    else:
        mine = tavelkorn.roughness(np.ma.MaskedArray(z.astype(">i2"), mask=holes))
        assert isinstance(mine, np.ma.MaskedArray)
        np.testing.assert_array_equal(np.ma.getmaskarray(mine), holes)
        mine = mine.data
    np.testing.assert_array_equal(mine, expected)
    assert not mine[holes].any()


@pytest.mark.parametrize("call, error, words", [
    (lambda: tavelkorn.roughness(np.zeros((3, 4, 5), np.int32)), ValueError, "dem"),
    (lambda: tavelkorn.roughness(np.zeros(5, np.int32)), ValueError, "dem"),
    (lambda: tavelkorn.roughness(dem(), term="bumpy"), ValueError, "term='bumpy'"),
    (lambda: tavelkorn.roughness(dem(), direction="diagonal"), ValueError, "direction='diagonal'"),
    (lambda: tavelkorn.roughness(dem(), stretch="p"), ValueError, "stretch='p'"),
    (lambda: tavelkorn.roughness(dem(), stretch="quarter"), ValueError, "stretch='quarter'"),
    (lambda: tavelkorn.roughness(dem(), stretch="p0"), ValueError, "(0, 100]"),
    (lambda: tavelkorn.roughness(dem(), stretch="p100.5"), ValueError, "(0, 100]"),
    (lambda: tavelkorn.roughness(dem(), dtype="int16"), ValueError, "dtype='int16'"),
    (lambda: tavelkorn.roughness(dem(), z_scale=0), ValueError, "z_scale"),
    (lambda: tavelkorn.roughness(dem(), threads=0), ValueError, "threads=0"),
    (lambda: tavelkorn.roughness(dem("float64") * 1e12), ValueError, "32-bit"),
    (lambda: tavelkorn.roughness(dem(), z_scale=3e8), ValueError, "z_scale"),
    (lambda: tavelkorn.roughness(dem("int16"), z_scale=3e8), ValueError, "z_scale"),
    (lambda: tavelkorn.roughness(dem("complex64")), TypeError, "complex64"),
    (lambda: tavelkorn.roughness(np.zeros((4, 5), bool)), TypeError, "bool"),
    (lambda: tavelkorn.roughness(np.zeros((4, 5), object)), TypeError, "object"),
    (lambda: tavelkorn.roughness(dem("int64")), TypeError, "int64"),
    (lambda: tavelkorn.roughness([[1, 2, 3]]), TypeError, "list"),
    (lambda: tavelkorn.roughness(dem(), norm=2.5), TypeError, "norm"),
])
def test_errors_name_what_is_wrong(call, error, words):
    with pytest.raises(error, match=None) as e:
        call()
    assert words in str(e.value)


def test_exact_widenings():
    z = dem("uint8")
    np.testing.assert_array_equal(tavelkorn.roughness(z), tavelkorn.roughness(z.astype(np.int16)))


def test_two_threads_at_once_as_one_after_the_other():
    dems = [dem("int32", 900, 1100, seed=s) for s in (1, 2)]
    alone = [tavelkorn.roughness(z, stretch="p99", threads=2) for z in dems]
    together = [None, None]
    workers = [threading.Thread(target=lambda k=k: together.__setitem__(k, tavelkorn.roughness(
        dems[k], stretch="p99", threads=2))) for k in (0, 1)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for a, b in zip(alone, together):
        np.testing.assert_array_equal(a, b)


def test_any_number_of_threads_the_same_bytes():
    z = dem("int32", 700, 300)
    np.testing.assert_array_equal(tavelkorn.roughness(z, threads=1), tavelkorn.roughness(z, threads=7))


@pytest.mark.parametrize("options", [dict(), dict(direction="columns", stretch="p99")])  # two passes, three
def test_progress_rises_to_one(options):
    seen = []
    tavelkorn.roughness(dem("int32", 2000, 2000), progress=seen.append, **options)
    assert seen == sorted(seen) and seen[-1] == 1.0 and len(seen) > 2


@pytest.mark.parametrize("answer", [False, 0])
def test_progress_returning_false_cancels(answer):
    calls, threads = [], len(os.listdir("/proc/self/task"))
    with pytest.raises(tavelkorn.Cancelled):
        tavelkorn.roughness(dem("int32", 3000, 2000), threads=2, progress=lambda f: calls.append(f) or answer)
    assert len(calls) == 1
    assert len(os.listdir("/proc/self/task")) == threads  # the computation's threads are joined


def test_ctrl_c_stops_the_computation():
    calls = []

    def interrupt(f):
        calls.append(f)
        os.kill(os.getpid(), signal.SIGINT)

    with pytest.raises(KeyboardInterrupt):
        tavelkorn.roughness(dem("int32", 3000, 2000), progress=interrupt)
    assert len(calls) == 1


def test_empty_window_warns():
    with pytest.warns(RuntimeWarning, match="nothing to stretch"):
        assert not tavelkorn.roughness(np.full((9, 9), 5, np.int16), term="curvature").any()


def test_version_is_the_programs(tmp_path):
    import subprocess
    from conftest import PROGRAM

    out = subprocess.run([PROGRAM, "--version"], capture_output=True, text=True).stdout
    assert out.split()[-1] == tavelkorn.__version__


def test_help_gives_the_formulas():
    doc = tavelkorn.roughness.__doc__
    for formula in ["4 z[i][j] - z[i][j-1] - z[i][j+1]", "4 z[i][j] - z[i-1][j] - z[i+1][j]", "((d - dmax/2) / (dmax/2)) * norm", "|t[i][j] - m[i]|"]:
        assert formula in doc


def test_numpy_alone_is_enough():
    import subprocess
    import sys

    code = ("import sys\nfor m in ('xarray', 'dask', 'dask.array', 'rioxarray'): sys.modules[m] = None\n"
            "import numpy as np, tavelkorn\nprint(tavelkorn.roughness(np.eye(7, dtype=np.int16) * 9).sum())")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == [str(tavelkorn.roughness(np.eye(7, dtype=np.int16) * 9).sum())]


@pytest.mark.parametrize("z, z_scale, warns", [
    (dem("float32"), 1.0, True),
    (dem("float32").round(), 1.0, False),
    (dem("float32").round(), 0.5, True),   # halves of whole elevations, rounded away
    (dem("float32").round() / 4, 100.0, False),
    (dem("int16"), 0.5, False),            # integers are scaled and rounded as the command line does, quietly
])
def test_fractions_rounded_away_warn(z, z_scale, warns):
    import warnings

    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        tavelkorn.roughness(z, z_scale=z_scale)
    assert any("fractions" in str(w.message) for w in seen) == warns


@pytest.mark.skipif("TAVELKORN_BUILD" not in os.environ, reason="the package under test is pip's, not the build tree's")
def test_installed_where_debians_python_finds_it(tmp_path):
    # The prefix's own site folder, as Debian's python3 has for /usr/local, finds the package.
    import subprocess
    import sys

    subprocess.run(["cmake", "--install", os.environ["TAVELKORN_BUILD"], "--prefix", str(tmp_path)], check=True,
                   stdout=subprocess.DEVNULL)
    site = tmp_path / "lib" / f"python{sys.version_info[0]}.{sys.version_info[1]}" / "dist-packages"
    code = f"import site; site.addsitedir({str(site)!r}); import tavelkorn; print(tavelkorn.__file__)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env={"PATH": os.environ["PATH"]}).stdout
    assert out.startswith(str(tmp_path / "lib" / "python3" / "dist-packages" / "tavelkorn"))
