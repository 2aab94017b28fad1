"""Writes examples/fills-day.csv: one realistic trading day of fills.

    python examples/make_fills_day.py [OUTPUT]

The day (5 March 2024, New York time, UTC-05:00) holds: stocks bought in
many partial fills through the day, some scaled out; a short built and partly
covered; two positions opened and closed again (the closing fill deletes
them); a vertical call spread filled in two parts; an iron condor; a 1:2 ratio
spread; and, after the close, a late commission for a morning fill.  Each fill
has its own order id (partial fills carry the order number and a fill number);
the legs of one spread fill share theirs, which is how the tool groups them.
The output is the same on every run.
"""

from __future__ import annotations

import csv
import datetime as dt
import os
import random
import sys

NY = dt.timezone(dt.timedelta(hours=-5))
DAY = dt.datetime(2024, 3, 5, 9, 30, tzinfo=NY)
HEADER = ("key", "orderid", "price", "qty", "commission", "timestamp")

# symbol, opening price, daily drift, intended size (negative: short)
STOCKS = [
    ("AAPL", 170.10, -0.004, 1200),
    ("MSFT", 402.50, 0.006, 600),
    ("NVDA", 852.30, 0.012, 400),
    ("AMZN", 177.40, 0.003, 900),
    ("GOOGL", 133.60, -0.002, 1000),
    ("META", 498.20, 0.008, 300),
    ("JPM", 184.90, 0.001, 700),
    ("XOM", 105.30, -0.003, 1500),
    ("TSLA", 186.80, -0.025, -800),
    ("INTC", 43.20, -0.010, -2500),
    ("KO", 59.80, 0.001, 2000),
    ("PFE", 27.60, 0.002, 3000),
]


def commission(qty: int) -> float:
    return round(max(1.0, abs(qty) * 0.005), 2)


def when(minute: float) -> dt.datetime:
    return (DAY + dt.timedelta(minutes=minute)).replace(microsecond=0)


class Day:
    def __init__(self) -> None:
        self.rng = random.Random(20240305)
        self.rows: list[tuple[dt.datetime, tuple[str, str, str, str, str]]] = []
        self.order = 1000

    def next_order(self) -> int:
        self.order += 1
        return self.order

    def add(self, t: dt.datetime, key: str, orderid: str, price: float | str, qty: int | str, fee: float | str) -> None:
        self.rows.append((t, (key, orderid, str(price), str(qty), str(fee))))

    def price_at(self, base: float, drift: float, minute: float) -> float:
        noise = self.rng.gauss(0, 0.0015)
        return round(base * (1 + drift * minute / 390 + noise), 2)

    def sliced(self, key: str, base: float, drift: float, total: int, start: float, end: float) -> None:
        """One parent order worked in child fills between two minutes."""
        order = self.next_order()
        sign = 1 if total > 0 else -1
        left, n = abs(total), 0
        minute = start
        while left > 0:
            n += 1
            size = min(left, self.rng.choice((10, 25, 25, 50, 50, 75, 100, 100)))
            left -= size
            minute = min(end, minute + self.rng.uniform(1, (end - start) / 6 + 1))
            qty = sign * size
            self.add(when(minute), key, f"{order}-{n}", self.price_at(base, drift, minute), qty, commission(qty))

    def spread(self, minute: float, order: str, legs: list[tuple[str, float, int]]) -> None:
        for key, price, qty in legs:
            self.add(when(minute), key, order, price, qty, round(0.65 * abs(qty), 2))


def build() -> list[list[str]]:
    d = Day()
    for key, base, drift, size in STOCKS:
        # Build most of the position in the morning, the rest after lunch.
        first = int(size * 0.6)
        d.sliced(key, base, drift, first, d.rng.uniform(0, 40), 120)
        d.sliced(key, base, drift, size - first, d.rng.uniform(150, 200), 300)
    # Scale out of winners in the afternoon (still long afterwards).
    d.sliced("NVDA", 852.30, 0.012, -150, 320, 360)
    d.sliced("META", 498.20, 0.008, -100, 330, 370)
    # Partly cover the TSLA short.
    d.sliced("TSLA", 186.80, -0.025, 300, 340, 380)
    # Round trips closed the same day: the closing fill deletes the position.
    d.add(when(45), "DIS", f"{d.next_order()}-1", 111.85, 400, 2.0)
    d.add(when(47), "DIS", f"{d.next_order()}-1", 112.10, 200, 1.0)
    d.add(when(301), "DIS", f"{d.next_order()}-1", 113.40, -600, 3.0)
    d.add(when(60), "BA", f"{d.next_order()}-1", 204.30, -300, 1.5)
    d.add(when(275), "BA", f"{d.next_order()}-1", 201.75, 300, 1.5)
    # Vertical call spread (debit), filled 6 then 4.
    d.spread(95, "V2001-1", [("SPY 240315C00510000", 5.12, 6), ("SPY 240315C00515000", 2.31, -6)])
    d.spread(97, "V2001-2", [("SPY 240315C00510000", 5.18, 4), ("SPY 240315C00515000", 2.35, -4)])
    # Iron condor (credit): short strangle inside a long one.
    d.spread(
        130,
        "IC3001",
        [
            ("QQQ 240328P00420000", 2.05, -5),
            ("QQQ 240328P00415000", 1.38, 5),
            ("QQQ 240328C00450000", 1.96, -5),
            ("QQQ 240328C00455000", 1.22, 5),
        ],
    )
    # 1:2 ratio call spread.
    d.spread(210, "R4001", [("IWM 240419C00205000", 3.40, 5), ("IWM 240419C00210000", 1.62, -10)])
    d.rows.sort(key=lambda r: r[0])
    # The broker reports the commission of a morning AAPL fill after the close.
    late = next(r for r in d.rows if r[1][0] == "AAPL")
    late_key, late_order = late[1][0], late[1][1]
    out = [[*cells, t.isoformat()] for t, cells in d.rows]
    out.append([late_key, late_order, "", "", "4.95", ""])
    return out


def main(argv: list[str]) -> None:
    here = os.path.dirname(os.path.abspath(__file__))
    path = argv[1] if len(argv) > 1 else os.path.join(here, "fills-day.csv")
    with open(path, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(HEADER)
        w.writerows(build())
    print(path)


if __name__ == "__main__":
    main(sys.argv)
