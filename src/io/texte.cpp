#include "texte.h"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <vector>

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

