#include "sorties.h"

#include "../gdal/gdal_programme.h"
#include "../io/textes_resultats.h"
#include "../platform/plateforme.h"
#include "echec.h"
#include "rapport.h"

#include "image.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

static bool meme_mot(const std::string& a, const char* b)
{
    size_t n = strlen(b);
    if (a.size() != n) return false;
    for (size_t k = 0; k < n; k++)
        if (tolower((unsigned char)a[k]) != tolower((unsigned char)b[k])) return false;
    return true;
}

static int bandes_de(const Requete& r) { return r.resume ? 2 : (int)r.echelles.size(); }

// The image's size on disk, when it is written uncompressed.
static uint64_t taille_image(const Requete& r, const Dem& d)
{
    uint64_t cellules = (uint64_t)d.nb_lig * (uint64_t)d.nb_col;
    if (r.genre == IMAGE_RAW) return cellules;
    if (r.genre == IMAGE_BMP) return (uint64_t)TailleBMP(d.nb_col, d.nb_lig, 0);
    for (const std::string& o : r.options)
        if (o.size() > 9 && meme_mot(o.substr(0, 9), "COMPRESS=") && !meme_mot(o.substr(9), "NONE")) return 0;
    static const char* const bruts[] = {"GTiff", "ENVI", "EHdr", "HFA", "BT", "ISIS3", "PCIDSK"};
    for (const char* b : bruts)
        if (meme_mot(r.pilote, b)) return cellules * (uint64_t)bandes_de(r) * (r.reelles ? 4 : 1);
    return 0;
}

uint64_t budget_de(const Requete& r)
{
    return std::min(r.memoire == UINT64_MAX ? memoire_physique() / 4 : r.memoire, memoire_disponible());
}

void prevoit_resultats(Execution& x, const Requete& r)
{
    JeuResultats& j = x.resultats;
    const Dem& d = x.dem;
    // A BMP's place on the map: its world file and .prj, when the DEM has them.
    bool bmp = r.genre == IMAGE_BMP;
    x.monde = bmp && !r.monde.empty() && d.place(d.contexte, x.geo, x.wkt);
    x.projection = bmp && !r.projection.empty() && d.wkt_esri(d.contexte, x.wkt_esri);
    uint64_t garde = d.couteux ? taille_garde(d.nb_lig, d.nb_col, d.manquants, d.etroit) : 0;
    if (garde > budget_de(r)) resultats_reserve(j, garde);  // the kept DEM goes to a scratch file
    if (r.genre != SANS_IMAGE) resultats_prevoit(j, r.image, "the image", taille_image(r, d), true);
    if (r.genre == IMAGE_RAW) resultats_prevoit(j, r.descripteur_image, "the image's descriptor");
    if (x.monde) resultats_prevoit(j, r.monde, "the world file");
    if (x.projection) resultats_prevoit(j, r.projection, "the projection file");
    if (!r.profil.empty()) resultats_prevoit(j, r.profil, "the profile", (uint64_t)d.nb_col * 24 * r.echelles.size());
    if (!r.rapport.empty()) resultats_prevoit(j, r.rapport, "the report");
    if (r.cree_descripteur) resultats_prevoit(j, r.descripteur, "the DEM's descriptor");
    // GDAL reads the statistics, overviews and mask beside an image as its
    // own: those of an earlier image go, and so does the place on the map of
    // a BMP that has none now.
    if (r.genre != SANS_IMAGE) {
        std::vector<std::string> stem;
        if (bmp) stem = {".wld", ".prj", ".bpw", ".bmpw"};
        if (r.genre == IMAGE_GDAL && meme_mot(r.pilote, "GTiff")) stem = {".tfw", ".tifw"};
        for (const std::string& c : compagnons(r.image, {".aux.xml", ".ovr", ".msk"}, stem)) resultats_efface(j, c);
    }
    Avis a;
    exige(resultats_prepare(j, d.fichiers, d.nom_fichiers, a), a);
}

// ---------------------------------------------------------------- between the reading and the image

// The warnings on what the reading found.
static void avertit_de_la_lecture(Execution& x, const Requete& r, const tavelkorn::Bilan& b)
{
    Avis a;
    exige(x.dem.inchange(x.dem.contexte, 1, a), a);
    if (x.dem.fractions(x.dem.contexte))
        avertit("%s: elevations with fractions are rounded to whole units; --z-scale 100 keeps centimetres",
                r.entree.c_str());
    if (b.manquants > 0 && (r.genre == IMAGE_RAW || r.genre == IMAGE_BMP))
        avertit("%s: %llu missing cells cannot be marked in this format; they are 0", r.image.c_str(),
                (unsigned long long)b.manquants);
}

// Each scale with nothing to stretch by: said, and its image all 0.
static void avertit_des_etirages(const Requete& r, const tavelkorn::Bilan& b)
{
    for (const tavelkorn::BilanEchelle& e : b.echelles) {
        std::string echelle = b.echelles.size() > 1 || e.echelle != 1 ? "scale " + std::to_string(e.echelle) + ": " : "";
        if (r.etirement == tavelkorn::ETIRE_RANG && e.dmax > 0.0 && !(e.reference > 0.0))
            avertit("%s: %sthe p%g percentile of the window's deviations is 0: the image and the profile are all 0",
                    r.entree.c_str(), echelle.c_str(), r.rang);
        else if (!(e.dmax > 0.0))
            avertit("%s: %sno deviation inside the search window (a flat DEM, or fewer than %lld lines or columns): "
                    "the image and the profile are all 0",
                    r.entree.c_str(), echelle.c_str(), 2LL * e.echelle + 3);
    }
}

// The profile: each scale's stretched values of the profile row (its
// Float32 deviations with --type Float32).
static void ecrit_le_profil(Execution& x, const Requete& r, const tavelkorn::Bilan& b, int norm)
{
    std::vector<std::vector<double>> colonnes;
    for (size_t s = 0; s < b.echelles.size(); s++) {
        tavelkorn::Etirage e = tavelkorn::etirage_de(b, (int)s, norm);
        std::vector<double> v = b.echelles[s].profil;
        for (double& d : v)
            if (!std::isnan(d)) d = r.reelles ? d / std::fabs(r.echelle_z) + 0.0 : tavelkorn::valeur_etiree(e, d);
        colonnes.push_back(v);
    }
    Avis a;
    int ecrites = 0;
    exige(ecrit_profil(x.resultats, r.profil, x.dem.nb_col, colonnes, ecrites, a), a);
    if (ecrites == 0) avertit("%s: row %d holds no value; the profile is empty", r.profil.c_str(), x.ligne);
}

// The image created, described, and given to the engine as its sink.
static void ouvre_l_image(Execution& x, const Requete& r, const tavelkorn::Bilan& b, int norm, tavelkorn::Puits& puits)
{
    Avis a;
    const Dem& d = x.dem;
    if (r.genre == IMAGE_RAW) {
        exige(ouvre_image_raw(x.image, x.resultats, r.image, d.nb_col, a), a);
        const int champs[6] = {d.nb_lig, d.nb_col, 1, 0, 255, d.pix_size};
        exige(ecrit_descripteur(x.resultats, r.descripteur_image, champs, a), a);
    } else if (r.genre == IMAGE_BMP) {
        exige(ouvre_image_bmp(x.image, x.resultats, r.image, d.nb_col, d.nb_lig, a), a);
    } else if (r.genre == IMAGE_GDAL) {
        ImageVoulue v;
        v.chemin = r.image, v.pilote = r.pilote, v.options = r.options;
        v.nb_col = d.nb_col, v.nb_lig = d.nb_lig, v.bandes = bandes_de(r);
        v.reelles = r.reelles;
        v.manquants = b.manquants;
        v.geo_ok = d.place(d.contexte, v.geo, v.wkt);
        exige(ouvre_image_gdal(x.image, x.resultats, v, a), a);
    }
    if (r.genre == SANS_IMAGE) return;
    std::vector<Elements> elements = elements_de(r, b, norm);
    for (size_t k = 0; x.image.decrit && k < elements.size(); k++) x.image.decrit(x.image.contexte, (int)k, elements[k]);
    tavelkorn::Puits p = x.image.puits;
    if (r.resume) {
        x.resume.image = p;
        x.resume.echelles = r.echelles;
        x.resume.nb_col = d.nb_col;
        p = puits_du_resume(x.resume);
    }
    p.avant_image = puits.avant_image;
    puits = p;
}

static void entre_lecture_et_image(Execution& x, const Requete& r, const tavelkorn::Bilan& b, int& norm,
                                   tavelkorn::Puits& puits)
{
    avertit_de_la_lecture(x, r, b);
    int mind = std::min(b.mind, 10000000), maxd = std::max(b.maxd, 0);  // the range as the dialogue shows it
    Avis a;
    if (r.cree_descripteur) {
        const int champs[6] = {x.dem.nb_lig, x.dem.nb_col, 4, mind, maxd, x.dem.pix_size};
        exige(ecrit_descripteur(x.resultats, r.descripteur, champs, a), a);
    }
    if (r.dialogue) norm = r.dialogue->demande_norm(mind, maxd);
    norm = tavelkorn::norme_de(norm);
    if (x.monde) exige(ecrit_monde(x.resultats, r.monde, x.geo, a), a);
    if (x.projection) exige(ecrit_texte_entier(x.resultats, r.projection, x.wkt_esri, a), a);
    avertit_des_etirages(r, b);
    if (!r.rapport.empty())
        exige(ecrit_texte_entier(x.resultats, r.rapport, texte_du_rapport(r, x.ligne, mind, maxd, norm, b), a), a);
    if (!r.profil.empty()) ecrit_le_profil(x, r, b, norm);
    ouvre_l_image(x, r, b, norm, puits);
    x.norm = norm;
}

bool avant_image(void* contexte, const tavelkorn::Bilan& b, int& norm, std::string& erreur)
{
    Entracte& e = *(Entracte*)contexte;
    try {
        entre_lecture_et_image(*e.x, *e.r, b, norm, *e.puits);
    } catch (const Echec& echec) {  // said already: the run ends once the engine has
        e.arret = echec.statut;
        erreur = "stopped";
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- after the image

// The default stretch leaves most real DEMs nearly black: the command line
// says so where the user is (the dialogue stays as it is).
static void avertit_si_sombre(const Requete& r, const tavelkorn::Bilan& b)
{
    if (r.dialogue || r.reelles || r.etirement != tavelkorn::ETIRE_DEMI) return;
    std::string parts, echelles;
    for (const tavelkorn::BilanEchelle& e : b.echelles) {
        if (e.fenetre == 0 || e.nuls * 10 <= e.fenetre * 9) continue;
        char t[16];
        snprintf(t, sizeof t, "%.0f%%", 100.0 * (double)e.nuls / (double)e.fenetre);
        parts += (parts.empty() ? "" : ", ") + std::string(t);
        echelles += (echelles.empty() ? "" : ", ") + std::to_string(e.echelle);
    }
    if (parts.empty()) return;
    if (b.echelles.size() > 1) echelles = " at scale" + std::string(echelles.find(',') != std::string::npos ? "s " : " ") + echelles;
    else echelles.clear();
    avertit("%s: %s of the search window's bytes are 0%s (the half stretch shows only deviations above half the "
            "largest); --term curvature --stretch p99 shows the whole relief",
            r.image.c_str(), parts.c_str(), echelles.c_str());
}

void apres_image(Execution& x, const Requete& r, const tavelkorn::Bilan& b)
{
    if (r.genre == SANS_IMAGE) return;
    Avis a;
    exige(ferme_image(x.image, a), a);
    avertit_si_sombre(r, b);
}

std::string message_du_moteur(const tavelkorn::Erreur& e)
{
    if (e.code != tavelkorn::CODE_PLAGE) return e.texte;
    std::string t = e.texte;
    size_t at = t.find("the z-scale");
    if (at != std::string::npos) t.replace(at, 11, "--z-scale");
    if (t.find("choose a smaller") == std::string::npos) t += "; choose a smaller --z-scale";
    return t;
}
