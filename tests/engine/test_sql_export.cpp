// Core of the segment SQL export: dialect parsing, identifiers and the table.
#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "engine/sql_export.hpp"
#include "error.hpp"

namespace segmora::engine {
namespace {

TEST(SqlDialect, ParseAndCanonicalNames) {
    EXPECT_EQ(parse_dialect("PostgreSQL"), SQLDialect::Postgres);
    EXPECT_EQ(parse_dialect("SQL_SERVER"), SQLDialect::SqlServer);
    EXPECT_EQ(parse_dialect("snowfla\xE2\x84\xAA" "e"), SQLDialect::Snowflake);
    EXPECT_EQ(parse_dialect(" MySQL"), std::nullopt);
    EXPECT_EQ(parse_dialect(""), std::nullopt);
    for (SQLDialect d : sql_dialects()) EXPECT_EQ(parse_dialect(canonical_name(d)), d);
}

TEST(SqlIdentifier, Kinds) {
    EXPECT_NO_THROW(validate_identifier("db.schema.Table_2"));
    try {
        validate_identifier("a..b");
        FAIL();
    } catch (const SegmoraError& e) {
        EXPECT_EQ(e.kind(), ErrorKind::InvalidConfig);
        EXPECT_EQ(e.message(),
                  "Invalid SQL identifier 'a..b': identifiers must be alphanumeric/underscore (optionally "
                  "dot-qualified) and cannot start with a digit");
    }
}

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

TEST(SqlExporter, OptimizeSingleAndGrouped) {
    const ColumnMapping c;
    EXPECT_EQ(SQLExporter::optimize_patterns_in_clause({{1, 2, 3}, {4, 5, 6}, {1, 2, 4}}, c),
              "(recency_score = 1 AND frequency_score = 2 AND monetary_score IN (3, 4)) OR "
              "(recency_score = 4 AND frequency_score = 5 AND monetary_score = 6)");
}

}  // namespace
}  // namespace segmora::engine
