// The text results: descriptors, the run report, the profile table and the
// BMP's world file. Each is written whole into the run's result set j.
#ifndef TEXTES_RESULTATS_H
#define TEXTES_RESULTATS_H

#include "../moteur/moteur.h"
#include "../run/requete.h"
#include "resultats.h"

#include <string>

// The stretch as --stretch names it: half, full, p99 ...
std::string nom_etirement(const Requete& r);
// The direction as --direction names it: rows, columns, both.
const char* nom_direction(const Requete& r);
// The six fields: lines, columns, bytes per value, minimum, maximum, pixel size.
void ecrit_descripteur(const JeuResultats& j, const std::string& chemin, int taille_valeur, int mini, int maxi);
// The run report: the DEM, its range, the norm and the profile's row (and,
// for the command line, what makes the image again).
void ecrit_rapport(const JeuResultats& j, const Requete& r, int ligne, const tavelkorn::Bilan& b,
                   const tavelkorn::Etirage& e, int norm);
// The profile of row ligne: the stretched values before the byte
// conversion, so they can exceed norm; missing cells are left out.
void ecrit_profil(const JeuResultats& j, const Requete& r, int ligne, const tavelkorn::Bilan& b,
                  const tavelkorn::Etirage& e);
// The world file of a BMP: the pixel sizes, the rotation terms and the
// centre of the top-left pixel, as GIS tools read it beside the image.
void ecrit_monde(const JeuResultats& j, const std::string& chemin, const double g[6]);
// The coordinate system beside a BMP, as ESRI WKT (.prj).
void ecrit_projection(const JeuResultats& j, const std::string& chemin, const std::string& wkt);

#endif
