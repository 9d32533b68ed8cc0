#include "dem_natif.h"

#include "../../tavelkorn.h"
#include "../platform/plateforme.h"
#include "../run/echec.h"
#include "texte.h"

#include "NRUTIL.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cerrno>
#include <cstring>
#include <filesystem>

// What is at a path the run reads: nothing (false), or a regular file to
// open (true). Anything else ends the run: opening a FIFO would wait for a
// writer, and a directory reads as an error.
bool fichier_d_entree(const std::string& chemin)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::file_status st = fs::status(chemin, ec);
    if (st.type() == fs::file_type::not_found) return false;
    if (ec) echec("%s: cannot be opened: %s", chemin.c_str(), ec.message().c_str());
    if (st.type() != fs::file_type::regular) echec("%s: not a regular file", chemin.c_str());
    return true;
}

void ouvre_dem_natif(DemNatif& d)
{
    d.f = f1 = fopen(d.nom.c_str(), "rb");
    if (!d.f || !etat_fichier(d.f, d.etat)) echec("%s: cannot be opened: %s", d.nom.c_str(), strerror(errno));
}

static void lit_champs(FILE* fd)
{
    static const char* const noms[6] = {"lines", "columns", "bytes per value", "minimum", "maximum", "pixel size"};
    int champs[6] = {0, 0, 0, 0, 0, 0};
    std::string fautif;
    int ligne;
    int lus = lit_descripteur(fd, champs, 6, fautif, ligne);
    bool lu = !ferror(fd);
    fclose(fd);
    const char* nom = nomdescr1.c_str();
    if (!lu) echec("%s: cannot be read: %s", nom, strerror(EIO));
    if (lus < 0) echec("%s: UTF-16 text; save the descriptor as plain text (ANSI or UTF-8)", nom);
    if (!fautif.empty())
        echec("%s: line %d: '%s' is not a whole decimal number within the 32-bit range (the %s)", nom, ligne,
              fautif.c_str(), noms[lus]);
    nb_lig = champs[0];
    nb_col = champs[1];
    pix_size = champs[5];
    if (lus < 2 || nb_lig < 1 || nb_col < 1)
        echec("%s: %d lines and %d columns: a DEM needs at least 1 of each", nom, nb_lig, nb_col);
    if (lus >= 3 && champs[2] != 4)
        avertit("%s: %d bytes per value; elevations are read as 4-byte integers", nom, champs[2]);
    if (lus < 6) {
        std::string manque;
        for (int k = lus; k < 6; k++) manque += std::string(k > lus ? ", " : "") + noms[k];
        avertit("%s: %d of the 6 fields; missing: %s; taken as %s", nom, lus, manque.c_str(),
                lus < 3 ? "4 bytes per value and a pixel size of 0" : "a pixel size of 0");
    }
}

void lit_dimensions()
{
    FILE* fd = fopen(nomdescr1.c_str(), "rb");
    if (!fd) echec("%s: cannot be opened: %s", nomdescr1.c_str(), strerror(errno));
    lit_champs(fd);
}

// Rows of the native DEM, read as one block at their offset. A file
// shorter than its descriptor says leaves the missing elevations at 0 (a
// partly read value keeps the bytes that came); any other count than the
// file's size at opening allows means the file changed. An incomplete DEM is
// kept in gardees by the first pass and read from there afterwards.
static bool change(const DemNatif& d, std::string& erreur)
{
    erreur = d.nom + ": changed during the run; no result was written";
    return false;
}

// The presence of a block's cells from the nodata value, and the z-scale;
// a missing cell's elevation becomes 0, as every source gives it. Elevations
// are rounded half away from zero as GDAL's are, so that a native DEM and
// the same DEM through GDAL give the same bytes.
static bool finit_bloc(const DemNatif& d, int* z, unsigned char* presence, size_t n, std::string& erreur)
{
    if (presence)
        for (size_t k = 0; k < n; k++) {
            presence[k] = z[k] != d.nodata;
            z[k] = presence[k] ? z[k] : 0;
        }
    if (d.echelle_z == 1.0) return true;
    for (size_t k = 0; k < n; k++) {
        if (presence && !presence[k]) continue;
        if (!tavelkorn::elevation_a_l_echelle(z[k], d.echelle_z, z[k], erreur)) return erreur = d.nom + ": " + erreur, false;
    }
    return true;
}

static bool lit_bloc_natif(void* contexte, int premiere, int nombre, int* z, unsigned char* presence, std::string& erreur)
{
    const DemNatif& d = *(const DemNatif*)contexte;
    size_t octets_ligne = (size_t)d.nb_col * 4;
    uint64_t debut = (uint64_t)premiere * octets_ligne, total = (uint64_t)nombre * octets_ligne;
    size_t attendus = (size_t)(d.etat.taille <= debut ? 0 : std::min(total, d.etat.taille - debut));
    long long lus = lit_a(d.f, z, (size_t)total, debut);  // positional: threads read side by side
    if (lus < 0) return erreur = d.nom + ": cannot be read: " + strerror(errno), false;
    size_t n = (size_t)lus;
    if (n != attendus) return change(d, erreur);
    if (n < total) memset((char*)z + n, 0, (size_t)total - n);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    for (size_t k = 0; k < (size_t)nombre * d.nb_col; k++) z[k] = (int)__builtin_bswap32((uint32_t)z[k]);
#endif
    if (d.gardees)
        for (int r = 0; r < nombre; r++) memcpy(d.gardees[premiere + r], z + (size_t)r * d.nb_col, octets_ligne);
    return finit_bloc(d, z, presence, (size_t)nombre * d.nb_col, erreur);
}

// The second pass of an incomplete DEM reads the rows the first one kept.
static bool lit_bloc_memoire(void* contexte, int premiere, int nombre, int* z, unsigned char* presence,
                             std::string& erreur)
{
    const DemNatif& d = *(const DemNatif*)contexte;
    for (int r = 0; r < nombre; r++) memcpy(z + (size_t)r * d.nb_col, d.gardees[premiere + r], (size_t)d.nb_col * 4);
    return finit_bloc(d, z, presence, (size_t)nombre * d.nb_col, erreur);
}

tavelkorn::Source source_native(DemNatif& d, int passe)
{
    tavelkorn::Source s;
    s.contexte = &d;
    s.parallele = true;
    s.manquants = d.avec_nodata;
    s.lit_bloc = passe == 2 && d.gardees ? lit_bloc_memoire : lit_bloc_natif;
    return s;
}

// The DEM must be as it was opened, down to its size and modification time.
void verifie_dem_natif(const DemNatif& d, int passe)
{
    EtatFichier e;
    if (!etat_fichier(d.f, e) || e.taille != d.etat.taille || e.date != d.etat.date)
        echec("%s: changed during the run; no result was written", d.nom.c_str());
    uint64_t attendus = (uint64_t)d.nb_lig * (uint64_t)d.nb_col * 4;
    if (passe == 1 && d.etat.taille < attendus)
        avertit("%s: %llu bytes expected for %d x %d elevations, %llu found; the missing elevations are 0",
                d.nom.c_str(), (unsigned long long)attendus, d.nb_lig, d.nb_col, (unsigned long long)d.etat.taille);
}

// A complete DEM is streamed: read once for the range and the window
// maximum, and again for the image, a block of rows at a time. That is also
// the fastest way at any size, as reused buffers never fault in fresh
// memory. A DEM shorter than its descriptor says is held in itab_in, where
// its missing elevations are zeros; it must fit in memory, so that a
// descriptor claiming far more than the file holds cannot set the program
// computing zeros for hours. Both ways write the same bytes.
void prepare_dem_natif(DemNatif& d)
{
    uint64_t lignes = (uint64_t)d.nb_col * (sizeof(int) + sizeof(double) + 1);
    uint64_t dispo = memoire_disponible();
    uint64_t taille = d.etat.taille;
    uint64_t attendus = (uint64_t)d.nb_lig * (uint64_t)d.nb_col * 4;
    if (taille >= attendus) return;
    // Decide before allocating: an overcommitted allocation can succeed and
    // the process be killed later, when its pages are touched.
    uint64_t grille = (uint64_t)d.nb_lig * ((uint64_t)d.nb_col * sizeof(int) + sizeof(int*));
    if (grille <= dispo - std::min(dispo, lignes)) d.gardees = itab_in = imatrice(d.nb_col, d.nb_lig);
    if (!d.gardees)
        echec("%s: %llu bytes expected for %d x %d elevations, %llu found; an incomplete DEM must fit in memory "
              "(%llu MiB needed, %llu MiB available)",
              d.nom.c_str(), (unsigned long long)attendus, d.nb_lig, d.nb_col, (unsigned long long)taille,
              (unsigned long long)(grille >> 20), (unsigned long long)(dispo >> 20));
}
