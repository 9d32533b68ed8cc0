#include "gdal_lecture.h"

#include <algorithm>
#include <cstdint>
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

}  // namespace

struct LectureAvance {
    GDALDatasetH ds = nullptr;
    GDALRasterBandH bande = nullptr;
    GDALDataType type;
    Regles regles;
    int largeur, hauteur, hauteur_rangee;
    size_t ligne;  // bytes of a row
    Rangee courante, suivante;
    std::future<void> en_cours;  // the decoding of suivante
};

namespace {

// Runs on the decoding thread for suivante: only that thread touches a->ds
// meanwhile (a GDAL dataset serves one thread at a time).
void decode(LectureAvance* a, Rangee* r)
{
    r->lignes = std::min(a->hauteur_rangee, a->hauteur - r->debut);
    size_t n = (size_t)r->lignes * a->ligne;
    if (r->valeurs.size() * sizeof(double) < n) r->valeurs.resize(n / sizeof(double) + 1);
    CPLErrorReset();
    r->ok = GDALRasterIO(a->bande, GF_Read, 0, r->debut, a->largeur, r->lignes, r->valeurs.data(), a->largeur,
                         r->lignes, a->type, 0, 0) == CE_None;
    const char* m = CPLGetLastErrorMsg();  // the error of this thread
    r->erreur = r->ok ? "" : *m ? m : "GDAL gives no reason";
}

void attend(LectureAvance& a)
{
    if (a.en_cours.valid()) a.en_cours.get();
}

// The row of blocks holding row i, as current; the next one starts decoding.
Rangee& rangee(LectureAvance& a, int i)
{
    int debut = i / a.hauteur_rangee * a.hauteur_rangee;
    if (a.courante.debut == debut) return a.courante;
    if (a.en_cours.valid() && a.suivante.debut == debut) {
        attend(a);
        std::swap(a.courante, a.suivante);
    } else {
        attend(a);
        a.courante.debut = debut;
        decode(&a, &a.courante);
    }
    if ((int64_t)debut + a.hauteur_rangee < a.hauteur) {
        a.suivante.debut = debut + a.hauteur_rangee;
        a.en_cours = std::async(std::launch::async, decode, &a, &a.suivante);
    }
    return a.courante;
}

}  // namespace

LectureAvance* avance_ouvre(const char* chemin, int bande, const Regles& r)
{
    GDALDataType type = r.bande;
    if (type != GDT_Byte && type != GDT_Int16 && type != GDT_UInt16 && type != GDT_Int32 && type != GDT_UInt32 &&
        type != GDT_Float32)
        type = GDT_Float64;  // as GDAL converts any other type for lit_bloc
    GDALDatasetH ds = GDALOpenEx(chemin, GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
    if (!ds) return nullptr;
    LectureAvance* a = new LectureAvance;
    a->ds = ds;
    a->regles = r;
    a->type = type;
    a->bande = GDALGetRasterBand(ds, bande);
    // Signed bytes (PIXELTYPE=SIGNEDBYTE) are read as GDAL gives them, not here.
    if (!a->bande || GDALGetMetadataItem(a->bande, "PIXELTYPE", "IMAGE_STRUCTURE")) {
        avance_ferme(a);
        return nullptr;
    }
    a->largeur = GDALGetRasterXSize(ds);
    a->hauteur = GDALGetRasterYSize(ds);
    a->ligne = (size_t)a->largeur * GDALGetDataTypeSizeBytes(type);
    // At least 64 rows, whole rows of blocks, at most 32 MiB each.
    int bx, by;
    GDALGetBlockSize(a->bande, &bx, &by);
    by = std::max(1, by);
    const size_t plafond = (size_t)32 << 20;
    int& h = a->hauteur_rangee;
    h = by >= 64 ? by : by * ((64 + by - 1) / by);  // a block may be INT_MAX rows high
    while (h > by && h * a->ligne > plafond) h -= by;
    if (h * a->ligne > plafond) {
        avance_ferme(a);
        return nullptr;
    }
    // A GeoTIFF's block is asked for once, with its whole row: GDAL's cache
    // (one for the process) need hold only what one read decodes, and the
    // two rows here take the rest. (A mosaic's sources have blocks of their
    // own: its cache stays.)
    if (EQUAL(GDALGetDriverShortName(GDALGetDatasetDriver(ds)), "GTiff"))
        GDALSetCacheMax64(std::max((GIntBig)4 << 20, (GIntBig)(2 * h * a->ligne)));
    return a;
}

bool avance_lit(LectureAvance* a, int premiere, int nombre, int* z, unsigned char* presence, bool& fractions,
                tavelkorn::Erreur& erreur)
{
    for (int i = premiere; i < premiere + nombre;) {
        Rangee& r = rangee(*a, i);
        if (!r.ok) return erreur.texte = "cannot be read: " + r.erreur, false;
        int fin = std::min(premiere + nombre, r.debut + r.lignes);
        size_t k = (size_t)(i - premiere) * a->largeur;
        const char* source = (const char*)r.valeurs.data() + (size_t)(i - r.debut) * a->ligne;
        if (!convertit(source, a->type, false, fin - i, a->largeur, a->largeur, z + k,
                       presence ? presence + k : nullptr, a->largeur, a->regles, fractions, erreur))
            return false;
        i = fin;
    }
    return true;
}

void avance_ferme(LectureAvance* a)
{
    if (!a) return;
    attend(*a);
    if (a->ds) GDALClose(a->ds);
    delete a;
}
