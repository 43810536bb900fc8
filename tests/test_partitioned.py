"""k-means and RFM over partitions: chunk steps combined in partition order."""
import datetime
import random
import warnings

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


@pytest.mark.parametrize("n_parts, cut_off", [(1, True), (3, True), (4, False)])
def test_partitioned_columns_equal_rfm_from_columns(n_parts, cut_off):
    txs = transactions(n_parts) + [("nan", NOW.isoformat(), float("nan"))]
    ids, stamps, amounts = (list(c) for c in zip(*txs))
    parts = [[row for row in range(len(txs)) if sum(ids[row].encode()) % n_parts == p] for p in range(n_parts)]
    with warnings.catch_warnings(record=True) as expected_warnings:
        warnings.simplefilter("always")
        # Without the cut-off the clock is the instant: the half-day offsets keep the day counts of NOW.
        expected = segmora.rfm_from_columns(ids, stamps, amounts, as_of=NOW if cut_off else None)
        values, reports = [], []
        for rows in parts:
            v, report = segmora.rfm_partition_columns([ids[r] for r in rows], pd.Series([stamps[r] for r in rows]),
                                                      np.array([amounts[r] for r in rows]), rows, NOW, cut_off=cut_off)
            values += v
            reports.append(report)
        got = segmora.score_rfm_values(values, segmora.PyRFMConfig(), reports=reports)
    messages = [str(w.message) for w in expected_warnings]
    half = len(messages) // 2
    assert messages[:half] == messages[half:] and any("dated after as_of" in m for m in messages) == cut_off
    assert [(s.customer_id, s.recency, s.frequency, repr(s.monetary), s.rfm_rank, s.rfm_segment) for s in got] == [
        (c, r, f, repr(float(m)), f"{a}{b}{d}", g) for c, r, f, m, a, b, d, g in zip(
            expected["customer_id"], expected["recency"], expected["frequency"], expected["monetary"],
            expected["r_score"], expected["f_score"], expected["m_score"], expected["segment"])]


@pytest.mark.parametrize("n_parts, as_of, with_amounts, period_days", [
    (1, None, True, 1.0), (3, None, True, 7.0), (4, NOW, True, 0.5), (5, NOW, False, 1.0)])
def test_partitioned_summaries_equal_clv_summary_from_columns(n_parts, as_of, with_amounts, period_days):
    txs = transactions(n_parts) + [("nan", NOW.isoformat(), float("nan")), ("none", None, 1.0)]
    ids, stamps, amounts = (list(c) for c in zip(*txs))
    parts = [[row for row in range(len(txs)) if sum(ids[row].encode()) % n_parts == p] for p in range(n_parts)]
    with warnings.catch_warnings(record=True) as expected_warnings:
        warnings.simplefilter("always")
        expected = segmora.clv_summary_from_columns(ids, stamps, amounts if with_amounts else None, as_of, period_days)
        got = segmora.combine_clv_partitions([segmora.clv_partition_columns(
            [ids[r] for r in rows], pd.Series([stamps[r] for r in rows]),
            np.array([amounts[r] for r in rows]) if with_amounts else None, rows, as_of, period_days)
            for rows in reversed(parts)], period_days)  # any order of parts
    messages = [str(w.message) for w in expected_warnings]
    assert messages[:len(messages) // 2] == messages[len(messages) // 2:] and len(messages) == 2 * (2 + with_amounts + (as_of is not None))
    assert list(got) == list(expected) and got["customer_id"] == expected["customer_id"]
    for column in list(expected)[1:]:
        assert got[column].tobytes() == expected[column].tobytes(), column


def test_a_partition_summary_keeps_first_days_and_rows():
    summary, day, report = segmora.clv_partition_columns(
        ["b", "a", "b"], ["2024-01-02T23:00:00Z", None, "2024-01-05T01:00:00+02:00"], [1.0, 2.0, 3.0], [4, 9, 12])
    assert (list(summary["customer_id"]), list(summary["first_day"]), list(summary["first_row"])) == (["b"], [19724], [4])
    assert (day, list(summary["T"]), report) == (19726, [2.0], (3, 0, 0, "", 1, 9, 0, 0, 1, 0, 0))


PART = ({"customer_id": ["a"], "first_row": [0], "first_day": [1], "frequency": [0.0], "recency": [0.0]}, 1,
        (1, 0, 0, "", 0, 0, 0, 0, 0, 0, 0))


@pytest.mark.parametrize("parts, error, message", [
    ([PART, ({**PART[0], "first_row": [5]},) + PART[1:]], RuntimeError,
     DV + "customer a appears in more than one partition"),
    ([PART, ({**PART[0], "customer_id": ["b"], "monetary_value": [1.0]},) + PART[1:]], ValueError,
     "parts must all have monetary_value or none"),
    ([({**PART[0], "first_day": [1, 2]},) + PART[1:]], ValueError,
     "parts[0]: column 'first_day' has 2 values but customer_id has 1"),
    ([(PART[0], None, PART[2])], ValueError, "parts list customers but no as_of day"),
    ([(PART[0], 2**62, PART[2])], ValueError, "parts[0]: as_of day 4611686018427387904 is out of range"),
    ([PART[:2]], TypeError, "argument 'parts': expected tuple of length 3, but got tuple of length 2"),
])
def test_combining_summaries_refuses_inconsistent_parts(parts, error, message):
    with pytest.raises(error) as err:
        segmora.combine_clv_partitions(parts)
    assert str(err.value) == message


@pytest.mark.parametrize("rows, message", [
    ([1, 0], "rows must be ascending non-negative positions (index 1)"),
    ([0], "rows has 1 entries but there are 2 transactions"),
])
def test_partition_columns_need_ascending_rows(rows, message):
    with pytest.raises(ValueError) as err:
        segmora.rfm_partition_columns(["a", "b"], [0, 0], [1.0, 2.0], rows, "2024-01-01T00:00:00Z")
    assert str(err.value) == message


# ---- partitions fed block by block, k-means|| ----

CENTERS = BLOBS[[0, 300, 600, 900]] + 0.5
PREVIOUS = CENTERS[[1, 0, 2, 3]]  # two centers swapped: other labels


def block_step(data, cuts, labels=None, previous=None):
    totals, changed = sd.fresh_totals(4, 3), []
    pieces = np.split(np.arange(len(data)), cuts)
    for rows in pieces:
        lbl = None if labels is None else labels[rows[0]:rows[0] + len(rows)] if len(rows) else labels[:0]
        changed.append(segmora.kmeans_block_step(data[rows], CENTERS, totals, lbl, previous))
    return totals, any(changed)


@pytest.mark.parametrize("cuts", [(), (1,), (4096,), (3, 500, 999), (250, 250, 750)])
def test_blocks_of_a_partition_add_up_to_one_pass(cuts):
    labels, whole_labels = np.zeros(len(BLOBS), np.int64), np.zeros(len(BLOBS), np.int64)
    got, whole = block_step(BLOBS, cuts, labels), block_step(BLOBS, (), whole_labels)
    assert got[0].tobytes() == whole[0].tobytes() and got[1] and np.array_equal(labels, whole_labels)
    nearest = np.argmin(((BLOBS[:, None, :] - CENTERS[None]) ** 2).sum(axis=2), axis=1)
    assert np.array_equal(labels, nearest) and got[0][12:16].tolist() == np.bincount(nearest).tolist()
    # The previous labels compared: held ones, the nearest of other centers, or none (all 0).
    assert block_step(BLOBS, cuts, labels)[1] is False
    assert block_step(BLOBS, cuts, previous=PREVIOUS)[1] is True
    assert block_step(BLOBS, cuts, previous=CENTERS)[1] is False
    starts = [0.0]
    for rows in np.split(BLOBS, cuts):
        starts.append(segmora.kmeans_block_inertia(rows, CENTERS, label_centers=PREVIOUS, start=starts[-1]))
    by_previous = np.argmin(((BLOBS[:, None, :] - PREVIOUS[None]) ** 2).sum(axis=2), axis=1)
    assert starts[-1] == segmora.kmeans_block_inertia(BLOBS, CENTERS, by_previous.tolist())
    assert starts[-1] == pytest.approx(((BLOBS - CENTERS[by_previous]) ** 2).sum(), rel=1e-12)


@pytest.mark.parametrize("cuts", [(), (7,), (31, 32, 33), (100, 612)])
def test_a_round_sees_the_same_draws_whatever_the_blocks(cuts):
    """Per round and partition one draw per row: blocks, and updating held distances or taking all
    candidates afresh, change nothing."""
    chosen = BLOBS[[0, 700]]
    best = np.full(len(BLOBS), np.inf)
    segmora.kmeans_parallel_round(BLOBS, chosen[:1], 8.0, 11, 2, 0, best)
    held = segmora.kmeans_parallel_round(BLOBS, chosen[1:], 8.0, 11, 2, 1, best)
    cost, rows, d2, u, first = 0.0, [], [], [], 0
    for piece in np.split(BLOBS, cuts):
        cost, r, d, w = segmora.kmeans_parallel_round(piece, chosen, 8.0, 11, 2, 1, None, first, cost)
        rows, d2, u, first = rows + [first + i for i in r], d2 + d, u + w, first + len(piece)
    assert (cost, rows, d2, u) == held and cost == sd.sum_in_order(best)
    # Offered: u times the running cost below l * d2; a different seed, round or partition draws anew.
    running = np.cumsum(best)
    draws = dict(zip(rows, u))
    assert rows == [i for i in range(len(BLOBS)) if i in draws and draws[i] * running[i] < 8.0 * best[i]]
    for other in [(12, 2, 1), (11, 3, 1), (11, 2, 2)]:
        seed, part, round_ = other
        assert segmora.kmeans_parallel_round(BLOBS, chosen, 8.0, seed, part, round_)[3] != u


def test_seeds_are_drawn_in_proportion_to_weight_times_squared_distance():
    picks = [segmora.kmeans_parallel_reduce([[0.0], [1.0], [2.0]], [1.0, 0.0, 3.0], 1, s)[0][0] for s in range(2000)]
    assert picks.count(1.0) == 0 and 0.71 < picks.count(2.0) / 2000 < 0.79
    # Second seed: weights [1, 0, 3] times squared distances to the first seed at 2.0, [4, 1, 0].
    second = [segmora.kmeans_parallel_reduce([[0.0], [1.0], [2.0]], [1.0, 0.0, 3.0], 2, s)[1][0] for s in range(300)]
    assert [c for c, p in zip(second, picks) if p == 2.0] == [0.0] * sum(p == 2.0 for p in picks[:300])
    same = segmora.kmeans_parallel_reduce([[5.0]] * 3, [0.0, 0.0, 0.0], 3, 1)
    assert same == [[5.0]] * 3


@pytest.mark.parametrize("split", [[1000], [250, 0, 750], [100, 200, 300, 400]])
def test_k_means_parallel_seeding_finds_the_blobs(split):
    chunks = np.split(BLOBS, np.cumsum(split)[:-1])
    for seed in range(5):
        model = sd.fit_kmeans_chunks(chunks, 4, random_state=seed, init="k-means||")
        assert model == sd.fit_kmeans_chunks(chunks, 4, random_state=seed, init="k-means||")
        assert model.inertia == pytest.approx(segmora.kmeans_py(BLOBS, 4, random_state=3).inertia, rel=1e-9)


BLOCK = np.zeros((2, 3))
NAN_BLOCK = np.array([[0.0, 1.0, 2.0], [3.0, np.nan, 5.0]])
SHARED = np.zeros(21)


@pytest.mark.parametrize("call, error, message", [
    (lambda: segmora.kmeans_block_step(BLOCK, CENTERS, np.zeros(5)), RuntimeError,
     DV + "totals have 5 values but 4 centers of 3 features need 21"),
    (lambda: segmora.kmeans_block_step(NAN_BLOCK, CENTERS, sd.fresh_totals(4, 3)), RuntimeError,
     DV + "data contains a non-finite value (NaN) at row 1, column 1"),
    (lambda: segmora.kmeans_block_step(BLOCK, CENTERS, sd.fresh_totals(4, 3), np.zeros(3, np.int64)), RuntimeError,
     DV + "labels has 3 entries but data has 2 rows"),
    (lambda: segmora.kmeans_block_step(BLOCK, CENTERS, sd.fresh_totals(4, 3), previous_centers=[[1.0]]), RuntimeError,
     DV + "data has 3 features but previous_centers have 1 features"),
    (lambda: segmora.kmeans_block_step(BLOCK, CENTERS, np.zeros(21, np.float32)), TypeError,
     "argument 'totals': must be a writable 1-D C-contiguous float64 array"),
    (lambda: segmora.kmeans_block_step(BLOCK, CENTERS, sd.fresh_totals(4, 3), np.zeros(2)), TypeError,
     "argument 'labels': must be a writable 1-D C-contiguous int64 array"),
    (lambda: segmora.kmeans_block_step(SHARED.reshape(7, 3), CENTERS, SHARED), ValueError,
     "argument 'totals': shares memory with another argument"),
    (lambda: segmora.kmeans_block_inertia(BLOCK, CENTERS, [0, 4]), RuntimeError,
     DV + "label 4 at row 1 names no center (k = 4)"),
    (lambda: segmora.kmeans_parallel_first(10, 11, 0), RuntimeError,
     "Invalid configuration: n_clusters (11) cannot exceed number of data points (10)"),
    (lambda: segmora.kmeans_parallel_round(BLOCK, CENTERS, 0.0, 1, 0, 0), RuntimeError,
     DV + "oversampling must be finite and positive, got 0"),
    (lambda: segmora.kmeans_parallel_round(BLOCK, CENTERS, 8.0, 1, 0, 2**32), RuntimeError,
     DV + "round 4294967296 is out of range (at most 4294967295)"),
    (lambda: segmora.kmeans_parallel_round(BLOCK, CENTERS, 8.0, 1, 0, 0, None, 2**35 - 1), RuntimeError,
     DV + "rows 34359738367 to 34359738369 of partition 0 are past the 34359738368 draws of a round"),
    (lambda: segmora.kmeans_parallel_reduce(CENTERS, [1.0, 1.0, -1.0, 1.0], 2, 0), RuntimeError,
     DV + "weight -1 of candidate 2 is not a finite non-negative number"),
    (lambda: segmora.kmeans_parallel_reduce([], [], 2, 0), RuntimeError,
     DV + "there are no candidates to choose seeds from"),
])
def test_block_functions_report_bad_input(call, error, message):
    with pytest.raises(error) as err:
        call()
    assert str(err.value) == message


@pytest.mark.parametrize("init, bad_row", [("k-means||", 7), (CENTERS, 7), ("k-means||", 426)])
def test_errors_name_the_partition_and_the_row_within_it(init, bad_row):
    """Row 426 of the second chunk is the first candidate of seed 42 (found on the driver, not the partitions)."""
    chunks = [c.copy() for c in np.split(BLOBS, (100, 600))]
    chunks[1][bad_row, 2] = np.nan
    with pytest.raises(RuntimeError) as err:
        sd.fit_kmeans_chunks(chunks, 4, init=init)
    assert str(err.value) == f"{DV}data contains a non-finite value (NaN) at row {bad_row}, column 2 of partition 1"
