// What a reader or a writer tells the run: warnings to show whatever
// happens, and on a failure (the call returned false) its text and whether
// the request itself is at fault. Readers and writers never print: the run
// alone shows what they say, and alone ends a run.
#ifndef AVIS_H
#define AVIS_H

#include <cstdarg>
#include <string>
#include <vector>

#if defined(__GNUC__)
#define FORMAT_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#define FORMAT_PRINTF(a, b)
#endif

struct Avis {
    std::vector<std::string> avertissements;
    std::string texte;     // the failure
    bool requete = false;  // the request itself is at fault (a usage error), not the run
};

// The failure, as printf would write it; returns false, for `return echec_de(a, ...)`.
bool echec_de(Avis& a, const char* fmt, ...) FORMAT_PRINTF(2, 3);
// The same for a request that cannot be run as it stands.
bool refus_de(Avis& a, const char* fmt, ...) FORMAT_PRINTF(2, 3);
void avertissement(Avis& a, const char* fmt, ...) FORMAT_PRINTF(2, 3);

// The text printf would write; and vprintf's, for functions of their own
// that take a format.
std::string texte_de(const char* fmt, ...) FORMAT_PRINTF(1, 2);
std::string texte_va(const char* fmt, va_list args);
// In such a function: its text as t.
#define TEXTE_DES_ARGUMENTS(fmt, t)        \
    va_list args;                         \
    va_start(args, fmt);                  \
    std::string t = texte_va(fmt, args); \
    va_end(args)

#endif
