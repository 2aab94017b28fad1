#include "model/store_codec.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "model/kept_book.h"

namespace ordermgr {

static std::vector<std::pair<nb::handle, zelph_record_codec *>> &exported() {
    static std::vector<std::pair<nb::handle, zelph_record_codec *>> v;
    return v;
}

void export_record_codec(nb::handle cls, zelph_record_codec *codec) { exported().emplace_back(cls, codec); }

void register_codecs_with_store(nb::handle store_module) {
    nb::object reg = store_module.attr("register");
    for (auto &[cls, codec] : exported()) {
        nb::object name = cls.attr("__name__");
        nb::object tag = nb::steal(PyUnicode_FromFormat("marlovent.ordermgr.%U", name.ptr()));
        if (!tag) throw nb::python_error();
        nb::object capsule = nb::steal(PyCapsule_New(codec, ZELPH_RECORD_CODEC_CAPSULE, nullptr));
        if (!capsule) throw nb::python_error();
        reg(cls, tag, nb::arg("codec") = capsule);
    }
}

Py_ssize_t book_items_changed(PyObject *mapping, const zelph_items_mark *since, zelph_items_mark *now,
                              PyObject **keys, PyObject **values, int *kinds, Py_ssize_t max) {
    *now = zelph_items_mark{0, 0};
    const KeptBook *book = KeptBook::find(mapping);
    if (!book || !book->changes().running()) return -1;
    BookMark mark = book->changes().now();
    *now = zelph_items_mark{mark.run, mark.seq};
    BookEntryChange changes[BookChanges::kCapacity];
    Py_ssize_t n = book->changes().since(BookMark{since->run, since->seq}, changes,
                                         std::min<Py_ssize_t>(max, BookChanges::kCapacity));
    for (Py_ssize_t i = 0; i < n; ++i) {
        keys[i] = changes[i].key;
        values[i] = changes[i].trade;
        kinds[i] = changes[i].edit == BookEdit::Appended ? ZELPH_ITEM_APPENDED : ZELPH_ITEM_MODIFIED;
    }
    return n;
}

}  // namespace ordermgr
