// The program's side of GDAL's formats: the module tavelkorn_gdal, loaded
// from beside the program (or its ../lib/tavelkorn/ folder once installed)
// the first time a run needs it, so that runs of the native formats never
// pay for GDAL's libraries. Every failure ends the run with the file named.
#ifndef GDAL_PROGRAMME_H
#define GDAL_PROGRAMME_H

#include "../moteur/moteur.h"
#include "../run/requete.h"

#include <string>
#include <vector>

extern const bool avec_gdal;  // whether this build has the module
// Whether the module is there and loads (false, never a failure, when not).
bool gdal_disponible();

// Opens the band of r.entree (nb_lig, nb_col, pix_size). Refuses an input
// that is not a regular file before GDAL opens it. fichiers: every local
// file the DEM is read from.
void ouvre_dem_gdal(const Requete& r, std::vector<std::string>& fichiers);
// The band as a source (one thread reads it, rows in order), and the check
// after each pass that none of its files changed.
tavelkorn::Source source_gdal();
void verifie_dem_gdal();
bool dem_georeference(double geo[6]);
bool dem_a_fractions();
// Whether the DEM costs more to decode again than to keep (compressed ...).
bool dem_couteux();
// Whether every elevation it gives fits in 16 bits.
bool dem_etroit();
// The DEM's coordinate system as ESRI WKT (false: it has none).
bool dem_wkt_esri(std::string& wkt);
// The driver for OUTPUT's extension, and what a driver can do (PILOTE_*).
std::string pilote_pour(const std::string& chemin);
int capacites_pilote(const std::string& nom);
// The image: created (with a mask when cells are missing), its sink, and
// its closing.
void ouvre_image_gdal(const Requete& r, uint64_t manquants);
tavelkorn::Puits puits_gdal(const Requete& r);
void ferme_image_gdal(const Requete& r);
// Metadata items of the image (NAME, value), set before it is closed.
void decrit_image_gdal(const std::vector<std::pair<std::string, std::string>>& items);
// Closes whatever the module holds open (a run that failed).
void abandonne_gdal();
// The local file a GDAL path names: a /vsisubfile/, /vsigzip/, /vsizip/ ...
// path's real file; "" when it names none (a remote one).
std::string chemin_reel(const std::string& chemin);

#endif
