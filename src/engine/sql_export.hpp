// SQL export of RFM segments: dialects, identifiers, the segment table and the
// generated queries.
//
// parse_dialect lower-cases a dialect name and matches it exactly (no trimming).
// validate_identifier admits only ASCII [A-Za-z_][A-Za-z0-9_]* parts joined by
// single dots; every table and column name passes it before it reaches SQL, so
// generated text never quotes or escapes names. The segment table holds the
// thirteen RFM segments in a fixed order, with display names and descriptions
// taken from the rfm vocabulary, each listing the exact (r, f, m) quintile score
// triples it covers; no triple appears twice. export_segment returns one query,
// "SELECT ...\nFROM ...\nWHERE ...;", or throws SegmoraError InvalidConfig.
// Everything is deterministic: wherever patterns or keys are grouped or listed,
// table order (first appearance) is kept.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/rfm.hpp"

namespace segmora::engine {

enum class SQLDialect { Ansi, Snowflake, BigQuery, Redshift, Postgres, Oracle, SqlServer, MySql };

constexpr std::size_t kSQLDialectCount = 8;

// All dialects in declaration order.
const std::array<SQLDialect, kSQLDialectCount>& sql_dialects() noexcept;

// "ansi", "snowflake", "bigquery", "redshift", "postgresql", "oracle", "sqlserver", "mysql".
std::string_view canonical_name(SQLDialect dialect) noexcept;

// The dialect named by `text` after lower-casing (the Kelvin sign lower-cases to
// "k" like any letter would); no dialect for any other text. Not trimmed.
std::optional<SQLDialect> parse_dialect(std::string_view text);

// Throws InvalidConfig unless `text` is one or more dot-separated parts, each an
// ASCII letter or "_" followed by ASCII letters, digits or "_".
void validate_identifier(std::string_view text);

// Column names of the customer table.
struct ColumnMapping {
    std::string customer_id = "customer_id";
    std::string recency_score = "recency_score";
    std::string frequency_score = "frequency_score";
    std::string monetary_score = "monetary_score";
};

// One (recency, frequency, monetary) quintile score triple.
struct ScorePattern {
    std::uint32_t r;
    std::uint32_t f;
    std::uint32_t m;
};

struct SegmentDefinition {
    std::string_view name;         // display name from the rfm vocabulary
    std::string_view description;  // description from the rfm vocabulary
    std::vector<ScorePattern> patterns;
};

struct SegmentEntry {
    std::string_view key;  // "Champions", "LoyalCustomers", ... (case-sensitive, no spaces)
    SegmentDefinition definition;
};

// The thirteen segments in table order; built once, never modified.
const std::vector<SegmentEntry>& get_segment_definitions();

// The entry with exactly this key, or nullptr.
const SegmentEntry* find_segment(std::string_view key);

class SQLExporter {
public:
    // The query selecting the customers of segment `key`. Checks the table name,
    // then the four mapped column names in mapping order, then the key.
    static std::string export_segment(std::string_view key, SQLDialect dialect, std::string_view table_name,
                                      const ColumnMapping& columns);

    // Patterns grouped by (r, f) in order of first appearance: one m gives
    // "(R = r AND F = f AND M = m)", several give "(R = r AND F = f AND M IN (m1, m2))";
    // groups joined with " OR ".
    static std::string optimize_patterns_in_clause(const std::vector<ScorePattern>& patterns,
                                                   const ColumnMapping& columns);
};

}  // namespace segmora::engine
