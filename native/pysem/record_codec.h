// The contract between the store (zelph.dualcache) and a native module whose
// record types it persists. The store knows nothing of those types: a module
// hands it one of these tables in a capsule when it registers a class, and the
// store uses it to take an instance apart and to build one again without any
// call through the interpreter's attribute machinery.
#pragma once
#include <Python.h>

#define ZELPH_RECORD_CODEC_CAPSULE "zelph.dualcache.RecordCodec"
#define ZELPH_RECORD_CODEC_ABI 1

extern "C" {

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
};

}
