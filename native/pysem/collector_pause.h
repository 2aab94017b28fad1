// Pauses the cyclic garbage collector for the life of a scope.
//
// A portfolio-wide read allocates one or two result objects per position
// (summaries, result records, their lists), none of which can form a cycle.
// Each allocation counts towards the collector's thresholds, and the
// collections it would trigger traverse the caller's whole heap, so the
// read would cost O(heap) rather than O(positions). The collector's state
// is put back as it was (a caller that disabled it keeps it disabled); any
// cycle made meanwhile is collected by the next collection after the scope.
#pragma once
#include <Python.h>

namespace pysem {

class CollectorPause {
public:
    CollectorPause() : was_enabled_(PyGC_Disable()) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause &) = delete;
    CollectorPause &operator=(const CollectorPause &) = delete;

private:
    int was_enabled_;
};

}  // namespace pysem
