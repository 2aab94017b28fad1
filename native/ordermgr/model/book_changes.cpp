#include "model/book_changes.h"

namespace ordermgr {

Py_ssize_t BookChanges::since(const BookMark &mark, BookEntryChange *out, Py_ssize_t max) const {
    if (!run_ || mark.run != run_ || mark.seq > seq_) return -1;
    uint64_t n = seq_ - mark.seq;
    if (n > (uint64_t) kCapacity || n > (uint64_t) max) return -1;
    for (uint64_t i = 0; i < n; ++i) out[i] = log_[(mark.seq + i) % kCapacity];
    return (Py_ssize_t) n;
}

}  // namespace ordermgr
