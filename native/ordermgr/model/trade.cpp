#include "model/trade.h"

#include <new>

#include "model/kept_book.h"
#include "model/module_ns.h"
#include "model/store_codec.h"
#include "pysem/args.h"
#include "pysem/clock.h"
#include "pysem/compat.h"
#include "pysem/fields.h"
#include "pysem/record.h"
#include "pysem/slot_call.h"
#include "pysem/record_type.h"

namespace ordermgr {

using pysem::Num;

static Trade *exact_trade(PyObject *o) { return trade_class.exact<Trade>(o); }

Num signed_cost(const Num &price, const Num &qty, const Num &commission) {
    Num product = price * qty;
    return product + (qty.gt_zero() ? commission : -commission);
}

Num trade_signed_cost(PyObject *trade) {
    using pysem::record::held;
    if (Trade *t = exact_trade(trade))
        return signed_cost(Num::of(held(trade, t->price, "price")), Num::of(held(trade, t->qty, "qty")),
                           Num::of(held(trade, t->commission, "commission")));
    // t.price * t.qty + (t.commission if t.qty > 0 else -t.commission),
    // every attribute read where the expression reads it.
    auto read = [trade](int i) { return Num::steal(trade_field(trade, i).release()); };
    Num price = read(Trade::field::price);
    Num product = price * read(Trade::field::qty);
    bool buy = read(Trade::field::qty).gt_zero();
    Num commission = read(Trade::field::commission);
    return product + (buy ? commission : -commission);
}

static void check_price(PyObject *price) {
    bool negative;
    if (PyFloat_CheckExact(price)) {
        negative = PyFloat_AS_DOUBLE(price) < 0.0;
    } else if (PyLong_CheckExact(price)) {
        negative = pysem::compat::long_sign(price) < 0;
    } else {
        Ref zero = steal(PyLong_FromLong(0));
        int r = PyObject_RichCompareBool(price, zero.ptr(), Py_LT);
        if (r < 0) throw Error();
        negative = r != 0;
    }
    if (negative)
        pysem::raise(PyExc_ValueError, "Negative prices are not allowed. Use negative quantities to indicate a short sale.");
}

// 0.0 for a zero quantity, else
// (price * qty + (commission if qty > 0 else -commission)) / qty.
static Ref average_price(PyObject *self) {
    auto qty = [self] { return Num::steal(trade_field(self, Trade::field::qty).release()); };
    if (qty().eq_zero()) return steal(PyFloat_FromDouble(0.0));
    Num cost = trade_signed_cost(self);
    return (cost / qty()).object();
}

// --- the timestamp field -------------------------------------------------

PyObject *trade_timestamp(Trade &t) {
    if (t.timestamp || !t.word.pending()) return t.timestamp.ptr();
    PyObject *dt = pysem::utc_datetime_from_micros(t.word.micros());
    if (!dt) return nullptr;
    t.timestamp = steal(dt);
    t.word.clear();
    return dt;
}

// --- construction --------------------------------------------------------

static Trade *rec(PyObject *self) { return pysem::record::rec_of<Trade>(self); }

// The default timestamp, written into the record itself: the clock's
// microseconds while the module's `datetime` is the standard module, else
// whatever the replaced one gives.
static int fill_default_timestamp(PyObject *self, int) {
    return pysem::slot_call<int>(-1, [&] {
        int64_t micros;
        Trade *t = rec(self);
        if (utc_now_micros(micros))
            t->word.set_pending(micros);
        else
            t->timestamp = utc_now();
        return 1;
    });
}

static int post_init(PyObject *self) {
    return pysem::slot_call<int>(-1, [&] {
        check_price(pysem::record::held(self, rec(self)->price, "price"));
        return 0;
    });
}

// Kept figures that folded this trade learn of a field assignment first.
static void fields_changing(PyObject *self, int field, PyObject *value) {
    KeptBook::trade_changing(self, rec(self), field == Trade::field::orderid || field < 0, value);
}

// The collector broke a cycle through the trade: a pending default goes
// with the fields (the books it was in were told by `changing`).
static void cleared(PyObject *self) { rec(self)->word.clear(); }

static PyObject *timestamp_get(PyObject *self, void *) {
    PyObject *v = trade_timestamp(*rec(self));
    if (!v && !PyErr_Occurred())
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute 'timestamp'", Py_TYPE(self)->tp_name);
    return v ? Py_NewRef(v) : nullptr;
}

static int timestamp_set(PyObject *self, PyObject *value, void *) {
    Trade *t = rec(self);
    if (!value && !t->timestamp && !t->word.pending()) {
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute 'timestamp'", Py_TYPE(self)->tp_name);
        return -1;
    }
    KeptBook::trade_changing(self, t, false, value);
    if (t->word.pending()) t->word.clear();  // the value given replaces the default
    t->timestamp = borrow(value);
    pysem::track_for(self, value);
    return 0;
}

// --- the class ------------------------------------------------------------

// object's own `__class__` descriptor (borrowed: object's dict lives as long
// as the interpreter), set when the class is registered.
static PyObject *object_class_attr = nullptr;

static PyObject *class_get(PyObject *self, void *) { return Py_NewRef(Py_TYPE(self)); }

// `t.__class__ = C`: under another class every field may read differently (a
// subclass can override any of them), so the books that folded the trade are
// told first, as for a new order id; the assignment itself, with its layout
// checks and messages, is object's. A trade of a subclass is always tracked,
// as the record engine leaves only exact instances untracked (the books were
// tracked for it above).
static int class_set(PyObject *self, PyObject *value, void *) {
    KeptBook::trade_changing(self, rec(self), true, value);
    if (Py_TYPE(object_class_attr)->tp_descr_set(object_class_attr, self, value) < 0) return -1;
    if (!trade_class.exact(self) && !PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);
    return 0;
}

static PyObject *zero_float() { return PyFloat_FromDouble(0.0); }
static PyObject *zero_int() { return PyLong_FromLong(0); }
static PyObject *utc_now_default() {
    return pysem::slot_call<PyObject *>(nullptr, [] { return utc_now().release(); });
}

static PyObject *get_average_price(PyObject *self, void *) {
    return pysem::slot_call<PyObject *>(nullptr, [&] { return average_price(self).release(); });
}

static PyGetSetDef trade_properties[] = {
    {"average_price", get_average_price, nullptr,
     "Per-unit price of this fill with the commission folded in (a float).", nullptr},
    {"__class__", class_get, class_set, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

static const pysem::record::Decl trade_decl = {
    .name = "Trade",
    .doc = "One executed fill of one instrument.\n\n"
           "The price is never negative; the sign of qty gives the side (positive buy,\n"
           "negative sell).",
    .fields = PYSEM_RECORD_TABLE(Trade, TRADE_FIELDS),
    .post_init = post_init,
    .untracked_while_atomic = true,
    .free_list = 256,
    .fill_default = fill_default_timestamp,
    .changing = fields_changing,
    .cleared = cleared,
    .properties = trade_properties,
};

pysem::record::Class trade_class{trade_decl};

Ref trade_field(PyObject *trade, int i) {
    PyObject *v = pysem::record::read(trade_class, trade, i);
    if (!v) throw Error();
    return steal(v);
}

void trade_set_field(PyObject *trade, int i, PyObject *value) {
    int r = trade_class.exact(trade) ? pysem::record::field_set(trade_class, trade, value, i)
                                      : PyObject_SetAttr(trade, trade_class.names[i], value);
    if (r < 0) throw Error();
}

void register_trade(PyObject *module) {
    Ref object_dict = steal(PyType_GetDict(&PyBaseObject_Type));
    object_class_attr = PyDict_GetItemWithError(object_dict.ptr(), pysem::intern("__class__"));
    if (!object_class_attr || !Py_TYPE(object_class_attr)->tp_descr_set) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "object has no settable __class__");
        throw Error();
    }
    pysem::record::define<Trade, trade_class>(module);
    export_record_codec(trade_class.type, &trade_class.codec);
}

}  // namespace ordermgr
