// Lifecycle stages: rule-based placement of one customer, retention actions per
// stage, and the spread of a set of classified customers over the stages.
//
// Inputs are plain numbers; nothing fails and nothing is random. NaN inputs flow
// into the derived values (the minimums of the retention score ignore a NaN
// operand). The distribution lists stages in order of first appearance.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace segmora::engine {

enum class LifecycleStage { Prospect, Onboarding, Active, Mature, AtRisk, Dormant, Churned };

// "prospect", "onboarding", ..., "churned".
std::string_view stage_name(LifecycleStage stage) noexcept;

// The stage of an already lower-cased name; "atrisk" is accepted for at_risk.
std::optional<LifecycleStage> parse_stage(std::string_view lowered) noexcept;

// The three recommended actions of a stage, most urgent first.
const std::array<std::string_view, 3>& retention_actions(LifecycleStage stage) noexcept;

// The message for a name parse_stage refused (`lowered` quoted as given).
std::string unknown_stage_message(std::string_view lowered);

struct LifecycleSignals {
    std::int32_t days_since_signup = 0;
    std::uint64_t purchase_count = 0;
    double total_value = 0.0;
    std::int32_t days_since_last_purchase = 0;
    double purchase_frequency = 0.0;
};

struct LifecycleProfile {
    std::string customer_id;
    LifecycleStage stage = LifecycleStage::Prospect;
    double stage_confidence = 0.0;
    std::uint64_t total_purchase_count = 0;
    double total_value = 0.0;
    double avg_order_value = 0.0;
    double retention_score = 0.0;
    double expansion_potential = 0.0;
};

// The first matching rule wins: no purchases -> prospect (signup < 30) or dormant;
// signup < 30 -> onboarding; last > 180 -> dormant; last > 90 -> at_risk;
// signup >= 731 -> mature; otherwise active. "churned" is never assigned.
LifecycleProfile classify_lifecycle(std::string customer_id, const LifecycleSignals& s);

// (min(frequency / 10, 1) + (1 - min(last / 365, 1))) * 0.5, unclamped below.
double retention_score(double purchase_frequency, std::int32_t days_since_last_purchase) noexcept;

// Percentage of `stages` per distinct name, in order of first appearance;
// empty input gives an empty list.
std::vector<std::pair<std::string, double>> stage_distribution(std::span<const std::string_view> stages);

}  // namespace segmora::engine
