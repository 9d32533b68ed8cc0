// The BMP writer: byte-exact files, and a decoder nobody here wrote.
#include "image.h"
#include "test_util.h"

#include <gtest/gtest.h>

namespace {

// A matrix whose rows the test owns.
struct Image {
    std::vector<Bytes> rows;
    std::vector<unsigned char*> ptrs;
    Image(std::initializer_list<Bytes> r) : rows(r)
    {
        for (auto& row : rows) ptrs.push_back(row.data());
    }
    unsigned char** buff() { return ptrs.data(); }
};

Bytes le(uint32_t v, int n)
{
    Bytes b;
    for (int k = 0; k < n; k++) b.push_back((unsigned char)(v >> (8 * k)));
    return b;
}

// The 54 header bytes, spelled out field by field.
Bytes header(uint32_t size, uint32_t off, int32_t w, int32_t h, int bits, uint32_t image)
{
    Bytes b = {'B', 'M'};
    for (const Bytes& f : {le(size, 4), le(0, 2), le(0, 2), le(off, 4), le(40, 4), le((uint32_t)w, 4),
                           le((uint32_t)h, 4), le(1, 2), le((uint32_t)bits, 2), le(0, 4), le(image, 4),
                           le(10000, 4), le(10000, 4), le(0, 4), le(0, 4)})
        b.insert(b.end(), f.begin(), f.end());
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes b;
    for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
}

}  // namespace

TEST(BmpWriter, ThreeByTwoGrayIsByteExact)
{
    TempDir dir;
    Image img({{1, 2, 3}, {4, 5, 6}});
    ASSERT_EQ(SauveBMP((dir / "a.bmp").c_str(), img.buff(), 3, 2, 0, nullptr), 0);
    // bottom-up: the second matrix row is stored first; each row padded to 4
    Bytes want = cat({header(1086, 1078, 3, 2, 8, 8), gray_palette(), {4, 5, 6, 0, 1, 2, 3, 0}});
    EXPECT_EQ(read_file(dir / "a.bmp"), want);
}

TEST(BmpWriter, RowPaddingFollowsTheWidth)
{
    TempDir dir;
    Image four({{9, 8, 7, 6}});
    ASSERT_EQ(SauveBMP((dir / "4.bmp").c_str(), four.buff(), 4, 1, 0, nullptr), 0);
    EXPECT_EQ(read_file(dir / "4.bmp"), cat({header(1082, 1078, 4, 1, 8, 4), gray_palette(), {9, 8, 7, 6}}));

    Image five({{1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}});
    ASSERT_EQ(SauveBMP((dir / "5.bmp").c_str(), five.buff(), 5, 2, 1, nullptr), 0);
    EXPECT_EQ(read_file(dir / "5.bmp"), cat({header(1094, 1078, 5, 2, 8, 16), gray_palette(),
                                             {6, 7, 8, 9, 10, 0, 0, 0, 1, 2, 3, 4, 5, 0, 0, 0}}));
}

TEST(BmpWriter, TrueColorWidthOneHasNoPaletteAndOnePadByte)
{
    TempDir dir;
    Image img({{10, 20, 30}, {40, 50, 60}, {70, 80, 90}});
    ASSERT_EQ(SauveBMP((dir / "c.bmp").c_str(), img.buff(), 1, 3, 2, nullptr), 0);
    EXPECT_EQ(read_file(dir / "c.bmp"),
              cat({header(66, 54, 1, 3, 24, 12), {70, 80, 90, 0, 40, 50, 60, 0, 10, 20, 30, 0}}));
}

TEST(BmpWriter, AGivenPaletteIsStoredEntryByEntry)
{
    TempDir dir;
    Color32 map[256];
    Bytes want_palette;
    for (int i = 0; i < 256; i++) {
        map[i] = Color32{(unsigned char)(255 - i), (unsigned char)(i / 2), (unsigned char)(i * 7), (unsigned char)i};
        want_palette.insert(want_palette.end(), {map[i].B, map[i].G, map[i].R, map[i].O});
    }
    Image img({{0, 255}});
    ASSERT_EQ(SauveBMP((dir / "p.bmp").c_str(), img.buff(), 2, 1, 1, map), 0);
    EXPECT_EQ(read_file(dir / "p.bmp"), cat({header(1082, 1078, 2, 1, 8, 4), want_palette, {0, 255, 0, 0}}));
}

TEST(BmpWriter, RefusesWhatItCannotWrite)
{
    TempDir dir;
    Image img({{1}});
    EXPECT_EQ(SauveBMP((dir / "t.bmp").c_str(), img.buff(), 1, 1, 3, nullptr), -1);
    EXPECT_EQ(SauveBMP((dir / "t.bmp").c_str(), img.buff(), 1, 1, -1, nullptr), -1);
    EXPECT_EQ(SauveBMP((dir / "t.bmp").c_str(), img.buff(), 0, 1, 0, nullptr), -1);
    EXPECT_EQ(SauveBMP((dir / "t.bmp").c_str(), img.buff(), 1, 0, 0, nullptr), -1);
    // 32767 x 65536 bytes of 24-bit pixels: more than BfSize can describe.
    EXPECT_EQ(SauveBMP((dir / "t.bmp").c_str(), img.buff(), 65536, 32767, 2, nullptr), -1);
    EXPECT_FALSE(file_exists(dir / "t.bmp"));
    EXPECT_EQ(SauveBMP((dir / "no/such/dir.bmp").c_str(), img.buff(), 1, 1, 0, nullptr), -1);
    // a disk that is full: the failure is reported, not hidden in the buffer
#ifndef _WIN32  // a full disk, as POSIX systems offer one
    EXPECT_EQ(SauveBMP("/dev/full", img.buff(), 1, 1, 0, nullptr), -1);
#endif
}

// ImageMagick decodes our files: a check against a reader nobody here wrote.
TEST(BmpWriter, ImageMagickDecodesTheSamePixels)
{
#ifdef _WIN32
    GTEST_SKIP() << "ImageMagick runs on the build machine: the POSIX suite decodes these files";
#endif
    ASSERT_STRNE(IM_CONVERT, "") << "ImageMagick's convert is needed (Debian package imagemagick)";
    TempDir dir;
    // An "F" on a 5 x 7 field: no symmetry hides a flip or a mirror.
    Image gray({{9, 9, 9, 9, 0}, {9, 0, 0, 0, 0}, {9, 9, 9, 0, 0}, {9, 0, 0, 0, 0},
                {9, 0, 0, 0, 0}, {9, 0, 0, 0, 0}, {9, 0, 0, 0, 200}});
    ASSERT_EQ(SauveBMP((dir / "g.bmp").c_str(), gray.buff(), 5, 7, 0, nullptr), 0);
    ASSERT_EQ(run_command(std::string(IM_CONVERT) + " " + (dir / "g.bmp") + " -depth 8 gray:" + (dir / "g.gray")), 0);
    Bytes want;
    for (auto& r : gray.rows) want.insert(want.end(), r.begin(), r.end());
    EXPECT_EQ(read_file(dir / "g.gray"), want);

    // 24-bit, odd width: each pixel is stored blue, green, red.
    Image color({{1, 2, 3, 4, 5, 6, 7, 8, 9}, {10, 11, 12, 13, 14, 15, 16, 17, 18}});
    ASSERT_EQ(SauveBMP((dir / "c.bmp").c_str(), color.buff(), 3, 2, 2, nullptr), 0);
    ASSERT_EQ(run_command(std::string(IM_CONVERT) + " " + (dir / "c.bmp") + " -depth 8 rgb:" + (dir / "c.rgb")), 0);
    want.clear();
    for (auto& r : color.rows)
        for (size_t k = 0; k < r.size(); k += 3) want.insert(want.end(), {r[k + 2], r[k + 1], r[k]});
    EXPECT_EQ(read_file(dir / "c.rgb"), want);
}
