"""The plugin's edges in one PyQGIS process: names with '|', results that are the input, a full disk,
QGIS's GDAL state, the program named, STRETCH and SCALES. usage: qgis_plugin_test.py PROGRAM SOURCE_DIR SCRATCH_DIR"""
import os, pathlib, resource, shutil, signal, subprocess, sys, zipfile  # noqa: E401
from qgis.core import (QgsApplication, QgsProcessingContext, QgsProcessingException, QgsProcessingFeedback,
                       QgsRasterLayer)

QgsApplication.setPrefixPath("/usr", True)
app = QgsApplication([], False)
app.initQgis()
sys.path[:0] = [os.path.join(sys.argv[2], "qgis"), "/usr/share/qgis/python/plugins"]
import numpy as np, processing  # noqa: E401,E402
from osgeo import gdal  # noqa: E402
from processing.core.Processing import Processing  # noqa: E402
from processing.core.ProcessingConfig import ProcessingConfig  # noqa: E402
from tavelkorn_processing.provider import TavelkornProvider  # noqa: E402

Processing.initialize()
provider = TavelkornProvider()  # kept: Python overrides live in this object
QgsApplication.processingRegistry().addProvider(provider)
PROG, SRC, T = sys.argv[1:4]
DEM, ALONE, failures = SRC + "/examples/jacksboro.tif", T + "/alone/tavelkorn", []  # ALONE: without GDAL
for d in ("alone", "same", "disk", "types", "named/path"):
    os.makedirs(os.path.join(T, d))
shutil.copy(PROG, ALONE)


def expect(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, file=sys.stderr)


class Said(QgsProcessingFeedback):  # the warnings a run gives
    def __init__(self):
        super().__init__()
        self.warnings = []

    def pushWarning(self, warning):
        self.warnings.append(warning)


def run(program, feedback=None, **params):  # the failure's message, or None
    os.environ["TAVELKORN_PROGRAM"] = program
    try:
        processing.run("tavelkorn:roughness", params, feedback=feedback)
    except QgsProcessingException as e:
        return str(e)


def contents(d):
    return {p.name: p.read_bytes() for p in pathlib.Path(d).iterdir()}


# '|' in a file name, and a /vsizip/ name the provider splits: the DEM's pixels
same = T + "/same/"
shutil.copy(DEM, same + "a|b.tif")
os.link(same + "a|b.tif", same + "link.tif")
with zipfile.ZipFile(same + "z.zip", "w") as z:
    z.write(DEM, "dem.tif")
zipped = QgsRasterLayer("/vsizip/%sz.zip/dem.tif" % same, "z", "gdal")  # as a project holds it
subprocess.run([PROG, "-q", DEM, T + "/ref.tif"], check=True)
for layer in (same + "a|b.tif", zipped):
    for program in (PROG, ALONE):
        message = run(program, INPUT=layer, OUTPUT=T + "/names.tif")
        expect(not message and np.array_equal(gdal.Open(T + "/names.tif").ReadAsArray(),
                                              gdal.Open(T + "/ref.tif").ReadAsArray()), "%s: %s" % (layer, message))

# results that are the input or each other: refused before anything, nothing changed
before = contents(same)
for program in (ALONE, PROG):
    for input_, output, profile, said in [
            ("a|b.tif", "a|b.tif", "", "OUTPUT: %sa|b.tif is the input DEM's file" % same),
            ("a|b.tif", "link.tif", "", "is the input DEM's file"), (zipped, "z.zip", "", "is the input DEM's file"),
            ("a|b.tif", "o.tif", "a|b.tif", "PROFILE: "), ("a|b.tif", "o.tif", "o.tif", "OUTPUT and PROFILE: both"),
            ("a|b.tif", "", "", "is a folder")]:
        message = run(program, INPUT=input_ if zipped is input_ else same + input_, OUTPUT=same + output,
                      **({"PROFILE": same + profile} if profile else {}))
        expect(message and said in message and contents(same) == before, "%s %s: %s" % (output, profile, message))

# without GDAL, a full disk (a file-size limit) or an image cut short after closing leaves
# the previous results whole and nothing else
translate = gdal.Translate


def failing(cut):
    def translate_and_fail(dest, src):
        limit = resource.getrlimit(resource.RLIMIT_FSIZE)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit[1] if cut else 20000, limit[1]))
        try:
            translate(dest, src)  # closed, and so written, within the limit
        finally:
            resource.setrlimit(resource.RLIMIT_FSIZE, limit)
        if cut:
            os.truncate(dest, 40000)
        return gdal.Open(dest)  # as if GDAL took the write for good: the read back must not
    return translate_and_fail


signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write that fails, not a killed process
previous = {n: b"previous" * 6000 for n in ("r.tif", "r.xls", "r.txt")}
for fault, failure in [("full disk", failing(False)), ("cut", failing(True)), ("none", None)]:
    for name, data in previous.items():
        pathlib.Path(T + "/disk/" + name).write_bytes(data)
    gdal.Translate = failure or translate
    message = run(ALONE, INPUT=DEM, OUTPUT=T + "/disk/r.tif", PROFILE=T + "/disk/r.xls", REPORT=T + "/disk/r.txt")
    gdal.Translate, after = translate, contents(T + "/disk")
    expect(sorted(after) == sorted(previous) and (after == previous) == bool(failure) and
           (message or "").startswith("tavelkorn: %s/disk/r.tif: " % T) == bool(failure), "%s: %s" % (fault, message))
report = after["r.txt"]  # names the user's files, not those the program saw
expect(all(os.fsencode(T + "/disk/r.") + x in report for x in (b"tif", b"xls", b"txt")) and
       os.fsencode(DEM) in report and b"tavelkorn-" not in report, "the report names " + str(report))

# QGIS's GDAL as found, the run succeeding (band 2 of 2) or failing (5), exceptions on or off,
# the mask option set or not
subprocess.run(["gdal_translate", "-q", "-b", "1", "-b", "1", DEM, T + "/two.tif"], check=True)
for exceptions, option, band in [(0, None, 2), (1, "NO", 2), (0, None, 5), (1, None, 5)]:
    (gdal.UseExceptions if exceptions else gdal.DontUseExceptions)()
    gdal.SetConfigOption("GDAL_TIFF_INTERNAL_MASK", option)
    message = run(ALONE, INPUT=T + "/two.tif", BAND=band, OUTPUT=T + "/state.tif")
    state = (gdal.GetUseExceptions(), gdal.GetConfigOption("GDAL_TIFF_INTERNAL_MASK"))
    expect(state == (exceptions, option) and (not message) == (band == 2) and not os.path.exists(T + "/state.tif.msk")
           and (exceptions or gdal.Open(T + "/missing.tif") is None), "%s: %s, %s" % (state, band, message))
gdal.DontUseExceptions()
gdal.SetConfigOption("GDAL_TIFF_INTERNAL_MASK", None)

# without GDAL, every band type GDAL gives, in the program's own types or a wider one that holds its values:
# the same pixels, mask, place on the map, warnings and failures as the program with GDAL, nothing left behind
z = gdal.Open(DEM).ReadAsArray().astype(np.float64)
hole = z == -32768
hole[100:110, 200:260] = True  # missing cells away from the border too
types = T + "/types/"


def typed(name, kind, values, nodata=None, options=()):
    ds = gdal.GetDriverByName("GTiff").Create(types + name, z.shape[1], z.shape[0], 1, kind, list(options))
    ds.SetGeoTransform(gdal.Open(DEM).GetGeoTransform())
    ds.SetProjection(gdal.Open(DEM).GetProjection())
    if nodata is not None:
        ds.GetRasterBand(1).SetNoDataValue(nodata)
        values = np.where(hole, nodata, values)
    if "PIXELTYPE=SIGNEDBYTE" in options:
        values = values.astype(np.int8).view(np.uint8)  # GDAL before 3.7 takes a signed byte's bits
    ds.GetRasterBand(1).WriteArray(values)
    return types + name


def image(path):
    ds = gdal.Open(path)
    b = ds.GetRasterBand(1)
    return b.ReadAsArray(), b.GetMaskBand().ReadAsArray(), ds.GetGeoTransform(), ds.GetProjection()


f32, seen = np.where(hole, np.nan, z + 0.25), {}
for dem, params in [
        (typed("byte.tif", gdal.GDT_Byte, z % 251, 255), {"STRETCH": "p99"}),
        (typed("signed.tif", gdal.GDT_Byte, z % 200 - 100, -128, ["PIXELTYPE=SIGNEDBYTE"]), {"TERM": 1}),
        (typed("int16.tif", gdal.GDT_Int16, z, -32768), {"Z_SCALE": 0.37, "DIRECTION": 2}),
        (typed("uint16.tif", gdal.GDT_UInt16, z, 65535), {"Z_SCALE": -2, "STRETCH": "full"}),
        (typed("int32.tif", gdal.GDT_Int32, z * 1000, -2**31), {"SCALES": "3"}),
        (typed("uint32.tif", gdal.GDT_UInt32, z, 4294967295), {"Z_SCALE": 3}),
        (typed("uint32b.tif", gdal.GDT_UInt32, z, 7), {}),
        (typed("float32.tif", gdal.GDT_Float32, f32, -9999.5), {"STRETCH": "p99.5"}),
        (typed("nan.tif", gdal.GDT_Float32, f32), {"TERM": 1, "STRETCH": "p99"}),
        (typed("float64.tif", gdal.GDT_Float64, f32 / 3, np.inf), {"Z_SCALE": 100}),
        (typed("int64.tif", gdal.GDT_Int64, z, -2**63), {"DIRECTION": 1}),
        (typed("uint64.tif", gdal.GDT_UInt64, z), {}),
        (typed("range.tif", gdal.GDT_Int16, z, -32768), {"Z_SCALE": 1e9}),
        (typed("complex.tif", gdal.GDT_CInt16, z), {}),
        (typed("flat.tif", gdal.GDT_Int16, z * 0, -32768), {"PROFILE": types + "r.xls"})]:
    said = []
    for program in (PROG, ALONE):
        feedback = Said()
        message = run(program, feedback, INPUT=dem, OUTPUT=types + "r.tif", **params)
        said.append((message, feedback.warnings, not message and image(types + "r.tif")))
        left = [n for n in os.listdir(types) if n.startswith(".") or "tavelkorn" in n or n.endswith(".msk")]
        expect(not left, "%s: left %s" % (dem, left))
        for n in ("r.tif", "r.xls"):
            pathlib.Path(types + n).unlink(missing_ok=True)
    (gm, gw, gi), (nm, nw, ni) = seen[os.path.basename(dem)] = said
    expect(gm == nm and gw == nw and (gi is False or all(np.array_equal(a, b) for a, b in zip(gi, ni))),
           "%s %s: %s %s / %s %s" % (dem, params, gm, gw, nm, nw))
for name, message, warning in [("range.tif", "range.tif: elevation 483 times --z-scale 1e+09 is", None),
                               ("complex.tif", "complex.tif: complex values are not elevations", None),
                               ("float32.tif", None, "float32.tif: elevations with fractions are rounded"),
                               ("flat.tif", None, "flat.tif: no deviation inside the search window")]:
    (m, w, _), _ = seen[name]
    expect((message in m if message else not m) and (not warning or any(warning in x for x in w)), (name, m, w))
huge = typed("huge.tif", gdal.GDT_Int64, np.where(hole, 0, 2**60), 0)
message = run(ALONE, INPUT=huge, OUTPUT=types + "r.tif", Z_SCALE=1e-12)
expect("huge.tif: Int64 values beyond 2^53 cannot be given exactly" in (message or ""), message)

# SCALES and SCALE_SUMMARY: the bands, their descriptions and metadata, and the profile as the command line
# writes them; without GDAL one scale runs (the same pixels), several are refused before anything is written


def everything(path):
    ds = gdal.Open(path)
    bands = [ds.GetRasterBand(b + 1) for b in range(ds.RasterCount)]
    return (ds.ReadAsArray().tolist(), ds.GetMetadata(), [(b.GetDescription(), b.GetMetadata()) for b in bands],
            bands[0].GetMaskBand().ReadAsArray().tolist())


scaled = T + "/scales/"
os.makedirs(scaled)
for program, params, flags in [(PROG, {"SCALES": "4,1:2"}, ["--scale", "1,2,4"]),
                               (PROG, {"SCALES": "1:4", "SCALE_SUMMARY": True, "TERM": 1, "STRETCH": "p99"},
                                ["--scale", "1:4", "--scale-summary", "--term", "curvature", "--stretch", "p99"]),
                               (ALONE, {"SCALES": "3,3", "DIRECTION": 2}, ["--scale", "3", "--direction", "both"])]:
    message = run(program, INPUT=DEM, OUTPUT=scaled + "q.tif", PROFILE=scaled + "q.xls", **params)
    subprocess.run([PROG, "-q", *flags, DEM, scaled + "c.tif", "--profile", scaled + "c.xls"], check=True)
    q, c = everything(scaled + "q.tif"), everything(scaled + "c.tif")
    same = q == c if program == PROG else q[0] == c[0] and q[3] == c[3]  # without GDAL: no metadata
    profiles = [pathlib.Path(scaled + n).read_bytes() for n in ("q.xls", "c.xls")]
    expect(not message and same and profiles[0] == profiles[1], (params, message))
for params in [{"SCALES": "1,2"}, {"SCALES": "1:8", "SCALE_SUMMARY": True}]:
    before = contents(scaled)
    message = run(ALONE, INPUT=DEM, OUTPUT=scaled + "q.tif", REPORT=scaled + "q.txt", **params)
    expect(message == "tavelkorn: SCALES %s: several scales (and SCALE_SUMMARY) need the tavelkorn program with GDAL; "
           "%s writes one band" % (params["SCALES"], ALONE) and contents(scaled) == before, message)
message = run(PROG, INPUT=DEM, OUTPUT=scaled + "q.bmp", SCALES="1,2")
expect("q.bmp holds one band; several scales need a format that holds bands" in (message or ""), message)

# a program named that cannot run is an error naming it, never the PATH's (which leaves a mark)
named = T + "/named"
pathlib.Path(named + "/path/tavelkorn").write_text("#!/bin/sh\ntouch %s/mark\nexec %s \"$@\"\n" % (named, PROG))
os.chmod(named + "/path/tavelkorn", 0o755)
shutil.copy(DEM, named + "/plain")
os.environ["PATH"] = named + "/path:" + os.environ["PATH"]
env, option = " (named by TAVELKORN_PROGRAM): ", " (named by Processing's option Providers > Tavelkorn): "
for setting, program, said in [("", named, named + env + "a folder"), ("", named + "/plain", "plain" + env + "not ex"),
                               ("", named + "/no", "no" + env + "no such file"), (named, PROG, named + option + "a fo"),
                               (named + "/no", PROG, "no" + option + "no such"), ("", "", None), (PROG, "/no", None)]:
    ProcessingConfig.settings["TAVELKORN_PROGRAM"].value = setting  # past the dialogue's check: removed since
    message = run(program, INPUT=DEM, OUTPUT=named + "/r.tif")
    expect((said in (message or "") if said else not message) and os.path.exists(named + "/mark") == (program == ""),
           "%r %r: %s" % (setting, program, message))
    subprocess.run(["rm", "-f", named + "/mark"])
ProcessingConfig.settings["TAVELKORN_PROGRAM"].value = ""

# STRETCH, SCALES and SCALE_SUMMARY checked before the run, by the program's own --check, its words in the
# parameters' names; a program that cannot run leaves the word to the run
alg, context = QgsApplication.processingRegistry().algorithmById("tavelkorn:roughness"), QgsProcessingContext()
valid = ["half", "full", "p99", "p99.5", "p100", "p.5", " p99 ", ""]
stretches = [({"STRETCH": s}, None if s in valid else "tavelkorn: STRETCH %s: " % s)
             for s in valid + ["p0", "p100.01", "p", "p-1", "bogus", "P99", "p99%", "p1_0", "pnan"]]
scales = [({"SCALES": s}, None) for s in ["1", "1,2,4,8", "1:8:2", " 4 ", "", "2,2,1", "1:64"]] + [
    ({"SCALES": s}, "tavelkorn: SCALES %s: '%s': scales are whole numbers from 1" % (s, bad))
    for s, bad in [("0", "0"), ("-1", "-1"), ("1.5", "1.5"), ("1,,2", ""), ("a", "a"), ("8:1", "8:1"),
                   ("1:65", "1:65"), ("2:4:0", "2:4:0")]]
summaries = [({"SCALES": "1,2", "SCALE_SUMMARY": True}, None), ({"SCALES": "5:255:5", "SCALE_SUMMARY": True}, None),
             ({"SCALE_SUMMARY": True}, "tavelkorn: SCALE_SUMMARY: with several scales (SCALES 1,2,4,8)"),
             ({"SCALES": "1,2", "SCALE_SUMMARY": True, "TYPE": 1}, "tavelkorn: SCALE_SUMMARY with TYPE Float32: "),
             ({"SCALES": "1,256", "SCALE_SUMMARY": True}, "tavelkorn: SCALE_SUMMARY: scale 256: ")]
for program in (PROG, ALONE, "/no"):
    os.environ["TAVELKORN_PROGRAM"] = program
    for params, said in stretches + scales + summaries:
        said = said if program != "/no" else None
        ok, message = alg.checkParameterValues({"INPUT": DEM, "OUTPUT": "r.tif", **params}, context)
        expect(ok == (not said) and (ok or message.startswith(said)) and "--" not in message and "usage" not in message,
               "%s %r: %s" % (program, params, message))
os.environ["TAVELKORN_PROGRAM"] = ALONE
ok, message = alg.checkParameterValues({"INPUT": DEM, "STRETCH": "p0", "OUTPUT": "r.tif"}, context)
expect(message == "tavelkorn: STRETCH p0: half, full, or pP with P in (0, 100], such as p99", message)
if failures:
    sys.exit("%d failures" % len(failures))
print("plugin edges: ok")
