// Classes the application registered for storage: how to take an instance
// apart into a tuple of fields, how to build one again, and (when known) the
// names of those fields, under which they are stored. Registration is per
// process; a stored record names its class by tag and its fields by name.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pysem/record_codec.h"

namespace dualcache {
namespace nb = nanobind;

struct RecordClass {
    PyTypeObject *cls;                       // strong reference, kept for the process
    PyObject *tag;                           // str, strong reference
    std::string tag_utf8;
    const zelph_record_codec *codec;         // native table, or nullptr
    PyObject *capsule;                       // keeps `codec` alive
    PyObject *to_fields, *from_fields;       // Python callables, or nullptr
    // The names of the fields tuple's entries (a tuple of str), or nullptr
    // when the class was registered without them: its records are then
    // stored by position.
    PyObject *names;
    std::vector<std::string> names_utf8;
    // Registered with fields=: built from a mapping of the stored fields by
    // name (from_fields(cls, mapping), or cls(**mapping)), and taken apart
    // by attribute when there is no to_fields.
    bool by_name;
    uint64_t generation;                     // changes with every registration of the class

    int itemized_field() const { return codec ? codec->itemized_field : -1; }
    // The codec's change record for its itemized mapping, or nullptr.
    decltype(zelph_record_codec::items_changed) items_changed() const {
        return codec && codec->abi_version >= 2 ? codec->items_changed : nullptr;
    }
    // The codec's append to its itemized mapping, or nullptr.
    decltype(zelph_record_codec::items_append) items_append() const {
        return codec && codec->abi_version >= 4 ? codec->items_append : nullptr;
    }
    // The instance's fields as a tuple (new reference); ValueError when
    // their number is not the number of names.
    nb::object fields(PyObject *obj) const;
    // A new instance of `cls` from a tuple of fields in the class's order.
    nb::object build(PyObject *fields) const;
    // The same from `n` fields (borrowed) of a class not registered by
    // name: no tuple made when the codec takes an array.
    nb::object build(PyObject *const *fields, Py_ssize_t n) const;
    // A new instance of a by_name class from a dict of stored fields.
    nb::object build_from(PyObject *mapping) const;
    // What a record stored without field `i` takes (a native codec's
    // declared default), or null when the field has none.
    nb::object default_for(Py_ssize_t i) const;
};

// The registration for exactly this type, or nullptr.
const RecordClass *record_class_of(PyTypeObject *type);
// The registration under a tag, or nullptr.
const RecordClass *record_class_by_tag(const std::string &tag);

// zelph.dualcache.register(cls, tag=None, *, codec=None, to_fields=None, from_fields=None, fields=None)
nb::object register_class(nb::handle cls, nb::handle tag, nb::handle codec, nb::handle to_fields,
                          nb::handle from_fields, nb::handle fields);

// The TypeError for an object of a class nobody registered.
[[noreturn]] void raise_unregistered(PyTypeObject *type);

}  // namespace dualcache
