// Trust at the edges: results stay whole when standard streams are closed
// or are logs, at special paths, under archives and permissions; wrong
// values are refused by name; failures with threads leave nothing; the
// results say how they were made.
#include "e2e.h"

#include <climits>
#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

// The sample GeoTIFF, its image, profile and report made the plain way
// (ref.*), and a larger masked DEM of it (big.tif, 2000 x 1000, DEFLATE
// tiles in big_z.tif).
struct Terrain : Site {
    Terrain()
    {
        fs::copy_file(std::string(SAMPLE_DIR) + "/../../jacksboro.tif", path("dem.tif"));
        EXPECT_EQ(sh("$T -q dem.tif ref.raw --profile ref.xls --report ref_info.txt && "
                     "gdal_translate -q -outsize 1000 2000 dem.tif big.tif && "
                     "gdal_translate -q -co COMPRESS=DEFLATE -co TILED=YES -co BLOCKXSIZE=64 -co BLOCKYSIZE=64 big.tif "
                     "big_z.tif"),
                  0);
    }
};

struct Cas {
    const char* quoi;
    const char* commandes;  // bash; must exit 0
};

void verifie(const Site& s, const Cas* cas, size_t n)
{
    for (size_t k = 0; k < n; k++) {
        std::string out;
        EXPECT_EQ(s.sh(cas[k].commandes, &out), 0) << cas[k].quoi << "\n" << out;
        EXPECT_EQ(s.sh("ls -a | grep -c tavelkorn-tmp"), 1) << cas[k].quoi << ": a private folder is left";
    }
}

}  // namespace

TEST(Edges, ResultsStayWholeWhateverTheStreamsPathsAndPermissions)
{
    Terrain t;
    const Cas cas[] = {
        {"closed stdout and stderr", "$T dem.tif o.raw --progress 1>&- 2>&- && cmp o.raw ref.raw"},
        {"a report appended to a log", "echo first > run.log && $T -q dem.tif o.raw --report /dev/stdout >> run.log && "
                                       "[ \"$(head -1 run.log)\" = first ] && grep -q 'Studied DEM : dem.tif' run.log"},
        {"a profile appended to stderr's log", "echo first > e.log && $T -q dem.tif o.raw --profile /dev/stderr 2>> e.log && "
                                               "[ \"$(head -1 e.log)\" = first ] && tail -n +2 e.log | grep -v '^tavelkorn: ' | cmp - ref.xls"},
        {"a longer file on /dev/shm", "d=$(mktemp -d /dev/shm/tk.XXXXXX); head -c 68000 /dev/zero > $d/p.xls; "
                                      "$T -q dem.tif $d/o.raw --profile $d/p.xls && cmp $d/p.xls ref.xls && cmp $d/o.raw ref.raw; "
                                      "r=$?; rm -rf $d; exit $r"},
        {"the archive the DEM is read from", "/usr/bin/python3 -m zipfile -c dem.zip dem.tif && tar cf dem.tar dem.tif && "
                                             "cp dem.zip keep.zip && cp dem.tar keep.tar && "
                                             "! $T -q '/vsizip/{dem.zip}/dem.tif' dem.zip --of GTiff 2> err && "
                                             "grep -q 'dem.zip would overwrite a file the DEM is read from' err && "
                                             "! $T -q '/vsitar/{dem.tar}/dem.tif' dem.tar --of GTiff && "
                                             "cmp dem.zip keep.zip && cmp dem.tar keep.tar && "
                                             "$T -q '/vsizip/{dem.zip}/dem.tif' z.raw && cmp z.raw ref.raw"},
        {"permissions kept", "touch p6.raw p4.raw && chmod 600 p6.raw && chmod 444 p4.raw && $T -q dem.tif p6.raw && "
                             "$T -q dem.tif p4.raw && [ $(stat -c %a p6.raw) = 600 ] && [ $(stat -c %a p4.raw) = 444 ] && "
                             "cmp p4.raw ref.raw"},
        {"a reader that went away", "$T dem.tif o.tif --progress 2>&1 | head -c0; [ ${PIPESTATUS[0]} = 0 ] && [ -s o.tif ]"},
        {"any number of threads writes the same masked GeoTIFF",
         "$T -q big.tif a.tif --threads 1 && $T -q big.tif b.tif --threads 3 && cmp a.tif b.tif"},
        {"a subdataset's name, and its file protected", "$T -q GTIFF_DIR:1:dem.tif s.raw && cmp s.raw ref.raw && "
                                                         "! $T -q GTIFF_DIR:1:dem.tif dem.tif 2> err && grep -q 'would overwrite' err"},
        {"--memory 0 keeps nothing in memory, same bytes", "$T -q big_z.tif m0.tif --memory 0 && $T -q big.tif m1.tif && "
                                                           "gdal_translate -q -of ENVI m0.tif m0.bin && "
                                                           "gdal_translate -q -of ENVI m1.tif m1.bin && cmp m0.bin m1.bin"},
        {"a negative z-scale: the deviations of the flipped DEM",
         "$T -q dem.tif n.tif --type Float32 --z-scale -1 && $T -q dem.tif p.tif --type Float32 && "
         "gdal_translate -q -of ENVI n.tif n.bin && gdal_translate -q -of ENVI p.tif p.bin && cmp n.bin p.bin && "
         "$T -q dem.tif n.raw --z-scale -1 && cmp n.raw ref.raw"},
        {"how the image was made, in gdalinfo", "$T -q dem.tif g.tif --stretch p99 --term curvature && gdalinfo g.tif > i && "
                                                "grep -q TAVELKORN_STRETCH=p99 i && grep -q TAVELKORN_TERM=curvature i && "
                                                "grep -q TAVELKORN_PERCENTILE=99 i && grep -q TAVELKORN_REFERENCE= i && "
                                                "grep -q TAVELKORN_DMAX= i && grep -q TAVELKORN_VERSION= i"},
        {"a signed 8-bit band reads as the same DEM in Int16",
         "/usr/bin/python3 -c \"from osgeo import gdal; import numpy as n; a = n.arange(600).reshape(30, 20) * 7 % 9 - 4; "
         "g = gdal.GetDriverByName('GTiff'); b = g.Create('i16.tif', 20, 30, 1, gdal.GDT_Int16); "
         "b.GetRasterBand(1).WriteArray(a); b = None; b = g.Create('s8.tif', 20, 30, 1, gdal.GDT_Byte, "
         "['PIXELTYPE=SIGNEDBYTE']); b.GetRasterBand(1).WriteArray(a % 256); b = None\" && "
         "$T -q i16.tif a.raw --report ra.txt && $T -q s8.tif b.raw --report rb.txt && cmp a.raw b.raw && "
         "grep -q 'Min. -4  Max. 4' rb.txt"},
        {"a driver's header names the final file", "$T -q dem.tif e.envi --of ENVI && grep -q 'description = {' e.hdr && "
                                                   "! grep -q tavelkorn-tmp e.hdr e.envi.aux.xml"},
        {"a failing keeper with threads", "! bash -c 'ulimit -f 1024; $T -q big_z.tif k.tif --memory 1 --threads 2 "
                                          "--stretch p99' 2> err && grep -q 'could not be kept' err && [ ! -e k.tif ]"},
        {"a nearly empty sparse GeoTIFF, its blocks larger than the file, reads as GDAL gives it",
         "/usr/bin/python3 -c \"from osgeo import gdal; gdal.GetDriverByName('GTiff').Create('sp.tif', 300, 200, 1, "
         "gdal.GDT_Float64, ['TILED=YES', 'BLOCKXSIZE=256', 'BLOCKYSIZE=256', 'SPARSE_OK=TRUE'])\" && "
         "[ $(stat -c %s sp.tif) -lt 524288 ] && $T -q sp.tif sp.raw && cmp sp.raw <(head -c 60000 /dev/zero)"},
        {"a damaged GeoTIFF with threads", "head -c $(( $(stat -c %s big_z.tif) / 2 )) big_z.tif > dam.tif && "
                                           "for k in 1 2 3 4 5; do $T -q dam.tif d.tif --threads 2 --stretch p99 2> err; "
                                           "[ $? = 1 ] || exit 1; done; [ ! -e d.tif ] && grep -q 'dam.tif' err"},
    };
    verifie(t, cas, sizeof cas / sizeof cas[0]);
}

TEST(Edges, WrongValuesAreRefusedByName)
{
    Terrain t;
    t.text("x.tif", "not a raster");
    fs::copy_file(t.path("ref.raw"), t.path("lone.raw"));
    struct Refus {
        const char* args;
        int status;
        const char* message;
    } cas[] = {
        {"--norm '' dem.tif o.tif", 2, "--norm: an empty value"},
        {"--nodata= dem.tif o.tif", 2, "--nodata: an empty value"},
        {"--profile '' dem.tif o.tif", 2, "--profile: an empty value"},
        {"--memory '' dem.tif o.tif", 2, "--memory: an empty value"},
        {"--of '' dem.tif o.tif", 2, "--of: an empty value"},
        {"--memory 0.4 dem.tif o.tif", 2, "--memory 0.4: a size such as 512M or 2G"},
        {"--progress -q dem.tif o.tif", 2, "--progress and --quiet: one or the other"},
        {"x.tif o.tif", 1, "x.tif: cannot be opened: not a raster GDAL reads"},
        {"lone.raw o.tif", 1, "lone.raw: cannot be opened: no descriptor lone.txt beside it for a native DEM"},
    };
    for (const Refus& c : cas) {
        Outcome r = t.cli(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << r.err;
        EXPECT_FALSE(t.exists("o.tif")) << c.args;
    }
}

TEST(Edges, ProfilesSaturateAsTheImageAndTheDefaultSaysWhenItIsDark)
{
    // Row 2 of 5 x 7: 0 INT_MAX 0 0 0 0 0. Column 1's deviation
    // (7301444400) is outside the window, whose maximum is 3435973835: the
    // half stretch gives it 828.75, a linear one saturates at the norm.
    Terrain t;
    std::vector<int32_t> z(35, 0);
    z[15] = INT_MAX;
    t.dem("d.raw", z);
    t.text("d.txt", "5\n7\n4\n0\n0\n1\n");
    ASSERT_EQ(t.cli("-q d.raw o.raw --profile half.xls").status, 0);
    ASSERT_EQ(t.cli("-q d.raw o.raw --stretch full --norm 200 --profile full.xls").status, 0);
    EXPECT_EQ(t.text("half.xls").substr(0, 13), "2\t828.750000\r");
    EXPECT_EQ(t.text("full.xls").substr(0, 13), "2\t200.000000\r");
    // The sample under the default stretch is nearly black: said once, on
    // the command line only.
    Outcome sombre = t.cli("dem.tif o.tif"), p99 = t.cli("dem.tif o2.tif --term curvature --stretch p99");
    EXPECT_NE(sombre.err.find("o.tif: 95% of the search window's bytes are 0"), std::string::npos) << sombre.err;
    EXPECT_NE(sombre.err.find("--term curvature --stretch p99 shows the whole relief"), std::string::npos);
    EXPECT_EQ(p99.err, "");
}

namespace {

// An Int16 DEM of w x h cells, one block at the data's first byte.
std::vector<TiffEntry> int16(uint64_t w, uint64_t h)
{
    return {{256, 4, {w}}, {257, 4, {h}}, {258, 3, {16}}, {259, 3, {1}}, {262, 3, {1}},
            {277, 3, {1}}, {284, 3, {1}}, {339, 3, {2}}};
}

Bytes strip(uint64_t w, uint64_t h, uint64_t rows, uint64_t bytes, size_t data, uint64_t offset = 0,
            bool bigtiff = false)
{
    std::vector<TiffEntry> e = int16(w, h);
    e.push_back({278, 4, {rows}});
    e.push_back({279, 4, {bytes}});
    e.push_back({273, (uint16_t)(bigtiff ? 16 : 4), {offset}});
    return tiff_bytes(e, Bytes(data, 7), bigtiff);
}

Bytes tile(uint64_t w, uint64_t h, uint64_t tw, uint64_t th, uint64_t bytes, size_t data)
{
    std::vector<TiffEntry> e = int16(w, h);
    for (TiffEntry t : std::vector<TiffEntry>{{322, 4, {tw}}, {323, 4, {th}}, {325, 4, {bytes}}, {324, 4, {0}}})
        e.push_back(t);
    return tiff_bytes(e, Bytes(data, 7));
}

// 9 x 7 cells in strips of 3 rows, the last one's 54 bytes running 33 bytes
// past the file's end (its one row is there).
Bytes last_strip_past_the_end()
{
    std::vector<TiffEntry> e = int16(9, 7);
    for (TiffEntry t : std::vector<TiffEntry>{{278, 4, {3}}, {279, 4, {54, 54, 54}}, {273, 4, {0, 54, 108}}})
        e.push_back(t);
    return tiff_bytes(e, Bytes(129, 7));
}

// A BigTIFF strip whose offset is 16 bytes short of 2^64: its end wraps
// around to the file's start.
Bytes strip_at_the_end_of_64_bits()
{
    uint64_t start = strip(8, 7, 7, 112, 0, 0, true).size();
    return strip(8, 7, 7, 112, 112, UINT64_MAX - 15 - start, true);
}

}  // namespace

// A GeoTIFF of a few hundred bytes whose header claims anything: read
// directly, through GDAL, or the first then the second, each run ends with
// a message naming the file and status 1; nothing is written and no private
// folder is left.
TEST(Edges, CraftedGeoTiffsEndWithAMessage)
{
    struct Fichier {
        const char* quoi;
        Bytes octets;
        const char *direct, *gdal;  // the reasons of TAVELKORN_GTIFF_DIRECT=ONLY and of GDAL's reading
    } const cas[] = {
        {"3 x 2147483647 cells in one strip", strip(3, 2147483647, 2147483647, 4294967295, 64),
         "not read directly: more cells than its 210 bytes hold",
         "cannot be read: blocks of 3 x 89478485 Int16 values, more than its 210 bytes hold"},
        {"tiles of 16 x 2147483632", tile(16, 2147483632, 16, 2147483632, 4294967295, 64),
         "not read directly: more cells than its 222 bytes hold",
         "cannot be read: blocks of 16 x 2147483632 Int16 values, more than its 222 bytes hold"},
        {"tiles wider than the file", tile(4, 4, 1 << 30, 16, 4294967295, 64),
         "not read directly: blocks wider than the file",
         "cannot be read: blocks of 1073741824 x 16 Int16 values, more than its 222 bytes hold"},
        {"a tile cut short by the file's end (libtiff reads a tile whole)", tile(16, 8, 16, 16, 512, 300),
         "not read directly: a block of 512 bytes", "cannot be read: "},
        {"the last strip's bytes past the file's end", last_strip_past_the_end(),
         "not read directly: a block of 54 bytes", "cannot be read: "},
        {"a strip past the file's end", strip(8, 7, 7, 112, 111), "not read directly: a block of 112 bytes",
         "cannot be read: "},
        {"a strip at 2^64 - 16", strip_at_the_end_of_64_bits(), "not read directly: a block of 112 bytes",
         "cannot be read: "},
    };
    for (const Fichier& f : cas) {
        Site s;
        write_file(s.path("x.tif"), f.octets);
        auto avant = s.snapshot();
        for (const char* mode : {"ONLY", "YES", "NO"}) {
            SCOPED_TRACE(std::string(f.quoi) + ", TAVELKORN_GTIFF_DIRECT=" + mode);
            // GDAL decodes on two threads whatever the machine's cores (it then reads a block's bytes whole).
            Outcome r = s.cli("-q x.tif o.tif --profile o.xls", TAVELKORN,
                              std::string("GDAL_NUM_THREADS=2 TAVELKORN_GTIFF_DIRECT=") + mode);
            EXPECT_EQ(r.status, 1) << r.err;
            std::string raison = std::string("x.tif: ") + (std::string(mode) == "ONLY" ? f.direct : f.gdal);
            EXPECT_NE(r.err.find(raison), std::string::npos) << r.err;
            EXPECT_EQ(s.snapshot(), avant);
            EXPECT_EQ(s.sh("ls -a | grep -c tavelkorn-tmp"), 1) << "a private folder is left";
        }
    }
}
