// The record codec ABI lives with the store that defines it
// (dualcache/record_codec.h); this name stays for the store's own files
// until they include it from there.
#pragma once
#include "dualcache/record_codec.h"
