// What each binding unit registers: a type getter per class, a method
// definition per module function. The module's registration table lists them.
#pragma once

#include "python/toolkit/python.hpp"

namespace segmora::py {

// clustering
PyTypeObject* audience_segmenter_type();
PyTypeObject* kmeans_result_type();
PyMethodDef* kmeans_py_def();

// rfm
PyTypeObject* rfm_config_type();
PyTypeObject* rfm_score_type();
PyTypeObject* decay_function_type();
PyTypeObject* scoring_method_type();
PyTypeObject* segment_type_type();
PyTypeObject* segment_profile_type();
PyMethodDef* calculate_rfm_py_def();

}  // namespace segmora::py
