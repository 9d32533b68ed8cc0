// Messages on standard error, "tavelkorn: " first, and the one way a run
// stops early: echec prints its message and throws Echec, which travels back
// to main, the run's private folders gone with it; main returns the status.
// Readers and writers say what they have to say in an Avis: exige shows it.
#ifndef ECHEC_H
#define ECHEC_H

#include "../io/avis.h"

struct Echec {
    int statut;  // 1 a failure, 2 a usage error; 0 a run that ends as described (the missing DEM)
};

// A refusal of bad input: the operator is asked again.
void signale(const char* fmt, ...) FORMAT_PRINTF(1, 2);
void avertit(const char* fmt, ...) FORMAT_PRINTF(1, 2);
// The run stops with status 1 (echec) or 2 (refuse: the request itself is wrong).
[[noreturn]] void echec(const char* fmt, ...) FORMAT_PRINTF(1, 2);
[[noreturn]] void refuse(const char* fmt, ...) FORMAT_PRINTF(1, 2);
// a's warnings shown (and forgotten); when ok is false, its failure ends the
// run, with status 2 when the request itself is at fault.
void exige(bool ok, Avis& a);

#endif
