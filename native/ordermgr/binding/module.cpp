// marlovent.ordermgr: module initialisation (multi-phase, with module
// state). Registration only; the records and services live in the
// subsystem folders.
#include <Python.h>

#include "binding/registry.h"
#include "model/module_ns.h"
#include "model/store_codec.h"
#include "pysem/clock.h"
#include "pysem/slot_call.h"

namespace {

using ordermgr::Ref;
using pysem::check;

const char *const kModuleDoc =
    "Cost-basis tracking of a trading portfolio.\n\n"
    "A Trade is one executed fill (order id, non-negative price, signed quantity,\n"
    "commission, UTC timestamp). A Position is the trade book of one instrument\n"
    "keyed by order id, with its net signed quantity and commission-inclusive\n"
    "average price; it empties itself when the quantity reaches exactly zero.\n"
    "A PositionSummary is the display form (positive quantity, signed price, stop,\n"
    "profit, age). A PositionGroup values the legs of a spread as one unit and\n"
    "writes the order lines that re-trade it. OrderMgr keeps the positions of a\n"
    "portfolio in a persistent DualCache store.";

void bind(PyObject *m, const char *name, Ref value) {
    if (PyModule_AddObjectRef(m, name, value.ptr()) < 0) throw pysem::Error();
}

Ref import(const char *name) { return check(PyImport_ImportModule(name)); }
Ref attr(const Ref &o, const char *name) { return check(PyObject_GetAttrString(o.ptr(), name)); }

void import_stdlib_names(PyObject *m) {
    bind(m, "base64", import("base64"));
    bind(m, "datetime", import("datetime"));
    bind(m, "os", import("os"));
    Ref abc = import("collections.abc");
    bind(m, "Callable", attr(abc, "Callable"));
    bind(m, "Hashable", attr(abc, "Hashable"));
    bind(m, "MutableMapping", attr(abc, "MutableMapping"));
    bind(m, "contextmanager", attr(import("contextlib"), "contextmanager"));
    Ref dc = import("dataclasses");
    bind(m, "dataclass", attr(dc, "dataclass"));
    bind(m, "field", attr(dc, "field"));
    Ref typing = import("typing");
    bind(m, "Any", attr(typing, "Any"));
    bind(m, "Literal", attr(typing, "Literal"));
    bind(m, "TypeAlias", attr(typing, "TypeAlias"));
}

void define_aliases(PyObject *m) {
    Ref hashable = check(PyObject_GetAttrString(m, "Hashable"));
    PyObject *float_t = (PyObject *) &PyFloat_Type, *int_t = (PyObject *) &PyLong_Type;
    bind(m, "OrderId", hashable);
    bind(m, "Key", hashable);
    bind(m, "Price", pysem::borrow(float_t));
    bind(m, "Qty", check(PyNumber_Or(float_t, int_t)));
    bind(m, "Percent", pysem::borrow(float_t));
}

// The module may be initialised once per process, in one interpreter.
PyInterpreterState *first_interpreter = nullptr;
PyObject *first_module = nullptr;

int exec_module(PyObject *m) {
    PyInterpreterState *interp = PyInterpreterState_Get();
    if (first_interpreter && first_interpreter != interp) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    if (first_module) {
        if (first_module == m) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'ordermgr' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    first_interpreter = interp;
    first_module = m;
    int r = pysem::slot_call<int>(-1, [&] {
        auto *st = static_cast<ordermgr::ModuleState *>(PyModule_GetState(m));
        ordermgr::init_state(m, st);
        pysem::clock_init();
        bind(m, "__doc__", check(PyUnicode_FromString(kModuleDoc)));
        import_stdlib_names(m);
        Ref store = import("zelph.dualcache");
        Ref store_class = attr(store, "DualCache");
        if (!PyType_Check(store_class.ptr())) pysem::raise(PyExc_ImportError, "zelph.dualcache.DualCache is not a class");
        st->store_type = (PyTypeObject *) Py_NewRef(store_class.ptr());
        bind(m, "DualCache", store_class);
        define_aliases(m);
        ordermgr::register_classes(m);
        ordermgr::register_codecs_with_store(store.ptr());
        ordermgr::watch_module_namespace();
        return 0;
    });
    // A failure while the classes are defined that set no error of its own.
    if (r < 0 && !PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init marlovent.ordermgr");
    return r;
}

ordermgr::ModuleState *state_of(PyObject *m) { return static_cast<ordermgr::ModuleState *>(PyModule_GetState(m)); }

int traverse_module(PyObject *m, visitproc visit, void *arg) {
    ordermgr::ModuleState *st = state_of(m);
    return st && st->module ? ordermgr::traverse_state(st, visit, arg) : 0;
}

int clear_module(PyObject *m) {
    ordermgr::ModuleState *st = state_of(m);
    if (st && st->module) ordermgr::clear_state(st);
    return 0;
}

void free_module(void *m) {
    ordermgr::ModuleState *st = state_of((PyObject *) m);
    if (st && st->module) ordermgr::free_state(st);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, (void *) exec_module},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "ordermgr",
    .m_doc = nullptr,
    .m_size = sizeof(ordermgr::ModuleState),
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = traverse_module,
    .m_clear = clear_module,
    .m_free = free_module,
};

}  // namespace

PyMODINIT_FUNC PyInit_ordermgr(void) { return PyModuleDef_Init(&module_def); }
