#include "diagnostics/validator.h"
#include "pysem/collector_pause.h"

#include "diagnostics/message.h"
#include "diagnostics/plain_position.h"
#include "diagnostics/plain_record.h"
#include "diagnostics/reads.h"
#include "diagnostics/records.h"
#include "model/position.h"
#include "model/trade.h"
#include "pysem/compat.h"
#include "pysem/record_methods.h"
#include "pysem/record_type.h"

namespace ordermgr {

using pysem::Num;

struct DataValidatorRec : plain::Fields<0> {};

static const pysem::record::Decl data_validator_decl = plain::ordinary<DataValidatorRec>(
    "DataValidator",
    "Input validation and data consistency guards.\n\n"
    "Stateless: every function is static and returns the messages of the rules\n"
    "that failed (validate_system_consistency: one ValidationResult per position).",
    nullptr, 0);
static pysem::record::Class data_validator_class{data_validator_decl};

static PyObject *own_validate_trade = nullptr;
static PyObject *own_validate_position = nullptr;

// Quantities closer than this count as equal.
constexpr double kTolerance = 0.001;

// Whether `attr` is the package's signature wrapper around `own` (a
// staticmethod whose function's __native__ is own, or own's function). The last
// descriptor found to be one is remembered (held, so its identity stays
// meaningful).
static bool wraps_own(PyObject *attr, PyObject *own) {
    static PyObject *known[2][2];  // {own, wrapper descriptor}
    for (auto &k : known)
        if (k[0] == own && k[1] == attr) return true;
    if (!PyObject_TypeCheck(attr, &PyStaticMethod_Type)) return false;
    nb::object fn = nb::steal(PyObject_GetAttrString(attr, "__func__"));
    nb::object inner = PyObject_TypeCheck(own, &PyStaticMethod_Type)
                           ? nb::steal(PyObject_GetAttrString(own, "__func__"))
                           : nb::borrow(own);
    if (!fn || !inner) return PyErr_Clear(), false;
    nb::object native = nb::steal(PyObject_GetAttrString(fn.ptr(), "__native__"));
    if (!native) return PyErr_Clear(), false;
    if (native.ptr() != inner.ptr()) return false;
    for (auto &k : known)
        if (!k[0] || k[0] == own) {
            PyObject *old = k[1];
            k[0] = own;
            k[1] = Py_NewRef(attr);
            Py_XDECREF(old);
            break;
        }
    return true;
}

// DataValidator.<name> as the module binds it now, or null while that is
// still the module's own function `own` (or the package's signature wrapper
// around it).
static nb::object replaced_static(PyObject *name, PyObject *own) {
    PyObject *cls = module_attr(dnames.DataValidator);
    if (cls == (PyObject *) types.DataValidator) {
        PyObject *attr = pysem::compat::own_type_lookup((PyTypeObject *) cls, name);
        if (attr == own || (attr && wraps_own(attr, own))) return {};
    }
    return pysem::getattr(cls, name);
}

static nb::object call1(const nb::object &fn, PyObject *arg) {
    PyObject *r = PyObject_CallOneArg(fn.ptr(), arg);
    if (!r) raise();
    return nb::steal(r);
}

// --- trades ---------------------------------------------------------------

// The trade rules' findings, appended to `out`; inside a position each one
// is prefixed with "Trade <orderid>: ".
static void trade_findings(const nb::list &out, PyObject *trade, PyObject *orderid = nullptr) {
    auto finding = [&]() {
        Message m;
        if (orderid) m << "Trade " << nb::borrow(orderid) << ": ";
        return m;
    };
    if (num(trade_price(trade)).lt_zero())
        (finding() << "Trade price " << trade_price(trade) << " is negative (not allowed)").add_to(out);
    if (num(trade_commission(trade)).lt_zero())
        (finding() << "Trade commission " << trade_commission(trade) << " is negative (unusual)").add_to(out);
    if (num(trade_qty(trade)).eq_zero()) (finding() << "Trade quantity is zero (may indicate data error)").add_to(out);
    if (!truth(trade_orderid(trade).ptr())) (finding() << "Trade orderid is empty/None").add_to(out);
}

nb::list validate_trade(PyObject *trade) {
    nb::list errors;
    trade_findings(errors, trade);
    return errors;
}

// --- positions ------------------------------------------------------------

// Rules 1 to 3 read the generic way: every message reads the figures again.
static void position_rules(const nb::list &errors, PyObject *position) {
    nb::object calculated = trades_qty(position_trades(position).ptr());
    if ((num(calculated) - num(position_qty(position))).abs().gt(Num::of_double(kTolerance)))
        (Message() << "Position qty mismatch: calculated " << calculated << ", actual " << position_qty(position))
            .add_to(errors);

    bool expected_is_long = num(position_qty(position)).gt_zero();
    nb::object expected = nb::borrow(expected_is_long ? Py_True : Py_False);
    if (objects_differ(position_is_long_object(position).ptr(), expected.ptr()))
        (Message() << "Position is_long inconsistency: is_long=" << position_is_long_object(position)
                   << ", qty=" << position_qty(position) << " (expected is_long=" << expected_is_long << ")")
            .add_to(errors);

    if (num(position_average_price(position)).lt_zero())
        (Message() << "Position average_price " << position_average_price(position)
                   << " is negative (should always be positive in Position class)")
            .add_to(errors);
}

nb::list validate_position_consistency(PyObject *position) {
    nb::list errors;
    PlainFigures f;
    bool plain = plain_figures(position, f);
    if (!plain) {
        position_rules(errors, position);
    } else if (f.average_price.lt_zero()) {
        // A plain position's qty is the sum of its trades and its direction
        // flag is qty > 0: only the price rule can fail.
        (Message() << "Position average_price " << f.average_price.object()
                   << " is negative (should always be positive in Position class)")
            .add_to(errors);
    }

    nb::object check_trade = replaced_static(dnames.validate_trade, own_validate_trade);
    if (plain && !f.trade_findings && !check_trade) return errors;
    nb::object trades = position_trades(position);
    for_each_item(trades.ptr(), [&](PyObject *orderid, PyObject *trade) {
        if (!check_trade) return trade_findings(errors, trade, orderid);
        nb::object found = call1(check_trade, trade);
        nb::object id = nb::borrow(orderid);
        for_each(found.ptr(), [&](PyObject *text) {
            (Message() << "Trade " << id << ": " << nb::borrow(text)).add_to(errors);
        });
    });
    return errors;
}

nb::object validate_position_as_bound(PyObject *position) {
    nb::object fn = replaced_static(dnames.validate_position_consistency, own_validate_position);
    return fn ? call1(fn, position) : nb::object(validate_position_consistency(position));
}

// --- summaries ------------------------------------------------------------

nb::list validate_position_summary_consistency(PyObject *summary) {
    using pysem::getattr;
    nb::list errors;
    if (num(getattr(summary, names.qty)).le(Num()))
        (Message() << "PositionSummary qty " << getattr(summary, names.qty) << " is not positive").add_to(errors);

    bool expected_is_long = num(getattr(summary, names.average_price)).gt_zero();
    nb::object expected = nb::borrow(expected_is_long ? Py_True : Py_False);
    if (objects_differ(getattr(summary, names.is_long).ptr(), expected.ptr()))
        (Message() << "PositionSummary is_long inconsistency: is_long=" << getattr(summary, names.is_long)
                   << ", average_price=" << getattr(summary, names.average_price)
                   << " (expected is_long=" << expected_is_long << ")")
            .add_to(errors);

    if (num(getattr(summary, names.stop)).le(Num()))
        (Message() << "PositionSummary stop " << getattr(summary, names.stop) << " is not positive").add_to(errors);
    return errors;
}

// --- the whole portfolio --------------------------------------------------

nb::list validate_system_consistency(PyObject *order_mgr) {
    pysem::CollectorPause pause;  // one acyclic result per position
    nb::list results;
    nb::object positions = pysem::getattr(order_mgr, names.positions);
    nb::object check_position = replaced_static(dnames.validate_position_consistency, own_validate_position);
    for_each_item(positions.ptr(), [&](PyObject *key, PyObject *position) {
        nb::object errors =
            check_position ? call1(check_position, position) : nb::object(validate_position_consistency(position));
        nb::object text = nb::steal(PyObject_Str(key));
        if (!text) raise();
        nb::object result = new_validation_result(std::move(text), std::move(errors));
        if (PyList_Append(results.ptr(), result.ptr()) < 0) raise();
    });
    return results;
}

// --- class ----------------------------------------------------------------

void register_data_validator(nb::module_ &m) {
    PyTypeObject *cls = plain::define<DataValidatorRec, data_validator_class>(m);
    pysem::def_static(
        cls, "validate_trade", [](nb::handle trade) { return validate_trade(trade.ptr()); }, nb::arg("trade").none(),
        "Check one trade: negative price or commission, zero quantity, empty order id.");
    pysem::def_static(
        cls, "validate_position_consistency",
        [](nb::handle position) { return validate_position_consistency(position.ptr()); }, nb::arg("position").none(),
        "Check a position: quantity sum, direction flag, average price sign, and each of its trades.");
    pysem::def_static(
        cls, "validate_position_summary_consistency",
        [](nb::handle summary) { return validate_position_summary_consistency(summary.ptr()); },
        nb::arg("summary").none(), "Check a position summary: positive quantity and stop, direction by price sign.");
    pysem::def_static(
        cls, "validate_system_consistency",
        [](nb::handle order_mgr) { return validate_system_consistency(order_mgr.ptr()); }, nb::arg("order_mgr").none(),
        "Validate every stored position; one ValidationResult per position, in store order.");
    plain::keep_attr(nb::handle((PyObject *) cls), "validate_trade", &own_validate_trade);
    plain::keep_attr(nb::handle((PyObject *) cls), "validate_position_consistency", &own_validate_position);
    types.DataValidator = cls;
}

}  // namespace ordermgr
