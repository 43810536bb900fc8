// Row weights for weighted k-means.
//
// When every weight is a whole number and they add up to at most 2^53, a row of
// weight w counts exactly as w copies of itself standing where the row stands:
// a sum adds the row's term once per copy, rounding after each addition as the
// repeated rows would (add_repeated gets there in a few steps however large w
// is), and a draw picks one copy uniformly among all copies. With any other
// weight, a sum adds weight x term once and a draw walks the running total of
// the weights. Rows of weight 0 take part in nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/random.hpp"

namespace segmora::engine {

// s + x + x + ... with w additions, each rounded to nearest-even as w separate
// additions would round it. Runs in a few steps per binade the sum crosses.
double add_repeated(double s, double x, std::uint64_t w) noexcept;

class RowWeights {
public:
    // Borrows `weights` (one per row of an n-row matrix). Errors (DataValidation):
    // another count than n, a negative or non-finite weight, weights summing to 0.
    RowWeights(std::span<const double> weights, std::size_t n);

    std::size_t size() const noexcept { return w_.size(); }
    bool whole() const noexcept { return whole_; }
    // Every weight equals 1: the rows as they are.
    bool all_ones() const noexcept { return all_ones_; }
    bool counts(std::size_t i) const noexcept { return w_[i] > 0.0; }
    double operator[](std::size_t i) const noexcept { return w_[i]; }

    // `running` plus `term` counted with row i's weight.
    double add(double running, double term, std::size_t i) const noexcept {
        if (!whole_) return running + w_[i] * term;
        if (w_[i] == 1.0) return running + term;
        return add_repeated(running, term, copies_[i]);
    }

    // A row drawn in proportion to its weight among the rows for which
    // `eligible(i)` holds (at least one of them with a positive weight).
    template <class Eligible>
    std::size_t draw(ChaCha12Rng& rng, Eligible&& eligible) const;
    std::size_t draw(ChaCha12Rng& rng) const {
        return draw(rng, [](std::size_t) { return true; });
    }

    // The last row of positive weight.
    std::size_t last() const noexcept { return last_; }

private:
    std::span<const double> w_;
    std::vector<std::uint64_t> copies_;  // whole weights as counts
    bool whole_ = true;
    bool all_ones_ = true;
    std::size_t last_ = 0;
};

template <class Eligible>
std::size_t RowWeights::draw(ChaCha12Rng& rng, Eligible&& eligible) const {
    const std::size_t n = w_.size();
    std::size_t fallback = last_;
    if (whole_) {
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < n; ++i)
            if (eligible(i)) total += copies_[i];
        std::uint64_t copy = rng.uniform_index(total);
        for (std::size_t i = 0; i < n; ++i) {
            if (!eligible(i)) continue;
            if (copy < copies_[i]) return i;
            copy -= copies_[i];
        }
        return fallback;  // not reached
    }
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        if (eligible(i)) total += w_[i];
    const double r = rng.uniform_float(total);
    double running = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!eligible(i) || !(w_[i] > 0.0)) continue;
        running += w_[i];
        if (running > r) return i;
        fallback = i;  // rounding may leave the running total short of r
    }
    return fallback;
}

}  // namespace segmora::engine
