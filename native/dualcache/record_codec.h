// The contract between the store (zelph.dualcache) and a native module whose
// record types it persists. The store knows nothing of those types: a module
// hands it one of these tables in a capsule when it registers a class, and the
// store uses it to take an instance apart and to build one again without any
// call through the interpreter's attribute machinery.
#pragma once
#include <Python.h>
#include <stdint.h>

#define ZELPH_RECORD_CODEC_CAPSULE "zelph.dualcache.RecordCodec"
#define ZELPH_RECORD_CODEC_ABI 5
// Tables of version 1 end after itemized_field, those of version 2 after
// items_changed, those of version 3 after field_default, those of version 4
// after items_append.
#define ZELPH_RECORD_CODEC_ABI_MIN 1

// Change kinds reported by items_changed.
#define ZELPH_ITEM_APPENDED 0
#define ZELPH_ITEM_MODIFIED 1

extern "C" {

// A point in the life of an itemized mapping: run 0 means "unknown".
struct zelph_items_mark {
    uint64_t run, seq;
};

struct zelph_record_codec {
    unsigned abi_version;  // ZELPH_RECORD_CODEC_ABI

    // New reference to a tuple of the record's stored fields, in a fixed
    // order; NULL with an exception set on failure.
    PyObject *(*fields)(PyObject *record);

    // New instance of `cls` (the registered class, or a subclass registered
    // with the same codec) from such a tuple; NULL with an exception set.
    // Must not run user code beyond what constructing `cls` runs anyway.
    PyObject *(*build)(PyTypeObject *cls, PyObject *fields);

    // Index, within the fields tuple, of a mapping that the store keeps entry
    // by entry, so that writing a record back only writes the entries that
    // changed; -1 when the record has no such field.
    int itemized_field;

    // Version 2, optional (NULL): what changed in an itemized mapping since
    // an earlier mark, so that the store can write those entries alone
    // instead of comparing every entry. Puts the mapping's current mark into
    // *now. When `since` belongs to the same run, returns the number of
    // changes since then (at most `max`) and lists them in order, borrowed:
    // an entry appended at the end (its key and value), or an entry whose
    // value had fields reassigned (the value and the key it is expected
    // under; the store checks that the mapping still holds it there). While
    // a run lasts nothing else changes: no entry removed or replaced, no
    // other value's fields reassigned. Returns -1 when it cannot tell (other
    // run, more than `max` changes). Never raises, never runs Python code.
    Py_ssize_t (*items_changed)(PyObject *mapping, const struct zelph_items_mark *since,
                                struct zelph_items_mark *now, PyObject **keys, PyObject **values, int *kinds,
                                Py_ssize_t max);

    // Version 3, optional (NULL): the names of the stored fields, a tuple of
    // str in the order of the fields tuple (a reference the module keeps for
    // the life of the process), so that the store can read records stored
    // while the class had other fields by name; and what a record stored
    // without field `i` (an index into that tuple) takes: a new reference,
    // or NULL with no exception set when the field has no default (NULL
    // with an exception on failure). `cls` is the class being built.
    PyObject *field_names = nullptr;
    PyObject *(*field_default)(PyTypeObject *cls, Py_ssize_t i) = nullptr;

    // Version 4, optional (NULL): adds to an itemized mapping, at its end,
    // an entry the store read from its rows (another connection appended
    // it), as the module's own append does: whatever the module keeps of
    // the mapping stays current, and its change record lists the entry as
    // appended. The key is not in the mapping. 0, or -1 with an exception
    // set.
    int (*items_append)(PyObject *mapping, PyObject *key, PyObject *value) = nullptr;

    // Version 5, optional (NULL): `build` from the fields as an array of `n`
    // borrowed references instead of a tuple, so that a store reading many
    // records need not make and drop a tuple for each.
    PyObject *(*build_from_array)(PyTypeObject *cls, PyObject *const *fields, Py_ssize_t n) = nullptr;
};

}
