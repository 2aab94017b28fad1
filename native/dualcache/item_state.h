// What this process knows is on disk for the mapping of an itemized record
// (for example a position's trades): per item its key, the value object last
// written or read, that value's field tuple, and its row's order number.
// Comparing the live mapping with it tells which items to write.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pysem/record_codec.h"

namespace dualcache {
namespace nb = nanobind;

struct ItemRec {
    nb::object key;     // null for a free slot
    nb::object value;
    nb::object fields;  // the record's fields tuple, or null for other values
    int64_t ord = 0;
    uint32_t mark = 0;
    uint32_t crc = 0;   // the row's checksum
};

struct ItemState {
    std::string head;   // the record head as stored
    nb::object pos;     // dict: item key -> index in recs
    std::vector<ItemRec> recs;
    size_t live = 0;    // slots in use
    uint32_t xor_crc = 0;  // of the rows' checksums: what the head records with their number
    int64_t next_ord = 0;
    uint32_t epoch = 0;
    // The owning module's mark of the mapping these rows describe (run 0:
    // none), and whether comparing would find every item unchanged (each
    // value immutable, or a record of immutable fields).
    zelph_items_mark mark{0, 0};
    bool clean = false;

    ItemState() : pos(nb::steal(PyDict_New())) {
        if (!pos) throw nb::python_error();
    }
    // Adds an item known to be on disk at `ord` with checksum `crc`.
    void add(nb::handle key, nb::handle value, nb::handle fields, int64_t ord, uint32_t crc);
    int traverse(visitproc visit, void *arg) const;
};

}  // namespace dualcache
