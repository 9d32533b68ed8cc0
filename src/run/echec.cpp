#include "echec.h"

#include <cstdarg>
#include <cstdio>
#include <string>

static std::string texte(const char* fmt, va_list args)
{
    va_list copie;
    va_copy(copie, args);
    int n = vsnprintf(nullptr, 0, fmt, copie);
    va_end(copie);
    std::string t(n > 0 ? (size_t)n : 0, '\0');
    if (n > 0) vsnprintf(&t[0], t.size() + 1, fmt, args);
    return t;
}

static void dit(const char* prefixe, const std::string& t)
{
    fflush(stdout);  // keep the dialogue and the messages in order on a terminal
    fprintf(stderr, "tavelkorn: %s%s\n", prefixe, t.c_str());
}

#define TEXTE(fmt) \
    va_list args;  \
    va_start(args, fmt); \
    std::string t = texte(fmt, args); \
    va_end(args)

void signale(const char* fmt, ...)
{
    TEXTE(fmt);
    dit("", t);
}

void avertit(const char* fmt, ...)
{
    TEXTE(fmt);
    dit("warning: ", t);
}

void echec(const char* fmt, ...)
{
    TEXTE(fmt);
    dit("", t);
    throw Echec{1};
}

// A request that cannot be run as it stands: said as the command line says
// its usage errors.
[[noreturn]] static void refuse_texte(const std::string& t)
{
    dit("", t);
    fprintf(stderr, "usage: tavelkorn [OPTIONS] INPUT OUTPUT  (tavelkorn --help for the options)\n");
    throw Echec{2};
}

void refuse(const char* fmt, ...)
{
    TEXTE(fmt);
    refuse_texte(t);
}

void exige(bool ok, Avis& a)
{
    for (const std::string& t : a.avertissements) dit("warning: ", t);
    a.avertissements.clear();
    if (ok) return;
    if (a.requete) refuse_texte(a.texte);
    dit("", a.texte);
    throw Echec{1};
}
