// The command line: tavelkorn [OPTIONS] INPUT OUTPUT. The same computation
// as the dialogue, with the input and output named by their paths and the
// answers given as options, for scripts and for GDAL's formats.
#include "tavelkorn.h"

#include "image.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

static const char* const USAGE = "usage: tavelkorn [OPTIONS] INPUT OUTPUT  (tavelkorn --help for the options)";

static int erreur_d_usage(const std::string& texte)
{
    fprintf(stderr, "tavelkorn: %s\n%s\n", texte.c_str(), USAGE);
    return 2;
}

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

int ligne_de_commande(int argc, char** argv)
{
    CLI::App app{"Terrain roughness from a digital elevation model.\n\n"
                 "With no argument, a dialogue on the console asks for the folder under images/\n"
                 "(c:\\images\\ on Windows), the DEM, the result name, the format and the\n"
                 "normalisation value. With INPUT and OUTPUT, the same computation runs on any\n"
                 "DEM GDAL reads (or NAME.raw with its descriptor NAME.txt) and writes OUTPUT in\n"
                 "the format of its extension: .raw (with .txt), .bmp (with a .wld world file when\n"
                 "INPUT is georeferenced), .tif, or any GDAL driver with --of.",
                 "tavelkorn"};
    std::string entree, sortie, type = "Byte", of, profil, rapport_;
    int norm = 255, bande = 1, ligne = -1;
    double z = 1.0;
    bool quiet = false;
    std::vector<std::string> co;
    // The paths are checked after parsing, so that an unknown option is
    // named before a missing path.
    app.add_option("INPUT", entree, "the DEM");
    app.add_option("OUTPUT", sortie, "the image");
    app.add_option("--norm", norm, "normalisation value: the window maximum maps to it (255 at most)")
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--z-scale", z, "multiply elevations by F, rounded to whole numbers, before computing")
        ->type_name("F")
        ->capture_default_str();
    app.add_option("--band", bande, "the band of INPUT")->type_name("B")->check(CLI::PositiveNumber)->capture_default_str();
    app.add_option("--type", type, "Byte: the stretched image; Float32: |t - mean| / F in elevation units")
        ->check(CLI::IsMember({"Byte", "Float32"}))
        ->capture_default_str();
    app.add_option("--of", of, "GDAL driver of OUTPUT (default: from its extension)")->type_name("NAME");
    app.add_option("--co", co, "GDAL creation option (repeatable)")->type_name("NAME=VALUE")->allow_extra_args(false);
    app.add_option("--profile", profil, "write the profile table to FILE")->type_name("FILE");
    app.add_option("--profile-row", ligne, "row of the profile (default: the middle row)")
        ->type_name("R")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--report", rapport_, "write the run report to FILE")->type_name("FILE");
    app.add_option("--threads", nb_fils, "threads of the computation (default: TAVELKORN_THREADS, or one per core)")
        ->type_name("N")
        ->check(CLI::Range(1, 256));
    app.add_flag("-q,--quiet", quiet, "no progress line");
    app.set_version_flag("--version", "tavelkorn " TAVELKORN_VERSION);
    app.footer("Exit status: 0 success, 1 failure (the message names the file), 2 usage error. See man tavelkorn.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help, --version
    } catch (const CLI::ParseError& e) {
        return erreur_d_usage(e.what());
    }
    if (entree.empty() || sortie.empty()) return erreur_d_usage("INPUT and OUTPUT are both needed");
    if (!std::isfinite(z) || z == 0.0) return erreur_d_usage("--z-scale " + std::to_string(z) + ": must be a non-zero number");

    silencieux = quiet;
    echelle_z = z;
    valeurs_reelles = type == "Float32";
    nomim2 = sortie;
    nomim3 = profil;
    nomim4 = rapport_;
    options_creation = co;
    std::string ext = extension(sortie);
    if (!of.empty()) {
        if (!avec_gdal) return erreur_d_usage("--of " + of + ": this build has no GDAL; only .raw and .bmp");
        if (!pilote_cree(of)) return erreur_d_usage("--of " + of + ": not a GDAL driver that can create files");
        format = 2;
        pilote = of;
    } else if (ext == ".raw") {
        format = 0;
    } else if (ext == ".bmp") {
        format = 1;
    } else {
        if (!avec_gdal) return erreur_d_usage(sortie + ": this build has no GDAL; OUTPUT must be .raw or .bmp");
        pilote = pilote_pour(sortie);
        if (pilote.empty()) return erreur_d_usage(sortie + ": no format known for this extension; name one with --of");
        format = 2;
    }
    if (valeurs_reelles && format != 2)
        return erreur_d_usage("--type Float32 needs a GDAL format such as .tif; .raw and .bmp hold bytes");

    // INPUT: a native DEM when its descriptor is beside it, else GDAL's.
    nomim1 = entree;
    std::error_code ec;
    if (entree.compare(0, 4, "/vsi") != 0 && !fs::exists(fs::status(entree, ec)))
        echec("%s: cannot be opened: %s", entree.c_str(), strerror(ENOENT));
    if (extension(entree) == ".raw" && fs::exists(a_cote(entree, ".txt"), ec)) {
        if (bande != 1) echec("%s: a native DEM has one band, not %d", entree.c_str(), bande);
        nomdescr1 = a_cote(entree, ".txt");
        prepare_dem_natif();
    } else {
        nomdescr1 = entree;
        ouvre_dem_gdal(entree, bande);
        alloue_blocs(entree.c_str());
    }
    if (ligne >= nb_lig) echec("--profile-row %d: %s has %d rows (0 to %d)", ligne, entree.c_str(), nb_lig, nb_lig - 1);
    ligne_profil = ligne >= 0 ? ligne : nb_lig / 2;

    std::vector<std::string> sorties = {sortie, nomim3, nomim4};
    if (format == 0) sorties.push_back(a_cote(sortie, ".txt"));
    if (format == 1) sorties.push_back(a_cote(sortie, ".wld"));
    for (const std::string& s : sorties)
        if (!s.empty() && touche_l_entree(s)) echec("%s would overwrite the DEM or its descriptor", s.c_str());
    if (format == 1 && TailleBMP(nb_col, nb_lig, 0) < 0)
        echec("%s: %d x %d pixels do not fit in a BMP file (4 GiB at most); write .tif or .raw", sortie.c_str(),
              nb_lig, nb_col);
    if (format == 0) {
        f2 = ouvre_resultat(sortie);
        ecrit_descripteur(a_cote(sortie, ".txt"), 1, 0, 255);
    } else if (format == 1) {
        f2 = ouvre_resultat(sortie);
    }

    int mind, maxd;
    lecture(mind, maxd);
    if (dem_a_fractions())
        avertit("%s: elevations with fractions are rounded to whole units; --z-scale 100 keeps centimetres",
                entree.c_str());
    if (nb_manquants > 0 && format != 2)
        avertit("%s: %llu missing cells cannot be marked in this format; they are 0", sortie.c_str(),
                (unsigned long long)nb_manquants);
    if (format == 1) ecrit_monde(a_cote(sortie, ".wld"));
    if (norm > 255) norm = 255;
    rapport(mind, maxd, norm);
    calcule_et_ecrit(norm);
    valide_resultats();
    return 0;
}
