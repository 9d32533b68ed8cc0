// Rounds of rows: each thread reads its block of the round (or the calling
// thread reads them all, for a source one thread only may read) and
// computes it. Down columns a block comes with the halo rows above and
// below it.
#include "calcul.h"

#include <algorithm>
#include <cstring>

namespace tavelkorn {

bool part_du_fil(const Calcul* c, int t, int debut, int nombre, int& premiere, int& combien)
{
    int64_t p = debut + (int64_t)t * c->bloc;
    if (p >= (int64_t)debut + nombre) return false;
    premiere = (int)p;
    combien = (int)std::min<int64_t>(c->bloc, (int64_t)debut + nombre - p);
    return true;
}

// Rows premiere .. premiere + nombre - 1 from the source. One thread reads
// a source that is not parallel, rows in order; down columns the halo asks
// again for the last rows it read, which come from the cache.
static bool lit(Calcul* c, int premiere, int nombre, int* z, unsigned char* m, Erreur& erreur)
{
    const Source& s = *c->source;
    if (s.parallele || !c->halo) return s.lit_bloc(s.contexte, premiere, nombre, z, m, erreur);
    size_t n = (size_t)c->nb_col;
    int deja = premiere >= c->cache_debut && premiere < c->cache_fin ? std::min(c->cache_fin, premiere + nombre) - premiere : 0;
    if (deja) {
        size_t de = (size_t)(premiere - c->cache_debut) * n;
        memcpy(z, &c->cache_z[de], (size_t)deja * n * sizeof(int));
        if (m) memcpy(m, &c->cache_m[de], (size_t)deja * n);
    }
    if (nombre > deja &&
        !s.lit_bloc(s.contexte, premiere + deja, nombre - deja, z + deja * n, m ? m + deja * n : nullptr, erreur))
        return false;
    int garde = std::min(nombre, 2 * c->halo);
    size_t de = (size_t)(nombre - garde) * n;
    c->cache_z.assign(z + de, z + de + garde * n);
    if (m) c->cache_m.assign(m + de, m + de + garde * n);
    c->cache_debut = premiere + nombre - garde;
    c->cache_fin = premiere + nombre;
    return true;
}

bool lit_part(Calcul* c, Tour& tour, int t, int premiere, int combien)
{
    const Source& s = *c->source;
    size_t pas = 0;
    const int* p = s.en_place && !s.manquants ? s.en_place(s.contexte, premiere, pas) : nullptr;
    if (!p && combien > c->lignes_bloc) {  // a block larger than the buffers needs every row given in place
        echoue(c, CODE_ARGUMENT, "a source's en_place must give every row");
        return false;
    }
    if (p) {
        tour.z[(size_t)t] = p;
        tour.pas[(size_t)t] = pas;
        tour.m[(size_t)t] = nullptr;
        return true;
    }
    size_t n = (size_t)c->nb_col;
    int haut = std::min(c->halo, premiere), bas = std::min(c->halo, c->nb_lig - premiere - combien);
    int* z = tour.tampon + (size_t)t * c->pas_bloc + (size_t)c->halo * n;
    unsigned char* m = s.manquants ? tour.presence + (size_t)t * c->pas_presence + (size_t)c->halo * n : nullptr;
    tour.z[(size_t)t] = z;
    tour.pas[(size_t)t] = n;
    tour.m[(size_t)t] = m;
    Erreur erreur;
    if (lit(c, premiere - haut, combien + haut + bas, z - haut * n, m ? m - haut * n : nullptr, erreur)) return true;
    echoue(c, erreur, CODE_SOURCE);
    return false;
}

bool lit_tour(Calcul* c, Tour& tour, int debut, int nombre)
{
    for (int t = 0; t < c->fils; t++) {
        int premiere, combien;
        if (part_du_fil(c, t, debut, nombre, premiere, combien) && !lit_part(c, tour, t, premiere, combien))
            return false;
    }
    return true;
}

const int* elevations(const Calcul* c, const Tour& tour, int r, size_t& pas)
{
    size_t t = (size_t)(r / c->bloc);
    pas = tour.pas[t];
    return tour.z[t] + (size_t)(r % c->bloc) * pas;
}

const unsigned char* presence_brute(const Calcul* c, const Tour& tour, int r)
{
    size_t t = (size_t)(r / c->bloc);
    return tour.m[t] ? tour.m[t] + (size_t)(r % c->bloc) * c->nb_col : nullptr;
}

const unsigned char* presence_de(const Calcul* c, const Tour& tour, int r)
{
    const unsigned char* m = presence_brute(c, tour, r);
    return m && memchr(m, 0, (size_t)c->nb_col) ? m : nullptr;
}

int rangees_du_tour(const Calcul* c) { return (int)std::min<int64_t>((int64_t)c->bloc * c->fils, c->nb_lig); }

int bloc_de_passe(const Calcul* c, bool sans_tampon)
{
    const Source& s = *c->source;
    if (!s.en_place || s.manquants || !sans_tampon) return c->lignes_bloc;
    return std::max(c->lignes_bloc, std::min(c->nb_lig, (int)((16u << 20) / (4u * (unsigned)c->nb_col))));
}

bool pour_chaque_tour(Calcul* c, const std::function<void(Tour*, int, int, int, int)>& calcul)
{
    c->bloc = bloc_de_passe(c, true);
    int nb_lig = c->nb_lig, tour = rangees_du_tour(c);
    c->cache_debut = c->cache_fin = 0;
    if (c->source->parallele) {
        Tour* tr = &c->tours[0];
        for (int i = 0; i < nb_lig && avance(c, (double)i / nb_lig); i = (int)std::min<int64_t>((int64_t)i + tour, nb_lig)) {
            int nombre = std::min(tour, nb_lig - i);
            equipe_lance(c->equipe, c->fils, [=, &calcul](int t) {
                int premiere, combien;
                if (part_du_fil(c, t, i, nombre, premiere, combien) && lit_part(c, *tr, t, premiere, combien))
                    calcul(tr, i, t, premiere, combien);
            });
            equipe_attend(c->equipe);
            if (c->en_echec) break;
        }
    } else {
        // One thread reads (and decodes) the next round while the others
        // compute the current one. A failed read stops the rounds once the
        // threads have finished the one they were given.
        Tour *tr = &c->tours[0], *suivant = &c->tours[1];
        bool lu = true;
        for (int i = 0; lu && i < nb_lig && avance(c, (double)i / nb_lig); i = (int)std::min<int64_t>((int64_t)i + tour, nb_lig)) {
            if (i == 0 && !(lu = lit_tour(c, *tr, 0, std::min(tour, nb_lig)))) break;
            int nombre = std::min(tour, nb_lig - i);
            equipe_lance(c->equipe, c->fils, [=, &calcul](int t) {
                int premiere, combien;
                if (part_du_fil(c, t, i, nombre, premiere, combien)) calcul(tr, i, t, premiere, combien);
            });
            if (tour < nb_lig - i) lu = lit_tour(c, *suivant, i + tour, std::min(tour, nb_lig - i - tour));
            equipe_attend(c->equipe);
            std::swap(tr, suivant);
        }
    }
    return !c->en_echec;
}

}  // namespace tavelkorn
