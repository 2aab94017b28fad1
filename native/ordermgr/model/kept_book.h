// Figures kept with a trade book between reads.
//
// Every figure of a position is a left-to-right fold over its trades: the
// built-in sum of the quantities and of the commissions, the pq/tq
// accumulation of the average price, the earliest timestamp. For an exact
// dict the fold states are kept here, beside the dict (keyed by its
// identity, so that positions sharing one dict share one state), and
// extended when the book appends a trade; a read is then O(1) and gives
// exactly what a fresh fold gives.
//
// A kept fold is current only while nothing it depends on has changed:
// - the dict is watched (a dict watcher): any change the book did not make
//   itself (insert, replace, delete, pop, clear, update, ...) marks it stale;
// - a Trade remembers the dict that folded it; assigning any of its fields
//   marks that dict stale, or every kept fold when the trade was folded into
//   more than one dict;
// - values that are not exact Trades with exact int/float numbers and
//   exact datetimes are not folded: that figure takes the generic path on
//   every read, as before.
// A stale fold is rebuilt by the next read.
//
// Beside the folds each book keeps a short change record for the store:
// while a run lasts, the dict changed only by the entries listed in it
// (appended trades, trades whose fields were reassigned).
#pragma once
#include <Python.h>
#include <cstdint>

#include "model/plain_fold.h"
#include "pysem/native_sum.h"
#include "pysem/record_codec.h"

namespace ordermgr {

struct Trade;

struct BookFold {
    Py_ssize_t count = 0;
    bool qty_ok = true, commission_ok = true, average_ok = true, started_ok = true;
    bool exact_trades = true;  // every value an exact Trade
    bool plain_ok = true;      // every trade plain (plain_fold.h)
    PlainFold plain;
    pysem::NativeSum qty, commission;
    double pq = 0.0, tq = 0.0;
    // The earliest timestamp so far (borrowed: the trade holding it stays in
    // the dict, unchanged, for as long as the fold is current).
    PyObject *earliest = nullptr, *tzinfo = nullptr;
    int64_t earliest_key = 0;

    void add(PyObject *value);
};

class KeptBook {
public:
    static constexpr int kLog = 16;

    // The kept state of an exact dict, current (rebuilt when stale); nullptr
    // for anything else.
    static KeptBook *of(PyObject *trades);

    const BookFold &fold() const { return fold_; }
    // Whether the fold still describes the dict (nothing changed since it
    // was made or extended).
    bool current() const;
    uint64_t changes() const { return changes_; }

    // Stores trades[key] = trade (key not present) and folds the trade in.
    // Any other change that happens meanwhile (code run by the key's hash or
    // equality) leaves the state stale instead.
    void append(PyObject *trades, PyObject *key, PyObject *trade);

    // The store's change record (see pysem/record_codec.h).
    static Py_ssize_t changes_since(PyObject *mapping, const zelph_items_mark *since, zelph_items_mark *now,
                                    PyObject **keys, PyObject **values, int *kinds, Py_ssize_t max);

    // A field of `trade` (the record inside `self`) is about to be reassigned (orderid: its key changes
    // too, which the change record cannot express).
    static void trade_changing(PyObject *self, Trade *trade, bool orderid);

    // Called by the dict watcher.
    void changed_outside();

private:
    explicit KeptBook(PyObject *dict) : dict_(dict) {}
    void rebuild();
    void fold_in(PyObject *value);
    void log(PyObject *key, PyObject *value, int kind);
    bool run_alive() const;

    PyObject *dict_;
    bool current_ = false;
    uint64_t epoch_ = 0;    // global epoch of the fold
    uint64_t changes_ = 0;  // bumped by every change the book did not make
    BookFold fold_;

    // Change record: run id (0: none), its global epoch, number of changes.
    uint64_t run_ = 0, run_epoch_ = 0, seq_ = 0;
    // Borrowed: the key is in the dict (or is the orderid of a trade held
    // under it) for as long as the run lasts; the value is only compared by
    // identity.
    struct Change {
        PyObject *key = nullptr, *value = nullptr;
        int kind = 0;
    } log_[kLog];

    friend int on_dict_event(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *);
};

// Installs the dict watcher; once, at module initialisation.
void install_book_watcher();

}  // namespace ordermgr
