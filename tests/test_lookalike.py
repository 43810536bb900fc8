"""Lookalike audiences: similarity metrics, audiences, top-n lists, against a NumPy model."""

import math

import numpy as np
import pandas as pd
import pytest

import segmora
from segmora import PySeedCustomer as Seed

METRICS = ["cosine", "euclidean", "manhattan", "jaccard"]
METRIC_MESSAGE = "Unknown similarity metric '{}'. Expected one of: cosine, euclidean, manhattan, jaccard"
INF = math.inf


def seeds_of(*vectors, ltv=0.0, cats=None):
    return [Seed(f"s{i}", list(v), ltv, "", cats) for i, v in enumerate(vectors)]


def cands_of(*vectors):
    return [Seed(f"c{i}", list(v)) for i, v in enumerate(vectors)]


def summary(a):
    return (a.audience_name, a.seed_count, a.lookalike_count, a.min_similarity, a.max_similarity,
            a.avg_similarity, a.predicted_ltv)


# ---- the NumPy recipe a data scientist would write ----


def np_similarities(metric, profile, X, seed_cats=None, cand_cats=None):
    if metric == "jaccard":
        return np.array([np_jaccard(seed_cats, c) for c in cand_cats])
    if metric == "cosine":
        norms = np.sqrt((X * X).sum(axis=1)) * np.sqrt((profile * profile).sum())
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(norms == 0, 0.0, (X @ profile) / norms)
    if metric == "euclidean":
        return 1 - np.minimum(np.sqrt(((X - profile) ** 2).sum(axis=1)) / 100, 1)
    return 1 - np.minimum(np.abs(X - profile).sum(axis=1) / 200, 1)


def np_jaccard(a, b):
    if not a or not b:
        return 0.0
    m = sum(1 for k, v in a.items() if b.get(k) == v)
    return m / (len(a) + len(b) - m)


def np_audience(metric, seed_vecs, ltvs, cand_vecs, threshold, cap, seed_cats=None, cand_cats=None):
    profile = np.asarray(seed_vecs).mean(axis=0)
    profile_cats = None
    if seed_cats is not None:  # most frequent value per key, first seen on ties
        keys = {k: None for c in seed_cats for k in c}
        profile_cats = {}
        for k in keys:
            values = [c[k] for c in seed_cats if k in c]
            profile_cats[k] = max(dict.fromkeys(values), key=values.count)
    sims = np_similarities(metric, profile, np.asarray(cand_vecs), profile_cats, cand_cats)
    i = int(max((1.0 - threshold) * len(sims), 0))
    cutoff = np.sort(sims)[::-1][i] if i < len(sims) else 0.0
    order = np.argsort(-sims, kind="stable")
    chosen = [s for s in sims[order] if s > 0 and s >= cutoff][:cap]
    if not chosen:
        return (f"Lookalike ({metric})", len(seed_vecs), 0, INF, 0.0, 0.0, 0.0)
    avg = math.fsum(chosen) / len(chosen)
    return (f"Lookalike ({metric})", len(seed_vecs), len(chosen), min(chosen), max(chosen), avg,
            avg * (sum(ltvs) / len(ltvs)))


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("seed", range(4))
def test_audience_matches_numpy_model(metric, seed):
    rng = np.random.default_rng(seed)
    d, n_seeds, n_cands = 4, int(rng.integers(1, 6)), int(rng.integers(1, 60))
    seed_vecs = rng.normal(5, 20, size=(n_seeds, d))
    cand_vecs = rng.normal(5, 20, size=(n_cands, d))
    ltvs = rng.uniform(0, 500, n_seeds).tolist()
    cat = lambda: {k: str(rng.integers(0, 3)) for k in "abcd" if rng.random() < 0.7}
    seed_cats = [cat() for _ in range(n_seeds)]
    cand_cats = [cat() for _ in range(n_cands)]
    threshold = float(rng.choice([0.0, 0.5, 0.9, 1.0]))
    cap = [None, 3][seed % 2]
    seeds = [Seed(f"s{i}", v, l, "", c) for i, (v, l, c) in enumerate(zip(seed_vecs, ltvs, seed_cats))]
    cands = [Seed(f"c{i}", v, 0.0, "", c) for i, (v, c) in enumerate(zip(cand_vecs, cand_cats))]
    got = summary(segmora.generate_lookalike(seeds, cands, metric, threshold, cap))
    want = np_audience(metric, seed_vecs, ltvs, cand_vecs, threshold, cap,
                       seed_cats if metric == "jaccard" else None, cand_cats)
    assert got[:3] == want[:3]
    assert got[3:] == pytest.approx(want[3:], rel=1e-12)


@pytest.mark.parametrize("a, b, expected", [
    ([1, 0], [0, 1], 0.0), ([3, 4], [6, 8], 1.0), ([], [], 0.0), ([1, 2], [1], 0.0), ([0, 0], [1, 1], 0.0),
    (np.array([1.0, 2.0]), np.array([2.0, 4.0]), 1.0), ([1, 1], [-1, -1], -1.0),
])
def test_cosine_similarity(a, b, expected):
    assert segmora.cosine_similarity(a, b) == pytest.approx(expected, abs=1e-15)


@pytest.mark.parametrize("metric, candidate, expected", [
    ("euclidean", [30, 40], 0.5), ("euclidean", [300, 0], 0.0), ("euclidean", [0, 0], 1.0),
    ("manhattan", [20, 30], 0.75), ("manhattan", [150, 150], 0.0),
])
def test_distance_similarities(metric, candidate, expected):
    a = segmora.generate_lookalike(seeds_of([0, 0], [0, 0], ltv=100.0), cands_of([0, 0], candidate), metric, 0.0)
    assert a.min_similarity == (expected if expected > 0 else 1.0)


@pytest.mark.parametrize("seed_cats, cand_cats, expected", [
    ([{"a": "x", "b": "y"}], {"a": "x", "c": "z"}, 1 / 3), ([{"a": "x"}], {"a": "x"}, 1.0),
    ([{"k": "p"}, {"k": "q"}], {"k": "p"}, 1.0), ([{"k": "q"}, {"k": "p"}], {"k": "p"}, 0.0),
    ([{"k": "q"}, {"k": "p"}, {"k": "p"}], {"k": "p"}, 1.0), ([{}], {"a": "x"}, 0.0),
])
def test_jaccard_profile_and_ties_to_first_seen(seed_cats, cand_cats, expected):
    seeds, cands = [Seed(f"s{i}", [], 0.0, "", c) for i, c in enumerate(seed_cats)], [Seed("c", [], 0.0, "", cand_cats)]
    assert segmora.generate_lookalike(seeds, cands, "Jaccard", 0.0).avg_similarity == pytest.approx(expected)
    if len(seeds) == 1:
        assert segmora.find_similar_customers(seeds[0], cands, 1, "jaccard")[0].similarity_score == pytest.approx(expected)


@pytest.mark.parametrize("seeds, cands", [([], cands_of([1, 1])), (seeds_of([1, 1]), [])])
def test_empty_audience(seeds, cands):
    assert summary(segmora.generate_lookalike(seeds, cands)) == ("Empty", 0, 0, 0.0, 0.0, 0.0, 0.0)


VALUES = [[1, 0], [0, 1], [2, 0.1], [1, 0.5], [1, 1], [0.5, 1]]  # vs profile [1, 0]: one orthogonal


@pytest.mark.parametrize("threshold, cap, count", [
    (0.0, None, 5), (-0.0, None, 5), (0.9, None, 1), (1.0, None, 1), (5.0, None, 1), (0.5, None, 4),
    (0.0, 2, 2), (0.0, 0, 0),
])
def test_cutoff_and_cap(threshold, cap, count):
    a = segmora.generate_lookalike(seeds_of([1, 0]), cands_of(*VALUES), "cosine", threshold, cap)
    assert a.lookalike_count == count
    if count == 0:
        assert (a.min_similarity, a.max_similarity, a.avg_similarity, a.predicted_ltv) == (INF, 0.0, 0.0, 0.0)
    else:
        assert a.max_similarity == 1.0 and a.min_similarity > 0.0


def test_predicted_ltv_repr_and_extra_seed_elements_ignored():
    a = segmora.generate_lookalike([Seed("a", [0, 0], 100), Seed("b", [0, 0], 300)], cands_of([30, 40]), "EUCLIDEAN", 0.0)
    assert (a.avg_similarity, a.predicted_ltv) == (0.5, 100.0)
    assert repr(a) == "LookalikeAudience(name=Lookalike (euclidean), seeds=2, lookalikes=1, avg_similarity=0.5000)"
    # a seed longer than the first has its extra elements ignored
    a = segmora.generate_lookalike(seeds_of([2, 2], [0, 0, 1e300, 5]), cands_of([1, 1]), "euclidean", 0.0)
    assert (a.lookalike_count, a.max_similarity, a.min_similarity) == (1, 1.0, 1.0)


@pytest.mark.parametrize("call, message", [
    *[(lambda t=t: segmora.generate_lookalike(seeds_of([1, 0]), cands_of([1, 0]), "cosine", t),
       f"percentile_threshold must be a finite number >= 0, got {text}")
      for t, text in [(math.nan, "NaN"), (-3.0, "-3"), (math.inf, "inf"), (-math.inf, "-inf"), (-1e-300, "-" + "0." + "0" * 299 + "1")]],
    (lambda: segmora.generate_lookalike(seeds_of([1, 0], [1]), cands_of([1, 0], [1, 0, 0], [1]), "manhattan"),
     "candidate_customers[1] (customer_id 'c1') has 3 features but the seeds have 2"),
    (lambda: segmora.find_similar_customers(seeds_of([1, 0])[0], cands_of([1, 0], [1, 0], [5]), 2, "Euclidean"),
     "candidates[2] (customer_id 'c2') has 1 features but the seed has 2"),
])
def test_thresholds_and_feature_lengths_that_would_not_mean_anything_are_refused(call, message):
    with pytest.raises(ValueError) as err:
        call()
    assert str(err.value) == message


def test_ranking_keeps_ties_in_candidate_order_and_nan_last():
    seed, cands = seeds_of([1, 0])[0], cands_of([0, 1], [2, 0], [1, 0], [0, 3])
    assert [(c.customer_id, c.similarity_score, c.percentile) for c in segmora.find_similar_customers(seed, cands, 3)
            ] == [("c1", 1.0, 0.0), ("c2", 1.0, 25.0), ("c0", 0.0, 50.0)]
    assert segmora.find_similar_customers(seed, cands, 0) == segmora.find_similar_customers(seed, [], 5) == []
    cands = cands_of([math.nan, 1], [1, 0], [1, 1], [math.nan, 0])  # NaN similarities: never selected, ranked last
    a = segmora.generate_lookalike([seed], cands, "cosine", 0.5)  # position 2 holds a NaN
    assert (a.lookalike_count, a.min_similarity) == (2, pytest.approx(math.sqrt(0.5)))
    assert [c.customer_id for c in segmora.find_similar_customers(seed, cands, 4)] == ["c1", "c2", "c0", "c3"]


@pytest.mark.parametrize("call, exc, text", [
    (lambda: segmora.generate_lookalike([], [], "pearson"), ValueError, METRIC_MESSAGE.format("pearson")),
    (lambda: segmora.generate_lookalike([], [], "PEARSON"), ValueError, METRIC_MESSAGE.format("pearson")),
    (lambda: segmora.find_similar_customers(Seed("a", []), [], 1, " cosine"), ValueError, METRIC_MESSAGE.format(" cosine")),
    (lambda: segmora.generate_lookalike([], [], 1), TypeError, None),
    (lambda: segmora.generate_lookalike(["x"], []), TypeError, None),
    (lambda: segmora.generate_lookalike("ab", []), TypeError, "argument 'seed_customers': Can't extract `str` to `Vec`"),
    (lambda: segmora.generate_lookalike([], [], max_lookalikes=-1), OverflowError, None),
    (lambda: segmora.generate_lookalike([], [], "pearson", "x"), TypeError, None),
    (lambda: segmora.find_similar_customers(Seed("a", []), [], -1), OverflowError, None),
    (lambda: Seed("a", [1], cohort=None), TypeError, None),
    (lambda: Seed("a", [1], categorical_features={"k": 1}), TypeError, None),
    (lambda: Seed("a", "12"), TypeError, "argument 'features': Can't extract `str` to `Vec`"),
])
def test_argument_and_metric_errors(call, exc, text):
    with pytest.raises(exc) as err:
        call()
    assert type(err.value) is exc and (text is None or str(err.value) == text)


class Emptying:
    """A number whose conversion empties the list of customers passed beside it."""

    def __init__(self, target, value):
        self.target, self.value = target, value

    __float__ = lambda self: (self.target.clear(), float(self.value))[1]
    __index__ = lambda self: (self.target.clear(), int(self.value))[1]


def test_arguments_converted_after_the_lists_cannot_pull_customers_away():
    cands, more = cands_of([1, 0], [1, 1], [0, 1]), cands_of([1, 0], [1, 1], [0, 1])
    a = segmora.generate_lookalike(seeds_of([1, 0]), cands, "cosine", Emptying(cands, 0.0))
    assert (a.lookalike_count, cands) == (2, [])
    found = segmora.find_similar_customers(seeds_of([1, 0])[0], more, Emptying(more, 2))
    assert [c.customer_id for c in found] == ["c0", "c1"]


class Shouting(str):
    def lower(self):
        raise AssertionError("never called")


@pytest.mark.parametrize("metric, expected", [("COSINE", 0.8), ("Euclidean", 1 - 18 ** 0.5 / 100), (Shouting("MANHATTAN"), 0.97)])
def test_metric_names_ignore_case(metric, expected):
    found = segmora.find_similar_customers(Seed("a", [0, 1]), cands_of([3, 4]), 1, metric)
    assert found[0].similarity_score == pytest.approx(expected)


# ---- seed_customers: many customers from records in one call ----


def state(customer):  # every field, through the pickled state
    return customer.__reduce__()


RECORDS = [("a", [1.0, 2]), ["b", (3.0,), 5], ("c", np.array([1.5, -2.0]), 1.5, "2024-01"),  # float64 buffer
           ("d", np.array([1, 2], dtype=np.int32), 0.0, "", {"plan": "pro", "eu": "yes"}),
           ("e", np.arange(6.0)[::2], -1.0, "x", None), ("f", pd.Series([1.0, 2.0], index=[5, 3]), np.float64(2.5))]


def test_seed_customers_build_what_the_constructor_builds():
    expected = [state(Seed(*r)) for r in RECORDS]
    assert [state(c) for c in segmora.seed_customers(RECORDS)] == expected
    assert [state(c) for c in segmora.seed_customers(tuple(RECORDS))] == expected and segmora.seed_customers([]) == []
    assert [state(c) for c in segmora.seed_customers(iter(RECORDS))] == expected
    frame = pd.DataFrame({"id": ["a", "b"], "features": [[1.0, 2.0], [3.0]], "ltv": [0.0, 5.0]})
    assert [state(c) for c in segmora.seed_customers(frame.itertuples(index=False))] == expected[:2]
    record = ["a", [1.0], None, "".join(["co", "hort"])]  # a list record, and the list of records, emptied midway
    records = [record, ("b", [2.0])]
    record[2], records[1] = Emptying(record, 7), ("b", [2.0], Emptying(records, 1))
    assert [state(c) for c in segmora.seed_customers(records)] == [state(Seed("a", [1.0], 7, "cohort")),
                                                                   state(Seed("b", [2.0], 1))]


@pytest.mark.parametrize("records, exc, text", [  # text None: the constructor's message, for the record after a good one
    ([("a",)], TypeError, None), ([("a", [1.0], 0.0, "", None, "x")], TypeError, None),
    ([(1, [1.0])], TypeError, None), ([("a", "12")], TypeError, None), ([("a", [1.0], "x")], TypeError, None),
    ([("a", [1.0], 10 ** 400)], OverflowError, None), ([("a", [1.0], 0.0, None)], TypeError, None),
    ([("a", [1.0], 0.0, "", {"k": 1})], TypeError, None),
    ([5], TypeError, "argument 'records': item 1: 'int' object is not a tuple or list"),
    ("ab", TypeError, "argument 'records': Can't extract `str` to `Vec`"),
    ((r for r in [("a", [1.0]), 5]), TypeError, "argument 'records': item 1: 'int' object is not a tuple or list"),
    (map(lambda r: 1 / 0, [1]), ZeroDivisionError, "argument 'records': division by zero"),
])
def test_seed_customers_bad_records(records, exc, text):
    if text is None:
        with pytest.raises(exc) as err:
            Seed(*records[-1])
        text = f"argument 'records': item 1: {err.value}"
    with pytest.raises(exc) as err:
        segmora.seed_customers([("ok", [1.0])] + records if isinstance(records, list) else records)
    assert type(err.value) is exc and str(err.value) == text


# ---- lookalike_audience: the members themselves, from customers or from arrays ----

import pyarrow as pa  # noqa: E402
import polars as pl  # noqa: E402

RNG = np.random.default_rng(5)
TIED = RNG.integers(-2, 3, size=(40, 3)).astype(float)  # small integers: many equal similarities
TIED[7] = np.nan
CATS = [{"k": str(v), "j": "x"} for v in RNG.integers(0, 3, 40)]


def members(out):
    assert list(out) == ["customer_id", "similarity", "rank"]
    return list(zip(list(out["customer_id"]), out["similarity"].tolist(), out["rank"].tolist()))


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("threshold, cap", [(0.0, None), (0.5, None), (0.9, 3), (1.0, None), (0.3, 0)])
def test_members_are_the_audience_ranked_as_find_similar_customers(metric, threshold, cap):
    # One seed: the profile is the seed itself, so find_similar_customers ranks every candidate alike.
    seed = Seed("s", TIED[0].tolist(), 10.0, "", CATS[0])
    cands = [Seed(f"c{i}", v.tolist(), 0.0, "", c) for i, (v, c) in enumerate(zip(TIED, CATS))]
    got = members(segmora.lookalike_audience([seed], cands, metric, threshold, cap))
    audience = segmora.generate_lookalike([seed], cands, metric, threshold, cap)
    ranked = [(c.customer_id, c.similarity_score) for c in segmora.find_similar_customers(seed, cands, 40, metric)]
    assert len(got) == audience.lookalike_count
    assert [(i, s) for i, s, _ in got] == ranked[:len(got)]
    assert [r for *_, r in got] == list(range(1, len(got) + 1))
    if got:  # the summary's statistics, exactly (sums run in member order)
        sims = [s for _, s, _ in got]
        assert (min(sims), max(sims), sum(sims) / len(sims)) == (
            audience.min_similarity, audience.max_similarity, audience.avg_similarity)


FEATURES = {"float64": lambda X: X, "fortran": np.asfortranarray, "strided": lambda X: np.repeat(X, 2, axis=0)[::2],
            "float32": lambda X: X.astype(np.float32), "frame": pd.DataFrame, "rows": lambda X: X.tolist()}
IDS = {"list": (list, list), "numpy": (np.array, np.ndarray), "series": (lambda v: pd.Series(v, index=range(3, 43)), None),
       "arrow": (pa.array, pa.Array), "polars": (pl.Series, pl.Series)}


@pytest.mark.parametrize("ids_form", list(IDS))
@pytest.mark.parametrize("features_form", list(FEATURES))
@pytest.mark.parametrize("metric", ["cosine", "euclidean", "manhattan"])
def test_arrays_give_the_members_of_the_same_customers(metric, features_form, ids_form):
    X = FEATURES[features_form](TIED * 7.5)
    as_float = np.asarray(X, dtype=np.float64)
    names = [f"c{i}" for i in range(40)]
    make_ids, kind = IDS[ids_form]
    seeds = [Seed(f"s{i}", as_float[i].tolist()) for i in (0, 3, 5)]
    cands = [Seed(n, v.tolist()) for n, v in zip(names, as_float)]
    want = members(segmora.lookalike_audience(seeds, cands, metric, 0.6))
    ids = make_ids(names)
    out = segmora.lookalike_audience((["a", "b", "c"], as_float[[0, 3, 5]]), (ids, X), metric, 0.6)
    assert [(str(i), s, r) for i, s, r in members(out)] == want and want
    if kind is not None:
        assert isinstance(out["customer_id"], kind)
    else:  # a pandas column keeps its dtype
        assert pd.Series(out["customer_id"]).dtype == ids.dtype


@pytest.mark.parametrize("metric", ["cosine", "euclidean", "manhattan"])
def test_arrays_against_the_numpy_recipe(metric):
    rng = np.random.default_rng(8)
    S, X = rng.normal(20, 15, (30, 16)), rng.normal(20, 15, (5000, 16))
    out = segmora.lookalike_audience((np.arange(30), S), (np.arange(5000) * 3, X), metric)
    sims = np_similarities(metric, S.mean(axis=0), X)
    i = int((1.0 - 0.9) * len(sims))
    order = np.argsort(-sims, kind="stable")
    chosen = order[(sims[order] > 0) & (sims[order] >= np.sort(sims)[::-1][i])]
    assert out["customer_id"].tolist() == (chosen * 3).tolist()
    assert out["similarity"] == pytest.approx(sims[chosen], rel=1e-12)


@pytest.mark.parametrize("call, exc, text", [
    (lambda: segmora.lookalike_audience(([1, 2], [[1.0]]), []), ValueError, "seed_customers has 2 ids for 1 rows of features"),
    (lambda: segmora.lookalike_audience([], ("ab", [[1.0], [2.0]])), TypeError,
     "argument 'candidate_customers': the ids must be a column of ids, not a str"),
    (lambda: segmora.lookalike_audience([], ([1, 2], np.ones(2))), ValueError,
     "candidate_customers must be 2-D (one row of features per record), got a 1-D array of 2 values"),
    (lambda: segmora.lookalike_audience([], [], "pearson"), ValueError, METRIC_MESSAGE.format("pearson")),
    (lambda: segmora.lookalike_audience([], [], max_lookalikes=-1), OverflowError, None),
    (lambda: segmora.lookalike_audience(["x"], []), TypeError, None),
])
def test_audience_argument_errors(call, exc, text):
    with pytest.raises(exc) as err:
        call()
    assert type(err.value) is exc and (text is None or str(err.value) == text)


@pytest.mark.parametrize("seeds, cands, metric", [
    ((["s"], np.ones((1, 2))), (["a"], np.ones((1, 2))), "jaccard"),  # rows of features carry no categories
    ((["s"], np.ones((1, 2))), (["a"], np.ones((1, 3))), "cosine"),   # another length scores 0.0
    (([], np.ones((0, 2))), (["a"], np.ones((1, 2))), "cosine"),
    ((["s"], np.ones((1, 2))), ([], []), "cosine"),
])
def test_audiences_without_members(seeds, cands, metric):
    assert members(segmora.lookalike_audience(seeds, cands, metric, 0.0)) == []


def test_ids_taken_as_they_were_when_converted():
    ids = ["a", "b", "c"]
    out = segmora.lookalike_audience((["s"], [[1.0, 0.0]]), (ids, [[1.0, 0.0], [1.0, 1.0], [0.0, 1.0]]), "cosine",
                                     Emptying(ids, 0.0))
    assert (members(out), ids) == ([("a", 1.0, 1), ("b", pytest.approx(math.sqrt(0.5)), 2)], [])
