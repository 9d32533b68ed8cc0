// The GDAL module's interface: the one table the module hands the program,
// and the one table of callbacks the program hands the module. The module
// includes nothing else of the program but the engine, whose rounding of
// the z-scale it shares; its failures come back as false with the reason in
// erreur, and the program reports them.
#ifndef MODULE_H
#define MODULE_H

#include "../moteur/moteur.h"

#include <string>
#include <vector>

struct RappelsProgramme {
    void (*avertit)(const char* texte);  // a warning of GDAL's, for standard error
};

// The DEM as the module opened it.
struct DemGdal {
    int nb_lig, nb_col, pix_size;
    bool manquants;   // nodata or NaN may occur
    bool geo_ok;      // geo holds its geotransform
    bool couteux;     // decoding it costs more than reading it again (compressed, a mosaic ...)
    bool etroit;      // every elevation it gives fits in 16 bits (an Int16 or Byte band at z-scale 1)
    bool parallele;   // lit_bloc may be called from several threads at once, rows in any order
    double geo[6];
    std::string wkt;  // its coordinate system (GDAL's WKT; empty: none)
    std::vector<std::string> fichiers;  // the files it is read from (GDALGetFileList)
};

// What a driver can do.
enum {
    PILOTE_CREE = 1,      // Create: written row by row
    PILOTE_COPIE = 2,     // CreateCopy only: written from a finished GeoTIFF
    PILOTE_FICHIERS = 4,  // writes files (not MEM and the like)
    PILOTE_FLOAT32 = 8,   // stores Float32
    PILOTE_MASQUE = 16,   // a mask band can be added to what it writes
};

// What the module has open, opaque to the program: a DEM being read and an
// image being written. The module allocates each and frees it in the call
// that closes it (ferme_dem; ferme_image or abandonne), so the program may
// hold several at once and shares nothing between them.
struct LectureGdal;
struct ImageGdal;

struct ModuleGdal {
    // The band of a DEM, its elevations multiplied by echelle_z: a new
    // reading context, null when it cannot be read (with the reason).
    LectureGdal* (*ouvre_dem)(const char* chemin, int bande, double echelle_z, DemGdal& dem, std::string& erreur);
    // Rows premiere .. premiere + nombre - 1: elevations and presence (an
    // elevation beyond the 32-bit range once scaled: CODE_PLAGE).
    bool (*lit_bloc)(LectureGdal* l, int premiere, int nombre, int* z, unsigned char* presence,
                     tavelkorn::Erreur& erreur);
    // Whether a float DEM read at z-scale 1 had fractions, rounded away.
    bool (*fractions)(const LectureGdal* l);
    // Closes the DEM (waiting for a row being read ahead) and frees l.
    void (*ferme_dem)(LectureGdal* l);
    // The driver for a file name's extension ("" when none), and what a driver can do (0: none of that name).
    std::string (*pilote_pour)(const char* chemin);
    int (*pilote)(const char* nom);
    // The image, l x h x bandes: created at chemin with the driver and
    // options, the geotransform geo and the coordinate system wkt (null:
    // none), Float32 (reelles) or Byte with a mask when masque (which comes
    // back false when the driver stores none: the missing cells are then
    // nodata 0); written a block at a time, each band's values pas_bande
    // after the one before (presence null: all present); closed (and copied,
    // for CreateCopy drivers, through brouillon). cree_image returns a new
    // image context, null on failure; ferme_image frees it, written or not.
    ImageGdal* (*cree_image)(const double* geo, const char* wkt, const char* chemin, const char* pilote,
                             const std::vector<std::string>& options, int l, int h, int bandes, bool reelles,
                             bool& masque, const char* brouillon, std::string& erreur);
    bool (*ecrit_bloc)(ImageGdal* i, int premiere, int nombre, const void* valeurs, size_t pas_bande,
                       const unsigned char* presence, std::string& erreur);
    bool (*ferme_image)(ImageGdal* i, std::string& erreur);
    // The DEM's coordinate system as ESRI WKT, for a .prj (false: it has none).
    bool (*wkt_esri)(const LectureGdal* l, std::string& wkt);
    // Closes an image that will not be finished, and frees i.
    void (*abandonne)(ImageGdal* i);
    // A metadata item of band b (0: of the image), and a band's
    // description, before it is closed.
    void (*metadonnee)(ImageGdal* i, int bande, const char* nom, const char* valeur);
    void (*description)(ImageGdal* i, int bande, const char* texte);
};

typedef const ModuleGdal* (*EntreeModule)(const RappelsProgramme* rappels);
#define ENTREE_MODULE "tavelkorn_gdal"

#endif
