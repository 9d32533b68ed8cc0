// A computation's making: its options checked, the budget its rounds fit
// in, their buffers, and their release. Everything is sized before
// anything is allocated, so a request that cannot fit is refused with the
// sizes, never half-built.
#include "calcul.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace tavelkorn {

// Memory aligned on a page, for buffers a system reads into.
static void* alloue_page(size_t n) { return ::operator new(n ? n : 1, std::align_val_t(4096), std::nothrow); }

static void libere_page(void* p)
{
    if (p) ::operator delete(p, std::align_val_t(4096));
}

static std::string mib(uint64_t n) { return std::to_string((unsigned long long)(n >> 20)); }

// The options a computation can be made of; the text names the one at
// fault.
static bool verifie(const Options& o, int nb_lig, int nb_col, const char* nom, Erreur& e)
{
    e = Erreur{CODE_ARGUMENT, ""};
    if (nb_lig < 1 || nb_col < 1)
        e.texte = std::string(nom) + ": " + std::to_string(nb_lig) + " lines and " + std::to_string(nb_col) +
                  " columns: a DEM needs at least 1 of each";
    else if (o.echelles.empty() || (int)o.echelles.size() > ECHELLES_MAX)
        e.texte = std::to_string(o.echelles.size()) + " scales: 1 to " + std::to_string(ECHELLES_MAX);
    else if (!(o.rang > 0.0 && o.rang <= 100.0))
        e.texte = "the percentile " + std::to_string(o.rang) + " is outside (0, 100]";
    else if (!std::isfinite(o.echelle_z) || o.echelle_z == 0.0)
        e.texte = "the z-scale " + std::to_string(o.echelle_z) + " must be a non-zero number";
    for (size_t s = 0; e.texte.empty() && s < o.echelles.size(); s++)
        if (o.echelles[s] < 1 || (s > 0 && o.echelles[s] <= o.echelles[s - 1]))
            e.texte = "scale " + std::to_string(o.echelles[s]) + ": scales are whole numbers from 1, ascending";
    if (e.texte.empty()) e.code = CODE_OK;
    return e.code == CODE_OK;
}

// What one thread takes beside its rounds: a row of deviations and of bins,
// and for each scale its histograms and, down columns, each column's sums
// and extremes.
static uint64_t octets_du_fil(const Calcul* c)
{
    uint64_t n = (uint64_t)c->nb_col, ne = (uint64_t)c->ne;
    uint64_t histos = c->o.etirement != ETIRE_RANG ? 0 : c->o.direction == DIRECTION_LIGNES ? SOUS_HISTOS : 1;
    uint64_t colonnes = c->o.direction != DIRECTION_LIGNES ? 4 * sizeof(int64_t) + sizeof(__int128) : 0;
    return n * (sizeof(double) + sizeof(int32_t)) + ne * (histos * NB_CASES * sizeof(uint64_t) + n * colonnes + 64);
}

// Bytes a round takes with t threads: each thread's block and halo, its
// presence, the image's planes, and the thread's own accumulators; plus
// what the computation keeps once (column means, the halo's cache, the
// profile's rows).
static uint64_t octets_pour(const Calcul* c, int t)
{
    uint64_t n = (uint64_t)c->nb_col, rangees = (uint64_t)c->lignes_bloc + 2 * (uint64_t)c->halo;
    uint64_t cellules = (uint64_t)c->lignes_bloc * n;
    uint64_t pas = (rangees * n + 1023) / 1024 * 1024;
    uint64_t image = cellules * (uint64_t)c->ne * (c->o.reelles ? sizeof(float) : 1);
    uint64_t presence = c->manquants ? rangees * n + (c->halo ? cellules : 0) : 0;
    uint64_t par_fil = 2 * (pas * sizeof(int) + presence + image) + octets_du_fil(c);
    uint64_t une_fois = (uint64_t)c->ne * (n + (c->moyennes_gardees ? (uint64_t)c->nb_lig : 0)) *
                            (sizeof(int64_t) + sizeof(double) + 1) +
                        (2 * (uint64_t)c->halo + 1) * n * 2 * (sizeof(int) + 1);
    return par_fil * (uint64_t)t + une_fois;
}

static bool alloue_tour(Calcul* c, Tour& tour)
{
    size_t cellules = (size_t)c->lignes_bloc * (size_t)c->nb_col * (size_t)c->fils;
    tour.tampon = (int*)alloue_page(c->pas_bloc * c->fils * sizeof(int));
    if (c->o.reelles) tour.tampon_valeurs = (float*)malloc(cellules * c->ne * sizeof(float));
    else tour.tampon_octets = (unsigned char*)malloc(cellules * c->ne);
    if (c->manquants) {
        tour.presence = (unsigned char*)malloc(c->pas_presence * c->fils);
        // Without halo the blocks' presence lies in row order already.
        tour.presence_sortie = c->halo ? (unsigned char*)malloc(cellules) : tour.presence;
        if (!tour.presence || !tour.presence_sortie) return false;
    }
    tour.z.assign((size_t)c->fils, nullptr);
    tour.pas.assign((size_t)c->fils, 0);
    tour.m.assign((size_t)c->fils, nullptr);
    return tour.tampon && (tour.tampon_octets || tour.tampon_valeurs);
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

// Each thread's accumulators, at their size for the options.
static void prepare_fils(Calcul* c)
{
    size_t n = (size_t)c->nb_col, ne = (size_t)c->ne;
    bool rang = c->o.etirement == ETIRE_RANG, colonnes = c->o.direction != DIRECTION_LIGNES;
    size_t copies = c->o.direction == DIRECTION_LIGNES ? SOUS_HISTOS : 1;
    c->par_fil.resize((size_t)c->fils);
    for (Fil& f : c->par_fil) {
        f.dmax.assign(ne, 0.0);
        f.histos.assign(rang ? ne * copies * NB_CASES : 0, 0);
        f.cases.assign(n, 0);
        f.d.assign(n, 0.0);
        for (Vecteur<int64_t>* v : {&f.piece, &f.compte, &f.tmin, &f.tmax}) v->assign(colonnes ? ne * n : 0, 0);
        f.somme.assign(colonnes ? ne * n : 0, 0);
        f.nuls.assign(ne, 0);
        f.fenetre.assign(ne, 0);
    }
    if (c->moyennes_gardees) {
        c->moyenne_lig.assign(ne * (size_t)c->nb_lig, 0);
        c->a_moyenne_lig.assign(ne * (size_t)c->nb_lig, 0);
    }
    // Down columns: the column means, the rows a thread reading ahead keeps
    // for the halo, and the rows around the profile row.
    size_t halo = 2 * (size_t)c->halo * n, profil = halo + n;
    c->moyenne_col.reserve(colonnes ? ne * n : 0);
    c->moyenne_col_d.reserve(colonnes ? ne * n : 0);
    c->a_moyenne_col.reserve(colonnes ? ne * n : 0);
    c->cache_z.reserve(halo), c->cache_m.reserve(c->manquants ? halo : 0);
    c->profil_z.reserve(colonnes ? profil : 0), c->profil_m.reserve(colonnes && c->manquants ? profil : 0);
}

// The scales as computed, the halo and the blocks' height.
static void dispose(Calcul* c)
{
    c->c = decalage_de(c->o.terme);
    c->ne = (int)c->o.echelles.size();
    c->k.clear();
    for (int e : c->o.echelles) c->k.push_back(echelle_utile(e, c->nb_lig, c->nb_col));
    // Down columns the block takes the rows its lags reach: no further than
    // a lag that still has a term.
    c->halo = 0;
    if (c->o.direction != DIRECTION_LIGNES)
        for (int k : c->k) c->halo = std::max(c->halo, std::min(k, (c->nb_lig - 1) / 2));
    // The rows' means kept between the passes when they take little.
    c->moyennes_gardees = c->o.direction != DIRECTION_COLONNES && (uint64_t)c->nb_lig * c->ne * 9 <= (64u << 20);
    // Blocks of about 1 MiB, and twice the halo at least: the rows read again
    // stay fewer than those computed.
    c->lignes_bloc = std::min(std::max(std::max(1, (1 << 18) / c->nb_col), 2 * c->halo), c->nb_lig);
}

Calcul* calcul_cree(const Source& source, const Options& o, const char* nom, Erreur& erreur)
{
    if (!verifie(o, source.nb_lig, source.nb_col, nom, erreur)) return nullptr;
    Calcul* c = new (std::nothrow) Calcul;
    if (!c) {
        erreur = {CODE_MEMOIRE, std::string(nom) + ": no memory for the computation"};
        return nullptr;
    }
    c->nb_lig = source.nb_lig;
    c->nb_col = source.nb_col;
    c->manquants = source.manquants;
    c->o = o;
    dispose(c);
    uint64_t ligne = (uint64_t)c->nb_col * (sizeof(int) + sizeof(double) + 1);
    uint64_t dispo = o.memoire ? o.memoire : UINT64_MAX;
    int voulus = std::max(1, std::min(o.fils, 256));
    c->fils = (int)std::max<int64_t>(1, std::min<int64_t>(voulus, ((int64_t)c->nb_lig + c->lignes_bloc - 1) / c->lignes_bloc));
    while (c->fils > 1 && octets_pour(c, c->fils) > dispo) c->fils--;  // fewer threads rather than no run
    uint64_t besoin = octets_pour(c, c->fils);
    if (ligne > dispo || besoin > dispo || besoin > (uint64_t)SIZE_MAX / 2) {
        erreur.code = CODE_MEMOIRE;
        erreur.texte = ligne > dispo ? std::string(nom) + ": a row of " + std::to_string(c->nb_col) +
                                           " elevations needs " + mib(ligne) + " MiB of memory; " + mib(dispo) +
                                           " MiB are available"
                                     : std::string(nom) + ": blocks of " + std::to_string(c->lignes_bloc) + " x " +
                                           std::to_string(c->nb_col) + " elevations need " + mib(besoin) +
                                           " MiB of memory; " + mib(dispo) + " MiB are available";
        delete c;
        return nullptr;
    }
    size_t rangees = (size_t)c->lignes_bloc + 2 * (size_t)c->halo;
    c->pas_bloc = (rangees * c->nb_col + 1023) / 1024 * 1024;  // whole 4 KiB pages
    c->pas_presence = rangees * c->nb_col;
    bool ok = alloue_tour(c, c->tours[0]) && alloue_tour(c, c->tours[1]);
    try {
        prepare_fils(c);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    if (!ok) {
        erreur = {CODE_MEMOIRE, std::string(nom) + ": rows of " + std::to_string(c->nb_col) + " elevations (" +
                                    mib(ligne) + " MiB) could not be allocated"};
        calcul_libere(c);
        return nullptr;
    }
    return c;
}

void calcul_libere(Calcul* c)
{
    if (!c) return;
    equipe_arrete(c->equipe);  // no thread may still use a buffer
    libere_tour(c->tours[0]);
    libere_tour(c->tours[1]);
    delete c;
}

void echoue(Calcul* c, const Erreur& e, Code code)
{
    std::lock_guard<std::mutex> l(c->verrou);
    if (c->en_echec) return;
    c->erreur = e;
    if (c->erreur.code == CODE_OK) c->erreur.code = code;
    c->en_echec = true;
}

void echoue(Calcul* c, Code code, const std::string& texte) { echoue(c, Erreur{code, texte}); }

bool avance(Calcul* c, double fraction)
{
    if (!c->o.progres || c->o.progres(fraction, c->passe, c->passes, c->o.contexte_progres)) return true;
    echoue(c, CODE_ANNULE, "cancelled");
    return false;
}

}  // namespace tavelkorn
