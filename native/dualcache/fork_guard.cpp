#include "fork_guard.h"

#include <pthread.h>

#include <atomic>

namespace dualcache {

static std::atomic<uint64_t> generation{0};

static void in_child() { generation.fetch_add(1, std::memory_order_relaxed); }

uint64_t fork_generation() { return generation.load(std::memory_order_relaxed); }

void install_fork_handler() {
    static bool installed = false;
    if (!installed) installed = pthread_atfork(nullptr, nullptr, in_child) == 0;
}

}  // namespace dualcache
