// Any file handed to the GDAL module as a DEM, for its direct reader of
// uncompressed GeoTIFFs: a header may claim any size, layout or offset.
// The file is opened read directly only (TAVELKORN_GTIFF_DIRECT=ONLY); when
// the direct reader takes it, its rows (the first, the middle and the last
// ones) must be those GDAL's own reading gives, failure for failure. The
// input's size picks the z-scale: 1 (integer bands as they are) or 0.5.
#include "../src/gdal/module.h"

#include <algorithm>
#include <cpl_conv.h>
#include <cpl_string.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gdal.h>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" const ModuleGdal* tavelkorn_gdal(const RappelsProgramme* r);

namespace {

const RappelsProgramme kRappels = {[](const char*) {}};  // GDAL's warnings are not the point

struct Lecture {
    bool ok;
    tavelkorn::Erreur erreur;
    std::vector<int> z;
    std::vector<unsigned char> presence;
};

// Rows premiere .. premiere + nombre - 1 of the DEM at chemin, read the way mode says.
bool ouvre(const ModuleGdal* m, const char* chemin, const char* mode, double echelle, LectureGdal*& l, DemGdal& dem)
{
    CPLSetConfigOption("TAVELKORN_GTIFF_DIRECT", mode);
    std::string erreur;
    dem = DemGdal();
    l = m->ouvre_dem(chemin, 1, echelle, dem, erreur);
    if (!l && erreur.empty()) abort();  // a refusal always says why
    return l != nullptr;
}

Lecture lit(const ModuleGdal* m, LectureGdal* l, const DemGdal& dem, int premiere, int nombre)
{
    Lecture r;
    size_t n = (size_t)nombre * dem.nb_col;
    r.z.assign(n, -7);
    r.presence.assign(dem.manquants ? n : 0, 9);
    r.ok = m->lit_bloc(l, premiere, nombre, r.z.data(), dem.manquants ? r.presence.data() : nullptr, r.erreur);
    if (!r.ok && r.erreur.texte.empty()) abort();
    for (unsigned char p : r.presence)
        if (r.ok && p > 1) abort();
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const ModuleGdal* m = nullptr;
    static const std::string chemin = "/tmp/tavelkorn-fuzz-" + std::to_string(getpid()) + "-dem.tif";
    if (!m) {
        m = tavelkorn_gdal(&kRappels);
        m->pilote("GTiff");  // GDAL's drivers, registered once
        // GeoTIFF's alone: no other driver is asked to identify the input
        // (some would follow a URL that a mutated input spells).
        // Kept to the end (GDAL would keep them), not destroyed: GDALOpenEx fails after that.
        static auto* autres = new std::vector<GDALDriverH>;
        for (int k = GDALGetDriverCount() - 1; k >= 0; k--)
            if (!EQUAL(GDALGetDriverShortName(GDALGetDriver(k)), "GTiff")) autres->push_back(GDALGetDriver(k));
        for (GDALDriverH d : *autres) GDALDeregisterDriver(d);
        CPLSetConfigOption("GDAL_PAM_ENABLED", "NO");  // no .aux.xml beside the input
        atexit([] { remove(chemin.c_str()); });
    }
    FILE* f = fopen(chemin.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);

    double echelle = size % 2 ? 0.5 : 1.0;
    DemGdal dem, dem_gdal;
    LectureGdal *direct = nullptr, *gdal = nullptr;
    if (!ouvre(m, chemin.c_str(), "ONLY", echelle, direct, dem)) return 0;
    // What the direct reader takes is bounded by the file: GDAL may read it too.
    if (!ouvre(m, chemin.c_str(), "NO", echelle, gdal, dem_gdal)) abort();
    if (dem.nb_lig != dem_gdal.nb_lig || dem.nb_col != dem_gdal.nb_col || dem.manquants != dem_gdal.manquants)
        abort();
    if (dem.nb_lig < 1 || dem.nb_col < 1 || (uint64_t)dem.nb_lig * dem.nb_col > size) abort();
    int lignes = std::max(1, std::min(dem.nb_lig, (1 << 16) / dem.nb_col));
    for (int premiere : {0, (dem.nb_lig - lignes) / 2, dem.nb_lig - lignes}) {
        Lecture a = lit(m, direct, dem, premiere, lignes), b = lit(m, gdal, dem, premiere, lignes);
        if (a.ok != b.ok) abort();
        if (a.ok && (a.z != b.z || a.presence != b.presence)) abort();
    }
    // Rows outside the DEM are refused, never read.
    if (lit(m, direct, dem, dem.nb_lig - lignes + 1, lignes).ok) abort();
    m->ferme_dem(direct);
    m->ferme_dem(gdal);
    return 0;
}
