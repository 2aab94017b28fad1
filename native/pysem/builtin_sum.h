// The host's built-in sum(items, 0), fed one item at a time.
#pragma once
#include <Python.h>
#include "pysem/ref.h"

#include "pysem/native_sum.h"  // neumaier_add

namespace pysem {

// sum() over a generator, fed one item at a time as the generator produces
// them: each item is added before the next one is read, so an error is
// raised at the item that causes it, exactly where the host's sum raises
// it. The same three phases as CPython 3.12's builtin: a C long while every
// item is an exact int (or bool) and nothing overflows, then compensated
// doubles while the running result is an exact float and items are exact
// floats or ints, then `result + item` with the generic protocol.
class BuiltinSum {
public:
    void add(PyObject *item);  // borrowed
    Ref result() const;

private:
    enum class Phase : unsigned char { Int, Float, Object };
    void add_generic(Ref start, PyObject *item);

    Phase phase_ = Phase::Int;
    long int_sum_ = 0;
    double float_sum_ = 0.0, compensation_ = 0.0;
    Ref result_;
};

}  // namespace pysem
