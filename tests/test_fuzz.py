"""Property-based fuzzing of every public entry point: whatever the arguments,
only the documented exception classes come out (and nothing crashes).

One row per entry point: its callable and a strategy for its positional
arguments, each slot either a plausible value (to reach the computation) or
anything hostile. SEGMORA_FUZZ_EXAMPLES sets the examples per entry point
(default 25; CI's long run uses more)."""
import os
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import segmora as sg

EXAMPLES = int(os.environ.get("SEGMORA_FUZZ_EXAMPLES", "25"))
DOCUMENTED = (TypeError, ValueError, OverflowError, RuntimeError)


class Boom:
    """A number or sequence whose conversion raises."""

    def __float__(self):
        raise ZeroDivisionError("boom")

    __index__ = __len__ = __float__

    def __getitem__(self, i):
        return 1.0


class Emptier:
    """A number whose conversion empties the list it sits in."""
    victim = []

    def __float__(self):
        self.victim.clear()
        return 1.0

    def __index__(self):
        return int(self.__float__())


CALLER_RAISED = (ZeroDivisionError, IndexError)  # raised by the callbacks, by a list emptied mid-conversion

ints = st.one_of(st.integers(-3, 12), st.sampled_from([2**31 - 1, 2**31, -(2**31) - 1, 2**63, 2**64 - 1, 2**64, -(2**70)]))
floats = st.floats(allow_nan=True, allow_infinity=True)
scalars = st.one_of(st.none(), st.booleans(), ints, floats, st.text(max_size=6), st.binary(max_size=4),
                    st.builds(Boom))
numbers = st.one_of(floats, st.integers(-5, 5), st.booleans(), st.builds(Boom), st.builds(Emptier))
ragged_rows = st.lists(st.one_of(st.lists(numbers, max_size=4), st.tuples(numbers, numbers), scalars), max_size=6)


@st.composite
def arrays(draw):
    """Small NumPy arrays of odd dtypes, strides, alignment and values."""
    shape = draw(st.sampled_from([(0,), (3,), (0, 2), (4, 2), (2, 3), (3, 1), (2, 2, 2)]))
    a = np.arange(float(np.prod(shape))).reshape(shape)
    if a.size and draw(st.booleans()):
        a.flat[draw(st.integers(0, a.size - 1))] = draw(st.sampled_from([np.nan, np.inf, -np.inf, 1e308]))
    layout = draw(st.sampled_from(["plain", "strided", "transposed", "unaligned", "readonly"]))
    if layout == "unaligned":
        u = np.frombuffer(bytearray(a.nbytes + 1), dtype="f8", offset=1, count=a.size).reshape(shape)
        u[...] = a
        return u
    a = {"strided": np.repeat(a, 2, axis=0)[::2], "transposed": a.T}.get(layout, a)
    a.flags.writeable = layout != "readonly"
    return a.astype(draw(st.sampled_from(["f8", "f4", "i8", "u1", ">f8", "c16", "?", "O"])), copy=False)


anything = st.one_of(scalars, ragged_rows, arrays(), st.lists(scalars, max_size=4), st.dictionaries(st.text(max_size=3), numbers, max_size=3))
good_rows = st.one_of(st.lists(st.lists(st.floats(-1e3, 1e3), min_size=2, max_size=2), max_size=6), arrays())
labels = st.lists(st.integers(0, 4), max_size=7)
k_range = st.tuples(st.integers(0, 7), st.integers(0, 7))
# Writable outputs of the block functions: totals or distances (float64), labels (int64), of any length.
totals = st.builds(lambda n, fill: np.full(n, fill), st.integers(0, 24), st.sampled_from([0.0, -np.inf, np.nan]))
int64s = st.builds(lambda n, fill: np.full(n, fill, dtype=np.int64), st.integers(0, 7), st.sampled_from([0, 3, -1]))
timestamps = st.one_of(st.just("2024-01-01T00:00:00Z"), st.just("2024-02-29T23:59:60+14:00"), st.text(max_size=25))
transactions = st.lists(st.one_of(st.tuples(st.text(max_size=4), timestamps, numbers), scalars), max_size=6)
names = st.one_of(st.sampled_from(["champions", "at_risk", "x", "spent", ""]), st.text(max_size=8))
dialects = st.one_of(st.sampled_from(["ansi", "postgresql", "BigQuery", "x"]), st.text(max_size=6))
customer = st.dictionaries(st.one_of(st.sampled_from(["a", "spent"]), st.text(max_size=3)), numbers, max_size=3)
operators = st.sampled_from([">", "<", ">=", "<=", "==", "=", "!=", "<>", "in", "contains", "~"])
conditions = st.lists(st.builds(lambda v: sg.PyCondition("spent", ">", v), st.floats(-10, 10)), max_size=3)
rules = st.lists(st.builds(lambda c: sg.PyBehavioralRule("r", "", c), conditions), max_size=2)
segments = st.lists(st.builds(lambda r, p: sg.PyBehavioralSegment("s", "", r, p), rules, st.integers(0, 3)), max_size=3)
vectors = st.one_of(st.lists(st.floats(-1e3, 1e3), min_size=2, max_size=2), arrays())
texts = st.dictionaries(st.sampled_from(["a", "b"]), st.sampled_from(["x", "y", ""]), max_size=2)
records = st.lists(texts, max_size=6)
seeds = st.lists(st.builds(sg.PySeedCustomer, st.text(max_size=3), st.lists(st.floats(-10, 10), min_size=2, max_size=2)),
                 max_size=4)
events = st.builds(sg.PyStreamingEvent, st.sampled_from(["a", "b", "c"]), st.sampled_from(["purchase", "pageview"]),
                   st.floats(allow_nan=False, allow_infinity=False), st.integers(0, 2**37))
instants = st.one_of(ints, names, st.sampled_from([None, np.datetime64("NaT"), np.datetime64(2**62, "D"), 1.5]))
cohorts = st.lists(st.builds(lambda n: sg.create_cohort("c", "monthly", 0, [("a", 1.0, True)] * n), st.integers(0, 3)),
                   max_size=3)
columns = st.one_of(st.lists(st.sampled_from(["a", "b"]), max_size=4), arrays(), st.lists(ints, max_size=4))
n_jobs = st.sampled_from([None, 1, 2, 1025])
rfm_jobs = st.sampled_from([None, 1, 1025])
rfm_values = st.lists(st.one_of(st.tuples(st.text(max_size=3), numbers, numbers, numbers, ints, ints, ints), scalars),
                      max_size=5)
counts = st.dictionaries(names, ints)
reports = st.one_of(st.tuples(*[ints] * 3, st.text(max_size=3), *[ints] * 7), scalars)
clv_parts = st.lists(st.one_of(st.tuples(st.fixed_dictionaries(
    {"customer_id": columns, "first_row": st.one_of(labels, columns), "first_day": st.one_of(labels, st.lists(ints)),
     "frequency": vectors, "recency": vectors}, optional={"monetary_value": vectors}),
    st.one_of(st.none(), ints), reports), scalars), max_size=3)
keys = st.lists(st.sampled_from(["a", "b", "z"]))
periods = st.sampled_from(["weekly", "monthly", "x"])
bins = st.one_of(ints, st.lists(floats, max_size=3))
tables = st.one_of(st.dictionaries(st.sampled_from(["a", "b"]), columns, max_size=2), anything)
categories = st.one_of(st.lists(st.lists(st.sampled_from([0, 1, "a"]), max_size=2), max_size=6), arrays())


histories = st.one_of(st.lists(st.sampled_from([0.0, 1.0, 3.0, 7.5, 40.0]), max_size=4), arrays(),
                      st.lists(st.floats(0, 60), max_size=4), st.lists(ints, max_size=3))


def quiet(fit, *args):
    """`fit(*args)` with its convergence warnings silenced."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fit(*args)


def model_with(cls, *params):
    """A purchase or spend model holding `params` as fitted."""
    model = cls()
    model.params_ = dict(zip(model._PARAMS, params))
    return model


def streaming_engine():
    return sg.PyStreamingSegmentationEngine(sg.PyStreamingConfig(batch_size=2), sg.PyReclusterConfig("none", 2, 2))


def trained(model, method="fit"):
    """`model` after one call of `method` on three rows (segmora's engines return None from it)."""
    getattr(model, method)([[0.0, 0.0], [5.0, 5.0], [1.0, 1.0]])
    return model


ENTRY_POINTS = {
    "kmeans_py": (sg.kmeans_py, [good_rows, ints, ints, ints, n_jobs]),
    "PyAudienceSegmenter": (sg.PyAudienceSegmenter, [ints, ints]),
    "PyAudienceSegmenter.fit": (lambda *a: sg.PyAudienceSegmenter(2, n_jobs=1).fit(*a), [good_rows]),
    "PyAudienceSegmenter.predict": (lambda *a: trained(sg.PyAudienceSegmenter(2, n_jobs=1)).predict(*a), [good_rows]),
    "silhouette_score": (sg.silhouette_score, [good_rows, labels]),
    "davies_bouldin_score": (sg.davies_bouldin_score, [good_rows, labels, good_rows]),
    "calinski_harabasz_score": (sg.calinski_harabasz_score, [good_rows, labels]),
    "assess_cluster_quality": (sg.assess_cluster_quality, [good_rows, labels, good_rows]),
    "estimate_k_elbow": (sg.estimate_k_elbow, [good_rows, k_range]),
    "estimate_k_gap_statistic": (sg.estimate_k_gap_statistic, [good_rows, k_range]),
    "estimate_k_silhouette": (sg.estimate_k_silhouette, [good_rows, k_range]),
    "estimate_k_combined": (sg.estimate_k_combined, [good_rows, k_range]),
    "calculate_rfm_py": (sg.calculate_rfm_py, [transactions, st.builds(sg.PyRFMConfig), ints]),
    "PyRFMConfig": (sg.PyRFMConfig, [ints, ints, floats, st.builds(sg.PyDecayFunction.linear), ints,
                                     st.builds(sg.PyScoringMethod.decile)]),
    "PySegmentProfile": (sg.PySegmentProfile, [st.builds(sg.PySegmentType.vip)]),
    "export_segment_sql": (sg.export_segment_sql, [names, dialects, names, names, names, names, names]),
    "export_all_segments_sql": (sg.export_all_segments_sql, [dialects, names, names, names, names, names]),
    "get_segment_rfm_patterns": (sg.get_segment_rfm_patterns, [names]),
    "PyCondition": (sg.PyCondition, [names, operators, floats]),
    "PyBehavioralRule": (sg.PyBehavioralRule, [names, names, conditions, st.sampled_from(["AND", "or", "Not", "x"])]),
    "PyBehavioralSegment": (sg.PyBehavioralSegment, [names, names, rules, ints]),
    "PyBehavioralSegmenter": (sg.PyBehavioralSegmenter, [segments]),
    "PyBehavioralSegmenter.classify": (lambda *a: sg.PyBehavioralSegmenter([]).classify(*a), [customer]),
    "PyBehavioralSegment.matches": (lambda *a: sg.PyBehavioralSegment("s", "", []).matches(*a), [customer]),
    "kprototypes_py": (sg.kprototypes_py, [good_rows, categories, ints, ints, ints, n_jobs]),
    "PyMiniBatchKMeans": (sg.PyMiniBatchKMeans, [ints, ints]),
    "PyMiniBatchKMeans.partial_fit": (lambda *a: sg.PyMiniBatchKMeans(2).partial_fit(*a), [good_rows]),
    "PyMiniBatchKMeans.predict": (lambda *a: trained(sg.PyMiniBatchKMeans(2), "partial_fit").predict(*a), [good_rows]),
    "PyStreamingEvent": (sg.PyStreamingEvent, [names, names, floats, ints, texts]),
    "PyStreamingConfig": (sg.PyStreamingConfig, [ints, ints, st.sampled_from(["hour", "day", "x"]), floats]),
    "PyReclusterConfig": (sg.PyReclusterConfig, [st.sampled_from(["low", "high", "none", "x"]), ints, ints]),
    "PyStreamingSegmentationEngine": (sg.PyStreamingSegmentationEngine,
                                      [st.builds(sg.PyStreamingConfig), st.builds(sg.PyReclusterConfig)]),
    "PyStreamingSegmentationEngine.process_event": (lambda *a: streaming_engine().process_event(*a), [events]),
    "PyStreamingSegmentationEngine.process_batch": (
        lambda *a: [(e.process_batch(*a), e.check_drift(), e.maybe_recluster()) for e in [streaming_engine()]],
        [st.lists(events, max_size=8)]),
    "PyStreamingSegmentationEngine.get_segment": (lambda *a: streaming_engine().get_segment(*a), [names]),
    "PyStreamingSegmentationEngine.relabel": (lambda *a: streaming_engine().relabel(*a), [instants]),
    "PyStreamingSegmentationEngine.customer_states": (lambda *a: streaming_engine().customer_states(*a), [instants]),
    "kolmogorov_smirnov": (sg.kolmogorov_smirnov, [vectors, vectors]),
    "hellinger_distance": (sg.hellinger_distance, [vectors, vectors]),
    "chi_square_drift": (sg.chi_square_drift, [counts, counts]),
    "detect_feature_drift": (sg.detect_feature_drift, [names, vectors, vectors, st.sampled_from(["ks", "psi", "x"])]),
    "detect_segment_composition_change": (sg.detect_segment_composition_change, [counts, counts]),
    "ks_test": (sg.ks_test, [columns, columns]),
    "chi_square_test": (sg.chi_square_test, [counts, counts]),
    "wasserstein_distance": (sg.wasserstein_distance, [columns, columns]),
    "population_stability_index": (sg.population_stability_index, [columns, columns, bins]),
    "jensen_shannon_distance": (sg.jensen_shannon_distance, [columns, columns, bins]),
    "DriftReference": (sg.DriftReference, [tables, st.one_of(st.none(), keys)]),
    "DriftReference.compare": (lambda *a: sg.DriftReference({"a": [1.0, 2.0], "b": ["x", "y"]}).compare(*a),
                               [tables, st.one_of(st.none(), st.lists(st.sampled_from(["ks", "psi", "chi_square", "x"]))),
                                n_jobs]),
    "PySeedCustomer": (sg.PySeedCustomer, [names, vectors, floats, names, texts]),
    "generate_lookalike": (sg.generate_lookalike, [seeds, seeds, st.sampled_from(["cosine", "euclidean", "x"]), floats, ints]),
    "find_similar_customers": (sg.find_similar_customers, [seeds.map(lambda s: s[0] if s else None), seeds, ints]),
    "cosine_similarity": (sg.cosine_similarity, [vectors, vectors]),
    "seed_customers": (sg.seed_customers, [st.lists(st.one_of(
        st.tuples(names, vectors), st.tuples(names, vectors, numbers, names, texts).map(list), scalars), max_size=4)]),
    "cohort_id_for": (sg.cohort_id_for, [periods, ints]),
    "create_cohort": (sg.create_cohort, [names, periods, ints, st.lists(st.tuples(names, floats, st.booleans()), max_size=4)]),
    "PyCohort.add_retention_point": (lambda *a: sg.create_cohort("c", "weekly", 0, []).add_retention_point(*a), [ints, ints]),
    "compare_cohorts": (sg.compare_cohorts, [cohorts.map(lambda c: c[0] if c else None)] * 2),
    "aggregate_cohorts_by_period": (sg.aggregate_cohorts_by_period, [cohorts]),
    "cohort_retention_table": (sg.cohort_retention_table, [cohorts]),
    "cohort_performance_ranking": (sg.cohort_performance_ranking, [cohorts]),
    "profile_segment": (sg.profile_segment, [ints, labels, st.dictionaries(st.integers(0, 4), vectors),
                                             st.lists(names, max_size=2), labels]),
    "classify_lifecycle_stage": (sg.classify_lifecycle_stage, [names, ints, ints, floats, ints, floats]),
    "lifecycle_retention_actions": (sg.lifecycle_retention_actions, [names]),
    "lifecycle_stage_distribution": (sg.lifecycle_stage_distribution, [st.lists(
        st.builds(sg.classify_lifecycle_stage, names, st.integers(0, 400), st.integers(0, 9), floats,
                  st.integers(0, 400), floats), max_size=3)]),
    "calculate_simple_ltv": (sg.calculate_simple_ltv, [names, floats, ints, ints, ints]),
    "check_k_anonymity": (sg.check_k_anonymity, [records, keys, ints]),
    "suppress_to_k_anonymous": (sg.suppress_to_k_anonymous, [records, keys, ints]),
    "generalize_numeric": (sg.generalize_numeric, [vectors, ints]),
    "calculate_information_loss": (sg.calculate_information_loss, [vectors, labels, ints]),
    "add_laplace_noise": (sg.add_laplace_noise, [vectors, floats, floats]),
    "add_gaussian_noise": (sg.add_gaussian_noise, [vectors, floats, floats, floats]),
    "PyPrivacyBudget": (sg.PyPrivacyBudget, [floats, floats]),
    "PyPrivacyBudget.consume": (lambda *a: sg.PyPrivacyBudget(1.0, 1e-5).consume(*a), [floats]),
    "rfm_from_columns": (sg.rfm_from_columns, [columns, st.one_of(columns, st.just(np.array(
        ["2024-01-01", "NaT", "1970-01-01"], dtype="datetime64[s]"))), columns, st.builds(sg.PyRFMConfig),
        st.sampled_from([None, "2024-06-01", 0, np.datetime64("2024-06-01")]), rfm_jobs]),
    "rfm_partition_columns": (sg.rfm_partition_columns, [columns, columns, columns, labels,
                                                         st.sampled_from([None, "2024-06-01T00:00:00Z", 0, 1.5]),
                                                         st.builds(sg.PyRFMConfig), st.booleans(), rfm_jobs]),
    "lookalike_audience": (sg.lookalike_audience, [st.one_of(seeds, st.tuples(columns, good_rows)),
                                                   st.one_of(seeds, st.tuples(columns, good_rows)),
                                                   st.sampled_from(["cosine", "jaccard", "x"]), floats, ints]),
    "k_anonymity_from_columns": (sg.k_anonymity_from_columns, [st.dictionaries(st.sampled_from(["a", "b"]), columns),
                                                               keys, ints]),
    "cohort_retention_from_columns": (sg.cohort_retention_from_columns, [columns, st.one_of(columns, st.just(np.array(
        ["2024-01-01", "NaT", "1970-01-01"], dtype="datetime64[s]"))), st.sampled_from(["week", "Year", "x"]),
        st.sampled_from([None, "2024-06-01T00:00:00Z", 0]), rfm_jobs]),
    "cohort_retention_matrix": (sg.cohort_retention_matrix, [st.fixed_dictionaries(
        {"cohort": columns, "age": st.one_of(labels, columns), "retention": vectors})]),
    "KMeans": (lambda *a: sg.KMeans(*a).fit([[0.0], [1.0]]), [ints]),
    "KMeans.fit": (lambda *a: sg.KMeans(2, n_jobs=1).fit(*a), [good_rows]),
    "KMeans.predict": (lambda *a: trained(sg.KMeans(2, random_state=0, n_jobs=1)).predict(*a), [good_rows]),
    "MiniBatchKMeans": (lambda *a: sg.MiniBatchKMeans(*a).fit([[0.0], [1.0]]), [ints]),
    "MiniBatchKMeans.partial_fit": (lambda *a: sg.MiniBatchKMeans(2, random_state=0).partial_fit(*a), [good_rows]),
    "clv_summary_from_columns": (sg.clv_summary_from_columns, [columns, st.one_of(columns, st.just(np.array(
        ["2024-01-01", "NaT", "1970-01-01"], dtype="datetime64[s]"))), st.one_of(st.none(), columns),
        st.sampled_from([None, "2024-06-01T00:00:00Z", 0]), floats, rfm_jobs]),
    "clv_partition_columns": (sg.clv_partition_columns, [columns, st.one_of(columns, st.just(np.array(
        ["2024-01-01", "NaT", "1970-01-01"], dtype="datetime64[s]"))), st.one_of(st.none(), columns), labels,
        st.sampled_from([None, "2024-06-01T00:00:00Z", 0, 1.5]), floats, rfm_jobs]),
    "combine_clv_partitions": (sg.combine_clv_partitions, [clv_parts, floats]),
    "BetaGeoModel": (lambda *a: quiet(sg.BetaGeoModel(max_iter=4, n_jobs=1).fit, *a), [histories] * 3),
    "ParetoNBDModel": (lambda *a: quiet(sg.ParetoNBDModel(max_iter=4, n_jobs=1).fit, *a), [histories] * 3),
    "GammaGammaModel": (lambda *a: quiet(sg.GammaGammaModel(max_iter=4, n_jobs=1).fit, *a), [histories] * 2),
    "BetaGeoModel.predict_purchases": (lambda *a: model_with(sg.BetaGeoModel, 0.2, 4.0, 0.8, 2.4).predict_purchases(*a),
                                       [floats] + [histories] * 3),
    "ParetoNBDModel.probability_alive": (lambda *a: model_with(sg.ParetoNBDModel, 0.5, 9.0, 0.6, 12.0).probability_alive(*a),
                                         [histories] * 3),
    "ParetoNBDModel.expected_purchases": (lambda *a: model_with(sg.ParetoNBDModel, 0.5, 9.0, 0.6, 12.0).expected_purchases(*a),
                                          [st.one_of(floats, histories)]),
    "GammaGammaModel.customer_lifetime_value": (
        lambda *a: model_with(sg.GammaGammaModel, 6.0, 3.7, 15.0).customer_lifetime_value(
            model_with(sg.BetaGeoModel, 0.2, 4.0, 0.8, 2.4), *a), [histories] * 4 + [ints, floats, floats]),
    "kmeans_chunk_step": (sg.kmeans_chunk_step, [good_rows, good_rows, labels]),
    "kmeans_chunk_inertia": (sg.kmeans_chunk_inertia, [good_rows, good_rows, labels]),
    "kmeans_block_step": (sg.kmeans_block_step, [good_rows, good_rows, totals, int64s, good_rows]),
    "kmeans_block_inertia": (sg.kmeans_block_inertia, [good_rows, good_rows, st.one_of(labels, int64s), good_rows,
                                                       floats]),
    "kmeans_parallel_first": (sg.kmeans_parallel_first, [ints, ints, ints]),
    "kmeans_parallel_round": (sg.kmeans_parallel_round, [good_rows, good_rows, floats, ints, ints, ints, totals, ints,
                                                         floats]),
    "kmeans_parallel_reduce": (sg.kmeans_parallel_reduce, [good_rows, st.one_of(vectors, totals), ints, ints]),
    "rfm_partition_values": (sg.rfm_partition_values, [transactions, st.builds(sg.PyRFMConfig), timestamps, labels, rfm_jobs]),
    "score_rfm_values": (sg.score_rfm_values, [rfm_values, st.builds(sg.PyRFMConfig)]),
    "_restore": (sg._restore, [st.sampled_from(["PyRFMConfig", "PyCondition", "PyAudienceSegmenter", "KMeans",
                                                "PyKMeansResult", "PyPrivacyBudget", "PyStreamingEvent",
                                                "PyMiniBatchKMeans", "x"]), ints, anything]),
}


@st.composite
def calls(draw, slots):
    """A prefix of the slots, each plausible or hostile; an Emptier in a list empties that list."""
    n = draw(st.integers(0, len(slots) + 1))
    args = [draw(st.one_of(slots[i], anything) if i < len(slots) else anything) for i in range(n)]
    for arg in args:
        for item in arg if isinstance(arg, list) else []:
            for x in item if isinstance(item, (list, tuple)) else [item]:
                if isinstance(x, Emptier):
                    x.victim = arg
    return args


def test_every_public_callable_has_a_row():
    public = {n for n, v in vars(sg).items() if callable(v) and not n.startswith("_")} | {"_restore"}
    covered = {name.split(".")[0] for name in ENTRY_POINTS}
    no_arguments = {"get_supported_sql_dialects", "PyDecayFunction", "PyScoringMethod", "PySegmentType"}
    results = {n for n in public if isinstance(vars(sg)[n], type) and "__new__" not in vars(vars(sg)[n])}
    assert public - covered - no_arguments - results == set()


@pytest.mark.parametrize("name", list(ENTRY_POINTS))
def test_only_documented_exceptions(name):
    fn, slots = ENTRY_POINTS[name]

    @settings(max_examples=EXAMPLES, deadline=None, database=None,
              suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
    @given(calls(slots))
    def run(args):
        try:
            fn(*args)
        except DOCUMENTED + CALLER_RAISED:
            pass

    run()
