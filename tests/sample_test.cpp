// The bundled sample DEM, run in both formats: the two images must be the
// same pixels, and the profile must agree with the image's middle row.
#include "e2e.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>

TEST(Sample, BothFormatsGiveTheSameImageAndAMatchingProfile)
{
    Site s;
    s.folder = "demo";
    std::filesystem::create_directories(s.path(""));
    for (const char* f : {"jacksboro.raw", "jacksboro.txt"})
        std::filesystem::copy_file(host_path(std::string(SAMPLE_DIR) + "/" + f), s.path(f));
    const int lines = 344, cols = 403;

    Outcome raster = s.run("demo jacksboro 1 r 0 255");
    Outcome bitmap = s.run("demo jacksboro 1 b 1 255");
    ASSERT_EQ(raster.status, 0) << raster.err;
    ASSERT_EQ(bitmap.status, 0) << bitmap.err;
    EXPECT_EQ(raster.err + bitmap.err, "");
    EXPECT_NE(s.text("r_tavelkorn_info.txt").find("Min. 236  Max. 1076 "), std::string::npos);
    EXPECT_EQ(s.text("r_tavelkorn.txt"), crlf("344\n403\n1\n0\n255\n90\n"));

    Bytes img = s.file("r_tavelkorn.raw"), bmp = s.file("b_tavelkorn.bmp");
    ASSERT_EQ(img.size(), (size_t)lines * cols);
    const int padded = 404;
    ASSERT_EQ(bmp.size(), 1078u + (size_t)lines * padded);
    for (int i = 0; i < lines; i++) {
        const unsigned char* stored = &bmp[1078 + (size_t)(lines - 1 - i) * padded];
        ASSERT_TRUE(std::equal(stored, stored + cols, &img[(size_t)i * cols])) << "row " << i;
        EXPECT_EQ(stored[cols], 0);
    }

    // Each profile value v of row 172 becomes the byte trunc(v) mod 256.
    std::istringstream profile(s.text("r_tavelkorn.xls"));
    int col, count = 0, above_zero = 0;
    double v;
    while (profile >> col >> v) {
        count++;
        ASSERT_EQ(col, count + 1);
        EXPECT_EQ(img[(size_t)172 * cols + col - 1], (unsigned char)(long long)v) << col;
        above_zero += v > 0;
    }
    EXPECT_EQ(count, cols - 2);
    EXPECT_GT(above_zero, 10);
}
