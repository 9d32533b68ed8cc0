// The block primitives: partial sums, extremes, histograms and images of
// random splits of a DEM, combined, give the whole run's references and
// images at every scale, in every direction, with both kernel builds.
#include "blocs.h"
#include "modele.h"
#include "noyaux.h"

#include <cstring>
#include <gtest/gtest.h>

using namespace tavelkorn;
using namespace modele;

namespace {

// A DEM split at random cuts (1-row and 1-column blocks among them when
// fin), every block's partials, histograms and image combined as a
// scheduler would.
struct Decoupe {
    const Dem& d;
    std::vector<unsigned char> presence;
    std::vector<int32_t> z;
    std::vector<int> cl, cc;
    Decoupe(const Dem& d_, std::mt19937& g, bool fin) : d(d_), presence(d_.z.size(), 1), z(d_.z)
    {
        for (size_t k = 0; k < d.manque.size(); k++) presence[k] = !d.manque[k], z[k] = d.manque[k] ? 0 : z[k];
        auto coupes = [&](int n) {
            std::vector<int> c{0};
            while (c.back() < n) c.push_back(std::min(n, c.back() + 1 + (int)(g() % (fin ? 1 : 5))));
            return c;
        };
        cl = coupes(d.lignes), cc = coupes(d.colonnes);
    }
    Bloc bloc(size_t a, size_t b) const
    {
        Bloc bl;
        bl.ligne0 = cl[a], bl.col0 = cc[b], bl.lignes = cl[a + 1] - cl[a], bl.colonnes = cc[b + 1] - cc[b];
        bl.nb_lig = d.lignes, bl.nb_col = d.colonnes;
        size_t q = (size_t)bl.ligne0 * d.colonnes + bl.col0;
        bl.z = &z[q], bl.pas = (size_t)d.colonnes;
        if (!d.manque.empty()) bl.presence = &presence[q], bl.pas_presence = (size_t)d.colonnes;
        return bl;
    }
    // Every block, with the block's first row and column.
    template <class F>
    void pour_chaque(F f) const
    {
        for (size_t a = 0; a + 1 < cl.size(); a++)
            for (size_t b = 0; b + 1 < cc.size(); b++) f(bloc(a, b));
    }
};

}  // namespace

TEST(Blocks, CombinedOverAnySplitGiveTheWholeRunAtEveryScale)
{
    // Splits through the window's border and the halo, missing cells, int32
    // extremes, segments that take the 32-bit loops or not.
    const bool machine = noyaux_avx2();
    std::mt19937 g(23);
    for (int essai = 0; essai < 12; essai++) {
        choisit_noyaux(essai / 2 % 2 == 0);
        int lignes = 1 + (int)(g() % 40), colonnes = 1 + (int)(g() % 40);
        int64_t base = essai % 3 == 0 ? INT_MAX - 50 : essai % 3 == 1 ? (1 << 28) - 4990 : 0;
        Dem d = relief(lignes, colonnes, base, 5000, essai % 4 == 1, essai % 2 == 0, g());
        Decoupe dec(d, g, essai % 3 == 2);
        for (Direction dir : {DIRECTION_LIGNES, DIRECTION_COLONNES, DIRECTION_LES_DEUX})
            for (Etirement e : {ETIRE_DEMI, ETIRE_RANG}) {
                SCOPED_TRACE(std::to_string(lignes) + " x " + std::to_string(colonnes) + " essai " +
                             std::to_string(essai) + " dir " + std::to_string(dir) + " stretch " + std::to_string(e));
                Options o;
                o.direction = dir, o.etirement = e, o.rang = 90, o.echelles = {1, 2, 7};
                o.terme = essai % 2 ? TERME_COURBURE : TERME_CLASSIQUE;
                size_t ne = o.echelles.size(), cellules = d.z.size();
                std::vector<unsigned char> tout(cellules * ne);
                std::vector<float> tout_v(cellules * ne);
                Bilan bilan;
                Erreur erreur;
                ASSERT_TRUE(calcul_tableau(tableau_de(d), o, tout.data(), nullptr, bilan, erreur)) << erreur.texte;
                o.reelles = true;
                ASSERT_TRUE(calcul_tableau(tableau_de(d), o, tout_v.data(), nullptr, bilan, erreur));
                o.reelles = false;
                // (1) partials, combined line by line.
                std::vector<Partiel> pl(ne * lignes), pc(ne * colonnes);
                dec.pour_chaque([&](const Bloc& b) {
                    std::vector<Partiel> l(ne * b.lignes), c(ne * b.colonnes);
                    bloc_partiels(b, o, l.data(), c.data());
                    for (size_t s = 0; s < ne; s++) {
                        for (int r = 0; r < b.lignes; r++) partiel_ajoute(pl[s * lignes + b.ligne0 + r], l[s * b.lignes + r]);
                        for (int j = 0; j < b.colonnes; j++) partiel_ajoute(pc[s * colonnes + b.col0 + j], c[s * b.colonnes + j]);
                    }
                });
                std::vector<Moyenne> ml, mc;
                std::vector<double> dmax(ne, 0.0);
                for (size_t q = 0; q < pl.size(); q++) ml.push_back(moyenne_de(pl[q]));
                for (size_t q = 0; q < pc.size(); q++) mc.push_back(moyenne_de(pc[q]));
                for (size_t s = 0; s < ne; s++) {
                    for (int r = 0; dir != DIRECTION_COLONNES && r < lignes; r++)
                        dmax[s] = std::max(dmax[s], (double)ml[s * lignes + r].ecart_max);
                    for (int j = 0; dir != DIRECTION_LIGNES && j < colonnes; j++)
                        dmax[s] = std::max(dmax[s], (double)mc[s * colonnes + j].ecart_max);
                }
                // The means each block takes: its rows' and its columns'.
                auto moyennes_du = [&](const Bloc& b, std::vector<Moyenne>& l, std::vector<Moyenne>& c) {
                    l.clear(), c.clear();
                    for (size_t s = 0; s < ne; s++) {
                        for (int r = 0; r < b.lignes; r++) l.push_back(ml[s * lignes + b.ligne0 + r]);
                        for (int j = 0; j < b.colonnes; j++) c.push_back(mc[s * colonnes + b.col0 + j]);
                    }
                };
                // (2) histograms, added.
                std::vector<uint64_t> h(ne * NB_CASES, 0);
                dec.pour_chaque([&](const Bloc& b) {
                    std::vector<Moyenne> l, c;
                    moyennes_du(b, l, c);
                    bloc_histogramme(b, o, l.data(), c.data(), h.data());
                });
                std::vector<Etirage> etirages(ne);
                for (size_t s = 0; s < ne; s++) {
                    EXPECT_EQ(dmax[s], bilan.echelles[s].dmax) << s;
                    double ref = e == ETIRE_RANG ? percentile(&h[s * NB_CASES], o.rang) : dmax[s];
                    EXPECT_EQ(ref, bilan.echelles[s].reference) << s;
                    etirages[s].etirement = e, etirages[s].dmax = dmax[s], etirages[s].reference = ref;
                }
                // (3) images, each block into its place.
                std::vector<unsigned char> octets(cellules * ne, 0xAB);
                std::vector<float> v(cellules * ne);
                dec.pour_chaque([&](const Bloc& b) {
                    std::vector<Moyenne> l, c;
                    moyennes_du(b, l, c);
                    size_t q = (size_t)b.ligne0 * colonnes + b.col0;
                    bloc_image(b, o, l.data(), c.data(), etirages.data(), &octets[q], (size_t)colonnes, cellules);
                    Options f = o;
                    f.reelles = true;
                    bloc_image(b, f, l.data(), c.data(), nullptr, &v[q], (size_t)colonnes, cellules);
                });
                EXPECT_EQ(octets, tout);
                EXPECT_EQ(0, memcmp(v.data(), tout_v.data(), v.size() * sizeof(float)));
            }
    }
    choisit_noyaux(machine);
}

TEST(Blocks, HistogramRanksLandInTheBinOfTheirDeviation)
{
    // A row of known deviations (0 to 150 and large ones): for every rank,
    // the percentile read from the histogram is the exact deviation of that
    // rank below 256, and otherwise at most it and within 1/128 of it.
    std::vector<int32_t> z(402, 0);
    std::mt19937 g(5);
    for (int j = 2; j < 400; j += 2) z[(size_t)j] = j < 300 ? j / 2 : (int32_t)(g() % 2000000);
    Bloc bl;
    bl.z = z.data(), bl.pas = 402;
    bl.ligne0 = 2, bl.col0 = 0, bl.lignes = 1, bl.colonnes = 402;
    bl.nb_lig = 5, bl.nb_col = 402;
    Options o;
    o.terme = TERME_COURBURE;
    Partiel p;
    bloc_partiels(bl, o, &p, nullptr);
    Moyenne m = moyenne_de(p);
    std::vector<uint64_t> h(NB_CASES, 0);
    bloc_histogramme(bl, o, &m, nullptr, h.data());
    std::vector<float> dev(402);
    o.reelles = true;
    bloc_image(bl, o, &m, nullptr, nullptr, dev.data(), 402, 402);
    std::vector<double> w(dev.begin() + 2, dev.begin() + 400);  // the window's columns, floats exact below 2^24
    std::sort(w.begin(), w.end());
    uint64_t n = 0;
    for (uint64_t c : h) n += c;
    ASSERT_EQ(n, w.size());
    for (size_t r = 1; r <= w.size(); r++) {
        double q = percentile(h.data(), 100.0 * ((double)r - 0.5) / (double)w.size()), vrai = w[r - 1];
        if (vrai < 256) {
            EXPECT_EQ(q, vrai) << r;
        }
        EXPECT_LE(q, vrai) << r;
        EXPECT_LE(vrai - q, vrai / 128) << r;
    }
    EXPECT_EQ(m.ecart_max, (int64_t)w.back());
}

TEST(Blocks, TheHaloIsTheLargestScaleWithinTheGrid)
{
    Options o;
    o.echelles = {1, 5, 30};
    int l, c;
    for (Direction dir : {DIRECTION_LIGNES, DIRECTION_COLONNES, DIRECTION_LES_DEUX}) {
        o.direction = dir;
        halo_de(o, 100, 41, l, c);
        EXPECT_EQ(l, dir == DIRECTION_LIGNES ? 0 : 30);
        EXPECT_EQ(c, dir == DIRECTION_COLONNES ? 0 : 20);  // lag 30 has no term across 41 columns
    }
}
