// Classes the application registered for storage: how to take an instance
// apart into a tuple of fields and how to build one again. Registration is
// per process; a stored record names its class by tag.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>
#include <string>

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

    int itemized_field() const { return codec ? codec->itemized_field : -1; }
    // The codec's change record for its itemized mapping, or nullptr.
    decltype(zelph_record_codec::items_changed) items_changed() const {
        return codec && codec->abi_version >= 2 ? codec->items_changed : nullptr;
    }
    // The instance's fields as a tuple (new reference).
    nb::object fields(PyObject *obj) const;
    // A new instance of `cls` from a tuple of fields.
    nb::object build(PyObject *fields) const;
};

// The registration for exactly this type, or nullptr.
const RecordClass *record_class_of(PyTypeObject *type);
// The registration under a tag, or nullptr.
const RecordClass *record_class_by_tag(const std::string &tag);

// zelph.dualcache.register(cls, tag=None, *, codec=None, to_fields=None, from_fields=None)
nb::object register_class(nb::handle cls, nb::handle tag, nb::handle codec, nb::handle to_fields,
                          nb::handle from_fields);

// The TypeError for an object of a class nobody registered.
[[noreturn]] void raise_unregistered(PyTypeObject *type);

}  // namespace dualcache
