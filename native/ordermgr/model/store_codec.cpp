#include "model/store_codec.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "model/kept_book.h"
#include "pysem/ref.h"

namespace ordermgr {

using pysem::check;
using pysem::Ref;
using pysem::steal;

static std::vector<std::pair<PyTypeObject *, zelph_record_codec *>> &exported() {
    static std::vector<std::pair<PyTypeObject *, zelph_record_codec *>> v;
    return v;
}

void export_record_codec(PyTypeObject *cls, zelph_record_codec *codec) { exported().emplace_back(cls, codec); }

// What a record stored before field `i` existed takes: the field's declared
// default, a new value from a builtins factory (dict, list, ...), or none
// (a required field, or another factory such as the time of day).
static PyObject *declared_default(PyTypeObject *cls, Py_ssize_t i) {
    Ref rows = steal(PyObject_GetAttrString((PyObject *) cls, "__record_fields__"));
    Ref row = rows ? steal(PySequence_GetItem(rows.ptr(), i)) : Ref();
    Ref kind = row ? steal(PySequence_GetItem(row.ptr(), 2)) : Ref();
    if (!kind) return nullptr;
    if (PyUnicode_Check(kind.ptr()) && PyUnicode_CompareWithASCIIString(kind.ptr(), "default") == 0)
        return PySequence_GetItem(row.ptr(), 3);
    if (PyUnicode_Check(kind.ptr()) && PyUnicode_CompareWithASCIIString(kind.ptr(), "factory") == 0) {
        Ref name = steal(PySequence_GetItem(row.ptr(), 4));
        if (!name) return nullptr;
        PyObject *factory = PyDict_GetItemWithError(PyEval_GetBuiltins(), name.ptr());
        if (factory) return PyObject_CallNoArgs(factory);
    }
    return nullptr;  // no default (or the error of looking it up)
}

void register_codecs_with_store(PyObject *store_module) {
    Ref reg = check(PyObject_GetAttrString(store_module, "register"));
    Ref kwnames = check(Py_BuildValue("(s)", "codec"));
    for (auto &[cls, codec] : exported()) {
        Ref name = check(PyType_GetName(cls));
        Ref tag = check(PyUnicode_FromFormat("marlovent.ordermgr.%U", name.ptr()));
        // The stored fields by name, from the class's field description.
        if (!codec->field_names) {
            Ref rows = check(PyObject_GetAttrString((PyObject *) cls, "__record_fields__"));
            Ref seq = check(PySequence_Fast(rows.ptr(), "__record_fields__ must be a sequence"));
            Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
            Ref names = check(PyTuple_New(n));
            for (Py_ssize_t k = 0; k < n; ++k)
                PyTuple_SET_ITEM(names.ptr(), k, check(PySequence_GetItem(PySequence_Fast_GET_ITEM(seq.ptr(), k), 0)).release());
            codec->field_names = names.release();  // kept for the process
        }
        codec->field_default = &declared_default;
        if (codec->items_changed == &book_items_changed) codec->items_append = &book_items_append;
        Ref capsule = check(PyCapsule_New(codec, ZELPH_RECORD_CODEC_CAPSULE, nullptr));
        PyObject *args[] = {(PyObject *) cls, tag.ptr(), capsule.ptr()};
        check(PyObject_Vectorcall(reg.ptr(), args, 2, kwnames.ptr()));
    }
}

Py_ssize_t book_items_changed(PyObject *mapping, const zelph_items_mark *since, zelph_items_mark *now,
                              PyObject **keys, PyObject **values, int *kinds, Py_ssize_t max) {
    *now = zelph_items_mark{0, 0};
    // A book the store built and never folded: its record starts now.
    const BookChanges *record = KeptBook::start_changes(mapping);
    if (!record) return -1;
    BookMark mark = record->now();
    *now = zelph_items_mark{mark.run, mark.seq};
    BookEntryChange changes[BookChanges::kCapacity];
    Py_ssize_t n = record->since(BookMark{since->run, since->seq}, changes,
                                 std::min<Py_ssize_t>(max, BookChanges::kCapacity));
    for (Py_ssize_t i = 0; i < n; ++i) {
        keys[i] = changes[i].key;
        values[i] = changes[i].trade;
        kinds[i] = changes[i].edit == BookEdit::Appended ? ZELPH_ITEM_APPENDED : ZELPH_ITEM_MODIFIED;
    }
    return n;
}

int book_items_append(PyObject *mapping, PyObject *key, PyObject *trade) {
    try {
        if (KeptBook *book = PyDict_CheckExact(mapping) ? KeptBook::of(mapping) : nullptr) {
            book->append(mapping, key, trade, false);
            return 0;
        }
        return PyObject_SetItem(mapping, key, trade);
    } catch (pysem::Error &) {
        return -1;
    }
}

}  // namespace ordermgr
