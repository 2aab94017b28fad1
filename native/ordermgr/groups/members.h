// The members of a group's position collection, taken as owned references
// before any of them is looked at: code run while reading a member (a
// subclass property, a price fetcher) cannot disturb the iteration.
#pragma once
#include <Python.h>
#include "pysem/ref.h"
#include <vector>

namespace ordermgr {
using pysem::borrow;
using pysem::Error;
using pysem::none;
using pysem::Ref;
using pysem::steal;

class Members {
public:
    // Iterates `positions` (a set, or any iterable) in its own order.
    explicit Members(PyObject *positions);
    const std::vector<Ref> &items() const { return items_; }
    size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }

private:
    std::vector<Ref> items_;
};

}  // namespace ordermgr
