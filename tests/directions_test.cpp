// --direction: a ridge along the rows shows down the columns only; every
// way of reading the DEM (streamed, decoded once and kept or spilled, one
// thread or three) writes the same bytes in every direction.
#include "e2e.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

TEST(Directions, ARidgeAlongTheRowsShowsDownTheColumnsOnly)
{
    // 9 x 11, row 4 at 50 and the rest 0: every row is flat along itself
    // (no deviation: all 0, and said), while down the columns row 4's term
    // is 200 (classic), rows 3 and 5 are -50, mean 100 / 7 = 14: deviations
    // 186 and 64 in the window, so row 4 is 255 and rows 3 and 5 stay 0.
    Site s;
    std::vector<int32_t> z(99, 0);
    for (int j = 0; j < 11; j++) z[(size_t)(44 + j)] = 50;
    s.dem("r.raw", z);
    s.text("r.txt", "9\n11\n4\n0\n0\n1\n");
    Outcome rows = s.cli("-q r.raw rows.raw --report rows_info.txt");
    ASSERT_EQ(s.cli("-q r.raw cols.raw --direction columns --report cols_info.txt").status, 0);
    ASSERT_EQ(s.cli("-q r.raw both.raw --direction both").status, 0);
    EXPECT_EQ(s.file("rows.raw"), Bytes(99, 0));
    EXPECT_NE(rows.err.find("no deviation inside the search window"), std::string::npos) << rows.err;
    Bytes voulu(99, 0);
    for (int j = 0; j < 11; j++) voulu[(size_t)(44 + j)] = 255;
    EXPECT_EQ(s.file("cols.raw"), voulu);
    EXPECT_EQ(s.file("both.raw"), voulu);
    EXPECT_NE(s.text("cols_info.txt").find("\tDirection : columns \r\n"), std::string::npos);
    EXPECT_EQ(s.text("rows_info.txt").find("Direction"), std::string::npos);  // along rows, as before
}

TEST(Directions, EveryWayOfReadingWritesTheSameBytes)
{
    Site s;
    fs::copy_file(std::string(SAMPLE_DIR) + "/../../jacksboro.tif", s.path("dem.tif"));
    ASSERT_EQ(s.sh("gdal_translate -q -outsize 1000 2000 -ot Int32 dem.tif big.tif && "
                   "gdal_translate -q -co COMPRESS=DEFLATE -co TILED=YES -co BLOCKXSIZE=64 -co BLOCKYSIZE=64 big.tif "
                   "big_z.tif && gdal_translate -q -of ENVI big.tif big.bin && /usr/bin/python3 -c \"from osgeo import gdal; "
                   "b = gdal.Open('big.tif').GetRasterBand(1); print(b.YSize, b.XSize, 4, 0, 0, 1, sep='\\n')\" > big.txt && "
                   "cp big.bin big.raw && gdalinfo big.tif | grep -q 'NoData Value=-32768'"),
              0);
    for (const char* d : {"columns", "both"})
        for (const char* e : {"half", "p99"}) {
            std::string opts = std::string(" --direction ") + d + " --stretch " + e + " -q";
            std::string out;
            EXPECT_EQ(s.sh("$T big.tif a.tif" + opts + " --threads 1 && $T big.tif b.tif" + opts + " --threads 3 && "
                           "$T big_z.tif c.tif" + opts + " && $T big_z.tif d.tif" + opts + " --memory 0 --threads 2 && "
                           "$T big.raw e.tif" + opts + " --nodata -32768 && "
                           "for f in a b c d e; do gdal_translate -q -of ENVI $f.tif $f.bin; done && "
                           "cmp a.bin b.bin && cmp a.bin c.bin && cmp a.bin d.bin && cmp a.bin e.bin && cmp a.tif b.tif && "
                           "gdalinfo a.tif | grep -q TAVELKORN_DIRECTION=" + d,
                           &out),
                      0)
                << d << " " << e << "\n" << out;
        }
}
