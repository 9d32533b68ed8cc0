#include "garde.h"

#include "../../tavelkorn.h"
#include "../platform/plateforme.h"
#include "../run/echec.h"
#include "resultats.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

static const Source* gardee;       // the source whose first pass is kept
static int* elevations_gardees;    // in memory, or
static unsigned char* presences_gardees;
static FILE *fz, *fm;              // in the scratch files
static int suivante;               // the next row expected (rows come in order)

uint64_t taille_garde(bool manquants) { return (uint64_t)nb_lig * (uint64_t)nb_col * (4 + (manquants ? 1 : 0)); }

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

void garde_prepare(uint64_t budget, const Source* s)
{
    gardee = s;
    suivante = 0;
    uint64_t n = (uint64_t)nb_lig * (uint64_t)nb_col;
    if (taille_garde(s->manquants) <= budget && n <= SIZE_MAX / 4) {
        elevations_gardees = (int*)malloc((size_t)n * 4);
        presences_gardees = s->manquants ? (unsigned char*)malloc((size_t)n) : nullptr;
        if (elevations_gardees && (presences_gardees || !s->manquants)) return;
        free(elevations_gardees), free(presences_gardees);
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
    if (elevations_gardees) {
        memcpy(elevations_gardees + debut, z, n * 4);
        if (presences_gardees) memcpy(presences_gardees + debut, presence, n);
        return;
    }
    if (fwrite(z, 4, n, fz) != n || (fm && fwrite(presence, 1, n, fm) != n))
        echec("%s: the decoded DEM could not be kept: %s", nomim1.c_str(), strerror(errno));
}

static void lit_bloc_garde(int premiere, int nombre, int* z, unsigned char* presence)
{
    size_t n = (size_t)nombre * nb_col, debut = (size_t)premiere * nb_col;
    if (elevations_gardees) {
        memcpy(z, elevations_gardees + debut, n * 4);
        if (presences_gardees) memcpy(presence, presences_gardees + debut, n);
        return;
    }
    if (lit_a(fz, z, n * 4, (uint64_t)debut * 4) != (long long)(n * 4) ||
        (fm && lit_a(fm, presence, n, (uint64_t)debut) != (long long)n))
        echec("%s: the decoded DEM kept for the second pass cannot be read: %s", nomim1.c_str(), strerror(errno));
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
