"""The algorithm tavelkorn:roughness: its parameters, its help, and which
way it runs (the program with GDAL reads the layer itself; one without is
given the band by native.py)."""
from qgis.core import (QgsProcessingAlgorithm, QgsProcessingException, QgsProcessingParameterBand,
                       QgsProcessingParameterBoolean, QgsProcessingParameterEnum,
                       QgsProcessingParameterFileDestination, QgsProcessingParameterNumber,
                       QgsProcessingParameterRasterDestination, QgsProcessingParameterRasterLayer,
                       QgsProcessingParameterString, QgsProviderRegistry)

from . import native, runner

TERMS = ["classic", "curvature"]
DIRECTIONS = ["rows", "columns", "both"]
TYPES = ["Byte", "Float32"]

HELP = """<p>Measures along every row of a DEM how far the local bend of the terrain departs from the row's mean bend, and stretches that into an image.</p>
<p><b>Term</b>: <i>classic</i> is 4 z[j] - z[j-1] - z[j+1], which follows elevation itself once the row mean is taken away (a tilted plane is not flat); <i>curvature</i> is the second difference 2 z[j] - z[j-1] - z[j+1], zero on any plane: it shows where the terrain bends (ridges, valley floors, breaks of slope) more or less than is usual along its row. Terms and row means are exact.</p>
<p><b>Direction</b>: <i>rows</i> (the default) takes the term along each row against the row's mean, so a ridge or valley running along the rows does not show; <i>columns</i> takes it down each column against the column's mean; <i>both</i> keeps at each cell the larger of the two deviations.</p>
<p><b>Stretch</b> (Byte output): <i>half</i> maps half the largest deviation of the window (the grid less a 2-pixel border) to 0 and the largest to the normalisation value, bytes wrapping above 255 (the original program's); <i>full</i> gives d / dmax x norm; <i>pP</i> (p99, p99.5 ...) gives d / (the P-th percentile of the window's deviations, within 1%) x norm. full and pP saturate at norm. <i>curvature</i> with <i>p99</i> shows the whole relief.</p>
<p><b>Scales</b>: the scale K in cells takes the term between a cell and the cells K away (c z[j] - z[j-K] - z[j+K]) against the row's (or column's) mean, in a window less a border K + 1 cells wide; 1, the default, is the pixel's. A fault zone, a moraine field or a dune train each shows at its own scale. A list, K1,K2,... or A:B[:STEP] (B included; sorted, duplicates merged, 64 at most), gives one band a scale, each stretched by its own reference and described "scale K" with its TAVELKORN_DMAX and TAVELKORN_REFERENCE metadata; the profile gets a column a scale. <b>Scale summary</b> (several scales, Byte): two bands instead, the largest byte over the scales at each cell and the smallest scale that has it (0 where that byte is 0 or the cell is missing; scales up to 255).</p>
<p><b>Float32</b> writes the deviation |t - mean| in elevation units (divided by the z-scale).</p>
<p><b>Missing cells</b> (the band's nodata, NaN): a term exists only where a cell and both cells it takes are present; missing cells are masked in the output.</p>
<p>Runs the tavelkorn program (the provider's setting, TAVELKORN_PROGRAM, beside the plugin, or the PATH), which checks STRETCH, SCALES and SCALE_SUMMARY before anything runs. A program without GDAL (the Windows zip) still takes any layer: QGIS's GDAL hands it the band as a native grid of the band's own type (Byte and Int8 as Int16, Int64 and UInt64 as Float64, whose values up to 2^53 it holds exactly) with the band's nodata, the program reads it, applies the z-scale and rounds as it does any GDAL band, and the plugin writes its image as a GeoTIFF with the layer's georeferencing and a mask of the missing cells: the same pixels as a program with GDAL writes, without the TAVELKORN_ metadata (the report has the values). Float32, several scales and the scale summary need a program with GDAL.</p>"""


class RoughnessAlgorithm(QgsProcessingAlgorithm):
    def name(self):
        return "roughness"

    def displayName(self):
        return "Roughness image"

    def group(self):
        return "Terrain roughness"

    def groupId(self):
        return "roughness"

    def shortHelpString(self):
        return HELP

    def createInstance(self):
        return RoughnessAlgorithm()

    def initAlgorithm(self, config=None):
        self.addParameter(QgsProcessingParameterRasterLayer("INPUT", "DEM"))
        self.addParameter(QgsProcessingParameterBand("BAND", "Band", 1, "INPUT", optional=True))
        self.addParameter(QgsProcessingParameterNumber("NORM", "Normalisation value (255 at most)",
                                                       QgsProcessingParameterNumber.Integer, 255, optional=True))
        self.addParameter(QgsProcessingParameterNumber("Z_SCALE", "Z-scale (elevations are multiplied by it)",
                                                       QgsProcessingParameterNumber.Double, 1.0, optional=True))
        self.addParameter(QgsProcessingParameterEnum("TERM", "Term", TERMS, defaultValue=0, optional=True))
        self.addParameter(QgsProcessingParameterEnum("DIRECTION", "Direction", DIRECTIONS, defaultValue=0,
                                                     optional=True))
        self.addParameter(QgsProcessingParameterString("STRETCH", "Stretch: half, full or pP (p99 ...)", "half",
                                                       optional=True))
        self.addParameter(QgsProcessingParameterString("SCALES", "Scales in cells: K, K1,K2,... or A:B[:STEP] "
                                                       "(one band a scale)", "1", optional=True))
        self.addParameter(QgsProcessingParameterBoolean("SCALE_SUMMARY", "Scale summary: the largest byte over the "
                                                        "scales and the smallest scale that has it", False,
                                                        optional=True))
        self.addParameter(QgsProcessingParameterEnum("TYPE", "Output type", TYPES, defaultValue=0, optional=True))
        self.addParameter(QgsProcessingParameterRasterDestination("OUTPUT", "Roughness"))
        self.addParameter(QgsProcessingParameterFileDestination("PROFILE", "Profile table", "Tab-separated (*.xls *.txt)",
                                                                optional=True, createByDefault=False))
        self.addParameter(QgsProcessingParameterFileDestination("REPORT", "Run report", "Text (*.txt)",
                                                                optional=True, createByDefault=False))

    def checkParameterValues(self, parameters, context):
        # refused here, a bad value is said once and nothing starts; the
        # program says what it takes
        problem = runner.refused(self.text(parameters, "STRETCH", context, "half"),
                                 self.text(parameters, "SCALES", context, "1"),
                                 self.parameterAsBoolean(parameters, "SCALE_SUMMARY", context),
                                 TYPES[self.parameterAsEnum(parameters, "TYPE", context)])
        if problem:
            return False, problem
        return super().checkParameterValues(parameters, context)

    def text(self, parameters, name, context, default):
        return (self.parameterAsString(parameters, name, context) or "").strip() or default

    def processAlgorithm(self, parameters, context, feedback):
        layer = self.parameterAsRasterLayer(parameters, "INPUT", context)
        if layer is None:
            raise QgsProcessingException("INPUT: not a raster layer QGIS can open")
        source, source_file = layer_source(layer, feedback)
        band = self.parameterAsInt(parameters, "BAND", context) if parameters.get("BAND") is not None else 1
        run = runner.Run(
            source=source,
            source_file=source_file,
            band=band or 1,
            norm=self.parameterAsInt(parameters, "NORM", context) if parameters.get("NORM") is not None else 255,
            z_scale=self.parameterAsDouble(parameters, "Z_SCALE", context) if parameters.get("Z_SCALE") is not None else 1.0,
            term=TERMS[self.parameterAsEnum(parameters, "TERM", context)],
            direction=DIRECTIONS[self.parameterAsEnum(parameters, "DIRECTION", context)],
            stretch=self.text(parameters, "STRETCH", context, "half"),
            scales=self.text(parameters, "SCALES", context, "1"),
            summary=self.parameterAsBoolean(parameters, "SCALE_SUMMARY", context),
            type_=TYPES[self.parameterAsEnum(parameters, "TYPE", context)],
            output=self.parameterAsOutputLayer(parameters, "OUTPUT", context),
            profile=self.parameterAsFileOutput(parameters, "PROFILE", context) if parameters.get("PROFILE") else "",
            report=self.parameterAsFileOutput(parameters, "REPORT", context) if parameters.get("REPORT") else "",
        )
        runner.check_results(run)
        prog = runner.program()
        if runner.has_gdal(prog):
            runner.follow(runner.arguments(run, prog, run.source, run.output), feedback)
        else:
            native.execute(run, prog, feedback)
        results = {"OUTPUT": run.output}
        if run.profile:
            results["PROFILE"] = run.profile
        if run.report:
            results["REPORT"] = run.report
        return results


def layer_source(layer, feedback):
    """The name GDAL opens for the layer and the file it reads, as the
    layer's provider reads its source: '|' separates QGIS's own parts of a
    source, but a file name may hold one too."""
    if layer.providerType() != "gdal":
        raise QgsProcessingException("INPUT: a %s layer; tavelkorn reads what GDAL opens" % layer.providerType())
    parts = QgsProviderRegistry.instance().decodeUri("gdal", layer.source())
    path = parts.get("path") or ""
    if not path:
        raise QgsProcessingException("INPUT: %s names no file" % layer.source())
    name = (parts.get("vsiPrefix") or "") + path + (parts.get("vsiSuffix") or "")
    if parts.get("layerName"):
        if not name.lower().endswith(".gpkg"):
            raise QgsProcessingException("INPUT: %s: a sublayer tavelkorn cannot name" % layer.source())
        name = "GPKG:%s:%s" % (name, parts["layerName"])
    if parts.get("openOptions"):
        feedback.pushWarning("INPUT: the layer's open options (%s) are not passed to tavelkorn"
                             % " ".join(parts["openOptions"]))
    return name, path
