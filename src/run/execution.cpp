// The one run sequence, for the dialogue and the command line alike: open
// the DEM, check every result before anything is read, read, compute, write
// into the result set, and put the results in place.
#include "execution.h"

#include "../gdal/gdal_programme.h"
#include "../io/dem_natif.h"
#include "../platform/plateforme.h"
#include "echec.h"
#include "sorties.h"

#include "image.h"

#include <cctype>
#include <cerrno>
#include <cstring>

// The DEM, native (NAME.raw with its descriptor) or anything GDAL reads:
// the one place that asks which.
static void ouvre_dem(Execution& x, Requete& r)
{
    Avis a;
    if (r.descripteur.empty()) {
        if (r.avec_nodata) refuse("--nodata: for a native DEM; GDAL reads the band's own nodata value");
        if (r.type_natif != tavelkorn::ELEV_INT32) refuse("--raw-type: for a native DEM; GDAL reads the band's own type");
        if (!avec_gdal)
            echec("%s: not a native DEM (NAME.raw with NAME.txt beside it); other formats need a build with GDAL",
                  r.entree.c_str());
        exige(ouvre_dem_gdal(x.dem, r.entree, r.bande, r.echelle_z, a), a);
        return;
    }
    NatifVoulu v;
    v.chemin = r.entree, v.descripteur = r.descripteur;
    v.f = r.dem;
    r.dem = nullptr;  // the Dem's now, open or closed
    v.nb_lig = r.nb_lig, v.nb_col = r.nb_col, v.pix_size = r.pix_size;
    v.descripteur_cree = r.cree_descripteur;
    v.type = r.type_natif;
    v.avec_nodata = r.avec_nodata, v.nodata = r.nodata, v.echelle_z = r.echelle_z;
    exige(ouvre_dem_natif(x.dem, v, a), a);
    if (r.bande != 1) echec("%s: a native DEM has one band, not %d", r.entree.c_str(), r.bande);
}

// The engine's computation of the DEM, and what its reading needs.
static void cree_calcul(Execution& x, const Requete& r)
{
    tavelkorn::Options& o = x.options;
    o.terme = r.terme, o.direction = r.direction, o.etirement = r.etirement, o.rang = r.rang;
    o.echelles = r.echelles;
    o.norm = r.norm;
    o.echelle_z = r.echelle_z;
    o.reelles = r.reelles;
    o.fils = r.fils;
    x.ligne = r.ligne_profil >= 0 ? r.ligne_profil : x.dem.nb_lig / 2;
    o.ligne_profil = x.ligne;
    o.memoire = memoire_disponible();
    x.progression.silencieux = r.silencieux;
    x.progression.gdal = r.progres;
    x.progression.annonce = r.dialogue ? r.dialogue->avant_lecture : nullptr;
    o.progres = progression;
    o.contexte_progres = &x.progression;
    tavelkorn::Erreur e;
    if (!(x.calcul = tavelkorn::calcul_cree(x.dem.source(x.dem.contexte, 1), o, r.entree.c_str(), e)))
        echec("%s", e.texte.c_str());
    Avis a;
    exige(!x.dem.prepare || x.dem.prepare(x.dem.contexte, a), a);
}

// What the request asks that the DEM's size or the driver may refuse.
static void verifie_requete(const Requete& r, const Dem& d)
{
    if (r.genre == IMAGE_GDAL) {
        Avis a;
        int p = 0;
        exige(capacites_pilote(r.pilote, p, a), a);
        if (!(p & (PILOTE_CREE | PILOTE_COPIE))) refuse("--of %s: not a GDAL driver that can create files", r.pilote.c_str());
        if (!(p & PILOTE_FICHIERS)) refuse("--of %s: writes no file; choose a driver that does", r.pilote.c_str());
        if (r.reelles && !(p & PILOTE_FLOAT32))
            refuse("--type Float32: the %s driver cannot store Float32 values; write .tif", r.pilote.c_str());
    }
    if (r.ligne_profil >= d.nb_lig)
        echec("--profile-row %d: %s has %d rows (0 to %d)", r.ligne_profil, r.entree.c_str(), d.nb_lig, d.nb_lig - 1);
    if (r.genre == IMAGE_BMP && TailleBMP(d.nb_col, d.nb_lig, 0) < 0)
        echec("%s: %d x %d pixels do not fit in a BMP file (4 GiB at most); write .tif or .raw", r.image.c_str(),
              d.nb_lig, d.nb_col);
}

// A DEM that costs more to decode than to keep (compressed, a mosaic ...)
// is kept by the first reading for the others: in memory within the
// budget, else in a scratch file of the result set.
static void prepare_garde(Execution& x, const Requete& r)
{
    if (!x.dem.couteux) return;
    Garde& g = x.garde;
    g.source = x.dem.source(x.dem.contexte, 1);
    g.nom = r.entree;
    g.nb_lig = x.dem.nb_lig;
    g.nb_col = x.dem.nb_col;
    Avis a;
    exige(garde_prepare(g, x.resultats, budget_de(r), x.dem.etroit, a), a);
    x.garde_active = true;
}

// The engine's passes: the reading, then (avant_image) everything that needs
// what the reading found, then the image into its sink.
static void calcule(Execution& x, const Requete& r)
{
    tavelkorn::Source lue = x.garde_active ? source_gardante(x.garde) : x.dem.source(x.dem.contexte, 1);
    tavelkorn::Source relue = x.garde_active ? source_gardee(x.garde) : x.dem.source(x.dem.contexte, 2);
    Entracte e{&x, &r, nullptr, {}};
    tavelkorn::Puits puits;
    puits.contexte = &e;
    puits.avant_image = avant_image;
    e.puits = &puits;
    tavelkorn::Bilan b;
    tavelkorn::Erreur erreur;
    bool ok = tavelkorn::calcul_execute(x.calcul, lue, &relue, puits, b, erreur);
    if (e.arret) throw Echec{*e.arret};  // the dialogue's input ended, or a step failed: said already
    if (!ok) echec("%s", message_du_moteur(erreur).c_str());
    apres_image(x, r, b);
}

// After the last pass: the DEM must not have changed, and the dialogue has
// its last word before the results are put in place.
static void termine(Execution& x, const Requete& r)
{
    Avis a;
    if (r.genre != SANS_IMAGE) exige(x.dem.inchange(x.dem.contexte, 2, a), a);
    if (r.dialogue) r.dialogue->fin();
    if (fflush(stdout) != 0 || ferror(stdout))
        echec("standard output: the dialogue could not be written: %s", strerror(errno));
    exige(resultats_valide(x.resultats, a), a);
}

static void deroule(Execution& x, Requete& r)
{
    if (r.reelles && r.genre != IMAGE_GDAL)
        refuse("--type Float32 needs a GDAL format such as .tif; .raw and .bmp hold bytes");
    ouvre_dem(x, r);
    cree_calcul(x, r);
    if (r.dialogue) r.dialogue->resultats(r);  // the dialogue asks the results once the DEM's size is known
    verifie_requete(r, x.dem);
    prevoit_resultats(x, r);
    prepare_garde(x, r);
    calcule(x, r);
    termine(x, r);
}

// A run that fails leaves whatever the folders held before it as it was:
// its files are closed first (an open file cannot be removed everywhere),
// then its private folders go whole.
static void montre_gdal(const std::string& texte) { avertit("%s", texte.c_str()); }

void execute(Requete& r)
{
    gdal_avertissements(montre_gdal);
    Execution x;
    try {
        deroule(x, r);
    } catch (const Echec&) {
        if (r.dem) fclose(r.dem), r.dem = nullptr;
        abandonne_image(x.image);
        garde_libere(x.garde);
        tavelkorn::calcul_libere(x.calcul);
        ferme_dem(x.dem);
        resultats_abandonne(x.resultats);
        throw;
    }
    garde_libere(x.garde);
    tavelkorn::calcul_libere(x.calcul);
    ferme_dem(x.dem);
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
