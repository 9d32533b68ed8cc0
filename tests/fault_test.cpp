// Hostile files, hostile answers and failing disks: each ends with a message
// naming the file or value and status 1, leaves no half-written DEM
// descriptor, and never touches the DEM.
#include "e2e.h"

#include <filesystem>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// A 5 x 6 DEM with a window maximum of 40 (see the dialogue test).
const std::vector<int32_t> kDem = {0,  0, 0,  0, 0, 0,  30, 0, 0, 0, 0, -30, 0,  0, 10,
                                   0,  0, 20, 7, 7, 7, 7, 7,  7, 50, 0, 0, 0, 0, -50};

struct Faulty : Site {
    Bytes dem_bytes;
    Faulty()
    {
        dem("site.raw", kDem);
        dem_bytes = file("site.raw");
    }
    // The run failed cleanly: status 1, the message, the DEM as it was and
    // its new descriptor complete or absent.
    void expect_clean_failure(const Outcome& r, const std::string& message) const
    {
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << message << " / " << r.err;
        EXPECT_EQ(file("site.raw"), dem_bytes);
        EXPECT_FALSE(exists("site.txt"));
        for (auto& f : snapshot()) EXPECT_EQ(f.first.find("tavelkorn-tmp"), std::string::npos) << f.first;
    }
};

}  // namespace

TEST(Fault, AResultFileThatCannotBeCreated)
{
    // A directory in the way stops even root from creating the file.
    for (const char* name : {"site_tavelkorn.xls", "site_tavelkorn_info.txt", "site_tavelkorn.raw",
                             "site_tavelkorn.txt", "site_tavelkorn.bmp"}) {
        Faulty s;
        fs::create_directory(s.path(name));
        Outcome r = s.run(std::string("dem1 site 5 6 5 0 ") + (strstr(name, "bmp") ? "1" : "0") + " 255");
        s.expect_clean_failure(r, std::string("images/dem1/") + name + ": cannot be created: Is a directory");
    }
}

TEST(Fault, AFileSizeLimitLeavesThePreviousResults)
{
    // No room at all: the first result written fails; 1 KiB: the profile,
    // report and descriptors fit, the 1118-byte BMP does not.
    for (const char* limit_and_format : {"0 0", "0 1", "1 1"}) {
        Faulty s;
        s.text("site_tavelkorn.bmp", "previous result");
        s.text("site_tavelkorn.xls", "previous result");
        auto before = s.snapshot();
        std::string limit(limit_and_format, 1), format(limit_and_format + 2);
        Outcome r = s.run("dem1 site 5 6 5 0 " + format + " 255", "trap '' XFSZ; ulimit -f " + limit + ";");
        s.expect_clean_failure(r, ": could not be written completely");
        EXPECT_EQ(s.snapshot(), before) << limit_and_format;
    }
}

TEST(Fault, MemoryTooSmallForTheDem)
{
    // The unsanitized program under an address-space limit: an incomplete
    // DEM is held in memory, and 2000 x 2000 elevations do not fit in 16 MB.
    Faulty s;
    s.text("site.txt", "2000\n2000\n4\n0\n0\n1\n");
    Outcome r = s.run("dem1 site 0 0 255", "ulimit -v 16000;", TAVELKORN_PLAIN);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("images/dem1/site.raw: 16000000 bytes expected for 2000 x 2000 elevations, 120 found; "
                         "an incomplete DEM must fit in memory"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(s.exists("site_tavelkorn.xls"));

#if defined(__SANITIZE_ADDRESS__)
    // Rows of 8 MB where the allocator gives 4 MiB at most (a limit only the
    // sanitizer's allocator offers).
    s.text("site.txt", "3\n1000000\n4\n0\n0\n1\n");
    Outcome refused = s.run("dem1 site 0 0 255", "ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=4");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("images/dem1/site.raw: rows of 1000000 elevations (12 MiB) could not be allocated"),
              std::string::npos)
        << refused.err;
    EXPECT_FALSE(s.exists("site_tavelkorn.xls"));
#endif

    // 2000000000 x 2000000000: not even one row fits.
    s.text("site.txt", "2000000000\n2000000000\n4\n0\n0\n1\n");
    Outcome huge = s.run("dem1 site 0 0 255");
    EXPECT_EQ(huge.status, 1);
    EXPECT_NE(huge.err.find("images/dem1/site.raw: a row of 2000000000 elevations needs 24795 MiB of memory"),
              std::string::npos)
        << huge.err;
    EXPECT_FALSE(s.exists("site_tavelkorn.xls"));
}

TEST(Fault, ADemThatIsNotARegularFileOrCannotBeRead)
{
    Site dir;
    fs::create_directory(dir.path("site.raw"));
    Outcome r = dir.run("dem1 site 5 6 5 0 0 255");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("images/dem1/site.raw: not a regular file"), std::string::npos) << r.err;

    Site fifo;
    ASSERT_EQ(mkfifo(fifo.path("site.raw").c_str(), 0600), 0);
    Outcome f = fifo.run("dem1 site 5 6 5 0 0 255");  // must not wait for a writer
    EXPECT_EQ(f.status, 1);

    Site unreadable;  // reading this regular-looking file fails with an I/O error
    fs::create_symlink("/proc/self/mem", unreadable.path("site.raw"));
    Outcome u = unreadable.run("dem1 site 5 6 5 0 0 255");
    EXPECT_EQ(u.status, 1);
    EXPECT_NE(u.err.find("images/dem1/site.raw: cannot be read"), std::string::npos) << u.err;
    EXPECT_FALSE(unreadable.exists("site.txt"));
}

TEST(Answers, LongTokensNulBytesAndNonNumbersAtEveryPrompt)
{
    const std::string long_name(10000, 'n');
    Faulty s;
    Outcome r = s.run("dem1 " + long_name + "\n");
    EXPECT_EQ(r.status, 1);  // a name no file can have is not a missing DEM
    EXPECT_NE(r.err.find(long_name + ".raw: cannot be opened: File name too long"), std::string::npos);

    Outcome result = s.run("dem1 site 5 6 5 1 " + long_name + " 0 255");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(": cannot be created"), std::string::npos);
    EXPECT_FALSE(s.exists("site.txt"));

    Faulty nul;
    Outcome n = nul.run(std::string("dem1 si\0te site 5 6 5 0 1 255", 30));
    EXPECT_EQ(n.status, 0) << n.err;
    EXPECT_NE(n.err.find("the DEM name holds a NUL byte"), std::string::npos) << n.err;

    // A non-number at each numeric prompt, and dimensions below 1: each is
    // refused and asked again.
    Faulty every;
    Outcome e = every.run("dem1 site a\n0\n-3\n5\nb\n6\nc\n5\nd\n0\ne\n1\nf\n255\r\n");
    EXPECT_EQ(e.status, 0) << e.err;
    for (const char* refusal : {"'a': the number of lines", "0: the number of lines must be at least 1",
                                "-3: the number of lines must be at least 1", "'b': the number of columns",
                                "'c': the pixel size", "'d': the result name menu", "'e': the format menu",
                                "'f': the normalization value"})
        EXPECT_NE(e.err.find(refusal), std::string::npos) << refusal;
    std::string lines_prompt = "\n\tNumber of lines   ? ";
    EXPECT_NE(e.out.find(lines_prompt + lines_prompt + lines_prompt + lines_prompt + "\n\tNumber of columns ? "),
              std::string::npos);
    EXPECT_EQ(every.text("site.txt"), crlf("5\n6\n4\n-50\n50\n5\n"));
    EXPECT_TRUE(every.exists("site_tavelkorn.bmp"));

    // Numbers at the very limits of int, and past them.
    Faulty limits;
    Outcome l = limits.run("dem1 site 5 6 -2147483648 0 1 2147483648\n-2147483649 x\n2147483647\n");
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_NE(l.err.find("'2147483648': the normalization value"), std::string::npos) << l.err;
    EXPECT_NE(l.err.find("'-2147483649x': the normalization value"), std::string::npos) << l.err;
    EXPECT_NE(limits.text("site_tavelkorn_info.txt").find("Normalization value = 255 "), std::string::npos);
    EXPECT_EQ(limits.text("site.txt"), crlf("5\n6\n4\n-50\n50\n-2147483648\n"));
}
