#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "engine/clustering.hpp"
#include "engine/minibatch.hpp"
#include "interrupt.hpp"

using namespace segmora::engine;

namespace {

Matrix rows(std::size_t n, std::uint64_t seed) {
    ChaCha12Rng rng(seed);
    Matrix m(n, 3);
    for (std::size_t i = 0; i < m.size(); ++i) m.data()[i] = rng.uniform_float(10.0);
    return m;
}

// Reports an interrupt from the `after`-th poll on.
int polls_left = 0;
bool interrupt_later() noexcept { return --polls_left < 0; }

bool same_bits(const Matrix& a, const Matrix& b) {
    return a.size() == b.size() && (a.size() == 0 || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

}  // namespace

// Interrupted at every poll a chunk makes (seeding included), the model is left
// exactly as before: retrying the chunk gives what an uninterrupted run gives.
TEST(MiniBatch, InterruptedChunkChangesNothing) {
    const Matrix seed_chunk = rows(40, 1), chunk = rows(20000, 2);
    MiniBatchKMeans reference(8, 7);
    reference.partial_fit(seed_chunk);
    reference.partial_fit(chunk);
    for (int after = 0; after < 8; ++after) {
        MiniBatchKMeans model(8, 7);
        for (const Matrix* c : {&seed_chunk, &chunk}) {
            polls_left = after;
            const Matrix before = model.centers();
            const auto counts = model.counts();
            bool interrupted = false;
            try {
                segmora::InterruptScope scope(interrupt_later);
                model.partial_fit(*c);
            } catch (const segmora::Interrupted&) {
                interrupted = true;
            }
            if (interrupted) {
                EXPECT_EQ(model.counts(), counts);
                EXPECT_TRUE(same_bits(model.centers(), before));
                model.partial_fit(*c);
            }
        }
        EXPECT_TRUE(same_bits(model.centers(), reference.centers())) << after;
        EXPECT_EQ(model.counts(), reference.counts());
    }
}

namespace {

// The update as plainly written: a full nearest-center search per row.
void plain_update(const Matrix& chunk, Matrix& centers, std::vector<std::uint64_t>& counts) {
    const std::size_t d = chunk.cols();
    for (std::size_t i = 0; i < chunk.rows(); ++i) {
        const double* x = chunk.data() + i * d;
        std::size_t best = 0;
        double best_d2 = INFINITY;
        for (std::size_t c = 0; c < centers.rows(); ++c) {
            double d2 = 0.0;
            for (std::size_t j = 0; j < d; ++j) d2 += (x[j] - centers(c, j)) * (x[j] - centers(c, j));
            if (d2 < best_d2) {
                best_d2 = d2;
                best = c;
            }
        }
        const double eta = 1.0 / static_cast<double>(++counts[best]);
        for (std::size_t j = 0; j < d; ++j) centers(best, j) += eta * (x[j] - centers(best, j));
    }
}

}  // namespace

// The pipelined update against the plain one: ties on a grid, several blocks
// of centers, one center, rows of no features, magnitudes where differences
// overflow; labels and inertia as each row arrived.
TEST(MiniBatch, UpdateEqualsThePlainSearch) {
    struct Case {
        std::size_t k, d;
        double scale;
        bool grid;
    };
    const std::vector<Case> cases = {
        {8, 8, 10.0, false}, {3, 2, 4.0, true}, {9, 3, 10.0, false}, {17, 5, 3.0, true},
        {1, 4, 10.0, false}, {5, 0, 1.0, false}, {4, 2, 1e308, false}, {6, 3, 0x1p1020, true},
    };
    for (const Case& c : cases) {
        ChaCha12Rng rng(c.k * 31 + c.d);
        auto chunk = [&](std::size_t n) {
            Matrix m(n, c.d);
            for (std::size_t i = 0; i < m.size(); ++i) {
                const double u = rng.uniform_float(2.0) - 1.0;
                m.data()[i] = c.scale * (c.grid ? std::round(u * 3.0) : u);
            }
            return m;
        };
        MiniBatchKMeans model(c.k, 5);
        model.partial_fit(chunk(c.k + 3));
        Matrix centers = model.centers();
        std::vector<std::uint64_t> counts = model.counts();
        for (std::size_t n : {1, 2, 7, 5000}) {
            const Matrix rows = chunk(n);
            MiniBatchKMeans::ChunkOptions options;
            options.summarize = true;
            const auto summary = model.partial_fit(rows, options);
            double inertia = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                const Matrix row(1, c.d, std::vector<double>(rows.row(i).begin(), rows.row(i).end()));
                const auto label = assign_to_clusters(row, centers)[0];
                EXPECT_EQ(summary.labels[i], label) << c.k << " " << c.d << " row " << i;
                double d2 = 0.0;
                for (std::size_t j = 0; j < c.d; ++j) d2 += (row(0, j) - centers(label, j)) * (row(0, j) - centers(label, j));
                inertia += d2;
                plain_update(row, centers, counts);
            }
            EXPECT_TRUE(same_bits(model.centers(), centers)) << c.k << " " << c.d;
            EXPECT_EQ(model.counts(), counts);
            EXPECT_TRUE(inertia == summary.inertia || (std::isnan(inertia) && std::isnan(summary.inertia)));
        }
    }
}
