#include "engine/churn.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace segmora::engine {

namespace {

constexpr std::array<std::string_view, 5> kRiskNames = {"very_low", "low", "medium", "high", "critical"};
constexpr std::array<double, 5> kRiskThresholds = {0.1, 0.25, 0.5, 0.75, 0.9};
constexpr std::array<std::string_view, 3> kModelNames = {"logistic_regression", "random_forest",
                                                         "gradient_boosting"};

}  // namespace

std::string_view risk_name(ChurnRiskLevel level) noexcept { return kRiskNames[static_cast<std::size_t>(level)]; }
double risk_threshold(ChurnRiskLevel level) noexcept { return kRiskThresholds[static_cast<std::size_t>(level)]; }
std::string_view model_name(ChurnModel model) noexcept { return kModelNames[static_cast<std::size_t>(model)]; }

double rule_churn_probability(double frequency, double order_value) noexcept {
    // Comparisons with NaN are false, so a NaN falls to the last branch of each.
    double p = 0.0;
    if (frequency < 1.0) p += 0.25;
    else if (frequency < 3.0) p += 0.15;
    else if (frequency < 6.0) p += 0.05;
    if (order_value < 100.0) p += 0.15;
    else if (order_value < 500.0) p += 0.08;
    return std::min(p, 1.0);
}

CustomerLTV simple_ltv(std::string customer_id, const LtvInputs& in) {
    CustomerLTV out;
    out.customer_id = std::move(customer_id);
    out.historical_value = in.total_spent;
    if (in.purchase_count == 0 || in.days_active == 0) {
        out.predicted_ltv = out.predicted_ltv_3yr = out.predicted_ltv_5yr = in.total_spent;
        out.churn_probability = 0.5;
        out.confidence_score = 0.3;
        return out;
    }
    const double n = static_cast<double>(in.purchase_count);
    const double order_value = in.total_spent / n;
    const double frequency = n / (static_cast<double>(in.days_active) / 365.0);
    out.churn_probability = rule_churn_probability(frequency, order_value);
    out.annual_value = order_value * frequency;
    out.predicted_ltv = (static_cast<double>(in.avg_customer_lifespan_days) / 365.0) * out.annual_value;
    out.predicted_ltv_3yr = out.annual_value * 3.0 * 0.85;
    out.predicted_ltv_5yr = out.annual_value * 5.0 * 0.7;
    out.confidence_score = 0.75;
    return out;
}

}  // namespace segmora::engine
