// The compiled half of the Python package: the engine's computation of an
// array in memory, its block primitives for Dask, and the rules the package
// takes from the engine rather than writing them again (the stretch grammar,
// the default thread count, the z-scale rounding). Arguments are typed and
// passed by keyword: Options (how to compute), Reading (how an array's cells
// are read), Block (where a block lies). Failures raise, the exception chosen
// by the engine's error code. The GIL is released while the engine computes,
// so Python threads and Dask's threads run at once.
#include "blocs.h"
#include "moteur.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;
using namespace pybind11::literals;
using namespace tavelkorn;

static PyObject* Cancelled = nullptr;  // tavelkorn.Cancelled, made when the module loads

// ---------------------------------------------------------------- errors

// The engine's failure as the exception a Python caller acts on, in
// Python's words; an exception already set (Ctrl-C, the progress callable's
// own) goes first.
[[noreturn]] static void leve(const Erreur& e)
{
    if (PyErr_Occurred()) throw py::error_already_set();
    std::string t = e.texte;
    PyObject* type = PyExc_RuntimeError;
    switch (e.code) {
    case CODE_ANNULE:
        type = Cancelled;
        t = "the progress callable returned False";
        break;
    case CODE_PLAGE: {
        // The parameter as Python spells it, and what to do about it.
        const std::string engine = "times the z-scale", fin = "beyond the 32-bit range";
        size_t a = t.find(engine);
        if (a != std::string::npos) t.replace(a, engine.size(), "times z_scale");
        if (t.size() >= fin.size() && t.compare(t.size() - fin.size(), fin.size(), fin) == 0)
            t += "; choose a smaller z_scale";
        type = PyExc_ValueError;
        break;
    }
    case CODE_ARGUMENT: type = PyExc_ValueError; break;
    case CODE_MEMOIRE: type = PyExc_MemoryError; break;
    default: break;
    }
    PyErr_SetString(type, t.c_str());
    throw py::error_already_set();
}

// ---------------------------------------------------------------- reading arrays

// How an array's cells are read (the Python class Reading); the dtype is the
// array's own.
struct Lecture {
    std::optional<double> nodata;
    double echelle_z = 1.0;
};

namespace {
struct TypeNumpy {
    const char* code;  // numpy's kind and size
    TypeElevation type;
};
const TypeNumpy TYPES[] = {{"i2", ELEV_INT16},  {"u2", ELEV_UINT16},  {"i4", ELEV_INT32},
                           {"u4", ELEV_UINT32}, {"f4", ELEV_FLOAT32}, {"f8", ELEV_FLOAT64}};
}  // namespace

// The engine's Tableau over a 2-D array, read in place, with its mask (bool
// or uint8, true where missing) when it has one.
static Tableau tableau_de(const py::array& a, const py::object& masque, const Lecture& l)
{
    if (a.ndim() != 2) throw py::value_error("a 2-D array is needed, not " + std::to_string(a.ndim()) + "-D");
    std::string code = std::string(1, a.dtype().kind()) + std::to_string(a.dtype().itemsize());
    auto t = std::find_if(std::begin(TYPES), std::end(TYPES), [&](const TypeNumpy& x) { return code == x.code; });
    if (t == std::end(TYPES)) throw py::type_error("dtype " + std::string(py::str(a.dtype())) + " is not read");
    if (a.shape(0) >= INT_MAX || a.shape(1) >= INT_MAX) throw py::value_error("more than 2^31 - 1 rows or columns");
    Tableau r;
    r.donnees = a.data();
    r.type = t->type;
    r.nb_lig = (int)a.shape(0), r.nb_col = (int)a.shape(1);
    r.pas_ligne = a.strides(0), r.pas_colonne = a.strides(1);
    r.echange_octets = !a.dtype().attr("isnative").cast<bool>();
    r.avec_nodata = l.nodata.has_value();
    r.nodata = l.nodata.value_or(0.0);
    r.echelle_z = l.echelle_z;
    if (!masque.is_none()) {
        // Only an array already made: a converted one would be gone, with
        // its cells, before the engine reads them.
        if (!py::isinstance<py::array>(masque)) throw py::type_error("mask: a numpy array");
        py::array m = masque.cast<py::array>();
        if (m.ndim() != 2 || m.shape(0) != a.shape(0) || m.shape(1) != a.shape(1) || m.itemsize() != 1 ||
            (m.dtype().kind() != 'b' && m.dtype().kind() != 'u') || (m.shape(1) > 1 && m.strides(1) != 1))
            throw py::value_error("mask: bool or uint8 of the array's shape, its cells along a row adjacent");
        r.manquants = (const unsigned char*)m.data();
        r.pas_manquants = m.strides(0);
    }
    return r;
}

// The whole array as the engine takes it: int32 elevations (0 where
// missing) and, when cells may be missing, their presence (1/0).
static py::tuple lit_tableau(const py::array& dem, const Lecture& lecture, const py::object& masque)
{
    Tableau t = tableau_de(dem, masque, lecture);
    py::array_t<int32_t> z({t.nb_lig, t.nb_col});
    py::object presence = py::none();
    unsigned char* m = nullptr;
    if (tableau_manquants(t)) {
        py::array_t<uint8_t> p({t.nb_lig, t.nb_col});
        m = p.mutable_data();
        presence = p;
    }
    int* v = z.mutable_data();
    Erreur erreur;
    bool ok;
    {
        py::gil_scoped_release libre;
        ok = tableau_lit(t, 0, t.nb_lig, v, m, erreur);
    }
    if (!ok) leve(erreur);
    return py::make_tuple(z, presence);
}

// One elevation times the z-scale, rounded as every source of the program rounds it.
static int a_l_echelle(double v, double echelle_z)
{
    int z = 0;
    Erreur erreur;
    if (!elevation_a_l_echelle(v, echelle_z, z, erreur)) leve(erreur);
    return z;
}

// ---------------------------------------------------------------- in memory

namespace {

// The user's callable: the fraction of the whole computation, which reads
// the DEM in two or three passes, rises once from 0 to 1.
struct Avancement {
    PyObject* f;
};

// Called by the engine on the thread that called it, GIL released: Ctrl-C
// and the user's callable both stop it; their exception stays set and is
// raised once the engine has returned.
bool progres(double fraction, int passe, int passes, void* contexte)
{
    py::gil_scoped_acquire gil;
    if (PyErr_Occurred() || PyErr_CheckSignals() != 0) return false;
    PyObject* f = ((const Avancement*)contexte)->f;
    if (f == Py_None) return true;
    PyObject* r = PyObject_CallFunction(f, "d", (passe - 1 + fraction) / passes);
    if (!r) return false;
    int continuer = r == Py_None ? 1 : PyObject_IsTrue(r);
    Py_DECREF(r);
    return continuer == 1;
}

// What a computation in memory gives back.
struct Resultat {
    py::array image;          // (scales, rows, columns) uint8, or float32 with floats
    py::object presence;      // (rows, columns) uint8 1/0, when asked
    std::vector<int> scales;  // as computed
    std::vector<double> dmax, reference;
    uint64_t missing_cells = 0;
    bool fractions = false;  // a float elevation's fraction was rounded away at z-scale 1
};

}  // namespace

static Resultat calcule(const py::array& dem, const Lecture& lecture, const Options& options,
                        const py::object& masque, bool avec_presence, const py::object& progres_py)
{
    Tableau t = tableau_de(dem, masque, lecture);
    Options o = options;
    o.echelle_z = lecture.echelle_z;
    Avancement avancement{progres_py.ptr()};
    o.progres = progres;
    o.contexte_progres = &avancement;
    Resultat r;
    std::vector<py::ssize_t> forme{(py::ssize_t)o.echelles.size(), t.nb_lig, t.nb_col};
    r.image = o.reelles ? py::array(py::dtype::of<float>(), forme) : py::array(py::dtype::of<uint8_t>(), forme);
    r.presence = py::none();
    unsigned char* p = nullptr;
    if (avec_presence) {
        py::array_t<uint8_t> a({t.nb_lig, t.nb_col});
        p = a.mutable_data();
        r.presence = a;
    }
    void* sortie = r.image.mutable_data();
    Bilan b;
    Erreur erreur;
    bool ok;
    {
        py::gil_scoped_release libre;
        ok = calcul_tableau(t, o, sortie, p, b, erreur);
    }
    if (!ok || PyErr_Occurred()) leve(erreur);
    for (const BilanEchelle& e : b.echelles) {
        r.scales.push_back(e.echelle);
        r.dmax.push_back(e.dmax);
        r.reference.push_back(e.reference);
    }
    r.missing_cells = b.manquants;
    r.fractions = b.fractions;
    return r;
}

// The block primitives, in a file of their own; the package is built from
// this one file.
#include "blocs_py.h"

// ---------------------------------------------------------------- the module

PYBIND11_MODULE(_moteur, m)
{
    m.doc() = "Tavelkorn's engine; use tavelkorn.roughness";
    Cancelled = PyErr_NewExceptionWithDoc("tavelkorn.Cancelled",
                                          "The ``progress`` callable returned False: the computation stopped before "
                                          "its next round of rows and none of its threads runs any more.",
                                          PyExc_Exception, nullptr);
    m.attr("Cancelled") = py::handle(Cancelled);

    py::enum_<Terme>(m, "Term").value("CLASSIC", TERME_CLASSIQUE).value("CURVATURE", TERME_COURBURE);
    py::enum_<Direction>(m, "Direction")
        .value("ROWS", DIRECTION_LIGNES)
        .value("COLUMNS", DIRECTION_COLONNES)
        .value("BOTH", DIRECTION_LES_DEUX);
    py::enum_<Etirement>(m, "Stretch")
        .value("HALF", ETIRE_DEMI)
        .value("FULL", ETIRE_PLEIN)
        .value("PERCENTILE", ETIRE_RANG);

    Options d;  // the engine's defaults
    py::class_<Options>(m, "Options", "How to compute: the engine's options, by keyword")
        .def(py::init([](Terme term, Direction direction, Etirement stretch, double rank, std::vector<int> scales,
                         int norm, bool floats, int threads) {
                 Options o;
                 o.terme = term, o.direction = direction, o.etirement = stretch, o.rang = rank;
                 o.echelles = std::move(scales), o.norm = norm, o.reelles = floats, o.fils = threads;
                 return o;
             }),
             py::kw_only(), "term"_a = d.terme, "direction"_a = d.direction, "stretch"_a = d.etirement,
             "rank"_a = d.rang, "scales"_a = d.echelles, "norm"_a = d.norm, "floats"_a = d.reelles,
             "threads"_a = d.fils)
        .def_readwrite("term", &Options::terme)
        .def_readwrite("direction", &Options::direction)
        .def_readwrite("stretch", &Options::etirement)
        .def_readwrite("rank", &Options::rang, "P of the percentile stretch, in (0, 100]")
        .def_readwrite("scales", &Options::echelles, "ascending and distinct, from 1")
        .def_readwrite("norm", &Options::norm, "what the reference maps to; above 255 means 255")
        .def_readwrite("floats", &Options::reelles, "Float32 deviations instead of bytes")
        .def_readwrite("threads", &Options::fils, "1 to 256")
        .def(py::pickle(
            [](const Options& o) {
                return py::make_tuple(o.terme, o.direction, o.etirement, o.rang, o.echelles, o.norm, o.reelles, o.fils);
            },
            [](const py::tuple& t) {
                Options o;
                o.terme = t[0].cast<Terme>(), o.direction = t[1].cast<Direction>();
                o.etirement = t[2].cast<Etirement>();
                o.rang = t[3].cast<double>(), o.echelles = t[4].cast<std::vector<int>>(), o.norm = t[5].cast<int>();
                o.reelles = t[6].cast<bool>(), o.fils = t[7].cast<int>();
                return o;
            }));

    py::class_<Lecture>(m, "Reading",
                        "How an array's cells are read: those equal to nodata are missing (compared in the array's "
                        "own dtype; a value it cannot hold marks nothing), as are NaN and masked cells; the others "
                        "are multiplied by z_scale and rounded half away from zero (integers at 1 taken as they are)")
        .def(py::init([](std::optional<double> nodata, double z_scale) { return Lecture{nodata, z_scale}; }),
             py::kw_only(), "nodata"_a = py::none(), "z_scale"_a = 1.0)
        .def_readonly("nodata", &Lecture::nodata)
        .def_readonly("z_scale", &Lecture::echelle_z)
        .def(py::pickle([](const Lecture& l) { return py::make_tuple(l.nodata, l.echelle_z); },
                        [](const py::tuple& t) {
                            return Lecture{t[0].cast<std::optional<double>>(), t[1].cast<double>()};
                        }));

    py::class_<Resultat>(m, "Result", "What compute gives back")
        .def_readonly("image", &Resultat::image)
        .def_readonly("presence", &Resultat::presence)
        .def_readonly("scales", &Resultat::scales)
        .def_readonly("dmax", &Resultat::dmax)
        .def_readonly("reference", &Resultat::reference)
        .def_readonly("missing_cells", &Resultat::missing_cells)
        .def_readonly("fractions", &Resultat::fractions);

    py::list dtypes;
    for (const TypeNumpy& t : TYPES) dtypes.append(t.code);
    m.attr("DTYPES") = py::tuple(dtypes);
    m.attr("SCALES_MAX") = ECHELLES_MAX;
    m.attr("NB_CASES") = NB_CASES;

    m.def("compute", &calcule, "dem"_a, py::kw_only(), "reading"_a, "options"_a, "mask"_a = py::none(),
          "presence"_a = false, "progress"_a = py::none(),
          "The whole computation of a 2-D array: a Result, or the engine's failure raised (Cancelled, ValueError, "
          "MemoryError, RuntimeError)");
    m.def("read_elevations", &lit_tableau, "dem"_a, py::kw_only(), "reading"_a, "mask"_a = py::none(),
          "(int32 elevations, uint8 presence or None): the array as the engine takes it");
    m.def("scale_elevation", &a_l_echelle, "value"_a, "z_scale"_a,
          "value times z_scale rounded half away from zero, as the engine does; ValueError beyond the 32-bit range");
    m.def(
        "parse_stretch",
        [](const std::string& texte) -> py::object {
            Etirement e = ETIRE_DEMI;
            double rang = 100.0;
            if (!etirement_de(texte, e, rang)) return py::none();
            return py::make_tuple(e, rang);
        },
        "text"_a, "'half', 'full' or 'pP' (P in (0, 100]) as (Stretch, P); None for anything else");
    m.def("default_threads", &fils_par_defaut, "TAVELKORN_THREADS when it holds a number from 1, else one per core");
    definit_blocs(m);
}
