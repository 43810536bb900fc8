// export_segment_sql, export_all_segments_sql, get_supported_sql_dialects and
// get_segment_rfm_patterns.
#include <optional>
#include <string>

#include "engine/sql_export.hpp"
#include "python/bindings.hpp"
#include "python/toolkit/format.hpp"
#include "python/toolkit/function.hpp"

namespace segmora::py {

namespace {

using engine::ColumnMapping;
using engine::SQLDialect;

// The dialect named by the `dialect` argument, or ValueError quoting it as passed.
SQLDialect dialect_argument(const std::string& text) {
    const auto dialect = engine::parse_dialect(text);
    if (!dialect) raise(PyExc_ValueError, format("Unsupported SQL dialect: {}", text));
    return *dialect;
}

// The column-name arguments, converted in signature order; None keeps the default name.
ColumnMapping column_arguments(Args& a) {
    ColumnMapping columns;
    auto take = [&](const char* name, std::string& field) {
        if (auto value = a.get_or<std::optional<std::string>>(name, std::nullopt)) field = std::move(*value);
    };
    take("customer_id", columns.customer_id);
    take("recency_score", columns.recency_score);
    take("frequency_score", columns.frequency_score);
    take("monetary_score", columns.monetary_score);
    return columns;
}

struct ExportSegmentSql {
    static constexpr const char* signature =
        "export_segment_sql(segment_name, dialect, table_name, customer_id=None, recency_score=None, "
        "frequency_score=None, monetary_score=None)";
    static constexpr const char* doc = "Export a single segment as SQL query";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        const auto segment_name = a.get<std::string>("segment_name");
        const auto dialect_text = a.get<std::string>("dialect");
        const auto table_name = a.get<std::string>("table_name");
        const ColumnMapping columns = column_arguments(a);
        const SQLDialect dialect = dialect_argument(dialect_text);
        return to_py(engine::SQLExporter::export_segment(segment_name, dialect, table_name, columns));
    }
};

struct ExportAllSegmentsSql {
    static constexpr const char* signature =
        "export_all_segments_sql(dialect, table_name, customer_id=None, recency_score=None, frequency_score=None, "
        "monetary_score=None)";
    static constexpr const char* doc = "Export all segments as SQL queries";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        const auto dialect_text = a.get<std::string>("dialect");
        const auto table_name = a.get<std::string>("table_name");
        const ColumnMapping columns = column_arguments(a);
        const SQLDialect dialect = dialect_argument(dialect_text);
        // Every query is built before the dict, so a failure leaves no partial result.
        std::vector<std::pair<std::string_view, std::string>> queries;
        for (const auto& entry : engine::get_segment_definitions())
            queries.emplace_back(entry.key, engine::SQLExporter::export_segment(entry.key, dialect, table_name, columns));
        Ref dict = Ref::steal(PyDict_New());
        for (const auto& [key, query] : queries) {
            if (PyDict_SetItem(dict.get(), to_py(key).get(), to_py(query).get()) < 0) throw PyErrorAlreadySet{};
        }
        return dict;
    }
};

struct GetSupportedSqlDialects {
    static constexpr const char* signature = "get_supported_sql_dialects()";
    static constexpr const char* doc = "Get list of supported SQL dialects";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args&) {
        std::vector<std::string_view> names;
        for (SQLDialect d : engine::sql_dialects()) names.push_back(engine::canonical_name(d));
        return to_py(names);
    }
};

struct GetSegmentRfmPatterns {
    static constexpr const char* signature = "get_segment_rfm_patterns(segment_name)";
    static constexpr const char* doc = "Get RFM patterns for a segment";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        const auto segment_name = a.get<std::string>("segment_name");
        const engine::SegmentEntry* entry = engine::find_segment(segment_name);
        if (!entry) raise(PyExc_ValueError, format("Segment '{}' not found", segment_name));
        const auto& patterns = entry->definition.patterns;
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(patterns.size())));
        for (std::size_t i = 0; i < patterns.size(); ++i) {
            const auto& p = patterns[i];
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), make_tuple(p.r, p.f, p.m).release());
        }
        return list;
    }
};

}  // namespace

PyMethodDef* export_segment_sql_def() { return function_def<ExportSegmentSql>(); }
PyMethodDef* export_all_segments_sql_def() { return function_def<ExportAllSegmentsSql>(); }
PyMethodDef* get_supported_sql_dialects_def() { return function_def<GetSupportedSqlDialects>(); }
PyMethodDef* get_segment_rfm_patterns_def() { return function_def<GetSegmentRfmPatterns>(); }

}  // namespace segmora::py
