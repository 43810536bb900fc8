"""RFM segments as SQL: dialects, identifiers, the segment table and the queries,
checked on SQLite as well as against exact texts."""

import inspect
import itertools
import sqlite3

import pytest

import segmora

PATTERNS = {  # in table order
    "Champions": [(5, 5, 5), (5, 5, 4), (5, 4, 5), (4, 5, 5)],
    "VIP": [(5, 3, 5), (5, 2, 5), (5, 1, 5)],
    "LoyalCustomers": [(4, 4, 4), (4, 4, 5), (4, 5, 4)],
    "PotentialLoyalists": [(5, 3, 4), (4, 3, 5)],
    "CannotLose": [(3, 4, 5), (3, 5, 5), (2, 4, 5), (2, 5, 5)],
    "AtRisk": [(2, 2, 4), (2, 2, 5), (2, 3, 4), (2, 3, 5), (3, 2, 4), (3, 2, 5)],
    "AboutToSleep": [(2, 2, 3), (2, 2, 2), (2, 3, 2), (2, 3, 3)],
    "NewCustomers": [(5, 4, 3), (5, 4, 2), (5, 3, 3), (5, 3, 2)],
    "Promising": [(5, 2, 3), (5, 2, 4)],
    "NeedAttention": [(4, 2, 2), (4, 3, 2), (4, 3, 3)],
    "Lost": [(1, 1, 1), (1, 1, 2), (1, 2, 1)],
    "AtRiskSleeping": [(1, 3, 4), (1, 3, 5), (1, 4, 4), (1, 4, 5)],
    "Hibernating": [(1, 2, 3), (1, 2, 4), (1, 2, 5), (1, 3, 2), (1, 3, 3)],
}
KEYS = list(PATTERNS)

DIALECTS = ["ansi", "snowflake", "bigquery", "redshift", "postgresql", "oracle", "sqlserver", "mysql"]

IDENT_MESSAGE = ("Invalid configuration: Invalid SQL identifier '{}': identifiers must be alphanumeric/underscore "
                 "(optionally dot-qualified) and cannot start with a digit")
NOT_FOUND = "Invalid configuration: Segment '{}' not found. Available segments: [" + ", ".join(
    f'"{k}"' for k in KEYS) + "]"
EMPTY = "Invalid configuration: SQL identifier cannot be empty"

LOST_ANSI = ("SELECT customer_id, 'Lost' AS segment\nFROM customers\n"
             "WHERE (recency_score = 1 AND frequency_score = 1 AND monetary_score = 1) OR "
             "(recency_score = 1 AND frequency_score = 1 AND monetary_score = 2) OR "
             "(recency_score = 1 AND frequency_score = 2 AND monetary_score = 1);")
LOST_GROUPED = ("SELECT customer_id, 'Lost' AS segment\nFROM customers\n"
                "WHERE (recency_score = 1 AND frequency_score = 1 AND monetary_score IN (1, 2)) OR "
                "(recency_score = 1 AND frequency_score = 2 AND monetary_score = 1);")


# ---- exact query texts ----

@pytest.mark.parametrize("key, dialect, text", [
    ("Lost", "ansi", LOST_ANSI),
    ("Lost", ("ansi", "customers", None, None, None, None), LOST_ANSI),  # None columns take the defaults
    ("Promising", ("ansi", "analytics.customers", "cid", "r_s", "f_s", "m_s"),  # custom columns verbatim
     "SELECT cid, 'Promising' AS segment\nFROM analytics.customers\n"
     "WHERE (r_s = 5 AND f_s = 2 AND m_s = 3) OR (r_s = 5 AND f_s = 2 AND m_s = 4);"),
    # bigquery differs only in the select line; oracle writes compact equals
    ("Lost", "bigquery", LOST_ANSI.replace("SELECT customer_id,", "SELECT customer_id AS customer_id,", 1)),
    ("Lost", "oracle", LOST_ANSI.replace(" = ", "=")),
    # grouped in first-appearance order
    *[("Lost", d, LOST_GROUPED) for d in ("postgres", "postgresql", "redshift", "sqlserver")],
    ("AtRisk", "sqlserver",  # six patterns over three (r, f) pairs
     "SELECT customer_id, 'AtRisk' AS segment\nFROM customers\n"
     "WHERE (recency_score = 2 AND frequency_score = 2 AND monetary_score IN (4, 5)) OR "
     "(recency_score = 2 AND frequency_score = 3 AND monetary_score IN (4, 5)) OR "
     "(recency_score = 3 AND frequency_score = 2 AND monetary_score IN (4, 5));")])
def test_exact_query_text(key, dialect, text):
    args = dialect if isinstance(dialect, tuple) else (dialect, "customers")
    assert segmora.export_segment_sql(key, *args) == text


# ---- identifiers ----

@pytest.mark.parametrize("table", ["customers", "analytics.customers", "_tmp1", "db.schema.Table_2", "_", "A9"])
def test_valid_identifiers(table):
    assert f"FROM {table}\n" in segmora.export_segment_sql("Lost", "ansi", table)


# ---- dialect names ----

@pytest.mark.parametrize("name, canonical", [
    ("ANSI", "ansi"), ("PostgreSQL", "postgresql"), ("postgres", "postgresql"), ("SQL_SERVER", "sqlserver"),
    ("MsSql", "sqlserver"), ("sqlserver", "sqlserver"), ("BigQuery", "bigquery"), ("MYSQL", "mysql"),
    ("SNOWFLA\u212aE", "snowflake")])  # the Kelvin sign lower-cases to k
def test_dialect_aliases(name, canonical):
    assert segmora.export_segment_sql("Lost", name, "t") == segmora.export_segment_sql("Lost", canonical, "t")


@pytest.mark.parametrize("name", [" MySQL", "mysql ", "sql server", "postgre", "", "ansi\n", "ms-sql", "ANSİ"])
@pytest.mark.parametrize("call", [lambda d: segmora.export_segment_sql("Lost", d, "t"),
                                  lambda d: segmora.export_all_segments_sql(d, "t")], ids=["one", "all"])
def test_unsupported_dialect_quotes_text_as_passed(name, call):
    with pytest.raises(ValueError) as e:
        call(name)
    assert str(e.value) == f"Unsupported SQL dialect: {name}"


def test_supported_dialects_fresh_list():
    a = segmora.get_supported_sql_dialects()
    assert a == DIALECTS
    a.append("x")
    assert segmora.get_supported_sql_dialects() == DIALECTS


# ---- errors: invalid identifiers name the whole text; the order in which arguments are judged ----

@pytest.mark.parametrize("changes, message", [  # applied to segment_name="Nope", dialect="ansi", table_name="t"
    (dict(dialect="nope", table_name="1t", customer_id="c-1"), "Unsupported SQL dialect: nope"),
    (dict(table_name="1t", customer_id="c-1"), IDENT_MESSAGE.format("1t")),
    (dict(customer_id="c-1", recency_score="r-1"), IDENT_MESSAGE.format("c-1")),
    (dict(recency_score="r-s", frequency_score="f-s"), IDENT_MESSAGE.format("r-s")),
    (dict(frequency_score="f-s", monetary_score="m-s"), IDENT_MESSAGE.format("f-s")),
    (dict(monetary_score=""), EMPTY), (dict(monetary_score="m s"), IDENT_MESSAGE.format("m s")),
    (dict(), NOT_FOUND.format("Nope")), (dict(segment_name="Loyal Customers"), NOT_FOUND.format("Loyal Customers")),
    (dict(segment_name="lost"), NOT_FOUND.format("lost")),
    (dict(segment_name="champions", table_name="a\x00b; drop"), IDENT_MESSAGE.format("a\x00b; drop")),  # every character kept
    *[(dict(segment_name="Lost", table_name=t), IDENT_MESSAGE.format(t) if t else EMPTY) for t in [
        "", "1customers", "customers;", "my-table", "a..b", ".a", "a.", "a b", "kundenübersicht", "a.1b", "t\n",
        "t; DROP TABLE x", "'t'", ".", "a.b."]]])
def test_error_texts_and_precedence(changes, message):
    kwargs = dict(segment_name="Nope", dialect="ansi", table_name="t") | changes
    rest = {k: v for k, v in kwargs.items() if k != "segment_name"}
    calls = [lambda: segmora.export_segment_sql(**kwargs), lambda: segmora.export_all_segments_sql(**rest)]
    for call in calls[:1] if "not found" in message else calls:  # export_all: the same order, no segment name
        with pytest.raises(ValueError) as e:
            call()
        assert type(e.value) is ValueError and str(e.value) == message


@pytest.mark.parametrize("args, arg", [
    (("Lost", 1, "t"), "dialect"), ((None, "nope", "t"), "segment_name"), (("Lost", "nope", 3.0), "table_name"),
    (("Lost", "nope", "t", 5), "customer_id"), (("Lost", "ansi", "t", None, None, None, b"m"), "monetary_score")])
def test_argument_types_checked_before_dialect(args, arg):
    with pytest.raises(TypeError, match=f"argument '{arg}'"):
        segmora.export_segment_sql(*args)


@pytest.mark.parametrize("call", [
    lambda: segmora.export_segment_sql("Lost\udc80", "nope", "t"), lambda: segmora.export_segment_sql("Lost", "a\udc80", "t"),
    lambda: segmora.export_all_segments_sql("ansi", "t", customer_id="c\udc80"),
    lambda: segmora.get_segment_rfm_patterns("\udc80")], ids=["segment_name", "dialect", "customer_id", "patterns"])
def test_lone_surrogate_raises_unicode_encode_error(call):
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
        call()


# ---- all segments and patterns ----

def test_export_all_patterns_and_ansi_like_dialects_in_table_order():
    result = segmora.export_all_segments_sql("ansi", "t")
    assert list(result) == KEYS
    for key in KEYS:
        assert result[key] == segmora.export_segment_sql(key, "ansi", "t")
        assert segmora.get_segment_rfm_patterns(key) == PATTERNS[key]
        # snowflake and mysql write ansi
        assert len({segmora.export_segment_sql(key, d, "db.customers") for d in ("ansi", "snowflake", "mysql")}) == 1, key


@pytest.mark.parametrize("key", ["promising", "Loyal Customers", "", "Champions "])
def test_patterns_not_found(key):
    with pytest.raises(ValueError) as e:
        segmora.get_segment_rfm_patterns(key)
    assert str(e.value) == f"Segment '{key}' not found"


def test_docstrings_and_signatures():
    for fn, text in [
        (segmora.export_segment_sql, "export_segment_sql(segment_name, dialect, table_name, customer_id=None, "
         "recency_score=None, frequency_score=None, monetary_score=None)\n--\n\nExport a single segment as SQL query"),
        (segmora.export_all_segments_sql, "export_all_segments_sql(dialect, table_name, customer_id=None, "
         "recency_score=None, frequency_score=None, monetary_score=None)\n--\n\nExport all segments as SQL queries"),
        (segmora.get_segment_rfm_patterns, "get_segment_rfm_patterns(segment_name)\n--\n\nGet RFM patterns for a segment"),
        (segmora.get_supported_sql_dialects, "get_supported_sql_dialects()\n--\n\nGet list of supported SQL dialects")]:
        assert f"{fn.__name__}{inspect.signature(fn)}\n--\n\n{fn.__doc__}" == text


# ---- on a real SQL engine ----

TRIPLES = list(itertools.product(range(1, 6), repeat=3))
COLUMNS = dict(customer_id="cid", recency_score="r_s", frequency_score="f_s", monetary_score="m_s")


def check_segment_queries(query, dialect, table):
    """Each segment's query selects exactly its listed (r, f, m) triples from a
    table of all 125 triples keyed by position; `query(sql)` returns the rows."""
    queries = segmora.export_all_segments_sql(dialect, table, **COLUMNS)
    assert list(queries) == KEYS
    seen = set()
    for key, sql in queries.items():
        rows = query(sql)
        assert {label for _, label in rows} <= {key}
        got = sorted(TRIPLES[int(cid)] for cid, _ in rows)
        assert got == sorted(PATTERNS[key]), (dialect, key)
        seen.update(got)
    assert len(seen) == 47


@pytest.fixture(scope="module")
def score_db():
    db = sqlite3.connect(":memory:")
    db.execute("CREATE TABLE scores (cid INTEGER, r_s INTEGER, f_s INTEGER, m_s INTEGER)")
    db.executemany("INSERT INTO scores VALUES (?, ?, ?, ?)", [(i, *t) for i, t in enumerate(TRIPLES)])
    yield db
    db.close()


@pytest.mark.parametrize("dialect", DIALECTS)
def test_queries_select_exactly_the_listed_triples(score_db, dialect):
    check_segment_queries(lambda sql: score_db.execute(sql).fetchall(), dialect, "main.scores")
