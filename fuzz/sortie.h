// How the dialogue fuzz target sees the program end: an exception carrying
// the exit status, so that the run's locals unwind and nothing leaks.
#ifndef SORTIE_H
#define SORTIE_H

struct SortieProgramme {
    int status;
};
[[noreturn]] inline void sortie_programme(int status) { throw SortieProgramme{status}; }

#endif
