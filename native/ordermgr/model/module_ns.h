// The module's namespace as the records see it at call time, the module's
// record types for exact-type fast paths, and the interned attribute names.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>
#include <cstdint>

namespace ordermgr {
namespace nb = nanobind;

struct Types {
    PyTypeObject *PositionSummary = nullptr;
    PyTypeObject *Trade = nullptr;
    PyTypeObject *Position = nullptr;
    PyTypeObject *PositionGroup = nullptr;
    PyTypeObject *OrderMgr = nullptr;
    PyTypeObject *SystemHealthReport = nullptr;
    PyTypeObject *TradeFlowEntry = nullptr;
    PyTypeObject *PositionCalculations = nullptr;
    PyTypeObject *PositionAnalysis = nullptr;
    PyTypeObject *ValidationResult = nullptr;
    PyTypeObject *SystemDiagnostics = nullptr;
    PyTypeObject *SystemReporter = nullptr;
    PyTypeObject *DataValidator = nullptr;
    PyTypeObject *DualCache = nullptr;  // the store's own class, as imported
};
extern Types types;

// Interned names the module reads at call time: properties and methods of
// its own classes (their fields' names are the classes' own, record_type.h),
// mapping methods, and the names it looks up in its namespace.
struct Names {
    PyObject *qty, *average_price, *is_long, *total_commission, *started, *empty, *orderids, *values, *items,
        *keys, *get, *add_trade, *add_commission, *datetime, *DualCache, *summary, *transaction, *cacheName,
        *cachePrefix;
    PyObject *absent;  // an object of our own, the default of a store lookup
};
extern Names names;
void init_names();

// The module object (set once at initialisation) and lookups in its dict.
void set_module(PyObject *module);
PyObject *module_object();
// Borrowed value of a module attribute, or raises AttributeError.
PyObject *module_attr(PyObject *name);

// datetime.datetime.now(datetime.timezone.utc), read through the module's
// `datetime` attribute at call time.
nb::object utc_now();
// The same instant as microseconds, while `datetime` is the standard module;
// false otherwise (then utc_now() must be called).
bool utc_now_micros(int64_t &micros);

inline bool is_exact(PyObject *o, PyTypeObject *t) { return Py_TYPE(o) == t; }

}  // namespace ordermgr
