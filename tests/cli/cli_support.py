"""Helpers shared by the command-line tool tests."""

import os
import resource
import signal
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
FILLS_DAY = ROOT / "examples" / "fills-day.csv"
HEADER = "key,orderid,price,qty,commission,timestamp\n"


def store_persists() -> bool:
    from zelph.dualcache import DualCache

    return hasattr(DualCache, "transaction")


# Everything that runs the tool twice needs a store that outlives the process.
requires_store = pytest.mark.skipif(not store_persists(), reason="needs the persistent store")


class Tool:
    """Runs `python -m marlovent` in a subprocess against one data directory."""

    def __init__(self, data_dir: Path, home: Path) -> None:
        self.data_dir = data_dir
        self.env = {k: v for k, v in os.environ.items() if k not in ("QUENTARIS_DATA_DIR", "XDG_DATA_HOME")}
        self.env["HOME"] = str(home)
        self.env["PYTHONIOENCODING"] = "utf-8"

    def __call__(
        self, *args: str, stdin: str | None = None, data_dir: bool = True, env=None, python_flags=(), stdout=None, closed=(),
        file_size=None,
    ):
        """``stdout``: a file to write to instead of capturing it; ``closed``:
        file descriptors the tool starts without (0 for `<&-`); ``file_size``:
        the most bytes it may write to a file (a disk that fills up)."""

        def start():
            for fd in closed:
                os.close(fd)
            if file_size is not None:
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (file_size, file_size))

        cmd = [sys.executable, *python_flags, "-m", "marlovent"]
        if data_dir:
            cmd += ["--data-dir", str(self.data_dir)]
        return subprocess.run(
            cmd + list(args),
            input=stdin,
            stdout=subprocess.PIPE if stdout is None else stdout,
            stderr=subprocess.PIPE,
            text=True,
            env={**self.env, **(env or {})},
            timeout=120,
            preexec_fn=start if closed or file_size is not None else None,
        )
