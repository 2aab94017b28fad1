#include "prefetch_scan.h"

#include <Python.h>
#include <pthread.h>
#include <sqlite3.h>

#include <algorithm>
#include <new>
#include <system_error>

#include "arena_reserve.h"
#include "corrupt_value.h"
#include "sealed.h"
#include "sqlite_db.h"

namespace dualcache {

// A batch: enough rows that handing it over costs little beside them (the
// worker, faster than the decoding, waits for a free slot after each batch,
// and waking a thread costs tens of microseconds on a virtual machine), few
// enough that decoding starts soon.
static constexpr size_t kBatchBytes = 1024 * 1024;

// --- fork() ---------------------------------------------------------------------
//
// Before a fork the workers are made to stand still between two batches
// (holding no lock, neither theirs nor SQLite's); the parent lets them go on,
// the child marks its scans as having no worker.

namespace {
std::mutex active_mutex;
std::vector<PrefetchScan *> active;

void before_fork() {
    active_mutex.lock();
    for (PrefetchScan *s : active) s->pause_for_fork();
}
void after_fork_parent() {
    for (PrefetchScan *s : active) s->resume_after_fork();
    active_mutex.unlock();
}
void after_fork_child() {
    for (PrefetchScan *s : active) s->forked();
    active.clear();
    active_mutex.unlock();
}
}  // namespace

void PrefetchScan::pause_for_fork() noexcept {
    std::unique_lock lk(m_);
    pause_ = true;
    cv_->wait(lk, [&] { return idle_; });
}

void PrefetchScan::resume_after_fork() noexcept {
    {
        std::lock_guard lk(m_);
        pause_ = false;
    }
    cv_->notify_all();
}

// --- the worker -----------------------------------------------------------------

void PrefetchScan::Batch::clear() {
    rows.clear();
    bytes.clear();
    end = no_memory = false;
    rc = code = 0;
    message.clear();
}

PrefetchScan::PrefetchScan(SqliteDb &db, MergedScan &scan, int64_t map, bool sealed)
    : db_(db), scan_(scan), map_(map), sealed_(sealed), batch_rows_(std::max<size_t>(prefetch_batch_rows, 1)) {
    static std::once_flag handlers;
    std::call_once(handlers, [] { pthread_atfork(before_fork, after_fork_parent, after_fork_child); });
    for (Batch &b : slots_) {
        b.rows.reserve(batch_rows_);
        b.bytes.reserve(kBatchBytes + 4096);
    }
    std::lock_guard lk(active_mutex);
    try {
        worker_ = std::make_unique<std::thread>([this] { work(); });
    } catch (const std::system_error &) {
        return;  // no thread to be had: the scan is read on this one
    }
    active.push_back(this);
    db_.prefetch_ = this;
    arena_reserve::begin();
    reserving_ = true;
}

PrefetchScan::~PrefetchScan() {
    stop();
    if (forked_) (void) cv_.release();  // (see cv_)
    if (reserving_) arena_reserve::end();
    db_.prefetch_ = nullptr;
    scan_.reset();
}

void PrefetchScan::work() noexcept {
    for (int k = 0;; k ^= 1) {
        bool ahead;
        {
            std::lock_guard lk(m_);
            ahead = full_[k];
        }
        // Ahead of the decoding: the time it would wait goes to the arenas
        // the decoding's objects will need.
        if (ahead) arena_reserve::top_up(stop_);
        {
            std::unique_lock lk(m_);
            idle_ = true;
            cv_->notify_all();
            cv_->wait(lk, [&] { return stop_ || (!pause_ && !full_[k]); });
            idle_ = false;
            if (stop_) break;
        }
        Batch &b = slots_[k];
        fill(b, true);
        {
            std::lock_guard lk(m_);
            full_[k] = true;
        }
        cv_->notify_all();
        if (b.final() || stop_) break;
    }
    std::lock_guard lk(m_);
    done_ = idle_ = true;
    cv_->notify_all();
}

void PrefetchScan::fill(Batch &b, bool worker) noexcept {
    b.clear();
    try {
        while (b.rows.size() < batch_rows_ && b.bytes.size() < kBatchBytes) {
            if (worker && stop_.load(std::memory_order_relaxed)) return;
            int rc = scan_.advance();
            if (rc == SQLITE_DONE) {
                b.end = true;
                return;
            }
            if (rc != SQLITE_ROW) {
                b.rc = rc;
                db_.error_text(rc, nullptr, b.message, b.code);
                return;
            }
            add_row(b);
        }
    } catch (...) {  // std::bad_alloc
        b.no_memory = true;
    }
}

void PrefetchScan::add_row(Batch &b) {
    ScanRow got;
    got.read(scan_);
    Row r{};
    r.id = got.id;
    r.item = got.item;
    r.ord = got.ord;
    r.version = got.version;
    std::string_view ikey = got.ikey, stored = got.stored;
    r.ikey_at = b.bytes.size();
    r.ikey_len = ikey.size();
    b.bytes.append(ikey);
    r.stored_at = b.bytes.size();
    r.stored_len = stored.size();
    b.bytes.append(stored);
    r.check = ScanRow::Unchecked;
    if (sealed_) {
        try {
            std::string_view payload = r.item ? sealed::open_item(stored, map_, r.ord, ikey, r.crc)
                                              : sealed::open_value(stored, map_);
            r.payload_len = payload.size();
            r.check = ScanRow::Sound;
        } catch (const CorruptValue &) {
            r.check = ScanRow::Damaged;
        }
    }
    b.rows.push_back(r);
}

// --- the interpreter's thread ---------------------------------------------------

void PrefetchScan::stop() noexcept {
    if (!worker_) return;
    if (forked_) {
        // The thread is not in this process: its handle is all there is.
        (void) worker_.release();
        return;
    }
    {
        std::lock_guard lk(m_);
        stop_ = true;
    }
    cv_->notify_all();
    worker_->join();
    worker_.reset();
    std::lock_guard lk(active_mutex);
    active.erase(std::remove(active.begin(), active.end(), this), active.end());
}

void PrefetchScan::wait_for_worker() {
    std::unique_lock lk(m_);
    if (full_[reading_] || done_) return;
    lk.unlock();
    Py_BEGIN_ALLOW_THREADS;
    {
        std::unique_lock wait(m_);
        cv_->wait(wait, [&] { return full_[reading_] || done_; });
    }
    Py_END_ALLOW_THREADS;
}

// The next batch in the scan's order.
PrefetchScan::Batch *PrefetchScan::take() {
    if (worker_ && forked_) stop();
    if (worker_) {
        wait_for_worker();
        std::unique_lock lk(m_);
        if (full_[reading_]) return &slots_[reading_];
        lk.unlock();
        stop();  // it stopped early: the rest is read here
    }
    if (full_[reading_]) return &slots_[reading_];
    fill(own_, false);
    return &own_;
}

void PrefetchScan::release(Batch &b) {
    if (&b == &own_) return;
    if (worker_) {
        {
            std::lock_guard lk(m_);
            full_[reading_] = false;
        }
        cv_->notify_all();
    } else {
        full_[reading_] = false;
    }
    reading_ ^= 1;
}

bool PrefetchScan::next(ScanRow &row) {
    for (;;) {
        if (cur_ && pos_ < cur_->rows.size()) {
            const Row &r = cur_->rows[pos_++];
            const char *base = cur_->bytes.data();
            row.id = r.id;
            row.item = r.item;
            row.ord = r.ord;
            row.version = r.version;
            row.check = r.check;
            row.crc = r.crc;
            row.ikey = std::string_view(base + r.ikey_at, r.ikey_len);
            row.stored = std::string_view(base + r.stored_at, r.stored_len);
            row.payload = row.stored.substr(0, r.payload_len);
            return true;
        }
        if (cur_) {
            Batch &b = *cur_;
            if (b.end) return false;
            if (b.no_memory || b.rc) {
                stop();
                if (b.no_memory) throw std::bad_alloc();
                db_.raise_error(b.code, b.message);
            }
            release(b);
            cur_ = nullptr;
        }
        cur_ = take();
        pos_ = 0;
    }
}

}  // namespace dualcache
