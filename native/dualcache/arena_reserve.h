// Arenas for the interpreter's small objects, made ready ahead by a
// read-ahead's worker.
//
// A whole-map read builds a great many small objects, and the interpreter's
// thread otherwise pays for the pages of each new arena one fault at a time
// (a third of its time in the read on a virtual machine). While a read-ahead
// runs, its worker maps arenas with their pages already in, in the time it
// would otherwise wait for a free slot, and the interpreter takes its new
// arenas from this reserve.
//
// This works through the interpreter's public arena allocator hook: the
// allocator installed here takes arenas of the interpreter's usual size from
// the reserve and passes every other request, and the release of every
// arena it did not hand out, to the allocator it replaced. It stays
// installed while a read-ahead runs or an arena of the reserve is in use,
// and then takes itself out, unless another allocator was installed over it
// since (that one then keeps calling it).
#pragma once
#include <atomic>

namespace dualcache::arena_reserve {

// A read-ahead starts (ends) drawing on the reserve. With the GIL. end()
// unmaps the arenas still in reserve once no read-ahead runs.
void begin();
void end() noexcept;

// On a read-ahead's worker, without the GIL: maps arenas until the reserve
// is full or `stop` is set.
void top_up(const std::atomic<bool> &stop) noexcept;

// What the reserve holds, for tests: whether the allocator is installed, how
// many reads draw on it, how many of its arenas are in use and how many are
// ready. With the GIL.
struct Counts {
    bool installed;
    size_t readers, in_use, ready;
};
Counts counts();

}  // namespace dualcache::arena_reserve
