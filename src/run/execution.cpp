// The one run sequence, for the dialogue and the command line alike: open
// the DEM, check every result before anything is read, read, compute,
// write into the result set, and put the results in place.
#include "execution.h"
#include "requete.h"

#include "../../tavelkorn.h"
#include "../moteur/moteur.h"
#include "../gdal/gdal_programme.h"
#include "../gdal/module.h"
#include "../io/dem_natif.h"
#include "../io/garde.h"
#include "../io/puits.h"
#include "../io/resultats.h"
#include "../io/textes_resultats.h"
#include "../platform/plateforme.h"
#include "echec.h"
#include "progression.h"

#include "image.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

// The native DEM or GDAL's; the dialogue reads or asks the dimensions and
// shows them. fichiers receives every file the DEM is read from.
static void ouvre_source(Execution& x, Requete& r, DemNatif& natif, std::vector<std::string>& fichiers)
{
    nomim1 = r.entree;
    if (r.descripteur.empty()) {
        if (r.avec_nodata) refuse("--nodata: for a native DEM; GDAL reads the band's own nodata value");
        ouvre_dem_gdal(x.gdal, r, fichiers);
        return;
    }
    nomdescr1 = r.descripteur;
    natif.nom = r.entree;
    if (!fichier_d_entree(nomim1)) echec("%s: cannot be opened: %s", nomim1.c_str(), strerror(ENOENT));
    ouvre_dem_natif(natif);
    if (r.dimensions) {
        r.dimensions(r);
    } else {
        if (!fichier_d_entree(nomdescr1)) echec("%s: cannot be opened: %s", nomdescr1.c_str(), strerror(ENOENT));
        lit_dimensions();
    }
    if (r.bande != 1) echec("%s: a native DEM has one band, not %d", nomim1.c_str(), r.bande);
    natif.nb_lig = nb_lig;
    natif.nb_col = nb_col;
    natif.avec_nodata = r.avec_nodata;
    natif.nodata = r.nodata;
    natif.echelle_z = r.echelle_z;
    fichiers.push_back(nomim1);
    if (!r.cree_descripteur) fichiers.push_back(nomdescr1);
}

// What the driver must be able to do for this request.
static void verifie_pilote(const Requete& r)
{
    int p = capacites_pilote(r.pilote);
    if (!(p & (PILOTE_CREE | PILOTE_COPIE))) refuse("--of %s: not a GDAL driver that can create files", r.pilote.c_str());
    if (!(p & PILOTE_FICHIERS)) refuse("--of %s: writes no file; choose a driver that does", r.pilote.c_str());
    if (r.reelles && !(p & PILOTE_FLOAT32))
        refuse("--type Float32: the %s driver cannot store Float32 values; write .tif", r.pilote.c_str());
}

static bool meme_mot(const std::string& a, const char* b)
{
    size_t n = strlen(b);
    if (a.size() != n) return false;
    for (size_t k = 0; k < n; k++)
        if (tolower((unsigned char)a[k]) != tolower((unsigned char)b[k])) return false;
    return true;
}

// The image's size on disk, when it is written uncompressed.
static uint64_t taille_image(const Requete& r)
{
    uint64_t cellules = (uint64_t)nb_lig * (uint64_t)nb_col;
    if (r.genre == IMAGE_RAW) return cellules;
    if (r.genre == IMAGE_BMP) return (uint64_t)TailleBMP(nb_col, nb_lig, 0);
    for (const std::string& o : r.options)
        if (o.size() > 9 && meme_mot(o.substr(0, 9), "COMPRESS=") && !meme_mot(o.substr(9), "NONE")) return 0;
    static const char* const bruts[] = {"GTiff", "ENVI", "EHdr", "HFA", "BT", "ISIS3", "PCIDSK"};
    for (const char* b : bruts)
        if (meme_mot(r.pilote, b)) return cellules * (r.reelles ? 4 : 1);
    return 0;
}

// A BMP's place on the map: its world file and .prj, when the DEM has them.
struct Place {
    bool monde, projection;
    double geo[6];
    std::string wkt;
};

static Place place_du_bmp(const ContexteGdal& g, const Requete& r)
{
    Place p;
    bool bmp = r.genre == IMAGE_BMP;
    p.monde = bmp && !r.monde.empty() && dem_georeference(g, p.geo);
    p.projection = bmp && !r.projection.empty() && dem_wkt_esri(g, p.wkt);
    return p;
}

// Every result the request names, checked together before the first pass.
static void prevoit_resultats(JeuResultats& j, const Requete& r, const Place& place,
                              const std::vector<std::string>& fichiers)
{
    if (r.genre != SANS_IMAGE) resultats_prevoit(j, r.image, "the image", taille_image(r), true);
    if (r.genre == IMAGE_RAW) resultats_prevoit(j, r.descripteur_image, "the image's descriptor");
    if (place.monde) resultats_prevoit(j, r.monde, "the world file");
    if (place.projection) resultats_prevoit(j, r.projection, "the projection file");
    if (!r.profil.empty()) resultats_prevoit(j, r.profil, "the profile", (uint64_t)nb_col * 24);
    if (!r.rapport.empty()) resultats_prevoit(j, r.rapport, "the report");
    if (r.cree_descripteur) resultats_prevoit(j, r.descripteur, "the DEM's descriptor");
    resultats_prepare(j, fichiers, r.descripteur.empty() ? "a file the DEM is read from" : "the DEM or its descriptor");
}

bool lit_taille(const std::string& texte, uint64_t& octets)
{
    char* fin = nullptr;
    double v = strtod(texte.c_str(), &fin);
    if (!fin || fin == texte.c_str() || !(v >= 0)) return false;
    static const char unites[] = "KMGT";
    const char* u = *fin ? strchr(unites, toupper((unsigned char)*fin)) : nullptr;
    if (*fin && (!u || fin[1])) return false;
    for (const char* k = unites; u && k <= u; k++) v *= 1024;
    if (v > 1.8e19 || (v > 0 && v < 1)) return false;  // less than a byte is a slip, not "nothing"
    octets = (uint64_t)v;
    return true;
}

// What the request asks that the DEM's size or the driver may refuse.
static void verifie_requete(const Requete& r)
{
    if (r.genre == IMAGE_GDAL) verifie_pilote(r);
    if (r.ligne_profil >= nb_lig)
        echec("--profile-row %d: %s has %d rows (0 to %d)", r.ligne_profil, r.entree.c_str(), nb_lig, nb_lig - 1);
    if (r.genre == IMAGE_BMP && TailleBMP(nb_col, nb_lig, 0) < 0)
        echec("%s: %d x %d pixels do not fit in a BMP file (4 GiB at most); write .tif or .raw", r.image.c_str(),
              nb_lig, nb_col);
}

static tavelkorn::Options options_de(const Requete& r, bool manquants, int ligne, Progression* p)
{
    tavelkorn::Options o;
    o.terme = r.terme;
    o.direction = r.direction;
    o.etirement = r.etirement;
    o.rang = r.rang;
    o.echelle_z = r.echelle_z;
    o.reelles = r.reelles;
    o.fils = r.fils;
    o.ligne_profil = ligne;
    o.memoire = memoire_disponible();
    o.manquants = manquants;
    o.progres = progression;
    o.contexte_progres = p;
    return o;
}

// The engine's computation, released on every way out of the run.
struct Calcul_ {
    tavelkorn::Calcul* c = nullptr;
    ~Calcul_() { tavelkorn::calcul_libere(c); }
};
struct Garde_ {
    Garde g;
    ~Garde_() { garde_libere(g); }
};

[[noreturn]] static void echec_du_calcul(const tavelkorn::Calcul* c)
{
    echec("%s", tavelkorn::calcul_erreur(c).c_str());
}

// How the image was made, as metadata items that gdalinfo shows.
static std::vector<std::pair<std::string, std::string>> comment_fait(const Requete& r, const tavelkorn::Bilan& b,
                                                                     const tavelkorn::Etirage& e, int norm)
{
    auto nombre = [](double v) {
        char t[32];
        snprintf(t, sizeof t, "%.17g", v);
        return std::string(t);
    };
    std::vector<std::pair<std::string, std::string>> items = {
        {"TAVELKORN_VERSION", TAVELKORN_VERSION},
        {"TAVELKORN_TERM", r.terme == tavelkorn::TERME_COURBURE ? "curvature" : "classic"},
        {"TAVELKORN_DIRECTION", nom_direction(r)},
        {"TAVELKORN_STRETCH", nom_etirement(r)},
        {"TAVELKORN_NORM", std::to_string(norm)},
        {"TAVELKORN_Z_SCALE", nombre(r.echelle_z)},
        {"TAVELKORN_DMAX", nombre(b.dmax)},
        {"TAVELKORN_REFERENCE", nombre(r.etirement == tavelkorn::ETIRE_DEMI ? b.dmax : e.reference)},
    };
    if (r.etirement == tavelkorn::ETIRE_RANG) items.push_back({"TAVELKORN_PERCENTILE", nombre(r.rang)});
    return items;
}

// The default stretch leaves most real DEMs nearly black: the command line
// says so where the user is (the dialogue stays as it is).
static void avertit_si_sombre(const Requete& r, const tavelkorn::Calcul* c)
{
    uint64_t nuls, cellules;
    tavelkorn::calcul_octets_nuls(c, nuls, cellules);
    if (r.demande_norm || r.reelles || r.etirement != tavelkorn::ETIRE_DEMI || cellules == 0 ||
        nuls * 10 <= cellules * 9)
        return;
    avertit("%s: %.0f%% of the search window's bytes are 0 (the half stretch shows only deviations above half the "
            "largest); --term curvature --stretch p99 shows the whole relief",
            r.image.c_str(), 100.0 * (double)nuls / (double)cellules);
}

static void deroule(Execution& x, Requete& r)
{
    if (r.reelles && r.genre != IMAGE_GDAL)
        refuse("--type Float32 needs a GDAL format such as .tif; .raw and .bmp hold bytes");
    std::vector<std::string> fichiers;
    DemNatif natif;
    ouvre_source(x, r, natif, fichiers);
    bool gdal = r.descripteur.empty();
    tavelkorn::Source lu = gdal ? source_gdal(x.gdal) : source_native(natif, 1);
    if (!r.resultats) verifie_requete(r);
    int ligne = r.ligne_profil >= 0 ? r.ligne_profil : nb_lig / 2;
    Progression progres;
    progres.silencieux = r.silencieux;
    progres.gdal = r.progres;
    progres.annonce = r.avant_lecture;
    tavelkorn::Options o = options_de(r, lu.manquants, ligne, &progres);
    progres.passes = r.etirement == tavelkorn::ETIRE_RANG && r.direction != tavelkorn::DIRECTION_LIGNES ? 3 : 2;
    Calcul_ calcul;
    std::string erreur;
    if (!(calcul.c = tavelkorn::calcul_cree(nb_lig, nb_col, o, r.entree.c_str(), erreur))) echec("%s", erreur.c_str());
    if (!gdal) prepare_dem_natif(natif);
    if (r.resultats) {  // the dialogue asks the results once the DEM's size is known
        r.resultats(r);
        verifie_requete(r);
    }
    const Format* format = format_pour(r.genre);
    // A DEM GDAL decodes at a cost (compressed, a mosaic ...) is decoded
    // once: the first pass keeps it for the second, in memory within the
    // budget, else in a scratch file.
    bool garder = dem_couteux(x.gdal);
    uint64_t budget = std::min(r.memoire == UINT64_MAX ? memoire_physique() / 4 : r.memoire, memoire_disponible());
    uint64_t taille = garder ? taille_garde(nb_lig, nb_col, lu.manquants, dem_etroit(x.gdal)) : 0;
    if (taille > budget) resultats_reserve(x.resultats, taille);
    Place place = place_du_bmp(x.gdal, r);
    prevoit_resultats(x.resultats, r, place, fichiers);
    Garde_ garde;
    if (garder) {
        garde.g.source = lu;
        garde.g.nom = r.entree;
        garde.g.nb_lig = nb_lig;
        garde.g.nb_col = nb_col;
        garde_prepare(garde.g, x.resultats, budget, dem_etroit(x.gdal));
        lu = source_gardante(garde.g);
    }

    tavelkorn::Bilan b;
    if (!tavelkorn::calcul_premiere_passe(calcul.c, lu, b)) echec_du_calcul(calcul.c);
    if (gdal) verifie_dem_gdal(x.gdal);
    else verifie_dem_natif(natif, 1);
    if (garder) garde_termine(garde.g);
    tavelkorn::Source relu = garder ? source_gardee(garde.g) : gdal ? source_gdal(x.gdal) : source_native(natif, 2);
    if (tavelkorn::calcul_rang_a_part(calcul.c)) {  // a percentile down columns: the DEM is read once more
        if (!tavelkorn::calcul_passe_rang(calcul.c, relu, b)) echec_du_calcul(calcul.c);
        if (gdal) verifie_dem_gdal(x.gdal);
        else if (!natif.gardees) verifie_dem_natif(natif, 2);
    }
    if (dem_a_fractions(x.gdal))
        avertit("%s: elevations with fractions are rounded to whole units; --z-scale 100 keeps centimetres",
                r.entree.c_str());
    if (b.manquants > 0 && format && !format->marque_manquants)
        avertit("%s: %llu missing cells cannot be marked in this format; they are 0", r.image.c_str(),
                (unsigned long long)b.manquants);
    if (r.cree_descripteur) ecrit_descripteur(x.resultats, r.descripteur, 4, b.mind, b.maxd);
    int norm = r.demande_norm ? r.demande_norm(b.mind, b.maxd) : r.norm;
    if (norm > 255) norm = 255;
    if (place.monde) ecrit_monde(x.resultats, r.monde, place.geo);
    if (place.projection) ecrit_projection(x.resultats, r.projection, place.wkt);

    tavelkorn::Etirage e = tavelkorn::etirage(o, b, norm);
    dmax = b.dmax;
    dmin = e.dmin;
    dif = e.dif;
    scale = e.scale;
    if (r.etirement == tavelkorn::ETIRE_RANG && b.dmax > 0.0 && !(b.reference > 0.0))
        avertit("%s: the p%g percentile of the window's deviations is 0: the image and the profile are all 0",
                r.entree.c_str(), r.rang);
    else if (!(dif > 0.0))
        avertit("%s: no deviation inside the search window (a flat DEM, or fewer than 5 lines or columns): "
                "the image and the profile are all 0",
                r.entree.c_str());
    if (!r.rapport.empty()) ecrit_rapport(x.resultats, r, ligne, b, e, norm);
    if (!r.profil.empty()) ecrit_profil(x.resultats, r, ligne, b, e);
    if (format) {
        nomim2 = r.image;
        format->ouvre(x, r, b.manquants);
        if (r.genre == IMAGE_GDAL) decrit_image_gdal(x.gdal, comment_fait(r, b, e, norm));
        tavelkorn::Puits puits = format->puits(x, r);
        if (!tavelkorn::calcul_seconde_passe(calcul.c, relu, e, puits)) echec_du_calcul(calcul.c);
        format->ferme(x, r);
        avertit_si_sombre(r, calcul.c);
        if (gdal) verifie_dem_gdal(x.gdal);
        else if (!natif.gardees) verifie_dem_natif(natif, 2);  // the rows of an incomplete DEM were kept
    }
    if (r.fin) r.fin();
    if (fflush(stdout) != 0 || ferror(stdout))
        echec("standard output: the dialogue could not be written: %s", strerror(errno));
    resultats_valide(x.resultats);
}

// A run that fails leaves whatever the folders held before it as it was:
// its files are closed first (an open file cannot be removed everywhere),
// then its private folders go whole.
void execute(Requete& r)
{
    Execution x;
    try {
        deroule(x, r);
    } catch (const Echec&) {
        for (FILE** f : {&f2, &f3, &f4})
            if (*f) fclose(*f), *f = nullptr;
        ferme_gdal(x.gdal);
        resultats_abandonne(x.resultats);
        throw;
    }
    ferme_gdal(x.gdal);
}
