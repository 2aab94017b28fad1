// One-call access to the validation, diagnostics and reporting services: a
// fresh service object over this manager per call, looked up in the module
// namespace when the call runs.
#include <string>

#include "manager/order_mgr.h"
#include "model/module_ns.h"
#include "pysem/format.h"
#include "pysem/method.h"
#include "pysem/record.h"

namespace ordermgr {

using pysem::check;

// <class as the module names it now>(mgr)
static Ref service(PyObject *class_name, PyObject *mgr) {
    Ref cls = borrow(module_attr(class_name));
    return check(PyObject_CallOneArg(cls.ptr(), mgr));
}

static Ref call(PyObject *obj, PyObject *method) { return check(PyObject_CallMethodNoArgs(obj, method)); }

static Ref read(PyObject *obj, PyObject *name) { return check(PyObject_GetAttr(obj, name)); }

static Ref as_float(PyObject *value) {
    double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) throw Error();
    return check(PyFloat_FromDouble(d));
}

static Ref portfolio_report(PyObject *self, PyObject *stopPct) {
    Ref pct = as_float(stopPct);
    Ref reporter = service(names().SystemReporter, self);
    Ref method = read(reporter.ptr(), names().position_summary);
    PyObject *args[] = {pct.ptr()};
    return check(PyObject_Vectorcall(method.ptr(), args, 0, state().stopPct_keyword));
}

static void append_list_section(std::string &out, const char *title, PyObject *items) {
    int present = PyObject_IsTrue(items);
    if (present < 0) throw Error();
    if (!present) return;
    out += title;
    out += '\n';
    Ref it = check(PyObject_GetIter(items));
    while (PyObject *item = PyIter_Next(it.ptr())) {
        Ref guard = steal(item);
        out += "  - ";
        pysem::append_default(out, item);
        out += '\n';
    }
    if (PyErr_Occurred()) throw Error();
    out += '\n';
}

// The facade methods of this manager object (a subclass's overrides count).
static Ref debug_summary(PyObject *self) {
    const Names &n = names();
    std::string out = "ORDERMGR DEBUG SUMMARY\n";
    out += std::string(80, '=');
    out += "\n\n";
    Ref health = call(self, n.health_check);
    Ref status = call(read(health.ptr(), n.status).ptr(), n.upper);
    out += "SYSTEM HEALTH: ";
    pysem::append_default(out, status.ptr());
    out += "\nTotal Positions: ";
    pysem::append_default(out, read(health.ptr(), n.total_positions).ptr());
    out += "\nTotal Trades: ";
    pysem::append_default(out, read(health.ptr(), n.total_trades).ptr());
    out += "\n\n";
    append_list_section(out, "WARNINGS:", read(health.ptr(), n.warnings).ptr());
    append_list_section(out, "ERRORS:", read(health.ptr(), n.errors).ptr());
    Ref table = call(self, n.position_table);
    out += "POSITION TABLE:\n";
    pysem::append_default(out, table.ptr());
    out += "\n\n";
    Ref report = call(self, n.portfolio_report);
    pysem::append_default(out, report.ptr());
    out += "\n\n";
    Ref spreads = call(self, n.spread_report);
    pysem::append_default(out, spreads.ptr());
    return pysem::utf8_to_str(out);
}

const pysem::Method health_check_method = {
    "health_check", "health_check($self)\n--\n\nRun comprehensive health check on this OrderMgr instance.",
    [](PyObject *self, PyObject *const *) {
        return call(service(names().SystemDiagnostics, self).ptr(), names().health_check);
    },
    pysem::Method::Function};

const pysem::Method validate_consistency_method = {
    "validate_consistency", "validate_consistency($self)\n--\n\nValidate data consistency across all positions.",
    [](PyObject *self, PyObject *const *) {
        Ref validator = borrow(module_attr(names().DataValidator));
        Ref check_all = read(validator.ptr(), pysem::intern("validate_system_consistency"));
        return check(PyObject_CallOneArg(check_all.ptr(), self));
    },
    pysem::Method::Function};

const pysem::Method position_table_method = {
    "position_table", "position_table($self)\n--\n\nGenerate formatted table of all positions.",
    [](PyObject *self, PyObject *const *) {
        return call(service(names().SystemReporter, self).ptr(), names().position_table);
    },
    pysem::Method::Function};

const pysem::Method portfolio_report_method = {
    "portfolio_report",
    "portfolio_report($self, stopPct=0.1)\n--\n\nGenerate comprehensive portfolio summary report.",
    [](PyObject *self, PyObject *const *a) {
        static PyObject *const default_pct = PyFloat_FromDouble(0.1);  // kept for the process
        return portfolio_report(self, a[0] ? a[0] : default_pct);
    },
    pysem::Method::Function};

const pysem::Method spread_report_method = {
    "spread_report", "spread_report($self)\n--\n\nGenerate spread analysis report.",
    [](PyObject *self, PyObject *const *) {
        return call(service(names().SystemReporter, self).ptr(), names().spread_analysis);
    },
    pysem::Method::Function};

const pysem::Method analyze_position_method = {
    "analyze_position",
    "analyze_position($self, key)\n--\n\nDeep analysis of a specific position.\n\n"
    "Returns None when the key is not in the portfolio.",
    [](PyObject *self, PyObject *const *a) {
        Ref diagnostics = service(names().SystemDiagnostics, self);
        return check(PyObject_CallMethodOneArg(diagnostics.ptr(), names().analyze_position, a[0]));
    },
    pysem::Method::Function};

const pysem::Method debug_summary_method = {
    "debug_summary", "debug_summary($self)\n--\n\nGenerate a complete debug summary of the system.",
    [](PyObject *self, PyObject *const *) { return debug_summary(self); },
    pysem::Method::Function};

}  // namespace ordermgr
