// The decoded DEM kept by the first pass for the second, so that a
// compressed DEM is decoded once: in memory when it fits the budget,
// otherwise in a scratch file of the result set, which the second pass reads
// with the threads side by side.
#ifndef GARDE_H
#define GARDE_H

#include "../moteur/moteur.h"
#include "avis.h"
#include "resultats.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct Garde {
    tavelkorn::Source source;  // the DEM as its first pass reads it (one thread, rows in order)
    std::string nom;           // the DEM, in messages
    int nb_lig = 0, nb_col = 0;
    size_t taille_z = 4;       // bytes of an elevation kept: 4, or 2 when they fit
    char* elevations = nullptr;  // in memory, or
    unsigned char* presences = nullptr;
    FILE *fz = nullptr, *fm = nullptr;  // in the scratch files
    int suivante = 0;                   // the next row expected
    std::vector<int16_t> etroites;      // a block's elevations in 16 bits, on their way to the file
};

// The bytes the kept DEM takes: elevations (2 bytes each when etroit: they
// fit in 16 bits), and presence when cells may be missing.
uint64_t taille_garde(int nb_lig, int nb_col, bool manquants, bool etroit);
// Allocates the memory, or opens the scratch files when the kept DEM does
// not fit in budget (in j, once it is prepared); false with the reason.
bool garde_prepare(Garde& g, JeuResultats& j, uint64_t budget, bool etroit, Avis& a);
// The source of the first reading, which keeps what g.source reads (the
// scratch files flushed once the last row is in), and the source of the
// later ones, which reads what was kept.
tavelkorn::Source source_gardante(Garde& g);
tavelkorn::Source source_gardee(Garde& g);
void garde_libere(Garde& g);

#endif
