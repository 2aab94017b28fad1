#include "diagnostics/validator.h"
#include "pysem/collector_pause.h"

#include "diagnostics/message.h"
#include "diagnostics/overrides.h"
#include "model/module_ns.h"
#include "pysem/protocol.h"
#include "diagnostics/records.h"
#include "manager/order_mgr.h"
#include "model/position.h"
#include "model/summary.h"
#include "model/trade.h"
#include "pysem/compat.h"
#include "pysem/method.h"
#include "pysem/record_type.h"

namespace ordermgr {

using namespace pysem::protocol;

using pysem::Num;

#define DATA_VALIDATOR_FIELDS(F)

struct DataValidatorRec {
    PYSEM_RECORD_FIELDS(DATA_VALIDATOR_FIELDS)
};

static PyMethodDef *data_validator_methods(const char *owner);

static const pysem::record::Decl data_validator_decl = {
    .name = "DataValidator",
    .doc = "Input validation and data consistency guards.\n\n"
           "Stateless: every function is static and returns the messages of the rules\n"
           "that failed (validate_system_consistency: one ValidationResult per position).",
    .fields = PYSEM_RECORD_TABLE(DataValidatorRec, DATA_VALIDATOR_FIELDS),
    .ordinary = true,
    .methods = data_validator_methods,
};
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
    Ref fn = steal(PyObject_GetAttrString(attr, "__func__"));
    Ref inner = PyObject_TypeCheck(own, &PyStaticMethod_Type)
                           ? steal(PyObject_GetAttrString(own, "__func__"))
                           : borrow(own);
    if (!fn || !inner) return PyErr_Clear(), false;
    Ref native = steal(PyObject_GetAttrString(fn.ptr(), "__native__"));
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
static Ref replaced_static(PyObject *name, PyObject *own) {
    PyObject *cls = module_attr(names().DataValidator);
    if (cls == (PyObject *) data_validator_class.type) {
        PyObject *attr = pysem::compat::own_type_lookup((PyTypeObject *) cls, name);
        if (attr == own || (attr && wraps_own(attr, own))) return {};
    }
    return pysem::getattr(cls, name);
}

static Ref call1(const Ref &fn, PyObject *arg) {
    PyObject *r = PyObject_CallOneArg(fn.ptr(), arg);
    if (!r) raise();
    return steal(r);
}

// --- trades ---------------------------------------------------------------

// The trade rules' findings, appended to `out`; inside a position each one
// is prefixed with "Trade <orderid>: ".
static void trade_findings(PyObject *out, PyObject *trade, PyObject *orderid = nullptr) {
    auto finding = [&]() {
        Message m;
        if (orderid) m << "Trade " << borrow(orderid) << ": ";
        return m;
    };
    if (num(trade_field(trade, Trade::field::price)).lt_zero())
        (finding() << "Trade price " << trade_field(trade, Trade::field::price) << " is negative (not allowed)").add_to(out);
    if (num(trade_field(trade, Trade::field::commission)).lt_zero())
        (finding() << "Trade commission " << trade_field(trade, Trade::field::commission) << " is negative (unusual)").add_to(out);
    if (num(trade_field(trade, Trade::field::qty)).eq_zero()) (finding() << "Trade quantity is zero (may indicate data error)").add_to(out);
    if (!truth(trade_field(trade, Trade::field::orderid).ptr())) (finding() << "Trade orderid is empty/None").add_to(out);
}

Ref validate_trade(PyObject *trade) {
    Ref errors = pysem::new_list();
    trade_findings(errors.ptr(), trade);
    return errors;
}

// --- positions ------------------------------------------------------------

// Rules 1 to 3 read the generic way: every message reads the figures again.
static void position_rules(PyObject *errors, PyObject *position) {
    Ref calculated = trades_qty(position_field(position, Position::field::trades).ptr());
    if ((num(calculated) - num(position_qty(position))).abs().gt(Num::of_double(kTolerance)))
        (Message() << "Position qty mismatch: calculated " << calculated << ", actual " << position_qty(position))
            .add_to(errors);

    bool expected_is_long = num(position_qty(position)).gt_zero();
    Ref expected = borrow(expected_is_long ? Py_True : Py_False);
    if (objects_differ(position_is_long_object(position).ptr(), expected.ptr()))
        (Message() << "Position is_long inconsistency: is_long=" << position_is_long_object(position)
                   << ", qty=" << position_qty(position) << " (expected is_long=" << expected_is_long << ")")
            .add_to(errors);

    if (num(position_average_price(position)).lt_zero())
        (Message() << "Position average_price " << position_average_price(position)
                   << " is negative (should always be positive in Position class)")
            .add_to(errors);
}

Ref validate_position_consistency(PyObject *position) {
    Ref errors = pysem::new_list();
    KeptFigures f;
    bool kept = kept_figures(position, f);
    if (!kept) {
        position_rules(errors.ptr(), position);
    } else if (f.average_price.lt_zero()) {
        // A kept position's qty is the sum of its trades and its direction
        // flag is qty > 0: only the price rule can fail.
        (Message() << "Position average_price " << f.average_price.object()
                   << " is negative (should always be positive in Position class)")
            .add_to(errors);
    }

    Ref check_trade = replaced_static(names().validate_trade, own_validate_trade);
    if (kept && !f.trade_findings && !check_trade) return errors;
    Ref trades = position_field(position, Position::field::trades);
    for_each_item(trades.ptr(), [&](PyObject *orderid, PyObject *trade) {
        if (!check_trade) return trade_findings(errors.ptr(), trade, orderid);
        Ref found = call1(check_trade, trade);
        Ref id = borrow(orderid);
        for_each(found.ptr(), [&](PyObject *text) {
            (Message() << "Trade " << id << ": " << borrow(text)).add_to(errors);
        });
    });
    return errors;
}

Ref validate_position_as_bound(PyObject *position) {
    Ref fn = replaced_static(names().validate_position_consistency, own_validate_position);
    return fn ? call1(fn, position) : Ref(validate_position_consistency(position));
}

// --- summaries ------------------------------------------------------------

Ref validate_position_summary_consistency(PyObject *summary) {
    using pysem::getattr;
    using S = PositionSummary::field;
    Ref errors = pysem::new_list();
    if (num(summary_field(summary, S::qty)).le(Num()))
        (Message() << "PositionSummary qty " << summary_field(summary, S::qty) << " is not positive").add_to(errors);

    bool expected_is_long = num(summary_field(summary, S::average_price)).gt_zero();
    Ref expected = borrow(expected_is_long ? Py_True : Py_False);
    if (objects_differ(getattr(summary, names().is_long).ptr(), expected.ptr()))
        (Message() << "PositionSummary is_long inconsistency: is_long=" << getattr(summary, names().is_long)
                   << ", average_price=" << summary_field(summary, S::average_price)
                   << " (expected is_long=" << expected_is_long << ")")
            .add_to(errors);

    if (num(summary_field(summary, S::stop)).le(Num()))
        (Message() << "PositionSummary stop " << summary_field(summary, S::stop) << " is not positive").add_to(errors);
    return errors;
}

// --- the whole portfolio --------------------------------------------------

Ref validate_system_consistency(PyObject *order_mgr) {
    pysem::CollectorPause pause;  // one acyclic result per position
    Ref results = pysem::new_list();
    Ref positions = order_mgr_field(order_mgr, OrderMgr::field::positions);
    Ref check_position = replaced_static(names().validate_position_consistency, own_validate_position);
    for_each_item(positions.ptr(), [&](PyObject *key, PyObject *position) {
        Ref errors =
            check_position ? call1(check_position, position) : Ref(validate_position_consistency(position));
        Ref text = steal(PyObject_Str(key));
        if (!text) raise();
        Ref result = new_validation_result(std::move(text), std::move(errors));
        if (PyList_Append(results.ptr(), result.ptr()) < 0) raise();
    });
    return results;
}

// --- class ----------------------------------------------------------------

constexpr pysem::Method validate_trade_method = {
    "validate_trade",
    "validate_trade(trade)\n--\n\nCheck one trade: negative price or commission, zero quantity, empty order id.",
    [](PyObject *, PyObject *const *a) { return validate_trade(a[0]); }, pysem::Method::Static};
constexpr pysem::Method validate_position_method = {
    "validate_position_consistency",
    "validate_position_consistency(position)\n--\n\n"
    "Check a position: quantity sum, direction flag, average price sign, and each of its trades.",
    [](PyObject *, PyObject *const *a) { return validate_position_consistency(a[0]); }, pysem::Method::Static};
constexpr pysem::Method validate_summary_method = {
    "validate_position_summary_consistency",
    "validate_position_summary_consistency(summary)\n--\n\n"
    "Check a position summary: positive quantity and stop, direction by price sign.",
    [](PyObject *, PyObject *const *a) { return validate_position_summary_consistency(a[0]); },
    pysem::Method::Static};
constexpr pysem::Method validate_system_method = {
    "validate_system_consistency",
    "validate_system_consistency(order_mgr)\n--\n\n"
    "Validate every stored position; one ValidationResult per position, in store order.",
    [](PyObject *, PyObject *const *a) { return validate_system_consistency(a[0]); }, pysem::Method::Static};

static PyMethodDef *data_validator_methods(const char *owner) {
    using pysem::method_def;
    static PyMethodDef methods[] = {
        method_def<validate_trade_method>(owner),
        method_def<validate_position_method>(owner),
        method_def<validate_summary_method>(owner),
        method_def<validate_system_method>(owner),
        {},
    };
    return methods;
}

void register_data_validator(PyObject *module) {
    PyTypeObject *cls = pysem::record::define<DataValidatorRec, data_validator_class>(module);
    keep_attr(cls, "validate_trade", &own_validate_trade);
    keep_attr(cls, "validate_position_consistency", &own_validate_position);
}

}  // namespace ordermgr
