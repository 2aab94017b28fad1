#include "model/kept_book.h"

#include "pysem/ref.h"
#include <new>
#include <unordered_map>

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
// the interpreter shuts down.
struct BookWatch {
    int id = -1;
    std::unordered_map<PyObject *, KeptBook *> *books = nullptr;
    uint64_t next_run = 1;

    KeptBook *find(PyObject *dict) const {
        auto it = books->find(dict);
        return it == books->end() ? nullptr : it->second;
    }
} book_watch;

}  // namespace

int on_dict_event(PyDict_WatchEvent event, PyObject *dict, PyObject *key, PyObject *value) {
    auto it = book_watch.books->find(dict);
    if (it == book_watch.books->end()) return 0;
    KeptBook *b = it->second;
    if (event == PyDict_EVENT_DEALLOCATED) {
        delete b;
        book_watch.books->erase(it);
        return 0;
    }
    if (event == PyDict_EVENT_ADDED && key == b->appending_key_ && value == b->appending_value_) {
        b->appending_key_ = b->appending_value_ = nullptr;  // the book's own append
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
    book_watch.books = new std::unordered_map<PyObject *, KeptBook *>();
}

const KeptBook *KeptBook::find(PyObject *trades) {
    if (!PyDict_CheckExact(trades) || book_watch.id < 0) return nullptr;
    return book_watch.find(trades);
}

KeptBook *KeptBook::of(PyObject *trades) {
    if (!PyDict_CheckExact(trades) || book_watch.id < 0) return nullptr;
    KeptBook *b = book_watch.find(trades);
    if (b) {
        if (b->current_) {
            if (b->fold_.count == PyDict_GET_SIZE(trades)) return b;
            b->changes_.end();  // a change went unseen: trust nothing kept
        }
    } else {
        if (PyDict_Watch(book_watch.id, trades) < 0) throw Error();
        b = new KeptBook(trades);
        book_watch.books->emplace(trades, b);
    }
    b->refold();
    return b;
}

void KeptBook::refold() {
    bool keep_run = changes_.running();
    // Nothing in here runs Python code: the dict cannot change under it.
    fold_ = BookFold();
    tracking_.restart();
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict_, &pos, &k, &v)) fold_in(k, v);
    current_ = true;
    if (!fold_.exact_trades)
        changes_.end();
    else if (!keep_run || !changes_.running())
        changes_.start(book_watch.next_run++);
    tracking_.settle(dict_);
}

bool KeptBook::claim(Trade *t) {
    if (t->shared) return false;
    if (!t->book || t->book == dict_) {
        t->book = dict_;
        return true;
    }
    if (KeptBook *first = book_watch.find(t->book)) {
        t->shared = true;
        first->lose_trade();
        return false;
    }
    t->book = dict_;  // its first book is gone
    return true;
}

void KeptBook::fold_in(PyObject *key, PyObject *value) {
    Trade *t = trade_class.exact<Trade>(value);
    bool own = t && claim(t);
    if (Trade *whole = own ? whole_trade(value) : nullptr)
        fold_.add(*whole);
    else
        fold_.add_other();
    tracking_.saw(key, value, own);
}

void KeptBook::lose_trade() {
    current_ = false;
    changes_.end();
    BookTracking::release(dict_);
}

void KeptBook::adopt(PyObject *trades) noexcept {
    if (!PyDict_CheckExact(trades) || book_watch.id < 0) return;
    try {
        KeptBook *b = of(trades);
        b->tracking_.adopt();
        b->tracking_.settle(trades);
    } catch (Error &) {
        // No state kept: the dict stays tracked, as any dict is.
        PyErr_Clear();
    } catch (const std::bad_alloc &) {
    }
}

void KeptBook::changed_outside() {
    current_ = false;
    ++outside_;
    changes_.end();
    // Whatever the change brought in (a clone of another untracked dict is
    // not tracked by the host), the dict is left to the collector until the
    // next fold has looked at it.
    BookTracking::release(dict_);
}

void KeptBook::append(PyObject *trades, PyObject *key, PyObject *trade, bool adopt) {
    if (adopt) tracking_.adopt();
    uint64_t before = outside_;
    appending_key_ = key;
    appending_value_ = trade;
    int r = PyDict_SetItem(trades, key, trade);
    appending_key_ = appending_value_ = nullptr;
    if (r < 0) throw Error();
    if (outside_ != before || !current_) return;  // something else changed too: refolded on the next read
    // The host tracked the dict for the trade; untracked again while still
    // no entry needs the collector.
    fold_in(key, trade);
    tracking_.settle(dict_);
    if (!fold_.exact_trades) changes_.end();
    changes_.note(BookEdit::Appended, key, trade);
}

void KeptBook::trade_changing(PyObject *self, Trade *t, bool orderid, PyObject *value) {
    // No fold and no run depends on a shared trade.
    if (!t->book || t->shared) return;
    KeptBook *b = book_watch.id >= 0 ? book_watch.find(t->book) : nullptr;
    if (!b) {
        t->book = nullptr;
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
    if (listed)
        b->changes_.note(BookEdit::Reassigned, key, self);
    else
        b->changes_.end();
}

}  // namespace ordermgr
