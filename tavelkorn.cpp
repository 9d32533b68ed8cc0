// Tavelkorn: terrain roughness from a digital elevation model.
//
// The operator names a DEM (a headerless grid of int32 elevations, NAME.raw,
// described by NAME.txt); for every row the program takes the curvature term
// 4 z[j] - z[j-1] - z[j+1], subtracts the row's mean term and keeps the
// absolute deviation, then stretches the deviations so that half the largest
// one in the search window maps to 0 and the largest to the normalisation
// value. Results: the byte image (raw raster with its descriptor, or an 8-bit
// grayscale BMP), the profile of the middle row, and a run report.
#include "tavelkorn.h"

#include "NRUTIL.h"
#include "image.h"
#include "plateforme.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
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
int** itab_in;  // the elevations of an incomplete DEM; null when the DEM is streamed
double dmax, dmin;  // window maximum and the bottom of the stretch
double dif, scale;  // the stretch: (d - dmin) / dif * scale
int ligne_profil;
double echelle_z = 1.0;
bool valeurs_reelles, silencieux, avec_manquants, descendant;
uint64_t nb_manquants;
void (*lit_bloc)(int premiere, int nombre, int* z, unsigned char* presence);

// The rows of one round: a block of about 1 MiB of elevations for each
// thread, read and computed by it. The buffers hold the elevations read, the
// presence of each cell, and the image computed from them.
int nb_fils = 1;              // threads of the computation
int lignes_bloc;              // rows of a thread's block
int* tampon;                  // elevations, each thread's block page-aligned (the kernel copies faster)
size_t pas_bloc;              // elevations from one thread's block to the next
unsigned char* presence;      // presence of the cells (with missing cells only)
double* dev_profil;           // deviations of the profile row
unsigned char* octets;        // image bytes
float* valeurs;               // Float32 deviations (with valeurs_reelles only)
double* brouillon;            // a row of deviations for each thread (Float32 output)
static int bloc_debut, bloc_fin;  // rows of the round computed in octets
// The next round, computed by the threads while the current one is written.
int* tampon_suivant;
unsigned char *presence_suivante, *octets_suivants;
float* valeurs_suivantes;
static int suivant_debut, suivant_fin;  // empty when no round is under way
static bool dem_en_memoire;   // itab_in holds the whole DEM (after the first pass)

// Results written so far, under their temporary names, waiting for the end
// of the run to be renamed into place: {temporary, final}.
static std::vector<std::pair<std::string, std::string>> resultats;

// ---------------------------------------------------------------- messages

// A failure inside one of the computation's threads cannot end the process
// there: it is kept for the calling thread, which reports it.
static thread_local bool dans_un_fil;
struct EchecFil {};
static std::mutex verrou_erreur;
static std::string erreur_fil;

static void message(const char* prefixe, const char* fmt, va_list args)
{
    fflush(stdout);  // keep the dialogue and the messages in order on a terminal
    fprintf(stderr, "tavelkorn: %s", prefixe);
    vfprintf(stderr, fmt, args);
    fputc('\n', stderr);
}

// A refusal of bad input: the operator is asked again.
void signale(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    message("", fmt, args);
    va_end(args);
}

void avertit(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    message("warning: ", fmt, args);
    va_end(args);
}

// A failure ends the run: the results' temporary files go, and whatever
// the folder held before the run is left as it was.
[[noreturn]] void echec(const char* fmt, ...)
{
    if (dans_un_fil) {  // a thread of the computation stops; the caller reports it
        va_list args;
        va_start(args, fmt);
        char texte[1024];
        vsnprintf(texte, sizeof texte, fmt, args);
        va_end(args);
        std::lock_guard<std::mutex> l(verrou_erreur);
        if (erreur_fil.empty()) erreur_fil = texte;
        throw EchecFil{};
    }
    va_list args;
    va_start(args, fmt);
    message("", fmt, args);
    va_end(args);
    for (FILE** f : {&f2, &f3, &f4})  // an open file cannot be removed everywhere
        if (*f) fclose(*f), *f = nullptr;
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
void ferme_resultat(FILE*& f, const std::string& chemin)
{
    if (!ferme(f)) echec("%s: could not be written completely", chemin.c_str());
}

// A result is written under a temporary name beside its final one, so that
// the final name holds the previous result until the run has succeeded. It
// is opened in binary: text files get their CR LF from ecrit_texte.
FILE* ouvre_resultat(const std::string& chemin)
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
    ajoute_resultat(temporaire, chemin);
    return f;
}

bool ajoute_resultat(const std::string& temporaire, const std::string& final_)
{
    for (auto& r : resultats)
        if (r.first == temporaire) return false;
    resultats.push_back({temporaire, final_});
    return true;
}

// The end of a successful run: every result replaces what its name held.
void valide_resultats()
{
    for (auto& r : resultats) {
        if (!remplace_fichier(r.first, r.second)) echec("%s: cannot be replaced: %s", r.second.c_str(), strerror(errno));
        oublie_temporaire(r.first);
    }
    resultats.clear();
}

// The six fields: lines, columns, bytes per value, minimum, maximum, pixel size.
void ecrit_descripteur(const std::string& chemin, int taille_valeur, int mini, int maxi)
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
bool touche_l_entree(const std::string& chemin)
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

// The buffers of one block of rows: about 1 MiB of elevations, at least one
// row. Refused before allocating when a single row cannot fit.
void alloue_blocs(const char* nom)
{
    uint64_t lignes = (uint64_t)nb_col * (sizeof(int) + sizeof(double) + 1);
    uint64_t dispo = memoire_disponible();
    if (lignes > dispo)
        echec("%s: a row of %d elevations needs %llu MiB of memory; %llu MiB are available", nom, nb_col,
              (unsigned long long)(lignes >> 20), (unsigned long long)(dispo >> 20));
    lignes_bloc = std::min(std::max(1, (1 << 18) / nb_col), nb_lig);
    nb_fils = std::max(1, std::min(nb_fils, (nb_lig + lignes_bloc - 1) / lignes_bloc));
    int cellules = lignes_bloc * nb_col * nb_fils;
    pas_bloc = ((size_t)lignes_bloc * nb_col + 1023) / 1024 * 1024;  // whole 4 KiB pages
    tampon = (int*)alloue_aligne(pas_bloc * nb_fils * sizeof(int));
    tampon_suivant = (int*)alloue_aligne(pas_bloc * nb_fils * sizeof(int));
    dev_profil = dvecteur(nb_col);
    octets = ucvecteur(cellules);
    octets_suivants = ucvecteur(cellules);
    if (avec_manquants) presence = ucvecteur(cellules), presence_suivante = ucvecteur(cellules);
    if (valeurs_reelles)
        valeurs = fvecteur(cellules), valeurs_suivantes = fvecteur(cellules), brouillon = dvecteur(nb_col * nb_fils);
    if (!tampon || !tampon_suivant || !dev_profil || !octets || !octets_suivants ||
        (avec_manquants && (!presence || !presence_suivante)) ||
        (valeurs_reelles && (!valeurs || !valeurs_suivantes || !brouillon)))
        echec("%s: rows of %d elevations (%llu MiB) could not be allocated", nom, nb_col,
              (unsigned long long)(lignes >> 20));
}

[[noreturn]] static void dem_change()
{
    echec("%s: changed during the run; no result was written", nomim1.c_str());
}

// Rows of the native DEM, read as one block at their offset. A file
// shorter than its descriptor says leaves the missing elevations at 0 (a
// partly read value keeps the bytes that came); any other count than the
// file's size at opening allows means the file changed. An incomplete DEM is
// kept in itab_in by the first pass and read from there afterwards.
static void lit_bloc_natif(int premiere, int nombre, int* z, unsigned char*)
{
    size_t octets_ligne = (size_t)nb_col * 4;
    if (dem_en_memoire) {
        for (int r = 0; r < nombre; r++) memcpy(z + (size_t)r * nb_col, itab_in[premiere + r], octets_ligne);
        return;
    }
    uint64_t debut = (uint64_t)premiere * octets_ligne, total = (uint64_t)nombre * octets_ligne;
    size_t attendus = (size_t)(etat_dem.taille <= debut ? 0 : std::min(total, etat_dem.taille - debut));
    long long lus = lit_a(f1, z, (size_t)total, debut);  // positional: threads read side by side
    if (lus < 0) echec("%s: cannot be read: %s", nomim1.c_str(), strerror(errno));
    size_t n = (size_t)lus;
    if (n != attendus) dem_change();
    if (n < total) memset((char*)z + n, 0, (size_t)total - n);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    for (size_t k = 0; k < (size_t)nombre * nb_col; k++) z[k] = (int)__builtin_bswap32((uint32_t)z[k]);
#endif
    if (itab_in)
        for (int r = 0; r < nombre; r++) memcpy(itab_in[premiere + r], z + (size_t)r * nb_col, octets_ligne);
}

// The DEM must be as it was opened, down to its size and modification time.
static void verifie_dem()
{
    EtatFichier e;
    if (!etat_fichier(f1, e) || e.taille != etat_dem.taille || e.date != etat_dem.date) dem_change();
}

// A complete DEM is streamed: read once for the range and the window
// maximum, and again for the image, a block of rows at a time. That is also
// the fastest way at any size, as reused buffers never fault in fresh
// memory. A DEM shorter than its descriptor says is held in itab_in, where
// its missing elevations are zeros; it must fit in memory, so that a
// descriptor claiming far more than the file holds cannot set the program
// computing zeros for hours. Both ways write the same bytes.
static void prepare_memoire()
{
    alloue_blocs(nomim1.c_str());
    uint64_t lignes = (uint64_t)nb_col * (sizeof(int) + sizeof(double) + 1);
    uint64_t dispo = memoire_disponible();
    uint64_t taille = etat_dem.taille;
    uint64_t attendus = (uint64_t)nb_lig * (uint64_t)nb_col * 4;
    if (taille >= attendus) return;
    // Decide before allocating: an overcommitted allocation can succeed and
    // the process be killed later, when its pages are touched.
    uint64_t grille = (uint64_t)nb_lig * ((uint64_t)nb_col * sizeof(int) + sizeof(int*));
    if (grille <= dispo - std::min(dispo, lignes)) itab_in = imatrice(nb_col, nb_lig);
    if (!itab_in)
        echec("%s: %llu bytes expected for %d x %d elevations, %llu found; an incomplete DEM must fit in memory "
              "(%llu MiB needed, %llu MiB available)",
              nomim1.c_str(), (unsigned long long)attendus, nb_lig, nb_col, (unsigned long long)taille,
              (unsigned long long)(grille >> 20), (unsigned long long)(dispo >> 20));
}

void ouvre_dem_natif()
{
    f1 = fopen(nomim1.c_str(), "rb");
    if (!f1 || !etat_fichier(f1, etat_dem)) echec("%s: cannot be opened: %s", nomim1.c_str(), strerror(errno));
    lit_bloc = lit_bloc_natif;
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
bool fichier_d_entree(const std::string& chemin)
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
    nomim1 = repertoire_base();
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
    ouvre_dem_natif();
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
    ligne_profil = nb_lig / 2;
    prepare_memoire();
    ouvre_resultats(nomfic);
}

// The native DEM for the command line: its descriptor must be there.
void prepare_dem_natif()
{
    if (!fichier_d_entree(nomim1)) echec("%s: cannot be opened: %s", nomim1.c_str(), strerror(ENOENT));
    ouvre_dem_natif();
    if (!fichier_d_entree(nomdescr1)) echec("%s: cannot be opened: %s", nomdescr1.c_str(), strerror(ENOENT));
    FILE* fd = fopen(nomdescr1.c_str(), "rb");
    if (!fd) echec("%s: cannot be opened: %s", nomdescr1.c_str(), strerror(errno));
    lit_dimensions(fd);
    prepare_memoire();
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
    if (!terminal || silencieux) return;
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
//
// Each kernel exists in two instances from one source: without missing
// cells (m is null; the fast, vectorised loops) and with them (m[j] is 1 for
// a present cell, 0 for a missing one).

// The curvature term of column j; 32-bit wrap-around is part of the result,
// so it is computed in unsigned arithmetic.
static inline int32_t courbure(const int* z, int j)
{
    return (int32_t)(4u * (uint32_t)z[j] - (uint32_t)z[j - 1] - (uint32_t)z[j + 1]);
}

// Column j has a term where it and both its neighbours are present.
template <bool M>
EN_LIGNE bool a_terme(const unsigned char* m, int j)
{
    return !M || (m[j - 1] & m[j] & m[j + 1]);
}

// The row's mean term: the wrapped sum of its terms as an integer quotient,
// truncated toward zero, by their count. False when the row has no term.
template <bool M>
EN_LIGNE bool moyenne(const int* z, const unsigned char* m, int n, double& val_mean)
{
    uint32_t somme = 0;
    int compte = 0;
    for (int j = 1; j <= n - 2; j++)
        if (a_terme<M>(m, j)) {
            somme += (uint32_t)courbure(z, j);
            compte++;
        }
    if (compte == 0) return false;
    val_mean = (double)((int32_t)somme / compte);
    return true;
}

// Elevation range of a row's present cells, with the <= and >= of the
// whole-grid search.
template <bool M>
EN_LIGNE void etendue(const int* z, const unsigned char* m, int n, int& mind, int& maxd)
{
    int mi = mind, ma = maxd;
    for (int j = 0; j < n; j++) {
        if (M && !m[j]) continue;
        mi = z[j] < mi ? z[j] : mi;
        ma = z[j] > ma ? z[j] : ma;
    }
    mind = mi;
    maxd = ma;
}

// Largest deviation of a row's terms inside the window columns 2 to n-3.
// |t - mean| is largest at the smallest or the largest term, so integer
// extremes suffice.
template <bool M>
EN_LIGNE double maximum(const int* z, const unsigned char* m, int n)
{
    double val_mean;
    if (n < 5 || !moyenne<M>(z, m, n, val_mean)) return 0.0;
    int32_t mi = INT32_MAX, ma = INT32_MIN;
    bool vu = false;
    for (int j = 2; j <= n - 3; j++)
        if (a_terme<M>(m, j)) {
            int32_t t = courbure(z, j);
            mi = t < mi ? t : mi;
            ma = t > ma ? t : ma;
            vu = true;
        }
    if (!vu) return 0.0;
    return std::max(std::fabs((double)mi - val_mean), std::fabs((double)ma - val_mean));
}

// Deviations of a row: |term - mean| where there is a term, 0 at a present
// cell without one (the ends of every row), NaN at a missing cell.
// (sqrt(d * d) of the written formula is exactly |d| in IEEE arithmetic.)
template <bool M>
EN_LIGNE void deviations(const int* z, const unsigned char* m, int n, double* d)
{
    for (int j = 0; j < n; j++) d[j] = M && !m[j] ? NAN : 0.0;
    double val_mean;
    if (n < 3 || !moyenne<M>(z, m, n, val_mean)) return;
    for (int j = 1; j <= n - 2; j++)
        if (a_terme<M>(m, j)) d[j] = std::fabs((double)courbure(z, j) - val_mean);
}

EN_LIGNE void deviations_ligne(const int* z, const unsigned char* m, int n, double* d)
{
    if (m) deviations<true>(z, m, n, d);
    else deviations<false>(z, m, n, d);
}

// The stretch of one deviation, evaluated in the written order (a division,
// never a multiplication by the reciprocal). Negative values give 0, and a
// negative zero becomes +0 so that the profile never shows "-0.000000".
static inline double etire(double x)
{
    double v = ((x - dmin) / dif) * scale;
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

// One row of the image. A missing cell gives 0 (and is masked where the
// format can); a present cell without a term gives what a deviation of 0
// gives.
template <bool M>
EN_LIGNE void octets_ligne(const int* z, const unsigned char* m, int n, unsigned char* out)
{
    unsigned char bord = octet(etire(0.0));  // a deviation of 0, never computed
    double val_mean;
    if (n < 3 || !moyenne<M>(z, m, n, val_mean)) {
        for (int j = 0; j < n; j++) out[j] = M && !m[j] ? 0 : bord;
        return;
    }
    out[0] = M && !m[0] ? 0 : bord;
    out[n - 1] = M && !m[n - 1] ? 0 : bord;
    for (int j = 1; j <= n - 2; j++) {
        unsigned char o = octet(etire(std::fabs((double)courbure(z, j) - val_mean)));
        if (M) o = !m[j] ? 0 : a_terme<M>(m, j) ? o : bord;
        out[j] = o;
    }
}

// The first pass over one row: range, window maximum (when the row is in
// the window) and missing cells.
EN_LIGNE void passe_a(const int* z, const unsigned char* m, int n, bool fenetre, int& mind, int& maxd,
                      double& dmax_, uint64_t& manquants)
{
    if (m) {
        etendue<true>(z, m, n, mind, maxd);
        if (fenetre) dmax_ = std::max(dmax_, maximum<true>(z, m, n));
        for (int j = 0; j < n; j++) manquants += !m[j];
    } else {
        etendue<false>(z, m, n, mind, maxd);
        if (fenetre) dmax_ = std::max(dmax_, maximum<false>(z, m, n));
    }
}

// The second pass over one row: its bytes, and its Float32 deviations in
// elevation units when asked (v is then not null).
EN_LIGNE void passe_b(const int* z, const unsigned char* m, int n, unsigned char* out, float* v, double* d)
{
    if (dif > 0.0) {
        if (m) octets_ligne<true>(z, m, n, out);
        else octets_ligne<false>(z, m, n, out);
    } else {
        memset(out, 0, (size_t)n);  // no deviation in the window: all 0
    }
    if (v) {
        deviations_ligne(z, m, n, d);
        for (int j = 0; j < n; j++) v[j] = (float)(d[j] / echelle_z);
    }
}

// The two kernels, built for any processor and for AVX2; the machine's own
// is chosen once.
#define NOYAUX(SUFFIXE, CIBLE)                                                                                  \
    CIBLE static void passe_a_##SUFFIXE(const int* z, const unsigned char* m, int n, bool fenetre, int& mind,   \
                                        int& maxd, double& dmax_, uint64_t& manquants)                          \
    {                                                                                                           \
        passe_a(z, m, n, fenetre, mind, maxd, dmax_, manquants);                                                \
    }                                                                                                           \
    CIBLE static void passe_b_##SUFFIXE(const int* z, const unsigned char* m, int n, unsigned char* out, float* v, \
                                        double* d)                                                              \
    {                                                                                                           \
        passe_b(z, m, n, out, v, d);                                                                            \
    }
NOYAUX(defaut, )
#ifdef CIBLE_AVX2
NOYAUX(avx2, CIBLE_AVX2)
static const bool avx2 = processeur_avx2();
static void (*const passe_a_ligne)(const int*, const unsigned char*, int, bool, int&, int&, double&, uint64_t&) =
    avx2 ? passe_a_avx2 : passe_a_defaut;
static void (*const passe_b_ligne)(const int*, const unsigned char*, int, unsigned char*, float*, double*) =
    avx2 ? passe_b_avx2 : passe_b_defaut;
#else
#define passe_a_ligne passe_a_defaut
#define passe_b_ligne passe_b_defaut
#endif

// The presence of row r of a round whose presence starts at m, or null when
// all its cells are there.
static const unsigned char* presence_ligne(const unsigned char* m, int r)
{
    if (!m) return nullptr;
    m += (size_t)r * nb_col;
    return memchr(m, 0, (size_t)nb_col) ? m : nullptr;
}

// ---------------------------------------------------------------- threads
//
// A team of nb_fils threads runs each task on all of them while the calling
// thread goes on (writing the previous round), until it waits for them.
// Threads split rows, never the arithmetic of a row, so any number of them
// writes the same bytes. With one thread the task runs at once on the
// calling thread, as the program always did. The team is never destroyed:
// the process ends with it waiting.
namespace equipe {
struct Etat {
    std::mutex verrou;
    std::condition_variable depart, arrivee;
    std::function<void(int)> tache;
    unsigned generation = 0;
    int restants = 0;
};
static Etat* etat;
static int nb_travailleurs;  // threads started so far

static void travaille(int t)
{
    dans_un_fil = true;
    unsigned vue = 0;
    for (;;) {
        std::function<void(int)> f;
        {
            std::unique_lock<std::mutex> l(etat->verrou);
            etat->depart.wait(l, [&] { return etat->generation != vue; });
            vue = etat->generation;
            f = etat->tache;
        }
        if (t >= nb_fils) continue;  // a team larger than this run needs
        try {
            f(t);
        } catch (const EchecFil&) {
        }
        std::lock_guard<std::mutex> l(etat->verrou);
        if (--etat->restants == 0) etat->arrivee.notify_one();
    }
}

// Starts f(0) ... f(nb_fils - 1).
static void lance(const std::function<void(int)>& f)
{
    if (nb_fils == 1) {
        f(0);
        return;
    }
    if (!etat) etat = new Etat;
    for (; nb_travailleurs < nb_fils; nb_travailleurs++) std::thread(travaille, nb_travailleurs).detach();
    std::lock_guard<std::mutex> l(etat->verrou);
    etat->tache = f;
    etat->restants = nb_fils;
    etat->generation++;
    etat->depart.notify_all();
}

// Waits for the task started last; a failure in a thread ends the run here.
static void attend()
{
    if (nb_fils > 1) {
        std::unique_lock<std::mutex> l(etat->verrou);
        etat->arrivee.wait(l, [] { return etat->restants == 0; });
    }
    if (!erreur_fil.empty()) echec("%s", erreur_fil.c_str());
}
}  // namespace equipe

// The rows of the round [debut, debut + nombre) that thread t handles: its
// block, or nothing.
static bool part_du_fil(int t, int debut, int nombre, int& premiere, int& combien)
{
    premiere = debut + t * lignes_bloc;
    combien = std::min(lignes_bloc, debut + nombre - premiere);
    return combien > 0;
}

// A file is read by every thread side by side, each its own block; a GDAL
// dataset may be used by one thread only, so the calling thread reads it.
static bool source_parallele() { return f1 != nullptr; }

// The elevations of row r of a round: in the block of its thread.
static int* elevations(int* z, int r)
{
    return z + (size_t)(r / lignes_bloc) * pas_bloc + (size_t)(r % lignes_bloc) * nb_col;
}

// Reads thread t's block of the round into z and m.
static void lit_part(int t, int debut, int premiere, int combien, int* z, unsigned char* m)
{
    lit_bloc(premiere, combien, z + (size_t)t * pas_bloc, m ? m + (size_t)(premiere - debut) * nb_col : nullptr);
}

// Starts the threads on the round of rows [debut, debut + nombre): each reads
// its block (for a source one thread only may read, the calling thread reads
// them all first) and then runs calcul(t, premiere, combien) on it.
template <typename Calcul>
static void lance_sur_tour(int debut, int nombre, int* z, unsigned char* m, Calcul calcul)
{
    bool parallele = source_parallele();
    for (int t = 0; !parallele && t < nb_fils; t++) {
        int premiere, combien;
        if (part_du_fil(t, debut, nombre, premiere, combien)) lit_part(t, debut, premiere, combien, z, m);
    }
    equipe::lance([=](int t) {
        int premiere, combien;
        if (!part_du_fil(t, debut, nombre, premiere, combien)) return;
        if (parallele) lit_part(t, debut, premiere, combien, z, m);
        calcul(t, premiere, combien);
    });
}

// ---------------------------------------------------------------- first pass

// One pass over the DEM: the elevation range of its present cells (the
// search starts from 10000000 and 0, not from the int extremes), the window
// maximum dmax, the deviations of the profile row and the missing cells.
// Each thread reduces its own rows; min, max and sums make the combined
// result exact whatever the split.
void lecture(int& mind, int& maxd)
{
    mind = 10000000;
    maxd = 0;
    dmax = 0.0;
    nb_manquants = 0;
    dem_en_memoire = false;
    for (int j = 0; j < nb_col; j++) dev_profil[j] = 0.0;
    struct Part {
        int mind, maxd;
        double dmax;
        uint64_t manquants;
    };
    std::vector<Part> parts((size_t)nb_fils, Part{mind, maxd, 0.0, 0});
    progression::commence("reading");
    int tour = lignes_bloc * nb_fils;
    for (int i = 0; i < nb_lig; i += tour) {
        progression::avance(i, nb_lig);
        int nombre = std::min(tour, nb_lig - i);
        lance_sur_tour(i, nombre, tampon, presence, [&](int t, int premiere, int combien) {
            Part& p = parts[(size_t)t];
            for (int l = premiere; l < premiere + combien; l++) {
                const int* z = elevations(tampon, l - i);
                const unsigned char* m = presence_ligne(presence, l - i);
                passe_a_ligne(z, m, nb_col, l >= 2 && l <= nb_lig - 3, p.mind, p.maxd, p.dmax, p.manquants);
                if (l == ligne_profil) deviations_ligne(z, m, nb_col, dev_profil);
            }
        });
        equipe::attend();
    }
    for (const Part& p : parts) {
        mind = std::min(mind, p.mind);
        maxd = std::max(maxd, p.maxd);
        dmax = std::max(dmax, p.dmax);
        nb_manquants += p.manquants;
    }
    progression::termine();
    if (f1) verifie_dem();
    dem_en_memoire = itab_in != nullptr;
    uint64_t attendus = (uint64_t)nb_lig * (uint64_t)nb_col * 4;
    if (f1 && etat_dem.taille < attendus)
        avertit("%s: %llu bytes expected for %d x %d elevations, %llu found; the missing elevations are 0",
                nomim1.c_str(), (unsigned long long)attendus, nb_lig, nb_col, (unsigned long long)etat_dem.taille);
}

void rapport(int mind, int maxd, int norm)
{
    if (nomim4.empty()) return;
    if (!f4) f4 = ouvre_resultat(nomim4);  // the dialogue opened it with the result name
    ecrit_texte(f4, "\n\tTavelkorn\n");
    ecrit_texte(f4, "\n\tStudied DEM : %s ", nomim1.c_str());
    ecrit_texte(f4, "\n\n\tDynamic scale : ");
    ecrit_texte(f4, "\n\t\tMin. %d  Max. %d ", mind, maxd);
    ecrit_texte(f4, "\n\n\tNormalization value = %d ", norm);
    ecrit_texte(f4, "\n\n\tHistogram following the columns on the line %d ", ligne_profil);
    ecrit_texte(f4, "\n\tName of this histogram : %s ", nomim4.c_str());
    ferme_resultat(f4, nomim4);
}

// Loads the DEM, completes a new descriptor, shows the range, asks the
// normalisation value and writes the run report. Returns the value.
static int chargement()
{
    printf("\n\tLecture \n");
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

// ---------------------------------------------------------------- second pass

// The profile of row ligne_profil: the stretched values before the byte
// conversion, so they can exceed norm; missing cells are left out.
static void profil()
{
    if (nomim3.empty()) return;
    if (!f3) f3 = ouvre_resultat(nomim3);
    for (int j = 1; j <= nb_col - 2; j++)
        if (!std::isnan(dev_profil[j])) ecrit_texte(f3, "%d\t%lf\n", j + 1, dif > 0.0 ? etire(dev_profil[j]) : 0.0);
    ferme_resultat(f3, nomim3);
}

static int faites;  // image rows handed out, for the progress line

// Starts the threads on the round of rows [debut, debut + nombre), into the
// "next" buffers.
static void lance_tour(int debut, int nombre)
{
    suivant_debut = debut;
    suivant_fin = debut + nombre;
    int* z = tampon_suivant;
    unsigned char *m = presence_suivante, *o = octets_suivants;
    float* v = valeurs_suivantes;
    lance_sur_tour(debut, nombre, z, m, [=](int t, int premiere, int combien) {
        for (int r = premiere - debut; r < premiere - debut + combien; r++) {
            size_t k = (size_t)r * nb_col;
            passe_b_ligne(elevations(z, r), presence_ligne(m, r), nb_col, o + k, v ? v + k : nullptr,
                          brouillon + (size_t)t * nb_col);
        }
    });
}

// The round of up to nb_fils blocks that starts (or, going down, ends) at i.
static void tour_de(int i, int& debut, int& nombre)
{
    int tour = lignes_bloc * nb_fils;
    nombre = descendant ? std::min(tour, i + 1) : std::min(tour, nb_lig - i);
    debut = descendant ? i - nombre + 1 : i;
}

// Row i of the image, from the round that holds it. When i leaves the
// current round, the next one (computed meanwhile) becomes current and the
// threads start on the one after, in the direction of the writer.
const unsigned char* ligne_image(int i, void*)
{
    if (i < bloc_debut || i >= bloc_fin) {
        progression::avance(faites, nb_lig);
        int debut, nombre;
        if (i < suivant_debut || i >= suivant_fin) {  // the first round, computed now
            tour_de(i, debut, nombre);
            lance_tour(debut, nombre);
        }
        equipe::attend();
        std::swap(tampon, tampon_suivant);
        std::swap(presence, presence_suivante);
        std::swap(octets, octets_suivants);
        std::swap(valeurs, valeurs_suivantes);
        bloc_debut = suivant_debut;
        bloc_fin = suivant_fin;
        suivant_debut = suivant_fin = 0;
        faites += bloc_fin - bloc_debut;
        int j = descendant ? bloc_debut - 1 : bloc_fin;
        if (j >= 0 && j < nb_lig) {
            tour_de(j, debut, nombre);
            lance_tour(debut, nombre);
        }
    }
    return octets + (size_t)(i - bloc_debut) * nb_col;
}

const float* valeurs_image(int i) { return valeurs + (size_t)(i - bloc_debut) * nb_col; }

const unsigned char* presence_image(int i) { return presence_ligne(presence, i - bloc_debut); }

int reste_du_bloc(int i) { return bloc_fin - i; }

// The world file of a BMP: the pixel sizes, the rotation terms and the
// centre of the top-left pixel, as GIS tools read it beside the image.
void ecrit_monde(const std::string& chemin)
{
    double g[6];
    if (!dem_georeference(g)) return;
    FILE* f = ouvre_resultat(chemin);
    ecrit_texte(f, "%.10f\n%.10f\n%.10f\n%.10f\n%.10f\n%.10f\n", g[1], g[4], g[2], g[5],
                g[0] + 0.5 * g[1] + 0.5 * g[2], g[3] + 0.5 * g[4] + 0.5 * g[5]);
    ferme_resultat(f, chemin);
}

// The image in the native formats.
static void image()
{
    bool ecrit = true;
    if (format == 1) {
        ecrit = EcritBMP(f2, ligne_image, nullptr, nb_col, nb_lig, 0, nullptr) == 0;
    } else if (format == 0) {
        for (int i = 0; i < nb_lig && ecrit; i += reste_du_bloc(i)) {  // a round at a time: large writes
            const unsigned char* o = ligne_image(i, nullptr);
            size_t n = (size_t)reste_du_bloc(i) * nb_col;
            ecrit = fwrite(o, 1, n, f2) == n;
        }
    }
    if (f1 && !dem_en_memoire) verifie_dem();
    if (format == 0 || format == 1) {
        if (!ecrit) echec("%s: could not be written completely", nomim2.c_str());
        ferme_resultat(f2, nomim2);
    }
}

void calcule_et_ecrit(int norm)
{
    dmin = dmax * 0.5;
    dif = dmax - dmin;
    scale = (double)norm;
    if (!(dif > 0.0))
        avertit("%s: no deviation inside the search window (a flat DEM, or fewer than 5 lines or columns): "
                "the image and the profile are all 0",
                nomim1.c_str());
    profil();
    progression::commence("computing and writing");
    faites = 0;
    bloc_debut = bloc_fin = suivant_debut = suivant_fin = 0;
    descendant = format == 1;  // BMP rows are stored bottom-up
    if (format == 2) ecrit_image_gdal();
    else image();
    progression::termine();
}

// Threads: TAVELKORN_THREADS when set (1 forces a single thread), else one
// per core.
static int fils_par_defaut()
{
    const char* v = getenv("TAVELKORN_THREADS");
    if (v && atoi(v) >= 1) return std::min(atoi(v), 256);
    return std::max(1u, std::thread::hardware_concurrency());
}

int main(int argc, char** argv)
{
    installe_interruptions();
    nb_fils = fils_par_defaut();
    if (argc > 1) return ligne_de_commande(argc, argv);
    ouverture();
    int norm = chargement();
    calcule_et_ecrit(norm);
    printf("\n");
    if (fflush(stdout) != 0 || ferror(stdout)) echec("standard output: the dialogue could not be written: %s", strerror(errno));
    valide_resultats();
    return 0;
}
