#include "textes_resultats.h"

#include "../../tavelkorn.h"
#include "resultats.h"
#include "texte.h"
#include "../run/echec.h"

#include <cmath>
#include <cstdio>
#include <string>

void ecrit_descripteur(const JeuResultats& j, const std::string& chemin, int taille_valeur, int mini, int maxi)
{
    FILE* f = resultat_ouvre(j, chemin);
    ecrit_texte(f, "%d\n%d\n%d\n%d\n%d\n%d\n", nb_lig, nb_col, taille_valeur, mini, maxi, pix_size);
    resultat_ferme(f, chemin);
}

// The stretch as the report and --stretch name it.
std::string nom_etirement(const Requete& r)
{
    char t[64];
    snprintf(t, sizeof t, "p%g", r.rang);
    return r.etirement == tavelkorn::ETIRE_DEMI ? "half" : r.etirement == tavelkorn::ETIRE_PLEIN ? "full" : t;
}

const char* nom_direction(const Requete& r)
{
    return r.direction == tavelkorn::DIRECTION_COLONNES ? "columns" : r.direction == tavelkorn::DIRECTION_LES_DEUX ? "both" : "rows";
}

void ecrit_rapport(const JeuResultats& j, const Requete& r, int ligne, const tavelkorn::Bilan& b,
                   const tavelkorn::Etirage& e, int norm)
{
    f4 = resultat_ouvre(j, r.rapport);
    ecrit_texte(f4, "\n\tTavelkorn\n");
    ecrit_texte(f4, "\n\tStudied DEM : %s ", r.entree.c_str());
    ecrit_texte(f4, "\n\n\tDynamic scale : ");
    ecrit_texte(f4, "\n\t\tMin. %d  Max. %d ", b.mind, b.maxd);
    ecrit_texte(f4, "\n\n\tNormalization value = %d ", norm);
    ecrit_texte(f4, "\n\n\tHistogram following the columns on the line %d ", ligne);
    ecrit_texte(f4, "\n\tName of this histogram : %s ", r.rapport.c_str());
    if (r.rapport_complet) {  // what a reader needs to make the image again
        ecrit_texte(f4, "\n\n\tInput : %s, band %d ", r.entree.c_str(), r.bande);
        ecrit_texte(f4, "\n\tImage : %s (%s) ", r.image.c_str(), r.reelles ? "Float32" : "Byte");
        if (!r.profil.empty()) ecrit_texte(f4, "\n\tProfile : %s ", r.profil.c_str());
        ecrit_texte(f4, "\n\tTerm : %s ", r.terme == tavelkorn::TERME_COURBURE ? "curvature 2z[j] - z[j-1] - z[j+1]" : "classic 4z[j] - z[j-1] - z[j+1]");
        if (r.etirement == tavelkorn::ETIRE_RANG)
            ecrit_texte(f4, "\n\tStretch : %s, percentile deviation %.17g (window maximum %.17g) ",
                        nom_etirement(r).c_str(), e.reference, b.dmax);
        else ecrit_texte(f4, "\n\tStretch : %s, window maximum %.17g ", nom_etirement(r).c_str(), b.dmax);
        ecrit_texte(f4, "\n\tZ-scale : %.17g ", r.echelle_z);
        ecrit_texte(f4, "\n\tMissing cells : %llu \n", (unsigned long long)b.manquants);
        // Along rows, as every report before the directions said without a word.
        if (r.direction != tavelkorn::DIRECTION_LIGNES) ecrit_texte(f4, "\tDirection : %s \n", nom_direction(r));
    }
    resultat_ferme(f4, r.rapport);
}

void ecrit_profil(const JeuResultats& j, const Requete& r, int ligne, const tavelkorn::Bilan& b,
                  const tavelkorn::Etirage& e)
{
    int ecrites = 0;
    f3 = resultat_ouvre(j, r.profil);
    for (int j = 1; j <= nb_col - 2; j++) {
        double d = b.profil[(size_t)j];
        if (std::isnan(d)) continue;
        ecrit_texte(f3, "%d\t%lf\n", j + 1, r.reelles ? d / std::fabs(r.echelle_z) + 0.0 : tavelkorn::valeur_etiree(e, d));
        ecrites++;
    }
    resultat_ferme(f3, r.profil);
    if (ecrites == 0) avertit("%s: row %d holds no value; the profile is empty", r.profil.c_str(), ligne);
}

void ecrit_monde(const JeuResultats& j, const std::string& chemin, const double g[6])
{
    FILE* f = resultat_ouvre(j, chemin);
    ecrit_texte(f, "%.10f\n%.10f\n%.10f\n%.10f\n%.10f\n%.10f\n", g[1], g[4], g[2], g[5], g[0] + 0.5 * g[1] + 0.5 * g[2],
                g[3] + 0.5 * g[4] + 0.5 * g[5]);
    resultat_ferme(f, chemin);
}

void ecrit_projection(const JeuResultats& j, const std::string& chemin, const std::string& wkt)
{
    FILE* f = resultat_ouvre(j, chemin);
    ecrit_texte(f, "%s", wkt.c_str());
    resultat_ferme(f, chemin);
}
