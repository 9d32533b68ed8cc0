// What a run says of itself: the run report's text, the metadata items of
// an image (how it was made, as gdalinfo shows them), and the names the
// command line gives the options.
#ifndef RAPPORT_H
#define RAPPORT_H

#include "../io/images.h"
#include "requete.h"

#include <string>

// The stretch as --stretch names it: half, full, p99 ...
std::string nom_etirement(const Requete& r);
// The direction as --direction names it: rows, columns, both.
const char* nom_direction(const Requete& r);
// The scales as --scale names them: 1,2,4,8.
std::string nom_echelles(const Requete& r);

// The run report: the DEM, its range, the norm and the profile's row (and,
// for the command line, what makes the image again). mind, maxd: the range
// as the dialogue shows it.
std::string texte_du_rapport(const Requete& r, int ligne, int mind, int maxd, int norm,
                             const tavelkorn::Bilan& b);

// The metadata items of the image (band 0) and of each band (1 ...).
std::vector<Elements> elements_de(const Requete& r, const tavelkorn::Bilan& b, int norm);

#endif
