// The image sinks: raw bytes (with their descriptor), an 8-bit BMP, and a
// GDAL driver. Each opens its result in the result set, then pulls the rows
// of the second pass in its own direction and closes the file.
#ifndef PUITS_H
#define PUITS_H

#include "../run/requete.h"

struct Puits {
    GenreImage genre;
    bool descendant;        // asks its rows bottom-up
    bool marque_manquants;  // can mark missing cells (else they are 0, with a warning)
    void (*ouvre)(const Requete& r);
    void (*ecrit)(const Requete& r);
};

// The sink of a kind of image; null for SANS_IMAGE.
const Puits* puits_pour(GenreImage genre);

#endif
