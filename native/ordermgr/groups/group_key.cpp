#include "groups/group_key.h"

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <vector>

#include "groups/members.h"
#include "model/module_ns.h"
#include "model/position.h"
#include "pysem/record.h"

namespace ordermgr {

static bool str_less(PyObject *a, PyObject *b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        int c = PyUnicode_Compare(a, b);
        if (c == -1 && PyErr_Occurred()) throw Error();
        return c < 0;
    }
    int r = PyObject_RichCompareBool(a, b, Py_LT);
    if (r < 0) throw Error();
    return r != 0;
}

static Ref urlsafe_b64(const unsigned char bytes[3]) {
    PyObject *b64 = module_attr(names().base64);
    if (b64 == state().stdlib_base64) {
        static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
        uint32_t v = (uint32_t(bytes[0]) << 16) | (uint32_t(bytes[1]) << 8) | bytes[2];
        char out[4] = {alphabet[(v >> 18) & 63], alphabet[(v >> 12) & 63], alphabet[(v >> 6) & 63], alphabet[v & 63]};
        return steal(PyUnicode_FromStringAndSize(out, 4));
    }
    Ref hold = borrow(b64);
    Ref raw = steal(PyBytes_FromStringAndSize((const char *) bytes, 3));
    if (!raw) throw Error();
    Ref encoded = steal(PyObject_CallMethod(b64, "urlsafe_b64encode", "O", raw.ptr()));
    if (!encoded) throw Error();
    PyObject *text = PyObject_CallMethod(encoded.ptr(), "decode", nullptr);
    if (!text) throw Error();
    return steal(text);
}

Ref compute_group_key(PyObject *positions) {
    Members ms(positions);
    std::vector<Ref> labels;
    labels.reserve(ms.size());
    for (const Ref &p : ms.items()) {
        Ref key = position_field(p.ptr(), Position::field::key);
        PyObject *s = PyObject_Str(key.ptr());
        if (!s) throw Error();
        labels.push_back(steal(s));
    }
    std::vector<size_t> order(ms.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return str_less(labels[a].ptr(), labels[b].ptr()); });

    Ref symbols = steal(PyTuple_New((Py_ssize_t) order.size()));
    if (!symbols) throw Error();
    for (size_t i = 0; i < order.size(); ++i)
        PyTuple_SET_ITEM(symbols.ptr(), (Py_ssize_t) i, Py_NewRef(ms.items()[order[i]].ptr()));
    Py_hash_t h = PyObject_Hash(symbols.ptr());
    if (h == -1 && PyErr_Occurred()) throw Error();

    // |h| as an unsigned magnitude: exact for the most negative value too.
    uint64_t composite = h < 0 ? uint64_t(0) - uint64_t(h) : uint64_t(h);
    uint64_t shorter = composite >> 40;
    const unsigned char bytes[3] = {(unsigned char) (shorter >> 16), (unsigned char) (shorter >> 8),
                                    (unsigned char) shorter};
    return urlsafe_b64(bytes);
}

}  // namespace ordermgr
