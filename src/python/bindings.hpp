// What each binding unit registers: a type getter per class, a method
// definition per module function. The module's registration table lists them.
#pragma once

#include "python/toolkit/python.hpp"

namespace segmora::py {

// clustering
PyTypeObject* audience_segmenter_type();
PyTypeObject* kmeans_result_type();
PyMethodDef* kmeans_py_def();
PyTypeObject* minibatch_kmeans_type();
PyTypeObject* kprototypes_result_type();
PyMethodDef* kprototypes_py_def();
PyMethodDef* kmeans_chunk_step_def();
PyMethodDef* kmeans_chunk_inertia_def();

// partitions
PyMethodDef* kmeans_block_step_def();
PyMethodDef* kmeans_block_inertia_def();
PyMethodDef* kmeans_parallel_first_def();
PyMethodDef* kmeans_parallel_round_def();
PyMethodDef* kmeans_parallel_reduce_def();

// sql
PyMethodDef* export_segment_sql_def();
PyMethodDef* export_all_segments_sql_def();
PyMethodDef* get_supported_sql_dialects_def();
PyMethodDef* get_segment_rfm_patterns_def();

// behavioral
PyTypeObject* condition_type();
PyTypeObject* behavioral_rule_type();
PyTypeObject* behavioral_segment_type();
PyTypeObject* behavioral_segmenter_type();

// evaluation
PyTypeObject* quality_report_type();
PyMethodDef* silhouette_score_def();
PyMethodDef* davies_bouldin_score_def();
PyMethodDef* calinski_harabasz_score_def();
PyMethodDef* assess_cluster_quality_def();
PyTypeObject* k_estimation_result_type();
PyMethodDef* estimate_k_elbow_def();
PyMethodDef* estimate_k_gap_statistic_def();
PyMethodDef* estimate_k_silhouette_def();
PyMethodDef* estimate_k_combined_def();

// rfm
PyTypeObject* rfm_config_type();
PyTypeObject* rfm_score_type();
PyTypeObject* decay_function_type();
PyTypeObject* scoring_method_type();
PyTypeObject* segment_type_type();
PyTypeObject* segment_profile_type();
PyMethodDef* calculate_rfm_py_def();
PyMethodDef* rfm_partition_values_def();
PyMethodDef* score_rfm_values_def();

// streaming
PyTypeObject* streaming_event_type();
PyTypeObject* streaming_config_type();
PyTypeObject* streaming_segment_update_type();
PyTypeObject* streaming_engine_type();
PyTypeObject* recluster_config_type();
PyTypeObject* recluster_event_type();

// drift
PyTypeObject* feature_drift_type();
PyTypeObject* segment_composition_change_type();
PyMethodDef* kolmogorov_smirnov_def();
PyMethodDef* hellinger_distance_def();
PyMethodDef* chi_square_drift_def();
PyMethodDef* detect_feature_drift_def();
PyMethodDef* detect_segment_composition_change_def();

// lookalike
PyTypeObject* seed_customer_type();
PyTypeObject* lookalike_candidate_type();
PyTypeObject* lookalike_audience_type();
PyMethodDef* generate_lookalike_def();
PyMethodDef* find_similar_customers_def();
PyMethodDef* cosine_similarity_def();
PyMethodDef* seed_customers_def();  // registered after the table
PyMethodDef* lookalike_audience_def();  // registered after the table

// cohorts
PyTypeObject* cohort_type();
PyMethodDef* cohort_id_for_def();
PyMethodDef* create_cohort_def();
PyMethodDef* compare_cohorts_def();
PyMethodDef* aggregate_cohorts_by_period_def();
PyMethodDef* cohort_retention_table_def();
PyMethodDef* cohort_performance_ranking_def();
PyMethodDef* cohort_retention_from_columns_def();  // registered after the table
PyMethodDef* cohort_retention_matrix_def();        // registered after the table

// profiling
PyTypeObject* segment_health_type();
PyTypeObject* profiled_segment_type();
PyMethodDef* profile_segment_def();

// churn
PyTypeObject* churn_risk_level_type();
PyTypeObject* churn_prediction_type();
PyTypeObject* customer_ltv_type();
PyMethodDef* calculate_simple_ltv_def();

// privacy
PyTypeObject* privacy_budget_type();
PyTypeObject* k_anonymity_result_type();
PyMethodDef* add_laplace_noise_def();
PyMethodDef* add_gaussian_noise_def();
PyMethodDef* check_k_anonymity_def();
PyMethodDef* suppress_to_k_anonymous_def();
PyMethodDef* generalize_numeric_def();
PyMethodDef* calculate_information_loss_def();
PyMethodDef* k_anonymity_from_columns_def();  // registered after the table

// lifecycle
PyTypeObject* lifecycle_profile_type();
PyMethodDef* classify_lifecycle_stage_def();
PyMethodDef* lifecycle_retention_actions_def();
PyMethodDef* lifecycle_stage_distribution_def();

// registered after the table: data-frame front door
PyMethodDef* rfm_from_columns_def();
PyMethodDef* rfm_partition_columns_def();
PyMethodDef* restore_def();  // _restore, which pickle calls
PyMethodDef* kmeans_arrays_def();  // _kmeans_arrays, the estimators' route to kmeans
PyMethodDef* minibatch_partial_fit_def();  // _minibatch_partial_fit, the mini-batch estimator's route
PyMethodDef* assign_arrays_def();  // _assign_arrays, nearest centers and inertia for the estimators
// registered after the table: drift tests with p-values, the drift reference
PyMethodDef* ks_test_def();
PyMethodDef* chi_square_test_def();
PyMethodDef* wasserstein_distance_def();
PyMethodDef* population_stability_index_def();
PyMethodDef* jensen_shannon_distance_def();
PyTypeObject* drift_reference_type();

// registered after the table: transactions to model summaries, the purchase and
// spend models' routes (clv)
PyMethodDef* clv_summary_from_columns_def();
PyMethodDef* clv_partition_columns_def();
PyMethodDef* combine_clv_partitions_def();
PyMethodDef* clv_fit_def();
PyMethodDef* clv_log_likelihood_def();
PyMethodDef* clv_predict_def();
PyMethodDef* clv_expected_def();
PyMethodDef* clv_lifetime_value_def();
// Adds the estimator classes (KMeans, ...) to the module.
void add_estimators(PyObject* module);

}  // namespace segmora::py
