#include "test_util.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace fs = std::filesystem;

TempDir::TempDir()
{
    // A new name each time: created exclusively, retried on a clash.
    static std::mt19937_64 alea{std::random_device{}()};
    for (int essai = 0; essai < 100; essai++) {
        fs::path p = fs::temp_directory_path() / ("tavelkorn-test-" + std::to_string(alea() % 1000000000));
        std::error_code ec;
        if (fs::create_directory(p, ec)) {
            fs::permissions(p, fs::perms::owner_all, ec);
            path = p.generic_string();
            return;
        }
    }
    throw std::runtime_error("no temporary folder could be made");
}

std::string host_path(const std::string& path)
{
#ifdef _WIN32
    // Under wine a Unix path of the build (/work/...) is drive Z:.
    if (!path.empty() && path[0] == '/') return "Z:" + path;
#endif
    return path;
}

TempDir::~TempDir()
{
    std::error_code ec;
    fs::remove_all(path, ec);
}

Bytes read_file(const std::string& path)
{
    Bytes b;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return b;
    char buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
    fclose(f);
    return b;
}

void write_file(const std::string& path, const Bytes& data)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), (std::streamsize)data.size());
}

void write_file(const std::string& path, const std::string& text)
{
    write_file(path, Bytes(text.begin(), text.end()));
}

bool file_exists(const std::string& path) { return fs::exists(path); }

uint32_t le32(const Bytes& b, size_t pos)
{
    return b.at(pos) | b.at(pos + 1) << 8 | b.at(pos + 2) << 16 | (uint32_t)b.at(pos + 3) << 24;
}

uint16_t le16(const Bytes& b, size_t pos) { return (uint16_t)(b.at(pos) | b.at(pos + 1) << 8); }

void put_le32(Bytes& b, size_t pos, uint32_t v)
{
    unsigned char* p = &b.at(pos + 3) - 3;
    for (int k = 0; k < 4; k++) p[k] = (unsigned char)(v >> (8 * k));
}

Bytes gray_palette()
{
    Bytes b;
    for (int i = 0; i < 256; i++) b.insert(b.end(), {(unsigned char)i, (unsigned char)i, (unsigned char)i, 0});
    return b;
}

int run_command(const std::string& cmd, std::string* out)
{
#ifdef _WIN32
    FILE* p = _popen(cmd.c_str(), "rb");
#else
    FILE* p = popen(cmd.c_str(), "r");
#endif
    if (!p) return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        if (out) out->append(buf, n);
#ifdef _WIN32
    return _pclose(p);
#else
    int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
#endif
}
