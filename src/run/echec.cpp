#include "echec.h"

#include <cstdio>
#include <string>

static void dit(const char* prefixe, const std::string& t)
{
    fflush(stdout);  // keep the dialogue and the messages in order on a terminal
    fprintf(stderr, "tavelkorn: %s%s\n", prefixe, t.c_str());
}

void signale(const char* fmt, ...)
{
    TEXTE_DES_ARGUMENTS(fmt, t);
    dit("", t);
}

void avertit(const char* fmt, ...)
{
    TEXTE_DES_ARGUMENTS(fmt, t);
    dit("warning: ", t);
}

void echec(const char* fmt, ...)
{
    TEXTE_DES_ARGUMENTS(fmt, t);
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
    TEXTE_DES_ARGUMENTS(fmt, t);
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
