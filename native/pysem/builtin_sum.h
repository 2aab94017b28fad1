// The host's built-in sum(items, 0).
//
// ObjectSum reproduces CPython 3.12's own fast paths for exact ints and exact
// floats (exact int accumulation, then Neumaier-compensated float
// accumulation from the first float on) without touching Python objects. It
// refuses (add() returns false) any other item, or an int sum that leaves the
// 64-bit range; the caller then hands the whole sequence to host_sum, which
// falls back to the real built-in sum, so the result is the host's in every
// case.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include "pysem/native_sum.h"

namespace pysem {
namespace nb = nanobind;

class ObjectSum {
public:
    bool add(PyObject *item);  // borrowed; false: this item needs the host
    nb::object result() const { return sum_.result().object(); }

private:
    NativeSum sum_;
};

// sum() fed one item at a time, for callers that produce the items as they
// go; the items are kept only for the generic fallback.
class BuiltinSum {
public:
    void add(PyObject *item);  // borrowed
    nb::object result();

private:
    ObjectSum native_sum_;
    bool native_ = true;
    nb::object items_;
};

// sum(list) for a list object: natively when ObjectSum accepts every item,
// otherwise the host's built-in sum.
nb::object host_sum(PyObject *list);

}  // namespace pysem
