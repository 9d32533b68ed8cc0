// A DEM too large for memory is streamed, and the files are the same bytes
// as when it is held in memory. Streaming is forced with an address-space
// limit on the unsanitized program, which the elevation grid cannot fit in.
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
        if (h % 9973 == 0) v = INT_MAX;
        if (h % 9967 == 0) v = INT_MIN;
        z[k] = v;
    }
    return z;
}

}  // namespace

TEST(Streaming, WritesTheSameFilesAsTheInMemoryRun)
{
    // About 20 MB each; widths that are not multiples of any vector width,
    // and rows too short for the search window.
    const std::pair<int, int> shapes[] = {{2237, 2239}, {501, 10007}, {1700003, 3}};
    for (auto [lines, cols] : shapes) {
        Site s;
        s.dem("d.raw", relief(lines, cols));
        s.text("d.txt", std::to_string(lines) + "\n" + std::to_string(cols) + "\n4\n0\n0\n7\n");
        for (const char* format : {"0", "1"}) {
            std::string answers = std::string("dem1 d 1 mem ") + format + " 200\n";
            Outcome mem = s.run(answers, "", TAVELKORN_PLAIN);
            answers.replace(answers.find("mem"), 3, "str");
            Outcome str = s.run(answers, "ulimit -v 16000;", TAVELKORN_PLAIN);
            ASSERT_EQ(mem.status, 0) << mem.err;
            ASSERT_EQ(str.status, 0) << str.err;
            EXPECT_EQ(str.out, mem.out);
            for (const char* ext : {".xls", "_info.txt", ".raw", ".txt", ".bmp"}) {
                std::string want = s.text(std::string("mem_tavelkorn") + ext), got = s.text(std::string("str_tavelkorn") + ext);
                for (size_t at; (at = want.find("mem_tavelkorn")) != std::string::npos;) want.replace(at, 3, "str");
                EXPECT_TRUE(want == got) << lines << "x" << cols << " format " << format << " " << ext;
            }
        }
    }
}
