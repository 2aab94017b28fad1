// A table of values keyed by object identity: the dict watcher's books.
//
// Open addressing with linear probing (an entry removed by shifting back
// the ones after it, so no tombstones); each value lives in a block of a
// pool, so that it never moves while it exists and making one costs no
// allocation beyond the pool's growth (a loaded portfolio makes a book per
// position, and freed blocks are reused). Nothing in here runs Python code.
#pragma once
#include <Python.h>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace ordermgr {

template <typename V>
class IdentityTable {
public:
    IdentityTable() = default;
    IdentityTable(const IdentityTable &) = delete;
    IdentityTable &operator=(const IdentityTable &) = delete;
    ~IdentityTable() {
        for (const Slot &s : slots_)
            if (s.key) s.value->~V();
    }

    V *find(PyObject *key) const {
        if (!count_) return nullptr;
        for (size_t i = home(key);; i = (i + 1) & mask_) {
            if (slots_[i].key == key) return slots_[i].value;
            if (!slots_[i].key) return nullptr;
        }
    }

    // The value under `key`, made as V(key) when there is none (`made`).
    // Throws std::bad_alloc, leaving the table as it was.
    V *emplace(PyObject *key, bool &made) {
        if ((count_ + 1) * 2 > slots_.size()) grow();
        size_t i = home(key);
        for (; slots_[i].key; i = (i + 1) & mask_) {
            if (slots_[i].key == key) {
                made = false;
                return slots_[i].value;
            }
        }
        if (free_.empty()) add_blocks();
        V *v = new (free_.back()) V(key);
        free_.pop_back();
        slots_[i] = Slot{key, v};
        ++count_;
        made = true;
        return v;
    }

    // Destroys the value under `key`, if any.
    void erase(PyObject *key) {
        if (!count_) return;
        size_t i = home(key);
        for (; slots_[i].key != key; i = (i + 1) & mask_)
            if (!slots_[i].key) return;
        slots_[i].value->~V();
        free_.push_back(slots_[i].value);  // room kept by add_blocks
        // Shift back every entry after the hole that may move into it (its
        // home is not cyclically within (hole, its place]).
        for (size_t j = (i + 1) & mask_; slots_[j].key; j = (j + 1) & mask_) {
            size_t h = home(slots_[j].key);
            bool stays = i <= j ? (i < h && h <= j) : (i < h || h <= j);
            if (stays) continue;
            slots_[i] = slots_[j];
            i = j;
        }
        slots_[i] = Slot{};
        --count_;
    }

private:
    struct Slot {
        PyObject *key = nullptr;
        V *value = nullptr;
    };
    struct alignas(V) Block {
        unsigned char bytes[sizeof(V)];
    };
    static constexpr size_t kBlocksPerChunk = 256;

    // Fibonacci hashing of the address (its low bits are alignment).
    size_t home(PyObject *key) const {
        return (size_t) (((uint64_t) (uintptr_t) key * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    void grow() {
        size_t n = slots_.empty() ? 64 : slots_.size() * 2;
        std::vector<Slot> old(n);
        old.swap(slots_);
        mask_ = n - 1;
        shift_ = 64 - std::countr_zero(n);
        for (const Slot &s : old) {
            if (!s.key) continue;
            size_t i = home(s.key);
            while (slots_[i].key) i = (i + 1) & mask_;
            slots_[i] = s;
        }
    }

    void add_blocks() {
        // The free list has room for every block, so that erase never allocates.
        free_.reserve((chunks_.size() + 1) * kBlocksPerChunk);
        chunks_.push_back(std::make_unique<Block[]>(kBlocksPerChunk));
        Block *c = chunks_.back().get();
        for (size_t k = kBlocksPerChunk; k-- > 0;) free_.push_back(reinterpret_cast<V *>(&c[k]));
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0, count_ = 0;
    int shift_ = 64;
    std::vector<std::unique_ptr<Block[]>> chunks_;
    std::vector<V *> free_;
};

}  // namespace ordermgr
