// The result set: every file a run leaves is written inside a private
// folder created beside it (DIR/.STEM.tavelkorn-tmp-XXXXXX/, mode 0700)
// under its final name, so a driver's companion files get their final names
// too. All checks are done before the first pass and again, for the
// companions, before the first rename; then every result is put in place in
// one burst. A failed or interrupted run removes the private folders whole.
//
// Life cycle: resultats_prevoit (each result) -> resultats_prepare (checks,
// private folders) -> resultat_ouvre / resultat_prive (writing) ->
// resultats_valide (companions checked, renames) or resultats_abandonne.
#ifndef RESULTATS_H
#define RESULTATS_H

#include "avis.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct Resultat {
    std::string final_, prive, role;
    uint64_t taille;
    bool direct;   // an existing FIFO or device: written into, never replaced
    bool requis;   // the image: a run that did not write it fails
    size_t dossier;
    bool efface;   // a file that would describe the new image wrongly: removed, never written
};
struct DossierPrive {
    std::string parent, chemin;  // the folder of the results, and the private one inside it
};

// A run's result set, which the run owns. Only the private folders are
// known to the process as well: plateforme.h registers each as it is
// created, so that an interruption, which has no run to ask, removes them.
struct JeuResultats {
    std::vector<Resultat> resultats;
    std::vector<DossierPrive> dossiers;
    std::vector<std::string> brouillons;  // scratch files in the image's private folder
    uint64_t reserve = 0;                 // scratch bytes the run will write beside the image
    std::vector<std::string> entrees;     // the input's files, which no result may name
    std::string nom_entrees;
};

// A result the run will write; role names it in messages ("the profile"),
// taille is its size when known (0 otherwise), for the free-space check;
// image marks the one result a successful run must have written.
void resultats_prevoit(JeuResultats& j, const std::string& final_, const char* role, uint64_t taille = 0,
                       bool image = false);
// A file beside the image that readers would take as describing it (GDAL's
// .aux.xml, overviews, a world file the new image does not have): removed
// with the renames, so that a failed run leaves it as it was. A name that
// is a result of the run, or not a regular file, is left alone.
void resultats_efface(JeuResultats& j, const std::string& final_);
// Scratch bytes the run will write beside the image (counted in the
// free-space check).
void resultats_reserve(JeuResultats& j, uint64_t octets);
// False (a usage error) for two results under one name; false for a result
// that names a file of the input, a folder, an image that is not a regular
// file, results that cannot fit in the free space, or a private folder that
// cannot be created. A result that is an existing FIFO or device is not
// replaced: its content is written into it at the end. nom_entrees names
// the input in messages ("the DEM or its descriptor").
bool resultats_prepare(JeuResultats& j, const std::vector<std::string>& entrees, const std::string& nom_entrees,
                       Avis& a);
// A new file in the private folder for the result final_ (binary; text gets
// its CR LF from ecrit_texte), null with the reason; and its closing: false
// when it could not be written completely.
FILE* resultat_ouvre(const JeuResultats& j, const std::string& final_, Avis& a);
bool resultat_ferme(FILE*& f, const std::string& final_, Avis& a);
// Where a writer of its own (a GDAL driver) writes the result final_.
std::string resultat_prive(const JeuResultats& j, const std::string& final_);
// A scratch file in the image's private folder, never kept.
std::string resultat_brouillon(JeuResultats& j, const std::string& nom);
// Puts every result in place: files a driver added are adopted (and
// checked like the others), then FIFOs and devices are written, then every
// other result is renamed over its final name, and the files that would
// describe it wrongly go. A failure part-way names the results already
// replaced.
bool resultats_valide(JeuResultats& j, Avis& a);
// A message of another library's with every path inside a private folder
// given its final name. From the folders the process has registered: GDAL's
// warnings reach it from any thread, with no run of theirs.
std::string noms_finals(std::string texte);
// Removes the private folders and everything in them.
void resultats_abandonne(JeuResultats& j);

// Whether two paths name one file: lexically normalised, links resolved,
// case-folded on Windows, and hard links by the files themselves.
bool meme_fichier(const std::string& a, const std::string& b);

#endif
