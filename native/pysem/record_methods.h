// Methods written as C++ callables (nanobind binds their arguments) on a
// record class that is a plain CPython type. `self` is taken as an
// nb::handle: a method called through the class with any other object
// must check it (self_type.h).
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

namespace pysem {
namespace nb = nanobind;

template <typename F, typename... Extra>
void def_method(PyTypeObject *type, const char *name, F &&f, const Extra &...extra) {
    nb::cpp_function_def((nb::detail::forward_t<F>) f, nb::scope(nb::handle((PyObject *) type)), nb::name(name),
                         nb::is_method(), extra...);
}

// A function stored on the class without binding: called on the class or an
// instance, it receives no `self`.
template <typename F, typename... Extra>
void def_static(PyTypeObject *type, const char *name, F &&f, const Extra &...extra) {
    nb::cpp_function_def((nb::detail::forward_t<F>) f, nb::scope(nb::handle((PyObject *) type)), nb::name(name),
                         extra...);
}

}  // namespace pysem
