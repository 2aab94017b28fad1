#include "model/kept_book.h"

#include "pysem/ref.h"
#include <new>
#include <utility>

#include "model/identity_table.h"
#include "model/module_ns.h"
#include "model/trade.h"

namespace ordermgr {
using pysem::borrow;
using pysem::Error;
using pysem::none;
using pysem::Ref;
using pysem::steal;

namespace {

// The dict watcher: its id, the live books it serves by dict identity, and
// the next change-record run id. The table is allocated once and never
// destroyed: dicts are still deallocated (and reported to the watcher) while
// the interpreter shuts down. A book does not move while it exists.
struct BookWatch {
    int id = -1;
    IdentityTable<KeptBook> *books = nullptr;
    uint64_t next_run = 1;
    PyObject *namespace_dict = nullptr;  // the module's, watched for module_ns.h

    KeptBook *find(PyObject *dict) const { return books->find(dict); }
} book_watch;

}  // namespace

int on_dict_event(PyDict_WatchEvent event, PyObject *dict, PyObject *key, PyObject *value) {
    if (dict == book_watch.namespace_dict) {  // (it may serve as a book as well)
        if (event == PyDict_EVENT_DEALLOCATED) book_watch.namespace_dict = nullptr;
        namespace_changed(event == PyDict_EVENT_DEALLOCATED);
    }
    KeptBook *b = book_watch.books->find(dict);
    if (!b) return 0;
    if (event == PyDict_EVENT_DEALLOCATED) {
        book_watch.books->erase(dict);
        return 0;
    }
    if (event == PyDict_EVENT_ADDED && b->kept_ && key == b->kept_->appending_key &&
        value == b->kept_->appending_value) {
        b->kept_->appending_key = b->kept_->appending_value = nullptr;  // the book's own append
        return 0;
    }
    b->changed_outside();
    return 0;
}

void install_book_watcher() {
    if (book_watch.id >= 0) return;
    // Without a watcher (the interpreter's few are all taken) nothing is
    // kept: every figure is computed afresh on every read.
    book_watch.id = PyDict_AddWatcher(on_dict_event);
    if (book_watch.id < 0) {
        PyErr_Clear();
        return;
    }
    book_watch.books = new IdentityTable<KeptBook>();
}

bool watch_namespace(PyObject *dict) {
    if (book_watch.id < 0) return false;
    if (PyDict_Watch(book_watch.id, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    book_watch.namespace_dict = dict;
    return true;
}

const KeptBook *KeptBook::find(PyObject *trades) {
    if (!PyDict_CheckExact(trades) || book_watch.id < 0) return nullptr;
    return book_watch.find(trades);
}

KeptBook *KeptBook::watch(PyObject *trades) {
    if (!PyDict_CheckExact(trades) || book_watch.id < 0) return nullptr;
    // One lookup: the entry is made in place, and taken out again when the
    // dict cannot be watched.
    bool made;
    KeptBook *b = book_watch.books->emplace(trades, made);
    if (made && PyDict_Watch(book_watch.id, trades) < 0) {
        book_watch.books->erase(trades);
        throw Error();
    }
    return b;
}

KeptBook *KeptBook::of(PyObject *trades, bool own) {
    KeptBook *b = watch(trades);
    if (!b) return nullptr;
    if (own && !b->tracking_.adopted()) {
        b->tracking_.adopt();
        if (b->current_) b->tracking_.settle(trades);
    }
    if (b->current_) {
        if (b->kept_->fold.count == PyDict_GET_SIZE(trades)) return b;
        b->kept_->changes.end();  // a change went unseen: trust nothing kept
    }
    b->refold();
    return b;
}

void KeptBook::refold() {
    if (!kept_) kept_ = new Kept();
    bool keep_run = kept_->changes.running();
    pass(true);
    current_ = true;
    BookChanges &changes = kept_->changes;
    if (!kept_->fold.exact_trades)
        changes.end();
    else if (!keep_run || !changes.running())
        changes.start(book_watch.next_run++);
}

void KeptBook::pass(bool fold) {
    // Nothing in here runs Python code: the dict cannot change under it.
    if (fold) kept_->fold = BookFold();
    tracking_.restart();
    claimed_all_ = true;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict_, &pos, &k, &v)) {
        // A default timestamp is made before the trade is claimed (its word
        // then names the book); a pass that does not fold reads no further
        // into a trade whose word is free.
        Trade *t = trade_class.exact<Trade>(v);
        Trade *whole = t && (fold || t->word.pending()) ? whole_trade(v) : nullptr;
        bool own = t && !t->word.pending() && claim(t);
        if (fold) {
            if (own && whole)
                kept_->fold.add(*whole);
            else
                kept_->fold.add_other();
        }
        tracking_.saw(k, v, own);
        claimed_all_ = claimed_all_ && own;
    }
    tracking_.settle(dict_);
}

bool KeptBook::claim(Trade *t) {
    TradeWord &w = t->word;
    if (w.shared()) return false;
    if (!w.book() || w.book() == dict_) {
        w.link(dict_);
        return true;
    }
    if (KeptBook *first = book_watch.find(w.book())) {
        w.share();
        first->lose_trade();
        return false;
    }
    w.link(dict_);  // its first book is gone
    return true;
}

void KeptBook::lose_trade() {
    current_ = claimed_all_ = false;
    if (kept_) kept_->changes.end();
    BookTracking::release(dict_);
}

void KeptBook::adopt(PyObject *trades) noexcept {
    // A book made without its figures read keeps its collector policy alone.
    // An empty one is watched too: filled from another untracked book by
    // `update` (a clone, which the host leaves untracked), it must be seen.
    if (!PyDict_CheckExact(trades) || book_watch.id < 0) return;
    try {
        // The collector's part only: the figures are folded when first read.
        KeptBook *b = watch(trades);
        b->tracking_.adopt();
        if (b->current_)
            b->tracking_.settle(trades);
        else
            b->pass(false);
    } catch (Error &) {
        // No state kept: the dict stays tracked, as any dict is.
        PyErr_Clear();
    } catch (const std::bad_alloc &) {
    }
}

const BookChanges *KeptBook::start_changes(PyObject *trades) noexcept {
    KeptBook *b = PyDict_CheckExact(trades) && book_watch.id >= 0 ? book_watch.find(trades) : nullptr;
    if (!b) return nullptr;
    if (!b->kept_) {
        if (!b->claimed_all_) return nullptr;
        // The fold is made by the first read of a figure (current_ stays
        // false); the run goes on through it.
        b->kept_ = new (std::nothrow) Kept();
        if (!b->kept_) return nullptr;
        b->kept_->changes.start(book_watch.next_run++);
    }
    return b->kept_->changes.running() ? &b->kept_->changes : nullptr;
}

void KeptBook::changed_outside() {
    current_ = claimed_all_ = false;
    ++outside_;
    if (kept_) kept_->changes.end();
    // Whatever the change brought in (a clone of another untracked dict is
    // not tracked by the host), the dict is left to the collector until the
    // next fold has looked at it.
    BookTracking::release(dict_);
}

void KeptBook::append(PyObject *trades, PyObject *key, PyObject *trade, bool adopt) {
    if (adopt) tracking_.adopt();
    uint32_t before = outside_;
    kept_->appending_key = key;
    kept_->appending_value = trade;
    int r = PyDict_SetItem(trades, key, trade);
    kept_->appending_key = kept_->appending_value = nullptr;
    if (r < 0) throw Error();
    if (outside_ != before || !current_) return;  // something else changed too: refolded on the next read
    // The host tracked the dict for the trade; untracked again while still
    // no entry needs the collector.
    Trade *whole = whole_trade(trade);
    Trade *t = whole ? whole : trade_class.exact<Trade>(trade);
    bool own = t && !t->word.pending() && claim(t);
    if (own && whole)
        kept_->fold.add(*whole);
    else
        kept_->fold.add_other();
    tracking_.saw(key, trade, own);
    tracking_.settle(dict_);
    if (!kept_->fold.exact_trades) kept_->changes.end();
    kept_->changes.note(BookEdit::Appended, key, trade);
}

void KeptBook::trade_changing(PyObject *self, Trade *t, bool orderid, PyObject *value) {
    // No fold and no run depends on a shared trade (nor on one in no book).
    TradeWord &w = t->word;
    if (!w.book() || w.shared()) return;
    KeptBook *b = book_watch.id >= 0 ? book_watch.find(w.book()) : nullptr;
    if (!b) {
        w.clear();
        return;
    }
    b->current_ = false;
    // The trade is about to be tracked: its book must be, first.
    BookTracking::before_trade_holds(b->dict_, value);
    // The change record names the trade by its orderid, borrowed: only when
    // the book holds it under that very key, which stays there as long as
    // the run lasts (a key of a kind whose lookup runs no Python code).
    PyObject *key = t->orderid.ptr();
    bool listed = !orderid && key && (PyLong_CheckExact(key) || PyUnicode_CheckExact(key));
    if (listed) {
        PyObject *held = PyDict_GetItemWithError(b->dict_, key);
        if (!held) PyErr_Clear();
        listed = held == self;
    }
    if (!b->kept_) {
        b->claimed_all_ = false;  // no record to list it in
        return;
    }
    if (listed)
        b->kept_->changes.note(BookEdit::Reassigned, key, self);
    else
        b->kept_->changes.end();
}

}  // namespace ordermgr
