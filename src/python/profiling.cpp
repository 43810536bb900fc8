// PySegmentHealth, PyProfiledSegment and profile_segment.
#include <optional>
#include <string>
#include <vector>

#include "engine/profiling.hpp"
#include "python/bindings.hpp"
#include "python/toolkit/classdef.hpp"
#include "python/toolkit/format.hpp"
#include "python/toolkit/unlocked.hpp"

namespace segmora::py {

namespace {

using engine::FeatureColumn;
using engine::ProfilingEngine;
using engine::SegmentHealth;
using engine::SegmentProfile;

// A dict of feature index -> that feature's column (float sequence, not str).
struct FeaturesArg {
    std::vector<FeatureColumn> columns;
};

}  // namespace

template <>
struct From<FeaturesArg> {
    static FeaturesArg convert(PyObject* obj, const char* arg) {
        FeaturesArg out;
        if (PyDict_Check(obj)) out.columns.reserve(static_cast<std::size_t>(PyDict_Size(obj)));
        convert_dict<std::uint64_t, std::vector<double>>(obj, arg, [&](std::uint64_t index, std::vector<double> values) {
            out.columns.push_back(FeatureColumn{index, std::move(values)});
        });
        return out;
    }
};

namespace {

struct ProfileSegment {
    static constexpr const char* signature =
        "profile_segment(segment_id, members, features, feature_names=None, labels=None)";
    static constexpr const char* doc =
        "Profile one cluster/segment: per-feature summary statistics, a plain-\n"
        "English business description, key characteristics, and a stability/\n"
        "cohesion/separation health score.\n"
        "\n"
        "`members` are the segment's row indices. `features` maps a feature index\n"
        "to that feature's full column of values over all rows (used for\n"
        "cross-segment separation). `feature_names` optionally labels each feature\n"
        "index. `labels`, if given, is a ground-truth class label per row used for a\n"
        "true purity; without it `purity` is a label-free homogeneity proxy (the\n"
        "share of member values within one standard deviation of the mean).";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        const auto segment_id = a.get<std::uint64_t>("segment_id");
        const auto members = a.get<std::vector<std::uint64_t>>("members");
        auto features = a.get<FeaturesArg>("features");
        const auto names = a.get_or<std::optional<std::vector<std::string>>>("feature_names", std::nullopt);
        const auto labels = a.get_or<std::optional<std::vector<std::uint64_t>>>("labels", std::nullopt);
        std::size_t size = members.size();
        for (const FeatureColumn& c : features.columns) size += c.values.size();
        return wrap(unlocked(size, [&] {
            return ProfilingEngine::profile_segment_with_labels(segment_id, members, std::move(features.columns), names,
                                                                labels);
        }));
    }
};

Ref health_of(const SegmentProfile& p) { return wrap(p.health); }

std::string profiled_repr(const SegmentProfile& p) {
    return format("ProfiledSegment(id={}, size={}, purity={})", p.segment_id, p.size, Fixed{p.purity, 2});
}

// ---- pickling ----

using engine::FeatureImportance;
using engine::SegmentStatistics;

using HealthState = FieldsState<SegmentHealth, &SegmentHealth::stability, &SegmentHealth::cohesion,
                                &SegmentHealth::separation, &SegmentHealth::health_score>;
using ImportanceState = FieldsState<FeatureImportance, &FeatureImportance::name, &FeatureImportance::importance,
                                    &FeatureImportance::normalized>;
using StatisticsState =
    FieldsState<SegmentStatistics, &SegmentStatistics::mean, &SegmentStatistics::median, &SegmentStatistics::std,
                &SegmentStatistics::min, &SegmentStatistics::max, &SegmentStatistics::q25, &SegmentStatistics::q75>;

struct StatisticsEntryState {
    static Ref save(const std::pair<std::string, SegmentStatistics>& e) {
        return py::make_tuple(e.first, StatisticsState::save(e.second));
    }
    static std::pair<std::string, SegmentStatistics> load(PyObject* state) {
        StateReader r(state, 2);
        auto name = r.next<std::string>();
        return {std::move(name), StatisticsState::load(r.next_object())};
    }
};

struct ProfiledState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const SegmentProfile& p) {
        return py::make_tuple(p.segment_id, p.size, p.purity, p.business_description, p.key_characteristics,
                          HealthState::save(p.health), p.actionability_score,
                          save_all<ImportanceState>(p.importance), save_all<StatisticsEntryState>(p.statistics));
    }
    static SegmentProfile load(PyObject* state) {
        StateReader r(state, 9);
        SegmentProfile p;
        p.segment_id = r.next<std::uint64_t>();
        p.size = r.next<std::uint64_t>();
        p.purity = r.next<double>();
        p.business_description = r.next<std::string>();
        p.key_characteristics = r.next<std::vector<std::string>>();
        if (p.key_characteristics.empty()) throw StateError{"item 4 is empty"};
        p.health = HealthState::load(r.next_object());
        p.actionability_score = r.next<double>();
        p.importance = load_all<ImportanceState>(r.next_object(), 7);
        p.statistics = load_all<StatisticsEntryState>(r.next_object(), 8);
        return p;
    }
};

}  // namespace

constexpr const char* kSegmentHealthDoc =
    "A segment's health: stability, cohesion, separation and their blend, the\n"
    "health score. Read from PyProfiledSegment.health; the attributes are read-only.\n"
    "\n"
    ">>> p = profile_segment(0, [0, 1], {0: [1.0, 2.0, 9.0, 10.0]}, feature_names=[\"spend\"])\n"
    ">>> round(p.health.health_score, 2)\n"
    "80.15";

PyTypeObject* segment_health_type() {
    return type_once<SegmentHealth>([] {
        return ClassDef<SegmentHealth>("PySegmentHealth", kSegmentHealthDoc)
            .property<&SegmentHealth::stability>(
                "stability", "Grows with the segment's size from 0.5 (empty) toward 1.")
            .property<&SegmentHealth::cohesion>(
                "cohesion", "1 minus half the mean coefficient of variation of the features, 0 to 1.")
            .property<&SegmentHealth::separation>(
                "separation", "Mean standardised distance between the segment and the other rows, 0 to 1.")
            .property<&SegmentHealth::health_score>(
                "health_score", "Weighted blend of stability, cohesion and separation, 0 to 100.")
            .pickle<HealthState>()
            .build();
    });
}

constexpr const char* kProfiledSegmentDoc =
    "One segment profiled by profile_segment: size, purity, a description, key\n"
    "characteristics, health and actionability. The attributes are read-only.\n"
    "\n"
    ">>> p = profile_segment(0, [0, 1], {0: [1.0, 2.0, 9.0, 10.0]}, feature_names=[\"spend\"])\n"
    ">>> p, p.key_characteristics\n"
    "(ProfiledSegment(id=0, size=2, purity=1.00), ['Homogeneous segment'])";

PyTypeObject* profiled_segment_type() {
    return type_once<SegmentProfile>([] {
        return ClassDef<SegmentProfile>("PyProfiledSegment", kProfiledSegmentDoc)
            .property<&SegmentProfile::segment_id>("segment_id", "The segment id given.")
            .property<&SegmentProfile::size>("size", "Number of members (duplicates counted).")
            .property<&SegmentProfile::purity>(
                "purity", "Label purity with labels, else a label-free homogeneity proxy; 0 to 1.")
            .property<&SegmentProfile::business_description>(
                "business_description", "One plain-English sentence describing the segment.")
            .property<&SegmentProfile::key_characteristics>(
                "key_characteristics", "Notable traits of the segment (never empty).")
            .property<&health_of>("health", "The segment's PySegmentHealth.")
            .property<&SegmentProfile::actionability_score>(
                "actionability_score", "How actionable the segment is, 0 to 100.")
            .repr<&profiled_repr>()
            .pickle<ProfiledState>()
            .build();
    });
}

PyMethodDef* profile_segment_def() { return function_def<ProfileSegment>(); }

}  // namespace segmora::py
