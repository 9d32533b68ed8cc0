// The native DEM: NAME.raw, nb_lig x nb_col int32 little-endian
// elevations, described by NAME.txt (six numbers: lines, columns, bytes per
// value, minimum, maximum, pixel size).
#ifndef DEM_NATIF_H
#define DEM_NATIF_H

#include "avis.h"
#include "dem.h"

#include <cstdio>
#include <string>

// What is at a path the run reads: nothing (existe false) or a regular file
// to open. Anything else is a failure: opening a FIFO would wait for a
// writer, and a directory reads as an error.
bool fichier_d_entree(const std::string& chemin, bool& existe, Avis& a);
// Opens a DEM's file for reading: null with the reason.
FILE* ouvre_fichier_dem(const std::string& chemin, Avis& a);
// The dimensions a descriptor gives: false with the reason (not six whole
// numbers, fewer than one line or column, UTF-16); warnings for a third
// field that is not the bytes of a value of type (4 for the dialogue's
// int32) and for missing fields (the pixel size is then 0).
bool lit_dimensions(const std::string& descripteur, int& nb_lig, int& nb_col, int& pix_size, Avis& a,
                    tavelkorn::TypeElevation type = tavelkorn::ELEV_INT32);

// A native DEM to read.
struct NatifVoulu {
    std::string chemin, descripteur;
    FILE* f = nullptr;       // already open (the dialogue opens it), else opened here; owned by the Dem from now
    int nb_lig = 0, nb_col = 0, pix_size = 0;  // known (the dialogue asked them), or 0: from the descriptor
    bool descripteur_cree = false;  // the descriptor is still to be written: not a file the DEM is read from
    tavelkorn::TypeElevation type = tavelkorn::ELEV_INT32;  // the values' type (little-endian): int32 for the dialogue
    bool avec_nodata = false;       // cells equal to nodata are missing (NaN too in a float grid)
    double nodata = 0;
    double echelle_z = 1.0;
};
// Opens it as a Dem; false with the reason (f is closed then too).
bool ouvre_dem_natif(Dem& d, const NatifVoulu& v, Avis& a);

#endif
