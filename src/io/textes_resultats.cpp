#include "textes_resultats.h"

#include "resultats.h"
#include "texte.h"

#include <cmath>
#include <cstdio>
#include <string>

// A text result written whole: opened, written by ecrit, closed.
template <class F>
static bool ecrit_fichier(const JeuResultats& j, const std::string& chemin, Avis& a, F ecrit)
{
    FILE* f = resultat_ouvre(j, chemin, a);
    if (!f) return false;
    ecrit(f);
    return resultat_ferme(f, chemin, a);
}

bool ecrit_descripteur(const JeuResultats& j, const std::string& chemin, const int c[6], Avis& a)
{
    return ecrit_fichier(j, chemin, a, [&](FILE* f) {
        ecrit_texte(f, "%d\n%d\n%d\n%d\n%d\n%d\n", c[0], c[1], c[2], c[3], c[4], c[5]);
    });
}

bool ecrit_texte_entier(const JeuResultats& j, const std::string& chemin, const std::string& texte, Avis& a)
{
    return ecrit_fichier(j, chemin, a, [&](FILE* f) { ecrit_texte(f, "%s", texte.c_str()); });
}

bool ecrit_profil(const JeuResultats& j, const std::string& chemin, int nb_col,
                  const std::vector<std::vector<double>>& colonnes, int& ecrites, Avis& a)
{
    ecrites = 0;
    return ecrit_fichier(j, chemin, a, [&](FILE* f) {
        for (int c = 1; c <= nb_col - 2; c++) {
            if (std::isnan(colonnes[0][(size_t)c])) continue;
            ecrit_texte(f, "%d", c + 1);
            for (const std::vector<double>& v : colonnes) ecrit_texte(f, "\t%lf", v[(size_t)c]);
            ecrit_texte(f, "\n");
            ecrites++;
        }
    });
}

bool ecrit_monde(const JeuResultats& j, const std::string& chemin, const double g[6], Avis& a)
{
    return ecrit_fichier(j, chemin, a, [&](FILE* f) {
        ecrit_texte(f, "%.10f\n%.10f\n%.10f\n%.10f\n%.10f\n%.10f\n", g[1], g[4], g[2], g[5],
                    g[0] + 0.5 * g[1] + 0.5 * g[2], g[3] + 0.5 * g[4] + 0.5 * g[5]);
    });
}
