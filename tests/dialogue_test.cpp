// The whole program, run as an operator would: dialogue transcript, menus,
// descriptors and every file written, compared byte for byte.
#include "e2e.h"

#include <gtest/gtest.h>

namespace {

// 5 lines x 6 columns. Curvature terms 4 z[j] - z[j-1] - z[j+1] per row:
//   row 1: -30 0 0 30   mean 0  deviations 30 0 0 30
//   row 2: -10 40 -10 -20  mean 0  deviations 10 40 10 20
//   row 3: 14 14 14 14  mean 14  deviations 0
//   row 4: -50 0 0 50   mean 0  deviations 50 0 0 50
// The search window is row 2, columns 2-3: maximum 40, so 20 maps to 0 and
// 40 to 255; 30 gives 127.5 -> 127, 50 gives 382.5 -> 382 -> byte 126.
const std::vector<int32_t> kDem = {0,  0, 0,  0, 0, 0,  30, 0, 0, 0, 0, -30, 0,  0, 10,
                                   0,  0, 20, 7, 7, 7, 7, 7,  7, 50, 0, 0, 0, 0, -50};
const Bytes kImage[5] = {{0, 0, 0, 0, 0, 0},
                         {0, 127, 0, 0, 127, 0},
                         {0, 0, 255, 0, 0, 0},
                         {0, 0, 0, 0, 0, 0},
                         {0, 126, 0, 0, 126, 0}};
const std::string kProfile = "2\t0.000000\n3\t255.000000\n4\t0.000000\n5\t0.000000\n";

std::string report(const std::string& dem, const std::string& stem, int mind, int maxd, int norm, int row)
{
    return crlf("\n\tTavelkorn\n\n\tStudied DEM : images/dem1/" + dem + ".raw \n\n\tDynamic scale : \n\t\tMin. " +
                std::to_string(mind) + "  Max. " + std::to_string(maxd) + " \n\n\tNormalization value = " +
                std::to_string(norm) + " \n\n\tHistogram following the columns on the line " + std::to_string(row) +
                " \n\tName of this histogram : images/dem1/" + stem + "_tavelkorn_info.txt ");
}

Bytes bmp_of_image()
{
    Bytes b = {'B', 'M', 0x5E, 0x04, 0, 0, 0, 0, 0, 0, 0x36, 0x04, 0, 0, 40, 0, 0, 0, 6, 0, 0, 0, 5, 0, 0, 0,
               1,   0,   8,    0,    0, 0, 0, 0, 40, 0, 0, 0, 0x10, 0x27, 0, 0, 0x10, 0x27, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Bytes palette = gray_palette();
    b.insert(b.end(), palette.begin(), palette.end());
    for (int i = 4; i >= 0; i--) {  // bottom-up, 6 bytes padded to 8
        b.insert(b.end(), kImage[i].begin(), kImage[i].end());
        b.insert(b.end(), {0, 0});
    }
    return b;
}

Bytes raster_of_image()
{
    Bytes b;
    for (const Bytes& row : kImage) b.insert(b.end(), row.begin(), row.end());
    return b;
}

}  // namespace

TEST(Dialogue, TypicalRunWithoutDescriptorToBitmap)
{
    Site s;
    s.dem("site.raw", kDem);
    Outcome r = s.run("dem1\nsite\n5\n6\n5\n0\n1\n255\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, kBanner + "\n\tNo File images/dem1/site.txt \n\n" + "\n\tNumber of lines   ? " +
                         "\n\tNumber of columns ? " + "\n\tPixel size ? " + dims_shown(5, 6) +
                         "\n\tResulting File : " + result_menu("site") + "\n\tType of Format : " + kFormatMenu +
                         range_and_norm(-50, 50) + "\n\n\n");
    EXPECT_EQ(s.text("site.txt"), crlf("5\n6\n4\n-50\n50\n5\n"));
    EXPECT_EQ(s.text("site_tavelkorn_info.txt"), report("site", "site", -50, 50, 255, 2));
    EXPECT_EQ(s.text("site_tavelkorn.xls"), crlf(kProfile));
    EXPECT_EQ(s.file("site_tavelkorn.bmp"), bmp_of_image());
    EXPECT_FALSE(s.exists("site_tavelkorn.raw"));
    EXPECT_FALSE(s.exists("site_tavelkorn.txt"));

    // A later run reads the completed descriptor and asks no dimension.
    Outcome again = s.run("dem1 site 0 1 255");
    EXPECT_EQ(again.out, kBanner + dims_shown(5, 6) + "\n\tResulting File : " + result_menu("site") +
                             "\n\tType of Format : " + kFormatMenu + range_and_norm(-50, 50) + "\n\n\n");
    EXPECT_EQ(s.file("site_tavelkorn.bmp"), bmp_of_image());
}

TEST(Dialogue, RasterWithNewNameAfterRefusedMenuAnswers)
{
    Site s;
    s.dem("site.raw", kDem);
    // CR LF, spaces and tabs between fields, and data ending at 0x1A.
    const std::string descriptor = "5 \t6\r\n4\r\n  -50\t50\r\n9\r\n\x1A" "77\r\n";
    s.text("site.txt", descriptor);
    Outcome r = s.run("dem1\r\nsite\r\n2\r\n7\r\n1\r\nout\r\n0\r\n255\r\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, kBanner + dims_shown(5, 6) + "\n\tResulting File : " + result_menu("site") +
                         result_menu("site") + result_menu("site") +
                         "\n\tName of the File to be created (without any extension) ? " +
                         "\n\tType of Format : " + kFormatMenu + range_and_norm(-50, 50) + "\n\n\n");
    EXPECT_EQ(s.text("site.txt"), descriptor);  // read, never rewritten
    EXPECT_EQ(s.file("out_tavelkorn.raw"), raster_of_image());
    EXPECT_EQ(s.text("out_tavelkorn.txt"), crlf("5\n6\n1\n0\n255\n9\n"));
    EXPECT_EQ(s.text("out_tavelkorn.xls"), crlf(kProfile));
    EXPECT_EQ(s.text("out_tavelkorn_info.txt"), report("site", "out", -50, 50, 255, 2));
    EXPECT_FALSE(s.exists("site_tavelkorn.xls"));
}

TEST(Dialogue, FormatMenuAcceptsNegativeAndRepeatsAboveOne)
{
    Site s;
    s.dem("site.raw", kDem);
    s.text("site.txt", "5\n6\n4\n");  // three lines only: pixel size 0
    Outcome r = s.run("dem1 site 0 5 0 255");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\n\tType of Format : " + kFormatMenu + kFormatMenu + "\n\tLecture"), std::string::npos);
    EXPECT_EQ(s.text("site_tavelkorn.txt"), crlf("5\n6\n1\n0\n255\n0\n"));
    EXPECT_EQ(s.text("site.txt"), "5\n6\n4\n");  // never completed

    Outcome none = s.run("dem1 site 1 other -1 255");
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(s.text("other_tavelkorn.xls"), crlf(kProfile));
    EXPECT_TRUE(s.exists("other_tavelkorn_info.txt"));
    EXPECT_FALSE(s.exists("other_tavelkorn.raw"));
    EXPECT_FALSE(s.exists("other_tavelkorn.txt"));
    EXPECT_FALSE(s.exists("other_tavelkorn.bmp"));
}

TEST(Dialogue, MissingDemEndsAfterOneKeyWithStatusZero)
{
    Site s;
    Outcome r = s.run("dem1\nnothere\nx");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kBanner + "\n\tFile images/dem1/nothere.raw unknown\n");
    Outcome eof = s.run("dem1 nothere");  // end of input stands for the key
    EXPECT_EQ(eof.status, 0);
    EXPECT_FALSE(s.exists("nothere.txt"));
    EXPECT_FALSE(s.exists("nothere_tavelkorn.xls"));
}

TEST(Dialogue, EndOfInputAtAnyPromptLeavesTheFolderAsItWas)
{
    const char* answers[] = {"", "dem1", "dem1 site", "dem1 site 5", "dem1 site 5 6", "dem1 site 5 6 5",
                             "dem1 site 5 6 5 1", "dem1 site 5 6 5 0", "dem1 site 5 6 5 0 1", "dem1 site 5 6 5 0 0"};
    for (const char* a : answers) {
        Site s;
        s.dem("site.raw", kDem);
        for (const char* old : {"site_tavelkorn.xls", "site_tavelkorn_info.txt", "site_tavelkorn.bmp",
                                "site_tavelkorn.raw", "site_tavelkorn.txt"})
            s.text(old, "previous result");
        auto before = s.snapshot();
        Outcome r = s.run(a);
        EXPECT_EQ(r.status, 1) << a;
        EXPECT_NE(r.err.find("end of input"), std::string::npos) << a;
        EXPECT_EQ(s.snapshot(), before) << a;
    }
}

TEST(Dialogue, AResultNameThatWouldOverwriteTheDemIsRefused)
{
    Site s;
    s.dem("site_tavelkorn.raw", kDem);
    s.text("site_tavelkorn.txt", "5\n6\n4\n-50\n50\n5\n");
    Outcome r = s.run("dem1 site_tavelkorn 1 site 1 fresh 0 255");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("images/dem1/site_tavelkorn.raw would overwrite the DEM or its descriptor"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(s.text("site_tavelkorn.txt"), "5\n6\n4\n-50\n50\n5\n");
    EXPECT_EQ(s.file("fresh_tavelkorn.raw"), raster_of_image());
    EXPECT_FALSE(s.exists("site_tavelkorn.xls"));
}

TEST(Dialogue, ADescriptorWithoutDimensionsIsRefusedBeforeAnyResult)
{
    for (const char* d : {"", "0\n6\n4\n0\n0\n1\n", "5\n-6\n4\n", "5\nsix\n", "5\n99999999999\n"}) {
        Site s;
        s.dem("site.raw", kDem);
        s.text("site.txt", d);
        Outcome r = s.run("dem1 site 0 0 255");
        EXPECT_EQ(r.status, 1) << d;
        EXPECT_NE(r.err.find("images/dem1/site.txt: "), std::string::npos) << r.err;
        EXPECT_FALSE(s.exists("site_tavelkorn.xls")) << d;
        EXPECT_EQ(s.text("site.txt"), d);
    }
    Site s;
    s.dem("site.raw", kDem);
    s.text("site.txt", "5\n6\n2\n0\n0\n1\n");
    Outcome r = s.run("dem1 site 0 0 255");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("warning: images/dem1/site.txt: 2 bytes per value"), std::string::npos) << r.err;
    EXPECT_EQ(s.file("site_tavelkorn.raw"), raster_of_image());
}
