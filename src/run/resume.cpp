#include "resume.h"

#include <algorithm>

// A scale at a time over the whole block: loops the compiler vectorises.
void resume_de(const unsigned char* const* octets, const int* echelles, int ne, size_t n, const unsigned char* presence,
               unsigned char* maximum, unsigned char* echelle)
{
    std::fill(maximum, maximum + n, 0);
    std::fill(echelle, echelle + n, 0);
    for (int s = 0; s < ne; s++) {
        const unsigned char* o = octets[s];
        unsigned char k = (unsigned char)echelles[s];
        for (size_t j = 0; j < n; j++) {
            bool plus = o[j] > maximum[j];  // ties: the smaller scale stays
            maximum[j] = plus ? o[j] : maximum[j];
            echelle[j] = plus ? k : echelle[j];
        }
    }
    for (size_t j = 0; presence && j < n; j++) {  // a missing cell is 0 in both
        maximum[j] = presence[j] ? maximum[j] : 0;
        echelle[j] = presence[j] ? echelle[j] : 0;
    }
}

static bool ecrit_resume(void* contexte, int premiere, int nombre, const void* valeurs, size_t pas_echelle,
                         const unsigned char* presence, std::string& erreur)
{
    Resume& r = *(Resume*)contexte;
    size_t n = (size_t)nombre * r.nb_col;
    r.plans.resize(2 * n);
    std::vector<const unsigned char*> octets;
    for (size_t s = 0; s < r.echelles.size(); s++) octets.push_back((const unsigned char*)valeurs + s * pas_echelle);
    resume_de(octets.data(), r.echelles.data(), (int)r.echelles.size(), n, presence, r.plans.data(),
              r.plans.data() + n);
    return r.image.ecrit_bloc(r.image.contexte, premiere, nombre, r.plans.data(), n, presence, erreur);
}

tavelkorn::Puits puits_du_resume(Resume& r)
{
    tavelkorn::Puits p = r.image;
    p.contexte = &r;
    p.ecrit_bloc = ecrit_resume;
    return p;
}
