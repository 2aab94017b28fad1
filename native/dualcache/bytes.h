// Byte buffers for the stored value format: an appending writer and a
// bounds-checked reader, with LEB128 varints (zigzag for signed values).
#pragma once
#include <cstdint>
#include <cstring>
#include <string>

#include "corrupt_value.h"

namespace dualcache {

class ByteWriter {
public:
    std::string &out() { return buf_; }
    const std::string &str() const { return buf_; }
    size_t size() const { return buf_.size(); }

    void byte(uint8_t b) { buf_.push_back((char) b); }
    void raw(const void *p, size_t n) { buf_.append((const char *) p, n); }
    void varint(uint64_t v) {
        while (v >= 0x80) {
            byte((uint8_t) (v | 0x80));
            v >>= 7;
        }
        byte((uint8_t) v);
    }
    void svarint(int64_t v) { varint(((uint64_t) v << 1) ^ (uint64_t) (v >> 63)); }
    void f64(double d) {
        uint64_t u;
        std::memcpy(&u, &d, 8);
        for (int i = 0; i < 8; ++i) byte((uint8_t) (u >> (8 * i)));
    }
    void sized(const void *p, size_t n) {
        varint(n);
        raw(p, n);
    }

private:
    std::string buf_;
};

class ByteReader {
public:
    ByteReader(const void *p, size_t n) : p_((const uint8_t *) p), end_(p_ + n) {}
    bool at_end() const { return p_ == end_; }
    // The next byte, not consumed (at least one must remain).
    const uint8_t *peek() const { return p_; }
    size_t remaining() const { return (size_t) (end_ - p_); }

    uint8_t byte() {
        if (p_ == end_) throw CorruptValue{"value ends early"};
        return *p_++;
    }
    uint64_t varint() {
        uint64_t v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            uint8_t b = byte();
            v |= (uint64_t) (b & 0x7f) << shift;
            if (!(b & 0x80)) return v;
        }
        throw CorruptValue{"overlong varint"};
    }
    int64_t svarint() {
        uint64_t u = varint();
        return (int64_t) (u >> 1) ^ -(int64_t) (u & 1);
    }
    // A length that must fit in what is left of the input.
    size_t length() {
        uint64_t n = varint();
        if (n > remaining()) throw CorruptValue{"length beyond the end of the value"};
        return (size_t) n;
    }
    // A count of items each taking at least one byte.
    size_t count() { return length(); }
    const uint8_t *take(size_t n) {
        if (n > remaining()) throw CorruptValue{"value ends early"};
        const uint8_t *r = p_;
        p_ += n;
        return r;
    }
    double f64() {
        const uint8_t *b = take(8);
        uint64_t u = 0;
        for (int i = 0; i < 8; ++i) u |= (uint64_t) b[i] << (8 * i);
        double d;
        std::memcpy(&d, &u, 8);
        return d;
    }

private:
    const uint8_t *p_, *end_;
};

}  // namespace dualcache
