// The whole-map read of an SQLite store (LoadAll) with its reading done
// ahead: a worker thread steps the statements, copies the rows and checks
// their checksums, and hands them over in batches through two slots, while
// the interpreter's thread decodes the rows already read. The worker never
// touches Python; the interpreter's thread waits for it without the GIL,
// and only when it is behind.
//
// The connection is used by one thread at a time: the worker alone while it
// runs (the store's operations refuse re-entry; anything else on the
// connection stops the worker first, see SqliteDb::quiesce), then the
// interpreter's thread, which reads the rest of the scan itself. An error
// of SQLite is raised on the interpreter's thread, in the order of the rows,
// once the worker is stopped. A fork() waits for the worker to stand still
// between two batches: the child reads the rest itself.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace dualcache {

class SqliteDb;
class MergedScan;

// From this many entries to read, a whole-map read reads ahead (below,
// starting the thread costs more than it saves). Tests lower it.
inline size_t prefetch_from = 4096;
// Rows per batch handed over (tests lower it to make many handovers).
inline size_t prefetch_batch_rows = 4096;

// One row of LoadAll, its checksum checked when the rows carry them.
struct ScanRow {
    enum Check : uint8_t { Unchecked, Sound, Damaged };
    int64_t id = 0;
    bool item = false;
    int64_t ord = 0;      // an item's order number
    int64_t version = 0;  // an entry's version
    Check check = Unchecked;
    uint32_t crc = 0;          // an item's checksum (Sound)
    std::string_view ikey;     // an item's key, as stored
    std::string_view stored;   // the value, as stored
    std::string_view payload;  // the value without its checksum (Sound)

    // The row a LoadAll cursor stands on, unchecked (its columns: entry id,
    // kind, an item's order number, an entry's version, an item's key, the
    // value). The views are the cursor's until it steps.
    template <typename Columns>
    void read(const Columns &c) {
        id = c.int64(0);
        item = c.int64(1) != 0;
        if (item) {
            ord = c.int64(2);
            ikey = c.blob(4);
        } else {
            version = c.int64(3);
        }
        stored = c.blob(5);
        check = Unchecked;
    }
};

class PrefetchScan {
public:
    // Starts the worker on `scan` (the rows of map `map`; `sealed`: they
    // carry checksums). The scan belongs to the worker until it stops.
    PrefetchScan(SqliteDb &db, MergedScan &scan, int64_t map, bool sealed);
    // Stops and joins the worker, and forgets the scan's rows.
    ~PrefetchScan();
    PrefetchScan(const PrefetchScan &) = delete;
    PrefetchScan &operator=(const PrefetchScan &) = delete;

    // The next row (valid until the next call), or false at the end. With
    // the GIL. Raises the StoreError of a failed step after the rows before
    // it, the worker stopped.
    bool next(ScanRow &row);
    // Stops the worker and joins it: the rows it has not read are then read
    // on the calling thread. With the GIL.
    void stop() noexcept;

    // fork() handlers (see prefetch_scan.cpp).
    void pause_for_fork() noexcept;
    void resume_after_fork() noexcept;
    void forked() noexcept { forked_ = true; }

private:
    struct Row {
        int64_t id, ord, version;
        uint32_t crc;
        bool item;
        ScanRow::Check check;
        size_t ikey_at, ikey_len, stored_at, stored_len, payload_len;
    };
    struct Batch {
        std::vector<Row> rows;
        std::string bytes;  // the rows' keys and values
        bool end = false;        // the scan ended after these rows
        bool no_memory = false;  // reading failed for want of memory
        int rc = 0;              // SQLite's error after these rows (0: none)
        int code = 0;
        std::string message;
        bool final() const { return end || no_memory || rc; }
        void clear();
    };
    void work() noexcept;
    // Reads rows into `b` until it is full, the scan ends or fails, or (on
    // the worker) it is asked to stop.
    void fill(Batch &b, bool worker) noexcept;
    void add_row(Batch &b);
    Batch *take();
    void release(Batch &b);
    void wait_for_worker();

    SqliteDb &db_;
    MergedScan &scan_;
    int64_t map_;
    bool sealed_;
    size_t batch_rows_;

    // Shared with the worker, under m_.
    std::mutex m_;
    // Held by pointer: in a child of fork() the worker may still be counted
    // as waiting on it, and destroying it there would wait for that thread
    // forever (the child lets it go instead).
    std::unique_ptr<std::condition_variable> cv_ = std::make_unique<std::condition_variable>();
    Batch slots_[2];
    bool full_[2] = {false, false};
    bool done_ = false;  // the worker has returned
    bool idle_ = false;  // the worker waits (or has returned): it holds nothing
    std::atomic<bool> stop_{false}, pause_{false};

    std::unique_ptr<std::thread> worker_;
    bool forked_ = false;  // this is a child of fork(): the worker is not in this process
    bool reserving_ = false;  // the arena reserve counts this read (until it is destroyed)
    int reading_ = 0;      // the slot the interpreter's thread reads next
    Batch own_;            // rows read on the interpreter's thread
    Batch *cur_ = nullptr;
    size_t pos_ = 0;
};

}  // namespace dualcache
