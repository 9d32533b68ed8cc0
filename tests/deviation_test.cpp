// The computation, seen through the files a run writes: curvature terms,
// the truncated mean, 32-bit wrap-around, the stretch and the byte wrap.
#include "e2e.h"

#include <climits>
#include <gtest/gtest.h>

namespace {

struct Result {
    Outcome run;
    std::string profile, report;
    Bytes raster;
};

// One raster run on a DEM with a ready descriptor.
Result compute(int lines, int cols, const std::vector<int32_t>& z, int norm)
{
    Site s;
    s.dem("d.raw", z);
    s.text("d.txt", std::to_string(lines) + "\n" + std::to_string(cols) + "\n4\n0\n0\n1\n");
    Result r;
    r.run = s.run("dem1 d 0 0 " + std::to_string(norm) + "\n");
    r.profile = s.text("d_tavelkorn.xls");
    r.report = s.text("d_tavelkorn_info.txt");
    r.raster = s.file("d_tavelkorn.raw");
    return r;
}

// A DEM of `lines` rows, all 0 but the given middle row.
std::vector<int32_t> with_row(int lines, int row, const std::vector<int32_t>& values)
{
    std::vector<int32_t> z(lines * values.size(), 0);
    std::copy(values.begin(), values.end(), z.begin() + row * (long)values.size());
    return z;
}

}  // namespace

TEST(Deviation, TheMeanOfANegativeSumTruncatesTowardZero)
{
    // Row 2: terms 8 -32 11 -12 3, sum -22, mean -22/5 = -4 (not -5):
    // deviations 12 28 15 8 7; the window (columns 2-4) peaks at 28, so
    // column 3 gives (15 - 14) / 14 * 255 = 18.214286.
    Result r = compute(5, 7, with_row(5, 2, {0, 0, -8, 0, -3, 0, 0}), 255);
    EXPECT_EQ(r.run.status, 0);
    EXPECT_EQ(r.profile, crlf("2\t0.000000\n3\t255.000000\n4\t18.214286\n5\t0.000000\n6\t0.000000\n"));
    EXPECT_EQ(r.raster, (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 18, 0, 0, 0,
                               0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(Deviation, TermsAndSumsAreExact)
{
    // Row 2: terms 4 * INT_MAX = 8589934588, -2147483647, 0, 0, 0; exact sum
    // 6442450941, mean 1288490188; deviations 7301444400 3435973835
    // 1288490188 x 3. The window (columns 2 to 4) holds 3435973835: column 1
    // lies outside it, at (7301444400 - dmax / 2) / (dmax / 2) x 255 = 828.75.
    Result r = compute(5, 7, with_row(5, 2, {0, INT_MAX, 0, 0, 0, 0, 0}), 255);
    EXPECT_EQ(r.run.status, 0) << r.run.err;
    EXPECT_EQ(r.profile, crlf("2\t828.750000\n3\t255.000000\n4\t0.000000\n5\t0.000000\n6\t0.000000\n"));
    EXPECT_EQ(r.raster[14 + 1], 828 % 256);  // the byte keeps its low 8 bits
    EXPECT_NE(r.report.find("Min. 0  Max. 2147483647 "), std::string::npos);

    // A millimetre DEM: terms of about 8e8 whose row sum passes 2^31. Terms
    // 8e8-10, 8e8+40, 8e8-10, 8e8, 8e8; sum 4000000020, mean 800000004;
    // deviations 14 36 14 4 4: dmax 36 in the window.
    const int32_t b = 400000000;
    Result mm = compute(5, 7, with_row(5, 2, {b, b, b + 10, b, b, b, b}), 255);
    EXPECT_EQ(mm.profile, crlf("2\t0.000000\n3\t255.000000\n4\t0.000000\n5\t0.000000\n6\t0.000000\n"));
    EXPECT_EQ(Bytes(mm.raster.begin() + 14, mm.raster.begin() + 21), Bytes({0, 0, 255, 0, 0, 0, 0}));

    // The extremes side by side: exact, without a fault.
    Result e = compute(5, 5, with_row(5, 2, {INT_MIN, INT_MAX, INT_MIN, INT_MAX, INT_MIN}), 255);
    EXPECT_EQ(e.run.status, 0) << e.run.err;
    EXPECT_NE(e.report.find("Min. -2147483648  Max. 2147483647 "), std::string::npos);
}

TEST(Deviation, NormalisationAboveNegativeAndZero)
{
    // Row 2 of 5 x 6: deviations 10 40 10 20 (see the dialogue test's DEM).
    std::vector<int32_t> z = with_row(5, 2, {0, 0, 10, 0, 0, 20});
    z[6] = 30;  // row 1: deviations 30 0 0 30 ... and its mean
    z[11] = -30;
    Result high = compute(5, 6, z, 300);
    EXPECT_NE(high.report.find("Normalization value = 255 "), std::string::npos);
    EXPECT_EQ(high.profile, crlf("2\t0.000000\n3\t255.000000\n4\t0.000000\n5\t0.000000\n"));

    // -255: 40 gives -255 -> 0; 20 gives -0 -> "0.000000"; 10 gives 127.5.
    Result neg = compute(5, 6, z, -255);
    EXPECT_NE(neg.report.find("Normalization value = -255 "), std::string::npos);
    EXPECT_EQ(neg.profile, crlf("2\t127.500000\n3\t0.000000\n4\t127.500000\n5\t0.000000\n"));
    EXPECT_EQ(neg.raster[12 + 1], 127);
    EXPECT_EQ(neg.raster[6 + 1], 0);  // row 1, deviation 30: -127.5 -> 0
    // The first and last columns keep a deviation of 0: (0 - 20) / 20 * -255.
    EXPECT_EQ(neg.raster[0], 255);
    EXPECT_EQ(neg.raster[29], 255);
    EXPECT_EQ(high.raster[0], 0);

    Result zero = compute(5, 6, z, 0);
    EXPECT_EQ(zero.raster, Bytes(30, 0));
    EXPECT_EQ(zero.profile, crlf("2\t0.000000\n3\t0.000000\n4\t0.000000\n5\t0.000000\n"));
}

TEST(Deviation, ProfileRowIsTheMiddleLine)
{
    // 7 lines profile row 3, 8 lines row 4; the window maximum is in row 2.
    for (int lines : {7, 8}) {
        std::vector<int32_t> z(lines * 5, 0);
        z[2 * 5 + 2] = 10;         // row 2: terms -10 40 -10, mean 6, deviations 16 34 16
        z[lines / 2 * 5 + 2] = 8;  // terms -8 32 -8, mean 5, deviations 13 27 13
        Result r = compute(lines, 5, z, 255);
        EXPECT_NE(r.report.find("on the line " + std::to_string(lines / 2) + " "), std::string::npos);
        // window maximum 34: 27 gives (27 - 17) / 17 * 255 = 150
        EXPECT_EQ(r.profile, crlf("2\t0.000000\n3\t150.000000\n4\t0.000000\n"));
    }
}

TEST(Deviation, RangeSearchStartsFromTenMillionAndZero)
{
    Result high = compute(5, 5, std::vector<int32_t>(25, 20000000), 255);
    EXPECT_NE(high.report.find("Min. 10000000  Max. 20000000 "), std::string::npos);
    Result low = compute(5, 5, std::vector<int32_t>(25, -7), 255);
    EXPECT_NE(low.report.find("Min. -7  Max. 0 "), std::string::npos);
}

TEST(Deviation, AnEmptyOrFlatWindowGivesAZeroImageAndSaysWhy)
{
    // Flat DEM; then fewer than 5 columns; then fewer than 3 (no term at all).
    for (auto dims : {std::pair<int, int>{5, 5}, {6, 4}, {5, 2}, {1, 1}}) {
        std::vector<int32_t> z(dims.first * dims.second);
        for (size_t k = 0; k < z.size(); k++) z[k] = (int32_t)(k * k % 17);
        if (dims.first == 5 && dims.second == 5) z.assign(25, 3);
        Result r = compute(dims.first, dims.second, z, 255);
        EXPECT_EQ(r.run.status, 0) << dims.first << "x" << dims.second;
        EXPECT_NE(r.run.err.find("no deviation inside the search window"), std::string::npos);
        EXPECT_EQ(r.raster, Bytes(z.size(), 0));
        std::string want;
        for (int j = 2; j <= dims.second - 1; j++) want += std::to_string(j) + "\t0.000000\n";
        EXPECT_EQ(r.profile, crlf(want));
    }
}

TEST(Deviation, AShortDemIsWarnedAboutAndReadAsZeros)
{
    // 5 x 6 described, 2 rows and 2 bytes present: the third row's first value
    // keeps the two bytes that came.
    std::vector<int32_t> z = {0, 0, 0, 0, 0, 0, 30, 0, 0, 0, 0, -30};
    Site s;
    s.dem("d.raw", z);
    Bytes raw = s.file("d.raw");
    raw.insert(raw.end(), {0x10, 0x00});
    write_file(s.path("d.raw"), raw);
    s.text("d.txt", "5\n6\n4\n0\n0\n1\n");
    Outcome r = s.run("dem1 d 0 0 255");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("images/dem1/d.raw: 120 bytes expected for 5 x 6 elevations, 50 found"),
              std::string::npos)
        << r.err;
    EXPECT_NE(s.text("d_tavelkorn_info.txt").find("Min. -30  Max. 30 "), std::string::npos);
}
