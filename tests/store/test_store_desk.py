"""A desk of three hosts: the PostgreSQL server and two traders, each in a
network namespace of its own (veth links to a bridge in the server's
namespace, addresses only inside the namespaces). Both traders record fills
into one portfolio at once; then one trader's link is cut in the middle of
its writes. Needs root and iproute2; skipped with the reason otherwise."""

import json
import os
import queue
import shutil
import subprocess
import sys
import threading
import time
import uuid

import pytest

from pg_server import PgServer, bin_dir

NET = "10.77.0"
# How long a lost link may go unreported: the store's bound is about 11 s
# (15 s promised); the margin is for a loaded machine.
LOST_LINK_BOUND_S = 30

TRADER = r"""
import datetime, json, sys
import marlovent.ordermgr as om
import zelph.dualcache as dc

who, count = sys.argv[1], int(sys.argv[2])
m = om.OrderMgr("desk")
stamp = datetime.datetime(2024, 3, 5, 9, 30, tzinfo=datetime.timezone.utc)
print("ready", flush=True)
sys.stdin.readline()
for i in range(count):
    try:
        m.add_trade(f"K{i % 4}", om.Trade(f"{who}-{i}", 100.0 + i % 7, 1, 0.25, stamp))
    except dc.StoreError as e:
        print(json.dumps({"error": str(e), "sqlstate": e.sqlstate}), flush=True)
        sys.exit(3)
    print(json.dumps({"ack": f"{who}-{i}"}), flush=True)
print("written", flush=True)
sys.stdin.readline()
print(json.dumps({"seen": sorted(o for p in m.positions.values() for o in p.trades)}), flush=True)
"""

READER = r"""
import json, marlovent.ordermgr as om
m = om.OrderMgr("desk")
print(json.dumps(sorted(o for p in m.positions.values() for o in p.trades)))
"""


def ip(*args):
    subprocess.run(["ip", *args], check=True, capture_output=True, text=True, timeout=30)


def why_no_namespaces():
    if os.geteuid() != 0:
        return "network namespaces need root"
    if shutil.which("ip") is None:
        return "iproute2 (ip) is not installed"
    if bin_dir() is None:
        return "PostgreSQL is not installed (make test installs it)"
    probe = f"mvprobe-{uuid.uuid4().hex[:8]}"
    try:
        ip("netns", "add", probe)
    except (subprocess.CalledProcessError, OSError) as e:
        return f"cannot make a network namespace here: {getattr(e, 'stderr', e)}".strip()
    ip("netns", "del", probe)
    return None


class Desk:
    """The server's namespace with a bridge, and one namespace per trader
    joined to it by a veth link. Everything goes in close()."""

    def __init__(self, traders):
        tag = uuid.uuid4().hex[:8]
        self.server_ns = f"mvdesk-{tag}-db"
        self.trader_ns = [f"mvdesk-{tag}-t{i + 1}" for i in range(traders)]
        self.made = []
        try:
            for ns in (self.server_ns, *self.trader_ns):
                ip("netns", "add", ns)
                self.made.append(ns)
                ip("-n", ns, "link", "set", "lo", "up")
            ip("-n", self.server_ns, "link", "add", "desk", "type", "bridge")
            ip("-n", self.server_ns, "addr", "add", f"{NET}.1/24", "dev", "desk")
            ip("-n", self.server_ns, "link", "set", "desk", "up")
            for i, ns in enumerate(self.trader_ns, start=1):
                # One end in the trader's host, the other a port of the bridge.
                ip("link", "add", "eth0", "netns", ns, "type", "veth", "peer", "name", f"port{i}", "netns",
                   self.server_ns)
                ip("-n", ns, "addr", "add", f"{NET}.{10 + i}/24", "dev", "eth0")
                ip("-n", ns, "link", "set", "eth0", "up")
                ip("-n", self.server_ns, "link", "set", f"port{i}", "master", "desk")
                ip("-n", self.server_ns, "link", "set", f"port{i}", "up")
        except BaseException:
            self.close()
            raise

    def cut(self, trader):
        """The trader's link goes silent: its port on the bridge goes down."""
        ip("-n", self.server_ns, "link", "set", f"port{trader}", "down")

    def close(self):
        for ns in reversed(self.made):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True, timeout=30)
        self.made = []


class Trader:
    """A trader process on its host; its output lines arrive in `lines`
    with the time each was read."""

    def __init__(self, ns, data_dir, who, count):
        env = {**os.environ, "QUENTARIS_DATA_DIR": data_dir}
        self.proc = subprocess.Popen(["ip", "netns", "exec", ns, sys.executable, "-c", TRADER, who, str(count)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True, env=env)
        self.lines = queue.Queue()
        self.acks = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put((time.monotonic(), line.strip()))
        self.lines.put((time.monotonic(), None))

    def next(self, timeout=120):
        try:
            at, line = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError(f"no word from the trader in {timeout} s") from None
        if line is None:
            raise AssertionError(f"the trader ended: {self.proc.wait(timeout=30)}, {self.proc.stderr.read()}")
        if line.startswith("{") and "ack" in (msg := json.loads(line)):
            self.acks.append(msg["ack"])
        return at, line

    def until(self, word, timeout=120):
        """Reads up to the line `word` (or a JSON line with that key); returns it."""
        deadline = time.monotonic() + timeout
        while True:
            at, line = self.next(max(1.0, deadline - time.monotonic()))
            if line == word or (line.startswith("{") and word in json.loads(line)):
                return at, line

    def say(self, word="go"):
        self.proc.stdin.write(word + "\n")
        self.proc.stdin.flush()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=30)
        for pipe in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                pipe.close()
            except OSError:
                pass


def stored(data_dir):
    env = {**os.environ, "QUENTARIS_DATA_DIR": data_dir}
    out = subprocess.run([sys.executable, "-c", READER], check=True, capture_output=True, text=True, timeout=120,
                         env=env)
    return set(json.loads(out.stdout))


@pytest.fixture
def desk():
    reason = why_no_namespaces()
    if reason:
        pytest.skip(reason)
    d = Desk(traders=2)
    server = None
    try:
        server = PgServer(fsync=True, netns=d.server_ns, host=f"{NET}.1", trusted=[f"{NET}.0/24"])
        server.start()
        yield d, server
    finally:
        if server is not None:
            server.remove()
        d.close()


def test_two_traders_on_two_hosts_share_one_portfolio_and_a_cut_link_loses_nothing(desk):
    d, server = desk
    schema = server.schema_uri("desk").split("?", 1)[1]  # options=...search_path
    over_network = f"{server.uri}?{schema}"
    back_office = f"{server.socket_uri}?{schema}"
    traders = []
    try:
        # Both write one portfolio at once: nothing lost, each sees the other's.
        traders = [Trader(ns, over_network, f"t{i + 1}", 150) for i, ns in enumerate(d.trader_ns)]
        for t in traders:
            t.until("ready")
        for t in traders:
            t.say()
        for t in traders:
            t.until("written")
        for t in traders:
            t.say()
        everything = {f"t{i}-{k}" for i in (1, 2) for k in range(150)}
        for t in traders:
            _, line = t.until("seen")
            assert set(json.loads(line)["seen"]) == everything
            t.proc.wait(timeout=60)
        assert stored(back_office) == everything

        # Trader 1's link goes silent in the middle of its writes, while
        # trader 2 keeps writing.
        cutting = [Trader(d.trader_ns[0], over_network, "c1", 1_000_000),
                   Trader(d.trader_ns[1], over_network, "c2", 400)]
        traders += cutting
        for t in cutting:
            t.until("ready")
        for t in cutting:
            t.say()
        while len(cutting[0].acks) < 40:
            cutting[0].next()
        d.cut(1)
        cut_at = time.monotonic()
        reported_at, line = cutting[0].until("error", timeout=LOST_LINK_BOUND_S + 30)
        error = json.loads(line)
        assert error["sqlstate"] in ("08006", "08007"), error
        assert "lost" in error["error"], error
        print(f"lost link reported after {reported_at - cut_at:.1f} s: {error}")
        assert reported_at - cut_at < LOST_LINK_BOUND_S, (reported_at - cut_at, error)
        assert cutting[0].proc.wait(timeout=60) == 3
        # The other trader waits at most until the server lets go of the
        # lost trader's lock, and finishes.
        cutting[1].until("written", timeout=120)
        cutting[1].say()
        cutting[1].until("seen")

        # Every fill acknowledged to either trader is on the server.
        on_server = stored(back_office)
        assert set(cutting[0].acks) <= on_server
        assert set(cutting[1].acks) == {f"c2-{k}" for k in range(400)} <= on_server
        assert everything <= on_server
    finally:
        for t in traders:
            t.kill()
