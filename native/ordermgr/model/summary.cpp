#include "model/summary.h"

#include "model/module_ns.h"
#include <cmath>

#include "pysem/args.h"
#include "pysem/clock.h"
#include "pysem/compat.h"
#include "pysem/fields.h"
#include "pysem/num.h"
#include "pysem/record.h"
#include "pysem/round.h"
#include "pysem/slot_call.h"
#include "pysem/truth.h"
#include "pysem/record_type.h"

namespace ordermgr {

using pysem::Num;

namespace {

using F = PositionSummary::field;

using pysem::truth;

Ref round_num(const Num &x, int ndigits) {
    if (x.is_float()) return steal(PyFloat_FromDouble(pysem::round_double(x.as_double(), ndigits)));
    Ref o = x.object();
    return pysem::round_ndigits(o.ptr(), ndigits);
}

// The values of an exact PositionSummary under construction, by field:
// no override can intervene.
struct StructAccess {
    Ref (&v)[F::count];
    Ref get(int f) { return v[f]; }
    void set(int f, Ref x) { v[f] = std::move(x); }
    bool is_long() { return Num::of(get(F::average_price).ptr()).gt_zero(); }
};

// A subclass instance: every read and write goes through attribute access,
// so properties it overrides (is_long in particular) take part.
struct AttrAccess {
    PyObject *self;
    Ref get(int f) { return pysem::getattr(self, summary_class.names[f]); }
    void set(int f, Ref x) {
        if (PyObject_SetAttr(self, summary_class.names[f], x.ptr()) < 0) throw Error();
    }
    bool is_long() { return truth(pysem::getattr(self, names().is_long).ptr()); }
};

Num num(Ref o) { return Num::steal(o.release()); }

// The derived figures, computed right after the six given fields are set,
// in this order: age, profit, stop percentage, stop points, then the stop
// and the average price rounded (the direction is read before that).
template <typename Access>
void derive(Access &acc) {
    Ref now = utc_now();
    Ref started = acc.get(F::started);
    PyObject *age = PyNumber_Subtract(now.ptr(), started.ptr());
    if (!age) throw Error();
    acc.set(F::age, steal(age));

    Ref market = acc.get(F::marketPrice);
    if (truth(market.ptr())) {
        if (acc.is_long()) {
            Num m = num(acc.get(F::marketPrice));
            acc.set(F::profit, (m - num(acc.get(F::average_price))).object());
        } else {
            Num a = num(acc.get(F::average_price)).abs();
            acc.set(F::profit, (a - num(acc.get(F::marketPrice))).object());
        }
    } else {
        acc.set(F::profit, none());
    }

    Num a = num(acc.get(F::average_price)).abs();
    if (a.eq_zero()) {
        acc.set(F::stopPct, steal(PyFloat_FromDouble(0.0)));
    } else if (acc.is_long()) {
        acc.set(F::stopPct, round_num((a - num(acc.get(F::stop))) / a, 2));
    } else {
        acc.set(F::stopPct, round_num((num(acc.get(F::stop)) - a) / a, 2));
    }

    Num stop = num(acc.get(F::stop));
    acc.set(F::stopPts, round_num(stop - num(acc.get(F::average_price)).abs(), 8));
    acc.set(F::stop, round_num(num(acc.get(F::stop)), 8));
    acc.set(F::average_price, round_num(num(acc.get(F::average_price)), 8));
}

// derive()'s figures for the common summary, from the average price and
// the stop as doubles, no market price or an exact float one, and the age
// in microseconds: float arithmetic and round() on doubles give the same
// figures, made without the intermediate objects. Sets the six derived
// fields of `v` (the stop and the average price rounded).
void derive_figures(Ref (&v)[F::count], double avg, double stop, PyObject *market_o, int64_t age_micros) {
    bool is_long = avg > 0;
    Ref age = steal(pysem::timedelta_from_micros(age_micros));
    if (!age) throw Error();
    Ref profit = none();
    if (market_o != Py_None && PyFloat_AS_DOUBLE(market_o) != 0.0) {  // truth of a float (nan is true)
        double m = PyFloat_AS_DOUBLE(market_o);
        profit = steal(PyFloat_FromDouble(is_long ? m - avg : std::fabs(avg) - m));
    }
    double a = std::fabs(avg);
    double pct = a == 0.0 ? 0.0 : pysem::round_double((is_long ? a - stop : stop - a) / a, 2);
    Ref figures[] = {steal(PyFloat_FromDouble(pct)), steal(PyFloat_FromDouble(pysem::round_double(stop - a, 8))),
                     steal(PyFloat_FromDouble(pysem::round_double(stop, 8))),
                     steal(PyFloat_FromDouble(pysem::round_double(avg, 8)))};
    if (!profit) throw Error();
    for (Ref &f : figures)
        if (!f) throw Error();
    v[F::age] = std::move(age);
    v[F::profit] = std::move(profit);
    v[F::stopPct] = std::move(figures[0]);
    v[F::stopPts] = std::move(figures[1]);
    v[F::stop] = std::move(figures[2]);
    v[F::average_price] = std::move(figures[3]);
}

// derive() for the common summary: the average price and the stop exact
// floats, no market price or an exact float one, started an aware datetime
// in the standard UTC zone and the module's clock the standard one. Then
// every step of derive() is float arithmetic and round() on doubles, and the
// age the difference of the two instants' fields (derive_figures). False,
// with nothing done, otherwise.
bool derive_plain(Ref (&v)[F::count]) {
    PyObject *avg_o = v[F::average_price].ptr(), *stop_o = v[F::stop].ptr(), *market_o = v[F::marketPrice].ptr();
    if (!PyFloat_CheckExact(avg_o) || !PyFloat_CheckExact(stop_o)) return false;
    if (market_o != Py_None && !PyFloat_CheckExact(market_o)) return false;
    int64_t started, now;
    if (!pysem::utc_micros_of(v[F::started].ptr(), started) || !utc_now_micros(now)) return false;
    derive_figures(v, PyFloat_AS_DOUBLE(avg_o), PyFloat_AS_DOUBLE(stop_o), market_o, now - started);
    return true;
}

PositionSummary *rec(PyObject *self) { return pysem::record::rec_of<PositionSummary>(self); }

PositionSummary *exact_summary(PyObject *o) { return summary_class.exact<PositionSummary>(o); }

// The derivation step, run right after the constructor has set the six
// given fields. An exact summary is derived on a copy of its fields, put in
// place only once every figure was made; a subclass instance is derived
// through attribute access, so that its overrides take part.
int post_init(PyObject *self) {
    return pysem::slot_call<int>(-1, [&] {
        if (exact_summary(self)) {
            pysem::record::Class &c = summary_class;
            Ref values[F::count];
            for (int j = 0; j < c.signature.count; ++j) {
                int f = c.param_field[j];
                if (!*c.slot(self, f)) {
                    PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%s'", Py_TYPE(self)->tp_name,
                                 c.decl.fields.rows[f].name);
                    throw Error();
                }
                values[f] = borrow(*c.slot(self, f));
            }
            if (!derive_plain(values)) {
                StructAccess acc{values};
                derive(acc);
            }
            // Swap first, release after (the old values' finalisers may look at us).
            Ref old[F::count];
            for (int f = 0; f < F::count; ++f) {
                old[f] = steal(*c.slot(self, f));
                *c.slot(self, f) = values[f].release();
                pysem::track_for(self, *c.slot(self, f));
            }
            return 0;
        }
        AttrAccess acc{self};
        derive(acc);
        return 0;
    });
}

PyObject *get_is_long(PyObject *self, void *) {
    return pysem::slot_call<PyObject *>(nullptr, [&] {
        Ref avg = exact_summary(self) ? borrow(pysem::record::held(self, rec(self)->average_price, "average_price"))
                                             : pysem::getattr(self, names().average_price);
        return pysem::greater_than_zero(avg.ptr()).release();
    });
}

// The class's own is_long descriptor, as defined (kept for the life of the
// process, as the class is).
PyObject *own_is_long = nullptr;

PyGetSetDef summary_properties[] = {
    {"is_long", get_is_long, nullptr, "Whether the average price is above zero.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyObject *none_value() { return Py_NewRef(Py_None); }

const pysem::record::Decl summary_decl = {
    .name = "PositionSummary",
    .doc = "Display summary of a position or a position group.\n\n"
           "A positive quantity, an average price signed by direction (negative for a\n"
           "short) and a stop price. Construction derives stopPct, profit, stopPts and\n"
           "age; the stop and the average price are stored rounded to 8 decimal places.",
    .fields = PYSEM_RECORD_TABLE(PositionSummary, POSITION_SUMMARY_FIELDS),
    .post_init = post_init,
    .untracked_while_atomic = true,
    .properties = summary_properties,
};

}  // namespace

pysem::record::Class summary_class{summary_decl};

namespace {

// cls(qty, average_price, stop, total_commission, started, marketPrice): the
// class's own constructor by position, anything else the module binds to
// the name by keyword.
Ref call_summary_class(PyObject *cls, PyObject *const (&argv)[6]) {
    pysem::record::Class &c = summary_class;
    // The constructor's parameter names, for a class the caller put in its place.
    static PyObject *kwnames = [&c] {
        PyObject *t = PyTuple_New(c.signature.count);
        for (int j = 0; t && j < c.signature.count; ++j) PyTuple_SET_ITEM(t, j, Py_NewRef(c.names[c.param_field[j]]));
        return t;
    }();
    if (!kwnames) throw Error();
    Ref hold = borrow(cls);
    PyObject *r = cls == (PyObject *) c.type ? PyObject_Vectorcall(cls, argv, (size_t) c.signature.count, nullptr)
                                             : PyObject_Vectorcall(cls, argv, 0, kwnames);
    if (!r) throw Error();
    return steal(r);
}

}  // namespace

Ref make_position_summary(PyObject *qty, PyObject *average_price, PyObject *stop, PyObject *total_commission,
                          PyObject *started, PyObject *marketPrice) {
    PyObject *cls = module_class(summary_class);
    if (!cls) throw Error();
    return call_summary_class(cls, {qty, average_price, stop, total_commission, started, marketPrice});
}

Ref make_position_summary(PyObject *qty, const pysem::Num &average_price, const pysem::Num &stop,
                          PyObject *total_commission, PyObject *started) {
    pysem::record::Class &c = summary_class;
    PyObject *cls = module_class(c);
    if (!cls) throw Error();
    int64_t started_micros, now_micros;
    // What the own constructor and its derivation would do with these
    // arguments (derive_plain), done here on the doubles: the average price
    // and the stop are never made objects only to be replaced by their
    // rounded values.
    if (average_price.is_float() && stop.is_float() && pysem::record::runs_own_constructor(c, cls) &&
        pysem::utc_micros_of(started, started_micros) && utc_now_micros(now_micros)) {
        Ref v[F::count];
        v[F::qty] = borrow(qty);
        v[F::total_commission] = borrow(total_commission);
        v[F::started] = borrow(started);
        v[F::marketPrice] = none();
        derive_figures(v, average_price.as_double(), stop.as_double(), Py_None, now_micros - started_micros);
        PyObject *values[F::count];
        for (int f = 0; f < F::count; ++f) values[f] = v[f].release();
        PyObject *r = pysem::record::make_constructed(c, values);
        if (!r) throw Error();
        return steal(r);
    }
    Ref avg_o = average_price.object(), stop_o = stop.object();
    return call_summary_class(cls, {qty, avg_o.ptr(), stop_o.ptr(), total_commission, started, Py_None});
}

Ref summary_field(PyObject *summary, int i) {
    PyObject *v = pysem::record::read(summary_class, summary, i);
    if (!v) throw Error();
    return steal(v);
}

PositionSummary *plain_summary(PyObject *summary) {
    PositionSummary *r = exact_summary(summary);
    return r && pysem::compat::own_type_lookup(summary_class.type, names().is_long) == own_is_long ? r : nullptr;
}

bool summary_is_long(PyObject *summary) {
    // An exact summary whose class still has its own property: the
    // property's own reading, without the attribute lookup.
    if (PositionSummary *r = plain_summary(summary)) {
        PyObject *avg = pysem::record::held(summary, r->average_price, "average_price");
        return truth(pysem::greater_than_zero(avg).ptr());
    }
    return truth(pysem::getattr(summary, names().is_long).ptr());
}

void register_position_summary(PyObject *module) {
    PyTypeObject *type = pysem::record::define<PositionSummary, summary_class>(module);
    own_is_long = Py_XNewRef(PyDict_GetItemWithError(type->tp_dict, names().is_long));
    if (!own_is_long) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "PositionSummary has no is_long");
        throw Error();
    }
}

}  // namespace ordermgr
