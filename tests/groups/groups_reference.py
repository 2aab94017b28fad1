"""Plain-Python transcriptions of the group figures, read through the public
attributes of the native objects, used as the oracle in the property tests."""
import base64
import math


def ref_qty(positions):
    return min([abs(p.qty) for p in positions])


def ref_average_price(positions, totalQty):
    total_value = 0.0
    for position in positions:
        pos_cumulative_qty_considered = 0.0
        sorted_trades = sorted(position.trades.values(), key=lambda t: t.timestamp)
        for trade in sorted_trades:
            if pos_cumulative_qty_considered >= totalQty:
                break
            trade_qty_abs = abs(trade.qty)
            qty_to_consider = min(trade_qty_abs, totalQty - pos_cumulative_qty_considered)
            if not qty_to_consider > 0:
                continue
            ratio = qty_to_consider / trade_qty_abs if trade_qty_abs != 0 else 0
            value_contribution = trade.price * trade.qty * ratio
            commission_contribution = trade.commission * ratio
            total_value += value_contribution + (
                commission_contribution if trade.qty > 0 else -commission_contribution
            )
            pos_cumulative_qty_considered += qty_to_consider
    return total_value / totalQty


def ref_started(positions):
    return min(p.started for p in positions)


def ref_orderids(positions):
    acc = set()
    for p in positions:
        acc = acc.union(p.orderids)
    return acc


def ref_total_commission(positions):
    return sum(p.total_commission for p in positions)


def ref_is_long(positions):
    return bool(ref_average_price(positions, ref_qty(positions)) > 0)


def ref_key(positions):
    symbols = tuple(sorted(positions, key=lambda p: str(p.key)))
    composite = abs(hash(symbols))
    shorter = composite >> 40
    return base64.urlsafe_b64encode(shorter.to_bytes(3, "big")).decode()


def ref_summary_args(positions, stopPct=0.1, priceFetcher=None):
    """The six keyword arguments the group passes to PositionSummary."""
    qty = ref_qty(positions)
    avgprice = ref_average_price(positions, qty)
    is_long = avgprice > 0
    marketPrice = None
    if priceFetcher:
        prices = [priceFetcher(p.key) * (1 if p.is_long else -1) for p in positions]
        marketPrice = abs(sum(prices))
        if marketPrice != marketPrice:
            marketPrice = None
    if is_long:
        useprice = max(avgprice, marketPrice if marketPrice else float("-inf"))
        stop = useprice * (1 - stopPct)
    else:
        useprice = min(abs(avgprice), marketPrice if marketPrice else float("inf"))
        stop = useprice * (1 + stopPct)
    return dict(
        qty=ref_qty(positions),  # self.qty, read again after the prices are fetched
        average_price=avgprice,
        stop=stop,
        total_commission=sum(p.total_commission for p in positions),
        started=ref_started(positions),
        marketPrice=marketPrice,
    )


def same(a, b):
    """Equal in value and type, NaN matching NaN and the sign of zero kept."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        if math.isnan(a):
            return math.isnan(b)
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    return a == b or (a != a and b != b)


SUMMARY_FIELDS = ("qty", "average_price", "stop", "total_commission", "stopPct", "started",
                  "marketPrice", "profit", "stopPts", "age")


def summary_fields(s, with_age=True):
    names = SUMMARY_FIELDS if with_age else SUMMARY_FIELDS[:-1]
    return {n: getattr(s, n) for n in names}


def assert_same_fields(actual: dict, expected: dict):
    assert actual.keys() == expected.keys()
    for k in actual:
        assert same(actual[k], expected[k]), (k, actual[k], expected[k])


def ref_generate_order_desc(positions, openclose):
    legs = []
    selfsize = ref_qty(positions)
    if selfsize == 0:
        raise ValueError("Cannot generate order description for position group with zero quantity")
    for p in positions:
        if openclose == "OPEN":
            side = "BUY" if p.is_long else "SELL"
        else:
            side = "SELL" if p.is_long else "BUY"
        ratio = p.qty / selfsize
        iratio = int(ratio)
        assert iratio == ratio, (f"How did you end up with a fractional position ratio? ratio={ratio!r}"
                                 f" = p.qty={p.qty!r} / selfsize={selfsize!r}")
        legs.append(f"{side} {abs(iratio)} {p.key}")
    return " ".join(legs)


def as_double(x):
    """x as a C double argument reads it (no __float__ call for a float)."""
    return math.ldexp(x, 0)


def ref_start(om, positions, stopPct=0.1, algo="LIM"):
    stopPct = as_double(stopPct)
    summary = om.PositionSummary(**ref_summary_args(positions, stopPct=-stopPct))
    buysell = 1 if ref_is_long(positions) else -1
    return "buy '" + str(ref_generate_order_desc(positions, "OPEN")) + "' " + str(buysell) + " " + algo + " @ " + str(
        summary.stop)


def ref_stop(om, positions, stopPct=0.1, algo="LIM"):
    stopPct = as_double(stopPct)
    summary = om.PositionSummary(**ref_summary_args(positions, stopPct=stopPct))
    qty = ref_qty(positions)
    buysell = -qty if ref_is_long(positions) else qty
    ibuy = int(buysell)
    if ibuy == buysell:
        buysell = ibuy
    return "buy '" + str(ref_generate_order_desc(positions, "OPEN")) + "' " + str(buysell) + " " + algo + " @ " + str(
        summary.stop)
