#include "engine/lifecycle.hpp"

#include <cmath>

#include "engine/keyed_hash.hpp"
#include "text.hpp"

namespace segmora::engine {

namespace {

constexpr std::array<std::string_view, 7> kStageNames = {"prospect", "onboarding", "active", "mature",
                                                         "at_risk",  "dormant",    "churned"};

constexpr std::array<std::array<std::string_view, 3>, 7> kActions = {{
    {"Send welcome email with product overview", "Offer first-time purchase discount", "Create onboarding sequence"},
    {"Guide feature discovery", "Celebrate first purchase", "Send value-building tips"},
    {"Recommend complementary products", "Send personalized offers", "Request feedback and reviews"},
    {"VIP rewards program", "Exclusive early access", "Loyalty recognition"},
    {"Targeted win-back campaign", "Special re-engagement offer", "Personalized product recommendations"},
    {"Reactivation campaign", "Incentivized return offer", "Survey for feedback"},
    {"Final win-back attempt", "Exit survey", "Sunset workflow"},
}};

struct Rule {
    LifecycleStage stage;
    double confidence;
    double expansion;
};

Rule place(const LifecycleSignals& s) noexcept {
    const auto signup = s.days_since_signup;
    const auto last = s.days_since_last_purchase;
    if (s.purchase_count == 0) {
        if (signup < 30) return {LifecycleStage::Prospect, 0.9, 0.0};
        return {LifecycleStage::Dormant, 0.75, 0.0};
    }
    if (signup < 30) return {LifecycleStage::Onboarding, 0.95, 0.85};
    if (last > 180) return {LifecycleStage::Dormant, 0.75, 0.0};
    if (last > 90) return {LifecycleStage::AtRisk, 0.8, 0.4};
    if (signup >= 731) return {LifecycleStage::Mature, 0.9, 0.6};
    return {LifecycleStage::Active, 0.85, 0.7};
}

}  // namespace

std::string_view stage_name(LifecycleStage stage) noexcept { return kStageNames[static_cast<std::size_t>(stage)]; }

std::optional<LifecycleStage> parse_stage(std::string_view lowered) noexcept {
    if (lowered == "atrisk") return LifecycleStage::AtRisk;
    for (std::size_t i = 0; i < kStageNames.size(); ++i)
        if (lowered == kStageNames[i]) return static_cast<LifecycleStage>(i);
    return std::nullopt;
}

const std::array<std::string_view, 3>& retention_actions(LifecycleStage stage) noexcept {
    return kActions[static_cast<std::size_t>(stage)];
}

std::string unknown_stage_message(std::string_view lowered) {
    return format(
        "Unknown lifecycle stage '{}'. Expected one of: prospect, onboarding, active, mature, at_risk, dormant, churned",
        lowered);
}

double retention_score(double purchase_frequency, std::int32_t days_since_last_purchase) noexcept {
    // fmin ignores a NaN operand.
    const double frequency_part = std::fmin(purchase_frequency / 10.0, 1.0);
    const double recency_part = 1.0 - std::fmin(static_cast<double>(days_since_last_purchase) / 365.0, 1.0);
    return (frequency_part + recency_part) * 0.5;
}

LifecycleProfile classify_lifecycle(std::string customer_id, const LifecycleSignals& s) {
    const Rule rule = place(s);
    LifecycleProfile p;
    p.customer_id = std::move(customer_id);
    p.stage = rule.stage;
    p.stage_confidence = rule.confidence;
    p.total_purchase_count = s.purchase_count;
    p.total_value = s.total_value;
    p.avg_order_value = s.purchase_count > 0 ? s.total_value / static_cast<double>(s.purchase_count) : 0.0;
    p.retention_score = retention_score(s.purchase_frequency, s.days_since_last_purchase);
    p.expansion_potential = rule.expansion;
    return p;
}

std::vector<std::pair<std::string, double>> stage_distribution(std::span<const std::string_view> stages) {
    std::vector<std::pair<std::string, double>> out;
    if (stages.empty()) return out;
    StringMap<std::size_t> slot;  // name -> index in `out`
    std::vector<std::uint64_t> counts;
    for (std::string_view name : stages) {
        auto it = slot.find(name);
        if (it == slot.end()) {
            it = slot.emplace(std::string(name), out.size()).first;
            out.emplace_back(std::string(name), 0.0);
            counts.push_back(0);
        }
        ++counts[it->second];
    }
    const double total = static_cast<double>(stages.size());
    for (std::size_t i = 0; i < out.size(); ++i) out[i].second = static_cast<double>(counts[i]) / total * 100.0;
    return out;
}

}  // namespace segmora::engine
