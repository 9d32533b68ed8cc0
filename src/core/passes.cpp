#include "calcul.h"

#include "../../tavelkorn.h"
#include "../platform/plateforme.h"
#include "../run/echec.h"
#include "equipe.h"
#include "noyaux.h"

#include "NRUTIL.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

const Source* source;
bool terme_courbure;
Etirement etirement = ETIRE_DEMI;
double rang = 100.0;
double reference;
bool termes_32;
int ligne_profil;
void (*garde_premiere_passe)(int premiere, int nombre, const int* z, const unsigned char* presence);
static bool en_lecture;  // the first pass is under way
double echelle_z = 1.0;
bool valeurs_reelles, silencieux, progres_gdal, descendant;
int nb_fils = 1;
uint64_t nb_manquants;
double* dev_profil;

// The rows of one round: a block of about 1 MiB of elevations for each
// thread, read and computed by it. The buffers hold the elevations read, the
// presence of each cell, and the image computed from them; the "next" ones
// the round computed while the current one is written.
static int lignes_bloc;           // rows of a thread's block
static size_t pas_bloc;           // elevations from one thread's block to the next (whole pages)
static int* tampon;               // elevations, each thread's block page-aligned (the kernel copies faster)
static unsigned char* presence;   // presence of the cells (with missing cells only)
static unsigned char* octets;     // image bytes
static float* valeurs;            // Float32 deviations (with valeurs_reelles only)
static double* brouillon;         // a row of deviations for each thread (Float32 output)
static int* tampon_suivant;
static unsigned char *presence_suivante, *octets_suivants;
static float* valeurs_suivantes;
static int bloc_debut, bloc_fin;        // rows of the round computed in octets
static int suivant_debut, suivant_fin;  // empty when no round is under way

// ---------------------------------------------------------------- memory

// Bytes a round takes with t threads, or 0 when the size overflows.
static uint64_t octets_par_tour(int t, bool manquants, bool reelles)
{
    uint64_t cellules = (uint64_t)lignes_bloc * (uint64_t)nb_col;
    uint64_t pas = (cellules + 1023) / 1024 * 1024;
    uint64_t par_fil = 2 * pas * sizeof(int) + 2 * cellules * (1 + (manquants ? 1 : 0) + (reelles ? sizeof(float) : 0)) +
                       (uint64_t)nb_col * sizeof(double);
    return par_fil * (uint64_t)t + (uint64_t)nb_col * sizeof(double);
}

void alloue_blocs(const char* nom, int fils)
{
    if (tampon) return;  // the dialogue allocated them before its result prompts
    uint64_t ligne = (uint64_t)nb_col * (sizeof(int) + sizeof(double) + 1);
    uint64_t dispo = memoire_disponible();
    if (ligne > dispo)
        echec("%s: a row of %d elevations needs %llu MiB of memory; %llu MiB are available", nom, nb_col,
              (unsigned long long)(ligne >> 20), (unsigned long long)(dispo >> 20));
    lignes_bloc = std::min(std::max(1, (1 << 18) / nb_col), nb_lig);
    nb_fils = std::max(1, std::min(fils, (nb_lig + lignes_bloc - 1) / lignes_bloc));
    bool m = source->manquants, r = valeurs_reelles;
    while (nb_fils > 1 && octets_par_tour(nb_fils, m, r) > dispo) nb_fils--;  // fewer threads rather than no run
    uint64_t besoin = octets_par_tour(nb_fils, m, r);
    if (besoin > dispo || besoin > (uint64_t)SIZE_MAX / 2)
        echec("%s: blocks of %d x %d elevations need %llu MiB of memory; %llu MiB are available", nom, lignes_bloc,
              nb_col, (unsigned long long)(besoin >> 20), (unsigned long long)(dispo >> 20));
    size_t cellules = (size_t)lignes_bloc * (size_t)nb_col * (size_t)nb_fils;
    pas_bloc = ((size_t)lignes_bloc * nb_col + 1023) / 1024 * 1024;  // whole 4 KiB pages
    tampon = (int*)alloue_aligne(pas_bloc * nb_fils * sizeof(int));
    tampon_suivant = (int*)alloue_aligne(pas_bloc * nb_fils * sizeof(int));
    dev_profil = (double*)calloc((size_t)nb_col, sizeof(double));
    octets = (unsigned char*)malloc(cellules);
    octets_suivants = (unsigned char*)malloc(cellules);
    if (m) presence = (unsigned char*)malloc(cellules), presence_suivante = (unsigned char*)malloc(cellules);
    if (r) {
        valeurs = (float*)malloc(cellules * sizeof(float));
        valeurs_suivantes = (float*)malloc(cellules * sizeof(float));
        brouillon = (double*)malloc((size_t)nb_col * nb_fils * sizeof(double));
    }
    if (!tampon || !tampon_suivant || !dev_profil || !octets || !octets_suivants || (m && (!presence || !presence_suivante)) ||
        (r && (!valeurs || !valeurs_suivantes || !brouillon)))
        echec("%s: rows of %d elevations (%llu MiB) could not be allocated", nom, nb_col,
              (unsigned long long)(ligne >> 20));
}

void libere_blocs()
{
    libere_aligne(tampon);
    libere_aligne(tampon_suivant);
    for (void* p : {(void*)dev_profil, (void*)octets, (void*)octets_suivants, (void*)presence, (void*)presence_suivante,
                    (void*)valeurs, (void*)valeurs_suivantes, (void*)brouillon})
        free(p);
    tampon = tampon_suivant = nullptr;
    dev_profil = brouillon = nullptr;
    octets = octets_suivants = presence = presence_suivante = nullptr;
    valeurs = valeurs_suivantes = nullptr;
}

// ---------------------------------------------------------------- progress

// A one-line indicator on standard error, shown only on a terminal and only
// once a step has run for a second, at most ten times a second; erased when
// the step ends.
namespace progression {
using horloge = std::chrono::steady_clock;
static const char* etape;
static horloge::time_point debut, dernier;
static bool affiche;
static int marques;  // GDAL-style ticks printed: 40 for the whole run, 20 a pass

static void commence(const char* nom)
{
    etape = nom;
    debut = dernier = horloge::now();
    affiche = false;
    if (progres_gdal && strcmp(nom, "reading") == 0) marques = -1;
}

// GDAL's way: "0...10...20 ... 100 - done." on standard error, whatever it
// is, for the programs that read it (a tick each 2.5%; the first pass is
// the first half).
static void marque(double fraction)
{
    int voulues = (int)(fraction * 40);
    for (; marques < voulues; marques++) {
        int k = marques + 1;
        if (k % 4 == 0) fprintf(stderr, k == 40 ? "100 - done.\n" : "%d", k / 4 * 10);
        else fputc('.', stderr);
    }
    fflush(stderr);
}

static bool terminal()
{
    static const bool oui = erreur_sur_terminal();
    return oui && !silencieux;
}

static void avance(int fait, int total)
{
    if (progres_gdal) {
        marque(((strcmp(etape, "reading") == 0 ? 0.0 : 1.0) + (double)fait / total) / 2);
        return;
    }
    if (!terminal()) return;
    horloge::time_point t = horloge::now();
    if (t - debut < std::chrono::seconds(1) || t - dernier < std::chrono::milliseconds(100)) return;
    fflush(stdout);
    fprintf(stderr, "\rtavelkorn: %s %3d%%", etape, (int)(100LL * fait / total));
    dernier = t;
    affiche = true;
}

// A step that lasted a second (stopped, or its last round long) shows its
// line once, however few rounds came after that second.
static void termine()
{
    if (progres_gdal) marque(strcmp(etape, "reading") == 0 ? 0.5 : 1.0);
    if (!progres_gdal && !affiche && terminal() && horloge::now() - debut >= std::chrono::seconds(1)) {
        fflush(stdout);
        fprintf(stderr, "\rtavelkorn: %s 100%%", etape);
        affiche = true;
    }
    if (affiche) fprintf(stderr, "\r%60s\r", "");
}
}  // namespace progression

// ---------------------------------------------------------------- rounds

// The rows of the round [debut, debut + nombre) that thread t handles: its
// block, or nothing.
static bool part_du_fil(int t, int debut, int nombre, int& premiere, int& combien)
{
    premiere = debut + t * lignes_bloc;
    combien = std::min(lignes_bloc, debut + nombre - premiere);
    return combien > 0;
}

// The elevations of row r of a round: in the block of its thread.
static int* elevations(int* z, int r)
{
    return z + (size_t)(r / lignes_bloc) * pas_bloc + (size_t)(r % lignes_bloc) * nb_col;
}

static void lit_part(int t, int debut, int premiere, int combien, int* z, unsigned char* m)
{
    z += (size_t)t * pas_bloc;
    if (m) m += (size_t)(premiere - debut) * nb_col;
    source->lit_bloc(premiere, combien, z, m);
    if (en_lecture && garde_premiere_passe && !source->parallele) garde_premiere_passe(premiere, combien, z, m);
}

// Reads the round of rows [debut, debut + nombre) on the calling thread.
static void lit_tour(int debut, int nombre, int* z, unsigned char* m)
{
    for (int t = 0; t < nb_fils; t++) {
        int premiere, combien;
        if (part_du_fil(t, debut, nombre, premiere, combien)) lit_part(t, debut, premiere, combien, z, m);
    }
}

// Starts the threads on the round of rows [debut, debut + nombre): each reads
// its block (for a source one thread only may read, the calling thread reads
// them all first) and then runs calcul(t, premiere, combien) on it.
template <typename Calcul>
static void lance_sur_tour(int debut, int nombre, int* z, unsigned char* m, Calcul calcul)
{
    bool parallele = source->parallele;
    if (!parallele) lit_tour(debut, nombre, z, m);
    equipe::lance(nb_fils, [=](int t) {
        int premiere, combien;
        if (!part_du_fil(t, debut, nombre, premiere, combien)) return;
        if (parallele) lit_part(t, debut, premiere, combien, z, m);
        calcul(t, premiere, combien);
    });
}

// ---------------------------------------------------------------- first pass

// The P-th percentile of the window's deviations by nearest rank: the
// smallest deviation such that at least P% of them are at most it, read from
// the threads' histograms added together (so the same for any split); exact
// below 256, otherwise the bottom of its bin, within 1/128 of the true value.
static double percentile(const std::vector<uint64_t>& cases)
{
    std::vector<uint64_t> h(NB_CASES, 0);
    for (size_t k = 0; k < cases.size(); k++) h[k % NB_CASES] += cases[k];
    uint64_t n = 0;
    for (uint64_t c : h) n += c;
    if (n == 0) return 0.0;
    uint64_t rang_voulu = (uint64_t)std::ceil(rang / 100.0 * (double)n);
    rang_voulu = std::min(std::max(rang_voulu, (uint64_t)1), n);
    uint64_t vus = 0;
    for (int b = 0; b < NB_CASES; b++)
        if ((vus += h[b]) >= rang_voulu) return (double)bas_de_case(b);
    return dmax;
}

// The elevation range of the present cells (the search starts from 10000000
// and 0, not from the int extremes), the window maximum dmax, the deviations
// of the profile row and the missing cells. Each thread reduces its own
// rows; min, max and sums make the combined result exact whatever the split.
void lecture(int& mind, int& maxd, void (*annonce)())
{
    mind = 10000000;
    maxd = 0;
    dmax = 0.0;
    nb_manquants = 0;
    for (int j = 0; j < nb_col; j++) dev_profil[j] = 0.0;
    bool histo = etirement == ETIRE_RANG;
    std::vector<uint64_t> cases(histo ? (size_t)SOUS_HISTOS * NB_CASES * nb_fils : 0);
    std::vector<int32_t> lignes(histo ? (size_t)nb_col * nb_fils : 0);
    std::vector<Bilan> bilans;
    for (int t = 0; t < nb_fils; t++)
        bilans.push_back({mind, maxd, 0.0, 0, histo ? &cases[(size_t)t * SOUS_HISTOS * NB_CASES] : nullptr,
                          histo ? &lignes[(size_t)t * nb_col] : nullptr});
    progression::commence("reading");
    if (annonce) annonce();  // after the clock starts: a stop the moment it shows counts in the step
    en_lecture = true;
    int tour = lignes_bloc * nb_fils;
    auto calcul = [&](int i, int* z, unsigned char* pm) {
        return [&bilans, i, z, pm](int t, int premiere, int combien) {
            for (int l = premiere; l < premiere + combien; l++) {
                const int* zl = elevations(z, l - i);
                const unsigned char* m = presence_ligne(pm, l - i);
                passe_a_ligne(zl, m, nb_col, l >= 2 && l <= nb_lig - 3, bilans[(size_t)t]);
                if (l == ligne_profil) deviations_de_ligne(zl, m, nb_col, dev_profil);
            }
        };
    };
    if (source->parallele) {
        for (int i = 0; i < nb_lig; i += tour) {
            progression::avance(i, nb_lig);
            lance_sur_tour(i, std::min(tour, nb_lig - i), tampon, presence, calcul(i, tampon, presence));
            equipe::attend();
        }
    } else {
        // One thread reads (and decodes) the next round while the others
        // compute the current one.
        lit_tour(0, std::min(tour, nb_lig), tampon, presence);
        for (int i = 0; i < nb_lig; i += tour) {
            progression::avance(i, nb_lig);
            int nombre = std::min(tour, nb_lig - i);
            int* z = tampon;
            unsigned char* pm = presence;
            equipe::lance(nb_fils, [=](int t) {
                int premiere, combien;
                if (part_du_fil(t, i, nombre, premiere, combien)) calcul(i, z, pm)(t, premiere, combien);
            });
            if (i + tour < nb_lig) lit_tour(i + tour, std::min(tour, nb_lig - i - tour), tampon_suivant, presence_suivante);
            equipe::attend();
            std::swap(tampon, tampon_suivant);
            std::swap(presence, presence_suivante);
        }
    }
    en_lecture = false;
    for (const Bilan& b : bilans) {
        mind = std::min(mind, b.mind);
        maxd = std::max(maxd, b.maxd);
        dmax = std::max(dmax, b.dmax);
        nb_manquants += b.manquants;
    }
    progression::termine();
    termes_32 = mind > -(1 << 28) && maxd < (1 << 28);  // missing cells are 0: inside too
    reference = dmax;
    if (histo) reference = percentile(cases);
}

static int faites;  // image rows handed out, for the progress line

void prepare_etirement(int norm)
{
    dmin = dmax * 0.5;
    dif = dmax - dmin;
    scale = (double)norm;
    faites = 0;
    bloc_debut = bloc_fin = suivant_debut = suivant_fin = 0;
}

// ---------------------------------------------------------------- second pass

// Starts the threads on the round of rows [debut, debut + nombre), into the
// "next" buffers.
static void lance_tour(int debut, int nombre)
{
    suivant_debut = debut;
    suivant_fin = debut + nombre;
    int* z = tampon_suivant;
    unsigned char *m = presence_suivante, *o = octets_suivants;
    float* v = valeurs_suivantes;
    double* d = brouillon;
    lance_sur_tour(debut, nombre, z, m, [=](int t, int premiere, int combien) {
        for (int r = premiere - debut; r < premiere - debut + combien; r++) {
            size_t k = (size_t)r * nb_col;
            passe_b_ligne(elevations(z, r), presence_ligne(m, r), nb_col, o + k, v ? v + k : nullptr,
                          d ? d + (size_t)t * nb_col : nullptr);
        }
    });
}

// The round of up to nb_fils blocks that starts (or, going down, ends) at i.
static void tour_de(int i, int& debut, int& nombre)
{
    int tour = lignes_bloc * nb_fils;
    nombre = descendant ? std::min(tour, i + 1) : std::min(tour, nb_lig - i);
    debut = descendant ? i - nombre + 1 : i;
}

// Row i of the image, from the round that holds it. When i leaves the
// current round, the next one (computed meanwhile) becomes current and the
// threads start on the one after, in the direction of the writer.
const unsigned char* ligne_image(int i, void*)
{
    if (i < bloc_debut || i >= bloc_fin) {
        if (faites == 0) progression::commence("computing and writing");
        progression::avance(faites, nb_lig);
        int debut, nombre;
        if (i < suivant_debut || i >= suivant_fin) {  // the first round, computed now
            tour_de(i, debut, nombre);
            lance_tour(debut, nombre);
        }
        equipe::attend();
        std::swap(tampon, tampon_suivant);
        std::swap(presence, presence_suivante);
        std::swap(octets, octets_suivants);
        std::swap(valeurs, valeurs_suivantes);
        bloc_debut = suivant_debut;
        bloc_fin = suivant_fin;
        suivant_debut = suivant_fin = 0;
        faites += bloc_fin - bloc_debut;
        int j = descendant ? bloc_debut - 1 : bloc_fin;
        if (j >= 0 && j < nb_lig) {
            tour_de(j, debut, nombre);
            lance_tour(debut, nombre);
        }
        if (faites == nb_lig) progression::termine();
    }
    return octets + (size_t)(i - bloc_debut) * nb_col;
}

const float* valeurs_image(int i) { return valeurs + (size_t)(i - bloc_debut) * nb_col; }

const unsigned char* presence_image(int i) { return presence ? presence + (size_t)(i - bloc_debut) * nb_col : nullptr; }

int reste_du_bloc(int i) { return bloc_fin - i; }

void pour_chaque_bloc(void (*ecrit)(int premiere, int nombre))
{
    for (int i = 0; i < nb_lig; i += reste_du_bloc(i)) {  // a round at a time: large writes
        ligne_image(i, nullptr);
        ecrit(i, reste_du_bloc(i));
    }
}
