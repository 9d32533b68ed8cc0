#include "garde.h"

#include "../../tavelkorn.h"
#include "../platform/plateforme.h"
#include "../run/echec.h"
#include "resultats.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

static const Source* gardee;       // the source whose first pass is kept
static size_t taille_z;            // bytes of an elevation kept: 4, or 2 when they fit
static char* elevations_gardees;   // in memory, or
static unsigned char* presences_gardees;
static FILE *fz, *fm;              // in the scratch files
static int suivante;               // the next row expected (rows come in order)

uint64_t taille_garde(bool manquants, bool etroit)
{
    return (uint64_t)nb_lig * (uint64_t)nb_col * ((etroit ? 2 : 4) + (manquants ? 1 : 0));
}

// Elevations as they are kept: int32, or int16 when they fit.
static const void* comprime(const int* z, size_t n, std::vector<int16_t>& t)
{
    if (taille_z == 4) return z;
    t.resize(n);
    for (size_t k = 0; k < n; k++) t[k] = (int16_t)z[k];
    return t.data();
}

static void decomprime(int* z, size_t n)
{
    if (taille_z == 4) return;
    const int16_t* t = (const int16_t*)z;
    for (size_t k = n; k-- > 0;) z[k] = t[k];  // from the end: the int16 values lie in the first half
}

// A scratch file of the result set, gone from the folder at once where the
// system allows it (it stays readable through f); the private folder takes
// it otherwise, on every way out.
static FILE* brouillon(const char* nom)
{
    std::string chemin = resultat_brouillon(nom);
    FILE* f = cree_fichier_neuf(chemin, true);
    if (!f) echec("%s: cannot be created: %s", chemin.c_str(), strerror(errno));
    std::error_code ec;
    std::filesystem::remove(chemin, ec);
    return f;
}

void garde_prepare(uint64_t budget, const Source* s, bool etroit)
{
    gardee = s;
    suivante = 0;
    taille_z = etroit ? 2 : 4;
    uint64_t n = (uint64_t)nb_lig * (uint64_t)nb_col;
    if (taille_garde(s->manquants, etroit) <= budget && n <= SIZE_MAX / 4) {
        elevations_gardees = (char*)alloue_grand((size_t)n * taille_z);
        presences_gardees = s->manquants ? (unsigned char*)alloue_grand((size_t)n) : nullptr;
        if (elevations_gardees && (presences_gardees || !s->manquants)) return;
        libere_aligne(elevations_gardees), libere_aligne(presences_gardees);
        elevations_gardees = nullptr, presences_gardees = nullptr;
    }
    fz = brouillon(".kept.z");
    if (s->manquants) fm = brouillon(".kept.m");
}

void garde_ecrit(int premiere, int nombre, const int* z, const unsigned char* presence)
{
    if (premiere != suivante) echec("%s: rows read out of order", nomim1.c_str());  // never: the first pass goes down the rows
    suivante = premiere + nombre;
    size_t n = (size_t)nombre * nb_col, debut = (size_t)premiere * nb_col;
    static std::vector<int16_t> t;  // the first pass's reads come from one thread
    const void* v = comprime(z, n, t);
    if (elevations_gardees) {
        memcpy(elevations_gardees + debut * taille_z, v, n * taille_z);
        if (presences_gardees) memcpy(presences_gardees + debut, presence, n);
        return;
    }
    if (fwrite(v, taille_z, n, fz) != n || (fm && fwrite(presence, 1, n, fm) != n))
        echec("%s: the decoded DEM could not be kept: %s", nomim1.c_str(), strerror(errno));
}

static void lit_bloc_garde(int premiere, int nombre, int* z, unsigned char* presence)
{
    size_t n = (size_t)nombre * nb_col, debut = (size_t)premiere * nb_col;
    if (elevations_gardees) {
        memcpy(z, elevations_gardees + debut * taille_z, n * taille_z);
        if (presences_gardees) memcpy(presence, presences_gardees + debut, n);
    } else if (lit_a(fz, z, n * taille_z, (uint64_t)debut * taille_z) != (long long)(n * taille_z) ||
               (fm && lit_a(fm, presence, n, (uint64_t)debut) != (long long)n)) {
        echec("%s: the decoded DEM kept for the second pass cannot be read: %s", nomim1.c_str(), strerror(errno));
    }
    decomprime(z, n);
}

// The input is checked as its own source checks it.
static void fin_de_passe_garde(int passe) { gardee->fin_de_passe(passe); }

static const Source SOURCE_GARDE = {"kept", true, false, lit_bloc_garde, fin_de_passe_garde};

const Source* garde_source()
{
    if ((fz && fflush(fz) != 0) || (fm && fflush(fm) != 0))  // the second pass reads the files, not the streams
        echec("%s: the decoded DEM could not be kept: %s", nomim1.c_str(), strerror(errno));
    return &SOURCE_GARDE;
}
