// The text formats that read and write the same on every system: CR LF
// text files and the six-field descriptor.
#ifndef TEXTE_H
#define TEXTE_H

#include <cstdio>
#include <string>

// Text files: every "\n" written is stored as CR LF on every system (open
// them in binary).
void ecrit_texte(FILE* f, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Reads up to n whole decimal numbers, separated by any white space, from a
// descriptor: CR bytes are dropped, a UTF-8 byte-order mark is skipped and a
// 0x1A byte ends the data. Returns the number of fields read, or -1 for
// UTF-16 text. Reading stops at the first field that is not a whole decimal
// number within the int range: fautif then holds its text (its start) and
// ligne its line, counted from 1; fautif stays empty otherwise.
int lit_descripteur(FILE* f, int* champs, int n, std::string& fautif, int& ligne);

#endif
