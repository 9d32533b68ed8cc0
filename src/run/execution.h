// The state of one run: what execute() opens on its way, handed to each
// step that needs it and closed on every way out, so that nothing of a run
// outlives it or is shared with another.
#ifndef EXECUTION_H
#define EXECUTION_H

#include "../io/dem.h"
#include "../io/garde.h"
#include "../io/images.h"
#include "../io/resultats.h"
#include "progression.h"
#include "requete.h"
#include "resume.h"

struct Execution {
    Dem dem;                            // the DEM, native or GDAL's
    tavelkorn::Calcul* calcul = nullptr;  // the engine's computation
    tavelkorn::Options options;
    Progression progression;
    JeuResultats resultats;  // every file the run writes, until it is put in place
    Garde garde;             // a DEM costly to decode, kept by the first reading
    bool garde_active = false;
    Image image;             // the image, from its creation to its closing
    Resume resume;           // the summary of the scales, between the engine and the image
    int ligne = 0;           // the profile's row
    bool monde = false, projection = false;  // the BMP's world file and .prj are written
    double geo[6] = {0, 0, 0, 0, 0, 0};
    std::string wkt, wkt_esri;
    int norm = 255;
};

#endif
