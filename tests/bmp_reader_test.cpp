// The BMP reader: round trips, palettes, ImageMagick's files, and refusals.
#include "image.h"
#include "test_util.h"

#include <gtest/gtest.h>

namespace {

// Writes rows (each NbCol * taille bytes) with SauveBMP.
void save(const std::string& path, std::vector<Bytes> rows, int cols, int type, Color32* map = nullptr)
{
    std::vector<unsigned char*> ptrs;
    for (auto& r : rows) ptrs.push_back(r.data());
    ASSERT_EQ(SauveBMP(path.c_str(), ptrs.data(), cols, (int)rows.size(), type, map), 0);
}

struct Loaded {
    unsigned char** buff = nullptr;
    int cols = -9, rows = -9, type = -9;
    Color32* map = nullptr;
    ~Loaded()
    {
        LibereBMP(buff, buff ? rows : 0);
        LiberePalette(map);
    }
    // Asks for the palette when want_map: a non-null pointer requests it.
    Loaded(const std::string& path, bool want_map = false)
    {
        static Color32 request;
        if (want_map) map = &request;
        buff = ChargeBMP(path.c_str(), cols, rows, type, map);
        if (!want_map) map = nullptr;
    }
    Bytes row(int i) const { return Bytes(buff[i], buff[i] + cols * (type == 2 ? 3 : 1)); }
};

const std::vector<Bytes> kGray = {{1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}, {11, 12, 13, 14, 15}};

}  // namespace

TEST(BmpReader, GrayRoundTripKeepsRowsAndKind)
{
    TempDir dir;
    save(dir / "g.bmp", kGray, 5, 0);
    Loaded l(dir / "g.bmp", true);
    ASSERT_NE(l.buff, nullptr);
    EXPECT_EQ(l.cols, 5);
    EXPECT_EQ(l.rows, 3);
    EXPECT_EQ(l.type, 0);
    for (int i = 0; i < 3; i++) EXPECT_EQ(l.row(i), kGray[i]);
    ASSERT_NE(l.map, nullptr);
    EXPECT_EQ(l.map[200].R, 200);
}

TEST(BmpReader, PaletteKindDependsOnColourBytesOnly)
{
    TempDir dir;
    save(dir / "g.bmp", kGray, 5, 0);
    Bytes file = read_file(dir / "g.bmp");

    Bytes o_only = file;
    o_only[54 + 4 * 77 + 3] = 0xEE;  // entry 77's fourth byte
    write_file(dir / "o.bmp", o_only);
    EXPECT_EQ(Loaded(dir / "o.bmp").type, 0);

    for (int k = 0; k < 3; k++) {  // blue, green, red of entry 255
        Bytes changed = file;
        changed[54 + 4 * 255 + k] ^= 1;
        write_file(dir / "c.bmp", changed);
        Loaded l(dir / "c.bmp", true);
        ASSERT_NE(l.buff, nullptr);
        EXPECT_EQ(l.type, 1) << "byte " << k;
        EXPECT_EQ(l.map[255].B, k == 0 ? 254 : 255);
        EXPECT_EQ(l.row(2), kGray[2]);
    }
}

TEST(BmpReader, TrueColorWidthOneKeepsThreeBytesARow)
{
    TempDir dir;
    save(dir / "t.bmp", {{1, 2, 3}, {4, 5, 6}}, 1, 2);
    Loaded l(dir / "t.bmp");
    ASSERT_NE(l.buff, nullptr);
    EXPECT_EQ(l.type, 2);
    EXPECT_EQ(l.cols, 1);
    EXPECT_EQ(l.row(0), (Bytes{1, 2, 3}));
    EXPECT_EQ(l.row(1), (Bytes{4, 5, 6}));
}

TEST(BmpReader, ReadsATrueColorFileWrittenByImageMagick)
{
#ifdef _WIN32
    GTEST_SKIP() << "ImageMagick runs on the build machine: the POSIX suite reads its files";
#endif
    ASSERT_STRNE(IM_CONVERT, "") << "ImageMagick's convert is needed (Debian package imagemagick)";
    TempDir dir;
    Bytes rgb;  // 3 x 2 pixels, top row first, red-green-blue
    for (int k = 0; k < 18; k++) rgb.push_back((unsigned char)(k * 13 + 1));
    write_file(dir / "in.rgb", rgb);
    ASSERT_EQ(run_command(std::string(IM_CONVERT) + " -size 3x2 -depth 8 rgb:" + (dir / "in.rgb") +
                          " -type TrueColor BMP3:" + (dir / "im.bmp")),
              0);
    Loaded l(dir / "im.bmp");
    ASSERT_NE(l.buff, nullptr);
    EXPECT_EQ(l.type, 2);
    EXPECT_EQ(l.cols, 3);
    EXPECT_EQ(l.rows, 2);
    for (int i = 0; i < 2; i++)
        for (int j = 0; j < 3; j++)
            for (int c = 0; c < 3; c++)  // the file holds blue, green, red
                EXPECT_EQ(l.buff[i][3 * j + c], rgb[(i * 3 + j) * 3 + 2 - c]) << i << "," << j << "," << c;
}

TEST(BmpReader, RefusesFilesOutsideTheTwoLayouts)
{
    TempDir dir;
    save(dir / "g.bmp", kGray, 5, 0);
    const Bytes good = read_file(dir / "g.bmp");
    struct Case {
        const char* what;
        size_t pos;
        uint32_t value;
    };
    for (Case c : {Case{"offset other than 1078", 10, 1074}, Case{"signature", 0, 0x4D43},
                   Case{"negative height", 22, (uint32_t)-3}, Case{"zero width", 18, 0},
                   Case{"width over 32767", 18, 32768}, Case{"run-length compression", 30, 1},
                   Case{"other compression", 30, 3}, Case{"16 bits per pixel", 28, 16}}) {
        Bytes bad = good;
        if (c.pos == 0 || c.pos == 28) {
            bad[c.pos] = (unsigned char)c.value;
            bad[c.pos + 1] = (unsigned char)(c.value >> 8);
        } else {
            put_le32(bad, c.pos, c.value);
        }
        write_file(dir / "bad.bmp", bad);
        EXPECT_EQ(Loaded(dir / "bad.bmp").buff, nullptr) << c.what;
    }
}

TEST(BmpReader, RefusesShortFilesWithoutTrustingTheirSizes)
{
    TempDir dir;
    save(dir / "g.bmp", kGray, 5, 0);
    const Bytes good = read_file(dir / "g.bmp");
    for (size_t len : {good.size() - 1, good.size() - 8, (size_t)1078 + 3, (size_t)1000, (size_t)53, (size_t)0}) {
        write_file(dir / "short.bmp", Bytes(good.begin(), good.begin() + (long)len));
        EXPECT_EQ(Loaded(dir / "short.bmp").buff, nullptr) << len << " bytes";
    }
    // A header claiming 32767 x 32767 pixels over a few bytes of data.
    Bytes huge = good;
    put_le32(huge, 18, 32767);
    put_le32(huge, 22, 32767);
    write_file(dir / "huge.bmp", huge);
    EXPECT_EQ(Loaded(dir / "huge.bmp").buff, nullptr);
    EXPECT_EQ(Loaded(dir / "missing.bmp").buff, nullptr);
}

TEST(BmpReader, APaletteRequestedIsHandedOutEvenWhenTheFileIsMissing)
{
    TempDir dir;
    Loaded l(dir / "missing.bmp", true);
    EXPECT_EQ(l.buff, nullptr);
    EXPECT_NE(l.map, nullptr);  // the caller owns it; ~Loaded releases it
}
