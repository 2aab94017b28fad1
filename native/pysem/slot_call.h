// Type slots, vectorcalls and methods are called by the interpreter
// directly: C++ exceptions must become Python errors at their boundary.
#pragma once
#include <Python.h>

#include <exception>
#include <new>

#include "pysem/ref.h"

#ifdef PYSEM_NANOBIND
#include <nanobind/nanobind.h>
#endif

namespace pysem {

template <typename R, typename F>
R slot_call(R failure, F &&body) noexcept {
    try {
        return body();
    } catch (Error &) {
        // the Python error is set already
#ifdef PYSEM_NANOBIND
    } catch (nanobind::python_error &e) {
        e.restore();
#endif
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return failure;
}

}  // namespace pysem
