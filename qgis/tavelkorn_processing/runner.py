"""Running the tavelkorn program for the algorithm: where it is, its
progress and messages, cancellation, and the native path of a program
without GDAL."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
from dataclasses import dataclass

from qgis.core import QgsProcessingException

SENTINELS = (-2147483648, 2147483647)


@dataclass
class Run:
    source: str
    band: int
    norm: int
    z_scale: float
    term: str
    stretch: str
    type_: str
    output: str
    profile: str
    report: str


def program():
    """The program: the one named in the provider's setting or in
    TAVELKORN_PROGRAM, else a copy packed in the plugin, the install the
    plugin belongs to, then the PATH."""
    name = "tavelkorn.exe" if sys.platform == "win32" else "tavelkorn"
    here = os.path.dirname(os.path.abspath(__file__))
    for where, named in (("Processing's option Providers > Tavelkorn", setting()),
                         ("TAVELKORN_PROGRAM", os.environ.get("TAVELKORN_PROGRAM", ""))):
        if named.strip():
            # the one the user asked for: running another would hide the mistake
            problem = cannot_run(named)
            if problem:
                raise QgsProcessingException("tavelkorn: %s (named by %s): %s" % (named, where, problem))
            return named
    packed = os.path.join(here, "bin", name)
    installed = os.path.normpath(os.path.join(here, "..", "..", "..", "..", "bin", name))
    for c in (packed, installed):
        if not cannot_run(c):
            return c
    found = shutil.which(name)
    if found:
        return found
    raise QgsProcessingException("tavelkorn: the program was not found; set its path in Processing's options "
                                 "(Providers > Tavelkorn), in TAVELKORN_PROGRAM, or put it on the PATH")


def setting():
    try:
        from processing.core.ProcessingConfig import ProcessingConfig
        return ProcessingConfig.getSetting("TAVELKORN_PROGRAM") or ""
    except Exception:  # outside Processing (a test)
        return ""


def cannot_run(path):
    """Why path is no program to run, or None."""
    if os.path.isdir(path):
        return "a folder, not the program"
    if not os.path.exists(path):
        return "no such file"
    if not os.access(path, os.X_OK):
        return "not executable"
    return None


def has_gdal(prog):
    try:
        out = subprocess.run([prog, "--help"], stdin=subprocess.DEVNULL, capture_output=True, text=True).stdout
    except OSError as e:
        raise QgsProcessingException("tavelkorn: %s cannot run: %s" % (prog, e.strerror or e))
    return "this build has no GDAL" not in out


def arguments(run, prog, source, output, extra=(), z_scale=None):
    z = run.z_scale if z_scale is None else z_scale
    args = [prog, "--progress", "--band", str(run.band), "--norm", str(run.norm), "--z-scale", repr(z),
            "--term", run.term, "--stretch", run.stretch, "--type", run.type_, *extra]
    if run.profile:
        args += ["--profile", run.profile]
    if run.report:
        args += ["--report", run.report]
    return args + ["--", source, output]


def follow(args, feedback, quiet=()):
    """Runs args: GDAL-style progress on stderr to the feedback, the
    program's warnings to its log; cancelling terminates the program (which
    removes its temporary files). Raises with the program's message."""
    proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    lines, errors = [], []

    def read():
        line = b""
        while True:
            c = proc.stderr.read(1)
            if not c:
                break
            line += c
            text = line.decode("utf-8", "replace")
            at = text.find("tavelkorn:")
            progress = text if at < 0 else text[:at]
            ticks = re.findall(r"\d+", progress)
            if ticks:
                feedback.setProgress(float(ticks[-1]))
            if c == b"\n":
                if at >= 0:
                    lines.append(text[at:].strip())
                line = b""

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    while proc.poll() is None:
        if feedback.isCanceled():
            proc.terminate()
            proc.wait()
            reader.join(5)
            proc.stderr.close()
            raise QgsProcessingException("Cancelled: tavelkorn stopped and removed its temporary files")
        reader.join(0.1)
    reader.join(5)
    proc.stderr.close()
    for message in lines:
        if message.startswith("tavelkorn: warning:"):
            if not any(q in message for q in quiet):
                feedback.pushWarning(message)
        else:
            errors.append(message)
    if proc.returncode != 0:
        raise QgsProcessingException("\n".join(errors) or "tavelkorn failed with status %d" % proc.returncode)


def execute(run, feedback):
    prog = program()
    if has_gdal(prog):
        follow(arguments(run, prog, run.source, run.output), feedback)
    else:
        native(run, prog, feedback)


def native(run, prog, feedback):
    """A program without GDAL: the band as a native grid, the image back as
    a GeoTIFF with the layer's place and a mask of the missing cells."""
    import numpy as np
    from osgeo import gdal

    if run.type_ != "Byte":
        raise QgsProcessingException("Float32 needs the tavelkorn program with GDAL; this one reads native grids only")
    gdal.UseExceptions()
    ds = gdal.Open(run.source)
    if run.band < 1 or run.band > ds.RasterCount:
        raise QgsProcessingException("tavelkorn: %s: has no band %d (it has %d)" % (run.source, run.band, ds.RasterCount))
    band = ds.GetRasterBand(run.band)
    values = band.ReadAsArray()
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
    geo = ds.GetGeoTransform()
    with tempfile.TemporaryDirectory(prefix="tavelkorn-") as tmp:
        dem = os.path.join(tmp, "dem.raw")
        z.astype("<i4").tofile(dem)
        with open(os.path.join(tmp, "dem.txt"), "w") as f:
            f.write("%d\n%d\n4\n0\n0\n%d\n" % (z.shape[0], z.shape[1], round(abs(geo[1]))))
        image = os.path.join(tmp, "image.raw")
        # the grid holds the elevations already scaled
        follow(arguments(run, prog, dem, image, extra, z_scale=1.0), feedback, quiet=("cannot be marked in this format",))
        pixels = np.fromfile(image, np.uint8).reshape(z.shape)
        gdal.SetConfigOption("GDAL_TIFF_INTERNAL_MASK", "YES")
        tif = run.output if run.output.lower().endswith((".tif", ".tiff")) else os.path.join(tmp, "image.tif")
        out = gdal.GetDriverByName("GTiff").Create(tif, z.shape[1], z.shape[0], 1, gdal.GDT_Byte)
        out.SetGeoTransform(geo)
        out.SetProjection(ds.GetProjection())
        out.GetRasterBand(1).WriteArray(pixels)
        if missing.any():
            out.CreateMaskBand(gdal.GMF_PER_DATASET)
            out.GetRasterBand(1).GetMaskBand().WriteArray(np.where(missing, 0, 255).astype(np.uint8))
        out = None
        if tif != run.output:
            gdal.Translate(run.output, tif)
