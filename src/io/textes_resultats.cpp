#include "textes_resultats.h"

#include "../../tavelkorn.h"
#include "../core/calcul.h"
#include "../core/noyaux.h"
#include "resultats.h"
#include "texte.h"

#include <cmath>

void ecrit_descripteur(const std::string& chemin, int taille_valeur, int mini, int maxi)
{
    FILE* f = resultat_ouvre(chemin);
    ecrit_texte(f, "%d\n%d\n%d\n%d\n%d\n%d\n", nb_lig, nb_col, taille_valeur, mini, maxi, pix_size);
    resultat_ferme(f, chemin);
}

void ecrit_rapport(const Requete& r, int mind, int maxd, int norm)
{
    f4 = resultat_ouvre(r.rapport);
    ecrit_texte(f4, "\n\tTavelkorn\n");
    ecrit_texte(f4, "\n\tStudied DEM : %s ", r.entree.c_str());
    ecrit_texte(f4, "\n\n\tDynamic scale : ");
    ecrit_texte(f4, "\n\t\tMin. %d  Max. %d ", mind, maxd);
    ecrit_texte(f4, "\n\n\tNormalization value = %d ", norm);
    ecrit_texte(f4, "\n\n\tHistogram following the columns on the line %d ", ligne_profil);
    ecrit_texte(f4, "\n\tName of this histogram : %s ", r.rapport.c_str());
    resultat_ferme(f4, r.rapport);
}

void ecrit_profil(const Requete& r)
{
    f3 = resultat_ouvre(r.profil);
    for (int j = 1; j <= nb_col - 2; j++)
        if (!std::isnan(dev_profil[j])) ecrit_texte(f3, "%d\t%lf\n", j + 1, dif > 0.0 ? etire_valeur(dev_profil[j]) : 0.0);
    resultat_ferme(f3, r.profil);
}

void ecrit_monde(const std::string& chemin, const double g[6])
{
    FILE* f = resultat_ouvre(chemin);
    ecrit_texte(f, "%.10f\n%.10f\n%.10f\n%.10f\n%.10f\n%.10f\n", g[1], g[4], g[2], g[5], g[0] + 0.5 * g[1] + 0.5 * g[2],
                g[3] + 0.5 * g[4] + 0.5 * g[5]);
    resultat_ferme(f, chemin);
}
