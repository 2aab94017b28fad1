#include "decoder.h"

#include <cstring>
#include <string>
#include <vector>

#include "datetime_codec.h"
#include "format.h"
#include "sealed.h"
#include "value_kinds.h"
#include "pysem/compat.h"

namespace dualcache {
using namespace format;

static nb::object checked(PyObject *o) {
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

// A constructor's result: its failure means the stored data is damaged.
static nb::object valid(PyObject *o, const char *what) {
    if (!o) corrupt_from_python_error(what);
    return nb::steal(o);
}

// Adds a decoded item to a dict (value non-null) or set: stored containers
// never hold two equal keys, and their keys are hashable.
static void add_unique(PyObject *container, PyObject *key, PyObject *value, const char *kind) {
    Py_ssize_t before = value ? PyDict_GET_SIZE(container) : PySet_GET_SIZE(container);
    if ((value ? PyDict_SetItem(container, key, value) : PySet_Add(container, key)) < 0)
        corrupt_from_python_error(std::string("a ") + kind + " key that cannot be hashed or compared");
    if ((value ? PyDict_GET_SIZE(container) : PySet_GET_SIZE(container)) == before)
        throw CorruptValue{std::string("two equal keys in one ") + kind};
}

// Records of shape `s` that the class as registered now cannot read,
// though they are sound, raise why (not as damage).
static void check_readable(const Shape &s) {
    if (!s.refused.empty()) throw CorruptValue{s.refused, nb::object(), false};
}

// Why records of `rc`'s tag, sound, cannot be built: they lack the fields
// `names`, which the class cannot do without.
static std::string lacking(const RecordClass &rc, const std::vector<std::string> &names) {
    std::string list = quoted_names(names);
    return "stored " + rc.tag_utf8 + " records lack the field" +
           (names.size() == 1 ? " " + list + ", which has no default" : "s " + list + ", not all of which have a default");
}

nb::object Decoder::build(const Shape &s, PyObject *stored, nb::object *fields_out) {
    const RecordClass &rc = *s.rc;
    // A Python error while building means the fields are not the class's.
    auto what = [&] { return "cannot rebuild a stored " + rc.tag_utf8 + " from its fields"; };
    check_readable(s);
    if (s.same) {
        nb::object obj = corrupt_if_raises(what, [&] { return rc.build(stored); });
        if (fields_out) *fields_out = nb::borrow(stored);
        return obj;
    }
    if ((size_t) PyTuple_GET_SIZE(stored) != s.names.size())
        throw CorruptValue{"a record of " + std::to_string(PyTuple_GET_SIZE(stored)) + " fields under a shape of " +
                           std::to_string(s.names.size())};
    Py_ssize_t n = PyTuple_GET_SIZE(rc.names);
    if (rc.by_name) {
        nb::object mapping = checked(PyDict_New());
        std::vector<std::string> absent;  // the class's fields the records lack
        for (Py_ssize_t j = 0; j < n; ++j) {
            if (int from = s.source[(size_t) j]; from >= 0) {
                if (PyDict_SetItem(mapping.ptr(), PyTuple_GET_ITEM(rc.names, j), PyTuple_GET_ITEM(stored, from)) < 0)
                    throw nb::python_error();
            } else {
                absent.push_back(rc.names_utf8[(size_t) j]);
            }
        }
        auto build = [&] { return rc.build_from(mapping.ptr()); };
        if (absent.empty()) return corrupt_if_raises(what, build);
        // The class (its constructor, or its from_fields) refusing records
        // without fields it gained since: sound records of an older shape.
        try {
            return corrupt_if_raises([&] { return lacking(rc, absent); }, build);
        } catch (CorruptValue &c) {
            c.damage = false;
            throw;
        }
    }
    nb::object fields = checked(PyTuple_New(n));
    for (Py_ssize_t j = 0; j < n; ++j) {
        int from = s.source[(size_t) j];
        nb::object v = from >= 0 ? nb::borrow(PyTuple_GET_ITEM(stored, from))
                                 : corrupt_if_raises(what, [&] { return rc.default_for(j); });
        if (!v) throw CorruptValue{lacking(rc, {rc.names_utf8[(size_t) j]}), nb::object(), false};
        PyTuple_SET_ITEM(fields.ptr(), j, v.release().ptr());
    }
    nb::object obj = corrupt_if_raises(what, [&] { return rc.build(fields.ptr()); });
    if (fields_out) *fields_out = std::move(fields);
    return obj;
}

// An integer item (INT or BIGINT), as a part of another value.
static nb::object integer(ByteReader &r) {
    uint8_t code = r.byte();
    if (code == INT) return checked(PyLong_FromLongLong(r.svarint()));
    if (code != BIGINT) throw CorruptValue{"an integer expected"};
    size_t n = r.length();
    const uint8_t *p = r.take(n);
    return checked(pysem::compat::long_from_le_bytes(p, n));
}

nb::object Decoder::value(std::string_view bytes) {
    ByteReader r(bytes.data(), bytes.size());
    nb::object o = any(r, 0, nullptr);
    if (!r.at_end()) throw CorruptValue{"trailing bytes after the value"};
    return o;
}

nb::object Decoder::value_and_fields(std::string_view bytes, nb::object &fields) {
    ByteReader r(bytes.data(), bytes.size());
    nb::object o = any(r, 0, &fields);
    if (!r.at_end()) throw CorruptValue{"trailing bytes after the value"};
    return o;
}

nb::object Decoder::key(std::string_view stored) { return value(sealed_ ? sealed::open_key(stored, map_) : stored); }

std::string_view Decoder::entry_payload(std::string_view stored) {
    return sealed_ ? sealed::open_value(stored, map_) : stored;
}

void Decoder::item(int64_t ord, std::string_view ikey, std::string_view stored, nb::object &key, nb::object &value,
                   nb::object &fields, uint32_t &crc) {
    crc = 0;
    std::string_view bytes = sealed_ ? sealed::open_item(stored, map_, ord, ikey, crc) : stored;
    key = this->value(ikey);
    value = value_and_fields(bytes, fields);
}

void Decoder::item(int64_t ord, std::string_view ikey, std::string_view stored, nb::object &key, nb::object &value,
                   DecodedFields &fields, uint32_t &crc) {
    crc = 0;
    opened_item(ikey, sealed_ ? sealed::open_item(stored, map_, ord, ikey, crc) : stored, key, value, fields);
}

void Decoder::opened_item(std::string_view ikey, std::string_view bytes, nb::object &key, nb::object &value,
                          DecodedFields &fields) {
    key = this->value(ikey);
    ByteReader r(bytes.data(), bytes.size());
    if (r.remaining() && *r.peek() == RECORD) {
        r.byte();
        value = record(r, fields);
    } else {
        value = any(r, 0, nullptr);
    }
    if (!r.at_end()) throw CorruptValue{"trailing bytes after the value"};
}

bool Decoder::is_itemized_head(std::string_view bytes) { return !bytes.empty() && (uint8_t) bytes[0] == ITEMIZED; }

// The stored str at `r` when it spells `key` (an exact str) in ASCII,
// taken past; else null, with `r` unmoved.
static PyObject *same_ascii_str(ByteReader &r, PyObject *key) {
    if (PyUnicode_KIND(key) != PyUnicode_1BYTE_KIND) return nullptr;
    ByteReader probe = r;
    probe.byte();
    size_t n = probe.length();
    if ((Py_ssize_t) n != PyUnicode_GET_LENGTH(key)) return nullptr;
    const uint8_t *p = probe.take(n);
    if (std::memcmp(p, PyUnicode_DATA(key), n) != 0) return nullptr;
    for (size_t i = 0; i < n; ++i)
        if (p[i] >= 0x80) return nullptr;  // Latin-1 characters, not their UTF-8
    r = probe;
    return Py_NewRef(key);
}

Decoder::Head Decoder::head(std::string_view bytes, PyObject *key) {
    ByteReader r(bytes.data(), bytes.size());
    if (r.byte() != ITEMIZED) throw CorruptValue{"not an itemized record"};
    const Shape &shape = tags_.shape((int64_t) r.varint());
    check_readable(shape);
    if (shape.rc->itemized_field() < 0) throw CorruptValue{"itemized record of a class without an itemized field"};
    size_t n = r.count();
    nb::object list = checked(PyTuple_New((Py_ssize_t) n));
    Head h{&shape, nb::object(), -1, sealed_, 0, 0, 0};
    for (size_t i = 0; i < n; ++i) {
        PyObject *item;
        uint8_t next = r.remaining() ? *r.peek() : NONE;
        if (next == ITEMS || (next == ITEMS_SINCE && rows_since_)) {
            r.byte();
            if (h.slot >= 0) throw CorruptValue{"two item markers in one record"};
            h.slot = (int) i;
            if (sealed_) {
                h.count = r.varint();
                h.xor_crc = sealed::checksum_at(r.take(4));
            }
            if (next == ITEMS_SINCE && (h.rows_since = r.varint()) == 0)
                throw CorruptValue{"item rows standing since version 0"};
            item = Py_NewRef(Py_None);
        } else if (!(key && r.remaining() && *r.peek() == STR && (item = same_ascii_str(r, key)))) {
            item = any(r, 1, nullptr).release().ptr();
        }
        PyTuple_SET_ITEM(list.ptr(), (Py_ssize_t) i, item);
    }
    if (!r.at_end()) throw CorruptValue{"trailing bytes after the record head"};
    if (h.slot < 0 || h.slot != shape.itemized) throw CorruptValue{"item marker in the wrong field"};
    h.fields = std::move(list);
    return h;
}

nb::object Decoder::record(ByteReader &r, int depth, nb::object *fields_out) {
    const Shape &shape = tags_.shape((int64_t) r.varint());
    size_t n = r.count();
    nb::object fields = checked(PyTuple_New((Py_ssize_t) n));
    for (size_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(fields.ptr(), (Py_ssize_t) i, any(r, depth + 1, nullptr).release().ptr());
    return build(shape, fields.ptr(), fields_out);
}

// A record at the top of an item (depth 0), its fields kept in `out`.
nb::object Decoder::record(ByteReader &r, DecodedFields &out) {
    ByteReader start = r;
    const Shape &shape = tags_.shape((int64_t) r.varint());
    size_t n = r.count();
    if (!shape.same || shape.rc->by_name || n > DecodedFields::kCapacity) {
        // Anything but the present fields of a class stored by position:
        // through the tuple.
        r = start;
        return record(r, 0, &out.tuple);
    }
    for (size_t i = 0; i < n; ++i) out.items[out.n++] = any(r, 1, nullptr).release().ptr();
    out.held = true;
    const RecordClass &rc = *shape.rc;
    return corrupt_if_raises([&] { return "cannot rebuild a stored " + rc.tag_utf8 + " from its fields"; },
                             [&] { return rc.build(out.items, (Py_ssize_t) out.n); });
}

nb::object Decoder::any(ByteReader &r, int depth, nb::object *fields_out) {
    if (depth > kMaxDepth) throw CorruptValue{"value nested too deeply"};
    uint8_t code = r.byte();
    switch (code) {
    case NONE:
        return nb::none();
    case FALSE_:
        return nb::borrow(Py_False);
    case TRUE_:
        return nb::borrow(Py_True);
    case INT:
        return checked(PyLong_FromLongLong(r.svarint()));
    case BIGINT: {
        size_t n = r.length();
        const uint8_t *p = r.take(n);
        return checked(pysem::compat::long_from_le_bytes(p, n));
    }
    case FLOAT:
        return checked(PyFloat_FromDouble(r.f64()));
    case STR: {
        size_t n = r.length();
        const uint8_t *p = r.take(n);
        return valid(PyUnicode_DecodeUTF8((const char *) p, (Py_ssize_t) n, "surrogatepass"), "invalid UTF-8 in a str");
    }
    case BYTES: {
        size_t n = r.length();
        const uint8_t *p = r.take(n);
        return checked(PyBytes_FromStringAndSize((const char *) p, (Py_ssize_t) n));
    }
    case TUPLE:
    case LIST: {
        size_t n = r.count();
        nb::object seq = checked(code == TUPLE ? PyTuple_New((Py_ssize_t) n) : PyList_New((Py_ssize_t) n));
        for (size_t i = 0; i < n; ++i) {
            PyObject *item = any(r, depth + 1, nullptr).release().ptr();
            if (code == TUPLE)
                PyTuple_SET_ITEM(seq.ptr(), (Py_ssize_t) i, item);
            else
                PyList_SET_ITEM(seq.ptr(), (Py_ssize_t) i, item);
        }
        return seq;
    }
    case DICT: {
        size_t n = r.count();
        nb::object d = checked(PyDict_New());
        for (size_t i = 0; i < n; ++i) {
            nb::object k = any(r, depth + 1, nullptr);
            nb::object v = any(r, depth + 1, nullptr);
            add_unique(d.ptr(), k.ptr(), v.ptr(), "dict");
        }
        return d;
    }
    case SET:
    case FROZENSET: {
        size_t n = r.count();
        nb::object s = checked(PySet_New(nullptr));
        for (size_t i = 0; i < n; ++i) {
            nb::object item = any(r, depth + 1, nullptr);
            add_unique(s.ptr(), item.ptr(), nullptr, "set");
        }
        if (code == SET) return s;
        return checked(PyFrozenSet_New(s.ptr()));
    }
    case DATETIME:
        return decode_datetime(r);
    case DATE:
        return decode_date(r);
    case TIME:
        return decode_time(r);
    case TIMEDELTA:
        return decode_timedelta(r);
    case DECIMAL: {
        size_t n = r.length();
        const uint8_t *p = r.take(n);
        nb::object s = valid(PyUnicode_DecodeUTF8((const char *) p, (Py_ssize_t) n, "strict"), "invalid Decimal");
        return valid(PyObject_CallOneArg((PyObject *) decimal_type(), s.ptr()), "invalid Decimal");
    }
    case FRACTION: {
        nb::object num = integer(r), den = integer(r);
        if (pysem::compat::long_sign(den.ptr()) <= 0) throw CorruptValue{"a Fraction whose denominator is not positive"};
        return valid(PyObject_CallFunctionObjArgs((PyObject *) fraction_type(), num.ptr(), den.ptr(), nullptr),
                     "invalid Fraction");
    }
    case RECORD:
        return record(r, depth, fields_out);
    default:
        throw CorruptValue{"unknown type code"};
    }
}

}  // namespace dualcache
