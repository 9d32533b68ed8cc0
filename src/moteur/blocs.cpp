// The block primitives: a DEM split into any rectangles gives, block by
// block, partial row sums, then window maxima and histograms, then bytes;
// sums, maxima and counts combine exactly, so any split writes the bytes of
// a whole run.
#include "noyaux.h"

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

}  // namespace tavelkorn
