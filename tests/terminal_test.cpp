// The program on a real terminal (a pseudo-terminal): the key press that
// ends a run on a missing DEM, and the progress line on standard error.
#include "e2e.h"

#include <csignal>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

// The program with its standard input, output and error on one terminal.
struct Terminal {
    int master = -1;
    pid_t pid = -1;
    std::string seen;

    explicit Terminal(const std::string& dir)
    {
        pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            if (chdir(dir.c_str()) == 0) execl(TAVELKORN, TAVELKORN, (char*)nullptr);
            _exit(127);
        }
    }
    ~Terminal()
    {
        if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        if (master >= 0) close(master);
    }
    void type(const std::string& keys) { ASSERT_EQ(write(master, keys.data(), keys.size()), (ssize_t)keys.size()); }
    // Reads what the terminal shows until text appears or the program ends;
    // false after 60 s without either, so a program that waits never hangs the suite.
    bool wait_for(const std::string& text)
    {
        for (int waited = 0; seen.find(text) == std::string::npos; ) {
            pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 100) == 0) {
                if ((waited += 100) > 60000) return false;
                continue;
            }
            char buf[4096];
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) return text.empty();
            seen.append(buf, (size_t)n);
        }
        return true;
    }
    // Waits until the program has turned echo off on its terminal.
    bool wait_for_no_echo()
    {
        for (int waited = 0; waited < 60000; waited += 10) {
            termios t;
            if (tcgetattr(master, &t) == 0 && !(t.c_lflag & ECHO)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    int status()
    {
        wait_for("");
        int st = 0;
        waitpid(pid, &st, 0);
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
};

}  // namespace

TEST(Terminal, AMissingDemWaitsForOneKeyWithoutEcho)
{
    Site s;
    Terminal t(s.dir.path);
    t.type("dem1\nnothere\n");
    ASSERT_TRUE(t.wait_for("File images/dem1/nothere.raw unknown"));
    ASSERT_TRUE(t.wait_for_no_echo());
    t.type("q");  // one key, no Enter
    EXPECT_EQ(t.status(), 0);
    EXPECT_EQ(t.seen.find("q", t.seen.find("unknown")), std::string::npos) << "the key was echoed";
}

TEST(Terminal, ProgressIsShownOnlyOnceAStepTakesASecondAndThenErased)
{
    Site s;
    // Large enough that the reading lasts a good fraction of a second even
    // in the optimised build, so the stop below lands inside it.
    const int lines = 4000, cols = 4000;
    std::vector<int32_t> z((size_t)lines * cols);
    for (size_t k = 0; k < z.size(); k++) z[k] = (int32_t)(k % 977);
    s.dem("big.raw", z);
    s.text("big.txt", "4000\n4000\n4\n0\n0\n1\n");
    Terminal t(s.dir.path);
    t.type("dem1\nbig\n0\n0\n");
    ASSERT_TRUE(t.wait_for("Lecture"));
    // Hold the reading for more than a second: it then reports how far it is.
    kill(t.pid, SIGSTOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    kill(t.pid, SIGCONT);
    ASSERT_TRUE(t.wait_for("Normalization value"));
    t.type("255\n");
    EXPECT_EQ(t.status(), 0);
    size_t shown = t.seen.find("\rtavelkorn: reading ");
    ASSERT_NE(shown, std::string::npos) << t.seen;
    EXPECT_NE(t.seen.find("\r" + std::string(60, ' ') + "\r", shown), std::string::npos);
    EXPECT_TRUE(s.exists("big_tavelkorn.raw"));
}
