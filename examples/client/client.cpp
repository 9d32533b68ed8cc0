// The roughness images of a 7 x 9 DEM held in memory, at scales 1 and 2.
#include <tavelkorn/moteur.h>
#include <cstdio>

int main()
{
    int32_t z[7][9] = {{0}, {0}, {0}, {0, 0, 0, 0, 10}, {0}, {0}, {0}};
    tavelkorn::Tableau t;
    t.donnees = z, t.nb_lig = 7, t.nb_col = 9, t.pas_ligne = sizeof z[0], t.pas_colonne = sizeof z[0][0];
    tavelkorn::Options o;
    o.echelles = {1, 2};  // one image each
    unsigned char image[2][7][9];
    tavelkorn::Bilan bilan;
    tavelkorn::Erreur erreur;
    if (!tavelkorn::calcul_tableau(t, o, image, nullptr, bilan, erreur))
        return fprintf(stderr, "%s (%s)\n", erreur.texte.c_str(), tavelkorn::texte_du_code(erreur.code)), 1;
    for (int s = 0; s < 2; s++) {
        printf("scale %d: dmax %g, row 3:", bilan.echelles[s].echelle, bilan.echelles[s].dmax);
        for (int j = 0; j < 9; j++) printf(" %d", image[s][3][j]);
        printf("\n");
    }
}
