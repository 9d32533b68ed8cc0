// What differs between Windows and the other systems, and the text formats
// that must read and write the same on all of them: the base directory, the
// console answers, the key press, CR LF text files and memory available.
#ifndef PLATEFORME_H
#define PLATEFORME_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// "c:\images\" on Windows; elsewhere the drive root is the working directory.
extern const char* const REPERTOIRE_BASE;
// The base directory of a run: REPERTOIRE_BASE, unless the test hook
// TAVELKORN_TEST_BASE names another (the test suite gives each test a
// folder of its own on Windows too; it is not meant for users).
const char* repertoire_base();
extern const char SEPARATEUR;

// Console answers, read from standard input after standard output has been
// flushed, as scanf's "%s" and "%d" would read them (across lines).
enum Reponse { REPONSE_OK, REPONSE_INVALIDE, REPONSE_FIN };
// A white-space-delimited token; INVALIDE when it holds a NUL byte.
Reponse lit_mot(std::string& mot);
// A decimal integer. A non-number or a number beyond the int range is
// INVALIDE: the rest of its line is discarded and handed back in rebut.
Reponse lit_entier(int& v, std::string& rebut);
// Whether standard error is a terminal (progress is shown only there).
bool erreur_sur_terminal();
// One key press without echo on a terminal; one character (or end of input)
// from a pipe. Never waits for more.
void attend_touche();

// Reads up to n bytes at a 64-bit offset without moving the stream, so that
// several threads can read one file side by side. Returns the bytes read
// (fewer at the end of the file) or -1 with errno set.
long long lit_a(FILE* f, void* tampon, size_t n, uint64_t position);
// Memory aligned on a page, for buffers the system reads into.
void* alloue_aligne(size_t n);
void libere_aligne(void* p);
// A large buffer filled once (the decoded DEM kept for the second pass), in
// huge pages where the system gives them: on a virtual machine each 4 KiB
// page faulted in costs more than the copy into it. Freed by libere_aligne.
void* alloue_grand(size_t n);

// Size, modification time and identity of an open file, from the file
// itself (not its name, which may have been replaced since it was opened),
// or of the file a path names now.
struct EtatFichier {
    uint64_t taille;
    int64_t date;           // nanoseconds where the system keeps them
    uint64_t appareil, noeud;  // the file itself: a file renamed over another is another (0 where the system does not say)
};
bool etat_fichier(FILE* f, EtatFichier& e);
bool etat_chemin(const std::string& chemin, EtatFichier& e);
bool operator==(const EtatFichier& a, const EtatFichier& b);

// Creates a new file for binary writing (and reading, with lecture); fails
// (null, errno set) if anything at all, a link included, already has that
// name.
FILE* cree_fichier_neuf(const std::string& chemin, bool lecture = false);
// Opens an existing FIFO or device for writing, creating nothing; a name
// of one of the process's descriptors (/dev/stdout, /dev/fd/N) writes into
// that descriptor where it stands.
FILE* ouvre_existant(const std::string& chemin);
// Whether the name stands for a descriptor the process has open.
bool descripteur_ouvert(const std::string& chemin);
// Gives vers the permission bits of de (nothing on Windows).
void copie_droits(const std::string& de, const std::string& vers);
// Renames de to vers, replacing what vers was (a link itself, never the file
// it points to).
bool remplace_fichier(const std::string& de, const std::string& vers);

// What lies at a path: nothing, a regular file, a folder, or anything else
// (FIFO, device, socket). suivi follows a final symbolic link; without it a
// link is LIEN.
enum GenreFichier { ABSENT, REGULIER, DOSSIER, LIEN, SPECIAL, INACCESSIBLE };
GenreFichier genre_fichier(const std::string& chemin, bool suivi);

// A private folder for a run's results: dossier/.souche.tavelkorn-tmp-XXXXXX,
// created exclusively with mode 0700 and registered at once with the
// interruptions (below). False with errno set on failure.
bool cree_dossier_prive(const std::string& dossier, const std::string& souche, std::string& chemin);
// Free bytes for an unprivileged writer in the file system of a folder
// (UINT64_MAX when the system does not say).
uint64_t espace_libre(const std::string& dossier);

// An interruption (SIGINT, SIGTERM, SIGHUP; the console's Ctrl-C and close
// on Windows) removes the run's private folders whole, files and all, before
// the process ends as the signal would have ended it. Called first in main,
// before any other thread exists. SIGXFSZ is ignored: a file grown past
// ulimit -f is an ordinary write failure (EFBIG). oublie_dossier: a folder
// the run removed itself.
void installe_interruptions();
void oublie_dossier(const std::string& chemin);
// The private folders registered and not yet forgotten, each with the
// prefix it was created under (cree_dossier_prive's dossier), which its
// files' final names begin with: GDAL's warnings, which come with no run,
// are given those names from here.
struct DossierInscrit {
    std::string prefixe, chemin;
};
std::vector<DossierInscrit> dossiers_inscrits();
// Removes a folder and the files in it (the folder holds no sub-folder).
void supprime_dossier(const std::string& chemin);

// The folder of the running program, absolute, with its separator at the
// end; "" when the system cannot say.
std::string repertoire_programme();
// A module (shared library) and one of its symbols; null on failure, with
// the system's reason in erreur.
void* charge_module(const std::string& chemin, std::string& erreur);
void* symbole_module(void* module, const char* nom);
#ifdef _WIN32
#define MODULE_GDAL "tavelkorn_gdal.dll"
#else
#define MODULE_GDAL "tavelkorn_gdal.so"
#endif

// The key under which two paths name the same file: absolute, lexically
// normal, links resolved as far as the path exists, and case-folded where
// the file system ignores case.
std::string cle_de_chemin(const std::string& chemin);

// Bytes of memory the process can still use without paging (or UINT64_MAX
// where the system does not say).
uint64_t memoire_disponible();
// The machine's physical memory in bytes (UINT64_MAX where the system does
// not say).
uint64_t memoire_physique();

#endif
