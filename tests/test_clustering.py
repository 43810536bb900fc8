"""kmeans_py, PyKMeansResult and PyAudienceSegmenter."""
import math
import struct

import numpy as np
import pytest

import segmora
from chacha_model import kmeans_plus_plus, sqdist


def blobs(n=600, d=3, k=4, seed=0):
    rng = np.random.default_rng(seed)
    centers = rng.uniform(-20, 20, size=(k, d))
    return centers[rng.integers(0, k, size=n)] + rng.normal(size=(n, d))


def fit_bits(r):
    """Labels, centers and inertia, floats as their exact bytes."""
    return r.labels, [[struct.pack("<d", v) for v in row] for row in r.centers], struct.pack("<d", r.inertia)


def same_result(a, b):
    assert (a.n_iter, fit_bits(a)) == (b.n_iter, fit_bits(b))


def raises_exactly(exc, text, call, *args):
    with pytest.raises(exc) as err:
        call(*args)
    assert str(err.value) == text


# ---- matrix conversion ----

@pytest.mark.parametrize("rows,kind,text", [
    ([[1.0, 2.0], [3.0]], "OutOfBounds", "out of bounds indexing"),
    ([[1.0], [2.0, 3.0]], "IncompatibleShape", "incompatible shapes"),
    ([[], [1.0]], "IncompatibleShape", "incompatible shapes"),
])
def test_shape_errors(rows, kind, text):
    raises_exactly(ValueError, f"ShapeError/{kind}: {text}", segmora.kmeans_py, rows, 1)
    raises_exactly(ValueError, f"ShapeError/{kind}: {text}", segmora.PyAudienceSegmenter(1).fit, rows)


def test_ragged_rows_are_recut_when_the_total_fits_and_empty_rows_fit():
    r = segmora.kmeans_py([[1.0, 2.0], [3.0], [4.0, 5.0, 6.0]], 3, random_state=1)
    assert sorted(map(tuple, r.centers)) == [(1.0, 2.0), (3.0, 4.0), (5.0, 6.0)]
    r = segmora.kmeans_py([[], [], []], 1)
    assert (r.labels, r.centers, r.inertia, r.n_iter) == ([0, 0, 0], [[]], 0.0, 1)


def test_numpy_arrays_match_lists():
    a = blobs(500, 4, 3, seed=2)
    ref = segmora.kmeans_py(a.tolist(), 3, random_state=5)
    for arr in (a, np.asfortranarray(a), a[:, ::1], a.astype(np.float32).astype(np.float64)):
        same_result(segmora.kmeans_py(arr, 3, random_state=5), segmora.kmeans_py(arr.tolist(), 3, random_state=5))
    # non-contiguous, integer and tuple inputs take the row path with the same meaning
    wide = np.hstack([a, a])[:, :4]
    same_result(segmora.kmeans_py(wide, 3, random_state=5), ref)
    ints = np.array([[0, 0], [0, 1], [10, 10], [10, 11]])
    same_result(segmora.kmeans_py(ints, 2), segmora.kmeans_py([[float(v) for v in r] for r in ints], 2))
    same_result(segmora.kmeans_py(tuple(map(tuple, ints.tolist())), 2), segmora.kmeans_py(ints.tolist(), 2))


def test_empty_numpy_arrays_shape_like_lists():
    seg = segmora.PyAudienceSegmenter(1)
    seg.fit([[1.0, 2.0]])
    for empty in ([], np.empty((0, 2)), np.empty((0, 5))):
        with pytest.raises(RuntimeError, match="data has 0 features but centers have 2 features"):
            seg.predict(empty)
    assert segmora.kmeans_py(np.empty((3, 0)), 1).centers == [[]]


# ---- argument errors ----

@pytest.mark.parametrize("kwargs,exc,text", [
    (dict(data="abc", n_clusters=1), TypeError, "Can't extract `str` to `Vec`"),
    (dict(data=["ab"], n_clusters=1), TypeError, "Can't extract `str` to `Vec`"),
    (dict(data=[["1.0"]], n_clusters=1), TypeError, "argument 'data'"),
    (dict(data=[[1.0]], n_clusters=-1), OverflowError, "argument 'n_clusters'"),
    (dict(data=[[1.0]], n_clusters=1.0), TypeError, "argument 'n_clusters'"),
    (dict(data=[[1.0]], n_clusters="1"), TypeError, "argument 'n_clusters'"),
    (dict(data=[[1.0]], n_clusters=None), TypeError, "argument 'n_clusters'"),
    (dict(data=[[1.0]], n_clusters=2**64), OverflowError, "argument 'n_clusters'"),
    (dict(data=[[1.0]], n_clusters=1, max_iter=-1), OverflowError, "argument 'max_iter'"),
    (dict(data=[[1.0]], n_clusters=1, random_state=-1), OverflowError, "argument 'random_state'"),
    (dict(data=[[1.0]], n_clusters=1, n_jobs=2**31), OverflowError, "argument 'n_jobs'"),
    (dict(data=[[1.0]], n_clusters=1, n_jobs=-(2**31) - 1), OverflowError, "argument 'n_jobs'"),
    (dict(data=[[1.0]], n_clusters=1, n_jobs=1.5), TypeError, "argument 'n_jobs'"),
    (dict(data=5, n_clusters=1), TypeError, "argument 'data'"),
    (dict(data=[[1.0, 2.0], [3.0]], n_clusters="x"), TypeError, "n_clusters"),  # conversion before shape
])
def test_argument_errors(kwargs, exc, text):
    with pytest.raises(exc, match=text):
        segmora.kmeans_py(**kwargs)


@pytest.mark.parametrize("call,text", [
    (lambda: segmora.kmeans_py([[1.0]]), r"kmeans_py\(\) missing 1 required positional argument: 'n_clusters'"),
    (lambda: segmora.kmeans_py(), r"missing 2 required positional arguments: 'data' and 'n_clusters'"),
    (lambda: segmora.kmeans_py([[1.0]], 1, bogus=1), "unexpected keyword argument 'bogus'"),
    (lambda: segmora.kmeans_py([[1.0]], 1, n_clusters=1), "multiple values for argument 'n_clusters'"),
    (lambda: segmora.kmeans_py([[1.0]], 1, 1, 1, 1, 1), "takes from 2 to 5 positional arguments but 6 were given"),
    (lambda: segmora.PyAudienceSegmenter(), "missing 1 required positional argument: 'n_clusters'"),
    (lambda: segmora.PyAudienceSegmenter(3, **{b"n_jobs": 2}), r"PyAudienceSegmenter\(\) keywords must be strings"),
    (lambda: segmora.PyAudienceSegmenter(1).fit(), r"PyAudienceSegmenter.fit\(\) missing 1 required"),
    (lambda: segmora.PyAudienceSegmenter(1).get_n_clusters(1), "takes 0 positional arguments but 1 was given"),
])
def test_argument_count_errors(call, text):
    with pytest.raises(TypeError, match=text):
        call()


def test_numbers_with_float_and_index_protocols_are_accepted():
    class F:
        def __float__(self):
            return 2.0

    r = segmora.kmeans_py([[np.float32(1.0), F()], [np.int64(3), 4]], n_clusters=np.uint8(1), n_jobs=np.int32(1))
    assert r.centers == [[2.0, 3.0]]
    r = segmora.kmeans_py([[1, True]], 1, max_iter=None, random_state=None, n_jobs=None)
    assert r.centers == [[1.0, 1.0]]


# ---- validation order and engine errors ----

@pytest.mark.parametrize("data,k,text", [
    ([], 0, "Invalid configuration: n_clusters must be > 0"),
    ([[1.0]], 0, "Invalid configuration: n_clusters must be > 0"),
    ([], 1, "Data validation error: data has no rows"),
    ([[1.0]], 2, "Invalid configuration: n_clusters (2) cannot exceed number of data points (1)"),
    ([[math.nan]], 2, "Invalid configuration: n_clusters (2) cannot exceed number of data points (1)"),
    ([[1.0], [math.inf]], 1, "Data validation error: data contains a non-finite value (inf) at row 1, column 0"),
    ([[1.0, -math.inf]], 1, "Data validation error: data contains a non-finite value (-inf) at row 0, column 1"),
])
def test_validation_order(data, k, text):
    raises_exactly(RuntimeError, text, segmora.kmeans_py, data, k)


# ---- behaviour ----

@pytest.mark.parametrize("rows", [
    [[0.0, 0.0], [1.0, 5.0], [3.0, 1.0], [9.0, 9.0]],
    [[1e200], [-1e200]],                   # squared distances overflow to inf
    [[0.0], [1.3e154], [-1.3e154], [1.0]],  # finite distances whose sum overflows
])
@pytest.mark.parametrize("seed", [0, 1, 42])
def test_k_equals_n_puts_every_row_alone(rows, seed):
    r = segmora.kmeans_py(rows, len(rows), random_state=seed)
    assert sorted(r.labels) == list(range(len(rows)))
    assert r.inertia == 0.0
    assert sorted(map(tuple, r.centers)) == sorted(map(tuple, rows))


def test_k_one_gives_the_column_mean_after_one_iteration():
    a = blobs(101, 3, 2, seed=4)
    r = segmora.kmeans_py(a, 1)
    mean = [sum(float(x) for x in a[:, j]) / 101 for j in range(3)]
    assert (r.n_iter, r.labels, r.centers) == (1, [0] * 101, [mean])
    assert r.inertia == sum(sqdist(row, mean) for row in a.tolist())


def test_identical_rows_never_converge():
    r = segmora.kmeans_py([[2.0, 3.0]] * 6, 3, max_iter=7)
    assert (r.n_iter, r.inertia, r.centers, r.labels) == (7, 0.0, [[2.0, 3.0]] * 3, [0] * 6)


NINE = [[float((i * 7) % 5), float((i * 3) % 4), i * 0.5] for i in range(9)]


@pytest.mark.parametrize("rows, k, seed", [(NINE, k, seed) for k in (1, 2, 5, 9) for seed in (0, 1, 42, 2**64 - 1)]
                         + [([[1.0], [1.0], [2.0]], 3, 9),  # duplicate rows fall back to uniform picks
                            (blobs(50, 2, 3, seed=8).tolist(), 3, 3)])
def test_max_iter_zero_returns_the_seeds_of_an_independent_model(rows, k, seed):
    r = segmora.kmeans_py(rows, k, max_iter=0, random_state=seed)
    seeds = kmeans_plus_plus(rows, k, seed)
    assert (r.n_iter, r.labels, r.centers) == (0, [0] * len(rows), seeds)
    assert r.inertia == sum(sqdist(row, seeds[0]) for row in rows)


def test_results_are_bit_identical_across_n_jobs_and_calls():
    a = blobs(20000, 5, 6, seed=11)
    ref = segmora.kmeans_py(a, 6, random_state=7, n_jobs=1)
    for n_jobs in (2, 3, None, 0, -3, 1):
        same_result(segmora.kmeans_py(a, 6, random_state=7, n_jobs=n_jobs), ref)


def test_lloyd_agrees_with_scikit_learn_from_the_same_seeds():
    from sklearn import cluster as sklearn_cluster
    a = blobs(3000, 4, 5, seed=21)
    seeds = np.array(segmora.kmeans_py(a, 5, max_iter=0, random_state=4).centers)
    ours = segmora.kmeans_py(a, 5, random_state=4)
    ref = sklearn_cluster.KMeans(5, init=seeds, n_init=1, algorithm="lloyd", tol=0, max_iter=300).fit(a)
    assert ours.labels == ref.labels_.tolist()
    np.testing.assert_allclose(ours.centers, ref.cluster_centers_, rtol=1e-12, atol=1e-12)
    assert ours.inertia == pytest.approx(ref.inertia_, rel=1e-12)


def test_result_properties_are_fresh_copies():
    r = segmora.kmeans_py([[0.0], [10.0]], 2)
    r.labels.append(99)
    r.centers[0].append(1.0)
    assert len(r.labels) == 2 and len(r.centers[0]) == 1
    pytest.raises(AttributeError, setattr, r, "inertia", 1.0)  # read-only


# ---- segmenter ----

def test_segmenter_basics():
    seg = segmora.PyAudienceSegmenter(3)
    assert repr(seg) == "AudienceSegmenter(n_clusters=3, method=kmeans)"
    assert (seg.n_jobs, seg.get_n_clusters(), segmora.PyAudienceSegmenter(3, n_jobs=4).n_jobs) == (-1, 3, 4)
    pytest.raises(AttributeError, setattr, seg, "n_jobs", 2)  # read-only
    for data in ([], [[1.0, 2.0]]):
        raises_exactly(RuntimeError, "Clustering error: predict() called before fit() \u2014 no cluster centers available",
                       seg.predict, data)
    raises_exactly(RuntimeError, "Invalid configuration: n_clusters must be > 0", segmora.PyAudienceSegmenter(0).fit, [[1.0]])


def test_segmenter_fit_predict_matches_kmeans():
    a = blobs(400, 3, 3, seed=5)
    r = segmora.kmeans_py(a, 3, random_state=42)
    seg = segmora.PyAudienceSegmenter(3, n_jobs=1)
    assert seg.fit(a) is None
    assert seg.predict(a) == r.labels
    other = segmora.PyAudienceSegmenter(3, n_jobs=3)
    other.fit(a.tolist())
    assert other.predict(a[:50]) == seg.predict(a[:50])
    raises_exactly(RuntimeError, "Data validation error: data has 2 features but centers have 3 features",
                   seg.predict, [[1.0, 2.0]])


@pytest.mark.parametrize("bad,exc", [
    ([[1.0]], RuntimeError),                 # more clusters than rows
    ([[1.0, 2.0], [3.0]], ValueError),       # shape
    ([[math.nan, 1.0]] * 5, RuntimeError),   # non-finite
    ("abc", TypeError),
])
def test_failed_fit_keeps_the_previous_fit(bad, exc):
    seg = segmora.PyAudienceSegmenter(2)
    seg.fit([[0.0, 0.0], [0.0, 1.0], [10.0, 10.0], [10.0, 11.0]])
    before = seg.predict([[0.0, 0.0], [10.0, 10.0]])
    with pytest.raises(exc):
        seg.fit(bad)
    assert seg.predict([[0.0, 0.0], [10.0, 10.0]]) == before


def test_borrow_flag_refuses_reentrant_use():
    seg = segmora.PyAudienceSegmenter(1)
    seen = []

    def attempt(action):
        try:
            action()
        except RuntimeError as e:
            seen.append(str(e))

    class Reenter:
        def __init__(self, action):
            self.action = action

        def __float__(self):
            attempt(self.action)
            return 1.0

    seg.fit([[Reenter(lambda: seg.predict([[1.0]]))]])
    seg.fit([[Reenter(lambda: seg.fit([[1.0]]))]])
    assert seen == ["Already mutably borrowed", "Already borrowed"]

    class Index:
        def __index__(self):
            attempt(lambda: seg.fit([[1.0]]))
            return 1

    # a shared borrow held by predict refuses a re-entrant fit, but allows readers
    seg.predict([[Index()]])
    assert seen[-1] == "Already borrowed"
    assert seg.get_n_clusters() == 1


def test_mutation_of_the_input_during_conversion_is_safe():
    class Shrink:
        def __float__(self):
            rows.clear()
            return 0.0

    rows = [[Shrink(), 1.0], [3.0, 4.0], [5.0, 6.0]]
    with pytest.raises(IndexError):
        segmora.kmeans_py(rows, 1)
