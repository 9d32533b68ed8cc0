// The loops over one line of cells. Each exists in instances from one
// source: without missing cells (M false: the fast, vectorised loops) and
// with them; with 64- and 32-bit terms (P); for the half and the linear
// stretches (L); and each is built for any processor and for AVX2.
//
// The arithmetic is exact: terms and sums are 64-bit integers (sums of
// many folded into 128 bits), a mean is their quotient truncated toward
// zero, and |t - mean| is an integer a double holds exactly.
#include "noyaux.h"

#include "etire_ligne.h"
#include "processeur.h"

#include <cstring>
#include <limits>
#include <type_traits>

namespace tavelkorn {

namespace {

template <bool M>
EN_LIGNE void etendue_de(const int* z, const unsigned char* m, int n, int& mind, int& maxd)
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

template <bool M, bool P>
EN_LIGNE void somme_de(const Voisins& v, int jd, int jf, int c, __int128& total, int64_t& compte)
{
    for (int64_t debut = jd; debut <= jf; debut += TERMES_PAR_PIECE) {
        int fin = (int)std::min<int64_t>(jf, debut + TERMES_PAR_PIECE - 1);
        int64_t s = 0, n = 0;
        for (int j = (int)debut; j <= fin; j++) {
            bool a = a_terme<M>(v, j);
            int64_t t = P ? (int64_t)terme_32(v, j, c) : terme(v, j, c);
            s += a ? t : 0;
            n += a;
        }
        replie(total, s);
        compte += n;
    }
}

template <bool M, bool P>
EN_LIGNE bool extremes_de(const Voisins& v, int wd, int wf, int c, int64_t& tmin, int64_t& tmax)
{
    typedef typename std::conditional<P, int32_t, int64_t>::type T;
    T mi = std::numeric_limits<T>::max(), ma = std::numeric_limits<T>::min();
    bool vu = false;
    for (int j = wd; j <= wf; j++) {
        bool a = a_terme<M>(v, j);
        T t = P ? (T)terme_32(v, j, c) : (T)terme(v, j, c);
        mi = a && t < mi ? t : mi;
        ma = a && t > ma ? t : ma;
        vu |= a;
    }
    if (!vu) return false;
    tmin = mi;
    tmax = ma;
    return true;
}

// The column terms of cells 0 .. n - 1 added into the sums, and those of
// cells wd .. wf into the extremes too (none when wd > wf): one pass over
// the three rows.
template <bool M, bool X>
EN_LIGNE void colonnes_de(const Voisins& v, int debut, int fin, int c, int64_t* s, int64_t* compte, int64_t* mi,
                          int64_t* ma)
{
    for (int j = debut; j < fin; j++) {
        bool a = a_terme<M>(v, j);
        int64_t t = terme(v, j, c);
        s[j] += a ? t : 0;
        compte[j] += a;
        if (X) {
            mi[j] = a && t < mi[j] ? t : mi[j];
            ma[j] = a && t > ma[j] ? t : ma[j];
        }
    }
}

template <bool M>
EN_LIGNE void cumule_colonnes_de(const Voisins& v_, int n, int c, int64_t* s, int64_t* compte, int wd, int wf,
                                 int64_t* mi, int64_t* ma)
{
    const Voisins v = v_;  // a copy the sums written cannot alias
    if (wd > wf) wd = n, wf = n - 1;
    colonnes_de<M, false>(v, 0, wd, c, s, compte, mi, ma);
    colonnes_de<M, true>(v, wd, wf + 1, c, s, compte, mi, ma);
    colonnes_de<M, false>(v, wf + 1, n, c, s, compte, mi, ma);
}

// The row's own part of its deviations into d: -1 or NaN everywhere, then
// |t - mean| of the row terms of columns jd .. jf.
template <bool M, bool P>
EN_LIGNE void ligne_de(const Ecarts& e, const unsigned char* m, int n, int c, double* d)
{
    for (int j = 0; j < n; j++) d[j] = M && !m[j] ? NAN : -1.0;
    if (!e.ligne || !e.a_moyenne) return;
    const Voisins v = *e.ligne;
    double md = (double)e.moyenne;
    for (int j = e.jd; j <= e.jf; j++) {
        double x = ecart<P>(v, j, c, e.moyenne, md);
        d[j] = a_terme<M>(v, j) ? x : d[j];
    }
}

template <bool M, bool P>
EN_LIGNE void deviations_de(const Ecarts& e_, const unsigned char* m, int n, int c, double* d)
{
    const Ecarts e = e_;
    ligne_de<M, P>(e, m, n, c, d);
    if (!e.colonne) return;
    const Voisins v = *e.colonne;
    const MoyennesColonnes mc = e.moyennes;
    for (int j = 0; j < n; j++) d[j] = avec_colonne<M, P>(v, mc, j, c, d[j]);
}

// The bins of the deviations of columns wd .. wf that have a term, then
// their counts.
template <bool M, bool P>
EN_LIGNE void histo_termes_de(const Voisins& v_, int wd, int wf, int c, int64_t moyenne, uint64_t* h, int copies,
                              int32_t* cases)
{
    const Voisins v = v_;  // a copy the bins written cannot alias
    int nb = 0;
    double md = (double)moyenne;
    for (int j = wd; j <= wf; j++) {
        if (!a_terme<M>(v, j)) continue;
        cases[nb++] = case_de(ecart<P>(v, j, c, moyenne, md));
    }
    int q = 0;
    if (copies == SOUS_HISTOS)
        for (; q + SOUS_HISTOS <= nb; q += SOUS_HISTOS)
            for (int s = 0; s < SOUS_HISTOS; s++) h[s * NB_CASES + cases[q + s]]++;
    for (; q < nb; q++) h[cases[q]]++;
}

// The bytes 0 among the present cells wd .. wf, and those cells.
template <bool M>
EN_LIGNE void nuls_de(const unsigned char* o, const unsigned char* m, int wd, int wf, uint64_t& nuls, uint64_t& cellules)
{
    uint64_t z = 0, c = 0;
    for (int j = wd; j <= wf; j++) {
        bool present = !M || m[j];
        c += present;
        z += present & (o[j] == 0);
    }
    nuls += z;
    cellules += c;
}

// Every loop with the instances its arguments choose.
EN_LIGNE void somme_termes_(const Voisins& v, int jd, int jf, int c, bool p32, __int128& s, int64_t& n)
{
    if (v.m) p32 ? somme_de<true, true>(v, jd, jf, c, s, n) : somme_de<true, false>(v, jd, jf, c, s, n);
    else p32 ? somme_de<false, true>(v, jd, jf, c, s, n) : somme_de<false, false>(v, jd, jf, c, s, n);
}

EN_LIGNE bool extremes_termes_(const Voisins& v, int wd, int wf, int c, bool p32, int64_t& mi, int64_t& ma)
{
    if (v.m) return p32 ? extremes_de<true, true>(v, wd, wf, c, mi, ma) : extremes_de<true, false>(v, wd, wf, c, mi, ma);
    return p32 ? extremes_de<false, true>(v, wd, wf, c, mi, ma) : extremes_de<false, false>(v, wd, wf, c, mi, ma);
}

EN_LIGNE void cumule_colonnes_(const Voisins& v, int n, int c, int64_t* s, int64_t* compte, int wd, int wf,
                               int64_t* mi, int64_t* ma)
{
    if (v.m) cumule_colonnes_de<true>(v, n, c, s, compte, wd, wf, mi, ma);
    else cumule_colonnes_de<false>(v, n, c, s, compte, wd, wf, mi, ma);
}

EN_LIGNE void deviations_(const Ecarts& e, const unsigned char* m, int n, int c, bool p32, double* d)
{
    if (m) p32 ? deviations_de<true, true>(e, m, n, c, d) : deviations_de<true, false>(e, m, n, c, d);
    else p32 ? deviations_de<false, true>(e, m, n, c, d) : deviations_de<false, false>(e, m, n, c, d);
}

template <bool M, bool P>
EN_LIGNE void image_ecarts_de(const Ecarts& e, const unsigned char* m, int n, int c, double* d, const Reglage& r,
                              unsigned char* out, float* val)
{
    if (!M && e.colonne && memchr(e.moyennes.existe, 0, (size_t)n)) {  // a column without a mean: the slow way
        deviations_de<M, P>(e, m, n, c, d);
        etire(DevTableau{d, 0, n - 1}, n, r, out, val);
        return;
    }
    if (e.ligne || !e.colonne) ligne_de<M, P>(e, m, n, c, d);
    if (!e.colonne) etire(DevTableau{d, 0, n - 1}, n, r, out, val);
    else if (e.ligne) etire(DevColonnes<M, P, true>{*e.colonne, e.moyennes, d, m, c, 0, n - 1}, n, r, out, val);
    else etire(DevColonnes<M, P, false>{*e.colonne, e.moyennes, d, m, c, 0, n - 1}, n, r, out, val);
}

EN_LIGNE void image_ecarts_(const Ecarts& e, const unsigned char* m, int n, int c, bool p32, double* d,
                            const Reglage& r, unsigned char* out, float* val)
{
    if (m) p32 ? image_ecarts_de<true, true>(e, m, n, c, d, r, out, val)
           : image_ecarts_de<true, false>(e, m, n, c, d, r, out, val);
    else p32 ? image_ecarts_de<false, true>(e, m, n, c, d, r, out, val)
             : image_ecarts_de<false, false>(e, m, n, c, d, r, out, val);
}

EN_LIGNE void image_termes_(const Voisins& v, int n, int jd, int jf, int c, bool p32, bool a_moyenne,
                            int64_t moyenne, const Reglage& r, unsigned char* out, float* val)
{
    if (!a_moyenne) jd = n, jf = n - 1;  // no term: every cell outside
    double md = (double)moyenne;
    if (v.m && p32) etire(DevTermes<true, true>{v, c, moyenne, md, jd, jf}, n, r, out, val);
    else if (v.m) etire(DevTermes<true, false>{v, c, moyenne, md, jd, jf}, n, r, out, val);
    else if (p32) etire(DevTermes<false, true>{v, c, moyenne, md, jd, jf}, n, r, out, val);
    else etire(DevTermes<false, false>{v, c, moyenne, md, jd, jf}, n, r, out, val);
}

EN_LIGNE void histo_termes_(const Voisins& v, int wd, int wf, int c, bool p32, int64_t moyenne, uint64_t* h,
                            int copies, int32_t* cases)
{
    if (v.m) p32 ? histo_termes_de<true, true>(v, wd, wf, c, moyenne, h, copies, cases)
                 : histo_termes_de<true, false>(v, wd, wf, c, moyenne, h, copies, cases);
    else p32 ? histo_termes_de<false, true>(v, wd, wf, c, moyenne, h, copies, cases)
             : histo_termes_de<false, false>(v, wd, wf, c, moyenne, h, copies, cases);
}

// Each loop built for any processor and for AVX2; the machine's own is
// chosen once (tests may choose the other to compare them).
}  // namespace

#define NOYAUX(S, CIBLE)                                                                                         \
    CIBLE static void compte_nuls_##S(const unsigned char* o, const unsigned char* m, int wd, int wf, uint64_t& z, \
                                      uint64_t& c)                                                               \
    {                                                                                                            \
        if (m) nuls_de<true>(o, m, wd, wf, z, c);                                                                \
        else nuls_de<false>(o, m, wd, wf, z, c);                                                                 \
    }                                                                                                            \
    CIBLE static void etendue_##S(const int* z, const unsigned char* m, int n, int& mi, int& ma)                  \
    {                                                                                                            \
        if (m) etendue_de<true>(z, m, n, mi, ma);                                                                \
        else etendue_de<false>(z, m, n, mi, ma);                                                                 \
    }                                                                                                            \
    CIBLE static void somme_termes_##S(const Voisins& v, int jd, int jf, int c, bool p, __int128& s, int64_t& n)         \
    {                                                                                                            \
        somme_termes_(v, jd, jf, c, p, s, n);                                                                    \
    }                                                                                                            \
    CIBLE static bool extremes_termes_##S(const Voisins& v, int wd, int wf, int c, bool p, int64_t& mi, int64_t& ma)    \
    {                                                                                                            \
        return extremes_termes_(v, wd, wf, c, p, mi, ma);                                                        \
    }                                                                                                            \
    CIBLE static void cumule_colonnes_##S(const Voisins& v, int n, int c, int64_t* s, int64_t* k, int wd, int wf, \
                                          int64_t* mi, int64_t* ma)                                              \
    {                                                                                                            \
        cumule_colonnes_(v, n, c, s, k, wd, wf, mi, ma);                                                         \
    }                                                                                                            \
    CIBLE static void deviations_##S(const Ecarts& e, const unsigned char* m, int n, int c, bool p, double* d)           \
    {                                                                                                            \
        deviations_(e, m, n, c, p, d);                                                                           \
    }                                                                                                            \
    CIBLE static void image_ecarts_##S(const Ecarts& e, const unsigned char* m, int n, int c, bool p, double* d,  \
                                       const Reglage& r, unsigned char* o, float* v)                             \
    {                                                                                                            \
        image_ecarts_(e, m, n, c, p, d, r, o, v);                                                                \
    }                                                                                                            \
    CIBLE static void image_termes_##S(const Voisins& v, int n, int jd, int jf, int c, bool p, bool a, int64_t moy,      \
                                const Reglage& r, unsigned char* o, float* val)                                  \
    {                                                                                                            \
        image_termes_(v, n, jd, jf, c, p, a, moy, r, o, val);                                                    \
    }                                                                                                            \
    CIBLE static void histo_termes_##S(const Voisins& v, int wd, int wf, int c, bool p, int64_t moy, uint64_t* h, int k, \
                                int32_t* cases)                                                                  \
    {                                                                                                            \
        histo_termes_(v, wd, wf, c, p, moy, h, k, cases);                                                        \
    }
NOYAUX(defaut, )
#ifdef CIBLE_AVX2
NOYAUX(avx2, CIBLE_AVX2)
static bool avx2 = processeur_avx2();  // the kernel choice: the engine's one process-wide value
#else
static bool avx2 = false;
#define etendue_avx2 etendue_defaut
#define compte_nuls_avx2 compte_nuls_defaut
#define somme_termes_avx2 somme_termes_defaut
#define extremes_termes_avx2 extremes_termes_defaut
#define cumule_colonnes_avx2 cumule_colonnes_defaut
#define deviations_avx2 deviations_defaut
#define image_ecarts_avx2 image_ecarts_defaut
#define image_termes_avx2 image_termes_defaut
#define histo_termes_avx2 histo_termes_defaut
#endif

#define CHOISI(f) (avx2 ? f##_avx2 : f##_defaut)

void choisit_noyaux(bool oui) { avx2 = oui && processeur_avx2(); }
bool noyaux_avx2() { return avx2; }

bool courts(const int* z, int debut, int fin)
{
    if (debut > fin) return true;
    int mi = INT_MAX, ma = INT_MIN;
    CHOISI(etendue)(z + debut, nullptr, fin - debut + 1, mi, ma);
    return mi > -(1 << 28) && ma < (1 << 28);
}

void etendue(const int* z, const unsigned char* m, int n, int& mind, int& maxd)
{
    CHOISI(etendue)(z, m, n, mind, maxd);
}

void compte_nuls(const unsigned char* o, const unsigned char* m, int wd, int wf, uint64_t& nuls, uint64_t& cellules)
{
    CHOISI(compte_nuls)(o, m, wd, wf, nuls, cellules);
}

uint64_t manquantes(const unsigned char* m, int n)
{
    uint64_t k = 0;
    for (int j = 0; m && j < n; j++) k += !m[j];
    return k;
}

void somme_termes(const Voisins& v, int jd, int jf, int c, bool p32, __int128& somme, int64_t& compte)
{
    CHOISI(somme_termes)(v, jd, jf, c, p32, somme, compte);
}

bool extremes_termes(const Voisins& v, int wd, int wf, int c, bool p32, int64_t& tmin, int64_t& tmax)
{
    return CHOISI(extremes_termes)(v, wd, wf, c, p32, tmin, tmax);
}

void cumule_colonnes(const Voisins& v, int n, int c, int64_t* somme, int64_t* compte, int wd, int wf, int64_t* tmin,
                     int64_t* tmax)
{
    CHOISI(cumule_colonnes)(v, n, c, somme, compte, wd, wf, tmin, tmax);
}

void deviations(const Ecarts& e, const unsigned char* m, int n, int c, bool p32, double* d)
{
    CHOISI(deviations)(e, m, n, c, p32, d);
}

void image_ecarts(const Ecarts& e, const unsigned char* m, int n, int c, bool p32, double* d, const Reglage& r,
                  unsigned char* out, float* val)
{
    CHOISI(image_ecarts)(e, m, n, c, p32, d, r, out, val);
}

void image_termes(const Voisins& v, int n, int jd, int jf, int c, bool p32, bool a_moyenne, int64_t moyenne,
                  const Reglage& r, unsigned char* out, float* val)
{
    CHOISI(image_termes)(v, n, jd, jf, c, p32, a_moyenne, moyenne, r, out, val);
}

void histo_deviations(const double* d, int wd, int wf, uint64_t* h)
{
    for (int j = wd; j <= wf; j++)
        if (d[j] >= 0.0) h[case_de(d[j])]++;
}

void histo_termes(const Voisins& v, int wd, int wf, int c, bool p32, int64_t moyenne, uint64_t* h, int copies,
                  int32_t* cases)
{
    CHOISI(histo_termes)(v, wd, wf, c, p32, moyenne, h, copies, cases);
}

void replie_histos(uint64_t* h, int copies)
{
    for (int s = 1; s < copies; s++)
        for (int b = 0; b < NB_CASES; b++) h[b] += h[(size_t)s * NB_CASES + b], h[(size_t)s * NB_CASES + b] = 0;
}

Reglage reglage_de(const Etirage& e, double echelle_z)
{
    Reglage r;
    r.lineaire = e.etirement != ETIRE_DEMI;
    r.vide = etirage_vide(e);
    r.dmin = e.dmax * 0.5;
    r.dif = e.dmax - r.dmin;
    r.scale = (double)e.norm;
    r.reference = e.reference;
    r.plafond = r.scale > 0.0 ? r.scale : 0.0;
    r.echelle_z = std::fabs(echelle_z);  // a negative z-scale flips the DEM: its deviations are not negative
    return r;
}

}  // namespace tavelkorn
