// A computation run whole: the passes its options need, in order, and the
// stretches made from what the reading found.
#include "calcul.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace tavelkorn {

const char* texte_du_code(Code code)
{
    switch (code) {
    case CODE_OK: return "no error";
    case CODE_ARGUMENT: return "an argument out of range";
    case CODE_MEMOIRE: return "memory";
    case CODE_PLAGE: return "an elevation beyond the 32-bit range";
    case CODE_SOURCE: return "the source";
    case CODE_PUITS: return "the sink";
    case CODE_ANNULE: return "cancelled";
    }
    return "unknown";
}

bool etirement_de(const std::string& s, Etirement& e, double& rang)
{
    if (s == "half" || s == "full") return e = s == "half" ? ETIRE_DEMI : ETIRE_PLEIN, true;
    char* fin = nullptr;
    double p = s.size() > 1 && s[0] == 'p' ? strtod(s.c_str() + 1, &fin) : 0.0;
    if (!fin || *fin || !(p > 0.0 && p <= 100.0)) return false;
    e = ETIRE_RANG;
    rang = p;
    return true;
}

int fils_par_defaut()
{
    const char* v = getenv("TAVELKORN_THREADS");
    if (v && atoi(v) >= 1) return std::min(atoi(v), 256);
    return (int)std::min(256u, std::max(1u, std::thread::hardware_concurrency()));
}

int norme_de(int norm) { return std::min(norm, 255); }

Etirage etirage_de(const Bilan& b, int s, int norm)
{
    Etirage e;
    e.etirement = b.etirement;
    e.dmax = b.echelles[(size_t)s].dmax;
    e.reference = b.echelles[(size_t)s].reference;
    e.norm = norme_de(norm);
    return e;
}

bool etirage_vide(const Etirage& e)
{
    return e.etirement == ETIRE_DEMI ? !(e.dmax - e.dmax * 0.5 > 0.0) : !(e.reference > 0.0);
}

double valeur_etiree(const Etirage& e, double d)
{
    if (etirage_vide(e)) return 0.0;
    Reglage r = reglage_de(e, 1.0);
    return r.lineaire ? std::min(etire<true>(d, r), r.plafond) : etire<false>(d, r);
}

// A source the computation can read: the size and the missing cells it was
// made for.
static bool comme_prevu(const Calcul* c, const Source& s)
{
    return s.nb_lig == c->nb_lig && s.nb_col == c->nb_col && s.manquants == c->manquants && s.lit_bloc;
}

// A percentile down columns or both ways ranks the deviations in a pass of
// its own: they need the column means the whole first pass gives.
static bool rang_a_part(const Calcul* c)
{
    return c->o.etirement == ETIRE_RANG && c->o.direction != DIRECTION_LIGNES;
}

bool calcul_execute(Calcul* c, const Source& source, const Source* relue, const Puits& puits, Bilan& bilan,
                    Erreur& erreur)
{
    const Source& apres = relue ? *relue : source;
    if (!c->en_echec && (!comme_prevu(c, source) || !comme_prevu(c, apres)))
        echoue(c, CODE_ARGUMENT, "a source unlike the one the computation was made for (its size, its missing cells)");
    bool ok = !c->en_echec;
    c->passes = rang_a_part(c) ? 3 : 2;
    c->passe = 1;
    c->source = &source;
    ok = ok && passe_lecture(c, bilan);
    if (ok && rang_a_part(c)) {
        c->passe = 2;
        c->source = &apres;
        ok = passe_rang(c, bilan);
    }
    int norm = c->o.norm;
    std::string texte;
    if (ok && puits.avant_image && !(ok = puits.avant_image(puits.contexte, bilan, norm, texte)))
        echoue(c, CODE_PUITS, texte);
    if (ok && (puits.memoire || puits.ecrit_bloc)) {  // else nothing takes the image: none is made
        c->reglages.clear();
        for (int s = 0; s < c->ne; s++) c->reglages.push_back(reglage_de(etirage_de(bilan, s, norm), c->o.echelle_z));
        c->passe = c->passes;
        c->source = &apres;
        c->puits = &puits;
        ok = passe_image(c, bilan);
    }
    c->source = nullptr;
    c->puits = nullptr;
    if (!ok) erreur = c->erreur;
    return ok;
}

}  // namespace tavelkorn
