// Tavelkorn: terrain roughness from a digital elevation model.
//
// The operator names a DEM (a headerless grid of int32 elevations, NAME.raw,
// described by NAME.txt); for every row the program takes the curvature term
// 4 z[j] - z[j-1] - z[j+1], subtracts the row's mean term and keeps the
// absolute deviation, then stretches the deviations so that half the largest
// one in the search window maps to 0 and the largest to the normalisation
// value. Results: the byte image (raw raster with its descriptor, or an 8-bit
// grayscale BMP), the profile of the middle row, and a run report.
//
// main reads a request from the dialogue or the command line and hands it to
// the one run sequence (src/run/execution.cpp); a failure anywhere comes back
// here as Echec, the run's private folders gone with it.
#include "tavelkorn.h"

#include "src/front/commande.h"
#include "src/front/dialogue.h"
#include "src/io/dem_natif.h"
#include "src/platform/plateforme.h"
#include "src/run/echec.h"
#include "src/run/requete.h"

#include <cstdlib>

// The dialogue's state, set by ouverture and read by its later steps.
int nb_lig, nb_col, pix_size, format;
bool descriptif_OK;
std::string nomim1;     // DEM raw file
std::string nomdescr1;  // DEM descriptor
std::string nomim2;     // result image (the stem until the format is known)
std::string nomim3;     // profile table
std::string nomim4;     // run report
FILE* f1;

static std::string nomfic;  // the DEM's name, the results' by default

// Once the DEM is open and its computation made: the results' name and
// format.
static void resultats_du_dialogue(Requete& r)
{
    std::string souche;
    do souche = nomim2 + nom_des_resultats(nomfic);
    while (!nom_de_resultat_sur(souche));
    nomim3 = souche + "_tavelkorn.xls";
    nomim4 = souche + "_tavelkorn_info.txt";
    format = demande_format(souche);
    nomim2 = souche + (format == 0 ? "_tavelkorn.raw" : format == 1 ? "_tavelkorn.bmp" : "");
    r.genre = format == 0 ? IMAGE_RAW : format == 1 ? IMAGE_BMP : SANS_IMAGE;
    r.image = nomim2;
    r.descripteur_image = souche + "_tavelkorn.txt";
    r.profil = nomim3;
    r.rapport = nomim4;
}

static const Dialogue DIALOGUE = {resultats_du_dialogue, annonce_lecture, demande_norm, fin_du_dialogue};

// The dialogue: the DEM's folder and name, the DEM opened, its dimensions
// read from its descriptor or asked, and shown. A DEM that does not exist
// ends the run after a key press, with status 0.
static void ouverture()
{
    banniere();
    nomim1 = repertoire_base();
    nomim1 += demande_mot("\n\n\tName of the File Folder located in the Directory C:\\images : ", "folder name");
    nomim1 += SEPARATEUR;
    nomim2 = nomim1;  // the results go to the DEM's folder
    nomfic = demande_mot("\n\tName of the DEM (integer 4) (whitout extension .raw) ? ", "DEM name");
    nomdescr1 = nomim1 + nomfic + ".txt";
    nomim1 += nomfic + ".raw";
    // Only a DEM that does not exist is "unknown"; one that cannot be read
    // is a failure with its reason.
    Avis a;
    bool existe = false;
    exige(fichier_d_entree(nomim1, existe, a), a);
    if (!existe) {
        printf("\n\tFile %s unknown\n", nomim1.c_str());
        attend_touche();
        throw Echec{0};
    }
    f1 = ouvre_fichier_dem(nomim1, a);
    exige(f1 != nullptr, a);
    dimensions();
    printf("\n\n\tTHE DIGITAL ELEVATION MODEL HAS : ");
    printf("\n\t            %d LINES", nb_lig);
    printf("\n\t        AND %d COLUMNS\n", nb_col);
}

// The run the dialogue describes; it takes the open DEM.
static void requete_du_dialogue(Requete& r)
{
    r.entree = nomim1;
    r.descripteur = nomdescr1;
    r.dem = f1;
    f1 = nullptr;
    r.nb_lig = nb_lig, r.nb_col = nb_col, r.pix_size = pix_size;
    r.cree_descripteur = !descriptif_OK;
    r.dialogue = &DIALOGUE;
}

int main(int argc, char** argv)
{
    installe_interruptions();
    int statut = 0;
    try {
        Requete r;
        r.fils = tavelkorn::fils_par_defaut();
        const char* memoire = getenv("TAVELKORN_MEMORY");
        if (memoire && *memoire && !lit_taille(memoire, r.memoire))
            avertit("TAVELKORN_MEMORY=%s: not a size such as 512M or 2G; ignored", memoire);
        if (argc > 1) {
            statut = ligne_de_commande(argc, argv, r);
        } else {
            ouverture();
            requete_du_dialogue(r);
        }
        if (argc == 1 || statut < 0) {
            execute(r);
            statut = 0;
        }
    } catch (const Echec& e) {
        statut = e.statut;
    }
    if (f1) fclose(f1), f1 = nullptr;  // a dialogue that stopped before the run took the DEM
    return statut;
}
