// Churn-risk vocabulary and a rule-based customer lifetime value.
//
// Five risk levels with fixed names and thresholds; simple_ltv turns total spend,
// purchase count and active days into annual value, lifespan value, three- and
// five-year values with a retention discount and a churn probability from
// purchase frequency and order size. Nothing fails and nothing is random; with
// no purchases or no active days the result is the fallback (every prediction
// equals the spend, probability 0.5, confidence 0.3).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace segmora::engine {

enum class ChurnRiskLevel { VeryLow, Low, Medium, High, Critical };

// "very_low", "low", "medium", "high", "critical".
std::string_view risk_name(ChurnRiskLevel level) noexcept;
// 0.1, 0.25, 0.5, 0.75, 0.9.
double risk_threshold(ChurnRiskLevel level) noexcept;

enum class ChurnModel { LogisticRegression, RandomForest, GradientBoosting };

// "logistic_regression", "random_forest", "gradient_boosting".
std::string_view model_name(ChurnModel model) noexcept;

struct ChurnPrediction {
    std::string customer_id;
    double churn_probability = 0.0;
    ChurnRiskLevel risk_level = ChurnRiskLevel::VeryLow;
    double confidence = 0.0;
    std::int32_t days_until_churn_estimate = 0;
    ChurnModel model_type = ChurnModel::LogisticRegression;
};

struct CustomerLTV {
    std::string customer_id;
    double historical_value = 0.0;
    double annual_value = 0.0;
    double predicted_ltv = 0.0;
    double predicted_ltv_3yr = 0.0;
    double predicted_ltv_5yr = 0.0;
    double churn_probability = 0.0;
    double confidence_score = 0.0;
};

struct LtvInputs {
    double total_spent = 0.0;
    std::uint64_t purchase_count = 0;
    std::int32_t days_active = 0;
    std::int32_t avg_customer_lifespan_days = 0;
};

// Churn probability of a customer buying `frequency` times a year with average
// order `order_value`: 0.25 / 0.15 / 0.05 / 0 by frequency (< 1, < 3, < 6, else)
// plus 0.15 / 0.08 / 0 by order size (< 100, < 500, else); NaN adds nothing.
double rule_churn_probability(double frequency, double order_value) noexcept;

CustomerLTV simple_ltv(std::string customer_id, const LtvInputs& in);

}  // namespace segmora::engine
