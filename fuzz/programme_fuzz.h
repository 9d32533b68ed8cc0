// Force-included into tavelkorn.cpp for the dialogue fuzz target: main
// becomes a function the target calls once per input, and every exit an
// exception it catches.
#include <cstdlib>

#include "sortie.h"

#define main tavelkorn_main
#define exit sortie_programme
