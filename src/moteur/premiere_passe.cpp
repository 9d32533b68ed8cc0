// The first pass: the elevation range of the present cells (the search
// starts from 10000000 and 0, not from the int extremes), the window
// maximum dmax, the deviations of the profile row, the missing cells and,
// for the percentile stretch, the histogram of the window's deviations.
// Each thread reduces its own rows; min, max and sums make the combined
// result exact whatever the split.
#include "calcul.h"
#include "noyaux.h"

#include <algorithm>
#include <cmath>

namespace tavelkorn {

// The P-th percentile of the deviations by nearest rank: the smallest
// deviation such that at least P% of them are at most it; exact below 256,
// otherwise the bottom of its bin, within 1/128 of the true value.
double percentile(const uint64_t* h, double rang)
{
    uint64_t n = 0;
    for (int b = 0; b < NB_CASES; b++) n += h[b];
    if (n == 0) return 0.0;
    uint64_t rang_voulu = (uint64_t)std::ceil(rang / 100.0 * (double)n);
    rang_voulu = std::min(std::max(rang_voulu, (uint64_t)1), n);
    uint64_t vus = 0;
    for (int b = 0; b < NB_CASES; b++)
        if ((vus += h[b]) >= rang_voulu) return (double)bas_de_case(b);
    return 0.0;
}

bool calcul_premiere_passe(Calcul* c, const Source& s, Bilan& bilan)
{
    if (s.manquants && !c->o.manquants) {
        echoue(c, "a source with missing cells needs Options::manquants");
        return false;
    }
    c->source = &s;
    c->passe = PASSE_LECTURE;
    int nb_lig = c->nb_lig, nb_col = c->nb_col, k = c->o.terme == TERME_COURBURE ? 1 : 2;
    bilan = Bilan();
    int ligne_profil = c->o.ligne_profil;
    if (ligne_profil >= 0 && ligne_profil < nb_lig) bilan.profil.assign((size_t)nb_col, 0.0);
    double* profil = bilan.profil.empty() ? nullptr : bilan.profil.data();
    bool histo = c->o.etirement == ETIRE_RANG;
    std::vector<uint64_t> cases(histo ? (size_t)SOUS_HISTOS * NB_CASES * c->fils : 0);
    std::vector<int32_t> lignes(histo ? (size_t)nb_col * c->fils : 0);
    std::vector<Cumul> cumuls;
    for (int t = 0; t < c->fils; t++)
        cumuls.push_back({bilan.mind, bilan.maxd, 0.0, 0, histo ? &cases[(size_t)t * SOUS_HISTOS * NB_CASES] : nullptr,
                          histo ? &lignes[(size_t)t * nb_col] : nullptr});
    int tour = c->lignes_bloc * c->fils;
    // Thread t's rows of the round that starts at i, in the round tr.
    auto calcul = [c, &cumuls, profil, ligne_profil, k, nb_lig, nb_col](Tour* tr, int i, int t, int premiere,
                                                                        int combien) {
        for (int l = premiere; l < premiere + combien; l++) {
            const int* zl = elevations(c, *tr, l - i);
            const unsigned char* m = presence_de(c, *tr, l - i);
            passe_a_ligne(zl, m, nb_col, k, l >= 2 && l <= nb_lig - 3, cumuls[(size_t)t]);
            if (l == ligne_profil) deviations_de_ligne(zl, m, nb_col, k, profil);
        }
    };
    if (s.parallele) {
        Tour* tr = &c->tours[0];
        for (int i = 0; i < nb_lig && avance(c, (double)i / nb_lig); i += tour) {
            int nombre = std::min(tour, nb_lig - i);
            equipe_lance(c->equipe, c->fils, [=](int t) {
                int premiere, combien;
                if (part_du_fil(c, t, i, nombre, premiere, combien) && lit_part(c, *tr, t, i, premiere, combien))
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
        for (int i = 0; lu && i < nb_lig && avance(c, (double)i / nb_lig); i += tour) {
            if (i == 0 && !(lu = lit_tour(c, *tr, 0, std::min(tour, nb_lig)))) break;
            int nombre = std::min(tour, nb_lig - i);
            equipe_lance(c->equipe, c->fils, [=](int t) {
                int premiere, combien;
                if (part_du_fil(c, t, i, nombre, premiere, combien)) calcul(tr, i, t, premiere, combien);
            });
            if (i + tour < nb_lig) lu = lit_tour(c, *suivant, i + tour, std::min(tour, nb_lig - i - tour));
            equipe_attend(c->equipe);
            std::swap(tr, suivant);
        }
    }
    if (c->en_echec) return false;
    for (const Cumul& b : cumuls) {
        bilan.mind = std::min(bilan.mind, b.mind);
        bilan.maxd = std::max(bilan.maxd, b.maxd);
        bilan.dmax = std::max(bilan.dmax, b.dmax);
        bilan.manquants += b.manquants;
    }
    if (!avance(c, 1.0)) return false;
    bilan.termes_32 = bilan.mind > -(1 << 28) && bilan.maxd < (1 << 28);  // missing cells are 0: inside too
    bilan.reference = bilan.dmax;
    if (histo) {
        std::vector<uint64_t> h(NB_CASES, 0);
        for (size_t b = 0; b < cases.size(); b++) h[b % NB_CASES] += cases[b];
        bilan.reference = percentile(h.data(), c->o.rang);
    }
    return true;
}

}  // namespace tavelkorn
