#include "plateforme.h"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <vector>

#ifdef _WIN32
#include <conio.h>
#include <io.h>
#include <windows.h>
const char* const REPERTOIRE_BASE = "c:\\images\\";
const char SEPARATEUR = '\\';
#else
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
const char* const REPERTOIRE_BASE = "images/";
const char SEPARATEUR = '/';
#endif

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

int lit_descripteur(FILE* f, int* champs, int n, bool& hors_limites)
{
    bool fini = false;
    auto lire = [&]() {
        int c;
        do c = fini ? EOF : getc(f);
        while (c == '\r');
        if (c == 0x1A) fini = true;
        return fini ? EOF : c;
    };
    hors_limites = false;
    int c = lire();
    for (int k = 0; k < n; k++) {
        int r = analyse_entier(c, lire, champs[k]);
        if (r != NOMBRE_LU) {
            hors_limites = r == HORS_LIMITES;
            return k;
        }
    }
    return n;
}

bool positionne(FILE* f, uint64_t position)
{
#ifdef _WIN32
    return _fseeki64(f, (__int64)position, SEEK_SET) == 0;
#else
    return fseeko(f, (off_t)position, SEEK_SET) == 0;
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
