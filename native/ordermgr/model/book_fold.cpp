#include "model/book_fold.h"

#include "pysem/ref.h"

#include "model/trade.h"
#include "pysem/compat.h"
#include "pysem/datetime_key.h"

namespace ordermgr {
using pysem::borrow;
using pysem::Error;
using pysem::none;
using pysem::Ref;
using pysem::steal;
using pysem::Num;

namespace {

// One step of the built-in sum: an exact float, or an exact int while the
// running int sum stays within 64 bits.
bool sum_add(pysem::NativeSum &sum, PyObject *x) {
    if (PyFloat_CheckExact(x)) return sum.add(false, 0, PyFloat_AS_DOUBLE(x));
    if (!PyLong_CheckExact(x)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(x, &overflow);
    return !overflow && sum.add(true, v, 0.0);
}

bool sum_add(pysem::NativeSum &sum, const Num &x) {
    return x.is_float() ? sum.add(false, 0, x.as_double()) : sum.add(true, x.as_int(), 0.0);
}

bool native(const Num &x) { return x.kind() != Num::Kind::Obj; }

// An exact float or exact int, of any size: what the host's sum and float
// arithmetic take without calling anything.
bool host_number(PyObject *x) { return PyFloat_CheckExact(x) || PyLong_CheckExact(x); }

// Truth value of an order id whose type runs no code of the caller's to
// decide it.
bool known_truth(PyObject *o, bool &truth) {
    if (o == Py_None) return truth = false, true;
    if (PyBool_Check(o)) return truth = o == Py_True, true;
    if (PyUnicode_CheckExact(o)) return truth = PyUnicode_GET_LENGTH(o) != 0, true;
    if (PyLong_CheckExact(o)) return truth = pysem::compat::long_sign(o) != 0, true;
    return false;
}

}  // namespace

Trade *whole_trade(PyObject *v) {
    Trade *t = trade_class.exact<Trade>(v);
    if (!t || !t->orderid.ptr() || !t->price.ptr() || !t->qty.ptr() || !t->commission.ptr()) return nullptr;
    // Reading the timestamp makes a pending default one; should that fail,
    // the generic pass reports it when a figure reads the field.
    if (!trade_timestamp(*t)) {
        PyErr_Clear();
        return nullptr;
    }
    return t;
}

void BookFold::add_other() {
    ++count;
    exact_trades = qty_ok = commission_ok = average_ok = started_ok = cost_ok = rules_ok = false;
}

void BookFold::add(const Trade &t) {
    ++count;
    PyObject *p = t.price.ptr(), *q = t.qty.ptr(), *c = t.commission.ptr();
    // Exact floats and exact ints within 2**53 as native numbers; anything
    // else (a big int included) stays an object.
    Num price = Num::of(p), n = Num::of(q), commission = Num::of(c);
    bool natives = native(price) && native(n) && native(commission);

    if (qty_ok) qty_ok = add_qty(q);
    if (commission_ok) commission_ok = sum_add(this->commission, c);

    if (average_ok) {
        if (!host_number(p) || !host_number(q) || !host_number(c)) {
            average_ok = false;
        } else if (PyFloat_CheckExact(p) && PyFloat_CheckExact(q) && PyFloat_CheckExact(c)) {
            // The usual book, all floats: the same IEEE steps, on doubles.
            double qd = PyFloat_AS_DOUBLE(q), cd = PyFloat_AS_DOUBLE(c);
            pq += PyFloat_AS_DOUBLE(p) * qd + (qd > 0 ? cd : -cd);
            tq += qd;
        } else {
            // pq += price * qty + (commission if qty > 0 else -commission);
            // tq += qty: exactly as the host computes it, big intermediates
            // included; anything that would raise is left to the generic pass.
            try {
                Num npq = Num::of_double(pq) + signed_cost(price, n, commission);
                Num ntq = Num::of_double(tq) + n;
                if (npq.is_float() && ntq.is_float()) {
                    pq = npq.as_double();
                    tq = ntq.as_double();
                } else {
                    average_ok = false;
                }
            } catch (Error &) {
                PyErr_Clear();
                average_ok = false;
            }
        }
    }

    if (rules_ok && !natives) rules_ok = false;
    if (cost_ok) {
        Num term = natives ? signed_cost(price, n, commission) : Num();
        cost_ok = natives && native(term) && sum_add(cost, term);
    }
    if (rules_ok) {
        bool id_truth = false;
        negative_price |= price.lt_zero();
        findings |= price.lt_zero() || commission.lt_zero() || n.eq_zero() || !known_truth(t.orderid.ptr(), id_truth) ||
                    !id_truth;
    }

    if (started_ok) {
        int64_t key;
        PyObject *ts = t.timestamp.ptr();
        if (!pysem::datetime_order_key(ts, &tzinfo, &key)) {
            started_ok = false;
        } else if (!earliest || key < earliest_key) {
            earliest = ts;
            earliest_key = key;
        }
    }
}

bool BookFold::add_qty(PyObject *q) {
    if (qty_rational) return qty_exact.add(q);
    if (sum_add(qty, q)) return true;
    // An int beyond 64 bits, or a Fraction, after ints only.
    if (!qty.int_phase() || !(PyLong_CheckExact(q) || Py_TYPE(q) == pysem::unchanged_fraction_type())) return false;
    qty_rational = true;
    return qty_exact.start(qty.int_sum()) && qty_exact.add(q);
}

Num BookFold::average_price() const {
    Num a = Num::of_double(pq), b = Num::of_double(tq);
    return tq != 0.0 ? a / b : a / Num::of_int(1);
}

}  // namespace ordermgr
