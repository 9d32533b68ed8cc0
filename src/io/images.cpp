#include "images.h"

#include "image.h"

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

bool ferme_image(Image& i, Avis& a)
{
    bool ok = !i.ferme || !i.contexte || i.ferme(i.contexte, a);
    i = Image();
    return ok;
}

void abandonne_image(Image& i)
{
    if (i.abandonne && i.contexte) i.abandonne(i.contexte);
    i = Image();
}

std::vector<std::string> compagnons(const std::string& image, const std::vector<std::string>& apres,
                                    const std::vector<std::string>& stem)
{
    std::vector<std::string> noms;
    for (const std::string& e : apres) noms.push_back(image + e);
    for (const std::string& e : stem) noms.push_back(std::filesystem::path(image).replace_extension(e).string());
    return noms;
}

// ---------------------------------------------------------------- raw

namespace {

struct Raw {
    FILE* f = nullptr;
    std::string nom;
    int nb_col = 0;
};

bool ecrit_raw(void* contexte, int, int nombre, const void* octets, size_t, const unsigned char*, std::string& erreur)
{
    Raw& r = *(Raw*)contexte;
    size_t n = (size_t)nombre * r.nb_col;
    if (fwrite(octets, 1, n, r.f) == n) return true;
    erreur = r.nom + ": could not be written completely";
    return false;
}

bool ferme_raw(void* contexte, Avis& a)
{
    Raw* r = (Raw*)contexte;
    bool ok = resultat_ferme(r->f, r->nom, a);
    delete r;
    return ok;
}

void abandonne_raw(void* contexte)
{
    Raw* r = (Raw*)contexte;
    if (r->f) fclose(r->f);
    delete r;
}

}  // namespace

bool ouvre_image_raw(Image& i, const JeuResultats& j, const std::string& chemin, int nb_col, Avis& a)
{
    FILE* f = resultat_ouvre(j, chemin, a);
    if (!f) return false;
    Raw* r = new Raw{f, chemin, nb_col};
    i = Image();
    i.contexte = i.puits.contexte = r;
    i.puits.ecrit_bloc = ecrit_raw;
    i.ferme = ferme_raw;
    i.abandonne = abandonne_raw;
    return true;
}

// ---------------------------------------------------------------- BMP

// The BMP writer asks for its rows one at a time from the last up; the
// engine gives them as blocks from the last up. The writer runs on a thread
// of its own, and each block waits until the writer has taken its rows.
namespace {

struct Bmp {
    FILE* f = nullptr;
    std::string nom;
    int nb_col = 0, nb_lig = 0;
    std::thread ecrivain;
    std::mutex verrou;
    std::condition_variable signal;
    const unsigned char* bloc = nullptr;  // the block being written: rows debut .. fin - 1
    int debut = 0, fin = 0;
    bool arret = false;    // no more blocks will come
    bool termine = false;  // the writer is done
    int resultat = 0;
};

// On the writer's thread: row i, once its block has come; a row below the
// block means the block is written.
const unsigned char* ligne_bmp(int i, void* contexte)
{
    Bmp& b = *(Bmp*)contexte;
    std::unique_lock<std::mutex> l(b.verrou);
    if (b.bloc && (i < b.debut || i >= b.fin)) {
        b.bloc = nullptr;
        b.signal.notify_all();
    }
    b.signal.wait(l, [&] { return b.arret || b.bloc; });
    if (!b.bloc || i < b.debut || i >= b.fin) return nullptr;  // the run stopped, or a row out of order: give up
    return b.bloc + (size_t)(i - b.debut) * b.nb_col;
}

void ecrivain_bmp(Bmp* b)
{
    int r = EcritBMP(b->f, ligne_bmp, b, b->nb_col, b->nb_lig, 0, nullptr);
    std::lock_guard<std::mutex> l(b->verrou);
    b->resultat = r;
    b->termine = true;
    b->bloc = nullptr;
    b->signal.notify_all();
}

bool ecrit_bmp(void* contexte, int premiere, int nombre, const void* octets, size_t, const unsigned char*,
               std::string& erreur)
{
    Bmp& b = *(Bmp*)contexte;
    if (!b.ecrivain.joinable()) b.ecrivain = std::thread(ecrivain_bmp, &b);
    std::unique_lock<std::mutex> l(b.verrou);
    if (!b.termine) {
        b.bloc = (const unsigned char*)octets, b.debut = premiere, b.fin = premiere + nombre;
        b.signal.notify_all();
        b.signal.wait(l, [&] { return !b.bloc || b.termine; });
    }
    if (!b.termine || b.resultat == 0) return true;
    erreur = b.nom + ": could not be written completely";
    return false;
}

// Stops the writer (done, or left waiting for blocks that will not come).
void arrete(Bmp& b)
{
    {
        std::lock_guard<std::mutex> l(b.verrou);
        b.arret = true;
        b.signal.notify_all();
    }
    if (b.ecrivain.joinable()) b.ecrivain.join();
}

bool ferme_bmp(void* contexte, Avis& a)
{
    Bmp* b = (Bmp*)contexte;
    arrete(*b);
    bool ok = b->termine && b->resultat == 0;
    ok = resultat_ferme(b->f, b->nom, a) && (ok || echec_de(a, "%s: could not be written completely", b->nom.c_str()));
    delete b;
    return ok;
}

void abandonne_bmp(void* contexte)
{
    Bmp* b = (Bmp*)contexte;
    arrete(*b);
    if (b->f) fclose(b->f);
    delete b;
}

}  // namespace

bool ouvre_image_bmp(Image& i, const JeuResultats& j, const std::string& chemin, int nb_col, int nb_lig, Avis& a)
{
    FILE* f = resultat_ouvre(j, chemin, a);
    if (!f) return false;
    Bmp* b = new Bmp;
    b->f = f, b->nom = chemin, b->nb_col = nb_col, b->nb_lig = nb_lig;
    i = Image();
    i.contexte = i.puits.contexte = b;
    i.puits.descendant = true;
    i.puits.ecrit_bloc = ecrit_bmp;
    i.ferme = ferme_bmp;
    i.abandonne = abandonne_bmp;
    return true;
}
