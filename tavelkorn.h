// The dialogue's state: what its opening sets and its later steps read.
// Only the dialogue (this program's root file and src/front/dialogue.cpp)
// reads or writes these; the run takes a Requete.
#ifndef TAVELKORN_H
#define TAVELKORN_H

#include <cstdio>
#include <string>

extern int nb_lig, nb_col, pix_size;
extern int format;          // the dialogue's answer: 0 raw, 1 BMP, other: no image
extern bool descriptif_OK;  // the DEM's descriptor exists (else it is written once the range is known)
extern std::string nomim1, nomdescr1;  // the DEM and its descriptor
extern std::string nomim2, nomim3, nomim4;  // the image, the profile, the report
extern FILE* f1;  // the DEM, open, until the run takes it

#endif
