// Record classes the store must be able to persist: each model type hands
// its codec here while it is registered; the module initialisation passes
// them all to zelph.dualcache once the classes exist.
#pragma once
#include <nanobind/nanobind.h>

#include "pysem/record_codec.h"

namespace ordermgr {
namespace nb = nanobind;

void export_record_codec(nb::handle cls, zelph_record_codec *codec);
// Registers every exported class with zelph.dualcache.register(cls, tag, codec=capsule).
void register_codecs_with_store(nb::handle store_module);

}  // namespace ordermgr
