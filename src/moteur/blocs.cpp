// The block primitives: a DEM split into any rectangles gives, block by
// block, partial row sums, then window maxima and histograms, then bytes;
// sums, maxima and counts combine exactly, so any split writes the bytes of
// a whole run.
#include "noyaux.h"
#include "termes.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace tavelkorn {

static int k_de(Terme t) { return t == TERME_COURBURE ? 1 : 2; }

static const int* ligne_z(const Bloc& b, int r) { return b.z + (size_t)r * b.pas; }
static const unsigned char* ligne_m(const Bloc& b, int r)
{
    return b.presence ? b.presence + (size_t)r * b.pas_presence : nullptr;
}

void bloc_sommes(const Bloc& b, Terme terme, int64_t* haut, int64_t* bas, int64_t* compte)
{
    Colonnes c = colonnes_de(b.col0, b.colonnes, b.nb_col);
    for (int r = 0; r < b.lignes; r++) {
        __int128 s = 0;
        int64_t n = 0;
        somme_segment(ligne_z(b, r), ligne_m(b, r), c, k_de(terme), s, n);
        haut[r] += (int64_t)(s >> 32);  // floor: the low word stays in [0, 2^32)
        bas[r] += (int64_t)(s & 0xFFFFFFFF);
        compte[r] += n;
    }
}

void bloc_extremes(const Bloc& b, Terme terme, int64_t* tmin, int64_t* tmax)
{
    Colonnes c = colonnes_de(b.col0, b.colonnes, b.nb_col);
    for (int r = 0; r < b.lignes; r++) {
        int i = b.ligne0 + r;
        int64_t mi, ma;
        if (i < 2 || i > b.nb_lig - 3 || !extremes_segment(ligne_z(b, r), ligne_m(b, r), c, k_de(terme), mi, ma))
            continue;
        tmin[r] = std::min(tmin[r], mi);
        tmax[r] = std::max(tmax[r], ma);
    }
}

void moyennes(int n, const int64_t* haut, const int64_t* bas, const int64_t* compte, int64_t* moyenne,
              unsigned char* a_moyenne)
{
    for (int r = 0; r < n; r++) {
        __int128 s = (__int128)haut[r] * ((__int128)1 << 32) + bas[r];
        a_moyenne[r] = compte[r] > 0;
        moyenne[r] = compte[r] > 0 ? (int64_t)(s / compte[r]) : 0;  // truncated toward zero
    }
}

void bloc_deviations(const Bloc& b, Terme terme, const int64_t* moyenne, const unsigned char* a_moyenne, double& dmax,
                     uint64_t* histo, float* valeurs, size_t pas_valeurs, double echelle_z)
{
    Colonnes c = colonnes_de(b.col0, b.colonnes, b.nb_col);
    std::vector<int32_t> cases(histo ? (size_t)b.colonnes : 0);
    std::vector<double> d(valeurs ? (size_t)b.colonnes : 0);
    for (int r = 0; r < b.lignes; r++) {
        int i = b.ligne0 + r;
        const int* z = ligne_z(b, r);
        const unsigned char* m = ligne_m(b, r);
        if (i >= 2 && i <= b.nb_lig - 3 && a_moyenne[r])
            dmax = std::max(dmax, maximum_segment(z, m, c, k_de(terme), moyenne[r], histo, cases.data()));
        if (!valeurs) continue;
        deviations_segment(z, m, b.colonnes, c, k_de(terme), a_moyenne[r] != 0, moyenne[r], d.data());
        float* v = valeurs + (size_t)r * pas_valeurs;
        for (int j = 0; j < b.colonnes; j++) v[j] = (float)(d[(size_t)j] / std::fabs(echelle_z));
    }
}

void bloc_octets(const Bloc& b, const Etirage& e, const int64_t* moyenne, const unsigned char* a_moyenne,
                 unsigned char* octets, size_t pas_octets)
{
    Colonnes c = colonnes_de(b.col0, b.colonnes, b.nb_col);
    for (int r = 0; r < b.lignes; r++)
        octets_segment(ligne_z(b, r), ligne_m(b, r), b.colonnes, c, e, a_moyenne[r] != 0, moyenne[r],
                       octets + (size_t)r * pas_octets);
}

// ---------------------------------------------------------------- down columns

void bloc_sommes_colonnes(const Bloc& b, Terme terme, int64_t* haut, int64_t* bas, int64_t* compte)
{
    std::vector<int64_t> part((size_t)b.colonnes, 0), n((size_t)b.colonnes, 0);
    std::vector<__int128> s((size_t)b.colonnes, 0);
    auto replie = [&] {
        for (size_t j = 0; j < part.size(); j++) s[j] += part[j], part[j] = 0;
    };
    for (int r = 0; r < b.lignes; r++) {
        int i = b.ligne0 + r;
        if (i < 1 || i > b.nb_lig - 2) continue;  // no column term on the first and last rows
        Rangees g;
        g.z = ligne_z(b, r), g.zh = g.z - b.pas, g.zb = g.z + b.pas;
        if (b.presence) g.m = ligne_m(b, r), g.mh = g.m - b.pas_presence, g.mb = g.m + b.pas_presence;
        colonnes_passe_a(g, b.colonnes, k_de(terme), false, part.data(), n.data(), nullptr, nullptr);
        if (r % (1 << 20) == (1 << 20) - 1) replie();  // 64-bit pieces far from overflowing
    }
    replie();
    for (int j = 0; j < b.colonnes; j++) {
        haut[j] += (int64_t)(s[(size_t)j] >> 32);
        bas[j] += (int64_t)(s[(size_t)j] & 0xFFFFFFFF);
        compte[j] += n[(size_t)j];
    }
}

// A block row's deviations in a direction, the means from outside: -1 at a
// present cell without a term, NaN at a missing one.
static void deviations_bloc(const Bloc& b, int r, int k, Direction dir, const Moyennes& mo, double* d)
{
    int i = b.ligne0 + r, n = b.colonnes;
    const int* z = ligne_z(b, r);
    const unsigned char* m = ligne_m(b, r);
    for (int j = 0; j < n; j++) d[j] = m && !m[j] ? NAN : -1.0;
    Colonnes c = colonnes_de(b.col0, n, b.nb_col);
    if (dir != DIRECTION_COLONNES && mo.a_lignes[r])
        for (int j = c.jd; j <= c.jf; j++)
            if (!m || (m[j - 1] & m[j] & m[j + 1])) d[j] = std::fabs((double)(terme(z, j, k) - mo.lignes[r]));
    if (dir == DIRECTION_LIGNES || i < 1 || i > b.nb_lig - 2) return;
    const int *zh = z - b.pas, *zb = z + b.pas;
    const unsigned char *mh = m ? m - b.pas_presence : nullptr, *mb = m ? m + b.pas_presence : nullptr;
    for (int j = 0; j < n; j++) {
        if (!mo.a_colonnes[j] || (m && !(mh[j] & m[j] & mb[j]))) continue;
        int64_t t = (int64_t)((uint64_t)(int64_t)z[j] << k) - zh[j] - zb[j];
        d[j] = std::max(d[j], std::fabs((double)(t - mo.colonnes[j])));
    }
}

void bloc_deviations(const Bloc& b, Terme terme, Direction direction, const Moyennes& mo, double& dmax, uint64_t* histo,
                     float* valeurs, size_t pas_valeurs, double echelle_z)
{
    if (direction == DIRECTION_LIGNES) {
        bloc_deviations(b, terme, mo.lignes, mo.a_lignes, dmax, histo, valeurs, pas_valeurs, echelle_z);
        return;
    }
    Colonnes c = colonnes_de(b.col0, b.colonnes, b.nb_col);
    std::vector<double> d((size_t)b.colonnes);
    std::vector<unsigned char> poubelle((size_t)b.colonnes);
    Etirage e;
    e.echelle_z = std::fabs(echelle_z);
    for (int r = 0; r < b.lignes; r++) {
        int i = b.ligne0 + r;
        deviations_bloc(b, r, k_de(terme), direction, mo, d.data());
        if (i >= 2 && i <= b.nb_lig - 3) {
            for (int j = c.wd; j <= c.wf; j++) dmax = std::max(dmax, d[(size_t)j]);
            if (histo) histo_des_deviations(d.data(), c.wd, c.wf, histo);
        }
        if (valeurs) octets_des_deviations(d.data(), b.colonnes, e, poubelle.data(), valeurs + (size_t)r * pas_valeurs);
    }
}

void bloc_octets(const Bloc& b, const Etirage& e, Direction direction, const Moyennes& mo, unsigned char* octets,
                 size_t pas_octets)
{
    if (direction == DIRECTION_LIGNES) {
        bloc_octets(b, e, mo.lignes, mo.a_lignes, octets, pas_octets);
        return;
    }
    std::vector<double> d((size_t)b.colonnes);
    for (int r = 0; r < b.lignes; r++) {
        deviations_bloc(b, r, e.k, direction, mo, d.data());
        octets_des_deviations(d.data(), b.colonnes, e, octets + (size_t)r * pas_octets, nullptr);
    }
}

}  // namespace tavelkorn
