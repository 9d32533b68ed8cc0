// The command line: tavelkorn [OPTIONS] INPUT OUTPUT. It only fills the
// request; the run is the dialogue's, with the input and output named by
// their paths and the answers given as options, for scripts and for GDAL's
// formats.
#include "commande.h"

#include "../gdal/gdal_programme.h"
#include "../run/echec.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

static int erreur_d_usage(const std::string& texte) { refuse("%s", texte.c_str()); }

static std::string extension(const std::string& chemin)
{
    std::string e = fs::path(chemin).extension().string();
    std::transform(e.begin(), e.end(), e.begin(), [](unsigned char c) { return (char)tolower(c); });
    return e;
}

// The path with another extension (a descriptor or world file beside it).
static std::string a_cote(const std::string& chemin, const char* ext)
{
    return fs::path(chemin).replace_extension(ext).string();
}

// The known option nearest to an unknown one, by edit distance ("" when
// none is near).
static std::string proche(const std::string& mot, const CLI::App& app)
{
    std::string meilleur;
    size_t distance = 3;
    for (const CLI::Option* o : app.get_options())
        for (const std::string& nom : o->get_lnames()) {
            std::string n = "--" + nom;
            std::vector<size_t> d(n.size() + 1);
            for (size_t j = 0; j <= n.size(); j++) d[j] = j;
            for (size_t i = 1; i <= mot.size(); i++) {
                size_t diag = d[0];
                d[0] = i;
                for (size_t j = 1; j <= n.size(); j++) {
                    size_t haut = d[j];
                    d[j] = std::min({d[j] + 1, d[j - 1] + 1, diag + (mot[i - 1] != n[j - 1])});
                    diag = haut;
                }
            }
            if (d[n.size()] < distance) distance = d[n.size()], meilleur = n;
        }
    return meilleur;
}

// A whole number from 1 (a scale, a step), or false.
static bool entier_positif(const std::string& t, int& v)
{
    char* fin = nullptr;
    errno = 0;
    long long n = t.empty() || !isdigit((unsigned char)t[0]) ? 0 : strtoll(t.c_str(), &fin, 10);
    if (!fin || *fin || errno || n < 1 || n > INT_MAX) return false;
    v = (int)n;
    return true;
}

// --scale K, K1,K2,... or A:B[:STEP] (B included), in any mix: the scales
// ascending, duplicates merged; false with the value at fault in fautif.
static bool lit_echelles(const std::string& texte, std::vector<int>& echelles, std::string& fautif)
{
    std::set<int> vues;  // merged as they come, so that repeats never push a later scale past the limit
    std::string morceau;
    std::stringstream flux(texte);
    while (std::getline(flux, morceau, ',')) {
        fautif = morceau;
        size_t a = morceau.find(':'), b = a == std::string::npos ? a : morceau.find(':', a + 1);
        int debut, fin, pas = 1;
        if (!entier_positif(morceau.substr(0, a), debut)) return false;
        fin = debut;
        if (a != std::string::npos && !entier_positif(morceau.substr(a + 1, b - a - 1), fin)) return false;
        if (b != std::string::npos && !entier_positif(morceau.substr(b + 1), pas)) return false;
        if (fin < debut) return false;
        for (long long k = debut; k <= fin && vues.size() <= (size_t)tavelkorn::ECHELLES_MAX; k += pas)
            vues.insert((int)k);
    }
    fautif = texte;
    echelles.assign(vues.begin(), vues.end());
    return !echelles.empty() && echelles.size() <= (size_t)tavelkorn::ECHELLES_MAX && texte.back() != ',';
}

struct Textes {
    std::string type = "Byte", terme = "classic", etirement = "half", memoire, direction = "rows", echelles = "1";
    std::string type_natif = "Int32", nodata;
    bool verifie = false;
};

static void options(CLI::App& app, Requete& r, Textes& t)
{
    app.add_option("INPUT", r.entree, "the DEM");
    app.add_option("OUTPUT", r.image, "the image");
    app.add_option("--norm", r.norm, "normalisation value: the window maximum maps to it (255 at most)")
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--z-scale", r.echelle_z, "multiply elevations by F, rounded to whole numbers, before computing")
        ->type_name("F")
        ->capture_default_str();
    app.add_option("--band", r.bande, "the band of INPUT")->type_name("B")->check(CLI::PositiveNumber)->capture_default_str();
    app.add_option("--type", t.type, "Byte: the stretched image; Float32: |t - mean| / F in elevation units")
        ->check(CLI::IsMember({"Byte", "Float32"}))
        ->capture_default_str();
    app.add_option("--term", t.terme, "classic: 4z[j] - z[j-k] - z[j+k]; curvature: 2z[j] - z[j-k] - z[j+k] (k: the scale, 1 by default)")
        ->check(CLI::IsMember({"classic", "curvature"}))
        ->capture_default_str();
    app.add_option("--direction", t.direction,
                   "rows: the term along each row against the row's mean (the dialogue's); columns: down each "
                   "column against its mean; both: the larger of the two at each cell")
        ->check(CLI::IsMember({"rows", "columns", "both"}))
        ->capture_default_str();
    app.add_option("--scale", t.echelles,
                   "the scale K in cells: the terms take the cells K apart (c z[j] - z[j-K] - z[j+K]); several "
                   "(K1,K2,... or A:B[:STEP]) give one band each")
        ->type_name("LIST")
        ->capture_default_str();
    app.add_flag("--scale-summary", r.resume,
                 "with several scales, two bands: the largest byte over the scales, and the smallest scale that has it");
    app.add_option("--stretch", t.etirement,
                   "half: dmax/2 to 0, dmax to N (bytes wrap); full: d/dmax x N; pP: d/(P-th percentile) x N "
                   "(full and pP saturate at N)")
        ->type_name("S")
        ->capture_default_str();
    app.add_option("--of", r.pilote, "GDAL driver of OUTPUT (default: from its extension)")->type_name("NAME");
    app.add_option("--co", r.options, "GDAL creation option (repeatable)")->type_name("NAME=VALUE")->allow_extra_args(false);
    app.add_option("--profile", r.profil, "write the profile table to FILE")->type_name("FILE");
    app.add_option("--profile-row", r.ligne_profil, "row of the profile (default: the middle row)")
        ->type_name("R")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--report", r.rapport, "write the run report to FILE")->type_name("FILE");
    app.add_option("--threads", r.fils, "threads of the computation (default: TAVELKORN_THREADS, or one per core)")
        ->type_name("N")
        ->check(CLI::Range(1, 256));
    app.add_option("--memory", t.memoire,
                   "memory the decoded DEM may take (e.g. 512M, 2G; 0: none; default: TAVELKORN_MEMORY, or a quarter "
                   "of the machine's); beyond it, a scratch file beside OUTPUT")
        ->type_name("SIZE");
    app.add_option("--nodata", t.nodata, "cells of a native INPUT equal to V are missing (GDAL's bands say their own)")
        ->type_name("V");
    app.add_option("--raw-type", t.type_natif,
                   "the values of a native INPUT, little-endian (the dialogue's: Int32); NaN is missing in a float grid")
        ->check(CLI::IsMember({"Int16", "UInt16", "Int32", "UInt32", "Float32", "Float64"}))
        ->capture_default_str();
    app.add_flag("-q,--quiet", r.silencieux, "no progress line");
    app.add_flag("--progress", r.progres, "progress as GDAL's tools show it (0...10...20), terminal or not");
    app.add_flag("--check", t.verifie,
                 "check the options and end without reading (status 0: they are valid, 2: they are not), "
                 "INPUT and OUTPUT not needed");
    app.set_version_flag("--version", "tavelkorn " TAVELKORN_VERSION);
    app.footer("Exit status: 0 success, 1 failure (the message names the file), 2 usage error. See man tavelkorn.");
}

int ligne_de_commande(int argc, char** argv, Requete& r)
{
    // --help says what this installation reads: the module must load.
    bool aide = false;
    for (int k = 1; k < argc; k++) aide |= strcmp(argv[k], "--help") == 0 || strcmp(argv[k], "-h") == 0;
    bool gdal_ici = avec_gdal && (!aide || gdal_disponible());
    CLI::App app{std::string("Terrain roughness from a digital elevation model.\n\n"
                             "With no argument, a dialogue on the console asks for the folder under images/\n"
                             "(c:\\images\\ on Windows), the DEM, the result name, the format and the\n"
                             "normalisation value. With INPUT and OUTPUT, the same computation runs on ") +
                     (gdal_ici ? "any\nDEM GDAL reads (or NAME.raw with its descriptor NAME.txt) and writes OUTPUT in\n"
                                  "the format of its extension: .raw (with .txt), .bmp (with .wld and .prj when\n"
                                  "INPUT is georeferenced), .tif, or any GDAL driver with --of."
                                : "a\nnative DEM, NAME.raw with its descriptor NAME.txt (this build has no GDAL;\n"
                                  "convert a GeoTIFF with GDAL's tools: gdal_translate -ot Int32 -of ENVI dem.tif\n"
                                  "dem.raw, then write dem.txt: lines, columns, 4, 0, 0, pixel size), and writes\n"
                                  "OUTPUT as .raw (with .txt) or .bmp."),
                 "tavelkorn"};
    Textes t;
    options(app, r, t);
    app.allow_extras();  // an unknown option is named below, never blamed on a path
    std::vector<std::string> mots(argv, argv + argc);
    for (std::string& m : mots)  // GDAL's spellings
        if (m == "-of" || m == "-co") m = "-" + m;
    // An empty value ("--norm ''", "--profile=") is a slip, never 0 or "none".
    for (size_t k = 1; k < mots.size() && mots[k] != "--"; k++) {
        const std::string& m = mots[k];
        size_t egal = m.find('=');
        const CLI::Option* o = m.rfind("--", 0) == 0 ? app.get_option_no_throw(m.substr(0, egal)) : nullptr;
        bool vide = egal != std::string::npos ? egal + 1 == m.size() : k + 1 < mots.size() && mots[k + 1].empty();
        if (o && o->get_type_size() != 0 && vide) return erreur_d_usage(m.substr(0, egal) + ": an empty value");
    }
    std::vector<char*> args;
    for (std::string& m : mots) args.push_back(&m[0]);
    try {
        app.parse((int)args.size(), args.data());
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help, --version
    } catch (const CLI::ParseError& e) {
        return erreur_d_usage(e.what());
    }
    for (const std::string& m : app.remaining()) {
        if (m == "--") continue;  // the end of the options, as in every tool
        std::string p = m[0] == '-' && m.size() > 1 && !isdigit((unsigned char)m[1]) ? proche(m.substr(0, m.find('=')), app) : "";
        if (m[0] == '-' && m.size() > 1 && !isdigit((unsigned char)m[1]))
            return erreur_d_usage(m + ": unknown option" + (p.empty() ? "" : "; did you mean " + p + "?"));
        return erreur_d_usage(m + ": one INPUT and one OUTPUT only");
    }
    if (!tavelkorn::etirement_de(t.etirement, r.etirement, r.rang))
        return erreur_d_usage("--stretch " + t.etirement + ": half, full, or pP with P in (0, 100], such as p99");
    if (app.count("--memory") && !lit_taille(t.memoire, r.memoire))
        return erreur_d_usage("--memory " + t.memoire + ": a size such as 512M or 2G (0: keep nothing in memory)");
    if (r.progres && r.silencieux) return erreur_d_usage("--progress and --quiet: one or the other");
    std::string fautif;
    if (!lit_echelles(t.echelles, r.echelles, fautif))
        return erreur_d_usage("--scale " + t.echelles + ": '" + fautif +
                              "': scales are whole numbers from 1, as K, K1,K2,... or A:B[:STEP], at most " +
                              std::to_string(tavelkorn::ECHELLES_MAX));
    r.terme = t.terme == "curvature" ? tavelkorn::TERME_COURBURE : tavelkorn::TERME_CLASSIQUE;
    r.direction = t.direction == "columns" ? tavelkorn::DIRECTION_COLONNES
                  : t.direction == "both"  ? tavelkorn::DIRECTION_LES_DEUX
                                           : tavelkorn::DIRECTION_LIGNES;
    static const char* const types[] = {"Int16", "UInt16", "Int32", "UInt32", "Float32", "Float64"};
    for (int k = 0; k < 6; k++)
        if (t.type_natif == types[k]) r.type_natif = (tavelkorn::TypeElevation)k;
    bool flottant = r.type_natif == tavelkorn::ELEV_FLOAT32 || r.type_natif == tavelkorn::ELEV_FLOAT64;
    r.avec_nodata = app.count("--nodata") > 0;
    // A whole number, as the dialogue's int32 grid holds, unless the grid holds floats.
    int entier = 0;
    if (r.avec_nodata && !(flottant ? CLI::detail::lexical_cast(t.nodata, r.nodata)
                                    : (CLI::detail::lexical_cast(t.nodata, entier) && (r.nodata = entier, true))))
        return erreur_d_usage("Could not convert: --nodata = " + t.nodata);
    r.rapport_complet = true;
    // What the options say alone, whatever the files.
    auto verifie_options = [&]() {
        if (!std::isfinite(r.echelle_z) || r.echelle_z == 0.0)
            return erreur_d_usage("--z-scale " + std::to_string(r.echelle_z) + ": must be a non-zero number");
        r.reelles = t.type == "Float32";
        if (r.resume && r.echelles.size() < 2)
            return erreur_d_usage("--scale-summary: with several scales (--scale 1,2,4,8)");
        if (r.resume && r.reelles)
            return erreur_d_usage("--scale-summary with --type Float32: deviations of different scales are not "
                                  "comparable before their stretch");
        if (r.resume && r.echelles.back() > 255)
            return erreur_d_usage("--scale-summary: scale " + std::to_string(r.echelles.back()) +
                                  ": the summary's scale band holds bytes, scales up to 255");
        return -1;
    };
    if (t.verifie) return std::max(0, verifie_options());  // --check: valid options, nothing run
    if (r.entree.empty() || r.image.empty()) return erreur_d_usage("INPUT and OUTPUT are both needed");
    if (int statut = verifie_options(); statut >= 0) return statut;

    std::string ext = extension(r.image);
    Avis a;
    if (!r.pilote.empty() && !avec_gdal) return erreur_d_usage("--of " + r.pilote + ": this build has no GDAL; only .raw and .bmp");
    if (!r.pilote.empty()) r.genre = IMAGE_GDAL;
    else if (ext == ".raw") r.genre = IMAGE_RAW, r.descripteur_image = a_cote(r.image, ".txt");
    else if (ext == ".bmp") r.genre = IMAGE_BMP, r.monde = a_cote(r.image, ".wld"), r.projection = a_cote(r.image, ".prj");
    else if (!avec_gdal) return erreur_d_usage(r.image + ": this build has no GDAL; OUTPUT must be .raw or .bmp");
    else if ((exige(pilote_pour(r.image, r.pilote, a), a), r.pilote.empty()))
        return erreur_d_usage(r.image + ": no format known for this extension; name one with --of");
    else r.genre = IMAGE_GDAL;
    if (r.genre != IMAGE_GDAL && (r.echelles.size() > 1 || r.resume))
        return erreur_d_usage("--scale " + t.echelles + ": " + r.image +
                              " holds one band; several scales need a format that holds bands (GeoTIFF, COG, ENVI ...)");

    // INPUT: a native DEM when its descriptor is beside it, else GDAL's.
    std::error_code ec;
    if (extension(r.entree) == ".raw" && fs::exists(a_cote(r.entree, ".txt"), ec)) r.descripteur = a_cote(r.entree, ".txt");
    return -1;
}
