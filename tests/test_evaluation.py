"""Cluster evaluation: quality metrics, the quality report and k estimation."""

import inspect
import math
import re
import struct

import numpy as np
import pytest
from sklearn import metrics as skm

import segmora
from chacha_model import Rng, sqdist

TWO_BLOBS = [[0.0, 0.0], [0.0, 1.0], [10.0, 10.0], [10.0, 11.0]]
INVALID_COUNT = "Invalid configuration: Invalid cluster count"
DBL_MAX = 1.7976931348623157e308
ESTIMATORS = [segmora.estimate_k_elbow, segmora.estimate_k_silhouette,
              segmora.estimate_k_gap_statistic, segmora.estimate_k_combined]


def blobs(seed, n, d, k, spread=1.0):
    """n rows around k centers; labels shuffled so clusters interleave."""
    rng = np.random.default_rng(seed)
    centers = rng.uniform(-10, 10, size=(k, d))
    labels = rng.permutation(np.arange(n) % k)
    return centers[labels] + rng.normal(scale=spread, size=(n, d)), labels


def means(data, labels, k):
    data, labels = np.asarray(data), np.asarray(labels)
    return [data[labels == c].mean(axis=0).tolist() for c in range(k)]


# ---- reference implementations: the definitions, summed in row order ----
def ref_dist(a, b):
    return math.sqrt(sqdist(a, b))


def row_sum(values):
    total = 0.0
    for v in values:
        total += v
    return total


def ref_mean(members, d):
    return [row_sum(x[j] for x in members) / len(members) for j in range(d)]


def ref_silhouette(rows, labels):
    """Rousseeuw's silhouette: 0 in a singleton cluster, 0 for a single cluster."""
    n = len(labels)
    if n == 0 or not rows or len(set(labels[:len(rows)])) < 2:
        return 0.0
    k = max(labels) + 1
    total = 0.0
    for i, x in enumerate(rows):
        sums, counts = [0.0] * k, [0] * k
        for j, y in enumerate(rows):
            if j != i:
                sums[labels[j]] += ref_dist(x, y)
            counts[labels[j]] += 1
        own = labels[i]
        if counts[own] == 1:
            continue
        a = sums[own] / (counts[own] - 1)
        b = min(sums[c] / counts[c] for c in range(k) if c != own and counts[c] > 0)
        if max(a, b) > 1e-10:
            total += (b - a) / max(a, b)
    return total / n


def ref_calinski_harabasz(rows, labels):
    k, n, d = max(labels) + 1, len(rows), len(rows[0])
    mu = ref_mean(rows, d)
    between = within = 0.0
    for c in range(k):
        members = [x for x, l in zip(rows, labels) if l == c]
        if members:
            mean = ref_mean(members, d)
            between += len(members) * sqdist(mean, mu)
            within += row_sum(sqdist(x, mean) for x in members)
    return 0.0 if within < 1e-10 else (between / (k - 1)) / (within / (n - k))


def ref_davies_bouldin(rows, labels, centers):
    kc = len(centers)
    spread, count = [0.0] * kc, [0] * kc
    for x, l in zip(rows, labels):
        if l < kc:
            spread[l] += ref_dist(x, centers[l])
            count[l] += 1
    total = 0.0
    for i in range(kc):
        r = 0.0
        for j in range(kc):
            if count[i] and j != i and count[j]:
                dij = ref_dist(centers[i], centers[j])
                if dij > 1e-10:
                    r = max(r, (spread[i] / count[i] + spread[j] / count[j]) / dij)
        total += r
    return total / kc


# ---- quality metrics ----
SIL, CH, DB = segmora.silhouette_score, segmora.calinski_harabasz_score, segmora.davies_bouldin_score
REPORT = segmora.assess_cluster_quality
ONE_D = [[1.0], [2.0], [4.0]]


@pytest.mark.parametrize("fn, args, expected", [
    (SIL, ([], []), 0.0),
    (CH, (ONE_D, [0, 0, 0]), 0.0),
    (DB, (TWO_BLOBS, [0, 0, 1, 1], []), 0.0),
    (DB, ([], [], [[1.0]]), 0.0),
    pytest.param(DB, (TWO_BLOBS, [], [[0.0, 0.5], [10.0, 10.5]]), 0.0, id="no labels score 0 whatever the rows"),
    (SIL, (TWO_BLOBS, []), 0.0),
    (CH, (TWO_BLOBS, []), 0.0),
    pytest.param(SIL, (ONE_D, [0, 0, 0]), 0.0, id="a single cluster scores 0"),
    pytest.param(CH, (ONE_D, [0, 1, 2]), 0.0, id="every row its own cluster: W = 0"),
    pytest.param(SIL, (ONE_D, [0, 1, 2]), 0.0, id="every row its own cluster: singletons score 0"),
    pytest.param(DB, ([[0.0], [1.0], [2.0], [3.0]], [0, 0, 1, 1], [[5.0], [5.0]]), 0.0, id="identical centers skipped"),
    pytest.param(SIL, ([[3.0]] * 4, [0, 0, 1, 1]), 0.0, id="identical rows: max(a, b) = 0 adds nothing"),
    pytest.param(CH, ([[0.0], [1.0], [5.0]], [0, 0, 5]), 0.0, id="K = 6 from the label gap over 3 rows"),
    pytest.param(DB, ([[0.0], [1.0], [2.0]], [0, 1, 2], [[0.0], [1.0]]), 0.0, id="DB ignores labels beyond the centers"),
    pytest.param(SIL, ([[0.0], [1.0], [5.0]], [0, 0, 1, 1]), (0.8 + 0.75) / 4, id="extra labels count in the divisor"),
])
def test_degenerate_inputs(fn, args, expected):
    assert fn(*args) == expected


def test_two_separated_clusters_and_keyword_arguments():
    s = segmora.silhouette_score(TWO_BLOBS, [0, 0, 1, 1])
    db = segmora.davies_bouldin_score(centers=[[0.0, 0.5], [10.0, 10.5]], labels=[0, 0, 1, 1], data=TWO_BLOBS)
    assert s == pytest.approx(skm.silhouette_score(np.array(TWO_BLOBS), [0, 0, 1, 1]), rel=1e-12)
    assert 0.9 < s < 1.0
    assert db == (0.5 + 0.5) / math.sqrt(200.0)


def test_label_gaps():
    rows = [[0.0], [1.0], [10.0], [11.0]]
    gapped, dense = [0, 0, 2, 2], [0, 0, 1, 1]
    assert segmora.silhouette_score(rows, gapped) == segmora.silhouette_score(rows, dense)
    # the empty cluster 1 still counts in the Davies-Bouldin divisor
    db = segmora.davies_bouldin_score(rows, gapped, [[0.5], [99.0], [10.5]])
    assert db == ((0.5 + 0.5) / 10.0 + 0.0 + (0.5 + 0.5) / 10.0) / 3
    # and K = 3 in the Calinski-Harabasz degrees of freedom
    between, within = 2 * 5.0**2 * 2, 4 * 0.25
    assert segmora.calinski_harabasz_score(rows, gapped) == pytest.approx((between / 2) / (within / 1), rel=1e-15)
    assert segmora.calinski_harabasz_score(rows, gapped) == ref_calinski_harabasz(rows, gapped)


@pytest.mark.parametrize("seed, n, d, k, spread", [
    (0, 150, 3, 4, 4.0), (1, 200, 2, 2, 4.0), (2, 97, 5, 7, 4.0), (3, 300, 8, 8, 4.0),
    (4, 500, 4, 5, 3.0), (5, 1000, 8, 8, 3.0), (6, 333, 2, 3, 3.0), (7, 130, 10, 2, 3.0),
])
def test_against_row_order_definitions_and_scikit_learn(seed, n, d, k, spread):
    data, labels = blobs(seed, n, d, k, spread)
    rows, listed, centers = data.tolist(), labels.tolist(), means(data, labels, k)
    for ours, theirs in [
        (segmora.silhouette_score(data, listed), skm.silhouette_score(data, labels)),
        (segmora.davies_bouldin_score(data, listed, np.array(centers)), skm.davies_bouldin_score(data, labels)),
        (segmora.calinski_harabasz_score(data, listed), skm.calinski_harabasz_score(data, labels)),
    ]:
        assert ours == pytest.approx(theirs, rel=1e-9)
    if spread == 4.0:  # bit-exact against the Python definitions (quadratic, so on the smaller sets)
        assert segmora.silhouette_score(rows, listed) == ref_silhouette(rows, listed)
        assert segmora.calinski_harabasz_score(rows, listed) == ref_calinski_harabasz(rows, listed)
        assert segmora.davies_bouldin_score(rows, listed, centers) == ref_davies_bouldin(rows, listed, centers)


def test_silhouette_with_many_clusters():
    # 2,100 pairs of rows: past the size where per-cluster sums are kept for every row
    data, _ = blobs(8, 4200, 3, 5)
    labels = (np.arange(4200) // 2)[np.random.default_rng(9).permutation(4200)]
    assert segmora.silhouette_score(data, labels.tolist()) == pytest.approx(skm.silhouette_score(data, labels), rel=1e-9)


THREE = [[0.0], [1.0], [2.0]]
SHORT = "^Data validation error: labels has 2 entries but data has 3 rows$"


@pytest.mark.parametrize("fn, args, exc, message", [
    (SIL, (THREE, [0, 1]), ValueError, SHORT),
    (CH, (THREE, [0, 1]), ValueError, SHORT),
    (DB, (THREE, [0, 1], [[0.0], [1.0]]), ValueError, SHORT),
    (REPORT, (THREE, [0, 1], [[0.0], [1.0]]), ValueError, SHORT),
    (REPORT, (THREE, [0, 1, 2], [[0.0], [1.0]]), ValueError, r"^Data validation error: row 2 has label 2 but centers has 2 rows$"),
    (REPORT, ([[0.0]], [0], [[1.0, 2.0], [3.0]]), ValueError, "^ShapeError/OutOfBounds: out of bounds indexing$"),
    (SIL, ([[1.0, 2.0], [3.0]], [0, 0]), ValueError, "ShapeError/OutOfBounds: out of bounds indexing"),
    (SIL, ([[1.0], [2.0, 3.0]], [0, 0]), ValueError, "ShapeError/IncompatibleShape: incompatible shapes"),
    (SIL, ([[1.0]], [-1]), OverflowError, "argument 'labels'"),
    (SIL, ([[1.0]], "0"), TypeError, "Can't extract `str` to `Vec`"),
    (SIL, ("abc", [0]), TypeError, "Can't extract `str` to `Vec`"),
    (SIL, ([[1.0]], [0.5]), TypeError, "argument 'labels'"),
])
def test_argument_errors(fn, args, exc, message):
    with pytest.raises(exc, match=message):
        fn(*args)


# ---- quality report ----
def expected_overall(r):
    t1 = (r.silhouette_score + 1) * 0.5 * 100
    t2 = (1 - min(r.davies_bouldin_score / 10, 1)) * 100
    return (t1 + t2 + min(r.calinski_harabasz_score / 100, 100)) / 3


def test_empty_and_nan_reports():
    r = segmora.assess_cluster_quality([], [], [])
    assert (r.silhouette_score, r.davies_bouldin_score, r.calinski_harabasz_score, r.inertia) == (0.0, 0.0, 0.0, 0.0)
    assert (r.n_clusters, r.overall_score) == (1, 50.0)
    assert repr(r) == "QualityReport(silhouette=0.0000, davies_bouldin=0.0000, calinski_harabasz=0.00, overall=50.00)"
    pytest.raises(AttributeError, setattr, r, "overall_score", 1.0)  # read-only
    r = segmora.assess_cluster_quality([[0.0], [1.0], [float("nan")], [11.0]], [0, 0, 1, 1], [[0.5], [10.5]])
    assert math.isnan(r.calinski_harabasz_score) and math.isnan(r.silhouette_score)
    assert "calinski_harabasz=NaN" in repr(r) and "silhouette=NaN" in repr(r)


def test_report_fields_overall_score_and_numpy_input():
    data, labels = blobs(11, 300, 3, 3, spread=2.0)
    labels, centers = labels.tolist(), means(data, labels, 3)
    r = segmora.assess_cluster_quality(data, labels, centers)
    assert r.silhouette_score == segmora.silhouette_score(data, labels)
    assert r.davies_bouldin_score == segmora.davies_bouldin_score(data, labels, centers)
    assert r.calinski_harabasz_score == segmora.calinski_harabasz_score(data, labels)
    assert r.n_clusters == 3
    assert r.inertia == pytest.approx(sum(float(np.sum((data[i] - centers[l]) ** 2)) for i, l in enumerate(labels)))
    assert r.overall_score == expected_overall(r)
    assert repr(r) == (
        f"QualityReport(silhouette={r.silhouette_score:.4f}, davies_bouldin={r.davies_bouldin_score:.4f}, "
        f"calinski_harabasz={r.calinski_harabasz_score:.2f}, overall={r.overall_score:.2f})"
    )
    again = segmora.assess_cluster_quality(data.tolist(), labels, centers)  # numpy input is bit-identical to rows
    for name in ("silhouette_score", "davies_bouldin_score", "calinski_harabasz_score", "inertia", "overall_score"):
        assert getattr(again, name) == getattr(r, name)
    # far-apart tight clusters: Calinski-Harabasz beyond 10,000 caps its term at 100
    r = segmora.assess_cluster_quality([[0.0], [0.001], [1000.0], [1000.001]], [0, 0, 1, 1], [[0.0005], [1000.0005]])
    assert r.calinski_harabasz_score > 10_000 and r.davies_bouldin_score < 10
    assert r.overall_score == expected_overall(r)


# ---- k estimation ----
@pytest.fixture(scope="module")
def three_groups():
    rng = np.random.default_rng(12)
    centers = np.array([[0.0, 0.0], [20.0, 0.0], [0.0, 20.0]])
    return (centers[np.arange(90) % 3] + rng.normal(scale=0.5, size=(90, 2))).tolist()


REVERSED = [([[1.0], [2.0]], (6, 2)), ([], (1, 0)), ([[1.0]], (2**64 - 1, 0))]


@pytest.mark.parametrize("fn", ESTIMATORS)
@pytest.mark.parametrize(
    "data, k_range, exc, message",
    [
        *[(data, kr, ValueError, f"^{re.escape(f'k_range must satisfy k_min <= k_max, got ({kr[0]}, {kr[1]})')}$")
          for data, kr in REVERSED],
        *[([[1.0], [2.0, 3.0]], kr, ValueError, "^ShapeError") for _, kr in REVERSED],  # the matrix is shaped first
        *[([[float(i)] for i in range(n)], kr, RuntimeError, f"^{INVALID_COUNT}$")
          for n, kr in [(6, (0, 3)), (6, (2, 7)), (6, (0, 0)), (6, (7, 7)), (0, (1, 2))]],
        ([[0.0], [1.0]], [2, 5], TypeError, "argument 'k_range': 'list' object cannot be converted to 'PyTuple'"),
        ([[0.0], [1.0]], (2, 3, 4), TypeError, "argument 'k_range': expected tuple of length 2, but got tuple of length 3"),
        ([[0.0], [1.0]], (2,), TypeError, "argument 'k_range'"),
        ([[0.0], [1.0]], (-1, 3), OverflowError, "argument 'k_range'"),
        ([[0.0], [1.0]], (2.0, 3), TypeError, "argument 'k_range'"),
        ([[0.0], [1.0]], None, TypeError, "argument 'k_range'"),
    ],
)
def test_bad_k_ranges(fn, data, k_range, exc, message):
    with pytest.raises(exc, match=message):
        fn(data, k_range)


def test_elbow(three_groups):
    r = segmora.estimate_k_elbow(three_groups, (1, 6))
    assert (r.method, r.k, [k for k, _ in r.scores]) == ("elbow", 3, [1, 2, 3, 4, 5, 6])
    assert r.confidence == 1 / (math.sqrt(math.sqrt(6)) + 1)
    inertias = [s for _, s in r.scores]
    assert all(a >= b for a, b in zip(inertias, inertias[1:]))
    r = segmora.estimate_k_elbow(three_groups, (2, 3))  # two values keep k_min
    assert r.k == 2 and r.confidence == pytest.approx(0.4568, abs=1e-4)
    assert repr(r) == "KEstimationResult(method=elbow, k=2, confidence=0.46)"
    assert segmora.estimate_k_elbow(k_range=(1, 1), data=[[1.0]]).k == 1


def segmora_fit_labels(rows, k):
    """Labels of the evenly seeded sequential k-means, reproduced in Python."""
    n = len(rows)
    centers, inertia = [rows[c * (n // k)] for c in range(k)], DBL_MAX
    for _ in range(300):
        previous = inertia
        labels = []
        for x in rows:
            best, label = DBL_MAX, 0
            for c, center in enumerate(centers):
                if ref_dist(x, center) < best:
                    best, label = ref_dist(x, center), c
            labels.append(label)
        members = [[x for x, l in zip(rows, labels) if l == c] for c in range(k)]
        centers = [ref_mean(m, len(rows[0])) if m else rows[(7 * c) % n] for c, m in enumerate(members)]
        inertia = row_sum(ref_dist(x, centers[l]) ** 2 for x, l in zip(rows, labels))
        if abs(previous - inertia) < 1e-6:
            break
    return labels


def ref_gap(rows, k_min, k_max, references=10):
    """Tibshirani's gap statistic with the library's draws: uniform reference sets from seed 42's stream."""
    n, d = len(rows), len(rows[0])
    lo, hi = [min(x[j] for x in rows) for j in range(d)], [max(x[j] for x in rows) for j in range(d)]
    rng = Rng(42)

    def uniform():
        return struct.unpack("<d", struct.pack("<Q", (rng.next_u64() >> 12) | 0x3FF0000000000000))[0] - 1.0

    sets = [[[lo[j] + uniform() * (hi[j] - lo[j]) for j in range(d)] for _ in range(n)] for _ in range(references)]

    def log_w(points, k):  # pooled within-cluster sum of squares about the cluster means
        labels = segmora_fit_labels(points, k)
        groups = [[x for x, l in zip(points, labels) if l == c] for c in range(k)]
        return math.log(row_sum(row_sum(sqdist(x, ref_mean(g, d)) for x in g) for g in groups if g))

    gaps, spreads = [], []
    for k in range(k_min, k_max + 1):
        logs = [log_w(points, k) for points in sets]
        mean = row_sum(logs) / references
        gaps.append(mean - log_w(rows, k))
        spreads.append(math.sqrt(row_sum((v - mean) ** 2 for v in logs) / references) * math.sqrt(1 + 1 / references))
    return gaps, spreads


def test_silhouette_scores_follow_the_sequential_fit(three_groups):
    sil = segmora.estimate_k_silhouette(three_groups, (1, 5))
    assert sil.k == 3 and sil.confidence == max(s for _, s in sil.scores)
    data = np.array(three_groups)
    for k, score in sil.scores:
        labels = segmora_fit_labels(three_groups, k)
        assert score == ref_silhouette(three_groups, labels)
        assert k == 1 or score == pytest.approx(skm.silhouette_score(data, labels), rel=1e-9)
    assert sil.scores[0] == (1, 0.0)  # a single cluster scores 0
    r = segmora.estimate_k_silhouette([[0.0], [1.0], [10.0], [11.0]], (2, 2))
    assert repr(r) == "KEstimationResult(method=silhouette, k=2, confidence=0.90)"
    pytest.raises(AttributeError, setattr, r, "k", 4)  # read-only


def test_gap_statistic_of_tibshirani(three_groups):
    r = segmora.estimate_k_gap_statistic(three_groups, (1, 4))
    gaps, spreads = ref_gap(three_groups, 1, 4)
    assert [k for k, _ in r.scores] == [1, 2, 3, 4]
    assert [g for _, g in r.scores] == pytest.approx(gaps, rel=1e-12)
    # The smallest k with Gap(k) >= Gap(k + 1) - s(k + 1): three clear groups.
    assert r.k == 1 + next(i for i in range(3) if gaps[i] >= gaps[i + 1] - spreads[i + 1]) == 3
    assert r.confidence == min(max(gaps[2], 0.0), 1.0) and r.method == "gap_statistic"


@pytest.mark.parametrize("labels", [[0, 0, 1, 2, 2, 3], [0, 1, 1, 1, 1, 1], [3, 3, 0, 3, 1, 1], [1, 0, 1, 0, 2, 2]])
def test_singletons_score_zero_as_in_scikit_learn(labels):
    data = blobs(10, 6, 2, 2)[0]
    assert segmora.silhouette_score(data, labels) == pytest.approx(skm.silhouette_score(data, labels), rel=1e-12)
    assert segmora.silhouette_score(data.tolist(), labels) == ref_silhouette(data.tolist(), labels)
    assert segmora.assess_cluster_quality(data, labels, [[0.0, 0.0]] * (max(labels) + 1)).silhouette_score == \
        segmora.silhouette_score(data, labels)


def test_identical_rows():
    rows = [[3.0, 3.0]] * 6
    sil = segmora.estimate_k_silhouette(rows, (1, 3))
    assert (sil.scores, sil.k, sil.confidence) == ([(1, 0.0), (2, 0.0), (3, 0.0)], 3, 0.0)  # ties go to the larger k
    gap = segmora.estimate_k_gap_statistic(rows, (1, 3))
    assert all(math.isnan(s) for _, s in gap.scores)
    assert (gap.k, gap.confidence) == (1, 0.0)  # a NaN gap never passes: k_min
    assert segmora.estimate_k_elbow(rows, (1, 3)).k == 1
    combined = segmora.estimate_k_combined(rows, (1, 3))
    assert (combined.k, combined.confidence) == (1, 2 / 3)


def test_combined_vote(three_groups):
    r = segmora.estimate_k_combined(three_groups, (2, 6))
    answers = [f(three_groups, (2, 6)).k for f in ESTIMATORS[:3]]
    votes = max(answers.count(a) for a in answers)
    assert r.k == min(a for a in answers if answers.count(a) == votes)
    assert (r.confidence, r.method, r.scores) == (votes / 3, "ensemble", [])


def test_results_repeat_and_scores_are_fresh(three_groups):
    a = segmora.estimate_k_gap_statistic(three_groups, (1, 4))
    b = segmora.estimate_k_gap_statistic(np.array(three_groups), (1, 4))
    assert a.scores == b.scores and (a.k, a.confidence) == (b.k, b.confidence)
    a.scores.append((99, 0.0))
    assert len(a.scores) == 4 and all(type(item) is tuple for item in a.scores)


# ---- signatures and docstrings ----

DATA_K = ["data", "k_range"]


@pytest.mark.parametrize(
    "fn, params, doc",
    [
        (segmora.silhouette_score, ["data", "labels"], "Silhouette coefficient for a clustering (-1 to 1; higher is better)."),
        (segmora.davies_bouldin_score, ["data", "labels", "centers"], "Davies-Bouldin index for a clustering (>= 0; lower is better)."),
        (segmora.calinski_harabasz_score, ["data", "labels"], "Calinski-Harabasz index for a clustering (higher is better)."),
        (segmora.assess_cluster_quality, ["data", "labels", "centers"], "Comprehensive cluster quality report combining "
         "silhouette,\nDavies-Bouldin, Calinski-Harabasz, and inertia into a single 0-100\noverall score."),
        (segmora.estimate_k_elbow, DATA_K, "Estimate the optimal number of clusters via the elbow method (inertia\n"
         "curvature) over `k_range = (k_min, k_max)`."),
        (segmora.estimate_k_silhouette, DATA_K, "Estimate the optimal number of clusters via silhouette analysis."),
        (segmora.estimate_k_gap_statistic, DATA_K, "Estimate the optimal number of clusters via the gap statistic."),
        (segmora.estimate_k_combined, DATA_K, "Estimate the optimal number of clusters via a majority vote across the\n"
         "elbow, gap-statistic, and silhouette methods."),
    ],
)
def test_signatures_and_docstrings(fn, params, doc):
    assert list(inspect.signature(fn).parameters) == params
    assert fn.__doc__ == doc
