// Scales on the command line: one band a scale, each the one-scale run's
// image; the summary as the maximum and the smallest arg-maximum of those;
// the profile's and the report's columns worked by hand; bad lists refused
// by name; and the files an earlier image left beside its name gone.
#include "e2e.h"
#include "sample_dem.h"

#include <gtest/gtest.h>

namespace {

// Band b of a GDAL image as its bytes (ENVI: raw, row by row).
Bytes bande(const Sample& s, const std::string& image, int b)
{
    std::string bin = image + ".b" + std::to_string(b) + ".bin";
    s.gdal("gdal_translate -q -of ENVI -b " + std::to_string(b) + " " + image + " " + bin);
    return s.file(bin);
}

}  // namespace

TEST(Scales, EachBandIsItsOneScaleRunAndTheSummaryTheirLargestByte)
{
    Sample s;
    s.geotiff("dem.tif", "-ot Int16 -a_nodata 236");  // a missing cell too
    const int echelles[] = {1, 3, 8};
    for (const char* sens : {"rows", "both"}) {
        SCOPED_TRACE(sens);
        std::string d = std::string(" --direction ") + sens + " --stretch p95 --term curvature";
        std::string repetes;  // more repeats than the 64 scales allowed: merged before they are counted
        for (int i = 0; i < 70; i++) repetes += "1,";
        ASSERT_EQ(s.cli("-q dem.tif many.tif --scale 3,3," + repetes + "8 --threads 3" + d).status, 0);  // sorted, merged
        ASSERT_EQ(s.cli("-q dem.tif sum.tif --scale 1,3,8 --scale-summary" + d).status, 0);
        std::string info = s.gdal("gdalinfo many.tif");
        EXPECT_NE(info.find("TAVELKORN_SCALES=1,3,8"), std::string::npos) << info;
        std::vector<Bytes> un;
        for (int b = 1; b <= 3; b++) {
            int k = echelles[b - 1];
            ASSERT_EQ(s.cli("-q dem.tif one.tif --threads 1 --scale " + std::to_string(k) + d).status, 0);
            un.push_back(bande(s, "one.tif", 1));
            EXPECT_EQ(bande(s, "many.tif", b), un.back()) << k;
            EXPECT_NE(info.find("Description = scale " + std::to_string(k)), std::string::npos) << k;
            std::string dmax = s.gdal("gdalinfo one.tif | grep TAVELKORN_DMAX");
            EXPECT_NE(info.find(dmax.substr(dmax.find("TAVELKORN_DMAX"))), std::string::npos) << k << dmax;
        }
        // The summary: the largest byte, and the smallest scale that has it
        // (0 where it is 0 or the cell is missing).
        Bytes top = bande(s, "sum.tif", 1), ou = bande(s, "sum.tif", 2);
        s.gdal("gdal_translate -q -of ENVI -b mask sum.tif mask.bin");
        Bytes masque = s.file("mask.bin");
        size_t manquants = 0;
        for (size_t c = 0; c < top.size(); c++) {
            unsigned char v = 0, k = 0;
            for (int b = 0; b < 3; b++)
                if (un[(size_t)b][c] > v) v = un[(size_t)b][c], k = (unsigned char)echelles[b];
            if (!masque[c]) v = k = 0, manquants++;
            ASSERT_EQ(top[c], v) << c;
            ASSERT_EQ(ou[c], k) << c;
        }
        EXPECT_EQ(manquants, 1u);
    }
    // The pixel's scale alone writes the very file it always did.
    ASSERT_EQ(s.cli("-q dem.tif plain.tif").status, 0);
    ASSERT_EQ(s.cli("-q dem.tif one.tif --scale 1").status, 0);
    EXPECT_EQ(s.file("plain.tif"), s.file("one.tif"));
}

TEST(Scales, TheProfileAndTheReportHaveAColumnAndALineForEachScale)
{
    // 7 x 9, 10 at row 3, column 4. Classic term at lag 1 along row 3: -10
    // 40 -10 at columns 3 to 5, sum 20 over 7 terms, mean 2: deviations 2 2
    // 12 38 12 2 2, dmax 38. At lag 2: -10 0 40 0 -10 at columns 2 to 6,
    // mean 4: 14 4 36 4 14, dmax 36 (the window is column 3 to 5 of row 3).
    // Half stretch: only 38 and 36 reach above half.
    Site s;
    std::vector<int32_t> z(63, 0);
    z[3 * 9 + 4] = 10;
    s.dem("d.raw", z);
    s.text("d.txt", "7\n9\n4\n0\n10\n1\n");
    Outcome r = s.cli("-q d.raw d.tif --scale 1,2 --profile p.xls --report r.txt");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(s.text("p.xls"), crlf("2\t0.000000\t0.000000\n3\t0.000000\t0.000000\n4\t0.000000\t0.000000\n"
                                    "5\t255.000000\t255.000000\n6\t0.000000\t0.000000\n7\t0.000000\t0.000000\n"
                                    "8\t0.000000\t0.000000\n"));
    std::string rapport = s.text("r.txt");
    EXPECT_NE(rapport.find(crlf("\n\tStretch : half \n\tScale 1 : window maximum 38 \n\tScale 2 : window maximum 36 ")),
              std::string::npos)
        << rapport;
    EXPECT_NE(rapport.find(crlf("\tScales : 1,2 \n")), std::string::npos) << rapport;
    EXPECT_NE(rapport.find(crlf("\tTerm : classic 4z[j] - z[j-k] - z[j+k] (k: the scale) \n")), std::string::npos)
        << rapport;
    // A scale the grid is too small for: its band all 0, and said.
    Outcome grand = s.cli("-q d.raw g.tif --scale 2,3");
    EXPECT_EQ(grand.status, 0);
    EXPECT_NE(grand.err.find("d.raw: scale 3: no deviation inside the search window (a flat DEM, or fewer than 9 "
                             "lines or columns)"),
              std::string::npos)
        << grand.err;
    EXPECT_EQ(grand.err.find("scale 2:"), std::string::npos) << grand.err;
}

TEST(Scales, BadListsAndFormatsWithoutBandsAreUsageErrors)
{
    Sample s;
    struct Cas {
        const char* args;
        const char* message;
    } cas[] = {
        {"--scale 0", "--scale 0: '0': scales are whole numbers from 1"},
        {"--scale -2", "--scale -2: '-2'"},
        {"--scale 1.5", "'1.5'"},
        {"--scale 1,,2", "--scale 1,,2: ''"},
        {"--scale 2,", "--scale 2,"},
        {"--scale 4:2", "'4:2'"},
        {"--scale 1:65", "at most 64"},
        {"--scale 1:64,1:64,65", "at most 64"},
        {"--scale 1:9:0", "'1:9:0'"},
        {"--scale ''", "--scale: an empty value"},
        {"--scale 1,2 --report x.txt", "x.bmp holds one band; several scales need a format that holds bands"},
        {"--scale 2 --scale-summary", "--scale-summary: with several scales"},
        {"--scale 1,300 --scale-summary", "scale 300: the summary's scale band holds bytes"},
    };
    for (const Cas& c : cas) {
        Outcome r = s.cli(std::string(c.args) + " jacksboro.raw x.bmp");
        EXPECT_EQ(r.status, 2) << c.args << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << r.err;
        EXPECT_FALSE(s.exists("x.bmp") || s.exists("x.txt")) << c.args;
    }
    Outcome f = s.cli("--scale 1,2 --scale-summary --type Float32 jacksboro.raw x.tif");
    EXPECT_EQ(f.status, 2);
    EXPECT_NE(f.err.find("--scale-summary with --type Float32"), std::string::npos) << f.err;
    EXPECT_EQ(s.cli("-q --scale 1,2 jacksboro.raw x.raw").status, 2);
    EXPECT_EQ(s.cli("-q --scale 5 jacksboro.raw x.bmp").status, 0);  // one scale: one band, any format
}

TEST(Scales, AnImageReplacesTheFilesThatDescribedTheOneBefore)
{
    // GDAL reads a name's .aux.xml, .ovr and .msk (and a BMP's world file
    // and .prj) as describing the image: those of an earlier image go with
    // it, and stay when the run fails.
    Sample s;
    s.geotiff("dem.tif", "-ot Int16");
    ASSERT_EQ(s.cli("-q dem.tif o.tif").status, 0);
    for (const char* f : {"o.tif.aux.xml", "o.tif.ovr", "o.tif.msk", "o.tfw"}) s.text(f, "an earlier image's");
    s.text("o.prj", "another file's");  // a GeoTIFF reads no .prj
    ASSERT_EQ(s.cli("-q dem.tif o.tif --report /dev/full").status, 1);
    for (const char* f : {"o.tif.aux.xml", "o.tif.ovr", "o.tif.msk", "o.tfw"}) EXPECT_TRUE(s.exists(f)) << f;
    ASSERT_EQ(s.cli("-q dem.tif o.tif").status, 0);
    for (const char* f : {"o.tif.aux.xml", "o.tif.ovr", "o.tif.msk", "o.tfw"}) EXPECT_FALSE(s.exists(f)) << f;
    EXPECT_TRUE(s.exists("o.prj"));
    EXPECT_EQ(s.gdal("gdalinfo -stats o.tif | grep -c STATISTICS_MEAN"), "1\n");
    // A BMP placed on the map, then one that is not: no world file is left to place it.
    ASSERT_EQ(s.cli("-q dem.tif b.bmp").status, 0);
    ASSERT_TRUE(s.exists("b.wld") && s.exists("b.prj"));
    ASSERT_EQ(s.cli("-q jacksboro.raw b.bmp").status, 0);
    EXPECT_FALSE(s.exists("b.wld") || s.exists("b.prj"));
    EXPECT_EQ(s.gdal("gdalinfo b.bmp").find("Origin"), std::string::npos);
}
