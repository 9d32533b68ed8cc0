// Uncompressed GeoTIFFs are read directly, strip by strip or tile by tile,
// by the threads side by side. Every layout, byte order and type gives the
// bytes GDAL's own reading gives (TAVELKORN_GTIFF_DIRECT=NO), and the native
// DEM of the same cells gives; what the direct reader does not handle goes
// through GDAL, and TAVELKORN_GTIFF_DIRECT=ONLY shows which is which.
#include "e2e.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

struct Cas {
    const char *type, *disposition, *ordre, *manque, *valeurs, *options;
    bool direct;  // read directly (false: through GDAL)
};

const Cas kCas[] = {
    {"Int16", "strips1", "LE", "none", "whole", "", true},
    {"Int16", "strips1", "BE", "nodata", "whole", "", true},
    {"Int16", "strips7", "LE", "nodata", "whole", "--stretch p99", true},
    {"Int16", "strips7", "BE", "none", "whole", "", true},
    {"Int16", "whole", "LE", "none", "whole", "--term curvature", true},
    {"Int16", "whole", "BE", "nodata", "whole", "", true},
    {"Int16", "tiles16", "LE", "nodata", "whole", "", true},
    {"Int16", "tiles16", "BE", "none", "whole", "--z-scale 0.3", true},
    {"Int16", "tiles256", "LE", "none", "whole", "", true},
    {"Int16", "tiles256", "BE", "nodata", "whole", "", true},
    {"Int32", "strips1", "LE", "none", "whole", "", true},
    {"Int32", "strips7", "BE", "nodata", "whole", "", true},
    {"Int32", "strips7", "LE", "nodata", "whole", "--z-scale 2.5", true},
    {"Int32", "whole", "BE", "none", "whole", "", true},
    {"Int32", "tiles16", "LE", "nodata", "whole", "", true},
    {"UInt16", "strips7", "LE", "nodata", "whole", "", true},
    {"UInt16", "tiles16", "BE", "none", "whole", "", true},
    {"UInt32", "strips1", "BE", "none", "whole", "", true},
    {"UInt32", "tiles256", "LE", "nodata", "whole", "", true},
    {"Byte", "strips7", "LE", "nodata", "whole", "", true},
    {"Byte", "tiles16", "BE", "none", "whole", "", true},
    {"Float32", "strips1", "LE", "none", "whole", "", true},
    {"Float32", "tiles256", "LE", "nan", "whole", "", true},
    {"Float32", "tiles16", "BE", "nodata", "whole", "--stretch full", true},
    {"Float32", "strips7", "BE", "nan", "fractions", "", true},
    {"Float32", "strips7", "LE", "nan", "fractions", "--z-scale 100", true},
    {"Float64", "strips7", "LE", "nodata", "whole", "", true},
    {"Float64", "tiles16", "BE", "nan", "fractions", "--z-scale -3", true},
    {"Float64", "strips1", "LE", "none", "huge", "", true},
    {"UInt32", "tiles16", "BE", "none", "huge", "", true},
    {"Int16", "predictor", "LE", "none", "whole", "", true},
    {"Int16", "sparse", "LE", "none", "whole", "", false},
    {"Int16", "mask", "BE", "none", "whole", "", false},
    {"Int16", "deflate", "LE", "nodata", "whole", "", false},
    {"UInt16", "nbits12", "LE", "none", "whole", "", false},
    {"Byte", "signed", "LE", "nodata", "whole", "", false},
};

void PrintTo(const Cas& c, std::ostream* os) { *os << c.type << " " << c.disposition << " " << c.ordre << " " << c.options; }

const std::string kFabrique = "/usr/bin/python3 '" GEOTIFF_FIXTURES "' ";

struct Resultat {
    Outcome o;
    Bytes image, profil;
};

Resultat lance(const Site& s, const std::string& args, const std::string& prefixe)
{
    fs::remove(s.path("o.raw"));
    fs::remove(s.path("o.xls"));
    Resultat r{s.cli(args + " o.raw --profile o.xls", TAVELKORN, prefixe), {}, {}};
    if (s.exists("o.raw")) r.image = s.file("o.raw"), r.profil = s.file("o.xls");
    return r;
}

}  // namespace

class GeotiffLayouts : public ::testing::TestWithParam<Cas> {};

TEST_P(GeotiffLayouts, DirectReadsGiveTheBytesOfGdalAndOfTheNativeDem)
{
    const Cas& c = GetParam();
    Site s;
    std::string nom = std::string(c.type) + "_" + c.disposition + "_" + c.ordre + "_" + c.manque + "_" + c.valeurs;
    SCOPED_TRACE(nom + " " + c.options);
    ASSERT_EQ(run_command("cd '" + s.path("") + "' && " + kFabrique + nom + " " + c.type + " " + c.disposition + " " +
                          c.ordre + " " + c.manque + " " + c.valeurs),
              0);
    std::string args = std::string(c.options) + " " + nom + ".tif";
    // Three threads read their rows side by side, in any order; one reads
    // them in order.
    Resultat seul = lance(s, "--threads 3 " + args, "TAVELKORN_GTIFF_DIRECT=ONLY");
    Resultat vite = lance(s, "--threads 1 " + args, "");
    Resultat gdal = lance(s, "--threads 3 " + args, "TAVELKORN_GTIFF_DIRECT=NO");
    if (c.direct) {
        EXPECT_EQ(seul.o.status, gdal.o.status) << seul.o.err;
        EXPECT_EQ(seul.o.err, gdal.o.err);
        EXPECT_EQ(seul.image, gdal.image);
        EXPECT_EQ(seul.profil, gdal.profil);
    } else {
        EXPECT_EQ(seul.o.status, 1);
        EXPECT_NE(seul.o.err.find(nom + ".tif: not read directly: "), std::string::npos) << seul.o.err;
    }
    EXPECT_EQ(vite.o.status, gdal.o.status) << vite.o.err;
    EXPECT_EQ(vite.o.err, gdal.o.err);
    EXPECT_EQ(vite.image, gdal.image);
    EXPECT_EQ(vite.profil, gdal.profil);
    if (std::string(c.valeurs) == "huge") {
        EXPECT_NE(gdal.o.err.find("elevation 3500000000 times --z-scale 1 is 3500000000, beyond the 32-bit range"),
                  std::string::npos)
            << gdal.o.err;
    }
    if (!s.exists(nom + "_n.raw")) return;
    std::string nd = std::string(c.manque) == "none" ? "" : "--nodata -2000000000 ";
    Resultat natif = lance(s, "--threads 3 " + nd + c.options + " " + nom + "_n.raw", "");
    ASSERT_EQ(natif.o.status, 0) << natif.o.err;
    EXPECT_EQ(vite.image, natif.image);
    EXPECT_EQ(vite.profil, natif.profil);
}

std::string nom_du_cas(const ::testing::TestParamInfo<Cas>& i)
{
    const Cas& c = i.param;
    return std::string(c.type) + "_" + c.disposition + "_" + c.ordre + "_" + c.manque + "_" + c.valeurs + "_" +
           std::to_string(i.index);
}

INSTANTIATE_TEST_SUITE_P(EveryLayout, GeotiffLayouts, ::testing::ValuesIn(kCas), nom_du_cas);

// A GeoTIFF read directly that changes under the run (its date, cut short
// while its strips are read, or another file of the same size and date
// renamed over it) ends it, and no result is written.
TEST(GeotiffChanges, AFileChangedDuringTheRunEndsIt)
{
    struct Changement {
        const char* commande;
    } const kChangements[] = {
        {"touch -d 2001-01-01 big.tif"},
        {"truncate -s 100000 big.tif"},
        {"cp big.tif autre.tif && printf 'xx' | dd of=autre.tif bs=1 seek=50000 conv=notrunc 2>/dev/null && "
         "touch -r big.tif autre.tif && mv autre.tif big.tif"}};
    for (const Changement& c : kChangements) {
        Site s;
        ASSERT_EQ(run_command("cd '" + s.path("") + "' && " + kFabrique + "big Int16 strips1 LE none whole 3000 3100"), 0);
        auto avant = s.snapshot();
        setenv("TAVELKORN_GTIFF_DIRECT", "ONLY", 1);
        Outcome r = s.interrupted("--threads 1 big.tif o.tif --profile p.xls",
                                  std::string("kill -STOP $PID; ") + c.commande + "; kill -CONT $PID");
        unsetenv("TAVELKORN_GTIFF_DIRECT");
        EXPECT_EQ(r.status, 1) << c.commande;
        EXPECT_NE(r.err.find("big.tif: changed during the run; no result was written"), std::string::npos)
            << c.commande << ": " << r.err;
        auto apres = s.snapshot();
        EXPECT_EQ(apres.count("o.tif") + apres.count("p.xls"), 0u) << c.commande;
        EXPECT_EQ(apres.size(), avant.size()) << c.commande;
    }
}

// FillOrder 2 stores the bits of each byte reversed, which libtiff undoes:
// such a file is left to GDAL's reading, whose elevations are those of the
// native DEM of the same cells. FillOrder 1 is read directly.
TEST(GeotiffLayouts, FillOrderTwoIsReadAsLibtiffReadsIt)
{
    const int lignes = 9, colonnes = 8;
    std::vector<int32_t> z(lignes * colonnes);
    for (int k = 0; k < lignes * colonnes; k++)
        z[k] = (k / colonnes * 37 + k % colonnes * (k % colonnes) * 11) % 500 - 100;
    auto inverse = [](unsigned char o) {
        unsigned char r = 0;
        for (int b = 0; b < 8; b++) r |= ((o >> b) & 1) << (7 - b);
        return r;
    };
    struct Ordre {
        int remplissage;
        bool motorola;
    } const kOrdres[] = {{2, false}, {2, true}, {1, false}, {1, true}};
    for (const Ordre& o : kOrdres) {
        SCOPED_TRACE("FillOrder " + std::to_string(o.remplissage) + (o.motorola ? ", big-endian" : ", little-endian"));
        Site s;
        s.dem("n.raw", z);
        s.text("n.txt", std::to_string(lignes) + "\n" + std::to_string(colonnes) + "\n4\n0\n0\n1\n");
        Bytes donnees;
        for (int32_t v : z) {
            unsigned char a = (unsigned char)((uint16_t)v >> 8), b = (unsigned char)v;
            for (unsigned char c : o.motorola ? Bytes{a, b} : Bytes{b, a})
                donnees.push_back(o.remplissage == 2 ? inverse(c) : c);
        }
        uint64_t taille = donnees.size();
        write_file(s.path("f.tif"), tiff_bytes({{256, 3, {colonnes}}, {257, 3, {lignes}}, {258, 3, {16}}, {259, 3, {1}},
                                                {262, 3, {1}}, {266, 3, {(uint64_t)o.remplissage}}, {273, 4, {0}},
                                                {277, 3, {1}}, {278, 3, {lignes}}, {279, 4, {taille}}, {284, 3, {1}},
                                                {339, 3, {2}}},
                                               donnees, false, o.motorola));
        Resultat natif = lance(s, "n.raw", ""), gdal = lance(s, "f.tif", "TAVELKORN_GTIFF_DIRECT=NO"),
                 vite = lance(s, "f.tif", ""), seul = lance(s, "f.tif", "TAVELKORN_GTIFF_DIRECT=ONLY");
        ASSERT_EQ(natif.o.status, 0) << natif.o.err;
        EXPECT_EQ(gdal.image, natif.image);
        EXPECT_EQ(gdal.profil, natif.profil);
        EXPECT_EQ(vite.image, natif.image);
        EXPECT_EQ(vite.profil, natif.profil);
        if (o.remplissage == 2) {
            EXPECT_EQ(seul.o.status, 1);
            EXPECT_NE(seul.o.err.find("f.tif: not read directly: bits filled from the low end (FillOrder 2)"),
                      std::string::npos)
                << seul.o.err;
        } else {
            EXPECT_EQ(seul.image, natif.image) << seul.o.err;
        }
    }
}
