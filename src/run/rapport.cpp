#include "rapport.h"

#include <cstdio>

static std::string nombre(double v)
{
    char t[32];
    snprintf(t, sizeof t, "%.17g", v);
    return t;
}

std::string nom_etirement(const Requete& r)
{
    char t[64];
    snprintf(t, sizeof t, "p%g", r.rang);
    return r.etirement == tavelkorn::ETIRE_DEMI ? "half" : r.etirement == tavelkorn::ETIRE_PLEIN ? "full" : t;
}

const char* nom_direction(const Requete& r)
{
    return r.direction == tavelkorn::DIRECTION_COLONNES   ? "columns"
           : r.direction == tavelkorn::DIRECTION_LES_DEUX ? "both"
                                                          : "rows";
}

std::string nom_echelles(const Requete& r)
{
    std::string t;
    for (int k : r.echelles) t += (t.empty() ? "" : ",") + std::to_string(k);
    return t;
}

// The pixel's scale alone: what every run wrote before there were scales.
static bool echelle_du_pixel(const Requete& r) { return r.echelles.size() == 1 && r.echelles[0] == 1 && !r.resume; }

std::string texte_du_rapport(const Requete& r, int ligne, int mind, int maxd, int norm, const tavelkorn::Bilan& b)
{
    std::string t = "\n\tTavelkorn\n";
    t += "\n\tStudied DEM : " + r.entree + " ";
    t += "\n\n\tDynamic scale : ";
    t += "\n\t\tMin. " + std::to_string(mind) + "  Max. " + std::to_string(maxd) + " ";
    t += "\n\n\tNormalization value = " + std::to_string(norm) + " ";
    t += "\n\n\tHistogram following the columns on the line " + std::to_string(ligne) + " ";
    t += "\n\tName of this histogram : " + r.rapport + " ";
    if (!r.rapport_complet) return t;
    // What a reader needs to make the image again.
    bool rang = r.etirement == tavelkorn::ETIRE_RANG;
    t += "\n\n\tInput : " + r.entree + ", band " + std::to_string(r.bande) + " ";
    t += "\n\tImage : " + r.image + " (" + (r.reelles ? "Float32" : "Byte") + ") ";
    if (!r.profil.empty()) t += "\n\tProfile : " + r.profil + " ";
    // At another scale than the pixel's the neighbours are k cells away.
    std::string voisins = echelle_du_pixel(r) ? "z[j-1] - z[j+1]" : "z[j-k] - z[j+k] (k: the scale)";
    t += std::string("\n\tTerm : ") + (r.terme == tavelkorn::TERME_COURBURE ? "curvature 2z[j] - " : "classic 4z[j] - ") +
         voisins + " ";
    auto fenetre = [&](const tavelkorn::BilanEchelle& e) {
        return rang ? "percentile deviation " + nombre(e.reference) + " (window maximum " + nombre(e.dmax) + ") "
                    : "window maximum " + nombre(e.dmax) + " ";
    };
    if (b.echelles.size() == 1) {
        t += "\n\tStretch : " + nom_etirement(r) + ", " + fenetre(b.echelles[0]);
    } else {
        t += "\n\tStretch : " + nom_etirement(r) + " ";
        for (const tavelkorn::BilanEchelle& e : b.echelles)
            t += "\n\tScale " + std::to_string(e.echelle) + " : " + fenetre(e);
    }
    t += "\n\tZ-scale : " + nombre(r.echelle_z) + " ";
    t += "\n\tMissing cells : " + std::to_string(b.manquants) + " \n";
    // Along rows at the pixel's scale, as every report before them said without a word.
    if (r.direction != tavelkorn::DIRECTION_LIGNES) t += std::string("\tDirection : ") + nom_direction(r) + " \n";
    if (!echelle_du_pixel(r)) t += "\tScales : " + nom_echelles(r) + (r.resume ? ", summarised" : "") + " \n";
    return t;
}

std::vector<Elements> elements_de(const Requete& r, const tavelkorn::Bilan& b, int norm)
{
    std::vector<Elements> e(1);
    Elements& image = e[0];
    image = {{"TAVELKORN_VERSION", TAVELKORN_VERSION},
             {"TAVELKORN_TERM", r.terme == tavelkorn::TERME_COURBURE ? "curvature" : "classic"},
             {"TAVELKORN_DIRECTION", nom_direction(r)},
             {"TAVELKORN_STRETCH", nom_etirement(r)},
             {"TAVELKORN_NORM", std::to_string(norm)},
             {"TAVELKORN_Z_SCALE", nombre(r.echelle_z)}};
    if (echelle_du_pixel(r)) {
        image.push_back({"TAVELKORN_DMAX", nombre(b.echelles[0].dmax)});
        image.push_back({"TAVELKORN_REFERENCE", nombre(b.echelles[0].reference)});
    } else {
        image.push_back({"TAVELKORN_SCALES", nom_echelles(r)});
    }
    if (r.etirement == tavelkorn::ETIRE_RANG) image.push_back({"TAVELKORN_PERCENTILE", nombre(r.rang)});
    if (echelle_du_pixel(r)) return e;
    if (r.resume) {  // two bands: each scale's stretch goes with the image
        for (const tavelkorn::BilanEchelle& s : b.echelles) {
            image.push_back({"TAVELKORN_DMAX_" + std::to_string(s.echelle), nombre(s.dmax)});
            image.push_back({"TAVELKORN_REFERENCE_" + std::to_string(s.echelle), nombre(s.reference)});
        }
        e.push_back({{"DESCRIPTION", "largest byte over scales " + nom_echelles(r)}});
        e.push_back({{"DESCRIPTION", "smallest scale of the largest byte (0: none)"}});
        return e;
    }
    for (const tavelkorn::BilanEchelle& s : b.echelles)
        e.push_back({{"DESCRIPTION", "scale " + std::to_string(s.echelle)},
                     {"TAVELKORN_DMAX", nombre(s.dmax)},
                     {"TAVELKORN_REFERENCE", nombre(s.reference)}});
    return e;
}
