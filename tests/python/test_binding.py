"""The compiled module: classes taken by keyword, failures raised with the
exception the engine's code chooses, and the rules the package takes from
the engine (the stretch grammar, the default thread count, the z-scale
rounding) agreeing with the command line's."""

import os
import pickle
import subprocess
import sys

import numpy as np
import pytest
import rasterio

import tavelkorn
from conftest import PROGRAM, dem
from tavelkorn import _moteur


def test_options_and_readings_are_taken_by_keyword_and_pickle():
    with pytest.raises(TypeError):
        _moteur.Options(_moteur.Term.CURVATURE)
    with pytest.raises(TypeError):
        _moteur.Reading(-9999.0)
    o = _moteur.Options(term=_moteur.Term.CURVATURE, direction=_moteur.Direction.BOTH, scales=[1, 4], rank=99.5,
                        stretch=_moteur.Stretch.PERCENTILE, norm=200, floats=True, threads=3)
    p = pickle.loads(pickle.dumps(o))
    assert (p.term, p.direction, p.stretch, p.rank, p.scales, p.norm, p.floats, p.threads) == (
        o.term, o.direction, o.stretch, 99.5, [1, 4], 200, True, 3)
    r = pickle.loads(pickle.dumps(_moteur.Reading(nodata=-5.0, z_scale=0.5)))
    assert (r.nodata, r.z_scale) == (-5.0, 0.5)
    assert _moteur.Options().scales == [1] and _moteur.Reading().nodata is None


@pytest.mark.parametrize("options, error, words", [
    (dict(scales=[]), ValueError, "scale"),
    (dict(scales=[2, 1]), ValueError, "scale"),
    (dict(scales=[0]), ValueError, "scale"),
    (dict(stretch=_moteur.Stretch.PERCENTILE, rank=0.0), ValueError, "0"),
])
def test_the_engines_code_chooses_the_exception(options, error, words):
    with pytest.raises(error) as e:
        _moteur.compute(dem(), reading=_moteur.Reading(), options=_moteur.Options(**options))
    assert words in str(e.value)


def test_an_elevation_beyond_the_32_bit_range_in_pythons_words():
    with pytest.raises(ValueError) as e:
        _moteur.compute(np.array([[1.0, 2.0, 3e9]]), reading=_moteur.Reading(z_scale=1.0), options=_moteur.Options())
    assert str(e.value) == "elevation 3000000000 times z_scale 1 is 3000000000, beyond the 32-bit range; " \
                           "choose a smaller z_scale"
    with pytest.raises(ValueError, match="^elevation 8 times z_scale 3e[+]08 is 2400000000, beyond"):
        _moteur.scale_elevation(8, 3e8)


@pytest.mark.parametrize("v, z_scale, z", [(2.5, 1, 3), (-2.5, 1, -3), (0.49999, 1, 0), (7, -0.5, -4), (0.125, 4, 1),
                                           (-0.125, 4, -1), (2**31 - 1, 1, 2**31 - 1), (-(2**31), 1, -(2**31))])
def test_the_z_scale_rounds_half_away_from_zero(v, z_scale, z):
    assert _moteur.scale_elevation(v, z_scale) == z


def test_an_array_read_as_the_engine_takes_it():
    z = np.array([[1.5, np.nan, -2.5], [4.0, -9.0, 0.25]], ">f8")
    elevations, presence = _moteur.read_elevations(z, reading=_moteur.Reading(nodata=-9.0, z_scale=2.0))
    np.testing.assert_array_equal(elevations, [[3, 0, -5], [8, 0, 1]])
    np.testing.assert_array_equal(presence, [[1, 0, 1], [1, 0, 1]])
    elevations, presence = _moteur.read_elevations(np.arange(6, dtype=np.int16).reshape(2, 3),
                                                   reading=_moteur.Reading(),
                                                   mask=np.array([[0, 1, 0], [0, 0, 0]], bool))
    np.testing.assert_array_equal(elevations, [[0, 0, 2], [3, 4, 5]])
    np.testing.assert_array_equal(presence, [[1, 0, 1], [1, 1, 1]])
    assert _moteur.read_elevations(np.ones((2, 2), np.int32), reading=_moteur.Reading())[1] is None


# Stretches as written: the command line and Python accept the same ones.
STRETCHES = ["half", "full", "p99", "p99.5", "p100", "p1e1", "p0", "p100.5", "p", "quarter", "p99 ", "p-5", "pnan",
             "Half", "p 99"]


@pytest.mark.parametrize("stretch", STRETCHES)
def test_the_stretch_grammar_is_the_command_lines(tmp_path, stretch):
    z = dem("int16", 9, 11)
    src = tmp_path / "dem.tif"
    with rasterio.open(src, "w", driver="GTiff", width=11, height=9, count=1, dtype="int16") as f:
        f.write(z, 1)
    run = subprocess.run([PROGRAM, "-q", "--stretch", stretch, str(src), str(tmp_path / "o.raw")], capture_output=True)
    try:
        tavelkorn.roughness(z, stretch=stretch)
        python = 0
    except ValueError as e:
        python = 2
        assert f"stretch={stretch!r}" in str(e)
    assert (python, _moteur.parse_stretch(stretch) is not None) == (run.returncode, run.returncode == 0)


@pytest.mark.parametrize("env, threads", [("3", 3), ("300", 256), ("0", None), ("x", None), (None, None)])
def test_the_default_thread_count_is_the_engines(env, threads):
    code = "from tavelkorn import _moteur; print(_moteur.default_threads())"
    environ = {k: v for k, v in os.environ.items() if k != "TAVELKORN_THREADS"}
    if env is not None:
        environ["TAVELKORN_THREADS"] = env
    out = int(subprocess.run([sys.executable, "-c", code], env=environ, capture_output=True, text=True,
                             check=True).stdout)
    assert out == (threads or min(256, os.cpu_count()))


def _block(**kw):
    place = dict(row0=2, col0=3, rows=2, cols=3, nrows=6, ncols=9)
    place.update(kw)
    return _moteur.Block(**place)


@pytest.mark.parametrize("pieces, block, words", [
    ([(np.zeros((2, 3), np.int32), None, 2, 3)], _block(), "leave cells"),  # no halo columns
    ([(np.zeros((2, 5), np.int32), None, 2, 2), (np.zeros((2, 3), np.int32), None, 2, 3)], _block(), "overlap"),
    ([(np.zeros((2, 6), np.int32), None, 2, 1)], _block(), "outside"),
    ([(np.zeros((2, 5), np.int32), None, 2, 2)], _block(col0=7), "does not lie"),
    ([(np.zeros((2, 5), np.int16), np.zeros((2, 4), bool), 2, 2)], _block(), "mask"),
])
def test_blocks_refuse_pieces_that_do_not_make_them(pieces, block, words):
    with pytest.raises(ValueError, match=words):
        _moteur.block_partials(pieces, block=block, reading=_moteur.Reading(), options=_moteur.Options())


@pytest.mark.parametrize("piece, words", [
    ((np.zeros((2, 5), np.int32).tolist(), None, 2, 2), "piece's elevations: a numpy array"),
    ((np.zeros((2, 5), np.int32), np.zeros((2, 5), bool).tolist(), 2, 2), "mask: a numpy array"),
])
def test_blocks_take_arrays_only(piece, words):
    # a list would be converted to an array gone before the block reads it
    with pytest.raises(TypeError, match=words):
        _moteur.block_partials([piece], block=_block(), reading=_moteur.Reading(), options=_moteur.Options())
