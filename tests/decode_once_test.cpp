// A DEM that GDAL decodes is decoded once: the first pass keeps it, in
// memory or (beyond --memory) in a scratch file. Every layout and every way
// of keeping gives the plain DEM's bytes, and the scratch file never stays.
#include "e2e.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

TEST(DecodeOnce, EveryLayoutAndEveryWayOfKeepingGiveTheSameBytes)
{
    Site s;
    fs::copy_file(std::string(SAMPLE_DIR) + "/../../jacksboro.tif", s.path("dem.tif"));  // with missing cells
    ASSERT_EQ(run_command("cd '" + s.path("") + "' && "
                          "gdal_translate -q -co TILED=YES -co BLOCKXSIZE=16 -co BLOCKYSIZE=16 -co COMPRESS=DEFLATE "
                          "-co PREDICTOR=2 dem.tif tiled.tif && "
                          "gdal_translate -q -co BLOCKYSIZE=7 -co COMPRESS=LZW dem.tif striped.tif && "
                          "gdal_translate -q -srcwin 0 0 200 344 dem.tif w.tif && "
                          "gdal_translate -q -srcwin 200 0 203 344 dem.tif e.tif && gdalbuildvrt -q halves.vrt w.tif e.tif"),
              0);
    ASSERT_EQ(s.cli("--threads 1 --memory 0 dem.tif plain.raw --profile plain.xls").status, 0);
    auto before = s.snapshot();
    for (const char* dem : {"dem.tif", "tiled.tif", "striped.tif", "halves.vrt"})
        for (const char* how : {"", "--memory 1K", "--memory 1K --threads 1", "--threads 3"}) {
            Outcome r = s.cli(std::string(how) + " " + dem + " o.raw --profile o.xls");
            ASSERT_EQ(r.status, 0) << dem << how << r.err;
            EXPECT_EQ(s.file("o.raw"), s.file("plain.raw")) << dem << " " << how;
            EXPECT_EQ(s.file("o.xls"), s.file("plain.xls")) << dem << " " << how;
        }
    // Spilled, failed and interrupted: nothing is left but what was there.
    fs::remove(s.path("o.raw"));
    fs::remove(s.path("o.xls"));
    fs::remove(s.path("o.txt"));
    EXPECT_EQ(s.snapshot(), before);
    Outcome full = s.cli("--memory 1K tiled.tif o.tif", TAVELKORN, "ulimit -f 300;");
    EXPECT_EQ(full.status, 1) << full.err;
    Outcome term = s.interrupted("--memory 1K --threads 1 tiled.tif o.tif", "kill -TERM $PID");
    EXPECT_NE(term.status, 0);
    EXPECT_EQ(s.snapshot(), before);
    Outcome usage = s.cli("--memory lots dem.tif o.tif");
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.err.find("--memory lots: a size such as 512M or 2G"), std::string::npos) << usage.err;
}
