// PyChurnRiskLevel, PyChurnPrediction, PyCustomerLTV and calculate_simple_ltv.
#include <string>
#include <string_view>

#include "engine/churn.hpp"
#include "python/bindings.hpp"
#include "python/toolkit/classdef.hpp"
#include "python/toolkit/format.hpp"

namespace segmora::py {

template <>
inline constexpr std::uint32_t enum_count<engine::ChurnRiskLevel> = 5;
template <>
inline constexpr std::uint32_t enum_count<engine::ChurnModel> = 3;

namespace {

using engine::ChurnPrediction;
using engine::ChurnRiskLevel;
using engine::CustomerLTV;

// ---- PyChurnRiskLevel ----

using LevelVeryLow = MakeValue<ChurnRiskLevel::VeryLow, "very_low()", "The \"very_low\" risk level (threshold 0.1).">;
using LevelLow = MakeValue<ChurnRiskLevel::Low, "low()", "The \"low\" risk level (threshold 0.25).">;
using LevelMedium = MakeValue<ChurnRiskLevel::Medium, "medium()", "The \"medium\" risk level (threshold 0.5).">;
using LevelHigh = MakeValue<ChurnRiskLevel::High, "high()", "The \"high\" risk level (threshold 0.75).">;
using LevelCritical = MakeValue<ChurnRiskLevel::Critical, "critical()", "The \"critical\" risk level (threshold 0.9).">;

struct LevelAsStr {
    static constexpr const char* signature = "as_str($self)";
    static constexpr const char* doc =
        "The level's name: \"very_low\", \"low\", \"medium\", \"high\" or \"critical\".";
    static constexpr Raises raises = Raises::ValueError;
    static constexpr Access access = Access::Shared;
    static Ref call(const ChurnRiskLevel& self, Args&) { return to_py(engine::risk_name(self)); }
};

struct LevelThreshold {
    static constexpr const char* signature = "threshold($self)";
    static constexpr const char* doc =
        "The churn probability at which the level starts: 0.1, 0.25, 0.5, 0.75 or 0.9.";
    static constexpr Raises raises = Raises::ValueError;
    static constexpr Access access = Access::Shared;
    static Ref call(const ChurnRiskLevel& self, Args&) { return to_py(engine::risk_threshold(self)); }
};

// ---- PyChurnPrediction ----

std::string_view prediction_risk(const ChurnPrediction& p) { return engine::risk_name(p.risk_level); }
std::string_view prediction_model(const ChurnPrediction& p) { return engine::model_name(p.model_type); }

std::string prediction_repr(const ChurnPrediction& p) {
    return format("ChurnPrediction(customer_id={}, prob={}, risk={}, confidence={})", p.customer_id,
                  Fixed{p.churn_probability, 4}, engine::risk_name(p.risk_level), Fixed{p.confidence, 4});
}

// ---- PyCustomerLTV ----

struct CalculateSimpleLtv {
    static constexpr const char* signature =
        "calculate_simple_ltv(customer_id, total_spent, purchase_count, days_active, avg_customer_lifespan_days)";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        auto customer_id = a.get<std::string>("customer_id");
        engine::LtvInputs in;
        in.total_spent = a.get<double>("total_spent");
        in.purchase_count = a.get<std::uint64_t>("purchase_count");
        in.days_active = a.get<std::int32_t>("days_active");
        in.avg_customer_lifespan_days = a.get<std::int32_t>("avg_customer_lifespan_days");
        return wrap(engine::simple_ltv(std::move(customer_id), in));
    }
};

std::string ltv_repr(const CustomerLTV& v) {
    return format("CustomerLTV(customer_id={}, ltv={}, 3yr={}, 5yr={})", v.customer_id, Fixed{v.predicted_ltv, 2},
                  Fixed{v.predicted_ltv_3yr, 2}, Fixed{v.predicted_ltv_5yr, 2});
}

// ---- pickling ----

using RiskLevelState = EnumState<ChurnRiskLevel, enum_count<ChurnRiskLevel>>;
using PredictionState =
    FieldsState<ChurnPrediction, &ChurnPrediction::customer_id, &ChurnPrediction::churn_probability,
                &ChurnPrediction::risk_level, &ChurnPrediction::confidence,
                &ChurnPrediction::days_until_churn_estimate, &ChurnPrediction::model_type>;
using LtvState = FieldsState<CustomerLTV, &CustomerLTV::customer_id, &CustomerLTV::historical_value,
                             &CustomerLTV::annual_value, &CustomerLTV::predicted_ltv, &CustomerLTV::predicted_ltv_3yr,
                             &CustomerLTV::predicted_ltv_5yr, &CustomerLTV::churn_probability,
                             &CustomerLTV::confidence_score>;

}  // namespace

constexpr const char* kChurnRiskLevelDoc =
    "One of five churn risk levels, made by its static method: very_low(), low(),\n"
    "medium(), high() or critical(). as_str() gives its name, threshold() the churn\n"
    "probability at which it starts.\n"
    "\n"
    ">>> level = PyChurnRiskLevel.high()\n"
    ">>> level.as_str(), level.threshold()\n"
    "('high', 0.75)";

PyTypeObject* churn_risk_level_type() {
    return type_once<ChurnRiskLevel>([] {
        return ClassDef<ChurnRiskLevel>("PyChurnRiskLevel", kChurnRiskLevelDoc)
            .method<LevelVeryLow>()
            .method<LevelLow>()
            .method<LevelMedium>()
            .method<LevelHigh>()
            .method<LevelCritical>()
            .method<LevelAsStr>()
            .method<LevelThreshold>()
            .pickle<RiskLevelState>()
            .build();
    });
}

constexpr const char* kChurnPredictionDoc =
    "A churn prediction for one customer: probability, risk level, confidence, days\n"
    "until churn and the model kind. The attributes are read-only; no function of the\n"
    "module returns one.";

PyTypeObject* churn_prediction_type() {
    return type_once<ChurnPrediction>([] {
        return ClassDef<ChurnPrediction>("PyChurnPrediction", kChurnPredictionDoc)
            .property<&ChurnPrediction::customer_id>("customer_id", "The customer's id.")
            .property<&ChurnPrediction::churn_probability>(
                "churn_probability", "Predicted probability of churn, 0 to 1.")
            .property<&prediction_risk>("risk_level", "Name of the PyChurnRiskLevel the probability falls in.")
            .property<&ChurnPrediction::confidence>("confidence", "Confidence of the prediction, 0 to 1.")
            .property<&ChurnPrediction::days_until_churn_estimate>(
                "days_until_churn_estimate", "Estimated days until the customer churns.")
            .property<&prediction_model>(
                "model_type", "The model kind: \"logistic_regression\", \"random_forest\" or \"gradient_boosting\".")
            .repr<&prediction_repr>()
            .pickle<PredictionState>()
            .build();
    });
}

constexpr const char* kCustomerLTVDoc =
    "A customer's simple lifetime value, as calculate_simple_ltv estimates it: the\n"
    "historical value, the annual value, predicted values over the average lifespan,\n"
    "three and five years, a rule-based churn probability and a confidence score.\n"
    "The attributes are read-only.\n"
    "\n"
    ">>> ltv = calculate_simple_ltv(\"c1\", 1200.0, 12, 365, 1095)\n"
    ">>> ltv.annual_value, ltv.churn_probability, ltv\n"
    "(1200.0, 0.08, CustomerLTV(customer_id=c1, ltv=3600.00, 3yr=3060.00, 5yr=4200.00))";

PyTypeObject* customer_ltv_type() {
    return type_once<CustomerLTV>([] {
        return ClassDef<CustomerLTV>("PyCustomerLTV", kCustomerLTVDoc)
            .property<&CustomerLTV::customer_id>("customer_id", "The customer's id.")
            .property<&CustomerLTV::historical_value>("historical_value", "Total spent so far.")
            .property<&CustomerLTV::annual_value>(
                "annual_value", "Average order value times purchases per year (0.0 without purchases or active days).")
            .property<&CustomerLTV::predicted_ltv>(
                "predicted_ltv", "Annual value over the average customer lifespan (lifespan days / 365 years).")
            .property<&CustomerLTV::predicted_ltv_3yr>(
                "predicted_ltv_3yr", "Three years of annual value with a 0.85 retention discount.")
            .property<&CustomerLTV::predicted_ltv_5yr>(
                "predicted_ltv_5yr", "Five years of annual value with a 0.7 retention discount.")
            .property<&CustomerLTV::churn_probability>(
                "churn_probability",
                "Rule-based churn probability from purchase frequency and order size, 0 to 0.4 (0.5 without data).")
            .property<&CustomerLTV::confidence_score>(
                "confidence_score", "0.75 for a computed estimate, 0.3 when there were no purchases or no active days.")
            .repr<&ltv_repr>()
            .pickle<LtvState>()
            .build();
    });
}

PyMethodDef* calculate_simple_ltv_def() { return function_def<CalculateSimpleLtv>(); }

}  // namespace segmora::py
