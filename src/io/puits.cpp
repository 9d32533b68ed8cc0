#include "puits.h"

#include "../../tavelkorn.h"
#include "../gdal/gdal_programme.h"
#include "../run/echec.h"
#include "resultats.h"
#include "textes_resultats.h"

#include "image.h"

static void ouvre_fichier(Execution& x, const Requete& r, uint64_t) { f2 = resultat_ouvre(x.resultats, r.image); }

static void ouvre_raw(Execution& x, const Requete& r, uint64_t)
{
    ouvre_fichier(x, r, 0);
    ecrit_descripteur(x.resultats, r.descripteur_image, 1, 0, 255);
}

static void ferme_fichier(Execution&, const Requete& r) { resultat_ferme(f2, r.image); }

static bool ecrit_octets(void* contexte, int, int nombre, const void* octets, const unsigned char*, std::string& erreur)
{
    const Requete& r = *(const Requete*)contexte;
    size_t n = (size_t)nombre * nb_col;
    if (fwrite(octets, 1, n, f2) == n) return true;
    erreur = r.image + ": could not be written completely";
    return false;
}

static tavelkorn::Puits puits_raw(Execution&, const Requete& r)
{
    tavelkorn::Puits p;
    p.contexte = (void*)&r;
    p.ecrit_bloc = ecrit_octets;
    return p;
}

// BMP rows are stored bottom-up: the writer asks them from the last.
static bool tire_bmp(void* contexte, const unsigned char* (*ligne)(int i, void* calcul), void* calcul,
                     std::string& erreur)
{
    const Requete& r = *(const Requete*)contexte;
    if (EcritBMP(f2, ligne, calcul, nb_col, nb_lig, 0, nullptr) == 0) return true;
    erreur = r.image + ": could not be written completely";
    return false;
}

static tavelkorn::Puits puits_bmp(Execution&, const Requete& r)
{
    tavelkorn::Puits p;
    p.contexte = (void*)&r;
    p.descendant = true;
    p.tire = tire_bmp;
    return p;
}

static void ouvre_par_gdal(Execution& x, const Requete& r, uint64_t manquants)
{
    ouvre_image_gdal(x.gdal, x.resultats, r, manquants);
}
static tavelkorn::Puits puits_par_gdal(Execution& x, const Requete&) { return puits_gdal(x.gdal); }
static void ferme_par_gdal(Execution& x, const Requete& r) { ferme_image_gdal(x.gdal, r); }

static const Format FORMATS[] = {
    {IMAGE_RAW, false, ouvre_raw, puits_raw, ferme_fichier},
    {IMAGE_BMP, false, ouvre_fichier, puits_bmp, ferme_fichier},
    {IMAGE_GDAL, true, ouvre_par_gdal, puits_par_gdal, ferme_par_gdal},
};

const Format* format_pour(GenreImage genre)
{
    for (const Format& f : FORMATS)
        if (f.genre == genre) return &f;
    return nullptr;
}
