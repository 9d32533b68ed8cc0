// Rounds of rows: each thread reads its block of the round (or the calling
// thread reads them all, for a source one thread only may read) and
// computes it.
#include "calcul.h"

#include <algorithm>
#include <cstring>

namespace tavelkorn {

bool part_du_fil(const Calcul* c, int t, int debut, int nombre, int& premiere, int& combien)
{
    premiere = debut + t * c->lignes_bloc;
    combien = std::min(c->lignes_bloc, debut + nombre - premiere);
    return combien > 0;
}

bool lit_part(Calcul* c, Tour& tour, int t, int debut, int premiere, int combien)
{
    const Source& s = *c->source;
    size_t pas = 0;
    const int* p = s.en_place && !s.manquants ? s.en_place(s.contexte, premiere, pas) : nullptr;
    if (p) {
        tour.z[(size_t)t] = p;
        tour.pas[(size_t)t] = pas;
        return true;
    }
    int* z = tour.tampon + (size_t)t * c->pas_bloc;
    unsigned char* m = s.manquants ? tour.presence + (size_t)(premiere - debut) * c->nb_col : nullptr;
    tour.z[(size_t)t] = z;
    tour.pas[(size_t)t] = (size_t)c->nb_col;
    std::string erreur;
    if (s.lit_bloc(s.contexte, premiere, combien, z, m, erreur)) return true;
    echoue(c, erreur);
    return false;
}

bool lit_tour(Calcul* c, Tour& tour, int debut, int nombre)
{
    for (int t = 0; t < c->fils; t++) {
        int premiere, combien;
        if (part_du_fil(c, t, debut, nombre, premiere, combien) && !lit_part(c, tour, t, debut, premiere, combien))
            return false;
    }
    return true;
}

const int* elevations(const Calcul* c, const Tour& tour, int r)
{
    size_t t = (size_t)(r / c->lignes_bloc);
    return tour.z[t] + (size_t)(r % c->lignes_bloc) * tour.pas[t];
}

const unsigned char* presence_de(const Calcul* c, const Tour& tour, int r)
{
    if (!c->source->manquants) return nullptr;
    const unsigned char* m = tour.presence + (size_t)r * c->nb_col;
    return memchr(m, 0, (size_t)c->nb_col) ? m : nullptr;
}

}  // namespace tavelkorn
