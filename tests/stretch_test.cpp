// The terms and the stretches of the command line, worked by hand on small
// DEMs: curvature, full and pP with their saturation, the percentile against
// its definition on a larger DEM, 1 and N threads, the Float32 profile.
#include "e2e.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>

namespace {

// A native DEM of `lines` x `cols` in the DEM folder.
void native(const Site& s, const std::string& name, int lines, int cols, const std::vector<int32_t>& z)
{
    s.dem(name + ".raw", z);
    s.text(name + ".txt", std::to_string(lines) + "\n" + std::to_string(cols) + "\n4\n0\n0\n1\n");
}

// 5 x 7, all 0 but row 2: 0 0 10 0 0 20 0. Curvature terms of row 2: -10 20
// -10 -20 40, mean 20 / 5 = 4, deviations 14 16 14 24 36; the window
// (columns 2 to 4) holds 16 14 24: dmax 24, and p50 (the 2nd of 3) is 16.
std::vector<int32_t> bumps()
{
    std::vector<int32_t> z(35, 0);
    z[16] = 10;
    z[19] = 20;
    return z;
}

Bytes row2(const Bytes& image) { return Bytes(image.begin() + 14, image.begin() + 21); }

}  // namespace

TEST(Stretch, CurvatureAndEveryStretchWorkedByHand)
{
    Site s;
    native(s, "b", 5, 7, bumps());
    struct Case {
        const char* options;
        Bytes row;
    } cases[] = {
        // half: (d - 12) / 12 x 255, 36 gives 510, whose low 8 bits are 254.
        {"--term curvature", {0, 42, 85, 42, 255, 254, 0}},
        // full: d / 24 x 255, truncated; 36 saturates at 255.
        {"--term curvature --stretch full", {0, 148, 170, 148, 255, 255, 0}},
        {"--term curvature --stretch full --norm 100", {0, 58, 66, 58, 100, 100, 0}},
        // p50: d / 16 x 255; 24 and 36 saturate.
        {"--term curvature --stretch p50", {0, 223, 255, 223, 255, 255, 0}},
        // p33: the 1st of 3, 14.
        {"--term curvature --stretch p33", {0, 255, 255, 255, 255, 255, 0}},
    };
    for (const Case& c : cases) {
        Outcome r = s.cli(std::string(c.options) + " b.raw o.raw");
        ASSERT_EQ(r.status, 0) << c.options << r.err;
        EXPECT_EQ(row2(s.file("o.raw")), c.row) << c.options;
    }
    // A tilted plane has no curvature: an all-0 image, and the warning.
    std::vector<int32_t> plane;
    for (int i = 0; i < 6; i++)
        for (int j = 0; j < 8; j++) plane.push_back(1000 + 3 * j - 7 * i);
    native(s, "plane", 6, 8, plane);
    Outcome p = s.cli("--term curvature --stretch p99 plane.raw plane_o.raw");
    EXPECT_EQ(s.file("plane_o.raw"), Bytes(48, 0));
    EXPECT_NE(p.err.find("no deviation inside the search window"), std::string::npos) << p.err;

    // Float32 deviations in elevation units, in the image and the profile:
    // at --z-scale 2.5 the elevations are 25 and 50, the deviations 35 40 35
    // 60 90, and back in elevation units 14 16 14 24 36.
    Outcome f = s.cli("--term curvature --type Float32 --z-scale 2.5 b.raw f.tif --profile f.xls");
    ASSERT_EQ(f.status, 0) << f.err;
    EXPECT_EQ(s.text("f.xls"), crlf("2\t14.000000\n3\t16.000000\n4\t14.000000\n5\t24.000000\n6\t36.000000\n"));
}

TEST(Stretch, PercentileWithinOnePercentAndTheSameBytesForAnyThreads)
{
    // 3000 x 150: rounds of several blocks, deviations in the thousands.
    const int lines = 3000, cols = 150;
    std::vector<int32_t> z((size_t)lines * cols);
    uint64_t x = 12345;
    for (int32_t& v : z) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        v = (int32_t)((x >> 33) % 20000) * ((x >> 20) % 7 == 0 ? 9 : 1);
    }
    Site s;
    native(s, "r", lines, cols, z);
    // The 99th percentile of the window's curvature deviations, by nearest rank.
    std::vector<int64_t> d;
    for (int i = 2; i <= lines - 3; i++) {
        const int32_t* row = &z[(size_t)i * cols];
        int64_t sum = 0;
        for (int j = 1; j <= cols - 2; j++) sum += 2 * (int64_t)row[j] - row[j - 1] - row[j + 1];
        int64_t mean = sum / (cols - 2);
        for (int j = 2; j <= cols - 3; j++) d.push_back(std::llabs(2 * (int64_t)row[j] - row[j - 1] - row[j + 1] - mean));
    }
    std::sort(d.begin(), d.end());
    double want = (double)d[(size_t)std::ceil(0.99 * (double)d.size()) - 1];

    for (const char* stretch : {"half", "full", "p99"}) {
        std::string common = std::string("--term curvature --stretch ") + stretch + " r.raw ";
        ASSERT_EQ(s.cli(common + "one.raw --threads 1 --report rep.txt").status, 0);
        ASSERT_EQ(s.cli(common + "many.raw --threads 3").status, 0);
        EXPECT_EQ(s.file("one.raw"), s.file("many.raw")) << stretch;
    }
    std::string report = s.text("rep.txt");
    size_t at = report.find("percentile deviation ");
    ASSERT_NE(at, std::string::npos) << report;
    double got = std::atof(report.c_str() + at + 21);
    EXPECT_LE(std::fabs(got - want), 0.01 * want) << got << " for " << want;
}
