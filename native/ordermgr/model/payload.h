// Direct access to the native record inside an instance of one of the
// module's exact record types: the record struct follows the object header
// (record_type.h). An instance made with __new__ alone, or cleared by the
// collector, has null fields, so callers check the field they read and take
// the generic path when it is null.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>
#include <cstddef>

#include "pysem/record_type.h"

namespace ordermgr {
namespace nb = nanobind;

template <typename T>
struct Payload {
    static inline PyTypeObject *type = nullptr;
    static inline Py_ssize_t offset = 0;

    // A record laid out as a plain object: the struct follows the header.
    static void bind(PyTypeObject *cls) {
        offset = (Py_ssize_t) offsetof(pysem::record::Instance<T>, rec);
        type = cls;
    }
    // The record of an instance of exactly this type, else nullptr.
    static T *of_exact(PyObject *o) {
        return Py_TYPE(o) == type ? (T *) ((char *) o + offset) : nullptr;
    }
};

}  // namespace ordermgr
