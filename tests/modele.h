// The computation done the plain way, for the engine's tests to compare
// with: every term, mean and deviation of a small DEM in 128-bit integers,
// at any scale and in any direction, and the bytes of every stretch.
#ifndef MODELE_H
#define MODELE_H

#include "moteur.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <random>
#include <vector>

namespace modele {

struct Dem {
    int lignes, colonnes;
    std::vector<int32_t> z;
    std::vector<unsigned char> manque;  // 1: missing (empty: none)
    bool present(int i, int j) const { return manque.empty() || !manque[(size_t)i * colonnes + j]; }
    __int128 at(int i, int j) const { return z[(size_t)i * colonnes + j]; }
};

// Elevations spread around base by +-ampleur, the extremes of int32
// sprinkled in when extremes, and a cell in seven missing when trous.
inline Dem relief(int lignes, int colonnes, int64_t base, int64_t ampleur, bool extremes, bool trous, unsigned graine)
{
    std::mt19937 g(graine);
    Dem d{lignes, colonnes, std::vector<int32_t>((size_t)lignes * colonnes), {}};
    for (size_t k = 0; k < d.z.size(); k++) {
        int64_t v = base + (int64_t)(g() % (2 * ampleur + 1)) - ampleur;
        if (extremes && g() % 5 == 0) v = g() % 2 ? INT_MAX : INT_MIN;
        d.z[k] = (int32_t)std::max<int64_t>(INT_MIN, std::min<int64_t>(INT_MAX, v));
    }
    if (trous) {
        d.manque.resize(d.z.size());
        for (unsigned char& m : d.manque) m = g() % 7 == 0;
    }
    return d;
}

inline tavelkorn::Tableau tableau_de(const Dem& d)
{
    tavelkorn::Tableau t;
    t.donnees = d.z.data();
    t.nb_lig = d.lignes;
    t.nb_col = d.colonnes;
    t.pas_ligne = (ptrdiff_t)(d.colonnes * sizeof(int32_t));
    t.pas_colonne = sizeof(int32_t);
    if (!d.manque.empty()) t.manquants = d.manque.data(), t.pas_manquants = d.colonnes;
    return t;
}

// The deviations of every cell at lag k along (colonnes false) or down
// (true) the lines, coefficient 2^c: -1 at a present cell without a term,
// NaN at a missing one.
inline std::vector<double> ecarts(const Dem& d, int c, int k, bool colonnes)
{
    int lignes = colonnes ? d.colonnes : d.lignes, long_ = colonnes ? d.lignes : d.colonnes;
    auto present = [&](int a, int b) { return colonnes ? d.present(b, a) : d.present(a, b); };
    auto z = [&](int a, int b) { return colonnes ? d.at(b, a) : d.at(a, b); };
    std::vector<double> dev(d.z.size());
    for (int a = 0; a < lignes; a++) {
        __int128 somme = 0;
        int64_t n = 0;
        std::vector<__int128> t((size_t)long_);
        std::vector<bool> existe((size_t)long_, false);
        for (int b = k; b + k < long_; b++)
            if (present(a, b - k) && present(a, b) && present(a, b + k)) {
                t[(size_t)b] = z(a, b) * ((__int128)1 << c) - z(a, b - k) - z(a, b + k);
                existe[(size_t)b] = true;
                somme += t[(size_t)b];
                n++;
            }
        __int128 moyenne = n ? somme / n : 0;
        for (int b = 0; b < long_; b++) {
            size_t q = colonnes ? (size_t)b * d.colonnes + a : (size_t)a * d.colonnes + b;
            __int128 e = t[(size_t)b] - moyenne;
            dev[q] = !present(a, b) ? NAN : existe[(size_t)b] ? (double)(e < 0 ? -e : e) : -1.0;
        }
    }
    return dev;
}

// The deviations in a direction (both: the larger of the two; -1: no
// term), and dmax over the scale's window.
inline std::vector<double> deviations(const Dem& d, tavelkorn::Terme terme, tavelkorn::Direction dir, int k,
                                      double& dmax)
{
    int c = terme == tavelkorn::TERME_COURBURE ? 1 : 2;
    std::vector<double> r = ecarts(d, c, k, false), col = ecarts(d, c, k, true), dev(d.z.size());
    dmax = 0;
    for (size_t q = 0; q < dev.size(); q++) {
        dev[q] = dir == tavelkorn::DIRECTION_LIGNES ? r[q] : dir == tavelkorn::DIRECTION_COLONNES ? col[q]
                                                                                                   : std::max(r[q], col[q]);
        if (std::isnan(r[q])) dev[q] = NAN;
        int i = (int)(q / d.colonnes), j = (int)(q % d.colonnes);
        if (i > k && i < d.lignes - 1 - k && j > k && j < d.colonnes - 1 - k && dev[q] >= 0) dmax = std::max(dmax, dev[q]);
    }
    return dev;
}

// The exact nearest-rank percentile of the window's deviations.
inline double percentile_exact(const Dem& d, const std::vector<double>& dev, int k, double rang)
{
    std::vector<double> w;
    for (int i = k + 1; i < d.lignes - 1 - k; i++)
        for (int j = k + 1; j < d.colonnes - 1 - k; j++)
            if (dev[(size_t)i * d.colonnes + j] >= 0) w.push_back(dev[(size_t)i * d.colonnes + j]);
    if (w.empty()) return 0;
    std::sort(w.begin(), w.end());
    size_t r = (size_t)std::ceil(rang / 100.0 * (double)w.size());
    return w[std::min(std::max<size_t>(r, 1), w.size()) - 1];
}

// The bytes of deviations for a stretch with dmax and reference ref.
inline std::vector<unsigned char> octets(const std::vector<double>& dev, tavelkorn::Etirement e, double dmax,
                                         double ref, int norm)
{
    std::vector<unsigned char> o(dev.size(), 0);
    double dmin = dmax * 0.5, dif = dmax - dmin;
    bool vide = e == tavelkorn::ETIRE_DEMI ? !(dif > 0) : !(ref > 0);
    for (size_t k = 0; k < dev.size() && !vide; k++) {
        if (std::isnan(dev[k])) continue;
        double x = std::max(dev[k], 0.0);
        if (e == tavelkorn::ETIRE_DEMI) {
            double v = ((x - dmin) / dif) * norm;
            o[k] = (unsigned char)(int64_t)(v > 0 ? v : 0);  // the low 8 bits
        } else {
            double v = (x / ref) * norm;
            v = v > 0 ? v : 0;
            o[k] = (unsigned char)(int64_t)std::min(v, (double)std::max(norm, 0));
        }
    }
    return o;
}

template <typename T>
std::vector<T> transposee(const std::vector<T>& v, int lignes, int colonnes)
{
    std::vector<T> r(v.size());
    for (int i = 0; i < lignes; i++)
        for (int j = 0; j < colonnes; j++) r[(size_t)j * lignes + i] = v[(size_t)i * colonnes + j];
    return r;
}

}  // namespace modele

#endif
