// K-prototypes: clustering rows with numeric and categorical features.
//
// A prototype is a numeric center (mean of its rows) and a categorical mode
// (most frequent code per column). A row's cost against a prototype is its
// squared Euclidean distance to the center plus gamma times the number of
// columns whose code differs from the mode; gamma is the root of the mean
// population variance of the numeric columns, floored at 1e-9. Seeding is the
// k-means++ of the k-means engine on the numeric part (same generator, same
// draws); the modes start as the categorical rows of the chosen seeds.
//
// Errors, in this order: n_clusters = 0 (InvalidConfig), no rows
// (DataValidation), n_clusters > rows (InvalidConfig), categorical rows of
// another count than the numeric rows (DataValidation), a NaN or infinite
// numeric value (DataValidation), pool failure (Clustering). An interrupt is
// polled between passes (and while the pool runs) and unwinds as Interrupted.
// Deterministic: only the assignment runs in parallel, each worker writing its
// own rows' labels, so results are bit-identical for every n_jobs; the updates
// and gamma sum in row order. An emptied cluster keeps its previous prototype.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/matrix.hpp"

namespace segmora::engine {

// n x m category codes, row-major; codes are compared only for equality, and
// their order breaks ties between equally frequent codes (the largest wins).
struct CodeMatrix {
    std::vector<std::uint64_t> codes;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::uint64_t operator()(std::size_t i, std::size_t j) const noexcept { return codes[i * cols + j]; }
};

struct KPrototypesResult {
    std::vector<std::uint64_t> labels;  // cluster of every row, 0 .. k-1
    Matrix centers;                     // k x d numeric centers
    CodeMatrix modes;                   // k x m modes (m = 0 without categorical data)
    double gamma = 0.0;                 // cost of one categorical mismatch
    double cost = 0.0;                  // sum over rows of the cost to the own prototype
    std::uint64_t n_iter = 0;           // assignment passes performed
};

// gamma of a numeric matrix with at least one row.
double kprototypes_gamma(const Matrix& numeric);

// The whole fit on a per-call pool of n_jobs workers (<= 0: one per CPU).
// `categorical` may be null (numeric features only). The final cost uses the
// final labels and prototypes.
KPrototypesResult kprototypes_fit(const Matrix& numeric, const CodeMatrix* categorical, std::uint64_t n_clusters,
                                  std::uint64_t max_iter, std::uint64_t random_state, std::int32_t n_jobs);

// Labels only (same errors and determinism as kprototypes_fit).
std::vector<std::uint64_t> kprototypes(const Matrix& numeric, const CodeMatrix* categorical, std::uint64_t n_clusters,
                                       std::uint64_t max_iter, std::uint64_t random_state, std::int32_t n_jobs);

// k x d means of the rows of each label, summed in row order; a label with no
// rows gives a row of zeros. Requires labels < k, one label per row.
Matrix centers_from_labels(const Matrix& data, const std::vector<std::uint64_t>& labels, std::size_t k);

}  // namespace segmora::engine
