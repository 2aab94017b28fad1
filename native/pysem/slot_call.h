// Type slots, vectorcalls and fast-call methods are called by the interpreter
// directly: C++ exceptions must become Python errors at their boundary.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include <exception>
#include <new>

namespace pysem {

template <typename R, typename F>
R slot_call(R failure, F &&body) noexcept {
    try {
        return body();
    } catch (nanobind::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return failure;
}

}  // namespace pysem
