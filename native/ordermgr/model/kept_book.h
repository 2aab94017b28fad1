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
//
// The trade book of an exact Position is also kept out of the collector's
// way while nothing in it can be part of a cycle: the host tracks a dict as
// soon as it holds any object the collector may have to traverse, a Trade
// included, even one that is itself untracked because it holds only atomic
// values. Such a book is untracked here when every entry is either atomic
// (CPython's own rule: no GC object but an untracked exact tuple) or an
// untracked exact Trade under an atomic key whose only folding book is this
// dict (`book == dict`, not `shared`). That rule keeps holding for as long
// as the dict stays untracked, because every way it could break tracks the
// dict first:
// - an insert of a trackable value: the host tracks the dict itself; the
//   book's own append untracks it again while no entry needs the collector
//   (which the fold keeps track of);
// - any other change to the dict (the watcher): tracked, until the next fold;
// - a trade of the book given a trackable field value (trade_changing): its
//   book is tracked before the assignment completes; a trade of more than
//   one book never stays in an untracked one;
// - a trade folded into a second dict (it becomes shared): its first book is
//   tracked (and refolded).
// A book's dict is only ever looked up by identity in the table of live
// states, so a trade naming a dict that has since been freed touches nothing.
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
    // equality) leaves the state stale instead. `adopt`: the dict is the
    // book of an exact Position (see adopt()).
    void append(PyObject *trades, PyObject *key, PyObject *trade, bool adopt);

    // The store's change record (see pysem/record_codec.h).
    static Py_ssize_t changes_since(PyObject *mapping, const zelph_items_mark *since, zelph_items_mark *now,
                                    PyObject **keys, PyObject **values, int *kinds, Py_ssize_t max);

    // A field of `trade` (the record inside `self`) is about to be given
    // `value` (nullptr: deleted, or cleared by the collector); orderid: its
    // key changes too, which the change record cannot express.
    static void trade_changing(PyObject *self, Trade *trade, bool orderid, PyObject *value);

    // `trades` became the trade book of an exact Position (constructed with
    // it, given it, rebuilt by the store, or appended to): from now on the
    // dict is left untracked while nothing in it needs the collector. Never
    // raises: when no state can be kept, the dict simply stays tracked.
    static void adopt(PyObject *trades) noexcept;

    // Called by the dict watcher.
    void changed_outside();

private:
    explicit KeptBook(PyObject *dict) : dict_(dict) {}
    void rebuild();
    void fold_in(PyObject *key, PyObject *value);
    // Tracks or untracks the dict to match what the (current) fold found.
    void settle();
    // A trade `book` folded changed in a way its fold cannot follow: track
    // that dict, when it is still alive, and leave its state stale.
    static void hold(PyObject *book);
    void log(PyObject *key, PyObject *value, int kind);
    bool run_alive() const;

    PyObject *dict_;
    bool current_ = false;
    uint64_t epoch_ = 0;    // global epoch of the fold
    uint64_t changes_ = 0;  // bumped by every change the book did not make
    BookFold fold_;
    // Whether some entry needs the collector (see above), found by the fold.
    bool held_ = false;
    bool adopted_ = false;  // the trades of an exact Position

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
