// A complete DEM is streamed from its file; one shorter than its descriptor
// says is held in memory with its missing elevations at 0. The two ways must
// write the same bytes: the short file, and the same file padded with zeros
// to its full length, give identical results.
#include "e2e.h"

#include <climits>
#include <gtest/gtest.h>

namespace {

// Rough relief with int32 extremes scattered in, from a fixed seed.
std::vector<int32_t> relief(int lines, int cols)
{
    std::vector<int32_t> z((size_t)lines * cols);
    uint32_t h = 12345u + (uint32_t)cols;
    for (size_t k = 0; k < z.size(); k++) {
        h = h * 1664525u + 1013904223u;
        int32_t v = (int32_t)(k % (size_t)cols) * 3 + (int32_t)(h >> 24);
        if (h % 997 == 0) v = INT_MAX;
        if (h % 991 == 0) v = INT_MIN;
        z[k] = v;
    }
    return z;
}

}  // namespace

TEST(Streaming, WritesTheSameFilesAsTheInMemoryRun)
{
    // Widths that are not multiples of any vector width, and rows too short
    // for the search window.
    const std::pair<int, int> shapes[] = {{301, 1003}, {97, 4099}, {20003, 3}, {7, 6}};
    for (auto [lines, cols] : shapes) {
        Site s;
        std::vector<int32_t> z = relief(lines, cols);
        // The last row and a half are missing, and two bytes of the value
        // before them: those two bytes come from the file, the rest are 0.
        size_t kept = z.size() - (size_t)cols - cols / 2 - 1;
        z.resize(z.size() - (size_t)cols - cols / 2);
        z.back() &= 0xFFFF;
        s.dem("padded.raw", std::vector<int32_t>(z.begin(), z.end()));
        Bytes padded = s.file("padded.raw");
        padded.resize((size_t)lines * cols * 4, 0);
        write_file(s.path("padded.raw"), padded);
        write_file(s.path("short.raw"), Bytes(padded.begin(), padded.begin() + (long)(kept * 4 + 2)));
        for (const char* name : {"short.txt", "padded.txt"})
            s.text(name, std::to_string(lines) + "\n" + std::to_string(cols) + "\n4\n0\n0\n7\n");

        for (const char* format : {"0", "1"}) {
            Outcome mem = s.run(std::string("dem1 short 1 m ") + format + " 200\n");
            Outcome str = s.run(std::string("dem1 padded 1 s ") + format + " 200\n");
            ASSERT_EQ(mem.status, 0) << mem.err;
            ASSERT_EQ(str.status, 0) << str.err;
            EXPECT_NE(mem.err.find("found; the missing elevations are 0"), std::string::npos) << mem.err;
            for (const char* ext : {".xls", "_info.txt", ".raw", ".txt", ".bmp"}) {
                std::string want = s.text(std::string("m_tavelkorn") + ext), got = s.text(std::string("s_tavelkorn") + ext);
                for (auto [from, to] : {std::pair<std::string, std::string>{"short.raw", "padded.raw"}, {"/m_", "/s_"}})
                    for (size_t at; (at = want.find(from)) != std::string::npos;) want.replace(at, from.size(), to);
                EXPECT_TRUE(want == got) << lines << "x" << cols << " format " << format << " " << ext;
            }
        }
    }
}
