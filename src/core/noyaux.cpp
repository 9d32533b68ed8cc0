// The row kernels: the curvature term, the row mean, the window maximum and
// histogram, the deviations, the stretches and the bytes of one row. Each
// exists in instances from one source: without missing cells (m is null;
// the fast, vectorised loops) and with them (m[j] is 1 for a present cell,
// 0 for a missing one); and each is built for any processor and for AVX2.
//
// The arithmetic is exact: terms and row sums are 64-bit integers, the mean
// is their quotient truncated toward zero, and |t - mean| is an integer that
// a double holds exactly.
#include "noyaux.h"

#include "calcul.h"

#include "../../tavelkorn.h"
#include "../platform/plateforme.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

// The term of column j: 4 z[j] - z[j-1] - z[j+1] (classic, k = 2) or the
// second difference 2 z[j] - z[j-1] - z[j+1] (curvature, k = 1).
EN_LIGNE int64_t terme(const int* z, int j, int k)
{
    return (int64_t)((uint64_t)(int64_t)z[j] << k) - z[j - 1] - z[j + 1];
}

// The same where every elevation lies within +-2^28: the term then fits in
// 32 bits, and the loops convert it to double the fast way.
EN_LIGNE int32_t terme_32(const int* z, int j, int k)
{
    return (int32_t)((uint32_t)z[j] << k) - z[j - 1] - z[j + 1];
}

// Column j has a term where it and both its neighbours are present.
template <bool M>
EN_LIGNE bool a_terme(const unsigned char* m, int j)
{
    return !M || (m[j - 1] & m[j] & m[j + 1]);
}

// The row's mean term: the exact sum of its terms divided by their count,
// truncated toward zero. The sum is taken in 64-bit pieces of 2^28 columns
// (each far from overflowing) added in 128 bits. False when the row has no
// term.
template <bool M, bool P = false>
EN_LIGNE bool moyenne(const int* z, const unsigned char* m, int n, int k, int64_t& val_mean)
{
    __int128 somme = 0;
    int64_t compte = 0;
    for (int debut = 1; debut <= n - 2; debut += 1 << 28) {
        int fin = std::min(n - 2, debut + (1 << 28) - 1);
        int64_t s = 0;
        for (int j = debut; j <= fin; j++)
            if (a_terme<M>(m, j)) {
                s += P ? (int64_t)terme_32(z, j, k) : terme(z, j, k);
                compte++;
            }
        somme += s;
    }
    if (compte == 0) return false;
    val_mean = (int64_t)(somme / compte);
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
template <bool M, bool P = false>
EN_LIGNE double maximum(const int* z, const unsigned char* m, int n, int k, int64_t val_mean)
{
    typedef typename std::conditional<P, int32_t, int64_t>::type T;
    T mi = std::numeric_limits<T>::max(), ma = std::numeric_limits<T>::min();
    for (int j = 2; j <= n - 3; j++)
        if (a_terme<M>(m, j)) {
            T t = P ? (T)terme_32(z, j, k) : (T)terme(z, j, k);
            mi = t < mi ? t : mi;
            ma = t > ma ? t : ma;
        }
    if (mi > ma) return 0.0;
    return (double)std::max(val_mean - (int64_t)mi, (int64_t)ma - val_mean);
}

// The histogram bin of a deviation d (a whole number >= 0): the exponent
// and the first 7 bits of mantissa of d + 1, so that a bin spans less than
// 1/128 of its values and every bin below 256 holds one value. No branch:
// the loops that compute it vectorise.
EN_LIGNE int32_t case_de(double d)
{
    double u = d + 1.0;
    uint64_t b;
    memcpy(&b, &u, sizeof b);
    return (int32_t)((int64_t)(b >> 45) - ((int64_t)1023 << 7));
}

uint64_t bas_de_case(int b)
{
    uint64_t bits = (uint64_t)(b + (1023 << 7)) << 45;
    double u;
    memcpy(&u, &bits, sizeof u);
    return (uint64_t)u - 1;
}

// The deviations of a row's window columns, counted into the histogram:
// their bins first (a loop that vectorises where the terms fit in 32 bits
// and no cell is missing), then the counts, spread over SOUS_HISTOS copies so
// that runs of one bin do not wait on each other.
template <bool M, bool P>
EN_LIGNE void histogramme(const int* z, const unsigned char* m, int n, int k, int64_t val_mean, Bilan& b)
{
    int nb = 0;
    int32_t* c = b.cases_ligne;
    double moy = (double)val_mean;
    for (int j = 2; j <= n - 3; j++) {
        if (!a_terme<M>(m, j)) continue;
        double d = P ? std::fabs((double)terme_32(z, j, k) - moy) : std::fabs((double)(terme(z, j, k) - val_mean));
        c[nb++] = case_de(d);
    }
    uint64_t* h = b.histo;
    int q = 0;
    for (; q + SOUS_HISTOS <= nb; q += SOUS_HISTOS)
        for (int s = 0; s < SOUS_HISTOS; s++) h[s * NB_CASES + c[q + s]]++;
    for (; q < nb; q++) h[c[q]]++;
}

// Deviations of a row: |term - mean| where there is a term, 0 at a present
// cell without one (the ends of every row), NaN at a missing cell.
// (sqrt(d * d) of the written formula is exactly |d| in IEEE arithmetic.)
template <bool M>
EN_LIGNE void deviations(const int* z, const unsigned char* m, int n, int k, double* d)
{
    for (int j = 0; j < n; j++) d[j] = M && !m[j] ? NAN : 0.0;
    int64_t val_mean;
    if (n < 3 || !moyenne<M>(z, m, n, k, val_mean)) return;
    for (int j = 1; j <= n - 2; j++)
        if (a_terme<M>(m, j)) d[j] = std::fabs((double)(terme(z, j, k) - val_mean));
}

EN_LIGNE void deviations_ligne(const int* z, const unsigned char* m, int n, double* d)
{
    int k = terme_courbure ? 1 : 2;
    if (m) deviations<true>(z, m, n, k, d);
    else deviations<false>(z, m, n, k, d);
}

// The stretches of one deviation, evaluated in the written order (a
// division, never a multiplication by the reciprocal). half: dmax / 2 gives
// 0 and dmax gives norm; the linear ones (full, pP): v = d / reference x
// norm. Negative values give 0, and a negative zero becomes +0 so that the
// profile never shows "-0.000000".
EN_LIGNE double etire(double x)
{
    double v = ((x - dmin) / dif) * scale;
    return (v > 0.0 ? v : 0.0) + 0.0;  // a select, not a branch: the loops vectorise
}

EN_LIGNE double etire_lineaire(double x)
{
    double v = (x / reference) * scale;
    return (v > 0.0 ? v : 0.0) + 0.0;
}

// The byte of half's v: its low 8 bits truncated toward zero (v >= 0): 256
// gives 0, 300 gives 44. Every reachable v is below 2^53; scaling by 1/256
// and the subtraction are exact, so this equals the 64-bit conversion.
EN_LIGNE unsigned char octet(double v)
{
    double q = std::floor(v * (1.0 / 256.0));
    return (unsigned char)(int32_t)(v - q * 256.0);
}

// The byte of a linear stretch: truncated, saturated at norm, never wrapped.
EN_LIGNE unsigned char octet_sature(double v, double plafond)
{
    v = v < plafond ? v : plafond;
    return (unsigned char)(int32_t)v;
}

// One row of the image. A missing cell gives 0 (and is masked where the
// format can); a present cell without a term gives what a deviation of 0
// gives. L: a linear stretch; P: every term fits in 32 bits.
template <bool M, bool L, bool P>
EN_LIGNE void octets_ligne(const int* z, const unsigned char* m, int n, int k, unsigned char* out)
{
    double plafond = scale > 0.0 ? scale : 0.0;
    unsigned char bord = L ? 0 : octet(etire(0.0));  // a deviation of 0, never computed
    int64_t val_mean;
    if (n < 3 || !moyenne<M>(z, m, n, k, val_mean)) {
        for (int j = 0; j < n; j++) out[j] = M && !m[j] ? 0 : bord;
        return;
    }
    double moy = (double)val_mean;
    out[0] = M && !m[0] ? 0 : bord;
    out[n - 1] = M && !m[n - 1] ? 0 : bord;
    for (int j = 1; j <= n - 2; j++) {
        double d = P ? std::fabs((double)terme_32(z, j, k) - moy) : std::fabs((double)(terme(z, j, k) - val_mean));
        unsigned char o = L ? octet_sature(etire_lineaire(d), plafond) : octet(etire(d));
        if (M) o = !m[j] ? 0 : a_terme<M>(m, j) ? o : bord;
        out[j] = o;
    }
}

template <bool L, bool P>
EN_LIGNE void octets_ligne_de(const int* z, const unsigned char* m, int n, int k, unsigned char* out)
{
    if (m) octets_ligne<true, L, P>(z, m, n, k, out);
    else octets_ligne<false, L, P>(z, m, n, k, out);
}

// The first pass over one row: range, window maximum and histogram (when
// the row is in the window) and missing cells.
template <bool M>
EN_LIGNE void passe_a_de(const int* z, const unsigned char* m, int n, bool fenetre, Bilan& b)
{
    int k = terme_courbure ? 1 : 2;
    int mi = INT_MAX, ma = INT_MIN;
    etendue<M>(z, m, n, mi, ma);
    b.mind = std::min(b.mind, mi);
    b.maxd = std::max(b.maxd, ma);
    // Rows whose elevations lie within +-2^28 (missing cells hold 0) have
    // 32-bit terms: the fast loops.
    bool p = mi > -(1 << 28) && ma < (1 << 28);
    int64_t val_mean;
    if (fenetre && n >= 5 && (p ? moyenne<M, true>(z, m, n, k, val_mean) : moyenne<M>(z, m, n, k, val_mean))) {
        b.dmax = std::max(b.dmax, p ? maximum<M, true>(z, m, n, k, val_mean) : maximum<M>(z, m, n, k, val_mean));
        if (b.histo && p && !M) histogramme<M, true>(z, m, n, k, val_mean, b);
        else if (b.histo) histogramme<M, false>(z, m, n, k, val_mean, b);
    }
    if (M)
        for (int j = 0; j < n; j++) b.manquants += !m[j];
}

EN_LIGNE void passe_a(const int* z, const unsigned char* m, int n, bool fenetre, Bilan& b)
{
    if (m) passe_a_de<true>(z, m, n, fenetre, b);
    else passe_a_de<false>(z, m, n, fenetre, b);
}

// The second pass over one row: its bytes, and its Float32 deviations in
// elevation units when asked (v is then not null).
EN_LIGNE void passe_b(const int* z, const unsigned char* m, int n, unsigned char* out, float* v, double* d)
{
    int k = terme_courbure ? 1 : 2;
    bool lineaire = etirement != ETIRE_DEMI;
    if (etirement_vide()) memset(out, 0, (size_t)n);  // no deviation to stretch: all 0
    else if (lineaire && termes_32) octets_ligne_de<true, true>(z, m, n, k, out);
    else if (lineaire) octets_ligne_de<true, false>(z, m, n, k, out);
    else if (termes_32) octets_ligne_de<false, true>(z, m, n, k, out);
    else octets_ligne_de<false, false>(z, m, n, k, out);
    if (v) {
        deviations_ligne(z, m, n, d);
        for (int j = 0; j < n; j++) v[j] = (float)(d[j] / echelle_z);
    }
}

// The two kernels, built for any processor and for AVX2; the machine's own
// is chosen once.
#define NOYAUX(SUFFIXE, CIBLE)                                                                                  \
    CIBLE static void passe_a_##SUFFIXE(const int* z, const unsigned char* m, int n, bool fenetre, Bilan& b)   \
    {                                                                                                           \
        passe_a(z, m, n, fenetre, b);                                                                           \
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

void passe_a_ligne(const int* z, const unsigned char* m, int n, bool fenetre, Bilan& b)
{
    (avx2 ? passe_a_avx2 : passe_a_defaut)(z, m, n, fenetre, b);
}

void passe_b_ligne(const int* z, const unsigned char* m, int n, unsigned char* out, float* v, double* d)
{
    (avx2 ? passe_b_avx2 : passe_b_defaut)(z, m, n, out, v, d);
}

void deviations_de_ligne(const int* z, const unsigned char* m, int n, double* d) { deviations_ligne(z, m, n, d); }

bool etirement_vide() { return etirement == ETIRE_DEMI ? !(dif > 0.0) : !(reference > 0.0); }

double etire_valeur(double x)
{
    if (etirement_vide()) return 0.0;
    return etirement == ETIRE_DEMI ? etire(x) : etire_lineaire(x);
}

// The presence of row r of a round whose presence starts at m, or null when
// all its cells are there.
const unsigned char* presence_ligne(const unsigned char* m, int r)
{
    if (!m) return nullptr;
    m += (size_t)r * nb_col;
    return memchr(m, 0, (size_t)nb_col) ? m : nullptr;
}
