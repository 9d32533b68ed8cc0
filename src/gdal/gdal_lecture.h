// Inside the GDAL module, the ways a DEM band is read: the one conversion of
// a band's values into the engine's elevations; the direct reader of
// uncompressed GeoTIFFs (gdal_tiff.cpp), which reads their strips or tiles
// with plain positional reads, one file handle per thread, instead of going
// through GDAL's block cache; and the reading ahead of DEMs that GDAL
// decodes (gdal_avance.cpp).
#ifndef GDAL_LECTURE_H
#define GDAL_LECTURE_H

#include "../moteur/moteur.h"

#include <gdal.h>

#include <cstddef>
#include <string>

// How a band's values become elevations.
struct Regles {
    GDALDataType bande;  // the band's type (a Float32 band's nodata is compared as a float)
    bool entiere;        // an integer band that fits, at z-scale 1: taken as it is
    bool manquants;      // presence is written (nodata or NaN may occur)
    bool a_nodata;
    double nodata;
    double echelle;      // the z-scale: values times it, rounded half away from zero
};

// lignes x colonnes values of type (in the file's byte order when inverse:
// the other one than the machine's), pas_source values from one row to the
// next, into z and presence (pas_z from row to row; presence only when
// r.manquants). source may be z itself for an Int32 source. fractions:
// set when a rounding dropped a fraction. False with the reason in erreur
// (an elevation beyond the 32-bit range: CODE_PLAGE, in the engine's words).
bool convertit(const void* source, GDALDataType type, bool inverse, int lignes, int colonnes, size_t pas_source,
               int* z, unsigned char* presence, size_t pas_z, const Regles& r, bool& fractions, tavelkorn::Erreur& erreur);

// The direct reader of one band, and its reading ahead: each a state of its
// own, which the DEM's reading context holds.
struct LectureTiff;
struct LectureAvance;

// Whether the band is read directly: an uncompressed GeoTIFF in a plain
// local file, one sample of 8 to 64 bits a value, every block present, no
// mask of its own. Null with the reason in pourquoi; GDAL reads it then.
LectureTiff* tiff_ouvre(GDALDatasetH ds, GDALRasterBandH bande, const Regles& r, std::string& pourquoi);
// Rows premiere .. premiere + nombre - 1, as the module's lit_bloc; may be
// called from several threads at once.
bool tiff_lit(LectureTiff* t, int premiere, int nombre, int* z, unsigned char* presence, bool& fractions,
              tavelkorn::Erreur& erreur);
// Closes the file handles and frees t.
void tiff_ferme(LectureTiff* t);

// A DEM that GDAL decodes (compressed, a mosaic ...) read a whole row of
// blocks at a time through a dataset of its own, the next row decoded on
// another thread while the program takes the current one. Null when its
// rows of blocks are too large to hold two of them; GDAL reads it as asked
// then.
LectureAvance* avance_ouvre(const char* chemin, int bande, const Regles& r);
// Rows premiere .. premiere + nombre - 1, as the module's lit_bloc; from one
// thread, fastest in increasing order.
bool avance_lit(LectureAvance* a, int premiere, int nombre, int* z, unsigned char* presence, bool& fractions,
                tavelkorn::Erreur& erreur);
// Waits for the row being decoded, closes the dataset and frees a.
void avance_ferme(LectureAvance* a);

#endif
