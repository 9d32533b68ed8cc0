// The pass a percentile stretch down columns (or both ways) needs between
// the two others: the histogram of the window's deviations, which the
// column means known only after the whole first pass decide.
#include "calcul.h"
#include "noyaux.h"

#include <algorithm>

namespace tavelkorn {

bool calcul_rang_a_part(const Calcul* c)
{
    return c->o.etirement == ETIRE_RANG && c->o.direction != DIRECTION_LIGNES;
}

bool calcul_passe_rang(Calcul* c, const Source& s, Bilan& bilan)
{
    if (!commence_passe(c, s, PASSE_RANG)) return false;
    int nb_lig = c->nb_lig, nb_col = c->nb_col;
    std::vector<uint64_t> cases((size_t)NB_CASES * c->fils, 0);
    std::vector<double> d((size_t)nb_col * c->fils);
    Etirage e;
    e.k = c->o.terme == TERME_COURBURE ? 1 : 2;
    e.termes_32 = bilan.termes_32;
    bool ok = pour_chaque_tour(c, [&](Tour* tr, int i, int t, int premiere, int combien) {
        double* dt = &d[(size_t)t * nb_col];
        for (int l = std::max(premiere, 2); l < premiere + combien && l <= nb_lig - 3; l++) {
            passe_direction(rangees_de(c, *tr, i, l - i), nb_col, e, c->o.direction, c->moyenne_col.data(),
                            c->moyenne_col_d.data(), c->a_moyenne_col.data(), dt, nullptr, nullptr);
            histo_des_deviations(dt, 2, nb_col - 3, &cases[(size_t)t * NB_CASES]);
        }
    });
    if (!ok || !avance(c, 1.0)) return false;
    std::vector<uint64_t> h(NB_CASES, 0);
    for (size_t b = 0; b < cases.size(); b++) h[b % NB_CASES] += cases[b];
    bilan.reference = percentile(h.data(), c->o.rang);
    return true;
}

}  // namespace tavelkorn
