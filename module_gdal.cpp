// The program's side of GDAL's formats: the module tavelkorn_gdal is loaded
// from beside the program (or its lib/tavelkorn/ folder once installed) the
// first time a run needs it, so that runs of the native formats never pay
// for GDAL's libraries.
#include "tavelkorn.h"

#include "plateforme.h"

std::string pilote;
std::vector<std::string> options_creation;

#ifdef TAVELKORN_GDAL
const bool avec_gdal = true;

static const ModuleGdal* gdal()
{
    static const ModuleGdal* table = nullptr;
    if (table) return table;
    std::string erreur;
    std::string dossier = repertoire_programme();
    typedef const ModuleGdal* (*Entree)();
    Entree entree = nullptr;
    for (const char* ou : {"", "../lib/tavelkorn/"}) {
        void* m = charge_module(dossier + ou + MODULE_GDAL, erreur);
        if (m && (entree = (Entree)symbole_module(m, "tavelkorn_gdal"))) break;
    }
    if (!entree) echec("GDAL's formats need the module %s beside the program: %s", MODULE_GDAL, erreur.c_str());
    return table = entree();
}
#else
const bool avec_gdal = false;

[[noreturn]] static const ModuleGdal* gdal() { echec("this build has no GDAL"); }
#endif

// Only a DEM that GDAL opened has a place on the map or fractions.
static bool source_gdal;

void ouvre_dem_gdal(const std::string& chemin, int bande)
{
    if (!avec_gdal)
        echec("%s: not a native DEM (NAME.raw with NAME.txt beside it); other formats need a build with GDAL",
              chemin.c_str());
    gdal()->ouvre_dem(chemin, bande);
    source_gdal = true;
}

bool dem_georeference(double geo[6]) { return source_gdal && gdal()->georeference(geo); }
bool dem_a_fractions() { return source_gdal && gdal()->fractions(); }
void ecrit_image_gdal() { gdal()->ecrit_image(); }
std::string pilote_pour(const std::string& chemin) { return gdal()->pilote_pour(chemin); }
bool pilote_cree(const std::string& nom) { return gdal()->pilote_cree(nom); }
