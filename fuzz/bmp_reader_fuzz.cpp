// Any file handed to the BMP reader: it must refuse or read it within
// bounds, and what it reads must survive a write and a second read.
#include "image.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

static std::string temp_path(const char* what)
{
    return "/tmp/tavelkorn-fuzz-" + std::to_string(getpid()) + "-" + what + ".bmp";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string in = temp_path("in"), out = temp_path("out");
    static const bool nettoie = atexit([] {
        remove(in.c_str());
        remove(out.c_str());
    }) == 0;
    (void)nettoie;
    FILE* f = fopen(in.c_str(), "wb");
    fwrite(data, 1, size, f);
    fclose(f);

    Color32 request;
    Color32* map = size % 2 ? &request : nullptr;  // ask for the palette or not
    int cols = 0, rows = 0, type = -1;
    unsigned char** buff = ChargeBMP(in.c_str(), cols, rows, type, map);
    if (buff) {
        if (cols < 1 || cols > 32767 || rows < 1 || rows > 32767 || type < 0 || type > 2) abort();
        size_t row_bytes = (size_t)cols * (type == 2 ? 3 : 1);
        if (row_bytes * rows <= (1u << 16)) {  // small enough to round-trip quickly
            if (SauveBMP(out.c_str(), buff, cols, rows, type, map) != 0) abort();
            int c2, r2, t2;
            Color32* none = nullptr;
            unsigned char** again = ChargeBMP(out.c_str(), c2, r2, t2, none);
            int want = type == 1 && map == nullptr ? 0 : type;  // no palette kept: gray is written
            if (!again || c2 != cols || r2 != rows || t2 != want) abort();
            for (int i = 0; i < rows; i++)
                if (memcmp(again[i], buff[i], row_bytes) != 0) abort();
            LibereBMP(again, r2);
        }
        LibereBMP(buff, rows);
    }
    if (map != &request) LiberePalette(map);
    return 0;
}
