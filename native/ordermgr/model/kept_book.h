// A trade book kept between reads.
//
// For an exact dict that serves as a trade book, three things are kept
// beside it (keyed by its identity, so that positions sharing one dict share
// them): whether the collector must see it (book_tracking.h), and, once a
// figure has been read or a trade appended, its fold (book_fold.h) and its
// change record (book_changes.h); a book the store rebuilt from rows it knew
// gets the change record alone (start_changes), the fold when first read.
// The book's own append extends them in O(1); a figure read from a current
// fold is exactly what a fresh pass gives. A book that is only held (a
// portfolio loaded and not yet read) keeps a few words, not its figures.
//
// A fold is current only while nothing it depends on has changed:
// - the dict is watched (a dict watcher): any change the book did not make
//   itself (insert, replace, delete, pop, clear, update, ...) marks it stale
//   and ends the change record's run;
// - an exact Trade remembers the one book that folded it; assigning any of
//   its fields marks that book stale (and lists the trade in the change
//   record when it can). A trade that turns up in a second book is shared:
//   its first book is marked stale, and no fold and no run depends on a
//   shared trade from then on (those books take the generic path).
// A stale fold is rebuilt by the next read. A book is only ever looked up by
// identity in the watcher's table of live books, so a trade naming a dict
// that has since been freed touches nothing.
//
// The one piece of process-wide state is the watcher itself: its id, its
// table of live books, the counter of change-record runs and the one other
// dict it watches, the module's namespace (book_watch in kept_book.cpp).
// The interpreter calls a dict watcher without context, so that is where
// the callback finds the book of a dict.
#pragma once
#include <Python.h>
#include <cstdint>

#include "model/book_changes.h"
#include "model/book_fold.h"
#include "model/book_tracking.h"

namespace ordermgr {

struct Trade;

class KeptBook {
public:
    // The kept state of an exact dict, current (refolded when stale);
    // nullptr for anything else, or when no dict watcher is available.
    // `own`: the dict is the book of an exact Position (see adopt()).
    static KeptBook *of(PyObject *trades, bool own = false);
    // The state as it stands, never refolded (nullptr when there is none).
    // Runs no Python code, raises nothing.
    static const KeptBook *find(PyObject *trades);

    // Only for a book that of() returned.
    const BookFold &fold() const { return kept_->fold; }
    // The change record; null before the first fold (or start_changes).
    const BookChanges *changes() const { return kept_ ? &kept_->changes : nullptr; }
    // The running change record of `trades`' book. A book adopted and not
    // folded yet has none: one starts now when every change since the
    // adoption's pass would have been seen (every entry an exact Trade this
    // book claimed, nothing changed since), so that whoever asks can tell
    // from now on. Runs no Python code, raises nothing; nullptr when there
    // is no record and none can start.
    static const BookChanges *start_changes(PyObject *trades) noexcept;
    // Whether the fold still describes the dict.
    bool current() const { return current_ && kept_ && kept_->fold.count == PyDict_GET_SIZE(dict_); }

    // Stores trades[key] = trade (key not present) and folds the trade in.
    // Any other change that happens meanwhile (code run by the key's hash or
    // equality) leaves the state stale instead. `adopt`: the dict is the
    // book of an exact Position (BookTracking::adopt).
    void append(PyObject *trades, PyObject *key, PyObject *trade, bool adopt);

    // A field of `trade` (the record inside `self`) is about to be given
    // `value` (nullptr: deleted, or cleared by the collector); `orderid`:
    // its key changes too, which the change record cannot express.
    static void trade_changing(PyObject *self, Trade *trade, bool orderid, PyObject *value);

    // `trades` became the trade book of an exact Position (constructed with
    // it, given it, rebuilt by the store): from now on the dict is left
    // untracked while nothing in it needs the collector. Never raises: when
    // no state can be kept, the dict simply stays tracked.
    static void adopt(PyObject *trades) noexcept;

private:
    // What a book keeps once it has been folded.
    struct Kept {
        BookFold fold;
        BookChanges changes;
        // The insertion the book is making right now (its own append).
        PyObject *appending_key = nullptr, *appending_value = nullptr;
    };

    // The book of `trades`, watched from now on; nullptr without a watcher.
    static KeptBook *watch(PyObject *trades);
    void refold();
    // One pass over the entries: their trades claimed and the collector's
    // part decided; folded as well when `fold`.
    void pass(bool fold);
    // Whether `t` belongs to this book alone, linking it when it belongs to none.
    bool claim(Trade *t);
    // A trade this book folded turned up in another book.
    void lose_trade();
    void changed_outside();

    PyObject *dict_;
    uint32_t outside_ = 0;  // changes the book did not make itself (counted modulo 2**32)
    bool current_ = false;
    // The last pass claimed every entry, an exact Trade each, and nothing
    // changed since (only looked at while there is no change record).
    bool claimed_all_ = false;
    BookTracking tracking_;
    Kept *kept_ = nullptr;  // owned; made by the first fold or start_changes

public:
    // Made in the watcher's table only (watch()).
    explicit KeptBook(PyObject *dict) : dict_(dict) {}
    ~KeptBook() { delete kept_; }
    KeptBook(const KeptBook &) = delete;
    KeptBook &operator=(const KeptBook &) = delete;

    friend int on_dict_event(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *);
};

// Installs the dict watcher; once, at module initialisation.
void install_book_watcher();

// The same watcher also reports every change to the module's namespace
// (`dict`) to module_ns.h's namespace_changed(). False, with nothing
// watched, when there is no watcher.
bool watch_namespace(PyObject *dict);

}  // namespace ordermgr
