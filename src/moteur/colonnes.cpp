// The kernels down columns and in both directions: the column terms of a
// row (its rows above and below at hand), their sums and window extremes in
// the first pass, and a row's deviations in any direction, with their bytes
// and histogram, in the later passes. Built for any processor and for AVX2,
// as the row kernels are.
#include "noyaux.h"
#include "termes.h"

namespace tavelkorn {

// The term down column j: 4 z - above - below (classic, k = 2), or the
// second difference (k = 1).
EN_LIGNE int64_t terme_colonne(const Rangees& r, int j, int k)
{
    return (int64_t)((uint64_t)(int64_t)r.z[j] << k) - r.zh[j] - r.zb[j];
}

template <bool M>
EN_LIGNE bool a_terme_colonne(const Rangees& r, int j)
{
    return !M || (r.mh[j] & r.m[j] & r.mb[j]);
}

// The column terms of a row folded into a thread's accumulators: sums and
// counts, and the extremes of the window's terms (when fenetre) from which
// the window maximum follows once the means are known.
template <bool M>
EN_LIGNE void colonnes_a(const Rangees& r, int n, int k, bool fenetre, int64_t* s, int64_t* c, int64_t* mi, int64_t* ma)
{
    if (!r.zh || !r.zb) return;  // the first and last rows have no column term
    for (int j = 0; j < n; j++) {
        bool a = a_terme_colonne<M>(r, j);
        int64_t t = terme_colonne(r, j, k);
        s[j] += a ? t : 0;
        c[j] += a;
    }
    if (!fenetre) return;
    for (int j = 0; j < n; j++) {
        bool a = a_terme_colonne<M>(r, j);
        int64_t t = terme_colonne(r, j, k);
        mi[j] = a && t < mi[j] ? t : mi[j];
        ma[j] = a && t > ma[j] ? t : ma[j];
    }
}

// A row's deviations in a direction: |t - mean| of its row term, its column
// term, or the larger of the two; -1 at a present cell without a term, NaN
// at a missing cell.
// P: every elevation within +-2^28, so terms fit in 32 bits and convert to
// double the fast way (the means then come as doubles, moy_col_d); the
// values are the same.
template <bool M, bool P>
EN_LIGNE void deviations_dir(const Rangees& r, int n, int k, Direction dir, const int64_t* moy_col,
                             const double* moy_col_d, const unsigned char* a_col, double* d)
{
    const int *z = r.z, *zh = r.zh, *zb = r.zb;
    const unsigned char *m = r.m, *mh = r.mh, *mb = r.mb;
    for (int j = 0; j < n; j++) d[j] = M && !m[j] ? NAN : -1.0;
    int64_t moy;
    if (dir != DIRECTION_COLONNES && n >= 3 && moyenne<M, P>(z, m, n, k, moy)) {
        double md = (double)moy;
        for (int j = 1; j <= n - 2; j++) {
            double dr = P ? std::fabs((double)terme_32(z, j, k) - md) : std::fabs((double)(terme(z, j, k) - moy));
            d[j] = a_terme<M>(m, j) ? dr : d[j];
        }
    }
    if (dir == DIRECTION_LIGNES || !zh || !zb) return;
    for (int j = 0; j < n; j++) {
        double dc = P ? std::fabs((double)((int32_t)((uint32_t)z[j] << k) - zh[j] - zb[j]) - moy_col_d[j])
                      : std::fabs((double)((int64_t)((uint64_t)(int64_t)z[j] << k) - zh[j] - zb[j] - moy_col[j]));
        bool a = (!M || (mh[j] & m[j] & mb[j])) && a_col[j];
        d[j] = a && dc > d[j] ? dc : d[j];
    }
}

// Bytes (and Float32 values) of a row from its deviations.
EN_LIGNE void octets_dev(const double* d, int n, const Etirage& etirage_, unsigned char* out, float* v)
{
    const Etirage e = etirage_;  // a copy the bytes cannot alias: the loop vectorises
    double plafond = e.scale > 0.0 ? e.scale : 0.0;
    bool vide = etirage_vide(e), lineaire = e.etirement != ETIRE_DEMI;
    for (int j = 0; j < n; j++) {
        double x = d[j] > 0.0 ? d[j] : 0.0;  // no term: as a deviation of 0; NaN: 0, masked below
        unsigned char o = lineaire ? octet_sature(etire_lineaire(x, e), plafond) : octet(etire(x, e));
        out[j] = vide || d[j] != d[j] ? 0 : o;
    }
    if (v)
        for (int j = 0; j < n; j++) v[j] = d[j] != d[j] ? NAN : (float)((d[j] > 0.0 ? d[j] : 0.0) / e.echelle_z);
}

EN_LIGNE void colonnes_a_de(const Rangees& r, int n, int k, bool fenetre, int64_t* s, int64_t* c, int64_t* mi,
                            int64_t* ma)
{
    if (r.m) colonnes_a<true>(r, n, k, fenetre, s, c, mi, ma);
    else colonnes_a<false>(r, n, k, fenetre, s, c, mi, ma);
}

EN_LIGNE void passe_dir_de(const Rangees& r, int n, const Etirage& e, Direction dir, const int64_t* moy_col,
                           const double* moy_col_d, const unsigned char* a_col, double* d, unsigned char* out, float* v)
{
    bool p = e.termes_32 && moy_col_d;
    if (r.m && p) deviations_dir<true, true>(r, n, e.k, dir, moy_col, moy_col_d, a_col, d);
    else if (r.m) deviations_dir<true, false>(r, n, e.k, dir, moy_col, moy_col_d, a_col, d);
    else if (p) deviations_dir<false, true>(r, n, e.k, dir, moy_col, moy_col_d, a_col, d);
    else deviations_dir<false, false>(r, n, e.k, dir, moy_col, moy_col_d, a_col, d);
    if (out) octets_dev(d, n, e, out, v);
}

#define NOYAUX_COLONNES(SUFFIXE, CIBLE)                                                                            \
    CIBLE static void colonnes_a_##SUFFIXE(const Rangees& r, int n, int k, bool fenetre, int64_t* s, int64_t* c,   \
                                           int64_t* mi, int64_t* ma)                                               \
    {                                                                                                              \
        colonnes_a_de(r, n, k, fenetre, s, c, mi, ma);                                                             \
    }                                                                                                              \
    CIBLE static void passe_dir_##SUFFIXE(const Rangees& r, int n, const Etirage& e, Direction dir,                \
                                          const int64_t* moy_col, const double* moy_col_d,                         \
                                          const unsigned char* a_col, double* d, unsigned char* out, float* v)     \
    {                                                                                                              \
        passe_dir_de(r, n, e, dir, moy_col, moy_col_d, a_col, d, out, v);                                          \
    }
NOYAUX_COLONNES(defaut, )
#ifdef CIBLE_AVX2
NOYAUX_COLONNES(avx2, CIBLE_AVX2)
#else
#define colonnes_a_avx2 colonnes_a_defaut
#define passe_dir_avx2 passe_dir_defaut
#endif

void colonnes_passe_a(const Rangees& r, int n, int k, bool fenetre, int64_t* somme, int64_t* compte, int64_t* tmin,
                      int64_t* tmax)
{
    (noyaux_avx2() ? colonnes_a_avx2 : colonnes_a_defaut)(r, n, k, fenetre, somme, compte, tmin, tmax);
}

void passe_direction(const Rangees& r, int n, const Etirage& e, Direction dir, const int64_t* moy_col,
                     const double* moy_col_d, const unsigned char* a_col, double* d, unsigned char* out, float* v)
{
    (noyaux_avx2() ? passe_dir_avx2 : passe_dir_defaut)(r, n, e, dir, moy_col, moy_col_d, a_col, d, out, v);
}

void octets_des_deviations(const double* d, int n, const Etirage& e, unsigned char* out, float* v)
{
    octets_dev(d, n, e, out, v);
}

void histo_des_deviations(const double* d, int wd, int wf, uint64_t* h)
{
    for (int j = wd; j <= wf; j++)
        if (d[j] >= 0.0) h[case_de(d[j])]++;
}

}  // namespace tavelkorn
