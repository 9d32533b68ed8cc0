# Makes a small GeoTIFF for the layout tests, and the native DEM of the
# same cells beside it (NAME_n.raw and NAME_n.txt, missing cells -2000000000)
# when its values are whole.
#   make_geotiff.py NAME TYPE LAYOUT ORDER MISSING VALUES [ROWS COLUMNS]
# TYPE: a GDAL type; LAYOUT: strips1, strips7, whole, tiles16, tiles256,
# sparse, mask, deflate, nbits12, predictor, signed (bytes); ORDER: LE or BE; MISSING:
# none, nodata or nan; VALUES: whole, fractions or huge.
import sys

import numpy as np
from osgeo import gdal

name, typ, layout, order, missing, values = sys.argv[1:7]
rows, cols = (int(sys.argv[7]), int(sys.argv[8])) if len(sys.argv) > 8 else (43, 61)
gdal.UseExceptions()

# Asymmetric elevations, within the type's range.
i, j = np.mgrid[0:rows, 0:cols]
base = (i * 37 + j * j * 11 + (i * j) % 13 + (i % 5) * (j % 7) * 29).astype(np.float64)
span = {"Byte": (0, 250), "Int16": (-3000, 20000), "UInt16": (30000, 65000), "Int32": (-900000, 1200000),
        "UInt32": (100000, 3000000), "Float32": (-400, 9000), "Float64": (-50000, 70000)}[typ]
if layout == "nbits12":
    span = (0, 4000)
z = span[0] + base % (span[1] - span[0])
if values == "fractions":
    z = z / 8.0 + 0.5 * ((i + j) % 3 == 0)
if values == "huge":
    z[rows // 2, cols // 3] = 3.5e9
nodata = {"Byte": 255, "Int16": -32768, "UInt16": 65535, "Int32": -999999, "UInt32": 4000000,
          "Float32": -9999.5, "Float64": -1e300}[typ]
gone = (i * 7 + j * 3) % 17 == 0
if missing == "nodata":
    z[gone] = nodata
if missing == "nan":
    z[gone] = np.nan

options = ["ENDIANNESS=" + ("BIG" if order == "BE" else "LITTLE")]
if layout == "signed":
    options.append("PIXELTYPE=SIGNEDBYTE")
options += {"strips1": ["BLOCKYSIZE=1"], "strips7": ["BLOCKYSIZE=7"], "whole": ["BLOCKYSIZE=%d" % rows],
            "tiles16": ["TILED=YES", "BLOCKXSIZE=16", "BLOCKYSIZE=16"],
            "tiles256": ["TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=256"],
            "sparse": ["TILED=YES", "BLOCKXSIZE=16", "BLOCKYSIZE=16", "SPARSE_OK=TRUE"],
            "mask": ["BLOCKYSIZE=7"], "deflate": ["TILED=YES", "BLOCKXSIZE=16", "BLOCKYSIZE=16", "COMPRESS=DEFLATE"],
            "nbits12": ["BLOCKYSIZE=7", "NBITS=12"], "predictor": ["BLOCKYSIZE=7", "PREDICTOR=2"],
            "signed": ["BLOCKYSIZE=7"]}[layout]
gdal.SetConfigOption("GDAL_TIFF_INTERNAL_MASK", "YES")
ds = gdal.GetDriverByName("GTiff").Create(name + ".tif", cols, rows, 1, gdal.GetDataTypeByName(typ), options)
ds.SetGeoTransform([500000, 30, 0, 4000000, 0, -30])
band = ds.GetRasterBand(1)
if missing == "nodata":
    band.SetNoDataValue(nodata)
if layout == "sparse":
    z[0:16, :] = 0  # the blocks never written read as 0
    band.WriteArray(z[16:, :], 0, 16)
else:
    band.WriteArray(z)
if layout == "mask":
    ds.CreateMaskBand(gdal.GMF_PER_DATASET)
    ds.GetRasterBand(1).GetMaskBand().WriteArray(np.where(gone, 0, 255).astype(np.uint8))
ds = None

if values == "whole" and layout not in ("mask", "signed"):
    k = np.where(gone, -2000000000, z) if missing != "none" else z
    k = k.astype("<i4")
    k.tofile(name + "_n.raw")
    with open(name + "_n.txt", "w") as f:
        f.write("%d\n%d\n4\n0\n0\n30\n" % (rows, cols))
