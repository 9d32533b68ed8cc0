// The arithmetic every loop of the engine shares, each formula written
// once: the term of a cell at a lag, its deviation from a mean, the exact
// sums, the histogram's bins, the stretches and the bytes. Inlined into
// each build of the loops (any processor, AVX2).
#ifndef TERMES_H
#define TERMES_H

#include "moteur.h"
#include "processeur.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tavelkorn {

// The term's coefficient as a shift: 4 = 1 << 2 (classic), 2 = 1 << 1
// (curvature).
inline int decalage_de(Terme t) { return t == TERME_COURBURE ? 1 : 2; }

// A line of cells (a row, or a row seen down its columns) and, for each
// cell j, its two neighbours at the lag: z[j + av] and z[j + ap] (along a
// row -k and +k; down columns, k rows above and below), with their
// presence the same way (m null: every cell present).
struct Voisins {
    const int* z = nullptr;
    ptrdiff_t av = 0, ap = 0;
    const unsigned char* m = nullptr;
    ptrdiff_t mav = 0, map = 0;
};

// The term of cell j: (z << c) - before - after, exact in 64 bits.
EN_LIGNE int64_t terme(const Voisins& v, int j, int c)
{
    return (int64_t)((uint64_t)(int64_t)v.z[j] << c) - v.z[j + v.av] - v.z[j + v.ap];
}

// The same where every elevation lies within +-2^28: the term fits in 32
// bits, and converts to double the fast way.
EN_LIGNE int32_t terme_32(const Voisins& v, int j, int c)
{
    return (int32_t)((uint32_t)v.z[j] << c) - v.z[j + v.av] - v.z[j + v.ap];
}

// Cell j has a term where it and both its neighbours are present.
template <bool M>
EN_LIGNE bool a_terme(const Voisins& v, int j)
{
    return !M || (v.m[j] & v.m[j + v.mav] & v.m[j + v.map]);
}

// |t - mean|, exact: both are integers a double holds, and so is their
// difference. P: the 32-bit term, the mean given as a double too.
template <bool P>
EN_LIGNE double ecart(const Voisins& v, int j, int c, int64_t moyenne, double moyenne_d)
{
    return P ? std::fabs((double)terme_32(v, j, c) - moyenne_d) : std::fabs((double)(terme(v, j, c) - moyenne));
}

// A sum of terms held as 64-bit pieces folded into 128 bits: a piece of at
// most 2^28 terms of 2^35 is far from overflowing.
const int TERMES_PAR_PIECE = 1 << 28;
EN_LIGNE void replie(__int128& total, int64_t& piece)
{
    total += piece;
    piece = 0;
}

// The mean of a sum of terms: truncated toward zero.
EN_LIGNE int64_t moyenne_de(__int128 somme, int64_t compte) { return (int64_t)(somme / compte); }

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

// The least deviation of bin b.
EN_LIGNE uint64_t bas_de_case(int b)
{
    uint64_t bits = (uint64_t)(b + (1023 << 7)) << 45;
    double u;
    memcpy(&u, &bits, sizeof u);
    return (uint64_t)u - 1;
}

// The stretch as the loops apply it, made once from an Etirage.
struct Reglage {
    bool lineaire = false;     // full and pP: d / reference x norm, saturated
    bool vide = true;          // nothing to stretch by: every byte 0
    double dmin = 0, dif = 0;  // half: (d - dmin) / dif x scale
    double scale = 0;          // the norm, as a double
    double reference = 0;
    double plafond = 0;        // the linear stretches' ceiling: the norm, or 0
    double echelle_z = 1;      // Float32 deviations are divided by it
};

// The stretches of one deviation, evaluated in the written order (a
// division, never a multiplication by the reciprocal). Negative values give
// 0, and a negative zero becomes +0 so that the profile never shows
// "-0.000000".
template <bool L>
EN_LIGNE double etire(double x, const Reglage& r)
{
    double v = L ? (x / r.reference) * r.scale : ((x - r.dmin) / r.dif) * r.scale;
    return (v > 0.0 ? v : 0.0) + 0.0;  // a select, not a branch: the loops vectorise
}

// The byte of half's v: its low 8 bits truncated toward zero (v >= 0): 256
// gives 0, 300 gives 44. Every reachable v is below 2^53; scaling by 1/256
// and the subtraction are exact, so this equals the 64-bit conversion. The
// linear stretches saturate at the norm instead, never wrapping.
template <bool L>
EN_LIGNE unsigned char octet(double v, const Reglage& r)
{
    if (L) return (unsigned char)(int32_t)(v < r.plafond ? v : r.plafond);
    double q = std::floor(v * (1.0 / 256.0));
    return (unsigned char)(int32_t)(v - q * 256.0);
}

// A deviation d (< 0: a present cell without a term, which counts as 0;
// NaN: a missing cell) as its byte and as its Float32 value in elevation
// units. L: a linear stretch; S: d is known to be a deviation (>= 0, never
// NaN), the fastest loop.
template <bool L, bool S = false>
EN_LIGNE unsigned char octet_de(double d, const Reglage& r)
{
    if (S) return octet<L>(etire<L>(d, r), r);
    unsigned char o = octet<L>(etire<L>(d > 0.0 ? d : 0.0, r), r);
    return d != d ? 0 : o;
}
EN_LIGNE float valeur_de(double d, const Reglage& r)
{
    return d != d ? NAN : (float)((d > 0.0 ? d : 0.0) / r.echelle_z);
}

}  // namespace tavelkorn

#endif
