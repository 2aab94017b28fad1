// The DualCache class: construction, the mapping slots and methods, views,
// transactions, closing and the test hooks.
#include <new>

#include "bindings.h"
#include "py_import.h"
#include "raise.h"
#include "pysem/slot_call.h"
#include "store.h"
#include "store_error.h"

namespace dualcache {

using namespace nb::literals;

Store &store_of(nb::handle self) {
    if (!self.ptr() || !nb::inst_ready(self)) raise(store_error_type(), "DualCache object was never opened");
    return *nb::inst_ptr<Store>(self);
}

// --- slots ------------------------------------------------------------------

static Py_ssize_t dc_len(PyObject *self) {
    return pysem::slot_call<Py_ssize_t>(-1, [&] { return store_of(self).length(); });
}

static PyObject *dc_getitem(PyObject *self, PyObject *key) {
    return pysem::slot_call<PyObject *>(nullptr, [&] { return store_of(self).getitem(key).release().ptr(); });
}

static int dc_setitem(PyObject *self, PyObject *key, PyObject *value) {
    return pysem::slot_call<int>(-1, [&] {
        if (value)
            store_of(self).setitem(key, value);
        else
            store_of(self).delitem(key);
        return 0;
    });
}

static int dc_contains(PyObject *self, PyObject *key) {
    return pysem::slot_call<int>(-1, [&] { return store_of(self).contains(key) ? 1 : 0; });
}

static int dc_bool(PyObject *self) {
    return pysem::slot_call<int>(-1, [&] { return store_of(self).length() ? 1 : 0; });
}

static PyObject *dc_iter(PyObject *self) {
    return pysem::slot_call<PyObject *>(nullptr, [&] { return make_iterator(self, 0).release().ptr(); });
}

static int dc_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    return nb::inst_ptr<Store>(self)->traverse(visit, arg);
}

static int dc_clear(PyObject *self) {
    if (nb::inst_ready(self)) nb::inst_ptr<Store>(self)->gc_clear();
    return 0;
}

static PyType_Slot dualcache_slots[] = {
    {Py_mp_length, (void *) dc_len},
    {Py_mp_subscript, (void *) dc_getitem},
    {Py_mp_ass_subscript, (void *) dc_setitem},
    {Py_sq_length, (void *) dc_len},
    {Py_sq_contains, (void *) dc_contains},
    {Py_nb_bool, (void *) dc_bool},
    {Py_tp_iter, (void *) dc_iter},
    {Py_tp_traverse, (void *) dc_traverse},
    {Py_tp_clear, (void *) dc_clear},
    {Py_tp_hash, (void *) PyObject_HashNotImplemented},
    {0, nullptr}};

// --- methods ------------------------------------------------------------------

static PyObject *view_classes[3];  // DualCacheKeys, DualCacheValues, DualCacheItems (kept for the process)

static nb::object view(nb::handle self, int mode) {
    store_of(self);
    PyObject *v = PyObject_CallOneArg(view_classes[mode], self.ptr());
    if (!v) throw nb::python_error();
    return nb::steal(v);
}

// dict(self.items()), for comparisons.
static nb::object as_dict(nb::handle self) {
    nb::dict d;
    nb::object it = make_iterator(self, 2);
    PyObject *pair;
    while ((pair = PyIter_Next(it.ptr()))) {
        nb::object p = nb::steal(pair);
        d[PyTuple_GET_ITEM(pair, 0)] = nb::handle(PyTuple_GET_ITEM(pair, 1));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return d;
}

static nb::object mapping_eq(nb::handle self, nb::handle other) {
    static PyObject *mapping = nullptr;  // collections.abc.Mapping, kept for the process
    if (!mapping) mapping = import_attr("collections.abc", "Mapping");
    int is_mapping = PyObject_IsInstance(other.ptr(), mapping);
    if (is_mapping < 0) throw nb::python_error();
    if (!is_mapping) return nb::borrow(Py_NotImplemented);
    nb::object mine = as_dict(self);
    nb::object theirs;
    if (Py_TYPE(other.ptr()) == Py_TYPE(self.ptr())) {
        theirs = as_dict(other);
    } else {
        nb::object items = other.attr("items")();
        theirs = nb::steal(PyObject_CallOneArg((PyObject *) &PyDict_Type, items.ptr()));
        if (!theirs) throw nb::python_error();
    }
    return nb::steal(PyObject_RichCompare(mine.ptr(), theirs.ptr(), Py_EQ));
}

void bind_dualcache(nb::module_ &m) {
    static nb::handle missing = PyObject_CallNoArgs((PyObject *) &PyBaseObject_Type);  // marks "no default"
    auto cls = nb::class_<Store>(
        m, "DualCache", nb::type_slots(dualcache_slots), nb::is_weak_referenceable(),
        "DualCache(*, cacheName, cachePrefix)\n\n"
        "A persistent mapping stored in one SQLite database file,\n"
        "cachePrefix + <cacheName made safe as a file name> + '.sqlite'.\n\n"
        "Values are encoded in the store's own binary format: None, bool, int, float,\n"
        "str, bytes, tuple, list, dict, set, frozenset, datetime/date/time/timedelta,\n"
        "Decimal, and classes registered with zelph.dualcache.register(). The first\n"
        "read of a key keeps the decoded object: later reads return that same object\n"
        "until the key is written or deleted, here or by another process. Every\n"
        "assignment, deletion and clear() is one durable transaction; transaction()\n"
        "(alias batch()) groups several. map(name) reaches the other maps of the same\n"
        "database, which share its transactions.");
    cls.def(
        "__init__", [](Store *self, nb::handle cacheName, nb::handle cachePrefix) { new (self) Store(cacheName, cachePrefix); },
        nb::kw_only(), "cacheName"_a, "cachePrefix"_a);
    cls.def_static(
        "exists", [](nb::handle cacheName, nb::handle cachePrefix) { return Connection::exists(cacheName, cachePrefix); },
        nb::kw_only(), "cacheName"_a, "cachePrefix"_a,
        "Whether the store that DualCache(cacheName=..., cachePrefix=...) would open is there: its file,\n"
        "or its row on the server. Creates and writes nothing.");
    cls.def(
        "on_rollback", [](nb::handle self, nb::handle undo) { store_of(self).on_rollback(undo); }, "undo"_a,
        "Call undo() if the innermost open transaction()/batch() level rolls back (after the memory\n"
        "level forgot what the level wrote; the newest undo first). When the level ends normally the\n"
        "undo passes to the enclosing level; it is dropped when the outermost level commits. For\n"
        "putting back live objects changed along with the writes of the block. An undo must not use\n"
        "the store; its errors are reported through sys.unraisablehook. RuntimeError outside a block.");
    cls.def(
        "get", [](nb::handle self, nb::handle key, nb::handle dflt) { return store_of(self).get(key.ptr(), dflt.ptr()); },
        "key"_a.none(), "default"_a.none() = nb::none(), "The value of `key`, or `default` when it is not stored.");
    cls.def("keys", [](nb::handle self) { return view(self, 0); }, "A view of the keys, in the store's order.");
    cls.def("values", [](nb::handle self) { return view(self, 1); }, "A view of the values, in the store's order.");
    cls.def("items", [](nb::handle self) { return view(self, 2); }, "A view of the (key, value) pairs, in the store's order.");
    cls.def("_iter", [](nb::handle self, int mode) { return make_iterator(self, mode); }, "mode"_a);
    cls.def(
        "pop",
        [](nb::handle self, nb::handle key, nb::handle dflt) {
            return store_of(self).pop(key.ptr(), dflt.is(missing) ? nullptr : dflt.ptr());
        },
        "key"_a.none(), "default"_a.none() = missing, "Remove `key` and return its value (or `default`; KeyError without one).");
    cls.def("popitem", [](nb::handle self) { return store_of(self).popitem(); },
            "Remove and return the last (key, value) pair; KeyError when empty.");
    cls.def(
        "setdefault",
        [](nb::handle self, nb::handle key, nb::handle dflt) { return store_of(self).setdefault(key.ptr(), dflt.ptr()); },
        "key"_a.none(), "default"_a.none() = nb::none(), "The value of `key`; store and return `default` when it is missing.");
    cls.def(
        "update",
        [](nb::handle self, nb::args args, nb::kwargs kwargs) {
            if (args.size() > 1) raise(PyExc_TypeError, "update expected at most 1 positional argument");
            store_of(self).update(args.size() ? args[0].ptr() : nullptr, kwargs.size() ? kwargs.ptr() : nullptr);
        },
        "Store every pair of a mapping or iterable of pairs, and the keyword arguments, in one transaction.");
    cls.def("clear", [](nb::handle self) { store_of(self).clear(); }, "Remove every entry (one transaction).");
    cls.def("__eq__", &mapping_eq, nb::is_operator());
    cls.def("__ne__", [](nb::handle self, nb::handle other) -> nb::object {
        nb::object r = mapping_eq(self, other);
        if (r.is(Py_NotImplemented)) return r;
        return nb::bool_(!PyObject_IsTrue(r.ptr()));
    }, nb::is_operator());
    cls.def("__repr__", [](nb::handle self) {
        Store &s = store_of(self);
        nb::str r = nb::str("DualCache(cacheName={!r}, cachePrefix={!r})").format(s.name(), s.shown_prefix());
        if (s.is_default_map()) return r;
        return nb::str("{}.map({!r})").format(r, s.map_name());
    });
    cls.def("map", [](nb::handle self, nb::handle name) { return store_of(self).map(name); }, "name"_a.none(),
            "The map called `name` in this store's database: a DualCache of its own keys and values that\n"
            "shares the connection, the write lock and transaction()/batch() with every map of the\n"
            "database. map('') is the default map (the one DualCache(...) opens). The same object is\n"
            "returned for a name while the database is open. Getting a map and reading it writes\n"
            "nothing; its first write creates it.");
    cls.def("map_names", [](nb::handle self) { return store_of(self).map_names(); },
            "The sorted names of the database's maps that hold at least one entry ('' for the default map).");
    cls.def_prop_ro("mapName", [](nb::handle self) { return nb::borrow(store_of(self).map_name()); },
                    "The name of this map ('' for the default map).");
    cls.def("close", [](nb::handle self) { store_of(self).close(); },
            "Close the database connection, for every map of the database; later use of any of them\n"
            "raises StoreError. Closing twice is harmless.");
    cls.def("destroy", [](nb::handle self) { store_of(self).destroy(); },
            "Close the store and delete its database with every map in it (the file and its side files);\n"
            "later use of any of its maps raises StoreError.");
    cls.def("__enter__", [](nb::handle self) {
        store_of(self).length();  // raises when closed
        return nb::borrow(self);
    });
    cls.def("__exit__", [](nb::handle self, nb::handle, nb::handle, nb::handle) {
        store_of(self).close();
        return false;
    }, "exc_type"_a.none(), "exc"_a.none(), "tb"_a.none());
    cls.def("__reduce__", [](nb::handle) -> nb::object { raise(PyExc_TypeError, "DualCache objects cannot be pickled"); });
    cls.def_prop_ro("path", [](nb::handle self) {
        const std::string &p = store_of(self).path();
        PyObject *s = PyUnicode_DecodeFSDefaultAndSize(p.data(), (Py_ssize_t) p.size());
        if (!s) throw nb::python_error();
        return nb::steal(s);
    },
                    "The database file.");
    cls.def_prop_ro("in_transaction", [](nb::handle self) { return store_of(self).transaction_depth() > 0; },
                    "Whether a transaction() or batch() block of this database (on any of its maps) is open.");
    cls.def_prop_ro("read_only", [](nb::handle self) { return store_of(self).read_only(); },
                    "Whether the store was opened read-only (its file or file system cannot be written).");
    cls.def_prop_ro("cacheName", [](nb::handle self) { return nb::borrow(store_of(self).name()); });
    cls.def_prop_ro("cachePrefix", [](nb::handle self) { return store_of(self).given_prefix(); },
                    "The prefix the store was opened with (a server URI without its password).");
    cls.def(
        "_fail_writes", [](nb::handle self, long long after) { store_of(self).fail_writes(after); }, "after"_a,
        "Test hook: the write operation that follows `after` further successful ones fails once as\n"
        "a failing SQLite write would (StoreError, rolled back); -1 turns the hook off.");
    cls.def(
        "_log_from", [](nb::handle self, long long keys) { store_of(self).log_from(keys); }, "keys"_a,
        "Test hook: from how many keys a map of this connection reads what other connections changed\n"
        "instead of every key (256; 0: always).");
    cls.def("_stats", [](nb::handle self) { return store_of(self).stats(); },
            "Test hook: counters of commits, loads, index reloads, WAL frames and bytes written.");
}

void set_view_classes(PyObject *keys, PyObject *values, PyObject *items) {
    view_classes[0] = keys;
    view_classes[1] = values;
    view_classes[2] = items;
}

}  // namespace dualcache
