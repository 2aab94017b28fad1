#include "model/store_codec.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "model/kept_book.h"
#include "pysem/ref.h"

namespace ordermgr {

using pysem::check;
using pysem::Ref;

static std::vector<std::pair<PyTypeObject *, zelph_record_codec *>> &exported() {
    static std::vector<std::pair<PyTypeObject *, zelph_record_codec *>> v;
    return v;
}

void export_record_codec(PyTypeObject *cls, zelph_record_codec *codec) { exported().emplace_back(cls, codec); }

void register_codecs_with_store(PyObject *store_module) {
    Ref reg = check(PyObject_GetAttrString(store_module, "register"));
    Ref kwnames = check(Py_BuildValue("(s)", "codec"));
    for (auto &[cls, codec] : exported()) {
        Ref name = check(PyType_GetName(cls));
        Ref tag = check(PyUnicode_FromFormat("marlovent.ordermgr.%U", name.ptr()));
        Ref capsule = check(PyCapsule_New(codec, ZELPH_RECORD_CODEC_CAPSULE, nullptr));
        PyObject *args[] = {(PyObject *) cls, tag.ptr(), capsule.ptr()};
        check(PyObject_Vectorcall(reg.ptr(), args, 2, kwnames.ptr()));
    }
}

Py_ssize_t book_items_changed(PyObject *mapping, const zelph_items_mark *since, zelph_items_mark *now,
                              PyObject **keys, PyObject **values, int *kinds, Py_ssize_t max) {
    *now = zelph_items_mark{0, 0};
    const KeptBook *book = KeptBook::find(mapping);
    const BookChanges *record = book ? book->changes() : nullptr;
    if (!record || !record->running()) return -1;
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

}  // namespace ordermgr
