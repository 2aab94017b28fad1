#include "diagnostics/records.h"

#include "diagnostics/reads.h"

namespace ordermgr {

static PyObject *own_post_init = nullptr;
static PyObject *post_init_name = nullptr;

static void set_is_valid(nb::handle self, bool valid) {
    PyObject *flag = valid ? Py_True : Py_False;
    if (ValidationResultRec *rec = plain::exact<ValidationResultRec>(self.ptr())) {
        nb::object old = std::move(rec->f[2]);
        rec->f[2] = nb::borrow(flag);
        return;
    }
    if (PyObject_SetAttr(self.ptr(), plain::field_names<ValidationResultRec>[2], flag) < 0)
        throw nb::python_error();
}

// is_valid = len(errors) == 0, read and written through the instance.
static void recompute_is_valid(nb::handle self) {
    nb::object errors = plain::field<ValidationResultRec>(self.ptr(), 1);
    Py_ssize_t n = PyObject_Size(errors.ptr());
    if (n < 0) throw nb::python_error();
    set_is_valid(self, n == 0);
}

void ValidationResultRec::post_init(nb::pointer_and_handle<ValidationResultRec> v) {
    if (Py_TYPE(v.h.ptr()) == plain::py_type<ValidationResultRec> &&
        _PyType_Lookup(Py_TYPE(v.h.ptr()), post_init_name) == own_post_init) {
        Py_ssize_t n = PyObject_Size(v.p->f[1].ptr());
        if (n < 0) throw nb::python_error();
        v.p->f[2] = nb::borrow(n == 0 ? Py_True : Py_False);
        return;
    }
    // A subclass (or a replaced hook) sees a fully built instance.
    nb::inst_mark_ready(v.h);
    PyObject *r = PyObject_CallMethodNoArgs(v.h.ptr(), post_init_name);
    if (!r) throw nb::python_error();
    Py_DECREF(r);
}

nb::object new_validation_result(nb::object position_key, nb::object errors) {
    Py_ssize_t n = PyObject_Size(errors.ptr());
    if (n < 0) throw nb::python_error();
    std::array<nb::object, 3> values{std::move(position_key), std::move(errors),
                                     nb::borrow(n == 0 ? Py_True : Py_False)};
    PyObject *cls = plain::bound_class<ValidationResultRec>();
    if (cls == (PyObject *) plain::py_type<ValidationResultRec> &&
        _PyType_Lookup((PyTypeObject *) cls, post_init_name) == own_post_init)
        return plain::make<ValidationResultRec>(std::move(values));
    return plain::call_with_keywords<ValidationResultRec>(cls, values);
}

static void register_validation_result(nb::module_ &m) {
    auto cls = plain::define<ValidationResultRec>(
        m,
        "Result of data validation checks.\n\n"
        "position_key: str -- key of the validated position\n"
        "errors: list[str] -- messages of every failed rule, in rule order\n"
        "is_valid: bool -- true when errors is empty; recomputed after construction");
    cls.def("__post_init__", [](nb::handle self) { recompute_is_valid(self); },
            "Recompute is_valid from the number of errors.");
    post_init_name = pysem::intern("__post_init__");
    plain::keep_attr(cls, "__post_init__", &own_post_init);
    types.ValidationResult = plain::py_type<ValidationResultRec>;
}

void register_diagnostic_records(nb::module_ &m) {
    init_diag_names();
    plain::define<SystemHealthReportRec>(
        m,
        "Structured health check report with proper typing.\n\n"
        "status: Literal['healthy', 'warnings', 'errors'] -- overall verdict\n"
        "total_positions: int -- number of positions in the store\n"
        "total_trades: int -- number of trades over all positions\n"
        "warnings: list[str] -- every finding of the data and the arithmetic checks\n"
        "errors: list[str] -- critical findings\n"
        "violations: list[str] -- the findings of the data checks alone");
    types.SystemHealthReport = plain::py_type<SystemHealthReportRec>;

    plain::define<TradeFlowEntryRec>(
        m,
        "Single entry in position trade flow analysis.\n\n"
        "orderid, timestamp, price, qty, commission -- the trade's own values\n"
        "running_qty: float -- sum of the quantities up to and including this trade\n"
        "running_cost: float -- cost basis up to and including this trade\n"
        "running_avg: float -- running_cost / running_qty (by 1 when that is zero)");
    types.TradeFlowEntry = plain::py_type<TradeFlowEntryRec>;

    plain::define<PositionCalculationsRec>(
        m,
        "Position calculation verification data.\n\n"
        "final_qty, final_cost, final_avg_price: float -- replayed totals\n"
        "position_qty, position_avg_price: float -- the position's own figures\n"
        "qty_matches, avg_price_matches: bool -- agreement within 0.001");
    types.PositionCalculations = plain::py_type<PositionCalculationsRec>;

    plain::define<PositionAnalysisRec>(
        m,
        "Complete analysis of a single position.\n\n"
        "key -- the key asked for\n"
        "qty, average_price, is_long, total_commission, empty, started -- the position's figures\n"
        "trade_flow: list[TradeFlowEntry] -- one entry per trade, in time order\n"
        "calculations: PositionCalculations -- replayed versus own values\n"
        "consistency_errors: list[str] -- messages of the validator's position rules");
    types.PositionAnalysis = plain::py_type<PositionAnalysisRec>;

    register_validation_result(m);
}

}  // namespace ordermgr
