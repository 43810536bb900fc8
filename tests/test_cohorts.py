"""Cohort analysis: ids, cohorts and their curves, comparison, tables, ranking, aggregation."""

import numpy as np
import pytest

import segmora

PERIOD_MESSAGE = "Unknown cohort period '{}'. Expected one of: weekly, monthly, quarterly, yearly"
ABC = [("a", 100.0, True), ("b", 50.0, False), ("c", 30, True)]


def cohort(cid="cohort_657", customers=ABC, points=(), period="monthly"):
    c = segmora.create_cohort(cid, period, 1704067200, customers)
    for age, retained in points:
        c.add_retention_point(age, retained)
    return c


def with_rate(cid, size, retained):
    return cohort(cid, [("x", 1.0, i < retained) for i in range(size)])


@pytest.mark.parametrize("period, ts, expected", [
    ("monthly", 1704067200, "cohort_657"), ("yearly", 0, "cohort_0"), ("Weekly", 604799, "cohort_0"),
    ("WEEKLY", -604799, "cohort_0"), ("weekly", -604800, "cohort_-1"), ("weekly", 604800, "cohort_1"),
    ("quarterly", -1, "cohort_0"), ("Quarterly", 7776000 * 3, "cohort_3"),
    ("yearly", -(2**63), f"cohort_{-(2**63) // 31536000 + 1}"),
])
def test_cohort_id_for(period, ts, expected):
    assert segmora.cohort_id_for(period, ts) == expected


@pytest.mark.parametrize("call, exc, text", [
    *[(lambda p=p: segmora.cohort_id_for(p, 0), ValueError, PERIOD_MESSAGE.format(p.lower()))
      for p in ("daily", "DAILY", " weekly")],
    (lambda: segmora.create_cohort("x", "daily", 0, []), ValueError, PERIOD_MESSAGE.format("daily")),
    (lambda: segmora.cohort_id_for("weekly", 2**63), OverflowError, None),
    (lambda: segmora.cohort_id_for(1, 0), TypeError, None),
    # argument conversion comes before the period is parsed
    (lambda: segmora.create_cohort("x", "daily", 0, [("a", 1.0, 1)]), TypeError, None),
    (lambda: segmora.create_cohort("x", "weekly", 0, "abc"), TypeError, "argument 'customers': Can't extract `str` to `Vec`"),
    *[(lambda bad=bad: segmora.create_cohort("x", "weekly", 0, [bad]), TypeError, None)
      for bad in (["a", 1.0, True], (1, 1.0, True), ("a", "1", True))],
    (lambda: cohort().add_retention_point(-1, 0), OverflowError, None),
    (lambda: segmora.compare_cohorts(cohort(), "x"), TypeError, None),
    (lambda: segmora.cohort_retention_table("ab"), TypeError, "argument 'cohorts': Can't extract `str` to `Vec`"),
    (lambda: segmora.cohort_retention_table([cohort(points=[(10**15, 1)])]), ValueError,
     "Data validation error: retention table of 1 cohorts with ages up to 1000000000000000 exceeds 67108864 cells"),
    (lambda: segmora.cohort_retention_table([cohort(points=[(2**64 - 1, 1)])]), ValueError, None),
    (lambda: segmora.cohort_retention_table([cohort(points=[(2**16, 1)])] * 1025), ValueError, None),
])
def test_errors(call, exc, text):
    with pytest.raises(exc) as err:
        call()
    assert type(err.value) is exc and (text is None or str(err.value) == text)


def test_create_add_point_decay_and_summary():
    c = cohort()
    assert (c.cohort_id, c.created_at, c.size, c.revenue, c.avg_ltv) == ("cohort_657", 1704067200, 3, 180.0, 60.0)
    assert (c.retention_rate_total, c.churn_rate_total) == (2 / 3, 1 - 2 / 3)
    assert c.retention_curve == [(0, 2, 1 - 2 / 3, 2 / 3)]
    assert repr(c) == "Cohort(id=cohort_657, size=3, retention=66.67%)"
    assert c.summary()["revenue_per_retained"] == 90.0
    c.add_retention_point(3, 1)
    assert c.retention_curve[-1] == (3, 1, 1 - 1 / 3, 1 / 3)
    assert c.retention_decay_rate() == (1 / 3 - 2 / 3) / 3
    assert c.summary() == {"size": 3.0, "revenue": 180.0, "avg_ltv": 60.0, "retention_rate": 2 / 3,
                           "churn_rate": 1 - 2 / 3, "decay_rate": (1 / 3 - 2 / 3) / 3, "revenue_per_retained": 180.0}
    with pytest.raises(OverflowError):
        c.add_retention_point(4, -1)
    assert len(c.retention_curve) == 2  # a failed call leaves the curve as it was


@pytest.mark.parametrize("customers, points, curve_end, decay, per_retained", [
    ([], [(1, 5)], (1, 5, 1.0, 0.0), 0.0, 0.0),
    ([], [], (0, 0, 1.0, 0.0), 0.0, 0.0),
    (ABC, [(0, 0)], (0, 0, 1.0, 0.0), 0.0, 0.0),           # zero span, zero retained
    (ABC, [(5, 6)], (5, 6, -1.0, 2.0), (2.0 - 2 / 3) / 5, 30.0),  # no range check
    (ABC, [(5, 3), (2, 0)], (2, 0, 1.0, 0.0), -1 / 3, 0.0),  # ages may go backwards
])
def test_curve_edge_cases(customers, points, curve_end, decay, per_retained):
    c = cohort(customers=customers, points=points)
    assert c.retention_curve[-1] == curve_end
    assert (c.retention_decay_rate(), c.revenue_per_retained()) == (pytest.approx(decay), per_retained)


@pytest.mark.parametrize("flag, retained", [(True, 1), (np.bool_(True), 1), (np.bool_(False), 0), (False, 0)])
def test_retained_flag_accepts_bool_and_numpy_bool(flag, retained):
    assert cohort(customers=[("a", np.float64(2.5), flag)]).retention_curve[0][1] == retained


@pytest.mark.parametrize("a, b, expected", [
    (with_rate("A", 4, 2), with_rate("B", 2, 1), ("A", -2, -2.0, 0.0, 0.0)),
    (with_rate("A", 2, 1), with_rate("B", 5, 5), ("B", 3, 3.0, 0.0, 0.5)),
    (with_rate("A", 3, 3), with_rate("B", 0, 0), ("A", -3, -3.0, -1.0, -1.0)),
])
def test_compare_cohorts(a, b, expected):
    assert segmora.compare_cohorts(a, b) == expected


def test_retention_table_rows_span_the_largest_age():
    a, b = cohort("a", points=[(2, 1), (2, 3)]), cohort("b", points=[(5, 0), (1, 1)])
    assert segmora.cohort_retention_table([a, b]) == [[2 / 3, 0.0, 1.0, 0.0, 0.0, 0.0],
                                                      [2 / 3, 1 / 3, 0.0, 0.0, 0.0, 0.0]]
    assert segmora.cohort_retention_table([]) == []


@pytest.mark.parametrize("rates, expected", [
    ([], (None, None)), ([(2, 1)], ("c0", "c0")), ([(2, 1), (4, 2), (4, 1)], ("c1", "c2")),
    ([(4, 1), (2, 2), (1, 1), (4, 1)], ("c2", "c0")),
])
def test_ranking_ties_best_last_worst_first(rates, expected):
    cohorts = [with_rate(f"c{i}", n, r) for i, (n, r) in enumerate(rates)]
    assert segmora.cohort_performance_ranking(cohorts) == expected


def test_aggregation_by_id_in_first_appearance_order():
    cohorts = [with_rate("cohort_657", 10, 5), with_rate("x", 1, 1), with_rate("cohort_657", 20, 14)]
    result = segmora.aggregate_cohorts_by_period(cohorts)
    assert list(result) == ["cohort_657", "x"]
    assert result["cohort_657"] == {"total_size": 30.0, "total_revenue": 30.0, "avg_retention": 0.6,
                                    "cohort_count": 2.0}
    assert segmora.aggregate_cohorts_by_period([]) == {}


@pytest.mark.parametrize("obj, doc", [
    (segmora.cohort_id_for, "Derive a deterministic cohort id string from a period type and a Unix\n"
     "timestamp (e.g. all \"monthly\" signups in the same month get the same id)."),
    (segmora.create_cohort, "Build a cohort from a list of (customer_id, ltv, is_retained) tuples."),
    (segmora.compare_cohorts, "Compare two cohorts; returns (better_performing_cohort_id, size_diff,\n"
     "revenue_diff, avg_ltv_diff, retention_rate_diff)."),
    (segmora.cohort_retention_table, "Build a cohort x period-age retention matrix (each row is one cohort's\n"
     "retention rate at each recorded age)."),
    (segmora.cohort_performance_ranking, "Identify the best- and worst-performing cohort ids by overall retention\n"
     "rate; returns (best_id, worst_id), either of which may be None if\n`cohorts` is empty."),
    (segmora.aggregate_cohorts_by_period, "Group cohorts by their id and compute per-group total size, total\n"
     "revenue, average retention, and cohort count."),
    (segmora.PyCohort.add_retention_point, "Record how many of this cohort's original customers were still\n"
     "active `age_in_periods` periods after cohort creation."),
    (segmora.PyCohort.retention_decay_rate, "Average retention-rate change per period across the recorded curve."),
    (segmora.PyCohort.retention_curve, "Retention curve as a list of (age_in_periods, retained_count,\n"
     "churn_rate, retention_rate) tuples."),
    (segmora.generate_lookalike, "Build a lookalike audience: score every candidate against the average\n"
     "feature profile of the seed customers, keep the top `percentile_threshold`\n"
     "fraction (e.g. 0.9 = top 10%), capped at `max_lookalikes`."),
    (segmora.find_similar_customers, "Find the top `n` candidates most similar to a single seed customer."),
    (segmora.cosine_similarity, "Cosine similarity between two equal-length numeric feature vectors."),
    (segmora.profile_segment, "Profile one cluster/segment: per-feature summary statistics, a plain-\n"
     "English business description, key characteristics, and a stability/\ncohesion/separation health score."),
])
def test_docstrings(obj, doc):  # of the cohort, lookalike and profiling surface
    text = obj.__doc__.split("--\n\n", 1)[-1]  # after the text signature, if any
    assert text.startswith(doc) and text[len(doc):len(doc) + 2] in ("", "\n\n")


# ---- cohort_retention_from_columns: calendar cohorts from transactions ----

import math  # noqa: E402
import warnings  # noqa: E402

import pandas as pd  # noqa: E402
import polars as pl  # noqa: E402
import pyarrow as pa  # noqa: E402

COLUMNS = ["cohort", "age", "customers", "active", "retention"]


def cdnow_like(n_customers=400, seed=3):
    """A CDNOW-like log: first purchases from November 1996 to March 1997, repeats
    thinning out until mid 1998; one customer buys only in its first month, and
    a few rows have no timestamp."""
    rng = np.random.default_rng(seed)
    start = pd.Timestamp("1996-11-01", tz="UTC")
    ids, stamps = [], []
    for c in range(n_customers):
        first = start + pd.Timedelta(seconds=int(rng.integers(0, 150 * 86400)))
        visits = [first] + [first + pd.Timedelta(seconds=int(s)) for s in rng.exponential(120 * 86400, rng.integers(0, 6))]
        if c == 7:
            visits = [first, first]  # active only in its acquisition period
        ids += [f"c{c:04d}"] * len(visits)
        stamps += visits
    order = rng.permutation(len(ids))
    ids, stamps = [ids[i] for i in order], pd.Series([stamps[i] for i in order], dtype="datetime64[ns, UTC]")
    stamps[[5, 50]] = pd.NaT
    return ids, stamps


def period_number(ts, period):
    if period == "week":
        return (ts.dt.floor("D") - pd.Timestamp(0, tz="UTC")).dt.days.add(3) // 7
    if period == "month":
        return ts.dt.year * 12 + ts.dt.month - 1
    if period == "quarter":
        return ts.dt.year * 4 + (ts.dt.month - 1) // 3
    return ts.dt.year


def label(number, period):
    if period == "week":
        year, week, _ = pd.Timestamp(number * 7, unit="D").isocalendar()  # the week's Thursday
        return f"{year:04d}-W{week:02d}"
    if period == "month":
        return f"{number // 12:04d}-{number % 12 + 1:02d}"
    return f"{number // 4:04d}-Q{number % 4 + 1}" if period == "quarter" else f"{number:04d}"


def pandas_cohorts(ids, stamps, period, as_of=None):
    """The recipe: first period per customer, distinct customers per cohort and age."""
    frame = pd.DataFrame({"id": ids, "ts": stamps}).dropna()
    if as_of is not None:
        frame = frame[frame.ts <= as_of]
    number = period_number(frame.ts, period)
    last = int(period_number(pd.Series([as_of if as_of is not None else frame.ts.max()]), period)[0])
    first = number.groupby(frame.id).transform("min")
    pairs = pd.DataFrame({"cohort": first, "age": number - first, "id": frame.id}).drop_duplicates()
    active = pairs.groupby(["cohort", "age"]).size()
    sizes = pairs[pairs.age == 0].groupby("cohort").size()
    rows = []
    for c in sizes.index:
        for age in range(last - sizes.index[0] + 1):
            n = int(active.get((c, age), 0))
            rows.append((label(c, period), age, int(sizes[c]), n, n / sizes[c] if c + age <= last else math.nan))
    return rows


def table_rows(out):
    assert list(out) == COLUMNS and len({len(v) for v in out.values()}) == 1
    return [(c, a, s, n, r) for c, a, s, n, r in zip(out["cohort"], out["age"].tolist(), out["customers"].tolist(),
                                                     out["active"].tolist(), out["retention"].tolist())]


def same(rows, expected):
    assert [r[:4] for r in rows] == [e[:4] for e in expected]
    assert all((math.isnan(r[4]) and math.isnan(e[4])) or r[4] == e[4] for r, e in zip(rows, expected))


IDS, STAMPS = cdnow_like()
STAMP_FORMS = {
    "pandas-utc": lambda s: s, "numpy-naive": lambda s: s.dt.tz_localize(None).to_numpy(),
    "rfc3339": lambda s: [None if pd.isna(t) else t.isoformat() for t in s],
    "epoch-seconds": lambda s: pd.array([None if pd.isna(t) else int(t.timestamp()) for t in s], dtype="Int64"),
    "arrow": lambda s: pa.array(s), "polars": lambda s: pl.from_pandas(s),
}


@pytest.mark.parametrize("form", list(STAMP_FORMS))
@pytest.mark.parametrize("period", ["week", "month", "quarter", "year"])
def test_same_table_as_the_pandas_recipe(period, form):
    with pytest.warns(UserWarning, match="skipped 2 of .* transactions with a missing timestamp"):
        out = segmora.cohort_retention_from_columns(IDS, STAMP_FORMS[form](STAMPS), period)
    same(table_rows(out), pandas_cohorts(IDS, STAMPS, period))


@pytest.mark.parametrize("as_of", ["1997-06-15T00:00:00Z", "1996-12-01T00:00:00Z", "1999-01-01T00:00:00Z"])
@pytest.mark.parametrize("ids", [IDS, pd.Series(IDS, dtype="category"), pa.array(IDS), pl.Series(IDS)],
                         ids=["list", "category", "arrow", "polars"])
def test_as_of_cuts_off_later_purchases(ids, as_of):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        out = segmora.cohort_retention_from_columns(ids, STAMPS, "Month", as_of, n_jobs=2)
    same(table_rows(out), pandas_cohorts(IDS, STAMPS, "month", pd.Timestamp(as_of)))


def test_hand_made_table_and_matrix():
    ids = ["a", "a", "b", "c", "a", "c"]
    stamps = ["2023-12-31T23:30:00-01:00", "2024-01-15T00:00:00Z", "2023-12-01T00:00:00Z",  # a: January, in UTC
              "2024-02-29T12:00:00Z", "2024-03-01T00:00:00Z", "2024-02-01T00:00:00Z"]
    out = segmora.cohort_retention_from_columns(ids, stamps, "month")
    same(table_rows(out), [
        ("2023-12", 0, 1, 1, 1.0), ("2023-12", 1, 1, 0, 0.0), ("2023-12", 2, 1, 0, 0.0), ("2023-12", 3, 1, 0, 0.0),
        ("2024-01", 0, 1, 1, 1.0), ("2024-01", 1, 1, 0, 0.0), ("2024-01", 2, 1, 1, 1.0), ("2024-01", 3, 1, 0, math.nan),
        ("2024-02", 0, 1, 1, 1.0), ("2024-02", 1, 1, 0, 0.0), ("2024-02", 2, 1, 0, math.nan), ("2024-02", 3, 1, 0, math.nan),
    ])
    for table in (out, pd.DataFrame(out)):
        m = segmora.cohort_retention_matrix(table)
        assert (m["cohort"], m["age"].tolist()) == (["2023-12", "2024-01", "2024-02"], [0, 1, 2, 3])
        pivot = pd.DataFrame(out).pivot(index="cohort", columns="age", values="retention")
        assert np.array_equal(m["retention"], pivot.to_numpy(), equal_nan=True)


def test_large_log_agrees_for_every_n_jobs():
    rng = np.random.default_rng(9)
    n = 120_000  # enough rows for the grouping to split across workers
    ids = rng.integers(0, 20_000, n)
    stamps = np.datetime64("2020-01-01") + rng.integers(0, 3 * 365 * 86400, n).astype("timedelta64[s]")
    runs = [table_rows(segmora.cohort_retention_from_columns(ids, stamps, "quarter", n_jobs=j)) for j in (1, 2, 5)]
    same(runs[1], runs[0])
    same(runs[2], runs[0])
    same(runs[0], pandas_cohorts(ids, pd.Series(stamps).dt.tz_localize("UTC"), "quarter"))


@pytest.mark.parametrize("call, exc, text", [
    (lambda: segmora.cohort_retention_from_columns(["a"], [0], "monthly"), ValueError,
     "Unknown cohort period 'monthly'. Expected one of: week, month, quarter, year"),
    (lambda: segmora.cohort_retention_from_columns(["a"], [0], 30), TypeError, None),
    (lambda: segmora.cohort_retention_from_columns(["a", "b"], [0], "month"), ValueError,
     "customer_ids and timestamps must have the same length, got 2 and 1"),
    (lambda: segmora.cohort_retention_from_columns(["a", None], [0, 0]), ValueError,
     "customer_ids has a missing value at index 1"),
    (lambda: segmora.cohort_retention_from_columns(["a"], [2**50]), RuntimeError,
     "Data validation error: the timestamp at row 0 is outside the years -32766 to 32766"),
    (lambda: segmora.cohort_retention_matrix({"cohort": ["x"], "age": [-1], "retention": [1.0]}), ValueError,
     "table has a negative age (-1) at row 0"),
    (lambda: segmora.cohort_retention_matrix({"cohort": ["x", "x"], "age": [0, 0], "retention": [1.0, 1.0]}),
     ValueError, "table has two rows for cohort 'x' at age 0"),
    (lambda: segmora.cohort_retention_matrix({"cohort": ["x"], "age": [0]}), ValueError, "table has no column 'retention'"),
    (lambda: segmora.cohort_retention_matrix({"cohort": ["x"], "age": [0, 1], "retention": [1.0]}), ValueError,
     "table columns cohort, age and retention must have the same length, got 1, 2 and 1"),
])
def test_cohort_column_errors(call, exc, text):
    with pytest.raises(exc) as err:
        call()
    assert type(err.value) is exc and (text is None or str(err.value) == text)


def test_empty_and_all_missing():
    empty = segmora.cohort_retention_from_columns([], [])
    assert table_rows(empty) == []
    with pytest.warns(UserWarning, match="1 customer with no usable transaction left out"):
        assert table_rows(segmora.cohort_retention_from_columns(["a"], [None])) == []
    m = segmora.cohort_retention_matrix(empty)
    assert (m["cohort"], m["age"].tolist(), m["retention"].shape) == ([], [], (0, 0))
