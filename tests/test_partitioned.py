"""k-means and RFM over partitions: chunk steps combined in partition order."""
import datetime
import random

import numpy as np
import pandas as pd
import pytest

import segmora
import segmora_dask as sd

RNG = np.random.default_rng(0)
BLOBS = np.ascontiguousarray(np.vstack([RNG.normal(c, 1.0, (250, 3)) for c in (0.0, 6.0, 12.0, 18.0)]))
SMALL = [[0.0], [1.0], [1.0], [10.0], [10.5], [30.0]]
SAME = [[1.0, 2.0]] * 6
NOW = datetime.datetime.now(datetime.timezone.utc)


def fitted(result):
    return result.centers, result.inertia, result.n_iter


@pytest.mark.parametrize("data, k, max_iter, seed", [
    (BLOBS, 4, 300, 3), (BLOBS, 4, 0, 3), (BLOBS, 4, 1, 11), (BLOBS, 7, 300, 5),
    (SMALL, 1, 300, 7), (SMALL, 2, 2, 7), (SMALL, 3, 300, 1), (SMALL, 6, 300, 7),
    (SAME, 3, 0, 42), (SAME, 3, 4, 42),  # empty clusters every iteration, never converges
])
def test_one_partition_reproduces_kmeans_py_bit_for_bit(data, k, max_iter, seed):
    expected = segmora.kmeans_py(data, k, max_iter=max_iter, random_state=seed)
    model = sd.fit_kmeans_chunks([data], k, max_iter=max_iter, random_state=seed)
    assert fitted(model) == fitted(expected)
    if max_iter:
        assert model.predict(data) == expected.labels


@pytest.mark.parametrize("cuts", [(1,), (500,), (100, 101, 999), (250, 500, 750)])
def test_several_partitions_are_deterministic_and_agree_to_rounding(cuts):
    chunks = np.split(BLOBS, cuts)
    expected = segmora.kmeans_py(BLOBS, 4, random_state=3)
    first, again = (sd.fit_kmeans_chunks(chunks, 4, random_state=3, sample=BLOBS) for _ in range(2))
    assert fitted(again) == fitted(first)
    # Partition sums round differently from one running sum: ~n * eps relative.
    np.testing.assert_allclose(first.centers, expected.centers, rtol=0, atol=1e-12)
    assert first.inertia == pytest.approx(expected.inertia, rel=1e-12)
    assert first.n_iter == expected.n_iter and first.predict(BLOBS) == expected.labels


ONE_TX = [("a", "2024-01-01T00:00:00Z", 1.0)]
DV = "Data validation error: "


@pytest.mark.parametrize("call, message", [
    (lambda: segmora.kmeans_chunk_step([[1.0]], []),
     "Invalid configuration: cannot assign to clusters: no centers provided (model not fitted?)"),
    (lambda: segmora.kmeans_chunk_step([[1.0, 2.0]], [[1.0]]), DV + "data has 2 features but centers have 1 features"),
    (lambda: segmora.kmeans_chunk_step([[1.0]], [[float("nan")]]),
     DV + "data contains a non-finite value (NaN) at row 0, column 0"),
    (lambda: segmora.kmeans_chunk_step([[1.0], [2.0]], [[1.0]], [0]), DV + "labels has 1 entries but data has 2 rows"),
    (lambda: segmora.kmeans_chunk_inertia([[1.0]], [[1.0]], [1]), DV + "label 1 at row 0 names no center (k = 1)"),
    (lambda: segmora.rfm_partition_values(ONE_TX, segmora.PyRFMConfig(), "today"),
     DV + "now is not an RFC 3339 date-time: today"),
    (lambda: segmora.rfm_partition_values(ONE_TX, segmora.PyRFMConfig(), "2024-02-01T00:00:00Z", rows=[0, 1]),
     DV + "rows has 2 entries but there are 1 transactions"),
    (lambda: segmora.score_rfm_values([("a", 1.0, 1.0, 1.0, 0, 9, 0), ("a", 1.0, 1.0, 1.0, 5, 9, 0)], segmora.PyRFMConfig()),
     DV + "customer a appears in more than one partition"),
])
def test_partition_functions_report_bad_input(call, message):
    with pytest.raises(RuntimeError) as err:
        call()
    assert str(err.value) == message


def test_chunk_step_of_no_rows_is_neutral():
    step = segmora.kmeans_chunk_step(np.zeros((0, 2)), [[1.0, 2.0]])
    assert tuple(step) == ([[0.0, 0.0]], [0], 0.0, False, -np.inf, None, [])


def transactions(seed, n=500, customers=70):
    rnd, out = random.Random(seed), []
    for _ in range(n):
        # Half a day off a whole day: the day count cannot flip during a test.
        when = NOW - datetime.timedelta(days=rnd.randrange(-3, 200), hours=12)
        out.append((f"c{rnd.randrange(customers)}", when.strftime("%Y-%m-%dT%H:%M:%SZ"),
                    rnd.choice([1.0, 2.5, 10.0, -4.0, rnd.random() * 100])))
    return out + [("unparsed", "2024-03-01", 5.0)]


def by_hash(txs, n_parts, shuffle_seed):
    """Customers hashed to partitions; rows inside a partition shuffled (their numbers restore the order)."""
    parts = [[] for _ in range(n_parts)]
    for row, t in enumerate(txs):
        parts[sum(t[0].encode()) % n_parts].append((t, row))
    rnd = random.Random(shuffle_seed)
    for pairs in parts:
        rnd.shuffle(pairs)
    return [([p[0] for p in pairs], [p[1] for p in pairs]) for pairs in parts]


@pytest.mark.parametrize("scoring", ["quintile", "decile", "percentile"])
@pytest.mark.parametrize("decay, n_parts", [("linear", 1), ("exponential", 3), ("inverse", 5)])
def test_partitioned_rfm_equals_calculate_rfm_py(scoring, decay, n_parts):
    settings, txs = sd.RFMSettings(decay, 30, scoring), transactions(n_parts)
    got = sd.rfm_chunks(by_hash(txs, n_parts, 9), settings, NOW.isoformat())
    records = lambda scores: [(s.customer_id, s.recency, s.frequency, s.monetary, s.rfm_rank, s.rfm_segment, repr(s))
                              for s in scores]
    assert records(got) == records(segmora.calculate_rfm_py(txs, settings.config()))


@pytest.mark.parametrize("as_chunk", [lambda a: a.tolist(), lambda a: a, pd.DataFrame])
def test_chunks_may_be_row_lists_arrays_or_data_frames(as_chunk):
    chunks = np.split(BLOBS, (300, 700))
    got = sd.fit_kmeans_chunks([as_chunk(c) for c in chunks], 4, random_state=3)
    assert fitted(got) == fitted(sd.fit_kmeans_chunks(chunks, 4, random_state=3))
