// The loops over one line of cells, inside the engine: sums, extremes,
// deviations, histograms and images of a row, at one scale, along the row
// or down its columns. The whole-grid passes and the block primitives are
// both made of them. Each is built for any processor and for AVX2, and
// takes the 32-bit loops (p32) where every elevation involved lies within
// +-2^28; both give the same values.
#ifndef NOYAUX_H
#define NOYAUX_H

#include "blocs.h"
#include "moteur.h"
#include "termes.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace tavelkorn {

// ---------------------------------------------------------------- where the terms are

// The cells of a segment of a row (colonnes cells from column col0 of a
// row of nb_col) that have a term at lag k along the row (jd .. jf), and
// those inside the scale's search window (wd .. wf); empty when debut >
// fin.
struct Colonnes {
    int jd, jf, wd, wf;
};
inline Colonnes colonnes_de(int col0, int colonnes, int nb_col, int k)
{
    return {std::max(0, k - col0), std::min(colonnes - 1, nb_col - 1 - k - col0), std::max(0, k + 1 - col0),
            std::min(colonnes - 1, nb_col - 2 - k - col0)};
}
// Row i of a grid of n rows down columns at lag k: whether its cells have
// column terms, and whether it lies in the scale's search window.
inline bool a_termes_colonnes(int i, int n, int k) { return i >= k && i <= n - 1 - k; }
inline bool dans_fenetre(int i, int n, int k) { return i >= k + 1 && i <= n - 2 - k; }
// A lag beyond half the grid's size has no term in either direction, as any
// larger one has none: computing with it keeps every index (k + 1, n - 2 -
// k) within int, whatever the grid's size.
inline int echelle_utile(int k, int nb_lig, int nb_col) { return std::min(k, std::max(nb_lig, nb_col) / 2 + 1); }

// Along a row at lag k: the cells and their neighbours.
inline Voisins voisins_ligne(const int* z, const unsigned char* m, int k) { return {z, -k, k, m, -k, k}; }
// Down columns at lag k: the cells and those k rows above and below, rows
// pas (presence pas_m) apart.
inline Voisins voisins_colonne(const int* z, size_t pas, const unsigned char* m, size_t pas_m, int k)
{
    return {z, -(ptrdiff_t)(k * pas), (ptrdiff_t)(k * pas), m, -(ptrdiff_t)(k * pas_m), (ptrdiff_t)(k * pas_m)};
}

// Whether the cells debut .. fin of a row lie within +-2^28 (the 32-bit
// loops serve), and the range of its present cells (m null: all).
bool courts(const int* z, int debut, int fin);
void etendue(const int* z, const unsigned char* m, int n, int& mind, int& maxd);
// The missing cells among n (m null: none).
uint64_t manquantes(const unsigned char* m, int n);
// The bytes 0 among the present cells wd .. wf of a row of bytes o (m null:
// all present), and those cells, added into nuls and cellules.
void compte_nuls(const unsigned char* o, const unsigned char* m, int wd, int wf, uint64_t& nuls, uint64_t& cellules);

// ---------------------------------------------------------------- the loops

// Along a row: the exact sum and the count of the terms of columns jd ..
// jf, added into somme and compte; the least and largest term of columns
// wd .. wf (false when there is none).
void somme_termes(const Voisins& v, int jd, int jf, int c, bool p32, __int128& somme, int64_t& compte);
bool extremes_termes(const Voisins& v, int wd, int wf, int c, bool p32, int64_t& tmin, int64_t& tmax);

// Down columns: the column terms of cells 0 .. n - 1 of a row added into
// somme[j] (64-bit pieces, the caller folds them every TERMES_PAR_PIECE
// rows) and compte[j], and the extremes of those of cells wd .. wf into
// tmin[j], tmax[j] (none when wd > wf).
void cumule_colonnes(const Voisins& v, int n, int c, int64_t* somme, int64_t* compte, int wd, int wf, int64_t* tmin,
                     int64_t* tmax);

// The column means a row's deviations down columns are taken against.
struct MoyennesColonnes {
    const int64_t* valeur = nullptr;
    const double* valeur_d = nullptr;  // the same as doubles, for the 32-bit loops
    const unsigned char* existe = nullptr;
};

// The deviations of a row of n cells into d: |t - mean| of its row term
// (ligne not null: columns jd .. jf against the row's mean, when
// a_moyenne), of its column term (colonne not null: against each column's
// mean), or the larger of the two; -1 at a present cell without a term, NaN
// at a missing cell (m: the row's presence, null when all present).
struct Ecarts {
    const Voisins* ligne = nullptr;
    int jd = 0, jf = -1;
    bool a_moyenne = false;
    int64_t moyenne = 0;
    const Voisins* colonne = nullptr;
    MoyennesColonnes moyennes;
};
void deviations(const Ecarts& e, const unsigned char* m, int n, int c, bool p32, double* d);

// The image of a row: bytes into out and Float32 values into val (either
// may be null), from its deviations as e gives them (d: a row of scratch),
// or straight from the row's terms along the row (d's rule: columns jd ..
// jf against the mean).
void image_ecarts(const Ecarts& e, const unsigned char* m, int n, int c, bool p32, double* d, const Reglage& r,
                  unsigned char* out, float* val);
void image_termes(const Voisins& v, int n, int jd, int jf, int c, bool p32, bool a_moyenne, int64_t moyenne,
                  const Reglage& r, unsigned char* out, float* val);

// The histogram of the deviations of columns wd .. wf that have a term,
// added into h: from d, or straight from the row's terms against the mean.
// Along a row without missing cells, copies (1 or SOUS_HISTOS) histograms of
// NB_CASES one after the other take the counts in turn, so that runs of
// one bin do not wait on each other; cases holds wf - wd + 1 bins.
const int SOUS_HISTOS = 4;
void histo_deviations(const double* d, int wd, int wf, uint64_t* h);
void histo_termes(const Voisins& v, int wd, int wf, int c, bool p32, int64_t moyenne, uint64_t* h, int copies,
                  int32_t* cases);
// The counts of copies histograms folded into the first.
void replie_histos(uint64_t* h, int copies);

// The kernels' builds: the AVX2 one where the processor has it. Tests set
// it to compare both builds on one machine.
void choisit_noyaux(bool avx2);
bool noyaux_avx2();

// The stretch of a scale as the loops apply it.
Reglage reglage_de(const Etirage& e, double echelle_z);

}  // namespace tavelkorn

#endif
