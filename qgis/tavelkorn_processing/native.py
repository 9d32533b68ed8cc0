"""A program without GDAL (the Windows zip): the layer's band handed to it
as a native grid of the band's own type (--raw-type, with --nodata and
--z-scale: the program reads, scales and rounds it by its own rule), and its
image written back with QGIS's GDAL with the layer's place on the map and a
mask of the missing cells.

The results are one set: the program writes the profile and the report, the
plugin the image, each into a private folder beside it (Holding), and all
are renamed into place once the image is written and read back. QGIS's GDAL
is shared with every plugin: its exception mode is left alone and the one
option set is set for this thread only, then put back."""
import dataclasses
import os
import re
import shutil
import tempfile
from contextlib import contextmanager

import numpy as np
from osgeo import gdal
from qgis.core import QgsProcessingException

from . import runner

# The band types the program reads (--raw-type), by numpy's names.
RAW_TYPES = {"int16": "Int16", "uint16": "UInt16", "int32": "Int32", "uint32": "UInt32", "float32": "Float32",
             "float64": "Float64"}


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
                values, nodata = grid(run, ds)
                # the grid has the one band chosen
                held = dataclasses.replace(run, band=1, profile=results.held(run.profile),
                                           report=results.held(run.report))
                dem, out = os.path.join(tmp, "dem.raw"), os.path.join(tmp, "image.raw")
                # what the program saw, by the names the user gave
                names = {dem: run.source, held.profile: run.profile, out: run.output, held.report: run.report}
                missing = cells_missing(values, nodata)
                pixels = image(held, prog, feedback, dem, out, values, nodata, cell(ds), names, missing.sum())
                write_image(results.held(run.output), run.output, pixels, missing, ds)
                if run.report:
                    with open(held.report, "rb") as f:
                        text = renamed(f.read(), names)
                    with open(held.report, "wb") as f:
                        f.write(text)
            except RuntimeError as e:  # GDAL's, when other code turned its exceptions on
                raise QgsProcessingException("tavelkorn: %s" % e)
        results.commit()
    finally:
        results.discard()


def renamed(text, names):
    """text (str or bytes) with the files the program saw named as the user named them."""
    encode = os.fsencode if isinstance(text, bytes) else str
    for seen, meant in names.items():
        if seen:
            text = text.replace(encode(seen), encode(meant))
    return text


def opened(ds, name):
    # with GDAL's exceptions off (QGIS's default) a failure is a None
    if ds is None:
        raise QgsProcessingException("tavelkorn: %s: %s" % (name, gdal.GetLastErrorMsg() or "GDAL gives no reason"))
    return ds


def cell(ds):
    # as the program's GDAL reading gives the pixel size: 0 without a geotransform
    g = ds.GetGeoTransform(can_return_null=True)
    return int(np.floor(abs(g[1]) + 0.5)) if g else 0


def grid(run, ds):
    """The band in a type the program reads, every value as it is (a wider
    type where the band's is not one: Byte and Int8 as Int16, Int64 as
    Float64), and the nodata value that marks its missing cells (None:
    none, or one no value of the grid can equal)."""
    if run.band < 1 or run.band > ds.RasterCount:
        raise QgsProcessingException("tavelkorn: %s: has no band %d (it has %d)" % (run.source, run.band, ds.RasterCount))
    band = ds.GetRasterBand(run.band)
    values = opened(band.ReadAsArray(), run.source)
    nodata = band.GetNoDataValue()
    if values.dtype.kind == "c":
        raise QgsProcessingException("tavelkorn: %s: complex values are not elevations" % run.source)
    if values.dtype.itemsize == 1:  # Byte, Int8 (and a SIGNEDBYTE Byte band, which GDAL gives as int8)
        values = values.astype(np.int16)
    whole = nodata is not None and float(nodata).is_integer()
    if values.dtype.kind == "u" and values.dtype.itemsize == 4 and whole and nodata > 2147483647:
        values = values.astype(np.float64)  # --nodata of an integer grid is an Int32
    if values.dtype.name not in RAW_TYPES:  # Int64, UInt64: in doubles, as GDAL reads them for the program
        wide = values.astype(np.float64)
        if not (np.abs(wide if nodata is None else wide[wide != nodata]) <= 2.0 ** 53).all():
            raise QgsProcessingException("tavelkorn: %s: %s values beyond 2^53 cannot be given exactly to a program "
                                         "without GDAL" % (run.source, gdal.GetDataTypeName(band.DataType)))
        values = wide
    if nodata is None or np.isnan(nodata):
        return values, None  # NaN is missing in a float grid whatever the nodata
    if values.dtype.kind == "f":
        return values, nodata
    info = np.iinfo(values.dtype)
    return values, int(nodata) if whole and info.min <= nodata <= info.max else None


def cells_missing(values, nodata):
    """The cells the program leaves out of the grid (NaN, the nodata as a
    value of the grid's type), for the image's mask."""
    missing = np.isnan(values) if values.dtype.kind == "f" else np.zeros(values.shape, bool)
    return missing if nodata is None else missing | (values == values.dtype.type(nodata))


def image(run, prog, feedback, dem, out, values, nodata, cell_size, names, missing):
    """The program's bytes for the grid, read from dem with its descriptor
    beside it, written to out; missing is the number of cells the mask
    leaves out, which the program must find too."""
    values.astype(values.dtype.newbyteorder("<"), copy=False).tofile(dem)
    with open(dem[:-4] + ".txt", "w") as f:
        f.write("%d\n%d\n%d\n0\n0\n%d\n" % (*values.shape, values.dtype.itemsize, cell_size))
    extra = ["--raw-type", RAW_TYPES[values.dtype.name]] + ([] if nodata is None else ["--nodata=%r" % nodata])
    quiet = "missing cells cannot be marked in this format"
    try:
        warnings = runner.follow(runner.arguments(run, prog, dem, out, extra), feedback, quiet=(quiet,),
                                 said=lambda m: renamed(m, names))
    except QgsProcessingException as e:
        if "holds one band" not in str(e):
            raise
        raise QgsProcessingException("tavelkorn: SCALES %s: several scales (and SCALE_SUMMARY) need the tavelkorn "
                                     "program with GDAL; %s writes one band" % (run.scales, prog))
    found = [int(n) for w in warnings for n in re.findall(r"(\d+) " + quiet, w)]
    if sum(found) != missing:
        raise QgsProcessingException("tavelkorn: %s: the program found %d missing cells, the mask %d"
                                     % (run.source, sum(found), missing))
    return np.fromfile(out, np.uint8).reshape(values.shape)


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
    """The plugin's one result set: results held in private folders created
    beside them (the same file system, so a rename puts them in place
    whole), renamed all together at the end with the companions a driver
    adds; discard() undoes the rest."""

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
