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
