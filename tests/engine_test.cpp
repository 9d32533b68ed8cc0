// The engine called as a library: its loops (both builds, 32- and 64-bit)
// against a plain model of the formulas at every scale and in every
// direction, runs twice and at once, the passes and the norm asked between
// them, cancels and failing sources, and the error codes.
#include "modele.h"
#include "noyaux.h"

#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

using namespace tavelkorn;
using namespace modele;

namespace {

struct Sortie {
    bool ok;
    std::vector<unsigned char> octets;  // one plane a scale
    std::vector<float> valeurs;
    Bilan bilan;
    Erreur erreur;
};

// The bytes and, when o.reelles, the Float32 deviations of t.
Sortie calcule(const Tableau& t, Options o)
{
    Sortie s;
    bool reelles = o.reelles;
    size_t n = (size_t)t.nb_lig * t.nb_col * o.echelles.size();
    o.reelles = false;
    s.octets.assign(n, 0xAB);
    s.ok = calcul_tableau(t, o, s.octets.data(), nullptr, s.bilan, s.erreur);
    if (s.ok && reelles) {
        s.valeurs.assign(n, -1.0f);
        o.reelles = true;
        s.ok = calcul_tableau(t, o, s.valeurs.data(), nullptr, s.bilan, s.erreur);
    }
    return s;
}

// The plane of scale s.
template <typename T>
std::vector<T> plan(const std::vector<T>& v, size_t s, size_t cellules)
{
    return std::vector<T>(v.begin() + (ptrdiff_t)(s * cellules), v.begin() + (ptrdiff_t)((s + 1) * cellules));
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

TEST(Engine, BothKernelBuildsGiveTheModelsBytesAndDeviationsAtEveryScale)
{
    const bool machine = noyaux_avx2();
    for (const Cas& c : CAS)
        for (Direction dir : {DIRECTION_LIGNES, DIRECTION_COLONNES, DIRECTION_LES_DEUX})
            for (Etirement e : {ETIRE_DEMI, ETIRE_PLEIN, ETIRE_RANG})
                for (bool avx2 : {false, true}) {
                    Terme terme = (c.lignes + e) % 2 ? TERME_COURBURE : TERME_CLASSIQUE;
                    SCOPED_TRACE(std::string(c.nom) + " dir " + std::to_string(dir) + " stretch " +
                                 std::to_string(e) + (avx2 ? " avx2" : " default"));
                    choisit_noyaux(avx2);
                    Dem d = relief(c.lignes, c.colonnes, c.base, c.ampleur, c.extremes, c.trous, 7u + c.lignes);
                    Options o;
                    o.terme = terme, o.direction = dir, o.etirement = e, o.rang = 90, o.fils = 3, o.reelles = true;
                    o.echelles = {1, 2, 5};
                    Sortie s = calcule(tableau_de(d), o);
                    ASSERT_TRUE(s.ok) << s.erreur.texte;
                    size_t cellules = d.z.size();
                    for (size_t q = 0; q < o.echelles.size(); q++) {
                        SCOPED_TRACE("scale " + std::to_string(o.echelles[q]));
                        double dmax;
                        std::vector<double> dev = deviations(d, terme, dir, o.echelles[q], dmax);
                        const BilanEchelle& b = s.bilan.echelles[q];
                        EXPECT_EQ(b.echelle, o.echelles[q]);
                        EXPECT_EQ(b.dmax, dmax);
                        double ref = dmax;
                        if (e == ETIRE_RANG) {  // the histogram's bin: at most the true value, within 1/128 of it
                            double vrai = percentile_exact(d, dev, o.echelles[q], 90);
                            EXPECT_LE(b.reference, vrai);
                            EXPECT_LE(vrai - b.reference, vrai / 128);
                            ref = b.reference;
                        }
                        EXPECT_EQ(plan(s.octets, q, cellules), octets(dev, e, dmax, ref, 255));
                        std::vector<float> v = plan(s.valeurs, q, cellules);
                        for (size_t k = 0; k < dev.size(); k++)
                            ASSERT_TRUE(std::isnan(dev[k]) ? std::isnan(v[k]) : v[k] == (float)std::max(dev[k], 0.0))
                                << k;
                    }
                }
    choisit_noyaux(machine);
}

TEST(Engine, AScaleWorkedByHandAlongARowAndDownAColumn)
{
    // z = 3 1 4 1 5 9 2 6 5. Curvature at lag 2: terms 0 -8 4 11 -6 at
    // columns 2 to 6, sum 1, mean 1/5 = 0: deviations 0 8 4 11 6. At lag 3:
    // -3 3 9 at columns 3 to 5, sum 9, mean 3: 6 0 6. Classic at lag 2:
    // 8 -6 14 29 -2, sum 43, mean 8: 0 14 6 21 10. The column reads the
    // same down its cells; a row of one column has no term along it.
    const int32_t z[9] = {3, 1, 4, 1, 5, 9, 2, 6, 5};
    struct {
        Terme terme;
        int k;
        std::vector<float> voulu;
    } cas[] = {{TERME_COURBURE, 2, {0, 0, 0, 8, 4, 11, 6, 0, 0}},
               {TERME_COURBURE, 3, {0, 0, 0, 6, 0, 6, 0, 0, 0}},
               {TERME_CLASSIQUE, 2, {0, 0, 0, 14, 6, 21, 10, 0, 0}},
               {TERME_CLASSIQUE, 5, {0, 0, 0, 0, 0, 0, 0, 0, 0}}};
    for (auto& c : cas)
        for (bool colonne : {false, true}) {
            SCOPED_TRACE(std::to_string(c.k) + (colonne ? " down a column" : " along a row"));
            Tableau t;
            t.donnees = z, t.nb_lig = colonne ? 9 : 1, t.nb_col = colonne ? 1 : 9;
            t.pas_ligne = colonne ? 4 : 36, t.pas_colonne = 4;
            Options o;
            o.terme = c.terme, o.echelles = {c.k}, o.reelles = true;
            o.direction = colonne ? DIRECTION_COLONNES : DIRECTION_LIGNES;
            Sortie s = calcule(t, o);
            ASSERT_TRUE(s.ok) << s.erreur.texte;
            EXPECT_EQ(s.valeurs, c.voulu);
            o.direction = colonne ? DIRECTION_LIGNES : DIRECTION_COLONNES;  // the other way: no term at all
            EXPECT_EQ(calcule(t, o).valeurs, std::vector<float>(9, 0.0f));
        }
}

TEST(Engine, SeveralScalesAreTheOneScaleRunsStackedForAnyThreads)
{
    Dem d = relief(61, 47, 500, 4000, false, true, 5);
    Tableau t = tableau_de(d);
    for (Direction dir : {DIRECTION_LIGNES, DIRECTION_LES_DEUX})
        for (Etirement e : {ETIRE_DEMI, ETIRE_RANG}) {
            Options o;
            o.direction = dir, o.etirement = e, o.rang = 99, o.ligne_profil = 30, o.echelles = {1, 2, 4, 8, 40};
            o.fils = 3;
            Sortie ensemble = calcule(t, o);
            o.fils = 1;
            EXPECT_EQ(calcule(t, o).octets, ensemble.octets);
            for (size_t q = 0; q < o.echelles.size(); q++) {
                Options un = o;
                un.echelles = {o.echelles[q]};
                Sortie seul = calcule(t, un);
                EXPECT_EQ(plan(ensemble.octets, q, d.z.size()), seul.octets) << dir << " " << e << " " << q;
                EXPECT_EQ(ensemble.bilan.echelles[q].dmax, seul.bilan.echelles[0].dmax);
                EXPECT_EQ(ensemble.bilan.echelles[q].reference, seul.bilan.echelles[0].reference);
                EXPECT_EQ(0, memcmp(ensemble.bilan.echelles[q].profil.data(), seul.bilan.echelles[0].profil.data(),
                                    (size_t)d.colonnes * sizeof(double)));
            }
            // 40 is beyond the rows' reach both ways: no term, nothing to stretch by.
            EXPECT_EQ(ensemble.bilan.echelles[4].dmax, 0.0);
        }
}

TEST(Engine, The32BitLoopsEqualThe64BitOnes)
{
    // Rows within +-2^28 take the 32-bit loops: forcing the 64-bit ones on
    // the same rows must give the same bytes, along the row and from
    // deviations, for both stretches and both builds.
    Dem d = relief(1, 1001, (1 << 28) - 600, 500, false, false, 3);
    Voisins v = voisins_ligne(d.z.data(), nullptr, 2);
    __int128 somme = 0;
    int64_t n = 0;
    somme_termes(v, 2, 998, 2, false, somme, n);
    int64_t moyenne = moyenne_de(somme, n);
    for (Etirement e : {ETIRE_DEMI, ETIRE_PLEIN}) {
        Etirage et;
        et.etirement = e, et.dmax = 2000, et.reference = 1500;
        Reglage r = reglage_de(et, 1.0);
        std::vector<unsigned char> a(1001), b(1001);
        image_termes(v, 1001, 2, 998, 2, true, true, moyenne, r, a.data(), nullptr);
        image_termes(v, 1001, 2, 998, 2, false, true, moyenne, r, b.data(), nullptr);
        EXPECT_EQ(a, b) << e;
        EXPECT_NE(std::count(a.begin(), a.end(), 0), (long)a.size());  // a row that stretches to something
    }
}

TEST(Engine, RunsTwiceAndTwoAtOnceGiveTheSameBytes)
{
    Dem d1 = relief(700, 333, 0, 5000, false, true, 1), d2 = relief(401, 517, 1000, 100, false, false, 2);
    Tableau t1 = tableau_de(d1), t2 = tableau_de(d2);
    Options o;
    o.fils = 3, o.etirement = ETIRE_RANG, o.rang = 99, o.echelles = {1, 3};
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
// A source that fails at its call number echec (counting every pass), or
// cancels through progress at call number echec; the passes its progress
// saw.
struct Piege {
    const Tableau* t;
    int echec;
    std::atomic<int> appels{0};
    std::vector<std::pair<int, int>> passes;
};
bool lit_piege(void* c, int premiere, int nombre, int* z, unsigned char* m, Erreur& erreur)
{
    Piege& p = *(Piege*)c;
    if (++p.appels == p.echec) return erreur.texte = "x.tif: cannot be read: injected", false;
    return tableau_lit(*p.t, premiere, nombre, z, m, erreur);
}
bool progres_piege(double, int passe, int passes, void* c)
{
    Piege& p = *(Piege*)c;
    if (p.passes.empty() || p.passes.back().first != passe) p.passes.push_back({passe, passes});
    return ++p.appels != p.echec;
}
}  // namespace

TEST(Engine, AFailingSourceOrACancelStopsTheRunWhereverItComes)
{
    // At every call of every pass, with threads and with a source one
    // thread reads ahead of the others: the run fails with the source's
    // words (or "cancelled") and its code, the threads are joined before it
    // returns, a pass that failed wrote nothing more into the image, and a
    // computation that failed fails again at once with the same reason.
    Dem d = relief(1000, 1200, 0, 900, false, true, 9);  // 218 rows a block: five blocks, two rounds a pass
    Tableau t = tableau_de(d);
    struct {
        Direction dir;
        Etirement e;
        int passes;
    } cas[] = {{DIRECTION_LIGNES, ETIRE_DEMI, 2}, {DIRECTION_COLONNES, ETIRE_RANG, 3}};
    for (auto& cs : cas)
        for (bool parallele : {true, false})
            for (bool annule : {false, true})
                for (int echec = 1;; echec++) {
                    SCOPED_TRACE(std::to_string(cs.dir) + " " + std::to_string(parallele) + " " +
                                 std::to_string(annule) + " at " + std::to_string(echec));
                    Piege lecture{&t, annule ? -1 : echec, {0}, {}}, progres{&t, annule ? echec : -1, {0}, {}};
                    Options o;
                    o.fils = 3, o.direction = cs.dir, o.etirement = cs.e, o.echelles = {1, 2};
                    o.progres = progres_piege, o.contexte_progres = &progres;
                    Source s = source_tableau(&t);
                    s.parallele = parallele;
                    if (!annule) s.contexte = &lecture, s.lit_bloc = lit_piege;
                    Erreur erreur;
                    Calcul* c = calcul_cree(s, o, "x.tif", erreur);
                    ASSERT_TRUE(c);
                    std::vector<unsigned char> image((size_t)t.nb_lig * t.nb_col * 2, 0xAB);
                    Bilan b;
                    Puits puits;
                    puits.memoire = image.data();
                    bool ok = calcul_execute(c, s, nullptr, puits, b, erreur);
                    Piege& vu = annule ? progres : lecture;
                    bool fini = vu.appels < echec;
                    if (!fini) {
                        EXPECT_FALSE(ok);
                        EXPECT_EQ(erreur.code, annule ? CODE_ANNULE : CODE_SOURCE);
                        EXPECT_EQ(erreur.texte, annule ? "cancelled" : "x.tif: cannot be read: injected");
                        Erreur encore;
                        EXPECT_FALSE(calcul_execute(c, s, nullptr, puits, b, encore));
                        EXPECT_EQ(encore.texte, erreur.texte);
                    }
                    std::vector<unsigned char> vue = image;
                    calcul_libere(c);
                    EXPECT_EQ(image, vue);  // no thread wrote after the failure came back
                    if (fini) {
                        EXPECT_TRUE(ok) << erreur.texte;
                        std::vector<std::pair<int, int>> voulues;
                        for (int q = 1; q <= cs.passes; q++) voulues.push_back({q, cs.passes});
                        EXPECT_EQ(progres.passes, voulues);  // the passes in running order
                        break;
                    }
                }
}

namespace {
// A sink that takes its norm once the DEM is read, and the blocks it is
// given (from the last up), or fails where it is told to.
struct Appels {
    std::vector<std::string> vus;
    int norm = 255;
    bool refuse = false, echoue_au_bloc = false;
    std::vector<unsigned char> image;
    int nb_col = 0;
};
bool avant(void* c, const Bilan& b, int& norm, std::string& erreur)
{
    Appels& a = *(Appels*)c;
    a.vus.push_back("avant dmax " + std::to_string((int)b.echelles[0].dmax));
    norm = a.norm;
    if (a.refuse) erreur = "out.bmp: cannot be created: refused";
    return !a.refuse;
}
bool bloc(void* c, int premiere, int nombre, const void* v, size_t pas_echelle, const unsigned char*, std::string& e)
{
    Appels& a = *(Appels*)c;
    a.vus.push_back("bloc " + std::to_string(premiere));
    if (a.echoue_au_bloc) return e = "out.bmp: could not be written completely", false;
    for (size_t s = 0; s < 2; s++)
        memcpy(&a.image[s * a.image.size() / 2 + (size_t)premiere * a.nb_col], (const unsigned char*)v + s * pas_echelle,
               (size_t)nombre * a.nb_col);
    return true;
}
}  // namespace

TEST(Engine, TheNormIsAskedBetweenTheReadingAndTheImageWhichGoesInTheSinksOrder)
{
    Dem d = relief(300, 900, 0, 3000, false, false, 4);
    Tableau t = tableau_de(d);
    Options o;
    o.echelles = {1, 2};
    o.norm = 17;  // the sink's word wins
    Options voulu = o;
    voulu.norm = 200;
    Sortie attendu = calcule(t, voulu);
    Appels a;
    a.norm = 200, a.nb_col = t.nb_col, a.image.assign(attendu.octets.size(), 0);
    Puits p;
    p.contexte = &a, p.avant_image = avant, p.ecrit_bloc = bloc, p.descendant = true;
    Source s = source_tableau(&t);
    Erreur erreur;
    Calcul* c = calcul_cree(s, o, "dem", erreur);
    Bilan b;
    ASSERT_TRUE(calcul_execute(c, s, nullptr, p, b, erreur)) << erreur.texte;
    calcul_libere(c);
    EXPECT_EQ(a.image, attendu.octets);
    ASSERT_GE(a.vus.size(), 2u);
    EXPECT_EQ(a.vus[0], "avant dmax " + std::to_string((int)attendu.bilan.echelles[0].dmax));
    EXPECT_EQ(a.vus.back(), "bloc 0");  // from the last rows up
    for (size_t q = 2; q < a.vus.size(); q++) EXPECT_LT(std::stoi(a.vus[q].substr(5)), std::stoi(a.vus[q - 1].substr(5)));
    // A sink that refuses, before the image or at a block: CODE_PUITS and its words.
    for (bool au_bloc : {false, true}) {
        Appels r;
        r.refuse = !au_bloc, r.echoue_au_bloc = au_bloc, r.nb_col = t.nb_col, r.image.assign(a.image.size(), 0);
        p.contexte = &r;
        c = calcul_cree(s, o, "dem", erreur);
        EXPECT_FALSE(calcul_execute(c, s, nullptr, p, b, erreur));
        calcul_libere(c);
        EXPECT_EQ(erreur.code, CODE_PUITS);
        EXPECT_EQ(erreur.texte, au_bloc ? "out.bmp: could not be written completely" : "out.bmp: cannot be created: refused");
    }
}

TEST(Engine, WhatCannotBeComputedIsRefusedWithItsCode)
{
    Dem d = relief(20, 30, 0, 100, false, false, 8);
    Tableau t = tableau_de(d);
    Source s = source_tableau(&t);
    auto cree = [&](Options o, Source src = Source()) {
        Erreur e;
        Calcul* c = calcul_cree(src.lit_bloc ? src : s, o, "dem.tif", e);
        calcul_libere(c);
        return c ? Erreur{CODE_OK, ""} : e;
    };
    struct {
        const char* quoi;
        void (*change)(Options&, Source&);
        Code code;
        const char* texte;
    } cas[] = {
        {"no scale", [](Options& o, Source&) { o.echelles = {}; }, CODE_ARGUMENT, "0 scales: 1 to 64"},
        {"scale 0", [](Options& o, Source&) { o.echelles = {0}; }, CODE_ARGUMENT, "scale 0: scales are whole numbers from 1, ascending"},
        {"descending", [](Options& o, Source&) { o.echelles = {4, 2}; }, CODE_ARGUMENT, "scale 2: scales are whole numbers from 1, ascending"},
        {"65 scales", [](Options& o, Source&) { o.echelles.clear(); for (int k = 1; k <= 65; k++) o.echelles.push_back(k); }, CODE_ARGUMENT, "65 scales: 1 to 64"},
        {"percentile", [](Options& o, Source&) { o.rang = 0; }, CODE_ARGUMENT, nullptr},
        {"z-scale", [](Options& o, Source&) { o.echelle_z = 0; }, CODE_ARGUMENT, nullptr},
        {"no rows", [](Options&, Source& src) { src.nb_lig = 0; }, CODE_ARGUMENT, "dem.tif: 0 lines and 30 columns: a DEM needs at least 1 of each"},
        {"budget", [](Options& o, Source&) { o.memoire = 1000; }, CODE_MEMOIRE, nullptr},
        {"huge scale", [](Options& o, Source&) { o.echelles = {1, INT_MAX}; }, CODE_OK, nullptr},
    };
    for (auto& c : cas) {
        Options o;
        Source src = s;
        c.change(o, src);
        Erreur e = cree(o, src);
        EXPECT_EQ(e.code, c.code) << c.quoi << ": " << e.texte;
        if (c.texte) {
            EXPECT_EQ(e.texte, c.texte) << c.quoi;
        }
    }
    // An elevation beyond the 32-bit range once scaled: CODE_PLAGE, in the engine's words.
    Options o;
    t.echelle_z = 1e9;
    std::vector<unsigned char> image(d.z.size());
    Bilan b;
    Erreur e;
    EXPECT_FALSE(calcul_tableau(t, o, image.data(), nullptr, b, e));
    EXPECT_EQ(e.code, CODE_PLAGE);
    EXPECT_NE(e.texte.find("times the z-scale 1e+09 is"), std::string::npos) << e.texte;
    EXPECT_EQ(e.texte.find("--"), std::string::npos) << e.texte;
    // A second source unlike the first.
    t.echelle_z = 1;
    Calcul* c = calcul_cree(s, o, "dem", e);
    Source autre = s;
    autre.nb_col = 29;
    Puits p;
    p.memoire = image.data();
    EXPECT_FALSE(calcul_execute(c, s, &autre, p, b, e));
    EXPECT_EQ(e.code, CODE_ARGUMENT);
    calcul_libere(c);
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
        manque_t = transposee(d.manque, d.lignes, d.colonnes);
        t.manquants = manque_t.data(), t.pas_manquants = d.lignes;
    }
    return t;
}
}  // namespace

TEST(Engine, ColumnsAreTheRowsOfTheTransposeAtEveryScale)
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
                o.etirement = e, o.rang = 97, o.fils = 3, o.reelles = true, o.echelles = {1, 2, 3};
                o.direction = DIRECTION_COLONNES;
                Sortie col = calcule(t, o);
                o.direction = DIRECTION_LIGNES;
                Sortie lig = calcule(tt, o);
                ASSERT_TRUE(col.ok && lig.ok) << col.erreur.texte << lig.erreur.texte;
                for (size_t q = 0; q < 3; q++) {
                    EXPECT_EQ(col.bilan.echelles[q].dmax, lig.bilan.echelles[q].dmax);
                    EXPECT_EQ(col.bilan.echelles[q].reference, lig.bilan.echelles[q].reference);
                    EXPECT_EQ(plan(col.octets, q, d.z.size()), transposee(plan(lig.octets, q, d.z.size()), colonnes, lignes));
                    std::vector<float> a = plan(col.valeurs, q, d.z.size()), b = transposee(plan(lig.valeurs, q, d.z.size()), colonnes, lignes);
                    EXPECT_EQ(0, memcmp(a.data(), b.data(), a.size() * sizeof(float)));
                }
            }
}

TEST(Engine, DownColumnsBlocksAndRoundsMeetExactly)
{
    // 2000 x 700: blocks of 374 rows, two rounds of three threads, whose
    // halo rows (up to 9 a side) cross every block and round boundary; read
    // in place, by threads side by side, or by one thread ahead of the
    // others.
    Dem d = relief(2000, 700, 0, 4000, false, true, 31);
    std::vector<unsigned char> mt;
    Tableau t = tableau_de(d), tt = transpose(d, mt);
    for (Direction dir : {DIRECTION_COLONNES, DIRECTION_LES_DEUX})
        for (Etirement e : {ETIRE_DEMI, ETIRE_RANG}) {
            Options o;
            o.direction = dir, o.etirement = e, o.rang = 99, o.fils = 1, o.echelles = {1, 9};
            Sortie un = calcule(t, o);
            o.fils = 3;
            Sortie trois = calcule(t, o);
            EXPECT_EQ(un.octets, trois.octets) << dir << " " << e;
            // One thread reads ahead (a decoder's way), the others compute.
            Source s = source_tableau(&t);
            s.parallele = false;
            Erreur erreur;
            Calcul* c = calcul_cree(s, o, "x", erreur);
            std::vector<unsigned char> image(un.octets.size());
            Puits p;
            p.memoire = image.data();
            Bilan b;
            EXPECT_TRUE(calcul_execute(c, s, nullptr, p, b, erreur)) << erreur.texte;
            calcul_libere(c);
            EXPECT_EQ(image, un.octets) << dir << " " << e;
            if (dir == DIRECTION_COLONNES) {
                o.direction = DIRECTION_LIGNES;
                std::vector<unsigned char> r = calcule(tt, o).octets;
                for (size_t q = 0; q < 2; q++)
                    EXPECT_EQ(transposee(plan(r, q, d.z.size()), d.colonnes, d.lignes), plan(un.octets, q, d.z.size())) << e;
            }
        }
}
