// Trade: one executed fill.
#pragma once
#include <Python.h>
#include <cstdint>

#include "pysem/ref.h"

#include "pysem/num.h"
#include "pysem/record_type.h"

namespace ordermgr {
using pysem::borrow;
using pysem::Error;
using pysem::none;
using pysem::Ref;
using pysem::steal;

// The timestamp field. A default timestamp read from the host's own UTC
// clock is kept as its microseconds; the datetime is made the first time
// anything reads the field and then kept, so every reader (attribute,
// equality, repr, pickle, the store) sees one and the same object.
class TimestampField {
public:
    TimestampField() = default;
    TimestampField(Ref o) : obj_(std::move(o)) {}
    static TimestampField utc_micros(int64_t micros) {
        TimestampField f;
        f.micros_ = micros;
        f.pending_ = true;
        return f;
    }
    TimestampField &operator=(Ref o) {
        obj_ = std::move(o);
        pending_ = false;
        return *this;
    }
    // The datetime (borrowed), made now if still pending; nullptr when the
    // field is unset, or with the host's error set when making it failed.
    PyObject *ptr() const { return obj_.ptr() || !pending_ ? obj_.ptr() : make(); }
    operator const Ref &() const {
        ptr();
        return obj_;
    }
    // The object as it stands, never making one (for the collector).
    PyObject *held() const { return obj_.ptr(); }
    Ref take() {
        pending_ = false;
        return std::move(obj_);
    }

private:
    PyObject *make() const;
    mutable Ref obj_;
    int64_t micros_ = 0;
    mutable bool pending_ = false;
};

// Trade's fields, in order: (member type, name, annotation, role, doc).
#define TRADE_FIELDS(F)                                                                                            \
    F(Ref, orderid, "OrderId", required(), "Identifier of the order that produced the fill.")              \
    F(Ref, price, "Price", defaults(zero_float), "Execution price; never negative at construction.")       \
    F(Ref, qty, "Qty", defaults(zero_int), "Signed quantity: positive for a buy, negative for a sell.")     \
    F(Ref, commission, "Price", defaults(zero_float), "Commission paid for the fill.")                      \
    F(TimestampField, timestamp, "datetime.datetime",                                                              \
      factory(utc_now_default, "utc_now").through(timestamp_get, timestamp_set),                                   \
      "When the fill happened (timezone-aware).")

// The record inside a Trade object (record_type.h): zeroed at allocation,
// its fields dropped through the class's declaration.
struct Trade {
    PYSEM_RECORD_FIELDS(TRADE_FIELDS)
    // The trade dict whose kept figures folded this trade (identity only,
    // never dereferenced), and whether more than one did (kept_book.h).
    PyObject *book = nullptr;
    bool shared = false;
};

// Field i (Trade::field::...) of any trade object, as `getattr(trade, name)`
// gives it: the struct for an exact Trade, attribute access for anything
// else (a subclass may override it). New reference.
Ref trade_field(PyObject *trade, int i);
// setattr(trade, name of field i, value), through the class's own setter for
// an exact Trade.
void trade_set_field(PyObject *trade, int i, PyObject *value);

// The signed cost of one fill: price * qty, then plus the commission for a
// buy (qty > 0), minus it otherwise.
pysem::Num signed_cost(const pysem::Num &price, const pysem::Num &qty, const pysem::Num &commission);
// The same for a trade object, its fields read as the expression
// `t.price * t.qty + (t.commission if t.qty > 0 else -t.commission)` reads them.
pysem::Num trade_signed_cost(PyObject *trade);

// The class (pysem/record_type.h): its type, names and declaration.
extern pysem::record::Class trade_class;

void register_trade(PyObject *module);

}  // namespace ordermgr
