#include "model/kept_book.h"

#include <nanobind/nanobind.h>
#include <unordered_map>

#include "model/payload.h"
#include "model/trade.h"
#include "pysem/datetime_key.h"
#include "pysem/fields.h"
#include "pysem/num.h"

namespace ordermgr {
namespace nb = nanobind;
using pysem::Num;

namespace {

// Kept states by dict identity. Allocated once and never destroyed: dicts
// are still deallocated (and reported to the watcher) while the interpreter
// shuts down.
std::unordered_map<PyObject *, KeptBook *> &books() {
    static auto *m = new std::unordered_map<PyObject *, KeptBook *>();
    return *m;
}

int watcher_id = -1;
// Bumped when a trade folded into more than one dict changes: every kept
// fold and run older than it is stale.
uint64_t global_epoch = 1;
uint64_t next_run = 1;

// The one dict event the book is making itself right now.
struct Expected {
    PyObject *dict = nullptr, *key = nullptr, *value = nullptr;
} expected;

// An exact Trade whose fields are all set, else nullptr. (Reading the
// timestamp makes a pending default one; should that fail, the generic path
// reports it when a figure reads the field.)
Trade *full_trade(PyObject *v) {
    Trade *t = Payload<Trade>::of_exact(v);
    if (!t || !t->orderid.ptr() || !t->price.ptr() || !t->qty.ptr() || !t->commission.ptr()) return nullptr;
    if (!t->timestamp.ptr()) {
        PyErr_Clear();
        return nullptr;
    }
    return t;
}

bool sum_add(pysem::NativeSum &sum, PyObject *x) {
    if (PyFloat_CheckExact(x)) return sum.add(false, 0, PyFloat_AS_DOUBLE(x));
    if (!PyLong_CheckExact(x)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(x, &overflow);
    return !overflow && sum.add(true, v, 0.0);
}

bool native_number(PyObject *x) { return PyFloat_CheckExact(x) || PyLong_CheckExact(x); }

}  // namespace

int on_dict_event(PyDict_WatchEvent event, PyObject *dict, PyObject *key, PyObject *value) {
    if (event == PyDict_EVENT_ADDED && dict == expected.dict && key == expected.key && value == expected.value) {
        expected.dict = nullptr;  // the book's own append
        return 0;
    }
    auto &m = books();
    auto it = m.find(dict);
    if (it == m.end()) return 0;
    if (event == PyDict_EVENT_DEALLOCATED) {
        delete it->second;
        m.erase(it);
        return 0;
    }
    it->second->changed_outside();
    return 0;
}

void install_book_watcher() {
    if (watcher_id >= 0) return;
    // Without a watcher (the interpreter's few are all taken) nothing is
    // kept: every figure is computed afresh on every read.
    watcher_id = PyDict_AddWatcher(on_dict_event);
    if (watcher_id < 0) PyErr_Clear();
}

void BookFold::add(PyObject *value) {
    ++count;
    Trade *t = full_trade(value);
    if (!t) {
        exact_trades = qty_ok = commission_ok = average_ok = started_ok = plain_ok = false;
        return;
    }
    if (plain_ok) plain_ok = plain.add(*t);
    PyObject *p = t->price.ptr(), *q = t->qty.ptr(), *c = t->commission.ptr(), *ts = t->timestamp.ptr();
    if (qty_ok) qty_ok = sum_add(qty, q);
    if (commission_ok) commission_ok = sum_add(commission, c);
    if (average_ok) {
        if (!native_number(p) || !native_number(q) || !native_number(c)) {
            average_ok = false;
        } else if (PyFloat_CheckExact(p) && PyFloat_CheckExact(q) && PyFloat_CheckExact(c)) {
            double qd = PyFloat_AS_DOUBLE(q), cd = PyFloat_AS_DOUBLE(c);
            pq += PyFloat_AS_DOUBLE(p) * qd + (qd > 0 ? cd : -cd);
            tq += qd;
        } else {
            // Ints (exactly as the host computes them, big intermediates
            // included); anything that would raise is left to the fresh fold.
            try {
                Num price = Num::of(p), n = Num::of(q), commission = Num::of(c);
                Num npq = Num::of_double(pq) + signed_cost(price, n, commission);
                Num ntq = Num::of_double(tq) + n;
                if (npq.is_float() && ntq.is_float()) {
                    pq = npq.as_double();
                    tq = ntq.as_double();
                } else {
                    average_ok = false;
                }
            } catch (nb::python_error &) {
                average_ok = false;
            }
        }
    }
    if (started_ok) {
        int64_t key;
        if (!pysem::datetime_order_key(ts, &tzinfo, &key)) {
            started_ok = false;
        } else if (!earliest || key < earliest_key) {
            earliest = ts;
            earliest_key = key;
        }
    }
}

KeptBook *KeptBook::of(PyObject *trades) {
    if (!PyDict_CheckExact(trades) || watcher_id < 0) return nullptr;
    auto &m = books();
    auto it = m.find(trades);
    KeptBook *b;
    if (it != m.end()) {
        b = it->second;
        if (b->current_ && b->epoch_ == global_epoch) {
            if (b->fold_.count == PyDict_GET_SIZE(trades)) return b;
            b->run_ = 0;  // a change went unseen: trust nothing kept
        }
    } else {
        if (PyDict_Watch(watcher_id, trades) < 0) throw nb::python_error();
        b = new KeptBook(trades);
        m.emplace(trades, b);
    }
    b->rebuild();
    return b;
}

void KeptBook::rebuild() {
    bool new_run = !run_alive();
    // Nothing in here runs Python code: the dict cannot change under it.
    fold_ = BookFold();
    held_ = false;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict_, &pos, &k, &v)) fold_in(k, v);
    current_ = true;
    epoch_ = global_epoch;
    if (new_run || !run_alive()) {
        run_ = fold_.exact_trades ? next_run++ : 0;
        run_epoch_ = global_epoch;
        seq_ = 0;
    }
    settle();
}

void KeptBook::fold_in(PyObject *key, PyObject *value) {
    fold_.add(value);
    Trade *t = Payload<Trade>::of_exact(value);
    if (t) {
        if (!t->book) {
            t->book = dict_;
        } else if (t->book != dict_ && !t->shared) {
            t->shared = true;
            hold(t->book);
        }
    }
    // Left to the collector: a key it may have to see, or a value it may
    // have to see other than an untracked trade of this book alone.
    if (!held_) {
        bool ours = t && t->book == dict_ && !t->shared && !PyObject_GC_IsTracked(value);
        held_ = pysem::may_be_tracked(key) || (!ours && pysem::may_be_tracked(value));
    }
}

void KeptBook::settle() {
    if (!held_) {
        if (adopted_) PyObject_GC_UnTrack(dict_);  // (a no-op when not tracked)
    } else if (!PyObject_GC_IsTracked(dict_)) {
        // Entries that need the collector in an untracked dict: a copy the
        // host made of an untracked book (it copies the tracking as well).
        PyObject_GC_Track(dict_);
    }
}

void KeptBook::hold(PyObject *book) {
    auto &m = books();
    auto it = m.find(book);
    if (it == m.end()) return;  // freed since: no dict to mind
    KeptBook *b = it->second;
    b->current_ = false;
    if (!PyObject_GC_IsTracked(b->dict_)) PyObject_GC_Track(b->dict_);
}

void KeptBook::adopt(PyObject *trades) noexcept {
    if (!PyDict_CheckExact(trades) || watcher_id < 0) return;
    try {
        KeptBook *b = of(trades);
        b->adopted_ = true;
        b->settle();
    } catch (const std::exception &) {
        // No state kept: the dict stays tracked, as any dict is.
        PyErr_Clear();
    }
}

bool KeptBook::current() const {
    return current_ && epoch_ == global_epoch && fold_.count == PyDict_GET_SIZE(dict_);
}

bool KeptBook::run_alive() const { return run_ != 0 && run_epoch_ == global_epoch; }

void KeptBook::changed_outside() {
    current_ = false;
    ++changes_;
    run_ = 0;
    // Whatever the change brought in (a clone of another untracked dict is
    // not tracked by the host), the dict is left to the collector until the
    // next fold has looked at it.
    if (!PyObject_GC_IsTracked(dict_)) PyObject_GC_Track(dict_);
}

void KeptBook::log(PyObject *key, PyObject *value, int kind) {
    if (!run_alive()) return;
    log_[seq_ % kLog] = Change{key, value, kind};
    ++seq_;
}

void KeptBook::append(PyObject *trades, PyObject *key, PyObject *trade, bool adopt) {
    if (adopt) adopted_ = true;
    uint64_t before = changes_;
    expected = Expected{trades, key, trade};
    int r = PyDict_SetItem(trades, key, trade);
    expected = Expected{};
    if (r < 0) throw nb::python_error();
    if (changes_ != before || !current_) return;  // something else changed too: rebuilt on the next read
    // The host tracked the dict for the trade; untracked again while still
    // no entry needs the collector.
    fold_in(key, trade);
    settle();
    if (!fold_.exact_trades) run_ = 0;
    log(key, trade, ZELPH_ITEM_APPENDED);
}

void KeptBook::trade_changing(PyObject *self, Trade *t, bool orderid, PyObject *value) {
    if (!t->book) return;
    if (t->shared) {
        ++global_epoch;  // (a shared trade is in no untracked book)
        return;
    }
    auto &m = books();
    auto it = m.find(t->book);
    if (it == m.end()) {
        t->book = nullptr;
        return;
    }
    KeptBook *b = it->second;
    b->current_ = false;
    // The trade is about to be tracked: its book must be, first.
    if (pysem::may_be_tracked(value) && !PyObject_GC_IsTracked(b->dict_)) PyObject_GC_Track(b->dict_);
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
        b->log(key, self, ZELPH_ITEM_MODIFIED);
    else
        b->run_ = 0;
}

Py_ssize_t KeptBook::changes_since(PyObject *mapping, const zelph_items_mark *since, zelph_items_mark *now,
                                   PyObject **keys, PyObject **values, int *kinds, Py_ssize_t max) {
    now->run = 0;
    now->seq = 0;
    if (!PyDict_CheckExact(mapping)) return -1;
    auto &m = books();
    auto it = m.find(mapping);
    if (it == m.end()) return -1;
    KeptBook *b = it->second;
    if (!b->run_alive()) return -1;
    now->run = b->run_;
    now->seq = b->seq_;
    if (since->run != b->run_ || since->seq > b->seq_) return -1;
    uint64_t n = b->seq_ - since->seq;
    if (n > (uint64_t) kLog || n > (uint64_t) max) return -1;
    for (uint64_t i = 0; i < n; ++i) {
        const Change &c = b->log_[(since->seq + i) % kLog];
        keys[i] = c.key;
        values[i] = c.value;
        kinds[i] = c.kind;
    }
    return (Py_ssize_t) n;
}

}  // namespace ordermgr
