// A DEM as the run reads it, whatever its kind: a native NAME.raw with its
// descriptor (dem_natif.h) or anything GDAL reads (gdal/gdal_programme.h).
// Each kind fills this table of functions with a context of its own; the
// run never asks which kind it has.
#ifndef DEM_H
#define DEM_H

#include "../moteur/moteur.h"
#include "avis.h"

#include <string>
#include <vector>

struct Dem {
    void* contexte = nullptr;
    int nb_lig = 0, nb_col = 0, pix_size = 0;
    bool manquants = false;             // cells may be missing
    bool couteux = false;               // decoding it again costs more than keeping what was decoded
    bool etroit = false;                // every elevation it gives fits in 16 bits
    std::vector<std::string> fichiers;  // the files it is read from: no result may name one
    std::string nom_fichiers;           // how a message names them ("the DEM or its descriptor")
    // Once the computation is made, what the reading needs beyond it (an
    // incomplete native DEM is held in memory, which it must fit); false
    // with the reason.
    bool (*prepare)(void* contexte, Avis& a) = nullptr;
    // The engine's source for a reading: the first (1), or a later one (2).
    tavelkorn::Source (*source)(void* contexte, int lecture) = nullptr;
    // After a reading: false, with the reason, when the DEM is no longer
    // what was opened; warnings on what the reading found.
    bool (*inchange)(void* contexte, int lecture, Avis& a) = nullptr;
    // Its place on the map: its geotransform (false: none) and its
    // coordinate system as GDAL's WKT (empty: none); the coordinate system
    // as ESRI WKT, for a .prj (false: none).
    bool (*place)(void* contexte, double geo[6], std::string& wkt) = nullptr;
    bool (*wkt_esri)(void* contexte, std::string& wkt) = nullptr;
    // Whether float elevations had fractions rounded away (at z-scale 1).
    bool (*fractions)(void* contexte) = nullptr;
    // Closes what it holds open and frees the context.
    void (*ferme)(void* contexte) = nullptr;
};

// Closes d when it is open; accepts a Dem never opened.
void ferme_dem(Dem& d);

#endif
