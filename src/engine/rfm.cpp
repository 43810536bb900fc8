#include "engine/rfm.hpp"

namespace segmora::engine {

namespace {

constexpr std::array<SegmentInfo, kSegmentTypeCount> kSegments = {{
    {SegmentType::Champions, "Champions", "Best customers with highest value and engagement"},
    {SegmentType::LoyalCustomers, "Loyal Customers", "Consistent, valuable customers with steady engagement"},
    {SegmentType::PotentialLoyalists, "Potential Loyalists", "Recent high-value customers with growth potential"},
    {SegmentType::AtRisk, "At Risk", "Once valuable customers showing declining engagement"},
    {SegmentType::CannotLose, "Cannot Lose Them", "High-value customers at risk of churn - critical retention"},
    {SegmentType::VIP, "VIP", "Premium customers with exceptional value metrics"},
    {SegmentType::NewCustomers, "New Customers", "Recently acquired customers with high potential"},
    {SegmentType::NeedAttention, "Need Attention", "Moderate-value customers requiring engagement"},
    {SegmentType::AboutToSleep, "About to Sleep", "Low engagement customers at risk of dormancy"},
    {SegmentType::AtRiskSleeping, "At Risk - Sleeping", "Previously inactive customers showing re-engagement"},
    {SegmentType::Promising, "Promising", "New customers showing early signs of high value"},
    {SegmentType::Lost, "Lost", "Inactive customers unlikely to return"},
    {SegmentType::Hibernating, "Hibernating", "Inactive but potentially recoverable customers"},
}};

}  // namespace

const std::array<SegmentInfo, kSegmentTypeCount>& segment_types() noexcept { return kSegments; }

std::string_view display_name(SegmentType type) noexcept { return kSegments[static_cast<std::size_t>(type)].display_name; }

std::string_view description(SegmentType type) noexcept { return kSegments[static_cast<std::size_t>(type)].description; }

SegmentType segment_for_scores(std::uint32_t r, std::uint32_t f, std::uint32_t m) noexcept {
    const bool rh = r > 3, fh = f > 3, mh = m > 3;
    if (rh) {
        if (fh) return mh ? SegmentType::Champions : SegmentType::LoyalCustomers;
        return mh ? SegmentType::PotentialLoyalists : SegmentType::AtRisk;
    }
    if (fh) return mh ? SegmentType::VIP : SegmentType::NeedAttention;
    return mh ? SegmentType::Promising : SegmentType::Lost;
}

}  // namespace segmora::engine
