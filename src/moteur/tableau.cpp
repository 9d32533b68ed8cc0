// Arrays in memory as a source: any of the usual element types, any
// strides, either byte order, missing cells by nodata, NaN or a mask, and
// the z-scale rounding every source of the program shares.
#include "calcul.h"

#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

namespace tavelkorn {

bool elevation_a_l_echelle(double v, double echelle_z, int& z, Erreur& erreur)
{
    double r = std::round(v * echelle_z);  // half away from zero, as GDAL rounds
    if (!(r >= INT_MIN && r <= INT_MAX)) {
        char t[256];
        snprintf(t, sizeof t, "elevation %.17g times the z-scale %g is %.17g, beyond the 32-bit range", v, echelle_z,
                 r);
        erreur = {CODE_PLAGE, t};
        return false;
    }
    z = (int)r;
    return true;
}

bool tableau_manquants(const Tableau& t)
{
    return t.avec_nodata || t.manquants || t.type == ELEV_FLOAT32 || t.type == ELEV_FLOAT64;
}

template <typename T>
static inline T valeur(const unsigned char* p, bool echange)
{
    T v;
    memcpy(&v, p, sizeof v);
    if (echange) {
        unsigned char o[sizeof(T)];
        memcpy(o, &v, sizeof v);
        for (size_t a = 0, b = sizeof(T) - 1; a < b; a++, b--) std::swap(o[a], o[b]);
        memcpy(&v, o, sizeof v);
    }
    return v;
}

// One row of t as T: missing cells (mask, NaN, nodata in T's own
// precision) give 0 and presence 0; the others are scaled and rounded, but
// integers at z-scale 1, which are taken as they are.
template <typename T>
static bool ligne(const Tableau& t, int i, int* z, unsigned char* m, Erreur& erreur, bool* fractions)
{
    const unsigned char* p = (const unsigned char*)t.donnees + (ptrdiff_t)i * t.pas_ligne;
    const unsigned char* masque = t.manquants ? t.manquants + (ptrdiff_t)i * t.pas_manquants : nullptr;
    const bool flottant = std::is_floating_point<T>::value;
    const bool tel_quel = !flottant && t.echelle_z == 1.0 && sizeof(T) <= 4 && !(std::is_same<T, uint32_t>::value);
    // A nodata value an integer array cannot hold (0.5, or beyond its range) marks nothing.
    T nodata = 0;
    bool nodata_exact = t.avec_nodata && (flottant || (t.nodata >= (double)std::numeric_limits<T>::lowest() &&
                                                       t.nodata <= (double)std::numeric_limits<T>::max() &&
                                                       t.nodata == std::floor(t.nodata)));
    if (nodata_exact) nodata = (T)t.nodata;
    bool fr = false;
    for (int j = 0; j < t.nb_col; j++, p += t.pas_colonne) {
        T v = valeur<T>(p, t.echange_octets);
        bool present = !(masque && masque[j]) && !(flottant && v != v) && !(nodata_exact && v == nodata);
        if (m) m[j] = present;
        if (!present) {
            z[j] = 0;
            continue;
        }
        if (tel_quel) {
            z[j] = (int)v;
            continue;
        }
        if (!elevation_a_l_echelle((double)v, t.echelle_z, z[j], erreur)) return false;
        fr |= flottant && (double)z[j] != (double)v * t.echelle_z;
    }
    if (fractions && fr) *fractions = true;
    return true;
}

bool tableau_lit(const Tableau& t, int premiere, int nombre, int* z, unsigned char* m, Erreur& erreur,
                 bool* fractions)
{
    for (int r = 0; r < nombre; r++) {
        int* zr = z + (size_t)r * t.nb_col;
        unsigned char* mr = m ? m + (size_t)r * t.nb_col : nullptr;
        int i = premiere + r;
        bool ok = true;
        switch (t.type) {
        case ELEV_INT16: ok = ligne<int16_t>(t, i, zr, mr, erreur, fractions); break;
        case ELEV_UINT16: ok = ligne<uint16_t>(t, i, zr, mr, erreur, fractions); break;
        case ELEV_INT32: ok = ligne<int32_t>(t, i, zr, mr, erreur, fractions); break;
        case ELEV_UINT32: ok = ligne<uint32_t>(t, i, zr, mr, erreur, fractions); break;
        case ELEV_FLOAT32: ok = ligne<float>(t, i, zr, mr, erreur, fractions); break;
        case ELEV_FLOAT64: ok = ligne<double>(t, i, zr, mr, erreur, fractions); break;
        }
        if (!ok) return false;
    }
    return true;
}

static bool lit_tableau(void* contexte, int premiere, int nombre, int* z, unsigned char* m, Erreur& erreur)
{
    return tableau_lit(*(const Tableau*)contexte, premiere, nombre, z, m, erreur);
}

static const int* en_place(void* contexte, int premiere, size_t& pas)
{
    const Tableau& t = *(const Tableau*)contexte;
    pas = (size_t)t.pas_ligne / sizeof(int32_t);
    return (const int*)((const unsigned char*)t.donnees + (ptrdiff_t)premiere * t.pas_ligne);
}

Source source_tableau(const Tableau* t)
{
    Source s;
    s.contexte = (void*)t;
    s.nb_lig = t->nb_lig;
    s.nb_col = t->nb_col;
    s.parallele = true;
    s.manquants = tableau_manquants(*t);
    s.lit_bloc = lit_tableau;
    // Native int32 rows, aligned, taken as they are: read where they lie.
    bool natif = t->type == ELEV_INT32 && !t->echange_octets && t->pas_colonne == (ptrdiff_t)sizeof(int32_t) &&
                 t->pas_ligne > 0 && t->pas_ligne % (ptrdiff_t)sizeof(int32_t) == 0 &&
                 (uintptr_t)t->donnees % alignof(int32_t) == 0 && t->echelle_z == 1.0;
    if (natif && !s.manquants) s.en_place = en_place;
    return s;
}

// The array read by calcul_tableau, which says whether fractions were rounded.
struct Lecture {
    const Tableau* t;
    std::atomic<bool> fractions{false};
};

static const int* en_place_lecture(void* contexte, int premiere, size_t& pas)
{
    return en_place((void*)((Lecture*)contexte)->t, premiere, pas);
}

static bool lit_et_compte(void* contexte, int premiere, int nombre, int* z, unsigned char* m, Erreur& erreur)
{
    Lecture& l = *(Lecture*)contexte;
    bool f = false;
    bool ok = tableau_lit(*l.t, premiere, nombre, z, m, erreur, &f);
    if (f) l.fractions = true;
    return ok;
}

bool calcul_tableau(const Tableau& t, const Options& o, void* image, unsigned char* presence, Bilan& bilan,
                    Erreur& erreur)
{
    Lecture lecture;
    lecture.t = &t;
    Source s = source_tableau(&t);
    s.contexte = &lecture;
    s.lit_bloc = lit_et_compte;
    s.en_place = s.en_place ? en_place_lecture : nullptr;
    Calcul* c = calcul_cree(s, o, "the array", erreur);
    if (!c) return false;
    Puits p;
    p.memoire = image;
    p.memoire_presence = presence;
    bool ok = calcul_execute(c, s, nullptr, p, bilan, erreur);
    bilan.fractions = lecture.fractions;
    calcul_libere(c);
    return ok;
}

}  // namespace tavelkorn
