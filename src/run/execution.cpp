// The one run sequence, for the dialogue and the command line alike: open
// the DEM, check every result before anything is read, read, compute,
// write into the result set, and put the results in place.
#include "requete.h"

#include "../../tavelkorn.h"
#include "../core/calcul.h"
#include "../gdal/gdal_programme.h"
#include "../gdal/module.h"
#include "../io/dem_natif.h"
#include "../io/garde.h"
#include "../io/puits.h"
#include "../io/resultats.h"
#include "../io/textes_resultats.h"
#include "../platform/plateforme.h"
#include "echec.h"

#include "image.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

// The native DEM (when the dialogue has not opened it already) or GDAL's;
// fichiers receives every file the DEM is read from.
static void ouvre_source(const Requete& r, std::vector<std::string>& fichiers)
{
    if (r.descripteur.empty()) {
        if (r.avec_nodata) refuse("--nodata: for a native DEM; GDAL reads the band's own nodata value");
        nomim1 = r.entree;
        ouvre_dem_gdal(r, fichiers);
        return;
    }
    nomim1 = r.entree;
    nomdescr1 = r.descripteur;
    if (!source) {
        if (!fichier_d_entree(nomim1)) echec("%s: cannot be opened: %s", nomim1.c_str(), strerror(ENOENT));
        ouvre_dem_natif();
        if (!fichier_d_entree(nomdescr1)) echec("%s: cannot be opened: %s", nomdescr1.c_str(), strerror(ENOENT));
        lit_dimensions();
    }
    if (r.bande != 1) echec("%s: a native DEM has one band, not %d", nomim1.c_str(), r.bande);
    if (r.avec_nodata) marque_nodata(r.nodata);
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

static Place place_du_bmp(const Requete& r)
{
    Place p;
    bool bmp = r.genre == IMAGE_BMP;
    p.monde = bmp && !r.monde.empty() && dem_georeference(p.geo);
    p.projection = bmp && !r.projection.empty() && dem_wkt_esri(p.wkt);
    return p;
}

// Every result the request names, checked together before the first pass.
static void prevoit_resultats(const Requete& r, const Place& place, const std::vector<std::string>& fichiers)
{
    if (r.genre != SANS_IMAGE) resultats_prevoit(r.image, "the image", taille_image(r), true);
    if (r.genre == IMAGE_RAW) resultats_prevoit(r.descripteur_image, "the image's descriptor");
    if (place.monde) resultats_prevoit(r.monde, "the world file");
    if (place.projection) resultats_prevoit(r.projection, "the projection file");
    if (!r.profil.empty()) resultats_prevoit(r.profil, "the profile", (uint64_t)nb_col * 24);
    if (!r.rapport.empty()) resultats_prevoit(r.rapport, "the report");
    if (r.cree_descripteur) resultats_prevoit(r.descripteur, "the DEM's descriptor");
    resultats_prepare(fichiers, r.descripteur.empty() ? "a file the DEM is read from" : "the DEM or its descriptor");
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
    if (v > 1.8e19) return false;
    octets = (uint64_t)v;
    return true;
}

void execute(Requete& r)
{
    silencieux = r.silencieux;
    progres_gdal = r.progres;
    terme_courbure = r.terme_courbure;
    etirement = (Etirement)r.etirement;
    rang = r.rang;
    echelle_z = r.echelle_z;
    valeurs_reelles = r.reelles;
    if (r.reelles && r.genre != IMAGE_GDAL)
        refuse("--type Float32 needs a GDAL format such as .tif; .raw and .bmp hold bytes");
    std::vector<std::string> fichiers;
    ouvre_source(r, fichiers);
    const Puits* puits = puits_pour(r.genre);
    if (r.genre == IMAGE_GDAL) verifie_pilote(r);
    if (r.ligne_profil >= nb_lig)
        echec("--profile-row %d: %s has %d rows (0 to %d)", r.ligne_profil, r.entree.c_str(), nb_lig, nb_lig - 1);
    ligne_profil = r.ligne_profil >= 0 ? r.ligne_profil : nb_lig / 2;
    if (r.genre == IMAGE_BMP && TailleBMP(nb_col, nb_lig, 0) < 0)
        echec("%s: %d x %d pixels do not fit in a BMP file (4 GiB at most); write .tif or .raw", r.image.c_str(),
              nb_lig, nb_col);
    alloue_blocs(r.entree.c_str(), r.fils);
    if (!r.descripteur.empty()) prepare_dem_natif();
    // A DEM GDAL decodes at a cost (compressed, a mosaic ...) is decoded
    // once: the first pass keeps it for the second, in memory within the
    // budget, else in a scratch file.
    bool garder = dem_couteux();
    uint64_t budget = std::min(r.memoire ? r.memoire : memoire_physique() / 4, memoire_disponible());
    uint64_t garde = garder ? taille_garde(source->manquants, dem_etroit()) : 0;
    if (garde > budget) resultats_reserve(garde);
    Place place = place_du_bmp(r);
    prevoit_resultats(r, place, fichiers);
    if (garder) garde_prepare(budget, source, dem_etroit());
    garde_premiere_passe = garder ? garde_ecrit : nullptr;

    int mind, maxd;
    const Source* lu = source;
    lecture(mind, maxd, r.avant_lecture);
    lu->fin_de_passe(1);
    if (garder) source = garde_source();
    if (dem_a_fractions())
        avertit("%s: elevations with fractions are rounded to whole units; --z-scale 100 keeps centimetres",
                r.entree.c_str());
    if (nb_manquants > 0 && puits && !puits->marque_manquants)
        avertit("%s: %llu missing cells cannot be marked in this format; they are 0", r.image.c_str(),
                (unsigned long long)nb_manquants);
    if (r.cree_descripteur) ecrit_descripteur(r.descripteur, 4, mind, maxd);
    int norm = r.demande_norm ? r.demande_norm(mind, maxd) : r.norm;
    if (norm > 255) norm = 255;
    if (place.monde) ecrit_monde(r.monde, place.geo);
    if (place.projection) ecrit_projection(r.projection, place.wkt);

    prepare_etirement(norm);
    if (etirement == ETIRE_RANG && dmax > 0.0 && !(reference > 0.0))
        avertit("%s: the p%g percentile of the window's deviations is 0: the image and the profile are all 0",
                r.entree.c_str(), rang);
    else if (!(dif > 0.0))
        avertit("%s: no deviation inside the search window (a flat DEM, or fewer than 5 lines or columns): "
                "the image and the profile are all 0",
                r.entree.c_str());
    if (!r.rapport.empty()) ecrit_rapport(r, mind, maxd, norm);
    if (!r.profil.empty()) ecrit_profil(r);
    if (puits) {
        nomim2 = r.image;
        descendant = puits->descendant;
        lu = source;
        puits->ouvre(r);
        puits->ecrit(r);
        lu->fin_de_passe(2);
    }
    if (r.fin) r.fin();
    if (fflush(stdout) != 0 || ferror(stdout))
        echec("standard output: the dialogue could not be written: %s", strerror(errno));
    resultats_valide();
}
