// PyFeatureDrift, PySegmentCompositionChange, kolmogorov_smirnov,
// hellinger_distance, chi_square_drift, detect_feature_drift and
// detect_segment_composition_change.
#include <string>
#include <vector>

#include "engine/drift_detection.hpp"
#include "python/bindings.hpp"
#include "python/drift.hpp"
#include "python/drift_columns.hpp"
#include "python/lowercase.hpp"
#include "python/toolkit/classdef.hpp"
#include "python/toolkit/format.hpp"
#include "python/toolkit/unlocked.hpp"

namespace segmora::py {

namespace {

using engine::CountTable;
using engine::FeatureDrift;
using engine::SegmentCompositionChange;

}  // namespace

CountsArg From<CountsArg>::convert(PyObject* obj, const char* arg) {
    CountsArg out;
    convert_dict<std::string, std::uint64_t>(
        obj, arg, [&](std::string key, std::uint64_t count) { out.entries.emplace_back(std::move(key), count); });
    return out;
}

engine::DriftSeverity parse_severity_argument(PyObject* text) {
    const std::string lowered = py::lowered(text, "text");
    const auto severity = engine::parse_drift_severity(lowered);
    if (!severity)
        raise(PyExc_ValueError,
              format("Unknown drift severity '{}'. Expected one of: none, low, medium, high, critical", lowered));
    return *severity;
}

namespace {

using engine::DistributionStats;
using StatsState =
    FieldsState<DistributionStats, &DistributionStats::mean, &DistributionStats::std, &DistributionStats::min,
                &DistributionStats::max, &DistributionStats::median, &DistributionStats::q25, &DistributionStats::q75,
                &DistributionStats::skewness, &DistributionStats::kurtosis>;
using CompositionState =
    FieldsState<SegmentCompositionChange, &SegmentCompositionChange::segment_name,
                &SegmentCompositionChange::previous_size, &SegmentCompositionChange::current_size,
                &SegmentCompositionChange::size_change_percent, &SegmentCompositionChange::churn_rate,
                &SegmentCompositionChange::growth_rate>;

}  // namespace

Ref FeatureDriftState::save(const FeatureDrift& d) {
    return py::make_tuple(d.feature_name, d.drift_score, StatsState::save(d.baseline_stats),
                      StatsState::save(d.current_stats), d.timestamp, static_cast<std::uint32_t>(d.severity));
}

FeatureDrift FeatureDriftState::load(PyObject* state) {
    StateReader r(state, 6);
    FeatureDrift d;
    d.feature_name = r.next<std::string>();
    d.drift_score = r.next<double>();
    d.baseline_stats = StatsState::load(r.next_object());
    d.current_stats = StatsState::load(r.next_object());
    d.timestamp = r.next<std::int64_t>();
    d.severity = r.next_enum<engine::DriftSeverity>(enum_count<engine::DriftSeverity>);
    return d;
}

Ref feature_drift_to_py(engine::FeatureDrift drift) { return wrap_as(feature_drift_type(), std::move(drift)); }

namespace {

std::string feature_drift_repr(const FeatureDrift& d) {
    return format("FeatureDrift(feature={}, score={}, severity={})", d.feature_name, Fixed{d.drift_score, 4},
                  engine::severity_text(d.severity));
}

std::string_view severity_of(const FeatureDrift& d) { return engine::severity_text(d.severity); }

struct KolmogorovSmirnov {
    static constexpr const char* signature = "kolmogorov_smirnov(baseline, current)";
    static constexpr const char* doc = "Kolmogorov-Smirnov statistic (max CDF gap) between two samples.";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        const Floats baseline(a.raw("baseline"), "baseline"), current(a.raw("current"), "current");
        const auto b = baseline.values(), c = current.values();
        return to_py(unlocked(b.size() + c.size(), [&] { return engine::DriftDetector::kolmogorov_smirnov(b, c); }));
    }
};

struct HellingerDistance {
    static constexpr const char* signature = "hellinger_distance(baseline, current)";
    static constexpr const char* doc = "Hellinger distance between two samples' fitted distributions.";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        const auto baseline = a.get<std::vector<double>>("baseline");
        const auto current = a.get<std::vector<double>>("current");
        return to_py(
            unlocked(baseline.size() + current.size(), [&] { return engine::hellinger_distance(baseline, current); }));
    }
};

struct ChiSquareDrift {
    static constexpr const char* signature = "chi_square_drift(baseline_counts, current_counts)";
    static constexpr const char* doc =
        "Chi-square statistic for drift between two categorical count distributions.";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        const auto baseline = a.get<CountsArg>("baseline_counts");
        const auto current = a.get<CountsArg>("current_counts");
        return to_py(unlocked(baseline.entries.size() + current.entries.size(),
                              [&] { return engine::chi_square_drift(baseline.entries, current.entries); }));
    }
};

struct DetectFeatureDrift {
    static constexpr const char* signature = "detect_feature_drift(feature_name, baseline, current, method)";
    static constexpr const char* doc =
        "Detect drift in a single numeric feature between a `baseline` and\n"
        "`current` sample, classified into a severity level (\"none\"/\"low\"/\n"
        "\"medium\"/\"high\"/\"critical\").";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        auto feature_name = a.get<std::string>("feature_name");
        const auto baseline = a.get<std::vector<double>>("baseline");
        const auto current = a.get<std::vector<double>>("current");
        (void)a.get<std::string>("method");  // type check in parameter order
        const std::string method_text = lowered(a.raw("method"), "method");
        const auto method = engine::parse_drift_method(method_text);
        if (!method)
            raise(PyExc_ValueError,
                  format("Unknown drift method '{}'. Expected one of: ks, kl, hellinger, chi_square", method_text));
        return feature_drift_to_py(unlocked(baseline.size() + current.size(), [&] {
            return engine::DriftDetector::detect_feature_drift(std::move(feature_name), baseline, current, *method);
        }));
    }
};

struct DetectSegmentCompositionChange {
    static constexpr const char* signature = "detect_segment_composition_change(previous_segments, current_segments)";
    static constexpr const char* doc =
        "Compare segment membership counts between two points in time and report\n"
        "size/churn/growth changes per segment.";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        const auto previous = a.get<CountsArg>("previous_segments");
        const auto current = a.get<CountsArg>("current_segments");
        auto changes = unlocked(previous.entries.size() + current.entries.size(),
                                [&] { return engine::segment_composition_change(previous.entries, current.entries); });
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(changes.size())));
        for (std::size_t i = 0; i < changes.size(); ++i)
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), wrap_as(segment_composition_change_type(), std::move(changes[i])).release());
        return list;
    }
};

}  // namespace

constexpr const char* kFeatureDriftDoc =
    "The drift of one feature between a baseline and a current sample: its score\n"
    "and severity. Made by detect_feature_drift and the streaming engine's drift check;\n"
    "the attributes are read-only.\n"
    "\n"
    ">>> d = detect_feature_drift(\"spend\", [1.0, 2.0, 3.0, 4.0], [3.0, 4.0, 5.0, 6.0], \"ks\")\n"
    ">>> d.drift_score, d.severity, d\n"
    "(0.5, 'critical', FeatureDrift(feature=spend, score=0.5000, severity=critical))";

PyTypeObject* feature_drift_type() {
    return type_once<FeatureDrift>([] {
        return ClassDef<FeatureDrift>("PyFeatureDrift", kFeatureDriftDoc)
            .property<&FeatureDrift::feature_name>("feature_name", "The feature's name as given.")
            .property<&FeatureDrift::drift_score>(
                "drift_score", "The drift statistic, 0 to 1 (Kolmogorov-Smirnov or Hellinger, by method).")
            .property<&severity_of>(
                "severity",
                "The graded score: \"none\" < 0.1 <= \"low\" < 0.2 <= \"medium\" < 0.35 <= \"high\" < 0.5 <= \"critical\".")
            .property<&FeatureDrift::timestamp>(
                "timestamp", "When the drift was measured, whole seconds since the Unix epoch.")
            .repr<&feature_drift_repr>()
            .pickle<FeatureDriftState>()
            .build();
    });
}

constexpr const char* kSegmentCompositionChangeDoc =
    "How one segment's membership changed between two points in time. Made by\n"
    "detect_segment_composition_change; the attributes are read-only.\n"
    "\n"
    ">>> [c] = detect_segment_composition_change({\"vip\": 40}, {\"vip\": 30})\n"
    ">>> c.segment_name, c.previous_size, c.current_size, c.size_change_percent\n"
    "('vip', 40, 30, -25.0)";

PyTypeObject* segment_composition_change_type() {
    using C = SegmentCompositionChange;
    return type_once<C>([] {
        return ClassDef<C>("PySegmentCompositionChange", kSegmentCompositionChangeDoc)
            .property<&C::segment_name>("segment_name", "The segment.")
            .property<&C::previous_size>("previous_size", "Its size before (0 when it was absent).")
            .property<&C::current_size>("current_size", "Its size now (0 when it is absent).")
            .property<&C::size_change_percent>(
                "size_change_percent", "The change in size as a percentage of the whole previous population.")
            .property<&C::churn_rate>("churn_rate", "Relative shrinkage (previous - current) / previous when the segment shrank, else 0.")
            .property<&C::growth_rate>("growth_rate", "Relative growth (current - previous) / previous; 1.0 for a segment new now; 0 when it shrank.")
            .pickle<CompositionState>()
            .build();
    });
}

PyMethodDef* kolmogorov_smirnov_def() { return function_def<KolmogorovSmirnov>(); }
PyMethodDef* hellinger_distance_def() { return function_def<HellingerDistance>(); }
PyMethodDef* chi_square_drift_def() { return function_def<ChiSquareDrift>(); }
PyMethodDef* detect_feature_drift_def() { return function_def<DetectFeatureDrift>(); }
PyMethodDef* detect_segment_composition_change_def() { return function_def<DetectSegmentCompositionChange>(); }

}  // namespace segmora::py
