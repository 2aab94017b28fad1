"""Trade and Position figures written as plain Python over the public
attributes of the records: the oracle of the differential tests."""


def trade_average_price(t):
    if t.qty == 0:
        return 0.0
    return (t.price * t.qty + (t.commission if t.qty > 0 else -t.commission)) / t.qty


def position_qty(p):
    return sum(t.qty for t in p.trades.values())


def position_total_commission(p):
    return sum(t.commission for t in p.trades.values())


def position_empty(p):
    return bool(p.qty == 0)


def position_is_long(p):
    return bool(p.qty > 0)


def position_average_price(p):
    pq = 0.0
    tq = 0.0
    for t in p.trades.values():
        pq += t.price * t.qty + (t.commission if t.qty > 0 else -t.commission)
        tq += t.qty
    return pq / tq if tq != 0 else pq / 1


def summary_is_long(s):
    return bool(s.average_price > 0)


def summary_derived(qty, average_price, stop, total_commission, started, marketPrice=None):
    """The fields PositionSummary ends up with (age left out), derived in
    the record's order."""
    is_long = lambda: average_price > 0  # noqa: E731 - the property, read at each step
    if marketPrice:
        profit = marketPrice - average_price if is_long() else abs(average_price) - marketPrice
    else:
        profit = None
    a = abs(average_price)
    if a == 0:
        stopPct = 0.0
    elif is_long():
        stopPct = round((a - stop) / a, 2)
    else:
        stopPct = round((stop - a) / a, 2)
    stopPts = round(stop - abs(average_price), 8)
    stop = round(stop, 8)
    average_price = round(average_price, 8)
    return [qty, average_price, stop, total_commission, stopPct, started, marketPrice, profit, stopPts]
