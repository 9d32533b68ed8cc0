// The engine's block primitives for Dask (tavelkorn/_dask.py), included by
// module.cpp. A block comes as pieces: the arrays of the chunks that hold it
// and its halo, each with its first cell in the grid, read in place. Its rows
// are read a strip at a time into a buffer the thread keeps: distributed
// starts its workers with glibc's mmap threshold fixed low, and a buffer
// mapped afresh at every call is faulted in again (a 2048 x 2048 block's
// bytes took 66 ms on a worker against 13 ms in a plain process).
#ifndef TAVELKORN_BLOCS_PY_H
#define TAVELKORN_BLOCS_PY_H

#include <cstring>

namespace {

// Where a block lies (the Python class Block).
struct Place {
    int ligne0 = 0, col0 = 0, lignes = 1, colonnes = 1, nb_lig = 1, nb_col = 1;
};

struct Morceau {
    Tableau t;
    int ligne, col;  // its first cell in the grid
};

// A block with the window its halo spans (rows l0 .. l1 - 1, columns c0 ..
// c1 - 1 of the grid) and the pieces that give it.
struct Fenetre {
    Bloc b;  // z not set
    Options o;
    int hl = 0, hc = 0, l0 = 0, l1 = 0, c0 = 0, c1 = 0;
    std::vector<Morceau> morceaux;
    bool manquants = false;
};

// The cells a rectangle (rows a .. b - 1, columns c .. d - 1) shares with another.
int64_t commun(int a, int b, int c, int d, int a2, int b2, int c2, int d2)
{
    int64_t h = std::max(0, std::min(b, b2) - std::max(a, a2)), w = std::max(0, std::min(d, d2) - std::max(c, c2));
    return h * w;
}

// The block at p under o, from pieces: (array, mask or None, row, column)
// tuples that lie within its window, do not overlap, and give every cell of
// the block and of its halo rows and columns (the window's corners are never
// read). ValueError otherwise.
Fenetre fenetre_de(const py::list& pieces, const Place& p, const Lecture& lecture, const Options& options)
{
    if (p.nb_lig < 1 || p.nb_col < 1 || p.lignes < 1 || p.colonnes < 1 || p.ligne0 < 0 || p.col0 < 0 ||
        p.ligne0 > p.nb_lig - p.lignes || p.col0 > p.nb_col - p.colonnes)
        throw py::value_error("a block that does not lie in its grid");
    Fenetre f;
    f.o = options;
    f.o.echelle_z = lecture.echelle_z;
    Bloc& b = f.b;
    b.ligne0 = p.ligne0, b.col0 = p.col0, b.lignes = p.lignes, b.colonnes = p.colonnes;
    b.nb_lig = p.nb_lig, b.nb_col = p.nb_col;
    halo_de(f.o, p.nb_lig, p.nb_col, f.hl, f.hc);
    f.l0 = std::max(0, p.ligne0 - f.hl), f.l1 = std::min(p.nb_lig, p.ligne0 + p.lignes + f.hl);
    f.c0 = std::max(0, p.col0 - f.hc), f.c1 = std::min(p.nb_col, p.col0 + p.colonnes + f.hc);
    int e = p.ligne0 + p.lignes, d = p.col0 + p.colonnes;
    int64_t croix = (int64_t)p.lignes * (f.c1 - f.c0) + (int64_t)(f.l1 - f.l0) * p.colonnes -
                    (int64_t)p.lignes * p.colonnes;
    int64_t couvertes = 0;
    for (const py::handle& h : pieces) {
        py::tuple t = h.cast<py::tuple>();
        if (t.size() != 4) throw py::value_error("a piece is (array, mask or None, row, column)");
        // The block reads the piece's own cells later: a temporary conversion would not outlive this loop.
        if (!py::isinstance<py::array>(t[0])) throw py::type_error("a piece's elevations: a numpy array");
        Morceau m{tableau_de(t[0].cast<py::array>(), t[1], lecture), t[2].cast<int>(), t[3].cast<int>()};
        int me = m.ligne + m.t.nb_lig, md = m.col + m.t.nb_col;
        if (m.ligne < f.l0 || me > f.l1 || m.col < f.c0 || md > f.c1)
            throw py::value_error("a piece outside the block's window");
        for (const Morceau& n : f.morceaux)
            if (commun(m.ligne, me, m.col, md, n.ligne, n.ligne + n.t.nb_lig, n.col, n.col + n.t.nb_col))
                throw py::value_error("pieces that overlap");
        couvertes += commun(m.ligne, me, m.col, md, p.ligne0, e, f.c0, f.c1) +
                     commun(m.ligne, me, m.col, md, f.l0, f.l1, p.col0, d) -
                     commun(m.ligne, me, m.col, md, p.ligne0, e, p.col0, d);
        f.manquants = f.manquants || tableau_manquants(m.t);
        f.morceaux.push_back(m);
    }
    if (couvertes != croix) throw py::value_error("pieces that leave cells of the block or its halo out");
    return f;
}

// Rows r0 .. r0 + n - 1 of the block, with the window's rows around them,
// read into the thread's buffer: b is that strip.
bool lit_bande(const Fenetre& f, int r0, int n, Bloc& b, Erreur& erreur)
{
    static thread_local std::vector<int> z;
    static thread_local std::vector<unsigned char> m;
    int g0 = std::max(f.l0, f.b.ligne0 + r0 - f.hl), g1 = std::min(f.l1, f.b.ligne0 + r0 + n + f.hl);
    size_t w = (size_t)(f.c1 - f.c0), cellules = (size_t)(g1 - g0) * w;
    if (z.size() < cellules) z.resize(cellules);
    if (f.manquants && m.size() < cellules) m.resize(cellules);
    if (f.hl > 0 && f.hc > 0) {  // the corners no piece gives: never read, but set
        memset(z.data(), 0, cellules * sizeof(int));
        if (f.manquants) memset(m.data(), 0, cellules);
    }
    for (const Morceau& p : f.morceaux)
        for (int i = std::max(g0, p.ligne); i < std::min(g1, p.ligne + p.t.nb_lig); i++) {
            size_t q = (size_t)(i - g0) * w + (size_t)(p.col - f.c0);
            if (!tableau_lit(p.t, i - p.ligne, 1, &z[q], f.manquants ? &m[q] : nullptr, erreur)) return false;
        }
    size_t premier = (size_t)(f.b.ligne0 + r0 - g0) * w + (size_t)(f.b.col0 - f.c0);
    b = f.b;
    b.ligne0 += r0, b.lignes = n;
    b.z = z.data() + premier, b.pas = w;
    b.presence = f.manquants ? m.data() + premier : nullptr, b.pas_presence = w;
    return true;
}

// fn(strip, r0, n) over the block's strips, the GIL released; the strips tall
// enough that their halo rows add little.
template <class F>
void par_bandes(const Fenetre& f, F fn)
{
    Erreur erreur;
    bool ok = true;
    {
        py::gil_scoped_release libre;
        size_t ligne = (size_t)(f.c1 - f.c0) * (sizeof(int) + 1);
        int pas = (int)std::max<size_t>(std::max(32, 8 * f.hl), (256 << 10) / ligne);
        Bloc b;
        for (int r0 = 0; ok && r0 < f.b.lignes; r0 += pas) {
            int n = std::min(pas, f.b.lignes - r0);
            if ((ok = lit_bande(f, r0, n, b, erreur))) fn(b, r0, n);
        }
    }
    if (!ok) leve(erreur);
}

// Partials of n lines at each scale, as an int64 array (scales, n, 5)
// that p sees, each as a Partiel starts.
py::array_t<int64_t> partiels_neufs(size_t echelles, int n, Partiel*& p)
{
    py::array_t<int64_t> a({(py::ssize_t)echelles, (py::ssize_t)n, (py::ssize_t)5});
    p = (Partiel*)a.mutable_data();
    std::fill(p, p + echelles * (size_t)n, Partiel());
    return a;
}

// The means a block's lines take, checked against the block: rows (scales,
// block rows, 3), columns (scales, block columns, 3); None where the
// direction does not use them. v keeps the array read.
const Moyenne* moyennes_de(const py::object& a, size_t echelles, int n, bool voulues, const char* quoi,
                           py::array_t<int64_t, py::array::c_style>& v)
{
    if (!voulues) return nullptr;
    if (a.is_none()) throw py::value_error(std::string("the means of the block's ") + quoi + " are needed");
    v = a.cast<py::array_t<int64_t, py::array::c_style>>();
    if (v.ndim() != 3 || (size_t)v.shape(0) != echelles || v.shape(1) != n || v.shape(2) != 3)
        throw py::value_error(std::string("means of another block's ") + quoi);
    return (const Moyenne*)v.data();
}

// Rows r0 .. r0 + n - 1 of each scale's row means.
const Moyenne* bande_de(const Moyenne* l, size_t echelles, int lignes, int r0, int n, std::vector<Moyenne>& tampon)
{
    if (!l) return nullptr;
    tampon.clear();
    for (size_t s = 0; s < echelles; s++) tampon.insert(tampon.end(), l + s * lignes + r0, l + s * lignes + r0 + n);
    return tampon.data();
}

// (1) The block's partials: (row partials (scales, rows, 5) or None,
// column partials (scales, columns, 5) or None), as the direction uses them.
py::tuple partiels(const py::list& pieces, const Place& p, const Lecture& lecture, const Options& options)
{
    Fenetre f = fenetre_de(pieces, p, lecture, options);
    size_t ne = f.o.echelles.size();
    Partiel *pl = nullptr, *pc = nullptr;
    py::object al = py::none(), ac = py::none();
    if (f.o.direction != DIRECTION_COLONNES) al = partiels_neufs(ne, p.lignes, pl);
    if (f.o.direction != DIRECTION_LIGNES) ac = partiels_neufs(ne, p.colonnes, pc);
    std::vector<Partiel> bande;
    par_bandes(f, [&](const Bloc& b, int r0, int n) {
        if (pl) bande.assign(ne * n, Partiel());
        bloc_partiels(b, f.o, pl ? bande.data() : nullptr, pc);
        for (size_t s = 0; pl && s < ne; s++)
            std::copy(&bande[s * n], &bande[s * n] + n, pl + s * p.lignes + r0);
    });
    return py::make_tuple(al, ac);
}

// Partials of the same lines from several blocks, combined: the arrays must
// have one shape, (..., 5).
py::array_t<int64_t> combine(const std::vector<py::array_t<int64_t, py::array::c_style | py::array::forcecast>>& parts)
{
    if (parts.empty()) throw py::value_error("no partials to combine");
    py::array_t<int64_t> r(std::vector<py::ssize_t>(parts[0].shape(), parts[0].shape() + parts[0].ndim()));
    if (r.ndim() < 1 || r.shape(r.ndim() - 1) != 5) throw py::value_error("partials are (..., 5) int64");
    Partiel* v = (Partiel*)r.mutable_data();
    size_t n = (size_t)r.size() / 5;
    std::fill(v, v + n, Partiel());
    for (const auto& a : parts) {
        if (a.ndim() != r.ndim() || !std::equal(a.shape(), a.shape() + a.ndim(), r.shape()))
            throw py::value_error("partials of other lines");
        const Partiel* w = (const Partiel*)a.data();
        py::gil_scoped_release libre;
        for (size_t q = 0; q < n; q++) partiel_ajoute(v[q], w[q]);
    }
    return r;
}

// Each line's mean and largest window deviation, (..., 3), from its
// combined partials (..., 5).
py::array_t<int64_t> moyennes(const py::array_t<int64_t, py::array::c_style | py::array::forcecast>& a)
{
    if (a.ndim() < 1 || a.shape(a.ndim() - 1) != 5) throw py::value_error("partials are (..., 5) int64");
    std::vector<py::ssize_t> forme(a.shape(), a.shape() + a.ndim());
    forme.back() = 3;
    py::array_t<int64_t> r(forme);
    const Partiel* p = (const Partiel*)a.data();
    Moyenne* m = (Moyenne*)r.mutable_data();
    for (size_t q = 0, n = (size_t)a.size() / 5; q < n; q++) m[q] = moyenne_de(p[q]);
    return r;
}

// (2) The histograms of the block's window deviations, (scales, NB_CASES).
py::array_t<uint64_t> histogrammes(const py::list& pieces, const Place& p, const Lecture& lecture,
                                   const Options& options, const py::object& lignes, const py::object& colonnes)
{
    Fenetre f = fenetre_de(pieces, p, lecture, options);
    size_t ne = f.o.echelles.size();
    py::array_t<int64_t, py::array::c_style> al, ac;
    const Moyenne* ml = moyennes_de(lignes, ne, p.lignes, f.o.direction != DIRECTION_COLONNES, "rows", al);
    const Moyenne* mc = moyennes_de(colonnes, ne, p.colonnes, f.o.direction != DIRECTION_LIGNES, "columns", ac);
    py::array_t<uint64_t> r({(py::ssize_t)ne, (py::ssize_t)NB_CASES});
    uint64_t* h = r.mutable_data();
    std::fill(h, h + r.size(), 0);
    std::vector<Moyenne> tampon;
    par_bandes(f, [&](const Bloc& b, int r0, int n) {
        bloc_histogramme(b, f.o, bande_de(ml, ne, p.lignes, r0, n, tampon), mc, h);
    });
    return r;
}

// (3) The block's image, (scales, rows, columns): bytes stretched by each
// scale's dmax and reference, or the Float32 deviations with floats.
py::array image(const py::list& pieces, const Place& p, const Lecture& lecture, const Options& options,
                const py::object& lignes, const py::object& colonnes, const std::vector<double>& dmax,
                const std::vector<double>& reference)
{
    Fenetre f = fenetre_de(pieces, p, lecture, options);
    size_t ne = f.o.echelles.size();
    py::array_t<int64_t, py::array::c_style> al, ac;
    const Moyenne* ml = moyennes_de(lignes, ne, p.lignes, f.o.direction != DIRECTION_COLONNES, "rows", al);
    const Moyenne* mc = moyennes_de(colonnes, ne, p.colonnes, f.o.direction != DIRECTION_LIGNES, "columns", ac);
    std::vector<Etirage> etirages(ne);
    if (!f.o.reelles && (dmax.size() != ne || reference.size() != ne))
        throw py::value_error("a dmax and a reference for each scale are needed");
    for (size_t s = 0; !f.o.reelles && s < ne; s++)
        etirages[s] = {f.o.etirement, dmax[s], reference[s], norme_de(f.o.norm)};
    std::vector<py::ssize_t> forme{(py::ssize_t)ne, p.lignes, p.colonnes};
    py::array r = f.o.reelles ? py::array(py::dtype::of<float>(), forme) : py::array(py::dtype::of<uint8_t>(), forme);
    size_t taille = f.o.reelles ? sizeof(float) : 1, plan = (size_t)p.lignes * p.colonnes;
    unsigned char* v = (unsigned char*)r.mutable_data();
    std::vector<Moyenne> tampon;
    par_bandes(f, [&](const Bloc& b, int r0, int n) {
        bloc_image(b, f.o, bande_de(ml, ne, p.lignes, r0, n, tampon), mc, etirages.data(),
                   v + (size_t)r0 * p.colonnes * taille, (size_t)p.colonnes, plan);
    });
    return r;
}

}  // namespace

// The block primitives' classes and functions, in the module m.
static void definit_blocs(py::module_& m)
{
    py::class_<Place>(m, "Block", "Where a block lies: its first row and column, its size, the grid's size")
        .def(py::init([](int row0, int col0, int rows, int cols, int nrows, int ncols) {
                 return Place{row0, col0, rows, cols, nrows, ncols};
             }),
             py::kw_only(), "row0"_a, "col0"_a, "rows"_a, "cols"_a, "nrows"_a, "ncols"_a)
        .def_readonly("row0", &Place::ligne0)
        .def_readonly("col0", &Place::col0)
        .def_readonly("rows", &Place::lignes)
        .def_readonly("cols", &Place::colonnes)
        .def(py::pickle(
            [](const Place& p) { return py::make_tuple(p.ligne0, p.col0, p.lignes, p.colonnes, p.nb_lig, p.nb_col); },
            [](const py::tuple& t) {
                return Place{t[0].cast<int>(), t[1].cast<int>(), t[2].cast<int>(),
                             t[3].cast<int>(), t[4].cast<int>(), t[5].cast<int>()};
            }));
    m.def(
        "halo",
        [](const Options& o, int nrows, int ncols) {
            int l = 0, c = 0;
            halo_de(o, nrows, ncols, l, c);
            return py::make_tuple(l, c);
        },
        "options"_a, "nrows"_a, "ncols"_a, "(rows above and below, columns on each side) a block's halo takes");
    m.def("block_partials", &partiels, "pieces"_a, py::kw_only(), "block"_a, "reading"_a, "options"_a,
          "(1) (row partials (scales, rows, 5) or None, column partials (scales, columns, 5) or None)");
    m.def("combine_partials", &combine, "parts"_a, "Partials of the same lines from several blocks, combined");
    m.def("means", &moyennes, "partials"_a, "(..., 3): each line's mean, whether it has one, its largest deviation");
    m.def("block_histograms", &histogrammes, "pieces"_a, py::kw_only(), "block"_a, "reading"_a, "options"_a,
          "row_means"_a = py::none(), "column_means"_a = py::none(), "(2) (scales, NB_CASES) counts, which add");
    m.def(
        "percentile",
        [](const py::array_t<uint64_t, py::array::c_style | py::array::forcecast>& h, double rank) {
            if (h.ndim() != 1 || h.shape(0) != NB_CASES) throw py::value_error("a histogram of NB_CASES counts");
            return percentile(h.data(), rank);
        },
        "histogram"_a, "rank"_a, "The rank-th percentile of the deviations counted (nearest rank, within 1/128)");
    m.def("block_image", &image, "pieces"_a, py::kw_only(), "block"_a, "reading"_a, "options"_a,
          "row_means"_a = py::none(), "column_means"_a = py::none(), "dmax"_a = std::vector<double>(),
          "reference"_a = std::vector<double>(), "(3) (scales, rows, columns) bytes, or float32 deviations");
}

#endif
