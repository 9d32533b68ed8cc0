// Writes a deterministic DEM for the benchmark: NAME.raw (int32, little-
// endian), its descriptor NAME.txt, and an ENVI header NAME.hdr so that GDAL
// reads the very same file. The last row is 0, so that the file without it
// describes the same DEM. Usage: gen_dem DIR/NAME LINES COLUMNS
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: gen_dem DIR/NAME LINES COLUMNS\n");
        return 2;
    }
    std::string base = argv[1];
    long lines = atol(argv[2]), cols = atol(argv[3]);
    FILE* raw = fopen((base + ".raw").c_str(), "wb");
    if (!raw || lines < 1 || cols < 1) return 1;
    std::vector<int32_t> row(cols);
    uint32_t h = 2463534242u;
    for (long i = 0; i < lines; i++) {
        for (long j = 0; j < cols; j++) {
            h ^= h << 13, h ^= h >> 17, h ^= h << 5;  // xorshift noise on smooth relief
            double relief = 800 * sin(i * 0.0021) * cos(j * 0.0017) + 300 * sin((i + 2 * j) * 0.013);
            row[j] = (int32_t)(1000 + relief) + (int32_t)(h % 7);
        }
        if (i == lines - 1) std::fill(row.begin(), row.end(), 0);  // so the benchmark can drop it
        if (fwrite(row.data(), 4, cols, raw) != (size_t)cols) return 1;
    }
    if (fclose(raw) != 0) return 1;
    FILE* txt = fopen((base + ".txt").c_str(), "wb");
    fprintf(txt, "%ld\r\n%ld\r\n4\r\n0\r\n0\r\n30\r\n", lines, cols);
    fclose(txt);
    FILE* hdr = fopen((base + ".hdr").c_str(), "wb");
    fprintf(hdr, "ENVI\nsamples = %ld\nlines = %ld\nbands = 1\nheader offset = 0\nfile type = ENVI Standard\n"
                 "data type = 3\ninterleave = bsq\nbyte order = 0\n", cols, lines);
    fclose(hdr);
    return 0;
}
