"""A throwaway PostgreSQL server for the tests and benchmarks: initdb into a
temporary directory (as the `postgres` user when running as root), a free
loopback port, stopped and removed at the end."""

import glob
import os
import shutil
import socket
import subprocess
import tempfile
import urllib.parse
import uuid


def bin_dir():
    """The directory of initdb/pg_ctl/psql, or None without a server installed."""
    found = shutil.which("initdb")
    if found and shutil.which("pg_ctl"):
        return os.path.dirname(os.path.realpath(found))
    for d in sorted(glob.glob("/usr/lib/postgresql/*/bin"), reverse=True):
        if os.path.exists(os.path.join(d, "initdb")):
            return d
    return None


def server_env():
    """The environment for the server's own tools: without the sanitizer
    preload of a SANITIZE=1 test run, under which postgres does not start."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PgServer:
    """start() / stop() / restart(); uri is the superuser's URI of database `postgres`.

    `netns` runs the server inside that network namespace, listening on
    `host` (which `trusted` networks may reach); the tools and `sql()` reach
    it through its Unix socket, which every namespace shares."""

    def __init__(self, *, fsync=False, extra=(), netns=None, host="127.0.0.1", trusted=()):
        self.bin = bin_dir()
        if self.bin is None:
            raise RuntimeError("PostgreSQL is not installed (initdb not found)")
        self.root = tempfile.mkdtemp(prefix="marlovent-pg-")
        os.chmod(self.root, 0o755)
        self.data = os.path.join(self.root, "data")
        self.port = free_port()
        self.host = host
        self.options = [f"-k {self.root}", f"-p {self.port}", f"-c listen_addresses={host}",
                        "-c max_connections=60", *([] if fsync else ["-c fsync=off"]), *extra]
        self._as_owner = ["runuser", "-u", "postgres", "--"] if os.geteuid() == 0 else []
        self._netns = ["ip", "netns", "exec", netns] if netns else []
        if self._as_owner:
            shutil.chown(self.root, "postgres")
        self._run("initdb", "-D", self.data, "-A", "trust", "-U", "postgres", "--no-sync", "-E", "UTF8")
        if trusted:
            with open(os.path.join(self.data, "pg_hba.conf"), "a") as hba:
                hba.writelines(f"host all all {net} trust\n" for net in trusted)
        self.uri = f"postgresql://postgres@{host}:{self.port}/postgres"
        # The same server through its Unix socket, from any namespace.
        self.socket_uri = f"postgresql://postgres@{urllib.parse.quote(self.root, safe='')}:{self.port}/postgres"
        self.running = False

    def _run(self, tool, *args, check=True):
        return subprocess.run([*self._netns, *self._as_owner, os.path.join(self.bin, tool), *args], check=check,
                              capture_output=True, text=True, timeout=120, env=server_env())

    def start(self):
        self._run("pg_ctl", "-D", self.data, "-o", " ".join(self.options), "-w", "-t", "60",
                  "-l", os.path.join(self.root, "log"), "start")
        self.running = True

    def stop(self, mode="fast"):
        if self.running:
            self._run("pg_ctl", "-D", self.data, "-m", mode, "-w", "stop", check=False)
            self.running = False

    def restart(self):
        self.stop()
        self.start()

    def sql(self, statement, db="postgres"):
        """Runs SQL through psql; returns its unaligned output."""
        out = subprocess.run([os.path.join(self.bin, "psql"), "-X", "-q", "-At", "-v", "ON_ERROR_STOP=1",
                              "-h", self.root, "-p", str(self.port), "-U", "postgres", "-d", db,
                              "-c", statement], check=True, capture_output=True, text=True, timeout=60,
                             env=server_env())
        return out.stdout.strip()

    def schema_uri(self, schema=None):
        """A URI whose tables live in a new schema of their own."""
        schema = schema or "t_" + uuid.uuid4().hex[:12]
        quoted = '"' + schema.replace('"', '""') + '"'
        self.sql(f"CREATE SCHEMA {quoted}")
        options = urllib.parse.quote("-csearch_path=" + quoted.replace(" ", "\\ "), safe="")
        return f"{self.uri}?options={options}"

    def remove(self):
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)
