#include "encoder.h"

#include "datetime_codec.h"
#include "format.h"
#include "raise.h"
#include "value_kinds.h"
#include "pysem/compat.h"

namespace dualcache {
using namespace format;

namespace {
// One level of container nesting: Py_EnterRecursiveCall as a scope, and a
// depth limit below the one the decoder enforces, so that nothing is
// written that could not be read back.
struct Depth {
    explicit Depth(int &depth) : depth_(depth) {
        if (Py_EnterRecursiveCall(" while encoding a value for the store")) throw nb::python_error();
        if (++depth_ > kMaxDepth - 10) {
            --depth_;
            Py_LeaveRecursiveCall();
            raise(PyExc_ValueError, "value nested too deeply to be stored");
        }
    }
    ~Depth() {
        --depth_;
        Py_LeaveRecursiveCall();
    }
    int &depth_;
};
}  // namespace

void Encoder::value(PyObject *o, ByteWriter &w) { any(o, w); }

void Encoder::integer(PyObject *o, ByteWriter &w) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (!overflow) {
        w.byte(INT);
        w.svarint(v);
        return;
    }
    size_t bits = pysem::compat::long_bit_length(o);
    if (bits == (size_t) -1 && PyErr_Occurred()) throw nb::python_error();
    size_t n = bits / 8 + 1;  // room for the sign bit
    std::string buf(n, '\0');
    if (pysem::compat::long_to_le_bytes(o, (unsigned char *) buf.data(), n) < 0)
        throw nb::python_error();
    w.byte(BIGINT);
    w.sized(buf.data(), n);
}

void Encoder::string(PyObject *o, ByteWriter &w) {
    Py_ssize_t n;
    const char *p = PyUnicode_AsUTF8AndSize(o, &n);
    if (p) {
        w.byte(STR);
        w.sized(p, (size_t) n);
        return;
    }
    // Lone surrogates: kept as they are.
    PyErr_Clear();
    nb::object b = nb::steal(PyUnicode_AsEncodedString(o, "utf-8", "surrogatepass"));
    if (!b) throw nb::python_error();
    w.byte(STR);
    w.sized(PyBytes_AS_STRING(b.ptr()), (size_t) PyBytes_GET_SIZE(b.ptr()));
}

// An exact list or tuple; items read by index, each held while encoded, so
// that code run for an item cannot pull it away.
void Encoder::sequence(uint8_t code, PyObject *seq, ByteWriter &w) {
    Depth guard(depth_);
    bool is_list = PyList_CheckExact(seq);
    Py_ssize_t n = is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
    w.byte(code);
    w.varint((uint64_t) n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (is_list && PyList_GET_SIZE(seq) != n) raise(PyExc_ValueError, "list changed size while it was stored");
        nb::object item = nb::borrow(is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
        any(item.ptr(), w);
    }
}

void Encoder::dict(PyObject *d, ByteWriter &w) {
    Depth guard(depth_);
    Py_ssize_t n = PyDict_GET_SIZE(d), pos = 0, seen = 0;
    PyObject *k, *v;
    w.byte(DICT);
    w.varint((uint64_t) n);
    while (PyDict_Next(d, &pos, &k, &v)) {
        if (++seen > n) break;
        nb::object key = nb::borrow(k), val = nb::borrow(v);
        any(key.ptr(), w);
        any(val.ptr(), w);
    }
    if (seen != n || PyDict_GET_SIZE(d) != n) raise(PyExc_ValueError, "dict changed size while it was stored");
}

// A list of (key, value) pairs from the mapping protocol.
void Encoder::mapping_items(PyObject *items, ByteWriter &w) {
    Depth guard(depth_);
    Py_ssize_t n = PyList_GET_SIZE(items);
    w.byte(DICT);
    w.varint((uint64_t) n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *pair = PyList_GET_ITEM(items, i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) raise(PyExc_TypeError, "items() must give pairs");
        any(PyTuple_GET_ITEM(pair, 0), w);
        any(PyTuple_GET_ITEM(pair, 1), w);
    }
}

// Sets and frozensets (and their subclasses), through the iterator protocol.
void Encoder::iterable(uint8_t code, PyObject *o, ByteWriter &w) {
    nb::object items = nb::steal(PySequence_List(o));
    if (!items) throw nb::python_error();
    Depth guard(depth_);
    Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    w.byte(code);
    w.varint((uint64_t) n);
    for (Py_ssize_t i = 0; i < n; ++i) any(PyList_GET_ITEM(items.ptr(), i), w);
}

void Encoder::decimal(PyObject *o, ByteWriter &w) {
    // The base class's str, so that a subclass's override does not change
    // what is stored.
    nb::object s = nb::steal(Py_TYPE(o) == decimal_type() ? PyObject_Str(o)
                                                           : PyObject_CallMethod((PyObject *) decimal_type(),
                                                                                 "__str__", "O", o));
    if (!s) throw nb::python_error();
    if (!PyUnicode_Check(s.ptr())) raise(PyExc_TypeError, "Decimal.__str__ did not return a str");
    Py_ssize_t n;
    const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!p) throw nb::python_error();
    w.byte(DECIMAL);
    w.sized(p, (size_t) n);
}

// Numerator and denominator as the base class gives them, so that a
// subclass's properties do not change what is stored.
void Encoder::fraction(PyObject *o, ByteWriter &w) {
    static PyObject *names[2] = {PyUnicode_InternFromString("numerator"), PyUnicode_InternFromString("denominator")};
    nb::object parts[2];
    for (int i = 0; i < 2; ++i) {
        if (!names[i]) throw nb::python_error();
        nb::object descr = nb::steal(PyObject_GetAttr((PyObject *) fraction_type(), names[i]));
        if (!descr) throw nb::python_error();
        parts[i] = nb::steal(Py_TYPE(descr.ptr())->tp_descr_get
                                 ? Py_TYPE(descr.ptr())->tp_descr_get(descr.ptr(), o, (PyObject *) Py_TYPE(o))
                                 : nullptr);
        if (!parts[i]) {
            if (!PyErr_Occurred()) raise(PyExc_TypeError, "Fraction.numerator is not a property");
            throw nb::python_error();
        }
        if (!PyLong_Check(parts[i].ptr())) raise(PyExc_TypeError, "a Fraction whose numerator or denominator is not an int");
    }
    if (pysem::compat::long_sign(parts[1].ptr()) <= 0) raise(PyExc_ValueError, "a Fraction whose denominator is not positive");
    w.byte(FRACTION);
    integer(parts[0].ptr(), w);
    integer(parts[1].ptr(), w);
}

void Encoder::fields_of(const RecordClass &rc, uint8_t code, PyObject *fields, int slot, uint64_t items,
                        uint32_t items_xor, uint64_t rows_since, ByteWriter &w) {
    Depth guard(depth_);
    Py_ssize_t n = PyTuple_GET_SIZE(fields);
    w.byte(code);
    w.varint((uint64_t) tags_.id_for(rc));
    w.varint((uint64_t) n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i == slot) {
            w.byte(rows_since ? ITEMS_SINCE : ITEMS);
            w.varint(items);
            for (int b = 0; b < 4; ++b) w.byte((uint8_t) (items_xor >> (8 * b)));
            if (rows_since) w.varint(rows_since);
        } else
            any(PyTuple_GET_ITEM(fields, i), w);
    }
}

void Encoder::record(const RecordClass &rc, PyObject *fields, ByteWriter &w) {
    fields_of(rc, RECORD, fields, -1, 0, 0, 0, w);
}

void Encoder::itemized_head(const RecordClass &rc, PyObject *fields, int slot, uint64_t items, uint32_t items_xor,
                            uint64_t rows_since, ByteWriter &w) {
    fields_of(rc, ITEMIZED, fields, slot, items, items_xor, rows_since, w);
}

void Encoder::any(PyObject *o, ByteWriter &w) {
    PyTypeObject *t = Py_TYPE(o);
    // Exact built-in kinds.
    if (o == Py_None) return w.byte(NONE);
    if (t == &PyBool_Type) return w.byte(o == Py_True ? TRUE_ : FALSE_);
    if (t == &PyLong_Type) return integer(o, w);
    if (t == &PyFloat_Type) {
        w.byte(FLOAT);
        return w.f64(PyFloat_AS_DOUBLE(o));
    }
    if (t == &PyUnicode_Type) return string(o, w);
    if (t == &PyBytes_Type) {
        w.byte(BYTES);
        return w.sized(PyBytes_AS_STRING(o), (size_t) PyBytes_GET_SIZE(o));
    }
    if (t == &PyTuple_Type) return sequence(TUPLE, o, w);
    if (t == &PyList_Type) return sequence(LIST, o, w);
    if (t == &PyDict_Type) return dict(o, w);
    if (t == &PySet_Type) return iterable(SET, o, w);
    if (t == &PyFrozenSet_Type) return iterable(FROZENSET, o, w);
    if (t == decimal_type()) return decimal(o, w);
    if (t == fraction_type()) return fraction(o, w);
    if (is_exact_datetime_kind(t)) return encode_datetime_kind(o, w);

    // Registered classes, by exact type.
    if (const RecordClass *rc = record_class_of(t)) {
        nb::object f = rc->fields(o);
        return record(*rc, f.ptr(), w);
    }

    // Subclasses of the built-in kinds, stored as their base kind.
    if (PyLong_Check(o)) return integer(o, w);
    if (PyFloat_Check(o)) {
        w.byte(FLOAT);
        return w.f64(PyFloat_AS_DOUBLE(o));
    }
    if (PyUnicode_Check(o)) return string(o, w);
    if (PyBytes_Check(o)) {
        w.byte(BYTES);
        return w.sized(PyBytes_AS_STRING(o), (size_t) PyBytes_GET_SIZE(o));
    }
    if (PyTuple_Check(o) || PyList_Check(o)) {
        nb::object copy = nb::steal(PyTuple_Check(o) ? PySequence_Tuple(o) : PySequence_List(o));
        if (!copy) throw nb::python_error();
        return sequence(PyTuple_Check(o) ? TUPLE : LIST, copy.ptr(), w);
    }
    if (PyDict_Check(o)) {
        nb::object items = nb::steal(PyMapping_Items(o));
        if (!items) throw nb::python_error();
        return mapping_items(items.ptr(), w);
    }
    if (PyFrozenSet_Check(o)) return iterable(FROZENSET, o, w);
    if (PyAnySet_Check(o)) return iterable(SET, o, w);
    if (is_datetime_kind(o)) return encode_datetime_kind(o, w);
    int is_dec = PyObject_IsInstance(o, (PyObject *) decimal_type());
    if (is_dec < 0) throw nb::python_error();
    if (is_dec) return decimal(o, w);
    int is_frac = PyObject_IsInstance(o, (PyObject *) fraction_type());
    if (is_frac < 0) throw nb::python_error();
    if (is_frac) return fraction(o, w);
    raise_unregistered(t);
}

}  // namespace dualcache
