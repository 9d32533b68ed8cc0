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

#include "processeur.h"
#include "termes.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace tavelkorn {

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
// that runs of one bin do not wait on each other (h: SOUS_HISTOS x NB_CASES;
// one copy only when copies is 1).
template <bool M, bool P>
EN_LIGNE void histogramme(const int* z, const unsigned char* m, int wd, int wf, int k, int64_t val_mean, uint64_t* h,
                          int32_t* c, int copies)
{
    int nb = 0;
    double moy = (double)val_mean;
    for (int j = wd; j <= wf; j++) {
        if (!a_terme<M>(m, j)) continue;
        double d = P ? std::fabs((double)terme_32(z, j, k) - moy) : std::fabs((double)(terme(z, j, k) - val_mean));
        c[nb++] = case_de(d);
    }
    int q = 0;
    if (copies == SOUS_HISTOS)
        for (; q + SOUS_HISTOS <= nb; q += SOUS_HISTOS)
            for (int s = 0; s < SOUS_HISTOS; s++) h[s * NB_CASES + c[q + s]]++;
    for (; q < nb; q++) h[c[q]]++;
}

// The bytes of a segment. A missing cell gives 0 (and is masked where the
// format can); a present cell without a term gives what a deviation of 0
// gives. L: a linear stretch; P: every term fits in 32 bits.
template <bool M, bool L, bool P>
EN_LIGNE void octets(const int* z, const unsigned char* m, int n, int jd, int jf, const Etirage& etirage_, bool a_moyenne,
                     int64_t val_mean, unsigned char* out)
{
    // A copy the bytes written cannot alias: the stretch stays in registers
    // and the loop vectorises.
    const Etirage e = etirage_;
    double plafond = e.scale > 0.0 ? e.scale : 0.0;
    unsigned char bord = L ? 0 : octet(etire(0.0, e));  // a deviation of 0, never computed
    if (!a_moyenne) jd = n, jf = n - 1;
    for (int j = 0; j < n; j++) {  // the columns without a term
        if (j == jd) j = jf + 1;
        if (j < n) out[j] = M && !m[j] ? 0 : bord;
    }
    double moy = (double)val_mean;
    int k = e.k;
    for (int j = jd; j <= jf; j++) {
        double d = P ? std::fabs((double)terme_32(z, j, k) - moy) : std::fabs((double)(terme(z, j, k) - val_mean));
        unsigned char o = L ? octet_sature(etire_lineaire(d, e), plafond) : octet(etire(d, e));
        if (M) o = !m[j] ? 0 : a_terme<M>(m, j) ? o : bord;
        out[j] = o;
    }
}

template <bool M>
EN_LIGNE void octets_de(const int* z, const unsigned char* m, int n, int jd, int jf, const Etirage& e, bool a_moyenne,
                        int64_t val_mean, unsigned char* out)
{
    bool lineaire = e.etirement != ETIRE_DEMI;
    if (etirage_vide(e)) memset(out, 0, (size_t)n);  // no deviation to stretch: all 0
    else if (lineaire && e.termes_32) octets<M, true, true>(z, m, n, jd, jf, e, a_moyenne, val_mean, out);
    else if (lineaire) octets<M, true, false>(z, m, n, jd, jf, e, a_moyenne, val_mean, out);
    else if (e.termes_32) octets<M, false, true>(z, m, n, jd, jf, e, a_moyenne, val_mean, out);
    else octets<M, false, false>(z, m, n, jd, jf, e, a_moyenne, val_mean, out);
}

// The first pass over one row: range, window maximum and histogram (when
// the row is in the window) and missing cells.
template <bool M>
EN_LIGNE void passe_a_de(const int* z, const unsigned char* m, int n, int k, bool fenetre, Cumul& b)
{
    int mi = INT_MAX, ma = INT_MIN;
    etendue<M>(z, m, n, mi, ma);
    b.mind = std::min(b.mind, mi);
    b.maxd = std::max(b.maxd, ma);
    // Rows whose elevations lie within +-2^28 (missing cells hold 0) have
    // 32-bit terms: the fast loops.
    bool p = mi > -(1 << 28) && ma < (1 << 28);
    int64_t val_mean;
    if (fenetre && n >= 5 && (p ? moyenne<M, true>(z, m, n, k, val_mean) : moyenne<M>(z, m, n, k, val_mean))) {
        b.dmax = std::max(b.dmax, p ? maximum<M, true>(z, m, 2, n - 3, k, val_mean)
                                    : maximum<M>(z, m, 2, n - 3, k, val_mean));
        if (b.histo && p && !M) histogramme<M, true>(z, m, 2, n - 3, k, val_mean, b.histo, b.cases_ligne, SOUS_HISTOS);
        else if (b.histo) histogramme<M, false>(z, m, 2, n - 3, k, val_mean, b.histo, b.cases_ligne, SOUS_HISTOS);
    }
    if (M)
        for (int j = 0; j < n; j++) b.manquants += !m[j];
}

// The second pass over one row: its bytes, and its Float32 deviations in
// elevation units when asked (v is then not null).
template <bool M>
EN_LIGNE void passe_b_de(const int* z, const unsigned char* m, int n, const Etirage& e, unsigned char* out, float* v,
                         double* d)
{
    int64_t val_mean = 0;
    bool a = n >= 3 && (e.termes_32 ? moyenne<M, true>(z, m, n, e.k, val_mean) : moyenne<M>(z, m, n, e.k, val_mean));
    octets_de<M>(z, m, n, 1, n - 2, e, a, val_mean, out);
    if (v) {
        deviations<M>(z, m, n, 1, n - 2, e.k, a, val_mean, d);
        for (int j = 0; j < n; j++) v[j] = (float)(d[j] / e.echelle_z);
    }
}

EN_LIGNE void passe_a(const int* z, const unsigned char* m, int n, int k, bool fenetre, Cumul& b)
{
    if (m) passe_a_de<true>(z, m, n, k, fenetre, b);
    else passe_a_de<false>(z, m, n, k, fenetre, b);
}

EN_LIGNE void passe_b(const int* z, const unsigned char* m, int n, const Etirage& e, unsigned char* out, float* v,
                      double* d)
{
    if (m) passe_b_de<true>(z, m, n, e, out, v, d);
    else passe_b_de<false>(z, m, n, e, out, v, d);
}

// ---------------------------------------------------------------- segments (blocks)

// A block's elevations are not known beforehand: a segment takes the 32-bit
// loops when its own cells (columns debut - 1 .. fin + 1) lie within +-2^28,
// as a whole row does. Both loops give the same values.
template <bool M>
EN_LIGNE bool courts(const int* z, const unsigned char* m, int debut, int fin)
{
    if (debut > fin) return true;
    int mi = INT_MAX, ma = INT_MIN;
    etendue<M>(z + debut - 1, M ? m + debut - 1 : m, fin - debut + 3, mi, ma);
    return mi > -(1 << 28) && ma < (1 << 28);
}

template <bool M>
EN_LIGNE void somme_seg(const int* z, const unsigned char* m, const Colonnes& c, int k, __int128& total,
                        int64_t& compte)
{
    if (courts<M>(z, m, c.jd, c.jf)) somme<M, true>(z, m, c.jd, c.jf, k, total, compte);
    else somme<M>(z, m, c.jd, c.jf, k, total, compte);
}

template <bool M>
EN_LIGNE double maximum_seg(const int* z, const unsigned char* m, const Colonnes& c, int k, int64_t val_mean,
                            uint64_t* histo, int32_t* cases)
{
    if (c.wd > c.wf) return 0.0;
    bool p = courts<M>(z, m, c.wd, c.wf);
    if (histo && p && !M) histogramme<M, true>(z, m, c.wd, c.wf, k, val_mean, histo, cases, 1);
    else if (histo) histogramme<M, false>(z, m, c.wd, c.wf, k, val_mean, histo, cases, 1);
    return p ? maximum<M, true>(z, m, c.wd, c.wf, k, val_mean) : maximum<M>(z, m, c.wd, c.wf, k, val_mean);
}

template <bool M>
EN_LIGNE bool extremes_seg(const int* z, const unsigned char* m, const Colonnes& c, int k, int64_t& tmin,
                           int64_t& tmax)
{
    return courts<M>(z, m, c.wd, c.wf) ? extremes<M, true>(z, m, c.wd, c.wf, k, tmin, tmax)
                                       : extremes<M>(z, m, c.wd, c.wf, k, tmin, tmax);
}

template <bool M>
EN_LIGNE void octets_seg(const int* z, const unsigned char* m, int n, const Colonnes& c, const Etirage& e,
                         bool a_moyenne, int64_t val_mean, unsigned char* out)
{
    Etirage e_seg = e;
    e_seg.termes_32 = courts<M>(z, m, c.jd, c.jf);
    octets_de<M>(z, m, n, c.jd, c.jf, e_seg, a_moyenne, val_mean, out);
}

// The kernels, built for any processor and for AVX2; the machine's own is
// chosen once (tests may choose the other to compare them).
#define NOYAUX(SUFFIXE, CIBLE)                                                                                    \
    CIBLE static void passe_a_##SUFFIXE(const int* z, const unsigned char* m, int n, int k, bool fenetre, Cumul& b) \
    {                                                                                                             \
        passe_a(z, m, n, k, fenetre, b);                                                                          \
    }                                                                                                             \
    CIBLE static void passe_b_##SUFFIXE(const int* z, const unsigned char* m, int n, const Etirage& e,              \
                                        unsigned char* out, float* v, double* d)                                  \
    {                                                                                                             \
        passe_b(z, m, n, e, out, v, d);                                                                           \
    }                                                                                                             \
    CIBLE static void somme_segment_##SUFFIXE(const int* z, const unsigned char* m, const Colonnes& c, int k,       \
                                              __int128& total, int64_t& compte)                                  \
    {                                                                                                             \
        if (m) somme_seg<true>(z, m, c, k, total, compte);                                                        \
        else somme_seg<false>(z, m, c, k, total, compte);                                                         \
    }                                                                                                             \
    CIBLE static double maximum_segment_##SUFFIXE(const int* z, const unsigned char* m, const Colonnes& c, int k,   \
                                                  int64_t val_mean, uint64_t* histo, int32_t* cases)             \
    {                                                                                                             \
        return m ? maximum_seg<true>(z, m, c, k, val_mean, histo, cases)                                          \
                 : maximum_seg<false>(z, m, c, k, val_mean, histo, cases);                                        \
    }                                                                                                             \
    CIBLE static bool extremes_segment_##SUFFIXE(const int* z, const unsigned char* m, const Colonnes& c, int k,    \
                                                 int64_t& tmin, int64_t& tmax)                                    \
    {                                                                                                             \
        return m ? extremes_seg<true>(z, m, c, k, tmin, tmax) : extremes_seg<false>(z, m, c, k, tmin, tmax);      \
    }                                                                                                             \
    CIBLE static void octets_segment_##SUFFIXE(const int* z, const unsigned char* m, int n, const Colonnes& c,      \
                                               const Etirage& e, bool a_moyenne, int64_t val_mean,                \
                                               unsigned char* out)                                                \
    {                                                                                                             \
        if (m) octets_seg<true>(z, m, n, c, e, a_moyenne, val_mean, out);                                         \
        else octets_seg<false>(z, m, n, c, e, a_moyenne, val_mean, out);                                          \
    }
NOYAUX(defaut, )
#ifdef CIBLE_AVX2
NOYAUX(avx2, CIBLE_AVX2)
static bool avx2 = processeur_avx2();  // the kernel choice: the engine's one process-wide value
#else
static bool avx2 = false;
#define passe_a_avx2 passe_a_defaut
#define passe_b_avx2 passe_b_defaut
#define somme_segment_avx2 somme_segment_defaut
#define maximum_segment_avx2 maximum_segment_defaut
#define extremes_segment_avx2 extremes_segment_defaut
#define octets_segment_avx2 octets_segment_defaut
#endif

void choisit_noyaux(bool oui) { avx2 = oui && processeur_avx2(); }
bool noyaux_avx2() { return avx2; }

void passe_a_ligne(const int* z, const unsigned char* m, int n, int k, bool fenetre, Cumul& b)
{
    (avx2 ? passe_a_avx2 : passe_a_defaut)(z, m, n, k, fenetre, b);
}

void passe_b_ligne(const int* z, const unsigned char* m, int n, const Etirage& e, unsigned char* out, float* v,
                   double* d)
{
    (avx2 ? passe_b_avx2 : passe_b_defaut)(z, m, n, e, out, v, d);
}

void deviations_de_ligne(const int* z, const unsigned char* m, int n, int k, double* d)
{
    int64_t val_mean = 0;
    bool a = n >= 3 && (m ? moyenne<true>(z, m, n, k, val_mean) : moyenne<false>(z, m, n, k, val_mean));
    if (m) deviations<true>(z, m, n, 1, n - 2, k, a, val_mean, d);
    else deviations<false>(z, m, n, 1, n - 2, k, a, val_mean, d);
}

Colonnes colonnes_de(int col0, int colonnes, int nb_col)
{
    Colonnes c;
    c.jd = std::max(0, 1 - col0);
    c.jf = std::min(colonnes - 1, nb_col - 2 - col0);
    c.wd = std::max(0, 2 - col0);
    c.wf = std::min(colonnes - 1, nb_col - 3 - col0);
    return c;
}

void somme_segment(const int* z, const unsigned char* m, const Colonnes& c, int k, __int128& total, int64_t& compte)
{
    (avx2 ? somme_segment_avx2 : somme_segment_defaut)(z, m, c, k, total, compte);
}

double maximum_segment(const int* z, const unsigned char* m, const Colonnes& c, int k, int64_t val_mean,
                       uint64_t* histo, int32_t* cases)
{
    return (avx2 ? maximum_segment_avx2 : maximum_segment_defaut)(z, m, c, k, val_mean, histo, cases);
}

bool extremes_segment(const int* z, const unsigned char* m, const Colonnes& c, int k, int64_t& tmin, int64_t& tmax)
{
    return (avx2 ? extremes_segment_avx2 : extremes_segment_defaut)(z, m, c, k, tmin, tmax);
}

void deviations_segment(const int* z, const unsigned char* m, int n, const Colonnes& c, int k, bool a_moyenne,
                        int64_t val_mean, double* d)
{
    if (m) deviations<true>(z, m, n, c.jd, c.jf, k, a_moyenne, val_mean, d);
    else deviations<false>(z, m, n, c.jd, c.jf, k, a_moyenne, val_mean, d);
}

void octets_segment(const int* z, const unsigned char* m, int n, const Colonnes& c, const Etirage& e, bool a_moyenne,
                    int64_t val_mean, unsigned char* out)
{
    (avx2 ? octets_segment_avx2 : octets_segment_defaut)(z, m, n, c, e, a_moyenne, val_mean, out);
}

const unsigned char* presence_ligne(const unsigned char* m, int r, int n)
{
    if (!m) return nullptr;
    m += (size_t)r * n;
    return memchr(m, 0, (size_t)n) ? m : nullptr;
}

// ---------------------------------------------------------------- the stretch

Etirage etirage(const Options& o, const Bilan& b, int norm)
{
    Etirage e;
    e.etirement = o.etirement;
    e.k = o.terme == TERME_COURBURE ? 1 : 2;
    e.dmin = b.dmax * 0.5;
    e.dif = b.dmax - e.dmin;
    e.scale = (double)norm;
    e.reference = b.reference;
    e.echelle_z = std::fabs(o.echelle_z);  // a negative z-scale flips the DEM: its deviations are not negative
    e.termes_32 = b.termes_32;
    return e;
}

bool etirage_vide(const Etirage& e) { return e.etirement == ETIRE_DEMI ? !(e.dif > 0.0) : !(e.reference > 0.0); }

double valeur_etiree(const Etirage& e, double d)
{
    if (etirage_vide(e)) return 0.0;
    if (e.etirement == ETIRE_DEMI) return etire(d, e);
    return std::min(etire_lineaire(d, e), e.scale > 0.0 ? e.scale : 0.0);  // saturated, as the bytes are
}

}  // namespace tavelkorn
