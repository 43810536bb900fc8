// Mini-batch k-means: centers learned from a stream of chunks.
//
// The first chunk with at least k rows seeds k centers by k-means++ (the
// model's own ChaCha12 generator, keyed from random_state); every later chunk
// moves, row by row in order, the nearest center c towards the row with the
// rate 1 / counts[c], counts[c] being the rows c has absorbed since seeding.
// Memory is the k x d centers and k counts; a chunk is read where it lies (a
// finiteness pass, then the update) and nothing is allocated per row. A
// failing call changes nothing: every check runs before the first center
// moves, and a long chunk (or the seeding) stopped by an interrupt leaves
// centers, counts and generator as they were. Deterministic: equal seeds and
// equal chunks give bit-identical centers.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/matrix.hpp"
#include "engine/random.hpp"

namespace segmora::engine {

class MiniBatchKMeans {
public:
    // InvalidConfig "n_clusters must be > 0" when n_clusters is 0.
    MiniBatchKMeans(std::uint64_t n_clusters, std::uint64_t random_state);
    MiniBatchKMeans(std::uint64_t n_clusters, ChaCha12Rng rng);

    // Ingests one chunk. An empty chunk changes nothing. Errors (DataValidation):
    // a seeding chunk of fewer than k rows; a chunk with another column count than
    // the centers; a NaN or infinite value (refused before seeding or updating).
    void partial_fit(const Matrix& chunk) { partial_fit(chunk, ChunkOptions{}); }

    // What a chunk may do beyond the plain update. The defaults are partial_fit's.
    struct ChunkOptions {
        // Seedings tried on the seeding chunk, one after another from the
        // model's generator; the first of least inertia on that chunk is kept.
        std::uint64_t n_init = 1;
        // With `reassign`, after the update every center that has absorbed
        // fewer rows than this fraction of the busiest center's count moves
        // onto a row of the chunk drawn by the generator (distinct rows, at most
        // half the chunk's rows, the emptiest centers first), and its count
        // becomes the smallest count among the centers that stay.
        double reassignment_ratio = 0.0;
        bool reassign = false;
        // Fill the summary's labels and inertia, read off the update itself:
        // each row's center and its squared distance to it as the row arrived
        // (before the center moved), the distances summed in row order. For the
        // seeding chunk, against the seeds kept.
        bool summarize = false;
    };
    struct ChunkSummary {
        std::vector<std::uint64_t> labels;  // center of every row
        double inertia = 0.0;               // their squared distances, summed in row order
        std::uint64_t reassigned = 0;       // centers moved by the reassignment
    };
    // partial_fit with options, reading the chunk in place. Further errors:
    // n_init = 0 (InvalidConfig), a negative or non-finite ratio (InvalidConfig).
    ChunkSummary partial_fit(MatrixView chunk, const ChunkOptions& options);

    // Nearest-center labels (ties to the lower index; a row of NaN gets 0).
    // Errors: not yet seeded (Clustering), a column-count mismatch (DataValidation).
    std::vector<std::uint64_t> predict(const Matrix& data) const;

    bool initialized() const noexcept { return initialized_; }
    const Matrix& centers() const noexcept { return centers_; }  // 0 x 0 before seeding
    const std::vector<std::uint64_t>& counts() const noexcept { return counts_; }
    std::uint64_t n_clusters() const noexcept { return n_clusters_; }
    const ChaCha12Rng& generator() const noexcept { return rng_; }

    // A model in a saved state: unseeded (no centers) or seeded with k x d
    // centers and k counts. InvalidConfig for n_clusters 0; DataValidation when
    // the centers are not k rows or the counts are not k.
    static MiniBatchKMeans restore(std::uint64_t n_clusters, ChaCha12Rng rng, std::optional<Matrix> centers,
                                   std::vector<std::uint64_t> counts);

private:
    // The reassignment of ChunkOptions on the given centers and counts; returns
    // how many centers moved.
    static std::uint64_t reassign_starved(MatrixView chunk, double ratio, Matrix& centers,
                                          std::vector<std::uint64_t>& counts, ChaCha12Rng& rng);

    std::vector<std::uint64_t> counts_;
    Matrix centers_;
    bool initialized_ = false;
    std::uint64_t n_clusters_;
    ChaCha12Rng rng_;
};

}  // namespace segmora::engine
