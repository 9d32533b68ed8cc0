#include "gdal_programme.h"

#include "../platform/plateforme.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace fs = std::filesystem;

// GDAL's warnings reach whoever the run named.
static void (*montre_avertissement)(const std::string& texte);

void gdal_avertissements(void (*montre)(const std::string& texte)) { montre_avertissement = montre; }

#ifdef TAVELKORN_GDAL
const bool avec_gdal = true;

// The module, loaded once for the process (and never unloaded): a table of
// functions that keeps no run of its own, each run's DEM and image being
// contexts it hands back.
static const ModuleGdal* module_;

static void avertit_gdal(const char* texte)
{
    if (montre_avertissement) montre_avertissement("GDAL: " + noms_finals(texte));
}

// The module, from the program's own folder only, never from the working
// directory; null with the reason in erreur.
static const ModuleGdal* charge(std::string& erreur)
{
    if (module_) return module_;
    std::string dossier = repertoire_programme();
    if (dossier.empty()) return erreur = "the system does not say where the program is", nullptr;
    EntreeModule entree = nullptr;
    for (const char* ou : {"", "../lib/tavelkorn/"}) {
        void* m = charge_module(dossier + ou + MODULE_GDAL, erreur);
        if (m && (entree = (EntreeModule)symbole_module(m, ENTREE_MODULE))) break;
    }
    static const RappelsProgramme rappels = {avertit_gdal};
    return module_ = entree ? entree(&rappels) : nullptr;
}

static const ModuleGdal* gdal(Avis& a)
{
    std::string erreur;
    const ModuleGdal* m = charge(erreur);
    if (!m) echec_de(a, "GDAL's formats need the module %s beside the program: %s", MODULE_GDAL, erreur.c_str());
    return m;
}

bool gdal_disponible()
{
    std::string erreur;
    return charge(erreur) != nullptr;
}
#else
const bool avec_gdal = false;

static const ModuleGdal* gdal(Avis& a) { return echec_de(a, "this build has no GDAL"), nullptr; }

bool gdal_disponible() { return false; }
#endif

std::string chemin_reel(const std::string& chemin)
{
    std::string p = chemin;
    bool virtuel = false;
    while (p.rfind("/vsi", 0) == 0) {
        size_t fin = p.find('/', 4);
        if (fin == std::string::npos) return "";
        std::string prefixe = p.substr(0, fin);
        p = p.substr(fin + 1);
        virtuel = true;
        if (prefixe == "/vsisubfile") {  // /vsisubfile/OFFSET_SIZE,PATH
            size_t virgule = p.find(',');
            if (virgule == std::string::npos) return "";
            p = p.substr(virgule + 1);
        } else if (prefixe == "/vsicurl" || prefixe == "/vsimem" || prefixe == "/vsis3" || prefixe == "/vsigs" ||
                   prefixe == "/vsiaz" || prefixe == "/vsistdin" || prefixe == "/vsistdout") {
            return "";
        } else if (!p.empty() && p[0] == '{') {  // /vsizip/{ARCHIVE}/PATH: the archive, braces and all
            int profondeur = 0;
            for (size_t k = 0; k < p.size(); k++) {
                profondeur += p[k] == '{' ? 1 : p[k] == '}' ? -1 : 0;
                if (profondeur == 0) {
                    std::string archive = p.substr(1, k - 1);
                    return archive.rfind("/vsi", 0) == 0 ? chemin_reel(archive) : archive;
                }
            }
            return "";
        }
    }
    if (!virtuel) return p;
    // A path inside an archive names the archive.
    std::error_code ec;
    for (fs::path q = p; !q.empty(); q = q.parent_path()) {
        fs::file_status st = fs::status(q, ec);
        if (fs::exists(st)) return fs::is_directory(st) ? "" : q.string();
        if (q == q.parent_path()) break;
    }
    return "";
}

// A path GDAL reads must be a regular file: a FIFO would block the run.
static bool fichier_regulier(const std::string& chemin, Avis& a)
{
    std::string reel = chemin_reel(chemin);
    if (reel.empty()) return true;
    GenreFichier g = genre_fichier(reel, true);
    if (g == SPECIAL || g == DOSSIER) return echec_de(a, "%s: not a regular file", chemin.c_str());
    return true;
}

// ---------------------------------------------------------------- the DEM

namespace {

// A DEM GDAL reads, and its files as they were when it was opened.
struct Empreinte {
    std::string chemin;
    EtatFichier etat;
};
struct DemLu {
    const ModuleGdal* m = nullptr;
    LectureGdal* lecture = nullptr;
    DemGdal dem;
    std::string nom;
    std::vector<Empreinte> empreintes;
};

bool lit_bloc_gdal(void* contexte, int premiere, int nombre, int* z, unsigned char* presence,
                   tavelkorn::Erreur& erreur)
{
    DemLu& d = *(DemLu*)contexte;
    if (d.m->lit_bloc(d.lecture, premiere, nombre, z, presence, erreur)) return true;
    erreur.texte = d.nom + ": " + erreur.texte;
    return false;
}

tavelkorn::Source source(void* contexte, int)
{
    DemLu& d = *(DemLu*)contexte;
    tavelkorn::Source s;
    s.contexte = &d;
    s.nb_lig = d.dem.nb_lig;
    s.nb_col = d.dem.nb_col;
    s.manquants = d.dem.manquants;
    s.parallele = d.dem.parallele;  // an uncompressed GeoTIFF read directly: threads side by side
    s.lit_bloc = lit_bloc_gdal;
    return s;
}

// Every file the DEM is read from is the one fingerprinted before GDAL
// opened it: the same size, time and identity (a file renamed over it is
// another).
bool inchange(void* contexte, int, Avis& a)
{
    const DemLu& d = *(const DemLu*)contexte;
    for (const Empreinte& e : d.empreintes) {
        EtatFichier maintenant;
        if (!etat_chemin(e.chemin, maintenant) || !(maintenant == e.etat))
            return echec_de(a, "%s: changed during the run; no result was written", e.chemin.c_str());
    }
    return true;
}

bool place(void* contexte, double geo[6], std::string& wkt)
{
    const DemLu& d = *(const DemLu*)contexte;
    wkt = d.dem.wkt;
    if (!d.dem.geo_ok) return false;
    for (int k = 0; k < 6; k++) geo[k] = d.dem.geo[k];
    return true;
}

bool wkt_esri(void* contexte, std::string& wkt)
{
    const DemLu& d = *(const DemLu*)contexte;
    return d.m->wkt_esri(d.lecture, wkt);
}

bool fractions(void* contexte)
{
    const DemLu& d = *(const DemLu*)contexte;
    return d.m->fractions(d.lecture);
}

void ferme(void* contexte)
{
    DemLu* d = (DemLu*)contexte;
    if (d->lecture) d->m->ferme_dem(d->lecture);
    delete d;
}

}  // namespace

bool ouvre_dem_gdal(Dem& dem, const std::string& chemin, int bande, double echelle_z, Avis& a)
{
    const ModuleGdal* m = gdal(a);
    if (!m) return false;
    // A name that is no file may still be GDAL's (GTIFF_DIR:1:dem.tif,
    // NETCDF:"dem.nc":z): GDAL tries it, and the files it reads are checked
    // once it is open.
    std::string reel = chemin_reel(chemin);
    bool absent = !reel.empty() && genre_fichier(reel, true) == ABSENT;
    if (!absent && !fichier_regulier(chemin, a)) return false;
    DemLu* d = new DemLu;
    d->m = m;
    d->nom = chemin;
    dem.contexte = d;
    dem.ferme = ferme;
    // The fingerprint comes first: a file replaced between GDAL's opening
    // and the reading is then named, never read in its place.
    EtatFichier avant;
    bool vu = !reel.empty() && etat_chemin(reel, avant);
    std::string erreur;
    if (!(d->lecture = m->ouvre_dem(chemin.c_str(), bande, echelle_z, d->dem, erreur))) {
        ferme_dem(dem);
        if (absent) return echec_de(a, "%s: cannot be opened: %s", chemin.c_str(), strerror(ENOENT));
        std::string descripteur = fs::path(chemin).replace_extension(".txt").string();
        if (fs::path(chemin).extension() == ".raw")
            return echec_de(a,
                            "%s: cannot be opened: no descriptor %s beside it for a native DEM (lines, columns, 4, "
                            "minimum, maximum, pixel size), and not a raster GDAL reads",
                            chemin.c_str(), descripteur.c_str());
        if (erreur == "cannot be opened: GDAL gives no reason") erreur = "cannot be opened: not a raster GDAL reads";
        return echec_de(a, "%s: %s", chemin.c_str(), erreur.c_str());
    }
    std::vector<std::string> tous = d->dem.fichiers;
    tous.push_back(chemin);
    for (const std::string& f : tous) {
        if (!fichier_regulier(f, a)) return ferme_dem(dem), false;
        std::string r = chemin_reel(f);
        std::error_code ec;
        if (r.empty() || !fs::is_regular_file(r, ec)) continue;
        bool deja = false;
        for (const std::string& g : dem.fichiers) deja |= g == r;
        if (deja) continue;
        Empreinte e{r, {}};
        if (vu && meme_fichier(r, reel)) e.etat = avant;
        else if (!etat_chemin(r, e.etat)) return ferme_dem(dem), echec_de(a, "%s: cannot be opened: %s", r.c_str(), strerror(errno));
        dem.fichiers.push_back(r);
        d->empreintes.push_back(e);
    }
    if (!inchange(d, 1, a)) return ferme_dem(dem), false;  // replaced while GDAL opened it
    dem.nb_lig = d->dem.nb_lig;
    dem.nb_col = d->dem.nb_col;
    dem.pix_size = d->dem.pix_size;
    dem.manquants = d->dem.manquants;
    dem.couteux = d->dem.couteux;
    dem.etroit = d->dem.etroit;
    dem.nom_fichiers = "a file the DEM is read from";
    dem.source = source;
    dem.inchange = inchange;
    dem.place = place;
    dem.wkt_esri = wkt_esri;
    dem.fractions = fractions;
    return true;
}

bool pilote_pour(const std::string& chemin, std::string& pilote, Avis& a)
{
    const ModuleGdal* m = gdal(a);
    if (m) pilote = m->pilote_pour(chemin.c_str());
    return m != nullptr;
}

bool capacites_pilote(const std::string& nom, int& capacites, Avis& a)
{
    const ModuleGdal* m = gdal(a);
    if (m) capacites = m->pilote(nom.c_str());
    return m != nullptr;
}

// ---------------------------------------------------------------- the image

namespace {

struct ImageEcrite {
    const ModuleGdal* m;
    ImageGdal* image;
    std::string nom;
    int largeur;
    bool reelles;
};

// Written in pieces of a size that does not depend on the threads: the
// driver lays out image and mask blocks in the order they come, so any
// number of threads writes the same file.
bool ecrit_bloc(void* contexte, int premiere, int nombre, const void* valeurs, size_t pas_bande,
                const unsigned char* presence, std::string& erreur)
{
    ImageEcrite& i = *(ImageEcrite*)contexte;
    int piece = std::max(1, (1 << 18) / i.largeur);
    size_t taille = i.reelles ? sizeof(float) : 1;
    for (int r = 0; r < nombre; r += piece) {
        size_t decalage = (size_t)r * i.largeur;
        if (!i.m->ecrit_bloc(i.image, premiere + r, std::min(piece, nombre - r),
                             (const char*)valeurs + decalage * taille, pas_bande,
                             presence ? presence + decalage : nullptr, erreur)) {
            erreur = i.nom + ": " + noms_finals(erreur);
            return false;
        }
    }
    return true;
}

void decrit(void* contexte, int bande, const Elements& elements)
{
    ImageEcrite& i = *(ImageEcrite*)contexte;
    for (const auto& e : elements) {
        if (e.first == "DESCRIPTION") i.m->description(i.image, bande, e.second.c_str());
        else i.m->metadonnee(i.image, bande, e.first.c_str(), e.second.c_str());
    }
}

bool ferme_gdal(void* contexte, Avis& a)
{
    ImageEcrite* i = (ImageEcrite*)contexte;
    std::string erreur;
    bool ok = i->m->ferme_image(i->image, erreur) ||
              echec_de(a, "%s: %s", i->nom.c_str(), noms_finals(erreur).c_str());
    delete i;
    return ok;
}

void abandonne_gdal(void* contexte)
{
    ImageEcrite* i = (ImageEcrite*)contexte;
    i->m->abandonne(i->image);
    delete i;
}

}  // namespace

bool ouvre_image_gdal(Image& im, JeuResultats& j, const ImageVoulue& v, Avis& a)
{
    const ModuleGdal* m = gdal(a);
    if (!m) return false;
    std::string erreur;
    bool masque = !v.reelles && v.manquants > 0;
    std::string prive = resultat_prive(j, v.chemin), brouillon = resultat_brouillon(j, ".copy.tif");
    ImageGdal* image = m->cree_image(v.geo_ok ? v.geo : nullptr, v.wkt.c_str(), prive.c_str(), v.pilote.c_str(),
                                     v.options, v.nb_col, v.nb_lig, v.bandes, v.reelles, masque, brouillon.c_str(),
                                     erreur);
    if (!image) return echec_de(a, "%s: %s", v.chemin.c_str(), noms_finals(erreur).c_str());
    if (!v.reelles && v.manquants > 0 && !masque)
        avertissement(a, "%s: %s stores no mask: the %llu missing cells are nodata 0, as are the cells whose byte is 0",
                      v.chemin.c_str(), v.pilote.c_str(), (unsigned long long)v.manquants);
    im = Image();
    im.contexte = im.puits.contexte = new ImageEcrite{m, image, v.chemin, v.nb_col, v.reelles};
    im.marque_manquants = true;
    im.puits.ecrit_bloc = ecrit_bloc;
    im.decrit = decrit;
    im.ferme = ferme_gdal;
    im.abandonne = abandonne_gdal;
    return true;
}
