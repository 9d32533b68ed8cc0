// The native DEM: NAME.raw, nb_lig x nb_col int32 little-endian
// elevations, described by NAME.txt.
#ifndef DEM_NATIF_H
#define DEM_NATIF_H

#include "../core/calcul.h"

#include <string>

// What is at a path the run reads: nothing (false) or a regular file to
// open (true). Anything else ends the run: opening a FIFO would wait for a
// writer, and a directory reads as an error.
bool fichier_d_entree(const std::string& chemin);
// Opens nomim1 into f1 and makes it the source.
void ouvre_dem_natif();
// Reads the descriptor nomdescr1: nb_lig, nb_col, pix_size.
void lit_dimensions();
// Once the dimensions are known: an incomplete DEM is held in memory,
// which it must fit.
void prepare_dem_natif();

// Cells equal to v are missing (before the buffers are allocated).
void marque_nodata(int v);

extern const Source SOURCE_NATIVE;

#endif
