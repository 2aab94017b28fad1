// Stored bytes -> Python value. Only the built-in kinds of the format and
// classes registered in this process come back; malformed input, and bytes
// whose checksum does not match, raise CorruptValue (turned into StoreError
// by the store). A decoder reads the format its database is in.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include "bytes.h"
#include "registry.h"
#include "tag_table.h"

namespace dualcache {
namespace nb = nanobind;

// A record's fields as decoded: new references held without a tuple around
// them (released with it), or the tuple the record was built from when it
// went through one; neither when the value is not a record (or was built
// by name).
struct DecodedFields {
    static constexpr uint32_t kCapacity = 16;
    PyObject *items[kCapacity];
    uint32_t n = 0;
    bool held = false;  // in `items`
    nb::object tuple;

    DecodedFields() = default;
    DecodedFields(const DecodedFields &) = delete;
    DecodedFields &operator=(const DecodedFields &) = delete;
    ~DecodedFields() {
        for (uint32_t i = 0; i < n; ++i) Py_DECREF(items[i]);
    }
    bool known() const { return held || tuple; }
    PyObject *const *data() const { return tuple ? &PyTuple_GET_ITEM(tuple.ptr(), 0) : items; }
    uint32_t count() const { return tuple ? (uint32_t) PyTuple_GET_SIZE(tuple.ptr()) : n; }
};

class Decoder {
public:
    // For the rows of map `map` (checksums are bound to their map).
    Decoder(TagTable &tags, int64_t map)
        : tags_(tags), map_(map), sealed_(tags.format() >= 2), rows_since_(tags.format() >= format::kRowsSinceVersion) {}

    // An entry's key, as its row holds it.
    nb::object key(std::string_view stored);
    // An entry's value as its row holds it, checked: the bytes to decode.
    std::string_view entry_payload(std::string_view stored);

    // One whole value: nothing may follow it.
    nb::object value(std::string_view bytes);
    // The same, also handing back the fields tuple when the value is a
    // record (null otherwise).
    nb::object value_and_fields(std::string_view bytes, nb::object &fields);

    static bool is_itemized_head(std::string_view bytes);
    // An itemized head: the shape, its fields as a new tuple in the stored
    // order with None at the items slot (its owner may replace its items
    // until it hands it on), the slot, and what the head says of its item
    // rows (their number and the XOR of their checksums).
    struct Head {
        const Shape *shape;
        nb::object fields;
        int slot;
        bool summary;  // count and xor are known (format 2 on)
        uint64_t count;
        uint32_t xor_crc;
        // The entry's version as of which its item rows were last
        // rewritten or removed (format 4; 0: not recorded).
        uint64_t rows_since;
    };
    // `key`, when given (an exact str), stands for a str field stored with
    // the same characters instead of a copy decoded from them.
    Head head(std::string_view bytes, PyObject *key = nullptr);

    // One item row (its order number, key and value as stored): the key,
    // the value and, for a record, its fields tuple; `crc` receives the
    // row's checksum (0 in a store without them).
    void item(int64_t ord, std::string_view ikey, std::string_view stored, nb::object &key, nb::object &value,
              nb::object &fields, uint32_t &crc);
    // The same with the fields into `fields` (empty), a record of a class
    // stored with its present fields built from them without a tuple.
    void item(int64_t ord, std::string_view ikey, std::string_view stored, nb::object &key, nb::object &value,
              DecodedFields &fields, uint32_t &crc);
    // The same from a row whose checksum was already checked (`payload` is
    // the value without its seal).
    void opened_item(std::string_view ikey, std::string_view payload, nb::object &key, nb::object &value,
                     DecodedFields &fields);

    // An instance of the shape's class from fields in the stored order (a
    // tuple): by name when the class's fields are not those stored, missing
    // ones taking their defaults. CorruptValue when the class refuses them
    // or lacks a stored field. `fields_out`, when given, receives the
    // fields tuple the class was built from (left null when built by name).
    static nb::object build(const Shape &shape, PyObject *stored, nb::object *fields_out);

private:
    nb::object any(ByteReader &r, int depth, nb::object *fields_out);
    nb::object record(ByteReader &r, int depth, nb::object *fields_out);
    nb::object record(ByteReader &r, DecodedFields &fields);

    TagTable &tags_;
    int64_t map_;
    bool sealed_;
    bool rows_since_;  // heads may record since when their rows stand (ITEMS_SINCE)
};

}  // namespace dualcache
