// The display summary of a whole position group, with a stop that trails a
// favourable market price.
#pragma once
#include <Python.h>
#include "pysem/ref.h"

namespace ordermgr {
using pysem::borrow;
using pysem::Error;
using pysem::none;
using pysem::Ref;
using pysem::steal;

// PositionGroup.summary(stopPct, priceFetcher) for `group` (its other figures
// are read honouring overrides); `price_fetcher` may be None.
Ref summarize_group(PyObject *group, PyObject *stop_pct, PyObject *price_fetcher);

}  // namespace ordermgr
