// One run through one set of guards: whatever way in and out, a result
// never lands on the input, on another result or on a special file; a run
// that fails or is interrupted leaves no file and no private folder; a DEM
// read through GDAL that changes under the run gives no result.
#include "e2e.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

// The sample GeoTIFF, and shell commands run in the DEM folder.
struct Field : Site {
    Field() { fs::copy_file(std::string(SAMPLE_DIR) + "/../../jacksboro.tif", path("dem.tif")); }
    void sh(const std::string& commands) const
    {
        ASSERT_EQ(run_command("cd '" + path("") + "' && (" + commands + ") >/dev/null 2>&1"), 0) << commands;
    }
};

}  // namespace

TEST(ResultSet, NamesThatWouldDestroySomethingAreRefusedBeforeAnyWrite)
{
    Field f;
    f.sh("gdal_translate -of ENVI dem.tif env.dat && gdal_translate -of EHdr dem.tif e.bil && "
         "gdal_translate -srcwin 0 0 200 344 dem.tif t1.tif && gdal_translate -srcwin 200 0 203 344 dem.tif t2.tif && "
         "gdalbuildvrt m.vrt t1.tif t2.tif && mkdir adir && mkfifo in.tif out_fifo.tif && "
         "printf '<VRTDataset rasterXSize=\"4000000\" rasterYSize=\"1000000\"><VRTRasterBand dataType=\"Int16\" "
         "band=\"1\"/></VRTDataset>' > huge.vrt && cp dem.tif native.raw && printf '344\\n403\\n4\\n0\\n0\\n1\\n' > native.txt");
    struct Case {
        const char* args;
        int status;
        const char* message;
    } cases[] = {
        {"--profile x.txt --report x.txt dem.tif o.tif", 2, "x.txt: both the profile and the report"},
        {"--profile o.bmp dem.tif o.bmp", 2, "o.bmp: both the image and the profile"},
        {"--profile r.txt dem.tif r.raw", 2, "r.txt: both the image's descriptor and the profile"},
        {"env.dat env.bil", 1, "env.hdr would overwrite a file the DEM is read from"},
        {"--of ENVI e.bil e.img", 1, "e.hdr would overwrite a file the DEM is read from"},
        {"m.vrt t1.tif", 1, "t1.tif would overwrite a file the DEM is read from"},
        {"/vsisubfile/0_,$PWD/dem.tif dem.tif", 1, "dem.tif would overwrite a file the DEM is read from"},
        {"native.raw native.txt --of GTiff", 1, "native.txt would overwrite the DEM or its descriptor"},
        {"--of MEM dem.tif m", 2, "--of MEM: writes no file"},
        {"--type Float32 dem.tif f.png", 2, "the PNG driver cannot store Float32 values"},
        {"--of GTiff dem.tif adir", 1, "adir: cannot be created: Is a directory"},
        {"dem.tif out_fifo.tif", 1, "out_fifo.tif: not a regular file"},
        {"in.tif o.tif", 1, "in.tif: not a regular file"},
        {"huge.vrt o.tif", 1, "o.tif: needs 12 TB,"},  // the image and the decoded DEM kept on disk
    };
    auto before = f.snapshot();
    for (const Case& c : cases) {
        Outcome r = f.cli(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << r.err;
        EXPECT_EQ(f.snapshot(), before) << c.args;
    }
}

TEST(ResultSet, OutputsWithoutExtensionAndSpecialFilesAreWrittenNotReplaced)
{
    Field f;
    f.sh("echo mine > rough.csv && echo mine > rough.123.csv && mkfifo fifo && ln -s /dev/null link.txt");
    f.text("read.sh", "(cat fifo > got.part && mv got.part got) &");
    Outcome r = f.cli("--of GTiff dem.tif rough --report /dev/null --profile fifo", TAVELKORN,
                      ". ./read.sh;");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(f.text("rough.csv"), "mine\n");
    EXPECT_EQ(f.text("rough.123.csv"), "mine\n");
    for (int i = 0; i < 500 && !f.exists("got"); i++) run_command("sleep 0.01");
    EXPECT_EQ(f.text("got").substr(0, 2), "2\t");
    EXPECT_EQ(fs::status(f.path("fifo")).type(), fs::file_type::fifo);
    std::string info;
    run_command("gdalinfo '" + f.path("rough") + "'", &info);
    EXPECT_NE(info.find("Driver: GTiff"), std::string::npos) << info;
    ASSERT_EQ(f.cli("dem.tif o.tif --profile link.txt").status, 0);
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(f.path("link.txt"))));
}

TEST(ResultSet, FailedOrInterruptedRunsLeaveNothingBehind)
{
    Field f;
    f.sh("gdal_translate -outsize 600% 600% dem.tif big.tif");
    auto before = f.snapshot();
    // A file grown past ulimit -f: an ordinary write failure, companions
    // (.hdr, .prj) and all removed.
    Outcome full = f.cli("dem.tif o.bil", TAVELKORN, "ulimit -f 50;");
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("o.bil: could not be written completely"), std::string::npos) << full.err;
    EXPECT_EQ(f.snapshot(), before);

    Outcome term = f.interrupted("--threads 1 big.tif o.bil", "kill -TERM $PID");
    EXPECT_EQ(term.status, 143) << term.err;
    EXPECT_EQ(f.snapshot(), before);

    Outcome changed = f.interrupted("--threads 1 big.tif o.tif --profile p.xls",
                                  "kill -STOP $PID; touch -d 2001-01-01 big.tif; kill -CONT $PID");
    EXPECT_EQ(changed.status, 1);
    EXPECT_NE(changed.err.find("big.tif: changed during the run; no result was written"), std::string::npos)
        << changed.err;
    auto after = f.snapshot();
    EXPECT_EQ(after.count("o.tif") + after.count("p.xls"), 0u);
}
