// The one loop from a row's deviations to its bytes and Float32 values,
// and the places those deviations come from. Only noyaux.cpp includes it:
// every instance is built there, once for each processor.
#ifndef TAVELKORN_ETIRE_LIGNE_H
#define TAVELKORN_ETIRE_LIGNE_H

#include "noyaux.h"
#include "processeur.h"
#include "termes.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tavelkorn {

// The deviation of cell j down its column, against what it has already (its
// row's deviation, -1 or NaN): the larger one.
template <bool M, bool P>
EN_LIGNE double avec_colonne(const Voisins& v, const MoyennesColonnes& mc, int j, int c, double deja)
{
    double x = ecart<P>(v, j, c, mc.valeur[j], P ? mc.valeur_d[j] : 0.0);
    bool a = a_terme<M>(v, j) && mc.existe[j];
    return a && x > deja ? x : deja;
}

// Where a row's deviations come from: a row of them already made (the
// whole row inside), or the row's terms against its mean (columns debut ..
// fin inside, the others without a term).
struct DevTableau {
    static const bool SUR = false;  // dedans may be NaN or negative
    const double* d;
    int debut, fin;
    TOUJOURS_EN_LIGNE double hors(int j) const { return d[j]; }
    TOUJOURS_EN_LIGNE double dedans(int j) const { return d[j]; }
};
template <bool M, bool P>
struct DevTermes {
    static const bool SUR = !M;  // without missing cells, every cell inside has a deviation
    Voisins v;  // a copy: the bytes written cannot alias it
    int c;
    int64_t moyenne;
    double moyenne_d;
    int debut, fin;
    TOUJOURS_EN_LIGNE double hors(int j) const { return M && !v.m[j] ? NAN : -1.0; }
    TOUJOURS_EN_LIGNE double dedans(int j) const
    {
        double x = ecart<P>(v, j, c, moyenne, moyenne_d);
        return !M ? x : !v.m[j] ? NAN : a_terme<M>(v, j) ? x : -1.0;
    }
};

// Or the row's deviations down columns, with its row part (when d is not
// null) made already: the column part taken in the loop that makes the
// bytes, which needs no second pass over the row. Without missing cells
// it is only used when every column has its mean: then every cell inside
// has a deviation, and the loop reads no flag.
template <bool M, bool P, bool L>
struct DevColonnes {
    static const bool SUR = !M;
    Voisins v;  // copies the bytes written cannot alias
    MoyennesColonnes mc;
    const double* d;  // the row part (L), else none
    const unsigned char* m;
    int c, debut, fin;
    TOUJOURS_EN_LIGNE double hors(int j) const { return L ? d[j] : M && !m[j] ? NAN : -1.0; }
    TOUJOURS_EN_LIGNE double dedans(int j) const
    {
        if (M) return avec_colonne<M, P>(v, mc, j, c, hors(j));
        double x = ecart<P>(v, j, c, mc.valeur[j], P ? mc.valeur_d[j] : 0.0);
        return L && d[j] > x ? d[j] : x;
    }
};

// The one loop from deviations to bytes and Float32 values.
template <bool L, class Dev>
EN_LIGNE void etire_ligne(const Dev& dev_, int n, const Reglage& r, unsigned char* out, float* val)
{
    const Reglage reg = r;  // copies the outputs cannot alias: the stretch and the rows stay in registers
    const Dev dev = dev_;
    int a = std::max(0, std::min(dev.debut, n)), b = std::max(a, std::min(dev.fin + 1, n));
    if (out && reg.vide) memset(out, 0, (size_t)n);
    if (out && !reg.vide) {
        for (int j = 0; j < a; j++) out[j] = octet_de<L>(dev.hors(j), reg);
        for (int j = a; j < b; j++) out[j] = octet_de<L, Dev::SUR>(dev.dedans(j), reg);
        for (int j = b; j < n; j++) out[j] = octet_de<L>(dev.hors(j), reg);
    }
    if (val) {
        for (int j = 0; j < a; j++) val[j] = valeur_de(dev.hors(j), reg);
        for (int j = a; j < b; j++) val[j] = valeur_de(dev.dedans(j), reg);
        for (int j = b; j < n; j++) val[j] = valeur_de(dev.hors(j), reg);
    }
}

template <class Dev>
EN_LIGNE void etire(const Dev& dev, int n, const Reglage& r, unsigned char* out, float* val)
{
    if (r.lineaire) etire_ligne<true>(dev, n, r, out, val);
    else etire_ligne<false>(dev, n, r, out, val);
}

}  // namespace tavelkorn

#endif
