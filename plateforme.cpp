#include "plateforme.h"

#include <algorithm>
#include <atomic>
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
#include <conio.h>
#include <io.h>
#include <process.h>
#include <windows.h>
const char* const REPERTOIRE_BASE = "c:\\images\\";
const char SEPARATEUR = '\\';
#else
#include <dlfcn.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
const char* const REPERTOIRE_BASE = "images/";
const char SEPARATEUR = '/';
#endif

const char* repertoire_base()
{
    const char* essai = getenv("TAVELKORN_TEST_BASE");
    return essai && *essai ? essai : REPERTOIRE_BASE;
}

enum { NOMBRE_LU, PAS_UN_NOMBRE, HORS_LIMITES, FIN_DONNEES };

// "%d" on a character source: c is the first character not yet used, and
// on return the first one after what was taken.
template <typename Lire>
static int analyse_entier(int& c, Lire lire, int& v)
{
    while (c != EOF && isspace(c)) c = lire();
    if (c == EOF) return FIN_DONNEES;
    bool negatif = c == '-';
    if (c == '-' || c == '+') c = lire();
    if (c == EOF || !isdigit(c)) return PAS_UN_NOMBRE;
    long long m = 0;
    for (; c != EOF && isdigit(c); c = lire())
        if (m <= (long long)INT_MAX + 1) m = m * 10 + (c - '0');
    if (m > (negatif ? (long long)INT_MAX + 1 : (long long)INT_MAX)) return HORS_LIMITES;
    v = (int)(negatif ? -m : m);
    return NOMBRE_LU;
}

Reponse lit_mot(std::string& mot)
{
    fflush(stdout);
    int c = getchar();
    while (c != EOF && isspace(c)) c = getchar();
    if (c == EOF) return REPONSE_FIN;
    mot.clear();
    bool nul = false;
    for (; c != EOF && !isspace(c); c = getchar()) {
        nul |= c == 0;
        mot += (char)c;
    }
    if (c != EOF) ungetc(c, stdin);
    return nul ? REPONSE_INVALIDE : REPONSE_OK;
}

Reponse lit_entier(int& v, std::string& rebut)
{
    fflush(stdout);
    // What is taken is kept (its start only) to name a refused answer.
    rebut.clear();
    auto lire = [&rebut]() {
        int c = getchar();
        if (c != EOF && rebut.size() < 40 && !isspace(c)) rebut += c ? (char)c : '?';
        return c;
    };
    int c = lire();
    int r = analyse_entier(c, lire, v);
    if (r == NOMBRE_LU) {
        if (c != EOF) ungetc(c, stdin);
        return REPONSE_OK;
    }
    if (r == FIN_DONNEES) return REPONSE_FIN;
    while (c != EOF && c != '\n') c = lire();  // the rest of the line goes
    return REPONSE_INVALIDE;
}

bool erreur_sur_terminal()
{
#ifdef _WIN32
    return _isatty(2);
#else
    return isatty(2);
#endif
}

void attend_touche()
{
    fflush(stdout);
#ifdef _WIN32
    if (_isatty(0)) { _getch(); return; }
#else
    termios ancien;
    if (isatty(0) && tcgetattr(0, &ancien) == 0) {
        termios brut = ancien;
        brut.c_lflag &= ~(ICANON | ECHO);
        brut.c_cc[VMIN] = 1;
        brut.c_cc[VTIME] = 0;
        tcsetattr(0, TCSANOW, &brut);
        char k;
        ssize_t lu = read(0, &k, 1);  // straight from the terminal, as a key press
        (void)lu;
        tcsetattr(0, TCSANOW, &ancien);
        return;
    }
#endif
    getchar();
}

void ecrit_texte(FILE* f, const char* fmt, ...)
{
    char court[256];
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(court, sizeof court, fmt, args);
    va_end(args);
    if (n < 0) return;
    std::vector<char> grand;
    const char* texte = court;
    if ((size_t)n >= sizeof court) {
        grand.resize((size_t)n + 1);
        va_start(args, fmt);
        vsnprintf(grand.data(), grand.size(), fmt, args);
        va_end(args);
        texte = grand.data();
    }
    for (int k = 0; k < n; k++) {
        if (texte[k] == '\n') putc('\r', f);
        putc(texte[k], f);
    }
}

// A whole decimal number, optionally signed, within the int range.
static bool nombre_entier(const std::string& t, int& v)
{
    size_t k = t[0] == '-' || t[0] == '+' ? 1 : 0;
    if (k == t.size()) return false;
    long long m = 0;
    for (; k < t.size(); k++) {
        if (!isdigit((unsigned char)t[k])) return false;
        m = m * 10 + (t[k] - '0');
        if (m > (long long)INT_MAX + 1) return false;
    }
    if (t[0] == '-') m = -m;
    if (m > INT_MAX) return false;
    v = (int)m;
    return true;
}

int lit_descripteur(FILE* f, int* champs, int n, std::string& fautif, int& ligne)
{
    fautif.clear();
    ligne = 1;
    unsigned char debut[3] = {0, 0, 0};
    size_t lus = fread(debut, 1, 3, f);
    if (lus >= 2 && ((debut[0] == 0xFF && debut[1] == 0xFE) || (debut[0] == 0xFE && debut[1] == 0xFF))) return -1;
    size_t suivant = lus == 3 && debut[0] == 0xEF && debut[1] == 0xBB && debut[2] == 0xBF ? 3 : 0;
    bool fini = false;
    auto lire = [&]() {
        int c;
        do c = fini ? EOF : suivant < lus ? debut[suivant++] : getc(f);
        while (c == '\r');
        if (c == 0x1A || c == EOF) fini = true;
        return fini ? EOF : c;
    };
    int c = lire();
    for (int k = 0; k < n; k++) {
        for (; c != EOF && isspace(c); c = lire()) ligne += c == '\n';
        if (c == EOF) return k;
        std::string t;
        for (; c != EOF && !isspace(c); c = lire())
            if (t.size() < 40) t += c ? (char)c : '?';
        if (!nombre_entier(t, champs[k])) {
            fautif = t;
            return k;
        }
    }
    return n;
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

void libere_aligne(void* p)
{
#ifdef _WIN32
    _aligned_free(p);
#else
    free(p);
#endif
}

#ifdef _WIN32
uint64_t memoire_disponible()
{
    MEMORYSTATUSEX etat;
    etat.dwLength = sizeof etat;
    return GlobalMemoryStatusEx(&etat) ? etat.ullAvailPhys : UINT64_MAX;
}
#else
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

uint64_t memoire_disponible()
{
    uint64_t libre = memoire_libre(), reste = reste_sous_la_limite();
    return libre < reste ? libre : reste;
}
#endif

bool etat_fichier(FILE* f, EtatFichier& e)
{
#ifdef _WIN32
    struct _stat64 st;
    if (_fstat64(_fileno(f), &st) != 0) return false;
    e.taille = (uint64_t)st.st_size;
    e.date = (int64_t)st.st_mtime * 1000000000;
#else
    struct stat st;
    if (fstat(fileno(f), &st) != 0) return false;
    e.taille = (uint64_t)st.st_size;
    e.date = (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
#endif
    return true;
}

std::string nom_temporaire(const std::string& final_)
{
#ifdef _WIN32
    int pid = _getpid();
#else
    int pid = (int)getpid();
#endif
    // Before the extension, so that drivers which name companion files after
    // it (NAME.hdr, NAME.aux.xml) keep them beside the temporary file.
    std::string marque = "." + std::to_string(pid) + ".tavelkorn-tmp";
    size_t point = final_.find_last_of('.'), separateur = final_.find_last_of("/\\");
    if (point == std::string::npos || (separateur != std::string::npos && point < separateur) || point == 0 ||
        point == separateur + 1)
        return final_ + marque;
    return final_.substr(0, point) + marque + final_.substr(point);
}

FILE* cree_fichier_neuf(const std::string& chemin)
{
#ifdef _WIN32
    int fd = _open(chemin.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    FILE* f = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (fd >= 0 && !f) _close(fd);
#else
    int fd = open(chemin.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    FILE* f = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (fd >= 0 && !f) close(fd);
#endif
    return f;
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

// The handler may run at any moment: it only reads this table, whose
// entries are built (and given up) outside it.
static const int MAX_TEMPORAIRES = 32;
static std::atomic<char*> temporaires[MAX_TEMPORAIRES];

static void efface_tout()
{
    for (auto& t : temporaires) {
        char* p = t.exchange(nullptr);
        if (p) remove(p);  // unlink: safe in a signal handler (no allocation)
    }
}

#ifdef _WIN32
static BOOL WINAPI interruption(DWORD)
{
    _fcloseall();  // Windows removes no open file; the process ends here anyway
    efface_tout();
    ExitProcess(1);
    return TRUE;
}

void installe_interruptions() { SetConsoleCtrlHandler(interruption, TRUE); }
#else
static void interruption(int sig)
{
    efface_tout();
    signal(sig, SIG_DFL);  // and end as the signal would have
    raise(sig);
}

void installe_interruptions()
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction sa, avant;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = interruption;
        sigemptyset(&sa.sa_mask);
        // A signal ignored from the start (nohup, a background job) stays ignored.
        if (sigaction(sig, nullptr, &avant) == 0 && avant.sa_handler == SIG_IGN) continue;
        sigaction(sig, &sa, nullptr);
    }
}
#endif

void protege_temporaire(const std::string& chemin)
{
    for (auto& t : temporaires) {
        char* vide = nullptr;
        char* p = strdup(chemin.c_str());
        if (t.compare_exchange_strong(vide, p)) return;
        free(p);
    }
    abort();  // never more than a handful of results
}

void oublie_temporaire(const std::string& chemin)
{
    for (auto& t : temporaires) {
        char* p = t.load();
        if (p && chemin == p && t.compare_exchange_strong(p, nullptr)) {
            free(p);
            return;
        }
    }
}

void supprime_temporaires()
{
    for (auto& t : temporaires) {
        char* p = t.exchange(nullptr);
        if (p) remove(p);
        free(p);
    }
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
    size_t fin = p.find_last_of("/\\");
    return fin == std::string::npos ? "" : p.substr(0, fin + 1);
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

bool processeur_avx2()
{
#ifdef CIBLE_AVX2
    __builtin_cpu_init();  // may run before the constructors that would do it
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}
