// Whether the collector must see a trade book.
//
// CPython tracks a dict as soon as it holds any object the collector may have
// to traverse, a Trade included, even one that is itself untracked because it
// holds only atomic values. The trade book of an exact Position is kept out of
// the collector's way instead while nothing in it can be part of a cycle: it
// is untracked when every entry is either atomic (CPython's own rule: no GC
// object but an untracked exact tuple) or an untracked exact Trade under an
// atomic key that no other book holds. That rule keeps holding for as long
// as the dict stays untracked, because every way it could break tracks the
// dict first:
// - an insert of a trackable value: the host tracks the dict itself; the
//   book's own append untracks it again while no entry needs the collector;
// - any other change to the dict: tracked, until the next fold has looked;
// - a trade of the book given a trackable field value: its book is tracked
//   before the assignment completes;
// - a trade that turns up in a second book: its first book is tracked.
#pragma once
#include <Python.h>

namespace ordermgr {

class BookTracking {
public:
    // The dict is the book of an exact Position: it may be untracked.
    void adopt() { adopted_ = true; }
    bool adopted() const { return adopted_; }

    // A pass over the entries starts; then each entry is seen. `own_trade`:
    // the value is an exact Trade that belongs to this book alone.
    void restart() { held_ = false; }
    void saw(PyObject *key, PyObject *value, bool own_trade);

    // Tracks or untracks `dict` to match the entries seen.
    void settle(PyObject *dict) const;

    // Something happened to the dict that no pass has seen yet.
    static void release(PyObject *dict);
    // A trade of the book is about to hold `value`.
    static void before_trade_holds(PyObject *dict, PyObject *value);

private:
    bool held_ = false;     // some entry needs the collector
    bool adopted_ = false;  // the trades of an exact Position
};

}  // namespace ordermgr
