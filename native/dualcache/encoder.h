// Python value -> stored bytes (see format.h). Exact built-in kinds first,
// then registered classes by exact type, then subclasses of the built-in
// kinds stored as their base kind; anything else is a TypeError and nothing
// is written.
#pragma once
#include <Python.h>

#include "bytes.h"
#include "registry.h"
#include "tag_table.h"

namespace dualcache {

class Encoder {
public:
    explicit Encoder(TagTable &tags) : tags_(tags) {}

    void value(PyObject *o, ByteWriter &w);
    // A record from its fields tuple (already taken apart).
    void record(const RecordClass &rc, PyObject *fields, ByteWriter &w);
    // The head of an itemized record: as a record, the mapping field at
    // `slot` replaced by the ITEMS marker with the number of item rows and
    // the XOR of their checksums; with `rows_since` (not 0), the
    // ITEMS_SINCE marker, which adds the entry version as of which the rows
    // were last rewritten or removed.
    void itemized_head(const RecordClass &rc, PyObject *fields, int slot, uint64_t items, uint32_t items_xor,
                       uint64_t rows_since, ByteWriter &w);

private:
    void any(PyObject *o, ByteWriter &w);
    void integer(PyObject *o, ByteWriter &w);
    void string(PyObject *o, ByteWriter &w);
    void sequence(uint8_t code, PyObject *seq, ByteWriter &w);
    void dict(PyObject *d, ByteWriter &w);
    void mapping_items(PyObject *items, ByteWriter &w);
    void iterable(uint8_t code, PyObject *o, ByteWriter &w);
    void decimal(PyObject *o, ByteWriter &w);
    void fraction(PyObject *o, ByteWriter &w);
    void fields_of(const RecordClass &rc, uint8_t code, PyObject *fields, int slot, uint64_t items,
                   uint32_t items_xor, uint64_t rows_since, ByteWriter &w);

    TagTable &tags_;
    int depth_ = 0;
};

}  // namespace dualcache
