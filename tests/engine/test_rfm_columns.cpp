// Columnar RFM core: grouping by first appearance whatever the worker count,
// and the same records as calculate_rfm_at for the same transactions.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "engine/rfm.hpp"
#include "engine/rfm_columns.hpp"
#include "engine/thread_pool.hpp"

namespace segmora::engine {
namespace {

// 100,000 rows over 7,919 keys in a scrambled order (enough rows to split across workers).
std::vector<std::string> scrambled_keys() {
    std::vector<std::string> keys;
    for (std::uint64_t i = 0; i < 100'000; ++i) {
        keys.emplace_back("k");  // appended to, since "k" + std::to_string(...) draws a false -Wrestrict from GCC 12
        keys.back() += std::to_string((i * 2'654'435'761u) % 7'919);
    }
    return keys;
}

class Grouped : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Grouped, NumbersKeysByFirstAppearance) {
    const std::vector<std::string> owned = scrambled_keys();
    const std::vector<std::string_view> texts(owned.begin(), owned.end());
    std::vector<std::int64_t> integers;
    for (const auto& k : owned) integers.push_back(std::stoll(k.substr(1)));
    std::vector<std::size_t> first;  // the reference: numbers handed out as keys are first seen
    std::vector<std::uint32_t> expected(owned.size());
    std::map<std::string, std::uint32_t> seen;
    for (std::size_t i = 0; i < owned.size(); ++i) {
        const auto [it, added] = seen.emplace(owned[i], static_cast<std::uint32_t>(first.size()));
        if (added) first.push_back(i);
        expected[i] = it->second;
    }
    const auto pool = build_thread_pool(static_cast<std::int32_t>(GetParam()));
    for (const Grouping& g : {group_texts(texts, pool.get()), group_integers(integers, pool.get())}) {
        EXPECT_EQ(g.first_row, first);
        EXPECT_EQ(g.group_of, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Workers, Grouped, ::testing::Values(1, 2, 3, 8));

TEST(RfmColumns, EqualsCalculateRfmAt) {
    const char* stamps[] = {"2024-03-01T10:00:00Z", "2024-02-01T10:00:00+05:00", "bad", "2023-12-24T23:59:59.5Z"};
    std::vector<std::string> ids;
    std::vector<Transaction> tx;
    std::vector<std::optional<Instant>> when;
    std::vector<double> amounts;
    ids.reserve(50);  // the transactions view these strings
    for (int i = 0; i < 50; ++i) {
        ids.emplace_back("c");
        ids.back() += std::to_string((i * 7) % 13);
        amounts.push_back((i % 5 == 0) ? -3.5 : 1.25 * i);
        tx.push_back({ids[i], stamps[i % 4], amounts[i]});
        when.push_back(parse_rfc3339(stamps[i % 4]));
    }
    const Instant now{1'710'000'000, 123};
    const std::vector<std::string_view> keys(ids.begin(), ids.end());
    for (const ScoringMethod method : {ScoringMethod::Quintile, ScoringMethod::Decile, ScoringMethod::Percentile}) {
        RFMConfig config;
        config.scoring_method = method;
        const std::vector<RFMScore> ref = calculate_rfm_at(tx, config, 2, now);
        const RfmColumnsResult got = rfm_columns(std::span<const std::string_view>(keys), {when, amounts}, config, 2, now);
        const auto& t = got.table;
        ASSERT_EQ(t.group.size(), ref.size());
        for (std::size_t i = 0; i < ref.size(); ++i) {
            EXPECT_EQ(std::tuple(ids[got.first_row[i]], t.recency[i], t.frequency[i], t.monetary[i], t.recency_score[i],
                                 t.frequency_score[i], t.monetary_score[i], std::string(display_name(t.segment[i]))),
                      std::tuple(ref[i].customer_id, ref[i].recency, ref[i].frequency, ref[i].monetary,
                                 ref[i].recency_score, ref[i].frequency_score, ref[i].monetary_score, ref[i].segment))
                << "record " << i;
        }
    }
}

}  // namespace
}  // namespace segmora::engine
