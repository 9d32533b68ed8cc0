#include "dem_natif.h"

#include "../platform/plateforme.h"
#include "texte.h"

#include "NRUTIL.h"

#include <algorithm>
#include <atomic>
#include <vector>
#include <cerrno>
#include <cstring>
#include <filesystem>

bool fichier_d_entree(const std::string& chemin, bool& existe, Avis& a)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::file_status st = fs::status(chemin, ec);
    existe = st.type() != fs::file_type::not_found;
    if (!existe) return true;
    if (ec) return echec_de(a, "%s: cannot be opened: %s", chemin.c_str(), ec.message().c_str());
    if (st.type() != fs::file_type::regular) return echec_de(a, "%s: not a regular file", chemin.c_str());
    return true;
}

FILE* ouvre_fichier_dem(const std::string& chemin, Avis& a)
{
    FILE* f = fopen(chemin.c_str(), "rb");
    if (!f) echec_de(a, "%s: cannot be opened: %s", chemin.c_str(), strerror(errno));
    return f;
}

// The bytes of a value, and its name in messages.
static int taille_de(tavelkorn::TypeElevation t)
{
    return t == tavelkorn::ELEV_INT16 || t == tavelkorn::ELEV_UINT16 ? 2 : t == tavelkorn::ELEV_FLOAT64 ? 8 : 4;
}
static const char* nom_de(tavelkorn::TypeElevation t)
{
    static const char* const noms[] = {"Int16", "UInt16", "Int32", "UInt32", "Float32", "Float64"};
    return noms[t];
}

bool lit_dimensions(const std::string& descripteur, int& nb_lig, int& nb_col, int& pix_size, Avis& a,
                    tavelkorn::TypeElevation type)
{
    static const char* const noms[6] = {"lines", "columns", "bytes per value", "minimum", "maximum", "pixel size"};
    const char* nom = descripteur.c_str();
    FILE* fd = fopen(nom, "rb");
    if (!fd) return echec_de(a, "%s: cannot be opened: %s", nom, strerror(errno));
    int champs[6] = {0, 0, 0, 0, 0, 0};
    std::string fautif;
    int ligne;
    int lus = lit_descripteur(fd, champs, 6, fautif, ligne);
    bool lu = !ferror(fd);
    fclose(fd);
    if (!lu) return echec_de(a, "%s: cannot be read: %s", nom, strerror(EIO));
    if (lus < 0) return echec_de(a, "%s: UTF-16 text; save the descriptor as plain text (ANSI or UTF-8)", nom);
    if (!fautif.empty())
        return echec_de(a, "%s: line %d: '%s' is not a whole decimal number within the 32-bit range (the %s)", nom,
                        ligne, fautif.c_str(), noms[lus]);
    nb_lig = champs[0];
    nb_col = champs[1];
    pix_size = champs[5];
    if (lus < 2 || nb_lig < 1 || nb_col < 1)
        return echec_de(a, "%s: %d lines and %d columns: a DEM needs at least 1 of each", nom, nb_lig, nb_col);
    if (lus >= 3 && champs[2] != taille_de(type) && type == tavelkorn::ELEV_INT32)
        avertissement(a, "%s: %d bytes per value; elevations are read as 4-byte integers", nom, champs[2]);
    else if (lus >= 3 && champs[2] != taille_de(type))
        avertissement(a, "%s: %d bytes per value; elevations are read as %s, %d bytes", nom, champs[2], nom_de(type),
                      taille_de(type));
    if (lus < 6) {
        std::string manque;
        for (int k = lus; k < 6; k++) manque += std::string(k > lus ? ", " : "") + noms[k];
        avertissement(a, "%s: %d of the 6 fields; missing: %s; taken as %s", nom, lus, manque.c_str(),
                      lus < 3 ? "4 bytes per value and a pixel size of 0" : "a pixel size of 0");
    }
    return true;
}

namespace {

// The native DEM of a run, the context of its sources.
struct DemNatif {
    std::string nom;     // NAME.raw
    FILE* f = nullptr;
    EtatFichier etat{};  // its size and time at opening: it must not change under the run
    int nb_lig = 0, nb_col = 0;
    tavelkorn::TypeElevation type = tavelkorn::ELEV_INT32;
    int taille = 4;      // bytes of a value
    bool avec_nodata = false;
    double nodata = 0;
    double echelle_z = 1.0;
    int** gardees = nullptr;  // an incomplete DEM's rows, kept by the first reading
    std::atomic<bool> fractions{false};
};

bool change(const DemNatif& d, tavelkorn::Erreur& erreur)
{
    erreur.texte = d.nom + ": changed during the run; no result was written";
    return false;
}

// The presence of a block's cells from the nodata value, and the z-scale;
// a missing cell's elevation becomes 0, as every source gives it. Elevations
// are rounded half away from zero as GDAL's are, so that a native DEM and
// the same DEM through GDAL give the same bytes.
bool finit_bloc(const DemNatif& d, int* z, unsigned char* presence, size_t n, tavelkorn::Erreur& erreur)
{
    if (presence)
        for (size_t k = 0; k < n; k++) {
            presence[k] = z[k] != d.nodata;
            z[k] = presence[k] ? z[k] : 0;
        }
    if (d.echelle_z == 1.0) return true;
    for (size_t k = 0; k < n; k++) {
        if (presence && !presence[k]) continue;
        if (!tavelkorn::elevation_a_l_echelle(z[k], d.echelle_z, z[k], erreur))
            return erreur.texte = d.nom + ": " + erreur.texte, false;
    }
    return true;
}

// Rows of the native DEM, read as one block at their offset. A file
// shorter than its descriptor says leaves the missing elevations at 0 (a
// partly read value keeps the bytes that came); any other count than the
// file's size at opening allows means the file changed. An incomplete DEM is
// kept by the first reading and read from there afterwards.
// Rows of values of another type than int32, taken as the engine takes an
// array: its rule for missing cells, the z-scale and the rounding.
bool lit_bloc_type(void* contexte, int premiere, int nombre, int* z, unsigned char* presence,
                   tavelkorn::Erreur& erreur)
{
    DemNatif& d = *(DemNatif*)contexte;
    size_t octets_ligne = (size_t)d.nb_col * d.taille, total = (size_t)nombre * octets_ligne;
    std::vector<unsigned char> brut;
    try {
        brut.resize(total);
    } catch (const std::bad_alloc&) {
        return erreur.texte = d.nom + ": no memory to read " + std::to_string(nombre) + " rows", false;
    }
    long long lus = lit_a(d.f, brut.data(), total, (uint64_t)premiere * octets_ligne);
    if (lus < 0) return erreur.texte = d.nom + ": cannot be read: " + strerror(errno), false;
    if ((size_t)lus != total) return change(d, erreur);
    tavelkorn::Tableau t;
    t.donnees = brut.data();
    t.type = d.type;
    t.nb_lig = nombre, t.nb_col = d.nb_col;
    t.pas_ligne = (ptrdiff_t)octets_ligne, t.pas_colonne = d.taille;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    t.echange_octets = true;
#endif
    t.avec_nodata = d.avec_nodata, t.nodata = d.nodata;
    t.echelle_z = d.echelle_z;
    bool fractions = false;
    if (!tavelkorn::tableau_lit(t, 0, nombre, z, presence, erreur, &fractions))
        return erreur.texte = d.nom + ": " + erreur.texte, false;
    if (fractions) d.fractions = true;
    return true;
}

bool lit_bloc_natif(void* contexte, int premiere, int nombre, int* z, unsigned char* presence,
                    tavelkorn::Erreur& erreur)
{
    const DemNatif& d = *(const DemNatif*)contexte;
    size_t octets_ligne = (size_t)d.nb_col * 4;
    uint64_t debut = (uint64_t)premiere * octets_ligne, total = (uint64_t)nombre * octets_ligne;
    size_t attendus = (size_t)(d.etat.taille <= debut ? 0 : std::min(total, d.etat.taille - debut));
    long long lus = lit_a(d.f, z, (size_t)total, debut);  // positional: threads read side by side
    if (lus < 0) return erreur.texte = d.nom + ": cannot be read: " + strerror(errno), false;
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

bool lit_bloc_garde(void* contexte, int premiere, int nombre, int* z, unsigned char* presence,
                    tavelkorn::Erreur& erreur)
{
    const DemNatif& d = *(const DemNatif*)contexte;
    for (int r = 0; r < nombre; r++) memcpy(z + (size_t)r * d.nb_col, d.gardees[premiere + r], (size_t)d.nb_col * 4);
    return finit_bloc(d, z, presence, (size_t)nombre * d.nb_col, erreur);
}

tavelkorn::Source source(void* contexte, int lecture)
{
    DemNatif& d = *(DemNatif*)contexte;
    tavelkorn::Source s;
    s.contexte = &d;
    s.nb_lig = d.nb_lig;
    s.nb_col = d.nb_col;
    s.parallele = true;
    s.manquants = d.avec_nodata || d.type == tavelkorn::ELEV_FLOAT32 || d.type == tavelkorn::ELEV_FLOAT64;
    s.lit_bloc = d.type != tavelkorn::ELEV_INT32 ? lit_bloc_type : lecture > 1 && d.gardees ? lit_bloc_garde : lit_bloc_natif;
    return s;
}

// The DEM must be as it was opened, down to its size and modification time
// (the rows of an incomplete DEM are read once); after the first reading, a
// DEM shorter than its descriptor says is named.
bool inchange(void* contexte, int lecture, Avis& a)
{
    const DemNatif& d = *(const DemNatif*)contexte;
    if (lecture > 1 && d.gardees) return true;
    EtatFichier e;
    if (!etat_fichier(d.f, e) || e.taille != d.etat.taille || e.date != d.etat.date)
        return echec_de(a, "%s: changed during the run; no result was written", d.nom.c_str());
    uint64_t attendus = (uint64_t)d.nb_lig * (uint64_t)d.nb_col * d.taille;
    if (lecture == 1 && d.etat.taille < attendus)
        avertissement(a, "%s: %llu bytes expected for %d x %d elevations, %llu found; the missing elevations are 0",
                      d.nom.c_str(), (unsigned long long)attendus, d.nb_lig, d.nb_col,
                      (unsigned long long)d.etat.taille);
    return true;
}

// A complete DEM is streamed: read once for the range and the window
// maximum, and again for the image, a block of rows at a time. That is also
// the fastest way at any size, as reused buffers never fault in fresh
// memory. A DEM shorter than its descriptor says is held in memory, where
// its missing elevations are zeros; it must fit there, so that a descriptor
// claiming far more than the file holds cannot set the program computing
// zeros for hours. Both ways write the same bytes.
bool prepare(void* contexte, Avis& a)
{
    DemNatif& d = *(DemNatif*)contexte;
    uint64_t lignes = (uint64_t)d.nb_col * (sizeof(int) + sizeof(double) + 1);
    uint64_t dispo = memoire_disponible();
    uint64_t attendus = (uint64_t)d.nb_lig * (uint64_t)d.nb_col * d.taille;
    if (d.etat.taille >= attendus) return true;
    if (d.type != tavelkorn::ELEV_INT32)  // the dialogue's int32 alone may come short
        return echec_de(a, "%s: %llu bytes expected for %d x %d %s values, %llu found", d.nom.c_str(),
                        (unsigned long long)attendus, d.nb_lig, d.nb_col, nom_de(d.type),
                        (unsigned long long)d.etat.taille);
    // Decide before allocating: an overcommitted allocation can succeed and
    // the process be killed later, when its pages are touched.
    uint64_t grille = (uint64_t)d.nb_lig * ((uint64_t)d.nb_col * sizeof(int) + sizeof(int*));
    if (grille <= dispo - std::min(dispo, lignes)) d.gardees = imatrice(d.nb_col, d.nb_lig);
    if (d.gardees) return true;
    return echec_de(a,
                    "%s: %llu bytes expected for %d x %d elevations, %llu found; an incomplete DEM must fit in memory "
                    "(%llu MiB needed, %llu MiB available)",
                    d.nom.c_str(), (unsigned long long)attendus, d.nb_lig, d.nb_col, (unsigned long long)d.etat.taille,
                    (unsigned long long)(grille >> 20), (unsigned long long)(dispo >> 20));
}

bool sans_place(void*, double*, std::string&) { return false; }
bool sans_wkt(void*, std::string&) { return false; }
bool fractions(void* contexte)
{
    const DemNatif& d = *(const DemNatif*)contexte;
    return d.fractions && d.echelle_z == 1.0;
}

void ferme(void* contexte)
{
    DemNatif* d = (DemNatif*)contexte;
    if (d->f) fclose(d->f);
    if (d->gardees) frimatrice(d->gardees, d->nb_lig);
    delete d;
}

}  // namespace

bool ouvre_dem_natif(Dem& dem, const NatifVoulu& v, Avis& a)
{
    DemNatif* d = new DemNatif;
    d->nom = v.chemin;
    d->f = v.f;
    d->avec_nodata = v.avec_nodata;
    d->nodata = v.nodata;
    d->echelle_z = v.echelle_z;
    d->type = v.type;
    d->taille = taille_de(v.type);
    dem.contexte = d;
    dem.ferme = ferme;
    bool existe = true;
    if (!d->f && !fichier_d_entree(v.chemin, existe, a)) return ferme_dem(dem), false;
    if (!existe) return ferme_dem(dem), echec_de(a, "%s: cannot be opened: %s", v.chemin.c_str(), strerror(ENOENT));
    if (!d->f && !(d->f = ouvre_fichier_dem(v.chemin, a))) return ferme_dem(dem), false;
    if (!etat_fichier(d->f, d->etat))
        return ferme_dem(dem), echec_de(a, "%s: cannot be opened: %s", v.chemin.c_str(), strerror(errno));
    dem.nb_lig = v.nb_lig, dem.nb_col = v.nb_col, dem.pix_size = v.pix_size;
    if (dem.nb_lig < 1 && (!fichier_d_entree(v.descripteur, existe, a) ||
                           (!existe && echec_de(a, "%s: cannot be opened: %s", v.descripteur.c_str(), strerror(ENOENT))) ||
                           !lit_dimensions(v.descripteur, dem.nb_lig, dem.nb_col, dem.pix_size, a, v.type)))
        return ferme_dem(dem), false;
    d->nb_lig = dem.nb_lig;
    d->nb_col = dem.nb_col;
    dem.manquants = source(d, 1).manquants;
    dem.fichiers = {v.chemin};
    if (!v.descripteur_cree) dem.fichiers.push_back(v.descripteur);
    dem.nom_fichiers = "the DEM or its descriptor";
    dem.prepare = prepare;
    dem.source = source;
    dem.inchange = inchange;
    dem.place = sans_place;
    dem.wkt_esri = sans_wkt;
    dem.fractions = fractions;
    return true;
}
