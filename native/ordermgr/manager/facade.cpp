// One-call access to the validation, diagnostics and reporting services: a
// fresh service object over this manager per call, looked up in the module
// namespace when the call runs.
#include <string>

#include "manager/order_mgr.h"
#include "model/module_ns.h"
#include "pysem/format.h"
#include "pysem/record.h"
#include "pysem/record_methods.h"

namespace ordermgr {

static nb::object service(const char *class_name, nb::handle mgr) {
    PyObject *cls = module_attr(pysem::intern(class_name));
    PyObject *r = PyObject_CallOneArg(cls, mgr.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

static nb::object call(nb::handle obj, const char *method) {
    PyObject *r = PyObject_CallMethod(obj.ptr(), method, nullptr);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

static nb::object as_float(nb::handle value) {
    double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return nb::steal(PyFloat_FromDouble(d));
}

static nb::object portfolio_report(nb::handle self, nb::handle stopPct) {
    nb::object pct = as_float(stopPct);
    nb::object reporter = service("SystemReporter", self);
    nb::object method = reporter.attr("position_summary");
    nb::object kwnames = nb::make_tuple("stopPct");
    PyObject *args[] = {pct.ptr()};
    PyObject *r = PyObject_Vectorcall(method.ptr(), args, 0, kwnames.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// The facade methods of this manager object (a subclass's overrides count).
static nb::object own(nb::handle self, const char *method) { return call(self, method); }

static void append_list_section(std::string &out, const char *title, PyObject *items) {
    int present = PyObject_IsTrue(items);
    if (present < 0) throw nb::python_error();
    if (!present) return;
    out += title;
    out += '\n';
    nb::object it = nb::steal(PyObject_GetIter(items));
    if (!it) throw nb::python_error();
    while (PyObject *item = PyIter_Next(it.ptr())) {
        nb::object guard = nb::steal(item);
        out += "  - ";
        pysem::append_default(out, item);
        out += '\n';
    }
    if (PyErr_Occurred()) throw nb::python_error();
    out += '\n';
}

static nb::object debug_summary(nb::handle self) {
    std::string out = "ORDERMGR DEBUG SUMMARY\n";
    out += std::string(80, '=');
    out += "\n\n";
    nb::object health = own(self, "health_check");
    nb::object status = call(health.attr("status"), "upper");
    out += "SYSTEM HEALTH: ";
    pysem::append_default(out, status.ptr());
    out += "\nTotal Positions: ";
    pysem::append_default(out, health.attr("total_positions").ptr());
    out += "\nTotal Trades: ";
    pysem::append_default(out, health.attr("total_trades").ptr());
    out += "\n\n";
    append_list_section(out, "WARNINGS:", health.attr("warnings").ptr());
    append_list_section(out, "ERRORS:", health.attr("errors").ptr());
    nb::object table = own(self, "position_table");
    out += "POSITION TABLE:\n";
    pysem::append_default(out, table.ptr());
    out += "\n\n";
    nb::object report = own(self, "portfolio_report");
    pysem::append_default(out, report.ptr());
    out += "\n\n";
    nb::object spreads = own(self, "spread_report");
    pysem::append_default(out, spreads.ptr());
    return pysem::utf8_to_str(out);
}

void define_facade(PyTypeObject *cls) {
    static nb::handle default_pct = PyFloat_FromDouble(0.1);
    pysem::def_method(cls, "health_check", [](nb::handle self) { return call(service("SystemDiagnostics", self), "health_check"); },
            "Run comprehensive health check on this OrderMgr instance.");
    pysem::def_method(
        cls,
        "validate_consistency",
        [](nb::handle self) {
            nb::handle validator(module_attr(pysem::intern("DataValidator")));
            return validator.attr("validate_system_consistency")(self);
        },
        "Validate data consistency across all positions.");
    pysem::def_method(cls, "position_table", [](nb::handle self) { return call(service("SystemReporter", self), "position_table"); },
            "Generate formatted table of all positions.");
    pysem::def_method(cls, "portfolio_report", &portfolio_report, nb::arg("stopPct").none() = default_pct,
            "Generate comprehensive portfolio summary report.");
    pysem::def_method(cls, "spread_report", [](nb::handle self) { return call(service("SystemReporter", self), "spread_analysis"); },
            "Generate spread analysis report.");
    pysem::def_method(
        cls,
        "analyze_position",
        [](nb::handle self, nb::handle key) {
            nb::object diagnostics = service("SystemDiagnostics", self);
            PyObject *r = PyObject_CallMethodOneArg(diagnostics.ptr(), pysem::intern("analyze_position"), key.ptr());
            if (!r) throw nb::python_error();
            return nb::steal(r);
        },
        nb::arg("key").none(),
        "Deep analysis of a specific position.\n\nReturns None when the key is not in the portfolio.");
    pysem::def_method(cls, "debug_summary", &debug_summary, "Generate a complete debug summary of the system.");
}

}  // namespace ordermgr
