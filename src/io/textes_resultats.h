// The text results: descriptors, the profile table, the BMP's world file
// and .prj, and any text the run composes (the report). Each is written
// whole into the run's result set j; false with the reason.
#ifndef TEXTES_RESULTATS_H
#define TEXTES_RESULTATS_H

#include "avis.h"
#include "resultats.h"

#include <string>
#include <vector>

// The six fields: lines, columns, bytes per value, minimum, maximum, pixel size.
bool ecrit_descripteur(const JeuResultats& j, const std::string& chemin, const int champs[6], Avis& a);
// A text, every "\n" stored as CR LF.
bool ecrit_texte_entier(const JeuResultats& j, const std::string& chemin, const std::string& texte, Avis& a);
// The profile of a row of nb_col cells: for each column 1 .. nb_col - 2
// where colonnes[0] is not NaN (a missing cell is left out), its number
// from 1, then the value of each of colonnes, tab-separated. ecrites: the
// lines written.
bool ecrit_profil(const JeuResultats& j, const std::string& chemin, int nb_col,
                  const std::vector<std::vector<double>>& colonnes, int& ecrites, Avis& a);
// The world file of a BMP: the pixel sizes, the rotation terms and the
// centre of the top-left pixel, as GIS tools read it beside the image.
bool ecrit_monde(const JeuResultats& j, const std::string& chemin, const double g[6], Avis& a);

#endif
