// An image being written, whatever its format: raw bytes, an 8-bit
// grayscale BMP (here) or a GDAL driver's file (gdal/gdal_programme.h).
// Each kind fills this table with a context of its own, created in the
// run's result set; the engine writes through its sink.
#ifndef IMAGES_H
#define IMAGES_H

#include "../moteur/moteur.h"
#include "avis.h"
#include "resultats.h"

#include <string>
#include <utility>
#include <vector>

typedef std::vector<std::pair<std::string, std::string>> Elements;

struct Image {
    void* contexte = nullptr;
    bool marque_manquants = false;  // missing cells can be marked (else they are 0, with a warning)
    tavelkorn::Puits puits;         // where the engine writes it; puits.contexte is the image's
    // Metadata of band b (0: of the image), when the format keeps them.
    void (*decrit)(void* contexte, int bande, const Elements& elements) = nullptr;
    // Finishes the file (false: it could not be written), and frees the context.
    bool (*ferme)(void* contexte, Avis& a) = nullptr;
    // A run that failed: closes what is open, frees the context.
    void (*abandonne)(void* contexte) = nullptr;
};
// The same through the table, for an image that may never have been opened.
bool ferme_image(Image& i, Avis& a);
void abandonne_image(Image& i);

// The raw bytes of nb_col columns (one band: the first scale), row 0 first.
bool ouvre_image_raw(Image& i, const JeuResultats& j, const std::string& chemin, int nb_col, Avis& a);
// The 8-bit grayscale BMP of nb_col x nb_lig (one band), rows from the last
// up as the file stores them.
bool ouvre_image_bmp(Image& i, const JeuResultats& j, const std::string& chemin, int nb_col, int nb_lig, Avis& a);

// The files beside an image that GDAL would read as describing it: the
// name with each of apres added (".aux.xml"), and the name's stem with each
// of stem (".wld").
std::vector<std::string> compagnons(const std::string& image, const std::vector<std::string>& apres,
                                    const std::vector<std::string>& stem);

#endif
