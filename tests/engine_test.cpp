// The engine called as a library: its kernels (both builds, 32- and 64-bit
// loops) against a plain model of the formulas, its histogram, runs twice
// and at once, cancels and failing sources, and the block primitives
// combined over random splits.
#include "moteur.h"
#include "noyaux.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <thread>

using namespace tavelkorn;

namespace {

struct Dem {
    int lignes, colonnes;
    std::vector<int32_t> z;
    std::vector<unsigned char> manque;  // 1: missing (empty: none)
};

// Elevations spread around base by +-ampleur, the extremes of int32
// sprinkled in when extremes, and a cell in seven missing when trous.
Dem relief(int lignes, int colonnes, int64_t base, int64_t ampleur, bool extremes, bool trous, unsigned graine)
{
    std::mt19937 g(graine);
    Dem d{lignes, colonnes, std::vector<int32_t>((size_t)lignes * colonnes), {}};
    for (size_t k = 0; k < d.z.size(); k++) {
        int64_t v = base + (int64_t)(g() % (2 * ampleur + 1)) - ampleur;
        if (extremes && g() % 5 == 0) v = g() % 2 ? INT_MAX : INT_MIN;
        d.z[k] = (int32_t)std::max<int64_t>(INT_MIN, std::min<int64_t>(INT_MAX, v));
    }
    if (trous) {
        d.manque.resize(d.z.size());
        for (unsigned char& m : d.manque) m = g() % 7 == 0;
    }
    return d;
}

Tableau tableau_de(const Dem& d)
{
    Tableau t;
    t.donnees = d.z.data();
    t.nb_lig = d.lignes;
    t.nb_col = d.colonnes;
    t.pas_ligne = (ptrdiff_t)(d.colonnes * sizeof(int32_t));
    t.pas_colonne = sizeof(int32_t);
    if (!d.manque.empty()) t.manquants = d.manque.data(), t.pas_manquants = d.colonnes;
    return t;
}

// The formulas, computed the plain way: the deviation of every cell (NaN
// missing) and dmax.
std::vector<double> modele(const Dem& d, int k, double& dmax)
{
    std::vector<double> dev(d.z.size(), 0.0);
    auto present = [&](int i, int j) { return d.manque.empty() || !d.manque[(size_t)i * d.colonnes + j]; };
    auto z = [&](int i, int j) { return (__int128)d.z[(size_t)i * d.colonnes + j]; };
    dmax = 0;
    for (int i = 0; i < d.lignes; i++) {
        __int128 somme = 0;
        int64_t n = 0;
        std::vector<__int128> t((size_t)d.colonnes);
        std::vector<bool> a((size_t)d.colonnes, false);
        for (int j = 1; j + 1 < d.colonnes; j++)
            if (present(i, j - 1) && present(i, j) && present(i, j + 1)) {
                t[(size_t)j] = z(i, j) * (1 << k) - z(i, j - 1) - z(i, j + 1);
                a[(size_t)j] = true;
                somme += t[(size_t)j];
                n++;
            }
        __int128 moyenne = n ? somme / n : 0;
        for (int j = 0; j < d.colonnes; j++) {
            double& v = dev[(size_t)i * d.colonnes + j];
            if (!present(i, j)) v = NAN;
            else if (a[(size_t)j]) v = (double)(t[(size_t)j] > moyenne ? t[(size_t)j] - moyenne : moyenne - t[(size_t)j]);
            if (a[(size_t)j] && i >= 2 && i < d.lignes - 2 && j >= 2 && j < d.colonnes - 2) dmax = std::max(dmax, v);
        }
    }
    return dev;
}

// The bytes the model gives for a stretch with reference ref.
std::vector<unsigned char> octets_du_modele(const std::vector<double>& dev, Etirement e, double dmax, double ref,
                                            int norm)
{
    std::vector<unsigned char> o(dev.size(), 0);
    double dmin = dmax * 0.5, dif = dmax - dmin;
    bool vide = e == ETIRE_DEMI ? !(dif > 0) : !(ref > 0);
    for (size_t k = 0; k < dev.size() && !vide; k++) {
        if (std::isnan(dev[k])) continue;
        if (e == ETIRE_DEMI) {
            double v = ((dev[k] - dmin) / dif) * norm;
            o[k] = (unsigned char)(int64_t)(v > 0 ? v : 0);  // the low 8 bits
        } else {
            double v = (dev[k] / ref) * norm;
            v = v > 0 ? v : 0;
            o[k] = (unsigned char)(int64_t)std::min(v, (double)std::max(norm, 0));
        }
    }
    return o;
}

// The exact nearest-rank percentile of the window's deviations.
double percentile_exact(const Dem& d, const std::vector<double>& dev, int k, double rang)
{
    (void)k;
    std::vector<double> w;
    for (int i = 2; i < d.lignes - 2; i++)
        for (int j = 2; j < d.colonnes - 2; j++) {
            double v = dev[(size_t)i * d.colonnes + j];
            bool terme = !std::isnan(v) && (d.manque.empty() || (!d.manque[(size_t)i * d.colonnes + j - 1] &&
                                                                  !d.manque[(size_t)i * d.colonnes + j + 1]));
            if (terme) w.push_back(v);
        }
    if (w.empty()) return 0;
    std::sort(w.begin(), w.end());
    size_t r = (size_t)std::ceil(rang / 100.0 * (double)w.size());
    return w[std::min(std::max<size_t>(r, 1), w.size()) - 1];
}

struct Sortie {
    bool ok;
    std::vector<unsigned char> octets;
    std::vector<float> valeurs;
    Bilan bilan;
    std::string erreur;
};

Sortie calcule(const Tableau& t, Options o, int norm = 255)
{
    Sortie s;
    bool reelles = o.reelles;
    o.reelles = false;
    s.octets.assign((size_t)t.nb_lig * t.nb_col, 0xAB);
    s.ok = calcul_tableau(t, o, norm, s.octets.data(), nullptr, s.bilan, s.erreur);
    if (s.ok && reelles) {
        s.valeurs.assign(s.octets.size(), -1.0f);
        o.reelles = true;
        s.ok = calcul_tableau(t, o, norm, s.valeurs.data(), nullptr, s.bilan, s.erreur);
    }
    return s;
}

struct Cas {
    const char* nom;
    int lignes, colonnes;
    int64_t base, ampleur;
    bool extremes, trous;
};
const Cas CAS[] = {
    {"small", 9, 7, 100, 50, false, false},
    {"odd widths, holes", 37, 33, -500, 3000, false, true},
    {"just inside 2^28", 12, 101, (1 << 28) - 200, 150, false, false},
    {"straddling 2^28", 12, 103, (1 << 28), 40, false, true},
    {"straddling -2^28", 11, 97, -(1 << 28), 40, false, false},
    {"int32 extremes", 10, 65, 0, 1000000, true, false},
    {"extremes and holes", 13, 41, INT_MAX - 100, 90, true, true},
    {"narrow", 6, 3, 10, 5, false, false},
    {"one row", 1, 40, 0, 99, false, false},
};

}  // namespace

TEST(Engine, BothKernelBuildsGiveTheModelsBytesAndDeviations)
{
    const bool machine = noyaux_avx2();
    for (const Cas& c : CAS)
        for (int terme = 0; terme < 2; terme++)
            for (Etirement e : {ETIRE_DEMI, ETIRE_PLEIN, ETIRE_RANG})
                for (bool avx2 : {false, true}) {
                    SCOPED_TRACE(std::string(c.nom) + " term " + std::to_string(terme) + " stretch " +
                                 std::to_string(e) + (avx2 ? " avx2" : " default"));
                    choisit_noyaux(avx2);
                    Dem d = relief(c.lignes, c.colonnes, c.base, c.ampleur, c.extremes, c.trous, 7u + c.lignes);
                    Options o;
                    o.terme = terme ? TERME_COURBURE : TERME_CLASSIQUE;
                    o.etirement = e;
                    o.rang = 90;
                    o.fils = 3;
                    o.reelles = true;
                    Sortie s = calcule(tableau_de(d), o);
                    ASSERT_TRUE(s.ok) << s.erreur;
                    double dmax;
                    std::vector<double> dev = modele(d, terme ? 1 : 2, dmax);
                    EXPECT_EQ(s.bilan.dmax, dmax);
                    double ref = dmax;
                    if (e == ETIRE_RANG) {  // the histogram's bin: at most the true value, within 1/128 of it
                        double vrai = percentile_exact(d, dev, terme ? 1 : 2, 90);
                        EXPECT_LE(s.bilan.reference, vrai);
                        EXPECT_LE(vrai - s.bilan.reference, vrai / 128);
                        ref = s.bilan.reference;
                    }
                    EXPECT_EQ(s.octets, octets_du_modele(dev, e, dmax, ref, 255));
                    for (size_t k = 0; k < dev.size(); k++)
                        ASSERT_TRUE(std::isnan(dev[k]) ? std::isnan(s.valeurs[k]) : s.valeurs[k] == (float)dev[k]) << k;
                }
    choisit_noyaux(machine);
}

TEST(Engine, The32BitLoopsEqualThe64BitOnes)
{
    // Rows within +-2^28 take the 32-bit loops when the first pass says so:
    // forcing the 64-bit ones on the same rows must give the same bytes.
    Dem d = relief(5, 1001, (1 << 28) - 600, 500, false, false, 3);
    Tableau t = tableau_de(d);
    Options o;
    Sortie s = calcule(t, o);
    ASSERT_TRUE(s.bilan.termes_32);
    for (Etirement e : {ETIRE_DEMI, ETIRE_PLEIN}) {
        o.etirement = e;
        Bilan b = s.bilan;
        std::vector<unsigned char> a((size_t)d.colonnes), v((size_t)d.colonnes);
        std::vector<double> brouillon((size_t)d.colonnes);
        for (bool p : {true, false}) {
            b.termes_32 = p;
            passe_b_ligne(&d.z[(size_t)2 * d.colonnes], nullptr, d.colonnes, etirage(o, b, 255), p ? a.data() : v.data(),
                          nullptr, brouillon.data());
        }
        EXPECT_EQ(a, v) << e;
        EXPECT_NE(std::count(a.begin(), a.end(), 0), (long)a.size());  // a row that stretches to something
    }
}

TEST(Engine, HistogramRanksLandInTheBinOfTheirDeviation)
{
    // A row of known deviations (0 to 150 and large ones): for every rank,
    // the percentile read from the histogram is the exact deviation of that
    // rank below 256, and otherwise at most it and within 1/128 of it.
    std::vector<int32_t> z(402, 0);
    std::mt19937 g(5);
    for (int j = 2; j < 400; j += 2) z[(size_t)j] = j < 300 ? j / 2 : (int32_t)(g() % 2000000);
    Bloc bl;
    bl.z = z.data();
    bl.pas = 402;
    bl.ligne0 = 2, bl.col0 = 0, bl.lignes = 1, bl.colonnes = 402;
    bl.nb_lig = 5, bl.nb_col = 402;
    int64_t haut = 0, bas = 0, compte = 0, moyenne;
    unsigned char a;
    bloc_sommes(bl, TERME_COURBURE, &haut, &bas, &compte);
    moyennes(1, &haut, &bas, &compte, &moyenne, &a);
    std::vector<uint64_t> h(NB_CASES, 0);
    double dmax = 0;
    std::vector<float> dev(402);
    bloc_deviations(bl, TERME_COURBURE, &moyenne, &a, dmax, h.data(), dev.data(), 402, 1.0);
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
    EXPECT_EQ(dmax, w.back());
}

TEST(Engine, RunsTwiceAndTwoAtOnceGiveTheSameBytes)
{
    Dem d1 = relief(700, 333, 0, 5000, false, true, 1), d2 = relief(401, 517, 1000, 100, false, false, 2);
    Tableau t1 = tableau_de(d1), t2 = tableau_de(d2);
    Options o;
    o.fils = 3;
    o.etirement = ETIRE_RANG;
    o.rang = 99;
    Sortie a1 = calcule(t1, o), a2 = calcule(t2, o), b1 = calcule(t1, o);
    EXPECT_EQ(a1.octets, b1.octets);
    Sortie c1, c2;
    std::thread x([&] { c1 = calcule(t1, o); }), y([&] { c2 = calcule(t2, o); });
    x.join();
    y.join();
    EXPECT_EQ(c1.octets, a1.octets);
    EXPECT_EQ(c2.octets, a2.octets);
    o.fils = 1;
    EXPECT_EQ(calcule(t1, o).octets, a1.octets);
}

namespace {
// A source that fails at its call number echec (counting both passes), or
// cancels through progress at call number echec.
struct Piege {
    const Tableau* t;
    int echec;
    std::atomic<int> appels{0};
};
bool lit_piege(void* c, int premiere, int nombre, int* z, unsigned char* m, std::string& erreur)
{
    Piege& p = *(Piege*)c;
    if (++p.appels == p.echec) return erreur = "x.tif: cannot be read: injected", false;
    return tableau_lit(*p.t, premiere, nombre, z, m, erreur);
}
bool progres_piege(double, int, void* c)
{
    Piege& p = *(Piege*)c;
    return ++p.appels != p.echec;
}
}  // namespace

TEST(Engine, AFailingSourceOrACancelStopsTheRunWhereverItComes)
{
    // At every call of either pass, with threads and with a source one
    // thread reads ahead of the others: the run fails with the source's
    // words (or "cancelled"), the threads are joined before it returns, and
    // a pass that failed wrote nothing more into the image.
    Dem d = relief(1000, 1200, 0, 900, false, true, 9);  // 218 rows a block: five blocks, two rounds a pass
    Tableau t = tableau_de(d);
    for (Direction dir : {DIRECTION_LIGNES, DIRECTION_COLONNES})
    for (bool parallele : {true, false})
        for (bool annule : {false, true})
            for (int echec = 1;; echec++) {
                SCOPED_TRACE(std::to_string(dir) + " " + std::to_string(parallele) + " " + std::to_string(annule) +
                             " at " + std::to_string(echec));
                Piege p{&t, echec};
                Options o;
                o.fils = 3;
                o.manquants = true;
                o.direction = dir;
                if (annule) o.progres = progres_piege, o.contexte_progres = &p;
                Source s = source_tableau(&t);
                s.parallele = parallele;
                if (!annule) s.contexte = &p, s.lit_bloc = lit_piege;
                std::string erreur;
                Calcul* c = calcul_cree(t.nb_lig, t.nb_col, o, "x.tif", erreur);
                ASSERT_TRUE(c);
                std::vector<unsigned char> image((size_t)t.nb_lig * t.nb_col, 0xAB);
                Bilan b;
                Puits puits;
                puits.memoire = image.data();
                bool ok = calcul_premiere_passe(c, s, b) && calcul_seconde_passe(c, s, etirage(o, b, 255), puits);
                bool fini = p.appels < echec;
                if (!fini) {
                    EXPECT_FALSE(ok);
                    EXPECT_EQ(calcul_erreur(c), annule ? "cancelled" : "x.tif: cannot be read: injected");
                    EXPECT_EQ(calcul_annule(c), annule);
                }
                std::vector<unsigned char> vue = image;
                calcul_libere(c);
                EXPECT_EQ(image, vue);  // no thread wrote after the failure came back
                if (fini) {
                    EXPECT_TRUE(ok);
                    break;
                }
            }
}

TEST(Engine, ArraysOfEveryTypeReadAsTheirInt32Elevations)
{
    // The same elevations as int16, uint16, float32 and float64, swapped,
    // every other column of a wider array, with a nodata cell and a NaN:
    // the bytes of the int32 array with those cells missing.
    Dem d = relief(9, 11, 300, 200, false, false, 4);
    Dem trous = d;
    trous.manque.assign(d.z.size(), 0);
    trous.manque[13] = trous.manque[40] = 1;
    Options o;
    Sortie voulu = calcule(tableau_de(trous), o);
    auto essai = [&](auto exemple, bool echange) {
        using T = decltype(exemple);
        std::vector<T> v(d.z.size() * 2);
        for (size_t k = 0; k < d.z.size(); k++) {
            T x = (T)d.z[k];
            if (k == 13) x = (T)-9999;
            if (k == 40) x = std::is_floating_point<T>::value ? (T)NAN : (T)-9999;
            if (echange) {
                unsigned char o_[sizeof(T)];
                memcpy(o_, &x, sizeof x);
                std::reverse(o_, o_ + sizeof(T));
                memcpy(&x, o_, sizeof x);
            }
            v[2 * k] = x;
        }
        Tableau t;
        t.donnees = v.data();
        t.type = std::is_same<T, int16_t>::value    ? ELEV_INT16
                 : std::is_same<T, uint16_t>::value ? ELEV_UINT16
                 : std::is_same<T, float>::value    ? ELEV_FLOAT32
                                                    : ELEV_FLOAT64;
        t.nb_lig = d.lignes, t.nb_col = d.colonnes;
        t.pas_ligne = (ptrdiff_t)(2 * d.colonnes * sizeof(T)), t.pas_colonne = 2 * sizeof(T);
        t.echange_octets = echange;
        t.avec_nodata = true, t.nodata = std::is_same<T, uint16_t>::value ? 55537 : -9999;
        if (std::is_same<T, uint16_t>::value) return;  // -9999 does not fit: covered by the int16 case
        EXPECT_EQ(calcule(t, o).octets, voulu.octets) << sizeof(T) << echange;
    };
    for (bool e : {false, true}) essai((int16_t)0, e), essai((uint16_t)0, e), essai(0.0f, e), essai(0.0, e);
}

namespace {
// The DEM read down its columns: the transposed view of the same memory.
Tableau transpose(const Dem& d, std::vector<unsigned char>& manque_t)
{
    Tableau t = tableau_de(d);
    std::swap(t.nb_lig, t.nb_col);
    t.pas_ligne = sizeof(int32_t), t.pas_colonne = (ptrdiff_t)(d.colonnes * sizeof(int32_t));
    if (!d.manque.empty()) {
        manque_t.resize(d.manque.size());
        for (int i = 0; i < d.lignes; i++)
            for (int j = 0; j < d.colonnes; j++) manque_t[(size_t)j * d.lignes + i] = d.manque[(size_t)i * d.colonnes + j];
        t.manquants = manque_t.data(), t.pas_manquants = d.lignes;
    }
    return t;
}

template <typename T>
std::vector<T> transposee(const std::vector<T>& v, int lignes, int colonnes)
{
    std::vector<T> r(v.size());
    for (int i = 0; i < lignes; i++)
        for (int j = 0; j < colonnes; j++) r[(size_t)j * lignes + i] = v[(size_t)i * colonnes + j];
    return r;
}
}  // namespace

TEST(Engine, ColumnsAreTheRowsOfTheTransposeAndBothTheLargerOfTheTwo)
{
    const std::pair<int, int> formes[] = {{9, 7}, {37, 33}, {6, 3}, {1, 40}, {40, 1}, {300, 5}, {5, 300}, {11, 13}};
    for (auto [lignes, colonnes] : formes)
        for (bool trous : {false, true})
            for (Etirement e : {ETIRE_DEMI, ETIRE_PLEIN, ETIRE_RANG}) {
                SCOPED_TRACE(std::to_string(lignes) + " x " + std::to_string(colonnes) + (trous ? " holes" : "") +
                             " stretch " + std::to_string(e));
                Dem d = relief(lignes, colonnes, 100, 3000, lignes == 11, trous, 17u + lignes);  // 11: int32 extremes
                std::vector<unsigned char> mt;
                Tableau t = tableau_de(d), tt = transpose(d, mt);
                Options o;
                o.etirement = e;
                o.rang = 97;
                o.fils = 3;
                o.reelles = true;
                o.direction = DIRECTION_COLONNES;
                Sortie col = calcule(t, o);
                o.direction = DIRECTION_LIGNES;
                Sortie lig = calcule(tt, o);
                ASSERT_TRUE(col.ok && lig.ok) << col.erreur << lig.erreur;
                EXPECT_EQ(col.bilan.dmax, lig.bilan.dmax);
                EXPECT_EQ(col.bilan.reference, lig.bilan.reference);
                EXPECT_EQ(col.octets, transposee(lig.octets, colonnes, lignes));
                EXPECT_EQ(0, memcmp(col.valeurs.data(), transposee(lig.valeurs, colonnes, lignes).data(),
                                    col.valeurs.size() * sizeof(float)));
                // Both: at each cell the larger deviation, and the bytes of that.
                Sortie rows = calcule(t, o);
                o.direction = DIRECTION_LES_DEUX;
                Sortie deux = calcule(t, o);
                ASSERT_TRUE(deux.ok && rows.ok);
                std::vector<double> dev(col.valeurs.size());
                for (size_t k = 0; k < dev.size(); k++) {
                    float a = rows.valeurs[k], b = col.valeurs[k];
                    ASSERT_TRUE(std::isnan(a) ? std::isnan(deux.valeurs[k]) : deux.valeurs[k] == std::max(a, b)) << k;
                    dev[k] = deux.valeurs[k];
                }
                EXPECT_EQ(deux.bilan.dmax, std::max(rows.bilan.dmax, col.bilan.dmax));
                if (lignes != 11) {  // the model takes the Float32 values: exact below 2^24 only
                    EXPECT_EQ(deux.octets, octets_du_modele(dev, e, deux.bilan.dmax, deux.bilan.reference, 255));
                }
            }
}

TEST(Engine, BlocksCombinedOverAnySplitGiveTheWholeRun)
{
    // Row sums, column sums, window maxima and histogram counts of random
    // splits (1-row and 1-column blocks among them, cuts through the
    // window's border, missing cells, int32 extremes, rows whose segments
    // take the 32-bit loops or not) added up: the whole run's reference and
    // bytes, in every direction, with both kernel builds.
    const bool machine = noyaux_avx2();
    std::mt19937 g(23);
    for (int essai = 0; essai < 12; essai++) {
        choisit_noyaux(essai / 2 % 2 == 0);
        int lignes = 1 + (int)(g() % 40), colonnes = 1 + (int)(g() % 40);
        int64_t base = essai % 3 == 0 ? INT_MAX - 50 : essai % 3 == 1 ? (1 << 28) - 4990 : 0;
        Dem d = relief(lignes, colonnes, base, 5000, essai % 4 == 1, essai % 2 == 0, g());
        std::vector<unsigned char> presence(d.z.size(), 1);
        for (size_t k = 0; k < d.manque.size(); k++) presence[k] = !d.manque[k], d.z[k] = d.manque[k] ? 0 : d.z[k];
        auto coupes = [&](int n) {
            std::vector<int> c{0};
            while (c.back() < n) c.push_back(std::min(n, c.back() + 1 + (int)(g() % (essai % 3 == 2 ? 1 : 5))));
            return c;
        };
        std::vector<int> cl = coupes(lignes), cc = coupes(colonnes);
        for (Direction dir : {DIRECTION_LIGNES, DIRECTION_COLONNES, DIRECTION_LES_DEUX})
            for (Etirement e : {ETIRE_DEMI, ETIRE_RANG}) {
                Options o;
                o.direction = dir, o.etirement = e, o.rang = 90, o.reelles = true;
                o.terme = essai % 2 ? TERME_COURBURE : TERME_CLASSIQUE;
                Sortie tout = calcule(tableau_de(d), o);
                ASSERT_TRUE(tout.ok) << tout.erreur;
                auto bloc = [&](size_t a, size_t b) {
                    Bloc bl;
                    bl.ligne0 = cl[a], bl.col0 = cc[b], bl.lignes = cl[a + 1] - cl[a], bl.colonnes = cc[b + 1] - cc[b];
                    bl.nb_lig = lignes, bl.nb_col = colonnes;
                    bl.z = &d.z[(size_t)bl.ligne0 * colonnes + bl.col0], bl.pas = (size_t)colonnes;
                    bl.presence = &presence[(size_t)bl.ligne0 * colonnes + bl.col0], bl.pas_presence = (size_t)colonnes;
                    return bl;
                };
                std::vector<int64_t> hl((size_t)lignes), bl_((size_t)lignes), nl((size_t)lignes), ml((size_t)lignes);
                std::vector<int64_t> hc((size_t)colonnes), bc((size_t)colonnes), nc((size_t)colonnes), mc((size_t)colonnes);
                std::vector<unsigned char> al((size_t)lignes), ac((size_t)colonnes);
                for (size_t i = 0; i + 1 < cl.size(); i++)
                    for (size_t j = 0; j + 1 < cc.size(); j++) {
                        bloc_sommes(bloc(i, j), o.terme, &hl[(size_t)cl[i]], &bl_[(size_t)cl[i]], &nl[(size_t)cl[i]]);
                        bloc_sommes_colonnes(bloc(i, j), o.terme, &hc[(size_t)cc[j]], &bc[(size_t)cc[j]], &nc[(size_t)cc[j]]);
                    }
                moyennes(lignes, hl.data(), bl_.data(), nl.data(), ml.data(), al.data());
                moyennes(colonnes, hc.data(), bc.data(), nc.data(), mc.data(), ac.data());
                if (dir == DIRECTION_LIGNES) {  // dmax from the rows' window extremes, without the deviations
                    std::vector<int64_t> tmin((size_t)lignes, INT64_MAX), tmax((size_t)lignes, INT64_MIN);
                    for (size_t i = 0; i + 1 < cl.size(); i++)
                        for (size_t j = 0; j + 1 < cc.size(); j++)
                            bloc_extremes(bloc(i, j), o.terme, &tmin[(size_t)cl[i]], &tmax[(size_t)cl[i]]);
                    double haut = 0;
                    for (size_t r = 0; r < (size_t)lignes; r++)
                        if (al[r] && tmin[r] <= tmax[r])
                            haut = std::max(haut, (double)std::max(tmax[r] - ml[r], ml[r] - tmin[r]));
                    EXPECT_EQ(haut, tout.bilan.dmax) << lignes << " x " << colonnes << " essai " << essai;
                }
                auto moyennes_de = [&](size_t i, size_t j) {
                    Moyennes m;
                    m.lignes = &ml[(size_t)cl[i]], m.a_lignes = &al[(size_t)cl[i]];
                    m.colonnes = &mc[(size_t)cc[j]], m.a_colonnes = &ac[(size_t)cc[j]];
                    return m;
                };
                double dmax = 0;
                std::vector<uint64_t> h(NB_CASES, 0);
                std::vector<float> v(d.z.size());
                for (size_t i = 0; i + 1 < cl.size(); i++)
                    for (size_t j = 0; j + 1 < cc.size(); j++)
                        bloc_deviations(bloc(i, j), o.terme, dir, moyennes_de(i, j), dmax, h.data(),
                                        &v[(size_t)cl[i] * colonnes + cc[j]], (size_t)colonnes, 1.0);
                Bilan b;
                b.dmax = dmax;
                b.reference = e == ETIRE_RANG ? percentile(h.data(), o.rang) : dmax;
                EXPECT_EQ(b.dmax, tout.bilan.dmax);
                EXPECT_EQ(b.reference, tout.bilan.reference);
                std::vector<unsigned char> octets(d.z.size(), 0xAB);
                for (size_t i = 0; i + 1 < cl.size(); i++)
                    for (size_t j = 0; j + 1 < cc.size(); j++)
                        bloc_octets(bloc(i, j), etirage(o, b, 255), dir, moyennes_de(i, j),
                                    &octets[(size_t)cl[i] * colonnes + cc[j]], (size_t)colonnes);
                EXPECT_EQ(octets, tout.octets) << lignes << " x " << colonnes << " essai " << essai << " dir " << dir;
                EXPECT_EQ(0, memcmp(v.data(), tout.valeurs.data(), v.size() * sizeof(float)));
            }
    }
    choisit_noyaux(machine);
}

TEST(Engine, DownColumnsBlocksAndRoundsMeetExactly)
{
    // 2000 x 700: blocks of 374 rows, two rounds of three threads, whose
    // halo rows cross every block and round boundary; read in place, by
    // threads side by side, or by one thread ahead of the others.
    Dem d = relief(2000, 700, 0, 4000, false, true, 31);
    std::vector<unsigned char> mt;
    Tableau t = tableau_de(d), tt = transpose(d, mt);
    for (Direction dir : {DIRECTION_COLONNES, DIRECTION_LES_DEUX})
        for (Etirement e : {ETIRE_DEMI, ETIRE_RANG}) {
            Options o;
            o.direction = dir, o.etirement = e, o.rang = 99, o.fils = 1;
            Sortie un = calcule(t, o);
            o.fils = 3;
            Sortie trois = calcule(t, o);
            EXPECT_EQ(un.octets, trois.octets) << dir << " " << e;
            // One thread reads ahead (a decoder's way), the others compute.
            o.manquants = true;
            std::string erreur;
            Calcul* c = calcul_cree(t.nb_lig, t.nb_col, o, "x", erreur);
            Source s = source_tableau(&t);
            s.parallele = false;
            std::vector<unsigned char> image(d.z.size());
            Puits p;
            p.memoire = image.data();
            Bilan b;
            bool ok = calcul_premiere_passe(c, s, b) && (!calcul_rang_a_part(c) || calcul_passe_rang(c, s, b)) &&
                      calcul_seconde_passe(c, s, etirage(o, b, 255), p);
            calcul_libere(c);
            EXPECT_TRUE(ok);
            EXPECT_EQ(image, un.octets) << dir << " " << e;
            if (dir == DIRECTION_COLONNES) {
                o.direction = DIRECTION_LIGNES;
                EXPECT_EQ(transposee(calcule(tt, o).octets, d.colonnes, d.lignes), un.octets) << e;
            }
        }
}
