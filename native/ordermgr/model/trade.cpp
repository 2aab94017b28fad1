#include "model/trade.h"

#include <new>

#include "model/kept_book.h"
#include "model/module_ns.h"
#include "model/payload.h"
#include "model/record_codec_export.h"
#include "pysem/args.h"
#include "pysem/clock.h"
#include "pysem/fields.h"
#include "pysem/record.h"
#include "pysem/slot_call.h"
#include "pysem/self_type.h"

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
        negative = _PyLong_Sign(price) < 0;
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

static PyObject *timestamp_get(PyObject *self, void *) {
    Trade *t = pysem::record_of<Trade>(self);
    if (!t) return nullptr;
    PyObject *v = t->timestamp.ptr();
    if (!v && !PyErr_Occurred())
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute 'timestamp'", Py_TYPE(self)->tp_name);
    return v ? Py_NewRef(v) : nullptr;
}

static int timestamp_set(PyObject *self, PyObject *value, void *) {
    Trade *t = pysem::record_of<Trade>(self);
    if (!t) return -1;
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

// The default timestamp: the clock's microseconds while the module's
// `datetime` is the standard module, else whatever the replaced one gives.
static TimestampField default_timestamp() {
    int64_t micros;
    if (utc_now_micros(micros)) return TimestampField::utc_micros(micros);
    return TimestampField(utc_now());
}

// --- store codec -------------------------------------------------------

static PyObject *codec_fields(PyObject *obj) {
    Trade *t = pysem::record_of<Trade>(obj);
    if (!t) return nullptr;
    PyObject *f[] = {t->orderid.ptr(), t->price.ptr(), t->qty.ptr(), t->commission.ptr(), t->timestamp.ptr()};
    for (PyObject *o : f)
        if (!o) {
            PyErr_SetString(PyExc_AttributeError, "Trade has an unset field");
            return nullptr;
        }
    return PyTuple_Pack(5, f[0], f[1], f[2], f[3], f[4]);
}

static PyObject *codec_build(PyTypeObject *cls, PyObject *fields) {
    if (!PyTuple_Check(fields) || PyTuple_GET_SIZE(fields) != 5) {
        PyErr_SetString(PyExc_ValueError, "stored Trade has the wrong number of fields");
        return nullptr;
    }
    return pysem::slot_call<PyObject *>(nullptr, [&] {
        nb::object inst = nb::inst_alloc(nb::handle((PyObject *) cls));
        Trade *t = nb::inst_ptr<Trade>(inst);
        new (t) Trade{nb::borrow(PyTuple_GET_ITEM(fields, 0)), nb::borrow(PyTuple_GET_ITEM(fields, 1)),
                      nb::borrow(PyTuple_GET_ITEM(fields, 2)), nb::borrow(PyTuple_GET_ITEM(fields, 3)),
                      nb::borrow(PyTuple_GET_ITEM(fields, 4))};
        nb::inst_mark_ready(inst);
        pysem::untrack_if_atomic(inst.ptr(), *t, types.Trade);
        return inst.release().ptr();
    });
}

static zelph_record_codec trade_codec = {ZELPH_RECORD_CODEC_ABI, codec_fields, codec_build, -1, nullptr};

// --- construction --------------------------------------------------------

static const char *const trade_params[] = {"orderid", "price", "qty", "commission", "timestamp"};
static PyObject *trade_param_names[5];
static pysem::ArgSpec trade_signature = {"Trade.__init__", trade_params, trade_param_names, 5, 1};
static PyObject *default_price, *default_qty, *default_commission;  // 0.0, 0, 0.0

// Trade(...) on the exact class: arguments bound here, the instance built in
// place, the price checked before it becomes visible.
static PyObject *trade_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    PyObject *a[5];
    if (!pysem::bind_args(trade_signature, args, nargsf, kwnames, a)) return nullptr;
    return pysem::slot_call<PyObject *>(nullptr, [&] {
        TimestampField ts = a[4] ? TimestampField(nb::borrow(a[4])) : default_timestamp();
        PyObject *price = a[1] ? a[1] : default_price;
        check_price(price);
        nb::object inst = nb::inst_alloc(nb::handle(type));
        Trade *t = new (nb::inst_ptr<Trade>(inst)) Trade{nb::borrow(a[0]), nb::borrow(price),
                                                         nb::borrow(a[2] ? a[2] : default_qty),
                                                         nb::borrow(a[3] ? a[3] : default_commission), std::move(ts)};
        nb::inst_mark_ready(inst);
        pysem::untrack_if_atomic(inst.ptr(), *t, types.Trade);
        return inst.release().ptr();
    });
}

static PyObject *get_average_price(PyObject *self, void *) {
    return pysem::slot_call<PyObject *>(nullptr, [&] { return average_price(self).release().ptr(); });
}

// --- type ----------------------------------------------------------------

// Field assignment: kept figures that folded this trade learn of it first.
template <nb::object Trade::*Member>
static int trade_field_set(PyObject *self, PyObject *value, void *closure) {
    Trade *t = pysem::record_of<Trade>(self);
    if (!t) return -1;
    KeptBook::trade_changing(self, t, Member == &Trade::orderid, value);
    return pysem::field_set<Trade, Member>(self, value, closure);
}

static int trade_clear(PyObject *self) {
    if (nb::inst_ready(self)) {
        Trade *t = nb::inst_ptr<Trade>(self);
        KeptBook::trade_changing(self, t, true, nullptr);
        t->clear();
    }
    return 0;
}

#define TRADE_FIELD(name, doc) \
    PyGetSetDef { #name, &pysem::field_get<Trade, &Trade::name>, &trade_field_set<&Trade::name>, doc, (void *) #name }

static PyGetSetDef trade_getset[] = {
    TRADE_FIELD(orderid, "Identifier of the order that produced the fill."),
    TRADE_FIELD(price, "Execution price; never negative at construction."),
    TRADE_FIELD(qty, "Signed quantity: positive for a buy, negative for a sell."),
    TRADE_FIELD(commission, "Commission paid for the fill."),
    {"timestamp", timestamp_get, timestamp_set, "When the fill happened (timezone-aware).", (void *) "timestamp"},
    {"average_price", get_average_price, nullptr,
     "Per-unit price of this fill with the commission folded in (a float).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

static PyType_Slot trade_slots[] = {
    {Py_tp_traverse, (void *) pysem::record_traverse<Trade>},
    {Py_tp_clear, (void *) trade_clear},
    {Py_tp_hash, (void *) PyObject_HashNotImplemented},
    {Py_tp_getset, (void *) trade_getset},
    {Py_tp_vectorcall, (void *) trade_vectorcall},
    {0, nullptr}};

void register_trade(nb::module_ &m) {
    // Marks an argument left out; kept for the life of the process.
    static nb::handle missing = PyObject_CallNoArgs((PyObject *) &PyBaseObject_Type);
    default_price = PyFloat_FromDouble(0.0);
    default_qty = PyLong_FromLong(0);
    default_commission = PyFloat_FromDouble(0.0);
    auto cls = nb::class_<Trade>(m, "Trade", nb::type_slots(trade_slots), nb::pooled(4096),
        "Trade(orderid, price=0.0, qty=0, commission=0.0, timestamp=<now in UTC>)\n\n"
        "One executed fill of one instrument. The price is never negative; the sign of\n"
        "qty gives the side (positive buy, negative sell).");
    cls.def(
        "__init__",
        [](Trade *self, nb::handle orderid, nb::handle price, nb::handle qty, nb::handle commission,
           nb::handle timestamp) {
            TimestampField ts = timestamp.is(missing) ? default_timestamp() : TimestampField(nb::borrow(timestamp));
            check_price(price.ptr());
            new (self) Trade{nb::borrow(orderid), nb::borrow(price), nb::borrow(qty), nb::borrow(commission),
                             std::move(ts)};
        },
        nb::arg("orderid").none(), nb::arg("price").none() = nb::handle(default_price),
        nb::arg("qty").none() = nb::handle(default_qty), nb::arg("commission").none() = nb::handle(default_commission),
        nb::arg("timestamp").none() = missing);
    cls.def("__eq__", [](nb::handle self, nb::handle other) -> nb::object {
        if (Py_TYPE(self.ptr()) != Py_TYPE(other.ptr())) return pysem::not_implemented();
        if (Py_TYPE(self.ptr()) != types.Trade) return pysem::record_eq_attrs(self.ptr(), other.ptr(), {"orderid", "price", "qty", "commission", "timestamp"});
        Trade &a = pysem::instance<Trade>(self, types.Trade, "__eq__"), &b = *nb::inst_ptr<Trade>(other);
        return pysem::record_eq(self.ptr(), other.ptr(),
                                {pysem::require(a.orderid, "orderid"), pysem::require(a.price, "price"),
                                 pysem::require(a.qty, "qty"), pysem::require(a.commission, "commission"),
                                 pysem::require(a.timestamp, "timestamp")},
                                {pysem::require(b.orderid, "orderid"), pysem::require(b.price, "price"),
                                 pysem::require(b.qty, "qty"), pysem::require(b.commission, "commission"),
                                 pysem::require(b.timestamp, "timestamp")});
    }, nb::is_operator());
    cls.def("__repr__", [](nb::handle self) {
        if (Py_TYPE(self.ptr()) != types.Trade) return pysem::record_repr_attrs(self.ptr(), {"orderid", "price", "qty", "commission", "timestamp"});
        Trade &t = pysem::instance<Trade>(self, types.Trade, "__repr__");
        return pysem::record_repr(self.ptr(), {{"orderid", pysem::require(t.orderid, "orderid")},
                                               {"price", pysem::require(t.price, "price")},
                                               {"qty", pysem::require(t.qty, "qty")},
                                               {"commission", pysem::require(t.commission, "commission")},
                                               {"timestamp", pysem::require(t.timestamp, "timestamp")}});
    });
    cls.def("__getstate__", [](nb::handle self) {
        pysem::require_instance(self, types.Trade, "__getstate__");
        PyObject *state = codec_fields(self.ptr());
        if (!state) throw nb::python_error();
        return nb::steal(state);
    });
    cls.def("__setstate__", [](Trade &self, nb::tuple st) {
        if (st.size() != 5) pysem::raise(PyExc_ValueError, "Trade state must have 5 fields");
        PyObject *t = st.ptr();
        new (&self) Trade{nb::borrow(PyTuple_GET_ITEM(t, 0)), nb::borrow(PyTuple_GET_ITEM(t, 1)),
                          nb::borrow(PyTuple_GET_ITEM(t, 2)), nb::borrow(PyTuple_GET_ITEM(t, 3)),
                          nb::borrow(PyTuple_GET_ITEM(t, 4))};
    });
    cls.attr("__match_args__") = nb::make_tuple("orderid", "price", "qty", "commission", "timestamp");
    cls.attr("__slots__") = nb::make_tuple("orderid", "price", "qty", "commission", "timestamp");
    types.Trade = (PyTypeObject *) cls.ptr();
    Payload<Trade>::measure(cls);
    export_record_codec(cls, &trade_codec);
}

}  // namespace ordermgr
