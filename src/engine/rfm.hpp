// RFM analysis: the segment vocabulary and the naming rule.
//
// Thirteen segment types, each with a display name (the text shown wherever a
// segment appears: RFM records, SQL export, reprs) and a one-line description.
// segment_name(r, f, m) names a scored record: a score is high when it is
// greater than 3, whatever the scoring scale.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace segmora::engine {

enum class SegmentType {
    Champions,
    LoyalCustomers,
    PotentialLoyalists,
    AtRisk,
    CannotLose,
    VIP,
    NewCustomers,
    NeedAttention,
    AboutToSleep,
    AtRiskSleeping,
    Promising,
    Lost,
    Hibernating,
};

constexpr std::size_t kSegmentTypeCount = 13;

struct SegmentInfo {
    SegmentType type;
    std::string_view display_name;
    std::string_view description;
};

// All thirteen types in declaration order.
const std::array<SegmentInfo, kSegmentTypeCount>& segment_types() noexcept;

std::string_view display_name(SegmentType type) noexcept;
std::string_view description(SegmentType type) noexcept;

// The segment of a record with recency, frequency and monetary scores r, f, m.
SegmentType segment_for_scores(std::uint32_t r, std::uint32_t f, std::uint32_t m) noexcept;

}  // namespace segmora::engine
