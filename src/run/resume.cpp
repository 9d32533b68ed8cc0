#include "resume.h"

void resume_de(const unsigned char* const* octets, const int* echelles, int ne, size_t n, const unsigned char* presence,
               unsigned char* maximum, unsigned char* echelle)
{
    for (size_t j = 0; j < n; j++) {
        unsigned char m = 0, e = 0;
        for (int s = 0; s < ne; s++)
            if (octets[s][j] > m) m = octets[s][j], e = (unsigned char)echelles[s];  // ties: the smaller scale stays
        bool present = !presence || presence[j];
        maximum[j] = present ? m : 0;
        echelle[j] = present ? e : 0;
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
