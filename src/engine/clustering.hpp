// K-means engine: k-means++ seeding, parallel Lloyd iterations, nearest-center
// labelling.
//
// kmeans() is a pure function of (data, n_clusters, max_iter, random_state) and
// its options (row weights, restarts, starting centers): labels, centers,
// inertia and n_iter are bit-identical for every n_jobs. Only
// the assignment step (and the per-row distances of seeding and inertia) run in
// parallel; every sum runs left to right in row and feature order. Nearest-center
// searches start at +inf and keep the first strict minimum, so ties go to the
// lower center index and a NaN distance never wins. The data is read where
// it lies (a MatrixRef: a Matrix or a caller's buffer), never copied.
#pragma once

#include <cstdint>
#include <span>
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
std::pair<Matrix, std::vector<std::size_t>> kmeans_plus_plus_init(MatrixRef data, std::size_t k,
                                                                  ChaCha12Rng& rng, ThreadPool* pool = nullptr);

// Lloyd's algorithm on a per-call pool of n_jobs workers (<= 0: one per CPU).
// Errors, checked in this order: n_clusters = 0 (InvalidConfig), no rows
// (DataValidation), n_clusters > rows (InvalidConfig), a NaN or infinite value
// (DataValidation), pool failure (Clustering).
KMeansResult kmeans(MatrixRef data, std::uint64_t n_clusters, std::uint64_t max_iter, std::uint64_t random_state,
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
KMeansResult kmeans(MatrixRef data, std::uint64_t n_clusters, std::uint64_t max_iter, std::uint64_t random_state,
                    std::int32_t n_jobs, const KMeansOptions& options);

// Sequential nearest-center labels. Errors: no centers (InvalidConfig), a column
// count differing from the centers' (DataValidation).
std::vector<std::uint64_t> assign_to_clusters(MatrixRef data, const Matrix& centers);

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
LloydChunkStep lloyd_chunk_step(MatrixRef data, const Matrix& centers, const std::vector<std::uint64_t>* previous);

// Squared distances of the rows to the centers of their labels, summed in row
// order. Errors as lloyd_chunk_step (labels of another length or out of range).
double labelled_inertia(MatrixRef data, const Matrix& centers, const std::vector<std::uint64_t>& labels);

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

// ---- k-means over partitions, fed block by block ----
//
// A partition's rows may come in several blocks, read in place; every running
// total continues from the previous block, so a partition fed in any number of
// blocks gives the same bits as one block. The caller keeps whatever must
// survive between calls (labels, nearest-candidate distances) in buffers it
// owns, and combines the partitions' totals in partition order. With one
// partition the Lloyd steps and the final inertia are exactly kmeans()'s.
// A NaN or infinite value is found while the rows are labelled (its distance is
// +inf) and reported as a DataValidation error naming it; the output buffers
// then hold partial results.

// n x d row-major doubles owned by the caller.
struct RowBlock {
    const double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
};

// Doubles in a partition's Lloyd totals for k centers of d features, in this
// order: the k x d sums, the k counts, the inertia, the farthest distance and
// the farthest row's d values. Fresh totals are zeros but the farthest
// distance, which is -inf. Throws InvalidConfig when the size overflows.
std::size_t lloyd_totals_size(std::size_t k, std::size_t d);

// Labels every row by its nearest center (first strict minimum) and adds it to
// `totals` in row order: its center's sum and count, its squared distance to
// the inertia, and the farthest row (ties to the later row). Returns whether a
// label differs from the previous one: the values in `labels` when given
// (which then receive the new labels; the old values are only compared), else
// the nearest of `previous_centers` when given, else 0. Errors: no centers
// (InvalidConfig), a column count differing from the centers' or of
// `previous_centers`, totals of another size, a non-finite value in the centers
// or the rows (DataValidation).
bool lloyd_block_step(RowBlock block, const Matrix& centers, std::span<double> totals, std::uint64_t* labels,
                      const Matrix* previous_centers);

// `start` plus the squared distances of the rows to their labelled centers, in
// row order. Labels come from `labels` (each below centers.rows(), else
// DataValidation), else the nearest of `label_centers`, else 0.
double lloyd_block_inertia(RowBlock block, const Matrix& centers, const std::uint64_t* labels,
                           const Matrix* label_centers, double start);

// ---- k-means|| seeding (Bahmani et al., 2012) ----
//
// The first candidate is a uniform row of the whole input. Each round, every
// row's squared distance d2 to its nearest candidate is updated, the costs
// (sums of d2) of the partitions add up to phi in partition order, and every
// row is kept with probability min(1, l * d2 / phi): with u its draw, uniform
// in [0, 1), row i is kept when u * phi < l * d2. The candidates' weights are
// the numbers of rows nearest to each; weighted k-means++ on them gives the k
// seeds. Draws come from one ChaCha12 key (the seed): stream 0 on the driver,
// stream 1 + p for partition p, where round r starts at block r * 2^32 and row
// j of the partition takes the j-th 64-bit draw of the round. The seeds are a
// function of the seed, the rows and the split into partitions.

// Row of the whole input that becomes the first candidate. Errors as kmeans():
// n_clusters = 0 (InvalidConfig), n_rows = 0 (DataValidation), n_clusters >
// n_rows (InvalidConfig).
std::uint64_t kmeans_parallel_first(std::uint64_t n_rows, std::uint64_t n_clusters, std::uint64_t random_state);

// One partition's share of a round: the cost and the rows that may be kept.
struct SeedingRound {
    double cost = 0.0;                 // `start` plus every row's d2, in row order
    std::vector<std::uint64_t> rows;   // rows of the block that may be kept, ascending
    std::vector<double> distances;     // their d2
    std::vector<double> draws;         // their u
};

// Updates d2 of the block's rows against `candidates` (starting from `best`
// when given, which then receives the new values, else from +inf) and offers
// every row that could be kept whatever the other partitions add to phi: u
// times the partition's running cost (this row included) below l * d2. The
// driver keeps those with u * phi < l * d2. `first_row` is the block's first
// row within its partition. Errors: no candidates (InvalidConfig), a column
// count differing from the candidates', l not finite and positive, a round or
// row past the draws a round holds, a non-finite value (DataValidation).
SeedingRound kmeans_parallel_round(RowBlock block, const Matrix& candidates, double* best, double oversampling,
                                   std::uint64_t random_state, std::uint64_t partition, std::uint64_t round,
                                   std::uint64_t first_row, double start);

// Weighted k-means++ over the candidates: the first seed in proportion to the
// weights, each next one to weight times squared distance to the nearest seed
// so far (uniform over the candidates when that total is 0), drawn from stream
// 0 from block 2^32. Errors: n_clusters = 0 (InvalidConfig), no candidates,
// weights of another length, a negative or non-finite weight or value
// (DataValidation).
Matrix kmeans_parallel_reduce(const Matrix& candidates, std::span<const double> weights, std::uint64_t n_clusters,
                              std::uint64_t random_state);

}  // namespace segmora::engine
