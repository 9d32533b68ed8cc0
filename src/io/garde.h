// The decoded DEM kept by the first pass for the second, so that a
// compressed DEM is decoded once: in memory when it fits the budget,
// otherwise in a scratch file of the result set, which the second pass reads
// with the threads side by side.
#ifndef GARDE_H
#define GARDE_H

#include "../core/calcul.h"

#include <cstdint>

// The bytes the kept DEM takes: elevations (2 bytes each when etroit: they
// fit in 16 bits), and presence when cells may be missing.
uint64_t taille_garde(bool manquants, bool etroit);
// Allocates the memory, or opens the scratch files when the kept DEM does
// not fit in budget (after the result set is prepared). The source kept is
// s.
void garde_prepare(uint64_t budget, const Source* s, bool etroit);
// Rows premiere .. premiere + nombre - 1 as the first pass read them.
void garde_ecrit(int premiere, int nombre, const int* z, const unsigned char* presence);
// The source of the second pass: what was kept.
const Source* garde_source();

#endif
