// The summary of several scales, as the image takes it: for each cell the
// largest byte over the scales, and the smallest scale at which it occurs
// (0 where that byte is 0 or the cell is missing). It stands between the
// engine's sink (one plane a scale) and the image's (two planes).
#ifndef RESUME_H
#define RESUME_H

#include "../moteur/moteur.h"

#include <string>
#include <vector>

struct Resume {
    tavelkorn::Puits image;     // the image's own sink
    std::vector<int> echelles;  // the scales, in the engine's order
    int nb_col = 0;
    std::vector<unsigned char> plans;  // a block's two planes
};
// The sink the engine writes to, which writes the summary into r.image.
tavelkorn::Puits puits_du_resume(Resume& r);
// The two bytes of a cell from its bytes at each scale (echelles in
// ascending order): the largest, and the first scale that has it.
void resume_de(const unsigned char* const* octets, const int* echelles, int ne, size_t n, const unsigned char* presence,
               unsigned char* maximum, unsigned char* echelle);

#endif
