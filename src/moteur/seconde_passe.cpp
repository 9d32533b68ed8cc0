// The second pass: the image, a round of blocks at a time on the threads,
// while the sink writes the round before. The sink takes the rounds in its
// own direction (bottom-up for a BMP), pulled row by row or pushed a block
// at a time.
#include "calcul.h"
#include "noyaux.h"

#include <algorithm>
#include <cstring>

namespace tavelkorn {

// Starts the threads on the round of rows [debut, debut + nombre) into tr.
static void lance_tour(Calcul* c, Tour& tr, int debut, int nombre)
{
    const Puits& p = *c->puits;
    int nb_col = c->nb_col;
    tr.debut = debut;
    tr.fin = debut + nombre;
    size_t decalage = (size_t)debut * nb_col;
    tr.octets = p.memoire && !c->o.reelles ? (unsigned char*)p.memoire + decalage : tr.tampon_octets;
    tr.valeurs = !c->o.reelles ? nullptr : p.memoire ? (float*)p.memoire + decalage : tr.tampon_valeurs;
    bool parallele = c->source->parallele;
    if (!parallele && !lit_tour(c, tr, debut, nombre)) return;
    Tour* t_ = &tr;
    equipe_lance(c->equipe, c->fils, [=](int t) {
        int premiere, combien;
        if (!part_du_fil(c, t, debut, nombre, premiere, combien)) return;
        if (parallele && !lit_part(c, *t_, t, debut, premiere, combien)) return;
        double* d = c->brouillon ? c->brouillon + (size_t)t * nb_col : nullptr;
        uint64_t nuls = 0, fenetre = 0;
        bool compte = c->e.etirement == ETIRE_DEMI;  // only the half stretch leaves most of an image black
        for (int r = premiere - debut; r < premiere - debut + combien; r++) {
            size_t k = (size_t)r * nb_col;
            const unsigned char* m = presence_de(c, *t_, r);
            const unsigned char* brute = c->source->manquants ? t_->presence + k : nullptr;  // in row order
            if (!c->halo) {
                passe_b_ligne(elevations(c, *t_, r), m, nb_col, c->e, t_->octets + k,
                              t_->valeurs ? t_->valeurs + k : nullptr, d);
            } else {
                Rangees g = rangees_de(c, *t_, debut, r);
                passe_direction(g, nb_col, c->e, c->o.direction, c->moyenne_col.data(), c->moyenne_col_d.data(), c->a_moyenne_col.data(), d,
                                t_->octets + k, t_->valeurs ? t_->valeurs + k : nullptr);
                if ((brute = g.m)) memcpy(t_->presence_sortie + k, g.m, (size_t)nb_col);
            }
            if (compte && debut + r >= 2 && debut + r <= c->nb_lig - 3 && nb_col >= 5) {  // how dark: for the caller's word on it
                const unsigned char* o = t_->octets + k;
                if (!m) {
                    fenetre += (uint64_t)(nb_col - 4);
                    nuls += (uint64_t)std::count(o + 2, o + nb_col - 2, (unsigned char)0);
                } else {
                    for (int j = 2; j <= nb_col - 3; j++) fenetre += m[j], nuls += m[j] & (o[j] == 0);
                }
            }
            if (!p.memoire_presence) continue;
            unsigned char* q = p.memoire_presence + decalage + k;
            if (brute) memcpy(q, brute, (size_t)nb_col);
            else memset(q, 1, (size_t)nb_col);
        }
        c->nuls += nuls;
        c->fenetre += fenetre;
    });
}

// The round of up to fils blocks that starts (or, going down, ends) at i.
static void tour_de(const Calcul* c, int i, int& debut, int& nombre)
{
    int tour = c->bloc * c->fils;
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

static const unsigned char* ligne_image(int i, void* calcul)
{
    Calcul* c = (Calcul*)calcul;
    if (i < 0 || i >= c->nb_lig || !vers_la_ligne(c, i)) return nullptr;
    const Tour& cour = c->tours[c->courant];
    return cour.octets + (size_t)(i - cour.debut) * c->nb_col;
}

bool calcul_seconde_passe(Calcul* c, const Source& s, const Etirage& e, const Puits& p)
{
    if (!commence_passe(c, s, PASSE_IMAGE)) return false;
    c->e = e;
    c->puits = &p;
    c->bloc = bloc_de_passe(c, p.memoire && !c->o.reelles && !p.ecrit_bloc && !p.tire);
    c->faites = 0;
    c->courant = 0;
    c->nuls = c->fenetre = 0;
    for (Tour& t : c->tours) t.debut = t.fin = 0;
    std::string erreur;
    bool ok = true;
    if (p.tire) {
        ok = p.tire(p.contexte, ligne_image, c, erreur);
    } else {
        for (int i = p.descendant ? c->nb_lig - 1 : 0; ok && i >= 0 && i < c->nb_lig;) {
            if (!vers_la_ligne(c, i)) break;
            const Tour& cour = c->tours[c->courant];
            const void* v = c->o.reelles ? (const void*)cour.valeurs : (const void*)cour.octets;
            if (p.ecrit_bloc)
                ok = p.ecrit_bloc(p.contexte, cour.debut, cour.fin - cour.debut, v,
                                  s.manquants ? cour.presence_sortie : nullptr, erreur);
            i = p.descendant ? cour.debut - 1 : cour.fin;
        }
    }
    equipe_attend(c->equipe);  // a round the sink no longer takes may be under way
    if (c->en_echec) return false;
    if (!ok) echoue(c, erreur);
    return ok;
}

}  // namespace tavelkorn

namespace tavelkorn {

void calcul_octets_nuls(const Calcul* c, uint64_t& nuls, uint64_t& cellules)
{
    nuls = c->nuls;
    cellules = c->fenetre;
}

}  // namespace tavelkorn
