"""RFM computation, segment naming and the RFM classes."""

import datetime as dt
import inspect
import math
import random
import warnings

import numpy as np
import pandas as pd
import pytest

from segmora import PyDecayFunction, PyRFMConfig, PyScoringMethod, PySegmentProfile, PySegmentType, calculate_rfm_py

UTC = dt.timezone.utc
NOW = dt.datetime.now(UTC)
DECAY = ("linear", "exponential", "inverse")
SKIPPED = "skipped {} of {} transactions whose timestamp is not an RFC 3339 date-time with a zone (first at index {})"
LEFT_OUT = "; {} with no usable transaction left out"
# Segment by (r > 3, f > 3, m > 3), read as the bits of an index.
SEGMENTS = ["Lost", "Promising", "Need Attention", "VIP", "At Risk", "Potential Loyalists", "Loyal Customers", "Champions"]


def ago(days, hours=12, offset_minutes=0):
    """A timestamp `days` whole days plus `hours` before now (hours keep the day count unambiguous)."""
    when = (NOW - dt.timedelta(days=days, hours=hours)).astimezone(dt.timezone(dt.timedelta(minutes=offset_minutes)))
    text, m = when.strftime("%Y-%m-%dT%H:%M:%S"), abs(offset_minutes)
    return text + "Z" if offset_minutes == 0 else f"{text}{'+' if offset_minutes > 0 else '-'}{m // 60:02d}:{m % 60:02d}"


def rfm(transactions, scoring=None, decay=None, n_jobs=None, **config):
    """calculate_rfm_py with the config's choices given by name."""
    if scoring:
        config["scoring_method"] = getattr(PyScoringMethod, scoring)()
    if decay:
        config["decay_function"] = getattr(PyDecayFunction, decay)()
    return calculate_rfm_py(transactions, PyRFMConfig(**config), n_jobs=n_jobs)


def by_id(scores):
    return {s.customer_id: s for s in scores}


def position_score(i, n, method):
    top = {"quintile": 5, "decile": 10, "percentile": 100}[method]
    raw = (1 - i / n) * top
    return min(top, max(1, math.trunc(raw) if method == "percentile" else math.ceil(raw)))


def segment_rule(r, f, m):
    return SEGMENTS[4 * (r > 3) + 2 * (f > 3) + (m > 3)]


@pytest.mark.parametrize("decay, half_life, days, hours, offset, expected, tol", [
    *[(d, hl, days, 12, 0, e, 1e-15) for d, hl, days, e in [
        ("linear", 30, 0, 1.0), ("linear", 30, 45, 0.5), ("linear", 30, 89, 1 / 90), ("linear", 30, 90, 0.0),
        ("linear", 30, 400, 0.0), ("linear", 10, 15, 0.5), ("exponential", 30, 0, 1.0), ("exponential", 30, 30, 0.5),
        ("exponential", 30, 90, 0.125), ("inverse", 30, 0, 1.0), ("inverse", 30, 30, 0.5), ("inverse", 30, 90, 0.25)]],
    *[(d, 30, 0, 23, 0, 1.0, 0) for d in DECAY],  # earlier today is fully recent
    # 3.5 days ahead -> d = -3.
    ("linear", 30, -3, -12, 0, 1.0, 0), ("exponential", 30, -3, -12, 0, 1.0, 0),
    ("inverse", 30, -3, -12, 0, 1.0 / (-3 / 30 + 1.0), 0),
    # 10 days 1 hour ago written in +05:00: read as UTC it would be 9 days old.
    (None, None, 10, 1, 300, (90 - 10) / 90, 0),
])
def test_recency_weight(decay, half_life, days, hours, offset, expected, tol):
    config = {} if decay is None else {"decay": decay, "decay_half_life_days": half_life}
    [s] = rfm([("c", ago(days, hours=hours, offset_minutes=offset), 1.0)], **config)
    assert s.recency == (expected if tol == 0 else pytest.approx(expected, abs=tol))


@pytest.mark.parametrize("text, kept", [
    *[(t, True) for t in ("2024-03-01T10:00:00Z", "2024-02-29T23:59:59-05:30", "0001-01-01T00:00:00Z",
                          "2024-03-01T10:00:00-00:00")],
    *[(t, False) for t in (
        "2024-00-10T10:00:00Z", "2024-03-00T10:00:00Z", "2023-02-29T10:00:00Z", "2024-04-31T10:00:00Z",
        "2024-03-01T10:60:00Z", "2024-03-01T10:00:61Z", "2024-03-01T10:00:00+02:60", "2024-03-01T10:00:00+0200",
        "2024-03-01T10:00:00+02", "2024-3-01T10:00:00Z", "2024-03-01X10:00:00Z", "2024-03-01T10:00Z",
        " 2024-03-01T10:00:00Z", "2024-03-01T10:00:00Z ", "2024-03-01T10:00:00ZZ",
        "\uff12\uff10\uff12\uff14-03-01T10:00:00Z")],
])
def test_rfc3339_accepted_or_skipped(text, kept):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        scores = rfm([("c", text, 2.5)])
    # A customer with no usable transaction is left out.
    assert [(s.frequency, s.monetary) for s in scores] == ([(1.0, 2.5)] if kept else [])


Money = type("Money", (), {"__float__": lambda self: 2.25})


@pytest.mark.parametrize("transactions, expected", [
    # Unparseable rows are dropped; a customer left without a row is left out.
    ([("a", "nope", 5.0), ("a", "2024-13-01T00:00:00Z", 7.0), ("b", ago(1), 3.0), ("a", ago(2), 11.0)],
     {"a": (None, 1.0, 11.0), "b": (None, 1.0, 3.0)}),
    ([("x", "nope", 5.0), ("y", ago(1), 3.0)], {"y": (None, 1.0, 3.0)}),
    # Recency from the last purchase; duplicates all count.
    ([("c", ago(80), 1.0), ("c", ago(45), 2.0), ("c", ago(45), 2.0), ("c", ago(60), 0.5)], {"c": (0.5, 4.0, 5.5)}),
    # Amounts summed left to right without filtering: 1e16 + 1.0 rounds back to 1e16.
    ([("c", ago(1), a) for a in [1e16, 1.0, -1e16, 1.0, -3.0]], {"c": (None, 5.0, -2.0)}),
    # Ints, objects with __float__ and bools are amounts.
    ([("c", ago(1), 3), ("c", ago(1), Money()), ("c", ago(1), True)], {"c": (None, 3.0, 6.25)}),
    ([("kund\u00e9", ago(1), 1.0), ("\u5ba2\u6237", ago(2), 3.0), ("kund\u00e9", ago(3), 2.5)],
     {"kund\u00e9": (None, 2.0, 3.5), "\u5ba2\u6237": (None, 1.0, 3.0)}),
    # Result order: monetary 100 first; the four at 10 by frequency (2 first), then recency, then first appearance.
    ([("late_tie", ago(50), 10.0), ("rich", ago(70), 100.0), ("freq_tie", ago(60), 5.0), ("freq_tie", ago(60), 5.0),
      ("recent_tie", ago(1), 10.0), ("early_tie", ago(50), 10.0)],
     {"rich": (None, 1.0, 100.0), "freq_tie": (None, 2.0, 10.0), "recent_tie": (None, 1.0, 10.0),
      "late_tie": (None, 1.0, 10.0), "early_tie": (None, 1.0, 10.0)}),
])
def test_aggregation_and_order(transactions, expected):
    scores = rfm(transactions)
    assert [s.customer_id for s in scores] == list(expected)
    for s in scores:
        r, f, m = expected[s.customer_id]
        assert (s.frequency, s.monetary) == (f, m)
        assert r is None or s.recency == r


@pytest.mark.parametrize("method, n, expected", [
    ("quintile", 1, [5]), ("decile", 1, [10]), ("percentile", 1, [100]), ("quintile", 5, [5, 4, 3, 2, 1]),
    ("decile", 10, [10, 9, 8, 7, 6, 5, 4, 4, 2, 1]),
    ("percentile", 200, [position_score(i, 200, "percentile") for i in range(200)]),
])
def test_monetary_scores_by_position(method, n, expected):
    scores = rfm([(f"c{i:03d}", ago(1), float(i + 1)) for i in range(n)], scoring=method)
    assert [s.monetary for s in scores] == [float(n - i) for i in range(n)]
    assert [s.monetary_score for s in scores] == expected
    if n == 200:
        assert (expected[0], expected[100], expected[199]) == (100, 50, 1)
    if n == 1:  # a single customer gets the top score everywhere
        [s] = scores
        assert (s.recency_score, s.frequency_score) == (expected[0],) * 2
        assert s.rfm_rank == f"{expected[0]}" * 3


def test_equal_values_get_scores_set_by_the_earlier_pass():
    # Same frequency for all ten; recency differs, so frequency scores follow recency order.
    tx = [(f"c{i}", ago(i * 5), 1.0) for i in range(10)]
    random.Random(3).shuffle(tx)
    scores = by_id(rfm(tx, scoring="decile"))
    for attr in ("frequency_score", "recency_score"):
        assert [getattr(scores[f"c{i}"], attr) for i in range(10)] == [10, 9, 8, 7, 6, 5, 4, 4, 2, 1], attr


@pytest.mark.parametrize("days", [
    [400, 95, 200, 91],  # every one past three half-lives: decayed recency 0.0 for all
    [91, 200, 95, 400], [95, 95, 400, 91],
])
def test_tied_recency_is_ranked_by_the_real_recency(days):
    # Input order must not decide: the latest purchase comes first, equal instants in order of first appearance.
    stamps = {d: ago(d) for d in days}
    tx = [(f"c{i}", stamps[d], 1.0) for i, d in enumerate(days)]
    for sign in (1, -1):  # in order, then reversed
        scores = rfm(tx[::sign])
        assert {s.recency for s in scores} == {0.0}
        got = by_id(scores)
        by_recency = sorted(range(len(days)), key=lambda i: (days[i], sign * i))
        assert [got[f"c{i}"].recency_score for i in by_recency] == [5, 4, 3, 2]
    # A customer 400 days lapsed never outranks one 95 days lapsed.
    got = by_id(rfm(tx))
    assert got[f"c{days.index(400)}"].recency_score < got[f"c{days.index(95)}"].recency_score


def test_rfm_rank_concatenates_percentile_scores():
    # The target is most recent and richest, with 13 customers buying more often.
    tx = [("target", ago(0), 1000.0), ("target", ago(5), 1000.0)]
    tx += [(f"busy{i}", ago(20), 1.0) for i in range(13) for _ in range(3)] + [(f"once{i}", ago(30), 1.0) for i in range(86)]
    scores = rfm(tx, scoring="percentile")
    assert len(scores) == 100
    t = scores[0]
    assert (t.customer_id, t.recency_score, t.frequency_score, t.monetary_score, t.rfm_rank) == ("target", 100, 87, 100, "10087100")


@pytest.mark.parametrize("amounts, expected", [
    ([0.0, -0.0, 0.0], ["c0", "c1", "c2"]),  # equal values keep their order
    ([-0.0, 0.0], ["c0", "c1"]),
    ([float("-inf"), float("nan"), float("inf"), 1e308, -1e308], ["c2", "c3", "c4", "c0", "c1"]),
    ([float("nan"), float("nan"), 5e-324, -5e-324], ["c2", "c3", "c0", "c1"]),
    ([float("nan"), 1.0, float("nan"), 2.0, -5.0], ["c3", "c1", "c4", "c0", "c2"]),  # NaN after every number
])
def test_monetary_order_with_special_values(amounts, expected):
    # Same day and frequency for all, so earlier passes keep first appearance; scores follow position.
    scores = rfm([(f"c{i}", ago(1), a) for i, a in enumerate(amounts)])
    assert [s.customer_id for s in scores] == expected
    assert [s.monetary_score for s in scores] == [position_score(i, len(amounts), "quintile") for i in range(len(amounts))]
    for s in scores:
        a = amounts[int(s.customer_id[1:])]
        assert s.monetary == a or (math.isnan(s.monetary) and math.isnan(a))


def decile_tx(monetary_rank):
    """"top" is most recent and most frequent; `monetary_rank` customers are richer."""
    return [("top", ago(0), float(100 - monetary_rank) + 0.5), ("top", ago(0), 0.0)] + [
        (f"o{i}", ago(10 + i), float(100 - i)) for i in range(9)]


@pytest.mark.parametrize("tx, method, cid, rfm_scores, name", [
    (decile_tx(5), "decile", "top", (10, 10, 5), "Champions"),
    (decile_tx(6), "decile", "top", (10, 10, 4), "Champions"),
    (decile_tx(7), "decile", "top", (10, 10, 4), "Champions"),  # (1 - 0.7) * 10 lies just above 3: still high
    (decile_tx(8), "decile", "top", (10, 10, 2), "Loyal Customers"),
    # Two customers: the second scores 50 everywhere, which is high.
    ([("a", ago(1), 2.0), ("a", ago(1), 2.0), ("b", ago(40), 1.0)], "percentile", "b", (50, 50, 50), "Champions"),
])
def test_threshold_of_high_scores(tx, method, cid, rfm_scores, name):
    s = by_id(rfm(tx, scoring=method))[cid]
    assert (s.recency_score, s.frequency_score, s.monetary_score, s.rfm_segment) == (*rfm_scores, name)


@pytest.mark.parametrize("method", ["quintile", "decile", "percentile"])
def test_segments_follow_the_rule_and_every_n_jobs_agrees(method):
    rng = random.Random(5)
    tx = []
    for _ in range(20000):
        amount = rng.choice([rng.uniform(-5, 300), float(rng.randrange(5)), float("nan")])
        stamp = ago(rng.randrange(150), hours=rng.randrange(1, 23)) if rng.random() > 0.02 else "garbage"
        tx.append((f"cust{rng.randrange(4000)}", stamp, amount))
    scores = rfm(tx, scoring=method, n_jobs=1)
    for s in scores:
        assert s.rfm_segment == segment_rule(s.recency_score, s.frequency_score, s.monetary_score)
        assert s.rfm_rank == f"{s.recency_score}{s.frequency_score}{s.monetary_score}"
    assert {s.rfm_segment for s in scores} == set(SEGMENTS)
    key = lambda scores: [(s.customer_id, s.recency, s.frequency, repr(s.monetary), s.recency_score, s.frequency_score,
                           s.monetary_score, s.rfm_segment) for s in scores]
    assert len(scores) == len({s.customer_id for s in scores})
    for n_jobs in (None, 0, -5, 2, 3, 7):
        assert key(rfm(tx, scoring=method, n_jobs=n_jobs)) == key(scores), n_jobs


def test_empty_input_returns_empty_without_building_a_pool():
    assert calculate_rfm_py([], PyRFMConfig(), n_jobs=2**31 - 1) == []
    assert calculate_rfm_py((), PyRFMConfig()) == []


GOOD = [("c", "2024-03-01T10:00:00Z", 1.0)]
TX = "argument 'transactions'"


@pytest.mark.parametrize("call, args, kwargs, exc, text", [
    # A bad config and n_jobs too: transactions are reported first.
    *[(calculate_rfm_py, (t, "not a config"), {"n_jobs": "x"}, e, m) for t, e, m in [
        ("abc", TypeError, TX + ": Can't extract `str` to `Vec`"), (42, TypeError, TX),
        ([["c", "2024-03-01T10:00:00Z", 1.0]], TypeError, TX), ([("c", "2024-03-01T10:00:00Z")], TypeError, TX),
        ([("c", "2024-03-01T10:00:00Z", 1.0, 2.0)], TypeError, TX), ([(1, "2024-03-01T10:00:00Z", 1.0)], TypeError, TX),
        ([("c", None, 1.0)], TypeError, TX), ([("c", "2024-03-01T10:00:00Z", "1.0")], TypeError, TX),
        ([("c", "2024-03-01T10:00:00Z", None)], TypeError, TX),
        ([("c", "2024-03-01T10:00:00Z", 10**400)], OverflowError, TX + ": item 0, element 2: int too large"),
        ([("\ud800", "2024-03-01T10:00:00Z", 1.0)], UnicodeEncodeError, "'utf-8' codec can't encode"),
    ]],
    (calculate_rfm_py, (GOOD, PyScoringMethod.decile()), {"n_jobs": "x"}, TypeError, "argument 'config'"),
    (calculate_rfm_py, (GOOD, PyRFMConfig()), {"n_jobs": 1.5}, TypeError, "argument 'n_jobs'"),
    (calculate_rfm_py, (GOOD, PyRFMConfig()), {"n_jobs": 2**31}, OverflowError, "argument 'n_jobs'"),
    (calculate_rfm_py, ([], PyRFMConfig()), {"n_jobs": "x"}, TypeError, "argument 'n_jobs'"),
    (calculate_rfm_py, (GOOD,), {}, TypeError, ""),
    (calculate_rfm_py, (GOOD, PyRFMConfig(), 1, 2), {}, TypeError, ""),
    (PySegmentProfile, ("VIP",), {}, TypeError, "argument 'segment_type'"),
    (PySegmentProfile, (), {}, TypeError, ""),
    # The config's own arguments: the error names the first bad one.
    *[(PyRFMConfig, (), kw, e, f"argument '{next(iter(kw))}'") for kw, e in [
        ({"recency_window_days": -1}, OverflowError), ({"recency_window_days": 2**32}, OverflowError),
        ({"frequency_threshold": 2**64}, OverflowError), ({"monetary_threshold": "1"}, TypeError),
        ({"decay_function": PyScoringMethod.decile()}, TypeError), ({"decay_half_life_days": 1.0}, TypeError),
        ({"scoring_method": PyDecayFunction.linear()}, TypeError), ({"recency_window_days": "x", "scoring_method": 3}, TypeError),
    ]],
])
def test_argument_errors_in_order(call, args, kwargs, exc, text):
    with pytest.raises(exc) as info:
        call(*args, **kwargs)
    assert type(info.value) is exc
    assert str(info.value).startswith(text)


@pytest.mark.parametrize("where", ["amount", "n_jobs"])
def test_callback_that_empties_the_list_is_safe(where):
    # The callback frees the converted tuples and refills the freed memory.
    tx, refill = [], []

    def drop(result):
        tx.clear()
        refill.extend(f"Y{i:07d}" * 20 for i in range(20000))
        return result

    Sneaky = type("Sneaky", (), {"__float__": lambda self: drop(1.0), "__index__": lambda self: drop(1)})

    if where == "amount":
        tx.extend([("a", ago(1), Sneaky()), ("b", ago(2), 2.0)])
        assert [s.customer_id for s in calculate_rfm_py(tx, PyRFMConfig())] == ["a"]
    else:
        ids = [f"cust{i:04d}" * 20 for i in range(500)]
        tx.extend((cid, ago(1 + i % 50), 1.0) for i, cid in enumerate(ids))
        scores = calculate_rfm_py(tx, PyRFMConfig(), n_jobs=Sneaky())
        assert sorted(s.customer_id for s in scores) == ids
        assert {s.frequency for s in scores} == {1.0}


def test_config_defaults_attributes_and_choices():
    attrs = lambda c: (c.recency_window_days, c.frequency_threshold, c.monetary_threshold, c.decay_half_life_days)
    assert attrs(PyRFMConfig()) == (90, 1, 0.0, 30)
    c = PyRFMConfig(7, 2**64 - 1, 3, PyDecayFunction.inverse(), 0, PyScoringMethod.decile())
    assert attrs(c) == (7, 2**64 - 1, 3.0, 0)
    assert isinstance(c.monetary_threshold, float)
    assert not hasattr(c, "decay_function") and not hasattr(c, "scoring_method")
    with pytest.raises(AttributeError):
        c.recency_window_days = 3
    s = by_id(rfm([("c", ago(30), 1.0), ("d", ago(60), 1.0)], scoring="percentile", decay="exponential",
                  decay_half_life_days=60))
    assert s["c"].recency == 2 ** -0.5
    assert s["c"].recency_score == 100 and s["d"].recency_score == 50


def test_reprs_and_score_attributes():
    assert [repr(getattr(PyDecayFunction, name)()) for name in DECAY] == [f"DecayFunction({name})" for name in DECAY]
    [s] = rfm([("cust 1", ago(1), 4)])
    assert repr(s) == "RFMScore(customer_id=cust 1, r=5, f=5, m=5, segment=Champions)"
    assert (s.customer_id, s.frequency, s.monetary, s.rfm_segment, s.rfm_rank) == ("cust 1", 1.0, 4.0, "Champions", "555")
    assert isinstance(s.recency_score, int) and isinstance(s.monetary, float)
    with pytest.raises(AttributeError):
        s.monetary = 1.0


@pytest.mark.parametrize("ctor, name, description", [
    ("champions", "Champions", "Best customers with highest value and engagement"),
    ("loyal_customers", "Loyal Customers", "Consistent, valuable customers with steady engagement"),
    ("potential_loyalists", "Potential Loyalists", "Recent high-value customers with growth potential"),
    ("at_risk", "At Risk", "Once valuable customers showing declining engagement"),
    ("cannot_lose", "Cannot Lose Them", "High-value customers at risk of churn - critical retention"),
    ("vip", "VIP", "Premium customers with exceptional value metrics"),
    ("new_customers", "New Customers", "Recently acquired customers with high potential"),
    ("need_attention", "Need Attention", "Moderate-value customers requiring engagement"),
])
def test_segment_type_and_profile(ctor, name, description):
    t = getattr(PySegmentType, ctor)()
    assert (t.as_str(), repr(t)) == (name, f"SegmentType({name})")
    assert getattr(PySegmentType, ctor)() is not t
    p = PySegmentProfile(t)
    assert (p.segment_type, p.description, p.size, p.avg_recency, p.avg_frequency, p.avg_monetary, p.revenue_contribution,
            p.churn_risk, repr(p)) == (name, description, 0, *(0.0,) * 5, f"SegmentProfile(type={name}, size=0, avg_monetary=0.00)")
    with pytest.raises(AttributeError):
        p.size = 3


def test_signatures_and_absent_names():
    for missing in ("about_to_sleep", "at_risk_sleeping", "promising", "lost", "hibernating"):
        assert not hasattr(PySegmentType, missing), missing
    assert calculate_rfm_py.__doc__ is None  # the text signature alone
    for fn, signature in [
        (calculate_rfm_py, "(transactions, config, n_jobs=None)"), (PySegmentProfile, "(segment_type)"),
        (PyRFMConfig, "(recency_window_days=None, frequency_threshold=None, monetary_threshold=None, "
                      "decay_function=None, decay_half_life_days=None, scoring_method=None)"),
        (PyDecayFunction.linear, "()"), (PySegmentType.vip().as_str, "()")]:
        assert str(inspect.signature(fn)) == signature, fn


def test_agrees_with_pandas():
    rng = random.Random(17)
    tx = []
    for _ in range(3000):
        offset = rng.choice([0, 0, 330, -300, 60])
        stamp = ago(rng.randrange(0, 120), hours=rng.randrange(1, 23), offset_minutes=offset)
        if rng.random() < 0.03:
            stamp = stamp[:10]  # a bare date: skipped by both
        tx.append((f"c{rng.randrange(400)}", stamp, round(rng.uniform(-20, 300), 2)))
    scores = by_id(rfm(tx))
    df = pd.DataFrame(tx, columns=["customer_id", "timestamp", "amount"])
    df["ts"] = pd.to_datetime(df["timestamp"], utc=True, errors="coerce", format="%Y-%m-%dT%H:%M:%S%z")
    g = df.dropna(subset=["ts"]).groupby("customer_id")
    days = (pd.Timestamp(NOW) - g["ts"].max()).dt.days
    for cid, n in g["ts"].count().items():
        s = scores[cid]
        assert s.frequency == n
        assert s.monetary == pytest.approx(g["amount"].sum()[cid], rel=1e-12, abs=1e-9)
        assert s.recency == max(0.0, min(1.0, (90 - days[cid]) / 90))


@pytest.mark.parametrize("stamps, warning", [
    (["2024-03-01T10:00:00Z"] * 3, None),
    (["2024-03-01T10:00:00Z", "1997-01-01", "x"], SKIPPED.format(2, 3, "1: '1997-01-01'") + LEFT_OUT.format("1 customer")),
    (["2024-03-01T10:00:00Z", "x", "y", "2024-03-01T10:00:00Z"], SKIPPED.format(2, 4, "1: 'x'")),
    (["2024-03-01T10:00:00"], SKIPPED.format(1, 1, "0: '2024-03-01T10:00:00'") + LEFT_OUT.format("1 customer")),
    (["2024-03-01T10:00:00Z", "NaT-object"], SKIPPED.format(1, 2, "1: 'NaT'") + LEFT_OUT.format("1 customer")),
    (["x", "NaT-object"], SKIPPED.format(2, 2, "0: 'x'") + LEFT_OUT.format("2 customers")),
])
def test_skipped_timestamps_warn_once(stamps, warning):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        rfm([(f"c{i % 2}", pd.NaT if s == "NaT-object" else s, 1.0) for i, s in enumerate(stamps)])
    assert [str(w.message) for w in caught] == ([warning] if warning else [])
    assert all(w.category is UserWarning for w in caught)


NAN_AMOUNTS = "{} of {} transactions have a NaN amount (first at index {}); the monetary value of their customers is NaN"


@pytest.mark.parametrize("rows, expected", [
    ([("a", "2024-03-01T10:00:00Z", math.nan), ("b", "2024-03-01T10:00:00Z", 1.0)], [NAN_AMOUNTS.format(1, 2, 0)]),
    # A NaN amount on a skipped row changes no sum: not reported.
    ([("a", "x", math.nan), ("a", "2024-03-01T10:00:00Z", math.nan)],
     [SKIPPED.format(1, 2, "0: 'x'"), NAN_AMOUNTS.format(1, 2, 1)]),
])
def test_nan_amounts_warn_like_rfm_from_columns(rows, expected):
    from segmora import rfm_from_columns

    caught = {}
    for name, call in [("rows", lambda: rfm(rows)),
                       ("columns", lambda: rfm_from_columns(*map(list, zip(*rows)), as_of=NOW))]:
        with warnings.catch_warnings(record=True) as got:
            warnings.simplefilter("always")
            call()
        caught[name] = [str(w.message) for w in got]
    assert caught["rows"] == caught["columns"] == expected


@pytest.mark.parametrize("when, text", [
    (dt.datetime(2024, 3, 1, 10, tzinfo=UTC), "2024-03-01T10:00:00Z"),
    (dt.datetime(2024, 3, 1, 12, tzinfo=dt.timezone(dt.timedelta(hours=2))), "2024-03-01T10:00:00Z"),
    (dt.datetime(2024, 3, 1, 4, 29, 59, 999999, tzinfo=dt.timezone(dt.timedelta(hours=-5, minutes=-30, seconds=-1))),
     "2024-03-01T10:00:00.999999Z"),
    # Naive date-times are UTC, dates midnight UTC, NumPy datetime64 scalars read in their own unit.
    (dt.datetime(2024, 3, 1, 10), "2024-03-01T10:00:00Z"), (pd.Timestamp("2024-03-01 10:00"), "2024-03-01T10:00:00Z"),
    (dt.date(2024, 3, 1), "2024-03-01T00:00:00Z"), (np.datetime64("2024-03-01T10:00:00.5"), "2024-03-01T10:00:00.5Z"),
])
def test_date_time_objects_are_read_exactly(when, text):
    others = [("b", "2024-03-01T10:00:00Z", 1.0), ("b", "2024-02-01T10:00:00Z", 1.0)]
    got = rfm([("a", when, 2.0), *others])
    assert [repr(s) for s in got] == [repr(s) for s in rfm([("a", text, 2.0), *others])]
    assert by_id(got)["a"].recency == rfm([("a", text, 2.0)])[0].recency


@pytest.mark.parametrize("utc_column", [False, True])
def test_transactions_dataframe_reads_its_rows(utc_column):
    tx = [("a", ago(3), 10.0), ("b", ago(40), 25.5), ("a", ago(1, offset_minutes=120), 4.0)]
    frame = pd.DataFrame(tx, columns=["customer_id", "timestamp", "amount"], index=[7, 8, 9])
    if utc_column:
        frame["timestamp"] = pd.to_datetime(frame["timestamp"], utc=True, format="ISO8601")
    got, expected = rfm(frame), rfm(tx)
    assert [(repr(s), s.recency) for s in got] == [(repr(s), s.recency) for s in expected]
