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

// A block as Python gives it, with its halo: where it lies and how its
// elevations are read. Its rows are read a strip at a time into a buffer
// small enough to come from the heap: distributed starts its workers with
// glibc's mmap threshold fixed at 128 KiB, and a whole block's buffer would
// then be mapped and faulted in afresh at every call (a 2048 x 2048 block's
// bytes took 66 ms on a worker against 13 ms in a plain process).
struct BlocPy {
    Tableau t;
    Bloc b;                 // the block, z not set
    int haut = 0, gauche = 0;  // the halo row above and the halo column on the left the array holds
    bool lignes_halo = false;  // the block comes with halo rows (down columns)
};

// A strip of the block's rows, read.
struct BlocLu {
    std::vector<int> z;
    std::vector<unsigned char> m;
    Bloc b;
};

// position: (ligne0, col0, colonnes, nb_lig, nb_col), the block holding
// colonnes plus the halo columns the grid has on each side; or (ligne0, col0,
// colonnes, nb_lig, nb_col, lignes), the block also holding the halo rows
// the grid has above and below, as down columns needs them.
static BlocPy bloc_py(const py::array& dem, const py::object& masque, const py::tuple& lecture,
                      const py::tuple& position)
{
    BlocPy p;
    p.t = tableau_de(dem, masque, lecture);
    Bloc& b = p.b;
    b.ligne0 = position[0].cast<int>();
    b.col0 = position[1].cast<int>();
    b.colonnes = position[2].cast<int>();
    b.nb_lig = position[3].cast<int>();
    b.nb_col = position[4].cast<int>();
    p.lignes_halo = position.size() > 5;
    b.lignes = p.lignes_halo ? position[5].cast<int>() : p.t.nb_lig;
    p.gauche = b.col0 > 0;
    int droite = b.col0 + b.colonnes < b.nb_col;
    p.haut = p.lignes_halo && b.ligne0 > 0;
    int bas = p.lignes_halo && b.ligne0 + b.lignes < b.nb_lig;
    if (p.t.nb_col != b.colonnes + p.gauche + droite)
        throw std::invalid_argument("a block of " + std::to_string(p.t.nb_col) + " columns for " +
                                    std::to_string(b.colonnes) + " and its halo");
    if (p.t.nb_lig != b.lignes + p.haut + bas)
        throw std::invalid_argument("a block of " + std::to_string(p.t.nb_lig) + " rows for " +
                                    std::to_string(b.lignes) + " and its halo");
    return p;
}

// Rows r0 .. r0 + n - 1 of the block into l, with the rows above and below
// them that the array holds when the block has halo rows.
static void lit_bande(const BlocPy& p, int r0, int n, BlocLu& l)
{
    int dessus = p.lignes_halo && p.b.ligne0 + r0 > 0, dessous = p.lignes_halo && p.b.ligne0 + r0 + n < p.b.nb_lig;
    int nombre = n + dessus + dessous;
    size_t cellules = (size_t)nombre * p.t.nb_col;
    l.z.resize(cellules);
    if (tableau_manquants(p.t)) l.m.resize(cellules);
    std::string erreur;
    if (!tableau_lit(p.t, p.haut + r0 - dessus, nombre, l.z.data(), l.m.empty() ? nullptr : l.m.data(), erreur))
        throw std::domain_error(erreur);  // pybind11 raises it as ValueError
    size_t premier = (size_t)dessus * p.t.nb_col + p.gauche;  // the strip's first cell, past the halo
    l.b = p.b;
    l.b.ligne0 = p.b.ligne0 + r0;
    l.b.lignes = n;
    l.b.z = l.z.data() + premier;
    l.b.pas = (size_t)p.t.nb_col;
    l.b.presence = l.m.empty() ? nullptr : l.m.data() + premier;
    l.b.pas_presence = (size_t)p.t.nb_col;
}

// f(strip, r0) over the block's strips, the GIL released.
template <class F>
static void par_bandes(const BlocPy& p, F f)
{
    py::gil_scoped_release libre;
    size_t ligne = (size_t)p.t.nb_col * (sizeof(int) + 1);
    int pas = (int)std::max<size_t>(8, (96 << 10) / ligne);
    BlocLu l;
    for (int r0 = 0; r0 < p.b.lignes; r0 += pas) {
        lit_bande(p, r0, std::min(pas, p.b.lignes - r0), l);
        f(l.b, r0);
    }
}

// The means of a strip's rows, r0 rows into the block's.
static Moyennes decale(Moyennes m, int r0)
{
    if (m.lignes) m.lignes += r0, m.a_lignes += r0;
    return m;
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
    BlocPy p = bloc_py(dem, masque, lecture, position);
    int n = p.b.lignes;
    std::vector<int64_t> haut(n), bas(n), compte(n), tmin(n, INT64_MAX), tmax(n, INT64_MIN);
    par_bandes(p, [&](const Bloc& b, int r0) {
        bloc_sommes(b, (Terme)terme, &haut[r0], &bas[r0], &compte[r0]);
        if (extremes) bloc_extremes(b, (Terme)terme, &tmin[r0], &tmax[r0]);
    });
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
    BlocPy p = bloc_py(dem, masque, lecture, position);
    int n = p.b.colonnes;
    std::vector<int64_t> haut(n), bas(n), compte(n);
    par_bandes(p, [&](const Bloc& b, int) { bloc_sommes_colonnes(b, (Terme)terme, haut.data(), bas.data(), compte.data()); });
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
    BlocPy p = bloc_py(dem, masque, lecture, position);
    MoyennesLues moy;
    lit_moyennes(p.b, m, mc, direction, moy);
    py::array_t<uint64_t> r(histo ? NB_CASES + 1 : 1);
    uint64_t* h = r.mutable_data();
    std::fill(h, h + r.size(), 0);
    double dmax = 0;
    par_bandes(p, [&](const Bloc& b, int r0) {
        bloc_deviations(b, (Terme)terme, (Direction)direction, decale(moy.m, r0), dmax, histo ? h : nullptr, nullptr, 0,
                        1.0);
    });
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
    BlocPy p = bloc_py(dem, masque, lecture, position);
    MoyennesLues moy;
    lit_moyennes(p.b, m, mc, direction, moy);
    py::array_t<float> r({p.b.lignes, p.b.colonnes});
    float* v = r.mutable_data();
    double echelle_z = lecture[4].cast<double>(), dmax = 0;
    size_t pas = (size_t)p.b.colonnes;
    par_bandes(p, [&](const Bloc& b, int r0) {
        bloc_deviations(b, (Terme)terme, (Direction)direction, decale(moy.m, r0), dmax, nullptr, v + r0 * pas, pas,
                        echelle_z);
    });
    return r;
}

// (3) The block's bytes, stretched by the combined statistics.
static py::array_t<uint8_t> octets(const py::array& dem, const py::object& masque, const py::tuple& lecture,
                                   const py::tuple& position, int terme, const py::object& m,
                                   const py::array_t<uint64_t, py::array::c_style | py::array::forcecast>& stats,
                                   int etirement, double rang, int norm, int direction, const py::object& mc)
{
    BlocPy p = bloc_py(dem, masque, lecture, position);
    MoyennesLues moy;
    lit_moyennes(p.b, m, mc, direction, moy);
    Options o;
    o.terme = (Terme)terme;
    o.etirement = (Etirement)etirement;
    o.rang = rang;
    o.echelle_z = lecture[4].cast<double>();
    Bilan bilan;
    bilan.dmax = (double)stats.data()[stats.size() - 1];
    bilan.reference = reference(stats, etirement, rang);
    Etirage e = etirage(o, bilan, std::min(norm, 255));  // as the command line: above 255 means 255
    py::array_t<uint8_t> r({p.b.lignes, p.b.colonnes});
    uint8_t* v = r.mutable_data();
    size_t pas = (size_t)p.b.colonnes;
    par_bandes(p, [&](const Bloc& b, int r0) {
        bloc_octets(b, e, (Direction)direction, decale(moy.m, r0), v + r0 * pas, pas);
    });
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
