"""The generated SQL on real engines: DuckDB in process, PostgreSQL and MariaDB
servers started on private sockets in temporary data directories."""
import contextlib
import glob
import os
import shutil
import socket
import subprocess
import tempfile
import time

import pytest

from test_behavioral import FIELDS, check_behavioral_sql, customer_records
from test_sql import TRIPLES, check_segment_queries

WAIT = 60  # seconds, for every server command and for readiness


def run(cmd):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=WAIT)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def server(init, start, client, ready_sql, owner=None):
    """Initialises a data directory, starts the server, waits until `client` answers, stops it."""
    root = tempfile.mkdtemp(prefix="segmora-sql-")
    os.chmod(root, 0o755)
    if owner:
        shutil.chown(root, owner, owner)
    try:
        out = run(init(root))
        if out.returncode != 0:
            pytest.skip(f"{init(root)[0]} failed: {out.stderr.strip()[-300:]}")
        proc = subprocess.Popen(start(root), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + WAIT
            while run(client(root) + [ready_sql]).returncode != 0:
                assert time.monotonic() < deadline and proc.poll() is None, f"{start(root)} did not start"
                time.sleep(0.2)
            yield client(root)
        finally:
            proc.terminate()
            proc.wait(timeout=WAIT)
    finally:
        shutil.rmtree(root, ignore_errors=True)


def command_line(client):
    """A query function giving rows as tuples of text from a command-line client."""
    def query(sql):
        out = run(client + [sql])
        assert out.returncode == 0, out.stderr
        return [tuple(line.split("\t")) for line in out.stdout.splitlines() if line]
    return query


def duckdb_engine():
    duckdb = pytest.importorskip("duckdb", reason="duckdb is not installed (pip install duckdb)")
    with contextlib.closing(duckdb.connect()) as conn:
        yield lambda sql: [tuple(str(v) for v in row) for row in conn.execute(sql).fetchall()]


def postgresql_engine():
    bins = sorted(glob.glob("/usr/lib/postgresql/*/bin/"))
    if not bins:
        pytest.skip("PostgreSQL is not installed (apt-get install postgresql)")
    as_owner = ["runuser", "-u", "postgres", "--"] if os.geteuid() == 0 else []  # it refuses to run as root
    port = str(free_port())
    with server(lambda r: as_owner + [bins[-1] + "initdb", "-D", r + "/data", "-A", "trust", "-U", "postgres"],
                lambda r: as_owner + [bins[-1] + "postgres", "-D", r + "/data", "-p", port, "-k", r,
                                      "-c", "listen_addresses=", "-c", "fsync=off"],
                lambda r: [bins[-1] + "psql", "-h", r, "-p", port, "-U", "postgres", "-XqAt", "-F", "\t",
                           "-v", "ON_ERROR_STOP=1", "-c"],
                "SELECT 1", owner="postgres" if as_owner else None) as client:
        yield command_line(client)


def mariadb_engine():
    if not (shutil.which("mariadb-install-db") and os.path.exists("/usr/sbin/mariadbd")):
        pytest.skip("MariaDB is not installed (apt-get install mariadb-server)")
    if os.geteuid() != 0:
        pytest.skip("the MariaDB server here runs as root with socket authentication")
    port = str(free_port())
    with server(lambda r: ["mariadb-install-db", "--user=root", f"--datadir={r}/data", "--skip-test-db"],
                lambda r: ["/usr/sbin/mariadbd", "--no-defaults", "--user=root", f"--datadir={r}/data",
                           f"--socket={r}/sock", f"--port={port}", "--skip-networking=0",
                           "--bind-address=127.0.0.1", f"--pid-file={r}/pid"],
                lambda r: ["mariadb", "--no-defaults", f"--socket={r}/sock", "-u", "root", "-NB", "-e"],
                "CREATE DATABASE IF NOT EXISTS segmora") as client:
        yield command_line(client[:-1] + ["segmora", "-e"])


ENGINES = {"duckdb": duckdb_engine, "postgresql": postgresql_engine, "mariadb": mariadb_engine}


@pytest.fixture(scope="module", params=list(ENGINES))
def engine(request):
    """(name, query) of each engine with the 125 score triples and the behavioral customers loaded."""
    gen = ENGINES[request.param]()
    try:
        query = next(gen)
        query("CREATE TABLE scores (cid INTEGER, r_s INTEGER, f_s INTEGER, m_s INTEGER)")
        query("INSERT INTO scores VALUES " + ", ".join(f"({i}, {r}, {f}, {m})" for i, (r, f, m) in enumerate(TRIPLES)))
        query(f"CREATE TABLE customers (id INTEGER, {', '.join(f + ' DOUBLE PRECISION' for f in FIELDS)})")
        query("INSERT INTO customers VALUES " + ", ".join(
            "(" + ", ".join([str(i)] + [repr(r[f]) for f in FIELDS]) + ")" for i, r in enumerate(customer_records())))
        yield request.param, query
    finally:
        gen.close()  # stops the server


# Each dialect on the engines whose syntax it is written for.
DIALECTS = {"duckdb": ["ansi", "bigquery", "postgresql", "snowflake"], "postgresql": ["postgresql", "redshift"],
            "mariadb": ["mysql"]}


def test_segment_queries_select_exactly_their_triples(engine):
    name, query = engine
    for dialect in DIALECTS[name]:
        check_segment_queries(query, dialect, "scores")


def test_behavioral_sql_agrees_with_classify(engine):
    check_behavioral_sql(engine[1])
