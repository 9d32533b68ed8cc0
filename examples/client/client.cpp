// The roughness image of a 5 x 6 DEM held in memory.
#include <tavelkorn/moteur.h>
#include <cstdio>

int main()
{
    int32_t z[5][6] = {{0}, {0}, {0, 0, 10, 0, 0, 0}, {0}, {0}};
    tavelkorn::Tableau t;
    t.donnees = z, t.nb_lig = 5, t.nb_col = 6, t.pas_ligne = sizeof z[0], t.pas_colonne = sizeof z[0][0];
    unsigned char image[5][6];
    tavelkorn::Bilan bilan;
    std::string erreur;
    if (!tavelkorn::calcul_tableau(t, tavelkorn::Options(), 255, image, nullptr, bilan, erreur))
        return fprintf(stderr, "%s\n", erreur.c_str()), 1;
    printf("dmax %g, row 2: %d %d %d %d %d %d\n", bilan.dmax, image[2][0], image[2][1], image[2][2], image[2][3],
           image[2][4], image[2][5]);
}
