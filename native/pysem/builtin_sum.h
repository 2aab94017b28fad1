// The host's built-in sum(items, 0), fed one item at a time.
//
// Exact ints and exact floats are added natively, reproducing CPython 3.12's
// own fast paths (exact int accumulation, then Neumaier-compensated float
// accumulation from the first float on). Any other item, or an int sum that
// leaves the 64-bit range, hands the whole sequence to the real built-in sum,
// so the result is the host's in every case.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>
#include <vector>

namespace pysem {
namespace nb = nanobind;

class BuiltinSum {
public:
    BuiltinSum() = default;
    BuiltinSum(const BuiltinSum &) = delete;
    BuiltinSum &operator=(const BuiltinSum &) = delete;

    void add(PyObject *item);  // borrowed
    nb::object result();

private:
    enum class State { Int, Float, Fallback };
    State state_ = State::Int;
    long long int_sum_ = 0;
    double float_sum_ = 0.0;
    double compensation_ = 0.0;
    std::vector<nb::object> items_;
};

}  // namespace pysem
