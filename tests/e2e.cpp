#include "e2e.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

Site::Site() { std::filesystem::create_directories(dir.path + "/images/" + folder); }

void Site::dem(const std::string& name, const std::vector<int32_t>& z) const
{
    Bytes b(z.size() * 4);
    for (size_t k = 0; k < z.size(); k++) put_le32(b, 4 * k, (uint32_t)z[k]);
    write_file(path(name), b);
}

// On Windows the program joins the folder and a name with a backslash; the
// tests expect the paths as the other systems write them.
std::string Site::same_separators(std::string s) const
{
#ifdef _WIN32
    std::string from = "images/" + folder + "\\";
    for (size_t at; (at = s.find(from)) != std::string::npos;) s.replace(at, from.size(), "images/" + folder + "/");
#endif
    return s;
}

std::string Site::text(const std::string& name) const
{
    Bytes b = file(name);
    return same_separators(std::string(b.begin(), b.end()));
}

// What a run left in dir: its status, standard output and standard error.
static Outcome outcome(const TempDir& dir)
{
    Outcome r;
    Bytes status = read_file(dir / "status");
    r.status = status.empty() ? -1 : std::stoi(std::string(status.begin(), status.end()));
    Bytes out = read_file(dir / "stdout"), err = read_file(dir / "stderr");
    r.out.assign(out.begin(), out.end());
    r.err.assign(err.begin(), err.end());
#ifdef _WIN32
    for (std::string* s : {&r.out, &r.err})  // the console's line end
        for (size_t at; (at = s->find("\r\n")) != std::string::npos;) s->erase(at, 1);
#endif
    return r;
}

#ifdef _WIN32
// Each test's own base folder, through the program's test hook; the
// program's paths then read images/FOLDER\NAME.
static const int base_hook = _putenv("TAVELKORN_TEST_BASE=images/");

Outcome Site::run(const std::string& answers, const std::string& prefix, const char* program) const
{
    (void)base_hook;
    if (!prefix.empty()) throw std::runtime_error("shell prefixes are POSIX-only: " + prefix);
    write_file(dir / "answers", answers);
    std::string cmd = "cd /d \"" + dir.path + "\" && \"" + host_path(program) +
                      "\" < answers > stdout 2> stderr";
    int status = std::system(("\"" + cmd + "\"").c_str());
    // 9009 is cmd's "not recognized as a command": under load wine now and
    // then fails to start a process it started a moment before. The program
    // never exits so; one more try tells that apart from a real fault.
    if (status == 9009) status = std::system(("\"" + cmd + "\"").c_str());
    write_file(dir / "status", std::to_string(status));
    Outcome r = outcome(dir);
    r.out = same_separators(r.out);
    r.err = same_separators(r.err);
    return r;
}
#else
Outcome Site::run(const std::string& answers, const std::string& prefix, const char* program) const
{
    write_file(dir / "answers", answers);
    // Standard error goes through a pipe, so that a file-size limit set in
    // prefix cannot swallow the program's messages.
    std::string cmd = "cd '" + dir.path + "' && ( (" + prefix + " exec '" + program +
                      "' < answers > stdout) 2>&1; echo $? > status ) | cat > stderr";
    std::system(cmd.c_str());
    return outcome(dir);
}
#endif

Outcome Site::cli(const std::string& args, const char* program, const std::string& prefix) const
{
    std::system(("cd '" + path("") + "' && " + prefix + " '" + program + "' " + args + " > '" + (dir / "stdout") + "' 2> '" +
                 (dir / "stderr") + "' < /dev/null; echo $? > '" + (dir / "status") + "'")
                    .c_str());
    return outcome(dir);
}

int Site::sh(const std::string& commands, std::string* out, const char* program) const
{
    write_file(dir / "commands.sh", "export T='" + std::string(program) + "'\n" + commands + "\n");
    return run_command("cd '" + path("") + "' && bash '" + (dir / "commands.sh") + "' 2>&1 < /dev/null", out);
}

Outcome Site::run_paused(const std::string& before, const std::string& meanwhile, const std::string& after) const
{
    write_file(dir / "before", before);
    write_file(dir / "after", after);
    write_file(dir / "meanwhile", meanwhile);
    // Job control: the program is its own process group and keeps SIGINT.
    write_file(dir / "paused.sh", "set -m; rm -f fifo; mkfifo fifo\n'" + std::string(TAVELKORN) +
                                      "' < fifo > stdout 2> stderr & PID=$!\n"
                                      "{ cat before; for i in $(seq 200); do grep -q Normalization stdout && break;"
                                      " sleep 0.05; done; . ./meanwhile; cat after; } > fifo\n"
                                      "wait $PID; echo $? > status\n");
    std::system(("cd '" + dir.path + "' && bash paused.sh").c_str());
    return outcome(dir);
}

Outcome Site::interrupted(const std::string& args, const std::string& then) const
{
    write_file(path("run.sh"), "'" + std::string(TAVELKORN) + "' " + args + " 2> '" + (dir / "stderr") + "' & PID=$!\n" +
                                   "for i in $(seq 500); do ls -a | grep -q tavelkorn-tmp && break; sleep 0.01; done\n" +
                                   then + "\nwait $PID; echo $? > '" + (dir / "status") + "'\n");
    std::system(("cd '" + path("") + "' && bash run.sh > /dev/null 2>&1; rm -f run.sh").c_str());
    return outcome(dir);
}

std::map<std::string, Bytes> Site::snapshot() const
{
    std::map<std::string, Bytes> m;
    for (auto& e : std::filesystem::directory_iterator(dir.path + "/images/" + folder)) {
        std::string name = e.path().filename().string();
        if (e.is_regular_file()) m[name] = read_file(e.path().string());
        else if (e.is_directory() && !e.is_symlink()) m[name + "/"] = {};  // a run's private folder left behind shows
    }
    return m;
}

static std::string banner()
{
    std::string stars(62, '*'), inner = "\n\t*" + std::string(60, ' ') + "*";
    std::string b = "\n\n\t" + stars + inner + "\n\t*                        Tavelkorn                           *";
    for (int k = 0; k < 8; k++) b += inner;
    return b + "\n\t" + stars;
}

const std::string kBanner = banner() + "\n\n\tName of the File Folder located in the Directory C:\\images : " +
                            "\n\tName of the DEM (integer 4) (whitout extension .raw) ? ";

std::string dims_shown(int lines, int cols)
{
    return "\n\n\tTHE DIGITAL ELEVATION MODEL HAS : \n\t            " + std::to_string(lines) +
           " LINES\n\t        AND " + std::to_string(cols) + " COLUMNS\n";
}

std::string result_menu(const std::string& dem)
{
    return "\n\t\t0 -----> Use of the generic name " + dem + " ? \n\t\t1 -----> Creation of a new File ? \n\t\t";
}

const std::string kFormatMenu = "\n\t\t0 ====> raster\n\t\t1 ====> bitmap\n\t\t";

std::string range_and_norm(int mind, int maxd)
{
    return "\n\tLecture \n\n\tAltitudes : \n\tMin : " + std::to_string(mind) + "\tMax : " + std::to_string(maxd) +
           " \n\tNormalization value (255 max.) ? ";
}

std::string crlf(const std::string& text)
{
    std::string s;
    for (char c : text) s += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return s;
}
