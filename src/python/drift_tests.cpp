// ks_test, chi_square_test, wasserstein_distance, population_stability_index and
// jensen_shannon_distance: two-sample drift tests on the columns callers hold.
//
// Samples are read as numbers (see drift_columns.hpp); missing values are left
// out, and a side with no value left is a ValueError. Both samples are sorted at
// once on two workers when large, a float64 array copied as it is sorted.
#include <cmath>
#include <limits>
#include <vector>

#include "engine/drift_reference.hpp"
#include "engine/drift_tests.hpp"
#include "engine/float_sort.hpp"
#include "python/bindings.hpp"
#include "python/drift.hpp"
#include "python/drift_columns.hpp"
#include "python/toolkit/format.hpp"
#include "python/toolkit/function.hpp"
#include "python/toolkit/unlocked.hpp"

namespace segmora::py {

namespace {

constexpr std::uint64_t kMaxBins = 1000000;

void require_values(const std::vector<double>& sorted, std::size_t read, const char* arg) {
    if (!sorted.empty()) return;
    if (read == 0) raise(PyExc_ValueError, format("{} is empty", arg));
    raise(PyExc_ValueError, format("{} has only missing values ({})", arg, read));
}

// The bins argument: a count of bins cut at the baseline's quantiles, or edges as given.
struct Bins {
    std::uint64_t count = 0;  // 0 when edges are given
    std::vector<double> edges;
};

Bins read_bins(PyObject* bins) {
    if (!bins || PyLong_Check(bins) || (PyIndex_Check(bins) && !PySequence_Check(bins))) {  // NumPy integers too
        const std::uint64_t n = bins ? From<std::uint64_t>::convert(bins, "bins") : engine::DriftReference::kBins;
        if (n == 0 || n > kMaxBins) raise(PyExc_ValueError, format("bins must be between 1 and {}", kMaxBins));
        return {n, {}};
    }
    std::vector<double> edges = From<std::vector<double>>::convert(bins, "bins");
    if (edges.empty() || edges.size() > kMaxBins)
        raise(PyExc_ValueError, format("bins must hold between 1 and {} edges", kMaxBins));
    for (std::size_t k = 0; k < edges.size(); ++k)
        if (std::isnan(edges[k]) || (k > 0 && !(edges[k - 1] < edges[k])))
            raise(PyExc_ValueError, format("bins must be strictly increasing edges, but edge {} is {} after {}", k,
                                           edges[k], k > 0 ? edges[k - 1] : edges[k]));
    return {0, std::move(edges)};
}

struct SortedPair {
    std::vector<double> baseline, current;
};

// Both samples as numbers, sorted, their missing values left out.
SortedPair read_pair(Args& a) {
    NumberColumn b(a.raw("baseline"), "baseline"), c(a.raw("current"), "current");
    SortedPair p;
    engine::SampleSort samples[] = {b.sort_into(p.baseline), c.sort_into(p.current)};
    unlocked(b.size() + c.size(), [&] { engine::sort_samples(samples); });
    require_values(p.baseline, b.size(), "baseline");
    require_values(p.current, c.size(), "current");
    return p;
}

// Counts per bin of both samples, the bins from `bins` (quantiles of the baseline or edges).
engine::AlignedCounts binned_pair(Args& a) {
    const SortedPair p = read_pair(a);
    Bins bins = read_bins(a.raw("bins"));
    return unlocked(p.baseline.size() + p.current.size(), [&] {
        const std::vector<double> edges = bins.count ? engine::quantile_edges(p.baseline, bins.count) : std::move(bins.edges);
        return engine::AlignedCounts{engine::bin_counts(p.baseline, edges), engine::bin_counts(p.current, edges)};
    });
}

#define SEGMORA_SAMPLES_DOC                                                                        \
    "baseline, current: numbers (a list, NumPy array, pandas Series, Arrow array or polars\n"      \
    "Series; datetimes, dates and datetime64 values count as seconds since the epoch). Missing\n" \
    "values (None, NaN, NaT, nulls) are left out; a side with no value left is a ValueError.\n"
#define SEGMORA_BINS_DOC                                                                             \
    "bins: the number of bins, cut at the baseline's quantiles k / bins by linear interpolation\n" \
    "(equal quantiles merge), or a sequence of strictly increasing edges used as given: bin k\n"   \
    "holds edges[k-1] <= x < edges[k], with one more bin below the first edge and one above\n"    \
    "the last.\n"

struct KsTest {
    static constexpr const char* signature = "ks_test(baseline, current)";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr const char* doc =
        "Two-sample Kolmogorov-Smirnov test (two-sided): (statistic, p_value).\n\n"
        "The statistic is the largest gap between the two empirical CDFs. The p-value is exact\n"
        "(counted lattice paths) when neither sample has more than 10,000 values, else taken from\n"
        "the Kolmogorov distribution of the effective size round(nb nc / (nb + nc)); both as\n"
        "scipy.stats.ks_2samp(baseline, current) computes them.\n\n" SEGMORA_SAMPLES_DOC
        "\n>>> statistic, p = ks_test([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])  # p = 2 / C(6, 3)\n"
        ">>> statistic, round(p, 12)\n(1.0, 0.1)";
    static Ref call(Args& a) {
        const SortedPair p = read_pair(a);
        const engine::TestResult r =
            unlocked(p.baseline.size() + p.current.size(), [&] { return engine::ks_test(p.baseline, p.current); });
        return to_py(std::pair(r.statistic, r.p_value));
    }
};

// A count table: a dict of category to count, or any mapping with keys()
// (a pandas Series such as value_counts(), read by its index), taken as the
// dict it makes.
struct CountTableArg {
    CountsArg counts;
};

}  // namespace

template <>
struct From<CountTableArg> {
    static CountTableArg convert(PyObject* obj, const char* arg) {
        if (PyDict_Check(obj) || PyUnicode_Check(obj) || !PyObject_HasAttrString(obj, "keys"))
            return {From<CountsArg>::convert(obj, arg)};
        Ref dict = Ref::steal(PyDict_New());
        if (PyDict_Merge(dict.get(), obj, 1) < 0) reraise_for_argument(arg);
        return {From<CountsArg>::convert(dict.get(), arg)};
    }
};

namespace {

struct ChiSquareTest {
    static constexpr const char* signature = "chi_square_test(baseline_counts, current_counts)";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr const char* doc =
        "Chi-square test of homogeneity of two category count tables: (statistic, p_value).\n\n"
        "baseline_counts, current_counts: dicts of category (str) to count (int >= 0), or pandas\n"
        "Series of counts by category such as Series.value_counts() gives. The test runs\n"
        "on the 2 x C table of both sides' counts over every category either side has (a category\n"
        "counted 0 on both sides is left out), as scipy.stats.chi2_contingency(table,\n"
        "correction=False) does; the p-value is the chi-square upper tail with C - 1 degrees of\n"
        "freedom. A side whose counts add up to 0 is a ValueError.\n\n"
        ">>> chi_square_test({\"web\": 70, \"app\": 30}, {\"web\": 50, \"app\": 50})[1] < 0.01\nTrue";
    static Ref call(Args& a) {
        const CountsArg b = a.get<CountTableArg>("baseline_counts").counts;
        const CountsArg c = a.get<CountTableArg>("current_counts").counts;
        for (const auto* side : {&b, &c}) {
            std::uint64_t sum = 0;
            for (const auto& entry : side->entries) sum += entry.second;
            if (sum == 0)
                raise(PyExc_ValueError, format("{} has no observations (its counts add up to 0)",
                                               side == &b ? "baseline_counts" : "current_counts"));
        }
        const engine::TestResult r = unlocked(b.entries.size() + c.entries.size(), [&] {
            const engine::AlignedCounts rows = engine::align_counts(b.entries, c.entries);
            return engine::chi_square_test(rows.baseline, rows.current);
        });
        return to_py(std::pair(r.statistic, r.p_value));
    }
};

struct WassersteinDistance {
    static constexpr const char* signature = "wasserstein_distance(baseline, current)";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr const char* doc =
        "Wasserstein-1 (earth mover's) distance between two samples, in the feature's own units:\n"
        "the area between their empirical CDFs, as scipy.stats.wasserstein_distance computes it.\n\n"
        SEGMORA_SAMPLES_DOC "\n>>> wasserstein_distance([0.0, 1.0], [5.0, 6.0])\n5.0";
    static Ref call(Args& a) {
        const SortedPair p = read_pair(a);
        return to_py(unlocked(p.baseline.size() + p.current.size(), [&] { return engine::wasserstein(p.baseline, p.current); }));
    }
};

struct PopulationStabilityIndex {
    static constexpr const char* signature = "population_stability_index(baseline, current, bins=10)";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr const char* doc =
        "Population stability index: the sum over bins of (c - b) * ln(c / b), b and c the shares\n"
        "of the baseline and current values in the bin. A share below 0.0001 counts as 0.0001, so\n"
        "that an empty bin adds a large but finite term. Read it as < 0.1 stable, 0.1-0.25 moving,\n"
        "> 0.25 shifted.\n\n" SEGMORA_SAMPLES_DOC SEGMORA_BINS_DOC
        "\n>>> population_stability_index([1.0, 2.0, 3.0, 4.0], [1.0, 2.0, 3.0, 4.0])\n0.0";
    static Ref call(Args& a) {
        const engine::AlignedCounts counts = binned_pair(a);
        return to_py(engine::population_stability_index(counts.baseline, counts.current));
    }
};

struct JensenShannonDistance {
    static constexpr const char* signature = "jensen_shannon_distance(baseline, current, bins=10)";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr const char* doc =
        "Jensen-Shannon distance (base 2, from 0 for equal to 1 for disjoint) between the shares\n"
        "of the two samples in each bin: the square root of the Jensen-Shannon divergence, as\n"
        "scipy.spatial.distance.jensenshannon(b, c, base=2) computes it. Empty bins need no floor.\n\n"
        SEGMORA_SAMPLES_DOC SEGMORA_BINS_DOC "\n>>> jensen_shannon_distance([0.0, 1.0], [5.0, 6.0], bins=[2.0])\n1.0";
    static Ref call(Args& a) {
        const engine::AlignedCounts counts = binned_pair(a);
        return to_py(engine::jensen_shannon_distance(counts.baseline, counts.current));
    }
};

#undef SEGMORA_SAMPLES_DOC
#undef SEGMORA_BINS_DOC

}  // namespace

PyMethodDef* ks_test_def() { return function_def<KsTest>(); }
PyMethodDef* chi_square_test_def() { return function_def<ChiSquareTest>(); }
PyMethodDef* wasserstein_distance_def() { return function_def<WassersteinDistance>(); }
PyMethodDef* population_stability_index_def() { return function_def<PopulationStabilityIndex>(); }
PyMethodDef* jensen_shannon_distance_def() { return function_def<JensenShannonDistance>(); }

}  // namespace segmora::py
