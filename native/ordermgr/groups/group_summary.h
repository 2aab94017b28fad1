// The display summary of a whole position group, with a stop that trails a
// favourable market price.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

namespace ordermgr {
namespace nb = nanobind;

// PositionGroup.summary(stopPct, priceFetcher) for `group` (its other figures
// are read honouring overrides); `price_fetcher` may be None.
nb::object summarize_group(PyObject *group, PyObject *stop_pct, PyObject *price_fetcher);

}  // namespace ordermgr
