// What each binding unit registers: a type getter per class, a method
// definition per module function. The module's registration table lists them.
#pragma once

#include "python/toolkit/python.hpp"

namespace segmora::py {

// clustering
PyTypeObject* audience_segmenter_type();
PyTypeObject* kmeans_result_type();
PyMethodDef* kmeans_py_def();

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

// registered after the table: data-frame front door
PyMethodDef* rfm_from_columns_def();
PyMethodDef* restore_def();  // _restore, which pickle calls
PyMethodDef* kmeans_arrays_def();  // _kmeans_arrays, the estimators' route to kmeans
// Adds the estimator classes (KMeans, ...) to the module.
void add_estimators(PyObject* module);

}  // namespace segmora::py
