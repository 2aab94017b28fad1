// Direct access to the native record inside an instance of one of the
// module's exact record types, without a call into nanobind.
//
// nanobind keeps the record at a fixed offset from the object header for
// every instance of a type; the offset is measured once when the class is
// created. A record that was never initialised (an instance made with
// __new__ alone) or whose fields were destroyed has null fields (fresh
// memory is zeroed and the records null their fields on destruction), so
// callers check the field they read and take the generic path when it is
// null.
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
    static void measure(nb::handle cls) {
        nb::object probe = nb::inst_alloc(cls);
        offset = (Py_ssize_t) ((char *) nb::inst_ptr<T>(probe) - (char *) probe.ptr());
        type = (PyTypeObject *) cls.ptr();
    }
    // The record of an instance of exactly this type, else nullptr.
    static T *of_exact(PyObject *o) {
        return Py_TYPE(o) == type ? (T *) ((char *) o + offset) : nullptr;
    }
};

}  // namespace ordermgr
