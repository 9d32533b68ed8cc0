// The row kernels, inside the engine. A row is n elevations z and their
// presence m (null when every cell is there); a segment of a row is given
// with the columns jd .. jf that have a term (their neighbours z[j-1] and
// z[j+1] exist) and wd .. wf of the search window. The stretch comes in an
// Etirage; nothing else is read.
#ifndef NOYAUX_H
#define NOYAUX_H

#include "moteur.h"

#include <cstdint>

namespace tavelkorn {

// What the first pass finds, row after row (one for each thread).
struct Cumul {
    int mind, maxd;
    double dmax;
    uint64_t manquants;
    uint64_t* histo;       // counts of the window's deviations by bin (SOUS_HISTOS x NB_CASES), or null
    int32_t* cases_ligne;  // a row's bins, with histo
};
const int SOUS_HISTOS = 4;
uint64_t bas_de_case(int b);

// The columns of a segment of colonnes cells at col0 in a row of nb_col
// that have a term, and those in the search window (empty: debut > fin).
struct Colonnes {
    int jd, jf, wd, wf;
};
Colonnes colonnes_de(int col0, int colonnes, int nb_col);

// The first pass over one whole row: its elevation range, its largest
// deviation inside the window and their histogram (when fenetre), and its
// missing cells, folded into b.
void passe_a_ligne(const int* z, const unsigned char* m, int n, int k, bool fenetre, Cumul& b);
// The second pass over one whole row: its bytes into out, and its Float32
// deviations in elevation units into v when v is not null (d: a row of
// scratch).
void passe_b_ligne(const int* z, const unsigned char* m, int n, const Etirage& e, unsigned char* out, float* v,
                   double* d);
// The deviations of a whole row: |term - mean|, 0 at a present cell without
// a term, NaN at a missing cell.
void deviations_de_ligne(const int* z, const unsigned char* m, int n, int k, double* d);

// The same over a segment whose row mean comes from outside (blocks): the
// exact sum and count of its terms; the window maximum and histogram; the
// deviations (NaN missing); the bytes.
void somme_segment(const int* z, const unsigned char* m, const Colonnes& c, int k, __int128& somme, int64_t& compte);
double maximum_segment(const int* z, const unsigned char* m, const Colonnes& c, int k, int64_t moyenne,
                       uint64_t* histo, int32_t* cases);
bool extremes_segment(const int* z, const unsigned char* m, const Colonnes& c, int k, int64_t& tmin, int64_t& tmax);
void deviations_segment(const int* z, const unsigned char* m, int n, const Colonnes& c, int k, bool a_moyenne,
                        int64_t moyenne, double* d);
void octets_segment(const int* z, const unsigned char* m, int n, const Colonnes& c, const Etirage& e, bool a_moyenne,
                    int64_t moyenne, unsigned char* out);

// Down columns: row i and the rows above and below it (null at the grid's
// first and last rows), with their presence (all three null when no cell
// can be missing).
struct Rangees {
    const int *zh = nullptr, *z = nullptr, *zb = nullptr;
    const unsigned char *mh = nullptr, *m = nullptr, *mb = nullptr;
};
// The first pass down columns over row i: its column terms added into
// somme and compte (per column), and the window's extremes into tmin, tmax
// when fenetre.
void colonnes_passe_a(const Rangees& r, int n, int k, bool fenetre, int64_t* somme, int64_t* compte, int64_t* tmin,
                      int64_t* tmax);
// A row's deviations in a direction into d (-1: present without a term;
// NaN: missing), given the column means; its bytes into out and its Float32
// values into v when they are not null.
// moy_col_d: the same means as doubles, for the 32-bit loops (may be null).
void passe_direction(const Rangees& r, int n, const Etirage& e, Direction dir, const int64_t* moy_col,
                     const double* moy_col_d, const unsigned char* a_col, double* d, unsigned char* out, float* v);
// The bytes (and Float32 values, when v is not null) of such deviations.
void octets_des_deviations(const double* d, int n, const Etirage& e, unsigned char* out, float* v);
// The window's deviations d[wd .. wf] (those with a term) counted into h.
void histo_des_deviations(const double* d, int wd, int wf, uint64_t* h);

// The presence of row r of a block whose presence starts at m (rows n
// apart), or null when all its cells are there.
const unsigned char* presence_ligne(const unsigned char* m, int r, int n);

// Which kernels run: the AVX2 ones where the processor has it. Tests set
// it to compare both builds on one machine.
void choisit_noyaux(bool avx2);
bool noyaux_avx2();

}  // namespace tavelkorn

#endif
