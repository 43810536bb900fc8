#include "engine/sql_export.hpp"

#include <algorithm>

#include "text.hpp"
#include "error.hpp"

namespace segmora::engine {

namespace {

struct DialectName {
    std::string_view name;
    SQLDialect dialect;
};

constexpr std::array<SQLDialect, kSQLDialectCount> kDialects = {
    SQLDialect::Ansi,     SQLDialect::Snowflake, SQLDialect::BigQuery,  SQLDialect::Redshift,
    SQLDialect::Postgres, SQLDialect::Oracle,    SQLDialect::SqlServer, SQLDialect::MySql,
};

constexpr std::array<std::string_view, kSQLDialectCount> kCanonicalNames = {
    "ansi", "snowflake", "bigquery", "redshift", "postgresql", "oracle", "sqlserver", "mysql",
};

constexpr DialectName kAcceptedNames[] = {
    {"ansi", SQLDialect::Ansi},           {"snowflake", SQLDialect::Snowflake}, {"bigquery", SQLDialect::BigQuery},
    {"redshift", SQLDialect::Redshift},   {"postgres", SQLDialect::Postgres},   {"postgresql", SQLDialect::Postgres},
    {"oracle", SQLDialect::Oracle},       {"mssql", SQLDialect::SqlServer},     {"sqlserver", SQLDialect::SqlServer},
    {"sql_server", SQLDialect::SqlServer}, {"mysql", SQLDialect::MySql},
};

// Lower-cases `text` as far as it can matter for matching ASCII names: ASCII
// letters, and the Kelvin sign (U+212A, the one non-ASCII character whose
// lower-case form is ASCII). Other bytes are kept and can never match.
std::string lower_for_matching(std::string_view text) {
    constexpr std::string_view kKelvin = "\xE2\x84\xAA";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (text.substr(i, kKelvin.size()) == kKelvin) {
            out += 'k';
            i += kKelvin.size();
            continue;
        }
        const char c = text[i++];
        out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
}

bool is_ascii_letter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_ascii_digit(char c) noexcept { return c >= '0' && c <= '9'; }

bool valid_part(std::string_view part) noexcept {
    if (part.empty()) return false;
    if (!is_ascii_letter(part.front()) && part.front() != '_') return false;
    for (char c : part.substr(1))
        if (!is_ascii_letter(c) && !is_ascii_digit(c) && c != '_') return false;
    return true;
}

struct TableRow {
    std::string_view key;
    SegmentType type;
    std::vector<ScorePattern> patterns;
};

std::vector<SegmentEntry> build_table() {
    const TableRow rows[] = {
        {"Champions", SegmentType::Champions, {{5, 5, 5}, {5, 5, 4}, {5, 4, 5}, {4, 5, 5}}},
        {"VIP", SegmentType::VIP, {{5, 3, 5}, {5, 2, 5}, {5, 1, 5}}},
        {"LoyalCustomers", SegmentType::LoyalCustomers, {{4, 4, 4}, {4, 4, 5}, {4, 5, 4}}},
        {"PotentialLoyalists", SegmentType::PotentialLoyalists, {{5, 3, 4}, {4, 3, 5}}},
        {"CannotLose", SegmentType::CannotLose, {{3, 4, 5}, {3, 5, 5}, {2, 4, 5}, {2, 5, 5}}},
        {"AtRisk", SegmentType::AtRisk, {{2, 2, 4}, {2, 2, 5}, {2, 3, 4}, {2, 3, 5}, {3, 2, 4}, {3, 2, 5}}},
        {"AboutToSleep", SegmentType::AboutToSleep, {{2, 2, 3}, {2, 2, 2}, {2, 3, 2}, {2, 3, 3}}},
        {"NewCustomers", SegmentType::NewCustomers, {{5, 4, 3}, {5, 4, 2}, {5, 3, 3}, {5, 3, 2}}},
        {"Promising", SegmentType::Promising, {{5, 2, 3}, {5, 2, 4}}},
        {"NeedAttention", SegmentType::NeedAttention, {{4, 2, 2}, {4, 3, 2}, {4, 3, 3}}},
        {"Lost", SegmentType::Lost, {{1, 1, 1}, {1, 1, 2}, {1, 2, 1}}},
        {"AtRiskSleeping", SegmentType::AtRiskSleeping, {{1, 3, 4}, {1, 3, 5}, {1, 4, 4}, {1, 4, 5}}},
        {"Hibernating", SegmentType::Hibernating, {{1, 2, 3}, {1, 2, 4}, {1, 2, 5}, {1, 3, 2}, {1, 3, 3}}},
    };
    std::vector<SegmentEntry> table;
    table.reserve(std::size(rows));
    for (const TableRow& row : rows)
        table.push_back({row.key, {display_name(row.type), description(row.type), row.patterns}});
    return table;
}

// ["Champions", "VIP", ...] in table order.
std::string quoted_key_list() {
    std::string out = "[";
    bool first = true;
    for (const SegmentEntry& entry : get_segment_definitions()) {
        if (!first) out += ", ";
        first = false;
        out += format("\"{}\"", entry.key);
    }
    out += "]";
    return out;
}

std::string join_patterns(const std::vector<ScorePattern>& patterns, const ColumnMapping& c, std::string_view one) {
    std::string out;
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        if (i > 0) out += " OR ";
        const ScorePattern& p = patterns[i];
        out += format(one, c.recency_score, p.r, c.frequency_score, p.f, c.monetary_score, p.m);
    }
    return out;
}

}  // namespace

const std::array<SQLDialect, kSQLDialectCount>& sql_dialects() noexcept { return kDialects; }

std::string_view canonical_name(SQLDialect dialect) noexcept {
    return kCanonicalNames[static_cast<std::size_t>(dialect)];
}

std::optional<SQLDialect> parse_dialect(std::string_view text) {
    const std::string lowered = lower_for_matching(text);
    for (const DialectName& accepted : kAcceptedNames)
        if (lowered == accepted.name) return accepted.dialect;
    return std::nullopt;
}

void validate_identifier(std::string_view text) {
    if (text.empty()) throw SegmoraError::invalid_config("SQL identifier cannot be empty");
    std::string_view rest = text;
    while (true) {
        const auto dot = rest.find('.');
        if (!valid_part(rest.substr(0, dot))) {
            throw SegmoraError::invalid_config(
                format("Invalid SQL identifier '{}': identifiers must be alphanumeric/underscore (optionally "
                       "dot-qualified) and cannot start with a digit",
                       text));
        }
        if (dot == std::string_view::npos) return;
        rest.remove_prefix(dot + 1);
    }
}

const std::vector<SegmentEntry>& get_segment_definitions() {
    static const std::vector<SegmentEntry> table = build_table();
    return table;
}

const SegmentEntry* find_segment(std::string_view key) {
    for (const SegmentEntry& entry : get_segment_definitions())
        if (entry.key == key) return &entry;
    return nullptr;
}

std::string SQLExporter::export_segment(std::string_view key, SQLDialect dialect, std::string_view table_name,
                                        const ColumnMapping& columns) {
    validate_identifier(table_name);
    validate_identifier(columns.customer_id);
    validate_identifier(columns.recency_score);
    validate_identifier(columns.frequency_score);
    validate_identifier(columns.monetary_score);

    const SegmentEntry* entry = find_segment(key);
    if (!entry)
        throw SegmoraError::invalid_config(
            format("Segment '{}' not found. Available segments: {}", key, quoted_key_list()));
    const auto& patterns = entry->definition.patterns;

    std::string condition;
    switch (dialect) {
        case SQLDialect::Ansi:
        case SQLDialect::Snowflake:
        case SQLDialect::BigQuery:
        case SQLDialect::MySql:
            condition = join_patterns(patterns, columns, "({} = {} AND {} = {} AND {} = {})");
            break;
        case SQLDialect::Oracle:
            condition = join_patterns(patterns, columns, "({}={} AND {}={} AND {}={})");
            break;
        case SQLDialect::Redshift:
        case SQLDialect::Postgres:
        case SQLDialect::SqlServer:
            condition = optimize_patterns_in_clause(patterns, columns);
            break;
    }

    const std::string select = dialect == SQLDialect::BigQuery
                                   ? format("SELECT {} AS customer_id, '{}' AS segment", columns.customer_id, key)
                                   : format("SELECT {}, '{}' AS segment", columns.customer_id, key);
    return format("{}\nFROM {}\nWHERE {};", select, table_name, condition);
}

std::string SQLExporter::optimize_patterns_in_clause(const std::vector<ScorePattern>& patterns,
                                                     const ColumnMapping& columns) {
    struct Group {
        std::uint32_t r, f;
        std::vector<std::uint32_t> ms;
    };
    std::vector<Group> groups;  // in order of first appearance; tables are small
    for (const ScorePattern& p : patterns) {
        auto it = std::find_if(groups.begin(), groups.end(), [&](const Group& g) { return g.r == p.r && g.f == p.f; });
        if (it == groups.end()) groups.push_back({p.r, p.f, {p.m}});
        else it->ms.push_back(p.m);
    }
    std::string out;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        if (i > 0) out += " OR ";
        const Group& g = groups[i];
        if (g.ms.size() == 1) {
            out += format("({} = {} AND {} = {} AND {} = {})", columns.recency_score, g.r, columns.frequency_score, g.f,
                          columns.monetary_score, g.ms[0]);
        } else {
            std::string ms;
            for (std::size_t j = 0; j < g.ms.size(); ++j) {
                if (j > 0) ms += ", ";
                append_text(ms, g.ms[j]);
            }
            out += format("({} = {} AND {} = {} AND {} IN ({}))", columns.recency_score, g.r, columns.frequency_score,
                          g.f, columns.monetary_score, ms);
        }
    }
    return out;
}

}  // namespace segmora::engine
