"""Estimator classes in scikit-learn's shape: checks, clone, Pipeline, GridSearchCV, pickling."""

import copy
import pickle
import re
import warnings

import numpy as np
import pandas as pd
import pytest
from sklearn.base import clone
from sklearn.datasets import load_wine
from sklearn.exceptions import NotFittedError
from sklearn.model_selection import GridSearchCV
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import check_estimator

from segmora import KMeans, MiniBatchKMeans, PyMiniBatchKMeans, kmeans_py

X = load_wine().data
XS = StandardScaler().fit_transform(X)
ESTIMATORS = [KMeans, MiniBatchKMeans]

# Checks that cannot apply, with the reason. Sample-weight checks are not run at
# all (fit takes no sample_weight); sparse input is refused with a message
# naming it, which the sparse checks accept.
NOT_APPLICABLE = {
    "check_array_api_input": "needs SCIPY_ARRAY_API and an array-API namespace; the engines read NumPy buffers",
}


@pytest.mark.parametrize("cls", ESTIMATORS)
def test_passes_scikit_learn_estimator_checks(cls):
    with warnings.catch_warnings(action="ignore"):
        results = check_estimator(cls(), on_fail=None, on_skip=None)
    outcome = {r["check_name"]: r["status"] for r in results}
    assert {name for name, status in outcome.items() if status != "passed"} <= set(NOT_APPLICABLE)
    assert not any(name.startswith("check_sample_weight") for name in outcome)
    assert len(outcome) > 40


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


@pytest.mark.parametrize("batch_size, max_iter", [(16, 1), (50, 3), (1024, 2)])
def test_mini_batch_fit_streams_shuffled_batches_through_the_engine(batch_size, max_iter):
    est = MiniBatchKMeans(3, batch_size=batch_size, max_iter=max_iter, random_state=5).fit(XS)
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
    est = MiniBatchKMeans(3).partial_fit(chunks[0]).partial_fit(chunks[1])
    est = pickle.loads(pickle.dumps(est))
    for chunk in chunks[2:]:
        assert est.partial_fit(chunk) is est
    assert est.cluster_centers_.tolist() == engine_stream(chunks).centers
    assert (est.n_iter_, est.labels_.tolist()) == (len(chunks), est.predict(chunks[-1]).tolist())


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


FRAME = pd.DataFrame(XS[:, :3], columns=["a", "b", "c"])


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
