// One computation, inside the engine: its options, its buffers, its team
// and its failure. Every pass reads and writes only the Calcul it is given.
#ifndef CALCUL_H
#define CALCUL_H

#include "equipe.h"
#include "moteur.h"
#include "noyaux.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace tavelkorn {

// Vectors whose memory comes from malloc: a computation's buffers are made
// when it is, and memory that cannot be had must come back as an error
// (malloc gives null), never as an abort.
template <class T>
struct Allocateur {
    using value_type = T;
    Allocateur() = default;
    template <class U>
    Allocateur(const Allocateur<U>&)
    {
    }
    T* allocate(size_t n)
    {
        void* p = n ? malloc(n * sizeof(T)) : nullptr;
        if (n && !p) throw std::bad_alloc();
        return (T*)p;
    }
    void deallocate(T* p, size_t) { free(p); }
};
template <class T, class U>
bool operator==(const Allocateur<T>&, const Allocateur<U>&)
{
    return true;
}
template <class T, class U>
bool operator!=(const Allocateur<T>&, const Allocateur<U>&)
{
    return false;
}
template <class T>
using Vecteur = std::vector<T, Allocateur<T>>;

// The rows of one round: a block of about 1 MiB of elevations for each
// thread, read and computed by it; down columns each block comes with the
// halo rows above and below it. Each round has its buffers (elevations,
// each thread's block page-aligned; presence with missing cells; the
// image's planes, one a scale) and what it shows of them: the rows of each
// thread (in the buffer, or where a source keeps them) and where the image
// goes (the buffer, or the sink's memory).
struct Tour {
    int* tampon = nullptr;
    unsigned char* presence = nullptr;         // each thread's block, laid out as the elevations
    unsigned char* presence_sortie = nullptr;  // the round's presence in row order, for the sink
    unsigned char* tampon_octets = nullptr;
    float* tampon_valeurs = nullptr;
    std::vector<const int*> z;            // the first row of each thread's block
    std::vector<size_t> pas;              // and the elevations from one of its rows to the next
    std::vector<const unsigned char*> m;  // the presence of each thread's first row (null: none missing)
    unsigned char* octets = nullptr;      // the round's first image row, and
    float* valeurs = nullptr;
    size_t pas_echelle = 0;               // the values from one scale's plane to the next
    int debut = 0, fin = 0;               // its rows; empty when no round is under way
};

// What one thread gathers over the passes, for each scale s (the vectors
// hold one entry, or one row of nb_col, a scale, one after the other).
struct Fil {
    int mind = INT_MAX, maxd = INT_MIN;
    uint64_t manquants = 0;
    Vecteur<double> dmax;
    Vecteur<uint64_t> histos;  // SOUS_HISTOS x NB_CASES a scale
    Vecteur<int32_t> cases;    // a row's bins
    Vecteur<double> d;         // a row of deviations
    // Down columns: each column's terms, in 64-bit pieces folded into
    // 128-bit sums, their count, and the window's extremes.
    Vecteur<int64_t> piece, compte, tmin, tmax;
    Vecteur<__int128> somme;
    Vecteur<uint64_t> nuls, fenetre;  // the image's dark bytes in the window (half)
};

struct Calcul {
    int nb_lig = 0, nb_col = 0;
    bool manquants = false;  // the source may have missing cells
    Options o;
    int c = 2;               // the term's shift
    std::vector<int> k;      // each scale as computed (echelle_utile)
    int ne = 1;              // scales
    int halo = 0;            // rows above and below each block: the largest column lag (0 along rows)
    int fils = 1;
    int lignes_bloc = 1;     // rows of a thread's block in its buffers
    int bloc = 1;            // rows of a thread's block in the pass under way: more for rows read where they lie
    size_t pas_bloc = 0;     // elevations from one thread's block to the next (whole pages)
    size_t pas_presence = 0;
    Tour tours[2];           // the round written (or computed) and the one computed meanwhile
    std::vector<Fil> par_fil;
    Equipe equipe;

    // The pass under way.
    const Source* source = nullptr;
    const Puits* puits = nullptr;
    std::vector<Reglage> reglages;  // each scale's stretch
    bool termes_32 = false;         // every elevation within +-2^28: the 32-bit loops serve
    int passe = 0, passes = 2;
    int faites = 0;   // image rows handed out, for progress
    int courant = 0;  // tours[courant] is the round the sink takes rows from

    // Along rows: each row's mean term at each scale, kept by the first pass
    // when they take little memory, so that the later passes need not sum
    // the row again.
    bool moyennes_gardees = false;
    Vecteur<int64_t> moyenne_lig;
    Vecteur<unsigned char> a_moyenne_lig;

    // Down columns: each column's mean term at each scale, once the first
    // pass is done; the last rows one thread read in order, which the halo
    // of the next block asks again (cache_debut .. cache_fin - 1); and the
    // profile row with the rows around it.
    Vecteur<int64_t> moyenne_col;
    Vecteur<double> moyenne_col_d;
    Vecteur<unsigned char> a_moyenne_col;
    Vecteur<int> cache_z;
    Vecteur<unsigned char> cache_m;
    int cache_debut = 0, cache_fin = 0;
    Vecteur<int> profil_z;
    Vecteur<unsigned char> profil_m;
    int profil_debut = 0, profil_lignes = 0;

    // The failure: the first one recorded wins, and stays.
    std::mutex verrou;
    std::atomic<bool> en_echec{false};
    Erreur erreur;
};

// Records a failure (the first one only); an erreur left CODE_OK becomes
// code.
void echoue(Calcul* c, const Erreur& e, Code code = CODE_ARGUMENT);
void echoue(Calcul* c, Code code, const std::string& texte);
// Tells the caller's progress callback; false (and the computation failed as
// cancelled) when it asks to stop.
bool avance(Calcul* c, double fraction);

// The rows of the round [debut, debut + nombre) that thread t handles: its
// block, or nothing.
bool part_du_fil(const Calcul* c, int t, int debut, int nombre, int& premiere, int& combien);
// Reads thread t's part of the round into tour; false on a failure (recorded).
bool lit_part(Calcul* c, Tour& tour, int t, int premiere, int combien);
// Reads the whole round on the calling thread.
bool lit_tour(Calcul* c, Tour& tour, int debut, int nombre);
// Row r of a round (the round starts at row debut of the grid): its
// elevations, with its rows above and below in the buffer down columns; its
// presence as read (null without missing cells), and the same only when
// the row itself has a missing cell.
const int* elevations(const Calcul* c, const Tour& tour, int r, size_t& pas);
const unsigned char* presence_brute(const Calcul* c, const Tour& tour, int r);
const unsigned char* presence_de(const Calcul* c, const Tour& tour, int r);
// The rows of a thread's block in a pass over the source: a source that
// gives its rows where they lie (and a sink with memory of its own, when
// sans_tampon) needs no buffer, so its blocks are of about 16 MiB, and the
// threads meet rarely.
int bloc_de_passe(const Calcul* c, bool sans_tampon);
// The rows of a round in the pass under way.
int rangees_du_tour(const Calcul* c);
// The source's rows over the grid, a round at a time: calcul(tour, debut,
// t, premiere, combien) on the threads, each on its block (for a source one
// thread only may read, that thread reads the next round meanwhile).
// Progress before each round; false on a failure or a cancel.
bool pour_chaque_tour(Calcul* c, const std::function<void(Tour*, int, int, int, int)>& calcul);

// Row i's mean term at scale s (v: the row at that lag, cols: where its
// terms are): kept by the first pass, or summed now. False when the row has
// no term.
bool moyenne_de_ligne(const Calcul* c, int s, int i, const Voisins& v, const Colonnes& cols, bool p32, int64_t& moyenne);

// The passes, in running order.
bool passe_lecture(Calcul* c, Bilan& bilan);
bool passe_rang(Calcul* c, Bilan& bilan);
bool passe_image(Calcul* c, Bilan& bilan);

}  // namespace tavelkorn

#endif
