// A run either replaces its results whole or leaves the folder as it found
// it: interrupted, racing another run, fed a DEM that changes, or pointed at
// names it must not write through.
#include "e2e.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

// The 5 x 6 DEM of the dialogue test, with its descriptor.
const std::vector<int32_t> kDem = {0,  0, 0,  0, 0, 0,  30, 0, 0, 0, 0, -30, 0,  0, 10,
                                   0,  0, 20, 7, 7, 7, 7, 7,  7, 50, 0, 0, 0, 0, -50};

struct Kept : Site {
    std::map<std::string, Bytes> before;
    Kept()
    {
        dem("site.raw", kDem);
        text("site.txt", "5\n6\n4\n-50\n50\n5\n");
        for (const char* old : {"keep_tavelkorn.xls", "keep_tavelkorn_info.txt", "keep_tavelkorn.bmp"})
            text(old, "previous result");
        before = snapshot();
    }
};

// Rows that differ, so that two runs give different files.
std::vector<int32_t> relief(int lines, int cols, uint32_t seed)
{
    std::vector<int32_t> z((size_t)lines * cols);
    for (int32_t& v : z) v = (int32_t)((seed = seed * 1664525u + 1013904223u) >> 20);
    return z;
}

}  // namespace

TEST(WholeResults, AnInterruptedRunLeavesThePreviousResults)
{
    for (const char* sig : {"INT", "TERM", "HUP"}) {
        Kept s;
        Outcome r = s.run_paused("dem1 site 1 keep 1\n", std::string("kill -") + sig + " $PID\n", "");
        EXPECT_NE(r.status, 0) << sig;
        EXPECT_EQ(s.snapshot(), s.before) << sig;
    }
}

TEST(WholeResults, ADemThatChangesBetweenThePassesWritesNothing)
{
    for (const char* change : {"truncate -s 100 images/dem1/site.raw",
                               "printf '\\001' | dd of=images/dem1/site.raw bs=1 seek=60 conv=notrunc 2>/dev/null"}) {
        Kept s;
        Outcome r = s.run_paused("dem1 site 1 keep 1\n", std::string(change) + "; touch -d '+1 min' images/dem1/site.raw\n",
                                 "255\n");
        EXPECT_EQ(r.status, 1) << change;
        EXPECT_NE(r.err.find("images/dem1/site.raw: changed during the run; no result was written"), std::string::npos)
            << r.err;
        auto after = s.snapshot();
        after.erase("site.raw");
        s.before.erase("site.raw");
        EXPECT_EQ(after, s.before) << change;
    }
}

TEST(WholeResults, ConcurrentRunsEachLeaveWholeFiles)
{
    Site s;
    s.dem("a.raw", relief(400, 2000, 1));
    s.dem("b.raw", relief(900, 900, 2));
    s.text("a.txt", "400\n2000\n4\n0\n0\n1\n");
    s.text("b.txt", "900\n900\n4\n0\n0\n1\n");
    // Each DEM alone first, then both at once on the same result names.
    std::map<std::string, Bytes> alone[2];
    for (int k = 0; k < 2; k++) {
        s.run(std::string("dem1 ") + "ab"[k] + " 1 out 1 255");
        alone[k] = s.snapshot();
    }
    write_file(s.dir / "a", "dem1 a 1 out 1 255");
    write_file(s.dir / "b", "dem1 b 1 out 1 255");
    ASSERT_EQ(run_command("cd '" + s.dir.path + "' && for k in 1 2 3; do '" TAVELKORN "' < a > /dev/null & '" TAVELKORN
                          "' < b > /dev/null; wait; done"),
              0);
    // Every file is one a run alone leaves, byte for byte (a stray private
    // folder is in neither).
    auto laissee = [&](int k, const std::pair<const std::string, Bytes>& f) {
        auto it = alone[k].find(f.first);
        return it != alone[k].end() && it->second == f.second;
    };
    for (auto& f : s.snapshot()) EXPECT_TRUE(laissee(0, f) || laissee(1, f)) << f.first;
}

TEST(WholeResults, ResultNamesThatMustNotBeWrittenThrough)
{
    // "./r" is the DEM's descriptor once the suffix is added.
    Site s;
    s.dem("r_tavelkorn_info.raw", kDem);
    Outcome r = s.run("dem1 r_tavelkorn_info 5 6 5 1 ./r 1 fine 1 255");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("images/dem1/./r_tavelkorn_info.txt would overwrite the DEM or its descriptor"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(s.text("r_tavelkorn_info.txt"), crlf("5\n6\n4\n-50\n50\n5\n"));

    // A link at a result name is replaced, never written through; a link to
    // a device is the device's name: written into, never replaced (/dev/full
    // fails before any result is put in place).
    Kept k;
    write_file(k.dir / "precious.txt", "precious");
    fs::remove(k.path("keep_tavelkorn_info.txt"));
    fs::remove(k.path("keep_tavelkorn.xls"));
    fs::create_symlink("../../precious.txt", k.path("keep_tavelkorn_info.txt"));
    fs::create_symlink("/dev/full", k.path("keep_tavelkorn.xls"));
    Outcome full = k.run("dem1 site 1 keep 1 255");
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("keep_tavelkorn.xls: could not be written: No space left on device; no result was written"),
              std::string::npos) << full.err;
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(k.path("keep_tavelkorn_info.txt"))));
    fs::remove(k.path("keep_tavelkorn.xls"));
    fs::create_symlink("/dev/null", k.path("keep_tavelkorn.xls"));
    Outcome l = k.run("dem1 site 1 keep 1 255");
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_EQ(read_file(k.dir / "precious.txt"), Bytes({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(k.path("keep_tavelkorn_info.txt"))));
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(k.path("keep_tavelkorn.xls"))));
}

TEST(WholeResults, InputsThatCannotBeReadEndTheRunWithTheirReason)
{
    struct Case {
        const char* what;
        const char* message;
    } cases[] = {
        {"rm site.txt && mkfifo site.txt", "images/dem1/site.txt: not a regular file"},
        {"chmod 0200 site.txt", "images/dem1/site.txt: cannot be opened: Permission denied"},
        {"chmod 0 site.raw", "images/dem1/site.raw: cannot be opened: Permission denied"},
    };
    for (const Case& c : cases) {
        Kept s;
        // As an ordinary user, who may write in the folder: root reads anything.
        // The program is copied there too: the build's folder may be closed
        // to other users.
        ASSERT_EQ(run_command("cd '" + s.dir.path + "/images/dem1' && chmod 0755 ../../ && chmod 0777 . && cp '" +
                              TAVELKORN + "' ../../tavelkorn && " + c.what),
                  0);
        auto before = s.snapshot();
        Outcome r = s.run("dem1 site 1 keep 1 255",  // the run's own "exec" is skipped by the shell
                          "exec setpriv --reuid=65534 --regid=65534 --clear-groups sh -c 'shift; exec \"$@\"' sh",
                          (s.dir / "tavelkorn").c_str());
        EXPECT_EQ(r.status, 1) << c.what << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(s.snapshot(), before) << c.what;
    }
}

TEST(WholeResults, DescriptorsAreReadOrNamedWithTheirFault)
{
    struct Case {
        std::string descriptor;
        int status;
        const char* message;
    } cases[] = {
        {"\xEF\xBB\xBF" "5\r\n6\r\n4\r\n-50\r\n50\r\n5\r\n", 0, ""},
        {"5\n6\n4\n", 0, "warning: images/dem1/site.txt: 3 of the 6 fields; missing: minimum, maximum, pixel size"},
        {std::string("\xFF\xFE" "5\0\n\0", 6), 1, "images/dem1/site.txt: UTF-16 text"},
        {"5\n6\n4\n-50\n403.0\n5\n", 1, "images/dem1/site.txt: line 5: '403.0' is not a whole decimal number"},
        {"0x193\n", 1, "line 1: '0x193' is not a whole decimal number"},
        {"5 lines\n6\n", 1, "line 1: 'lines' is not a whole decimal number"},
    };
    for (const Case& c : cases) {
        Kept s;
        s.text("site.txt", c.descriptor);
        Outcome r = s.run("dem1 site 1 keep 0 255");
        EXPECT_EQ(r.status, c.status) << c.descriptor << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        if (c.status == 0) {
            EXPECT_EQ(s.text("keep_tavelkorn.txt").substr(0, 9), crlf("5\n6\n1\n"));
        }
    }
}

TEST(WholeResults, ABitmapTooLargeAsksTheFormatAgainAndALostDialogueFails)
{
    Site s;
    s.dem("site.raw", kDem);
    s.text("site.txt", "70000\n70000\n4\n0\n0\n1\n");
    fs::resize_file(s.path("site.raw"), 70000ull * 70000 * 4);  // sparse, complete: streamed
    Outcome r = s.run("dem1 site 0 1");
    EXPECT_NE(r.err.find("images/dem1/site_tavelkorn.bmp: 70000 x 70000 pixels do not fit in a BMP file"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find(kFormatMenu + kFormatMenu), std::string::npos);
    EXPECT_NE(r.err.find("end of input at the format menu prompt"), std::string::npos) << r.err;

    Kept full;
    write_file(full.dir / "answers", "dem1 site 1 keep 1 255");
    std::string err;
    EXPECT_EQ(run_command("cd '" + full.dir.path + "' && '" TAVELKORN "' < answers 2>&1 >/dev/full", &err), 1);
    EXPECT_NE(err.find("standard output: the dialogue could not be written"), std::string::npos) << err;
    EXPECT_EQ(full.snapshot(), full.before);
}
