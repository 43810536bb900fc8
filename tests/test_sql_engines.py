"""The generated SQL on real engines: DuckDB in process, PostgreSQL and MariaDB
servers started on private sockets in temporary data directories."""
import glob
import itertools
import os
import shutil
import socket
import subprocess
import tempfile
import time

import pytest

import segmora
from test_behavioral import FIELDS, customer_records, sqlite_segmenter
from test_sql import PATTERNS

TRIPLES = list(itertools.product(range(1, 6), repeat=3))
COLUMNS = dict(customer_id="cid", recency_score="r_s", frequency_score="f_s", monetary_score="m_s")
READY_SECONDS = 60


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(check, what):
    deadline = time.monotonic() + READY_SECONDS
    while time.monotonic() < deadline:
        if check():
            return
        time.sleep(0.2)
    raise RuntimeError(f"{what} did not become ready within {READY_SECONDS} s")


def quiet(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=READY_SECONDS, **kw)


class CommandLineServer:
    """A server driven through its command-line client; rows come back as tuples of text."""

    def __init__(self, client):
        self.client = client

    def query(self, sql):
        out = quiet(self.client + [sql])
        if out.returncode != 0:
            raise RuntimeError(out.stderr)
        return [tuple(line.split("\t")) for line in out.stdout.splitlines() if line]

    def script(self, sql):
        self.query(sql)


class DuckDB:
    def __init__(self, conn):
        self.conn = conn

    def query(self, sql):
        return [tuple(str(v) for v in row) for row in self.conn.execute(sql).fetchall()]

    def script(self, sql):
        self.conn.execute(sql)


@pytest.fixture(scope="module")
def duckdb_engine():
    duckdb = pytest.importorskip("duckdb", reason="duckdb is not installed (pip install duckdb)")
    conn = duckdb.connect()
    yield DuckDB(conn)
    conn.close()


@pytest.fixture(scope="module")
def postgresql_engine():
    bins = sorted(glob.glob("/usr/lib/postgresql/*/bin/postgres"))
    if not bins:
        pytest.skip("PostgreSQL is not installed (apt-get install postgresql)")
    bindir = os.path.dirname(bins[-1])
    root = tempfile.mkdtemp(prefix="segmora-pg-")
    os.chmod(root, 0o755)
    run_as = []
    if os.geteuid() == 0:  # the server refuses to run as root
        shutil.chown(root, "postgres", "postgres")
        run_as = ["runuser", "-u", "postgres", "--"]
    data, port = os.path.join(root, "data"), free_port()
    init = quiet(run_as + [f"{bindir}/initdb", "-D", data, "-A", "trust", "-U", "postgres", "--no-sync"])
    if init.returncode != 0:
        shutil.rmtree(root, ignore_errors=True)
        pytest.skip(f"initdb failed: {init.stderr.strip()}")
    server = subprocess.Popen(run_as + [f"{bindir}/postgres", "-D", data, "-p", str(port), "-k", root,
                                        "-c", "listen_addresses=", "-c", "fsync=off"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_until(lambda: quiet([f"{bindir}/pg_isready", "-h", root, "-p", str(port)]).returncode == 0,
                   "PostgreSQL")
        yield CommandLineServer([f"{bindir}/psql", "-h", root, "-p", str(port), "-U", "postgres", "-d", "postgres",
                                 "-X", "-q", "-A", "-t", "-F", "\t", "-v", "ON_ERROR_STOP=1", "-c"])
    finally:
        server.terminate()
        server.wait(timeout=READY_SECONDS)
        shutil.rmtree(root, ignore_errors=True)


@pytest.fixture(scope="module")
def mariadb_engine():
    server_bin, install = shutil.which("mariadbd") or "/usr/sbin/mariadbd", shutil.which("mariadb-install-db")
    if not (os.path.exists(server_bin) and install and shutil.which("mariadb")):
        pytest.skip("MariaDB is not installed (apt-get install mariadb-server)")
    if os.geteuid() != 0:
        pytest.skip("the MariaDB fixture starts the server as root with socket authentication")
    root = tempfile.mkdtemp(prefix="segmora-maria-")
    data, sock, port = os.path.join(root, "data"), os.path.join(root, "mysqld.sock"), free_port()
    init = quiet([install, "--user=root", f"--datadir={data}", "--auth-root-authentication-method=socket",
                  "--skip-test-db"])
    if init.returncode != 0:
        shutil.rmtree(root, ignore_errors=True)
        pytest.skip(f"mariadb-install-db failed: {init.stderr.strip()[-300:]}")
    server = subprocess.Popen([server_bin, "--no-defaults", "--user=root", f"--datadir={data}", f"--socket={sock}",
                               f"--port={port}", "--skip-networking=0", "--bind-address=127.0.0.1",
                               f"--pid-file={root}/mariadb.pid", "--skip-log-bin"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    client = ["mariadb", "--no-defaults", f"--socket={sock}", "-u", "root", "-N", "-B"]
    try:
        wait_until(lambda: quiet(client + ["-e", "SELECT 1"]).returncode == 0, "MariaDB")
        quiet(client + ["-e", "CREATE DATABASE segmora"])
        yield CommandLineServer(client + ["segmora", "-e"])
    finally:
        server.terminate()
        server.wait(timeout=READY_SECONDS)
        shutil.rmtree(root, ignore_errors=True)


ENGINES = {"duckdb": "duckdb_engine", "postgresql": "postgresql_engine", "mariadb": "mariadb_engine"}

# Each dialect on the engines whose syntax it is written for.
SEGMENT_CASES = [
    ("postgresql", "postgresql"), ("postgresql", "redshift"), ("mariadb", "mysql"),
    ("duckdb", "ansi"), ("duckdb", "bigquery"), ("duckdb", "postgresql"), ("duckdb", "snowflake"),
]


@pytest.fixture(scope="module")
def loaded(request):
    """Engines with the 125 score triples and the behavioral customers loaded, by name."""
    cache = {}

    def get(name):
        if name not in cache:
            engine = request.getfixturevalue(ENGINES[name])
            engine.script("CREATE TABLE scores (cid INTEGER, r_s INTEGER, f_s INTEGER, m_s INTEGER)")
            engine.script("INSERT INTO scores VALUES " + ", ".join(f"({i}, {r}, {f}, {m})"
                                                                  for i, (r, f, m) in enumerate(TRIPLES)))
            columns = ", ".join(f"{f} DOUBLE PRECISION" for f in FIELDS)
            engine.script(f"CREATE TABLE customers (id INTEGER, {columns})")
            engine.script("INSERT INTO customers VALUES " + ", ".join(
                "(" + ", ".join([str(i)] + [repr(r[f]) for f in FIELDS]) + ")"
                for i, r in enumerate(customer_records())))
            cache[name] = engine
        return cache[name]

    return get


@pytest.mark.parametrize("engine, dialect", SEGMENT_CASES)
def test_segment_queries_select_exactly_their_triples(loaded, engine, dialect):
    db = loaded(engine)
    queries = segmora.export_all_segments_sql(dialect, "scores", **COLUMNS)
    assert sorted(queries) == sorted(PATTERNS)
    for key, query in queries.items():
        rows = db.query(query)
        assert {label for _, label in rows} <= {key}
        assert sorted(TRIPLES[int(cid)] for cid, _ in rows) == sorted(PATTERNS[key]), (engine, dialect, key)


@pytest.mark.parametrize("engine", list(ENGINES))
def test_behavioral_sql_agrees_with_classify(loaded, engine):
    db = loaded(engine)
    records = customer_records()
    segmenter = sqlite_segmenter()
    blocks = segmenter.export_sql().split("\n\n")[:-1]
    for block in blocks:
        name = block.split("\n")[0].removeprefix("-- Segment: ")
        expected = {i for i, r in enumerate(records) if name in segmenter.classify(r)}
        got = {int(row[0]) for row in db.query(block)}
        assert got == expected, (engine, name)
