// The console dialogue: its prompts, the answers it accepts and the
// request it fills. ouverture (tavelkorn.cpp) asks them in order.
#include "dialogue.h"

#include "../../tavelkorn.h"
#include "../io/dem_natif.h"
#include "../io/resultats.h"
#include "../platform/plateforme.h"
#include "../run/echec.h"

#include "image.h"

#include <climits>
#include <cstdio>
#include <string>

[[noreturn]] static void fin_de_saisie(const char* quoi)
{
    echec("end of input at the %s prompt: the run stops", quoi);
}

std::string demande_mot(const char* invite, const char* quoi)
{
    for (;;) {
        printf("%s", invite);
        std::string mot;
        Reponse r = lit_mot(mot);
        if (r == REPONSE_OK) return mot;
        if (r == REPONSE_FIN) fin_de_saisie(quoi);
        signale("the %s holds a NUL byte: type it again", quoi);
    }
}

// Asks until a whole number no smaller than minimum comes.
int demande_entier(const std::string& invite, const char* quoi, int minimum)
{
    for (;;) {
        printf("%s", invite.c_str());
        int v = 0;
        std::string rebut;
        Reponse r = lit_entier(v, rebut);
        if (r == REPONSE_FIN) fin_de_saisie(quoi);
        if (r == REPONSE_INVALIDE) signale("'%s': the %s must be a whole number", rebut.c_str(), quoi);
        else if (v < minimum) signale("%d: the %s must be at least %d", v, quoi, minimum);
        else return v;
    }
}

void banniere()
{
    const std::string etoiles(62, '*'), blanc(60, ' ');
    printf("\n\n\t%s", etoiles.c_str());
    for (int k = 0; k < 10; k++)
        printf("\n\t*%s*", k == 1 ? "                        Tavelkorn                           " : blanc.c_str());
    printf("\n\t%s", etoiles.c_str());
}

// The DEM's descriptor is read now; a missing one is asked for and written
// once the elevation range is known.
void dimensions()
{
    descriptif_OK = true;
    Avis a;
    bool existe = false;
    exige(fichier_d_entree(nomdescr1, existe, a), a);
    if (existe) {
        exige(lit_dimensions(nomdescr1, nb_lig, nb_col, pix_size, a), a);
        return;
    }
    printf("\n\tNo File %s \n\n", nomdescr1.c_str());
    nb_lig = demande_entier("\n\tNumber of lines   ? ", "number of lines", 1);
    nb_col = demande_entier("\n\tNumber of columns ? ", "number of columns", 1);
    pix_size = demande_entier("\n\tPixel size ? ", "pixel size", INT_MIN);
    descriptif_OK = false;
}

std::string nom_des_resultats(const std::string& nomfic)
{
    printf("\n\tResulting File : ");
    std::string menu = "\n\t\t0 -----> Use of the generic name " + nomfic +
                       " ? \n\t\t1 -----> Creation of a new File ? \n\t\t";
    int rep;
    do rep = demande_entier(menu, "result name menu", INT_MIN);
    while (rep != 0 && rep != 1);
    if (rep == 0) return nomfic;
    return demande_mot("\n\tName of the File to be created (without any extension) ? ", "result name");
}

// A result must never be the DEM or its descriptor: the name is asked again.
bool nom_de_resultat_sur(const std::string& souche)
{
    for (const char* fin : {"_tavelkorn.xls", "_tavelkorn_info.txt", "_tavelkorn.raw", "_tavelkorn.txt", "_tavelkorn.bmp"})
        for (const std::string& entree : {nomim1, nomdescr1})
            if (meme_fichier(souche + fin, entree)) {
                signale("%s%s would overwrite the DEM or its descriptor: choose another name", souche.c_str(), fin);
                return false;
            }
    return true;
}

int demande_format(const std::string& souche)
{
    printf("\n\tType of Format : ");
    for (;;) {
        int f;
        do f = demande_entier("\n\t\t0 ====> raster\n\t\t1 ====> bitmap\n\t\t", "format menu", INT_MIN);
        while (f > 1);
        if (f != 1 || TailleBMP(nb_col, nb_lig, 0) >= 0) return f;
        signale("%s_tavelkorn.bmp: %d x %d pixels do not fit in a BMP file (4 GiB at most); choose the raster format",
                souche.c_str(), nb_lig, nb_col);
    }
}

void annonce_lecture() { printf("\n\tLecture \n"); }

// After the first pass: the range, and the normalisation value.
int demande_norm(int mind, int maxd)
{
    printf("\n\tAltitudes : ");
    printf("\n\tMin : %d\tMax : %d ", mind, maxd);
    int norm = demande_entier("\n\tNormalization value (255 max.) ? ", "normalization value", INT_MIN);
    printf("\n\n");
    return norm;
}

void fin_du_dialogue() { printf("\n"); }
