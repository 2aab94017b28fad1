#include "model/plain_fold.h"

#include <nanobind/nanobind.h>

#include "model/trade.h"
#include "pysem/compat.h"
#include "pysem/num.h"

namespace ordermgr {

namespace {

// A number as the host's arithmetic treats an exact float or an exact int
// within 2**53: ints stay exact, mixed operations are done in doubles.
struct Native {
    bool is_int;
    int64_t i;
    double d;
    double as_double() const { return is_int ? (double) i : d; }
    bool gt_zero() const { return is_int ? i > 0 : d > 0.0; }
    bool lt_zero() const { return is_int ? i < 0 : d < 0.0; }
    bool is_zero() const { return is_int ? i == 0 : d == 0.0; }
    Native operator-() const { return {is_int, -i, -d}; }
};

constexpr int64_t kLimit = pysem::kExactIntLimit;

bool read(PyObject *o, Native &out) {
    if (PyFloat_CheckExact(o)) {
        out = {false, 0, PyFloat_AS_DOUBLE(o)};
        return true;
    }
    if (!PyLong_CheckExact(o)) return false;
    if (PyUnstable_Long_IsCompact((PyLongObject *) o)) {
        out = {true, (int64_t) PyUnstable_Long_CompactValue((PyLongObject *) o), 0.0};
        return true;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow || v > kLimit || v < -kLimit) return false;
    out = {true, v, 0.0};
    return true;
}

bool exact_int(int64_t v, Native &out) {
    if (v > kLimit || v < -kLimit) return false;
    out = {true, v, 0.0};
    return true;
}

bool mul(const Native &a, const Native &b, Native &out) {
    if (!a.is_int || !b.is_int) return out = {false, 0, a.as_double() * b.as_double()}, true;
    int64_t p;
    return !__builtin_mul_overflow(a.i, b.i, &p) && exact_int(p, out);
}

bool add_native(const Native &a, const Native &b, Native &out) {
    if (!a.is_int || !b.is_int) return out = {false, 0, a.as_double() + b.as_double()}, true;
    return exact_int(a.i + b.i, out);
}

// Truth value of an order id whose type runs no user code to decide it.
bool known_truth(PyObject *o, bool &truth) {
    if (o == Py_None) return truth = false, true;
    if (PyBool_Check(o)) return truth = o == Py_True, true;
    if (PyUnicode_CheckExact(o)) return truth = PyUnicode_GET_LENGTH(o) != 0, true;
    if (PyLong_CheckExact(o)) return truth = pysem::compat::long_sign(o) != 0, true;
    return false;
}

}  // namespace

bool PlainFold::add(const Trade &t) {
    Native price, qty, commission, product, cost;
    if (!t.price.ptr() || !t.qty.ptr() || !t.commission.ptr() || !t.orderid.ptr()) return false;
    if (!read(t.price.ptr(), price) || !read(t.qty.ptr(), qty) || !read(t.commission.ptr(), commission))
        return false;
    // price * qty, plus the commission for a buy and minus it otherwise.
    if (!mul(price, qty, product) || !add_native(product, qty.gt_zero() ? commission : -commission, cost))
        return false;
    if (!this->qty.add(qty.is_int, qty.i, qty.d) || !this->commission.add(commission.is_int, commission.i, commission.d) ||
        !this->cost.add(cost.is_int, cost.i, cost.d))
        return false;
    pq += cost.as_double();
    tq += qty.as_double();
    bool id_truth = false;
    negative_price |= price.lt_zero();
    findings |= price.lt_zero() || commission.lt_zero() || qty.is_zero() || !known_truth(t.orderid.ptr(), id_truth) ||
                !id_truth;
    return true;
}

}  // namespace ordermgr
