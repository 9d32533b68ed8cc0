#include "puits.h"

#include "../../tavelkorn.h"
#include "../core/calcul.h"
#include "../gdal/gdal_programme.h"
#include "../run/echec.h"
#include "resultats.h"
#include "textes_resultats.h"

#include "image.h"

static void ouvre_fichier(const Requete& r) { f2 = resultat_ouvre(r.image); }

static void ouvre_raw(const Requete& r)
{
    ouvre_fichier(r);
    ecrit_descripteur(r.descripteur_image, 1, 0, 255);
}

static void ecrit_octets(int premiere, int nombre)
{
    size_t n = (size_t)nombre * nb_col;
    if (fwrite(ligne_image(premiere, nullptr), 1, n, f2) != n) echec("%s: could not be written completely", nomim2.c_str());
}

static void ecrit_raw(const Requete& r)
{
    pour_chaque_bloc(ecrit_octets);
    resultat_ferme(f2, r.image);
}

// BMP rows are stored bottom-up: the writer asks them from the last.
static void ecrit_bmp(const Requete& r)
{
    if (EcritBMP(f2, ligne_image, nullptr, nb_col, nb_lig, 0, nullptr) != 0)
        echec("%s: could not be written completely", r.image.c_str());
    resultat_ferme(f2, r.image);
}

static const Puits PUITS[] = {
    {IMAGE_RAW, false, false, ouvre_raw, ecrit_raw},
    {IMAGE_BMP, true, false, ouvre_fichier, ecrit_bmp},
    {IMAGE_GDAL, false, true, ouvre_image_gdal, ecrit_image_gdal},
};

const Puits* puits_pour(GenreImage genre)
{
    for (const Puits& p : PUITS)
        if (p.genre == genre) return &p;
    return nullptr;
}
