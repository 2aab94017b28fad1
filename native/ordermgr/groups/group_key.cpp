#include "groups/group_key.h"

#include <algorithm>
#include <cstdint>
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
        // Four ASCII characters written straight into a new str (no UTF-8
        // decoding of them).
        Ref text = steal(PyUnicode_New(4, 127));
        if (!text) throw Error();
        Py_UCS1 *out = PyUnicode_1BYTE_DATA(text.ptr());
        out[0] = (Py_UCS1) alphabet[(v >> 18) & 63];
        out[1] = (Py_UCS1) alphabet[(v >> 12) & 63];
        out[2] = (Py_UCS1) alphabet[(v >> 6) & 63];
        out[3] = (Py_UCS1) alphabet[v & 63];
        return text;
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

// A member's label and its place in the set's iteration order.
struct Label {
    Ref text;
    size_t member;
};

// Stable ascending order by label: insertion sort for the few members of a
// usual group, the library's stable sort beyond.
static void sort_labels(Label *labels, size_t n) {
    if (n > 16) {
        std::stable_sort(labels, labels + n,
                         [](const Label &a, const Label &b) { return str_less(a.text.ptr(), b.text.ptr()); });
        return;
    }
    for (size_t i = 1; i < n; ++i) {
        for (size_t j = i; j > 0 && str_less(labels[j].text.ptr(), labels[j - 1].text.ptr()); --j)
            std::swap(labels[j], labels[j - 1]);
    }
}

Ref compute_group_key(PyObject *positions) {
    Members ms(positions);
    std::vector<PyObject *> members(ms.size());
    for (size_t i = 0; i < ms.size(); ++i) members[i] = ms.items()[i].ptr();
    return group_key_of(members.data(), members.size());
}

Ref group_key_of(PyObject *const *members, size_t n) {
    // Labels of a usual group kept on the stack.
    Label few[8];
    std::vector<Label> many(n > 8 ? n : 0);
    Label *labels = n > 8 ? many.data() : few;
    for (size_t i = 0; i < n; ++i) {
        Ref key = position_field(members[i], Position::field::key);
        // str() of an exact str is the string itself.
        labels[i].text = PyUnicode_CheckExact(key.ptr()) ? std::move(key) : pysem::check(PyObject_Str(key.ptr()));
        labels[i].member = i;
    }
    sort_labels(labels, n);

    Ref symbols = steal(PyTuple_New((Py_ssize_t) n));
    if (!symbols) throw Error();
    for (size_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(symbols.ptr(), (Py_ssize_t) i, Py_NewRef(members[labels[i].member]));
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
