#include "garde.h"

#include "../platform/plateforme.h"
#include "resultats.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

uint64_t taille_garde(int nb_lig, int nb_col, bool manquants, bool etroit)
{
    return (uint64_t)nb_lig * (uint64_t)nb_col * ((etroit ? 2 : 4) + (manquants ? 1 : 0));
}

// A scratch file of the result set, gone from the folder at once where the
// system allows it (it stays readable through f); the private folder takes
// it otherwise, on every way out.
static FILE* brouillon(JeuResultats& j, const char* nom, Avis& a)
{
    std::string chemin = resultat_brouillon(j, nom);
    FILE* f = cree_fichier_neuf(chemin, true);
    if (!f) return echec_de(a, "%s: cannot be created: %s", chemin.c_str(), strerror(errno)), nullptr;
    std::error_code ec;
    std::filesystem::remove(chemin, ec);
    return f;
}

bool garde_prepare(Garde& g, JeuResultats& j, uint64_t budget, bool etroit, Avis& a)
{
    g.suivante = 0;
    g.taille_z = etroit ? 2 : 4;
    bool m = g.source.manquants;
    uint64_t n = (uint64_t)g.nb_lig * (uint64_t)g.nb_col;
    if (taille_garde(g.nb_lig, g.nb_col, m, etroit) <= budget && n <= SIZE_MAX / 4) {
        g.elevations = (char*)alloue_grand((size_t)n * g.taille_z);
        g.presences = m ? (unsigned char*)alloue_grand((size_t)n) : nullptr;
        if (g.elevations && (g.presences || !m)) return true;
        libere_aligne(g.elevations), libere_aligne(g.presences);
        g.elevations = nullptr, g.presences = nullptr;
    }
    return (g.fz = brouillon(j, ".kept.z", a)) && (!m || (g.fm = brouillon(j, ".kept.m", a)));
}

// Elevations as they are kept: int32, or int16 when they fit.
static const void* comprime(Garde& g, const int* z, size_t n)
{
    if (g.taille_z == 4) return z;
    g.etroites.resize(n);
    for (size_t k = 0; k < n; k++) g.etroites[k] = (int16_t)z[k];
    return g.etroites.data();
}

static bool perdu(const Garde& g, tavelkorn::Erreur& erreur)
{
    erreur.texte = g.nom + ": the decoded DEM could not be kept: " + strerror(errno);
    return false;
}

static bool lit_et_garde(void* contexte, int premiere, int nombre, int* z, unsigned char* presence,
                         tavelkorn::Erreur& erreur)
{
    Garde& g = *(Garde*)contexte;
    if (!g.source.lit_bloc(g.source.contexte, premiere, nombre, z, presence, erreur)) return false;
    if (premiere != g.suivante) return erreur.texte = g.nom + ": rows read out of order", false;  // never: one thread reads
    g.suivante = premiere + nombre;
    size_t n = (size_t)nombre * g.nb_col, debut = (size_t)premiere * g.nb_col;
    const void* v = comprime(g, z, n);
    if (g.elevations) {
        memcpy(g.elevations + debut * g.taille_z, v, n * g.taille_z);
        if (g.presences) memcpy(g.presences + debut, presence, n);
        return true;
    }
    if (fwrite(v, g.taille_z, n, g.fz) != n || (g.fm && fwrite(presence, 1, n, g.fm) != n)) return perdu(g, erreur);
    // The later readings read the files, not the streams.
    if (g.suivante == g.nb_lig && (fflush(g.fz) != 0 || (g.fm && fflush(g.fm) != 0))) return perdu(g, erreur);
    return true;
}

tavelkorn::Source source_gardante(Garde& g)
{
    tavelkorn::Source s = g.source;
    s.contexte = &g;
    s.parallele = false;
    s.lit_bloc = lit_et_garde;
    s.en_place = nullptr;
    return s;
}

static bool lit_bloc_garde(void* contexte, int premiere, int nombre, int* z, unsigned char* presence,
                           tavelkorn::Erreur& erreur)
{
    const Garde& g = *(const Garde*)contexte;
    size_t n = (size_t)nombre * g.nb_col, debut = (size_t)premiere * g.nb_col;
    if (g.elevations) {
        memcpy(z, g.elevations + debut * g.taille_z, n * g.taille_z);
        if (g.presences) memcpy(presence, g.presences + debut, n);
    } else if (lit_a(g.fz, z, n * g.taille_z, (uint64_t)debut * g.taille_z) != (long long)(n * g.taille_z) ||
               (g.fm && lit_a(g.fm, presence, n, (uint64_t)debut) != (long long)n)) {
        return erreur.texte = g.nom + ": the decoded DEM kept for the second pass cannot be read: " + strerror(errno),
               false;
    }
    if (g.taille_z == 2) {
        const int16_t* t = (const int16_t*)z;
        for (size_t k = n; k-- > 0;) z[k] = t[k];  // from the end: the int16 values lie in the first half
    }
    return true;
}

tavelkorn::Source source_gardee(Garde& g)
{
    tavelkorn::Source s;
    s.contexte = &g;
    s.nb_lig = g.nb_lig;
    s.nb_col = g.nb_col;
    s.parallele = true;
    s.manquants = g.source.manquants;
    s.lit_bloc = lit_bloc_garde;
    return s;
}

void garde_libere(Garde& g)
{
    libere_aligne(g.elevations);
    libere_aligne(g.presences);
    if (g.fz) fclose(g.fz);
    if (g.fm) fclose(g.fm);
    g.elevations = nullptr, g.presences = nullptr, g.fz = g.fm = nullptr;
}
