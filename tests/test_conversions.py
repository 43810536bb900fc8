"""Everyday Python, NumPy and pandas forms of arguments: each form is read as its
plain equivalent, and each refusal names the argument, the place and the type."""
import datetime as dt

import numpy as np
import pandas as pd
import pytest

import segmora

X = np.array([[0.0, 0.0], [0.2, 0.1], [5.0, 5.0], [5.3, 4.9], [9.0, 0.5]])
IDS, STAMPS, AMOUNTS = ["a", "b", "a", "c"], ["2024-01-05T10:00:00Z", "2024-02-01T00:00:00Z",
                                              "2024-03-20T08:00:00Z", "2024-03-31T23:00:00Z"], [10.0, 5.0, 7.5, 2.0]
APRIL = "2024-04-01T00:00:00Z"
APRIL_SECONDS = 1711929600
TX = list(zip(IDS, STAMPS, AMOUNTS))
ENGINE_SIDE = (["s"], X[:1]), (["p", "q", "r", "s", "t"], X)


def rfm(as_of):
    return segmora.rfm_from_columns(IDS, STAMPS, AMOUNTS, as_of=as_of)


def fitted_centers(model):
    return model.fit(X).cluster_centers_.tolist()


# (name, call with the everyday form, call with the plain form)
FORMS = [
    ("np.int64 count", lambda: fitted_centers(segmora.KMeans(np.int64(2), n_init=np.int64(2))),
     lambda: fitted_centers(segmora.KMeans(2, n_init=2))),
    ("np.int64 bins", lambda: segmora.population_stability_index(X[:, 0], X[:, 1], bins=np.int64(3)),
     lambda: segmora.population_stability_index(X[:, 0], X[:, 1], bins=3)),
    ("np.float64 and np.int64", lambda: segmora.lookalike_audience(*ENGINE_SIDE, percentile_threshold=np.float64(0.6),
                                                                   max_lookalikes=np.int64(2))["customer_id"],
     lambda: segmora.lookalike_audience(*ENGINE_SIDE, percentile_threshold=0.6, max_lookalikes=2)["customer_id"]),
    ("np.bool_", lambda: segmora.rfm_partition_columns(IDS, STAMPS, AMOUNTS, [0, 1, 2, 3], "2024-03-01T00:00:00Z",
                                                      cut_off=np.bool_(False))[0],
     lambda: segmora.rfm_partition_columns(IDS, STAMPS, AMOUNTS, [0, 1, 2, 3], "2024-03-01T00:00:00Z",
                                           cut_off=False)[0]),
    ("np.datetime64 as_of", lambda: rfm(np.datetime64("2024-04-01")), lambda: rfm(APRIL)),
    ("date as_of", lambda: rfm(dt.date(2024, 4, 1)), lambda: rfm(APRIL)),
    ("naive Timestamp as_of (UTC)", lambda: rfm(pd.Timestamp("2024-04-01")), lambda: rfm(APRIL)),
    ("aware Timestamp as_of", lambda: rfm(pd.Timestamp("2024-04-01 02:00", tz="Europe/Paris")), lambda: rfm(APRIL)),
    ("date-time forms of now", lambda: [segmora.rfm_partition_values(TX, segmora.PyRFMConfig(), now)
                                        for now in (np.datetime64(APRIL[:-1]), dt.date(2024, 4, 1),
                                                    pd.Timestamp(APRIL), APRIL_SECONDS)],
     lambda: [segmora.rfm_partition_values(TX, segmora.PyRFMConfig(), APRIL)] * 4),
    ("datetime64, date and Timestamp items as seconds",
     lambda: segmora.wasserstein_distance([np.datetime64("2024-04-01"), dt.date(2024, 4, 4)],
                                          [pd.Timestamp("2024-04-02 01:00", tz="Europe/Paris")]),
     lambda: segmora.wasserstein_distance([APRIL_SECONDS, APRIL_SECONDS + 3 * 86400], [APRIL_SECONDS + 86400])),
    ("Series with its own index", lambda: segmora.kmeans_chunk_inertia(X, X[:2], pd.Series([0, 1, 1, 0, 1], index=[9, 7, 5, 3, 1])),
     lambda: segmora.kmeans_chunk_inertia(X, X[:2], [0, 1, 1, 0, 1])),
    ("Series of counts", lambda: segmora.chi_square_test(pd.Series(["web", "app", "web"]).value_counts(), {"web": 1, "app": 2}),
     lambda: segmora.chi_square_test({"web": 2, "app": 1}, {"web": 1, "app": 2})),
    ("aware Timestamp as_of of the CLV summary",
     lambda: segmora.clv_summary_from_columns(IDS, STAMPS, AMOUNTS, as_of=pd.Timestamp("2024-04-01 02:00", tz="Europe/Paris")),
     lambda: segmora.clv_summary_from_columns(IDS, STAMPS, AMOUNTS, as_of=APRIL)),
    ("Series of weights", lambda: segmora.KMeans(2).fit(X, sample_weight=pd.Series([1, 2, 1, 1, 3])).inertia_,
     lambda: segmora.KMeans(2).fit(X, sample_weight=[1, 2, 1, 1, 3]).inertia_),
]


def comparable(value):
    if isinstance(value, dict):
        return {k: np.asarray(v).tolist() for k, v in value.items()}
    return value


@pytest.mark.parametrize("name,given,plain", FORMS, ids=[f[0] for f in FORMS])
def test_everyday_forms_read_as_their_plain_equivalents(name, given, plain):
    assert comparable(given()) == comparable(plain())


CONFIG = segmora.PyRFMConfig()
EVENT = segmora.PyStreamingEvent("c", "purchase", 1.0, 0)

REFUSALS = [
    (lambda: segmora.calculate_rfm_py([TX[0], ("b", APRIL_SECONDS, 5.0)], CONFIG), TypeError,
     "argument 'transactions': item 1, element 1: 'int' object cannot be converted to 'str'"),
    (lambda: segmora.PyStreamingEvent(7, "purchase", 1.0, 0), TypeError,
     "argument 'customer_id': 'int' object cannot be converted to 'str'"),
    (lambda: segmora.PyStreamingEvent("c", "purchase", 1.0, pd.Timestamp(APRIL)), TypeError,
     "argument 'timestamp': 'Timestamp' object cannot be interpreted as an integer"),
    (lambda: segmora.PyStreamingSegmentationEngine(segmora.PyStreamingConfig()).process_batch([EVENT, "e"]), TypeError,
     "argument 'events': item 1: 'str' object cannot be converted to 'PyStreamingEvent'"),
    (lambda: segmora.create_cohort("c", "monthly", 0, [("x", 1.0, np.bool_(True)), ("y", 1.0, 1)]), TypeError,
     "argument 'customers': item 1, element 2: 'int' object cannot be converted to 'bool'"),
    (lambda: segmora.kmeans_py([[1.0, 2.0], [3.0, "4"]], 1), TypeError,
     "argument 'data': row 1, column 1: must be real number, not str"),
    (lambda: segmora.silhouette_score(X, [0, 1, 0, 1, 2.0]), TypeError,
     "argument 'labels': item 4: 'float' object cannot be interpreted as an integer"),
    (lambda: segmora.chi_square_drift(pd.Series({"a": 1}), {"a": 1}), TypeError,
     "argument 'baseline_counts': 'Series' object cannot be converted to 'PyDict'"),
    (lambda: segmora.chi_square_drift({"a": 1, "b": -2}, {"a": 1}), OverflowError,
     "argument 'baseline_counts': value of 'b': can't convert negative int to unsigned"),
    (lambda: segmora.check_k_anonymity([{"zip": "1"}, {"zip": "1", 3: "x"}], ["zip"], 2), TypeError,
     "argument 'data': item 1, entry 1: 'int' object cannot be converted to 'PyString'"),
    (lambda: segmora.rfm_partition_columns(IDS, STAMPS, AMOUNTS, [0, 1, 2, 3], APRIL, cut_off=1), TypeError,
     "argument 'cut_off': 'int' object cannot be converted to 'bool'"),
    (lambda: segmora.rfm_partition_values(TX, CONFIG, None), TypeError,
     "argument 'now': expected a datetime, date, datetime64, int (epoch seconds) or RFC 3339 str, not NoneType"),
    (lambda: segmora.KMeans(np.float64(2.0)).fit(X), ValueError, "n_clusters must be an int >= 1, got np.float64(2.0)"),
]


@pytest.mark.parametrize("call,exc,message", REFUSALS, ids=[r[2].split(":")[0] + str(i) for i, r in enumerate(REFUSALS)])
def test_each_refusal_names_the_argument_the_place_and_the_type(call, exc, message):
    with pytest.raises(exc) as error:
        call()
    assert type(error.value) is exc and str(error.value) == message
