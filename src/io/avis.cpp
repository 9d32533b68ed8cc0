#include "avis.h"

#include <cstdarg>
#include <cstdio>

std::string texte_va(const char* fmt, va_list args)
{
    va_list copie;
    va_copy(copie, args);
    int n = vsnprintf(nullptr, 0, fmt, copie);
    va_end(copie);
    std::string t(n > 0 ? (size_t)n : 0, '\0');
    if (n > 0) vsnprintf(&t[0], t.size() + 1, fmt, args);
    return t;
}

std::string texte_de(const char* fmt, ...)
{
    TEXTE_DES_ARGUMENTS(fmt, t);
    return t;
}

bool echec_de(Avis& a, const char* fmt, ...)
{
    TEXTE_DES_ARGUMENTS(fmt, t);
    a.texte = t;
    a.requete = false;
    return false;
}

bool refus_de(Avis& a, const char* fmt, ...)
{
    TEXTE_DES_ARGUMENTS(fmt, t);
    a.texte = t;
    a.requete = true;
    return false;
}

void avertissement(Avis& a, const char* fmt, ...)
{
    TEXTE_DES_ARGUMENTS(fmt, t);
    a.avertissements.push_back(t);
}
