#include "gdal_lecture.h"

#include <algorithm>
#include <future>
#include <vector>

#include <cpl_error.h>
#include <cpl_string.h>

namespace {

// Rows debut .. debut + lignes - 1 of the band, decoded, in its own type.
struct Rangee {
    int debut = -1, lignes = 0;
    std::vector<double> valeurs;  // doubles: aligned for any type
    bool ok = false;
    std::string erreur;
};

GDALDatasetH ds;
GDALRasterBandH bande_;
GDALDataType type;
Regles regles;
int largeur, hauteur, hauteur_rangee;
size_t ligne;  // bytes of a row
Rangee courante, suivante;
std::future<void> en_cours;  // the decoding of suivante

// Runs on the decoding thread for suivante: only that thread touches ds
// meanwhile (a GDAL dataset serves one thread at a time).
void decode(Rangee* r)
{
    r->lignes = std::min(hauteur_rangee, hauteur - r->debut);
    size_t n = (size_t)r->lignes * ligne;
    if (r->valeurs.size() * sizeof(double) < n) r->valeurs.resize(n / sizeof(double) + 1);
    CPLErrorReset();
    r->ok = GDALRasterIO(bande_, GF_Read, 0, r->debut, largeur, r->lignes, r->valeurs.data(), largeur, r->lignes, type,
                         0, 0) == CE_None;
    const char* m = CPLGetLastErrorMsg();  // the error of this thread
    r->erreur = r->ok ? "" : *m ? m : "GDAL gives no reason";
}

void attend()
{
    if (en_cours.valid()) en_cours.get();
}

// The row of blocks holding row i, as current; the next one starts decoding.
Rangee& rangee(int i)
{
    int debut = i / hauteur_rangee * hauteur_rangee;
    if (courante.debut == debut) return courante;
    if (en_cours.valid() && suivante.debut == debut) {
        attend();
        std::swap(courante, suivante);
    } else {
        attend();
        courante.debut = debut;
        decode(&courante);
    }
    if (debut + hauteur_rangee < hauteur) {
        suivante.debut = debut + hauteur_rangee;
        en_cours = std::async(std::launch::async, decode, &suivante);
    }
    return courante;
}

}  // namespace

bool avance_ouvre(const char* chemin, int bande, const Regles& r)
{
    avance_ferme();
    regles = r;
    type = r.bande;
    if (type != GDT_Byte && type != GDT_Int16 && type != GDT_UInt16 && type != GDT_Int32 && type != GDT_UInt32 &&
        type != GDT_Float32)
        type = GDT_Float64;  // as GDAL converts any other type for lit_bloc
    ds = GDALOpenEx(chemin, GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
    if (!ds) return false;
    bande_ = GDALGetRasterBand(ds, bande);
    // Signed bytes (PIXELTYPE=SIGNEDBYTE) are read as GDAL gives them, not here.
    if (!bande_ || GDALGetMetadataItem(bande_, "PIXELTYPE", "IMAGE_STRUCTURE")) {
        avance_ferme();
        return false;
    }
    largeur = GDALGetRasterXSize(ds);
    hauteur = GDALGetRasterYSize(ds);
    ligne = (size_t)largeur * GDALGetDataTypeSizeBytes(type);
    // At least 64 rows, whole rows of blocks, at most 32 MiB each.
    int bx, by;
    GDALGetBlockSize(bande_, &bx, &by);
    by = std::max(1, by);
    const size_t plafond = (size_t)32 << 20;
    hauteur_rangee = by * std::max(1, (64 + by - 1) / by);
    while (hauteur_rangee > by && hauteur_rangee * ligne > plafond) hauteur_rangee -= by;
    if (hauteur_rangee * ligne > plafond) {
        avance_ferme();
        return false;
    }
    // A GeoTIFF's block is asked for once, with its whole row: GDAL's cache
    // need hold only what one read decodes, and the two rows here take the
    // rest. (A mosaic's sources have blocks of their own: its cache stays.)
    if (EQUAL(GDALGetDriverShortName(GDALGetDatasetDriver(ds)), "GTiff"))
        GDALSetCacheMax64(std::max((GIntBig)4 << 20, (GIntBig)(2 * hauteur_rangee * ligne)));
    return true;
}

bool avance_lit(int premiere, int nombre, int* z, unsigned char* presence, bool& fractions, std::string& erreur)
{
    for (int i = premiere; i < premiere + nombre;) {
        Rangee& r = rangee(i);
        if (!r.ok) return erreur = "cannot be read: " + r.erreur, false;
        int fin = std::min(premiere + nombre, r.debut + r.lignes);
        size_t k = (size_t)(i - premiere) * largeur;
        const char* source = (const char*)r.valeurs.data() + (size_t)(i - r.debut) * ligne;
        if (!convertit(source, type, false, fin - i, largeur, largeur, z + k, presence ? presence + k : nullptr,
                       largeur, regles, fractions, erreur))
            return false;
        i = fin;
    }
    return true;
}

void avance_ferme()
{
    attend();
    if (ds) GDALClose(ds);
    ds = nullptr;
    courante = Rangee();
    suivante = Rangee();
}
