#include "groups/order_desc.h"

#include <cmath>
#include <cstdint>
#include <string>

#include "groups/members.h"
#include "groups/position_group.h"
#include "model/module_ns.h"
#include "model/position.h"
#include "model/summary.h"
#include "pysem/format.h"
#include "pysem/num.h"
#include "pysem/truth.h"

namespace ordermgr {

using pysem::Num;

using pysem::truth;

// int(ratio), and whether that integer equals the ratio; written out as
// the decimal digits of its absolute value.
struct LegCount {
    Ref value;  // only when the ratio is not a native double
    int64_t whole = 0;
    bool exact = false;
};

static LegCount truncate(const Num &ratio) {
    LegCount c;
    if (ratio.is_int()) {
        c.whole = ratio.as_int();
        c.exact = true;
        return c;
    }
    if (ratio.is_float()) {
        double r = ratio.as_double();
        if (std::isfinite(r) && std::fabs(r) < 9.2e18) {
            c.whole = (int64_t) r;
            c.exact = std::trunc(r) == r;
            return c;
        }
    }
    Ref r = ratio.object();
    PyObject *i = ratio.is_float() ? PyLong_FromDouble(ratio.as_double()) : PyNumber_Long(r.ptr());
    if (!i) throw Error();
    c.value = steal(i);
    c.exact = truth(steal(PyObject_RichCompare(c.value.ptr(), r.ptr(), Py_EQ)).ptr());
    return c;
}

static void append_abs(std::string &out, const LegCount &c) {
    if (!c.value.ptr()) {
        uint64_t mag = c.whole < 0 ? uint64_t(0) - uint64_t(c.whole) : uint64_t(c.whole);
        out += std::to_string(mag);
        return;
    }
    Ref a = steal(PyNumber_Absolute(c.value.ptr()));
    if (!a) throw Error();
    pysem::append_default(out, a.ptr());
}

[[noreturn]] static void fractional_ratio(const Num &ratio, PyObject *position, PyObject *selfsize) {
    std::string msg = "How did you end up with a fractional position ratio? ratio=";
    pysem::append_repr(msg, ratio.object().ptr());
    msg += " = p.qty=";
    pysem::append_repr(msg, position_qty(position).ptr());
    msg += " / selfsize=";
    pysem::append_repr(msg, selfsize);
    PyErr_SetObject(PyExc_AssertionError, pysem::utf8_to_str(msg).ptr());
    throw Error();
}

Ref generate_order_desc(PyObject *group, PyObject *openclose) {
    Ref selfsize = group_qty(group);
    Num size = Num::of(selfsize.ptr());
    if (size.eq_zero()) pysem::raise(PyExc_ValueError, "Cannot generate order description for position group with zero quantity");
    static PyObject *const open_word = PyUnicode_InternFromString("OPEN");
    Ref positions = group_field(group, PositionGroup::field::positions);
    Members ms(positions.ptr());
    std::string out;
    for (const Ref &p : ms.items()) {
        int opening = PyObject_RichCompareBool(openclose, open_word, Py_EQ);
        if (opening < 0) throw Error();
        bool is_long = position_is_long(p.ptr());
        const char *side = (opening != 0) == is_long ? "BUY" : "SELL";
        Num ratio = Num::steal(position_qty(p.ptr()).release()) / size;
        LegCount count = truncate(ratio);
        if (state().assertions && !count.exact) fractional_ratio(ratio, p.ptr(), selfsize.ptr());
        if (!out.empty()) out += ' ';
        out += side;
        out += ' ';
        append_abs(out, count);
        out += ' ';
        pysem::append_default(out, position_field(p.ptr(), Position::field::key).ptr());
    }
    return pysem::utf8_to_str(out);
}

// The checks made on the arguments before anything is computed: stopPct
// converted to a double, algo exactly a str.
static double order_args(PyObject *stop_pct, PyObject *algo) {
    double pct = PyFloat_CheckExact(stop_pct) ? PyFloat_AS_DOUBLE(stop_pct) : PyFloat_AsDouble(stop_pct);
    if (pct == -1.0 && PyErr_Occurred()) throw Error();
    if (!PyUnicode_CheckExact(algo)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "algo",
                     "str", Py_TYPE(algo)->tp_name);
        throw Error();
    }
    return pct;
}

static Ref order_line(PyObject *group, const Ref &quantity, PyObject *algo, PyObject *summary) {
    std::string cmd = "buy '";
    pysem::append_str(cmd, group_open(group).ptr());
    cmd += "' ";
    pysem::append_str(cmd, quantity.ptr());
    cmd += ' ';
    pysem::append_utf8(cmd, algo);
    cmd += " @ ";
    pysem::append_str(cmd, summary_field(summary, PositionSummary::field::stop).ptr());
    return pysem::utf8_to_str(cmd);
}

static Ref float_object(double d) {
    PyObject *o = PyFloat_FromDouble(d);
    if (!o) throw Error();
    return steal(o);
}

Ref start_order(PyObject *group, PyObject *stop_pct, PyObject *algo) {
    double pct = order_args(stop_pct, algo);
    Ref summary = group_summary_with(group, float_object(-pct).ptr());
    Ref buysell = steal(PyLong_FromLong(group_is_long(group) ? 1 : -1));
    return order_line(group, buysell, algo, summary.ptr());
}

Ref stop_order(PyObject *group, PyObject *stop_pct, PyObject *algo) {
    double pct = order_args(stop_pct, algo);
    Ref summary = group_summary_with(group, float_object(pct).ptr());
    Num qty = Num::steal(group_qty(group).release());
    Num buysell = group_is_long(group) ? -qty : qty;
    // A whole quantity is written without a decimal part.
    Ref quantity;
    LegCount whole = truncate(buysell);
    if (whole.exact)
        quantity = whole.value.ptr() ? whole.value : steal(PyLong_FromLongLong(whole.whole));
    else
        quantity = buysell.object();
    return order_line(group, quantity, algo, summary.ptr());
}

}  // namespace ordermgr
