"""A program without GDAL (the Windows zip): the band converted to the
program's native grid, the image written back with QGIS's GDAL with the
layer's place on the map and a mask of the missing cells.

Every result goes first into a private folder beside it and is renamed into
place once all are written and checked, as the program does with its own.
QGIS's GDAL is shared with every plugin: its exception mode is left alone
and the one option set is set for this thread only, then put back."""
import dataclasses
import os
import shutil
import tempfile
from contextlib import contextmanager

import numpy as np
from osgeo import gdal
from qgis.core import QgsProcessingException

from . import runner

SENTINELS = (-2147483648, 2147483647)


def execute(run, prog, feedback):
    if run.type_ != "Byte":
        raise QgsProcessingException("Float32 needs the tavelkorn program with GDAL; this one reads native grids only")
    results = Holding()
    try:
        for path in (run.output, run.profile, run.report):
            results.add(path)
        with tempfile.TemporaryDirectory(prefix="tavelkorn-") as tmp:
            try:
                ds = opened(gdal.Open(run.source), run.source)
                z, missing, extra = grid(run, ds)
                # the grid has the one band chosen
                held = dataclasses.replace(run, band=1, profile=results.held(run.profile),
                                           report=results.held(run.report))
                pixels = image(held, prog, feedback, tmp, z, extra, round(abs(ds.GetGeoTransform()[1])))
                write_image(results.held(run.output), run.output, pixels, missing, ds)
                if run.report:
                    renamed(held.report, {os.path.join(tmp, "dem.raw"): run.source, held.profile: run.profile,
                                          os.path.join(tmp, "image.raw"): run.output, held.report: run.report})
            except RuntimeError as e:  # GDAL's, when other code turned its exceptions on
                raise QgsProcessingException("tavelkorn: %s" % e)
        results.commit()
    finally:
        results.discard()


def renamed(report, names):
    """The report names the files the program saw: the user's instead."""
    with open(report, "rb") as f:
        text = f.read()
    for seen, meant in names.items():
        if seen:
            text = text.replace(os.fsencode(seen), os.fsencode(meant))
    with open(report, "wb") as f:
        f.write(text)


def opened(ds, name):
    # with GDAL's exceptions off (QGIS's default) a failure is a None
    if ds is None:
        raise QgsProcessingException("tavelkorn: %s: %s" % (name, gdal.GetLastErrorMsg() or "GDAL gives no reason"))
    return ds


def grid(run, ds):
    """The band as Int64 elevations times the z-scale, which cells are
    missing, and the --nodata that marks them in the grid."""
    if run.band < 1 or run.band > ds.RasterCount:
        raise QgsProcessingException("tavelkorn: %s: has no band %d (it has %d)" % (run.source, run.band, ds.RasterCount))
    band = ds.GetRasterBand(run.band)
    values = opened(band.ReadAsArray(), run.source)
    nodata = band.GetNoDataValue()
    missing = np.zeros(values.shape, bool)
    if values.dtype.kind == "f":
        missing |= np.isnan(values)
    if nodata is not None:
        missing |= values == (np.float32(nodata) if values.dtype == np.float32 else nodata)
    if values.dtype.kind in "iu" and values.dtype.itemsize <= 4 and values.dtype != np.uint32 and run.z_scale == 1.0:
        z = values.astype(np.int64)
    else:  # as the command line: times the z-scale, rounded half away from zero
        v = values.astype(np.float64) * run.z_scale
        z = np.where(v >= 0, np.floor(v + 0.5), np.ceil(v - 0.5))
        bad = ~missing & ~((z >= -2147483648) & (z <= 2147483647))
        if bad.any():
            raise QgsProcessingException("tavelkorn: %s: elevations times the z-scale leave the 32-bit range; "
                                         "choose a smaller z-scale" % run.source)
        z = np.where(missing, 0, z).astype(np.int64)
    extra = []
    if missing.any():
        sentinel = next((s for s in SENTINELS if not (z[~missing] == s).any()), None)
        if sentinel is None:
            raise QgsProcessingException("tavelkorn: %s: no Int32 value is free to mark the missing cells" % run.source)
        z[missing] = sentinel
        extra = ["--nodata", str(sentinel)]
    return z, missing, extra


def image(run, prog, feedback, tmp, z, extra, cell):
    """The program's bytes for the grid z of cells of size cell, run in the
    scratch folder tmp."""
    dem = os.path.join(tmp, "dem.raw")
    z.astype("<i4").tofile(dem)
    with open(os.path.join(tmp, "dem.txt"), "w") as f:
        f.write("%d\n%d\n4\n0\n0\n%d\n" % (z.shape[0], z.shape[1], cell))
    out = os.path.join(tmp, "image.raw")
    # the grid holds the elevations already scaled
    runner.follow(runner.arguments(run, prog, dem, out, extra, z_scale=1.0), feedback,
                  quiet=("cannot be marked in this format",))
    return np.fromfile(out, np.uint8).reshape(z.shape)


def write_image(path, output, pixels, missing, like):
    """The image at path (its format from its name), with like's place on
    the map and a mask of the missing cells; read back before it counts.
    Messages name output, where it goes."""
    mem = gdal.GetDriverByName("MEM").Create("", pixels.shape[1], pixels.shape[0], 1, gdal.GDT_Byte)
    mem.SetGeoTransform(like.GetGeoTransform())
    mem.SetProjection(like.GetProjection())
    mem.GetRasterBand(1).WriteArray(pixels)
    if missing.any():
        mem.CreateMaskBand(gdal.GMF_PER_DATASET)
        mem.GetRasterBand(1).GetMaskBand().WriteArray(np.where(missing, 0, 255).astype(np.uint8))
    gdal.ErrorReset()
    with thread_option("GDAL_TIFF_INTERNAL_MASK", "YES"):  # one file, as the program with GDAL writes
        out = opened(gdal.Translate(path, mem), output)
        del out  # closing writes what GDAL still holds; a failure there is only recorded
    if gdal.GetLastErrorType() >= gdal.CE_Failure:
        raise QgsProcessingException("tavelkorn: %s: %s" % (output, gdal.GetLastErrorMsg()))
    back = opened(gdal.Open(path), output)
    band = back.GetRasterBand(1)
    same = np.array_equal(band.ReadAsArray(), pixels)
    if same and missing.any() and band.GetMaskFlags() == gdal.GMF_PER_DATASET:
        same = np.array_equal(band.GetMaskBand().ReadAsArray() == 0, missing)
    if not same:
        raise QgsProcessingException("tavelkorn: %s: the image written is not the image computed" % output)


@contextmanager
def thread_option(key, value):
    before = gdal.GetThreadLocalConfigOption(key, None)
    gdal.SetThreadLocalConfigOption(key, value)
    try:
        yield
    finally:
        gdal.SetThreadLocalConfigOption(key, before)


class Holding:
    """Results held in private folders created beside them (the same file
    system, so a rename puts them in place whole), renamed all together at
    the end with the companions a driver adds; discard() undoes the rest."""

    def __init__(self):
        self.folders = {}

    def add(self, path):
        if path:
            where = os.path.dirname(os.path.abspath(path))
            self.folders[path] = tempfile.mkdtemp(prefix=".%s.tavelkorn-tmp-" % os.path.basename(path), dir=where)

    def held(self, path):
        return os.path.join(self.folders[path], os.path.basename(path)) if path else path

    def commit(self):
        for path, folder in self.folders.items():
            for name in sorted(os.listdir(folder)):
                os.replace(os.path.join(folder, name), os.path.join(os.path.dirname(os.path.abspath(path)), name))

    def discard(self):
        for folder in self.folders.values():
            shutil.rmtree(folder, ignore_errors=True)
