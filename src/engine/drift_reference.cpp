#include "engine/drift_reference.hpp"

#include <array>
#include <cmath>
#include <limits>

#include "engine/float_sort.hpp"
#include "engine/keyed_hash.hpp"
#include "engine/thread_pool.hpp"
#include "error.hpp"
#include "text.hpp"

namespace segmora::engine {

namespace {

constexpr std::array<std::string_view, 5> kTestNames = {"ks", "chi_square", "wasserstein", "psi", "jensen_shannon"};
constexpr DriftTest kNumericDefaults[] = {DriftTest::KolmogorovSmirnov, DriftTest::Psi};
constexpr DriftTest kCategoricalDefaults[] = {DriftTest::ChiSquare, DriftTest::Psi};
constexpr double kNoPValue = std::numeric_limits<double>::quiet_NaN();

std::uint64_t total(const CountTable& table) noexcept {
    std::uint64_t sum = 0;
    for (const auto& entry : table) sum += entry.second;
    return sum;
}

void derive_bins(ReferenceColumn& c) {
    c.edges = quantile_edges(c.sorted, DriftReference::kBins);
    c.binned = bin_counts(c.sorted, c.edges);
}

}  // namespace

AlignedCounts align_counts(const CountTable& baseline, const CountTable& current) {
    AlignedCounts out;
    StringMap<std::size_t> slot;
    slot.reserve(baseline.size());
    for (const auto& [category, count] : baseline) {
        slot.emplace(category, out.baseline.size());
        out.baseline.push_back(count);
    }
    out.current.assign(out.baseline.size(), 0);
    for (const auto& [category, count] : current) {
        const auto it = slot.find(category);
        if (it != slot.end()) {
            out.current[it->second] += count;
        } else {
            out.baseline.push_back(0);
            out.current.push_back(count);
        }
    }
    return out;
}

namespace {

TestResult run_binned(DriftTest test, std::span<const std::uint64_t> b, std::span<const std::uint64_t> c) {
    switch (test) {
        case DriftTest::ChiSquare: return chi_square_test(b, c);
        case DriftTest::Psi: return {population_stability_index(b, c), kNoPValue};
        case DriftTest::JensenShannon: return {jensen_shannon_distance(b, c), kNoPValue};
        default: return {kNoPValue, kNoPValue};
    }
}

}  // namespace

std::optional<DriftTest> parse_drift_test(std::string_view text) noexcept {
    for (std::size_t i = 0; i < kTestNames.size(); ++i)
        if (text == kTestNames[i]) return static_cast<DriftTest>(i);
    return std::nullopt;
}

std::string_view drift_test_name(DriftTest test) noexcept { return kTestNames[static_cast<std::size_t>(test)]; }

bool drift_test_applies(DriftTest test, bool categorical) noexcept {
    return !categorical || (test != DriftTest::KolmogorovSmirnov && test != DriftTest::Wasserstein);
}

std::uint64_t ReferenceColumn::size() const noexcept { return categorical ? total(categories) : sorted.size(); }

DriftReference DriftReference::build(std::vector<ColumnSample> columns) {
    DriftReference ref;
    ref.columns_.resize(columns.size());
    auto prepare = [&](std::size_t k) {
        ColumnSample& in = columns[k];
        ReferenceColumn& out = ref.columns_[k];
        out.name = std::move(in.name);
        out.categorical = in.categorical;
        out.categories_from_numbers = in.categories_from_numbers;
        if (in.categorical) {
            out.categories = std::move(in.categories);
            out.missing = in.missing;
            return;
        }
        out.sorted = std::move(in.numbers);
        out.missing = drop_nan_and_sort(out.sorted);
        derive_bins(out);
    };
    const auto pool = build_thread_pool(-1);
    pool->run_tasks(columns.size(), prepare);
    for (const ReferenceColumn& c : ref.columns_)
        if (c.size() == 0) throw SegmoraError::data_validation(format("column '{}' has no values", c.name));
    return ref;
}

DriftReference DriftReference::restore(std::vector<ReferenceColumn> columns) {
    DriftReference ref;
    ref.columns_ = std::move(columns);
    for (ReferenceColumn& c : ref.columns_)
        if (!c.categorical) derive_bins(c);
    return ref;
}

std::vector<DriftRow> DriftReference::compare(std::vector<ColumnSample>& current, std::span<const DriftTest> tests,
                                              std::int32_t n_jobs) const {
    if (current.size() != columns_.size())
        throw SegmoraError::data_validation(
            format("expected {} columns to compare, got {}", columns_.size(), current.size()));
    std::vector<std::vector<DriftRow>> rows(columns_.size());
    auto grade = [&](std::size_t k) {
        const ReferenceColumn& ref = columns_[k];
        ColumnSample& now = current[k];
        std::uint64_t n_now = 0, missing_now = 0;
        std::vector<std::uint64_t> base_counts, now_counts;
        if (ref.categorical) {
            AlignedCounts counts = align_counts(ref.categories, now.categories);
            base_counts = std::move(counts.baseline);
            now_counts = std::move(counts.current);
            n_now = total(now.categories);
            missing_now = now.missing;
        } else {
            missing_now = drop_nan_and_sort(now.numbers);
            n_now = now.numbers.size();
            base_counts = ref.binned;
            now_counts = bin_counts(now.numbers, ref.edges);
        }
        if (n_now == 0) return;  // the caller refuses empty columns; nothing to grade
        const std::span<const DriftTest> chosen =
            !tests.empty() ? tests
            : ref.categorical ? std::span<const DriftTest>(kCategoricalDefaults)
                              : std::span<const DriftTest>(kNumericDefaults);
        for (const DriftTest test : chosen) {
            if (!drift_test_applies(test, ref.categorical)) continue;
            DriftRow row;
            row.column = k;
            row.test = test;
            if (test == DriftTest::KolmogorovSmirnov) row.result = ks_test(ref.sorted, now.numbers, 1);
            else if (test == DriftTest::Wasserstein) row.result = {wasserstein(ref.sorted, now.numbers), kNoPValue};
            else row.result = run_binned(test, base_counts, now_counts);
            row.severity = grade_drift(row.result.statistic);
            row.n_current = n_now;
            row.missing_current = missing_now;
            rows[k].push_back(row);
        }
    };
    const auto pool = build_thread_pool(n_jobs);
    pool->run_tasks(columns_.size(), grade);
    std::vector<DriftRow> out;
    for (auto& column_rows : rows) out.insert(out.end(), column_rows.begin(), column_rows.end());
    return out;
}

}  // namespace segmora::engine
