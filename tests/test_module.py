"""The module frame: registration, info, stubs and signatures of the whole surface."""
import ast
import inspect
import os
import subprocess
import sys

import pytest

import segmora

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Every public name, in the fixed registration order.
REGISTRATION_ORDER = [
    "PyAudienceSegmenter", "PyRFMConfig", "PyRFMScore", "PyDecayFunction", "PyScoringMethod", "PyKMeansResult",
    "PyChurnRiskLevel", "PyChurnPrediction", "PyCustomerLTV", "PySegmentType", "PySegmentProfile", "calculate_rfm_py",
    "kmeans_py", "PyMiniBatchKMeans", "calculate_simple_ltv", "export_segment_sql", "export_all_segments_sql",
    "get_supported_sql_dialects", "get_segment_rfm_patterns", "PyPrivacyBudget", "PyKAnonymityResult",
    "add_laplace_noise", "add_gaussian_noise", "check_k_anonymity", "suppress_to_k_anonymous", "generalize_numeric",
    "calculate_information_loss", "PyStreamingEvent", "PyStreamingConfig", "PyStreamingSegmentUpdate",
    "PyStreamingSegmentationEngine", "PyReclusterConfig", "PyReclusterEvent", "PyFeatureDrift",
    "PySegmentCompositionChange", "kolmogorov_smirnov", "hellinger_distance", "chi_square_drift",
    "detect_feature_drift", "detect_segment_composition_change", "PySeedCustomer", "PyLookalikeCandidate",
    "PyLookalikeAudience", "generate_lookalike", "find_similar_customers", "cosine_similarity", "PyCohort",
    "cohort_id_for", "create_cohort", "compare_cohorts", "aggregate_cohorts_by_period", "cohort_retention_table",
    "cohort_performance_ranking", "PyLifecycleProfile", "classify_lifecycle_stage", "lifecycle_retention_actions",
    "lifecycle_stage_distribution", "PyQualityReport", "silhouette_score", "davies_bouldin_score",
    "calinski_harabasz_score", "assess_cluster_quality", "PyKEstimationResult", "estimate_k_elbow",
    "estimate_k_gap_statistic", "estimate_k_silhouette", "estimate_k_combined", "PyCondition", "PyBehavioralRule",
    "PyBehavioralSegment", "PyBehavioralSegmenter", "PySegmentHealth", "PyProfiledSegment", "profile_segment",
]
# Names registered after the table, in this order.
AFTER_TABLE = [
    "kprototypes_py", "PyKPrototypesResult", "kmeans_chunk_step", "kmeans_chunk_inertia", "rfm_partition_values",
    "score_rfm_values", "rfm_from_columns", "rfm_partition_columns", "_restore", "_kmeans_arrays", "seed_customers",
    "_minibatch_partial_fit", "_assign_arrays", "lookalike_audience", "k_anonymity_from_columns",
    "cohort_retention_from_columns", "cohort_retention_matrix", "ks_test", "chi_square_test", "wasserstein_distance",
    "population_stability_index", "jensen_shannon_distance", "DriftReference", "clv_summary_from_columns",
    "_clv_fit", "_clv_log_likelihood", "_clv_predict", "_clv_expected", "_clv_lifetime_value", "kmeans_block_step",
    "kmeans_block_inertia", "kmeans_parallel_first", "kmeans_parallel_round", "kmeans_parallel_reduce",
    "clv_partition_columns", "combine_clv_partitions", "KMeans",
    "MiniBatchKMeans", "BetaGeoModel", "ParetoNBDModel", "GammaGammaModel",
]
# Estimator classes are Python classes (tested in test_estimators.py), not native types.
ESTIMATORS = ["KMeans", "MiniBatchKMeans", "BetaGeoModel", "ParetoNBDModel", "GammaGammaModel"]
PUBLIC = [n for n in vars(segmora) if not n.startswith("__") and n != "info"]
NATIVE = [n for n in PUBLIC if n not in ESTIMATORS]


def test_attributes_info_and_registration_order():
    assert (segmora.__version__, segmora.__doc__, segmora.info.__name__) == ("7.4.1", "Python module initialization", "info")
    assert isinstance(segmora.__author__, str) and segmora.__author__
    assert (segmora.info.algorithms, segmora.info.metrics, segmora.info.segments) == (
        ["kmeans", "kprototypes", "minibatchkmeans"], ["silhouette", "davies_bouldin", "calinski_harabasz"], 13)
    assert list(vars(segmora.info))[-3:] == ["algorithms", "metrics", "segments"]
    names = list(vars(segmora))
    assert names.index("__version__") < names.index("__author__") < names.index("PyAudienceSegmenter")
    assert names[-1] == "info"
    assert PUBLIC == [n for n in REGISTRATION_ORDER + AFTER_TABLE if n in PUBLIC]
    assert PUBLIC[-len(AFTER_TABLE):] == AFTER_TABLE
    assert {"PyAudienceSegmenter", "PyKMeansResult", "kmeans_py"} <= set(PUBLIC)
    assert not hasattr(segmora, "AudienceSegmenter")


def callables():
    """Every function, method and constructor of the module."""
    for name in NATIVE:
        obj = getattr(segmora, name)
        if isinstance(obj, type):
            for attr, member in vars(obj).items():
                if callable(member) and not attr.startswith("__"):
                    yield f"{name}.{attr}", getattr(obj, attr)
        else:
            yield name, obj


@pytest.mark.parametrize("name,obj", list(callables()), ids=lambda v: v if isinstance(v, str) else "")
def test_every_callable_has_a_signature(name, obj):
    assert obj.__text_signature__ is not None and name.split(".")[-1] == obj.__name__
    assert "$" not in str(inspect.signature(obj))


CLASSES = [n for n in PUBLIC if isinstance(getattr(segmora, n), type)]
RESULT_CLASSES = [n for n in CLASSES if n in NATIVE and "__new__" not in vars(getattr(segmora, n))]


@pytest.mark.parametrize("name", [n for n in CLASSES if "__new__" in vars(getattr(segmora, n))])
def test_constructor_signatures_match_the_stubs(name):
    # stubtest does not hold constructors against the runtime; compare the texts here.
    tree = ast.parse(open(os.path.join(ROOT, "segmora.pyi")).read())
    stub = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == name)
    new = next(n for n in stub.body if isinstance(n, ast.FunctionDef) and n.name == "__new__")
    runtime = inspect.signature(getattr(segmora, name)).parameters
    assert [a.arg for a in new.args.args[1:]] == list(runtime)
    assert [ast.unparse(d) for d in new.args.defaults] == [repr(p.default) for p in runtime.values() if p.default is not p.empty]


def test_result_classes_cannot_be_constructed_or_subclassed():
    assert {"PyKMeansResult", "PyRFMScore", "PyDecayFunction", "PyScoringMethod", "PySegmentType",
            "PyQualityReport", "PyKEstimationResult"} <= set(RESULT_CLASSES)
    for name in RESULT_CLASSES:
        with pytest.raises(TypeError) as err:
            getattr(segmora, name)()
        assert str(err.value) == f"cannot create 'segmora.{name}' instances"
    with pytest.raises(TypeError):
        type("Sub", (segmora.PyAudienceSegmenter,), {})


# ---- docstrings ----

def stub_entries():
    """(path, docstring) of every class, function and method of segmora.pyi."""
    tree = ast.parse(open(os.path.join(ROOT, "segmora.pyi")).read())
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            yield node.name, ast.get_docstring(node)
            for member in node.body if isinstance(node, ast.ClassDef) else []:
                if isinstance(member, ast.FunctionDef):
                    yield f"{node.name}.{member.name}", ast.get_docstring(member)


STUBS = dict(stub_entries())
# The stub's private base classes (_CentroidEstimator, ...) by name, from the public classes' MROs.
BASES = {k.__name__: k for v in vars(segmora).values() if isinstance(v, type) for k in v.__mro__}


def runtime_doc(path):
    """The runtime docstring of a stub path without its text signature ("" for none)."""
    owner, *member = path.split(".")
    obj = getattr(segmora, owner, None) or BASES.get(owner, segmora.info)
    if member:
        obj = next((vars(k)[member[0]] for k in type.mro(obj) if member[0] in vars(k)), None)
        obj = getattr(obj, "__func__", obj)  # static methods
    doc = (vars(obj).get("__doc__") if isinstance(obj, type) else getattr(obj, "__doc__", None)) or ""
    doc = doc.split("\n--\n\n", 1)[-1]
    return "" if doc.startswith(("Initialize self.", "Create and return a new object.")) else inspect.cleandoc(doc)


@pytest.mark.parametrize("path", list(STUBS))
def test_every_stub_entry_has_a_docstring_starting_with_the_runtime_text(path):
    assert STUBS[path], f"{path} has no docstring in segmora.pyi"
    assert STUBS[path].startswith(runtime_doc(path))


def after_table_members():
    for name in AFTER_TABLE:
        obj = getattr(segmora, name)
        yield name
        if isinstance(obj, type):
            members = {m for klass in obj.__mro__[:-1] for m in vars(klass)}  # inherited ones too
            yield from (f"{name}.{m}" for m in sorted(members) if not m.startswith("_") or m == "__init__")


@pytest.mark.parametrize("path", list(after_table_members()))
def test_every_name_beyond_the_table_has_a_runtime_docstring(path):
    assert runtime_doc(path), f"{path} has no docstring"


def test_stubs_match_the_module():
    env = dict(os.environ, MYPYPATH=ROOT,
               PYTHONPATH=os.pathsep.join([os.path.dirname(segmora.__file__), os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "segmora"], capture_output=True, text=True,
                          env=env, cwd=ROOT)
    assert proc.returncode == 0, proc.stdout + proc.stderr
