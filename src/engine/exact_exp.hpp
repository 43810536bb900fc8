// Exact decisions between a uniform random number and exp(-a/d).
//
// A uniform W in [0, 1) is an endless string of random bits; LazyUniform keeps
// the leading bits drawn so far and draws more only when a decision needs them.
// less_than_exp(W, a, d) decides W < exp(-a/d) for integers a >= 0, d > 0
// without any rounding: it evaluates exp(-a/d) in fixed point by its Taylor
// series in integer arithmetic, keeps a proven bound on the error of every
// truncation, and compares W's known bits with the resulting interval; when
// W's bits and the interval overlap it draws 64 more bits of W and doubles the
// precision, which settles every decision with probability one. The samplers
// call it only when a floating-point estimate with a wide safety margin could
// not settle a decision (about once in 2^30 draws), so its speed does not
// matter; its exactness is what makes the samplers exact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace segmora::engine {

__extension__ using uint128 = unsigned __int128;

// The source of further random words (a NoiseSource or, in tests, a fixed stream).
class WordSource {
public:
    virtual std::uint32_t next_word() = 0;

protected:
    ~WordSource() = default;
};

// The leading bits of a uniform W in [0, 1), 32 at a time, most significant first.
class LazyUniform {
public:
    LazyUniform() = default;
    // W's first 64 bits.
    explicit LazyUniform(std::uint64_t leading) {
        words_.push_back(static_cast<std::uint32_t>(leading >> 32));
        words_.push_back(static_cast<std::uint32_t>(leading));
    }
    // W's first 32 bits.
    explicit LazyUniform(std::uint32_t leading) { words_.push_back(leading); }

    std::size_t known_words() const noexcept { return words_.size(); }
    std::uint32_t word(std::size_t i) const noexcept { return words_[i]; }
    void extend(WordSource& source) { words_.push_back(source.next_word()); }

    // An estimate of -ln W (relative error about 2^-50), drawing words until one
    // of W's bits is known to be set.
    double neg_log_estimate(WordSource& source);

private:
    std::vector<std::uint32_t> words_;
};

// Whether W < exp(-a / d), decided exactly; draws further bits of W as needed. d > 0.
bool less_than_exp(LazyUniform& w, uint128 a, uint128 d, WordSource& source);

}  // namespace segmora::engine
