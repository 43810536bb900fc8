"""Drift tests with p-values (SciPy and NumPy as oracles) and the DriftReference report."""
import functools
import math
import pickle

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest
import scipy.stats as st
from scipy.spatial.distance import jensenshannon

import segmora

NAN = float("nan")


def close(got, want, rel):
    """Equal to `rel` relative, or both below 1e-300 (absolute there)."""
    return (abs(got - want) <= rel * abs(want)) or (abs(want) < 1e-300 and abs(got) < 1e-300) or (
        math.isnan(got) and math.isnan(want))


def sample(seed, n, kind, shift=0.0):
    rng = np.random.default_rng(seed)
    if kind == "ties":
        x = rng.integers(0, 12, n).astype(float) + round(shift * 4)
    elif kind == "nan":
        x = rng.normal(shift, 1, n)
        x[rng.random(n) < 0.2] = NAN
    else:
        x = rng.normal(shift, 1, n)
    return x


KS_CASES = [  # (nb, nc, kind, shift): exact below 10,000 a side, asymptotic above; tiny p-values included
    (1, 1, "normal", 0), (1, 1, "normal", 5), (1, 2, "normal", 5), (2, 1, "ties", 0), (2, 2, "normal", 9), (3, 50, "ties", 1),
    (40, 40, "ties", 0.5), (300, 300, "normal", 30), (137, 211, "nan", 0.3), (2000, 3000, "ties", 0.2),
    (10000, 10000, "normal", 0.05), (9999, 7, "normal", 2), (10001, 5, "normal", 0.5), (10001, 120, "normal", 0.1),
    (10001, 30, "ties", 0.3), (10001, 60, "normal", 1.5), (10001, 400, "normal", 0.1), (10001, 160, "normal", 0.02),
    (20000, 15000, "normal", 0.02), (12000, 30001, "nan", 0.05), (10001, 10001, "normal", 0.2), (30000, 30000, "normal", 0.5),
]


@pytest.mark.parametrize("nb,nc,kind,shift", KS_CASES)
def test_ks_test_matches_scipy(nb, nc, kind, shift):
    b, c = sample(nb, nb, kind), sample(nc + 1, nc, kind, shift)
    got = segmora.ks_test(b, c)
    want = st.ks_2samp(b, c, nan_policy="omit")
    assert abs(got[0] - want.statistic) <= 1e-15 and close(got[1], want.pvalue, 1e-10), (got, want)


def test_ks_effective_size_beyond_a_million_takes_the_closed_form_tail():
    b = np.linspace(0.0, 1.0, 2_000_002)
    got, want = segmora.ks_test(b, b + 0.0015), st.ks_2samp(b, b + 0.0015)
    assert got[0] == pytest.approx(want.statistic, abs=1e-15) and close(got[1], want.pvalue, 1e-10)


@pytest.mark.parametrize("n,step", [(310, 0.02), (320, 0.01), (150, 0.05)])
def test_ks_small_statistics_with_asymptotic_sizes(n, step):
    # near-equal grids: a small gap at an effective size above 140 takes the exact matrix, a larger one the expansion
    b, c = np.linspace(0, 1, 10001), np.linspace(step, 1 + step, n)
    got, want = segmora.ks_test(b, c), st.ks_2samp(b, c)
    assert got[0] == pytest.approx(want.statistic, abs=1e-15) and close(got[1], want.pvalue, 1e-10)


def large_sample(kind, seed, shift):
    """70,000 values: enough for the sorts and walks that run on two workers."""
    x = np.random.default_rng(seed).normal(shift, 1, 70_000)
    if kind == "ties":
        x = np.round(x, 2)
    elif kind == "missing and infinite":
        x[::97], x[1::101], x[2::103] = NAN, math.inf, -math.inf
    return x


LAYOUTS = {  # the same numbers as callers hold them; a float64 array is read in place
    "float64": lambda x: x, "strided": lambda x: np.repeat(x, 2)[::2], "big-endian": lambda x: x.astype(">f8"),
    "list": lambda x: x.tolist(), "series": pd.Series,
}


@functools.lru_cache(maxsize=None)
def large_pair(kind):
    b, c = large_sample(kind, 1, 0.0), large_sample(kind, 2, 0.02)
    want = st.ks_2samp(b, c, nan_policy="omit")
    assert abs(segmora.ks_test(b, c)[0] - want.statistic) <= 1e-15 and close(segmora.ks_test(b, c)[1], want.pvalue, 1e-10)
    return b, c, (segmora.ks_test(b, c), segmora.wasserstein_distance(b, c), segmora.population_stability_index(b, c))


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("kind", ["normal", "ties", "missing and infinite"])
def test_large_samples_give_scipy_results_in_every_layout(kind, layout):
    b, c, want = large_pair(kind)
    held_b, held_c = LAYOUTS[layout](b), LAYOUTS[layout](c)
    before = np.array(held_b, dtype=float), np.array(held_c, dtype=float)
    got = (segmora.ks_test(held_b, held_c), segmora.wasserstein_distance(held_b, held_c),
           segmora.population_stability_index(held_b, held_c))
    assert got[0] == want[0] and got[2] == want[2] and (got[1] == want[1] or math.isnan(got[1]) and math.isnan(want[1]))
    assert all(np.array_equal(np.array(x, dtype=float), y, equal_nan=True) for x, y in zip((held_b, held_c), before))


INF = math.inf


@pytest.mark.parametrize("b,c", [
    ([1.0, INF], [INF, 2.0]), ([-INF, 0.0, INF], [INF, INF, 1.0]), ([INF, INF], [-INF]), ([-0.0, 0.0], [0.0, 1.0]),
])
def test_infinite_values_match_scipy(b, c):
    statistic, p = segmora.ks_test(b, c)
    want = st.ks_2samp(b, c)
    assert abs(statistic - want.statistic) <= 1e-15 and close(p, want.pvalue, 1e-10)


CHI_CASES = [
    ({"a": 10, "b": 20, "c": 0}, {"a": 15, "b": 5, "d": 7}),  # categories on one side only, one counted nowhere
    ({"a": 5}, {"a": 9}), ({"a": 1, "b": 1}, {"a": 1, "b": 1}), ({"x": 10**6, "y": 10}, {"x": 10, "y": 10**6}),
    ({f"k{i}": (i * 37) % 11 + 1 for i in range(3000)}, {f"k{i}": (i * 17) % 13 + 1 for i in range(2990, 6000)}),
    ({f"k{i}": 1000 + i for i in range(40)}, {f"k{i}": 1000 + 2 * i for i in range(40)}),
]


@pytest.mark.parametrize("b,c", CHI_CASES)
def test_chi_square_test_matches_chi2_contingency(b, c):
    keys = [k for k in dict.fromkeys([*b, *c]) if b.get(k, 0) + c.get(k, 0) > 0]
    stat, p = segmora.chi_square_test(b, c)
    if len(keys) < 2:
        assert (stat, p) == (0.0, 1.0)
        return
    want = st.chi2_contingency([[b.get(k, 0) for k in keys], [c.get(k, 0) for k in keys]], correction=False)
    assert stat == pytest.approx(want[0], rel=1e-12) and close(p, want[1], 1e-10), (stat, p, want[:2])


@pytest.mark.parametrize("nb,nc,kind", [(1, 1, "normal"), (2, 5, "ties"), (500, 700, "nan"), (4000, 3000, "ties")])
def test_wasserstein_matches_scipy(nb, nc, kind):
    b, c = sample(nb, nb, kind), sample(nc, nc, kind, 0.7)
    want = st.wasserstein_distance(b[~np.isnan(b)], c[~np.isnan(c)])
    assert segmora.wasserstein_distance(b, c) == pytest.approx(want, rel=1e-12)


def binned_model(b, c, bins):
    """Shares per bin, by NumPy: quantile cut points of the baseline, or the edges given."""
    b, c = b[~np.isnan(b)], c[~np.isnan(c)]
    edges = np.unique(np.quantile(b, np.arange(1, bins) / bins)) if isinstance(bins, (int, np.integer)) else np.asarray(bins)
    share = lambda x: np.bincount(np.searchsorted(edges, x, side="right"), minlength=len(edges) + 1) / len(x)
    return share(b), share(c)


@pytest.mark.parametrize("kind,shift,bins", [
    ("normal", 0.3, 10), ("nan", 1.0, np.int64(4)), ("ties", 0.0, 10), ("ties", 2.0, 7), ("normal", 0.0, 1),
    ("normal", 0.5, [-10.0, -5.0, 0.0, 0.5, 40.0]),  # empty bins at both ends and inside
    ("ties", 1.0, [3.0, 4.0]),                        # values equal to an edge go above it
])
def test_psi_and_jensen_shannon_against_numpy(kind, shift, bins):
    b, c = sample(1, 3000, kind), sample(2, 2000, kind, shift)
    pb, pc = binned_model(b, c, bins)
    fb, fc = np.maximum(pb, 1e-4), np.maximum(pc, 1e-4)
    assert segmora.population_stability_index(b, c, bins) == pytest.approx(np.sum((fc - fb) * np.log(fc / fb)), abs=1e-12)
    assert segmora.jensen_shannon_distance(b, c, bins) == pytest.approx(jensenshannon(pb, pc, base=2), abs=1e-12)


@pytest.mark.parametrize("call,exc,message", [
    (lambda: segmora.ks_test([], [1.0]), ValueError, "baseline is empty"),
    (lambda: segmora.wasserstein_distance([1.0], [None, NAN]), ValueError, "current has only missing values (2)"),
    (lambda: segmora.ks_test(["a"], [1.0]), TypeError, "argument 'baseline': item 0 is a str, not a number"),
    (lambda: segmora.ks_test(pa.array(["a"]), [1.0]), TypeError,
     "argument 'baseline': holds texts (Arrow format 'u'), not numbers"),
    (lambda: segmora.population_stability_index([1.0], [1.0], 0), ValueError, "bins must be between 1 and 1000000"),
    (lambda: segmora.jensen_shannon_distance([1.0], [1.0], [1.0, 1.0]), ValueError,
     "bins must be strictly increasing edges, but edge 1 is 1 after 1"),
    (lambda: segmora.chi_square_test({"a": 0}, {"a": 3}), ValueError,
     "baseline_counts has no observations (its counts add up to 0)"),
])
def test_single_function_errors(call, exc, message):
    with pytest.raises(exc) as err:
        call()
    assert type(err.value) is exc and str(err.value) == message


def transactions(month, seed):
    """A month of transactions: numeric, categorical (with missing values), integer codes and datetimes."""
    rng = np.random.default_rng(seed)
    n = 3000
    df = pd.DataFrame({
        "amount": rng.gamma(2.0, 30.0 + 5 * month, n),
        "items": rng.integers(1, 5 + month, n),
        "channel": rng.choice(["web", "app", "store", "phone"][: 3 + month], n, p=None),
        "store_id": rng.integers(1, 6, n),
        "when": pd.Timestamp("2024-01-01") + pd.to_timedelta(rng.integers(0, 86400 * 28, n) + month * 86400 * 31, unit="s"),
    })
    df.loc[rng.random(n) < 0.05, "amount"] = np.nan
    df.loc[rng.random(n) < 0.05, "channel"] = None
    df.loc[rng.random(n) < 0.05, "when"] = pd.NaT
    return df


JAN, FEB = transactions(0, 1), transactions(1, 2)
REFERENCE = segmora.DriftReference(JAN, categorical=["store_id"])


def expected_report(before, after, categorical):
    """(feature, method, statistic, p_value, n_baseline, n_current) by a loop of the single functions."""
    rows = []
    for name in before:
        b, c = before[name], after[name]
        counts = (int(b.notna().sum()), int(c.notna().sum()))
        if b.dtype.kind == "M":
            b, c = ((s - pd.Timestamp(0)).dt.total_seconds() for s in (b, c))
        if name in categorical or b.dtype.kind == "O":
            cb, cc = (s.dropna().map(lambda v: v if isinstance(v, str) else format(v, "g")).value_counts(sort=False)
                      for s in (b, c))
            keys = list(dict.fromkeys([*cb.index, *cc.index]))
            fb, fc = (np.maximum(np.array([s.get(k, 0) for k in keys]) / s.sum(), 1e-4) for s in (cb, cc))
            tests = [("chi_square", segmora.chi_square_test(dict(cb), dict(cc))),
                     ("psi", (np.sum((fc - fb) * np.log(fc / fb)), NAN))]
        else:
            b, c = b.to_numpy(float), c.to_numpy(float)
            tests = [("ks", segmora.ks_test(b, c)), ("psi", (segmora.population_stability_index(b, c), NAN))]
        rows += [(name, method, stat, p, *counts) for method, (stat, p) in tests]
    return rows


def test_report_matches_a_loop_of_the_single_functions():
    report = pd.DataFrame(REFERENCE.compare(FEB))
    want = expected_report(JAN, FEB, {"store_id"})
    assert list(zip(report.feature, report.method)) == [r[:2] for r in want]
    for got, (_, _, stat, p, nb, nc) in zip(report.itertuples(), want):
        assert got.statistic == pytest.approx(stat, rel=1e-12, abs=1e-15) and close(got.p_value, p, 1e-12)
        assert (got.n_baseline, got.n_current, got.missing_current) == (nb, nc, len(FEB) - nc)
    grade = lambda s: "none" if s < 0.1 else "low" if s < 0.2 else "medium" if s < 0.35 else "high" if s < 0.5 else "critical"
    assert list(report.severity) == [grade(s) for s in report.statistic]


def same_report(a, b):
    arrays = lambda r, k: np.asarray(r[k])
    return a.keys() == b.keys() and all(
        np.array_equal(arrays(a, k), arrays(b, k), equal_nan=arrays(a, k).dtype.kind == "f") for k in a)


@pytest.mark.parametrize("convert", [
    lambda df: {k: v.tolist() for k, v in df.items()},
    lambda df: {k: (v.to_numpy() if v.dtype.kind != "O" else v) for k, v in df.items()},
    pa.Table.from_pandas,
    lambda df: pytest.importorskip("polars").from_pandas(df),
], ids=["lists", "arrays", "pyarrow", "polars"])
def test_every_table_form_gives_the_same_report(convert):
    got = segmora.DriftReference(convert(JAN), categorical=["store_id"]).compare(convert(FEB))
    assert same_report(got, REFERENCE.compare(FEB))


@pytest.mark.parametrize("methods", [None, ["wasserstein", "jensen_shannon", "chi_square", "KS"]])
def test_report_is_the_same_for_any_n_jobs_and_after_pickling(methods):
    reports = [REFERENCE.compare(FEB, methods, n_jobs) for n_jobs in (1, 2, 7)]
    reports.append(pickle.loads(pickle.dumps(REFERENCE)).compare(FEB, methods))
    assert all(same_report(r, reports[0]) for r in reports[1:])
    if methods:  # ks and wasserstein skip categorical columns; numeric ones bin for chi-square
        assert reports[0]["method"][:4] == ["wasserstein", "jensen_shannon", "chi_square", "ks"]
        assert reports[0]["method"][8:11] == ["jensen_shannon", "chi_square", "jensen_shannon"]


@pytest.mark.parametrize("call,message", [
    (lambda: REFERENCE.compare(FEB.drop(columns="items")), "current_columns has no column 'items', which the reference has"),
    (lambda: REFERENCE.compare(FEB.assign(extra=1)), "current_columns has a column 'extra' that the reference does not have"),
    (lambda: REFERENCE.compare(FEB.assign(amount="x")), "column 'amount' is numeric in the reference but holds texts in current_columns"),
    (lambda: REFERENCE.compare(FEB.assign(channel=3)),
     "column 'channel' has mismatched categories: texts in the reference, numbers in current_columns"),
    (lambda: REFERENCE.compare(FEB.assign(store_id="s1")),
     "column 'store_id' has mismatched categories: numbers in the reference, texts in current_columns"),
    (lambda: REFERENCE.compare(FEB.assign(amount=np.nan)), "column 'amount' of current_columns has only missing values (3000)"),
    (lambda: REFERENCE.compare(FEB, ["ks", "psi", "Ks"]), "methods names 'ks' twice"),
    (lambda: REFERENCE.compare(FEB, ["kl"]),
     "Unknown drift test 'kl'. Expected one of: ks, chi_square, wasserstein, psi, jensen_shannon"),
    (lambda: segmora.DriftReference({"a": []}), "column 'a' of baseline_columns is empty"),
    (lambda: segmora.DriftReference({}), "baseline_columns has no columns"),
    (lambda: segmora.DriftReference(JAN, categorical=["shop"]), "categorical names 'shop', a column baseline_columns does not have"),
    (lambda: segmora.DriftReference(JAN.rename(columns={"items": "amount"})), "baseline_columns has two columns named 'amount'"),
])
def test_reference_errors(call, message):
    with pytest.raises(ValueError) as err:
        call()
    assert type(err.value) is ValueError and str(err.value) == message


def test_failed_compare_leaves_the_reference_usable():
    before = REFERENCE.compare(FEB)
    with pytest.raises(ValueError):
        REFERENCE.compare(FEB.assign(amount="x"))
    assert str(REFERENCE.compare(FEB)) == str(before)
    assert (repr(REFERENCE), REFERENCE.columns, REFERENCE.categorical) == (
        "DriftReference(columns=5, categorical=2)", list(JAN.columns), ["channel", "store_id"])
