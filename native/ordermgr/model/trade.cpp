#include "model/trade.h"

#include <new>

#include "model/kept_book.h"
#include "model/module_ns.h"
#include "model/payload.h"
#include "model/record_codec_export.h"
#include "pysem/args.h"
#include "pysem/clock.h"
#include "pysem/compat.h"
#include "pysem/fields.h"
#include "pysem/record.h"
#include "pysem/slot_call.h"
#include "pysem/self_type.h"
#include "pysem/record_type.h"

namespace ordermgr {

using pysem::Num;

static Trade *exact_trade(PyObject *o) {
    return Payload<Trade>::of_exact(o);
}

#define TRADE_READER(field)                                            \
    nb::object trade_##field(PyObject *trade) {                        \
        if (Trade *t = exact_trade(trade))                             \
            return nb::borrow(pysem::require(t->field, #field));       \
        return pysem::getattr(trade, names.field);                     \
    }
TRADE_READER(orderid)
TRADE_READER(price)
TRADE_READER(qty)
TRADE_READER(commission)
TRADE_READER(timestamp)
#undef TRADE_READER

Num signed_cost(const Num &price, const Num &qty, const Num &commission) {
    Num product = price * qty;
    return product + (qty.gt_zero() ? commission : -commission);
}

Num trade_signed_cost(PyObject *trade) {
    if (Trade *t = exact_trade(trade))
        return signed_cost(Num::of(pysem::require(t->price, "price")), Num::of(pysem::require(t->qty, "qty")),
                           Num::of(pysem::require(t->commission, "commission")));
    // t.price * t.qty + (t.commission if t.qty > 0 else -t.commission),
    // every attribute read where the expression reads it.
    Num price = Num::steal(trade_price(trade).release().ptr());
    Num product = price * Num::steal(trade_qty(trade).release().ptr());
    bool buy = Num::steal(trade_qty(trade).release().ptr()).gt_zero();
    Num commission = Num::steal(trade_commission(trade).release().ptr());
    return product + (buy ? commission : -commission);
}

static void check_price(PyObject *price) {
    bool negative;
    if (PyFloat_CheckExact(price)) {
        negative = PyFloat_AS_DOUBLE(price) < 0.0;
    } else if (PyLong_CheckExact(price)) {
        negative = pysem::compat::long_sign(price) < 0;
    } else {
        nb::object zero = nb::steal(PyLong_FromLong(0));
        int r = PyObject_RichCompareBool(price, zero.ptr(), Py_LT);
        if (r < 0) throw nb::python_error();
        negative = r != 0;
    }
    if (negative)
        pysem::raise(PyExc_ValueError, 
            "Negative prices are not allowed. Use negative quantities to indicate a short sale.");
}

// 0.0 for a zero quantity, else
// (price * qty + (commission if qty > 0 else -commission)) / qty.
static nb::object average_price(PyObject *self) {
    if (Num::steal(trade_qty(self).release().ptr()).eq_zero()) return nb::steal(PyFloat_FromDouble(0.0));
    Num cost = trade_signed_cost(self);
    return (cost / Num::steal(trade_qty(self).release().ptr())).object();
}

// --- the timestamp field -------------------------------------------------

PyObject *TimestampField::make() const {
    PyObject *dt = pysem::utc_datetime_from_micros(micros_);
    if (!dt) return nullptr;
    obj_ = nb::steal(dt);
    pending_ = false;
    return dt;
}

// --- construction --------------------------------------------------------

using TradeObject = pysem::record::Instance<Trade>;
enum { ORDERID, PRICE, QTY, COMMISSION, TIMESTAMP };

static Trade *rec(PyObject *self) { return pysem::record::rec_of<Trade>(self); }

// The default timestamp, written into the record itself: the clock's
// microseconds while the module's `datetime` is the standard module, else
// whatever the replaced one gives.
static int fill_default_timestamp(PyObject *self, int) {
    return pysem::slot_call<int>(-1, [&] {
        int64_t micros;
        rec(self)->timestamp = utc_now_micros(micros) ? TimestampField::utc_micros(micros) : TimestampField(utc_now());
        return 1;
    });
}

static int post_init(PyObject *self) {
    return pysem::slot_call<int>(-1, [&] {
        check_price(pysem::require(rec(self)->price, "price"));
        return 0;
    });
}

// Kept figures that folded this trade learn of a field assignment first.
static void fields_changing(PyObject *self, int field, PyObject *value) {
    KeptBook::trade_changing(self, rec(self), field == ORDERID || field < 0, value);
}

static void cleared(PyObject *self) { rec(self)->timestamp.take(); }

static PyObject *timestamp_get(PyObject *self, void *) {
    PyObject *v = rec(self)->timestamp.ptr();
    if (!v && !PyErr_Occurred())
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute 'timestamp'", Py_TYPE(self)->tp_name);
    return v ? Py_NewRef(v) : nullptr;
}

static int timestamp_set(PyObject *self, PyObject *value, void *) {
    Trade *t = rec(self);
    if (!value && !t->timestamp.ptr()) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute 'timestamp'", Py_TYPE(self)->tp_name);
        return -1;
    }
    KeptBook::trade_changing(self, t, false, value);
    nb::object old = t->timestamp.take();
    t->timestamp = value ? nb::borrow(value) : nb::object();
    pysem::track_for(self, value);
    return 0;
}

static PyObject *make_zero_float() { return PyFloat_FromDouble(0.0); }
static PyObject *make_zero_int() { return PyLong_FromLong(0); }
static PyObject *make_utc_now() {
    return pysem::slot_call<PyObject *>(nullptr, [] { return utc_now().release().ptr(); });
}

static PyObject *get_average_price(PyObject *self, void *) {
    return pysem::slot_call<PyObject *>(nullptr, [&] { return average_price(self).release().ptr(); });
}

static PyGetSetDef trade_properties[] = {
    {"average_price", get_average_price, nullptr,
     "Per-unit price of this fill with the commission folded in (a float).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

#define SLOT(member) PYSEM_RECORD_SLOT(TradeObject, member)
using pysem::record::Init;

static const pysem::record::Field trade_fields[] = {
    {.name = "orderid", .annotation = "OrderId", .doc = "Identifier of the order that produced the fill.",
     .offset = SLOT(orderid)},
    {.name = "price", .annotation = "Price", .doc = "Execution price; never negative at construction.",
     .offset = SLOT(price), .init = Init::Default, .make = make_zero_float},
    {.name = "qty", .annotation = "Qty", .doc = "Signed quantity: positive for a buy, negative for a sell.",
     .offset = SLOT(qty), .init = Init::Default, .make = make_zero_int},
    {.name = "commission", .annotation = "Price", .doc = "Commission paid for the fill.",
     .offset = SLOT(commission), .init = Init::Default, .make = make_zero_float},
    {.name = "timestamp", .annotation = "datetime.datetime", .doc = "When the fill happened (timezone-aware).",
     .offset = SLOT(timestamp), .init = Init::Factory, .make = make_utc_now, .factory = "utc_now",
     .get = timestamp_get, .set = timestamp_set},
};
#undef SLOT

static const pysem::record::Decl trade_decl = {
    .name = "Trade",
    .doc = "Trade(orderid, price=0.0, qty=0, commission=0.0, timestamp=<now in UTC>)\n\n"
           "One executed fill of one instrument. The price is never negative; the sign of\n"
           "qty gives the side (positive buy, negative sell).",
    .fields = trade_fields,
    .nfields = 5,
    .basicsize = sizeof(TradeObject),
    .post_init = post_init,
    .untracked_while_atomic = true,
    .fill_default = fill_default_timestamp,
    .changing = fields_changing,
    .cleared = cleared,
    .properties = trade_properties,
};

static pysem::record::Class trade_class{trade_decl};

void register_trade(nb::module_ &m) {
    types.Trade = pysem::record::define<trade_class>(m.ptr());
    Payload<Trade>::bind(types.Trade);
    export_record_codec(nb::handle((PyObject *) types.Trade), &trade_class.codec);
}

}  // namespace ordermgr
