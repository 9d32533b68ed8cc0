// Tavelkorn's block primitives, for engines that split a DEM into blocks
// (Dask, a batch scheduler): any rectangle of rows and columns, computed on
// its own, gives partial results that combine by addition and maximum into
// exactly the images of a whole run, at every scale and in every
// direction. Installed as <tavelkorn/blocs.h>, with the engine.
//
// The way through a DEM split into blocks:
//   (1) every block: bloc_partiels, its lines' sums, counts and window
//       extremes; partiel_ajoute combines those of one line;
//   then moyenne_de gives each line's mean and largest deviation, whose
//       maximum over the lines is dmax;
//   (2) for a percentile, every block: bloc_histogramme given the means;
//       the counts add, and percentile reads the reference;
//   (3) every block: bloc_image given the means and the stretches.
// Each step reads the block again; a scheduler that keeps a block between
// the steps reads it once.
#ifndef TAVELKORN_BLOCS_H
#define TAVELKORN_BLOCS_H

#include "moteur.h"

#include <cstddef>
#include <cstdint>

namespace tavelkorn {

// A block: rows ligne0 .. ligne0 + lignes - 1 and columns col0 .. col0 +
// colonnes - 1 of a grid of nb_lig x nb_col; z points at its first cell and
// rows are pas elevations apart. The block comes with the cells around it
// that the grid has, up to the halo halo_de gives: halo columns on each
// side of every row, and halo rows above and below. presence (null: every
// cell present) follows the same layout, pas_presence apart; a missing
// cell's elevation is 0.
struct Bloc {
    const int* z = nullptr;
    size_t pas = 0;
    const unsigned char* presence = nullptr;
    size_t pas_presence = 0;
    int ligne0 = 0, col0 = 0, lignes = 0, colonnes = 0;
    int nb_lig = 0, nb_col = 0;
};

// The halo a block of a grid of nb_lig x nb_col needs under o: rows above
// and below (0 along rows), columns on each side.
void halo_de(const Options& o, int nb_lig, int nb_col, int& lignes, int& colonnes);

// What a block gives of one line (a row along rows, a column down columns)
// at one scale: the sum of its terms, haut x 2^32 + bas, and their count;
// the least and the largest of its terms inside the search window. Five
// int64 values, in this order, with no padding.
struct Partiel {
    int64_t haut = 0, bas = 0, compte = 0;
    int64_t tmin = INT64_MAX, tmax = INT64_MIN;
};
// a gets b: the partials of two blocks of one line, in any order.
void partiel_ajoute(Partiel& a, const Partiel& b);

// (1) The block's partials, added into what the arrays hold: lignes[s x
// b.lignes + r] for block row r at scale s (along rows, and both ways),
// colonnes[s x b.colonnes + c] for block column c (down columns, and both
// ways); the array a direction does not use may be null.
void bloc_partiels(const Bloc& b, const Options& o, Partiel* lignes, Partiel* colonnes);

// A line's mean term and its window's largest deviation, from its combined
// partials: three int64 values, in this order, with no padding.
struct Moyenne {
    int64_t valeur = 0;     // the mean, truncated toward zero
    int64_t existe = 0;     // 1 when the line has a term
    int64_t ecart_max = 0;  // max(tmax - mean, mean - tmin): 0 without a window term
};
Moyenne moyenne_de(const Partiel& p);

// The histogram's bins: 128 to each power of two (exact below 256).
const int NB_CASES = 1 + 64 * 128;
// (2) The histograms of the block's window deviations, added into histos
// (NB_CASES counts a scale, one scale after the other), given the means of
// the block's lines laid out as bloc_partiels lays out the partials.
void bloc_histogramme(const Bloc& b, const Options& o, const Moyenne* lignes, const Moyenne* colonnes,
                      uint64_t* histos);
// The P-th percentile of the deviations counted in histo (NB_CASES counts)
// by nearest rank: the smallest deviation such that at least P% of them
// are at most it; exact below 256, otherwise the bottom of its bin, within
// 1/128 of the true value; 0 when histo holds none.
double percentile(const uint64_t* histo, double rang);

// (3) The block's image given the means and each scale's stretch
// (etirages[s]; not read with o.reelles): bytes, or with o.reelles the
// Float32 deviations d / |o.echelle_z| (NaN missing), rows pas values
// apart, each scale pas_echelle values after the one before.
void bloc_image(const Bloc& b, const Options& o, const Moyenne* lignes, const Moyenne* colonnes,
                const Etirage* etirages, void* valeurs, size_t pas, size_t pas_echelle);

}  // namespace tavelkorn

#endif
