"""k-anonymity, generalisation, differential-privacy noise and the privacy budget."""
import math
import os
import pickle
import random
import threading
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest
from scipy import optimize, stats

from segmora import (PyPrivacyBudget, add_gaussian_noise, add_laplace_noise, calculate_information_loss,
                     check_k_anonymity, generalize_numeric, suppress_to_k_anonymous)

ZIPS = [{"zip": "10001", "age": "30"}, {"zip": "10001", "age": "41"}, {"zip": "10002", "age": "30"}]
SPLIT = [{"a": "ab", "b": "c"}, {"a": "a", "b": "bc"}, {"a": "ab", "b": "c"}]  # joined, every key is "abc"
MISSING = [{"zip": ""}, {}, {"zip": "1"}]


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


def analytic_sigma(epsilon, delta):
    """σ per unit of sensitivity of the analytic Gaussian mechanism (Balle and Wang), by SciPy."""
    gap = lambda s: stats.norm.cdf(0.5 / s - epsilon * s) - math.exp(epsilon) * stats.norm.cdf(-0.5 / s - epsilon * s) - delta
    return optimize.brentq(gap, 1e-9, 1e3, xtol=1e-16, rtol=1e-15)


def sigma(epsilon, delta, sensitivity):
    if epsilon < 1:
        return math.sqrt(2 * math.log(1.25 / delta)) * sensitivity / epsilon
    return analytic_sigma(epsilon, delta) * sensitivity


def log2_bounds(x):
    m, e = math.frexp(x)
    return e - 1, e - 1 if m == 0.5 else e  # floor and ceil of log2(x)


def grid_step(sensitivity, scale, coarsest):
    """The documented grid: the largest power of two not above min(Δ, scale) 2^-20, unless coarser is needed."""
    floor_min, ceil_scale, ceil_sens = log2_bounds(min(sensitivity, scale))[0], log2_bounds(scale)[1], log2_bounds(sensitivity)[1]
    return 2.0 ** max(floor_min - 20, ceil_scale - coarsest, ceil_sens - 52)


# name -> (noise of an array or list, the grid step, the continuous law the noise approaches)
MECHANISMS = {
    "laplace": (lambda d: add_laplace_noise(d, 1.0, 1.0), grid_step(1.0, 1.0, 30), stats.laplace(scale=1.0)),
    "laplace-small-eps": (lambda d: add_laplace_noise(d, 0.1, 2.0), grid_step(2.0, 20.0, 30), stats.laplace(scale=20.0)),
    "laplace-large-eps": (lambda d: add_laplace_noise(d, 5.0, 0.5), grid_step(0.5, 0.1, 30), stats.laplace(scale=0.1)),
    "gaussian-classical": (lambda d: add_gaussian_noise(d, 0.5, 1e-5, 1.0), grid_step(1.0, sigma(0.5, 1e-5, 1.0), 25),
                           stats.norm(scale=sigma(0.5, 1e-5, 1.0))),
    "gaussian-analytic": (lambda d: add_gaussian_noise(d, 1.0, 1e-5, 1.0), grid_step(1.0, sigma(1.0, 1e-5, 1.0), 25),
                          stats.norm(scale=sigma(1.0, 1e-5, 1.0))),
    "gaussian-analytic-wide": (lambda d: add_gaussian_noise(d, 3.0, 1e-8, 2.0), grid_step(2.0, sigma(3.0, 1e-8, 2.0), 25),
                               stats.norm(scale=sigma(3.0, 1e-8, 2.0))),
}


@pytest.mark.parametrize("name", list(MECHANISMS))
def test_noise_follows_its_law(name):
    """10^6 draws against the continuous law (the grid is 2^20 times finer than the noise)."""
    noise, _, law = MECHANISMS[name]
    drawn = noise(np.full(10**6, 1e6)) - 1e6
    assert stats.kstest(drawn, law.cdf).pvalue > 1e-6


@pytest.mark.parametrize("name", list(MECHANISMS))
def test_every_release_lies_on_the_grid_whatever_the_last_bits(name):
    noise, step, _ = MECHANISMS[name]
    inputs = [1e6 * (1 + k * 2.0**-52) for k in range(8)] + [1234.5678 + k * 2.0**-40 for k in range(8)]
    out = noise(inputs * 500)
    assert all((v / step).is_integer() for v in out)
    assert len({v % step for v in inputs}) > 1  # the inputs themselves are not on one grid


@pytest.mark.parametrize("noise", [lambda d, s: add_laplace_noise(d, 0.5, s), lambda d, s: add_gaussian_noise(d, 0.5, 1e-5, s)])
def test_noise_shape_clamp_and_zero_sensitivity(noise):
    data = [-5.0, 0.0, 0.5, 3.0, 1e9, math.nan, math.inf, -math.inf]
    assert noise([], 1.0) == []
    out = noise(data * 1000, 1.0)
    assert len(out) == 8000 and min(out) >= 0.0 and out[5::8] == out[7::8] == [0.0] * 1000 and out[6::8] == [math.inf] * 1000
    assert noise(data, 0) == [0.0, 0.0, 0.5, 3.0, 1e9, 0.0, math.inf, 0.0]


@pytest.mark.parametrize("data", [
    np.arange(12.0), np.arange(12.0).reshape(3, 4), np.arange(24.0)[::2], np.arange(12.0).reshape(3, 4).T,
    np.arange(12.0).astype(">f8"), np.zeros(0)])
@pytest.mark.parametrize("noise", [lambda d, s: add_laplace_noise(d, 1.0, s), lambda d, s: add_gaussian_noise(d, 1.0, 0.1, s)])
def test_a_float64_array_gives_an_array_of_its_shape(data, noise):
    out = noise(data, 0.0)
    assert type(out) is np.ndarray and out.dtype == np.float64 and out.shape == data.shape
    assert np.array_equal(out, np.maximum(data, 0.0)) and out.flags.c_contiguous and out.flags.writeable
    assert not np.shares_memory(out, data)
    noisy = noise(data, 1.0)
    assert noisy.shape == data.shape and np.all(noisy >= 0.0)


@pytest.mark.parametrize("data", [[1.0, 2.0], (1.0, 2.0), np.array([1.0, 2.0], dtype=np.float32), np.array([1, 2])])
def test_other_inputs_give_a_list(data):
    assert add_laplace_noise(data, 1.0, 0.0) == [1.0, 2.0]
    assert add_gaussian_noise(data, 1.0, 0.5, 0.0) == [1.0, 2.0]


@pytest.mark.parametrize("call,message", [
    (lambda: add_laplace_noise([1], 0, 1), "epsilon must be finite and > 0, got 0"),
    (lambda: add_laplace_noise([1], -1, 1), "epsilon must be finite and > 0, got -1"),
    (lambda: add_laplace_noise([1], math.inf, 1), "epsilon must be finite and > 0, got inf"),
    (lambda: add_laplace_noise(np.ones(2), math.nan, 1), "epsilon must be finite and > 0, got NaN"),
    (lambda: add_laplace_noise([1], 1, -0.5), "sensitivity must be finite and >= 0, got -0.5"),
    (lambda: add_laplace_noise([1], 1, math.inf), "sensitivity must be finite and >= 0, got inf"),
    (lambda: add_laplace_noise([1], 1e-10, 1), "epsilon must be at least 2^-30 for a sensitivity above 0, got 0.0000000001"),
    (lambda: add_laplace_noise([1], 1e-9, 1e300), "sensitivity / epsilon must be at most 2^1000, got inf"),
    (lambda: add_gaussian_noise([1], 0, 0.5, 1), "epsilon must be finite and > 0, got 0"),
    (lambda: add_gaussian_noise([1], 1, 0, 1), "delta must be in the open interval (0, 1), got 0"),
    (lambda: add_gaussian_noise([1], 1, 1, 1), "delta must be in the open interval (0, 1), got 1"),
    (lambda: add_gaussian_noise([1], 1, 1.25, 1), "delta must be in the open interval (0, 1), got 1.25"),
    (lambda: add_gaussian_noise(np.ones(2), 1, math.nan, 1), "delta must be in the open interval (0, 1), got NaN"),
    (lambda: add_gaussian_noise([1], 1, 0.5, math.nan), "sensitivity must be finite and >= 0, got NaN"),
    (lambda: add_gaussian_noise([1], 1e-8, 1e-5, 1),
     "sigma / sensitivity must be at most 2^26, got 484480526.2605389 (epsilon 0.00000001, delta 0.00001)"),
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


# epsilon, costs -> what consume answers, and the remainder after them
@pytest.mark.parametrize("epsilon,costs,granted,remaining", [
    (0.3, [0.1] * 4, [True, True, True, False], 0.0),        # 0.3 - 0.1 - 0.1 is 0.0999... in binary
    (1.0, [0.3, 0.3, 0.3, 0.1, 1e-17], [True] * 4 + [False], 0.0),
    (1.0, [0.1] * 11, [True] * 10 + [False], 0.0),
    (1.0, [0.5, 0.5 + 2**-30], [True, False], 0.5),            # beyond rounding: refused
    (1.0, [1 - 1e-15, 1e-15, 0.0, 1e-300], [True, True, True, False], 0.0),
    (1e6, [1e6 - 1e-7], [True], 1e6 - (1e6 - 1e-7)),         # a remainder well above rounding stays
    (1.0, [-0.5, -math.inf, math.nan, 1.5, math.inf, 0.0], [False] * 5 + [True], 1.0),
])
def test_budget_keeps_exact_accounts_and_never_grows(epsilon, costs, granted, remaining):
    b = PyPrivacyBudget(epsilon, 0.0)
    assert [b.consume(c) for c in costs] == granted
    assert b.remaining_epsilon == pytest.approx(remaining, rel=1e-8, abs=0)
    assert b.budget_exhausted() == (remaining == 0.0)
    assert pickle.loads(pickle.dumps(b)).remaining_epsilon == b.remaining_epsilon


@pytest.mark.parametrize("seed", range(3))
def test_budget_remainder_is_the_exact_difference_rounded_once(seed):
    rng = random.Random(seed)
    epsilon = rng.uniform(1, 1e6)
    costs = [rng.uniform(0, 1) * 10.0 ** rng.randint(-300, 3) for _ in range(200)]
    b = PyPrivacyBudget(epsilon, 0.0)
    assert all(b.consume(c) for c in costs)
    assert b.remaining_epsilon == float(Fraction(epsilon) - sum(map(Fraction, costs)))  # Fraction -> float rounds once


@pytest.mark.parametrize("epsilon,delta,message", [
    (0.0, 0.0, "epsilon must be finite and > 0, got 0"), (-1.0, 0.5, "epsilon must be finite and > 0, got -1"),
    (math.inf, 0.0, "epsilon must be finite and > 0, got inf"), (math.nan, 0.0, "epsilon must be finite and > 0, got NaN"),
    (1.0, -0.1, "delta must be in [0, 1), got -0.1"), (1.0, 1.0, "delta must be in [0, 1), got 1"),
    (1.0, math.nan, "delta must be in [0, 1), got NaN"),
])
def test_budget_refuses_parameters_as_the_noise_functions_do(epsilon, delta, message):
    with pytest.raises(ValueError) as err:
        PyPrivacyBudget(epsilon, delta)
    assert str(err.value) == "Invalid configuration: " + message


def test_pandas_series_with_a_filtered_index_is_read_in_order():
    s = pd.Series([4.0, -1.0, 7.0, 2.0])[lambda v: v != 4.0]  # index 1, 2, 3: no label 0
    assert add_laplace_noise(s, 1.0, 0.0) == [0.0, 7.0, 2.0]  # a Series is no ndarray: a list
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
