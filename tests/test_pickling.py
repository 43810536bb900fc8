"""Pickling and copying of every module class: equal objects back, damaged states refused."""

import copy
import pickle

import pytest

import segmora as s

DATA = [[1.0, 2.0], [1.5, 1.8], [8.0, 8.0], [9.0, 9.5]]
RULE = s.PyBehavioralRule("big", "spends", [s.PyCondition("monetary", ">", 100.0), s.PyCondition("frequency", "<=", 2.0)], "or")
SEGMENT = s.PyBehavioralSegment("vip", "top", [RULE], priority=3)


def fitted_segmenter():
    seg = s.PyAudienceSegmenter(2, n_jobs=1)
    seg.fit(DATA)
    return seg


OBJECTS = {
    "PyRFMConfig": lambda: s.PyRFMConfig(7, 3, 1.5, s.PyDecayFunction.inverse(), 10, s.PyScoringMethod.decile()),
    "PyDecayFunction": s.PyDecayFunction.exponential,
    "PyScoringMethod": s.PyScoringMethod.percentile,
    "PySegmentType": s.PySegmentType.cannot_lose,
    "PySegmentProfile": lambda: s.PySegmentProfile(s.PySegmentType.vip()),
    "PyRFMScore": lambda: s.calculate_rfm_py([("a", "2024-01-01T00:00:00Z", 3.5)], s.PyRFMConfig())[0],
    "PyKMeansResult": lambda: s.kmeans_py(DATA, 2),
    "PyAudienceSegmenter": lambda: s.PyAudienceSegmenter(3),
    "PyAudienceSegmenter-fitted": fitted_segmenter,
    "PyQualityReport": lambda: s.assess_cluster_quality(DATA, [0, 0, 1, 1], [[1.25, 1.9], [8.5, 8.75]]),
    "PyKEstimationResult": lambda: s.estimate_k_elbow(DATA + [[0.0, 0.5], [4.0, 4.0]], (1, 4)),
    "PyCondition": lambda: s.PyCondition("recency", "<=", 30.0),
    "PyBehavioralRule": lambda: RULE,
    "PyBehavioralSegment": lambda: SEGMENT,
    "PyBehavioralSegmenter": lambda: s.PyBehavioralSegmenter([SEGMENT]),
}


def test_every_native_class_is_covered():
    native = {n for n in vars(s) if n.startswith("Py") and isinstance(getattr(s, n), type)}
    assert native == {name.split("-")[0] for name in OBJECTS}


@pytest.mark.parametrize("make", list(OBJECTS.values()), ids=list(OBJECTS))
@pytest.mark.parametrize("copier", [lambda o: pickle.loads(pickle.dumps(o)), copy.deepcopy, copy.copy],
                         ids=["pickle", "deepcopy", "copy"])
def test_round_trip_gives_an_equal_object(make, copier):
    original = make()
    twin = copier(original)
    assert type(twin) is type(original) and twin is not original
    assert twin.__reduce__()[1] == original.__reduce__()[1]
    assert repr(twin).split(" object at ")[0] == repr(original).split(" object at ")[0]


def test_restored_objects_behave_alike():
    seg = pickle.loads(pickle.dumps(fitted_segmenter()))
    assert seg.predict([[8.5, 8.5], [1.0, 1.0]]) == fitted_segmenter().predict([[8.5, 8.5], [1.0, 1.0]])
    segmenter = pickle.loads(pickle.dumps(s.PyBehavioralSegmenter([SEGMENT])))
    assert segmenter.export_sql() == s.PyBehavioralSegmenter([SEGMENT]).export_sql()
    assert segmenter.classify({"monetary": 500.0}) == ["vip"]
    config = pickle.loads(pickle.dumps(OBJECTS["PyRFMConfig"]()))
    tx = [("a", "2024-01-01T00:00:00Z", 1.0), ("b", "2024-02-01T00:00:00Z", 5.0)]
    assert [repr(x) for x in s.calculate_rfm_py(tx, config)] == [repr(x) for x in s.calculate_rfm_py(tx, OBJECTS["PyRFMConfig"]())]


@pytest.mark.parametrize(
    "name, version, state, reason",
    [
        ("PyRFMConfig", 2, (90, 1, 0.0, 0, 30, 0), "unknown state format (this version reads format 1)"),
        ("PyRFMConfig", "1", (90, 1, 0.0, 0, 30, 0), "unknown state format (this version reads format 1)"),
        ("PyRFMConfig", 1, [90, 1, 0.0, 0, 30, 0], "the state is not a tuple"),
        ("PyRFMConfig", 1, (90, 1, 0.0, 0, 30), "the state has 5 items, expected 6"),
        ("PyRFMConfig", 1, (90, 1, 0.0, 3, 30, 0), "item 3 is not a valid choice"),
        ("PyRFMConfig", 1, (-1, 1, 0.0, 0, 30, 0), "item 0 has the wrong type or range"),
        ("PyRFMConfig", 1, (90, 1, "0", 0, 30, 0), "item 2 has the wrong type or range"),
        ("PySegmentType", 1, (13,), "item 0 is not a valid choice"),
        ("PyRFMScore", 1, ("a", "Winners", 1.0, 1.0, 1.0, 5, 5, 5), "unknown segment name 'Winners'"),
        ("PyKMeansResult", 1, ([0, 2], [[1.0], [2.0]], 0.0, 1), "label 2 is not below the 2 centers"),
        ("PyKMeansResult", 1, ([0], [[1.0, 2.0], [3.0]], 0.0, 1), "the centers are not a matrix"),
        ("PyAudienceSegmenter", 1, (2, -1, 42, [0], None), "labels and centers must come together"),
        ("PyAudienceSegmenter", 1, (3, -1, 42, [0], [[1.0]]), "the centers do not match n_clusters"),
        ("PyKEstimationResult", 1, ("guess", [], 2, 0.5), "unknown method 'guess'"),
        ("PyCondition", 1, ("total spend", 0, 1.0), "Invalid configuration: Invalid SQL identifier 'total spend'"),
        ("PyBehavioralRule", 1, ("r", "d", [], 2), "item 3 is not a valid choice"),
        ("PyBehavioralSegment", 1, ("s", "d", ("r",), 0), "item 2 is not a list"),
        ("PyNoSuchClass", 1, (), "no such segmora class"),
    ],
)
def test_damaged_states_are_refused(name, version, state, reason):
    with pytest.raises(ValueError) as caught:
        s._restore(name, version, state)
    assert type(caught.value) is ValueError
    assert str(caught.value).startswith(f"cannot restore {name}: {reason}")
