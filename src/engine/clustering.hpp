// K-means engine: k-means++ seeding, parallel Lloyd iterations, nearest-center
// labelling.
//
// kmeans() is a pure function of (data, n_clusters, max_iter, random_state) and
// its options (row weights, restarts, starting centers): labels, centers,
// inertia and n_iter are bit-identical for every n_jobs. Only
// the assignment step (and the per-row distances of seeding and inertia) run in
// parallel; every sum runs left to right in row and feature order. Nearest-center
// searches start at +inf and keep the first strict minimum, so ties go to the
// lower center index and a NaN distance never wins.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "engine/matrix.hpp"
#include "engine/random.hpp"

namespace segmora::engine {

class ThreadPool;

struct KMeansResult {
    std::vector<std::uint64_t> labels;  // cluster of every row, 0 .. k-1
    Matrix centers;                     // k x d
    double inertia = 0.0;               // sum of squared distances to the own center
    std::uint64_t n_iter = 0;           // Lloyd iterations performed
};

// Seeds k centers (1 <= k <= data.rows()) by k-means++; returns the k x d centers
// and the rows they were copied from, in choice order. Advances `rng`. With a
// pool, the per-row distance updates run on it (the result is the same).
std::pair<Matrix, std::vector<std::size_t>> kmeans_plus_plus_init(const Matrix& data, std::size_t k,
                                                                  ChaCha12Rng& rng, ThreadPool* pool = nullptr);

// Lloyd's algorithm on a per-call pool of n_jobs workers (<= 0: one per CPU).
// Errors, checked in this order: n_clusters = 0 (InvalidConfig), no rows
// (DataValidation), n_clusters > rows (InvalidConfig), a NaN or infinite value
// (DataValidation), pool failure (Clustering).
KMeansResult kmeans(const Matrix& data, std::uint64_t n_clusters, std::uint64_t max_iter, std::uint64_t random_state,
                    std::int32_t n_jobs);

// What a k-means fit may add to kmeans()'s arguments. The defaults give kmeans().
struct KMeansOptions {
    // One weight per row (RowWeights' rules: whole weights act as repeated rows,
    // bit for bit), or none. Seeding draws rows in proportion to weight x
    // squared distance, centers are weighted means, the inertia weighs each row.
    const std::vector<double>* weights = nullptr;
    // Fits from successive seedings of the one generator; the first of least
    // inertia is kept. Run 0 is kmeans()'s fit.
    std::uint64_t n_init = 1;
    // Starting centers (k x d) instead of seeding; there is then one run.
    const Matrix* init = nullptr;
};

// kmeans() with options. Further errors, after kmeans()'s own checks: n_init = 0
// (InvalidConfig), init of another shape than k x d (InvalidConfig) or with a
// NaN or infinite value (DataValidation), weights as RowWeights refuses them.
KMeansResult kmeans(const Matrix& data, std::uint64_t n_clusters, std::uint64_t max_iter, std::uint64_t random_state,
                    std::int32_t n_jobs, const KMeansOptions& options);

// Sequential nearest-center labels. Errors: no centers (InvalidConfig), a column
// count differing from the centers' (DataValidation).
std::vector<std::uint64_t> assign_to_clusters(const Matrix& data, const Matrix& centers);

// Index of the center nearest to one row of centers.cols() values: squared
// Euclidean distance, the first strict minimum from +inf (0 when every distance
// is NaN). centers must have at least one row.
std::size_t nearest_center(const double* row, const Matrix& centers) noexcept;

// One Lloyd step over a chunk of rows, for k-means spread over partitions: each
// row is labelled by its nearest given center, then added to its center's sum in
// row order. Adding the chunks' sums and counts in partition order and dividing
// gives the next centers; with one chunk this is exactly kmeans()'s step.
struct LloydChunkStep {
    std::vector<std::uint64_t> labels;  // nearest center of every row
    Matrix sums;                        // k x d, rows added in row order
    std::vector<std::uint64_t> counts;  // rows per center
    double inertia = 0.0;               // squared distances to the nearest centers, summed in row order
    bool changed = false;               // a label differs from the previous ones (default: all 0)
    std::size_t farthest = 0;           // row farthest from its nearest center, ties to the highest index
    double farthest_distance = 0.0;     // its squared distance; -inf for a chunk of no rows
};

// Errors: no centers (InvalidConfig), a column count differing from the
// centers' (DataValidation), a NaN or infinite value in the rows or the centers
// (DataValidation), previous labels of another length or naming a missing
// center (DataValidation). Sequential: a chunk is one worker's share.
LloydChunkStep lloyd_chunk_step(const Matrix& data, const Matrix& centers, const std::vector<std::uint64_t>* previous);

// Squared distances of the rows to the centers of their labels, summed in row
// order. Errors as lloyd_chunk_step (labels of another length or out of range).
double labelled_inertia(const Matrix& data, const Matrix& centers, const std::vector<std::uint64_t>& labels);

// DataValidation error naming the first NaN or infinite value, if any.
void require_finite(MatrixView data);

// Nearest-center labels of the rows (as assign_to_clusters gives them) and the
// sum of the rows' squared distances to those centers, in row order. Errors as
// assign_to_clusters, except that a view of no rows fits any centers.
struct Assignment {
    std::vector<std::uint64_t> labels;
    double inertia = 0.0;
};
Assignment assign_with_inertia(MatrixView data, const Matrix& centers);

}  // namespace segmora::engine
