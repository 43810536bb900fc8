"""k-anonymity, generalisation, differential-privacy noise and the privacy budget."""
import math
import os
import pickle
import threading

import numpy as np
import pandas as pd
import pytest
from scipy import stats

from segmora import (PyPrivacyBudget, add_gaussian_noise, add_laplace_noise, calculate_information_loss,
                     check_k_anonymity, generalize_numeric, suppress_to_k_anonymous)

ZIPS = [{"zip": "10001", "age": "30"}, {"zip": "10001", "age": "41"}, {"zip": "10002", "age": "30"}]
SPLIT = [{"a": "ab", "b": "c"}, {"a": "a", "b": "bc"}, {"a": "ab", "b": "c"}]  # joined, every key is "abc"
MISSING = [{"zip": ""}, {}, {"zip": "1"}]
SIGMA = math.sqrt(2 * math.log(1.25 / 1e-5))


BABCAB = [{"z": v, "i": str(i)} for i, v in enumerate("babcab")]


# rows, quasi-identifiers, k -> anonymized, generalized, suppressed, information loss; rows kept by suppression
@pytest.mark.parametrize("rows,qi,k,expected,kept", [
    ([], ["zip"], 5, (True, 0, 0, 0.0), None),
    ([], [], 0, (True, 0, 0, 0.0), []),
    (ZIPS, ["zip"], 2, (False, 2, 1, 100 / 3), [0, 1]),
    (ZIPS, ["zip"], 0, (True, 3, 0, 0.0), None),
    (ZIPS, ["zip"], 1, (True, 3, 0, 0.0), None),
    (ZIPS, ["zip"], 4, (False, 0, 3, 100.0), []),
    (ZIPS, ["age"], 2, (False, 2, 1, 100 / 3), None),
    (ZIPS, ["zip", "age"], 2, (False, 0, 3, 100.0), None),
    (ZIPS, [], 3, (True, 3, 0, 0.0), None),
    (ZIPS, [], 4, (False, 0, 3, 100.0), None),
    (MISSING, ["zip"], 2, (False, 2, 1, 100 / 3), None),
    (SPLIT, ["a", "b"], 2, (False, 2, 1, 100 / 3), [0, 2]),
    (ZIPS, ["none"], 3, (True, 3, 0, 0.0), None),
    (BABCAB, ["z"], 2, (False, 5, 1, 100 / 6), [0, 2, 5, 1, 4]),  # groups by first appearance
])
def test_k_anonymity_check_and_suppression(rows, qi, k, expected, kept):
    r = check_k_anonymity(rows, qi, k)
    assert (r.k_value, r.anonymized, r.generalized_rows, r.suppressed_rows) == (k, *expected[:3])
    assert r.information_loss == pytest.approx(expected[3], rel=1e-15)
    assert repr(r) == f"KAnonymityResult(k={k}, anonymized={str(expected[0]).lower()}, suppressed_rows={expected[2]})"
    if kept is not None:
        out = suppress_to_k_anonymous(rows, qi, k)
        assert out == [rows[i] for i in kept]
        assert all(type(r) is dict and all(r is not s for s in rows) for r in out)


@pytest.mark.parametrize("data,error", [
    ("zip", "argument 'data': Can't extract `str` to `Vec`"),
    ([["zip"]], "argument 'data': item 0: 'list' object cannot be converted to 'PyDict'"),
    ([{"zip": 10001}], "argument 'data': item 0, value of 'zip': 'int' object cannot be converted to 'PyString'"),
    ([{"zip": "1"}, {"zip": "1", 2: "x"}], "argument 'data': item 1, entry 1: 'int' object cannot be converted to 'PyString'"),
])
def test_k_anonymity_argument_errors(data, error):
    for fn in (check_k_anonymity, suppress_to_k_anonymous):
        with pytest.raises(TypeError) as err:
            fn(data, ["zip"], 2)
        assert str(err.value) == error
    with pytest.raises(OverflowError):
        check_k_anonymity(ZIPS, ["zip"], -1)


@pytest.mark.parametrize("data,intervals,bins", [
    ([0, 5, 10], 2, [0, 1, 1]),
    ([3, 3, 3], 4, [0, 0, 0]),
    ([], 3, []),
    ([0, 5, 10], 0, [0, 0, 0]),
    ([0, 2.5, 5, 7.5, 10], 4, [0, 1, 2, 3, 3]),
    ([math.nan, 0, 10], 2, [0, 0, 1]),
    ([0, 10], 2**64 - 1, [0, 2**64 - 2]),
    ([0, 5e-324], 2**64 - 1, [0, 0]),  # the width underflows
])
def test_generalize_numeric(data, intervals, bins):
    assert generalize_numeric(data, intervals) == bins


@pytest.mark.parametrize("original,generalized,intervals,loss", [
    ([0, 10], [0, 1], 2, 0.25),
    ([1, 2], [0], 2, 0.0),
    ([], [], 2, 0.0),
    ([4, 4], [0, 0], 3, 0.0),
    ([0, 10], [0, 3], 2, math.sqrt((0.25**2 + 0.75**2) / 2)),  # index beyond the bins
    ([0, 10], [0, 0], 0, math.nan),  # an infinite width times bin 0
    ([0, 10], [0, 2**64 - 2], 2**64 - 1, 0.0),
])
def test_information_loss(original, generalized, intervals, loss):
    assert calculate_information_loss(original, generalized, intervals) == pytest.approx(loss, abs=1e-12, nan_ok=True)


@pytest.mark.parametrize("noise", [lambda d, s: add_laplace_noise(d, 0.5, s), lambda d, s: add_gaussian_noise(d, 0.5, 1e-5, s)])
def test_noise_shape_clamp_and_zero_sensitivity(noise):
    data = [-5.0, 0.0, 0.5, 3.0, 1e9, math.nan]
    assert noise([], 1.0) == []
    out = noise(data * 1000, 1.0)
    assert len(out) == 6000 and min(out) >= 0.0 and out[5::6] == [0.0] * 1000
    assert noise(data, 0) == [0.0, 0.0, 0.5, 3.0, 1e9, 0.0]


def test_laplace_statistics():
    b, n = 2.0, 200_000
    noise = np.array(add_laplace_noise(np.full(n, 1e6), 0.5, 1.0)) - 1e6
    se = b * math.sqrt(2 / n)  # standard error of the mean; |noise| has sd b
    assert abs(noise.mean()) < 8 * se
    assert abs(np.abs(noise).mean() - b) < 8 * b / math.sqrt(n)
    assert stats.kstest(noise, stats.laplace(scale=b).cdf).pvalue > 1e-9


def test_gaussian_statistics():
    n = 200_000
    assert SIGMA == pytest.approx(4.8448, abs=1e-4)
    noise = np.array(add_gaussian_noise(np.full(n, 1e6), 1.0, 1e-5, 1.0)) - 1e6
    assert abs(noise.mean()) < 8 * SIGMA / math.sqrt(n)
    assert abs(noise.std() - SIGMA) < 8 * SIGMA / math.sqrt(2 * n)
    assert stats.kstest(noise, stats.norm(scale=SIGMA).cdf).pvalue > 1e-9


@pytest.mark.parametrize("call,message", [
    (lambda: add_laplace_noise([1], 0, 1), "epsilon must be finite and > 0, got 0"),
    (lambda: add_laplace_noise([1], -1, 1), "epsilon must be finite and > 0, got -1"),
    (lambda: add_laplace_noise([1], math.inf, 1), "epsilon must be finite and > 0, got inf"),
    (lambda: add_laplace_noise([], math.nan, 1), "epsilon must be finite and > 0, got NaN"),
    (lambda: add_laplace_noise([1], 1, -0.5), "sensitivity must be finite and >= 0, got -0.5"),
    (lambda: add_laplace_noise([1], 1, math.inf), "sensitivity must be finite and >= 0, got inf"),
    (lambda: add_gaussian_noise([1], 0, 0.5, 1), "epsilon must be finite and > 0, got 0"),
    (lambda: add_gaussian_noise([1], 1, 0, 1), "delta must be in the open interval (0, 1), got 0"),
    (lambda: add_gaussian_noise([1], 1, 1, 1), "delta must be in the open interval (0, 1), got 1"),
    (lambda: add_gaussian_noise([1], 1, 1.25, 1), "delta must be in the open interval (0, 1), got 1.25"),
    (lambda: add_gaussian_noise([1], 1, math.nan, 1), "delta must be in the open interval (0, 1), got NaN"),
    (lambda: add_gaussian_noise([1], 1, 0.5, math.nan), "sensitivity must be finite and >= 0, got NaN"),
])
def test_noise_refuses_parameters_that_void_the_guarantee(call, message):
    with pytest.raises(ValueError) as err:
        call()
    assert str(err.value) == "Invalid configuration: " + message


def test_threads_draw_different_streams():
    results = {}

    def draw(name):
        results[name] = add_laplace_noise([1e6] * 8, 1.0, 1.0)

    threads = [threading.Thread(target=draw, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    draw("main")
    assert len({tuple(v) for v in results.values()}) == 3


def test_forked_child_does_not_replay_the_parent():
    add_gaussian_noise([1e6], 1.0, 0.5, 1.0)  # the parent's generator exists before the fork
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.write(write, pickle.dumps(add_gaussian_noise([1e6] * 8, 1.0, 0.5, 1.0)))
        os._exit(0)
    os.close(write)
    mine = add_gaussian_noise([1e6] * 8, 1.0, 0.5, 1.0)
    with os.fdopen(read, "rb") as f:
        child = pickle.loads(f.read())
    os.waitpid(pid, 0)
    assert len(child) == 8 and child != mine


def test_budget_example_and_repr():
    b = PyPrivacyBudget(1.0, 0.00001)
    assert repr(b) == "PrivacyBudget(epsilon=1, remaining=1.0000)"
    steps = [(b.consume(c), b.remaining_epsilon, b.budget_exhausted()) for c in (0.3, 0.8, 0.7)]
    assert steps == [(True, 0.7, False), (False, 0.7, False), (True, 0.0, True)]
    assert (b.budget_percentage(), b.epsilon, b.delta) == (100.0, 1.0, 0.00001)
    assert repr(b) == "PrivacyBudget(epsilon=1, remaining=0.0000)"


@pytest.mark.parametrize("cost", [-0.5, -math.inf, math.nan, 1.5, math.inf])
def test_budget_never_grows(cost):
    b = PyPrivacyBudget(1.0, 0.0)
    assert b.consume(cost) is False
    assert b.remaining_epsilon == 1.0


@pytest.mark.parametrize("epsilon,delta,percentage", [(0.0, 0.0, math.nan), (-1.0, 7.0, 0.0), (2.5, -1.0, 0.0)])
def test_budget_constructor_does_not_validate(epsilon, delta, percentage):
    b = PyPrivacyBudget(epsilon, delta)
    assert (b.epsilon, b.delta, b.remaining_epsilon, b.budget_exhausted()) == (epsilon, delta, epsilon, epsilon <= 0)
    assert b.budget_percentage() == pytest.approx(percentage, nan_ok=True)


def test_pandas_series_with_a_filtered_index_is_read_in_order():
    s = pd.Series([4.0, -1.0, 7.0, 2.0])[lambda v: v != 4.0]  # index 1, 2, 3: no label 0
    assert add_laplace_noise(s, 1.0, 0.0) == [0.0, 7.0, 2.0]
    assert generalize_numeric(s, 2) == [0, 1, 0]


@pytest.mark.parametrize("fn,doc", [
    (check_k_anonymity, "Check whether `data` (a list of row dicts) is k-anonymous with respect to\n`quasi_identifiers` "
     "(the column names that, combined, could re-identify a\nrow) for the given `k`."),
    (suppress_to_k_anonymous, "Drop rows from `data` that fall in quasi-identifier groups smaller than\n`k`, "
     "returning only the rows that are already k-anonymous."),
    (generalize_numeric, "Bucket numeric values into `intervals` equal-width bins (returns each\nvalue's bin index) "
     "\u2014 a generalization step for k-anonymity."),
    (calculate_information_loss, "Root-mean-square normalized distance between original values and the\n"
     "midpoints of the bins they were generalized into."),
    (add_laplace_noise, "Add Laplace-mechanism noise to a vector of counts/sums for\nepsilon-differential privacy."),
    (add_gaussian_noise, "Add Gaussian-mechanism noise to a vector for (epsilon, delta)-differential\nprivacy on range queries."),
    (PyPrivacyBudget.consume, "Consume `cost` epsilon from the budget. Returns False (and leaves the\n"
     "budget untouched) if the remaining budget is insufficient."),
])
def test_docstrings(fn, doc):
    assert fn.__doc__ == doc
