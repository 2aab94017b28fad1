// What happened to a trade book since a given moment, so that whoever wrote
// the book out (the store) can write the entries that changed and nothing
// else.
//
// A run is a stretch of the book's life during which every change is one it
// can name: a trade appended under its order id, or a trade already in the
// book whose fields were reassigned. Anything else (an entry removed or
// replaced, a change the book did not make itself, a trade it shares with
// another book) ends the run: from then on nothing can be told until a new
// run starts, and the reader compares every entry instead. A mark names a
// point in a run; run ids are never reused within the process.
#pragma once
#include <Python.h>
#include <cstdint>

namespace ordermgr {

struct BookMark {
    uint64_t run = 0, seq = 0;  // run 0: no run
};

enum class BookEdit : unsigned char {
    Appended,    // a trade added at the end, under `key`
    Reassigned,  // the trade held under `key` had fields reassigned
};

struct BookEntryChange {
    BookEdit edit = BookEdit::Appended;
    // Borrowed: the key is in the book (or is the orderid of the trade held
    // under it) for as long as the run lasts; the trade is only compared by
    // identity.
    PyObject *key = nullptr, *trade = nullptr;
};

class BookChanges {
public:
    // The store writes a book back after every change it makes: a change or
    // two is what a run has to tell; more, and the reader compares.
    static constexpr int kCapacity = 2;

    bool running() const { return run_ != 0; }
    BookMark now() const { return {run_, seq_}; }

    void start(uint64_t run) {
        run_ = run;
        seq_ = 0;
    }
    void end() { run_ = 0; }
    void note(BookEdit edit, PyObject *key, PyObject *trade) {
        if (!run_) return;
        log_[seq_ % kCapacity] = BookEntryChange{edit, key, trade};
        ++seq_;
    }

    // The changes since `mark`, oldest first, into out[0..max): their number,
    // or -1 when they cannot be told (another run, or more than fit).
    Py_ssize_t since(const BookMark &mark, BookEntryChange *out, Py_ssize_t max) const;

private:
    uint64_t run_ = 0, seq_ = 0;
    BookEntryChange log_[kCapacity];
};

}  // namespace ordermgr
