// marlovent.ordermgr: module initialisation. Registration only; the records
// and services live in the subsystem folders.
#include <nanobind/nanobind.h>

#include "binding/registry.h"
#include "model/module_ns.h"
#include "model/store_codec.h"
#include "pysem/clock.h"

namespace nb = nanobind;

static const char *const kModuleDoc =
    "Cost-basis tracking of a trading portfolio.\n\n"
    "A Trade is one executed fill (order id, non-negative price, signed quantity,\n"
    "commission, UTC timestamp). A Position is the trade book of one instrument\n"
    "keyed by order id, with its net signed quantity and commission-inclusive\n"
    "average price; it empties itself when the quantity reaches exactly zero.\n"
    "A PositionSummary is the display form (positive quantity, signed price, stop,\n"
    "profit, age). A PositionGroup values the legs of a spread as one unit and\n"
    "writes the order lines that re-trade it. OrderMgr keeps the positions of a\n"
    "portfolio in a persistent DualCache store.";

static void import_stdlib_names(nb::module_ &m) {
    m.attr("base64") = nb::module_::import_("base64");
    m.attr("datetime") = nb::module_::import_("datetime");
    m.attr("os") = nb::module_::import_("os");
    nb::module_ abc = nb::module_::import_("collections.abc");
    m.attr("Callable") = abc.attr("Callable");
    m.attr("Hashable") = abc.attr("Hashable");
    m.attr("MutableMapping") = abc.attr("MutableMapping");
    m.attr("contextmanager") = nb::module_::import_("contextlib").attr("contextmanager");
    nb::module_ dc = nb::module_::import_("dataclasses");
    m.attr("dataclass") = dc.attr("dataclass");
    m.attr("field") = dc.attr("field");
    nb::module_ typing = nb::module_::import_("typing");
    m.attr("Any") = typing.attr("Any");
    m.attr("Literal") = typing.attr("Literal");
    m.attr("TypeAlias") = typing.attr("TypeAlias");
}

static void define_aliases(nb::module_ &m) {
    nb::object hashable = m.attr("Hashable");
    nb::handle float_t((PyObject *) &PyFloat_Type), int_t((PyObject *) &PyLong_Type);
    m.attr("OrderId") = hashable;
    m.attr("Key") = hashable;
    m.attr("Price") = float_t;
    PyObject *qty = PyNumber_Or(float_t.ptr(), int_t.ptr());
    if (!qty) throw nb::python_error();
    m.attr("Qty") = nb::steal(qty);
    m.attr("Percent") = float_t;
}

static void init_module(nb::module_ m) {
    static PyInterpreterState *first_interpreter = nullptr;
    static PyObject *first_module = nullptr;
    PyInterpreterState *interp = PyInterpreterState_Get();
    if (first_interpreter && first_interpreter != interp) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        throw nb::python_error();
    }
    if (first_module) {
        if (first_module == m.ptr()) return;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'ordermgr' has already been imported. Re-initialisation is not supported.");
        throw nb::python_error();
    }
    first_interpreter = interp;
    first_module = m.ptr();

    ordermgr::set_module(m.ptr());
    ordermgr::init_names();
    pysem::clock_init();
    m.attr("__doc__") = kModuleDoc;

    import_stdlib_names(m);
    nb::module_ store = nb::module_::import_("zelph.dualcache");
    m.attr("DualCache") = store.attr("DualCache");
    ordermgr::types.DualCache = (PyTypeObject *) store.attr("DualCache").ptr();
    define_aliases(m);
    ordermgr::register_classes(m);
    ordermgr::register_codecs_with_store(store);
}

// The module definition: as nanobind's NB_MODULE, except that an error
// raised while initialising propagates as it is (not wrapped in another
// ImportError), and an initialisation that fails without an error set
// raises ImportError("init marlovent.ordermgr").
static int ordermgr_exec(PyObject *m) {
    nanobind::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, m);
    if (!nanobind::detail::internals) return -1;
    try {
        init_module(nanobind::borrow<nanobind::module_>(m));
        return 0;
    } catch (nanobind::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init marlovent.ordermgr");
    return -1;
}

static PyObject *ordermgr_def = nullptr;
extern "C" NB_EXPORT PyObject *PyInit_ordermgr(void);
extern "C" PyObject *PyInit_ordermgr(void) {
    nanobind::detail::init_singletons();
    if (!nanobind::detail::nb_backend_init("ordermgr")) return nullptr;
    if (!ordermgr_def)
        ordermgr_def = NB_CALL(module_new)("ordermgr", nullptr, (void *) ordermgr_exec, NB_ABI_MINOR_TAG);
    return ordermgr_def;
}
