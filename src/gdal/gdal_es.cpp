// GDAL's formats: a DEM band as the source of the computation, and any
// driver that writes files as the image's writer. Built as a module that
// the program loads only when a run needs GDAL: its libraries take longer
// to load than a whole run of the native formats, and tens of MiB.
#include "gdal_lecture.h"
#include "module.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <cpl_vsi.h>
#include <gdal.h>
#include <ogr_srs_api.h>

// A DEM open for reading: the module's lit_bloc reads it through the
// direct reader, the reading ahead, or GDAL as asked.
struct LectureGdal {
    GDALDatasetH ds = nullptr;
    GDALRasterBandH bande = nullptr;
    GDALDataType type;
    int largeur;
    bool octet_signe;  // a Byte band that says its bytes are signed (PIXELTYPE=SIGNEDBYTE): -128 .. 127
    Regles regles;
    LectureTiff* direct = nullptr;    // read by the direct reader, or
    LectureAvance* avance = nullptr;  // read ahead
    std::atomic<bool> fractions{false};  // the direct reader's threads set it side by side
    std::vector<double> reels;           // rows GDAL gives as doubles (one thread reads them)
};

// An image being written, and for a driver that only copies, the GeoTIFF
// written first and what the copy needs.
struct ImageGdal {
    GDALDatasetH ds = nullptr;
    int largeur, bandes;
    bool reelles;
    GDALDriverH pilote_final;
    std::string chemin_final, brouillon;
    char** options = nullptr;
};

namespace {

// The program's callbacks, given once when it loads the module: GDAL's
// error handler below is one for the whole process, and reaches them here.
const RappelsProgramme* rappels;

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

// GDAL's drivers, handler and cache are the process's, set up once.
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

void ferme_dem(LectureGdal* l)
{
    if (!l) return;
    if (l->ds) GDALClose(l->ds);
    tiff_ferme(l->direct);
    avance_ferme(l->avance);
    delete l;
}

// A DEM that cannot be read leaves nothing open.
LectureGdal* refuse(LectureGdal* l, std::string& erreur, const std::string& raison)
{
    erreur = raison;
    ferme_dem(l);
    return nullptr;
}

LectureGdal* ouvre_dem(const char* chemin, int bande, double echelle_z, DemGdal& dem, std::string& erreur)
{
    prepare_gdal();
    GDALDatasetH ds = GDALOpenEx(chemin, GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
    if (!ds) return erreur = "cannot be opened: " + erreur_gdal(), nullptr;
    LectureGdal* l = new LectureGdal;
    l->ds = ds;
    int bandes = GDALGetRasterCount(ds);
    if (bande < 1 || bande > bandes)
        return refuse(l, erreur, "has no band " + std::to_string(bande) + " (it has " + std::to_string(bandes) + ")");
    GDALRasterBandH b = l->bande = GDALGetRasterBand(ds, bande);
    GDALDataType type = l->type = GDALGetRasterDataType(b);
    if (GDALDataTypeIsComplex(type)) return refuse(l, erreur, "complex values are not elevations");
    dem.nb_col = l->largeur = GDALGetRasterXSize(ds);
    dem.nb_lig = GDALGetRasterYSize(ds);
    int a = 0;
    Regles& regles = l->regles;
    regles.bande = type;
    regles.nodata = GDALGetRasterNoDataValue(b, &a);
    regles.a_nodata = a != 0;
    regles.echelle = echelle_z;
    const char* pixels = GDALGetMetadataItem(b, "PIXELTYPE", "IMAGE_STRUCTURE");
    l->octet_signe = type == GDT_Byte && pixels && EQUAL(pixels, "SIGNEDBYTE");
    bool entier_32 = type == GDT_Byte || type == GDT_Int16 || type == GDT_UInt16 || type == GDT_Int32;
#if GDAL_VERSION_NUM >= 3070000
    entier_32 |= type == GDT_Int8;
#endif
    regles.entiere = entier_32 && echelle_z == 1.0;
    dem.manquants = regles.manquants = GDALDataTypeIsFloating(type) || regles.a_nodata;

    dem.geo_ok = GDALGetGeoTransform(ds, dem.geo) == CE_None;
    const char* wkt = GDALGetProjectionRef(ds);
    dem.wkt = wkt ? wkt : "";
    dem.pix_size = dem.geo_ok ? (int)std::lround(std::fabs(dem.geo[1])) : 0;
    // An uncompressed GeoTIFF or a raw format reads again as fast as a copy
    // of it would; anything else is decoded once.
    const char* pilote_entree = GDALGetDriverShortName(GDALGetDatasetDriver(ds));
    const char* compression = GDALGetMetadataItem(ds, "COMPRESSION", "IMAGE_STRUCTURE");
    bool brut = EQUAL(pilote_entree, "ENVI") || EQUAL(pilote_entree, "EHdr") ||
                (EQUAL(pilote_entree, "GTiff") && (!compression || EQUAL(compression, "NONE")));
    dem.couteux = !brut;
    dem.etroit = regles.entiere && (type == GDT_Int16 || type == GDT_Byte);
    // The cache holds two rows of blocks, so that a read never decodes a
    // block an earlier read decoded; a DEM read twice keeps more of it for
    // the second pass, a DEM decoded once (kept by the program) needs no more.
    int bx, by;
    GDALGetBlockSize(b, &bx, &by);
    GIntBig rangee = (GIntBig)dem.nb_col * by * GDALGetDataTypeSizeBytes(type);
    GDALSetCacheMax64(std::max((GIntBig)(dem.couteux ? 16 : 48) << 20, 2 * rangee));
    // TAVELKORN_GTIFF_DIRECT (for the tests): NO reads every DEM as GDAL
    // gives the rows asked for; ONLY refuses a DEM that cannot be read
    // directly.
    const char* voulu = CPLGetConfigOption("TAVELKORN_GTIFF_DIRECT", "YES");
    bool simple = EQUAL(voulu, "NO");
    std::string pourquoi = "not asked";
    if (!simple) l->direct = tiff_ouvre(ds, b, regles, pourquoi);
    dem.parallele = l->direct != nullptr;
    if (!l->direct && EQUAL(voulu, "ONLY")) return refuse(l, erreur, "not read directly: " + pourquoi);
    // An uncompressed GeoTIFF stores a block whole or not at all: a block
    // larger than the file is a header's claim, which GDAL would allocate
    // before finding its bytes missing. (Below 64 MiB it costs little, and a
    // nearly empty sparse file may have such blocks.)
    VSIStatBufL st;
    int octets = GDALGetDataTypeSizeBytes(type);
    if (!l->direct && brut && EQUAL(pilote_entree, "GTiff") && octets > 0 && VSIStatL(chemin, &st) == 0 &&
        (uint64_t)bx * (uint64_t)by > std::max<uint64_t>(64 << 20, st.st_size) / octets)
        return refuse(l, erreur, "cannot be read: blocks of " + std::to_string(bx) + " x " + std::to_string(by) + " " +
                                     GDALGetDataTypeName(type) + " values, more than its " +
                                     std::to_string(st.st_size) + " bytes hold");
    if (!simple && !l->direct && dem.couteux) l->avance = avance_ouvre(chemin, bande, regles);
    char** liste = GDALGetFileList(ds);
    for (char** f = liste; f && *f; f++) dem.fichiers.push_back(*f);
    CSLDestroy(liste);
    return l;
}

// Rows of the band as whole elevations: integer bands that fit are read as
// they are; any other is read as doubles, multiplied by the z-scale and
// rounded half away from zero.
bool lit_bloc(LectureGdal* l, int premiere, int nombre, int* z, unsigned char* presence, tavelkorn::Erreur& erreur)
{
    bool f = false, ok;
    if (l->direct) {
        ok = tiff_lit(l->direct, premiere, nombre, z, presence, f, erreur);
    } else if (l->avance) {
        ok = avance_lit(l->avance, premiere, nombre, z, presence, f, erreur);
    } else {
        bool entiere = l->regles.entiere;
        int largeur = l->largeur;
        std::vector<double>& reels = l->reels;
        if (!entiere) reels.resize((size_t)nombre * largeur);
        void* dans = entiere ? (void*)z : (void*)reels.data();
        if (GDALRasterIO(l->bande, GF_Read, 0, premiere, largeur, nombre, dans, largeur, nombre,
                         entiere ? GDT_Int32 : GDT_Float64, 0, 0) != CE_None)
            return erreur.texte = "cannot be read: " + erreur_gdal(), false;
        if (l->octet_signe) {  // GDAL gives a signed byte's bits as 0 .. 255
            size_t n = (size_t)nombre * largeur;
            if (entiere) for (size_t k = 0; k < n; k++) z[k] = z[k] > 127 ? z[k] - 256 : z[k];
            else for (size_t k = 0; k < n; k++) reels[k] = reels[k] > 127 ? reels[k] - 256 : reels[k];
        }
        ok = convertit(dans, entiere ? GDT_Int32 : GDT_Float64, false, nombre, largeur, largeur, z, presence, largeur,
                       l->regles, f, erreur);
    }
    if (f) l->fractions = true;
    return ok;
}

bool a_fractions(const LectureGdal* l)
{
    return l->fractions && l->regles.echelle == 1.0 && GDALDataTypeIsFloating(l->type);
}

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

void libere_image(ImageGdal* i)
{
    if (i->ds) GDALClose(i->ds);
    CSLDestroy(i->options);
    delete i;
}

// Drivers that only copy (PNG, JPEG ...) copy a GeoTIFF written first,
// strictly: a type the driver cannot store is a failure, never a silent
// conversion.
ImageGdal* cree_image(const double* geo, const char* wkt, const char* chemin, const char* nom_pilote,
                      const std::vector<std::string>& co, int l, int h, int bandes, bool reelles, bool& masque,
                      const char* brouillon, std::string& erreur)
{
    prepare_gdal();
    GDALDriverH d = GDALGetDriverByName(nom_pilote);
    bool direct = GDALGetMetadataItem(d, GDAL_DCAP_CREATE, nullptr) != nullptr;
    ImageGdal* i = new ImageGdal;
    for (const std::string& o : co) i->options = CSLAddString(i->options, o.c_str());
    // Bands of scales, not the colours of a picture: a GeoTIFF of three would
    // otherwise say RGB, and a copy of it too.
    char** brouillon_options = nullptr;
    if (bandes > 1) brouillon_options = CSLSetNameValue(nullptr, "PHOTOMETRIC", "MINISBLACK");
    if (bandes > 1 && EQUAL(nom_pilote, "GTiff") && !CSLFetchNameValue(i->options, "PHOTOMETRIC"))
        i->options = CSLSetNameValue(i->options, "PHOTOMETRIC", "MINISBLACK");
    i->pilote_final = d;
    i->chemin_final = chemin;
    i->brouillon = direct ? "" : brouillon;
    GDALDriverH dc = direct ? d : GDALGetDriverByName("GTiff");
    i->reelles = reelles;
    CPLErrorReset();
    i->largeur = l;
    i->bandes = bandes;
    GDALDatasetH ds = i->ds = GDALCreate(dc, direct ? chemin : brouillon, l, h, bandes,
                                         reelles ? GDT_Float32 : GDT_Byte, direct ? i->options : brouillon_options);
    CSLDestroy(brouillon_options);
    if (!ds) {
        erreur = "cannot be created: " + erreur_gdal();
        libere_image(i);
        return nullptr;
    }
    if (geo) GDALSetGeoTransform(ds, (double*)geo);
    if (wkt && *wkt) GDALSetProjection(ds, wkt);
    for (int b = 1; reelles && b <= bandes; b++) GDALSetRasterNoDataValue(GDALGetRasterBand(ds, b), NAN);
    if (masque && GDALCreateDatasetMaskBand(ds, GMF_PER_DATASET) != CE_None) {
        // A driver that stores no mask marks the missing cells by a nodata value.
        for (int b = 1; b <= bandes; b++) GDALSetRasterNoDataValue(GDALGetRasterBand(ds, b), 0);
        masque = false;
    }
    return i;
}

bool ecrit_bloc(ImageGdal* i, int premiere, int nombre, const void* valeurs, size_t pas_bande,
                const unsigned char* presence, std::string& erreur)
{
    const int largeur = i->largeur;
    GDALRasterBandH b = GDALGetRasterBand(i->ds, 1);
    size_t taille = i->reelles ? sizeof(float) : 1;
    // Every band in one call: a file that interleaves them by pixel gets
    // each block whole.
    CPLErr e = GDALDatasetRasterIOEx(i->ds, GF_Write, 0, premiere, largeur, nombre, (void*)valeurs, largeur, nombre,
                                     i->reelles ? GDT_Float32 : GDT_Byte, i->bandes, nullptr, 0, 0,
                                     (GSpacing)(pas_bande * taille), nullptr);
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

bool copie_image(ImageGdal* i, std::string& erreur)
{
    if (!ferme(i->ds, erreur)) return false;
    if (i->brouillon.empty()) return true;
    GDALDatasetH source = GDALOpen(i->brouillon.c_str(), GA_ReadOnly);
    CPLErrorReset();
    GDALDatasetH copie = source ? GDALCreateCopy(i->pilote_final, i->chemin_final.c_str(), source, TRUE, i->options,
                                                 nullptr, nullptr)
                                : nullptr;
    if (source) GDALClose(source);
    if (!copie) return erreur = "cannot be created: " + erreur_gdal(), false;
    if (!ferme(copie, erreur)) return false;
    GDALDeleteDataset(GDALGetDriverByName("GTiff"), i->brouillon.c_str());
    return true;
}

bool ferme_image(ImageGdal* i, std::string& erreur)
{
    bool ok = copie_image(i, erreur);
    libere_image(i);
    return ok;
}

bool wkt_esri(const LectureGdal* l, std::string& wkt)
{
    const char* w = l ? GDALGetProjectionRef(l->ds) : nullptr;
    if (!w || !*w) return false;
    OGRSpatialReferenceH srs = OSRNewSpatialReference(w);
    char* texte = nullptr;
    bool ok = srs && OSRMorphToESRI(srs) == OGRERR_NONE && OSRExportToWkt(srs, &texte) == OGRERR_NONE;
    if (ok) wkt = texte;
    CPLFree(texte);
    if (srs) OSRDestroySpatialReference(srs);
    return ok;
}

void metadonnee(ImageGdal* i, int bande, const char* nom, const char* valeur)
{
    if (!i->ds) return;
    if (bande == 0) GDALSetMetadataItem(i->ds, nom, valeur, nullptr);
    else GDALSetMetadataItem(GDALGetRasterBand(i->ds, bande), nom, valeur, nullptr);
}

void description(ImageGdal* i, int bande, const char* texte)
{
    if (i->ds) GDALSetDescription(GDALGetRasterBand(i->ds, bande), texte);
}

void abandonne(ImageGdal* i)
{
    if (i) libere_image(i);
}

}  // namespace

extern "C" const ModuleGdal* tavelkorn_gdal(const RappelsProgramme* r)
{
    rappels = r;
    static const ModuleGdal table = {ouvre_dem,  lit_bloc,  a_fractions, ferme_dem, pilote_pour, pilote,     cree_image,
                                     ecrit_bloc, ferme_image, wkt_esri, abandonne, metadonnee,  description};
    return &table;
}
