#include "model/record_codec_export.h"

#include <utility>
#include <vector>

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

}  // namespace ordermgr
