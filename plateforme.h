// What differs between Windows and the other systems, and the text formats
// that must read and write the same on all of them: the base directory, the
// console answers, the key press, CR LF text files and memory available.
#ifndef PLATEFORME_H
#define PLATEFORME_H

#include <cstdint>
#include <cstdio>
#include <string>

// "c:\images\" on Windows; elsewhere the drive root is the working directory.
extern const char* const REPERTOIRE_BASE;
extern const char SEPARATEUR;

// Console answers, read from standard input after standard output has been
// flushed, as scanf's "%s" and "%d" would read them (across lines).
enum Reponse { REPONSE_OK, REPONSE_INVALIDE, REPONSE_FIN };
// A white-space-delimited token; INVALIDE when it holds a NUL byte.
Reponse lit_mot(std::string& mot);
// A decimal integer. A non-number or a number beyond the int range is
// INVALIDE: the rest of its line is discarded and handed back in rebut.
Reponse lit_entier(int& v, std::string& rebut);
// Whether standard error is a terminal (progress is shown only there).
bool erreur_sur_terminal();
// One key press without echo on a terminal; one character (or end of input)
// from a pipe. Never waits for more.
void attend_touche();

// Text files: every "\n" written is stored as CR LF on every system (open
// them in binary).
void ecrit_texte(FILE* f, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Reads up to n integers as "%d%d..." would from a descriptor: CR bytes are
// dropped and a 0x1A byte ends the data. Stops at the first field that is not
// a number; one beyond the int range also stops it and sets hors_limites.
// Returns the number of fields read.
int lit_descripteur(FILE* f, int* champs, int n, bool& hors_limites);

// Seeks a binary file to a 64-bit offset.
bool positionne(FILE* f, uint64_t position);

// Row kernels are built twice, for AVX2 and for any x86-64, and the machine
// picks one at start-up; elsewhere they are plain functions.
#if defined(__GNUC__) && defined(__x86_64__) && defined(__linux__)
#define NOYAU __attribute__((target_clones("avx2", "default")))
#else
#define NOYAU
#endif

// Bytes of memory the process can still use without paging (or UINT64_MAX
// where the system does not say).
uint64_t memoire_disponible();

#endif
