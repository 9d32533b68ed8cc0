// Any bytes as a descriptor: up to six integers come out, never more, and
// reading stops cleanly wherever the text stops making sense.
#include "plateforme.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!f) return 0;  // fmemopen refuses an empty buffer on some systems
    int champs[7] = {0, 0, 0, 0, 0, 0, 0x5A5A5A5A};
    bool hors_limites = false;
    int lus = lit_descripteur(f, champs, 6, hors_limites);
    fclose(f);
    if (lus < 0 || lus > 6 || champs[6] != 0x5A5A5A5A || (hors_limites && lus == 6)) abort();
    return 0;
}
