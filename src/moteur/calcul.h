// One computation, inside the engine: its options, its buffers, its team
// and its failure. Every pass reads and writes only the Calcul it is given.
#ifndef CALCUL_H
#define CALCUL_H

#include "equipe.h"
#include "moteur.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace tavelkorn {

// The rows of one round: a block of about 1 MiB of elevations for each
// thread, read and computed by it. Each round has its buffers (elevations,
// each thread's block page-aligned; presence with missing cells; image
// bytes; Float32 deviations) and what it shows of them: the rows of each
// thread (in the buffer, or where a source keeps them) and where the image
// goes (the buffer, or the sink's memory).
struct Tour {
    int* tampon = nullptr;
    unsigned char* presence = nullptr;         // each thread's block, laid out as the elevations
    unsigned char* presence_sortie = nullptr;  // the round's presence in row order, for the sink (down columns)
    unsigned char* tampon_octets = nullptr;
    float* tampon_valeurs = nullptr;
    std::vector<const int*> z;  // the first row of each thread's block
    std::vector<size_t> pas;    // and the elevations from one of its rows to the next
    std::vector<const unsigned char*> m;  // the presence of each thread's first row (null: none missing)
    unsigned char* octets = nullptr;
    float* valeurs = nullptr;
    int debut = 0, fin = 0;  // its rows; empty when no round is under way
};

struct Calcul {
    int nb_lig = 0, nb_col = 0;
    Options o;
    int fils = 1;
    int lignes_bloc = 1;  // rows of a thread's block in its buffers
    int bloc = 1;         // rows of a thread's block in the pass under way: more for rows read where they lie
    bool halo = false;    // down columns: each block comes with the rows above and below it
    size_t pas_bloc = 0;  // elevations from one thread's block to the next (whole pages)
    size_t pas_presence = 0;
    Tour tours[2];        // the round written (or computed) and the one computed meanwhile
    double* brouillon = nullptr;  // a row of deviations for each thread (Float32 output)
    Equipe equipe;

    // The pass under way.
    const Source* source = nullptr;
    const Puits* puits = nullptr;
    Etirage e;
    int faites = 0;    // image rows handed out, for progress
    int passe = 0;
    int courant = 0;   // tours[courant] is the round the sink takes rows from

    // Down columns: each column's mean term, once the first pass is done;
    // and the last rows one thread read in order, which the halo of the next
    // block asks again (cache_debut .. cache_fin - 1).
    std::vector<int64_t> moyenne_col;
    std::vector<double> moyenne_col_d;  // the same, for the 32-bit loops
    std::vector<unsigned char> a_moyenne_col;
    std::vector<int> cache_z;
    std::vector<unsigned char> cache_m;
    int cache_debut = 0, cache_fin = 0;
    // The profile row and the rows around it, kept by the first pass down columns.
    std::vector<int> profil_z[3];
    std::vector<unsigned char> profil_m[3];

    // The bytes 0 among the search window's present cells, and those cells,
    // in the last second pass.
    std::atomic<uint64_t> nuls{0}, fenetre{0};

    // The failure: the first one recorded wins.
    std::mutex verrou;
    std::atomic<bool> en_echec{false};
    bool annule = false;
    std::string erreur;
};

// A pass over s begins: false (and the failure recorded) for a source
// the computation's buffers were not made for.
bool commence_passe(Calcul* c, const Source& s, int passe);
// Records a failure (the first one only).
void echoue(Calcul* c, const std::string& texte);
// Tells the caller's progress callback; false (and the computation failed as
// cancelled) when it asks to stop.
bool avance(Calcul* c, double fraction);

// The rows of the round [debut, debut + nombre) that thread t handles: its
// block, or nothing.
bool part_du_fil(const Calcul* c, int t, int debut, int nombre, int& premiere, int& combien);
// Reads thread t's part of the round into tour; false on a failure (recorded).
bool lit_part(Calcul* c, Tour& tour, int t, int debut, int premiere, int combien);
// Reads the whole round on the calling thread.
bool lit_tour(Calcul* c, Tour& tour, int debut, int nombre);
// Row r of a round: its elevations, and its presence (null: all present);
// down columns, with the rows above and below it (the round starts at row
// debut of the grid).
const int* elevations(const Calcul* c, const Tour& tour, int r);
const unsigned char* presence_de(const Calcul* c, const Tour& tour, int r);
struct Rangees;
Rangees rangees_de(const Calcul* c, const Tour& tour, int debut, int r);
// The source's rows over the grid, a round at a time: calcul(tour, debut,
// t, premiere, combien) on the threads, each on its block (for a source one
// thread only may read, that thread reads the next round meanwhile).
// Progress before each round; false on a failure or a cancel.
// The rows of a thread's block in a pass over source: a source that gives
// its rows where they lie (and a sink with memory of its own, when
// sans_tampon) needs no buffer, so its blocks are of about 16 MiB, and the
// threads meet rarely.
int bloc_de_passe(const Calcul* c, bool sans_tampon);
bool pour_chaque_tour(Calcul* c, const std::function<void(Tour*, int, int, int, int)>& calcul);

}  // namespace tavelkorn

#endif
