// What the program's modules share: the run's state, the messages, the
// result files, and the one computation with its DEM source and the rows it
// hands to the image writers.
#ifndef TAVELKORN_H
#define TAVELKORN_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The run's state.
extern int nb_lig, nb_col, pix_size, format;  // format: 0 raw, 1 BMP, 2 GDAL, other: no image
extern std::string nomim1, nomdescr1, nomim2, nomim3, nomim4;
extern FILE *f1, *f2, *f3, *f4;
extern int ligne_profil;      // the row of the profile (nb_lig / 2 in the dialogue)
extern double echelle_z;      // elevations were multiplied by it (1 in the dialogue)
extern bool valeurs_reelles;  // the image is the Float32 deviation, not bytes
extern bool silencieux;       // no progress line
extern int nb_fils;           // threads of the computation
extern uint64_t nb_manquants; // missing cells found by the first pass

// Messages on standard error, "tavelkorn: " first. echec removes the run's
// temporary files and ends it with status 1.
void signale(const char* fmt, ...);
void avertit(const char* fmt, ...);
[[noreturn]] void echec(const char* fmt, ...);

// Result files, written under temporary names and renamed into place by
// valide_resultats at the end of a successful run.
FILE* ouvre_resultat(const std::string& chemin);
void ferme_resultat(FILE*& f, const std::string& chemin);
// ajoute_resultat is false when temporaire is already a result.
bool ajoute_resultat(const std::string& temporaire, const std::string& final_);
void valide_resultats();
void ecrit_descripteur(const std::string& chemin, int taille_valeur, int mini, int maxi);
// Whether writing chemin would destroy the DEM or its descriptor.
bool touche_l_entree(const std::string& chemin);
// A path the run reads: false when nothing is there; ends the run when it
// is anything but a regular file.
bool fichier_d_entree(const std::string& chemin);

// The native DEM nomim1: opened (ouvre_dem_natif), or opened with its
// descriptor nomdescr1 read and the memory prepared (prepare_dem_natif).
void ouvre_dem_natif();
void prepare_dem_natif();

// The DEM source: rows premiere to premiere + nombre - 1 into z, nb_col
// elevations a row, and, when avec_manquants, their presence (1 present, 0
// missing) into presence. Ends the run on failure.
extern void (*lit_bloc)(int premiere, int nombre, int* z, unsigned char* presence);
extern bool avec_manquants;

// The two passes. lecture reads the DEM once for the range, the window
// maximum and the profile row; calcule_et_ecrit stretches with norm, writes
// the profile, the report (when their paths are set) and the image, and
// renames every result into place.
void alloue_blocs(const char* nom);
void lecture(int& mind, int& maxd);
void rapport(int mind, int maxd, int norm);
void calcule_et_ecrit(int norm);
// The world file of a georeferenced DEM's BMP image.
void ecrit_monde(const std::string& chemin);
// Image rows for the writers, asked in order (upwards, or downwards when
// descendant is set): bytes, Float32 values, presence (null: all present).
extern bool descendant;
const unsigned char* ligne_image(int i, void* contexte);
const float* valeurs_image(int i);
const unsigned char* presence_image(int i);
// The rows from i to the end of the block ligne_image(i) computed.
int reste_du_bloc(int i);

// The command line (tavelkorn [OPTIONS] INPUT OUTPUT); returns the status.
int ligne_de_commande(int argc, char** argv);

// GDAL's formats, where the program is built with GDAL.
// They live in a module, tavelkorn_gdal, loaded on first use; avec_gdal
// tells whether the program was built with it. ouvre_dem_gdal opens the band
// of a DEM and makes it the source (it sets nb_lig, nb_col, avec_manquants);
// ecrit_image_gdal writes the image to nomim2 with the driver pilote and the
// creation options.
extern const bool avec_gdal;
extern std::string pilote;
extern std::vector<std::string> options_creation;
void ouvre_dem_gdal(const std::string& chemin, int bande);
bool dem_georeference(double geo[6]);
// Whether a float DEM read at --z-scale 1 had fractions, rounded away.
bool dem_a_fractions();
void ecrit_image_gdal();
// The driver for a file name's extension ("" when none is known), and
// whether a driver of that name can create files.
std::string pilote_pour(const std::string& chemin);
bool pilote_cree(const std::string& nom);

// What the module hands the program.
struct ModuleGdal {
    void (*ouvre_dem)(const std::string& chemin, int bande);
    bool (*georeference)(double geo[6]);
    bool (*fractions)();
    void (*ecrit_image)();
    std::string (*pilote_pour)(const std::string& chemin);
    bool (*pilote_cree)(const std::string& nom);
};

#endif
