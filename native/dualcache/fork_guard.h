// SQLite connections must not be used across fork(): a child that inherits
// an open store gets a StoreError instead, and its copy of the connection
// is left alone (closing it could checkpoint and remove the parent's log).
#pragma once
#include <cstdint>

namespace dualcache {

// How many fork()s lie between the first caller and now, in this process.
uint64_t fork_generation();

// Registers the fork handler once (at module initialisation).
void install_fork_handler();

}  // namespace dualcache
