// The native DEM: NAME.raw, nb_lig x nb_col int32 little-endian
// elevations, described by NAME.txt.
#ifndef DEM_NATIF_H
#define DEM_NATIF_H

#include "../moteur/moteur.h"
#include "../platform/plateforme.h"

#include <string>

// What is at a path the run reads: nothing (false) or a regular file to
// open (true). Anything else ends the run: opening a FIFO would wait for a
// writer, and a directory reads as an error.
bool fichier_d_entree(const std::string& chemin);

// The native DEM of a run, the context of its sources.
struct DemNatif {
    std::string nom;       // NAME.raw
    FILE* f = nullptr;     // open (the program's f1)
    EtatFichier etat{};    // its size and time at opening: it must not change under the run
    int nb_lig = 0, nb_col = 0;
    bool avec_nodata = false;
    int nodata = 0;
    double echelle_z = 1.0;
    int** gardees = nullptr;  // an incomplete DEM's rows, kept by the first pass (the program's itab_in)
};

// Opens d.nom into d.f (and f1).
void ouvre_dem_natif(DemNatif& d);
// Reads the descriptor nomdescr1: nb_lig, nb_col, pix_size.
void lit_dimensions();
// Once the dimensions are known: an incomplete DEM is held in memory,
// which it must fit.
void prepare_dem_natif(DemNatif& d);
// The source of pass 1 or 2: the file, or for pass 2 of an incomplete DEM
// the rows the first pass kept.
tavelkorn::Source source_native(DemNatif& d, int passe);
// After each pass: the run ends when the DEM is no longer as it was opened;
// after the first, a DEM shorter than its descriptor says is named.
void verifie_dem_natif(const DemNatif& d, int passe);

#endif
