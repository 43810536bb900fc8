// Helpers of the drift bindings that the streaming bindings share.
#pragma once

#include <string>

#include "engine/drift_detection.hpp"
#include "python/toolkit/ref.hpp"

namespace segmora::py {

// The severity named by a str argument (lower-cased, not trimmed), or ValueError
// "Unknown drift severity '{}'. Expected one of: ..." quoting the lower-cased text.
engine::DriftSeverity parse_severity_argument(PyObject* text);
// A new PyFeatureDrift owning `drift`.
Ref feature_drift_to_py(engine::FeatureDrift drift);

}  // namespace segmora::py
