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

// One word beside a trade's fields, for one of two things at a time. While a
// default timestamp read from the host's own UTC clock has not been made into
// a datetime, its microseconds: the datetime is made the first time anything
// reads the field and then kept, so every reader (attribute, equality, repr,
// pickle, the store) sees one and the same object. Once the timestamp is an
// object, the trade book that folded the trade (identity only, never
// dereferenced: kept_book.h) and whether another book did too.
class TradeWord {
public:
    bool pending() const { return (w_ & kPending) != 0; }
    int64_t micros() const { return (int64_t) w_ >> 2; }  // arithmetic shift (C++20)
    void set_pending(int64_t micros) { w_ = (uintptr_t) (micros * 4) | kPending; }

    PyObject *book() const { return pending() ? nullptr : (PyObject *) (w_ & ~kFlags); }
    bool shared() const { return !pending() && (w_ & kShared) != 0; }
    void link(PyObject *book) { w_ = (uintptr_t) book; }
    void share() { w_ |= kShared; }
    void clear() { w_ = 0; }

private:
    // Objects are aligned to at least 8 bytes: the two low bits are free.
    static constexpr uintptr_t kPending = 1, kShared = 2, kFlags = 3;
    uintptr_t w_ = 0;
};

// Trade's fields, in order: (member type, name, annotation, role, doc).
#define TRADE_FIELDS(F)                                                                                            \
    F(Ref, orderid, "OrderId", required(), "Identifier of the order that produced the fill.")              \
    F(Ref, price, "Price", defaults(zero_float), "Execution price; never negative at construction.")       \
    F(Ref, qty, "Qty", defaults(zero_int), "Signed quantity: positive for a buy, negative for a sell.")     \
    F(Ref, commission, "Price", defaults(zero_float), "Commission paid for the fill.")                      \
    F(Ref, timestamp, "datetime.datetime",                                                                         \
      factory(utc_now_default, "utc_now").through(timestamp_get, timestamp_set),                                   \
      "When the fill happened (timezone-aware).")

// The record inside a Trade object (record_type.h): zeroed at allocation,
// its fields dropped through the class's declaration.
struct Trade {
    PYSEM_RECORD_FIELDS(TRADE_FIELDS)
    TradeWord word;
};

// The timestamp (borrowed), made now from a pending default; null when the
// field is unset, or with the host's error set when making it failed.
PyObject *trade_timestamp(Trade &t);

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
