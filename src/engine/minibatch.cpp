#include "engine/minibatch.hpp"

#include "engine/clustering.hpp"
#include "error.hpp"
#include "interrupt.hpp"
#include "text.hpp"

namespace segmora::engine {

namespace {
constexpr std::size_t kRowsBetweenPolls = 4096;
}  // namespace

MiniBatchKMeans::MiniBatchKMeans(std::uint64_t n_clusters, std::uint64_t random_state)
    : n_clusters_(n_clusters), rng_(random_state) {
    if (n_clusters == 0) throw SegmoraError::invalid_config("n_clusters must be > 0");
}

MiniBatchKMeans::MiniBatchKMeans(std::uint64_t n_clusters, ChaCha12Rng rng) : n_clusters_(n_clusters), rng_(rng) {
    if (n_clusters == 0) throw SegmoraError::invalid_config("n_clusters must be > 0");
}

MiniBatchKMeans MiniBatchKMeans::restore(std::uint64_t n_clusters, ChaCha12Rng rng, std::optional<Matrix> centers,
                                         std::vector<std::uint64_t> counts) {
    MiniBatchKMeans model(n_clusters, rng);
    if (!centers) {
        if (!counts.empty()) throw SegmoraError::data_validation("counts without centers");
        return model;
    }
    if (centers->rows() != n_clusters || counts.size() != n_clusters)
        throw SegmoraError::data_validation(format("{} x {} centers and {} counts do not fit n_clusters {}",
                                                   centers->rows(), centers->cols(), counts.size(), n_clusters));
    model.centers_ = std::move(*centers);
    model.counts_ = std::move(counts);
    model.initialized_ = true;
    return model;
}

void MiniBatchKMeans::partial_fit(const Matrix& chunk) {
    const std::size_t r = chunk.rows();
    if (r == 0) return;
    if (!initialized_) {
        if (r < n_clusters_)
            throw SegmoraError::data_validation(
                format("first partial_fit chunk must have at least n_clusters ({}) rows to seed initial centers, got {}",
                       n_clusters_, r));
        require_finite(chunk);
        // The seeding rows update neither the centers nor the counts. The
        // generator is advanced on a copy, kept only when seeding completes.
        ChaCha12Rng rng = rng_;
        Matrix centers = kmeans_plus_plus_init(chunk, static_cast<std::size_t>(n_clusters_), rng).first;
        centers_ = std::move(centers);
        rng_ = rng;
        counts_.assign(static_cast<std::size_t>(n_clusters_), 0);
        initialized_ = true;
        return;
    }
    const std::size_t d = centers_.cols();
    if (chunk.cols() != d)
        throw SegmoraError::data_validation(
            format("chunk has {} features but centers have {} features", chunk.cols(), d));
    // One NaN row would turn its center into NaN for good: refuse the chunk
    // before anything moves.
    require_finite(chunk);

    // A long chunk polls for interrupts between blocks of rows; the rows move
    // copies of the centers and counts, kept only when the whole chunk is in.
    Matrix moved = centers_;
    std::vector<std::uint64_t> counts = counts_;
    double* centers = moved.data();
    const double* x = chunk.data();
    for (std::size_t i = 0; i < r; ++i, x += d) {
        if (i % kRowsBetweenPolls == 0) poll_interrupt();
        const std::size_t c = nearest_center(x, moved);
        const double eta = 1.0 / static_cast<double>(++counts[c]);
        double* center = centers + c * d;
        for (std::size_t j = 0; j < d; ++j) center[j] += eta * (x[j] - center[j]);
    }
    centers_ = std::move(moved);
    counts_ = std::move(counts);
}

std::vector<std::uint64_t> MiniBatchKMeans::predict(const Matrix& data) const {
    if (!initialized_) throw SegmoraError::clustering("predict() called before any partial_fit chunk was ingested");
    return assign_to_clusters(data, centers_);
}

}  // namespace segmora::engine
