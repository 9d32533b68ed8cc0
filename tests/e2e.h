// Runs the built program as an operator would: in a temporary working
// directory holding images/<folder>/, with the answers piped on standard
// input.
#ifndef E2E_H
#define E2E_H

#include "test_util.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct Outcome {
    int status;
    std::string out, err;
};

struct Site {
    TempDir dir;
    std::string folder = "dem1";
    // A file of the DEM folder.
    std::string path(const std::string& name) const { return dir.path + "/images/" + folder + "/" + name; }
    Site();
    // Writes NAME.raw: little-endian int32 elevations, row after row.
    void dem(const std::string& name, const std::vector<int32_t>& z) const;
    void text(const std::string& name, const std::string& content) const { write_file(path(name), content); }
    Bytes file(const std::string& name) const { return read_file(path(name)); }
    std::string text(const std::string& name) const;
    // Paths in a text as the POSIX build writes them (a no-op there).
    std::string same_separators(std::string s) const;
    bool exists(const std::string& name) const { return file_exists(path(name)); }
    // Runs the program (by default the test build's) after the shell
    // commands in prefix, e.g. "ulimit -f 1;".
    Outcome run(const std::string& answers, const std::string& prefix = "", const char* program = TAVELKORN) const;
    // Answers `before`, waits (10 s at most) for the normalization prompt,
    // runs the shell commands `meanwhile` ($PID is the program), then
    // answers `after`.
    Outcome run_paused(const std::string& before, const std::string& meanwhile, const std::string& after) const;
    // The command line, run from the DEM folder after the shell commands in
    // prefix.
    Outcome cli(const std::string& args, const char* program = TAVELKORN, const std::string& prefix = "") const;
    // The command line in the background, from the DEM folder, stopped by
    // the shell commands `then` once its private folder exists (the DEM is
    // open, every check done): $PID is the program.
    Outcome interrupted(const std::string& args, const std::string& then) const;
    // Bash commands in the DEM folder, $T the program: their status, and
    // their standard output and error together in out.
    int sh(const std::string& commands, std::string* out = nullptr, const char* program = TAVELKORN) const;
    // Every regular file of the DEM folder (links to one included) with its
    // bytes, and every folder in it (NAME/, no bytes).
    std::map<std::string, Bytes> snapshot() const;
};

// The fixed parts of the dialogue, as the program prints them.
extern const std::string kBanner;
std::string dims_shown(int lines, int cols);
std::string result_menu(const std::string& dem);
extern const std::string kFormatMenu;
std::string range_and_norm(int mind, int maxd);

// Text with every "\n" stored as CR LF, as the program writes text files.
std::string crlf(const std::string& text);

#endif
