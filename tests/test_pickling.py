"""Pickling and copying of every module class: equal objects back, damaged states refused."""

import copy
import math
import pickle

import numpy as np
import pytest

import segmora as s

DATA = [[1.0, 2.0], [1.5, 1.8], [8.0, 8.0], [9.0, 9.5]]
RULE = s.PyBehavioralRule("big", "spends", [s.PyCondition("monetary", ">", 100.0), s.PyCondition("frequency", "<=", 2.0)], "or")
SEGMENT = s.PyBehavioralSegment("vip", "top", [RULE], priority=3)
SEEDS = [s.PySeedCustomer("a", [1.0, 0.0], 10.0, "c", {"tier": "gold", "city": "x"}), s.PySeedCustomer("b", [0.8, 0.3])]
EVENTS = [s.PyStreamingEvent(f"c{i % 7}", "purchase", float(i * 37 % 90), 1_700_000_000 + 86_400 * (i % 5), {"k": "v"})
          for i in range(40)]


def after(obj, method, *args):
    """`obj` after one call of `obj.method(*args)`."""
    getattr(obj, method)(*args)
    return obj


def streaming_engine():
    """An engine with buffered events, a baseline, clusters and a re-cluster in its history."""
    engine = s.PyStreamingSegmentationEngine(s.PyStreamingConfig(batch_size=50), s.PyReclusterConfig("none", 3, 2))
    engine.process_batch(EVENTS[:20])
    engine.process_batch(EVENTS[20:30])
    for event in EVENTS[30:33]:
        engine.process_event(event)
    return engine


def minibatch(chunks=(DATA, [[2.0, 2.0], [7.0, 9.0]])):
    model = s.PyMiniBatchKMeans(2, random_state=7)
    for chunk in chunks:
        model.partial_fit(chunk)
    return model


OBJECTS = {
    "PyRFMConfig": lambda: s.PyRFMConfig(7, 3, 1.5, s.PyDecayFunction.inverse(), 10, s.PyScoringMethod.decile()),
    "PyDecayFunction": s.PyDecayFunction.exponential,
    "PyScoringMethod": s.PyScoringMethod.percentile,
    "PySegmentType": s.PySegmentType.cannot_lose,
    "PySegmentProfile": lambda: s.PySegmentProfile(s.PySegmentType.vip()),
    "PyRFMScore": lambda: s.calculate_rfm_py([("a", "2024-01-01T00:00:00Z", 3.5)], s.PyRFMConfig())[0],
    "PyKMeansResult": lambda: s.kmeans_py(DATA, 2),
    "PyAudienceSegmenter": lambda: s.PyAudienceSegmenter(3),
    "PyAudienceSegmenter-fitted": lambda: after(s.PyAudienceSegmenter(2, n_jobs=1), "fit", DATA),
    "PyQualityReport": lambda: s.assess_cluster_quality(DATA, [0, 0, 1, 1], [[1.25, 1.9], [8.5, 8.75]]),
    "PyKEstimationResult": lambda: s.estimate_k_elbow(DATA + [[0.0, 0.5], [4.0, 4.0]], (1, 4)),
    "PyCondition": lambda: s.PyCondition("recency", "<=", 30.0),
    "PyBehavioralRule": lambda: RULE,
    "PyBehavioralSegment": lambda: SEGMENT,
    "PyBehavioralSegmenter": lambda: s.PyBehavioralSegmenter([SEGMENT]),
    "PyChurnRiskLevel": s.PyChurnRiskLevel.critical,
    "PyChurnPrediction": lambda: s._restore("PyChurnPrediction", 1, ("c1", 0.7, 3, 0.9, 30, 2)),
    "PyCustomerLTV": lambda: s.calculate_simple_ltv("c1", 1200.0, 6, 400, 1000),
    "PyLifecycleProfile": lambda: s.classify_lifecycle_stage("c1", 400, 6, 900.0, 20, 1.5),
    "PySegmentHealth": lambda: s.profile_segment(1, [0, 2], {0: [1.0, 5.0, 2.0], 1: [0.5, 0.1, 0.7]}).health,
    "PyProfiledSegment": lambda: s.profile_segment(1, [0, 2], {0: [1.0, 5.0, 2.0], 1: [0.5, 0.1, 0.7]}, ["a", "b"]),
    "PyFeatureDrift": lambda: s.detect_feature_drift("spend", [1.0, 2.0, 3.0], [2.0, 5.0, 9.0], "ks"),
    "PySegmentCompositionChange": lambda: s.detect_segment_composition_change({"a": 5, "b": 2}, {"a": 3, "c": 4})[1],
    "PySeedCustomer": lambda: SEEDS[0],
    "PyLookalikeCandidate": lambda: s.find_similar_customers(SEEDS[0], SEEDS, 1)[0],
    "PyLookalikeAudience": lambda: s.generate_lookalike(SEEDS[:1], SEEDS, percentile_threshold=0.0),
    "PyKAnonymityResult": lambda: s.check_k_anonymity([{"z": "1"}, {"z": "1"}, {"z": "2"}], ["z"], 2),
    "PyPrivacyBudget": lambda: after(s.PyPrivacyBudget(1.0, 1e-5), "consume", 0.25),
    "PyCohort": lambda: after(s.create_cohort("c1", "weekly", 100, [("a", 5.0, True), ("b", 2.5, False), ("c", 1.0, True)]),
                              "add_retention_point", 3, 1),
    "PyKPrototypesResult": lambda: s.kprototypes_py(DATA, [["x", 1], ["y", 1], ["x", 2], ["x", 2]], 2),
    "PyMiniBatchKMeans": minibatch,
    "PyMiniBatchKMeans-unseeded": lambda: minibatch(()),
    "PyMiniBatchKMeans-no-columns": lambda: minibatch(chunks=[[[], [], []]]),
    "PyStreamingEvent": lambda: EVENTS[3],
    "PyStreamingConfig": lambda: s.PyStreamingConfig(7, 100, "day", 0.5),
    "PyReclusterConfig": lambda: s.PyReclusterConfig("medium", 3, 2),
    "PyStreamingSegmentUpdate":
        lambda: s.PyStreamingSegmentationEngine(s.PyStreamingConfig()).process_batch(EVENTS[:8])[7],
    "PyStreamingSegmentationEngine": streaming_engine,
    "PyReclusterEvent": lambda: streaming_engine().recluster_history()[0],
    "DriftReference": lambda: s.DriftReference({"spend": [3.0, -0.0, 1e300, float("nan")], "store": [7, 7, 2, None],
                                                "channel": ["web", "app", "web", "web"]}, categorical=["store"]),
}


def test_every_native_class_is_covered():
    native = {n for n in vars(s) if isinstance(getattr(s, n), type) and hasattr(getattr(s, n), "_from_state")}
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


def test_restored_objects_keep_their_meaning():
    assert pickle.loads(pickle.dumps(s.PyBehavioralSegmenter([SEGMENT]))).classify({"monetary": 500.0}) == ["vip"]
    customer = pickle.loads(pickle.dumps(s.PySeedCustomer("a", [1.0], categorical_features={"b": "1", "a": "2"})))
    assert customer.__reduce__()[1][2][4] == [("a", "2"), ("b", "1")]  # by key, never hash order


KEY = ([1] * 8, 0, 64)  # a generator that has drawn nothing


def engine_state(buffer=0, customers=("a", "b"), rule=1, baseline=None, counts=(1, 1, 1.0)):
    """A streaming engine's state with batch_size 3; the first customer's frequency, event_count and total_value."""
    event = ("a", [], 1.0, 0, 0)
    frequency, event_count, total_value = counts
    rows = [(c, 0, frequency, 1.0, 0, event_count, total_value, (False, rule if i else 0)) if i == 0 else
            (c, 0, 1, 1.0, 0, 1, 1.0, (False, rule)) for i, c in enumerate(customers)]
    return ((3, 5000, 0.95, 1), (30, 4, 3), [event] * buffer, 0, rows, baseline, [])


TX = [("a", "2024-01-01T00:00:00Z", 1.0), ("b", "2024-02-01T00:00:00Z", 5.0)]
STATEFUL = {
    "PyRFMConfig": (OBJECTS["PyRFMConfig"], lambda c: [repr(x) for x in s.calculate_rfm_py(TX, c)]),
    "PyAudienceSegmenter-fitted": (OBJECTS["PyAudienceSegmenter-fitted"], lambda seg: seg.predict([[8.5, 8.5], [1.0, 1.0]])),
    "PyBehavioralSegmenter": (OBJECTS["PyBehavioralSegmenter"], lambda b: [b.export_sql(), b.classify({"monetary": 500.0})]),
    "PyStreamingSegmentationEngine": (streaming_engine, lambda e: [
        [u.__reduce__()[1] for u in e.process_batch(EVENTS[5:30])], e.get_all_segments(), e.segment_distribution(),
        e.buffer_size(), [d.__reduce__()[1][2][:2] for d in e.check_drift()], len(e.recluster_history())]),
    "PyMiniBatchKMeans": (minibatch, lambda m: [m.partial_fit([[5.0, 5.0], [0.0, 1.0]]), m.centers, m.predict(DATA)]),
    "PyMiniBatchKMeans-unseeded": (lambda: minibatch(()), lambda m: [m.partial_fit(DATA), m.centers, repr(m)]),
    "PyPrivacyBudget": (OBJECTS["PyPrivacyBudget"], lambda b: [b.consume(0.5), b.consume(0.5), b.remaining_epsilon, b.budget_exhausted()]),
    "PyCohort": (OBJECTS["PyCohort"], lambda c: [c.add_retention_point(5, 0), c.summary(), c.retention_curve, repr(c)]),
    "DriftReference": (OBJECTS["DriftReference"], lambda r: str(r.compare(
        {"spend": [1.0, 2.0], "store": [7.0, 3.0], "channel": ["app", "shop"]}, ["chi_square", "psi", "jensen_shannon"]))),
}


@pytest.mark.parametrize("make, use", list(STATEFUL.values()), ids=list(STATEFUL))
def test_restored_state_continues_like_the_original(make, use):
    original = make()
    twin = pickle.loads(pickle.dumps(original))
    assert use(twin) == use(original)
    assert twin.__reduce__()[1] == original.__reduce__()[1]


@pytest.mark.parametrize("name, version, state, reason", [
    *[("PyRFMConfig", v, (90, 1, 0.0, 0, 30, 0), "unknown state format (this version reads format 1)")
      for v in (2, "1")],
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
    ("PyChurnRiskLevel", 1, (5,), "item 0 is not a valid choice"),
    ("PyChurnPrediction", 1, ("c", 0.5, 1, 0.5, 3, 3), "item 5 is not a valid choice"),
    ("PyLifecycleProfile", 1, ("c", 7, 1.0, 1, 1.0, 1.0, 1.0, 1.0), "item 1 is not a valid choice"),
    ("PyProfiledSegment", 1, (1, 2, 0.5, "d", [], (0.5, 0.5, 0.0, 0.0), 1.0, [], []), "item 4 is empty"),
    ("PyFeatureDrift", 1, ("f", 0.1, (0.0,) * 9, (0.0,) * 8, 0, 0), "the state has 8 items, expected 9"),
    ("PySeedCustomer", 1, ("a", [1.0], 0.0, "", [("k", "1"), ("k", "2")]), "item 4 repeats a key"),
    *[("PyPrivacyBudget", 2, (1.0, 0.0, r), "remaining_epsilon is not between 0 and epsilon")
      for r in ([1.5], [-0.5], [1.0, 2.0**-60])],
    ("PyPrivacyBudget", 2, (1.0, 0.0, [math.inf, -math.inf]), "a part of the remainder is not finite"),
    ("PyPrivacyBudget", 2, (0.0, 0.0, []), "epsilon must be finite and > 0, got 0"),
    ("PyPrivacyBudget", 2, (1.0, 1.5, [0.5]), "delta must be in [0, 1), got 1.5"),
    ("PyPrivacyBudget", 1, (1.0, 0.0, 0.5), "unknown state format (this version reads format 2)"),
    *[("PyCohort", 1, ("c", 0, 0, 2, 1.0, [p]), "the curve does not start with age 0") for p in [(1, 1), (0, 3)]],
    ("PyCohort", 1, ("c", 0, 0, -2, 1.0, [(0, 0)]), "item 3 has the wrong type or range"),
    ("PyKPrototypesResult", 1, ([0], [[1.0]], [[1]], 0.5, 0.0, 1, [["x"]]), "mode code 1 has no value in column 0"),
    ("PyKPrototypesResult", 1, ([0], [[1.0]], [[0], [0]], 0.5, 0.0, 1, [["x"]]),
     "the modes do not match the centers"),
    ("PyKPrototypesResult", 1, ([0], [[1.0]], [[0]], 0.5, 0.0, 1, [[1.5]]), "item 6 has the wrong type or range"),
    ("PyMiniBatchKMeans", 1, (2, KEY, [[1.0], [2.0]], [1]), "2 x 1 centers and 1 counts do not fit n_clusters 2"),
    ("PyMiniBatchKMeans", 1, (2, KEY, [[1.0]], [1, 1]), "1 x 1 centers and 2 counts do not fit n_clusters 2"),
    ("PyMiniBatchKMeans", 1, (2, KEY, None, [1, 1]), "centers and counts must come together"),
    *[("PyMiniBatchKMeans", 1, (2, ([1] * 8, *p), None, None), "the generator position is not reachable")
      for p in [(0, 3), (6, 64)]],
    ("PyMiniBatchKMeans", 1, (2, ([1] * 7, 0, 64), None, None), "the generator key is not 8 words"),
    ("PyMiniBatchKMeans", 1, (0, KEY, None, None), "n_clusters must be > 0"),
    *[("PyMiniBatchKMeans", 1, (2, KEY, [[1.0], [v]], [1, 1]), "the centers are not all finite") for v in (math.nan, -math.inf)],
    ("PyMiniBatchKMeans", 1, (2, KEY, [[1.0], [2.0]], [1, 2**64 - 1]), "a count cannot grow"),
    ("PyStreamingSegmentUpdate", 1, ("c", None, (False, 5), 0.85, 0), "unknown segment rule 5"),
    ("PyStreamingEvent", 1, ("c", [("k", "v")], 1.0, 0, 4), "item 4 is not a valid choice"),
    ("PyStreamingEvent", 1, ("c", [("k", "v"), ("j", "w"), ("k", "v")], 1.0, 0, 0), "item 1 repeats a key"),
    ("PyStreamingConfig", 1, (100, 5000, 0.95, 4), "item 3 is not a valid choice"),
    ("PyReclusterConfig", 1, (30, 4, 5), "item 2 is not a valid choice"),
    *[("PyStreamingSegmentationEngine", 1, engine_state(**change), reason) for change, reason in [
        ({"buffer": 3}, "a buffer of 3 events does not fit batch_size 3"),
        ({"customers": ["a", "b", "a"]}, "customer 'a' appears twice"),
        ({"rule": 9}, "unknown segment rule 9"),
        ({"baseline": ([1.0], [1.0, 2.0], [1.0])}, "the baseline columns do not match the customers"),
        ({"baseline": ([1.0] * 3,) * 3}, "the baseline columns do not match the customers"),
        ({"counts": (2**64 - 1, 2**64 - 1, 1.0)}, "customer 'a' has a count that cannot grow"),
        ({"counts": (2, 2**64 - 1, 1.0)}, "customer 'a' has a count that cannot grow"),
        ({"counts": (2, 3, 1.0)}, "customer 'a' has frequency 2 but event_count 3"),
        ({"counts": (1, 1, 1.5)}, "customer 'a' has monetary 1 but total_value 1.5"),
        ({"counts": (1, 1, -0.0)}, "customer 'a' has monetary 1 but total_value -0"),
    ]],
    *[("DriftReference", 1, (columns,), reason) for columns, reason in [
        ([], "item 0 is not a list of columns"),
        ([("a", 0, 0, b"\0" * 8), ("a", 0, 0, b"\0" * 8)], "column 'a' appears twice"),
        ([("a", 3, 0, [])], "item 1 is not a valid choice"),
        ([("a", 0, 0, b"\0" * 7)], "column 'a' has no values as float64 bytes"),
        ([("a", 0, 0, np.array([2.0, 1.0]).tobytes())], "column 'a' has values that are not sorted numbers"),
        ([("a", 0, 0, np.array([1.0, np.nan]).tobytes())], "column 'a' has values that are not sorted numbers"),
        ([("a", 1, 0, [("x", 1), ("x", 2)])], "column 'a' counts category 'x' twice"),
        ([("a", 2, 5, [("x", 0)])], "column 'a' has no values"),
    ]]])
def test_damaged_states_are_refused(name, version, state, reason):
    with pytest.raises(ValueError) as caught:
        s._restore(name, version, state)
    assert type(caught.value) is ValueError
    assert str(caught.value).startswith(f"cannot restore {name}: {reason}")
