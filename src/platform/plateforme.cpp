#include "plateforme.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <chrono>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
const char* const REPERTOIRE_BASE = "c:\\images\\";
const char SEPARATEUR = '\\';
#else
#include <dlfcn.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>
const char* const REPERTOIRE_BASE = "images/";
const char SEPARATEUR = '/';
#endif

const char* repertoire_base()
{
    const char* essai = getenv("TAVELKORN_TEST_BASE");
    return essai && *essai ? essai : REPERTOIRE_BASE;
}

long long lit_a(FILE* f, void* tampon, size_t n, uint64_t position)
{
    size_t fait = 0;
    while (fait < n) {
#ifdef _WIN32
        OVERLAPPED o = {};
        uint64_t p = position + fait;
        o.Offset = (DWORD)p;
        o.OffsetHigh = (DWORD)(p >> 32);
        DWORD lu = 0;
        DWORD demande = (DWORD)std::min<size_t>(n - fait, 1u << 30);
        if (!ReadFile((HANDLE)_get_osfhandle(_fileno(f)), (char*)tampon + fait, demande, &lu, &o)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            errno = EIO;
            return -1;
        }
#else
        ssize_t lu = pread(fileno(f), (char*)tampon + fait, n - fait, (off_t)(position + fait));
        if (lu < 0 && errno == EINTR) continue;
        if (lu < 0) return -1;
#endif
        if (lu == 0) break;
        fait += (size_t)lu;
    }
    return (long long)fait;
}

void* alloue_aligne(size_t n)
{
#ifdef _WIN32
    return _aligned_malloc(n ? n : 1, 4096);
#else
    void* p = nullptr;
    return posix_memalign(&p, 4096, n ? n : 1) == 0 ? p : nullptr;
#endif
}

void* alloue_grand(size_t n)
{
#ifdef _WIN32
    return _aligned_malloc(n ? n : 1, 4096);
#else
    void* p = nullptr;
    if (posix_memalign(&p, (size_t)2 << 20, n ? n : 1) != 0) return nullptr;
#ifdef MADV_HUGEPAGE
    madvise(p, n, MADV_HUGEPAGE);  // a hint: refused, the pages are small
#endif
    return p;
#endif
}

void libere_aligne(void* p)
{
#ifdef _WIN32
    _aligned_free(p);
#else
    free(p);
#endif
}

#ifdef _WIN32
uint64_t memoire_physique()
{
    MEMORYSTATUSEX etat;
    etat.dwLength = sizeof etat;
    return GlobalMemoryStatusEx(&etat) ? etat.ullTotalPhys : UINT64_MAX;
}

static uint64_t memoire_du_systeme()
{
    MEMORYSTATUSEX etat;
    etat.dwLength = sizeof etat;
    return GlobalMemoryStatusEx(&etat) ? etat.ullAvailPhys : UINT64_MAX;
}
#else
uint64_t memoire_physique()
{
    long pages = sysconf(_SC_PHYS_PAGES), taille = sysconf(_SC_PAGESIZE);
    return pages > 0 && taille > 0 ? (uint64_t)pages * (uint64_t)taille : UINT64_MAX;
}

// What an address-space limit (ulimit -v) still leaves to the process.
static uint64_t reste_sous_la_limite()
{
    rlimit rl;
    if (getrlimit(RLIMIT_AS, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
    unsigned long long pages = 0;
    FILE* f = fopen("/proc/self/statm", "r");
    if (f) {
        if (fscanf(f, "%llu", &pages) != 1) pages = 0;
        fclose(f);
    }
    uint64_t utilise = pages * (uint64_t)sysconf(_SC_PAGESIZE);
    return rl.rlim_cur > utilise ? rl.rlim_cur - utilise : 0;
}

// Memory the system can give without paging, from /proc/meminfo.
static uint64_t memoire_libre()
{
    FILE* f = fopen("/proc/meminfo", "r");
    if (!f) return UINT64_MAX;
    char ligne[128];
    unsigned long long ko = 0;
    bool trouve = false;
    while (!trouve && fgets(ligne, sizeof ligne, f)) trouve = sscanf(ligne, "MemAvailable: %llu kB", &ko) == 1;
    fclose(f);
    return trouve ? ko * 1024 : UINT64_MAX;
}

static uint64_t memoire_du_systeme()
{
    uint64_t libre = memoire_libre(), reste = reste_sous_la_limite();
    return libre < reste ? libre : reste;
}
#endif

// The test hook TAVELKORN_TEST_MEMORY holds it low (the dialogue's fuzz
// target: a claimed huge DEM is refused at once); not meant for users.
uint64_t memoire_disponible()
{
    const char* essai = getenv("TAVELKORN_TEST_MEMORY");
    return essai && *essai ? strtoull(essai, nullptr, 10) : memoire_du_systeme();
}

#ifdef _WIN32
static void etat_de(const struct _stat64& st, EtatFichier& e)
{
    e.taille = (uint64_t)st.st_size;
    e.date = (int64_t)st.st_mtime * 1000000000;
    e.appareil = e.noeud = 0;  // _stat gives no identity on Windows
}

bool etat_fichier(FILE* f, EtatFichier& e)
{
    struct _stat64 st;
    return _fstat64(_fileno(f), &st) == 0 && (etat_de(st, e), true);
}

bool etat_chemin(const std::string& chemin, EtatFichier& e)
{
    struct _stat64 st;
    return _stat64(chemin.c_str(), &st) == 0 && (etat_de(st, e), true);
}
#else
static void etat_de(const struct stat& st, EtatFichier& e)
{
    e.taille = (uint64_t)st.st_size;
    e.date = (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
    e.appareil = (uint64_t)st.st_dev;
    e.noeud = (uint64_t)st.st_ino;
}

bool etat_fichier(FILE* f, EtatFichier& e)
{
    struct stat st;
    return fstat(fileno(f), &st) == 0 && (etat_de(st, e), true);
}

bool etat_chemin(const std::string& chemin, EtatFichier& e)
{
    struct stat st;
    return stat(chemin.c_str(), &st) == 0 && (etat_de(st, e), true);
}
#endif

bool operator==(const EtatFichier& a, const EtatFichier& b)
{
    return a.taille == b.taille && a.date == b.date && a.appareil == b.appareil && a.noeud == b.noeud;
}

FILE* cree_fichier_neuf(const std::string& chemin, bool lecture)
{
#ifdef _WIN32
    int fd = _open(chemin.c_str(), _O_CREAT | _O_EXCL | (lecture ? _O_RDWR : _O_WRONLY) | _O_BINARY,
                   _S_IREAD | _S_IWRITE);
    FILE* f = fd < 0 ? nullptr : _fdopen(fd, lecture ? "w+b" : "wb");
    if (fd >= 0 && !f) _close(fd);
#else
    int fd = open(chemin.c_str(), O_CREAT | O_EXCL | (lecture ? O_RDWR : O_WRONLY) | O_CLOEXEC, 0666);
    FILE* f = fd < 0 ? nullptr : fdopen(fd, lecture ? "w+b" : "wb");
    if (fd >= 0 && !f) close(fd);
#endif
    return f;
}

#ifndef _WIN32
// The number of a descriptor the name stands for (/dev/stdout, /dev/fd/N,
// /proc/self/fd/N), or -1.
static int descripteur_nomme(const std::string& chemin)
{
    if (chemin == "/dev/stdin") return 0;
    if (chemin == "/dev/stdout") return 1;
    if (chemin == "/dev/stderr") return 2;
    for (const char* d : {"/dev/fd/", "/proc/self/fd/"}) {
        size_t n = strlen(d);
        if (chemin.compare(0, n, d) != 0 || chemin.size() == n) continue;
        char* fin = nullptr;
        long v = strtol(chemin.c_str() + n, &fin, 10);
        if (*fin == 0 && v >= 0 && v < INT_MAX) return (int)v;
    }
    return -1;
}
#endif

bool descripteur_ouvert(const std::string& chemin)
{
#ifdef _WIN32
    (void)chemin;
    return false;
#else
    int d = descripteur_nomme(chemin);
    return d >= 0 && fcntl(d, F_GETFD) >= 0;
#endif
}

FILE* ouvre_existant(const std::string& chemin)
{
#ifdef _WIN32
    return fopen(chemin.c_str(), "wb");
#else
    // A descriptor of this process is written where it stands (a log opened
    // with >> is appended to), never opened again from its start.
    int d = descripteur_nomme(chemin);
    if (d >= 0) {
        int n = fcntl(d, F_DUPFD_CLOEXEC, 3);
        FILE* f = n < 0 ? nullptr : fdopen(n, "ab");
        if (n >= 0 && !f) close(n);
        return f;
    }
    int fd = open(chemin.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    FILE* f = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (fd >= 0 && !f) close(fd);
    return f;
#endif
}

void copie_droits(const std::string& de, const std::string& vers)
{
#ifdef _WIN32
    (void)de, (void)vers;
#else
    struct stat st;
    if (stat(de.c_str(), &st) == 0) chmod(vers.c_str(), st.st_mode & 07777);
#endif
}

bool remplace_fichier(const std::string& de, const std::string& vers)
{
#ifdef _WIN32
    if (MoveFileExA(de.c_str(), vers.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    return false;
#else
    return rename(de.c_str(), vers.c_str()) == 0;
#endif
}

GenreFichier genre_fichier(const std::string& chemin, bool suivi)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::file_status st = suivi ? fs::status(chemin, ec) : fs::symlink_status(chemin, ec);
    switch (st.type()) {
    case fs::file_type::not_found: return ABSENT;
    case fs::file_type::regular: return REGULIER;
    case fs::file_type::directory: return DOSSIER;
    case fs::file_type::symlink: return LIEN;
    case fs::file_type::none:
    case fs::file_type::unknown: errno = ec ? ec.value() : EIO; return INACCESSIBLE;
    default: return SPECIAL;
    }
}

uint64_t espace_libre(const std::string& dossier)
{
#ifdef _WIN32
    ULARGE_INTEGER libre;
    if (GetDiskFreeSpaceExA(dossier.empty() ? "." : dossier.c_str(), &libre, nullptr, nullptr))
        return libre.QuadPart;
#else
    struct statvfs s;
    if (statvfs(dossier.empty() ? "." : dossier.c_str(), &s) == 0) return (uint64_t)s.f_bavail * s.f_frsize;
#endif
    return UINT64_MAX;
}

std::string cle_de_chemin(const std::string& chemin)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path p = fs::absolute(chemin, ec);
    if (ec) p = chemin;
    fs::path r = fs::weakly_canonical(p, ec);
    std::string cle = (ec ? p : r).lexically_normal().string();
#ifdef _WIN32
    for (char& c : cle) c = (char)tolower((unsigned char)c);
#endif
    return cle;
}

std::string repertoire_programme()
{
#ifdef _WIN32
    char chemin[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, chemin, MAX_PATH);
    std::string p(chemin, n < MAX_PATH ? n : 0);
#else
    std::error_code ec;
    std::string p = std::filesystem::read_symlink("/proc/self/exe", ec).string();
#endif
    // Only an absolute folder: a relative one would load modules from
    // wherever the program happens to run.
    size_t fin = p.find_last_of("/\\");
    if (fin == std::string::npos || !std::filesystem::path(p).is_absolute()) return "";
    return p.substr(0, fin + 1);
}

void* charge_module(const std::string& chemin, std::string& erreur)
{
#ifdef _WIN32
    void* m = (void*)LoadLibraryA(chemin.c_str());
    if (!m) erreur = chemin + ": cannot be loaded (error " + std::to_string(GetLastError()) + ")";
#else
    void* m = dlopen(chemin.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m) erreur = dlerror();
#endif
    return m;
}

void* symbole_module(void* module, const char* nom)
{
#ifdef _WIN32
    return (void*)GetProcAddress((HMODULE)module, nom);
#else
    return dlsym(module, nom);
#endif
}
