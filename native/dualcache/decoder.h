// Stored bytes -> Python value. Only the built-in kinds of the format and
// classes registered in this process come back; malformed input raises
// CorruptValue (turned into StoreError by the store).
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include "bytes.h"
#include "registry.h"
#include "tag_table.h"

namespace dualcache {
namespace nb = nanobind;

class Decoder {
public:
    explicit Decoder(TagTable &tags) : tags_(tags) {}

    // One whole value: nothing may follow it.
    nb::object value(std::string_view bytes);
    // The same, also handing back the fields tuple when the value is a
    // record (null otherwise).
    nb::object value_and_fields(std::string_view bytes, nb::object &fields);

    static bool is_itemized_head(std::string_view bytes);
    // An itemized head: the class, its fields as a list with None at the
    // items slot, and the slot.
    struct Head {
        const RecordClass *rc;
        nb::object fields;
        int slot;
    };
    Head head(std::string_view bytes);

    // A registered class's instance from stored fields; CorruptValue when
    // the class refuses them (the wrong number of fields, a bad value).
    static nb::object build(const RecordClass &rc, PyObject *fields);

private:
    nb::object any(ByteReader &r, int depth, nb::object *fields_out);
    nb::object record(ByteReader &r, int depth, nb::object *fields_out);

    TagTable &tags_;
};

}  // namespace dualcache
