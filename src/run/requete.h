// A run, described whole: what to read, what to compute, what to write.
// The dialogue and the command line only fill a Requete; execute() does the
// rest, the same way for both.
#ifndef REQUETE_H
#define REQUETE_H

#include "../moteur/moteur.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Where the image goes.
enum GenreImage { IMAGE_RAW, IMAGE_BMP, IMAGE_GDAL, SANS_IMAGE };

struct Requete;

// The dialogue's steps inside the run: once the DEM is open and its
// computation made, the results' name and format, which fill the request;
// the word as the reading starts; the normalisation value, asked once the
// range is known; the last words before the results are put in place.
struct Dialogue {
    void (*resultats)(Requete& r) = nullptr;
    void (*avant_lecture)() = nullptr;
    int (*demande_norm)(int mind, int maxd) = nullptr;
    void (*fin)() = nullptr;
};

struct Requete {
    // The DEM: a native NAME.raw with its descriptor (descripteur set), or
    // anything GDAL reads (descripteur empty), and its band. The dialogue
    // has opened the native DEM already (dem) and knows its dimensions.
    std::string entree, descripteur;
    int bande = 1;
    FILE* dem = nullptr;            // the native DEM, open; the run closes it
    int nb_lig = 0, nb_col = 0, pix_size = 0;  // the native DEM's, when known (else from its descriptor)
    bool cree_descripteur = false;  // the descriptor is missing: write it once the range is known

    // The results; an empty path writes nothing.
    GenreImage genre = SANS_IMAGE;
    std::string image;
    std::string descripteur_image;  // the raw image's descriptor
    std::string monde, projection;  // the BMP's world file and .prj, written when the DEM is georeferenced
    std::string profil, rapport;
    std::string pilote;                 // the GDAL driver of IMAGE_GDAL
    std::vector<std::string> options;   // its creation options

    // The computation.
    tavelkorn::Terme terme = tavelkorn::TERME_CLASSIQUE;
    tavelkorn::Direction direction = tavelkorn::DIRECTION_LIGNES;  // the dialogue's: along rows
    tavelkorn::Etirement etirement = tavelkorn::ETIRE_DEMI;  // half, full, or the percentile rang
    double rang = 100.0;
    std::vector<int> echelles = {1};  // the scales, ascending: one band each
    bool resume = false;              // two bands instead: the largest byte over the scales, and its scale
    int norm = 255;
    double echelle_z = 1.0;  // elevations are multiplied by it
    bool reelles = false;    // Float32 deviations instead of bytes
    int ligne_profil = -1;   // -1: the middle row
    int fils = 1;
    uint64_t memoire = UINT64_MAX;  // bytes the decoded DEM may keep in memory (UINT64_MAX: a quarter of the machine's)
    bool silencieux = false;
    bool progres = false;          // GDAL-style progress on standard error
    bool avec_nodata = false;      // cells of a native DEM equal to nodata are missing
    double nodata = 0;
    tavelkorn::TypeElevation type_natif = tavelkorn::ELEV_INT32;  // the values of a native DEM
    bool rapport_complet = false;  // the report adds what reproduces the image (the command line's)

    const Dialogue* dialogue = nullptr;  // the dialogue's steps (null on the command line)
};

// A size such as 64M or 2G (K, M, G, T: powers of 1024; none: bytes); 0, or
// at least one byte.
bool lit_taille(const std::string& texte, uint64_t& octets);

// The run: opens the DEM, checks and prepares every result, hands the
// engine its source and sink, and puts the results in place.
// A failure throws Echec (echec.h), the run's files gone with it.
void execute(Requete& r);

#endif
