// The segment table: names and descriptions from the shared vocabulary, 47 distinct triples.
#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "engine/sql_export.hpp"
#include "error.hpp"

namespace segmora::engine {
namespace {

TEST(SegmentTable, NamesComeFromTheVocabulary) {
    const auto& table = get_segment_definitions();
    ASSERT_EQ(table.size(), kSegmentTypeCount);
    std::set<std::string_view> names;
    std::set<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>> triples;
    std::size_t count = 0;
    for (const auto& entry : table) {
        names.insert(entry.definition.name);
        for (const auto& p : entry.definition.patterns) {
            triples.insert({p.r, p.f, p.m});
            ++count;
        }
    }
    for (const auto& info : segment_types()) EXPECT_TRUE(names.count(info.display_name)) << info.display_name;
    EXPECT_EQ(count, 47u);
    EXPECT_EQ(triples.size(), 47u);
    EXPECT_EQ(find_segment("CannotLose")->definition.name, "Cannot Lose Them");
    EXPECT_EQ(find_segment("CannotLose")->definition.description, description(SegmentType::CannotLose));
    EXPECT_EQ(find_segment("Cannot Lose Them"), nullptr);
}

}  // namespace
}  // namespace segmora::engine
