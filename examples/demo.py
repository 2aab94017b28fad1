"""The demonstration: a day of fills through the ``ordermgr`` tool.

    python examples/demo.py [DATA_DIR]

Imports ``examples/fills-day.csv`` into a fresh demo data directory (a new
temporary one unless DATA_DIR is given), then prints the debug summary, the
order lines of every group, the profit and loss, the closed round trips and the
replay of one position, exactly as the commands shown print them.  Then the
option spread of the README's worked example (partial fills under one order,
multiplier 100, commissions reported later) goes into a second portfolio, and
its P&L is printed at the marks by both methods.
"""

from __future__ import annotations

import os
import shlex
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
FILLS = os.path.join(HERE, "fills-day.csv")
SPREAD = [os.path.join(HERE, name) for name in ("spread-fills.csv", "spread-commissions.csv")]
SPREAD_MARKS = os.path.join(HERE, "spread-marks.csv")


def tool_name() -> str:
    """How the reader can run the tool from here: by name when it is on PATH."""
    found = shutil.which("ordermgr")
    here = os.path.dirname(sys.executable)
    if found and os.path.dirname(os.path.abspath(found)) == os.path.abspath(here):
        return "ordermgr"
    script = os.path.join(here, "ordermgr")
    return os.path.relpath(script) if os.path.exists(script) else f"{sys.executable} -m marlovent"


def ordermgr(data_dir: str, *args: str) -> int:
    shown = " ".join(shlex.quote(a) for a in (tool_name(), "--data-dir", data_dir, *args))
    print(f"$ {shown}", flush=True)
    cmd = [sys.executable, "-m", "marlovent", "--data-dir", data_dir, *args]
    code = subprocess.call(cmd)
    print(flush=True)
    return code


def main(argv: list[str]) -> int:
    if len(argv) > 1:
        data_dir = os.path.abspath(argv[1])
        if os.path.isdir(data_dir) and os.listdir(data_dir):
            print(f"demo: {data_dir} is not empty; give a new directory", file=sys.stderr)
            return 2
    else:
        data_dir = tempfile.mkdtemp(prefix="marlovent-demo-")
    print(f"# demo data directory: {data_dir}\n")
    failed = ordermgr(data_dir, "import", os.path.relpath(FILLS)) != 0
    failed |= ordermgr(data_dir, "debug") != 0
    failed |= ordermgr(data_dir, "orders") != 0
    failed |= ordermgr(data_dir, "pnl") != 0
    failed |= ordermgr(data_dir, "history") != 0
    # Each command above ran in a new process: the portfolio came back from the store every time.
    failed |= ordermgr(data_dir, "analyze", "AAPL") != 0
    spread = ["--portfolio", "spread"]
    failed |= ordermgr(data_dir, *spread, "import", *map(os.path.relpath, SPREAD)) != 0
    for method in ("average", "fifo"):
        failed |= ordermgr(data_dir, *spread, "pnl", "--method", method, "--marks", os.path.relpath(SPREAD_MARKS)) != 0
    tool = f"{tool_name()} --data-dir {shlex.quote(data_dir)}"
    print("# explore further, e.g.:")
    print(f"#   {tool} positions --json")
    print(f"#   {tool} orders --order-id IC3001 --stop-pct 0.25")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
