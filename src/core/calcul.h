// The one computation: a DEM source hands rows to two passes. The first
// finds the elevation range, the window maximum dmax, the deviations of the
// profile row and the missing cells; the second computes the image, a round
// of blocks at a time on the threads, while the sink writes the round
// before.
#ifndef CALCUL_H
#define CALCUL_H

#include <cstdint>

// A DEM source: rows premiere to premiere + nombre - 1 into z (nb_col
// elevations a row) and, for a source with missing cells, their presence
// (1 present, 0 missing). fin_de_passe runs after each pass (1, 2): it ends
// the run when the input is no longer as it was opened, and may hand the
// next pass to another source.
struct Source {
    const char* nom;
    bool parallele;  // threads may read their blocks side by side
    bool manquants;  // cells may be missing
    void (*lit_bloc)(int premiere, int nombre, int* z, unsigned char* presence);
    void (*fin_de_passe)(int passe);
};
extern const Source* source;

// The stretches: half (dmax / 2 gives 0, dmax gives norm, bytes wrap),
// full (d / dmax x norm) and rank (d / the P-th percentile x norm); the two
// linear ones saturate at norm.
enum Etirement { ETIRE_DEMI, ETIRE_PLEIN, ETIRE_RANG };

// What the computation is asked, set by the run before the passes.
extern bool terme_courbure;   // 2 z[j] - z[j-1] - z[j+1] instead of 4 z[j] - ...
extern Etirement etirement;
extern double rang;           // P of the rank stretch, in (0, 100]
extern int ligne_profil;      // the row of the profile
extern double echelle_z;      // elevations were multiplied by it
extern bool valeurs_reelles;  // Float32 deviations are computed too
extern bool silencieux;       // no progress line
extern bool progres_gdal;     // progress as GDAL's tools print it, terminal or not
extern int nb_fils;           // threads
// What the first pass found.
extern uint64_t nb_manquants;
extern double reference;      // what maps to norm in a linear stretch: dmax or the percentile
extern bool termes_32;        // every elevation within +-2^28: terms fit in 32 bits
extern double* dev_profil;    // deviations of the profile row (NaN: missing)

// Where the first pass of a source that decodes (GDAL's) hands the rows it
// read, in order, to be kept for the second (null: nothing is kept).
extern void (*garde_premiere_passe)(int premiere, int nombre, const int* z, const unsigned char* presence);

// The buffers of a round for up to fils threads: refused, naming nom, when
// they cannot fit in the memory available (the threads are fewer when that
// lets them fit). Allocated once; later calls change nothing.
void alloue_blocs(const char* nom, int fils);
// Releases them, for a program that runs several times (the fuzz target).
void libere_blocs();
// The first pass; annonce (when not null) runs as it starts.
void lecture(int& mind, int& maxd, void (*annonce)() = nullptr);
// The stretch of the second pass: dmax / 2 gives 0 and dmax gives norm.
void prepare_etirement(int norm);

// The second pass, pulled by the sink row by row in its direction
// (descendant: bottom-up) or a block at a time.
extern bool descendant;
const unsigned char* ligne_image(int i, void* contexte);
// The Float32 values and the presence of the block holding row i (after
// ligne_image(i)): its rows i to i + reste_du_bloc(i) - 1.
const float* valeurs_image(int i);
const unsigned char* presence_image(int i);
int reste_du_bloc(int i);
// The whole image a block at a time, in row order: ecrit(premiere, nombre).
void pour_chaque_bloc(void (*ecrit)(int premiere, int nombre));

#endif
