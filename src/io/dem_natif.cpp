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

extern const Source SOURCE_MEMOIRE, SOURCE_NATIVE_MANQUANTS, SOURCE_MEMOIRE_MANQUANTS;
static EtatFichier etat_dem;
static int nodata;  // the DEM as opened: it must not change under the run

[[noreturn]] static void dem_change()
{
    echec("%s: changed during the run; no result was written", nomim1.c_str());
}

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

// The DEM's descriptor is read now; a missing one is asked for and written

void ouvre_dem_natif()
{
    f1 = fopen(nomim1.c_str(), "rb");
    if (!f1 || !etat_fichier(f1, etat_dem)) echec("%s: cannot be opened: %s", nomim1.c_str(), strerror(errno));
    source = &SOURCE_NATIVE;
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

// A result must never be the DEM or its descriptor: writing it would destroy

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
// kept in itab_in by the first pass and read from there afterwards.
// The presence of a block's cells from the nodata value; a missing cell's
// elevation becomes 0, as every source gives it.
static void presences(int* z, unsigned char* presence, size_t n)
{
    for (size_t k = 0; k < n; k++) {
        presence[k] = z[k] != nodata;
        z[k] = presence[k] ? z[k] : 0;
    }
}

// Elevations times the z-scale, rounded half away from zero as GDAL's are,
// so that a native DEM and the same DEM through GDAL give the same bytes.
static void met_a_l_echelle(int* z, const unsigned char* presence, size_t n)
{
    if (echelle_z == 1.0) return;
    for (size_t k = 0; k < n; k++) {
        if (presence && !presence[k]) continue;
        double r = std::round(z[k] * echelle_z);
        if (!(r >= INT_MIN && r <= INT_MAX))
            echec("%s: elevation %d times --z-scale %g is %.17g, beyond the 32-bit range; choose a smaller --z-scale",
                  nomim1.c_str(), z[k], echelle_z, r);
        z[k] = (int)r;
    }
}

static void lit_bloc_natif(int premiere, int nombre, int* z, unsigned char* presence)
{
    size_t octets_ligne = (size_t)nb_col * 4;
    uint64_t debut = (uint64_t)premiere * octets_ligne, total = (uint64_t)nombre * octets_ligne;
    size_t attendus = (size_t)(etat_dem.taille <= debut ? 0 : std::min(total, etat_dem.taille - debut));
    long long lus = lit_a(f1, z, (size_t)total, debut);  // positional: threads read side by side
    if (lus < 0) echec("%s: cannot be read: %s", nomim1.c_str(), strerror(errno));
    size_t n = (size_t)lus;
    if (n != attendus) dem_change();
    if (n < total) memset((char*)z + n, 0, (size_t)total - n);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    for (size_t k = 0; k < (size_t)nombre * nb_col; k++) z[k] = (int)__builtin_bswap32((uint32_t)z[k]);
#endif
    if (itab_in)
        for (int r = 0; r < nombre; r++) memcpy(itab_in[premiere + r], z + (size_t)r * nb_col, octets_ligne);
    if (presence) presences(z, presence, (size_t)nombre * nb_col);
    met_a_l_echelle(z, presence, (size_t)nombre * nb_col);
}

// The second pass of an incomplete DEM reads the rows the first one kept.
static void lit_bloc_memoire(int premiere, int nombre, int* z, unsigned char* presence)
{
    for (int r = 0; r < nombre; r++) memcpy(z + (size_t)r * nb_col, itab_in[premiere + r], (size_t)nb_col * 4);
    if (presence) presences(z, presence, (size_t)nombre * nb_col);
    met_a_l_echelle(z, presence, (size_t)nombre * nb_col);
}

// The DEM must be as it was opened, down to its size and modification time.
static void fin_de_passe_natif(int passe)
{
    EtatFichier e;
    if (!etat_fichier(f1, e) || e.taille != etat_dem.taille || e.date != etat_dem.date) dem_change();
    uint64_t attendus = (uint64_t)nb_lig * (uint64_t)nb_col * 4;
    if (passe == 1 && etat_dem.taille < attendus) {
        avertit("%s: %llu bytes expected for %d x %d elevations, %llu found; the missing elevations are 0",
                nomim1.c_str(), (unsigned long long)attendus, nb_lig, nb_col, (unsigned long long)etat_dem.taille);
        source = source->manquants ? &SOURCE_MEMOIRE_MANQUANTS : &SOURCE_MEMOIRE;
    }
}

static void fin_de_passe_memoire(int) {}

const Source SOURCE_NATIVE = {"native", true, false, lit_bloc_natif, fin_de_passe_natif};
const Source SOURCE_MEMOIRE = {"memory", true, false, lit_bloc_memoire, fin_de_passe_memoire};
const Source SOURCE_NATIVE_MANQUANTS = {"native", true, true, lit_bloc_natif, fin_de_passe_natif};
const Source SOURCE_MEMOIRE_MANQUANTS = {"memory", true, true, lit_bloc_memoire, fin_de_passe_memoire};

void marque_nodata(int v)
{
    nodata = v;
    source = &SOURCE_NATIVE_MANQUANTS;
}


// A complete DEM is streamed: read once for the range and the window
// maximum, and again for the image, a block of rows at a time. That is also
// the fastest way at any size, as reused buffers never fault in fresh
// memory. A DEM shorter than its descriptor says is held in itab_in, where
// its missing elevations are zeros; it must fit in memory, so that a
// descriptor claiming far more than the file holds cannot set the program
// computing zeros for hours. Both ways write the same bytes.
void prepare_dem_natif()
{
    if (itab_in) return;
    uint64_t lignes = (uint64_t)nb_col * (sizeof(int) + sizeof(double) + 1);
    uint64_t dispo = memoire_disponible();
    uint64_t taille = etat_dem.taille;
    uint64_t attendus = (uint64_t)nb_lig * (uint64_t)nb_col * 4;
    if (taille >= attendus) return;
    // Decide before allocating: an overcommitted allocation can succeed and
    // the process be killed later, when its pages are touched.
    uint64_t grille = (uint64_t)nb_lig * ((uint64_t)nb_col * sizeof(int) + sizeof(int*));
    if (grille <= dispo - std::min(dispo, lignes)) itab_in = imatrice(nb_col, nb_lig);
    if (!itab_in)
        echec("%s: %llu bytes expected for %d x %d elevations, %llu found; an incomplete DEM must fit in memory "
              "(%llu MiB needed, %llu MiB available)",
              nomim1.c_str(), (unsigned long long)attendus, nb_lig, nb_col, (unsigned long long)taille,
              (unsigned long long)(grille >> 20), (unsigned long long)(dispo >> 20));
}
