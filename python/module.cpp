// The compiled half of the Python package: the engine's computation of an
// array in memory, and its block primitives for Dask, on numpy arrays read
// in place. The Python side (tavelkorn/__init__.py) has checked every
// argument; here they only become the engine's values. The GIL is released
// while the engine computes, so Python threads and Dask's threads run at once.
#include "moteur.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace py = pybind11;
using namespace pybind11::literals;
using namespace tavelkorn;

// How a block's elevations are read: (type, echange_octets, avec_nodata,
// nodata, echelle_z), the Python side's description of its dtype.
static Tableau tableau_de(const py::array& dem, const py::object& masque, const py::tuple& lecture)
{
    Tableau t;
    t.donnees = dem.data();
    t.type = (TypeElevation)lecture[0].cast<int>();
    t.nb_lig = (int)dem.shape(0);
    t.nb_col = (int)dem.shape(1);
    t.pas_ligne = dem.strides(0);
    t.pas_colonne = dem.strides(1);
    t.echange_octets = lecture[1].cast<bool>();
    t.avec_nodata = lecture[2].cast<bool>();
    t.nodata = lecture[3].cast<double>();
    t.echelle_z = lecture[4].cast<double>();
    if (!masque.is_none()) {  // uint8, one byte a cell along a row (the Python side made it so)
        py::array m = masque.cast<py::array>();
        t.manquants = (const unsigned char*)m.data();
        t.pas_manquants = m.strides(0);
    }
    return t;
}

// The user's callable and how many passes the run reads the DEM in (three
// for a percentile down columns), so the fraction rises once from 0 to 1.
struct Avancement {
    PyObject* f;
    int passes;
};

// Called by the engine on the thread that called it, GIL released: Ctrl-C
// and the user's callable both stop it; their exception stays set and is
// raised once the engine has returned.
static bool progres(double fraction, int passe, void* contexte)
{
    py::gil_scoped_acquire gil;
    if (PyErr_Occurred() || PyErr_CheckSignals() != 0) return false;
    const Avancement& a = *(const Avancement*)contexte;
    if (a.f == Py_None) return true;
    int faites = passe == PASSE_IMAGE ? a.passes - 1 : passe == PASSE_RANG ? 1 : 0;
    PyObject* r = PyObject_CallFunction(a.f, "d", (faites + fraction) / a.passes);
    if (!r) return false;
    int continuer = r == Py_None ? 1 : PyObject_IsTrue(r);
    Py_DECREF(r);
    return continuer == 1;
}

// The whole computation of dem into a new image (uint8, or float32 with
// reelles), with the presence of its cells when asked.
static py::dict calcule(const py::array& dem, const py::object& masque, const py::tuple& lecture, int terme,
                        int etirement, double rang, int norm, bool reelles, int fils, bool avec_presence,
                        const py::object& progres_py, int direction)
{
    Tableau t = tableau_de(dem, masque, lecture);
    Options o;
    o.terme = (Terme)terme;
    o.direction = (Direction)direction;
    o.etirement = (Etirement)etirement;
    o.rang = rang;
    o.echelle_z = t.echelle_z;
    o.reelles = reelles;
    o.fils = fils;
    Avancement avancement{progres_py.ptr(), o.etirement == ETIRE_RANG && o.direction != DIRECTION_LIGNES ? 3 : 2};
    o.progres = progres;
    o.contexte_progres = &avancement;
    std::vector<py::ssize_t> forme{t.nb_lig, t.nb_col};
    py::array image = reelles ? py::array(py::dtype::of<float>(), forme) : py::array(py::dtype::of<uint8_t>(), forme);
    py::object presence = py::none();
    unsigned char* p = nullptr;
    if (avec_presence) {
        py::array_t<uint8_t> a(forme);
        p = a.mutable_data();
        presence = a;
    }
    void* sortie = image.mutable_data();
    Bilan b;
    std::string erreur;
    bool annule = false, ok;
    {
        py::gil_scoped_release libre;
        ok = calcul_tableau(t, o, norm, sortie, p, b, erreur, &annule);
    }
    if (PyErr_Occurred()) throw py::error_already_set();  // Ctrl-C, or the callable's own exception
    py::dict r;
    r["ok"] = ok;
    r["annule"] = annule;
    r["erreur"] = erreur;
    r["image"] = image;
    r["presence"] = presence;
    r["dmax"] = b.dmax;
    r["reference"] = b.reference;
    r["manquants"] = b.manquants;
    r["fractions"] = b.fractions;
    return r;
}

// ---------------------------------------------------------------- blocks

// A block with its halo, its elevations read as the engine takes them.
struct BlocLu {
    std::vector<int> z;
    std::vector<unsigned char> m;
    Bloc b;
};

// position: (ligne0, col0, colonnes, nb_lig, nb_col), the block holding
// colonnes plus the halo columns the grid has on each side; or (ligne0, col0,
// colonnes, nb_lig, nb_col, lignes), the block also holding the halo rows
// the grid has above and below, as down columns needs them.
static void lit_bloc(const py::array& dem, const py::object& masque, const py::tuple& lecture,
                     const py::tuple& position, BlocLu& l)
{
    Tableau t = tableau_de(dem, masque, lecture);
    Bloc& b = l.b;
    b.ligne0 = position[0].cast<int>();
    b.col0 = position[1].cast<int>();
    b.colonnes = position[2].cast<int>();
    b.nb_lig = position[3].cast<int>();
    b.nb_col = position[4].cast<int>();
    b.lignes = position.size() > 5 ? position[5].cast<int>() : t.nb_lig;
    int gauche = b.col0 > 0, droite = b.col0 + b.colonnes < b.nb_col;
    int haut = position.size() > 5 && b.ligne0 > 0, bas = position.size() > 5 && b.ligne0 + b.lignes < b.nb_lig;
    if (t.nb_col != b.colonnes + gauche + droite)
        throw std::invalid_argument("a block of " + std::to_string(t.nb_col) + " columns for " +
                                    std::to_string(b.colonnes) + " and its halo");
    if (t.nb_lig != b.lignes + haut + bas)
        throw std::invalid_argument("a block of " + std::to_string(t.nb_lig) + " rows for " +
                                    std::to_string(b.lignes) + " and its halo");
    size_t n = (size_t)t.nb_lig * t.nb_col;
    l.z.resize(n);
    if (tableau_manquants(t)) l.m.resize(n);
    std::string erreur;
    bool ok;
    {
        py::gil_scoped_release libre;
        ok = tableau_lit(t, 0, t.nb_lig, l.z.data(), l.m.empty() ? nullptr : l.m.data(), erreur);
    }
    if (!ok) throw std::domain_error(erreur);  // pybind11 raises it as ValueError
    size_t premier = (size_t)haut * t.nb_col + gauche;  // the block's first cell, past the halo
    b.z = l.z.data() + premier;
    b.pas = (size_t)t.nb_col;
    b.presence = l.m.empty() ? nullptr : l.m.data() + premier;
    b.pas_presence = (size_t)t.nb_col;
}

// The means of the block's rows (or columns), from the (n, 3) array
// moyennes() gives; none when m is None (a direction that does not use them).
struct MoyennesBloc {
    std::vector<int64_t> moyenne;
    std::vector<unsigned char> a_moyenne;
};
static MoyennesBloc moyennes_de(const py::object& objet, int n)
{
    MoyennesBloc r;
    if (objet.is_none()) return r;
    py::array_t<int64_t> m = objet.cast<py::array_t<int64_t>>();
    if (m.ndim() != 2 || m.shape(0) != n || m.shape(1) != 3) throw std::invalid_argument("means of another block");
    auto v = m.unchecked<2>();
    for (int i = 0; i < n; i++) {
        r.moyenne.push_back(v(i, 0));
        r.a_moyenne.push_back((unsigned char)v(i, 1));
    }
    return r;
}

// The means a direction uses: the block's rows' (lignes) and its columns'
// (colonnes, None along rows).
struct MoyennesLues {
    MoyennesBloc lignes, colonnes;
    Moyennes m;
};
static void lit_moyennes(const Bloc& b, const py::object& lignes, const py::object& colonnes, MoyennesLues& l)
{
    l.lignes = moyennes_de(lignes, b.lignes);
    l.colonnes = moyennes_de(colonnes, b.colonnes);
    if (!l.lignes.moyenne.empty()) l.m.lignes = l.lignes.moyenne.data(), l.m.a_lignes = l.lignes.a_moyenne.data();
    if (!l.colonnes.moyenne.empty())
        l.m.colonnes = l.colonnes.moyenne.data(), l.m.a_colonnes = l.colonnes.a_moyenne.data();
}
static void lit_moyennes(const Bloc& b, const py::object& lignes, const py::object& colonnes, int direction,
                         MoyennesLues& l)
{
    lit_moyennes(b, lignes, colonnes, l);
    if ((direction != DIRECTION_COLONNES && !l.m.lignes) || (direction != DIRECTION_LIGNES && !l.m.colonnes))
        throw std::invalid_argument("the means this direction needs are missing");
}

// (1) Per-row sum and count of the block's terms, and the least and the
// largest of its terms inside the search window: (lignes, 5) int64 of haut,
// bas, compte, tmin, tmax (INT64_MAX and INT64_MIN without such a term).
// Sums add over the blocks of a row, extremes take the smaller and the
// larger; once the row's mean m is known, its largest deviation is
// max(tmax - m, m - tmin), so dmax needs no second reading of the DEM.
// Without extremes (both directions, whose dmax the deviations give):
// (lignes, 3), the sums and counts alone.
static py::array_t<int64_t> sommes(const py::array& dem, const py::object& masque, const py::tuple& lecture,
                                   const py::tuple& position, int terme, bool extremes)
{
    BlocLu l;
    lit_bloc(dem, masque, lecture, position, l);
    int n = l.b.lignes;
    std::vector<int64_t> haut(n), bas(n), compte(n), tmin(n, INT64_MAX), tmax(n, INT64_MIN);
    {
        py::gil_scoped_release libre;
        bloc_sommes(l.b, (Terme)terme, haut.data(), bas.data(), compte.data());
        if (extremes) bloc_extremes(l.b, (Terme)terme, tmin.data(), tmax.data());
    }
    py::array_t<int64_t> r({n, extremes ? 5 : 3});
    auto v = r.mutable_unchecked<2>();
    for (int i = 0; i < n; i++) {
        v(i, 0) = haut[i], v(i, 1) = bas[i], v(i, 2) = compte[i];
        if (extremes) v(i, 3) = tmin[i], v(i, 4) = tmax[i];
    }
    return r;
}

// (1') Down columns: the block's per-column sums and counts of its terms,
// (colonnes, 3) int64 of haut, bas, compte; they add over the blocks of a
// column.
static py::array_t<int64_t> sommes_colonnes(const py::array& dem, const py::object& masque, const py::tuple& lecture,
                                            const py::tuple& position, int terme)
{
    BlocLu l;
    lit_bloc(dem, masque, lecture, position, l);
    int n = l.b.colonnes;
    std::vector<int64_t> haut(n), bas(n), compte(n);
    {
        py::gil_scoped_release libre;
        bloc_sommes_colonnes(l.b, (Terme)terme, haut.data(), bas.data(), compte.data());
    }
    py::array_t<int64_t> r({n, 3});
    auto v = r.mutable_unchecked<2>();
    for (int j = 0; j < n; j++) v(j, 0) = haut[j], v(j, 1) = bas[j], v(j, 2) = compte[j];
    return r;
}

// The row means from the added sums and extremes: (n, 3) int64 of moyenne,
// a_moyenne and the row's largest deviation in the window (0 without one).
// Sums without extremes, (n, 3), give the means and 0.
static py::array_t<int64_t> moyennes_py(const py::array_t<int64_t, py::array::c_style | py::array::forcecast>& s)
{
    if (s.ndim() != 2 || (s.shape(1) != 5 && s.shape(1) != 3)) throw std::invalid_argument("sums must be (n, 5) or (n, 3)");
    bool extremes = s.shape(1) == 5;
    int n = (int)s.shape(0);
    std::vector<int64_t> haut(n), bas(n), compte(n), moyenne(n);
    std::vector<unsigned char> a(n);
    auto v = s.unchecked<2>();
    for (int i = 0; i < n; i++) haut[i] = v(i, 0), bas[i] = v(i, 1), compte[i] = v(i, 2);
    moyennes(n, haut.data(), bas.data(), compte.data(), moyenne.data(), a.data());
    py::array_t<int64_t> r({n, 3});
    auto w = r.mutable_unchecked<2>();
    for (int i = 0; i < n; i++) {
        bool fenetre = extremes && a[i] && v(i, 3) <= v(i, 4);
        w(i, 0) = moyenne[i], w(i, 1) = a[i];
        w(i, 2) = fenetre ? std::max(v(i, 4) - moyenne[i], moyenne[i] - v(i, 3)) : 0;
    }
    return r;
}

// (2) The block's window statistics: with histo, the NB_CASES counts of the
// histogram, then dmax (a whole number: deviations are exact integers), so
// that blocks combine by adding all but the last and taking the maximum of
// the last; without, dmax alone. m: the means of the block's rows, mc those
// of its columns (None along rows).
static py::array_t<uint64_t> statistiques(const py::array& dem, const py::object& masque, const py::tuple& lecture,
                                          const py::tuple& position, int terme, const py::object& m, bool histo,
                                          int direction, const py::object& mc)
{
    BlocLu l;
    lit_bloc(dem, masque, lecture, position, l);
    MoyennesLues moy;
    lit_moyennes(l.b, m, mc, direction, moy);
    py::array_t<uint64_t> r(histo ? NB_CASES + 1 : 1);
    uint64_t* h = r.mutable_data();
    std::fill(h, h + r.size(), 0);
    double dmax = 0;
    {
        py::gil_scoped_release libre;
        bloc_deviations(l.b, (Terme)terme, (Direction)direction, moy.m, dmax, histo ? h : nullptr, nullptr, 0, 1.0);
    }
    h[r.size() - 1] = (uint64_t)dmax;
    return r;
}

// The reference of the stretch from the combined statistics: dmax, or the
// percentile of the histogram.
static double reference(const py::array_t<uint64_t, py::array::c_style | py::array::forcecast>& stats, int etirement,
                        double rang)
{
    if (etirement != ETIRE_RANG) return (double)stats.data()[stats.size() - 1];
    if (stats.size() != NB_CASES + 1) throw std::invalid_argument("a percentile needs the histogram");
    return percentile(stats.data(), rang);
}

// The block's Float32 deviations in elevation units, NaN at missing cells.
static py::array_t<float> reelles(const py::array& dem, const py::object& masque, const py::tuple& lecture,
                                  const py::tuple& position, int terme, const py::object& m, int direction,
                                  const py::object& mc)
{
    BlocLu l;
    lit_bloc(dem, masque, lecture, position, l);
    MoyennesLues moy;
    lit_moyennes(l.b, m, mc, direction, moy);
    py::array_t<float> r({l.b.lignes, l.b.colonnes});
    float* v = r.mutable_data();
    double echelle_z = lecture[4].cast<double>(), dmax = 0;
    {
        py::gil_scoped_release libre;
        bloc_deviations(l.b, (Terme)terme, (Direction)direction, moy.m, dmax, nullptr, v, (size_t)l.b.colonnes,
                        echelle_z);
    }
    return r;
}

// (3) The block's bytes, stretched by the combined statistics.
static py::array_t<uint8_t> octets(const py::array& dem, const py::object& masque, const py::tuple& lecture,
                                   const py::tuple& position, int terme, const py::object& m,
                                   const py::array_t<uint64_t, py::array::c_style | py::array::forcecast>& stats,
                                   int etirement, double rang, int norm, int direction, const py::object& mc)
{
    BlocLu l;
    lit_bloc(dem, masque, lecture, position, l);
    MoyennesLues moy;
    lit_moyennes(l.b, m, mc, direction, moy);
    Options o;
    o.terme = (Terme)terme;
    o.etirement = (Etirement)etirement;
    o.rang = rang;
    o.echelle_z = lecture[4].cast<double>();
    Bilan bilan;
    bilan.dmax = (double)stats.data()[stats.size() - 1];
    bilan.reference = reference(stats, etirement, rang);
    Etirage e = etirage(o, bilan, std::min(norm, 255));  // as the command line: above 255 means 255
    py::array_t<uint8_t> r({l.b.lignes, l.b.colonnes});
    uint8_t* v = r.mutable_data();
    {
        py::gil_scoped_release libre;
        bloc_octets(l.b, e, (Direction)direction, moy.m, v, (size_t)l.b.colonnes);
    }
    return r;
}

PYBIND11_MODULE(_moteur, m)
{
    m.doc() = "Tavelkorn's engine; use tavelkorn.roughness";
    py::dict types;  // numpy's kind and size -> the engine's TypeElevation
    types["i2"] = (int)ELEV_INT16;
    types["u2"] = (int)ELEV_UINT16;
    types["i4"] = (int)ELEV_INT32;
    types["u4"] = (int)ELEV_UINT32;
    types["f4"] = (int)ELEV_FLOAT32;
    types["f8"] = (int)ELEV_FLOAT64;
    m.attr("TYPES") = types;
    m.attr("NB_CASES") = NB_CASES;
    m.attr("TERME_CLASSIQUE") = (int)TERME_CLASSIQUE;
    m.attr("TERME_COURBURE") = (int)TERME_COURBURE;
    m.attr("ETIRE_DEMI") = (int)ETIRE_DEMI;
    m.attr("ETIRE_PLEIN") = (int)ETIRE_PLEIN;
    m.attr("ETIRE_RANG") = (int)ETIRE_RANG;
    m.attr("DIRECTION_LIGNES") = (int)DIRECTION_LIGNES;
    m.attr("DIRECTION_COLONNES") = (int)DIRECTION_COLONNES;
    m.attr("DIRECTION_LES_DEUX") = (int)DIRECTION_LES_DEUX;
    // The direction's arguments last, defaulting to rows, so a caller that
    // knows only rows calls as before.
    auto lignes = py::arg("direction") = (int)DIRECTION_LIGNES;
    auto sans = py::arg("moyennes_colonnes") = py::none();
    m.def("calcule", &calcule, "dem"_a, "masque"_a, "lecture"_a, "terme"_a, "etirement"_a, "rang"_a, "norm"_a,
          "reelles"_a, "fils"_a, "avec_presence"_a, "progres"_a, lignes);
    m.def("sommes", &sommes, "dem"_a, "masque"_a, "lecture"_a, "position"_a, "terme"_a, "extremes"_a = true);
    m.def("sommes_colonnes", &sommes_colonnes);
    m.def("moyennes", &moyennes_py);
    m.def("statistiques", &statistiques, "dem"_a, "masque"_a, "lecture"_a, "position"_a, "terme"_a, "moyennes"_a,
          "histo"_a, lignes, sans);
    m.def("reference", &reference);
    m.def("reelles", &reelles, "dem"_a, "masque"_a, "lecture"_a, "position"_a, "terme"_a, "moyennes"_a, lignes, sans);
    m.def("octets", &octets, "dem"_a, "masque"_a, "lecture"_a, "position"_a, "terme"_a, "moyennes"_a, "stats"_a,
          "etirement"_a, "rang"_a, "norm"_a, lignes, sans);
}
