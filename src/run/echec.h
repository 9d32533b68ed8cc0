// Messages on standard error, "tavelkorn: " first, and the one way a run
// stops early: echec prints its message and throws Echec, which travels back
// to main; main removes the run's private folders and returns the status.
#ifndef ECHEC_H
#define ECHEC_H

#if defined(__GNUC__)
#define FORMAT_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#define FORMAT_PRINTF(a, b)
#endif

struct Echec {
    int statut;  // 1 a failure, 2 a usage error; 0 a run that ends as described (the missing DEM)
};

// A refusal of bad input: the operator is asked again.
void signale(const char* fmt, ...) FORMAT_PRINTF(1, 2);
void avertit(const char* fmt, ...) FORMAT_PRINTF(1, 2);
// The run stops with status 1 (echec) or 2 (refuse: the request itself is wrong).
[[noreturn]] void echec(const char* fmt, ...) FORMAT_PRINTF(1, 2);
[[noreturn]] void refuse(const char* fmt, ...) FORMAT_PRINTF(1, 2);

#endif
