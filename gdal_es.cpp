// GDAL's formats: a DEM band as the source of the computation, and any
// driver that creates files as the image's writer. Built as a module that
// the program loads only when a run needs GDAL: its libraries take longer
// to load than a whole run of the native formats, and tens of MiB.
#include "tavelkorn.h"

#include "plateforme.h"

#include <cmath>
#include <climits>
#include <cstring>
#include <filesystem>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal.h>

namespace gdal_es {  // the program's own names are the module's entry points

GDALDatasetH ds_entree;
static GDALRasterBandH bande_entree;
static GDALDataType type_entree;
static bool a_nodata, lecture_entiere, fractions;
static double nodata, geo[6];
static bool geo_ok;
static std::vector<double> reels;

static const char* erreur_gdal()
{
    const char* m = CPLGetLastErrorMsg();
    return *m ? m : "GDAL gives no reason";
}

static void prepare_gdal()
{
    static bool fait = false;
    if (fait) return;
    GDALAllRegister();
    CPLSetErrorHandler(CPLQuietErrorHandler);  // every failure is told by our own message
    GDALSetCacheMax64((GIntBig)64 << 20);       // memory stays proportional to the width
    CPLSetConfigOption("GDAL_TIFF_INTERNAL_MASK", "YES");  // the mask travels inside the GeoTIFF
    fait = true;
}

static bool manque(double v)
{
    if (std::isnan(v)) return true;
    if (!a_nodata) return false;
    // A Float32 band's nodata is compared as the float it was stored as.
    return type_entree == GDT_Float32 ? (float)v == (float)nodata : v == nodata;
}

// Rows of the band as whole elevations: integer bands that fit are read as
// they are; any other is read as doubles, multiplied by --z-scale and rounded
// half away from zero.
static void lit_bloc_gdal(int premiere, int nombre, int* z, unsigned char* presence)
{
    size_t cellules = (size_t)nombre * nb_col;
    if (lecture_entiere) {
        if (GDALRasterIO(bande_entree, GF_Read, 0, premiere, nb_col, nombre, z, nb_col, nombre, GDT_Int32, 0, 0) !=
            CE_None)
            echec("%s: cannot be read: %s", nomim1.c_str(), erreur_gdal());
        if (avec_manquants)
            for (size_t k = 0; k < cellules; k++) presence[k] = (double)z[k] != nodata;
        return;
    }
    reels.resize(cellules);
    if (GDALRasterIO(bande_entree, GF_Read, 0, premiere, nb_col, nombre, reels.data(), nb_col, nombre, GDT_Float64, 0,
                     0) != CE_None)
        echec("%s: cannot be read: %s", nomim1.c_str(), erreur_gdal());
    for (size_t k = 0; k < cellules; k++) {
        double v = reels[k];
        bool present = !manque(v);
        if (avec_manquants) presence[k] = present;
        if (!present) {
            z[k] = 0;
            continue;
        }
        double r = std::round(v * echelle_z);
        fractions |= r != v * echelle_z;
        if (!(r >= INT_MIN && r <= INT_MAX))
            echec("%s: elevation %.17g times --z-scale %g is %.17g, beyond the 32-bit range; choose a smaller "
                  "--z-scale",
                  nomim1.c_str(), v, echelle_z, r);
        z[k] = (int)r;
    }
}

static void ouvre_dem_gdal(const std::string& chemin, int bande)
{
    prepare_gdal();
    ds_entree = GDALOpenEx(chemin.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
    if (!ds_entree) echec("%s: cannot be opened: %s", chemin.c_str(), erreur_gdal());
    int bandes = GDALGetRasterCount(ds_entree);
    if (bande < 1 || bande > bandes) echec("%s: has no band %d (it has %d)", chemin.c_str(), bande, bandes);
    bande_entree = GDALGetRasterBand(ds_entree, bande);
    type_entree = GDALGetRasterDataType(bande_entree);
    if (GDALDataTypeIsComplex(type_entree)) echec("%s: complex values are not elevations", chemin.c_str());
    nb_col = GDALGetRasterXSize(ds_entree);
    nb_lig = GDALGetRasterYSize(ds_entree);
    int a = 0;
    nodata = GDALGetRasterNoDataValue(bande_entree, &a);
    a_nodata = a != 0;
    bool flottant = GDALDataTypeIsFloating(type_entree);
    bool entier_32 = type_entree == GDT_Byte || type_entree == GDT_Int16 || type_entree == GDT_UInt16 ||
                     type_entree == GDT_Int32;
    lecture_entiere = entier_32 && echelle_z == 1.0;
    avec_manquants = flottant || a_nodata;
    geo_ok = GDALGetGeoTransform(ds_entree, geo) == CE_None;
    pix_size = geo_ok ? (int)std::lround(std::fabs(geo[1])) : 0;
    lit_bloc = lit_bloc_gdal;
}

static bool dem_georeference(double g[6])
{
    if (!ds_entree || !geo_ok) return false;
    memcpy(g, geo, sizeof geo);
    return true;
}

static bool dem_a_fractions() { return fractions && echelle_z == 1.0 && GDALDataTypeIsFloating(type_entree); }

static bool pilote_cree(const std::string& nom);

static std::string pilote_pour(const std::string& chemin)
{
    prepare_gdal();
    std::string ext = std::filesystem::path(chemin).extension().string();
    if (ext.size() < 2) return "";
    ext = ext.substr(1);
    for (int k = 0; k < GDALGetDriverCount(); k++) {
        GDALDriverH d = GDALGetDriver(k);
        const char* exts = GDALGetMetadataItem(d, GDAL_DMD_EXTENSIONS, nullptr);
        if (!exts || !pilote_cree(GDALGetDriverShortName(d))) continue;
        char** liste = CSLTokenizeString(exts);
        bool trouve = false;
        for (char** e = liste; e && *e && !trouve; e++) trouve = EQUAL(*e, ext.c_str());
        CSLDestroy(liste);
        if (trouve) return GDALGetDriverShortName(d);
    }
    return "";
}

static bool pilote_cree(const std::string& nom)
{
    prepare_gdal();
    GDALDriverH d = GDALGetDriverByName(nom.c_str());
    return d && GDALGetMetadataItem(d, GDAL_DCAP_RASTER, nullptr) &&
           (GDALGetMetadataItem(d, GDAL_DCAP_CREATE, nullptr) || GDALGetMetadataItem(d, GDAL_DCAP_CREATECOPY, nullptr));
}

// Writes every row into the open dataset: the bytes or the Float32 values,
// and the mask of the missing cells when it has one.
static void ecrit_lignes(GDALDatasetH ds, const std::string& nom)
{
    GDALRasterBandH b = GDALGetRasterBand(ds, 1);
    GDALRasterBandH masque = nullptr;
    if (!valeurs_reelles && nb_manquants > 0) {
        if (GDALCreateDatasetMaskBand(ds, GMF_PER_DATASET) != CE_None)
            echec("%s: the mask of the missing cells cannot be created: %s", nom.c_str(), erreur_gdal());
        masque = GDALGetMaskBand(b);
    }
    std::vector<unsigned char> m((size_t)nb_col);
    for (int i = 0; i < nb_lig;) {
        const unsigned char* o = ligne_image(i, nullptr);
        int k = reste_du_bloc(i);
        CPLErr e = valeurs_reelles ? GDALRasterIO(b, GF_Write, 0, i, nb_col, k, (void*)valeurs_image(i), nb_col, k,
                                                  GDT_Float32, 0, 0)
                                   : GDALRasterIO(b, GF_Write, 0, i, nb_col, k, (void*)o, nb_col, k, GDT_Byte, 0, 0);
        for (int r = i; masque && r < i + k && e == CE_None; r++) {
            const unsigned char* p = presence_image(r);
            for (int j = 0; j < nb_col; j++) m[j] = !p || p[j] ? 255 : 0;
            e = GDALRasterIO(masque, GF_Write, 0, r, nb_col, 1, m.data(), nb_col, 1, GDT_Byte, 0, 0);
        }
        if (e != CE_None) echec("%s: could not be written completely: %s", nom.c_str(), erreur_gdal());
        i += k;
    }
}

// Closes a dataset written by the program; GDAL reports late write
// failures (a full disk when the last blocks go out) only here.
static void ferme_gdal(GDALDatasetH ds, const std::string& nom)
{
    CPLErrorReset();
    GDALClose(ds);
    if (CPLGetLastErrorType() >= CE_Failure)
        echec("%s: could not be written completely: %s", nom.c_str(), erreur_gdal());
}

// The image is written under a temporary name, like every result. Drivers
// that only copy (PNG, JPEG ...) copy a temporary GeoTIFF written first. The
// files a driver adds beside its own (.aux.xml, .hdr, a world file) are
// renamed with it.
static void ecrit_image_gdal()
{
    GDALDriverH d = GDALGetDriverByName(pilote.c_str());
    bool direct = GDALGetMetadataItem(d, GDAL_DCAP_CREATE, nullptr) != nullptr;
    std::string temporaire = nom_temporaire(nomim2);
    std::string cible = direct ? temporaire : nom_temporaire(nomim2 + ".tif");
    protege_temporaire(temporaire);
    if (!direct) protege_temporaire(cible);
    char** co = nullptr;
    for (const std::string& o : options_creation) co = CSLAddString(co, o.c_str());

    GDALDriverH dc = direct ? d : GDALGetDriverByName("GTiff");
    GDALDatasetH ds = GDALCreate(dc, cible.c_str(), nb_col, nb_lig, 1, valeurs_reelles ? GDT_Float32 : GDT_Byte,
                                 direct ? co : nullptr);
    if (!ds) echec("%s: cannot be created: %s", nomim2.c_str(), erreur_gdal());
    if (geo_ok) GDALSetGeoTransform(ds, geo);
    const char* wkt = ds_entree ? GDALGetProjectionRef(ds_entree) : nullptr;
    if (wkt && *wkt) GDALSetProjection(ds, wkt);
    if (valeurs_reelles) GDALSetRasterNoDataValue(GDALGetRasterBand(ds, 1), NAN);
    ecrit_lignes(ds, nomim2);
    ferme_gdal(ds, nomim2);

    if (!direct) {
        GDALDatasetH source = GDALOpen(cible.c_str(), GA_ReadOnly);
        GDALDatasetH copie = source ? GDALCreateCopy(d, temporaire.c_str(), source, FALSE, co, nullptr, nullptr) : nullptr;
        if (source) GDALClose(source);
        if (!copie) echec("%s: cannot be created: %s", nomim2.c_str(), erreur_gdal());
        ferme_gdal(copie, nomim2);
        GDALDeleteDataset(dc, cible.c_str());
        oublie_temporaire(cible);
    }
    CSLDestroy(co);

    namespace fs = std::filesystem;
    fs::path t(temporaire), f(nomim2);
    std::string souche_t = t.stem().string(), souche_f = f.stem().string();
    std::error_code ec;
    fs::path dossier = t.parent_path().empty() ? fs::path(".") : t.parent_path();
    for (auto& e : fs::directory_iterator(dossier, ec)) {
        std::string nom = e.path().filename().string();
        if (nom.compare(0, souche_t.size(), souche_t) != 0) continue;
        std::string de = (t.parent_path() / nom).string();
        if (ajoute_resultat(de, (f.parent_path() / (souche_f + nom.substr(souche_t.size()))).string()))
            protege_temporaire(de);
    }
}


}  // namespace gdal_es

extern "C" const ModuleGdal* tavelkorn_gdal()
{
    static const ModuleGdal table = {gdal_es::ouvre_dem_gdal, gdal_es::dem_georeference, gdal_es::dem_a_fractions,
                                     gdal_es::ecrit_image_gdal, gdal_es::pilote_pour, gdal_es::pilote_cree};
    return &table;
}
