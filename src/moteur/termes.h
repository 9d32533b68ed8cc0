// The arithmetic every kernel shares: the terms along a row and down a
// column, the exact sums and means, the histogram's bins, the stretches and
// the bytes. Inlined into each build of the kernels (any processor, AVX2).
#ifndef TERMES_H
#define TERMES_H

#include "moteur.h"
#include "processeur.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace tavelkorn {

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

// The exact sum of the terms of columns jd .. jf and their count: 64-bit
// pieces of 2^28 columns (each far from overflowing) added in 128 bits.
template <bool M, bool P = false>
EN_LIGNE void somme(const int* z, const unsigned char* m, int jd, int jf, int k, __int128& total, int64_t& compte)
{
    for (int debut = jd; debut <= jf; debut += 1 << 28) {
        int fin = std::min(jf, debut + (1 << 28) - 1);
        int64_t s = 0;
        for (int j = debut; j <= fin; j++)
            if (a_terme<M>(m, j)) {
                s += P ? (int64_t)terme_32(z, j, k) : terme(z, j, k);
                compte++;
            }
        total += s;
    }
}

// The row's mean term: the exact sum of its terms divided by their count,
// truncated toward zero. False when the row has no term.
template <bool M, bool P = false>
EN_LIGNE bool moyenne(const int* z, const unsigned char* m, int n, int k, int64_t& val_mean)
{
    __int128 total = 0;
    int64_t compte = 0;
    somme<M, P>(z, m, 1, n - 2, k, total, compte);
    if (compte == 0) return false;
    val_mean = (int64_t)(total / compte);
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

// The least and the largest term of columns wd .. wf (false: none there).
template <bool M, bool P = false>
EN_LIGNE bool extremes(const int* z, const unsigned char* m, int wd, int wf, int k, int64_t& tmin, int64_t& tmax)
{
    typedef typename std::conditional<P, int32_t, int64_t>::type T;
    T mi = std::numeric_limits<T>::max(), ma = std::numeric_limits<T>::min();
    for (int j = wd; j <= wf; j++)
        if (a_terme<M>(m, j)) {
            T t = P ? (T)terme_32(z, j, k) : (T)terme(z, j, k);
            mi = t < mi ? t : mi;
            ma = t > ma ? t : ma;
        }
    if (mi > ma) return false;
    tmin = mi;
    tmax = ma;
    return true;
}

// Largest deviation of a row's terms inside the window columns wd to wf.
// |t - mean| is largest at the smallest or the largest term, so integer
// extremes suffice.
template <bool M, bool P = false>
EN_LIGNE double maximum(const int* z, const unsigned char* m, int wd, int wf, int k, int64_t val_mean)
{
    int64_t mi, ma;
    if (!extremes<M, P>(z, m, wd, wf, k, mi, ma)) return 0.0;
    return (double)std::max(val_mean - mi, ma - val_mean);
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

// Deviations of columns jd .. jf: |term - mean| where there is a term, 0 at
// a present cell without one, NaN at a missing cell. (sqrt(d * d) of the
// written formula is exactly |d| in IEEE arithmetic.)
template <bool M>
EN_LIGNE void deviations(const int* z, const unsigned char* m, int n, int jd, int jf, int k, bool a_moyenne,
                         int64_t val_mean, double* d)
{
    for (int j = 0; j < n; j++) d[j] = M && !m[j] ? NAN : 0.0;
    if (!a_moyenne) return;
    for (int j = jd; j <= jf; j++)
        if (a_terme<M>(m, j)) d[j] = std::fabs((double)(terme(z, j, k) - val_mean));
}

// The stretches of one deviation, evaluated in the written order (a
// division, never a multiplication by the reciprocal). half: dmax / 2 gives
// 0 and dmax gives norm; the linear ones (full, pP): v = d / reference x
// norm. Negative values give 0, and a negative zero becomes +0 so that the
// profile never shows "-0.000000".
EN_LIGNE double etire(double x, const Etirage& e)
{
    double v = ((x - e.dmin) / e.dif) * e.scale;
    return (v > 0.0 ? v : 0.0) + 0.0;  // a select, not a branch: the loops vectorise
}

EN_LIGNE double etire_lineaire(double x, const Etirage& e)
{
    double v = (x / e.reference) * e.scale;
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

}  // namespace tavelkorn

#endif
