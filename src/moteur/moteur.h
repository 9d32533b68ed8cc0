// Tavelkorn's engine: terrain roughness from a digital elevation model, as
// a library. Installed as <tavelkorn/moteur.h>; CMake:
//   find_package(tavelkorn CONFIG REQUIRED)
//   target_link_libraries(app PRIVATE tavelkorn::engine)
//
// What it computes. Along every row of a DEM of nb_lig x nb_col whole
// elevations z[i][j], at every column j from 1 to nb_col - 2 whose cell and
// both neighbours are present:
//   term     t = 4 z[j] - z[j-1] - z[j+1] (classic) or 2 z[j] - z[j-1] - z[j+1]
//            (curvature), exact in 64 bits;
//   mean     m = (sum of the row's terms) / (their count), exact, truncated
//            toward zero;
//   deviation d = |t - m|; 0 at a present cell without a term; missing cells
//            stay missing.
// Along columns (direction columns) the same term is taken down each column
// (z[i-1][j], z[i][j], z[i+1][j]) against the column's mean term, rows 1 to
// nb_lig - 2; both takes at each cell the larger of its row and its column
// deviation (a cell with one of them takes that one).
// dmax is the largest deviation in the search window (rows 2 .. nb_lig - 3,
// columns 2 .. nb_col - 3); the image stretches d to bytes:
//   half     v = ((d - dmax/2) / (dmax/2)) x norm, 0 where negative, the byte
//            the low 8 bits of v truncated (256 gives 0);
//   full     v = d / dmax x norm, truncated, at most norm;
//   pP       v = d / q x norm, truncated, at most norm, q the P-th percentile
//            of the window's deviations (nearest rank, within 1/128).
// Missing cells give byte 0; Float32 deviations (reelles) are d / |echelle_z|,
// NaN at missing cells. The profile's stretched values saturate at norm as
// the bytes do under full and pP.
//
// Ownership and threads. Nothing here keeps state between calls: every
// computation lives in the Calcul it was given, and two computations share
// nothing, so they may run at once on different threads. The caller owns
// every buffer it passes in and every context; the engine never keeps a
// pointer past the call that received it, except a Calcul's source and sink
// during the pass that uses them. The engine never prints and never exits:
// a failure comes back as false with its text.
//
// A run: calcul_cree, calcul_premiere_passe (returns the Bilan), then
// calcul_seconde_passe with the norm (the dialogue asks it between the two),
// then calcul_libere. calcul_roughness does the three for an array in memory.
#ifndef TAVELKORN_MOTEUR_H
#define TAVELKORN_MOTEUR_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavelkorn {

enum Terme { TERME_CLASSIQUE, TERME_COURBURE };
// Along rows (the dialogue's), down columns, or the larger of the two.
enum Direction { DIRECTION_LIGNES, DIRECTION_COLONNES, DIRECTION_LES_DEUX };
// half, full, and the percentile (rank) stretch.
enum Etirement { ETIRE_DEMI, ETIRE_PLEIN, ETIRE_RANG };

// Steps a progress callback is told: the first pass, then the second (and,
// for a percentile down columns, the pass between them).
enum { PASSE_LECTURE = 1, PASSE_IMAGE = 2, PASSE_RANG = 3 };  // PASSE_RANG comes between the two

// Called before each round of rows and once at the end of each pass, from
// the thread that called the engine: fraction of that pass done (0 to 1),
// the pass, the caller's context. Returning false cancels: the computation
// stops before the next round, joins its threads and fails with "cancelled".
typedef bool (*Progres)(double fraction, int passe, void* contexte);

struct Options {
    Terme terme = TERME_CLASSIQUE;
    Direction direction = DIRECTION_LIGNES;
    Etirement etirement = ETIRE_DEMI;
    double rang = 100.0;      // P of ETIRE_RANG, in (0, 100]
    double echelle_z = 1.0;   // the elevations were multiplied by it: Float32 deviations are divided by |it|
    bool reelles = false;     // the second pass gives Float32 deviations (the bytes too)
    int fils = 1;             // threads, 1 to 256 (fewer when memory or rows are short)
    int ligne_profil = -1;    // the row whose deviations the first pass keeps (-1: none)
    uint64_t memoire = 0;     // bytes the round buffers may take (0: no limit)
    bool manquants = false;   // the sources may have missing cells (Source::manquants needs it)
    Progres progres = nullptr;
    void* contexte_progres = nullptr;
};

// Where elevations come from. lit_bloc fills rows premiere .. premiere +
// nombre - 1 into z (nb_col elevations a row, rows one after the other) and,
// when manquants, their presence into m (1 present, 0 missing; a missing
// cell's elevation must be 0). It returns false with the reason in erreur
// (written as the message the caller will show). A source that is not
// parallele is called from one thread at a time, rows in increasing order
// in the first pass; a parallele one from several threads at once.
// en_place, when not null, may instead give the rows where they already lie
// (row premiere, the next rows pas elevations further on), or null to be read
// by lit_bloc: the engine then computes from them without a copy. A source
// that has it and no missing cells must give every row that way.
struct Source {
    void* contexte = nullptr;
    bool parallele = false;
    bool manquants = false;
    bool (*lit_bloc)(void* contexte, int premiere, int nombre, int* z, unsigned char* m, std::string& erreur) = nullptr;
    const int* (*en_place)(void* contexte, int premiere, size_t& pas) = nullptr;
};

// Where the image goes, a block of rows at a time, in order (bottom-up when
// descendant). valeurs are nombre x nb_col bytes, or Float32 deviations when
// Options::reelles; presence is null when every cell of the block is there.
// ecrit_bloc returns false with the reason in erreur. Either:
// - memoire (and memoire_presence) name the caller's memory for the whole
//   image (nb_lig x nb_col bytes, or floats with reelles; presence 1/0): the
//   engine writes into it directly and ecrit_bloc may be null; or
// - tire, when not null, drives the pass itself: it pulls the rows it wants
//   with ligne(i, calcul) (null when the computation failed; the engine then
//   holds the reason) and returns false with its own reason on a failure.
struct Puits {
    void* contexte = nullptr;
    bool descendant = false;
    void* memoire = nullptr;
    unsigned char* memoire_presence = nullptr;
    bool (*ecrit_bloc)(void* contexte, int premiere, int nombre, const void* valeurs, const unsigned char* presence,
                       std::string& erreur) = nullptr;
    bool (*tire)(void* contexte, const unsigned char* (*ligne)(int i, void* calcul), void* calcul,
                 std::string& erreur) = nullptr;
};

// What the first pass found.
struct Bilan {
    int mind = 10000000, maxd = 0;  // range of the present elevations (from 10000000 and 0, as the dialogue shows it)
    double dmax = 0.0;              // largest deviation in the search window
    double reference = 0.0;         // what a linear stretch maps to norm: dmax, or the percentile
    uint64_t manquants = 0;         // missing cells
    bool termes_32 = false;         // every elevation within +-2^28: the 32-bit loops serve
    std::vector<double> profil;     // deviations of Options::ligne_profil (NaN: missing), when asked
    bool fractions = false;         // calcul_tableau only: a float elevation's fraction was rounded away at z-scale 1
};

// The stretch of the second pass, from the first pass and the norm.
struct Etirage {
    Etirement etirement = ETIRE_DEMI;
    int k = 2;                 // the term's shift: 2 classic, 1 curvature
    double dmin = 0, dif = 0;  // half: (d - dmin) / dif x scale
    double scale = 0;          // the norm, as a double
    double reference = 0;      // full, pP: d / reference x scale
    double echelle_z = 1.0;
    bool termes_32 = false;
};
Etirage etirage(const Options& o, const Bilan& b, int norm);
// Whether there is nothing to stretch by (dmax or the percentile is 0): the
// image and the profile are then all 0.
bool etirage_vide(const Etirage& e);
// One deviation stretched, before the byte conversion (the profile's value).
double valeur_etiree(const Etirage& e, double d);

// ---------------------------------------------------------------- a run

struct Calcul;  // one computation: its buffers, its threads, its failure

// A computation of a DEM of nb_lig x nb_col (both >= 1). Returns null with
// the reason in erreur when the buffers do not fit Options::memoire or the
// memory cannot be had ("rows of N elevations ..."), naming nom. Release
// with calcul_libere.
Calcul* calcul_cree(int nb_lig, int nb_col, const Options& o, const char* nom, std::string& erreur);
// The number of threads the computation runs (Options::fils, or fewer).
int calcul_fils(const Calcul* c);
// The first pass over source: fills bilan. False on a failure of the
// source or a cancel; calcul_erreur tells why.
bool calcul_premiere_passe(Calcul* c, const Source& source, Bilan& bilan);
// A percentile stretch down columns needs the deviations' histogram, which
// needs the column means the whole first pass gives: a pass between the
// two reads the DEM again (calcul_passe_rang sets bilan.reference) when
// calcul_rang_a_part says so.
bool calcul_rang_a_part(const Calcul* c);
bool calcul_passe_rang(Calcul* c, const Source& source, Bilan& bilan);
// The second pass over source (the same DEM, read again), into puits, with
// the stretch e. False on a failure of the source or of the sink, or a
// cancel; calcul_erreur tells why.
bool calcul_seconde_passe(Calcul* c, const Source& source, const Etirage& e, const Puits& puits);
// How dark the last second pass's image is under the half stretch: its
// bytes 0 among the search window's present cells, and those cells (both 0
// under the other stretches).
void calcul_octets_nuls(const Calcul* c, uint64_t& nuls, uint64_t& cellules);
// The reason of the last failure ("cancelled" for a cancel), and whether it
// was a cancel.
const std::string& calcul_erreur(const Calcul* c);
bool calcul_annule(const Calcul* c);
// Joins the threads and releases everything; accepts null.
void calcul_libere(Calcul* c);

// ---------------------------------------------------------------- arrays in memory

enum TypeElevation { ELEV_INT16, ELEV_UINT16, ELEV_INT32, ELEV_UINT32, ELEV_FLOAT32, ELEV_FLOAT64 };

// A 2-D array of elevations the caller owns, read in place: cell (i, j) at
// donnees + i x pas_ligne + j x pas_colonne bytes, in the other byte order
// when echange_octets. Missing cells: equal to nodata (when avec_nodata;
// compared as the array's type stores it), NaN in a float array, and cells
// whose manquants byte is not 0 (when manquants is not null: row i at
// manquants + i x pas_manquants, one byte a cell, numpy's mask convention).
// Elevations are multiplied by echelle_z and rounded half away from zero
// (integers at echelle_z 1 are taken as they are); one beyond the 32-bit
// range is a failure naming the value.
struct Tableau {
    const void* donnees = nullptr;
    TypeElevation type = ELEV_INT32;
    int nb_lig = 0, nb_col = 0;
    ptrdiff_t pas_ligne = 0, pas_colonne = 0;
    bool echange_octets = false;
    bool avec_nodata = false;
    double nodata = 0;
    const unsigned char* manquants = nullptr;
    ptrdiff_t pas_manquants = 0;
    double echelle_z = 1.0;
};

// Whether t can have missing cells (nodata, a float type, a mask).
bool tableau_manquants(const Tableau& t);
// Rows premiere .. premiere + nombre - 1 of t as the engine takes them: z
// (nb_col a row) and, when m is not null, presence. False with the reason in
// erreur for an elevation beyond the 32-bit range. fractions, when not null,
// becomes true when a float elevation at z-scale 1 had a fraction, rounded away.
bool tableau_lit(const Tableau& t, int premiere, int nombre, int* z, unsigned char* m, std::string& erreur,
                 bool* fractions = nullptr);
// A parallel source over t (which must outlive the computation): in place
// when t is native int32 rows without missing cells at z-scale 1.
Source source_tableau(const Tableau* t);
// One elevation of the program's own sources scaled and rounded as above:
// false with the message in erreur when beyond the 32-bit range.
bool elevation_a_l_echelle(double v, double echelle_z, int& z, std::string& erreur);

// The whole computation of t into image (nb_lig x nb_col bytes, or floats
// when o.reelles; row stride nb_col), with norm, in one call; presence (when
// not null) receives 1 where a cell is present. bilan receives what the first
// pass found. False with the reason in erreur (calcul_annule semantics via
// annule when not null).
bool calcul_tableau(const Tableau& t, const Options& o, int norm, void* image, unsigned char* presence, Bilan& bilan,
                    std::string& erreur, bool* annule = nullptr);

// ---------------------------------------------------------------- blocks

// For engines that split a DEM into blocks (Dask, a batch scheduler): any
// rectangle of rows and columns, computed separately, whose partial results
// combine by addition and maximum into exactly the bytes of a whole run.
//
// A block: rows ligne0 .. ligne0 + lignes - 1 and columns col0 .. col0 +
// colonnes - 1 of a grid of nb_lig x nb_col; z points at its first cell and
// rows are pas elevations apart. Where the grid has them, the block comes
// with one column of halo on each side: z[-1] (when col0 > 0) and
// z[colonnes] (when col0 + colonnes < nb_col) are the neighbouring cells.
// Down columns, the block comes with one row of halo above and below where
// the grid has them: z[-pas] (when ligne0 > 0) and z[lignes x pas] (when
// ligne0 + lignes < nb_lig); both needs both halos.
// presence (null: all present) follows the same layout, pas_presence apart.
struct Bloc {
    const int* z = nullptr;
    size_t pas = 0;
    const unsigned char* presence = nullptr;
    size_t pas_presence = 0;
    int ligne0 = 0, col0 = 0, lignes = 0, colonnes = 0;
    int nb_lig = 0, nb_col = 0;
};

// (1) The block's terms, added into the sums of its rows: for each block row
// r, the sum of its terms as haut[r] x 2^32 + bas[r] (bas in [0, 2^32) for
// one block; sums of such pairs over blocks stay exact in int64 for 2^31
// blocks) and their count in compte[r].
void bloc_sommes(const Bloc& b, Terme terme, int64_t* haut, int64_t* bas, int64_t* compte);
// (1b) The least and the largest term of each block row inside the search
// window (rows 2 .. nb_lig - 3, columns 2 .. nb_col - 3), taken with what
// tmin[r] and tmax[r] hold; a row without such a term leaves both as they
// are. Once the row's mean m is known, its largest deviation is
// max(tmax - m, m - tmin): dmax needs no second reading of the DEM.
void bloc_extremes(const Bloc& b, Terme terme, int64_t* tmin, int64_t* tmax);
// (1') Down columns: the block's terms added into the sums of its columns
// (c from 0 to colonnes - 1), as bloc_sommes does for rows.
void bloc_sommes_colonnes(const Bloc& b, Terme terme, int64_t* haut, int64_t* bas, int64_t* compte);
// The row means from the added sums: moyenne[r] = sum / count truncated
// toward zero, a_moyenne[r] 0 for a row without a term.
void moyennes(int n, const int64_t* haut, const int64_t* bas, const int64_t* compte, int64_t* moyenne,
              unsigned char* a_moyenne);
// (2) Given the means of the block's rows: the largest deviation in the
// search window into dmax (a maximum with what it holds), their histogram
// added into histo (NB_CASES counts, or null), and the Float32 deviations
// (d / echelle_z, NaN missing) into valeurs when not null (rows pas_valeurs
// floats apart).
void bloc_deviations(const Bloc& b, Terme terme, const int64_t* moyenne, const unsigned char* a_moyenne, double& dmax,
                     uint64_t* histo, float* valeurs, size_t pas_valeurs, double echelle_z);
// The same in any direction: the means of the block's rows (lignes,
// a_lignes) and of its columns (colonnes, a_colonnes: the block's columns
// from 0), those a direction does not use may be null.
struct Moyennes {
    const int64_t* lignes = nullptr;
    const unsigned char* a_lignes = nullptr;
    const int64_t* colonnes = nullptr;
    const unsigned char* a_colonnes = nullptr;
};
void bloc_deviations(const Bloc& b, Terme terme, Direction direction, const Moyennes& m, double& dmax, uint64_t* histo,
                     float* valeurs, size_t pas_valeurs, double echelle_z);
// The histogram's bins: 128 to each power of two (exact below 256).
const int NB_CASES = 1 + 64 * 128;
// The P-th percentile of the deviations counted in histo (NB_CASES counts);
// 0 when it holds none.
double percentile(const uint64_t* histo, double rang);
// (3) Given the means and the stretch: the block's bytes (rows pas_octets apart).
void bloc_octets(const Bloc& b, const Etirage& e, const int64_t* moyenne, const unsigned char* a_moyenne,
                 unsigned char* octets, size_t pas_octets);
void bloc_octets(const Bloc& b, const Etirage& e, Direction direction, const Moyennes& m, unsigned char* octets,
                 size_t pas_octets);

}  // namespace tavelkorn

#endif
