"""Estimator classes in scikit-learn's shape: checks, clone, Pipeline, GridSearchCV, pickling."""

import copy
import pickle
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

from segmora import KMeans, kmeans_py

X = load_wine().data
XS = StandardScaler().fit_transform(X)

# Checks that cannot apply, with the reason. Sample-weight checks are not run at
# all (fit takes no sample_weight); sparse input is refused with a message
# naming it, which the sparse checks accept.
NOT_APPLICABLE = {
    "check_array_api_input": "needs SCIPY_ARRAY_API and an array-API namespace; the engines read NumPy buffers",
}


def test_passes_scikit_learn_estimator_checks():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        results = check_estimator(KMeans(), on_fail=None, on_skip=None)
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


def test_clone_pipeline_and_grid_search():
    est = KMeans(4, random_state=np.int64(3))
    twin = clone(est)
    assert twin.get_params()["random_state"] is est.random_state and twin is not est
    pipe = make_pipeline(StandardScaler(), KMeans(3, random_state=1)).fit(pd.DataFrame(X))
    assert pipe.predict(pd.DataFrame(X)).tolist() == KMeans(3, random_state=1).fit(XS).labels_.tolist()
    grid = GridSearchCV(KMeans(random_state=0), {"n_clusters": [2, 3, 6]}, cv=3,
                        scoring=lambda e, data, y=None: -e.inertia_ / len(data) - 0.5 * e.n_clusters).fit(XS)
    assert grid.best_params_ in ({"n_clusters": 2}, {"n_clusters": 3}, {"n_clusters": 6})
    assert grid.best_estimator_.n_features_in_ == X.shape[1]


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
    ],
)
def test_errors(call, error, message):
    with pytest.raises(error, match="^" + message.replace("(", r"\(")):
        call()


@pytest.mark.parametrize("fitted", [False, True])
def test_pickle_and_deepcopy(fitted):
    est = KMeans(3, random_state=2)
    if fitted:
        est.fit(XS)
    for twin in (pickle.loads(pickle.dumps(est)), copy.deepcopy(est)):
        assert twin.get_params() == est.get_params()
        if fitted:
            assert twin.predict(XS).tolist() == est.labels_.tolist() == twin.labels_.tolist()


def damage(state, **changes):
    state = dict(state)
    for key, value in changes.items():
        if value is None:
            del state[key]
        else:
            state[key] = value
    return state


FITTED_STATE = KMeans(3).fit(XS).__getstate__()


@pytest.mark.parametrize(
    "state",
    [
        "not a dict",
        damage(FITTED_STATE, _segmora_state_version=2),
        damage(FITTED_STATE, _segmora_state_version=None),
        damage(FITTED_STATE, n_clusters=None),
        damage(FITTED_STATE, labels_=None),
        damage(FITTED_STATE, labels_=FITTED_STATE["labels_"] + 5),
        damage(FITTED_STATE, labels_=FITTED_STATE["labels_"].astype(float)),
        damage(FITTED_STATE, cluster_centers_=FITTED_STATE["cluster_centers_"][:, :2]),
        damage(FITTED_STATE, inertia_="1.0"),
    ],
)
def test_damaged_states_are_refused(state):
    est = KMeans(5)
    with pytest.raises(ValueError, match="^cannot restore KMeans: "):
        est.__setstate__(state)
    assert est.get_params()["n_clusters"] == 5 and not hasattr(est, "labels_")
