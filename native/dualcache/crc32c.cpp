#include "crc32c.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <nmmintrin.h>
#define DUALCACHE_CRC_X86 1
#elif defined(__aarch64__) && defined(__linux__)
#include <arm_acle.h>
#include <sys/auxv.h>
#define DUALCACHE_CRC_ARM 1
#endif

namespace dualcache {

namespace {

constexpr uint32_t kPolynomial = 0x82F63B78;  // Castagnoli, reflected

// Eight tables: each step folds eight bytes ("slicing by 8").
struct Tables {
    uint32_t t[8][256];
    constexpr Tables() : t{} {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = c & 1 ? (c >> 1) ^ kPolynomial : c >> 1;
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xff];
    }
};
constexpr Tables kTables;

uint32_t table_update(uint32_t c, const unsigned char *p, size_t n) {
    const auto &t = kTables.t;
    while (n >= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);  // little-endian hosts only (the store's targets)
        v ^= c;
        c = t[7][v & 0xff] ^ t[6][(v >> 8) & 0xff] ^ t[5][(v >> 16) & 0xff] ^ t[4][(v >> 24) & 0xff] ^
            t[3][(v >> 32) & 0xff] ^ t[2][(v >> 40) & 0xff] ^ t[1][(v >> 48) & 0xff] ^ t[0][v >> 56];
        p += 8;
        n -= 8;
    }
    while (n--) c = (c >> 8) ^ t[0][(c ^ *p++) & 0xff];
    return c;
}

#if DUALCACHE_CRC_X86
__attribute__((target("sse4.2"))) uint32_t hardware_update(uint32_t c, const unsigned char *p, size_t n) {
    uint64_t c64 = c;
    while (n >= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        c64 = _mm_crc32_u64(c64, v);
        p += 8;
        n -= 8;
    }
    c = (uint32_t) c64;
    while (n--) c = _mm_crc32_u8(c, *p++);
    return c;
}
bool has_instruction() { return __builtin_cpu_supports("sse4.2"); }
#elif DUALCACHE_CRC_ARM
__attribute__((target("+crc"))) uint32_t hardware_update(uint32_t c, const unsigned char *p, size_t n) {
    while (n >= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        c = __crc32cd(c, v);
        p += 8;
        n -= 8;
    }
    while (n--) c = __crc32cb(c, *p++);
    return c;
}
bool has_instruction() { return (getauxval(AT_HWCAP) & HWCAP_CRC32) != 0; }
#else
uint32_t hardware_update(uint32_t c, const unsigned char *p, size_t n) { return table_update(c, p, n); }
bool has_instruction() { return false; }
#endif

const bool kHardware = has_instruction();

}  // namespace

uint32_t crc32c(uint32_t crc, const void *data, size_t n) {
    const auto *p = static_cast<const unsigned char *>(data);
    return ~(kHardware ? hardware_update(~crc, p, n) : table_update(~crc, p, n));
}

uint32_t crc32c_portable(uint32_t crc, const void *data, size_t n) {
    return ~table_update(~crc, static_cast<const unsigned char *>(data), n);
}

bool crc32c_in_hardware() { return kHardware; }

}  // namespace dualcache
