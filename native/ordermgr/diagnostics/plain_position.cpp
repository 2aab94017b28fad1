#include "diagnostics/plain_position.h"

#include "model/kept_book.h"
#include "model/module_ns.h"
#include "model/payload.h"
#include "model/plain_fold.h"
#include "model/position.h"
#include "model/trade.h"

namespace ordermgr {

using pysem::Num;

bool plain_figures(PyObject *position, PlainFigures &out) {
    Position *p = Payload<Position>::of_exact(position);
    PyObject *book = p ? p->trades.ptr() : nullptr;
    if (!book || !PyDict_CheckExact(book)) return false;
    // The book keeps this fold (extended as trades are appended).
    KeptBook *kept = KeptBook::of(book);
    if (!kept || !kept->fold().plain_ok) return false;
    const PlainFold &f = kept->fold().plain;
    out.qty = f.qty.result();
    out.total_commission = f.commission.result();
    out.total_cost = f.cost.result();
    out.average_price = Num::of_double(f.average_price());
    out.trades = PyDict_GET_SIZE(book);
    out.book = book;
    out.negative_price = f.negative_price;
    out.trade_findings = f.findings;
    return true;
}

}  // namespace ordermgr
