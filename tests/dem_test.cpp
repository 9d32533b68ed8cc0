// The DEM a run reads, of either kind, through its one table of functions:
// a native grid with its descriptor and the same cells through GDAL give the
// same rows; what is wrong with either comes back as a value, said, never
// printed; a file that changes under the run is named.
#include "src/gdal/gdal_programme.h"
#include "src/io/dem_natif.h"
#include "test_util.h"

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

// 5 x 7 elevations, row i column j: 100 i + j, with -9999 at (2, 3).
struct Grille {
    TempDir d;
    std::vector<int32_t> z;
    Grille() : z(35)
    {
        for (int k = 0; k < 35; k++) z[(size_t)k] = k == 17 ? -9999 : 100 * (k / 7) + k % 7;
        Bytes b(140);
        for (int k = 0; k < 35; k++) put_le32(b, 4 * (size_t)k, (uint32_t)z[(size_t)k]);
        write_file(d / "g.raw", b);
        write_file(d / "g.txt", std::string("5\n7\n4\n0\n0\n30\n"));
        // The same file as GDAL reads it.
        write_file(d / "g.hdr", std::string("ENVI\nsamples = 7\nlines = 5\nbands = 1\ndata type = 3\nbyte order = 0\n"
                                            "data ignore value = -9999\n"));
    }
};

// Rows premiere .. premiere + nombre - 1 of d's first reading, missing cells as -1.
std::vector<int32_t> rangees(const Dem& d, int premiere, int nombre)
{
    tavelkorn::Source s = d.source(d.contexte, 1);
    std::vector<int32_t> z((size_t)nombre * s.nb_col);
    std::vector<unsigned char> m(s.manquants ? z.size() : 0);
    tavelkorn::Erreur e;
    EXPECT_TRUE(s.lit_bloc(s.contexte, premiere, nombre, z.data(), m.empty() ? nullptr : m.data(), e)) << e.texte;
    for (size_t k = 0; k < m.size(); k++) z[k] = m[k] ? z[k] : -1;
    return z;
}

}  // namespace

TEST(Dem, BothKindsGiveTheSameRowsThroughOneTable)
{
    Grille g;
    NatifVoulu v;
    v.chemin = g.d / "g.raw", v.descripteur = g.d / "g.txt";
    v.avec_nodata = true, v.nodata = -9999;
    Dem natif, gdal;
    Avis a;
    ASSERT_TRUE(ouvre_dem_natif(natif, v, a)) << a.texte;
    EXPECT_EQ(natif.nb_lig, 5);
    EXPECT_EQ(natif.nb_col, 7);
    EXPECT_EQ(natif.pix_size, 30);
    EXPECT_EQ(natif.fichiers, (std::vector<std::string>{v.chemin, v.descripteur}));
    EXPECT_TRUE(natif.manquants);
    std::vector<int32_t> voulu = g.z;
    voulu[17] = -1;
    EXPECT_EQ(rangees(natif, 0, 5), voulu);
    EXPECT_EQ(rangees(natif, 2, 2), std::vector<int32_t>(voulu.begin() + 14, voulu.begin() + 28));
    double geo[6];
    std::string wkt;
    EXPECT_FALSE(natif.place(natif.contexte, geo, wkt));
    ASSERT_EQ(gdal_disponible(), avec_gdal);  // the module beside the test, as beside the program
    if (avec_gdal) {
        ASSERT_TRUE(ouvre_dem_gdal(gdal, g.d / "g.raw", 1, 1.0, a)) << a.texte;
        EXPECT_EQ(gdal.nb_lig, 5);
        EXPECT_EQ(gdal.nb_col, 7);
        EXPECT_EQ(rangees(gdal, 0, 5), voulu);
        EXPECT_NE(std::find(gdal.fichiers.begin(), gdal.fichiers.end(), g.d / "g.hdr"), gdal.fichiers.end());
        EXPECT_TRUE(gdal.inchange(gdal.contexte, 1, a));
    }
    // Renamed over by another file of the same size and date: named, as a value.
    fs::copy_file(g.d / "g.raw", g.d / "autre.raw");
    fs::last_write_time(g.d / "autre.raw", fs::last_write_time(g.d / "g.raw"));
    fs::rename(g.d / "autre.raw", g.d / "g.raw");
    if (gdal.contexte) {
        EXPECT_FALSE(gdal.inchange(gdal.contexte, 1, a));
        EXPECT_EQ(a.texte, g.d / "g.raw" + ": changed during the run; no result was written");
    }
    ferme_dem(gdal);
    ferme_dem(natif);
}

TEST(Dem, WhatIsWrongWithANativeDemComesBackAsAValue)
{
    struct Cas {
        const char* quoi;
        void (*prepare)(const Grille& g, NatifVoulu& v);
        bool ouvre;
        const char* texte;
    } cas[] = {
        {"no descriptor", [](const Grille& g, NatifVoulu&) { fs::remove(g.d / "g.txt"); }, false,
         "g.txt: cannot be opened: No such file or directory"},
        {"no DEM", [](const Grille& g, NatifVoulu&) { fs::remove(g.d / "g.raw"); }, false,
         "g.raw: cannot be opened: No such file or directory"},
        {"a folder", [](const Grille& g, NatifVoulu&) { fs::remove(g.d / "g.raw"), fs::create_directory(g.d / "g.raw"); },
         false, "g.raw: not a regular file"},
        {"no columns", [](const Grille& g, NatifVoulu&) { write_file(g.d / "g.txt", std::string("5\n0\n")); }, false,
         "g.txt: 5 lines and 0 columns: a DEM needs at least 1 of each"},
        {"three fields", [](const Grille& g, NatifVoulu&) { write_file(g.d / "g.txt", std::string("5\n7\n4\n")); }, true,
         "g.txt: 3 of the 6 fields; missing: minimum, maximum, pixel size; taken as a pixel size of 0"},
        {"the dialogue's way", [](const Grille& g, NatifVoulu& v) {
             fs::remove(g.d / "g.txt");  // asked, not read, and still to be written
             v.nb_lig = 5, v.nb_col = 7, v.descripteur_cree = true;
         }, true, ""},
    };
    for (const Cas& c : cas) {
        Grille g;
        NatifVoulu v;
        v.chemin = g.d / "g.raw", v.descripteur = g.d / "g.txt";
        c.prepare(g, v);
        Dem d;
        Avis a;
        bool ouvert = ouvre_dem_natif(d, v, a);
        EXPECT_EQ(ouvert, c.ouvre) << c.quoi << ": " << a.texte;
        std::string dit = ouvert ? (a.avertissements.empty() ? "" : a.avertissements[0]) : a.texte;
        EXPECT_NE(dit.find(c.texte), std::string::npos) << c.quoi << ": " << dit;
        if (ouvert && std::string(c.quoi) == "the dialogue's way") {
            EXPECT_EQ(d.fichiers, std::vector<std::string>{v.chemin});  // the descriptor is a result now
            EXPECT_EQ(rangees(d, 1, 1), std::vector<int32_t>(g.z.begin() + 7, g.z.begin() + 14));
        }
        ferme_dem(d);
    }
    // A grid shorter than its descriptor says: held in memory, said after the reading.
    Grille g;
    write_file(g.d / "g.txt", std::string("6\n7\n4\n0\n0\n30\n"));
    NatifVoulu v;
    v.chemin = g.d / "g.raw", v.descripteur = g.d / "g.txt";
    Dem d;
    Avis a;
    ASSERT_TRUE(ouvre_dem_natif(d, v, a) && d.prepare(d.contexte, a));
    EXPECT_EQ(rangees(d, 5, 1), std::vector<int32_t>(7, 0));
    EXPECT_TRUE(d.inchange(d.contexte, 1, a));
    ASSERT_EQ(a.avertissements.size(), 1u);
    EXPECT_NE(a.avertissements[0].find("168 bytes expected for 6 x 7 elevations, 140 found"), std::string::npos);
    ferme_dem(d);
}
