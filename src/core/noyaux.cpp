// The row kernels: the curvature term, the row mean, the window maximum,
// the deviations, the stretch and the bytes of one row. Each exists in two
// instances from one source: without missing cells (m is null; the fast,
// vectorised loops) and with them (m[j] is 1 for a present cell, 0 for a
// missing one); and each is built for any processor and for AVX2.
#include "noyaux.h"

#include "calcul.h"

#include "../../tavelkorn.h"
#include "../platform/plateforme.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

// The curvature term of column j; 32-bit wrap-around is part of the result,
// so it is computed in unsigned arithmetic.
static inline int32_t courbure(const int* z, int j)
{
    return (int32_t)(4u * (uint32_t)z[j] - (uint32_t)z[j - 1] - (uint32_t)z[j + 1]);
}

// Column j has a term where it and both its neighbours are present.
template <bool M>
EN_LIGNE bool a_terme(const unsigned char* m, int j)
{
    return !M || (m[j - 1] & m[j] & m[j + 1]);
}

// The row's mean term: the wrapped sum of its terms as an integer quotient,
// truncated toward zero, by their count. False when the row has no term.
template <bool M>
EN_LIGNE bool moyenne(const int* z, const unsigned char* m, int n, double& val_mean)
{
    uint32_t somme = 0;
    int compte = 0;
    for (int j = 1; j <= n - 2; j++)
        if (a_terme<M>(m, j)) {
            somme += (uint32_t)courbure(z, j);
            compte++;
        }
    if (compte == 0) return false;
    val_mean = (double)((int32_t)somme / compte);
    return true;
}

// Elevation range of a row's present cells, with the <= and >= of the
// whole-grid search.
template <bool M>
EN_LIGNE void etendue(const int* z, const unsigned char* m, int n, int& mind, int& maxd)
{
    int mi = mind, ma = maxd;
    for (int j = 0; j < n; j++) {
        if (M && !m[j]) continue;
        mi = z[j] < mi ? z[j] : mi;
        ma = z[j] > ma ? z[j] : ma;
    }
    mind = mi;
    maxd = ma;
}

// Largest deviation of a row's terms inside the window columns 2 to n-3.
// |t - mean| is largest at the smallest or the largest term, so integer
// extremes suffice.
template <bool M>
EN_LIGNE double maximum(const int* z, const unsigned char* m, int n)
{
    double val_mean;
    if (n < 5 || !moyenne<M>(z, m, n, val_mean)) return 0.0;
    int32_t mi = INT32_MAX, ma = INT32_MIN;
    bool vu = false;
    for (int j = 2; j <= n - 3; j++)
        if (a_terme<M>(m, j)) {
            int32_t t = courbure(z, j);
            mi = t < mi ? t : mi;
            ma = t > ma ? t : ma;
            vu = true;
        }
    if (!vu) return 0.0;
    return std::max(std::fabs((double)mi - val_mean), std::fabs((double)ma - val_mean));
}

// Deviations of a row: |term - mean| where there is a term, 0 at a present
// cell without one (the ends of every row), NaN at a missing cell.
// (sqrt(d * d) of the written formula is exactly |d| in IEEE arithmetic.)
template <bool M>
EN_LIGNE void deviations(const int* z, const unsigned char* m, int n, double* d)
{
    for (int j = 0; j < n; j++) d[j] = M && !m[j] ? NAN : 0.0;
    double val_mean;
    if (n < 3 || !moyenne<M>(z, m, n, val_mean)) return;
    for (int j = 1; j <= n - 2; j++)
        if (a_terme<M>(m, j)) d[j] = std::fabs((double)courbure(z, j) - val_mean);
}

EN_LIGNE void deviations_ligne(const int* z, const unsigned char* m, int n, double* d)
{
    if (m) deviations<true>(z, m, n, d);
    else deviations<false>(z, m, n, d);
}

// The stretch of one deviation, evaluated in the written order (a division,
// never a multiplication by the reciprocal). Negative values give 0, and a
// negative zero becomes +0 so that the profile never shows "-0.000000".
static inline double etire(double x)
{
    double v = ((x - dmin) / dif) * scale;
    return (v > 0.0 ? v : 0.0) + 0.0;  // a select, not a branch: the loops vectorise
}

// The low 8 bits of v truncated toward zero (v >= 0): 256 gives 0, 300
// gives 44. Every reachable v is below 2^42; scaling by 1/256 and the
// subtraction are exact, so this equals the 64-bit conversion.
static inline unsigned char octet(double v)
{
    double q = std::floor(v * (1.0 / 256.0));
    return (unsigned char)(int32_t)(v - q * 256.0);
}

// One row of the image. A missing cell gives 0 (and is masked where the
// format can); a present cell without a term gives what a deviation of 0
// gives.
template <bool M>
EN_LIGNE void octets_ligne(const int* z, const unsigned char* m, int n, unsigned char* out)
{
    unsigned char bord = octet(etire(0.0));  // a deviation of 0, never computed
    double val_mean;
    if (n < 3 || !moyenne<M>(z, m, n, val_mean)) {
        for (int j = 0; j < n; j++) out[j] = M && !m[j] ? 0 : bord;
        return;
    }
    out[0] = M && !m[0] ? 0 : bord;
    out[n - 1] = M && !m[n - 1] ? 0 : bord;
    for (int j = 1; j <= n - 2; j++) {
        unsigned char o = octet(etire(std::fabs((double)courbure(z, j) - val_mean)));
        if (M) o = !m[j] ? 0 : a_terme<M>(m, j) ? o : bord;
        out[j] = o;
    }
}

// The first pass over one row: range, window maximum (when the row is in
// the window) and missing cells.
EN_LIGNE void passe_a(const int* z, const unsigned char* m, int n, bool fenetre, int& mind, int& maxd,
                      double& dmax_, uint64_t& manquants)
{
    if (m) {
        etendue<true>(z, m, n, mind, maxd);
        if (fenetre) dmax_ = std::max(dmax_, maximum<true>(z, m, n));
        for (int j = 0; j < n; j++) manquants += !m[j];
    } else {
        etendue<false>(z, m, n, mind, maxd);
        if (fenetre) dmax_ = std::max(dmax_, maximum<false>(z, m, n));
    }
}

// The second pass over one row: its bytes, and its Float32 deviations in
// elevation units when asked (v is then not null).
EN_LIGNE void passe_b(const int* z, const unsigned char* m, int n, unsigned char* out, float* v, double* d)
{
    if (dif > 0.0) {
        if (m) octets_ligne<true>(z, m, n, out);
        else octets_ligne<false>(z, m, n, out);
    } else {
        memset(out, 0, (size_t)n);  // no deviation in the window: all 0
    }
    if (v) {
        deviations_ligne(z, m, n, d);
        for (int j = 0; j < n; j++) v[j] = (float)(d[j] / echelle_z);
    }
}

// The two kernels, built for any processor and for AVX2; the machine's own
// is chosen once.
#define NOYAUX(SUFFIXE, CIBLE)                                                                                  \
    CIBLE static void passe_a_##SUFFIXE(const int* z, const unsigned char* m, int n, bool fenetre, int& mind,   \
                                        int& maxd, double& dmax_, uint64_t& manquants)                          \
    {                                                                                                           \
        passe_a(z, m, n, fenetre, mind, maxd, dmax_, manquants);                                                \
    }                                                                                                           \
    CIBLE static void passe_b_##SUFFIXE(const int* z, const unsigned char* m, int n, unsigned char* out, float* v, \
                                        double* d)                                                              \
    {                                                                                                           \
        passe_b(z, m, n, out, v, d);                                                                            \
    }
NOYAUX(defaut, )
#ifdef CIBLE_AVX2
NOYAUX(avx2, CIBLE_AVX2)
static const bool avx2 = processeur_avx2();
#else
static const bool avx2 = false;
#define passe_a_avx2 passe_a_defaut
#define passe_b_avx2 passe_b_defaut
#endif

void passe_a_ligne(const int* z, const unsigned char* m, int n, bool fenetre, int& mind, int& maxd, double& dmax_,
                   uint64_t& manquants)
{
    (avx2 ? passe_a_avx2 : passe_a_defaut)(z, m, n, fenetre, mind, maxd, dmax_, manquants);
}

void passe_b_ligne(const int* z, const unsigned char* m, int n, unsigned char* out, float* v, double* d)
{
    (avx2 ? passe_b_avx2 : passe_b_defaut)(z, m, n, out, v, d);
}

void deviations_de_ligne(const int* z, const unsigned char* m, int n, double* d) { deviations_ligne(z, m, n, d); }

double etire_valeur(double x) { return etire(x); }

// The presence of row r of a round whose presence starts at m, or null when
// all its cells are there.
const unsigned char* presence_ligne(const unsigned char* m, int r)
{
    if (!m) return nullptr;
    m += (size_t)r * nb_col;
    return memchr(m, 0, (size_t)nb_col) ? m : nullptr;
}
