#include "resultats.h"

#include "../platform/plateforme.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

// The folder of a path as given ("" for the working directory), and the
// same for the system's calls.
static std::string parent_de(const std::string& chemin) { return fs::path(chemin).parent_path().string(); }
static std::string ici(const std::string& dossier) { return dossier.empty() ? "." : dossier; }

static std::string nom_de(const std::string& chemin) { return fs::path(chemin).filename().string(); }

static std::string dans(const std::string& dossier, const std::string& nom)
{
    return dossier.empty() ? nom : (fs::path(dossier) / nom).string();
}

bool meme_fichier(const std::string& a, const std::string& b)
{
    std::error_code ec;
    return cle_de_chemin(a) == cle_de_chemin(b) || fs::equivalent(a, b, ec);
}

void resultats_reserve(JeuResultats& j, uint64_t octets) { j.reserve += octets; }

void resultats_prevoit(JeuResultats& j, const std::string& final_, const char* role, uint64_t taille, bool image)
{
    j.resultats.push_back({final_, "", role, taille, false, image, 0, false});
}

void resultats_efface(JeuResultats& j, const std::string& final_)
{
    j.resultats.push_back({final_, "", "a file describing the image", 0, false, false, 0, true});
}

// The image, when the run writes one.
static const Resultat* l_image(const JeuResultats& j)
{
    for (const Resultat& r : j.resultats)
        if (r.requis) return &r;
    return nullptr;
}

// Sizes as df -H gives them.
static std::string taille_lisible(uint64_t n)
{
    static const char* const unites[] = {"bytes", "kB", "MB", "GB", "TB", "PB", "EB"};
    double v = (double)n;
    int u = 0;
    while (v >= 1000 && u < 6) v /= 1000, u++;
    char t[32];
    snprintf(t, sizeof t, u == 0 ? "%.0f %s" : v < 10 ? "%.1f %s" : "%.0f %s", v, unites[u]);
    return t;
}

// A name for the result final_ (or a file added beside it): not a folder,
// not a file of the input, not the name of another result.
static bool verifie_nom(const JeuResultats& j, const std::string& final_, const std::string& role, size_t avant,
                        Avis& a)
{
    for (const std::string& e : j.entrees)
        if (meme_fichier(final_, e)) return echec_de(a, "%s would overwrite %s", final_.c_str(), j.nom_entrees.c_str());
    for (size_t k = 0; k < avant; k++)
        if (!j.resultats[k].efface && meme_fichier(final_, j.resultats[k].final_))
            return refus_de(a, "%s: both %s and %s; each result needs a name of its own", final_.c_str(),
                            j.resultats[k].role.c_str(), role.c_str());
    return true;
}

// What the name holds now decides how the result goes there: replaced when
// it is a regular file, a link or nothing; written into when it is a FIFO or
// a device (directly or through a link, and anything under /dev).
static bool genre_du_nom(Resultat& r, Avis& a)
{
    const char* nom = r.final_.c_str();
    GenreFichier g = genre_fichier(r.final_, false);
    if (g == LIEN) {
        GenreFichier cible = genre_fichier(r.final_, true);
        if (cible == SPECIAL || cible == DOSSIER) g = cible;
    }
    if (g == INACCESSIBLE) return echec_de(a, "%s: cannot be created: %s", nom, strerror(errno));
    if (g == DOSSIER) return echec_de(a, "%s: cannot be created: %s", nom, strerror(EISDIR));
    std::error_code ec;
    std::string absolu = fs::absolute(r.final_, ec).lexically_normal().generic_string();
    // A regular file under /dev (/dev/shm) is replaced as any other.
    r.direct = g == SPECIAL || descripteur_ouvert(absolu) || (g != ABSENT && absolu.rfind("/proc/", 0) == 0);
    if (r.direct && r.requis)
        return echec_de(a, "%s: not a regular file; the image is written to regular files only", nom);
    return true;
}

// A file to remove that is not there, not a regular file or link, a file
// of the input or the name of a result, is none of the run's business.
static void oublie_les_effaces_inutiles(JeuResultats& j)
{
    std::vector<Resultat>& rs = j.resultats;
    for (size_t k = 0; k < rs.size();) {
        bool garde = !rs[k].efface;
        if (!garde) {
            GenreFichier g = genre_fichier(rs[k].final_, false);
            garde = g == REGULIER || g == LIEN;
            for (const std::string& e : j.entrees) garde = garde && !meme_fichier(rs[k].final_, e);
            for (size_t q = 0; garde && q < rs.size(); q++) garde = rs[q].efface || !meme_fichier(rs[q].final_, rs[k].final_);
        }
        if (garde) k++;
        else rs.erase(rs.begin() + (ptrdiff_t)k);
    }
}

bool resultats_prepare(JeuResultats& j, const std::vector<std::string>& entrees, const std::string& nom_entrees,
                       Avis& a)
{
    j.entrees = entrees;
    j.nom_entrees = nom_entrees;
    oublie_les_effaces_inutiles(j);
    std::vector<Resultat>& resultats = j.resultats;
    std::vector<DossierPrive>& dossiers = j.dossiers;
    for (size_t k = 0; k < resultats.size(); k++)
        if (!resultats[k].efface &&
            (!verifie_nom(j, resultats[k].final_, resultats[k].role, k, a) || !genre_du_nom(resultats[k], a)))
            return false;
    // One private folder for each folder of results; a FIFO or device
    // result is staged beside the image.
    std::vector<uint64_t> besoin;
    for (Resultat& r : resultats) {
        const Resultat* image = l_image(j);
        std::string parent = r.direct && image ? parent_de(image->final_) : parent_de(r.final_);
        size_t d = 0;
        while (d < dossiers.size() && !meme_fichier(ici(dossiers[d].parent), ici(parent))) d++;
        if (d == dossiers.size()) dossiers.push_back({parent, ""}), besoin.push_back(0);
        r.dossier = d;
        besoin[d] += r.taille + (&r == l_image(j) ? j.reserve : 0);
    }
    for (size_t d = 0; d < dossiers.size(); d++) {
        uint64_t libre = espace_libre(ici(dossiers[d].parent));
        if (besoin[d] > libre) {
            const Resultat* grand = nullptr;
            for (const Resultat& r : resultats)
                if (r.dossier == d && (!grand || r.taille > grand->taille)) grand = &r;
            return echec_de(a, "%s: needs %s, %s free", grand->final_.c_str(), taille_lisible(besoin[d]).c_str(),
                            taille_lisible(libre).c_str());
        }
    }
    for (size_t d = 0; d < dossiers.size(); d++) {
        const Resultat* premier = nullptr;
        for (const Resultat& r : resultats)
            if (r.dossier == d && !premier) premier = &r;
        std::string souche = fs::path(premier->final_).stem().string().substr(0, 200);
        std::string prefixe = dossiers[d].parent.empty() ? "" : dossiers[d].parent + (char)fs::path::preferred_separator;
        if (!cree_dossier_prive(prefixe, souche, dossiers[d].chemin))
            return echec_de(a, "%s: cannot be created: %s", premier->final_.c_str(), strerror(errno));
    }
    int n = 0;
    for (Resultat& r : resultats)
        r.prive = dans(dossiers[r.dossier].chemin, r.direct   ? ".direct-" + std::to_string(n++)
                                                   : r.efface ? ".old-" + std::to_string(n++)
                                                              : nom_de(r.final_));
    return true;
}

// Where the result final_ is written ("" when it is none: a slip of the
// program itself, which then fails to create it).
std::string resultat_prive(const JeuResultats& j, const std::string& final_)
{
    for (const Resultat& r : j.resultats)
        if (r.final_ == final_ && !r.efface) return r.prive;
    return "";
}

std::string resultat_brouillon(JeuResultats& j, const std::string& nom)
{
    j.brouillons.push_back(dans(j.dossiers[l_image(j)->dossier].chemin, nom));
    return j.brouillons.back();
}

FILE* resultat_ouvre(const JeuResultats& j, const std::string& final_, Avis& a)
{
    std::string prive = resultat_prive(j, final_);
    FILE* f = prive.empty() ? nullptr : cree_fichier_neuf(prive);
    if (!f) return echec_de(a, "%s: cannot be created: %s", final_.c_str(), strerror(errno)), nullptr;
    setvbuf(f, nullptr, _IOFBF, 1 << 18);
    return f;
}

bool resultat_ferme(FILE*& f, const std::string& final_, Avis& a)
{
    bool ok = !ferror(f);
    if (fclose(f) != 0) ok = false;
    f = nullptr;
    return ok || echec_de(a, "%s: could not be written completely", final_.c_str());
}

// Files a driver wrote beside the image in its private folder become
// results under the same names beside the image.
static bool adopte_compagnons(JeuResultats& j, Avis& a)
{
    const std::vector<DossierPrive>& dossiers = j.dossiers;
    for (size_t d = 0; d < dossiers.size(); d++) {
        std::error_code ec;
        std::vector<std::string> noms;
        for (fs::directory_iterator it(dossiers[d].chemin, ec), fin; !ec && it != fin; it.increment(ec))
            noms.push_back(it->path().filename().string());
        if (ec) return echec_de(a, "%s: cannot be listed: %s", dossiers[d].chemin.c_str(), ec.message().c_str());
        for (const std::string& nom : noms) {
            std::string prive = dans(dossiers[d].chemin, nom);
            bool connu = false;
            for (const Resultat& r : j.resultats) connu |= r.prive == prive;
            for (const std::string& b : j.brouillons) connu |= b == prive;
            if (connu) continue;
            Resultat r{dans(dossiers[d].parent, nom), prive, "a file the driver added", 0, false, false, d, false};
            if (!verifie_nom(j, r.final_, r.role, j.resultats.size(), a) || !genre_du_nom(r, a)) return false;
            if (r.direct)
                return echec_de(a, "%s: not a regular file; it cannot take a file the driver added", r.final_.c_str());
            // The driver wrote it now: it replaces the old one rather than going.
            for (Resultat& e : j.resultats) e.efface &= !meme_fichier(e.final_, r.final_);
            j.resultats.push_back(r);
        }
    }
    return true;
}

static bool copie_dans(const std::string& de, const std::string& vers)
{
    FILE* s = fopen(de.c_str(), "rb");
    if (!s) return false;
    FILE* c = ouvre_existant(vers);
    bool ok = c != nullptr;
    char t[1 << 16];
    for (size_t n; ok && (n = fread(t, 1, sizeof t, s)) > 0;) ok = fwrite(t, 1, n, c) == n;
    ok = ok && !ferror(s);
    if (c && fclose(c) != 0) ok = false;
    fclose(s);
    return ok;
}

// A driver's text companions (ENVI's .hdr, GDAL's .aux.xml) name the file
// they were written as: they name its final path instead.
static bool corrige_textes(const JeuResultats& j, Avis& a)
{
    for (const Resultat& r : j.resultats) {
        std::string ext = fs::path(r.final_).extension().string();
        if (r.direct || r.efface || (ext != ".hdr" && ext != ".xml" && ext != ".HDR")) continue;
        std::error_code ec;
        if (fs::file_size(r.prive, ec) > (1u << 20) || ec) continue;
        FILE* f = fopen(r.prive.c_str(), "rb");
        if (!f) continue;
        std::string texte;
        char t[4096];
        for (size_t n; (n = fread(t, 1, sizeof t, f)) > 0;) texte.append(t, n);
        fclose(f);
        std::string final_ = noms_finals(texte);
        if (final_ == texte) continue;
        f = fopen(r.prive.c_str(), "wb");
        bool ok = f && fwrite(final_.data(), 1, final_.size(), f) == final_.size();
        if (f && fclose(f) != 0) ok = false;
        if (!ok) return echec_de(a, "%s: could not be written completely", r.final_.c_str());
    }
    return true;
}

bool resultats_valide(JeuResultats& j, Avis& a)
{
    if (!adopte_compagnons(j, a) || !corrige_textes(j, a)) return false;
    const std::vector<Resultat>& resultats = j.resultats;
    std::string faits;
    auto ecrit = [](const Resultat& r) { return genre_fichier(r.prive, false) == REGULIER; };
    for (const Resultat& r : resultats)
        if (r.requis && !ecrit(r)) return echec_de(a, "%s: no file of this name was written", r.final_.c_str());
    for (const Resultat& r : resultats) {
        if (!r.direct || !ecrit(r)) continue;
        if (!copie_dans(r.prive, r.final_))
            return echec_de(a, "%s: could not be written: %s; %s", r.final_.c_str(), strerror(errno),
                            faits.empty() ? "no result was written" : ("already written: " + faits).c_str());
        faits += (faits.empty() ? "" : ", ") + r.final_;
    }
    for (const Resultat& r : resultats) {
        if (r.direct || (!r.efface && !ecrit(r))) continue;
        // A result that replaces a file keeps its permissions: a private
        // result stays private, a read-only one read-only. A file that would
        // describe the new image wrongly goes into the private folder, which
        // goes.
        if (!r.efface && genre_fichier(r.final_, false) == REGULIER) copie_droits(r.final_, r.prive);
        bool ok = r.efface ? remplace_fichier(r.final_, r.prive) || errno == ENOENT : remplace_fichier(r.prive, r.final_);
        if (!ok)
            return echec_de(a, "%s: cannot be replaced: %s; %s", r.final_.c_str(), strerror(errno),
                            faits.empty() ? "no result was replaced" : ("already replaced: " + faits).c_str());
        if (!r.efface) faits += (faits.empty() ? "" : ", ") + r.final_;
    }
    resultats_abandonne(j);
    return true;
}

std::string noms_finals(std::string texte)
{
    for (const DossierInscrit& d : dossiers_inscrits()) {
        std::string de = d.chemin + (char)fs::path::preferred_separator;
        for (size_t at; (at = texte.find(de)) != std::string::npos;) texte.replace(at, de.size(), d.prefixe);
    }
    return texte;
}

void resultats_abandonne(JeuResultats& j)
{
    for (const DossierPrive& d : j.dossiers) {
        if (d.chemin.empty()) continue;
        supprime_dossier(d.chemin);
        oublie_dossier(d.chemin);
    }
    j = JeuResultats();
}
