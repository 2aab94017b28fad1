#include "model/summary.h"

#include "model/module_ns.h"
#include "pysem/args.h"
#include "pysem/fields.h"
#include "pysem/num.h"
#include "pysem/record.h"
#include "pysem/round.h"
#include "pysem/slot_call.h"
#include "pysem/self_type.h"
#include "pysem/truth.h"
#include "pysem/record_type.h"

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

using SummaryObject = pysem::record::Instance<PositionSummary>;

PositionSummary *rec(PyObject *self) { return pysem::record::rec_of<PositionSummary>(self); }

PositionSummary *exact_summary(PyObject *o) { return is_exact(o, types.PositionSummary) ? rec(o) : nullptr; }

// The derivation step, run right after the constructor has set the six
// given fields. An exact summary is derived on a copy of its fields, put in
// place only once every figure was made; a subclass instance is derived
// through attribute access, so that its overrides take part.
int post_init(PyObject *self) {
    return pysem::slot_call<int>(-1, [&] {
        if (PositionSummary *r = exact_summary(self)) {
            PositionSummary s;
            for (Field f : {QTY, AVERAGE_PRICE, STOP, TOTAL_COMMISSION, STARTED, MARKETPRICE})
                s.*kMembers[f] = nb::borrow(pysem::require(r->*kMembers[f], kFieldNames[f]));
            StructAccess acc{s};
            derive(acc);
            // Swap first, release after (the old values' finalisers may look at us).
            PositionSummary old;
            for (int i = 0; i < kFields; ++i) {
                old.*kMembers[i] = std::move(r->*kMembers[i]);
                r->*kMembers[i] = std::move(s.*kMembers[i]);
                pysem::track_for(self, (r->*kMembers[i]).ptr());
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
        nb::object avg = exact_summary(self) ? nb::borrow(pysem::require(rec(self)->average_price, "average_price"))
                                             : pysem::getattr(self, names.average_price);
        return pysem::greater_than_zero(avg.ptr()).release().ptr();
    });
}

PyGetSetDef summary_properties[] = {
    {"is_long", get_is_long, nullptr, "Whether the average price is above zero.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyObject *make_none() { return Py_NewRef(Py_None); }

#define SLOT(member) PYSEM_RECORD_SLOT(SummaryObject, member)
using pysem::record::Init;

const pysem::record::Field summary_fields[] = {
    {.name = "qty", .annotation = "Qty", .doc = "Quantity held, always positive.", .offset = SLOT(qty)},
    {.name = "average_price", .annotation = "Price",
     .doc = "Entry price per unit, negative for a short; rounded to 8 places.", .offset = SLOT(average_price)},
    {.name = "stop", .annotation = "Price", .doc = "Stop price; rounded to 8 places.", .offset = SLOT(stop)},
    {.name = "total_commission", .annotation = "Price", .doc = "Commission paid so far.",
     .offset = SLOT(total_commission)},
    {.name = "stopPct", .annotation = "Percent", .doc = "Stop distance as a fraction of the entry price, 2 places.",
     .offset = SLOT(stopPct), .init = Init::Excluded},
    {.name = "started", .annotation = "datetime.datetime", .doc = "Start time of the position.",
     .offset = SLOT(started)},
    {.name = "marketPrice", .annotation = "Price | None", .doc = "Market price given at construction, or None.",
     .offset = SLOT(marketPrice), .init = Init::Default, .make = make_none},
    {.name = "profit", .annotation = "Price | None", .doc = "Profit per unit at marketPrice, or None.",
     .offset = SLOT(profit), .init = Init::Excluded},
    {.name = "stopPts", .annotation = "Price", .doc = "Stop minus the absolute entry price, 8 places.",
     .offset = SLOT(stopPts), .init = Init::Excluded},
    {.name = "age", .annotation = "datetime.timedelta",
     .doc = "Time from started to the construction of this summary.", .offset = SLOT(age),
     .init = Init::Excluded, .compare = false},
};
#undef SLOT

const pysem::record::Decl summary_decl = {
    .name = "PositionSummary",
    .doc = "PositionSummary(qty, average_price, stop, total_commission, started, marketPrice=None)\n\n"
           "Display summary of a position or a position group: a positive quantity, an\n"
           "average price signed by direction (negative for a short) and a stop price.\n"
           "Construction derives stopPct, profit, stopPts and age; the stop and the\n"
           "average price are stored rounded to 8 decimal places.",
    .fields = summary_fields,
    .nfields = kFields,
    .basicsize = sizeof(SummaryObject),
    .post_init = post_init,
    .untracked_while_atomic = true,
    .properties = summary_properties,
};

pysem::record::Class summary_class{summary_decl};

}  // namespace

nb::object make_position_summary(nb::handle qty, nb::handle average_price, nb::handle stop,
                                 nb::handle total_commission, nb::handle started, nb::handle marketPrice) {
    static PyObject *const name = pysem::intern("PositionSummary");
    PyObject *cls = module_attr(name);
    if (cls == (PyObject *) types.PositionSummary) {
        // The class's own constructor: bound, derived and built natively.
        PyObject *argv[] = {qty.ptr(), average_price.ptr(), stop.ptr(), total_commission.ptr(), started.ptr(),
                            marketPrice.ptr()};
        PyObject *r = PyObject_Vectorcall(cls, argv, kInitFields, nullptr);
        if (!r) throw nb::python_error();
        return nb::steal(r);
    }
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
    types.PositionSummary = pysem::record::define<summary_class>(m.ptr());
}

}  // namespace ordermgr
