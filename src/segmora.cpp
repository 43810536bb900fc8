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
    cls("PyChurnRiskLevel", b::churn_risk_level_type),
    cls("PyChurnPrediction", b::churn_prediction_type),
    cls("PyCustomerLTV", b::customer_ltv_type),
    cls("PySegmentType", b::segment_type_type),
    cls("PySegmentProfile", b::segment_profile_type),
    fn("calculate_rfm_py", b::calculate_rfm_py_def),
    fn("kmeans_py", b::kmeans_py_def),
    cls("PyMiniBatchKMeans", b::minibatch_kmeans_type),
    fn("calculate_simple_ltv", b::calculate_simple_ltv_def),
    fn("export_segment_sql", b::export_segment_sql_def),
    fn("export_all_segments_sql", b::export_all_segments_sql_def),
    fn("get_supported_sql_dialects", b::get_supported_sql_dialects_def),
    fn("get_segment_rfm_patterns", b::get_segment_rfm_patterns_def),
    cls("PyPrivacyBudget", b::privacy_budget_type),
    cls("PyKAnonymityResult", b::k_anonymity_result_type),
    fn("add_laplace_noise", b::add_laplace_noise_def),
    fn("add_gaussian_noise", b::add_gaussian_noise_def),
    fn("check_k_anonymity", b::check_k_anonymity_def),
    fn("suppress_to_k_anonymous", b::suppress_to_k_anonymous_def),
    fn("generalize_numeric", b::generalize_numeric_def),
    fn("calculate_information_loss", b::calculate_information_loss_def),
    cls("PyStreamingEvent", b::streaming_event_type),
    cls("PyStreamingConfig", b::streaming_config_type),
    cls("PyStreamingSegmentUpdate", b::streaming_segment_update_type),
    cls("PyStreamingSegmentationEngine", b::streaming_engine_type),
    cls("PyReclusterConfig", b::recluster_config_type),
    cls("PyReclusterEvent", b::recluster_event_type),
    cls("PyFeatureDrift", b::feature_drift_type),
    cls("PySegmentCompositionChange", b::segment_composition_change_type),
    fn("kolmogorov_smirnov", b::kolmogorov_smirnov_def),
    fn("hellinger_distance", b::hellinger_distance_def),
    fn("chi_square_drift", b::chi_square_drift_def),
    fn("detect_feature_drift", b::detect_feature_drift_def),
    fn("detect_segment_composition_change", b::detect_segment_composition_change_def),
    cls("PySeedCustomer", b::seed_customer_type),
    cls("PyLookalikeCandidate", b::lookalike_candidate_type),
    cls("PyLookalikeAudience", b::lookalike_audience_type),
    fn("generate_lookalike", b::generate_lookalike_def),
    fn("find_similar_customers", b::find_similar_customers_def),
    fn("cosine_similarity", b::cosine_similarity_def),
    cls("PyCohort", b::cohort_type),
    fn("cohort_id_for", b::cohort_id_for_def),
    fn("create_cohort", b::create_cohort_def),
    fn("compare_cohorts", b::compare_cohorts_def),
    fn("aggregate_cohorts_by_period", b::aggregate_cohorts_by_period_def),
    fn("cohort_retention_table", b::cohort_retention_table_def),
    fn("cohort_performance_ranking", b::cohort_performance_ranking_def),
    cls("PyLifecycleProfile", b::lifecycle_profile_type),
    fn("classify_lifecycle_stage", b::classify_lifecycle_stage_def),
    fn("lifecycle_retention_actions", b::lifecycle_retention_actions_def),
    fn("lifecycle_stage_distribution", b::lifecycle_stage_distribution_def),
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
    cls("PySegmentHealth", b::segment_health_type),
    cls("PyProfiledSegment", b::profiled_segment_type),
    fn("profile_segment", b::profile_segment_def),
};

// Names registered after the table, in this order: k-prototypes from Python,
// steps of k-means and RFM over partitions, the data-frame front door, the
// bulk builder of lookalike customers, the columnar entry points, the drift
// tests with p-values and the drift reference, transactions to model summaries
// and the routes of the purchase and spend models, k-means over partitions fed
// block by block with its k-means|| seeding, the model summaries over partitions.
const Registration kAfterTable[] = {
    fn("kprototypes_py", b::kprototypes_py_def),
    cls("PyKPrototypesResult", b::kprototypes_result_type),
    fn("kmeans_chunk_step", b::kmeans_chunk_step_def),
    fn("kmeans_chunk_inertia", b::kmeans_chunk_inertia_def),
    fn("rfm_partition_values", b::rfm_partition_values_def),
    fn("score_rfm_values", b::score_rfm_values_def),
    fn("rfm_from_columns", b::rfm_from_columns_def),
    fn("rfm_partition_columns", b::rfm_partition_columns_def),
    fn("_restore", b::restore_def),
    fn("_kmeans_arrays", b::kmeans_arrays_def),
    fn("seed_customers", b::seed_customers_def),
    fn("_minibatch_partial_fit", b::minibatch_partial_fit_def),
    fn("_assign_arrays", b::assign_arrays_def),
    fn("lookalike_audience", b::lookalike_audience_def),
    fn("k_anonymity_from_columns", b::k_anonymity_from_columns_def),
    fn("cohort_retention_from_columns", b::cohort_retention_from_columns_def),
    fn("cohort_retention_matrix", b::cohort_retention_matrix_def),
    fn("ks_test", b::ks_test_def),
    fn("chi_square_test", b::chi_square_test_def),
    fn("wasserstein_distance", b::wasserstein_distance_def),
    fn("population_stability_index", b::population_stability_index_def),
    fn("jensen_shannon_distance", b::jensen_shannon_distance_def),
    cls("DriftReference", b::drift_reference_type),
    fn("clv_summary_from_columns", b::clv_summary_from_columns_def),
    fn("_clv_fit", b::clv_fit_def),
    fn("_clv_log_likelihood", b::clv_log_likelihood_def),
    fn("_clv_predict", b::clv_predict_def),
    fn("_clv_expected", b::clv_expected_def),
    fn("_clv_lifetime_value", b::clv_lifetime_value_def),
    fn("kmeans_block_step", b::kmeans_block_step_def),
    fn("kmeans_block_inertia", b::kmeans_block_inertia_def),
    fn("kmeans_parallel_first", b::kmeans_parallel_first_def),
    fn("kmeans_parallel_round", b::kmeans_parallel_round_def),
    fn("kmeans_parallel_reduce", b::kmeans_parallel_reduce_def),
    fn("clv_partition_columns", b::clv_partition_columns_def),
    fn("combine_clv_partitions", b::combine_clv_partitions_def),
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
        for (const Table table : {Table(kRegistrations), Table(kAfterTable)}) {
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
