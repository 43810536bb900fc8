"""Behavioral rule segments: conditions, rules, segments and the segmenter, with
their SQL checked on SQLite against in-memory classification."""

import itertools
import math
import random
import sqlite3

import pytest

from segmora import PyBehavioralRule as Rule
from segmora import PyBehavioralSegment as Segment
from segmora import PyBehavioralSegmenter as Segmenter
from segmora import PyCondition as Cond
from test_sql import IDENT_MESSAGE

OP_MESSAGE = "Unknown comparison operator '{}'. Expected one of: >, >=, <, <=, ==, !=, in, contains"


def seg(*rules, name="S", priority=0):
    return Segment(name, "", list(rules), priority)


def rule(*conds, logic="AND"):
    return Rule("r", "d", [Cond(*c) for c in conds], logic)


A = ("a", ">", 1)
B = ("b", "<", 2)


# ---- conditions, rules and segments as SQL ----

@pytest.mark.parametrize("op, value, text", [
    (">", 1000, "> 1000"), ("<", 0.25, "< 0.25"), (">=", -3, ">= -3"), ("<=", 1e20, "<= 100000000000000000000"),
    ("<", 1e23, "< 100000000000000000000000"), (">", 1.5e300, "> 15" + "0" * 299), ("==", 100, "= 100"),
    ("=", 100.0, "= 100"), ("!=", 2.5, "!= 2.5"), ("<>", 2.5, "!= 2.5"), (">", True, "> 1")])
def test_condition_sql(op, value, text):
    assert rule(("total_spent", op, value)).to_sql() == f"total_spent {text}"


LIST_OPS = ["in", "IN", "contains", "CONTAINS"]
NON_FINITE = [(math.nan, "NaN"), (math.inf, "inf"), (-math.inf, "-inf")]


@pytest.mark.parametrize("field, op, value, message", [
    *[("x", op, 1, OP_MESSAGE.format(op)) for op in ["In", "Contains", "=>", "", " >", "eq", "!==", "lt"]],
    # the field is judged first, then the operator, then the value
    *[(f, "bogus", math.nan, IDENT_MESSAGE.format(f)) for f in ["1st_purchase", "orders-count", "a b", "a.", "x;DROP"]],
    ("", "bogus", math.nan, "Invalid configuration: SQL identifier cannot be empty"),
    *[("1x", op, 1, IDENT_MESSAGE.format("1x")) for op in LIST_OPS],
    *[("x", op, math.nan, f"Operator '{op}' needs a list or text value, which conditions built from Python "
       "cannot hold") for op in LIST_OPS],
    *[("x", "?", v, OP_MESSAGE.format("?")) for v, _ in NON_FINITE],
    *[("x", ">", v, f"Invalid configuration: condition value must be a finite number, got {shown}")
      for v, shown in NON_FINITE]])
def test_condition_errors(field, op, value, message):
    with pytest.raises(ValueError) as e:
        Cond(field, op, value)
    assert type(e.value) is ValueError and str(e.value) == message


@pytest.mark.parametrize("obj, text", [
    (rule(A, B), "a > 1 AND b < 2"), (rule(A, B, logic="and"), "a > 1 AND b < 2"), (rule(), "1=1"),
    (rule(logic="OR"), "1=1"), (rule(("stats.orders", ">", 1)), "stats.orders > 1"),
    *[(rule(A, B, logic=o), "a > 1 OR b < 2") for o in ("OR", "or", "Or", "oR")],
    (seg(rule(A, B)), "((a > 1 AND b < 2))"), (seg(), "1=1"), (seg(rule()), "((1=1))"),
    (seg(rule(A), rule(B, ("c", ">=", 3), logic="OR")), "((a > 1) AND (b < 2 OR c >= 3))")])
def test_rule_and_segment_sql(obj, text):
    assert obj.to_sql() == text


@pytest.mark.parametrize("logic, shown", [("xor", "XOR"), ("not", "NOT"), ("and ", "AND "), ("stra\u00dfe", "STRASSE"),
                                          ("\ufb00", "FF"), ("", "")])
def test_unknown_logic_names_upper_cased_text(logic, shown):
    with pytest.raises(ValueError) as e:
        Rule("r", "d", [], logic)
    assert str(e.value) == f"Unknown logical operator '{shown}'. Expected AND or OR"


@pytest.mark.parametrize("cls, args, arg, exc", [
    (Cond, (1, ">", 1), "field", TypeError), (Cond, ("x", None, 1), "operator", TypeError),
    (Cond, ("x", ">", "1"), "value", TypeError), (Cond, ("x", ">", None), "value", TypeError),
    (Cond, ("x", ">", 10**400), "value", OverflowError), (Rule, ("r", "d", "abc"), "conditions", TypeError),
    (Rule, ("r", "d", [1]), "conditions", TypeError), (Rule, ("r", "d", [], None), "logic", TypeError),
    (Rule, (b"r", "d", []), "name", TypeError), (Segment, ("s", "", "abc"), "rules", TypeError),
    (Segment, ("s", "", [1]), "rules", TypeError), (Segment, ("s", "", [Cond("a", ">", 1)]), "rules", TypeError),
    *[(Segment, ("s", "", [], p), "priority", OverflowError) for p in (-1, 2**32)],
    *[(Segment, ("s", "", [], p), "priority", TypeError) for p in (1.0, None, "1")]])
def test_constructor_argument_errors(cls, args, arg, exc):
    with pytest.raises(exc, match=f"argument '{arg}'") as e:
        cls(*args)
    assert type(e.value) is exc
    if args[2] == "abc":
        assert str(e.value).endswith("Can't extract `str` to `Vec`")


# ---- matching ----

@pytest.mark.parametrize("logic, conds, data, expected", [
    ("AND", [A, B], {"a": 2, "b": 1}, True), ("AND", [A, B], {"a": 2, "b": 3}, False),
    ("AND", [A, B], {"a": 2}, False),  # missing field fails the And rule
    ("AND", [A], {}, False), ("AND", [], {}, True), ("AND", [], {"z": 0}, True),
    ("OR", [A, B], {"b": 1}, True),  # missing a is skipped
    ("OR", [A, B], {"a": 0, "c": 5}, False), ("OR", [A], {}, False),
    ("OR", [], {"a": 5}, False),  # never matches, yet renders 1=1
    # comparisons against 100
    *[("AND", [("v", op, 100)], {"v": x}, expected) for op, x, expected in [
        ("==", 100.00000000001, True), ("==", 100.001, False), ("==", 100 - 5e-11, True), ("==", 100 + 1e-9, False),
        ("!=", 100.00000000001, False), ("!=", 100.001, True), ("==", math.nan, False), ("!=", math.nan, False),
        (">", math.nan, False), ("<=", math.inf, False), (">=", 100, True), (">", 100, False), ("<", -math.inf, True)]]])
def test_rule_semantics(logic, conds, data, expected):
    assert Segment("s", "", [rule(*conds, logic=logic)]).matches(data) is expected


def test_rules_are_all_required():
    assert seg().matches({}) is True  # no rules: matches even an empty dict
    s = seg(rule(A), rule(B))
    assert s.matches({"a": 2, "b": 1}) and not s.matches({"a": 2, "b": 2}) and not s.matches({"a": 0, "b": 1})
    assert seg(rule(A)).matches(type("D", (dict,), {})(a=2)) is True  # ints in a dict subclass


@pytest.mark.parametrize("data", [[("a", 1)], {1: 2.0}, {"a": "1"}, {"a": None}])
@pytest.mark.parametrize("call", [lambda d: seg(rule(A)).matches(d), lambda d: Segmenter([seg(rule(A))]).classify(d)],
                         ids=["matches", "classify"])
def test_customer_data_errors(data, call):
    with pytest.raises(TypeError, match="argument 'customer_data'"):
        call(data)


# ---- segmenter ----

@pytest.mark.parametrize("priorities, winner", [
    ((5, 5), "s1"), ((7, 5), "s0"), ((5, 7), "s1"), ((0, 0, 0), "s2"), ((3, 9, 9, 1), "s2"), ((2**32 - 1, 0), "s0"),
    ((1,), "s0")])
def test_classify_primary_priority(priorities, winner):
    segments = [seg(name=f"s{i}", priority=p) for i, p in enumerate(priorities)]
    assert Segmenter(segments).classify_primary({"a": 1}) == winner


def test_classify_in_order_primary_skips_non_matching_and_empty_segmenters():
    s = Segmenter([seg(rule(A), name="x"), seg(rule(B), name="y"), seg(name="x"), seg(rule(("a", ">", 9)), name="z")])
    assert s.classify({"a": 2, "b": 1}) == ["x", "y", "x"] and s.classify({"a": 0, "b": 5}) == ["x"]  # with duplicates
    s = Segmenter([seg(rule(A), name="hi", priority=9), seg(name="lo", priority=1)])
    assert s.classify_primary({"a": 0}) == "lo" and s.classify_primary({"a": 5}) == "hi"
    assert Segmenter([seg(rule(A))]).classify_primary({"a": 0}) is None
    empty = Segmenter([])
    assert empty.classify({"a": 1}) == [] and empty.classify_primary({}) is None and empty.export_sql() == ""


def test_export_sql_layout():
    vip = seg(rule(("total_spent", ">", 1000)), name="VIP")
    vip_text = "-- Segment: VIP\nSELECT * FROM customers WHERE ((total_spent > 1000));\n\n"
    assert Segmenter([vip]).export_sql() == vip_text
    assert Segmenter([vip, seg(name="All")]).export_sql() == vip_text + "-- Segment: All\nSELECT * FROM customers WHERE 1=1;\n\n"


@pytest.mark.parametrize("name, shown", [
    ("x\nDROP TABLE customers; --", "x DROP TABLE customers; --"), ("a\r\nb", "a  b"), ("a\rb", "a b"),
    ("Bébé's \"VIP\"\t", "Bébé's \"VIP\"\t"), ("a\0b", "a b"), ("\x85\u2028\u2029", "   "),
    ("a\vb\fc\x1cd\x1de\x1ef", "a b c d e f"), ("\u2027\u202a\x84\x1f", "\u2027\u202a\x84\x1f")])
def test_export_sql_keeps_names_on_the_comment_line(name, shown):
    text = Segmenter([seg(rule(A), name=name)]).export_sql()
    assert text == f"-- Segment: {shown}\nSELECT * FROM customers WHERE ((a > 1));\n\n"


def test_injected_name_cannot_run_sql():
    db = sqlite_table("a REAL", [(2,)])
    db.executescript(Segmenter([seg(rule(A), name="x\nDROP TABLE customers;")]).export_sql())
    assert db.execute("SELECT count(*) FROM customers").fetchone() == (1,)


def test_segmenter_copies_segments_and_conditions_hide_their_attributes():
    s = seg(rule(A), name="x")
    segmenter = Segmenter((s, s))
    del s
    assert segmenter.classify({"a": 2}) == ["x", "x"]
    with pytest.raises(AttributeError):
        Cond("a", ">", 1).field  # noqa: B018


@pytest.mark.parametrize("obj, text", [
    (Rule.to_sql, "Render this rule as a SQL WHERE-clause fragment."),
    (Segment.matches, "Does this customer's data (field name -> numeric value) satisfy the\nsegment's rule(s)?"),
    (Segmenter.classify, "All segment names this customer's data matches (there may be more\n"
     "than one \u2014 segments are not mutually exclusive by default)."),
    (Segmenter.classify_primary, "The single highest-priority matching segment name, if any."),
    (Segmenter.export_sql, "Combined SQL export of every configured segment's rule(s)."),
    (Segmenter, "Rule-based (deterministic, explainable) customer segmentation \u2014 an\n"
     "alternative to statistical clustering when segment boundaries need to be\n"
     "human-defined business rules (e.g. \"high value = monetary > 1000\")."),
], ids=lambda v: getattr(v, "__qualname__", ""))
def test_docstrings(obj, text):
    assert obj.__doc__ == text


# ---- SQL against a real engine ----

FIELDS = ["total_spent", "orders", "days_since", "tenure"]


def sqlite_table(columns, rows):
    """An in-memory SQLite database with `rows` in a `customers` table."""
    db = sqlite3.connect(":memory:")
    db.execute(f"CREATE TABLE customers ({columns})")
    db.executemany(f"INSERT INTO customers VALUES ({', '.join('?' * len(rows[0]))})", rows)
    return db


def customer_records(n=400, seed=7):
    rng = random.Random(seed)
    return [{"total_spent": float(rng.randrange(0, 3000, 25)), "orders": float(rng.randrange(0, 40)),
             "days_since": float(rng.randrange(0, 400)), "tenure": rng.randrange(0, 2000) / 4} for _ in range(n)]


def check_behavioral_sql(query):
    """Each exported block selects exactly the ids classify() puts in its segment;
    `query(sql)` returns rows whose first column is the id."""
    records, segmenter = customer_records(), Segmenter([
        seg(rule(("total_spent", ">", 1000), ("orders", ">=", 10)), name="VIP", priority=9),
        seg(rule(("days_since", ">", 180), ("orders", "<", 3), logic="OR"), name="Dormant", priority=3),
        seg(rule(("orders", "==", 12)), rule(("tenure", "!=", 100.25)), name="Exact", priority=1),
        seg(rule(("total_spent", "<=", 500), ("tenure", ">=", 250.5), logic="or"),
            rule(("days_since", "<", 30), ("orders", "<>", 0)), name="Mixed", priority=5),
        seg(name="Everyone"), seg(rule(), name="EmptyAnd")])
    blocks = segmenter.export_sql().split("\n\n")
    assert blocks[-1] == ""
    expected = {}
    for block in blocks[:-1]:
        name = block.split("\n")[0].removeprefix("-- Segment: ")
        expected[name] = {i for i, r in enumerate(records) if name in segmenter.classify(r)}
        assert {int(row[0]) for row in query(block)} == expected[name], name
    # every segment is exercised on both sides
    assert list(expected) == ["VIP", "Dormant", "Exact", "Mixed", "Everyone", "EmptyAnd"]
    assert all(0 < len(ids) for ids in expected.values()) and len(expected["Everyone"]) == len(records)


def test_segment_sql_agrees_with_classify_on_sqlite():
    db = sqlite_table("id INTEGER, total_spent REAL, orders REAL, days_since REAL, tenure REAL",
                      [(i, *(r[f] for f in FIELDS)) for i, r in enumerate(customer_records())])
    check_behavioral_sql(lambda sql: db.execute(sql).fetchall())


def test_all_operator_pairs_render_valid_sqlite():
    db = sqlite_table("x REAL", [(v,) for v in (-1.5, 0.0, 2.0, 3.0)])
    for op, v in itertools.product([">", "<", ">=", "<=", "==", "!=", "<>", "="], [0, 2, -1.5]):
        s = seg(rule(("x", op, v)))
        got = {r[0] for r in db.execute(f"SELECT x FROM customers WHERE {s.to_sql()}")}
        assert got == {x for x in (-1.5, 0.0, 2.0, 3.0) if s.matches({"x": x})}, (op, v)
