// OrderMgr.temp: a scratch portfolio under a unique name for the length of a
// with-block, its store destroyed when the block ends normally.
#include <optional>

#include <nanobind/stl/optional.h>

#include "manager/order_mgr.h"
#include "model/module_ns.h"
#include "pysem/record.h"

namespace ordermgr {

struct TempScope {
    nb::object cls, name, keep, created;
};

static int temp_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    TempScope *s = nb::inst_ptr<TempScope>(self);
    Py_VISIT(s->cls.ptr());
    Py_VISIT(s->name.ptr());
    Py_VISIT(s->keep.ptr());
    Py_VISIT(s->created.ptr());
    return 0;
}

static int temp_clear(PyObject *self) {
    if (nb::inst_ready(self)) {
        TempScope *s = nb::inst_ptr<TempScope>(self);
        nb::object a = std::move(s->cls), b = std::move(s->name), c = std::move(s->keep),
                   d = std::move(s->created);
    }
    return 0;
}

static PyType_Slot temp_slots[] = {{Py_tp_traverse, (void *) temp_traverse},
                                   {Py_tp_clear, (void *) temp_clear},
                                   {0, nullptr}};

static nb::object scratch_name() {
    nb::module_ random = nb::module_::import_("random");
    nb::object n = random.attr("randint")(0, 200000);
    return nb::steal(PyUnicode_FromFormat("Test Instance %S", n.ptr()));
}

void define_temp(PyTypeObject *type) {
    nb::handle cls((PyObject *) type);
    nb::class_<TempScope>(cls, "_TempScope", nb::type_slots(temp_slots),
                          "The with-block of OrderMgr.temp.")
        .def(nb::init<>())
        .def("__enter__",
             [](TempScope &s) {
                 int empty = s.name.is_none() ? 1 : PyObject_Not(s.name.ptr());
                 if (empty < 0) throw nb::python_error();
                 nb::object name = empty ? scratch_name() : s.name;
                 s.created = s.cls(name);
                 return s.created;
             })
        .def("__exit__", [](TempScope &s, nb::handle exc_type, nb::handle, nb::handle) {
            if (!exc_type.is_none() || !s.created) return false;
            int keep = PyObject_IsTrue(s.keep.ptr());
            if (keep < 0) throw nb::python_error();
            if (!keep) s.created.attr("positions").attr("destroy")();
            return false;
        }, nb::arg("exc_type").none(), nb::arg("exc").none(), nb::arg("tb").none());

    nb::object scope = cls.attr("_TempScope");
    nb::object fn = nb::cpp_function(
        [scope](nb::handle owner, std::optional<nb::str> name, nb::object keep) {
            nb::object s = scope();
            TempScope *t = nb::inst_ptr<TempScope>(s);
            t->cls = nb::borrow(owner);
            t->name = name ? nb::object(*name) : nb::none();
            t->keep = std::move(keep);
            return s;
        },
        nb::arg("cls"), nb::arg("name").none() = nb::none(), nb::arg("keep") = false, nb::name("temp"),
        "Create a uniquely namespaced test instance then delete when complete");
    cls.attr("temp") = nb::module_::import_("builtins").attr("classmethod")(fn);
}

}  // namespace ordermgr
