"""The algorithm tavelkorn:roughness: its parameters and its help."""
from qgis.core import (QgsProcessingAlgorithm, QgsProcessingException, QgsProcessingParameterBand,
                       QgsProcessingParameterEnum, QgsProcessingParameterFileDestination,
                       QgsProcessingParameterNumber, QgsProcessingParameterRasterDestination,
                       QgsProcessingParameterRasterLayer, QgsProcessingParameterString)

from . import runner

TERMS = ["classic", "curvature"]
TYPES = ["Byte", "Float32"]

HELP = """<p>Measures along every row of a DEM how far the local bend of the terrain departs from the row's mean bend, and stretches that into an image.</p>
<p><b>Term</b>: <i>classic</i> is 4 z[j] - z[j-1] - z[j+1], which follows elevation itself once the row mean is taken away (a tilted plane is not flat); <i>curvature</i> is the second difference 2 z[j] - z[j-1] - z[j+1], zero on any plane: it shows where the terrain bends (ridges, valley floors, breaks of slope) more or less than is usual along its row. Terms and row means are exact.</p>
<p><b>Stretch</b> (Byte output): <i>half</i> maps half the largest deviation of the window (the grid less a 2-pixel border) to 0 and the largest to the normalisation value, bytes wrapping above 255 (the original program's); <i>full</i> gives d / dmax x norm; <i>pP</i> (p99, p99.5 ...) gives d / (the P-th percentile of the window's deviations, within 1%) x norm. full and pP saturate at norm. <i>curvature</i> with <i>p99</i> shows the whole relief.</p>
<p><b>Float32</b> writes the deviation |t - mean| in elevation units (divided by the z-scale).</p>
<p><b>Missing cells</b> (the band's nodata, NaN): a term exists only where a cell and both its neighbours are present; missing cells are masked in the output.</p>
<p>Runs the tavelkorn program (the provider's setting, TAVELKORN_PROGRAM, beside the plugin, or the PATH). A program without GDAL (the Windows zip) still takes any layer: the band is converted to the program's native Int32 grid with QGIS's GDAL (the z-scale applied and rounded half away from zero as the command line does; missing cells passed with --nodata, so they are treated exactly as the command line treats them), and the result written as a GeoTIFF with the layer's georeferencing and a mask of the missing cells: the same pixels as a program with GDAL writes. Float32 needs a program with GDAL.</p>"""


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
        self.addParameter(QgsProcessingParameterString("STRETCH", "Stretch: half, full or pP (p99 ...)", "half",
                                                       optional=True))
        self.addParameter(QgsProcessingParameterEnum("TYPE", "Output type", TYPES, defaultValue=0, optional=True))
        self.addParameter(QgsProcessingParameterRasterDestination("OUTPUT", "Roughness"))
        self.addParameter(QgsProcessingParameterFileDestination("PROFILE", "Profile table", "Tab-separated (*.xls *.txt)",
                                                                optional=True, createByDefault=False))
        self.addParameter(QgsProcessingParameterFileDestination("REPORT", "Run report", "Text (*.txt)",
                                                                optional=True, createByDefault=False))

    def processAlgorithm(self, parameters, context, feedback):
        layer = self.parameterAsRasterLayer(parameters, "INPUT", context)
        if layer is None:
            raise QgsProcessingException("INPUT: not a raster layer QGIS can open")
        band = self.parameterAsInt(parameters, "BAND", context) if parameters.get("BAND") is not None else 1
        run = runner.Run(
            source=layer.source().split("|")[0],
            band=band or 1,
            norm=self.parameterAsInt(parameters, "NORM", context) if parameters.get("NORM") is not None else 255,
            z_scale=self.parameterAsDouble(parameters, "Z_SCALE", context) if parameters.get("Z_SCALE") is not None else 1.0,
            term=TERMS[self.parameterAsEnum(parameters, "TERM", context)],
            stretch=(self.parameterAsString(parameters, "STRETCH", context) or "half").strip(),
            type_=TYPES[self.parameterAsEnum(parameters, "TYPE", context)],
            output=self.parameterAsOutputLayer(parameters, "OUTPUT", context),
            profile=self.parameterAsFileOutput(parameters, "PROFILE", context) if parameters.get("PROFILE") else "",
            report=self.parameterAsFileOutput(parameters, "REPORT", context) if parameters.get("REPORT") else "",
        )
        runner.execute(run, feedback)
        results = {"OUTPUT": run.output}
        if run.profile:
            results["PROFILE"] = run.profile
        if run.report:
            results["REPORT"] = run.report
        return results
