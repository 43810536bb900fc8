// The extension module: PyInit_segmora, its one execution slot, the registration
// table and the `info` submodule.
//
// The module has no per-module state. The exec slot adds __version__ and
// __author__, registers every class and function in the table's order, then
// attaches `info`; the first failure aborts the import.
#include <span>

#include "python/bindings.hpp"
#include "python/toolkit/ref.hpp"

namespace {

using segmora::py::Ref;

struct Registration {
    const char* name;
    PyTypeObject* (*type)();      // a class, or
    PyMethodDef* (*function)();  // a module function
};

constexpr Registration cls(const char* name, PyTypeObject* (*type)()) { return {name, type, nullptr}; }
constexpr Registration fn(const char* name, PyMethodDef* (*function)()) { return {name, nullptr, function}; }

namespace b = segmora::py;

// Registration order is part of the module's interface; new entries go to
// their fixed places in this sequence.
const Registration kRegistrations[] = {
    cls("PyAudienceSegmenter", b::audience_segmenter_type),
    cls("PyRFMConfig", b::rfm_config_type),
    cls("PyRFMScore", b::rfm_score_type),
    cls("PyDecayFunction", b::decay_function_type),
    cls("PyScoringMethod", b::scoring_method_type),
    cls("PyKMeansResult", b::kmeans_result_type),
    // PyChurnRiskLevel, PyChurnPrediction, PyCustomerLTV
    cls("PySegmentType", b::segment_type_type),
    cls("PySegmentProfile", b::segment_profile_type),
    fn("calculate_rfm_py", b::calculate_rfm_py_def),
    fn("kmeans_py", b::kmeans_py_def),
    // PyMiniBatchKMeans, calculate_simple_ltv
    fn("export_segment_sql", b::export_segment_sql_def),
    fn("export_all_segments_sql", b::export_all_segments_sql_def),
    fn("get_supported_sql_dialects", b::get_supported_sql_dialects_def),
    fn("get_segment_rfm_patterns", b::get_segment_rfm_patterns_def),
    // PyPrivacyBudget, PyKAnonymityResult, add_laplace_noise, add_gaussian_noise, check_k_anonymity,
    // suppress_to_k_anonymous, generalize_numeric, calculate_information_loss
    // PyStreamingEvent, PyStreamingConfig, PyStreamingSegmentUpdate, PyStreamingSegmentationEngine,
    // PyReclusterConfig, PyReclusterEvent
    // PyFeatureDrift, PySegmentCompositionChange, kolmogorov_smirnov, hellinger_distance, chi_square_drift,
    // detect_feature_drift, detect_segment_composition_change
    // PySeedCustomer, PyLookalikeCandidate, PyLookalikeAudience, generate_lookalike, find_similar_customers,
    // cosine_similarity
    // PyCohort, cohort_id_for, create_cohort, compare_cohorts, aggregate_cohorts_by_period,
    // cohort_retention_table, cohort_performance_ranking
    // PyLifecycleProfile, classify_lifecycle_stage, lifecycle_retention_actions, lifecycle_stage_distribution
    cls("PyQualityReport", b::quality_report_type),
    fn("silhouette_score", b::silhouette_score_def),
    fn("davies_bouldin_score", b::davies_bouldin_score_def),
    fn("calinski_harabasz_score", b::calinski_harabasz_score_def),
    fn("assess_cluster_quality", b::assess_cluster_quality_def),
    cls("PyKEstimationResult", b::k_estimation_result_type),
    fn("estimate_k_elbow", b::estimate_k_elbow_def),
    fn("estimate_k_gap_statistic", b::estimate_k_gap_statistic_def),
    fn("estimate_k_silhouette", b::estimate_k_silhouette_def),
    fn("estimate_k_combined", b::estimate_k_combined_def),
    cls("PyCondition", b::condition_type),
    cls("PyBehavioralRule", b::behavioral_rule_type),
    cls("PyBehavioralSegment", b::behavioral_segment_type),
    cls("PyBehavioralSegmenter", b::behavioral_segmenter_type),
    // PySegmentHealth, PyProfiledSegment, profile_segment
};

// Names registered after the table, in this order.
const Registration kFrontDoor[] = {
    fn("rfm_from_columns", b::rfm_from_columns_def),
    fn("_restore", b::restore_def),
    fn("_kmeans_arrays", b::kmeans_arrays_def),
};

constexpr const char* kVersion = "7.4.1";
constexpr const char* kAuthor = "The segmora developers";

void add(PyObject* module, const char* name, Ref value) {
    if (PyModule_AddObjectRef(module, name, value.get()) < 0) throw segmora::py::PyErrorAlreadySet{};
}

Ref str_list(std::initializer_list<const char*> items) {
    Ref list = Ref::steal(PyList_New(0));
    for (const char* item : items) {
        Ref s = Ref::steal(PyUnicode_FromString(item));
        if (PyList_Append(list.get(), s.get()) < 0) throw segmora::py::PyErrorAlreadySet{};
    }
    return list;
}

Ref make_info() {
    Ref info = Ref::steal(PyModule_New("info"));
    add(info.get(), "algorithms", str_list({"kmeans", "kprototypes", "minibatchkmeans"}));
    add(info.get(), "metrics", str_list({"silhouette", "davies_bouldin", "calinski_harabasz"}));
    add(info.get(), "segments", Ref::steal(PyLong_FromLong(13)));
    return info;
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "segmora: exec slot expects a module");
        return -1;
    }
    try {
        add(module, "__version__", Ref::steal(PyUnicode_FromString(kVersion)));
        add(module, "__author__", Ref::steal(PyUnicode_FromString(kAuthor)));
        Ref module_name = Ref::steal(PyModule_GetNameObject(module));
        using Table = std::span<const Registration>;
        for (const Table table : {Table(kRegistrations), Table(kFrontDoor)}) {
            for (const Registration& r : table) {
                if (r.type) {
                    PyTypeObject* type = r.type();
                    if (!type) throw segmora::py::PyErrorAlreadySet{};
                    add(module, r.name, Ref::borrow(reinterpret_cast<PyObject*>(type)));
                } else {
                    add(module, r.name, Ref::steal(PyCFunction_NewEx(r.function(), module, module_name.get())));
                }
            }
        }
        b::add_estimators(module);
        add(module, "info", make_info());
    } catch (const segmora::py::PyErrorAlreadySet&) {
        return -1;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
        return -1;
    }
    return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "segmora",
    "Python module initialization",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_segmora(void) {
    return PyModuleDef_Init(&kModule);
}
