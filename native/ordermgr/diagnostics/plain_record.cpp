#include "diagnostics/plain_record.h"

#include <vector>

namespace ordermgr::plain {

static std::vector<PyObject **> &kept() {
    static std::vector<PyObject **> slots;
    return slots;
}

// Runs from atexit, before the module's objects are torn down, so that the
// kept attributes do not outlive their classes.
static PyObject *release_kept(PyObject *, PyObject *) {
    for (PyObject **slot : kept()) Py_CLEAR(*slot);
    kept().clear();
    Py_RETURN_NONE;
}

static PyMethodDef release_def = {"_release_kept_attributes", release_kept, METH_NOARGS, nullptr};

void keep_attr(nb::handle cls, const char *name, PyObject **slot) {
    PyObject *v = pysem::compat::type_lookup((PyTypeObject *) cls.ptr(), pysem::intern(name));
    if (!v) throw std::runtime_error(std::string("missing class attribute ") + name);
    if (kept().empty()) {
        nb::object fn = nb::steal(PyCFunction_New(&release_def, nullptr));
        if (!fn) throw nb::python_error();
        nb::module_::import_("atexit").attr("register")(fn);
    }
    *slot = Py_NewRef(v);
    kept().push_back(slot);
}

}  // namespace ordermgr::plain
