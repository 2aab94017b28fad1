// Iterating a DualCache: the keys in the store's order when iteration
// starts; entries deleted meanwhile are skipped. Before the first value,
// the values not in memory yet are read in one pass over the store. The views are small Python classes over the
// collections.abc views whose iteration is this iterator.
#include <nanobind/eval.h>

#include <utility>

#include "bindings.h"
#include "pysem/fields.h"
#include "pysem/slot_call.h"
#include "arena_reserve.h"
#include "prefetch_scan.h"
#include "store.h"

namespace dualcache {

struct Iterator {
    nb::object store;
    nb::object keys;  // list
    Py_ssize_t pos = 0;
    int mode = 0;  // 0 keys, 1 values, 2 items
    bool loaded = false;  // the values not in memory were read in one pass

    int visit(visitproc visit, void *arg) {
        Py_VISIT(store.ptr());
        Py_VISIT(keys.ptr());
        return 0;
    }
    void clear() { nb::object a = std::move(store), b = std::move(keys); }
};

static PyObject *it_next(PyObject *self) {
    return pysem::slot_call<PyObject *>(nullptr, [&]() -> PyObject * {
        if (!nb::inst_ready(self)) return nullptr;
        Iterator &it = *nb::inst_ptr<Iterator>(self);
        if (!it.keys) return nullptr;
        Store &s = store_of(it.store);
        while (it.pos < PyList_GET_SIZE(it.keys.ptr())) {
            nb::object key = nb::borrow(PyList_GET_ITEM(it.keys.ptr(), it.pos++));
            if (it.mode == 0) {
                if (s.still_present(key.ptr())) return key.release().ptr();
                continue;
            }
            if (!it.loaded) {
                it.loaded = true;
                s.load_all();
            }
            nb::object value;
            if (!s.value_for_iteration(key.ptr(), value)) continue;
            if (it.mode == 1) return value.release().ptr();
            return PyTuple_Pack(2, key.ptr(), value.ptr());
        }
        nb::object done = std::move(it.keys);
        return nullptr;
    });
}

static PyType_Slot iterator_slots[] = {{Py_tp_traverse, (void *) pysem::record_traverse<Iterator>},
                                       {Py_tp_clear, (void *) pysem::record_clear<Iterator>},
                                       {Py_tp_iter, (void *) PyObject_SelfIter},
                                       {Py_tp_iternext, (void *) it_next},
                                       {0, nullptr}};

nb::object make_iterator(nb::handle store, int mode) {
    nb::object keys = store_of(store).keys_snapshot();
    nb::object obj = nb::inst_alloc(nb::type<Iterator>());
    new (nb::inst_ptr<Iterator>(obj)) Iterator{nb::borrow(store), std::move(keys), 0, mode, false};
    nb::inst_mark_ready(obj);
    return obj;
}

static const char *const kViews = R"(
from collections.abc import ItemsView, KeysView, ValuesView

class DualCacheKeys(KeysView):
    """The keys of a DualCache, in the store's order."""
    __slots__ = ()
    def __iter__(self):
        return self._mapping._iter(0)

class DualCacheValues(ValuesView):
    """The values of a DualCache, in the store's order."""
    __slots__ = ()
    def __iter__(self):
        return self._mapping._iter(1)

class DualCacheItems(ItemsView):
    """The (key, value) pairs of a DualCache, in the store's order."""
    __slots__ = ()
    def __iter__(self):
        return self._mapping._iter(2)

for _cls in (DualCacheKeys, DualCacheValues, DualCacheItems):
    _cls.__module__ = "zelph.dualcache"
del _cls
)";

void bind_iteration(nb::module_ &m) {
    nb::class_<Iterator>(m, "_Iterator", nb::type_slots(iterator_slots), "Iterator over a DualCache.");
    nb::dict scope;
    scope["__builtins__"] = nb::module_::import_("builtins");
    scope["__name__"] = "zelph.dualcache";
    nb::exec(nb::str(kViews), scope);
    const char *names[] = {"DualCacheKeys", "DualCacheValues", "DualCacheItems"};
    PyObject *classes[3];
    for (int i = 0; i < 3; ++i) {
        nb::object c = scope[names[i]];
        m.attr(names[i]) = c;
        classes[i] = c.release().ptr();
    }
    set_view_classes(classes[0], classes[1], classes[2]);
    // Test hooks: from how many entries a whole-map read of an SQLite
    // store reads ahead on a worker thread, and how many rows it hands over
    // at a time; each returns the old number.
    m.def("_prefetch_from", [](size_t n) { return std::exchange(prefetch_from, n); });
    m.def("_prefetch_batch_rows", [](size_t n) { return std::exchange(prefetch_batch_rows, n); });
    // Test hook: the arena reserve's (installed, reads drawing on it, arenas
    // in use, arenas ready).
    m.def("_arena_reserve", [] {
        arena_reserve::Counts c = arena_reserve::counts();
        return nb::make_tuple(c.installed, c.readers, c.in_use, c.ready);
    });
}

}  // namespace dualcache
