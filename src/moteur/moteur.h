// Tavelkorn's engine: terrain roughness from a digital elevation model, as
// a library. Installed as <tavelkorn/moteur.h> (the block primitives, for
// engines that split a DEM, in <tavelkorn/blocs.h>); CMake:
//   find_package(tavelkorn CONFIG REQUIRED)
//   target_link_libraries(app PRIVATE tavelkorn::engine)
//
// What it computes. For a DEM of nb_lig x nb_col whole elevations z[i][j]
// and a scale k >= 1 (a lag in cells), along every row, at every column j
// from k to nb_col - 1 - k whose cell and both cells at j - k and j + k are
// present:
//   term      t = c z[j] - z[j-k] - z[j+k], c = 4 (classic) or 2
//             (curvature), exact in 64 bits;
//   mean      m = (sum of the row's terms) / (their count), exact, truncated
//             toward zero;
//   deviation d = |t - m|; 0 at a present cell without a term; missing
//             cells stay missing.
// Down columns (DIRECTION_COLONNES) the same term is taken down each column
// (z[i-k][j], z[i][j], z[i+k][j]) against the column's mean term; both
// (DIRECTION_LES_DEUX) takes at each cell the larger of its row and its
// column deviation (a cell with one of them takes that one).
// dmax is the largest deviation in the scale's search window (rows and
// columns k + 1 .. n - 2 - k; at k = 1 the grid less a border two cells
// wide), and the image stretches d to bytes:
//   half      v = ((d - dmax/2) / (dmax/2)) x norm, 0 where negative, the
//             byte the low 8 bits of v truncated (256 gives 0);
//   full      v = d / dmax x norm, truncated, at most norm;
//   pP        v = d / q x norm, truncated, at most norm, q the P-th
//             percentile of the window's deviations (nearest rank, within
//             1/128).
// Several scales give one image each, each stretched by its own dmax or
// percentile. Missing cells give byte 0; Float32 deviations (reelles) are
// d / |echelle_z|, NaN at missing cells.
//
// Ownership and threads. Nothing here keeps state between calls: every
// computation lives in the Calcul it was given, and two computations share
// nothing, so they may run at once on different threads. The caller owns
// every buffer and every context it passes; the engine keeps no pointer
// past the call that received it. The engine never prints and never exits:
// a failure comes back as false, with an Erreur.
//
// A run: calcul_cree (from the source: its size and whether cells may be
// missing), calcul_execute (every pass the options need), calcul_libere.
// calcul_tableau does the three for an array in memory.
#ifndef TAVELKORN_MOTEUR_H
#define TAVELKORN_MOTEUR_H

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavelkorn {

enum Terme { TERME_CLASSIQUE, TERME_COURBURE };
// Along rows, down columns, or the larger of the two.
enum Direction { DIRECTION_LIGNES, DIRECTION_COLONNES, DIRECTION_LES_DEUX };
// half, full, and the percentile (rank) stretch.
enum Etirement { ETIRE_DEMI, ETIRE_PLEIN, ETIRE_RANG };
// A stretch as it is written: "half", "full", or "pP" with P in (0, 100]
// ("p99", "p99.5"), which sets rang; false for anything else.
bool etirement_de(const std::string& texte, Etirement& e, double& rang);

// ---------------------------------------------------------------- errors

// What went wrong, for a caller that acts on it (a binding chooses its
// exception by it); the text says it in words, naming values, never how a
// front end spells its options.
enum Code {
    CODE_OK = 0,
    CODE_ARGUMENT,  // an option, a size or a source out of range (the text names it)
    CODE_MEMOIRE,   // memory that cannot be had, or a budget too small (the text gives the sizes)
    CODE_PLAGE,     // an elevation times the z-scale beyond the 32-bit range; the text reads
                    // "elevation V times the z-scale F is R, beyond the 32-bit range"
    CODE_SOURCE,    // the source could not give its rows (its own words)
    CODE_PUITS,     // the sink could not take the image (its own words)
    CODE_ANNULE,    // the progress callback asked to stop; the text is "cancelled"
};
struct Erreur {
    Code code = CODE_OK;
    std::string texte;
};
// The code in a few words ("memory", "cancelled" ...).
const char* texte_du_code(Code code);

// ---------------------------------------------------------------- a run

// At most this many scales in one computation.
const int ECHELLES_MAX = 64;

// Called before each round of rows and once at the end of each pass, from
// the thread that called the engine: the fraction of this pass done (0 to
// 1), the pass (1 .. passes, in running order: the reading, for a
// percentile down columns the ranking, then the image), the number of
// passes, the caller's context. Returning false cancels: the computation
// stops before the next round, joins its threads and fails with
// CODE_ANNULE.
typedef bool (*Progres)(double fraction, int passe, int passes, void* contexte);

struct Options {
    Terme terme = TERME_CLASSIQUE;
    Direction direction = DIRECTION_LIGNES;
    Etirement etirement = ETIRE_DEMI;
    double rang = 100.0;              // P of ETIRE_RANG, in (0, 100]
    std::vector<int> echelles = {1};  // the scales, ascending and distinct, 1 .. INT_MAX, at most ECHELLES_MAX
    int norm = 255;                   // what the reference maps to; above 255 means 255
    double echelle_z = 1.0;           // the elevations were multiplied by it: Float32 deviations are divided by |it|
    bool reelles = false;             // the image is Float32 deviations instead of bytes
    int fils = 1;                     // threads, 1 to 256 (fewer when memory or rows are short)
    int ligne_profil = -1;            // the row whose deviations the Bilan keeps (-1: none)
    uint64_t memoire = 0;             // bytes the computation's buffers may take (0: no limit)
    Progres progres = nullptr;
    void* contexte_progres = nullptr;
};

// Where elevations come from: a DEM of nb_lig x nb_col (both >= 1).
// lit_bloc fills rows premiere .. premiere + nombre - 1 into z (nb_col
// elevations a row, rows one after the other) and, when manquants, their
// presence into m (1 present, 0 missing; a missing cell's elevation must be
// 0). It returns false with the reason in erreur (the code left CODE_OK
// becomes CODE_SOURCE; a source may say CODE_PLAGE). A source that is not
// parallele is called from one thread at a time, rows in increasing order
// within a pass; a parallele one from several threads at once.
// en_place, when not null, may instead give the rows where they already lie
// (row premiere, the next rows pas elevations further on), or null to be read
// by lit_bloc: the engine then computes from them without a copy. A source
// that has it and no missing cells must give every row that way.
struct Source {
    void* contexte = nullptr;
    int nb_lig = 0, nb_col = 0;
    bool manquants = false;
    bool parallele = false;
    bool (*lit_bloc)(void* contexte, int premiere, int nombre, int* z, unsigned char* m, Erreur& erreur) = nullptr;
    const int* (*en_place)(void* contexte, int premiere, size_t& pas) = nullptr;
};

// What the computation found, for each scale.
struct BilanEchelle {
    int echelle = 1;
    double dmax = 0.0;             // the largest deviation in the scale's search window
    double reference = 0.0;        // what a linear stretch maps to the norm: dmax, or the percentile
    std::vector<double> profil;    // deviations of Options::ligne_profil (NaN: missing), when asked
    uint64_t nuls = 0, fenetre = 0;  // once the image is made: its bytes 0 among the window's present cells,
                                     // and those cells (both 0 but under the half stretch)
};
struct Bilan {
    int mind = INT_MAX, maxd = INT_MIN;  // range of the present elevations (INT_MAX, INT_MIN: none)
    uint64_t manquants = 0;              // missing cells
    Etirement etirement = ETIRE_DEMI;    // the options' stretch, which each scale's applies
    std::vector<BilanEchelle> echelles;  // in the options' order
    bool fractions = false;              // calcul_tableau only: a float elevation's fraction was rounded away at z-scale 1
};

// The stretch of one scale: how a deviation becomes a byte.
struct Etirage {
    Etirement etirement = ETIRE_DEMI;
    double dmax = 0.0;       // half: dmax / 2 gives 0, dmax gives norm
    double reference = 0.0;  // full, pP: reference gives norm
    int norm = 255;          // at most 255
};
// The norm a stretch takes: above 255 means 255 (a byte's largest value).
int norme_de(int norm);
// Scale s's stretch with norm (norme_de's).
Etirage etirage_de(const Bilan& b, int s, int norm);
// Whether there is nothing to stretch by (dmax, or the reference, is 0):
// the image and the profile are then all 0.
bool etirage_vide(const Etirage& e);
// One deviation stretched, before the byte conversion (the profile's
// value): saturated at norm under full and pP, as the bytes are.
double valeur_etiree(const Etirage& e, double d);

// Where the image goes: a block of rows at a time, in order (from the last
// row up when descendant), one image a scale. Either
// - memoire (and memoire_presence) name the caller's memory for the whole
//   image: echelles planes of nb_lig x nb_col bytes (floats with reelles),
//   one after the other, and nb_lig x nb_col presence bytes (1/0); or
// - ecrit_bloc takes each block: valeurs holds nombre x nb_col values of the
//   first scale, the next scale's pas_echelle values further on; presence
//   is null when every cell of the block is there. It returns false with
//   the reason in erreur.
// avant_image, when not null, is called once the DEM has been read (and
// ranked) and before the first block, with what the computation found: the
// sink may set the norm (the dialogue asks it here) and get ready (a file
// created now that the missing cells are counted; the Puits is read again
// after it, so it may fill the other fields); false stops the run with the
// reason in erreur. A Puits with neither memoire nor ecrit_bloc takes no
// image: the computation ends after avant_image.
struct Puits {
    void* contexte = nullptr;
    bool (*avant_image)(void* contexte, const Bilan& bilan, int& norm, std::string& erreur) = nullptr;
    bool descendant = false;
    void* memoire = nullptr;
    unsigned char* memoire_presence = nullptr;
    bool (*ecrit_bloc)(void* contexte, int premiere, int nombre, const void* valeurs, size_t pas_echelle,
                       const unsigned char* presence, std::string& erreur) = nullptr;
};

struct Calcul;  // one computation: its buffers, its threads, its failure

// A computation of o over a DEM like source (its size, and whether cells
// may be missing; the source itself is not read nor kept). Null with the
// reason in erreur for options out of range (CODE_ARGUMENT: no scale, a
// scale below 1, not ascending, more than ECHELLES_MAX; a percentile
// outside (0, 100]; a z-scale of 0 or not finite; a size below 1) or memory
// that does not fit Options::memoire or cannot be had (CODE_MEMOIRE, naming
// nom and the sizes). Release it with calcul_libere.
Calcul* calcul_cree(const Source& source, const Options& o, const char* nom, Erreur& erreur);
// Every pass the options need over source: the reading (twice for a
// percentile down columns or both ways: the column means come first), then
// puits's avant_image, then the image into puits. relue, when not null, is
// read instead of source after the first pass (a DEM kept as it was
// decoded); it must be a source like the first. bilan receives what was
// found. False with erreur on a failure of the source or of the sink, a
// cancel, or a source unlike the one the computation was made for; a
// computation that failed fails again at once, with the same erreur.
bool calcul_execute(Calcul* c, const Source& source, const Source* relue, const Puits& puits, Bilan& bilan,
                    Erreur& erreur);
// Joins the threads and releases everything; accepts null.
void calcul_libere(Calcul* c);
// The threads a computation takes when its caller does not say:
// TAVELKORN_THREADS when it holds a number from 1 (256 at most), else one
// per core.
int fils_par_defaut();

// ---------------------------------------------------------------- arrays in memory

enum TypeElevation { ELEV_INT16, ELEV_UINT16, ELEV_INT32, ELEV_UINT32, ELEV_FLOAT32, ELEV_FLOAT64 };

// A 2-D array of elevations the caller owns, read in place: cell (i, j) at
// donnees + i x pas_ligne + j x pas_colonne bytes, in the other byte order
// when echange_octets. Missing cells: equal to nodata (when avec_nodata;
// compared as the array's type stores it; a value the type cannot hold
// marks nothing), NaN in a float array, and cells whose manquants byte is
// not 0 (when manquants is not null: row i at manquants + i x
// pas_manquants, one byte a cell, numpy's mask convention). Elevations are
// multiplied by echelle_z and rounded half away from zero (integers at
// echelle_z 1 are taken as they are).
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
// (nb_col a row) and, when m is not null, presence. False with CODE_PLAGE
// for an elevation beyond the 32-bit range once scaled. fractions, when not
// null, becomes true when a float elevation at z-scale 1 had a fraction,
// rounded away.
bool tableau_lit(const Tableau& t, int premiere, int nombre, int* z, unsigned char* m, Erreur& erreur,
                 bool* fractions = nullptr);
// A parallel source over t (which must outlive the computation): in place
// when t is native int32 rows without missing cells at z-scale 1.
Source source_tableau(const Tableau* t);
// One elevation scaled and rounded as above: false with CODE_PLAGE when
// beyond the 32-bit range.
bool elevation_a_l_echelle(double v, double echelle_z, int& z, Erreur& erreur);

// The whole computation of t into image (one plane of nb_lig x nb_col a
// scale: bytes, or floats when o.reelles; rows nb_col apart), in one call;
// presence (when not null) receives 1 where a cell is present. bilan
// receives what was found (and whether fractions were rounded away).
bool calcul_tableau(const Tableau& t, const Options& o, void* image, unsigned char* presence, Bilan& bilan,
                    Erreur& erreur);

}  // namespace tavelkorn

#endif
