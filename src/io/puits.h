// The image formats: raw bytes (with their descriptor), an 8-bit BMP, and a
// GDAL driver. Each opens its result in the result set, gives the engine
// its sink for the second pass, and closes the file.
#ifndef PUITS_H
#define PUITS_H

#include "../moteur/moteur.h"
#include "../run/execution.h"
#include "../run/requete.h"

#include <cstdint>

struct Format {
    GenreImage genre;
    bool marque_manquants;  // can mark missing cells (else they are 0, with a warning)
    void (*ouvre)(Execution& x, const Requete& r, uint64_t manquants);  // manquants: the DEM's missing cells
    tavelkorn::Puits (*puits)(Execution& x, const Requete& r);
    void (*ferme)(Execution& x, const Requete& r);
};

// The format of a kind of image; null for SANS_IMAGE.
const Format* format_pour(GenreImage genre);

#endif
