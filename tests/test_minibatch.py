"""PyMiniBatchKMeans against an independent model of seeding and the update rule."""
import math

import numpy as np
import pytest

import segmora
from chacha_model import MiniBatchModel, kmeans_plus_plus, sqdist


def chunks(seed, sizes=(40, 1, 25, 60, 7), d=3):
    rng = np.random.default_rng(seed)
    return [rng.normal(size=(n, d)) * 5 + rng.integers(0, 3, size=(n, 1)) * 20 for n in sizes]


@pytest.mark.parametrize("k,seed,as_list", [(1, 0, False), (3, 42, True), (4, 7, False), (6, 2**64 - 1, True)])
def test_matches_the_model_over_several_chunks(k, seed, as_list):
    ours, model = segmora.PyMiniBatchKMeans(k, random_state=seed), MiniBatchModel(k, seed)
    for chunk in chunks(seed % 1000):
        assert ours.partial_fit(chunk.tolist() if as_list else chunk) is None
        model.partial_fit(chunk)
        assert ours.centers == model.centers
    probe = chunks(1, sizes=(30,))[0]
    assert ours.predict(probe) == [min(range(k), key=lambda c: (sqdist(r, model.centers[c]), c)) for r in probe.tolist()]


SEED_ROWS = [[1.0], [2.0], [3.0]]


@pytest.mark.parametrize("first,text", [
    ([], None),
    ([[1.0], [2.0]], "first partial_fit chunk must have at least n_clusters (3) rows to seed initial centers, got 2"),
    ([[1.0], [math.inf], [0.0]], "data contains a non-finite value (inf) at row 1, column 0"),
])
def test_a_chunk_that_cannot_seed_leaves_the_next_one_first(first, text):
    m = segmora.PyMiniBatchKMeans(3)
    assert (m.is_initialized(), m.centers, repr(m)) == (False, [], "MiniBatchKMeans(initialized=false)")
    for data in ([], [[1.0]]):
        with pytest.raises(RuntimeError) as err:
            m.predict(data)
        assert str(err.value) == "Clustering error: predict() called before any partial_fit chunk was ingested"
    if text is None:
        assert m.partial_fit(first) is None
    else:
        with pytest.raises(RuntimeError) as err:
            m.partial_fit(first)
        assert str(err.value) == "Data validation error: " + text
    assert not m.is_initialized()
    m.partial_fit(SEED_ROWS)
    assert m.is_initialized() and repr(m) == "MiniBatchKMeans(initialized=true)"
    assert m.centers == kmeans_plus_plus(SEED_ROWS, 3, 42)


def test_first_row_replaces_its_center_and_the_second_averages():
    m = segmora.PyMiniBatchKMeans(2, random_state=0)
    m.partial_fit([[0.0, 0.0], [100.0, 100.0]])
    near_origin = 0 if m.centers[0] == [0.0, 0.0] else 1
    m.partial_fit([[1.0, 3.0]])
    assert m.centers[near_origin] == [1.0, 3.0]
    m.partial_fit(np.array([[2.0, 6.0]]))
    assert m.centers[near_origin] == [1.5, 4.5]
    assert m.predict([[math.nan, 0.0], [2.0, 5.0]]) == [0, near_origin]  # all-NaN distances: label 0


def test_identical_instances_agree_and_seeds_matter():
    a, b, c = (segmora.PyMiniBatchKMeans(4, random_state=s) for s in (9, 9, 10))
    for m in (a, b, c):
        for chunk in chunks(5):
            m.partial_fit(chunk)
    assert a.centers == b.centers != c.centers


@pytest.mark.parametrize("call,exc,text", [
    (lambda m: m.partial_fit([[1.0, 2.0]]), RuntimeError,
     "Data validation error: chunk has 2 features but centers have 3 features"),
    (lambda m: m.partial_fit([[1.0, 2.0, 3.0], [1.0, math.nan, 0.0]]), RuntimeError,
     "Data validation error: data contains a non-finite value (NaN) at row 1, column 1"),
    (lambda m: m.partial_fit(np.array([[0.0, 0.0, -math.inf]])), RuntimeError,
     "Data validation error: data contains a non-finite value (-inf) at row 0, column 2"),
    (lambda m: m.partial_fit([[1.0, 2.0, 3.0], [4.0]]), ValueError, "ShapeError/OutOfBounds: out of bounds indexing"),
    (lambda m: m.partial_fit("abc"), TypeError, "argument 'chunk': Can't extract `str` to `Vec`"),
    (lambda m: m.predict([[1.0]]), RuntimeError, "Data validation error: data has 1 features but centers have 3 features"),
    (lambda m: m.predict([]), RuntimeError, "Data validation error: data has 0 features but centers have 3 features"),
])
def test_failures_leave_the_state_untouched(call, exc, text):
    m, model = segmora.PyMiniBatchKMeans(2, random_state=1), MiniBatchModel(2, 1)
    for chunk in chunks(3, sizes=(5, 4)):
        m.partial_fit(chunk)
        model.partial_fit(chunk)
    with pytest.raises(exc) as err:
        call(m)
    assert str(err.value) == text
    m.partial_fit([[0.0, 0.0, 0.0]])  # centers and counts as if the call never happened
    model.partial_fit([[0.0, 0.0, 0.0]])
    assert m.centers == model.centers


@pytest.mark.parametrize("kwargs,exc,text", [
    (dict(n_clusters=0), ValueError, "Invalid configuration: n_clusters must be > 0"),
    (dict(n_clusters=2, random_state=None), TypeError, "argument 'random_state'"),
])
def test_constructor_errors(kwargs, exc, text):
    with pytest.raises(exc) as err:
        segmora.PyMiniBatchKMeans(**kwargs)
    assert str(err.value).startswith(text)
