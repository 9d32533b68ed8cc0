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

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

// The run's state, set by ouverture and read by the later steps.
int nb_lig, nb_col, pix_size, format;
bool descriptif_OK;
std::string nomim1;     // DEM raw file
std::string nomdescr1;  // DEM descriptor
std::string nomim2;     // result image (the stem until the format is known)
std::string nomim3;     // profile table
std::string nomim4;     // run report
FILE *f1, *f2, *f3, *f4;
EtatFichier etat_dem;  // the DEM as opened: it must not change under the run
int** itab_in;  // the elevations; null when the DEM is streamed
double dmax, dmin;  // window maximum and the bottom of the stretch
int* tampon;             // the DEM row being streamed
double* dev_profil;      // deviations of the profile row
unsigned char* octets;   // the image row being written

// Results written so far, under their temporary names, waiting for the end
// of the run to be renamed into place: {temporary, final}.
static std::vector<std::pair<std::string, std::string>> resultats;

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

// A failure ends the run: the results' temporary files go, and whatever
// the folder held before the run is left as it was.
[[noreturn]] static void echec(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    message("", fmt, args);
    va_end(args);
    supprime_temporaires();
    resultats.clear();
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

// A result is written under a temporary name beside its final one, so that
// the final name holds the previous result until the run has succeeded. It
// is opened in binary: text files get their CR LF from ecrit_texte.
static FILE* ouvre_resultat(const std::string& chemin)
{
    std::error_code ec;
    if (std::filesystem::is_directory(std::filesystem::symlink_status(chemin, ec)))
        echec("%s: cannot be created: %s", chemin.c_str(), strerror(EISDIR));
    std::string temporaire = nom_temporaire(chemin);
    protege_temporaire(temporaire);
    FILE* f = cree_fichier_neuf(temporaire);
    if (!f && errno == EEXIST && remove(temporaire.c_str()) == 0)  // left by a dead run of the same number
        f = cree_fichier_neuf(temporaire);
    if (!f) echec("%s: cannot be created: %s", chemin.c_str(), strerror(errno));
    setvbuf(f, nullptr, _IOFBF, 1 << 18);
    resultats.push_back({temporaire, chemin});
    return f;
}

// The end of a successful run: every result replaces what its name held.
static void valide_resultats()
{
    for (auto& r : resultats) {
        if (!remplace_fichier(r.first, r.second)) echec("%s: cannot be replaced: %s", r.second.c_str(), strerror(errno));
        oublie_temporaire(r.first);
    }
    resultats.clear();
}

// The six fields: lines, columns, bytes per value, minimum, maximum, pixel size.
static void ecrit_descripteur(const std::string& chemin, int taille_valeur, int mini, int maxi)
{
    FILE* f = ouvre_resultat(chemin);
    ecrit_texte(f, "%d\n%d\n%d\n%d\n%d\n%d\n", nb_lig, nb_col, taille_valeur, mini, maxi, pix_size);
    ferme_resultat(f, chemin);
}

static void lit_dimensions(FILE* fd)
{
    static const char* const noms[6] = {"lines", "columns", "bytes per value", "minimum", "maximum", "pixel size"};
    int champs[6] = {0, 0, 0, 0, 0, 0};
    std::string fautif;
    int ligne;
    int lus = lit_descripteur(fd, champs, 6, fautif, ligne);
    bool lu = !ferror(fd);
    fclose(fd);
    const char* nom = nomdescr1.c_str();
    if (!lu) echec("%s: cannot be read: %s", nom, strerror(EIO));
    if (lus < 0) echec("%s: UTF-16 text; save the descriptor as plain text (ANSI or UTF-8)", nom);
    if (!fautif.empty())
        echec("%s: line %d: '%s' is not a whole decimal number within the 32-bit range (the %s)", nom, ligne,
              fautif.c_str(), noms[lus]);
    nb_lig = champs[0];
    nb_col = champs[1];
    pix_size = champs[5];
    if (lus < 2 || nb_lig < 1 || nb_col < 1)
        echec("%s: %d lines and %d columns: a DEM needs at least 1 of each", nom, nb_lig, nb_col);
    if (lus >= 3 && champs[2] != 4)
        avertit("%s: %d bytes per value; elevations are read as 4-byte integers", nom, champs[2]);
    if (lus < 6) {
        std::string manque;
        for (int k = lus; k < 6; k++) manque += std::string(k > lus ? ", " : "") + noms[k];
        avertit("%s: %d of the 6 fields; missing: %s; taken as %s", nom, lus, manque.c_str(),
                lus < 3 ? "4 bytes per value and a pixel size of 0" : "a pixel size of 0");
    }
}

// A result must never be the DEM or its descriptor: writing it would destroy
// the input. Paths are compared resolved and normalised ("./r" is "r"), and
// hard links by the files themselves.
static bool touche_l_entree(const std::string& chemin)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    std::string cle = cle_de_chemin(chemin);
    for (const std::string& entree : {nomim1, nomdescr1})
        if (cle == cle_de_chemin(entree) || fs::equivalent(chemin, entree, ec)) return true;
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

// A complete DEM is streamed: read row by row once for the range and the
// window maximum, and again for the image, with memory for a few rows only.
// That is also the fastest way at any size, as a reused row buffer never
// faults in fresh memory. A DEM shorter than its descriptor says is held in
// itab_in, where its missing elevations are zeros; it must fit in memory, so
// that a descriptor claiming far more than the file holds cannot set the
// program computing zeros for hours. Both ways write the same bytes.
static void prepare_memoire()
{
    uint64_t lignes = (uint64_t)nb_col * (sizeof(int) + sizeof(double) + 1);
    uint64_t dispo = memoire_disponible();
    if (lignes > dispo)
        echec("%s: a row of %d elevations needs %llu MiB of memory; %llu MiB are available", nomim1.c_str(), nb_col,
              (unsigned long long)(lignes >> 20), (unsigned long long)(dispo >> 20));
    tampon = ivecteur(nb_col);
    dev_profil = dvecteur(nb_col);
    octets = ucvecteur(nb_col);
    if (!tampon || !dev_profil || !octets)
        echec("%s: rows of %d elevations (%llu MiB) could not be allocated", nomim1.c_str(), nb_col,
              (unsigned long long)(lignes >> 20));

    uint64_t taille = etat_dem.taille;
    uint64_t attendus = (uint64_t)nb_lig * (uint64_t)nb_col * 4;
    if (taille >= attendus) return;
    // Decide before allocating: an overcommitted allocation can succeed and
    // the process be killed later, when its pages are touched.
    uint64_t grille = (uint64_t)nb_lig * ((uint64_t)nb_col * sizeof(int) + sizeof(int*));
    if (grille <= dispo - lignes) itab_in = imatrice(nb_col, nb_lig);
    if (!itab_in)
        echec("%s: %llu bytes expected for %d x %d elevations, %llu found; an incomplete DEM must fit in memory "
              "(%llu MiB needed, %llu MiB available)",
              nomim1.c_str(), (unsigned long long)attendus, nb_lig, nb_col, (unsigned long long)taille,
              (unsigned long long)(grille >> 20), (unsigned long long)(dispo >> 20));
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

// What is at a path the run reads: nothing (false), or a regular file to
// open (true). Anything else ends the run: opening a FIFO would wait for a
// writer, and a directory reads as an error.
static bool fichier_d_entree(const std::string& chemin)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::file_status st = fs::status(chemin, ec);
    if (st.type() == fs::file_type::not_found) return false;
    if (ec) echec("%s: cannot be opened: %s", chemin.c_str(), ec.message().c_str());
    if (st.type() != fs::file_type::regular) echec("%s: not a regular file", chemin.c_str());
    return true;
}

// The DEM's descriptor is read now; a missing one is asked for and written
// once the elevation range is known.
static void dimensions()
{
    descriptif_OK = true;
    if (fichier_d_entree(nomdescr1)) {
        FILE* fd = fopen(nomdescr1.c_str(), "rb");
        if (!fd) echec("%s: cannot be opened: %s", nomdescr1.c_str(), strerror(errno));
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

// Builds the DEM's paths from the answers and opens it; a DEM that does not
// exist ends the run after a key press. Returns the DEM's name.
static std::string ouvre_dem()
{
    nomim1 = REPERTOIRE_BASE;
    nomim1 += demande_mot("\n\n\tName of the File Folder located in the Directory C:\\images : ", "folder name");
    nomim1 += SEPARATEUR;
    nomim2 = nomim1;  // the results go to the DEM's folder
    std::string nomfic = demande_mot("\n\tName of the DEM (integer 4) (whitout extension .raw) ? ", "DEM name");
    nomdescr1 = nomim1 + nomfic + ".txt";
    nomim1 += nomfic + ".raw";

    // Only a DEM that does not exist is "unknown"; one that cannot be read
    // is a failure with its reason.
    if (!fichier_d_entree(nomim1)) {
        printf("\n\tFile %s unknown\n", nomim1.c_str());
        attend_touche();
        exit(0);
    }
    f1 = fopen(nomim1.c_str(), "rb");
    if (!f1 || !etat_fichier(f1, etat_dem)) echec("%s: cannot be opened: %s", nomim1.c_str(), strerror(errno));
    return nomfic;
}

// Asks the results' name and format, opens the result files and writes the
// raster's descriptor.
static void ouvre_resultats(const std::string& nomfic)
{
    std::string souche;
    do souche = nomim2 + nom_des_resultats(nomfic);
    while (!nom_de_resultat_sur(souche));
    nomim2 = souche;
    nomim3 = souche + "_tavelkorn.xls";
    nomim4 = souche + "_tavelkorn_info.txt";
    f3 = ouvre_resultat(nomim3);
    f4 = ouvre_resultat(nomim4);

    printf("\n\tType of Format : ");
    for (;;) {
        do format = demande_entier("\n\t\t0 ====> raster\n\t\t1 ====> bitmap\n\t\t", "format menu", INT_MIN);
        while (format > 1);
        if (format != 1 || TailleBMP(nb_col, nb_lig, 0) >= 0) break;
        signale("%s_tavelkorn.bmp: %d x %d pixels do not fit in a BMP file (4 GiB at most); choose the raster format",
                souche.c_str(), nb_lig, nb_col);
    }

    if (format == 0) {
        nomim2 += "_tavelkorn.raw";
        f2 = ouvre_resultat(nomim2);
        ecrit_descripteur(souche + "_tavelkorn.txt", 1, 0, 255);
    } else if (format == 1) {
        nomim2 += "_tavelkorn.bmp";
        f2 = ouvre_resultat(nomim2);
    }
}

static void ouverture()
{
    banniere();
    std::string nomfic = ouvre_dem();
    dimensions();
    printf("\n\n\tTHE DIGITAL ELEVATION MODEL HAS : ");
    printf("\n\t            %d LINES", nb_lig);
    printf("\n\t        AND %d COLUMNS\n", nb_col);
    prepare_memoire();
    ouvre_resultats(nomfic);
}

// ---------------------------------------------------------------- progress

// A one-line indicator on standard error, shown only on a terminal and only
// once a step has run for a second, at most ten times a second; erased when
// the step ends.
namespace progression {
using horloge = std::chrono::steady_clock;
static const char* etape;
static horloge::time_point debut, dernier;
static bool affiche;

static void commence(const char* nom)
{
    etape = nom;
    debut = dernier = horloge::now();
    affiche = false;
}

static void avance(int fait, int total)
{
    static const bool terminal = erreur_sur_terminal();
    if (!terminal) return;
    horloge::time_point t = horloge::now();
    if (t - debut < std::chrono::seconds(1) || t - dernier < std::chrono::milliseconds(100)) return;
    fflush(stdout);
    fprintf(stderr, "\rtavelkorn: %s %3d%%", etape, (int)(100LL * fait / total));
    dernier = t;
    affiche = true;
}

static void termine()
{
    if (affiche) fprintf(stderr, "\r%60s\r", "");
}
}  // namespace progression

// ---------------------------------------------------------------- row kernels

// The curvature term of column j; 32-bit wrap-around is part of the result,
// so it is computed in unsigned arithmetic.
static inline int32_t courbure(const int* z, int j)
{
    return (int32_t)(4u * (uint32_t)z[j] - (uint32_t)z[j - 1] - (uint32_t)z[j + 1]);
}

// The row's mean term (n >= 3): the wrapped sum over columns 1 to n-2, as
// an integer quotient truncated toward zero.
NOYAU static double moyenne_ligne(const int* z, int n)
{
    uint32_t somme = 0;
    for (int j = 1; j <= n - 2; j++) somme += (uint32_t)courbure(z, j);
    return (double)((int32_t)somme / (n - 2));
}

// Elevation range of a row, with the <= and >= of the whole-grid search.
NOYAU static void etendue_ligne(const int* z, int n, int& mind, int& maxd)
{
    int mi = mind, ma = maxd;
    for (int j = 0; j < n; j++) {
        mi = z[j] < mi ? z[j] : mi;
        ma = z[j] > ma ? z[j] : ma;
    }
    mind = mi;
    maxd = ma;
}

// Largest deviation of a row inside the window columns 2 to n-3. |t - mean|
// is largest at the smallest or the largest term, so integer extremes
// suffice.
NOYAU static double maximum_ligne(const int* z, int n)
{
    if (n < 5) return 0.0;
    double val_mean = moyenne_ligne(z, n);
    int32_t mi = courbure(z, 2), ma = mi;
    for (int j = 3; j <= n - 3; j++) {
        int32_t t = courbure(z, j);
        mi = t < mi ? t : mi;
        ma = t > ma ? t : ma;
    }
    return std::max(std::fabs((double)mi - val_mean), std::fabs((double)ma - val_mean));
}

// Deviations of a row: |term - mean| at columns 1 to n-2, 0 at the ends.
// (sqrt(d * d) of the written formula is exactly |d| in IEEE arithmetic.)
static void deviations_ligne(const int* z, int n, double* d)
{
    d[0] = d[n - 1] = 0.0;
    if (n < 3) return;
    double val_mean = moyenne_ligne(z, n);
    for (int j = 1; j <= n - 2; j++) d[j] = std::fabs((double)courbure(z, j) - val_mean);
}

// The stretch of one deviation, evaluated in the written order (a division,
// never a multiplication by the reciprocal). Negative values give 0, and a
// negative zero becomes +0 so that the profile never shows "-0.000000".
static inline double etire(double x, double dmin_, double dif, double scale)
{
    double v = ((x - dmin_) / dif) * scale;
    return (v > 0.0 ? v : 0.0) + 0.0;  // a select, not a branch: the loops vectorise
}

// The low 8 bits of v truncated toward zero (v >= 0): 256 gives 0, 300
// gives 44. Every reachable v is below 2^42; scaling by 1/256 and the
// subtraction are exact, so this equals the 64-bit conversion.
static inline unsigned char octet(double v)
{
    double q = std::floor(v * (1.0 / 256.0));
    return (unsigned char)(int32_t)(v - q * 256.0);
}

// One row of the image, straight from the elevations.
NOYAU static void octets_ligne(const int* z, int n, unsigned char* out, double dmin_, double dif, double scale)
{
    unsigned char bord = octet(etire(0.0, dmin_, dif, scale));  // a deviation of 0, never computed
    if (n < 3) {
        for (int j = 0; j < n; j++) out[j] = bord;
        return;
    }
    double val_mean = moyenne_ligne(z, n);
    out[0] = out[n - 1] = bord;
    for (int j = 1; j <= n - 2; j++) out[j] = octet(etire(std::fabs((double)courbure(z, j) - val_mean), dmin_, dif, scale));
}

// ---------------------------------------------------------------- loading

[[noreturn]] static void dem_change()
{
    echec("%s: changed during the run; no result was written", nomim1.c_str());
}

// Reads row i of the DEM into z from where the file stands. A file shorter
// than its descriptor says leaves the missing elevations at 0 (a partly read
// value keeps the bytes that came); any other count than the file's size at
// opening allows means the file changed.
static void lit_ligne(int* z, int i)
{
    uint64_t octets_ligne = (uint64_t)nb_col * 4, debut = (uint64_t)i * octets_ligne;
    size_t attendus = (size_t)(etat_dem.taille <= debut ? 0 : std::min(octets_ligne, etat_dem.taille - debut));
    size_t n = fread(z, 1, (size_t)octets_ligne, f1);
    if (ferror(f1)) echec("%s: cannot be read: %s", nomim1.c_str(), strerror(EIO));
    if (n != attendus) dem_change();
    if (n < octets_ligne) memset((char*)z + n, 0, (size_t)octets_ligne - n);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    for (int j = 0; j < nb_col; j++) z[j] = (int)__builtin_bswap32((uint32_t)z[j]);
#endif
}

// The DEM must be as it was opened, down to its size and modification time.
static void verifie_dem()
{
    EtatFichier e;
    if (!etat_fichier(f1, e) || e.taille != etat_dem.taille || e.date != etat_dem.date) dem_change();
}

// One pass over the DEM: the elevation range (its search starts from
// 10000000 and 0, not from the int extremes), the window maximum dmax, and
// the deviations of the profile row.
static void lecture(int& mind, int& maxd)
{
    printf("\n\tLecture \n");
    mind = 10000000;
    maxd = 0;
    dmax = 0.0;
    progression::commence("reading");
    for (int i = 0; i < nb_lig; i++) {
        progression::avance(i, nb_lig);
        int* z = itab_in ? itab_in[i] : tampon;
        lit_ligne(z, i);
        etendue_ligne(z, nb_col, mind, maxd);
        if (i >= 2 && i <= nb_lig - 3) dmax = std::max(dmax, maximum_ligne(z, nb_col));
        if (i == nb_lig / 2) deviations_ligne(z, nb_col, dev_profil);
    }
    progression::termine();
    verifie_dem();
    uint64_t attendus = (uint64_t)nb_lig * (uint64_t)nb_col * 4;
    if (etat_dem.taille < attendus)
        avertit("%s: %llu bytes expected for %d x %d elevations, %llu found; the missing elevations are 0",
                nomim1.c_str(), (unsigned long long)attendus, nb_lig, nb_col, (unsigned long long)etat_dem.taille);
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
    int mind, maxd;
    lecture(mind, maxd);
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

// ---------------------------------------------------------------- outputs

// The stretch maps dmin (half the window maximum) to 0 and dmax to scale.
struct Etirement {
    double dif, scale;
    int faites;  // rows written so far
};

// The profile of the middle row (nb_lig / 2, the row the report names):
// the stretched values before the byte conversion, so they can exceed norm.
static void profil(Etirement e)
{
    for (int j = 1; j <= nb_col - 2; j++)
        ecrit_texte(f3, "%d\t%lf\n", j + 1, e.dif > 0.0 ? etire(dev_profil[j], dmin, e.dif, e.scale) : 0.0);
    ferme_resultat(f3, nomim3);
}

// Row i of the image, computed from row i of the DEM (read again from the
// file when streaming). All 0 when the window holds no deviation.
static const unsigned char* ligne_image(int i, void* contexte)
{
    Etirement& e = *(Etirement*)contexte;
    progression::avance(e.faites++, nb_lig);
    const int* z = itab_in ? itab_in[i] : tampon;
    if (!itab_in) {
        if (!positionne(f1, (uint64_t)i * (uint64_t)nb_col * 4))
            echec("%s: cannot be read: %s", nomim1.c_str(), strerror(errno));
        lit_ligne(tampon, i);
    }
    if (e.dif > 0.0) octets_ligne(z, nb_col, octets, dmin, e.dif, e.scale);
    else memset(octets, 0, (size_t)nb_col);
    return octets;
}

static void image(Etirement e)
{
    bool ecrit = true;
    progression::commence("computing and writing");
    if (format == 1) {
        ecrit = EcritBMP(f2, ligne_image, &e, nb_col, nb_lig, 0, nullptr) == 0;
    } else if (format == 0) {
        for (int i = 0; i < nb_lig && ecrit; i++) {
            const unsigned char* ligne = ligne_image(i, &e);
            ecrit = fwrite(ligne, 1, (size_t)nb_col, f2) == (size_t)nb_col;
        }
    }
    progression::termine();
    if (!itab_in) verifie_dem();
    fclose(f1);
    f1 = nullptr;
    if (format == 0 || format == 1) {
        if (!ecrit) echec("%s: could not be written completely", nomim2.c_str());
        ferme_resultat(f2, nomim2);
    }
}

// With no argument the program is the dialogue; --help and --version
// answer and end, anything else is refused.
static int options(int argc, char** argv)
{
    const char* usage =
        "usage: tavelkorn [--help | --version]\n"
        "Terrain roughness from a digital elevation model. With no argument, a\n"
        "dialogue on the console asks for the folder under images/ (c:\\images\\ on\n"
        "Windows), the DEM name, the result name, the format and the normalisation\n"
        "value; answers may be piped in. See man tavelkorn.\n";
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        printf("%s", usage);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("tavelkorn %s\n", TAVELKORN_VERSION);
        return 0;
    }
    fprintf(stderr, "tavelkorn: unknown argument '%s'\n%s", argv[1], usage);
    return 2;
}

int main(int argc, char** argv)
{
    if (argc > 1) return options(argc, argv);
    installe_interruptions();
    ouverture();
    int norm = chargement();
    dmin = dmax * 0.5;
    Etirement e = {dmax - dmin, (double)norm, 0};
    if (!(e.dif > 0.0))
        avertit("%s: no deviation inside the search window (a flat DEM, or fewer than 5 lines or columns): "
                "the image and the profile are all 0",
                nomim1.c_str());
    profil(e);
    image(e);
    printf("\n");
    if (fflush(stdout) != 0 || ferror(stdout)) echec("standard output: the dialogue could not be written: %s", strerror(errno));
    valide_resultats();
    return 0;
}
