// Trade: one executed fill.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include "pysem/num.h"

namespace ordermgr {
namespace nb = nanobind;

struct Trade {
    nb::object orderid, price, qty, commission, timestamp;
    // The trade dict whose kept figures folded this trade (identity only,
    // never dereferenced), and whether more than one did (kept_book.h).
    PyObject *book = nullptr;
    bool shared = false;

    int visit(visitproc visit, void *arg) {
        Py_VISIT(orderid.ptr());
        Py_VISIT(price.ptr());
        Py_VISIT(qty.ptr());
        Py_VISIT(commission.ptr());
        Py_VISIT(timestamp.ptr());
        return 0;
    }
    void clear() {
        nb::object a = std::move(orderid), b = std::move(price), c = std::move(qty),
                   d = std::move(commission), e = std::move(timestamp);
    }
    // Leaves null fields behind (see payload.h).
    ~Trade() { clear(); }
};

// Field reads honouring subclass overrides: the struct directly for an exact
// Trade, attribute access for anything else. New references.
nb::object trade_orderid(PyObject *trade);
nb::object trade_price(PyObject *trade);
nb::object trade_qty(PyObject *trade);
nb::object trade_commission(PyObject *trade);
nb::object trade_timestamp(PyObject *trade);

// The signed cost of one fill: price * qty, then plus the commission for a
// buy (qty > 0), minus it otherwise.
pysem::Num signed_cost(const pysem::Num &price, const pysem::Num &qty, const pysem::Num &commission);
// The same for a trade object, its fields read as the expression
// `t.price * t.qty + (t.commission if t.qty > 0 else -t.commission)` reads them.
pysem::Num trade_signed_cost(PyObject *trade);

void register_trade(nb::module_ &m);

}  // namespace ordermgr
