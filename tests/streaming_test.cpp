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
    // Widths that are not multiples of any vector width, rows too short for
    // the search window, and 2000 rows in blocks of 261 that 3 threads share
    // unevenly. The DEM held in memory by 3 threads, and streamed by 3, must
    // write what 1 thread streaming writes.
    const std::pair<int, int> shapes[] = {{301, 1003}, {97, 4099}, {20003, 3}, {7, 6}, {2000, 1003}};
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
            Outcome mem = s.run(std::string("dem1 short 1 m ") + format + " 200\n", "TAVELKORN_THREADS=3");
            Outcome str = s.run(std::string("dem1 padded 1 s ") + format + " 200\n", "TAVELKORN_THREADS=1");
            Outcome par = s.run(std::string("dem1 padded 1 t ") + format + " 200\n", "TAVELKORN_THREADS=3");
            ASSERT_EQ(mem.status + str.status + par.status, 0) << mem.err << str.err << par.err;
            EXPECT_NE(mem.err.find("found; the missing elevations are 0"), std::string::npos) << mem.err;
            for (const char* ext : {".xls", "_info.txt", ".raw", ".txt", ".bmp"})
                for (const char* other : {"m", "t"}) {
                    std::string want = s.text(std::string(other) + "_tavelkorn" + ext),
                                got = s.text(std::string("s_tavelkorn") + ext);
                    for (auto [from, to] : {std::pair<std::string, std::string>{"short.raw", "padded.raw"},
                                            {std::string("/") + other + "_", "/s_"}})
                        for (size_t at; (at = want.find(from)) != std::string::npos;) want.replace(at, from.size(), to);
                    EXPECT_TRUE(want == got) << lines << "x" << cols << " format " << format << " " << other << ext;
                }
        }
    }
}
