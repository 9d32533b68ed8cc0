// The program's side of GDAL's formats: the module tavelkorn_gdal, loaded
// from beside the program (or its ../lib/tavelkorn/ folder once installed)
// the first time a run needs it, so that runs of the native formats never
// pay for GDAL's libraries. A DEM GDAL reads is a Dem, an image a GDAL
// driver writes an Image; failures come back as values with the file named.
#ifndef GDAL_PROGRAMME_H
#define GDAL_PROGRAMME_H

#include "../io/avis.h"
#include "../io/dem.h"
#include "../io/images.h"
#include "../io/resultats.h"
#include "module.h"

#include <string>
#include <vector>

extern const bool avec_gdal;  // whether this build has the module
// Whether the module is there and loads (false, never a failure, when not).
bool gdal_disponible();
// Who shows GDAL's warnings: they come from any thread, with no run of
// theirs; every path in a private folder is given its final name first.
void gdal_avertissements(void (*montre)(const std::string& texte));

// The band of chemin, elevations multiplied by echelle_z, as a Dem (its
// files fingerprinted before GDAL opens them: a file replaced under the
// run is named). Refuses an input that is not a regular file before GDAL
// opens it. False with the reason.
bool ouvre_dem_gdal(Dem& d, const std::string& chemin, int bande, double echelle_z, Avis& a);

// The driver for OUTPUT's extension ("" when none), and what a driver can
// do (PILOTE_*); false when the module cannot be had.
bool pilote_pour(const std::string& chemin, std::string& pilote, Avis& a);
bool capacites_pilote(const std::string& nom, int& capacites, Avis& a);

// What a GDAL image is made of.
struct ImageVoulue {
    std::string chemin, pilote;
    std::vector<std::string> options;  // creation options
    int nb_col = 0, nb_lig = 0, bandes = 1;
    bool reelles = false;              // Float32 values, else bytes
    uint64_t manquants = 0;            // missing cells: a mask where the driver stores one
    bool geo_ok = false;
    double geo[6] = {0, 0, 0, 0, 0, 0};
    std::string wkt;                   // GDAL's WKT of its coordinate system (empty: none)
};
// The image created in the result set j; false with the reason.
bool ouvre_image_gdal(Image& i, JeuResultats& j, const ImageVoulue& v, Avis& a);

// The local file a GDAL path names: a /vsisubfile/, /vsigzip/, /vsizip/ ...
// path's real file; "" when it names none (a remote one).
std::string chemin_reel(const std::string& chemin);

#endif
