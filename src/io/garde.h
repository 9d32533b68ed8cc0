// The decoded DEM kept by the first pass for the second, so that a
// compressed DEM is decoded once: in memory when it fits the budget,
// otherwise in a scratch file of the result set, which the second pass reads
// with the threads side by side.
#ifndef GARDE_H
#define GARDE_H

#include "../core/calcul.h"

#include <cstdint>

// The bytes the kept DEM takes (elevations, and presence when cells may be
// missing), and whether they fit in budget bytes of memory.
uint64_t taille_garde(bool manquants);
// Allocates the memory or opens the scratch file (after the result set is
// prepared). The source to keep is suivante's first pass.
void garde_prepare(uint64_t budget, const Source* suivante);
// Rows premiere .. premiere + nombre - 1 as the first pass read them.
void garde_ecrit(int premiere, int nombre, const int* z, const unsigned char* presence);
// The source of the second pass: what was kept.
const Source* garde_source();

#endif
