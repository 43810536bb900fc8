// Helpers of the drift bindings that the streaming bindings share.
#pragma once

#include <string>

#include "engine/drift_detection.hpp"
#include "python/toolkit/pickling.hpp"
#include "python/toolkit/ref.hpp"

namespace segmora::py {

// A dict of str keys to non-negative int values, in the dict's order.
struct CountsArg {
    engine::CountTable entries;
};
template <>
struct From<CountsArg> {
    static CountsArg convert(PyObject* obj, const char* arg);
};

// The severity named by a str argument (lower-cased, not trimmed), or ValueError
// "Unknown drift severity '{}'. Expected one of: ..." quoting the lower-cased text.
engine::DriftSeverity parse_severity_argument(PyObject* text);
template <>
inline constexpr std::uint32_t enum_count<engine::DriftSeverity> = 5;

// The pickled state of a PyFeatureDrift (also nested in other states).
struct FeatureDriftState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const engine::FeatureDrift& d);
    static engine::FeatureDrift load(PyObject* state);  // StateError on damage
};
// A new PyFeatureDrift owning `drift`.
Ref feature_drift_to_py(engine::FeatureDrift drift);

}  // namespace segmora::py
