// A computation's memory: the budget its rounds fit in, their buffers, and
// their release. Everything is sized before anything is allocated, so a
// request that cannot fit is refused with the sizes, never half-built.
#include "calcul.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace tavelkorn {

// Memory aligned on a page, for buffers a system reads into.
static void* alloue_page(size_t n)
{
    return ::operator new(n ? n : 1, std::align_val_t(4096), std::nothrow);
}

static void libere_page(void* p)
{
    if (p) ::operator delete(p, std::align_val_t(4096));
}

static std::string mib(uint64_t n) { return std::to_string((unsigned long long)(n >> 20)); }

// Bytes a round takes with t threads (down columns, two rows of halo a
// block, the round's presence in row order, and each thread's column sums).
static uint64_t octets_par_tour(const Calcul* c, int t)
{
    uint64_t cellules = (uint64_t)c->lignes_bloc * (uint64_t)c->nb_col;
    uint64_t halo = c->halo ? 2 * (uint64_t)c->nb_col : 0;
    uint64_t pas = (cellules + halo + 1023) / 1024 * 1024;
    uint64_t par_fil = 2 * pas * sizeof(int) +
                       2 * cellules * (1 + (c->o.manquants ? 1 : 0) + (c->o.reelles ? sizeof(float) : 0)) +
                       (uint64_t)c->nb_col * sizeof(double);
    if (c->halo)
        par_fil += 2 * (halo + (c->o.manquants ? cellules : 0)) + (uint64_t)c->nb_col * (2 * sizeof(double) + 48);
    return par_fil * (uint64_t)t + (uint64_t)c->nb_col * sizeof(double);
}

static bool alloue_tour(Calcul* c, Tour& tour)
{
    size_t cellules = (size_t)c->lignes_bloc * (size_t)c->nb_col * (size_t)c->fils;
    tour.tampon = (int*)alloue_page(c->pas_bloc * c->fils * sizeof(int));
    tour.tampon_octets = (unsigned char*)malloc(cellules);
    if (c->o.manquants) {
        tour.presence = (unsigned char*)malloc(c->pas_presence * c->fils);
        // Without halo the blocks' presence lies in row order already.
        tour.presence_sortie = c->halo ? (unsigned char*)malloc(cellules) : tour.presence;
        if (!tour.presence_sortie) return false;
    }
    if (c->o.reelles) tour.tampon_valeurs = (float*)malloc(cellules * sizeof(float));
    tour.z.assign((size_t)c->fils, nullptr);
    tour.pas.assign((size_t)c->fils, 0);
    tour.m.assign((size_t)c->fils, nullptr);
    return tour.tampon && tour.tampon_octets && (!c->o.manquants || tour.presence) &&
           (!c->o.reelles || tour.tampon_valeurs);
}

static void libere_tour(Tour& tour)
{
    libere_page(tour.tampon);
    if (tour.presence_sortie != tour.presence) free(tour.presence_sortie);
    free(tour.presence);
    free(tour.tampon_octets);
    free(tour.tampon_valeurs);
    tour = Tour();
}

Calcul* calcul_cree(int nb_lig, int nb_col, const Options& o, const char* nom, std::string& erreur)
{
    if (nb_lig < 1 || nb_col < 1) {
        erreur = std::string(nom) + ": " + std::to_string(nb_lig) + " lines and " + std::to_string(nb_col) +
                 " columns: a DEM needs at least 1 of each";
        return nullptr;
    }
    Calcul* c = new (std::nothrow) Calcul;
    if (!c) {
        erreur = std::string(nom) + ": no memory for the computation";
        return nullptr;
    }
    c->nb_lig = nb_lig;
    c->nb_col = nb_col;
    c->o = o;
    c->halo = o.direction != DIRECTION_LIGNES;
    uint64_t ligne = (uint64_t)nb_col * (sizeof(int) + sizeof(double) + 1);
    uint64_t dispo = o.memoire ? o.memoire : UINT64_MAX;
    if (ligne > dispo) {
        erreur = std::string(nom) + ": a row of " + std::to_string(nb_col) + " elevations needs " + mib(ligne) +
                 " MiB of memory; " + mib(dispo) + " MiB are available";
        delete c;
        return nullptr;
    }
    c->lignes_bloc = std::min(std::max(1, (1 << 18) / nb_col), nb_lig);
    c->fils = std::max(1, std::min(std::min(o.fils, 256), (nb_lig + c->lignes_bloc - 1) / c->lignes_bloc));
    while (c->fils > 1 && octets_par_tour(c, c->fils) > dispo) c->fils--;  // fewer threads rather than no run
    uint64_t besoin = octets_par_tour(c, c->fils);
    if (besoin > dispo || besoin > (uint64_t)SIZE_MAX / 2) {
        erreur = std::string(nom) + ": blocks of " + std::to_string(c->lignes_bloc) + " x " + std::to_string(nb_col) +
                 " elevations need " + mib(besoin) + " MiB of memory; " + mib(dispo) + " MiB are available";
        delete c;
        return nullptr;
    }
    size_t rangees = (size_t)c->lignes_bloc + (c->halo ? 2 : 0);
    c->pas_bloc = (rangees * nb_col + 1023) / 1024 * 1024;  // whole 4 KiB pages
    c->pas_presence = rangees * nb_col;
    bool ok = alloue_tour(c, c->tours[0]) && alloue_tour(c, c->tours[1]);
    if (ok && (o.reelles || c->halo))  // a row of deviations for each thread
        ok = (c->brouillon = (double*)malloc((size_t)nb_col * c->fils * sizeof(double))) != nullptr;
    if (!ok) {
        erreur = std::string(nom) + ": rows of " + std::to_string(nb_col) + " elevations (" + mib(ligne) +
                 " MiB) could not be allocated";
        calcul_libere(c);
        return nullptr;
    }
    return c;
}

int calcul_fils(const Calcul* c) { return c->fils; }

void calcul_libere(Calcul* c)
{
    if (!c) return;
    equipe_arrete(c->equipe);  // no thread may still use a buffer
    libere_tour(c->tours[0]);
    libere_tour(c->tours[1]);
    free(c->brouillon);
    delete c;
}

const std::string& calcul_erreur(const Calcul* c) { return c->erreur; }
bool calcul_annule(const Calcul* c) { return c->annule; }

bool commence_passe(Calcul* c, const Source& s, int passe)
{
    if (s.manquants && !c->o.manquants) {
        echoue(c, "a source with missing cells needs Options::manquants");
        return false;
    }
    c->source = &s;
    c->passe = passe;
    return true;
}

void echoue(Calcul* c, const std::string& texte)
{
    std::lock_guard<std::mutex> l(c->verrou);
    if (c->en_echec) return;
    c->erreur = texte;
    c->en_echec = true;
}

bool avance(Calcul* c, double fraction)
{
    if (!c->o.progres || c->o.progres(fraction, c->passe, c->o.contexte_progres)) return true;
    {
        std::lock_guard<std::mutex> l(c->verrou);
        if (!c->en_echec) c->annule = true;
    }
    echoue(c, "cancelled");
    return false;
}

}  // namespace tavelkorn
