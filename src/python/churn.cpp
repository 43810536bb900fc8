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

using LevelVeryLow = MakeValue<ChurnRiskLevel::VeryLow, "very_low()">;
using LevelLow = MakeValue<ChurnRiskLevel::Low, "low()">;
using LevelMedium = MakeValue<ChurnRiskLevel::Medium, "medium()">;
using LevelHigh = MakeValue<ChurnRiskLevel::High, "high()">;
using LevelCritical = MakeValue<ChurnRiskLevel::Critical, "critical()">;

struct LevelAsStr {
    static constexpr const char* signature = "as_str($self)";
    static constexpr Raises raises = Raises::ValueError;
    static constexpr Access access = Access::Shared;
    static Ref call(const ChurnRiskLevel& self, Args&) { return to_py(engine::risk_name(self)); }
};

struct LevelThreshold {
    static constexpr const char* signature = "threshold($self)";
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

PyTypeObject* churn_risk_level_type() {
    return type_once<ChurnRiskLevel>([] {
        return ClassDef<ChurnRiskLevel>("PyChurnRiskLevel")
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

PyTypeObject* churn_prediction_type() {
    return type_once<ChurnPrediction>([] {
        return ClassDef<ChurnPrediction>("PyChurnPrediction")
            .property<&ChurnPrediction::customer_id>("customer_id")
            .property<&ChurnPrediction::churn_probability>("churn_probability")
            .property<&prediction_risk>("risk_level")
            .property<&ChurnPrediction::confidence>("confidence")
            .property<&ChurnPrediction::days_until_churn_estimate>("days_until_churn_estimate")
            .property<&prediction_model>("model_type")
            .repr<&prediction_repr>()
            .pickle<PredictionState>()
            .build();
    });
}

PyTypeObject* customer_ltv_type() {
    return type_once<CustomerLTV>([] {
        return ClassDef<CustomerLTV>("PyCustomerLTV")
            .property<&CustomerLTV::customer_id>("customer_id")
            .property<&CustomerLTV::historical_value>("historical_value")
            .property<&CustomerLTV::annual_value>("annual_value")
            .property<&CustomerLTV::predicted_ltv>("predicted_ltv")
            .property<&CustomerLTV::predicted_ltv_3yr>("predicted_ltv_3yr")
            .property<&CustomerLTV::predicted_ltv_5yr>("predicted_ltv_5yr")
            .property<&CustomerLTV::churn_probability>("churn_probability")
            .property<&CustomerLTV::confidence_score>("confidence_score")
            .repr<&ltv_repr>()
            .pickle<LtvState>()
            .build();
    });
}

PyMethodDef* calculate_simple_ltv_def() { return function_def<CalculateSimpleLtv>(); }

}  // namespace segmora::py
