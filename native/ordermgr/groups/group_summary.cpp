#include "groups/group_summary.h"

#include <limits>
#include <vector>

#include "groups/members.h"
#include "groups/position_group.h"
#include "model/position.h"
#include "model/summary.h"
#include "pysem/builtin_sum.h"
#include "pysem/num.h"
#include "pysem/truth.h"

namespace ordermgr {

using pysem::Num;

using pysem::truth;

// abs(sum(fetcher(p.key) * (1 if p.is_long else -1) for every member)),
// every price fetched before anything is added; None for not-a-number.
static Ref market_price(PyObject *group, PyObject *fetcher) {
    Ref positions = group_field(group, PositionGroup::field::positions);
    Members ms(positions.ptr());
    std::vector<Num> legs;
    legs.reserve(ms.size());
    for (const Ref &p : ms.items()) {
        Ref key = position_field(p.ptr(), Position::field::key);
        PyObject *price = PyObject_CallOneArg(fetcher, key.ptr());
        Num fetched = Num::steal(price);
        legs.push_back(fetched * Num::of_int(position_is_long(p.ptr()) ? 1 : -1));
    }
    pysem::BuiltinSum sum;
    for (const Num &leg : legs) sum.add(leg.object().ptr());
    Num market = Num::steal(sum.result().release()).abs();
    if (market.is_float()) {
        double d = market.as_double();
        if (d != d) return none();
        return market.object();
    }
    // x != x itself, not the identity-first comparison.
    Ref m = market.object();
    Ref ne = steal(PyObject_RichCompare(m.ptr(), m.ptr(), Py_NE));
    if (!ne) throw Error();
    return truth(ne.ptr()) ? none() : m;
}

Ref summarize_group(PyObject *group, PyObject *stop_pct, PyObject *price_fetcher) {
    Ref avgprice = group_average_price(group);
    Num avg = Num::of(avgprice.ptr());
    bool is_long = avg.gt_zero();
    Ref market = none();
    if (truth(price_fetcher)) market = market_price(group, price_fetcher);

    Num pct = Num::of(stop_pct);
    Num stop;
    if (is_long) {
        Num other = truth(market.ptr()) ? Num::of(market.ptr())
                                        : Num::of_double(-std::numeric_limits<double>::infinity());
        Num useprice = other.gt(avg) ? other : avg;
        stop = useprice * (Num::of_int(1) - pct);
    } else {
        Num a = avg.abs();  // min(abs(avgprice), ...): abs before the market price's truth
        Num other = truth(market.ptr()) ? Num::of(market.ptr())
                                        : Num::of_double(std::numeric_limits<double>::infinity());
        Num useprice = other.lt(a) ? other : a;
        stop = useprice * (Num::of_int(1) + pct);
    }
    Ref stop_obj = stop.object();
    Ref qty = group_qty(group);
    Ref commission = group_total_commission(group);
    Ref started = group_started(group);
    return make_position_summary(qty.ptr(), avgprice.ptr(), stop_obj.ptr(), commission.ptr(), started.ptr(), market.ptr());
}

}  // namespace ordermgr
