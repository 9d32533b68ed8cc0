// The program's side of GDAL's formats: the module tavelkorn_gdal, loaded
// from beside the program (or its ../lib/tavelkorn/ folder once installed)
// the first time a run needs it, so that runs of the native formats never
// pay for GDAL's libraries. Every failure ends the run with the file named.
#ifndef GDAL_PROGRAMME_H
#define GDAL_PROGRAMME_H

#include "../moteur/moteur.h"
#include "../io/resultats.h"
#include "../run/requete.h"
#include "module.h"

#include <filesystem>
#include <string>
#include <vector>

extern const bool avec_gdal;  // whether this build has the module
// Whether the module is there and loads (false, never a failure, when not).
bool gdal_disponible();

// What a run has open through the module: its DEM and its image, with what
// the program checks and says about them. The run owns it and closes it
// with ferme_gdal on every way out; the module itself, loaded once, and
// GDAL's drivers are the process's.
struct Empreinte {
    std::string chemin;
    uintmax_t taille;
    std::filesystem::file_time_type date;
};
struct ContexteGdal {
    LectureGdal* lecture = nullptr;  // the DEM, once GDAL opened it (else nothing of it is asked)
    DemGdal dem;
    std::string nom_dem;
    std::vector<Empreinte> empreintes;  // the DEM's files as opened: they must not change under the run
    ImageGdal* image = nullptr;         // the image, from its creation to its closing
    std::string nom_image;
    int largeur = 0;
    bool reelles = false;  // the image holds Float32 values
};

// Opens the band of r.entree (nb_lig, nb_col, pix_size). Refuses an input
// that is not a regular file before GDAL opens it. fichiers: every local
// file the DEM is read from.
void ouvre_dem_gdal(ContexteGdal& g, const Requete& r, std::vector<std::string>& fichiers);
// The band as a source (its context is g: one thread reads it, rows in
// order, unless the module says otherwise), and the check after each pass
// that none of its files changed.
tavelkorn::Source source_gdal(ContexteGdal& g);
void verifie_dem_gdal(const ContexteGdal& g);
bool dem_georeference(const ContexteGdal& g, double geo[6]);
bool dem_a_fractions(const ContexteGdal& g);
// Whether the DEM costs more to decode again than to keep (compressed ...).
bool dem_couteux(const ContexteGdal& g);
// Whether every elevation it gives fits in 16 bits.
bool dem_etroit(const ContexteGdal& g);
// The DEM's coordinate system as ESRI WKT (false: it has none).
bool dem_wkt_esri(const ContexteGdal& g, std::string& wkt);
// The driver for OUTPUT's extension, and what a driver can do (PILOTE_*).
std::string pilote_pour(const std::string& chemin);
int capacites_pilote(const std::string& nom);
// The image: created in the result set j (with a mask when cells are
// missing), its sink (whose context is g), and its closing.
void ouvre_image_gdal(ContexteGdal& g, JeuResultats& j, const Requete& r, uint64_t manquants);
tavelkorn::Puits puits_gdal(ContexteGdal& g);
void ferme_image_gdal(ContexteGdal& g, const Requete& r);
// Metadata items of the image (NAME, value), set before it is closed.
void decrit_image_gdal(ContexteGdal& g, const std::vector<std::pair<std::string, std::string>>& items);
// Closes whatever g still holds open: the image of a run that failed, and
// the DEM.
void ferme_gdal(ContexteGdal& g);
// The local file a GDAL path names: a /vsisubfile/, /vsigzip/, /vsizip/ ...
// path's real file; "" when it names none (a remote one).
std::string chemin_reel(const std::string& chemin);

#endif
