// The first pass: the elevation range of the present cells (the search
// starts from 10000000 and 0, not from the int extremes), the window
// maximum dmax, the deviations of the profile row, the missing cells and,
// for the percentile stretch along rows, the histogram of the window's
// deviations. Down columns it sums each column's terms and keeps the
// extremes of its window terms: the window maximum of |t - m_j| over a
// column is max(tmax_j - m_j, m_j - tmin_j), so dmax needs no other pass.
// Each thread reduces its own rows; min, max and sums make the combined
// result exact whatever the split.
#include "calcul.h"
#include "noyaux.h"

#include <algorithm>
#include <climits>
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

// One thread's sums down columns: a part's terms in 64 bits (far from
// overflowing over one block), folded into 128 bits after each part.
struct SommesColonnes {
    std::vector<int64_t> part, compte, tmin, tmax;
    std::vector<__int128> somme;
    SommesColonnes(int n)
        : part((size_t)n, 0), compte((size_t)n, 0), tmin((size_t)n, INT64_MAX), tmax((size_t)n, INT64_MIN),
          somme((size_t)n, 0)
    {
    }
    void replie()
    {
        for (size_t j = 0; j < part.size(); j++) somme[j] += part[j], part[j] = 0;
    }
};

static void garde_rangee(std::vector<int>& z, std::vector<unsigned char>& m, const int* zr, const unsigned char* mr, int n)
{
    if (zr) z.assign(zr, zr + n);
    if (mr) m.assign(mr, mr + n);
}

// Down columns: the means, the window maximum and the profile row's
// deviations, once every thread's sums are in.
static double fin_des_colonnes(Calcul* c, std::vector<SommesColonnes>& sc, Bilan& bilan)
{
    int n = c->nb_col;
    c->moyenne_col.assign((size_t)n, 0);
    c->a_moyenne_col.assign((size_t)n, 0);
    c->moyenne_col_d.assign((size_t)n, 0.0);
    double dmax = 0.0;
    for (int j = 0; j < n; j++) {
        __int128 s = 0;
        int64_t compte = 0, mi = INT64_MAX, ma = INT64_MIN;
        for (SommesColonnes& f : sc) {
            s += f.somme[(size_t)j];
            compte += f.compte[(size_t)j];
            mi = std::min(mi, f.tmin[(size_t)j]);
            ma = std::max(ma, f.tmax[(size_t)j]);
        }
        if (compte == 0) continue;
        int64_t m = (int64_t)(s / compte);
        c->moyenne_col[(size_t)j] = m;
        c->a_moyenne_col[(size_t)j] = 1;
        c->moyenne_col_d[(size_t)j] = (double)m;
        if (j >= 2 && j <= n - 3 && mi <= ma) dmax = std::max(dmax, (double)std::max(m - mi, ma - m));
    }
    if (!bilan.profil.empty()) {
        Rangees r;
        r.z = c->profil_z[1].data();
        r.zh = c->profil_z[0].empty() ? nullptr : c->profil_z[0].data();
        r.zb = c->profil_z[2].empty() ? nullptr : c->profil_z[2].data();
        if (!c->profil_m[1].empty()) {
            r.m = c->profil_m[1].data();
            r.mh = r.zh ? c->profil_m[0].data() : nullptr;
            r.mb = r.zb ? c->profil_m[2].data() : nullptr;
        }
        Etirage e;
        e.k = c->o.terme == TERME_COURBURE ? 1 : 2;
        passe_direction(r, n, e, c->o.direction, c->moyenne_col.data(), c->moyenne_col_d.data(), c->a_moyenne_col.data(), bilan.profil.data(),
                        nullptr, nullptr);
        for (double& d : bilan.profil) d = d < 0.0 ? 0.0 : d;  // a present cell without a term: 0
    }
    return dmax;
}

bool calcul_premiere_passe(Calcul* c, const Source& s, Bilan& bilan)
{
    if (!commence_passe(c, s, PASSE_LECTURE)) return false;
    int nb_lig = c->nb_lig, nb_col = c->nb_col, k = c->o.terme == TERME_COURBURE ? 1 : 2;
    Direction dir = c->o.direction;
    bilan = Bilan();
    int ligne_profil = c->o.ligne_profil;
    if (ligne_profil >= 0 && ligne_profil < nb_lig) bilan.profil.assign((size_t)nb_col, 0.0);
    double* profil = bilan.profil.empty() ? nullptr : bilan.profil.data();
    bool histo = c->o.etirement == ETIRE_RANG && dir == DIRECTION_LIGNES;
    std::vector<uint64_t> cases(histo ? (size_t)SOUS_HISTOS * NB_CASES * c->fils : 0);
    std::vector<int32_t> lignes(histo ? (size_t)nb_col * c->fils : 0);
    std::vector<Cumul> cumuls;
    for (int t = 0; t < c->fils; t++)
        cumuls.push_back({bilan.mind, bilan.maxd, 0.0, 0, histo ? &cases[(size_t)t * SOUS_HISTOS * NB_CASES] : nullptr,
                          histo ? &lignes[(size_t)t * nb_col] : nullptr});
    std::vector<SommesColonnes> sc;
    if (c->halo) sc.assign((size_t)c->fils, SommesColonnes(nb_col));
    for (int q = 0; q < 3; q++) c->profil_z[q].clear(), c->profil_m[q].clear();
    bool ok = pour_chaque_tour(c, [&](Tour* tr, int i, int t, int premiere, int combien) {
        for (int l = premiere; l < premiere + combien; l++) {
            const int* zl = elevations(c, *tr, l - i);
            const unsigned char* m = presence_de(c, *tr, l - i);
            bool fenetre = l >= 2 && l <= nb_lig - 3;
            passe_a_ligne(zl, m, nb_col, k, fenetre && dir != DIRECTION_COLONNES, cumuls[(size_t)t]);
            if (!c->halo) {
                if (l == ligne_profil) deviations_de_ligne(zl, m, nb_col, k, profil);
                continue;
            }
            SommesColonnes& f = sc[(size_t)t];
            Rangees r = rangees_de(c, *tr, i, l - i);
            colonnes_passe_a(r, nb_col, k, fenetre, f.part.data(), f.compte.data(), f.tmin.data(), f.tmax.data());
            if (l == ligne_profil)
                for (int q = 0; q < 3; q++)
                    garde_rangee(c->profil_z[q], c->profil_m[q], q == 0 ? r.zh : q == 1 ? r.z : r.zb,
                                 q == 0 ? r.mh : q == 1 ? r.m : r.mb, nb_col);
        }
        if (c->halo) sc[(size_t)t].replie();
    });
    if (!ok) return false;
    for (const Cumul& b : cumuls) {
        bilan.mind = std::min(bilan.mind, b.mind);
        bilan.maxd = std::max(bilan.maxd, b.maxd);
        bilan.dmax = std::max(bilan.dmax, b.dmax);
        bilan.manquants += b.manquants;
    }
    if (c->halo) {
        double dmax_col = fin_des_colonnes(c, sc, bilan);
        bilan.dmax = dir == DIRECTION_COLONNES ? dmax_col : std::max(bilan.dmax, dmax_col);
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
