// The block primitives: a DEM split into any rectangles gives, block by
// block, partial sums and window extremes of its lines, then histograms,
// then images; sums, maxima and counts combine exactly, so any split gives
// the images of a whole run. Made of the same loops as the whole-grid
// passes.
#include "blocs.h"

#include "noyaux.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace tavelkorn {

void halo_de(const Options& o, int nb_lig, int nb_col, int& lignes, int& colonnes)
{
    int k = 0;
    for (int e : o.echelles) k = std::max(k, echelle_utile(e, nb_lig, nb_col));
    lignes = o.direction == DIRECTION_LIGNES ? 0 : std::min(k, (nb_lig - 1) / 2);
    colonnes = o.direction == DIRECTION_COLONNES ? 0 : std::min(k, (nb_col - 1) / 2);
}

void partiel_ajoute(Partiel& a, const Partiel& b)
{
    a.haut += b.haut;
    a.bas += b.bas;
    a.compte += b.compte;
    a.tmin = std::min(a.tmin, b.tmin);
    a.tmax = std::max(a.tmax, b.tmax);
}

// A sum of one block as a partial: haut the floor of sum / 2^32, bas in
// [0, 2^32); sums of such pairs over 2^31 blocks stay exact in int64.
static void ajoute_somme(Partiel& p, __int128 somme, int64_t compte)
{
    p.haut += (int64_t)(somme >> 32);
    p.bas += (int64_t)(somme & 0xFFFFFFFF);
    p.compte += compte;
}

Moyenne moyenne_de(const Partiel& p)
{
    Moyenne m;
    if (p.compte <= 0) return m;
    __int128 somme = (__int128)p.haut * ((__int128)1 << 32) + p.bas;
    m.valeur = moyenne_de(somme, p.compte);
    m.existe = 1;
    m.ecart_max = p.tmin <= p.tmax ? std::max(p.tmax - m.valeur, m.valeur - p.tmin) : 0;
    return m;
}

double percentile(const uint64_t* h, double rang)
{
    uint64_t n = 0;
    for (int b = 0; b < NB_CASES; b++) n += h[b];
    if (n == 0) return 0.0;
    uint64_t voulu = (uint64_t)std::ceil(rang / 100.0 * (double)n);
    voulu = std::min(std::max(voulu, (uint64_t)1), n);
    uint64_t vus = 0;
    for (int b = 0; b < NB_CASES; b++)
        if ((vus += h[b]) >= voulu) return (double)bas_de_case(b);
    return 0.0;
}

namespace {

// A block's row r: its cells and presence, and where it lies.
struct Rangee {
    const int* z;
    const unsigned char* m;
    int i;
};
Rangee rangee(const Bloc& b, int r)
{
    return {b.z + (size_t)r * b.pas, b.presence ? b.presence + (size_t)r * b.pas_presence : nullptr, b.ligne0 + r};
}

// The column means of a scale as the loops take them.
struct MoyennesDuBloc {
    std::vector<int64_t> valeur;
    std::vector<double> valeur_d;
    std::vector<unsigned char> existe;
    MoyennesColonnes de(const Moyenne* m, int n)
    {
        valeur.resize((size_t)n), valeur_d.resize((size_t)n), existe.resize((size_t)n);
        for (int j = 0; j < n; j++)
            valeur[(size_t)j] = m[j].valeur, valeur_d[(size_t)j] = (double)m[j].valeur, existe[(size_t)j] = m[j].existe != 0;
        return {valeur.data(), valeur_d.data(), existe.data()};
    }
};

// What a block row's deviations in the options' direction at lag k are
// taken from (its neighbours held in it).
struct EcartsDuBloc {
    Voisins vl, vc;
    Ecarts e;
};
void ecarts_de(const Bloc& b, const Rangee& g, int k, Direction dir, const Colonnes& cols, const Moyenne* ligne,
               const MoyennesColonnes* mc, EcartsDuBloc& x)
{
    x.vl = voisins_ligne(g.z, g.m, k), x.vc = voisins_colonne(g.z, b.pas, g.m, b.pas_presence, k);
    x.e = Ecarts();
    if (dir != DIRECTION_COLONNES) {
        x.e.ligne = &x.vl, x.e.jd = cols.jd, x.e.jf = cols.jf;
        x.e.a_moyenne = ligne->existe != 0;
        x.e.moyenne = ligne->valeur;
    }
    if (dir != DIRECTION_LIGNES && a_termes_colonnes(g.i, b.nb_lig, k)) x.e.colonne = &x.vc, x.e.moyennes = *mc;
}

}  // namespace

void bloc_partiels(const Bloc& b, const Options& o, Partiel* lignes, Partiel* colonnes)
{
    int c = decalage_de(o.terme), n = b.colonnes;
    std::vector<int64_t> piece(o.direction != DIRECTION_LIGNES ? (size_t)n : 0), compte(piece.size());
    std::vector<int64_t> tmin(piece.size()), tmax(piece.size());
    std::vector<__int128> somme(piece.size());
    for (size_t s = 0; s < o.echelles.size(); s++) {
        int k = echelle_utile(o.echelles[s], b.nb_lig, b.nb_col);
        Colonnes cols = colonnes_de(b.col0, n, b.nb_col, k);
        std::fill(piece.begin(), piece.end(), 0), std::fill(compte.begin(), compte.end(), 0);
        std::fill(somme.begin(), somme.end(), 0);
        std::fill(tmin.begin(), tmin.end(), INT64_MAX), std::fill(tmax.begin(), tmax.end(), INT64_MIN);
        for (int r = 0; r < b.lignes; r++) {
            Rangee g = rangee(b, r);
            bool fenetre = dans_fenetre(g.i, b.nb_lig, k) && cols.wd <= cols.wf;
            if (o.direction != DIRECTION_COLONNES && lignes) {
                Partiel& p = lignes[s * (size_t)b.lignes + (size_t)r];
                Voisins v = voisins_ligne(g.z, g.m, k);
                bool p32 = cols.jd > cols.jf || courts(g.z, cols.jd - k, cols.jf + k);
                __int128 t = 0;
                int64_t nombre = 0, tmin, tmax;
                somme_termes(v, cols.jd, cols.jf, c, p32, t, nombre);
                ajoute_somme(p, t, nombre);
                if (fenetre && extremes_termes(v, cols.wd, cols.wf, c, p32, tmin, tmax))
                    p.tmin = std::min(p.tmin, tmin), p.tmax = std::max(p.tmax, tmax);
            }
            if (o.direction == DIRECTION_LIGNES || !colonnes || !a_termes_colonnes(g.i, b.nb_lig, k)) continue;
            Voisins v = voisins_colonne(g.z, b.pas, g.m, b.pas_presence, k);
            cumule_colonnes(v, n, c, piece.data(), compte.data(), fenetre ? cols.wd : n, cols.wf, tmin.data(),
                            tmax.data());
            if (r % TERMES_PAR_PIECE == TERMES_PAR_PIECE - 1)
                for (size_t j = 0; j < piece.size(); j++) replie(somme[j], piece[j]);
        }
        if (o.direction == DIRECTION_LIGNES || !colonnes) continue;
        for (int j = 0; j < n; j++) {
            Partiel& p = colonnes[s * (size_t)n + (size_t)j];
            replie(somme[(size_t)j], piece[(size_t)j]);
            ajoute_somme(p, somme[(size_t)j], compte[(size_t)j]);
            p.tmin = std::min(p.tmin, tmin[(size_t)j]), p.tmax = std::max(p.tmax, tmax[(size_t)j]);
        }
    }
}

void bloc_histogramme(const Bloc& b, const Options& o, const Moyenne* lignes, const Moyenne* colonnes,
                      uint64_t* histos)
{
    int c = decalage_de(o.terme), n = b.colonnes;
    std::vector<double> d((size_t)n);
    std::vector<int32_t> cases((size_t)n);
    MoyennesDuBloc mdb;
    for (size_t s = 0; s < o.echelles.size(); s++) {
        int k = echelle_utile(o.echelles[s], b.nb_lig, b.nb_col);
        Colonnes cols = colonnes_de(b.col0, n, b.nb_col, k);
        MoyennesColonnes mc;
        if (o.direction != DIRECTION_LIGNES) mc = mdb.de(colonnes + s * (size_t)n, n);
        uint64_t* h = histos + s * NB_CASES;
        for (int r = 0; r < b.lignes; r++) {
            Rangee g = rangee(b, r);
            if (!dans_fenetre(g.i, b.nb_lig, k) || cols.wd > cols.wf) continue;
            const Moyenne* ligne = lignes ? &lignes[s * (size_t)b.lignes + (size_t)r] : nullptr;
            if (o.direction == DIRECTION_LIGNES) {
                if (ligne->existe)
                    histo_termes(voisins_ligne(g.z, g.m, k), cols.wd, cols.wf, c,
                                 courts(g.z, cols.wd - k, cols.wf + k), ligne->valeur, h, 1, cases.data());
                continue;
            }
            EcartsDuBloc x;
            ecarts_de(b, g, k, o.direction, cols, ligne, &mc, x);
            deviations(x.e, g.m, n, c, false, d.data());
            histo_deviations(d.data(), cols.wd, cols.wf, h);
        }
    }
}

void bloc_image(const Bloc& b, const Options& o, const Moyenne* lignes, const Moyenne* colonnes,
                const Etirage* etirages, void* valeurs, size_t pas, size_t pas_echelle)
{
    int c = decalage_de(o.terme), n = b.colonnes;
    std::vector<double> d((size_t)n);
    MoyennesDuBloc mdb;
    for (size_t s = 0; s < o.echelles.size(); s++) {
        int k = echelle_utile(o.echelles[s], b.nb_lig, b.nb_col);
        Colonnes cols = colonnes_de(b.col0, n, b.nb_col, k);
        Reglage reglage = o.reelles ? reglage_de(Etirage(), o.echelle_z) : reglage_de(etirages[s], o.echelle_z);
        MoyennesColonnes mc;
        if (o.direction != DIRECTION_LIGNES) mc = mdb.de(colonnes + s * (size_t)n, n);
        for (int r = 0; r < b.lignes; r++) {
            Rangee g = rangee(b, r);
            size_t q = s * pas_echelle + (size_t)r * pas;
            unsigned char* octets = o.reelles ? nullptr : (unsigned char*)valeurs + q;
            float* reelles = o.reelles ? (float*)valeurs + q : nullptr;
            const Moyenne* ligne = lignes ? &lignes[s * (size_t)b.lignes + (size_t)r] : nullptr;
            if (o.direction == DIRECTION_LIGNES) {
                bool p32 = cols.jd > cols.jf || courts(g.z, cols.jd - k, cols.jf + k);
                image_termes(voisins_ligne(g.z, g.m, k), n, cols.jd, cols.jf, c, p32, ligne->existe != 0,
                             ligne->valeur, reglage, octets, reelles);
                continue;
            }
            EcartsDuBloc x;
            ecarts_de(b, g, k, o.direction, cols, ligne, &mc, x);
            image_ecarts(x.e, g.m, n, c, false, d.data(), reglage, octets, reelles);
        }
    }
}

}  // namespace tavelkorn
