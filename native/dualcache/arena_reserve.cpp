#include "arena_reserve.h"

#include <Python.h>
#include <sys/mman.h>

#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

namespace dualcache::arena_reserve {

#ifndef Py_GIL_DISABLED

namespace {

// The interpreter's arena size (CPython 3.12 and 3.13 on 64-bit hosts);
// requests of any other size are passed on.
constexpr size_t kArena = size_t(1) << 20;
// Arenas kept ready: a few batches' worth of objects.
constexpr size_t kReady = 8;

// Under the GIL (the interpreter calls arena allocators with it held).
PyObjectArenaAllocator previous;
bool installed = false;
int readers = 0;                  // read-aheads drawing on the reserve
std::unordered_set<void *> mine;  // arenas of the reserve in use

// Shared with the workers.
std::mutex ready_mutex;
std::vector<void *> ready;
std::atomic<bool> wanted{false};  // a read-ahead runs: top_up() fills

char marker;  // identifies this allocator (its context)

void *allocate(void *, size_t size) {
    if (size == kArena) {
        void *arena = nullptr;
        {
            std::lock_guard lk(ready_mutex);
            if (!ready.empty()) {
                arena = ready.back();
                ready.pop_back();
            }
        }
        if (arena) {
            try {
                mine.insert(arena);
                return arena;
            } catch (const std::bad_alloc &) {
                munmap(arena, kArena);
            }
        }
    }
    return previous.alloc(previous.ctx, size);
}

void uninstall_when_unused() {
    if (!installed || readers || !mine.empty()) return;
    PyObjectArenaAllocator current;
    PyObject_GetArenaAllocator(&current);
    if (current.ctx != &marker) return;  // another one wraps this one: it stays
    PyObject_SetArenaAllocator(&previous);
    installed = false;
}

void release(void *, void *arena, size_t size) {
    if (mine.erase(arena)) {
        munmap(arena, size);
        uninstall_when_unused();
        return;
    }
    previous.free(previous.ctx, arena, size);
}

}  // namespace

void begin() {
    if (!installed) {
        PyObjectArenaAllocator current;
        PyObject_GetArenaAllocator(&current);
        if (current.ctx != &marker) {
            previous = current;
            PyObjectArenaAllocator own = {&marker, allocate, release};
            PyObject_SetArenaAllocator(&own);
        }
        installed = true;
    }
    ++readers;
    wanted.store(true, std::memory_order_relaxed);
}

void end() noexcept {
    if (--readers) return;
    wanted.store(false, std::memory_order_relaxed);
    std::vector<void *> unused;
    {
        std::lock_guard lk(ready_mutex);
        unused.swap(ready);
    }
    for (void *arena : unused) munmap(arena, kArena);
    uninstall_when_unused();
}

void top_up(const std::atomic<bool> &stop) noexcept {
    for (;;) {
        if (stop.load(std::memory_order_relaxed) || !wanted.load(std::memory_order_relaxed)) return;
        {
            std::lock_guard lk(ready_mutex);
            if (ready.size() >= kReady) return;
        }
        void *arena = mmap(nullptr, kArena, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (arena == MAP_FAILED) return;
        std::lock_guard lk(ready_mutex);
        try {
            ready.push_back(arena);
        } catch (const std::bad_alloc &) {
            munmap(arena, kArena);
            return;
        }
    }
}

Counts counts() {
    std::lock_guard lk(ready_mutex);
    return {installed, (size_t) readers, mine.size(), ready.size()};
}

#else  // a build without the GIL: the arena allocator has no single owner to hook

void begin() {}
void end() noexcept {}
void top_up(const std::atomic<bool> &) noexcept {}
Counts counts() { return {false, 0, 0, 0}; }

#endif

}  // namespace dualcache::arena_reserve
