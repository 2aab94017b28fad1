#include "model/summary.h"

#include <new>

#include "model/module_ns.h"
#include "pysem/args.h"
#include "pysem/fields.h"
#include "pysem/num.h"
#include "pysem/record.h"
#include "pysem/round.h"
#include "pysem/slot_call.h"
#include "pysem/self_type.h"
#include "pysem/truth.h"

namespace ordermgr {

using pysem::Num;

namespace {

enum Field { QTY, AVERAGE_PRICE, STOP, TOTAL_COMMISSION, STOPPCT, STARTED, MARKETPRICE, PROFIT, STOPPTS, AGE };
constexpr int kFields = 10;
constexpr int kInitFields = 6;

const char *const kFieldNames[kFields] = {"qty",     "average_price", "stop",   "total_commission", "stopPct",
                                          "started", "marketPrice",   "profit", "stopPts",          "age"};
const char *const kInitNames[kInitFields] = {"qty", "average_price", "stop", "total_commission", "started",
                                             "marketPrice"};

nb::object PositionSummary::*const kMembers[kFields] = {
    &PositionSummary::qty,     &PositionSummary::average_price, &PositionSummary::stop,
    &PositionSummary::total_commission, &PositionSummary::stopPct, &PositionSummary::started,
    &PositionSummary::marketPrice, &PositionSummary::profit, &PositionSummary::stopPts,
    &PositionSummary::age};

PyObject *field_name(Field f) {
    switch (f) {
    case QTY: return names.qty;
    case AVERAGE_PRICE: return names.average_price;
    case STOP: return names.stop;
    case TOTAL_COMMISSION: return names.total_commission;
    case STOPPCT: return names.stopPct;
    case STARTED: return names.started;
    case MARKETPRICE: return names.marketPrice;
    case PROFIT: return names.profit;
    case STOPPTS: return names.stopPts;
    default: return names.age;
    }
}

using pysem::truth;

nb::object round_num(const Num &x, int ndigits) {
    if (x.is_float()) return nb::steal(PyFloat_FromDouble(pysem::round_double(x.as_double(), ndigits)));
    nb::object o = x.object();
    return pysem::round_ndigits(o.ptr(), ndigits);
}

// The record under construction seen through its own struct: an exact
// PositionSummary, where no override can intervene.
struct StructAccess {
    PositionSummary &s;
    nb::object get(Field f) { return nb::borrow(pysem::require(s.*kMembers[f], kFieldNames[f])); }
    void set(Field f, nb::object v) { s.*kMembers[f] = std::move(v); }
    bool is_long() { return Num::of(pysem::require(s.average_price, "average_price")).gt_zero(); }
};

// A subclass instance: every read and write goes through attribute access,
// so properties it overrides (is_long in particular) take part.
struct AttrAccess {
    PyObject *self;
    nb::object get(Field f) { return pysem::getattr(self, field_name(f)); }
    void set(Field f, nb::object v) {
        if (PyObject_SetAttr(self, field_name(f), v.ptr()) < 0) throw nb::python_error();
    }
    bool is_long() { return truth(pysem::getattr(self, names.is_long).ptr()); }
};

Num num(nb::object o) { return Num::steal(o.release().ptr()); }

// The derived figures, computed right after the six given fields are set,
// in this order: age, profit, stop percentage, stop points, then the stop
// and the average price rounded (the direction is read before that).
template <typename Access>
void derive(Access &acc) {
    nb::object now = utc_now();
    nb::object started = acc.get(STARTED);
    PyObject *age = PyNumber_Subtract(now.ptr(), started.ptr());
    if (!age) throw nb::python_error();
    acc.set(AGE, nb::steal(age));

    nb::object market = acc.get(MARKETPRICE);
    if (truth(market.ptr())) {
        if (acc.is_long()) {
            Num m = num(acc.get(MARKETPRICE));
            acc.set(PROFIT, (m - num(acc.get(AVERAGE_PRICE))).object());
        } else {
            Num a = num(acc.get(AVERAGE_PRICE)).abs();
            acc.set(PROFIT, (a - num(acc.get(MARKETPRICE))).object());
        }
    } else {
        acc.set(PROFIT, nb::none());
    }

    Num a = num(acc.get(AVERAGE_PRICE)).abs();
    if (a.eq_zero()) {
        acc.set(STOPPCT, nb::steal(PyFloat_FromDouble(0.0)));
    } else if (acc.is_long()) {
        acc.set(STOPPCT, round_num((a - num(acc.get(STOP))) / a, 2));
    } else {
        acc.set(STOPPCT, round_num((num(acc.get(STOP)) - a) / a, 2));
    }

    Num stop = num(acc.get(STOP));
    acc.set(STOPPTS, round_num(stop - num(acc.get(AVERAGE_PRICE)).abs(), 8));
    acc.set(STOP, round_num(num(acc.get(STOP)), 8));
    acc.set(AVERAGE_PRICE, round_num(num(acc.get(AVERAGE_PRICE)), 8));
}

PositionSummary derived(nb::handle qty, nb::handle average_price, nb::handle stop, nb::handle total_commission,
                        nb::handle started, nb::handle marketPrice) {
    PositionSummary s;
    s.qty = nb::borrow(qty);
    s.average_price = nb::borrow(average_price);
    s.stop = nb::borrow(stop);
    s.total_commission = nb::borrow(total_commission);
    s.started = nb::borrow(started);
    s.marketPrice = nb::borrow(marketPrice);
    StructAccess acc{s};
    derive(acc);
    return s;
}

nb::object new_instance(PyTypeObject *cls, PositionSummary &&s) {
    nb::object inst = nb::inst_alloc(nb::handle((PyObject *) cls));
    auto *rec = new (nb::inst_ptr<PositionSummary>(inst)) PositionSummary(std::move(s));
    nb::inst_mark_ready(inst);
    pysem::untrack_if_atomic(inst.ptr(), *rec, types.PositionSummary);
    return inst;
}

PositionSummary *exact_summary(PyObject *o) {
    return is_exact(o, types.PositionSummary) && nb::inst_ready(o) ? nb::inst_ptr<PositionSummary>(o) : nullptr;
}

PyObject *kInitInterned[kInitFields];
pysem::ArgSpec kInitSignature{"PositionSummary.__init__", kInitNames, kInitInterned, kInitFields, 5};

// Puts a record into the instance's storage: constructs it in place in a
// fresh instance, replaces the old one when __init__ runs again.
void install(PyObject *self, PositionSummary &&s) {
    PositionSummary *slot = nb::inst_ptr<PositionSummary>(self);
    if (nb::inst_ready(self)) {
        PositionSummary old = std::move(*slot);
        *slot = std::move(s);
        pysem::untrack_if_atomic(self, *slot, types.PositionSummary);
        return;
    }
    new (slot) PositionSummary(std::move(s));
    nb::inst_mark_ready(self);
    pysem::untrack_if_atomic(self, *slot, types.PositionSummary);
}

void init(nb::handle self_h, nb::args args, nb::kwargs kwargs) {
    PyObject *a[kInitFields];
    pysem::bind_args(kInitSignature, args.ptr(), kwargs.ptr(), a);
    nb::handle market = a[5] ? nb::handle(a[5]) : nb::none();
    PyObject *self = self_h.ptr();
    pysem::require_instance(self_h, types.PositionSummary, "__init__");
    if (Py_TYPE(self) == types.PositionSummary) {
        install(self, derived(a[0], a[1], a[2], a[3], a[4], market));
        return;
    }
    // A subclass: the fields are assigned and the figures derived through
    // attribute access on the live instance, so its overrides take part.
    install(self, PositionSummary());
    AttrAccess acc{self};
    static const Field order[kInitFields] = {QTY, AVERAGE_PRICE, STOP, TOTAL_COMMISSION, STARTED, MARKETPRICE};
    for (int i = 0; i < kInitFields; ++i) acc.set(order[i], nb::borrow(i == 5 ? market.ptr() : a[i]));
    derive(acc);
}

nb::object is_long(nb::handle self) {
    pysem::require_instance(self, types.PositionSummary, "is_long");
    nb::object avg = exact_summary(self.ptr())
                         ? nb::borrow(pysem::require(nb::inst_ptr<PositionSummary>(self)->average_price,
                                                     "average_price"))
                         : pysem::getattr(self.ptr(), names.average_price);
    return pysem::greater_than_zero(avg.ptr());
}

PyObject *field_ptr(PositionSummary &s, int i) { return pysem::require(s.*kMembers[i], kFieldNames[i]); }

nb::object eq(nb::handle self, nb::handle other) {
    pysem::require_instance(self, types.PositionSummary, "__eq__");
    if (Py_TYPE(self.ptr()) != Py_TYPE(other.ptr())) return pysem::not_implemented();
    if (self.is(other)) return nb::borrow(Py_True);
    PositionSummary &x = pysem::instance<PositionSummary>(self, types.PositionSummary, "__eq__");
    PositionSummary &y = pysem::instance<PositionSummary>(other, types.PositionSummary, "__eq__");
    // Every field but the age, in field order.
    for (int i = 0; i < AGE; ++i) {
        int r = PyObject_RichCompareBool(field_ptr(x, i), field_ptr(y, i), Py_EQ);
        if (r < 0) throw nb::python_error();
        if (!r) return nb::borrow(Py_False);
    }
    return nb::borrow(Py_True);
}

nb::object repr(nb::handle self) {
    PositionSummary &s = pysem::instance<PositionSummary>(self, types.PositionSummary, "__repr__");
    return pysem::record_repr(self.ptr(), {{"qty", field_ptr(s, QTY)},
                                           {"average_price", field_ptr(s, AVERAGE_PRICE)},
                                           {"stop", field_ptr(s, STOP)},
                                           {"total_commission", field_ptr(s, TOTAL_COMMISSION)},
                                           {"stopPct", field_ptr(s, STOPPCT)},
                                           {"started", field_ptr(s, STARTED)},
                                           {"marketPrice", field_ptr(s, MARKETPRICE)},
                                           {"profit", field_ptr(s, PROFIT)},
                                           {"stopPts", field_ptr(s, STOPPTS)},
                                           {"age", field_ptr(s, AGE)}});
}

nb::object getstate(nb::handle self) {
    PositionSummary *s = &pysem::instance<PositionSummary>(self, types.PositionSummary, "__getstate__");
    nb::object t = nb::steal(PyTuple_New(kFields));
    if (!t) throw nb::python_error();
    for (int i = 0; i < kFields; ++i) PyTuple_SET_ITEM(t.ptr(), i, Py_NewRef(field_ptr(*s, i)));
    return t;
}

void setstate(PositionSummary &self, nb::tuple st) {
    if (st.size() != kFields) throw nb::value_error("PositionSummary state must have 10 fields");
    PositionSummary s;
    for (int i = 0; i < kFields; ++i) s.*kMembers[i] = nb::borrow(PyTuple_GET_ITEM(st.ptr(), i));
    new (&self) PositionSummary(std::move(s));
}

PyGetSetDef summary_getset[] = {
    PYSEM_FIELD(PositionSummary, qty, "Quantity held, always positive."),
    PYSEM_FIELD(PositionSummary, average_price, "Entry price per unit, negative for a short; rounded to 8 places."),
    PYSEM_FIELD(PositionSummary, stop, "Stop price; rounded to 8 places."),
    PYSEM_FIELD(PositionSummary, total_commission, "Commission paid so far."),
    PYSEM_FIELD(PositionSummary, stopPct, "Stop distance as a fraction of the entry price, 2 places."),
    PYSEM_FIELD(PositionSummary, started, "Start time of the position."),
    PYSEM_FIELD(PositionSummary, marketPrice, "Market price given at construction, or None."),
    PYSEM_FIELD(PositionSummary, profit, "Profit per unit at marketPrice, or None."),
    PYSEM_FIELD(PositionSummary, stopPts, "Stop minus the absolute entry price, 8 places."),
    PYSEM_FIELD(PositionSummary, age, "Time from started to the construction of this summary."),
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// PositionSummary(...) on the exact class: bound, derived and built natively.
PyObject *summary_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    PyObject *a[kInitFields];
    if (!pysem::bind_args(kInitSignature, args, nargsf, kwnames, a)) return nullptr;
    return pysem::slot_call<PyObject *>(nullptr, [&] {
        return new_instance((PyTypeObject *) type,
                            derived(a[0], a[1], a[2], a[3], a[4], a[5] ? nb::handle(a[5]) : nb::none()))
            .release()
            .ptr();
    });
}

PyType_Slot summary_slots[] = {{Py_tp_vectorcall, (void *) summary_vectorcall},
                               {Py_tp_traverse, (void *) pysem::record_traverse<PositionSummary>},
                               {Py_tp_clear, (void *) pysem::record_clear<PositionSummary>},
                               {Py_tp_hash, (void *) PyObject_HashNotImplemented},
                               {Py_tp_getset, (void *) summary_getset},
                               {0, nullptr}};

}  // namespace

nb::object make_position_summary(nb::handle qty, nb::handle average_price, nb::handle stop,
                                 nb::handle total_commission, nb::handle started, nb::handle marketPrice) {
    static PyObject *const name = pysem::intern("PositionSummary");
    PyObject *cls = module_attr(name);
    if (cls == (PyObject *) types.PositionSummary)
        return new_instance(types.PositionSummary,
                            derived(qty, average_price, stop, total_commission, started, marketPrice));
    // Keyword call of whatever the module binds to the name now.
    static PyObject *kwnames = Py_BuildValue("(ssssss)", kInitNames[0], kInitNames[1], kInitNames[2],
                                             kInitNames[3], kInitNames[4], kInitNames[5]);
    if (!kwnames) throw nb::python_error();
    nb::object hold = nb::borrow(cls);
    PyObject *argv[] = {qty.ptr(), average_price.ptr(), stop.ptr(), total_commission.ptr(), started.ptr(),
                        marketPrice.ptr()};
    PyObject *r = PyObject_Vectorcall(cls, argv, 0, kwnames);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object summary_stop(PyObject *summary) {
    if (PositionSummary *s = exact_summary(summary)) return nb::borrow(pysem::require(s->stop, "stop"));
    return pysem::getattr(summary, names.stop);
}

void register_position_summary(nb::module_ &m) {
    auto cls = nb::class_<PositionSummary>(m, "PositionSummary", nb::type_slots(summary_slots),
        "PositionSummary(qty, average_price, stop, total_commission, started, marketPrice=None)\n\n"
        "Display summary of a position or a position group: a positive quantity, an\n"
        "average price signed by direction (negative for a short) and a stop price.\n"
        "Construction derives stopPct, profit, stopPts and age; the stop and the\n"
        "average price are stored rounded to 8 decimal places.");
    cls.def("__init__", &init,
            nb::sig("def __init__(self, qty, average_price, stop, total_commission, started, marketPrice=None) "
                    "-> None"));
    cls.def_prop_ro("is_long", &is_long, "Whether the average price is above zero.");
    cls.def("__eq__", &eq, nb::is_operator());
    cls.def("__repr__", &repr);
    cls.def("__getstate__", &getstate);
    cls.def("__setstate__", &setstate);
    cls.attr("__match_args__") = nb::make_tuple(kInitNames[0], kInitNames[1], kInitNames[2], kInitNames[3],
                                                kInitNames[4], kInitNames[5]);
    nb::object slots = nb::steal(PyTuple_New(kFields));
    for (int i = 0; i < kFields; ++i) PyTuple_SET_ITEM(slots.ptr(), i, PyUnicode_FromString(kFieldNames[i]));
    cls.attr("__slots__") = slots;
    types.PositionSummary = (PyTypeObject *) cls.ptr();
}

}  // namespace ordermgr
