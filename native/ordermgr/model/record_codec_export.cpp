#include "model/record_codec_export.h"

#include <utility>
#include <vector>

namespace ordermgr {

static std::vector<std::pair<nb::handle, zelph_record_codec *>> &exported() {
    static std::vector<std::pair<nb::handle, zelph_record_codec *>> v;
    return v;
}

void export_record_codec(nb::handle cls, zelph_record_codec *codec) { exported().emplace_back(cls, codec); }

// What a record stored before field `i` existed takes: the field's declared
// default, a new value from a builtins factory (dict, list, ...), or none
// (a required field, or another factory such as the time of day).
static PyObject *declared_default(PyTypeObject *cls, Py_ssize_t i) {
    try {
        nb::object row = nb::handle((PyObject *) cls).attr("__record_fields__")[i];
        nb::object kind = row[2];
        if (kind.equal(nb::str("default"))) return row[3].inc_ref().ptr();
        if (kind.equal(nb::str("factory"))) {
            PyObject *factory = PyDict_GetItemWithError(PyEval_GetBuiltins(), row[4].ptr());
            if (factory) return PyObject_CallNoArgs(factory);
            if (PyErr_Occurred()) return nullptr;
        }
        return nullptr;
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
}

void register_codecs_with_store(nb::handle store_module) {
    nb::object reg = store_module.attr("register");
    for (auto &[cls, codec] : exported()) {
        nb::object name = cls.attr("__name__");
        nb::object tag = nb::steal(PyUnicode_FromFormat("marlovent.ordermgr.%U", name.ptr()));
        if (!tag) throw nb::python_error();
        // The stored fields by name, from the class's field description.
        nb::list names;
        for (nb::handle row : cls.attr("__record_fields__")) names.append(row[0]);
        codec->field_names = nb::tuple(names).release().ptr();  // kept for the process
        codec->field_default = &declared_default;
        nb::object capsule = nb::steal(PyCapsule_New(codec, ZELPH_RECORD_CODEC_CAPSULE, nullptr));
        if (!capsule) throw nb::python_error();
        reg(cls, tag, nb::arg("codec") = capsule);
    }
}

}  // namespace ordermgr
