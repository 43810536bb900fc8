// PyLifecycleProfile, classify_lifecycle_stage, lifecycle_retention_actions and
// lifecycle_stage_distribution.
#include <string>
#include <string_view>
#include <vector>

#include "engine/lifecycle.hpp"
#include "python/bindings.hpp"
#include "python/lowercase.hpp"
#include "python/toolkit/classdef.hpp"
#include "python/toolkit/format.hpp"

namespace segmora::py {

template <>
inline constexpr std::uint32_t enum_count<engine::LifecycleStage> = 7;

namespace {

using engine::LifecycleProfile;

struct ClassifyLifecycleStage {
    static constexpr const char* signature =
        "classify_lifecycle_stage(customer_id, days_since_signup, purchase_count, total_value, "
        "days_since_last_purchase, purchase_frequency)";
    static constexpr const char* doc =
        "Classify a customer into a lifecycle stage (prospect / onboarding /\n"
        "active / mature / at_risk / dormant / churned) from behavioral signals.";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        auto customer_id = a.get<std::string>("customer_id");
        engine::LifecycleSignals s;
        s.days_since_signup = a.get<std::int32_t>("days_since_signup");
        s.purchase_count = a.get<std::uint64_t>("purchase_count");
        s.total_value = a.get<double>("total_value");
        s.days_since_last_purchase = a.get<std::int32_t>("days_since_last_purchase");
        s.purchase_frequency = a.get<double>("purchase_frequency");
        return wrap(engine::classify_lifecycle(std::move(customer_id), s));
    }
};

struct LifecycleRetentionActions {
    static constexpr const char* signature = "lifecycle_retention_actions(stage)";
    static constexpr const char* doc = "Recommended retention actions for a given lifecycle stage name.";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        (void)a.get<std::string>("stage");  // type check: a str
        const std::string name = lowered(a.raw("stage"), "stage");
        const auto stage = engine::parse_stage(name);
        if (!stage) raise(PyExc_ValueError, engine::unknown_stage_message(name));
        const auto& actions = engine::retention_actions(*stage);
        return to_py(std::vector<std::string_view>(actions.begin(), actions.end()));
    }
};

struct LifecycleStageDistribution {
    static constexpr const char* signature = "lifecycle_stage_distribution(profiles)";
    static constexpr const char* doc = "Percentage breakdown of customers across lifecycle stages.";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        const auto profiles = a.get<std::vector<Borrowed<LifecycleProfile>>>("profiles");
        std::vector<std::string_view> stages;
        stages.reserve(profiles.size());
        for (const auto& p : profiles) stages.push_back(engine::stage_name(p->stage));
        Ref dict = Ref::steal(PyDict_New());
        for (const auto& [name, share] : engine::stage_distribution(stages)) {
            Ref value = to_py(share);
            if (PyDict_SetItemString(dict.get(), name.c_str(), value.get()) < 0) throw PyErrorAlreadySet{};
        }
        return dict;
    }
};

std::string_view profile_stage(const LifecycleProfile& p) { return engine::stage_name(p.stage); }

std::string profile_repr(const LifecycleProfile& p) {
    return format("LifecycleProfile(customer_id={}, stage={}, retention_score={})", p.customer_id,
                  engine::stage_name(p.stage), Fixed{p.retention_score, 2});
}

using ProfileState =
    FieldsState<LifecycleProfile, &LifecycleProfile::customer_id, &LifecycleProfile::stage,
                &LifecycleProfile::stage_confidence, &LifecycleProfile::total_purchase_count,
                &LifecycleProfile::total_value, &LifecycleProfile::avg_order_value,
                &LifecycleProfile::retention_score, &LifecycleProfile::expansion_potential>;

}  // namespace

constexpr const char* kLifecycleProfileDoc =
    "A customer's lifecycle stage with its confidence, order value, retention score\n"
    "and expansion potential, as classify_lifecycle_stage decides it. The attributes\n"
    "are read-only.\n"
    "\n"
    ">>> p = classify_lifecycle_stage(\"c1\", 400, 12, 1200.0, 10, 1.0)\n"
    ">>> p.current_stage, p.avg_order_value, p\n"
    "('active', 100.0, LifecycleProfile(customer_id=c1, stage=active, retention_score=0.54))";

PyTypeObject* lifecycle_profile_type() {
    return type_once<LifecycleProfile>([] {
        return ClassDef<LifecycleProfile>("PyLifecycleProfile", kLifecycleProfileDoc)
            .property<&LifecycleProfile::customer_id>("customer_id", "The customer's id.")
            .property<&profile_stage>(
                "current_stage",
                "The stage: \"prospect\", \"onboarding\", \"active\", \"mature\", \"at_risk\" or \"dormant\".")
            .property<&LifecycleProfile::stage_confidence>(
                "stage_confidence", "Confidence of the stage, fixed per rule (0.75 to 0.95).")
            .property<&LifecycleProfile::total_purchase_count>("total_purchase_count", "The purchase count given.")
            .property<&LifecycleProfile::total_value>("total_value", "The total value given.")
            .property<&LifecycleProfile::avg_order_value>(
                "avg_order_value", "Total value per purchase (0.0 without purchases).")
            .property<&LifecycleProfile::retention_score>(
                "retention_score", "Mean of min(frequency / 10, 1) and 1 - min(days since last purchase / 365, 1).")
            .property<&LifecycleProfile::expansion_potential>(
                "expansion_potential", "Room to grow the customer, fixed per stage (0.0 to 0.85).")
            .repr<&profile_repr>()
            .pickle<ProfileState>()
            .build();
    });
}

PyMethodDef* classify_lifecycle_stage_def() { return function_def<ClassifyLifecycleStage>(); }
PyMethodDef* lifecycle_retention_actions_def() { return function_def<LifecycleRetentionActions>(); }
PyMethodDef* lifecycle_stage_distribution_def() { return function_def<LifecycleStageDistribution>(); }

}  // namespace segmora::py
