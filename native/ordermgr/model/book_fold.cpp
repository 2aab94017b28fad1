#include "model/book_fold.h"

#include <nanobind/nanobind.h>

#include "model/payload.h"
#include "model/trade.h"
#include "pysem/datetime_key.h"
#include "pysem/num.h"

namespace ordermgr {
namespace nb = nanobind;
using pysem::Num;

namespace {

bool sum_add(pysem::NativeSum &sum, PyObject *x) {
    if (PyFloat_CheckExact(x)) return sum.add(false, 0, PyFloat_AS_DOUBLE(x));
    if (!PyLong_CheckExact(x)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(x, &overflow);
    return !overflow && sum.add(true, v, 0.0);
}

bool native_number(PyObject *x) { return PyFloat_CheckExact(x) || PyLong_CheckExact(x); }

}  // namespace

Trade *whole_trade(PyObject *v) {
    Trade *t = Payload<Trade>::of_exact(v);
    if (!t || !t->orderid.ptr() || !t->price.ptr() || !t->qty.ptr() || !t->commission.ptr()) return nullptr;
    // Reading the timestamp makes a pending default one; should that fail,
    // the generic path reports it when a figure reads the field.
    if (!t->timestamp.ptr()) {
        PyErr_Clear();
        return nullptr;
    }
    return t;
}

void BookFold::add_other() {
    ++count;
    exact_trades = qty_ok = commission_ok = average_ok = started_ok = plain_ok = false;
}

void BookFold::add(const Trade &t) {
    ++count;
    if (plain_ok) plain_ok = plain.add(t);
    PyObject *p = t.price.ptr(), *q = t.qty.ptr(), *c = t.commission.ptr(), *ts = t.timestamp.ptr();
    if (qty_ok) qty_ok = sum_add(qty, q);
    if (commission_ok) commission_ok = sum_add(commission, c);
    if (average_ok) {
        if (!native_number(p) || !native_number(q) || !native_number(c)) {
            average_ok = false;
        } else if (PyFloat_CheckExact(p) && PyFloat_CheckExact(q) && PyFloat_CheckExact(c)) {
            double qd = PyFloat_AS_DOUBLE(q), cd = PyFloat_AS_DOUBLE(c);
            pq += PyFloat_AS_DOUBLE(p) * qd + (qd > 0 ? cd : -cd);
            tq += qd;
        } else {
            // Ints (exactly as the host computes them, big intermediates
            // included); anything that would raise is left to the fresh fold.
            try {
                Num price = Num::of(p), n = Num::of(q), commission = Num::of(c);
                Num npq = Num::of_double(pq) + signed_cost(price, n, commission);
                Num ntq = Num::of_double(tq) + n;
                if (npq.is_float() && ntq.is_float()) {
                    pq = npq.as_double();
                    tq = ntq.as_double();
                } else {
                    average_ok = false;
                }
            } catch (nb::python_error &) {
                average_ok = false;
            }
        }
    }
    if (started_ok) {
        int64_t key;
        if (!pysem::datetime_order_key(ts, &tzinfo, &key)) {
            started_ok = false;
        } else if (!earliest || key < earliest_key) {
            earliest = ts;
            earliest_key = key;
        }
    }
}

}  // namespace ordermgr
