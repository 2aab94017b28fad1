"""`pnl`, `history` and `cancel` on the command line: money with multipliers,
per currency, by both methods, marks read from a file, one-line errors."""

import json

import pytest

from cli_support import requires_store

FILLS = (
    "fill_id,order_id,key,price,qty,commission,timestamp,multiplier,currency\n"
    "X1,,X,100,10,1.0,2024-03-05T09:30:00Z,,\n"
    "X2,,X,110,-10,1.0,2024-03-05T10:00:00Z,,\n"  # closes X: realized 98.00
    "C1,O7,C,2.5,-4,2.6,2024-03-05T10:30:00Z,100,\n"  # short 4 calls at 2.50, multiplier 100
    "E1,,SAP,180,5,,2024-03-05T10:31:00Z,,EUR\n"
    "7,,7,20,1,,2024-03-05T10:32:00Z,,\n"
)
LATE = "fill_id,key,price,qty,commission\nE1,SAP,,,3.5\n"


@requires_store
def test_pnl_json_money_per_currency_and_the_text_names_it(tool, write):
    assert tool("import", write("day.csv", FILLS)).returncode == 0
    assert tool("import", write("late.csv", LATE)).returncode == 0
    marks = write("marks.csv", "key,price\nC,2.0\nSAP,181\n7,21.5\nZ,1\n")
    r = tool("pnl", "--marks", marks, "--json")
    assert r.returncode == 0, r.stderr
    data = json.loads(r.stdout)
    rows = {row["key"]: row for row in data["rows"]}
    assert [row["key"] for row in data["rows"]] == ["7", "C", "SAP", "X"]
    assert rows["X"]["realized"] == 98.0 and rows["X"]["unrealized"] == 0 and rows["X"]["qty"] == 0
    # Short 4 calls at 2.50 (commission 2.60) marked at 2.00: (2.50 - 2.00) * 4 * 100 - 2.60 = 197.40.
    c = rows["C"]
    assert (c["multiplier"], c["currency"], c["qty"]) == (100, "USD", -4)
    assert c["unrealized"] == pytest.approx(197.4) and c["average_cost"] == pytest.approx(2.4935)
    # 5 SAP at 180 with a late commission of 3.50, marked at 181: 5 - 3.50 = 1.50 EUR, not in USD.
    assert rows["SAP"]["currency"] == "EUR" and rows["SAP"]["unrealized"] == pytest.approx(1.5)
    assert set(data["totals"]) == {"EUR", "USD"}
    assert data["totals"]["USD"]["realized"] == 98.0
    assert data["totals"]["USD"]["unrealized"] == pytest.approx(197.4 + 1.5)
    assert data["totals"]["EUR"] == {"realized": 0, "unrealized": pytest.approx(1.5), "unmarked": []}
    assert "no position or fills of Z" in r.stderr
    text = tool("pnl", "--method", "fifo").stdout.splitlines()
    assert text[0] == "Realized by FIFO lots."
    assert any(line.startswith("| Total EUR ") for line in text) and "EUR 0.00" in "\n".join(text)
    assert any("no mark" in line for line in text)

    r = tool("history", "--json")
    (trip,) = json.loads(r.stdout)
    assert (trip["key"], trip["qty"], trip["realized_average"], trip["realized_fifo"]) == ("X", 10, 98.0, 98.0)
    r = tool("cancel", "X2")
    assert r.returncode == 0 and "Cancelled fill X2" in r.stdout
    assert json.loads(tool("history", "--json").stdout) == []
    r = tool("cancel", "X2")
    assert r.returncode == 1 and "no fill with id 'X2'" in r.stderr and "Traceback" not in r.stderr

    # Quantities in the text are the decimals written: an open 0.0025 is not a flat 0.0.
    small = "fill_id,key,price,qty,timestamp\nB1,BTC,60000,0.0025,2024-03-05T11:00:00Z\n"
    small += "S1,SOL,100,1.25,2024-03-05T11:00:00Z\nS2,SOL,101,-1.25,2024-03-05T12:00:00Z\n"
    assert tool("import", write("small.csv", small)).returncode == 0
    rows = {line.split("|")[1].strip(): line.split("|")[2].strip() for line in tool("pnl").stdout.splitlines() if line.startswith("| ")}
    assert (rows["BTC"], rows["SOL"], rows["C"]) == ("0.0025", "0", "-4")
    assert "| SOL " in (trip := tool("history").stdout) and "| 1.25 " in trip


@requires_store
@pytest.mark.parametrize(
    "marks, message",
    [
        ("key,price\nY,abc\n", "price 'abc' is not a number"),
        ("sym,last\nY,1\n", "must name the columns key and price"),
        ("key,price\nY,1\nY,2\n", "a second mark"),
        # A long header is quoted by its first columns only.
        (",".join(["symbol"] * 100000) + "\nY,1\n", "not symbol, symbol, symbol, symbol, ... (100,000 columns); fix"),
    ],
)
def test_bad_marks_are_one_line_each(tool, write, marks, message):
    assert tool("import", write("a.csv", "key,orderid,price,qty,commission,timestamp\nY,3,50,4,0.1,2024-03-05T10:30:00Z\n")).returncode == 0
    r = tool("pnl", "--marks", write("m.csv", marks))
    assert r.returncode == 1 and message in r.stderr and "Traceback" not in r.stderr and len(r.stderr) < 1000
