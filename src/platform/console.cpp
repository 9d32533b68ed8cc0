// The console: answers read as scanf's "%s" and "%d" would read them, and
// the one key press.
#include "plateforme.h"

#include <cctype>
#include <climits>
#include <cstdio>

#ifdef _WIN32
#include <conio.h>
#include <io.h>
#else
#include <termios.h>
#include <unistd.h>
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

