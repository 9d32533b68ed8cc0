// GDAL's formats: a DEM band as the source of the computation, and any
// driver that writes files as the image's writer. Built as a module that
// the program loads only when a run needs GDAL: its libraries take longer
// to load than a whole run of the native formats, and tens of MiB.
#include "gdal_lecture.h"
#include "module.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal.h>
#include <ogr_srs_api.h>

namespace {

const RappelsProgramme* rappels;
GDALDatasetH ds_entree, ds_sortie;
GDALRasterBandH bande_entree;
GDALDataType type_entree;
int largeur;
bool direct, avance, sortie_reelle;  // read by the direct reader, read ahead
bool octet_signe;  // a Byte band that says its bytes are signed (PIXELTYPE=SIGNEDBYTE): -128 .. 127
std::atomic<bool> fractions;  // the direct reader's threads set it side by side
Regles regles;
std::vector<double> reels;
// The image of a driver that only copies: the GeoTIFF written first, and
// what the copy needs.
GDALDriverH pilote_final;
std::string chemin_final, brouillon;
char** options;

std::string erreur_gdal()
{
    const char* m = CPLGetLastErrorMsg();
    return *m ? m : "GDAL gives no reason";
}

// GDAL's warnings (an unknown creation option ...) reach the user as
// gdal_translate would show them; its failures are told by the program's own
// message, which quotes them.
void CPL_STDCALL gestionnaire(CPLErr e, CPLErrorNum, const char* texte)
{
    if (e == CE_Warning && rappels) rappels->avertit(texte);
}

void prepare_gdal()
{
    static bool fait = false;
    if (fait) return;
    GDALAllRegister();
    CPLSetErrorHandler(gestionnaire);
    GDALSetCacheMax64((GIntBig)64 << 20);       // memory stays proportional to the width
    CPLSetConfigOption("GDAL_TIFF_INTERNAL_MASK", "YES");  // the mask travels inside the GeoTIFF
    // Compressed tiles are decoded on every core, unless the user says otherwise.
    if (!CPLGetConfigOption("GDAL_NUM_THREADS", nullptr)) CPLSetConfigOption("GDAL_NUM_THREADS", "ALL_CPUS");
    fait = true;
}

bool ouvre_dem(const char* chemin, int bande, double echelle_z, DemGdal& dem, std::string& erreur)
{
    prepare_gdal();
    ds_entree = GDALOpenEx(chemin, GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
    if (!ds_entree) return erreur = "cannot be opened: " + erreur_gdal(), false;
    int bandes = GDALGetRasterCount(ds_entree);
    if (bande < 1 || bande > bandes)
        return erreur = "has no band " + std::to_string(bande) + " (it has " + std::to_string(bandes) + ")", false;
    bande_entree = GDALGetRasterBand(ds_entree, bande);
    type_entree = GDALGetRasterDataType(bande_entree);
    if (GDALDataTypeIsComplex(type_entree)) return erreur = "complex values are not elevations", false;
    dem.nb_col = largeur = GDALGetRasterXSize(ds_entree);
    dem.nb_lig = GDALGetRasterYSize(ds_entree);
    int a = 0;
    regles.bande = type_entree;
    regles.nodata = GDALGetRasterNoDataValue(bande_entree, &a);
    regles.a_nodata = a != 0;
    regles.echelle = echelle_z;
    const char* pixels = GDALGetMetadataItem(bande_entree, "PIXELTYPE", "IMAGE_STRUCTURE");
    octet_signe = type_entree == GDT_Byte && pixels && EQUAL(pixels, "SIGNEDBYTE");
    bool entier_32 = type_entree == GDT_Byte || type_entree == GDT_Int16 || type_entree == GDT_UInt16 ||
                     type_entree == GDT_Int32;
#if GDAL_VERSION_NUM >= 3070000
    entier_32 |= type_entree == GDT_Int8;
#endif
    regles.entiere = entier_32 && echelle_z == 1.0;
    dem.manquants = regles.manquants = GDALDataTypeIsFloating(type_entree) || regles.a_nodata;
    fractions = false;

    dem.geo_ok = GDALGetGeoTransform(ds_entree, dem.geo) == CE_None;
    dem.pix_size = dem.geo_ok ? (int)std::lround(std::fabs(dem.geo[1])) : 0;
    // An uncompressed GeoTIFF or a raw format reads again as fast as a copy
    // of it would; anything else is decoded once.
    const char* pilote_entree = GDALGetDriverShortName(GDALGetDatasetDriver(ds_entree));
    const char* compression = GDALGetMetadataItem(ds_entree, "COMPRESSION", "IMAGE_STRUCTURE");
    bool brut = EQUAL(pilote_entree, "ENVI") || EQUAL(pilote_entree, "EHdr") ||
                (EQUAL(pilote_entree, "GTiff") && (!compression || EQUAL(compression, "NONE")));
    dem.couteux = !brut;
    dem.etroit = regles.entiere && (type_entree == GDT_Int16 || type_entree == GDT_Byte);
    // The cache holds two rows of blocks, so that a read never decodes a
    // block an earlier read decoded; a DEM read twice keeps more of it for
    // the second pass, a DEM decoded once (kept by the program) needs no more.
    int bx, by;
    GDALGetBlockSize(bande_entree, &bx, &by);
    GIntBig rangee = (GIntBig)dem.nb_col * by * GDALGetDataTypeSizeBytes(type_entree);
    GDALSetCacheMax64(std::max((GIntBig)(dem.couteux ? 16 : 48) << 20, 2 * rangee));
    // TAVELKORN_GTIFF_DIRECT (for the tests): NO reads every DEM as GDAL
    // gives the rows asked for; ONLY refuses a DEM that cannot be read
    // directly.
    const char* voulu = CPLGetConfigOption("TAVELKORN_GTIFF_DIRECT", "YES");
    bool simple = EQUAL(voulu, "NO");
    std::string pourquoi = "not asked";
    dem.parallele = direct = !simple && tiff_ouvre(ds_entree, bande_entree, regles, pourquoi);
    if (!direct && EQUAL(voulu, "ONLY")) return erreur = "not read directly: " + pourquoi, false;
    avance = !simple && !direct && dem.couteux && avance_ouvre(chemin, bande, regles);
    char** liste = GDALGetFileList(ds_entree);
    for (char** f = liste; f && *f; f++) dem.fichiers.push_back(*f);
    CSLDestroy(liste);
    return true;
}

// Rows of the band as whole elevations: integer bands that fit are read as
// they are; any other is read as doubles, multiplied by the z-scale and
// rounded half away from zero.
bool lit_bloc(int premiere, int nombre, int* z, unsigned char* presence, std::string& erreur)
{
    bool f = false, ok;
    if (direct) {
        ok = tiff_lit(premiere, nombre, z, presence, f, erreur);
    } else if (avance) {
        ok = avance_lit(premiere, nombre, z, presence, f, erreur);
    } else {
        bool entiere = regles.entiere;
        if (!entiere) reels.resize((size_t)nombre * largeur);
        void* dans = entiere ? (void*)z : (void*)reels.data();
        if (GDALRasterIO(bande_entree, GF_Read, 0, premiere, largeur, nombre, dans, largeur, nombre,
                         entiere ? GDT_Int32 : GDT_Float64, 0, 0) != CE_None)
            return erreur = "cannot be read: " + erreur_gdal(), false;
        if (octet_signe) {  // GDAL gives a signed byte's bits as 0 .. 255
            size_t n = (size_t)nombre * largeur;
            if (entiere) for (size_t k = 0; k < n; k++) z[k] = z[k] > 127 ? z[k] - 256 : z[k];
            else for (size_t k = 0; k < n; k++) reels[k] = reels[k] > 127 ? reels[k] - 256 : reels[k];
        }
        ok = convertit(dans, entiere ? GDT_Int32 : GDT_Float64, false, nombre, largeur, largeur, z, presence, largeur,
                       regles, f, erreur);
    }
    if (f) fractions = true;
    return ok;
}

bool a_fractions() { return fractions && regles.echelle == 1.0 && GDALDataTypeIsFloating(type_entree); }

int pilote(const char* nom)
{
    prepare_gdal();
    GDALDriverH d = GDALGetDriverByName(nom);
    if (!d || !GDALGetMetadataItem(d, GDAL_DCAP_RASTER, nullptr)) return 0;
    int p = 0;
    if (GDALGetMetadataItem(d, GDAL_DCAP_CREATE, nullptr)) p |= PILOTE_CREE;
    else if (GDALGetMetadataItem(d, GDAL_DCAP_CREATECOPY, nullptr)) p |= PILOTE_COPIE;
    if (!EQUAL(nom, "MEM") && (GDALGetMetadataItem(d, GDAL_DMD_EXTENSION, nullptr) ||
                               GDALGetMetadataItem(d, GDAL_DMD_EXTENSIONS, nullptr)))
        p |= PILOTE_FICHIERS;
    const char* types = GDALGetMetadataItem(d, GDAL_DMD_CREATIONDATATYPES, nullptr);
    if (!types || strstr(types, "Float32")) p |= PILOTE_FLOAT32;
    return p;
}

std::string pilote_pour(const char* chemin)
{
    prepare_gdal();
    std::string ext = std::filesystem::path(chemin).extension().string();
    if (ext.size() < 2) return "";
    ext = ext.substr(1);
    for (int k = 0; k < GDALGetDriverCount(); k++) {
        GDALDriverH d = GDALGetDriver(k);
        const char* exts = GDALGetMetadataItem(d, GDAL_DMD_EXTENSIONS, nullptr);
        if (!exts || !(pilote(GDALGetDriverShortName(d)) & (PILOTE_CREE | PILOTE_COPIE))) continue;
        char** liste = CSLTokenizeString(exts);
        bool trouve = false;
        for (char** e = liste; e && *e && !trouve; e++) trouve = EQUAL(*e, ext.c_str());
        CSLDestroy(liste);
        if (trouve) return GDALGetDriverShortName(d);
    }
    return "";
}

// Drivers that only copy (PNG, JPEG ...) copy a GeoTIFF written first,
// strictly: a type the driver cannot store is a failure, never a silent
// conversion.
bool cree_image(const char* chemin, const char* nom_pilote, const std::vector<std::string>& co, int l, int h,
                bool reelles, bool& masque, const char* brouillon_, std::string& erreur)
{
    prepare_gdal();
    GDALDriverH d = GDALGetDriverByName(nom_pilote);
    bool direct = GDALGetMetadataItem(d, GDAL_DCAP_CREATE, nullptr) != nullptr;
    CSLDestroy(options);
    options = nullptr;
    for (const std::string& o : co) options = CSLAddString(options, o.c_str());
    pilote_final = d;
    chemin_final = chemin;
    brouillon = direct ? "" : brouillon_;
    GDALDriverH dc = direct ? d : GDALGetDriverByName("GTiff");
    sortie_reelle = reelles;
    CPLErrorReset();
    largeur = l;
    ds_sortie = GDALCreate(dc, direct ? chemin : brouillon_, l, h, 1, reelles ? GDT_Float32 : GDT_Byte,
                           direct ? options : nullptr);
    if (!ds_sortie) return erreur = "cannot be created: " + erreur_gdal(), false;
    double geo[6];
    if (ds_entree && GDALGetGeoTransform(ds_entree, geo) == CE_None) GDALSetGeoTransform(ds_sortie, geo);
    const char* wkt = ds_entree ? GDALGetProjectionRef(ds_entree) : nullptr;
    if (wkt && *wkt) GDALSetProjection(ds_sortie, wkt);
    if (reelles) GDALSetRasterNoDataValue(GDALGetRasterBand(ds_sortie, 1), NAN);
    if (masque && GDALCreateDatasetMaskBand(ds_sortie, GMF_PER_DATASET) != CE_None) {
        // A driver that stores no mask marks the missing cells by a nodata value.
        GDALSetRasterNoDataValue(GDALGetRasterBand(ds_sortie, 1), 0);
        masque = false;
    }
    return true;
}

bool ecrit_bloc(int premiere, int nombre, const void* valeurs, const unsigned char* presence, std::string& erreur)
{
    GDALRasterBandH b = GDALGetRasterBand(ds_sortie, 1);
    CPLErr e = GDALRasterIO(b, GF_Write, 0, premiere, largeur, nombre, (void*)valeurs, largeur, nombre,
                            sortie_reelle ? GDT_Float32 : GDT_Byte, 0, 0);
    GDALRasterBandH masque = GDALGetMaskFlags(b) == GMF_PER_DATASET ? GDALGetMaskBand(b) : nullptr;
    if (masque && presence && e == CE_None) {
        std::vector<unsigned char> m((size_t)nombre * largeur);
        for (size_t k = 0; k < m.size(); k++) m[k] = presence[k] ? 255 : 0;
        e = GDALRasterIO(masque, GF_Write, 0, premiere, largeur, nombre, m.data(), largeur, nombre, GDT_Byte, 0, 0);
    }
    if (e != CE_None) return erreur = "could not be written completely: " + erreur_gdal(), false;
    return true;
}

// GDAL reports late write failures (a full disk when the last blocks go
// out) only when the dataset is closed.
bool ferme(GDALDatasetH& ds, std::string& erreur)
{
    CPLErrorReset();
    GDALClose(ds);
    ds = nullptr;
    if (CPLGetLastErrorType() >= CE_Failure) return erreur = "could not be written completely: " + erreur_gdal(), false;
    return true;
}

bool ferme_image(std::string& erreur)
{
    if (!ferme(ds_sortie, erreur)) return false;
    if (brouillon.empty()) return true;
    GDALDatasetH source = GDALOpen(brouillon.c_str(), GA_ReadOnly);
    CPLErrorReset();
    GDALDatasetH copie = source ? GDALCreateCopy(pilote_final, chemin_final.c_str(), source, TRUE, options, nullptr,
                                                 nullptr)
                                : nullptr;
    if (source) GDALClose(source);
    if (!copie) return erreur = "cannot be created: " + erreur_gdal(), false;
    if (!ferme(copie, erreur)) return false;
    GDALDeleteDataset(GDALGetDriverByName("GTiff"), brouillon.c_str());
    return true;
}

bool wkt_esri(std::string& wkt)
{
    const char* w = ds_entree ? GDALGetProjectionRef(ds_entree) : nullptr;
    if (!w || !*w) return false;
    OGRSpatialReferenceH srs = OSRNewSpatialReference(w);
    char* texte = nullptr;
    bool ok = srs && OSRMorphToESRI(srs) == OGRERR_NONE && OSRExportToWkt(srs, &texte) == OGRERR_NONE;
    if (ok) wkt = texte;
    CPLFree(texte);
    if (srs) OSRDestroySpatialReference(srs);
    return ok;
}

void metadonnee(const char* nom, const char* valeur)
{
    if (ds_sortie) GDALSetMetadataItem(ds_sortie, nom, valeur, nullptr);
}

void abandonne()
{
    if (ds_sortie) GDALClose(ds_sortie);
    if (ds_entree) GDALClose(ds_entree);
    ds_sortie = ds_entree = nullptr;
    tiff_ferme();
    avance_ferme();
    direct = avance = false;
}

}  // namespace

extern "C" const ModuleGdal* tavelkorn_gdal(const RappelsProgramme* r)
{
    rappels = r;
    static const ModuleGdal table = {ouvre_dem, lit_bloc, a_fractions, pilote_pour, pilote,
                                     cree_image, ecrit_bloc, ferme_image, wkt_esri, abandonne, metadonnee};
    return &table;
}
