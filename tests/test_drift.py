"""Drift statistics: KS, fitted-normal Hellinger, severity grading, chi-square and composition change."""
import math
import time

import numpy as np
import pytest
import scipy.stats

import segmora

NAN = float("nan")


def ks_model(b, c):
    """Largest CDF gap, counting per value (NaN above every number, equal to NaN)."""
    if not b or not c:
        return 0.0
    le = lambda x, v: math.isnan(v) or (not math.isnan(x) and x <= v)
    cdf = lambda xs, v: sum(le(x, v) for x in xs) / len(xs)
    return max([0.0] + [abs(cdf(b, v) - cdf(c, v)) for v in b + c])


def hellinger_model(b, c):
    if not b or not c:
        return 0.0
    fits = []
    for xs in (b, c):
        mu = sum(xs) / len(xs)
        var = sum((x - mu) ** 2 for x in xs) / len(xs)
        fits.append((mu, 1e-9 if math.isnan(var) else max(var, 1e-9)))
    (mb, vb), (mc, vc) = fits
    s = vb + vc
    db = (mb - mc) ** 2 / (4 * s) + 0.5 * math.log(s / (2 * math.sqrt(vb) * math.sqrt(vc)))
    db = 0.0 if math.isnan(db) else max(0.0, db)
    return min(1.0, math.sqrt(max(0.0, 1 - math.exp(-db))))


SAMPLES = [
    ([1.0, 2.0, 3.0], [1.0, 2.0, 3.0]), ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0]), ([], [1.0]), ([1.0], []),
    ([5.0, 5.0], [7.0, 7.0]), ([1.0, 1.0, 2.0, 2.0, 3.0], [2.0, 2.0, 2.0, 4.0]), ([NAN, 1.0, 2.0], [1.0, NAN, NAN]),
    ([NAN], [NAN]), ([-0.0, 0.0, 1.0], [0.0, 0.0, -1.0]), ([1.0, 2.0], [math.inf, -math.inf, 3.0]),
]


@pytest.mark.parametrize("b,c", SAMPLES)
def test_statistics_against_models(b, c):
    assert segmora.kolmogorov_smirnov(b, c) == ks_model(b, c)
    assert segmora.hellinger_distance(b, c) == pytest.approx(hellinger_model(b, c), abs=1e-15)
    assert segmora.detect_feature_drift("f", b, c, "chi_square").drift_score == segmora.kolmogorov_smirnov(b, c)
    assert segmora.detect_feature_drift("f", b, c, "kl").drift_score == segmora.hellinger_distance(b, c)


def ks_numpy_model(b, c):
    """ks_model for arrays: the same fractions at every distinct number (the NaN run adds |1 - 1|)."""
    sb, sc = np.sort(b[~np.isnan(b)]), np.sort(c[~np.isnan(c)])
    v = np.unique(np.concatenate([sb, sc]))
    gaps = np.abs(np.searchsorted(sb, v, "right") / len(b) - np.searchsorted(sc, v, "right") / len(c))
    return float(np.max(gaps, initial=0.0))


@pytest.mark.parametrize("n,shift,decimals,same", [
    (70_000, 0.01, None, False), (300_000, 0.3, None, False), (70_000, 0.01, 2, False), (140_000, 0.0, None, True),
])
def test_large_samples_against_a_numpy_model(n, shift, decimals, same):
    rng = np.random.default_rng(n)
    b, c = rng.normal(0, 1, n), rng.normal(shift, 1, n + 7)
    if decimals is not None:
        b, c = np.round(b, decimals), np.round(c, decimals)
    b[::50], c[1::70] = NAN, math.inf
    if same:
        c = b.copy()
    assert segmora.kolmogorov_smirnov(b, c) == ks_numpy_model(b, c)


@pytest.mark.parametrize("seed,nb,nc,levels", [(1, 50, 70, 5), (2, 1000, 300, 20), (3, 5000, 5000, 1000), (4, 3, 400, 2)])
def test_ks_matches_scipy_with_ties(seed, nb, nc, levels):
    rng = np.random.default_rng(seed)
    b = rng.integers(0, levels, nb).astype(float)
    c = (rng.integers(0, levels, nc) + rng.integers(0, 2, nc)).astype(float)
    b_before = b.copy()
    want = scipy.stats.ks_2samp(b, c).statistic
    assert segmora.kolmogorov_smirnov(b, c) == pytest.approx(want, abs=1e-15)
    assert segmora.kolmogorov_smirnov(b.tolist(), c[::-1]) == segmora.kolmogorov_smirnov(b, c)  # list, strided view
    assert np.array_equal(b, b_before)  # the caller's array is not sorted in place


@pytest.mark.parametrize("m,n,severity", [
    (0, 10, "none"), (999, 10000, "none"), (1, 10, "low"), (1999, 10000, "low"), (1, 5, "medium"),
    (3499, 10000, "medium"), (7, 20, "high"), (4999, 10000, "high"), (1, 2, "critical"), (1, 1, "critical"),
])
def test_severity_boundaries(m, n, severity):
    b, c = [0.0] * m + [1.0] * (n - m), [1.0] * n  # KS = m / n exactly: m baseline values below everything else
    before = int(time.time())
    drift = segmora.detect_feature_drift("spend", b, c, "ks")
    assert drift.drift_score == m / n
    assert (drift.feature_name, drift.severity) == ("spend", severity)
    assert before <= drift.timestamp <= int(time.time())
    assert repr(drift) == f"FeatureDrift(feature=spend, score={m / n:.4f}, severity={severity})"


class Shouting(str):
    def lower(self):
        raise AssertionError("never called")


@pytest.mark.parametrize("method", ["KS", "Kolmogorov_Smirnov", "\u212as", "chi2", "CHI_SQUARE", "kl",
                                    "kullback_leibler", "Hellinger", "hellinger_distance", Shouting("KS")])
def test_method_texts_accepted(method):
    assert segmora.detect_feature_drift("f", [1.0], [2.0], method).drift_score == 1.0


@pytest.mark.parametrize("call,exc,message", [
    (lambda: segmora.detect_feature_drift("f", [1.0], [2.0], " ks"), ValueError,
     "Unknown drift method ' ks'. Expected one of: ks, kl, hellinger, chi_square"),
    (lambda: segmora.detect_feature_drift("f", [1.0], [2.0], "KL-Div"), ValueError,
     "Unknown drift method 'kl-div'. Expected one of: ks, kl, hellinger, chi_square"),
    (lambda: segmora.detect_feature_drift("f", "abc", [2.0], 5), TypeError,
     "argument 'baseline': Can't extract `str` to `Vec`"),
    (lambda: segmora.detect_feature_drift("f", [1.0], [2.0], 5), TypeError,
     "argument 'method': 'int' object cannot be converted to 'str'"),
    (lambda: segmora.kolmogorov_smirnov([1.0], ["x"]), TypeError, "argument 'current': item 0: must be real number, not str"),
    (lambda: segmora.chi_square_drift({"a": -1}, {}), OverflowError,
     "argument 'baseline_counts': value of 'a': can't convert negative int to unsigned"),
    (lambda: segmora.chi_square_drift({"a": 1}, [("a", 1)]), TypeError,
     "argument 'current_counts': 'list' object cannot be converted to 'PyDict'"),
    (lambda: segmora.detect_segment_composition_change({1: 1}, {}), TypeError,
     "argument 'previous_segments': entry 0: 'int' object cannot be converted to 'str'"),
])
def test_argument_and_method_errors(call, exc, message):
    with pytest.raises(exc) as err:
        call()
    assert type(err.value) is exc and str(err.value) == message


def chi_model(b, c):
    tb, tc = sum(b.values()), sum(c.values())
    total = 0.0
    for k, n in b.items():
        e = n / tb * tc if tb else NAN
        if e > 0:
            total += (c.get(k, 0) - e) ** 2 / e
    return total / len(b) if b else NAN


@pytest.mark.parametrize("b,c", [
    ({"a": 10, "b": 10}, {"a": 10, "b": 10}), ({"a": 10, "b": 5}, {"a": 3}), ({"a": 10, "b": 5}, {"a": 3, "b": 9, "new": 1000}),
    ({"a": 0, "b": 0}, {"a": 3}), ({"a": 4}, {}), ({}, {"a": 1}),
])
def test_chi_square(b, c):
    got, want = segmora.chi_square_drift(b, c), chi_model(b, c)
    assert got == want or (math.isnan(got) and math.isnan(want))


@pytest.mark.parametrize("prev,cur,want", [
    ({"A": 50, "B": 50}, {"A": 60, "B": 40}, [("A", 50, 60, 10.0, 0.0, 0.2), ("B", 50, 40, -10.0, 0.2, 0.0)]),
    ({"A": 10, "gone": 5}, {"new": 0, "A": 0}, [("new", 0, 0, 0.0, 0.0, 1.0), ("A", 10, 0, -10 / 15 * 100, 1.0, 0.0),
                                                ("gone", 5, 0, -5 / 15 * 100, 1.0, 0.0)]),
    ({"Z": 0}, {"Z": 3}, [("Z", 0, 3, 0.0, 0.0, 1.0)]), ({}, {}, []), ({"A": 1}, {}, [("A", 1, 0, -100.0, 1.0, 0.0)]),
    # A segment that vanished is reported after the others, in its first-appearance order.
    ({"A": 50, "B": 50}, {"A": 60, "C": 10}, [("A", 50, 60, 10.0, 0.0, 0.2), ("C", 0, 10, 10.0, 0.0, 1.0),
                                              ("B", 50, 0, -50.0, 1.0, 0.0)]),
    ({"x": 2, "y": 0, "z": 1}, {}, [("x", 2, 0, -2 / 3 * 100, 1.0, 0.0), ("y", 0, 0, 0.0, 0.0, 1.0),
                                    ("z", 1, 0, -1 / 3 * 100, 1.0, 0.0)]),
])
def test_composition_change(prev, cur, want):
    assert [(g.segment_name, g.previous_size, g.current_size, g.size_change_percent, g.churn_rate, g.growth_rate)
            for g in segmora.detect_segment_composition_change(prev, cur)] == want


@pytest.mark.parametrize("index", [[50, 51, 52, 53], [3, 2, 1, 0]])
def test_label_indexed_series_are_read_in_order(index):
    pd = pytest.importorskip("pandas")
    values = pd.Series([1.0, 2.0, 2.0, 9.0], index=index)
    assert segmora.kolmogorov_smirnov(values, [1.0, 2.0]) == segmora.kolmogorov_smirnov(values.tolist(), [1.0, 2.0])
    labels, rows = pd.Series([0, 0, 0, 1], index=index), [[0.0], [0.1], [0.2], [5.0]]
    assert segmora.silhouette_score(rows, labels) == segmora.silhouette_score(rows, labels.tolist())
