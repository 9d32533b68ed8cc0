// The run's results: declared and checked before the first pass; written
// between the reading and the image (the DEM's descriptor, the norm asked,
// the world file, the report, the profile, the image created), and once
// the image is made.
#ifndef SORTIES_H
#define SORTIES_H

#include "execution.h"

#include <optional>
#include <string>

// The memory a decoded DEM may be kept in: --memory, else a quarter of the
// machine's, and never more than is free.
uint64_t budget_de(const Requete& r);
// Every result the request names, checked together before the first pass,
// and the files beside the image that would describe it wrongly.
void prevoit_resultats(Execution& x, const Requete& r);

// What the engine's avant_image is given: the run, and the sink it fills
// once the image is created. A step that ends the run (the dialogue's input
// ended, a result that cannot be written) leaves its status in arret, its
// message said.
struct Entracte {
    Execution* x;
    const Requete* r;
    tavelkorn::Puits* puits = nullptr;
    std::optional<int> arret;
};
bool avant_image(void* contexte, const tavelkorn::Bilan& b, int& norm, std::string& erreur);
// Once the image is made: closed, and how dark it is said.
void apres_image(Execution& x, const Requete& r, const tavelkorn::Bilan& b);

// The engine's failure as the command line says it: an elevation beyond the
// 32-bit range names the option to change.
std::string message_du_moteur(const tavelkorn::Erreur& e);

#endif
