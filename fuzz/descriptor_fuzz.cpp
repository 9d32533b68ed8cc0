// Any bytes as a descriptor: up to six integers come out, never more, and
// reading stops cleanly wherever the text stops making sense, naming it.
#include "texte.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* f = tmpfile();  // a file, as descriptors are, on every system
    if (!f) return 0;
    if (size) fwrite(data, 1, size, f);
    rewind(f);
    int champs[7] = {0, 0, 0, 0, 0, 0, 0x5A5A5A5A};
    std::string fautif;
    int ligne = 0;
    int lus = lit_descripteur(f, champs, 6, fautif, ligne);
    fclose(f);
    if (lus < -1 || lus > 6 || champs[6] != 0x5A5A5A5A || (!fautif.empty() && lus == 6) || fautif.size() > 40 ||
        ligne < 1)
        abort();
    return 0;
}
