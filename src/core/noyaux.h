// The row kernels. A row is n elevations z and their presence m (null when
// every cell is there). They read the term, the stretch (dmin, dif, scale,
// reference) and the z-scale from the run's state.
#ifndef NOYAUX_H
#define NOYAUX_H

#include <cstdint>

// What the first pass finds, row after row (one for each thread).
struct Bilan {
    int mind, maxd;
    double dmax;
    uint64_t manquants;
    uint64_t* histo;       // counts of the window's deviations by bin (SOUS_HISTOS x NB_CASES), or null
    int32_t* cases_ligne;  // a row's bins (nb_col), with histo
};
// Histogram bins: 128 to each power of two (each spans less than 1/128 of
// its values, and one value below 256); the smallest deviation of bin b.
const int NB_CASES = 1 + 64 * 128;
const int SOUS_HISTOS = 4;
uint64_t bas_de_case(int b);

// The first pass over one row: its elevation range, its largest deviation
// inside the window and their histogram (when fenetre), and its missing
// cells, folded into b.
void passe_a_ligne(const int* z, const unsigned char* m, int n, bool fenetre, Bilan& b);
// The second pass over one row: its bytes into out, and its Float32
// deviations in elevation units into v when v is not null (d: a row of
// scratch).
void passe_b_ligne(const int* z, const unsigned char* m, int n, unsigned char* out, float* v, double* d);
// The deviations of a row: |term - mean|, 0 at a present cell without a
// term, NaN at a missing cell.
void deviations_de_ligne(const int* z, const unsigned char* m, int n, double* d);
// Whether the stretch has nothing to stretch by (dmax or the percentile is
// 0): the image and the profile are then all 0.
bool etirement_vide();
// The stretch of one deviation, before the byte conversion.
double etire_valeur(double x);
// The presence of row r of a block whose presence starts at m, or null when
// all its cells are there.
const unsigned char* presence_ligne(const unsigned char* m, int r);

#endif
