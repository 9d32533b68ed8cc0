// The command line: tavelkorn [OPTIONS] INPUT OUTPUT.
#ifndef COMMANDE_H
#define COMMANDE_H

#include "../run/requete.h"

// Fills r from argv; returns -1 to run it, or the status to end with
// (--help, --version, usage errors).
int ligne_de_commande(int argc, char** argv, Requete& r);

#endif
