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

static const ModuleGdal* module_;
static DemGdal dem;
static bool source_gdal;  // only a DEM that GDAL opened has a place on the map or fractions
static std::string nom_dem, nom_image;

struct Etat {
    std::string chemin;
    uintmax_t taille;
    fs::file_time_type date;
};
static std::vector<Etat> etats;  // the DEM's files as opened: they must not change under the run

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

static void lit_bloc_gdal(int premiere, int nombre, int* z, unsigned char* presence)
{
    std::string erreur;
    if (!gdal()->lit_bloc(premiere, nombre, z, presence, erreur)) echec("%s: %s", nom_dem.c_str(), erreur.c_str());
}

static void fin_de_passe_gdal(int)
{
    std::error_code ec, ed;
    for (const Etat& e : etats)
        if (fs::file_size(e.chemin, ec) != e.taille || fs::last_write_time(e.chemin, ed) != e.date || ec || ed)
            echec("%s: changed during the run; no result was written", e.chemin.c_str());
}

static const Source SOURCE_GDAL = {"GDAL", false, false, lit_bloc_gdal, fin_de_passe_gdal};
static const Source SOURCE_GDAL_MANQUANTS = {"GDAL", false, true, lit_bloc_gdal, fin_de_passe_gdal};
static const Source SOURCE_GDAL_PARALLELE = {"GDAL", true, false, lit_bloc_gdal, fin_de_passe_gdal};
static const Source SOURCE_GDAL_PARALLELE_MANQUANTS = {"GDAL", true, true, lit_bloc_gdal, fin_de_passe_gdal};

void ouvre_dem_gdal(const Requete& r, std::vector<std::string>& fichiers)
{
    if (!avec_gdal)
        echec("%s: not a native DEM (NAME.raw with NAME.txt beside it); other formats need a build with GDAL",
              r.entree.c_str());
    nom_dem = r.entree;
    std::string reel = chemin_reel(r.entree);
    if (!reel.empty() && genre_fichier(reel, true) == ABSENT)
        echec("%s: cannot be opened: %s", r.entree.c_str(), strerror(ENOENT));
    fichier_regulier(r.entree);
    std::string erreur;
    if (!gdal()->ouvre_dem(r.entree.c_str(), r.bande, r.echelle_z, dem, erreur))
        echec("%s: %s", r.entree.c_str(), erreur.c_str());
    source_gdal = true;
    nb_lig = dem.nb_lig;
    nb_col = dem.nb_col;
    pix_size = dem.pix_size;
    if (dem.parallele) source = dem.manquants ? &SOURCE_GDAL_PARALLELE_MANQUANTS : &SOURCE_GDAL_PARALLELE;
    else source = dem.manquants ? &SOURCE_GDAL_MANQUANTS : &SOURCE_GDAL;
    std::vector<std::string> tous = dem.fichiers;
    tous.push_back(r.entree);
    for (const std::string& f : tous) {
        fichier_regulier(f);
        std::string reel = chemin_reel(f);
        std::error_code ec;
        if (reel.empty() || !fs::is_regular_file(reel, ec)) continue;
        fichiers.push_back(reel);
        etats.push_back({reel, fs::file_size(reel, ec), fs::last_write_time(reel, ec)});
    }
}

bool dem_georeference(double geo[6])
{
    if (!source_gdal || !dem.geo_ok) return false;
    for (int k = 0; k < 6; k++) geo[k] = dem.geo[k];
    return true;
}

bool dem_wkt_esri(std::string& wkt) { return source_gdal && gdal()->wkt_esri(wkt); }

bool dem_couteux() { return source_gdal && dem.couteux; }
bool dem_etroit() { return source_gdal && dem.etroit; }

bool dem_a_fractions() { return source_gdal && gdal()->fractions(); }
std::string pilote_pour(const std::string& chemin) { return gdal()->pilote_pour(chemin.c_str()); }
int capacites_pilote(const std::string& nom) { return gdal()->pilote(nom.c_str()); }

void ouvre_image_gdal(const Requete& r)
{
    nom_image = r.image;
    std::string erreur;
    bool masque = !r.reelles && nb_manquants > 0;
    if (!gdal()->cree_image(resultat_prive(r.image).c_str(), r.pilote.c_str(), r.options, nb_col, nb_lig, r.reelles, masque,
                            resultat_brouillon(".copy.tif").c_str(), erreur))
        echec("%s: %s", r.image.c_str(), noms_finals(erreur).c_str());
    if (!r.reelles && nb_manquants > 0 && !masque)
        avertit("%s: %s stores no mask: the %llu missing cells are nodata 0, as are the cells whose byte is 0",
                r.image.c_str(), r.pilote.c_str(), (unsigned long long)nb_manquants);
}

static void ecrit_bloc(int premiere, int nombre)
{
    const void* v = valeurs_reelles ? (const void*)valeurs_image(premiere) : (const void*)ligne_image(premiere, nullptr);
    std::string erreur;
    if (!gdal()->ecrit_bloc(premiere, nombre, v, presence_image(premiere), erreur))
        echec("%s: %s", nom_image.c_str(), noms_finals(erreur).c_str());
}

void ecrit_image_gdal(const Requete& r)
{
    pour_chaque_bloc(ecrit_bloc);
    std::string erreur;
    if (!gdal()->ferme_image(erreur)) echec("%s: %s", r.image.c_str(), noms_finals(erreur).c_str());
}

void abandonne_gdal()
{
    if (module_) module_->abandonne();
}
