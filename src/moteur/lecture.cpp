// The passes that read the DEM before its image. The first finds the
// elevation range of the present cells, the missing cells, and for each
// scale dmax, the deviations of the profile row and, for a percentile along
// rows, the histogram of the window's deviations. Along rows each row's
// mean is known within the row. Down columns it sums each column's terms
// and keeps the extremes of its window terms: the window maximum of
// |t - m_j| over a column is max(tmax_j - m_j, m_j - tmin_j), so dmax needs
// no other pass; a percentile does, once the column means are known: the
// ranking pass. Each thread reduces its own rows; min, max and sums make
// the combined result exact whatever the split.
#include "calcul.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace tavelkorn {

// The rows kept around the profile row down columns: from the buffer of
// the thread that reads it, with as many rows above and below as the lags
// reach.
static void garde_profil(Calcul* c, const int* z, size_t pas, const unsigned char* m, int l)
{
    size_t n = (size_t)c->nb_col;
    int haut = std::min(c->halo, l), bas = std::min(c->halo, c->nb_lig - 1 - l);
    c->profil_debut = l - haut;
    c->profil_lignes = haut + 1 + bas;
    c->profil_z.resize((size_t)c->profil_lignes * n);
    c->profil_m.resize(m ? (size_t)c->profil_lignes * n : 0);
    for (int r = -haut; r <= bas; r++) {
        memcpy(&c->profil_z[(size_t)(r + haut) * n], z + r * (ptrdiff_t)pas, n * sizeof(int));
        if (m) memcpy(&c->profil_m[(size_t)(r + haut) * n], m + r * (ptrdiff_t)n, n);
    }
}

bool moyenne_de_ligne(const Calcul* c, int s, int i, const Voisins& v, const Colonnes& cols, bool p32, int64_t& moyenne)
{
    size_t q = (size_t)s * c->nb_lig + (size_t)i;
    if (c->moyennes_gardees) return moyenne = c->moyenne_lig[q], c->a_moyenne_lig[q] != 0;
    __int128 somme = 0;
    int64_t compte = 0;
    somme_termes(v, cols.jd, cols.jf, c->c, p32, somme, compte);
    moyenne = compte > 0 ? moyenne_de(somme, compte) : 0;
    return compte > 0;
}

// The deviations of a row in the computation's direction at scale s, into d.
static void deviations_de_ligne(const Calcul* c, int s, int i, const int* z, size_t pas, const unsigned char* m,
                                bool p32, double* d)
{
    int n = c->nb_col, k = c->k[(size_t)s];
    Direction dir = c->o.direction;
    Voisins vl = voisins_ligne(z, m, k), vc = voisins_colonne(z, pas, m, (size_t)n, k);
    Colonnes cols = colonnes_de(0, n, n, k);
    Ecarts e;
    if (dir != DIRECTION_COLONNES) {
        e.ligne = &vl, e.jd = cols.jd, e.jf = cols.jf;
        e.a_moyenne = moyenne_de_ligne(c, s, i, vl, cols, p32, e.moyenne);
    }
    if (dir != DIRECTION_LIGNES && a_termes_colonnes(i, c->nb_lig, k)) {
        size_t o = (size_t)s * n;
        e.colonne = &vc;
        e.moyennes = {&c->moyenne_col[o], &c->moyenne_col_d[o], &c->a_moyenne_col[o]};
    }
    deviations(e, m, n, c->c, p32, d);
}

// One row of the first pass, on thread f: range, missing cells, and each
// scale's share of dmax, histogram, column sums and profile.
static void lit_ligne(Calcul* c, Fil& f, Bilan& bilan, int l, const int* z, size_t pas, const unsigned char* brute)
{
    int n = c->nb_col, nb_lig = c->nb_lig;
    Direction dir = c->o.direction;
    const unsigned char* m = brute && memchr(brute, 0, (size_t)n) ? brute : nullptr;
    int mi = INT_MAX, ma = INT_MIN;
    etendue(z, m, n, mi, ma);
    f.mind = std::min(f.mind, mi);
    f.maxd = std::max(f.maxd, ma);
    f.manquants += manquantes(m, n);
    bool p32 = mi > -(1 << 28) && ma < (1 << 28);  // missing cells hold 0: inside too
    bool histo = c->o.etirement == ETIRE_RANG && dir == DIRECTION_LIGNES;
    for (int s = 0; s < c->ne; s++) {
        int k = c->k[(size_t)s];
        Colonnes cols = colonnes_de(0, n, n, k);
        bool fenetre = dans_fenetre(l, nb_lig, k) && cols.wd <= cols.wf;
        if (dir != DIRECTION_COLONNES && (fenetre || c->moyennes_gardees)) {
            Voisins v = voisins_ligne(z, m, k);
            __int128 somme = 0;
            int64_t compte = 0, tmin, tmax;
            somme_termes(v, cols.jd, cols.jf, c->c, p32, somme, compte);
            int64_t moy = compte > 0 ? moyenne_de(somme, compte) : 0;
            if (c->moyennes_gardees) {
                size_t q = (size_t)s * nb_lig + (size_t)l;
                c->moyenne_lig[q] = moy, c->a_moyenne_lig[q] = compte > 0;
            }
            if (fenetre && compte > 0 && extremes_termes(v, cols.wd, cols.wf, c->c, p32, tmin, tmax))
                f.dmax[(size_t)s] = std::max(f.dmax[(size_t)s], (double)std::max(tmax - moy, moy - tmin));
            if (fenetre && compte > 0 && histo)
                histo_termes(v, cols.wd, cols.wf, c->c, p32, moy, &f.histos[(size_t)s * SOUS_HISTOS * NB_CASES],
                             SOUS_HISTOS, f.cases.data());
        }
        if (dir == DIRECTION_LIGNES && l == c->o.ligne_profil)
            deviations_de_ligne(c, s, l, z, pas, m, p32, bilan.echelles[(size_t)s].profil.data());
        if (dir == DIRECTION_LIGNES || !a_termes_colonnes(l, nb_lig, k)) continue;
        Voisins v = voisins_colonne(z, pas, brute, (size_t)n, k);
        size_t o = (size_t)s * n;
        cumule_colonnes(v, n, c->c, &f.piece[o], &f.compte[o], fenetre ? cols.wd : n, cols.wf, &f.tmin[o], &f.tmax[o]);
    }
    if (dir != DIRECTION_LIGNES && l == c->o.ligne_profil) garde_profil(c, z, pas, brute, l);
}

// Down columns, once every thread's sums are in: each column's mean, and
// each scale's dmax from the columns' window extremes.
static void fin_des_colonnes(Calcul* c, Vecteur<double>& dmax)
{
    size_t n = (size_t)c->nb_col, ne = (size_t)c->ne;
    c->moyenne_col.assign(ne * n, 0);
    c->moyenne_col_d.assign(ne * n, 0.0);
    c->a_moyenne_col.assign(ne * n, 0);
    dmax.assign(ne, 0.0);
    for (size_t o = 0; o < ne * n; o++) {
        __int128 somme = 0;
        int64_t compte = 0, mi = INT64_MAX, ma = INT64_MIN;
        for (Fil& f : c->par_fil) {
            somme += f.somme[o];
            compte += f.compte[o];
            mi = std::min(mi, f.tmin[o]);
            ma = std::max(ma, f.tmax[o]);
        }
        if (compte == 0) continue;
        int64_t m = moyenne_de(somme, compte);
        c->moyenne_col[o] = m;
        c->moyenne_col_d[o] = (double)m;
        c->a_moyenne_col[o] = 1;
        if (mi <= ma) dmax[o / n] = std::max(dmax[o / n], (double)std::max(m - mi, ma - m));
    }
}

// The profile row's deviations down columns, from the rows kept around it.
static void profil_des_colonnes(Calcul* c, Bilan& bilan)
{
    int l = c->o.ligne_profil;
    if (l < 0 || l >= c->nb_lig || c->profil_lignes == 0) return;
    size_t n = (size_t)c->nb_col, r = (size_t)(l - c->profil_debut);
    const int* z = &c->profil_z[r * n];
    const unsigned char* m = c->profil_m.empty() ? nullptr : &c->profil_m[r * n];
    for (int s = 0; s < c->ne; s++)
        deviations_de_ligne(c, s, l, z, n, m, false, bilan.echelles[(size_t)s].profil.data());
}

static void commence(Calcul* c, Bilan& bilan)
{
    bilan = Bilan();
    bilan.etirement = c->o.etirement;
    bilan.echelles.resize((size_t)c->ne);
    bool profil = c->o.ligne_profil >= 0 && c->o.ligne_profil < c->nb_lig;
    for (int s = 0; s < c->ne; s++) {
        bilan.echelles[(size_t)s].echelle = c->o.echelles[(size_t)s];
        if (profil) bilan.echelles[(size_t)s].profil.assign((size_t)c->nb_col, 0.0);
    }
    c->profil_lignes = 0;
    for (Fil& f : c->par_fil) {
        f.mind = INT_MAX, f.maxd = INT_MIN, f.manquants = 0;
        std::fill(f.dmax.begin(), f.dmax.end(), 0.0);
        std::fill(f.histos.begin(), f.histos.end(), 0);
        std::fill(f.piece.begin(), f.piece.end(), 0);
        std::fill(f.compte.begin(), f.compte.end(), 0);
        std::fill(f.tmin.begin(), f.tmin.end(), INT64_MAX);
        std::fill(f.tmax.begin(), f.tmax.end(), INT64_MIN);
        std::fill(f.somme.begin(), f.somme.end(), 0);
    }
}

// The histograms of every thread added, and each scale's percentile.
static void references_de_rang(Calcul* c, Bilan& bilan, size_t copies)
{
    std::vector<uint64_t> h(NB_CASES);
    for (int s = 0; s < c->ne; s++) {
        std::fill(h.begin(), h.end(), 0);
        for (Fil& f : c->par_fil)
            for (size_t b = 0; b < copies * NB_CASES; b++) h[b % NB_CASES] += f.histos[(size_t)s * copies * NB_CASES + b];
        bilan.echelles[(size_t)s].reference = percentile(h.data(), c->o.rang);
    }
}

bool passe_lecture(Calcul* c, Bilan& bilan)
{
    commence(c, bilan);
    bool colonnes = c->o.direction != DIRECTION_LIGNES;
    bool ok = pour_chaque_tour(c, [&](Tour* tr, int i, int t, int premiere, int combien) {
        Fil& f = c->par_fil[(size_t)t];
        for (int l = premiere; l < premiere + combien; l++) {
            size_t pas;
            const int* z = elevations(c, *tr, l - i, pas);
            lit_ligne(c, f, bilan, l, z, pas, presence_brute(c, *tr, l - i));
        }
        for (size_t o = 0; colonnes && o < f.piece.size(); o++) replie(f.somme[o], f.piece[o]);
    });
    if (!ok || !avance(c, 1.0)) return false;
    for (const Fil& f : c->par_fil) {
        bilan.mind = std::min(bilan.mind, f.mind);
        bilan.maxd = std::max(bilan.maxd, f.maxd);
        bilan.manquants += f.manquants;
        for (int s = 0; s < c->ne; s++)
            bilan.echelles[(size_t)s].dmax = std::max(bilan.echelles[(size_t)s].dmax, f.dmax[(size_t)s]);
    }
    if (colonnes) {
        Vecteur<double> dmax;
        fin_des_colonnes(c, dmax);
        for (int s = 0; s < c->ne; s++) {
            double& d = bilan.echelles[(size_t)s].dmax;
            d = c->o.direction == DIRECTION_COLONNES ? dmax[(size_t)s] : std::max(d, dmax[(size_t)s]);
        }
        profil_des_colonnes(c, bilan);
    }
    for (BilanEchelle& e : bilan.echelles) {
        for (double& d : e.profil) d = d < 0.0 ? 0.0 : d;  // a present cell without a term: 0
        e.reference = e.dmax;
    }
    c->termes_32 = bilan.mind > -(1 << 28) && bilan.maxd < (1 << 28);
    if (c->o.etirement == ETIRE_RANG && !colonnes) references_de_rang(c, bilan, SOUS_HISTOS);
    return true;
}

bool passe_rang(Calcul* c, Bilan& bilan)
{
    for (Fil& f : c->par_fil) std::fill(f.histos.begin(), f.histos.end(), 0);
    int nb_lig = c->nb_lig, n = c->nb_col;
    bool ok = pour_chaque_tour(c, [&](Tour* tr, int i, int t, int premiere, int combien) {
        Fil& f = c->par_fil[(size_t)t];
        for (int l = premiere; l < premiere + combien; l++) {
            size_t pas;
            const int* z = elevations(c, *tr, l - i, pas);
            const unsigned char* m = presence_brute(c, *tr, l - i);
            for (int s = 0; s < c->ne; s++) {
                int k = c->k[(size_t)s];
                Colonnes cols = colonnes_de(0, n, n, k);
                if (!dans_fenetre(l, nb_lig, k) || cols.wd > cols.wf) continue;
                deviations_de_ligne(c, s, l, z, pas, m, c->termes_32, f.d.data());
                histo_deviations(f.d.data(), cols.wd, cols.wf, &f.histos[(size_t)s * NB_CASES]);
            }
        }
    });
    if (!ok || !avance(c, 1.0)) return false;
    references_de_rang(c, bilan, 1);
    return true;
}

}  // namespace tavelkorn
