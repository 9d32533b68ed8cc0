// The run's state: what the dialogue's opening sets and the later steps
// read, shared by the program's modules.
#ifndef TAVELKORN_H
#define TAVELKORN_H

#include "src/run/requete.h"

#include <cstdio>
#include <string>

extern int nb_lig, nb_col, pix_size;
extern int format;          // the dialogue's answer: 0 raw, 1 BMP, other: no image
extern bool descriptif_OK;  // the DEM's descriptor exists (else it is written once the range is known)
extern std::string nomim1, nomdescr1;  // the DEM and its descriptor
extern std::string nomim2, nomim3, nomim4;  // the image, the profile, the report
extern FILE *f1, *f2, *f3, *f4;  // the DEM; the image, the profile and the report while they are written
extern int** itab_in;  // the elevations of an incomplete DEM; null when the DEM is streamed
extern double dmax, dmin;  // the window maximum and the bottom of the stretch
extern double dif, scale;  // the stretch: (d - dmin) / dif * scale
extern Requete requete;    // the run, as the dialogue or the command line describe it

// The command line (tavelkorn [OPTIONS] INPUT OUTPUT) fills r; returns -1
// to run it, or the status to end with (--help, --version, usage errors).
int ligne_de_commande(int argc, char** argv, Requete& r);

#endif
