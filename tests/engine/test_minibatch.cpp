#include <gtest/gtest.h>

#include <cstring>

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
