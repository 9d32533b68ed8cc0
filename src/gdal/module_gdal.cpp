#include "gdal_programme.h"

#include "../../tavelkorn.h"
#include "../io/resultats.h"
#include "../platform/plateforme.h"
#include "../run/echec.h"
#include "module.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

// The module, loaded once for the process (and never unloaded): a table of
// functions that keeps no run of its own, each run's DEM and image being
// contexts it hands back.
static const ModuleGdal* module_;

#ifdef TAVELKORN_GDAL
const bool avec_gdal = true;

static void avertit_gdal(const char* texte) { avertit("GDAL: %s", noms_finals(texte).c_str()); }

// The module, from the program's own folder only, never from the working
// directory; null with the reason in erreur.
static const ModuleGdal* charge(std::string& erreur)
{
    if (module_) return module_;
    std::string dossier = repertoire_programme();
    if (dossier.empty()) return erreur = "the system does not say where the program is", nullptr;
    EntreeModule entree = nullptr;
    for (const char* ou : {"", "../lib/tavelkorn/"}) {
        void* m = charge_module(dossier + ou + MODULE_GDAL, erreur);
        if (m && (entree = (EntreeModule)symbole_module(m, ENTREE_MODULE))) break;
    }
    static const RappelsProgramme rappels = {avertit_gdal};
    return module_ = entree ? entree(&rappels) : nullptr;
}

static const ModuleGdal* gdal()
{
    std::string erreur;
    const ModuleGdal* m = charge(erreur);
    if (!m) echec("GDAL's formats need the module %s beside the program: %s", MODULE_GDAL, erreur.c_str());
    return m;
}

bool gdal_disponible()
{
    std::string erreur;
    return charge(erreur) != nullptr;
}
#else
const bool avec_gdal = false;

[[noreturn]] static const ModuleGdal* gdal() { echec("this build has no GDAL"); }

bool gdal_disponible() { return false; }
#endif

std::string chemin_reel(const std::string& chemin)
{
    std::string p = chemin;
    bool virtuel = false;
    while (p.rfind("/vsi", 0) == 0) {
        size_t fin = p.find('/', 4);
        if (fin == std::string::npos) return "";
        std::string prefixe = p.substr(0, fin);
        p = p.substr(fin + 1);
        virtuel = true;
        if (prefixe == "/vsisubfile") {  // /vsisubfile/OFFSET_SIZE,PATH
            size_t virgule = p.find(',');
            if (virgule == std::string::npos) return "";
            p = p.substr(virgule + 1);
        } else if (prefixe == "/vsicurl" || prefixe == "/vsimem" || prefixe == "/vsis3" || prefixe == "/vsigs" ||
                   prefixe == "/vsiaz" || prefixe == "/vsistdin" || prefixe == "/vsistdout") {
            return "";
        } else if (!p.empty() && p[0] == '{') {  // /vsizip/{ARCHIVE}/PATH: the archive, braces and all
            int profondeur = 0;
            for (size_t k = 0; k < p.size(); k++) {
                profondeur += p[k] == '{' ? 1 : p[k] == '}' ? -1 : 0;
                if (profondeur == 0) {
                    std::string archive = p.substr(1, k - 1);
                    return archive.rfind("/vsi", 0) == 0 ? chemin_reel(archive) : archive;
                }
            }
            return "";
        }
    }
    if (!virtuel) return p;
    // A path inside an archive names the archive.
    std::error_code ec;
    for (fs::path q = p; !q.empty(); q = q.parent_path()) {
        fs::file_status st = fs::status(q, ec);
        if (fs::exists(st)) return fs::is_directory(st) ? "" : q.string();
        if (q == q.parent_path()) break;
    }
    return "";
}

// A path GDAL reads must be a regular file: a FIFO would block the run.
static void fichier_regulier(const std::string& chemin)
{
    std::string reel = chemin_reel(chemin);
    if (reel.empty()) return;
    GenreFichier g = genre_fichier(reel, true);
    if (g == SPECIAL || g == DOSSIER) echec("%s: not a regular file", chemin.c_str());
}

static bool lit_bloc_gdal(void* contexte, int premiere, int nombre, int* z, unsigned char* presence,
                          std::string& erreur)
{
    ContexteGdal& g = *(ContexteGdal*)contexte;
    if (gdal()->lit_bloc(g.lecture, premiere, nombre, z, presence, erreur)) return true;
    erreur = g.nom_dem + ": " + erreur;
    return false;
}

void verifie_dem_gdal(const ContexteGdal& g)
{
    std::error_code ec, ed;
    for (const Empreinte& e : g.empreintes)
        if (fs::file_size(e.chemin, ec) != e.taille || fs::last_write_time(e.chemin, ed) != e.date || ec || ed)
            echec("%s: changed during the run; no result was written", e.chemin.c_str());
}

tavelkorn::Source source_gdal(ContexteGdal& g)
{
    tavelkorn::Source s;
    s.contexte = &g;
    s.manquants = g.dem.manquants;
    s.parallele = g.dem.parallele;  // an uncompressed GeoTIFF read directly: threads side by side
    s.lit_bloc = lit_bloc_gdal;
    return s;
}

void ouvre_dem_gdal(ContexteGdal& g, const Requete& r, std::vector<std::string>& fichiers)
{
    if (!avec_gdal)
        echec("%s: not a native DEM (NAME.raw with NAME.txt beside it); other formats need a build with GDAL",
              r.entree.c_str());
    g.nom_dem = r.entree;
    // A name that is no file may still be GDAL's (GTIFF_DIR:1:dem.tif,
    // NETCDF:"dem.nc":z): GDAL tries it, and the files it reads are checked
    // once it is open.
    std::string reel = chemin_reel(r.entree);
    bool absent = !reel.empty() && genre_fichier(reel, true) == ABSENT;
    if (!absent) fichier_regulier(r.entree);
    std::string erreur;
    if (!(g.lecture = gdal()->ouvre_dem(r.entree.c_str(), r.bande, r.echelle_z, g.dem, erreur))) {
        if (absent) echec("%s: cannot be opened: %s", r.entree.c_str(), strerror(ENOENT));
        std::string descripteur = fs::path(r.entree).replace_extension(".txt").string();
        if (fs::path(r.entree).extension() == ".raw")
            echec("%s: cannot be opened: no descriptor %s beside it for a native DEM (lines, columns, 4, minimum, "
                  "maximum, pixel size), and not a raster GDAL reads",
                  r.entree.c_str(), descripteur.c_str());
        if (erreur == "cannot be opened: GDAL gives no reason") erreur = "cannot be opened: not a raster GDAL reads";
        echec("%s: %s", r.entree.c_str(), erreur.c_str());
    }
    nb_lig = g.dem.nb_lig;
    nb_col = g.dem.nb_col;
    pix_size = g.dem.pix_size;
    std::vector<std::string> tous = g.dem.fichiers;
    tous.push_back(r.entree);
    for (const std::string& f : tous) {
        fichier_regulier(f);
        std::string reel = chemin_reel(f);
        std::error_code ec;
        if (reel.empty() || !fs::is_regular_file(reel, ec)) continue;
        fichiers.push_back(reel);
        g.empreintes.push_back({reel, fs::file_size(reel, ec), fs::last_write_time(reel, ec)});
    }
}

// Only a DEM that GDAL opened has a place on the map or fractions.
bool dem_georeference(const ContexteGdal& g, double geo[6])
{
    if (!g.lecture || !g.dem.geo_ok) return false;
    for (int k = 0; k < 6; k++) geo[k] = g.dem.geo[k];
    return true;
}

bool dem_wkt_esri(const ContexteGdal& g, std::string& wkt) { return g.lecture && gdal()->wkt_esri(g.lecture, wkt); }

bool dem_couteux(const ContexteGdal& g) { return g.lecture && g.dem.couteux; }
bool dem_etroit(const ContexteGdal& g) { return g.lecture && g.dem.etroit; }

bool dem_a_fractions(const ContexteGdal& g) { return g.lecture && gdal()->fractions(g.lecture); }
std::string pilote_pour(const std::string& chemin) { return gdal()->pilote_pour(chemin.c_str()); }
int capacites_pilote(const std::string& nom) { return gdal()->pilote(nom.c_str()); }

void ouvre_image_gdal(ContexteGdal& g, JeuResultats& j, const Requete& r, uint64_t manquants)
{
    g.nom_image = r.image;
    g.reelles = r.reelles;
    g.largeur = nb_col;
    std::string erreur;
    bool masque = !r.reelles && manquants > 0;
    std::string prive = resultat_prive(j, r.image), brouillon = resultat_brouillon(j, ".copy.tif");
    g.image = gdal()->cree_image(g.lecture, prive.c_str(), r.pilote.c_str(), r.options, nb_col, nb_lig, r.reelles,
                                 masque, brouillon.c_str(), erreur);
    if (!g.image) echec("%s: %s", r.image.c_str(), noms_finals(erreur).c_str());
    if (!r.reelles && manquants > 0 && !masque)
        avertit("%s: %s stores no mask: the %llu missing cells are nodata 0, as are the cells whose byte is 0",
                r.image.c_str(), r.pilote.c_str(), (unsigned long long)manquants);
}

// Written in pieces of a size that does not depend on the threads: the
// driver lays out image and mask blocks in the order they come, so any
// number of threads writes the same file.
static bool ecrit_bloc(void* contexte, int premiere, int nombre, const void* valeurs, const unsigned char* presence,
                       std::string& erreur)
{
    ContexteGdal& g = *(ContexteGdal*)contexte;
    int piece = std::max(1, (1 << 18) / g.largeur);
    size_t taille = g.reelles ? sizeof(float) : 1;
    for (int r = 0; r < nombre; r += piece) {
        size_t decalage = (size_t)r * g.largeur;
        if (!gdal()->ecrit_bloc(g.image, premiere + r, std::min(piece, nombre - r),
                                (const char*)valeurs + decalage * taille, presence ? presence + decalage : nullptr,
                                erreur)) {
            erreur = g.nom_image + ": " + noms_finals(erreur);
            return false;
        }
    }
    return true;
}

tavelkorn::Puits puits_gdal(ContexteGdal& g)
{
    tavelkorn::Puits p;
    p.contexte = &g;
    p.ecrit_bloc = ecrit_bloc;
    return p;
}

void ferme_image_gdal(ContexteGdal& g, const Requete& r)
{
    std::string erreur;
    ImageGdal* image = g.image;
    g.image = nullptr;  // freed by the module, closed or not
    if (!gdal()->ferme_image(image, erreur)) echec("%s: %s", r.image.c_str(), noms_finals(erreur).c_str());
}

void decrit_image_gdal(ContexteGdal& g, const std::vector<std::pair<std::string, std::string>>& items)
{
    for (const auto& i : items) gdal()->metadonnee(g.image, i.first.c_str(), i.second.c_str());
}

void ferme_gdal(ContexteGdal& g)
{
    if (!module_) return;  // nothing was opened through it
    if (g.image) module_->abandonne(g.image);
    if (g.lecture) module_->ferme_dem(g.lecture);
    g.image = nullptr;
    g.lecture = nullptr;
}
