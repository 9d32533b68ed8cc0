// The command line: the same bytes as the dialogue on a native DEM, GDAL's
// formats in and out with their georeferencing, missing cells worked by
// hand, and exit statuses. GDAL's own tools make the inputs and read the
// results back.
#include "e2e.h"
#include "sample_dem.h"

#include <cmath>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

// 5 x 7 cells, -9999 missing at row 2, column 4. Row 2 is 0 10 0 0 - 0 5:
// terms exist at columns 1 and 2 only (3 and 5 touch the missing cell):
// 40 and -10, mean 30 / 2 = 15, deviations 25 and 25; column 4 is missing,
// the other present cells have no term and deviation 0. The window (row 2,
// columns 2 to 4) holds the term of column 2: dmax 25, so 25 maps to 255.
// Every other row is flat.
void ehdr(const Site& s, const std::string& name, bool real, double unit)
{
    Bytes b;
    for (int k = 0; k < 35; k++) {
        double v = k == 15 ? 10 : k == 20 ? 5 : 0;
        if (k == 18) v = real ? NAN : -9999;
        if (real) {
            float f = (float)(v * unit);
            uint32_t u;
            memcpy(&u, &f, 4);
            b.insert(b.end(), {(unsigned char)u, (unsigned char)(u >> 8), (unsigned char)(u >> 16), (unsigned char)(u >> 24)});
        } else {
            uint16_t u = (uint16_t)(int16_t)v;
            b.insert(b.end(), {(unsigned char)u, (unsigned char)(u >> 8)});
        }
    }
    write_file(s.path(name + ".bil"), b);
    s.text(name + ".hdr", std::string("NROWS 5\nNCOLS 7\nBYTEORDER I\n") +
                              (real ? "NBITS 32\nPIXELTYPE FLOAT\n" : "NBITS 16\nPIXELTYPE SIGNEDINT\nNODATA -9999\n") +
                              "ULXMAP 1000.5\nULYMAP 2000.5\nXDIM 1\nYDIM 1\n");
}

const Bytes kMissingRow = {0, 255, 255, 0, 0, 0, 0};

}  // namespace

TEST(CommandLine, NativeDemGivesTheDialoguesBytes)
{
    Sample s;
    ASSERT_EQ(s.run("dem1 jacksboro 1 d 0 255").status, 0);
    ASSERT_EQ(s.run("dem1 jacksboro 1 d 1 255").status, 0);
    for (const char* program : {TAVELKORN, TAVELKORN_PLAIN}) {  // with and without GDAL
        Outcome r = s.cli("-q jacksboro.raw 'with space.raw' --profile p.xls --report r.txt", program);
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(s.cli("jacksboro.raw c.bmp", program).status, 0);
        EXPECT_EQ(s.file("with space.raw"), s.file("d_tavelkorn.raw"));
        EXPECT_EQ(s.file("with space.txt"), s.file("d_tavelkorn.txt"));
        EXPECT_EQ(s.file("c.bmp"), s.file("d_tavelkorn.bmp"));
        EXPECT_EQ(s.file("p.xls"), s.file("d_tavelkorn.xls"));
        // The dialogue's report, then what reproduces the image.
        EXPECT_EQ(s.text("r.txt"), crlf("\n\tTavelkorn\n\n\tStudied DEM : jacksboro.raw \n\n\tDynamic scale : \n\t\tMin. 236  "
                                        "Max. 1076 \n\n\tNormalization value = 255 \n\n\tHistogram following the columns "
                                        "on the line 172 \n\tName of this histogram : r.txt \n\n\tInput : jacksboro.raw, "
                                        "band 1 \n\tImage : with space.raw (Byte) \n\tProfile : p.xls \n\tTerm : classic "
                                        "4z[j] - z[j-1] - z[j+1] \n\tStretch : half, window maximum 1058 \n\tZ-scale : 1 "
                                        "\n\tMissing cells : 0 \n"));
        EXPECT_FALSE(s.exists("c.wld"));  // nothing to place it with
    }
    Outcome plain = s.cli("jacksboro.raw out.tif", TAVELKORN_PLAIN);
    EXPECT_EQ(plain.status, 2);
    EXPECT_NE(plain.err.find("out.tif: this build has no GDAL; OUTPUT must be .raw or .bmp"), std::string::npos);
}

TEST(CommandLine, GeoTiffInAndOutKeepsTheBytesAndThePlace)
{
    Sample s;
    s.geotiff("dem.tif", "-ot Int32 -a_nodata -32768");  // a nodata value no cell has
    ASSERT_EQ(s.cli("jacksboro.raw native.raw").status, 0);
    Outcome r = s.cli("dem.tif rough.tif --co COMPRESS=DEFLATE");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string info = s.gdal("gdalinfo rough.tif");
    for (const char* want : {"Origin = (500000.000000000000000,4000000.000000000000000)",
                             "Pixel Size = (25.000000000000000,-25.000000000000000)", "WGS 84 / UTM zone 16N",
                             "COMPRESSION=DEFLATE", "Type=Byte"})
        EXPECT_NE(info.find(want), std::string::npos) << want << info;
    EXPECT_EQ(info.find("Mask Flags: PER_DATASET"), std::string::npos);  // no cell is missing
    s.gdal("gdal_translate -q -of ENVI rough.tif back.bin");
    EXPECT_EQ(s.file("back.bin"), s.file("native.raw"));

    ASSERT_EQ(s.cli("dem.tif rough.bmp").status, 0);
    EXPECT_EQ(s.text("rough.wld"), crlf("25.0000000000\n0.0000000000\n0.0000000000\n-25.0000000000\n"
                                        "500012.5000000000\n3999987.5000000000\n"));
    EXPECT_NE(s.gdal("gdalinfo rough.bmp").find("Origin = (500000.000000000000000,4000000.000000000000000)"),
              std::string::npos);
}

TEST(CommandLine, MissingCellsWorkedByHand)
{
    Sample s;
    ehdr(s, "m", false, 1);
    Outcome r = s.cli("m.bil m.tif --profile m.xls");
    ASSERT_EQ(r.status, 0) << r.err;
    s.gdal("gdal_translate -q -of ENVI m.tif back_m.bin && gdal_translate -q -of ENVI -b mask m.tif back_mask.bin");
    Bytes image(35, 0), mask(35, 255);
    std::copy(kMissingRow.begin(), kMissingRow.end(), image.begin() + 14);
    mask[18] = 0;
    EXPECT_EQ(s.file("back_m.bin"), image);
    EXPECT_EQ(s.file("back_mask.bin"), mask);
    EXPECT_EQ(s.text("m.xls"), crlf("2\t255.000000\n3\t255.000000\n4\t0.000000\n6\t0.000000\n"));  // 5 is missing
    EXPECT_NE(s.gdal("gdalinfo m.tif").find("Origin = (1000.000000000000000,2001.000000000000000)"), std::string::npos);

    // The same cell missing from a native DEM, named by --nodata: the same bytes.
    std::vector<int32_t> native(35, 0);
    native[15] = 10, native[18] = -9999, native[20] = 5;
    s.dem("n.raw", native);
    s.text("n.txt", "5\n7\n4\n0\n0\n1\n");
    ASSERT_EQ(s.cli("--nodata -9999 n.raw n_out.raw").status, 0);
    EXPECT_EQ(s.file("n_out.raw"), image);
    EXPECT_EQ(s.cli("--nodata 0 m.bil x.tif").status, 2);  // a GDAL band says its own

    // Raw and BMP cannot mark the cell: 0, and a warning.
    Outcome raw = s.cli("m.bil m.raw");
    EXPECT_NE(raw.err.find("warning: m.raw: 1 missing cells cannot be marked in this format"), std::string::npos);
    EXPECT_EQ(s.file("m.raw"), image);

    // The same relief in tenths as Float32 with NaN: rounded with a warning
    // at scale 1, exact at scale 10, where Float32 output is back in tenths.
    ehdr(s, "f", true, 0.1);
    Outcome coarse = s.cli("f.bil f.tif");
    EXPECT_NE(coarse.err.find("f.bil: elevations with fractions are rounded to whole units; --z-scale 100"),
              std::string::npos);
    ASSERT_EQ(s.cli("f.bil f.tif --z-scale 10").status, 0);
    s.gdal("gdal_translate -q -of ENVI f.tif back_f.bin");
    EXPECT_EQ(s.file("back_f.bin"), image);
    ASSERT_EQ(s.cli("f.bil v.tif --z-scale 10 --type Float32").status, 0);
    std::string v = s.gdal("gdallocationinfo -valonly v.tif 1 2 && gdallocationinfo -valonly v.tif 4 2 && "
                           "gdalinfo v.tif");
    EXPECT_EQ(v.substr(0, 7), "2.5\nnan") << v;
    EXPECT_NE(v.find("NoData Value=nan"), std::string::npos);
}

TEST(CommandLine, NativeGridsOfEveryTypeGiveTheBytesOfTheirElevations)
{
    // The sample as each type --raw-type names, a cell NaN in the float
    // grids and one equal to --nodata in all: the int32 grid's bytes with
    // those cells missing; scaled, GDAL's reading of the same float grid.
    Sample s;
    Bytes z = s.file("jacksboro.raw");
    struct Cas {
        const char* type;
        int taille;
        bool flottant, signe;
    } cas[] = {{"Int16", 2, false, true}, {"UInt16", 2, false, false}, {"UInt32", 4, false, false},
               {"Float32", 4, true, true}, {"Float64", 8, true, true}};
    std::vector<int32_t> v(z.size() / 4);
    for (size_t k = 0; k < v.size(); k++) v[k] = (int32_t)le32(z, 4 * k);
    std::vector<int32_t> manque = v;
    manque[1000] = -9999, manque[2000] = -9999;  // the NaN and the nodata cell
    s.dem("ref.raw", manque);
    s.text("ref.txt", "344\n403\n4\n0\n0\n90\n");
    ASSERT_EQ(s.cli("-q --nodata -9999 ref.raw ref.tif").status, 0);
    for (const Cas& c : cas) {
        Bytes b;
        for (size_t k = 0; k < v.size(); k++) {
            double x = k == 2000 ? 5000 : v[k];
            if (k == 1000 && c.flottant) x = NAN;
            else if (k == 1000) x = 5000;  // integers: the nodata marks both
            uint64_t bits = 0;
            if (c.taille == 8) memcpy(&bits, &x, 8);
            else if (c.flottant) {
                float f = (float)x;
                memcpy(&bits, &f, 4);
            } else {
                bits = (uint64_t)(int64_t)x;
            }
            for (int o = 0; o < c.taille; o++) b.push_back((unsigned char)(bits >> (8 * o)));
        }
        std::string nom = std::string("g_") + c.type;
        write_file(s.path(nom + ".raw"), b);
        s.text(nom + ".txt", "344\n403\n" + std::to_string(c.taille) + "\n0\n0\n90\n");
        Outcome r = s.cli("-q --raw-type " + std::string(c.type) + " --nodata 5000 " + nom + ".raw " + nom + ".tif");
        ASSERT_EQ(r.status, 0) << c.type << r.err;
        EXPECT_EQ(s.gdal("gdal_translate -q -of ENVI " + nom + ".tif a.bin && gdal_translate -q -of ENVI ref.tif "
                         "b.bin && cmp a.bin b.bin && echo same"),
                  "same\n")
            << c.type;
    }
    // Float64 scaled: the rule GDAL's reading follows for the same grid.
    s.text("g_Float64.hdr", "ENVI\nsamples = 403\nlines = 344\nbands = 1\ndata type = 5\nbyte order = 0\n");
    ASSERT_EQ(s.cli("-q --raw-type Float64 --z-scale 2.5 g_Float64.raw n.tif").status, 0);
    s.gdal("cp g_Float64.raw g.img && cp g_Float64.hdr g.hdr");
    ASSERT_EQ(s.cli("-q --z-scale 2.5 g.img g.tif").status, 0);
    EXPECT_EQ(s.gdal("gdal_translate -q -of ENVI n.tif a.bin && gdal_translate -q -of ENVI g.tif b.bin && cmp a.bin "
                     "b.bin && echo same"),
              "same\n");
    // A typed grid shorter than its descriptor says is refused; GDAL's inputs have their own type.
    write_file(s.path("court.raw"), Bytes(100, 0));
    s.text("court.txt", "344\n403\n8\n0\n0\n90\n");
    Outcome court = s.cli("-q --raw-type Float64 court.raw c.tif");
    EXPECT_EQ(court.status, 1);
    EXPECT_NE(court.err.find("court.raw: 1109056 bytes expected for 344 x 403 Float64 values, 100 found"),
              std::string::npos)
        << court.err;
    EXPECT_EQ(s.cli("-q --raw-type Float64 g.img x.tif").status, 2);
}

TEST(CommandLine, ExitStatusesAndNoOutputOnFailure)
{
    Sample s;
    struct Case {
        const char* args;
        int status;
        const char* message;
    } cases[] = {
        {"missing.tif out.tif", 1, "missing.tif: cannot be opened: No such file or directory"},
        {"jacksboro.txt out.tif", 1, "jacksboro.txt: cannot be opened: "},
        {"jacksboro.raw", 2, "INPUT and OUTPUT are both needed"},
        {"--bogus jacksboro.raw out.tif", 2, "--bogus"},
        {"--norm x jacksboro.raw out.tif", 2, "--norm"},
        {"--type Float32 jacksboro.raw out.bmp", 2, "--type Float32 needs a GDAL format"},
        {"jacksboro.raw out.xyz1", 2, "out.xyz1: no format known for this extension; name one with --of"},
        {"--profile-row 344 jacksboro.raw out.tif", 1, "--profile-row 344: jacksboro.raw has 344 rows"},
        {"jacksboro.raw jacksboro.bmp", 0, "warning: jacksboro.bmp: 91% of the search window's bytes are 0"},
        {"--stretch p99 jacksboro.raw jacksboro.bmp", 0, ""},
        {"--report jacksboro.txt jacksboro.raw out.tif", 1, "jacksboro.txt would overwrite the DEM or its descriptor"},
        {"--check --stretch p99.5 --scale 1:8:2 --scale-summary", 0, ""},  // options checked, nothing run
        {"--check --stretch p101", 2, "--stretch p101: half, full, or pP"},
        {"--check --scale 2,1,x", 2, "--scale 2,1,x: 'x'"},
        {"--check --z-scale 0 jacksboro.raw out.tif", 2, "--z-scale 0.000000: must be a non-zero number"},
    };
    for (const Case& c : cases) {
        Outcome r = s.cli(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << r.err;
        if (*c.message) EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << r.err;
        else EXPECT_EQ(r.err, "") << c.args;  // a run that succeeds says nothing
        if (c.status != 0) {
            EXPECT_FALSE(s.exists("out.tif")) << c.args;
        }
    }
    // A float DEM whose scaled elevations leave the 32-bit range.
    ehdr(s, "f", true, 1e9);
    Outcome big = s.cli("f.bil out.tif");
    EXPECT_EQ(big.status, 1);
    EXPECT_NE(big.err.find("beyond the 32-bit range; choose a smaller --z-scale"), std::string::npos) << big.err;
    EXPECT_FALSE(s.exists("out.tif"));
}

TEST(CommandLine, GdalHabits)
{
    Sample s;
    s.geotiff("dem.tif", "-ot Int16 -a_nodata 236");  // the lowest cell is missing
    // GDAL's spellings; its warnings shown; an unknown option named, with the
    // nearest one.
    Outcome r = s.cli("-q -of GTiff -co COMPRESS=DEFLATE -co FOO=BAR dem.tif a.tif");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("warning: GDAL: driver GTiff does not support creation option FOO"), std::string::npos) << r.err;
    EXPECT_NE(s.gdal("gdalinfo a.tif").find("COMPRESSION=DEFLATE"), std::string::npos);
    Outcome typo = s.cli("--nrom 200 dem.tif b.tif");
    EXPECT_EQ(typo.status, 2);
    EXPECT_NE(typo.err.find("--nrom: unknown option; did you mean --norm?"), std::string::npos) << typo.err;
    // A driver without masks: nodata 0, said, never a failure.
    Outcome g = s.cli("dem.tif g.gpkg");
    ASSERT_EQ(g.status, 0) << g.err;
    EXPECT_NE(g.err.find("g.gpkg: GPKG stores no mask: the 1 missing cells are nodata 0"), std::string::npos) << g.err;
    EXPECT_NE(s.gdal("gdalinfo g.gpkg").find("NoData Value=0"), std::string::npos);
    // A georeferenced BMP: its world file and its coordinate system.
    ASSERT_EQ(s.cli("dem.tif w.bmp").status, 0);
    EXPECT_NE(s.gdal("gdalsrsinfo -o epsg w.prj").find("EPSG:32616"), std::string::npos) << s.gdal("cat w.prj");
}

TEST(CommandLine, ProgressForOtherProgramsAndTheEndOfOptions)
{
    Sample s;
    // GDAL's progress on standard error, a pipe here; "--" ends the options.
    Outcome r = s.cli("--progress --memory 2M -- jacksboro.raw -dash.raw");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.substr(0, 61), "0...10...20...30...40...50...60...70...80...90...100 - done.\n");
    EXPECT_EQ(r.err.find("\n", 61), r.err.size() - 1);  // and the one word on the dark default image
    EXPECT_TRUE(s.exists("-dash.raw"));
    for (const char* size : {"--memory 1.5G", "--memory 512k", "--memory 7"})
        EXPECT_EQ(s.cli(std::string(size) + " -q jacksboro.raw m.raw").status, 0) << size;
    for (const char* size : {"--memory -1M", "--memory 2X", "--memory G"})
        EXPECT_EQ(s.cli(std::string(size) + " jacksboro.raw m.raw").status, 2) << size;
}
