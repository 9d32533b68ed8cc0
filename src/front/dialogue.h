// The console dialogue's prompts. Each asks until a valid answer comes; the
// end of input stops the run (Echec).
#ifndef DIALOGUE_H
#define DIALOGUE_H

#include "../run/requete.h"

#include <string>

std::string demande_mot(const char* invite, const char* quoi);
// Asks until a whole number no smaller than minimum comes.
int demande_entier(const std::string& invite, const char* quoi, int minimum);
void banniere();
// Reads the descriptor nomdescr1, or asks the dimensions when it is missing
// (descriptif_OK false: it is written once the range is known).
void dimensions();
// The result name: the DEM's (nomfic) or a new one.
std::string nom_des_resultats(const std::string& nomfic);
bool nom_de_resultat_sur(const std::string& souche);
// The format menu: 0 raster, 1 bitmap, negative: no image.
int demande_format(const std::string& souche);
// The dialogue's steps around the run: the word as the reading starts, the
// normalisation value once the range is known, and the last line before
// the results are put in place.
void annonce_lecture();
int demande_norm(int mind, int maxd);
void fin_du_dialogue();

#endif
