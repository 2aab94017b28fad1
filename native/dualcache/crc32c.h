// CRC-32C (Castagnoli): the checksum of every stored value. The CPU's own
// instruction where it has one (SSE4.2 on x86-64, the CRC extension on
// AArch64), chosen once at load; a table otherwise. Both give the same
// value: the standard CRC-32C (reflected, initial and final value all ones;
// "123456789" gives 0xE3069283).
#pragma once
#include <cstddef>
#include <cstdint>

namespace dualcache {

// The CRC of `crc`'s data followed by these `n` bytes (0 to start).
uint32_t crc32c(uint32_t crc, const void *data, size_t n);
// The same through the table, whatever the CPU has (for tests).
uint32_t crc32c_portable(uint32_t crc, const void *data, size_t n);
// Whether crc32c() uses the CPU's instruction.
bool crc32c_in_hardware();

}  // namespace dualcache
