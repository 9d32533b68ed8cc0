// Small file helpers shared by the tests.
#ifndef TEST_UTIL_H
#define TEST_UTIL_H

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// A fresh empty directory under the system's temporary folder, removed with
// everything in it when the object goes away.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// The path as the program under test sees it: a Unix path of the build
// becomes drive Z: under wine.
std::string host_path(const std::string& path);

Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& data);
void write_file(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);

// Little-endian fields, as the file formats store them.
uint32_t le32(const Bytes& b, size_t pos);
uint16_t le16(const Bytes& b, size_t pos);
void put_le32(Bytes& b, size_t pos, uint32_t v);

// A TIFF made byte by byte, for the headers no library writes: one
// directory of entries (type 3 SHORT, 4 LONG or 16 LONG8), then the data.
// The values of StripOffsets (273) and TileOffsets (324) count from the
// data's first byte.
struct TiffEntry {
    uint16_t tag, type;
    std::vector<uint64_t> values;
};
Bytes tiff_bytes(std::vector<TiffEntry> entries, const Bytes& data, bool bigtiff = false, bool big_endian = false);

// The 1024 bytes of the grayscale palette: entry i is i, i, i, 0.
Bytes gray_palette();

// Runs a shell command, returns its exit status and, if asked, its stdout.
int run_command(const std::string& cmd, std::string* out = nullptr);

#endif
