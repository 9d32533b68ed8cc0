"""The plugin's edges, in one PyQGIS process: layer names holding '|',
results that must never replace the input or half replace a result, QGIS's
GDAL state left as found, the program named explicitly, STRETCH checked
before a run. usage: qgis_plugin_test.py PROGRAM SOURCE_DIR SCRATCH_DIR"""
import os
import resource
import shutil
import signal
import stat
import subprocess
import sys
import zipfile

from qgis.core import (QgsApplication, QgsProcessingContext, QgsProcessingException, QgsProcessingFeedback,
                       QgsRasterLayer)

QgsApplication.setPrefixPath("/usr", True)
app = QgsApplication([], False)
app.initQgis()
sys.path.append("/usr/share/qgis/python/plugins")
sys.path.insert(0, os.path.join(sys.argv[2], "qgis"))
import numpy as np  # noqa: E402
import processing  # noqa: E402
from osgeo import gdal  # noqa: E402
from processing.core.Processing import Processing  # noqa: E402
from processing.core.ProcessingConfig import ProcessingConfig  # noqa: E402

Processing.initialize()
from tavelkorn_processing import native  # noqa: E402
from tavelkorn_processing.provider import TavelkornProvider  # noqa: E402

provider = TavelkornProvider()  # kept: Python overrides live in this object
QgsApplication.processingRegistry().addProvider(provider)

PROG, SRC, TMP = sys.argv[1:4]
DEM = os.path.join(SRC, "examples", "jacksboro.tif")
ALONE = os.path.join(TMP, "alone", "tavelkorn")  # without its GDAL module
os.makedirs(os.path.dirname(ALONE), exist_ok=True)
shutil.copy(PROG, ALONE)
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, file=sys.stderr)


def run(params, program=PROG):
    os.environ["TAVELKORN_PROGRAM"] = program
    return processing.run("tavelkorn:roughness", params, feedback=QgsProcessingFeedback())


def refused(params, program=PROG):
    """The failure's message, or None when the run succeeded."""
    try:
        run(params, program)
    except QgsProcessingException as e:
        return str(e)
    return None


def image(path):
    ds = gdal.Open(path)
    band = ds.GetRasterBand(1)
    return band.ReadAsArray(), band.GetMaskBand().ReadAsArray()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def contents(path):
    return {n: read(os.path.join(path, n)) for n in sorted(os.listdir(path))}


def folder(path):
    return sorted(os.listdir(path))


def fresh(name):
    d = os.path.join(TMP, name)
    os.makedirs(d)
    return d


subprocess.run([PROG, "-q", DEM, os.path.join(TMP, "ref.tif")], check=True)
REF = image(os.path.join(TMP, "ref.tif"))

# A layer's file name with '|' in it: the same pixels as the DEM's, never
# those of "site", the name before the '|', which is another DEM here.
names = fresh("names")
ds = gdal.Open(DEM)
flipped = gdal.GetDriverByName("GTiff").CreateCopy(os.path.join(names, "site"), ds)
flipped.GetRasterBand(1).WriteArray(ds.GetRasterBand(1).ReadAsArray()[::-1])
flipped = ds = None
shutil.copy(DEM, os.path.join(names, "site|2021.tif"))
shutil.copy(DEM, os.path.join(names, "a|b.tif"))
with zipfile.ZipFile(os.path.join(names, "z.zip"), "w") as z:  # the provider splits /vsizip/ names too
    z.write(DEM, "dem.tif")
zipped = QgsRasterLayer("/vsizip/%s/z.zip/dem.tif" % names, "zipped", "gdal")  # as a project holds it
for name, program in [("site|2021.tif", PROG), ("site|2021.tif", ALONE), ("a|b.tif", PROG), ("a|b.tif", ALONE),
                      (zipped, PROG), (zipped, ALONE)]:
    out = os.path.join(TMP, "names.tif")
    message = refused({"INPUT": name if zipped is name else os.path.join(names, name), "OUTPUT": out}, program)
    check(message is None and all(np.array_equal(a, b) for a, b in zip(image(out), REF)),
          "%s with %s: %s" % (getattr(name, "source", lambda: name)(), os.path.basename(os.path.dirname(program)), message or "other pixels"))
    if os.path.exists(out):
        os.remove(out)

# Results that are the input (by another name too) or each other: refused
# before anything, with the program without GDAL (which sees only a copy
# of the DEM) and with it; nothing changed, nothing left.
same = fresh("same")
dem = os.path.join(same, "dem.tif")
shutil.copy(DEM, dem)
os.link(dem, os.path.join(same, "link.tif"))
os.symlink("dem.tif", os.path.join(same, "sym.tif"))
with zipfile.ZipFile(os.path.join(same, "dem.zip"), "w") as z:
    z.write(DEM, "dem.tif")
inside = QgsRasterLayer("/vsizip/" + os.path.join(same, "dem.zip", "dem.tif"), "inside", "gdal")
before = contents(same)
for program in (ALONE, PROG):
    for params, said in [({"INPUT": dem, "OUTPUT": dem}, "OUTPUT: %s is the input" % dem),
                         ({"INPUT": dem, "OUTPUT": os.path.join(same, "link.tif")}, "is the input DEM's file"),
                         ({"INPUT": dem, "OUTPUT": os.path.join(same, "sym.tif")}, "is the input DEM's file"),
                         ({"INPUT": inside, "OUTPUT": os.path.join(same, "dem.zip")}, "is the input DEM's file"),
                         ({"INPUT": dem, "OUTPUT": os.path.join(same, "o.tif"), "PROFILE": dem}, "PROFILE: "),
                         ({"INPUT": dem, "OUTPUT": os.path.join(same, "o.tif"), "PROFILE": os.path.join(same, "o.tif")},
                          "OUTPUT and PROFILE: both name"),
                         ({"INPUT": dem, "OUTPUT": same}, "is a folder")]:
        message = refused(params, program)
        check(message and said in message, "%s: %s" % (params["OUTPUT"], message))
        check(contents(same) == before,
              "%s: the folder changed" % params["OUTPUT"])

# Without GDAL, the image is written beside OUTPUT and renamed into place
# once read back: a full disk (a file-size limit) or a file cut after it was
# closed leaves the previous results whole and nothing else.
def size_limit(write):
    def limited(*args):
        old = resource.getrlimit(resource.RLIMIT_FSIZE)
        handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a failed write, not a killed process
        resource.setrlimit(resource.RLIMIT_FSIZE, (20000, old[1]))
        try:
            write(*args)
        finally:
            resource.setrlimit(resource.RLIMIT_FSIZE, old)
            signal.signal(signal.SIGXFSZ, handler)
    return limited


def cut_after(write):
    def cut(path, *args):
        translate = native.gdal.Translate

        def translate_and_cut(dest, *a, **k):
            ds = translate(dest, *a, **k)
            ds = None
            os.truncate(dest, 40000)
            return gdal.OpenEx(dest)  # the driver's check is passed; ours must not be
        native.gdal.Translate = translate_and_cut
        try:
            write(path, *args)
        finally:
            native.gdal.Translate = translate
    return cut


write_image = native.write_image
for fault in (size_limit, cut_after, None):
    disk = fresh("disk_%s" % (fault.__name__ if fault else "none"))
    out, profile = os.path.join(disk, "r.tif"), os.path.join(disk, "r.xls")
    for path in (out, profile):
        with open(path, "wb") as f:
            f.write(b"previous" * 6000)
    native.write_image = fault(write_image) if fault else write_image
    try:
        message = refused({"INPUT": DEM, "OUTPUT": out, "PROFILE": profile}, ALONE)
    finally:
        native.write_image = write_image
    check(folder(disk) == ["r.tif", "r.xls"], "%s: left %s" % (fault, folder(disk)))
    replaced = [read(p) != b"previous" * 6000 for p in (out, profile)]
    if fault:
        check(message and "r.tif" in message and replaced == [False, False], "%s: %s, replaced %s"
              % (fault.__name__, message, replaced))
    else:
        check(message is None and replaced == [True, True] and np.array_equal(image(out)[0], REF[0]),
              "the native path: %s" % message)

# QGIS's GDAL as the run found it, whether the run succeeds or fails, and
# whatever the state was: exceptions off or on, the mask option unset or NO.
for exceptions, option, band in [(False, None, 1), (True, "NO", 1), (False, None, 5), (True, None, 5)]:
    if exceptions:
        gdal.UseExceptions()
    else:
        gdal.DontUseExceptions()
    gdal.SetConfigOption("GDAL_TIFF_INTERNAL_MASK", option)
    out = os.path.join(fresh("state_%s_%s_%d" % (exceptions, option, band)), "r.tif")
    message = refused({"INPUT": DEM, "BAND": band, "OUTPUT": out}, ALONE)
    state = (bool(gdal.GetUseExceptions()), gdal.GetConfigOption("GDAL_TIFF_INTERNAL_MASK"))
    check(state == (exceptions, option), "GDAL state %s became %s" % ((exceptions, option), state))
    check((message is None) == (band == 1) and not os.path.exists(out + ".msk"),
          "band %d with GDAL state %s: %s" % (band, (exceptions, option), message))
    if not exceptions:
        check(gdal.Open(os.path.join(TMP, "missing.tif")) is None, "a missing file no longer gives None")
gdal.DontUseExceptions()
gdal.SetConfigOption("GDAL_TIFF_INTERNAL_MASK", None)

# A program named explicitly that cannot run is an error naming it, never
# another tavelkorn from the PATH (here one that leaves a mark); empty is
# "not set".
named = fresh("named")
decoy, mark = os.path.join(named, "path", "tavelkorn"), os.path.join(named, "mark")
os.makedirs(os.path.dirname(decoy))
with open(decoy, "w") as f:
    f.write("#!/bin/sh\ntouch '%s'\nexec '%s' \"$@\"\n" % (mark, PROG))
os.chmod(decoy, 0o755)
plain = os.path.join(named, "plain")
shutil.copy(PROG, plain)
os.chmod(plain, 0o644)
os.environ["PATH"] = os.path.dirname(decoy) + os.pathsep + os.environ["PATH"]
missing = os.path.join(named, "nothing")
for setting, env, said in [("", named, named + " (named by TAVELKORN_PROGRAM): a folder"),
                           ("", plain, plain + " (named by TAVELKORN_PROGRAM): not executable"),
                           ("", missing, missing + " (named by TAVELKORN_PROGRAM): no such file"),
                           (named, PROG, named + " (named by Processing's option"),
                           (missing, PROG, missing + " (named by Processing's option Providers > Tavelkorn): no such"),
                           ("", "", None), (PROG, missing, None)]:
    # set past the dialogue's check, as a program removed after it was chosen
    ProcessingConfig.settings["TAVELKORN_PROGRAM"].value = setting
    out = os.path.join(named, "r.tif")
    message = refused({"INPUT": DEM, "OUTPUT": out}, env)
    if said:
        check(message and said in message and not os.path.exists(mark), "%r %r: %s" % (setting, env, message))
    else:
        check(message is None and os.path.exists(mark) == (env == ""), "%r %r: %s" % (setting, env, message))
    for path in (out, mark):
        if os.path.exists(path):
            os.remove(path)
ProcessingConfig.settings["TAVELKORN_PROGRAM"].value = ""

# STRETCH checked before the run, by the program's rule.
alg = QgsApplication.processingRegistry().algorithmById("tavelkorn:roughness")
context = QgsProcessingContext()
for stretch, ok in [("half", True), ("full", True), ("p99", True), ("p99.5", True), ("p100", True), ("p.5", True),
                    (" p99 ", True), ("", True), ("p0", False), ("p100.01", False), ("p", False), ("p-1", False),
                    ("bogus", False), ("P99", False), ("p99%", False), ("p1_0", False), ("pnan", False)]:
    valid, message = alg.checkParameterValues({"INPUT": DEM, "STRETCH": stretch, "OUTPUT": "r.tif"}, context)
    check(valid == ok and (ok or "STRETCH %s:" % stretch.strip() in message), "STRETCH %r: %s" % (stretch, message))

if failures:
    sys.exit("%d failures" % len(failures))
print("plugin edges: ok")
