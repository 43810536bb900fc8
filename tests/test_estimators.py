"""Estimator classes in scikit-learn's shape: checks, clone, Pipeline, GridSearchCV, pickling."""

import copy
import pickle
import re
import warnings

import numpy as np
import pandas as pd
import pytest
from sklearn.base import clone
from sklearn.cluster import KMeans as PeerKMeans
from sklearn.datasets import load_wine
from sklearn.exceptions import NotFittedError
from sklearn.model_selection import GridSearchCV
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils import estimator_checks
from sklearn.utils.estimator_checks import check_estimator

from chacha_model import MiniBatchModel
from segmora import KMeans, MiniBatchKMeans, PyMiniBatchKMeans, kmeans_py

try:
    import polars
except ImportError:  # not among the test requirements: its rows are left out
    polars = None

X = load_wine().data
XS = StandardScaler().fit_transform(X)
FRAME = pd.DataFrame(XS[:, :3], columns=["a", "b", "c"], index=np.arange(len(XS)) * 2)
ESTIMATORS = [KMeans, MiniBatchKMeans]

# Checks that cannot apply, with the reason. Sparse input is refused with a
# message naming it, which the sparse checks accept.
NOT_APPLICABLE = {
    "check_array_api_input": "needs SCIPY_ARRAY_API and an array-API namespace; the engines read NumPy buffers",
    # The check shuffles the repeated rows, and a seeded fit depends on row order
    # (scikit-learn's own KMeans fails it too); whole weights equal rows repeated
    # in place bit for bit, tested below.
    "check_sample_weight_equivalence_on_dense_data": "the repeated rows are shuffled",
}


@pytest.mark.parametrize("cls", ESTIMATORS)
def test_passes_scikit_learn_estimator_checks(cls):
    with warnings.catch_warnings(action="ignore"):
        results = check_estimator(cls(), on_fail=None, on_skip=None)
    outcome = {r["check_name"]: r["status"] for r in results}
    assert {name for name, status in outcome.items() if status != "passed"} <= set(NOT_APPLICABLE)
    # KMeans.fit takes sample_weight, MiniBatchKMeans.fit does not
    assert any(name.startswith("check_sample_weight") for name in outcome) == (cls is KMeans)
    assert len(outcome) > 40


# scikit-learn's checks that check_estimator yields only for subclasses of its
# mixins: output containers, feature names and the clustering checks.
MIXIN_CHECKS = [
    "check_set_output_transform", "check_set_output_transform_pandas", "check_global_output_transform_pandas",
    "check_set_output_transform_polars", "check_global_set_output_transform_polars",
    "check_transformer_get_feature_names_out", "check_transformer_get_feature_names_out_pandas",
    "check_get_feature_names_out_error", "check_clustering", "check_clusterer_compute_labels_predict",
    "check_estimators_partial_fit_n_features",
]


@pytest.mark.parametrize("cls", ESTIMATORS)
@pytest.mark.parametrize("check", MIXIN_CHECKS)
def test_passes_scikit_learn_mixin_checks(cls, check):
    with warnings.catch_warnings(action="ignore"):
        getattr(estimator_checks, check)(cls.__name__, cls())


@pytest.mark.parametrize("params", [{}, {"n_clusters": 3, "random_state": 5}, {"max_iter": 2, "n_jobs": 1}])
def test_fit_matches_kmeans_py(params):
    est = KMeans(**params)
    assert est.fit(XS) is est
    ref = kmeans_py(XS, est.n_clusters, max_iter=est.max_iter, random_state=est.random_state, n_jobs=est.n_jobs)
    assert est.labels_.tolist() == ref.labels and est.cluster_centers_.tolist() == ref.centers
    assert (est.inertia_, est.n_iter_, est.n_features_in_) == (ref.inertia, ref.n_iter, X.shape[1])
    centers = np.asarray(ref.centers)
    assert np.allclose(est.transform(XS), np.linalg.norm(XS[:, None, :] - centers[None], axis=2), rtol=1e-12)
    if est.n_iter_ < est.max_iter:  # converged: the labels are the nearest centers
        assert est.predict(XS).tolist() == ref.labels
        assert est.score(XS) == pytest.approx(-ref.inertia, rel=1e-12)


@pytest.mark.parametrize("cls", ESTIMATORS)
def test_clone_pipeline_and_grid_search(cls):
    est = cls(4, random_state=np.int64(3))
    twin = clone(est)
    assert twin.get_params()["random_state"] is est.random_state and twin is not est
    pipe = make_pipeline(StandardScaler(), cls(3, random_state=1)).fit(pd.DataFrame(X))
    assert pipe.predict(pd.DataFrame(X)).tolist() == cls(3, random_state=1).fit(XS).labels_.tolist()
    grid = GridSearchCV(cls(random_state=0), {"n_clusters": [2, 3, 6]}, cv=3,
                        scoring=lambda e, data, y=None: -e.inertia_ / len(data) - 0.5 * e.n_clusters).fit(XS)
    assert grid.best_params_ in ({"n_clusters": 2}, {"n_clusters": 3}, {"n_clusters": 6})
    assert grid.best_estimator_.n_features_in_ == X.shape[1]


def engine_stream(chunks, seed=42):
    """The engine fed `chunks` directly: the oracle of the mini-batch estimator."""
    model = PyMiniBatchKMeans(3, random_state=seed)
    for chunk in chunks:
        model.partial_fit(chunk)
    return model


PLAIN = dict(n_init=1, reassignment_ratio=0.0)  # the plain PyMiniBatchKMeans stream


@pytest.mark.parametrize("batch_size, max_iter", [(16, 1), (50, 3), (1024, 2)])
def test_mini_batch_fit_streams_shuffled_batches_through_the_engine(batch_size, max_iter):
    est = MiniBatchKMeans(3, batch_size=batch_size, max_iter=max_iter, random_state=5, **PLAIN).fit(XS)
    order = np.random.default_rng(5)
    passes = [XS[order.permutation(len(XS))] for _ in range(max_iter)]
    chunks = [passes[0][:batch_size]] + [p[i:i + batch_size] for n, p in enumerate(passes)
                                         for i in range(batch_size if n == 0 else 0, len(XS), batch_size)]
    model = engine_stream(chunks, seed=5)
    assert est.cluster_centers_.tolist() == model.centers and est.n_iter_ == max_iter
    assert est.labels_.tolist() == est.predict(XS).tolist()
    assert est.inertia_ == pytest.approx(-est.score(XS), rel=1e-12)


def test_partial_fit_continues_the_engine_stream_even_after_pickling():
    chunks = [XS[i:i + 40] for i in range(0, len(XS), 40)]
    est = MiniBatchKMeans(3, **PLAIN).partial_fit(chunks[0]).partial_fit(chunks[1])
    est = pickle.loads(pickle.dumps(est))
    for chunk in chunks[2:]:
        assert est.partial_fit(chunk) is est
    assert est.cluster_centers_.tolist() == engine_stream(chunks).centers and est.n_iter_ == len(chunks)


@pytest.mark.parametrize("k, n_init, ratio, sizes", [
    (3, 4, 0.01, (30, 12, 40, 25, 5, 60)),      # seeding by the best of 4; a check once 30 rows are in
    (4, 2, 0.5, (12, 50, 50, 50)),              # a high ratio moves several centers per check
    (5, 1, 2.0, (10, 45, 7, 60)),               # every center starved: at most half the chunk (3 of 7) moves
    (3, 3, 0.0, (20, 40, 40)),                  # ratio 0: no check ever moves a center
])
def test_mini_batch_options_follow_the_model(k, n_init, ratio, sizes):
    rng = np.random.default_rng(k)
    chunks = [rng.normal(size=(n, 2)) + rng.choice([0.0, 9.0, 30.0], size=(n, 1)) for n in sizes]
    chunks[0][0] = [500.0, 500.0]  # an outlier the seeding may pick, whose center then starves
    est, model, since = MiniBatchKMeans(k, random_state=3, n_init=n_init, reassignment_ratio=ratio), MiniBatchModel(k, 3), 0
    for n_chunk, chunk in enumerate(chunks):
        since += len(chunk) if n_chunk else 0
        labels, inertia = model.partial_fit(chunk, n_init=n_init, ratio=ratio, reassign=since >= 10 * k)
        since = 0 if since >= 10 * k else since
        est.partial_fit(chunk)
        assert est.cluster_centers_.tolist() == model.centers
        assert (est.labels_.tolist(), est.inertia_) == (labels, inertia)  # each row as it arrived


WEIGHTS = np.random.default_rng(4).integers(0, 4, size=len(XS)).astype(float)


@pytest.mark.parametrize("seed, n_init, weights", [
    (0, 1, WEIGHTS), (7, 3, WEIGHTS), (2, 1, np.ones(len(XS))), (5, 2, np.where(np.arange(len(XS)) % 3, 1.0, 0.0)),
])
def test_whole_weights_fit_as_repeated_rows_bit_for_bit(seed, n_init, weights):
    ours = KMeans(4, random_state=seed, n_init=n_init, n_jobs=2).fit(XS, sample_weight=weights)
    repeated = KMeans(4, random_state=seed, n_init=n_init, n_jobs=1).fit(np.repeat(XS, weights.astype(int), axis=0))
    assert ours.cluster_centers_.tobytes() == repeated.cluster_centers_.tobytes()
    assert (ours.inertia_, ours.n_iter_) == (repeated.inertia_, repeated.n_iter_)
    assert np.repeat(ours.labels_, weights.astype(int)).tolist() == repeated.labels_.tolist()


@pytest.mark.parametrize("weights", [WEIGHTS + 0.25, np.linspace(0.1, 3.0, len(XS))])
def test_fractional_weights_give_weighted_means(weights):
    est = KMeans(3, random_state=1).fit(XS, sample_weight=weights)
    assert est.n_iter_ < est.max_iter  # converged: every center is the weighted mean of its rows
    for c, center in enumerate(est.cluster_centers_):
        rows = est.labels_ == c
        assert np.allclose(center, np.average(XS[rows], axis=0, weights=weights[rows]), rtol=1e-12, atol=1e-12)
    distances = ((XS - est.cluster_centers_[est.labels_]) ** 2).sum(axis=1)
    assert est.inertia_ == pytest.approx(float(weights @ distances), rel=1e-12)


def test_n_init_keeps_the_least_inertia_and_starts_with_kmeans_py():
    inertias = [KMeans(6, random_state=9, n_init=n).fit(XS).inertia_ for n in range(1, 7)]
    assert inertias[0] == kmeans_py(XS, 6, random_state=9).inertia
    assert inertias == sorted(inertias, reverse=True) and inertias[-1] < inertias[0]
    assert KMeans(6, random_state=9, n_init="auto").fit(XS).inertia_ == inertias[0]


def test_init_array_runs_lloyd_from_those_centers():
    start = XS[[0, 60, 140]]
    ours = KMeans(3, init=start).fit(XS)
    peer = PeerKMeans(3, init=start, n_init=1, algorithm="lloyd", tol=0.0).fit(XS)
    assert ours.labels_.tolist() == peer.labels_.tolist()
    assert np.allclose(ours.cluster_centers_, peer.cluster_centers_, rtol=1e-12, atol=1e-12)
    assert ours.n_iter_ == peer.n_iter_ and ours.inertia_ == pytest.approx(peer.inertia_, rel=1e-12)
    with pytest.warns(RuntimeWarning, match="^init gives the starting centers: performing one fit instead of n_init=4$"):
        twin = KMeans(3, init=start, n_init=4).fit(XS)
    assert twin.cluster_centers_.tolist() == ours.cluster_centers_.tolist()


@pytest.mark.parametrize("cls", ESTIMATORS)
@pytest.mark.parametrize("output, container", [("default", np.ndarray), ("pandas", pd.DataFrame)]
                         + ([("polars", polars.DataFrame)] if polars else []))
def test_set_output_and_feature_names(cls, output, container):
    est = cls(3, random_state=0).set_output(transform=output)
    prefix = cls.__name__.lower()
    assert est.set_output() is est  # None keeps the setting
    for result in (est.fit_transform(FRAME), est.transform(FRAME)):
        assert type(result) is container
        assert np.asarray(result).tolist() == est._distances(FRAME.to_numpy(), squared=False).tolist()
        if output != "default":
            assert list(result.columns) == [f"{prefix}0", f"{prefix}1", f"{prefix}2"]
        if output == "pandas":
            assert result.index is FRAME.index
    assert est.get_feature_names_out().tolist() == est.get_feature_names_out(["a", "b", "c"]).tolist()
    assert est.get_feature_names_out().dtype == object


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: KMeans().predict(XS), NotFittedError, "This KMeans instance is not fitted yet"),
        (lambda: KMeans(3).fit(XS).predict(XS[:, :4]), ValueError, "X has 4 features, but KMeans is expecting 13 features"),
        (lambda: KMeans(3).fit(XS[:, 0]), ValueError, "Expected 2D array, got 1D array instead"),
        (lambda: KMeans(200).fit(XS), ValueError, "n_samples=178 should be >= n_clusters=200."),
        (lambda: KMeans(0).fit(XS), ValueError, "n_clusters must be an int >= 1, got 0"),
        (lambda: KMeans(2, random_state=-1).fit(XS), ValueError, "random_state must be a non-negative int, got -1"),
        (lambda: KMeans(2).set_params(k=3), ValueError, "Invalid parameter 'k' for estimator"),
        (lambda: MiniBatchKMeans(3).partial_fit(XS[:2]), ValueError,
         "Data validation error: first partial_fit chunk must have at least n_clusters (3) rows"),
        (lambda: MiniBatchKMeans(3).partial_fit(XS).partial_fit(XS[:, :2]), ValueError,
         "X has 2 features, but MiniBatchKMeans is expecting 13 features"),
        (lambda: MiniBatchKMeans(3, batch_size=0).fit(XS), ValueError, "batch_size must be an int >= 1, got 0"),
        (lambda: MiniBatchKMeans(3).predict(XS), NotFittedError, "This MiniBatchKMeans instance is not fitted yet"),
        (lambda: KMeans(3, n_init=0).fit(XS), ValueError, "n_init must be an int >= 1 or 'auto', got 0"),
        (lambda: KMeans(3, init="random").fit(XS), ValueError,
         "init must be 'k-means++' or an array of shape (n_clusters, n_features), got 'random'"),
        (lambda: KMeans(3, init=XS[:2]).fit(XS), ValueError,
         "init must have shape (n_clusters, n_features) = (3, 13), got (2, 13)"),
        (lambda: KMeans(3, init=np.full((3, 13), np.nan)).fit(XS), ValueError,
         "Data validation error: data contains a non-finite value (NaN) at row 0, column 0"),
        (lambda: KMeans(3).fit(XS, sample_weight=np.ones(5)), ValueError, "sample_weight.shape == (5,), expected (178,)!"),
        (lambda: KMeans(3).fit(XS, sample_weight=-WEIGHTS), ValueError, "sample_weight must be finite and non-negative"),
        (lambda: KMeans(3).fit(XS, sample_weight=0), ValueError,
         "Data validation error: sample_weight is zero for every row"),
        (lambda: MiniBatchKMeans(3, reassignment_ratio=-0.1).partial_fit(XS), ValueError,
         "reassignment_ratio must be a finite number >= 0, got -0.1"),
        (lambda: MiniBatchKMeans(3, n_init=1.5).fit(XS), ValueError, "n_init must be an int >= 1 or 'auto', got 1.5"),
        (lambda: KMeans(3).fit(XS).get_feature_names_out(["a"]), ValueError,
         "input_features should have length equal to number of features (13), got 1"),
        (lambda: KMeans(3).fit(FRAME).get_feature_names_out(["a", "b", "x"]), ValueError,
         "input_features is not equal to feature_names_in_"),
        (lambda: KMeans(3).set_output(transform="arrow"), ValueError,
         "transform must be 'default', 'pandas', 'polars' or None, got 'arrow'"),
    ],
)
def test_errors(call, error, message):
    with pytest.raises(error, match="^" + re.escape(message)):
        call()


@pytest.mark.parametrize("cls", ESTIMATORS)
@pytest.mark.parametrize("fitted", [False, True])
def test_pickle_and_deepcopy(cls, fitted):
    est = cls(3, random_state=2)
    if fitted:
        est.fit(XS)
    for twin in (pickle.loads(pickle.dumps(est)), copy.deepcopy(est)):
        assert twin.get_params() == est.get_params()
        if fitted:
            assert twin.predict(XS).tolist() == est.labels_.tolist() == twin.labels_.tolist()


def damage(state, **changes):
    """`state` with `changes` applied; a change to None deletes the key."""
    return {k: v for k, v in {**state, **changes}.items() if v is not None}


FITTED_STATE = KMeans(3).fit(XS).__getstate__()
MINI_STATE = MiniBatchKMeans(3).fit(XS).__getstate__()


@pytest.mark.parametrize("cls, added", [(KMeans, {"n_init": 1, "init": "k-means++"}),
                                        (MiniBatchKMeans, {"n_init": 1, "reassignment_ratio": 0.0})])
def test_states_from_before_the_options_restore_as_those_fits(cls, added):
    est = cls(3, random_state=1, n_init=2).fit(XS)
    older = {key: value for key, value in est.__getstate__().items() if key not in added}
    twin = cls(5)
    twin.__setstate__(older)
    assert {name: twin.get_params()[name] for name in added} == added
    assert twin.predict(XS).tolist() == est.predict(XS).tolist()


@pytest.mark.parametrize(
    "cls, state",
    [(KMeans, state) for state in [
        "not a dict",
        damage(FITTED_STATE, _segmora_state_version=2),
        damage(FITTED_STATE, _segmora_state_version=None),
        damage(FITTED_STATE, n_clusters=None),
        damage(FITTED_STATE, labels_=None),
        damage(FITTED_STATE, labels_=FITTED_STATE["labels_"] + 5),
        damage(FITTED_STATE, labels_=FITTED_STATE["labels_"].astype(float)),
        damage(FITTED_STATE, cluster_centers_=FITTED_STATE["cluster_centers_"][:, :2]),
        damage(FITTED_STATE, inertia_="1.0"),
    ]] + [(MiniBatchKMeans, state) for state in [
        damage(MINI_STATE, _model=None),
        damage(MINI_STATE, _model="engine"),
        damage(MINI_STATE, _model=PyMiniBatchKMeans(3)),
    ]],
)
def test_damaged_states_are_refused(cls, state):
    est = cls(5)
    with pytest.raises(ValueError, match=f"^cannot restore {cls.__name__}: "):
        est.__setstate__(state)
    assert est.get_params()["n_clusters"] == 5 and not hasattr(est, "labels_")


@pytest.mark.parametrize("cls", ESTIMATORS)
@pytest.mark.parametrize("fit_on, predict_on, outcome", [
    (FRAME, FRAME, None),
    (FRAME, FRAME.to_numpy(), "X does not have valid feature names, but {} was fitted with feature names"),
    (FRAME.to_numpy(), FRAME, "X has feature names, but {} was fitted without feature names"),
    (FRAME, FRAME.rename(columns={"c": "d"}), ValueError(
        "The feature names should match those that were passed during fit.\nFeature names unseen at fit time:\n- d\n"
        "Feature names seen at fit time, yet now missing:\n- c\n")),
    (FRAME, FRAME[["b", "a", "c"]], ValueError(
        "The feature names should match those that were passed during fit.\n"
        "Feature names must be in the same order as they were in fit.\n")),
])
def test_feature_names_at_predict_time(cls, fit_on, predict_on, outcome):
    est = cls(2, random_state=0).fit(fit_on)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if isinstance(outcome, ValueError):
            with pytest.raises(ValueError) as raised:
                est.predict(predict_on)
            assert str(raised.value) == str(outcome)
        else:
            est.predict(predict_on)
    assert [str(w.message) for w in caught] == ([outcome.format(cls.__name__)] if isinstance(outcome, str) else [])
    assert all(w.filename == __file__ for w in caught)
