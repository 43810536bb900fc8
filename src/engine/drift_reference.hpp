// A baseline table kept for repeated drift reports.
//
// DriftReference::build takes the baseline's columns once: a numeric column is
// stripped of its missing values (NaN), sorted, and cut into kBins quantile bins;
// a categorical one keeps its category counts. compare() then grades a current
// table column by column, each column on one worker, with the requested tests:
//   ks, wasserstein        numeric columns only;
//   chi_square             categories, or the quantile bins of a numeric column;
//   psi, jensen_shannon    categories, or the quantile bins of a numeric column.
// By default numeric columns get ks and psi, categorical ones chi_square and
// psi. Rows come in column order, then test order, and are identical for any
// n_jobs. Current columns must match the reference's names and kinds (the
// binding checks and words that); a column without values is an error.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/drift_detection.hpp"
#include "engine/drift_tests.hpp"

namespace segmora::engine {

enum class DriftTest : std::uint8_t { KolmogorovSmirnov = 0, ChiSquare = 1, Wasserstein = 2, Psi = 3, JensenShannon = 4 };

// "ks", "chi_square", "wasserstein", "psi", "jensen_shannon" (exactly); nothing otherwise.
std::optional<DriftTest> parse_drift_test(std::string_view text) noexcept;
std::string_view drift_test_name(DriftTest test) noexcept;
// Whether `test` applies to a column of that kind.
bool drift_test_applies(DriftTest test, bool categorical) noexcept;

// Two count tables as aligned rows over the union of their categories: the
// baseline's in its order, then those only `current` has, in its order.
struct AlignedCounts {
    std::vector<std::uint64_t> baseline, current;
};
AlignedCounts align_counts(const CountTable& baseline, const CountTable& current);

// One column as read from the caller.
struct ColumnSample {
    std::string name;
    bool categorical = false;
    bool categories_from_numbers = false;  // categorical: every category was read from a number
    std::vector<double> numbers;           // numeric: NaN where a value is missing
    CountTable categories;                 // categorical: counts in order of first appearance
    std::uint64_t missing = 0;             // categorical: missing values
};

// The baseline side of one column.
struct ReferenceColumn {
    std::string name;
    bool categorical = false;
    bool categories_from_numbers = false;
    std::vector<double> sorted;          // numeric: ascending, no missing values
    std::vector<double> edges;           // numeric: quantile edges of the bins
    std::vector<std::uint64_t> binned;   // numeric: values per bin
    CountTable categories;               // categorical
    std::uint64_t missing = 0;

    std::uint64_t size() const noexcept;  // values that are not missing
};

struct DriftRow {
    std::size_t column = 0;  // index in the reference
    DriftTest test = DriftTest::KolmogorovSmirnov;
    TestResult result;       // p_value NaN for tests without one
    DriftSeverity severity = DriftSeverity::None;
    std::uint64_t n_current = 0;
    std::uint64_t missing_current = 0;
};

class DriftReference {
public:
    static constexpr std::size_t kBins = 10;

    // Sorts and bins the numeric columns (in parallel, one column per worker).
    // Throws DataValidation when a column has no value that is not missing.
    static DriftReference build(std::vector<ColumnSample> columns);
    // From kept columns (numeric ones sorted, without NaN); re-derives the bins.
    static DriftReference restore(std::vector<ReferenceColumn> columns);

    // `current` holds one sample per reference column, in reference order and of
    // the same kind; numeric samples are sorted in place. An empty `tests` means
    // the defaults.
    std::vector<DriftRow> compare(std::vector<ColumnSample>& current, std::span<const DriftTest> tests,
                                  std::int32_t n_jobs) const;

    const std::vector<ReferenceColumn>& columns() const noexcept { return columns_; }

private:
    std::vector<ReferenceColumn> columns_;
};

}  // namespace segmora::engine
