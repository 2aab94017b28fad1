// The module's state, and its namespace as the classes see it at call time.
//
// The state (module state, allocated with the module object) holds the
// interned names the classes read, the standard-library modules and the
// store's class as imported at initialisation, and an object of the module's
// own for lookups that must tell "absent" from any stored value. The module
// can be initialised once per process only, so the state is reached through
// state() from anywhere in the module; the record classes themselves are
// registered with their declarations (each class's own file).
#pragma once
#include <Python.h>

#include <cstdint>

#include "pysem/record_type.h"
#include "pysem/ref.h"

namespace ordermgr {
using pysem::borrow;
using pysem::Error;
using pysem::none;
using pysem::raise;
using pysem::Ref;
using pysem::steal;

// Interned names: properties and methods of the module's own classes (their
// fields' names are the classes' own, pysem/record_type.h), mapping methods,
// and the names looked up in the module's namespace.
#define ORDERMGR_NAMES(N)                                                                                   \
    N(qty) N(average_price) N(is_long) N(total_commission) N(started) N(empty) N(orderids) N(values) N(items) \
    N(keys) N(get) N(add_trade) N(add_commission) N(datetime) N(DualCache) N(summary) N(transaction)       \
    N(cacheName) N(cachePrefix) N(get_portfolio_summary) N(position_groups) N(validate_trade)              \
    N(validate_position_consistency) N(DataValidator) N(_check_data_consistency)                            \
    N(_check_mathematical_consistency) N(strftime) N(stopPct) N(Position) N(PositionGroup) N(os)           \
    N(SystemDiagnostics) N(SystemReporter) N(base64) N(update) N(clear) N(destroy) N(positions) N(union_)   \
    N(position_summary) N(health_check) N(analyze_position)      \
    N(position_table) N(portfolio_report) N(spread_report) N(spread_analysis) N(upper) N(status)           \
    N(total_positions) N(total_trades) N(warnings) N(errors) N(open) N(updatekey) N(generateOrderDesc)    \
    N(get_position_summary)

#define ORDERMGR_NAME_MEMBER_(n) PyObject *n = nullptr;
struct Names {
    ORDERMGR_NAMES(ORDERMGR_NAME_MEMBER_)
};
#undef ORDERMGR_NAME_MEMBER_

// Answers of module_attr kept while the namespace is unchanged: the dict
// watcher (kept_book.h) starts a new epoch on any change to it, and an
// answer holds only in the epoch it was read in. Epoch 0: the namespace is
// not watched, and nothing is kept.
struct KeptNamespace {
    struct Entry {
        PyObject *name = nullptr;
        PyObject *value = nullptr;  // borrowed from the namespace, which holds it while unchanged
        uint64_t epoch = 0;
    };
    static constexpr size_t kEntries = 16;  // direct-mapped by the name's identity
    Entry entries[kEntries];
    uint64_t epoch = 0;
    uint64_t plain_keys_epoch = 0;  // the epoch in which every key was found to be an exact str

    Entry &entry(PyObject *name) { return entries[((uintptr_t) name >> 4) % kEntries]; }
};

struct ModuleState {
    PyObject *module = nullptr;  // borrowed: the state lives inside it
    Names names;
    PyObject *stdlib_base64 = nullptr;   // the standard module, as imported
    PyTypeObject *store_type = nullptr;  // zelph.dualcache.DualCache
    PyObject *absent = nullptr;          // an object of our own
    PyObject *stopPct_keyword = nullptr;  // ("stopPct",)
    bool assertions = true;  // the interpreter's debug flag (not -O)
    KeptNamespace kept;
};

ModuleState &state();
inline const Names &names() { return state().names; }

// Set up in the module's state at initialisation; released with it (the
// module object goes only once no instance of its classes is left).
void init_state(PyObject *module, ModuleState *st);
int traverse_state(ModuleState *st, visitproc visit, void *arg);
void clear_state(ModuleState *st);
void free_state(ModuleState *st);

// Borrowed value of a module attribute, or raises AttributeError. Read from
// the namespace at every call, the answer of an earlier call standing in for
// the read while the namespace has not changed since (it would find the same
// object, and run no code of the caller's).
PyObject *module_attr(PyObject *name);
// The object the module binds to a record class's name now (borrowed), or
// null with AttributeError: pysem::record::bound_class, kept as module_attr is.
PyObject *module_class(pysem::record::Class &c);

// Called at the end of the module's initialisation: from now on the
// namespace is watched, and lookups in it are kept.
void watch_module_namespace();
// The watcher's report of a change to the namespace (`gone`: it is being
// deallocated); runs no Python code.
void namespace_changed(bool gone);

// datetime.datetime.now(datetime.timezone.utc), read through the module's
// `datetime` attribute at call time.
Ref utc_now();
// The same instant as microseconds, while `datetime` is the standard module;
// false otherwise (then utc_now() must be called).
bool utc_now_micros(int64_t &micros);

}  // namespace ordermgr
