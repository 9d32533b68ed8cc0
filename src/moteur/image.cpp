// The image pass: a round of blocks at a time on the threads, while the
// sink takes the round before. The sink takes the rounds in its own
// direction (from the last row up for a BMP), a block at a time, or the
// engine writes into the sink's memory.
#include "calcul.h"

#include <algorithm>
#include <cstring>

namespace tavelkorn {

// Row l's image at every scale into the round's planes (r rows into them),
// and its dark bytes in each scale's window.
static void image_de_ligne(Calcul* c, Fil& f, const Tour& tr, int r, int l, const int* z, size_t pas,
                           const unsigned char* brute)
{
    int n = c->nb_col;
    bool reelles = c->o.reelles, compte = !reelles && c->o.etirement == ETIRE_DEMI;
    const unsigned char* m = brute && memchr(brute, 0, (size_t)n) ? brute : nullptr;
    for (int s = 0; s < c->ne; s++) {
        int k = c->k[(size_t)s];
        const Reglage& reglage = c->reglages[(size_t)s];
        size_t o = (size_t)s * tr.pas_echelle + (size_t)r * n;
        unsigned char* octets = reelles ? nullptr : tr.octets + o;
        float* valeurs = reelles ? tr.valeurs + o : nullptr;
        Colonnes cols = colonnes_de(0, n, n, k);
        if (c->o.direction == DIRECTION_LIGNES) {
            Voisins v = voisins_ligne(z, m, k);
            int64_t moyenne;
            bool a = moyenne_de_ligne(c, s, l, v, cols, c->termes_32, moyenne);
            image_termes(v, n, cols.jd, cols.jf, c->c, c->termes_32, a, moyenne, reglage, octets, valeurs);
        } else {
            Voisins vl = voisins_ligne(z, brute, k), vc = voisins_colonne(z, pas, brute, (size_t)n, k);
            Ecarts e;
            if (c->o.direction == DIRECTION_LES_DEUX) {
                e.ligne = &vl, e.jd = cols.jd, e.jf = cols.jf;
                e.a_moyenne = moyenne_de_ligne(c, s, l, vl, cols, c->termes_32, e.moyenne);
            }
            if (a_termes_colonnes(l, c->nb_lig, k)) {
                size_t q = (size_t)s * n;
                e.colonne = &vc;
                e.moyennes = {&c->moyenne_col[q], &c->moyenne_col_d[q], &c->a_moyenne_col[q]};
            }
            image_ecarts(e, brute, n, c->c, c->termes_32, f.d.data(), reglage, octets, valeurs);
        }
        // How dark the half stretch leaves it: for the caller's word on it.
        if (compte && dans_fenetre(l, c->nb_lig, k) && cols.wd <= cols.wf)
            compte_nuls(octets, m, cols.wd, cols.wf, f.nuls[(size_t)s], f.fenetre[(size_t)s]);
    }
}

// Starts the threads on the round of rows [debut, debut + nombre) into tr.
static void lance_tour(Calcul* c, Tour& tr, int debut, int nombre)
{
    const Puits& p = *c->puits;
    size_t n = (size_t)c->nb_col, decalage = (size_t)debut * n;
    tr.debut = debut;
    tr.fin = debut + nombre;
    tr.pas_echelle = p.memoire ? (size_t)c->nb_lig * n : (size_t)c->lignes_bloc * c->fils * n;
    tr.octets = c->o.reelles ? nullptr : p.memoire ? (unsigned char*)p.memoire + decalage : tr.tampon_octets;
    tr.valeurs = !c->o.reelles ? nullptr : p.memoire ? (float*)p.memoire + decalage : tr.tampon_valeurs;
    bool parallele = c->source->parallele;
    if (!parallele && !lit_tour(c, tr, debut, nombre)) return;
    Tour* t_ = &tr;
    equipe_lance(c->equipe, c->fils, [=](int t) {
        int premiere, combien;
        if (!part_du_fil(c, t, debut, nombre, premiere, combien)) return;
        if (parallele && !lit_part(c, *t_, t, premiere, combien)) return;
        Fil& f = c->par_fil[(size_t)t];
        for (int r = premiere - debut; r < premiere - debut + combien; r++) {
            size_t pas;
            const int* z = elevations(c, *t_, r, pas);
            const unsigned char* brute = presence_brute(c, *t_, r);
            image_de_ligne(c, f, *t_, r, debut + r, z, pas, brute);
            if (c->halo && brute) memcpy(t_->presence_sortie + (size_t)r * n, brute, n);
            if (!p.memoire_presence) continue;
            unsigned char* q = p.memoire_presence + decalage + (size_t)r * n;
            if (brute) memcpy(q, brute, n);
            else memset(q, 1, n);
        }
    });
}

// The round of up to fils blocks that starts (or, going down, ends) at i.
static void tour_de(const Calcul* c, int i, int& debut, int& nombre)
{
    int tour = rangees_du_tour(c);
    bool descendant = c->puits->descendant;
    nombre = descendant ? std::min(tour, i + 1) : std::min(tour, c->nb_lig - i);
    debut = descendant ? i - nombre + 1 : i;
}

// Makes the round that holds row i the current one: the next one (computed
// meanwhile) becomes current and the threads start on the one after, in the
// direction of the sink. False when the computation failed or was cancelled.
static bool vers_la_ligne(Calcul* c, int i)
{
    Tour* cour = &c->tours[c->courant];
    Tour* suiv = &c->tours[1 - c->courant];
    if (i >= cour->debut && i < cour->fin) return true;
    if (c->en_echec || !avance(c, (double)c->faites / c->nb_lig)) return false;
    int debut, nombre;
    if (i < suiv->debut || i >= suiv->fin) {  // the first round, computed now
        tour_de(c, i, debut, nombre);
        lance_tour(c, *suiv, debut, nombre);
    }
    equipe_attend(c->equipe);
    if (c->en_echec) return false;
    c->courant = 1 - c->courant;
    std::swap(cour, suiv);
    suiv->debut = suiv->fin = 0;
    c->faites += cour->fin - cour->debut;
    int j = c->puits->descendant ? cour->debut - 1 : cour->fin;
    if (j >= 0 && j < c->nb_lig) {
        tour_de(c, j, debut, nombre);
        lance_tour(c, *suiv, debut, nombre);
    }
    return c->faites < c->nb_lig || avance(c, 1.0);
}

bool passe_image(Calcul* c, Bilan& bilan)
{
    const Puits& p = *c->puits;
    c->bloc = bloc_de_passe(c, p.memoire && !p.ecrit_bloc);
    c->faites = 0;
    c->courant = 0;
    for (Tour& t : c->tours) t.debut = t.fin = 0;
    for (Fil& f : c->par_fil) std::fill(f.nuls.begin(), f.nuls.end(), 0), std::fill(f.fenetre.begin(), f.fenetre.end(), 0);
    std::string erreur;
    bool ok = true;
    for (int i = p.descendant ? c->nb_lig - 1 : 0; ok && i >= 0 && i < c->nb_lig;) {
        if (!vers_la_ligne(c, i)) break;
        const Tour& cour = c->tours[c->courant];
        const void* v = c->o.reelles ? (const void*)cour.valeurs : (const void*)cour.octets;
        if (p.ecrit_bloc)
            ok = p.ecrit_bloc(p.contexte, cour.debut, cour.fin - cour.debut, v, cour.pas_echelle,
                              c->manquants ? cour.presence_sortie : nullptr, erreur);
        i = p.descendant ? cour.debut - 1 : cour.fin;
    }
    equipe_attend(c->equipe);  // a round the sink no longer takes may be under way
    if (!ok) echoue(c, CODE_PUITS, erreur);
    if (c->en_echec) return false;
    for (const Fil& f : c->par_fil)
        for (int s = 0; s < c->ne; s++) {
            bilan.echelles[(size_t)s].nuls += f.nuls[(size_t)s];
            bilan.echelles[(size_t)s].fenetre += f.fenetre[(size_t)s];
        }
    return true;
}

}  // namespace tavelkorn
