#include "gdal_lecture.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <type_traits>
#include <vector>

#include <cpl_conv.h>
#include <cpl_string.h>
#include <cpl_vsi.h>

namespace {

// ---------------------------------------------------------------- conversion

template <typename T> T inverse_octets(T v)
{
    unsigned char o[sizeof(T)];
    memcpy(o, &v, sizeof(T));
    std::reverse(o, o + sizeof(T));
    memcpy(&v, o, sizeof(T));
    return v;
}

// v times the z-scale, rounded by the engine's one rule; false beyond the
// 32-bit range, with the engine's words.
bool arrondit(double v, const Regles& r, int& e, bool& fractions, tavelkorn::Erreur& erreur)
{
    if (!tavelkorn::elevation_a_l_echelle(v, r.echelle, e, erreur)) return false;
    fractions |= (double)e != v * r.echelle;
    return true;
}

// A float row of whole values at z-scale 1 (most float DEMs), in one
// branch-free pass the compiler vectorises; false when some value is not
// whole or beyond the 32-bit range: the row is done again value by value.
template <typename T, bool Inverse>
bool entiers_flottants(const T* s, int n, int* z, unsigned char* presence, const Regles& r)
{
    // A Float32 band's nodata is compared as the float it was stored as;
    // without one, NaN, which no value equals. Bitwise & keeps the loop
    // free of branches.
    double d = r.bande == GDT_Float32 ? (double)(float)r.nodata : r.nodata;
    const T nd = r.a_nodata ? (T)d : (T)NAN;
    int tous = 1;
    for (int c = 0; c < n; c++) {
        T v = Inverse ? inverse_octets(s[c]) : s[c];
        int p = (v == v) & (v != nd);  // NaN is missing
        int dedans = (v >= (T)-2147483648.0) & (v < (T)2147483648.0);
        int e = (int)(dedans ? v : (T)0);
        tous &= (p ^ 1) | (dedans & ((T)e == v));
        presence[c] = (unsigned char)p;
        z[c] = p ? e : 0;
    }
    return tous;
}

template <typename T, bool Inverse>
bool ligne(const T* s, int n, int* z, unsigned char* presence, const Regles& r, bool& fractions,
           tavelkorn::Erreur& erreur)
{
    if (r.entiere) {
        if (!r.manquants) {
            for (int c = 0; c < n; c++) z[c] = (int)(Inverse ? inverse_octets(s[c]) : s[c]);
            return true;
        }
        // A nodata that no integer equals leaves every cell present.
        bool a = r.a_nodata && r.nodata == std::floor(r.nodata) && r.nodata >= INT_MIN && r.nodata <= INT_MAX;
        int nd = a ? (int)r.nodata : 0;
        for (int c = 0; c < n; c++) {
            int e = (int)(Inverse ? inverse_octets(s[c]) : s[c]);
            bool p = !a || e != nd;
            presence[c] = p;
            z[c] = p ? e : 0;  // as every source gives a missing cell
        }
        return true;
    }
    // manque() with what it compares computed once: a Float32 band's nodata
    // as the float it was stored as.
    const bool a = r.a_nodata, un = r.echelle == 1.0;
    if constexpr (std::is_floating_point<T>::value)
        if (un && r.manquants && entiers_flottants<T, Inverse>(s, n, z, presence, r)) return true;
    const double nd = r.bande == GDT_Float32 ? (double)(float)r.nodata : r.nodata;
    for (int c = 0; c < n; c++) {
        double v = (double)(Inverse ? inverse_octets(s[c]) : s[c]);
        bool p = !std::isnan(v) && !(a && v == nd);
        if (r.manquants) presence[c] = p;
        if (!p) {
            z[c] = 0;
            continue;
        }
        if (un && v >= INT_MIN && v <= INT_MAX && v == (double)(int)v) {
            z[c] = (int)v;  // the common case: a whole value
            continue;
        }
        if (!arrondit(v, r, z[c], fractions, erreur)) return false;
    }
    return true;
}

template <typename T>
bool rangees(const void* source, bool inverse, int lignes, int colonnes, size_t pas_source, int* z,
             unsigned char* presence, size_t pas_z, const Regles& r, bool& fractions, tavelkorn::Erreur& erreur)
{
    for (int l = 0; l < lignes; l++) {
        const T* s = (const T*)source + (size_t)l * pas_source;
        int* zl = z + (size_t)l * pas_z;
        unsigned char* pl = presence ? presence + (size_t)l * pas_z : nullptr;
        bool ok = inverse && sizeof(T) > 1 ? ligne<T, true>(s, colonnes, zl, pl, r, fractions, erreur)
                                           : ligne<T, false>(s, colonnes, zl, pl, r, fractions, erreur);
        if (!ok) return false;
    }
    return true;
}

}  // namespace

bool convertit(const void* source, GDALDataType type, bool inverse, int lignes, int colonnes, size_t pas_source,
               int* z, unsigned char* presence, size_t pas_z, const Regles& r, bool& fractions,
               tavelkorn::Erreur& erreur)
{
    if (source == z && type == GDT_Int32 && !inverse && r.entiere && !r.manquants) return true;  // as read
    auto f = rangees<double>;
    switch (type) {
    case GDT_Byte: f = rangees<uint8_t>; break;
    case GDT_Int16: f = rangees<int16_t>; break;
    case GDT_UInt16: f = rangees<uint16_t>; break;
    case GDT_Int32: f = rangees<int32_t>; break;
    case GDT_UInt32: f = rangees<uint32_t>; break;
    case GDT_Float32: f = rangees<float>; break;
    default: break;
    }
    return f(source, inverse, lignes, colonnes, pas_source, z, presence, pas_z, r, fractions, erreur);
}

// ---------------------------------------------------------------- the direct reader

namespace {

struct Bloc {
    uint64_t position;  // of its first byte in the file
};

// A file handle and its buffer, for one thread at a time.
struct Lecteur {
    VSILFILE* f = nullptr;
    std::vector<double> brut;  // the bytes of a read (doubles: aligned for any type)
    ~Lecteur()
    {
        if (f) VSIFCloseL(f);
    }
};

}  // namespace

struct LectureTiff {
    std::string chemin;
    Regles regles;
    GDALDataType type;
    int largeur, hauteur, bx, by, nbx, nby, octets;  // octets of a value
    bool inverse;
    std::vector<Bloc> blocs;
    std::mutex verrou;  // over lecteurs and libres: the threads of a pass take and give back handles
    std::vector<std::unique_ptr<Lecteur>> lecteurs;
    std::vector<Lecteur*> libres;
};

namespace {

Lecteur* prend(LectureTiff& t)
{
    std::lock_guard<std::mutex> g(t.verrou);
    if (!t.libres.empty()) {
        Lecteur* l = t.libres.back();
        t.libres.pop_back();
        return l;
    }
    t.lecteurs.push_back(std::make_unique<Lecteur>());
    t.lecteurs.back()->f = VSIFOpenL(t.chemin.c_str(), "rb");
    return t.lecteurs.back().get();
}

void rend(LectureTiff& t, Lecteur* l)
{
    std::lock_guard<std::mutex> g(t.verrou);
    t.libres.push_back(l);
}

// Where row ligne_bloc of block (tx, ty) starts.
uint64_t position(const LectureTiff& t, int tx, int ty, int ligne_bloc)
{
    return t.blocs[(size_t)ty * t.nbx + tx].position + (uint64_t)ligne_bloc * t.bx * t.octets;
}

bool lit(Lecteur* l, uint64_t pos, size_t n, void* dans)
{
    return l->f && VSIFSeekL(l->f, pos, SEEK_SET) == 0 && VSIFReadL(dans, 1, n, l->f) == n;
}

// n bytes of the handle's buffer; null with the reason when they cannot be had.
void* tampon(Lecteur* l, size_t n, tavelkorn::Erreur& erreur)
{
    try {
        if (l->brut.size() * sizeof(double) < n) l->brut.resize(n / sizeof(double) + 1);
    } catch (const std::bad_alloc&) {
        return erreur.texte = "cannot be read: no memory for a read of " + std::to_string(n) + " bytes", nullptr;
    }
    return l->brut.data();
}

// Strips as wide as the DEM: the rows that follow each other in the file
// (gdal_translate writes the strips in order) come in one read; an Int32
// band in the machine's order lands in z as it is.
bool lit_bandes(const LectureTiff& t, Lecteur* l, int premiere, int nombre, int* z, unsigned char* presence,
                bool& fractions, tavelkorn::Erreur& erreur)
{
    const int by = t.by, largeur = t.largeur;
    size_t ligne = (size_t)largeur * t.octets;
    const int64_t bout = (int64_t)premiere + nombre;  // a strip's end may pass INT_MAX
    for (int i = premiere; i < bout;) {
        uint64_t debut = position(t, 0, i / by, i % by);
        int64_t fin = i;
        do fin = std::min(bout, (fin / by + 1) * by);
        while (fin < bout && position(t, 0, (int)(fin / by), (int)(fin % by)) == debut + (uint64_t)(fin - i) * ligne);
        size_t k = (size_t)(i - premiere) * largeur, n = (size_t)(fin - i) * ligne;
        void* dans = t.type == GDT_Int32 ? (void*)(z + k) : tampon(l, n, erreur);
        if (!dans) return false;
        if (!lit(l, debut, n, dans)) return erreur.texte = "changed during the run; no result was written", false;
        if (!convertit(dans, t.type, t.inverse, (int)(fin - i), largeur, largeur, z + k,
                       presence ? presence + k : nullptr, largeur, t.regles, fractions, erreur))
            return false;
        i = (int)fin;
    }
    return true;
}

// Tiles: the rows wanted of each tile of a row of tiles, one read each.
bool lit_tuiles(const LectureTiff& t, Lecteur* l, int premiere, int nombre, int* z, unsigned char* presence,
                bool& fractions, tavelkorn::Erreur& erreur)
{
    const int bx = t.bx, by = t.by, largeur = t.largeur;
    for (int i = premiere; i < premiere + nombre;) {
        int ty = i / by, r0 = i - ty * by, lignes = std::min(by - r0, premiere + nombre - i);
        size_t n = (size_t)lignes * bx * t.octets;
        void* dans = tampon(l, n, erreur);
        if (!dans) return false;
        for (int tx = 0; tx < t.nbx; tx++) {
            size_t k = (size_t)(i - premiere) * largeur + (size_t)tx * bx;
            if (!lit(l, position(t, tx, ty, r0), n, dans))
                return erreur.texte = "changed during the run; no result was written", false;
            if (!convertit(dans, t.type, t.inverse, lignes, std::min(bx, largeur - tx * bx), bx, z + k,
                           presence ? presence + k : nullptr, largeur, t.regles, fractions, erreur))
                return false;
        }
        i += lignes;
    }
    return true;
}

// A number of n bytes (at most 8) in the file's byte order.
uint64_t nombre(const unsigned char* o, int n, bool grand_boutien)
{
    uint64_t v = 0;
    for (int k = 0; k < n; k++) v |= (uint64_t)o[grand_boutien ? n - 1 - k : k] << 8 * k;
    return v;
}

// What plain reads need of the file's own header: its byte order ("II" or
// "MM", then 42, or 43 for a BigTIFF), and that its first directory (the
// one GDAL opens) keeps the bits of each byte as they are: FillOrder 2
// reverses them, which libtiff undoes and a plain read would not. tuiles:
// whether it is tiled (it has a TileWidth). False with the reason
// otherwise.
bool entete(VSILFILE* f, bool& grand_boutien, bool& tuiles, std::string& pourquoi)
{
    unsigned char t[16];
    if (VSIFReadL(t, 1, 8, f) != 8 || t[0] != t[1] || (t[0] != 'I' && t[0] != 'M'))
        return pourquoi = "not a TIFF header", false;
    bool g = grand_boutien = t[0] == 'M';
    uint64_t version = nombre(t + 2, 2, g);
    bool big = version == 43;
    if ((version != 42 && !big) || (big && VSIFReadL(t + 8, 1, 8, f) != 8))
        return pourquoi = "not a TIFF header", false;
    // A directory: its number of entries, then entries of a tag, a type, a
    // count and a value (or its offset).
    const int n_nombre = big ? 8 : 2, n_entree = big ? 20 : 12, n_compte = big ? 8 : 4;
    uint64_t debut = big ? nombre(t + 8, 8, g) : nombre(t + 4, 4, g), entrees = 0;
    if (VSIFSeekL(f, debut, SEEK_SET) != 0 || VSIFReadL(t, 1, n_nombre, f) != (size_t)n_nombre ||
        (entrees = nombre(t, n_nombre, g)) > 65535)
        return pourquoi = "a directory that cannot be read", false;
    std::vector<unsigned char> d(entrees * n_entree);
    if (VSIFReadL(d.data(), 1, d.size(), f) != d.size()) return pourquoi = "a directory that cannot be read", false;
    tuiles = false;
    for (uint64_t k = 0; k < entrees; k++) {
        const unsigned char* e = d.data() + k * n_entree;
        tuiles |= nombre(e, 2, g) == 322;
        if (nombre(e, 2, g) != 266) continue;  // FillOrder
        uint64_t type = nombre(e + 2, 2, g), compte = nombre(e + 4, n_compte, g);
        uint64_t valeur = nombre(e + 4 + n_compte, 2, g);
        if (type != 3 || compte != 1 || valeur != 1)  // one SHORT, 1: as written
            return pourquoi = "bits filled from the low end (FillOrder " + std::to_string(valeur) + ")", false;
    }
    return true;
}

// a x b, or the largest value when it does not fit: compared with a file's
// size, it is then too large.
uint64_t fois(uint64_t a, uint64_t b) { return b && a > UINT64_MAX / b ? UINT64_MAX : a * b; }

LectureTiff* refuse(std::string& pourquoi, const std::string& raison) { return pourquoi = raison, nullptr; }

}  // namespace

LectureTiff* tiff_ouvre(GDALDatasetH ds, GDALRasterBandH bande, const Regles& r, std::string& pourquoi)
{
    std::unique_ptr<LectureTiff> t(new LectureTiff);
    const char* pilote = GDALGetDriverShortName(GDALGetDatasetDriver(ds));
    const char* compression = GDALGetMetadataItem(ds, "COMPRESSION", "IMAGE_STRUCTURE");
    const char* entrelacement = GDALGetMetadataItem(ds, "INTERLEAVE", "IMAGE_STRUCTURE");
    const std::string& chemin = t->chemin = GDALGetDescription(ds);
    GDALDataType type = t->type = GDALGetRasterDataType(bande);
    int octets = t->octets = GDALGetDataTypeSizeBytes(type);
    if (!EQUAL(pilote, "GTiff")) return refuse(pourquoi, std::string("a ") + pilote + " file");
    if (compression && !EQUAL(compression, "NONE")) return refuse(pourquoi, std::string("compressed: ") + compression);
    if (GDALGetRasterCount(ds) > 1 && !(entrelacement && EQUAL(entrelacement, "BAND")))
        return refuse(pourquoi, "bands interleaved by pixel");
    if (type != GDT_Byte && type != GDT_Int16 && type != GDT_UInt16 && type != GDT_Int32 && type != GDT_UInt32 &&
        type != GDT_Float32 && type != GDT_Float64)
        return refuse(pourquoi, std::string("values of type ") + GDALGetDataTypeName(type));
    if (GDALGetMetadataItem(bande, "NBITS", "IMAGE_STRUCTURE")) return refuse(pourquoi, "values of an odd bit depth");
    // Signed bytes are GDAL's to interpret (PIXELTYPE=SIGNEDBYTE).
    if (GDALGetMetadataItem(bande, "PIXELTYPE", "IMAGE_STRUCTURE")) return refuse(pourquoi, "signed bytes");
    int masque = GDALGetMaskFlags(bande);
    if (masque != GMF_ALL_VALID && masque != GMF_NODATA) return refuse(pourquoi, "a mask");
    // A /vsi path or a GTIFF_DIR: name is no plain file to open again.
    VSIStatBufL st;
    if (STARTS_WITH(chemin.c_str(), "/vsi") || VSIStatL(chemin.c_str(), &st) != 0 || !VSI_ISREG(st.st_mode))
        return refuse(pourquoi, "not a plain local file");
    std::unique_ptr<Lecteur> premier(new Lecteur);
    premier->f = VSIFOpenL(chemin.c_str(), "rb");
    bool grand_boutien, tuiles;
    if (!premier->f) return refuse(pourquoi, "cannot be opened again");
    if (!entete(premier->f, grand_boutien, tuiles, pourquoi)) return nullptr;
    t->inverse = grand_boutien != !CPL_IS_LSB;

    // A header may claim any size: every count, position and size below is
    // in 64 bits and bounded by the file's size before anything is
    // allocated. Every cell is stored (sparse blocks are refused), so the
    // cells fit in the file, and so do the blocks, each holding one.
    const uint64_t fichier = (uint64_t)st.st_size;
    int largeur = t->largeur = GDALGetRasterXSize(ds);
    int hauteur = t->hauteur = GDALGetRasterYSize(ds);
    int &bx = t->bx, &by = t->by;
    GDALGetBlockSize(bande, &bx, &by);
    if (largeur < 1 || hauteur < 1 || bx < 1 || by < 1) return refuse(pourquoi, "no block size");
    if (fois(fois(largeur, hauteur), octets) > fichier)
        return refuse(pourquoi, "more cells than its " + std::to_string(fichier) + " bytes hold");
    const uint64_t ligne_bloc = fois(bx, octets);  // the bytes of a block's row
    if (ligne_bloc > fichier) return refuse(pourquoi, "blocks wider than the file");
    int64_t nbx = ((int64_t)largeur + bx - 1) / bx, nby = ((int64_t)hauteur + by - 1) / by;
    t->nbx = (int)nbx;
    t->nby = (int)nby;
    // Every block present (a sparse one has no offset), whole, and its
    // bytes inside the file (GDAL's threaded reading reads them all): a
    // short last strip holds only the DEM's rows, a tile is whole (libtiff
    // reads it whole).
    uint64_t plein = fois(by, ligne_bloc);
    t->blocs.assign((size_t)(nbx * nby), Bloc());
    for (int64_t ty = 0; ty < nby; ty++)
        for (int64_t tx = 0; tx < nbx; tx++) {
            std::string xy = std::to_string(tx) + "_" + std::to_string(ty);
            const char* o = GDALGetMetadataItem(bande, ("BLOCK_OFFSET_" + xy).c_str(), "TIFF");
            const char* s = GDALGetMetadataItem(bande, ("BLOCK_SIZE_" + xy).c_str(), "TIFF");
            uint64_t pos = o ? std::strtoull(o, nullptr, 10) : 0, taille = s ? std::strtoull(s, nullptr, 10) : 0;
            uint64_t utile = tuiles ? plein : fois(std::min<int64_t>(by, hauteur - ty * by), ligne_bloc);
            if (pos == 0) return refuse(pourquoi, "a sparse file");
            if (taille < utile || taille > plein || taille > fichier || pos > fichier - taille)
                return refuse(pourquoi, "a block of " + std::to_string(taille) + " bytes");
            t->blocs[(size_t)(ty * nbx + tx)].position = pos;
        }
    t->regles = r;
    // One handle per core now, while the file is the one GDAL opened; more
    // threads open theirs as they come.
    t->lecteurs.push_back(std::move(premier));
    for (unsigned k = 1; k < std::min(64u, std::thread::hardware_concurrency()); k++) {
        t->lecteurs.push_back(std::make_unique<Lecteur>());
        t->lecteurs.back()->f = VSIFOpenL(chemin.c_str(), "rb");
    }
    for (auto& l : t->lecteurs) t->libres.push_back(l.get());
    return t.release();
}

bool tiff_lit(LectureTiff* t, int premiere, int nombre, int* z, unsigned char* presence, bool& fractions,
              tavelkorn::Erreur& erreur)
{
    if (premiere < 0 || nombre < 0 || premiere > t->hauteur - nombre)
        return erreur.texte = "has no rows " + std::to_string(premiere) + " to " +
                        std::to_string((int64_t)premiere + nombre - 1),
               false;
    Lecteur* l = prend(*t);
    bool ok = t->bx == t->largeur ? lit_bandes(*t, l, premiere, nombre, z, presence, fractions, erreur)
                                  : lit_tuiles(*t, l, premiere, nombre, z, presence, fractions, erreur);
    rend(*t, l);
    return ok;
}

void tiff_ferme(LectureTiff* t) { delete t; }
