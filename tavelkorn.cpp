// Tavelkorn: terrain roughness from a digital elevation model.
//
// The operator names a DEM (a headerless grid of int32 elevations, NAME.raw,
// described by NAME.txt); for every row the program takes the curvature term
// 4 z[j] - z[j-1] - z[j+1], subtracts the row's mean term and keeps the
// absolute deviation, then stretches the deviations so that half the largest
// one in the search window maps to 0 and the largest to the normalisation
// value. Results: the byte image (raw raster with its descriptor, or an 8-bit
// grayscale BMP), the profile of the middle row, and a run report.
#include "NRUTIL.h"
#include "image.h"
#include "plateforme.h"

#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

// The run's state, set by ouverture and read by the later steps.
int nb_lig, nb_col, pix_size, format;
bool descriptif_OK;
std::string nomim1;     // DEM raw file
std::string nomdescr1;  // DEM descriptor
std::string nomim2;     // result image (the stem until the format is known)
std::string nomim3;     // profile table
std::string nomim4;     // run report
FILE *f1, *f2, *f3, *f4;
int** itab_in;
unsigned char** tab_out;
double** tab_out_prov;
double dmax, dmin;  // window maximum and the bottom of the stretch

// ---------------------------------------------------------------- messages

static void message(const char* prefixe, const char* fmt, va_list args)
{
    fflush(stdout);  // keep the dialogue and the messages in order on a terminal
    fprintf(stderr, "tavelkorn: %s", prefixe);
    vfprintf(stderr, fmt, args);
    fputc('\n', stderr);
}

// A refusal of bad input: the operator is asked again.
static void signale(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    message("", fmt, args);
    va_end(args);
}

static void avertit(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    message("warning: ", fmt, args);
    va_end(args);
}

[[noreturn]] static void echec(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    message("", fmt, args);
    va_end(args);
    exit(1);
}

// ---------------------------------------------------------------- answers

[[noreturn]] static void fin_de_saisie(const char* quoi)
{
    echec("end of input at the %s prompt: the run stops", quoi);
}

static std::string demande_mot(const char* invite, const char* quoi)
{
    for (;;) {
        printf("%s", invite);
        std::string mot;
        Reponse r = lit_mot(mot);
        if (r == REPONSE_OK) return mot;
        if (r == REPONSE_FIN) fin_de_saisie(quoi);
        signale("the %s holds a NUL byte: type it again", quoi);
    }
}

// Asks until a whole number no smaller than minimum comes.
static int demande_entier(const std::string& invite, const char* quoi, int minimum)
{
    for (;;) {
        printf("%s", invite.c_str());
        int v = 0;
        std::string rebut;
        Reponse r = lit_entier(v, rebut);
        if (r == REPONSE_FIN) fin_de_saisie(quoi);
        if (r == REPONSE_INVALIDE) signale("'%s': the %s must be a whole number", rebut.c_str(), quoi);
        else if (v < minimum) signale("%d: the %s must be at least %d", v, quoi, minimum);
        else return v;
    }
}

// ---------------------------------------------------------------- files

// Closes f; false when anything written to it was lost.
static bool ferme(FILE*& f)
{
    bool ok = !ferror(f);
    if (fclose(f) != 0) ok = false;
    f = nullptr;
    return ok;
}

// Closes a result file, ending the run if any of it could not be written.
static void ferme_resultat(FILE*& f, const std::string& chemin)
{
    if (!ferme(f)) echec("%s: could not be written completely", chemin.c_str());
}

static FILE* ouvre_resultat(const std::string& chemin, bool texte)
{
    FILE* f = texte ? cree_texte(chemin) : fopen(chemin.c_str(), "wb");
    if (!f) echec("%s: cannot be created", chemin.c_str());
    return f;
}

// The six fields: lines, columns, bytes per value, minimum, maximum, pixel size.
static void ecrit_descripteur(const std::string& chemin, int octets, int mini, int maxi)
{
    FILE* f = ouvre_resultat(chemin, true);
    ecrit_texte(f, "%d\n%d\n%d\n%d\n%d\n%d\n", nb_lig, nb_col, octets, mini, maxi, pix_size);
    if (!ferme(f)) {
        remove(chemin.c_str());  // a descriptor is complete or absent
        echec("%s: could not be written completely; it was removed", chemin.c_str());
    }
}

static void lit_dimensions(FILE* fd)
{
    int champs[6] = {0, 0, 0, 0, 0, 0};
    bool hors_limites;
    int lus = lit_descripteur(fd, champs, 6, hors_limites);
    fclose(fd);
    const char* nom = nomdescr1.c_str();
    if (hors_limites) echec("%s: field %d is beyond the range of a 32-bit integer", nom, lus + 1);
    nb_lig = champs[0];
    nb_col = champs[1];
    pix_size = champs[5];
    if (lus < 2 || nb_lig < 1 || nb_col < 1)
        echec("%s: %d lines and %d columns: a DEM needs at least 1 of each", nom, nb_lig, nb_col);
    if (lus >= 3 && champs[2] != 4)
        avertit("%s: %d bytes per value; elevations are read as 4-byte integers", nom, champs[2]);
}

// A result must never be the DEM or its descriptor: writing it would destroy
// the input. Links are caught by comparing the files themselves.
static bool touche_l_entree(const std::string& chemin)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const std::string& entree : {nomim1, nomdescr1})
        if (chemin == entree || fs::equivalent(chemin, entree, ec)) return true;
    return false;
}

static bool nom_de_resultat_sur(const std::string& souche)
{
    for (const char* fin : {"_tavelkorn.xls", "_tavelkorn_info.txt", "_tavelkorn.raw", "_tavelkorn.txt", "_tavelkorn.bmp"})
        if (touche_l_entree(souche + fin)) {
            signale("%s%s would overwrite the DEM or its descriptor: choose another name", souche.c_str(), fin);
            return false;
        }
    return true;
}

static void alloue_grilles()
{
    // Decide before allocating: an overcommitted allocation can succeed and
    // the process be killed when the pages are touched.
    uint64_t pixels = (uint64_t)nb_lig * (uint64_t)nb_col;  // below 2^62
    uint64_t octets = sizeof(int) + sizeof(double) + 1;
    uint64_t besoin = pixels > UINT64_MAX / octets / 2 ? UINT64_MAX : pixels * octets + (uint64_t)nb_lig * 3 * sizeof(void*);
    uint64_t dispo = memoire_disponible();
    if (besoin > dispo)
        echec("%s: the grids of %d x %d need %llu MiB of memory; %llu MiB are available", nomim1.c_str(), nb_lig,
              nb_col, (unsigned long long)(besoin >> 20), (unsigned long long)(dispo >> 20));
    itab_in = imatrice(nb_col, nb_lig);
    tab_out = ucmatrice(nb_col, nb_lig);
    tab_out_prov = dmatrice(nb_col, nb_lig);
    if (!itab_in || !tab_out || !tab_out_prov)
        echec("%s: the grids of %d x %d (%llu MiB) could not be allocated", nomim1.c_str(), nb_lig, nb_col,
              (unsigned long long)(besoin >> 20));
}

// ---------------------------------------------------------------- opening

static void banniere()
{
    const std::string etoiles(62, '*'), blanc(60, ' ');
    printf("\n\n\t%s", etoiles.c_str());
    for (int k = 0; k < 10; k++)
        printf("\n\t*%s*", k == 1 ? "                        Tavelkorn                           " : blanc.c_str());
    printf("\n\t%s", etoiles.c_str());
}

// The DEM's descriptor is read now; a missing one is asked for and written
// whole once the elevation range is known, so that a run that stops early
// never leaves half a descriptor behind.
static void dimensions()
{
    descriptif_OK = true;
    FILE* fd = fopen(nomdescr1.c_str(), "rb");
    if (fd) {
        lit_dimensions(fd);
        return;
    }
    printf("\n\tNo File %s \n\n", nomdescr1.c_str());
    nb_lig = demande_entier("\n\tNumber of lines   ? ", "number of lines", 1);
    nb_col = demande_entier("\n\tNumber of columns ? ", "number of columns", 1);
    pix_size = demande_entier("\n\tPixel size ? ", "pixel size", INT_MIN);
    descriptif_OK = false;
}

static std::string nom_des_resultats(const std::string& nomfic)
{
    printf("\n\tResulting File : ");
    std::string menu = "\n\t\t0 -----> Use of the generic name " + nomfic +
                       " ? \n\t\t1 -----> Creation of a new File ? \n\t\t";
    int rep;
    do rep = demande_entier(menu, "result name menu", INT_MIN);
    while (rep != 0 && rep != 1);
    if (rep == 0) return nomfic;
    return demande_mot("\n\tName of the File to be created (without any extension) ? ", "result name");
}

static void ouverture()
{
    banniere();
    nomim1 = REPERTOIRE_BASE;
    nomim1 += demande_mot("\n\n\tName of the File Folder located in the Directory C:\\images : ", "folder name");
    nomim1 += SEPARATEUR;
    nomim2 = nomim1;
    nomim1 += demande_mot("\n\tName of the DEM (integer 4) (whitout extension .raw) ? ", "DEM name");
    std::string nomfic = nomim1.substr(nomim2.size());
    nomdescr1 = nomim1 + ".txt";
    nomim1 += ".raw";

    // Only a regular file (or a link to one) is a DEM: opening a FIFO would
    // wait for a writer, and a directory reads as an error.
    std::error_code ec;
    auto type = std::filesystem::status(nomim1, ec).type();
    if (type != std::filesystem::file_type::regular && type != std::filesystem::file_type::not_found && !ec)
        echec("%s: not a regular file", nomim1.c_str());
    f1 = fopen(nomim1.c_str(), "rb");
    if (!f1) {
        printf("\n\tFile %s unknown\n", nomim1.c_str());
        attend_touche();
        exit(0);
    }
    dimensions();
    printf("\n\n\tTHE DIGITAL ELEVATION MODEL HAS : ");
    printf("\n\t            %d LINES", nb_lig);
    printf("\n\t        AND %d COLUMNS\n", nb_col);
    alloue_grilles();

    std::string souche;
    do souche = nomim2 + nom_des_resultats(nomfic);
    while (!nom_de_resultat_sur(souche));
    nomim2 = souche;
    nomim3 = souche + "_tavelkorn.xls";
    nomim4 = souche + "_tavelkorn_info.txt";
    f3 = ouvre_resultat(nomim3, true);
    f4 = ouvre_resultat(nomim4, true);

    printf("\n\tType of Format : ");
    do format = demande_entier("\n\t\t0 ====> raster\n\t\t1 ====> bitmap\n\t\t", "format menu", INT_MIN);
    while (format > 1);

    if (format == 0) {
        nomim2 += "_tavelkorn.raw";
        f2 = ouvre_resultat(nomim2, false);
        ecrit_descripteur(souche + "_tavelkorn.txt", 1, 0, 255);
    } else if (format == 1) {
        nomim2 += "_tavelkorn.bmp";
        // An 8-bit BMP stores rows padded to 4 bytes after 1078 bytes of
        // header and palette; a 32-bit size field must hold the total.
        if (1078 + (uint64_t)nb_lig * (((uint64_t)nb_col + 3) / 4 * 4) > UINT32_MAX)
            echec("%s: %d x %d pixels do not fit in a BMP file (4 GiB at most); choose the raster format",
                  nomim2.c_str(), nb_lig, nb_col);
    }
}

// ---------------------------------------------------------------- loading

// Reads the DEM row by row into itab_in; a short file leaves the missing
// elevations at 0 (a partly read value keeps the bytes that came).
static void lecture()
{
    printf("\n\tLecture \n");
    uint64_t lus = 0;
    for (int i = 0; i < nb_lig; i++) {
        size_t n = fread(itab_in[i], 1, (size_t)nb_col * 4, f1);
        lus += n;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        for (int j = 0; j < nb_col; j++) itab_in[i][j] = (int)__builtin_bswap32((uint32_t)itab_in[i][j]);
#endif
        if (n < (size_t)nb_col * 4) break;
    }
    bool erreur = ferror(f1);
    fclose(f1);
    f1 = nullptr;
    if (erreur) echec("%s: cannot be read", nomim1.c_str());
    uint64_t attendus = (uint64_t)nb_lig * (uint64_t)nb_col * 4;
    if (lus < attendus)
        avertit("%s: %llu bytes expected for %d x %d elevations, %llu found; the missing elevations are 0",
                nomim1.c_str(), (unsigned long long)attendus, nb_lig, nb_col, (unsigned long long)lus);
}

// The search starts from 10000000 and 0, not from the int extremes: an
// all-negative DEM reports a maximum of 0.
static void etendue(int& mind, int& maxd)
{
    mind = 10000000;
    maxd = 0;
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++) {
            int z = itab_in[i][j];
            if (z <= mind) mind = z;
            if (z >= maxd) maxd = z;
        }
}

static void rapport(int mind, int maxd, int norm)
{
    ecrit_texte(f4, "\n\tTavelkorn\n");
    ecrit_texte(f4, "\n\tStudied DEM : %s ", nomim1.c_str());
    ecrit_texte(f4, "\n\n\tDynamic scale : ");
    ecrit_texte(f4, "\n\t\tMin. %d  Max. %d ", mind, maxd);
    ecrit_texte(f4, "\n\n\tNormalization value = %d ", norm);
    ecrit_texte(f4, "\n\n\tHistogram following the columns on the line %d ", nb_lig / 2);
    ecrit_texte(f4, "\n\tName of this histogram : %s ", nomim4.c_str());
    ferme_resultat(f4, nomim4);
}

// Loads the DEM, completes a new descriptor, shows the range, asks the
// normalisation value and writes the run report. Returns the value.
static int chargement()
{
    lecture();
    int mind, maxd;
    etendue(mind, maxd);
    if (!descriptif_OK) {
        ecrit_descripteur(nomdescr1, 4, mind, maxd);
        descriptif_OK = true;
    }
    printf("\n\tAltitudes : ");
    printf("\n\tMin : %d\tMax : %d ", mind, maxd);
    int norm = demande_entier("\n\tNormalization value (255 max.) ? ", "normalization value", INT_MIN);
    if (norm > 255) norm = 255;
    rapport(mind, maxd, norm);
    printf("\n\n");
    return norm;
}

// ---------------------------------------------------------------- deviations

// Deviations of one row of n elevations: |val_der - val_mean| at columns 1
// to n-2; columns 0 and n-1 are left as they are.
static void deviations_ligne(const int* z, int n, double* d)
{
    if (n < 3) return;  // no column has two neighbours
    // 32-bit wrap-around is part of the result: compute in unsigned.
    uint32_t somme = 0;
    for (int j = 1; j <= n - 2; j++) somme += 4u * (uint32_t)z[j] - (uint32_t)z[j - 1] - (uint32_t)z[j + 1];
    int val_tot = (int32_t)somme;
    double val_mean = (double)(val_tot / (n - 2));  // integer mean, truncated toward zero
    for (int j = 1; j <= n - 2; j++) {
        int val_der = (int32_t)(4u * (uint32_t)z[j] - (uint32_t)z[j - 1] - (uint32_t)z[j + 1]);
        // sqrt(dd * dd) is exactly |dd| in IEEE arithmetic, however large dd is.
        d[j] = std::fabs((double)val_der - val_mean);
    }
}

// Largest deviation inside the search window: the grid less a border two
// pixels wide. 0 when the window is empty.
static double maximum_fenetre()
{
    double m = 0.0;
    for (int i = 2; i <= nb_lig - 3; i++)
        for (int j = 2; j <= nb_col - 3; j++)
            if (tab_out_prov[i][j] > m) m = tab_out_prov[i][j];
    return m;
}

// The stretch of one deviation, evaluated in the written order (a division,
// never a multiplication by the reciprocal). Negative and NaN give 0; a
// negative zero becomes +0 so that the profile never shows "-0.000000".
static double etire(double x, double dif, double scale)
{
    double v = ((x - dmin) / dif) * scale;
    return v >= 0.0 ? v + 0.0 : 0.0;
}

// Only the low 8 bits of the truncated value are kept: 256 gives 0, 300 gives
// 44. Every reachable v is below 2^42, so the 64-bit conversion is exact.
static void octets_ligne(const double* d, int n, unsigned char* out, double dif, double scale)
{
    for (int j = 0; j < n; j++) out[j] = (unsigned char)(int64_t)etire(d[j], dif, scale);
}

// Computes the deviation grid and the byte image; returns dif, 0 when the
// search window holds no deviation and everything stays 0.
static double calcul(double scale)
{
    for (int i = 0; i < nb_lig; i++) deviations_ligne(itab_in[i], nb_col, tab_out_prov[i]);
    dmax = maximum_fenetre();
    dmin = dmax * 0.5;
    double dif = dmax - dmin;
    if (dif > 0.0) {
        for (int i = 0; i < nb_lig; i++) octets_ligne(tab_out_prov[i], nb_col, tab_out[i], dif, scale);
    } else {
        avertit("%s: no deviation inside the search window (a flat DEM, or fewer than 5 lines or columns): "
                "the image and the profile are all 0",
                nomim1.c_str());
    }
    return dif;
}

// ---------------------------------------------------------------- outputs

static void profil(double dif, double scale)
{
    int r = nb_lig / 2;
    for (int j = 1; j <= nb_col - 2; j++)
        ecrit_texte(f3, "%d\t%lf\n", j + 1, dif > 0.0 ? etire(tab_out_prov[r][j], dif, scale) : 0.0);
    ferme_resultat(f3, nomim3);
}

static void image()
{
    if (format == 1) {
        if (SauveBMP(nomim2.c_str(), tab_out, nb_col, nb_lig, 0, nullptr) != 0)
            echec("%s: could not be written completely", nomim2.c_str());
    } else if (format == 0) {
        for (int i = 0; i < nb_lig; i++) fwrite(tab_out[i], 1, (size_t)nb_col, f2);
        ferme_resultat(f2, nomim2);
    }
}

int main()
{
    ouverture();
    int norm = chargement();
    double scale = (double)norm;
    double dif = calcul(scale);
    profil(dif, scale);
    image();
    printf("\n");
    return 0;
}
