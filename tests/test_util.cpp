#include "test_util.h"

#include <algorithm>
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

Bytes tiff_bytes(std::vector<TiffEntry> entries, const Bytes& data, bool bigtiff, bool big_endian)
{
    std::sort(entries.begin(), entries.end(), [](const TiffEntry& a, const TiffEntry& b) { return a.tag < b.tag; });
    const size_t head = bigtiff ? 16 : 8, number = bigtiff ? 8 : 2, entry = bigtiff ? 20 : 12, word = bigtiff ? 8 : 4;
    auto size_of = [](uint16_t type) -> size_t { return type == 3 ? 2 : type == 16 ? 8 : 4; };
    size_t spill = head + number + entries.size() * entry + word, data_start = spill;
    for (const TiffEntry& e : entries)
        if (e.values.size() * size_of(e.type) > word) data_start += e.values.size() * size_of(e.type);
    Bytes b(data_start);
    auto put = [&](size_t pos, uint64_t v, size_t n) {
        for (size_t k = 0; k < n; k++) b[pos + (big_endian ? n - 1 - k : k)] = (unsigned char)(v >> (8 * k));
    };
    b[0] = b[1] = big_endian ? 'M' : 'I';
    put(2, bigtiff ? 43 : 42, 2);
    if (bigtiff) put(4, 8, 2), put(6, 0, 2), put(8, head, 8);
    else put(4, head, 4);
    put(head, entries.size(), number);
    size_t at = head + number;
    for (const TiffEntry& e : entries) {
        size_t s = size_of(e.type), where = at + 4 + word;
        put(at, e.tag, 2), put(at + 2, e.type, 2), put(at + 4, e.values.size(), word);
        if (e.values.size() * s > word) put(where, spill, word), where = spill, spill += e.values.size() * s;
        for (size_t k = 0; k < e.values.size(); k++)
            put(where + k * s, e.values[k] + (e.tag == 273 || e.tag == 324 ? data_start : 0), s);
        at += entry;
    }
    put(at, 0, word);  // no other directory
    b.insert(b.end(), data.begin(), data.end());
    return b;
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
