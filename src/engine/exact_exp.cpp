#include "engine/exact_exp.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>

namespace segmora::engine {

namespace {

// A non-negative integer of any size, 64-bit limbs, least significant first,
// no leading zero limbs (zero is the empty vector).
class BigUint {
public:
    BigUint() = default;
    static BigUint power_of_two(std::size_t bits) {
        BigUint b;
        b.limbs_.assign(bits / 64 + 1, 0);
        b.limbs_.back() = std::uint64_t{1} << (bits % 64);
        return b;
    }
    // The integer whose bits are `words` (most significant first).
    static BigUint from_words(const LazyUniform& w, std::size_t count) {
        BigUint b;
        b.limbs_.assign((count + 1) / 2, 0);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t from_bottom = count - 1 - i;  // word position, least significant first
            b.limbs_[from_bottom / 2] |= static_cast<std::uint64_t>(w.word(i)) << (32 * (from_bottom % 2));
        }
        b.trim();
        return b;
    }

    bool zero() const noexcept { return limbs_.empty(); }

    void add_one() {
        for (std::uint64_t& limb : limbs_)
            if (++limb != 0) return;
        limbs_.push_back(1);
    }

    void shift_left(std::size_t bits) {
        if (zero() || bits == 0) return;
        const std::size_t whole = bits / 64, part = bits % 64;
        limbs_.insert(limbs_.begin(), whole, 0);
        if (part == 0) return;
        std::uint64_t carry = 0;
        for (std::size_t i = whole; i < limbs_.size(); ++i) {
            const std::uint64_t next = limbs_[i] >> (64 - part);
            limbs_[i] = (limbs_[i] << part) | carry;
            carry = next;
        }
        if (carry) limbs_.push_back(carry);
    }

    void multiply(std::uint64_t m) {
        uint128 carry = 0;
        for (std::uint64_t& limb : limbs_) {
            const uint128 p = static_cast<uint128>(limb) * m + carry;
            limb = static_cast<std::uint64_t>(p);
            carry = p >> 64;
        }
        if (carry) limbs_.push_back(static_cast<std::uint64_t>(carry));
        trim();
    }

    void multiply(uint128 m) {
        const auto hi = static_cast<std::uint64_t>(m >> 64);
        if (hi == 0) return multiply(static_cast<std::uint64_t>(m));
        BigUint high = *this;
        high.multiply(hi);
        high.shift_left(64);
        multiply(static_cast<std::uint64_t>(m));
        add(high);
    }

    // Floor division.
    void divide(std::uint64_t v) {
        uint128 rem = 0;
        for (std::size_t i = limbs_.size(); i-- > 0;) {
            const uint128 cur = (rem << 64) | limbs_[i];
            limbs_[i] = static_cast<std::uint64_t>(cur / v);
            rem = cur % v;
        }
        trim();
    }

    // Floor division by a divisor of any 128-bit size (bit by bit above 64 bits).
    void divide(uint128 v) {
        if ((v >> 64) == 0) return divide(static_cast<std::uint64_t>(v));
        uint128 rem = 0;
        for (std::size_t i = limbs_.size(); i-- > 0;) {
            std::uint64_t q = 0;
            for (int b = 63; b >= 0; --b) {
                const bool carry = (rem >> 127) != 0;  // rem < v < 2^128; 2 rem may not fit
                rem = (rem << 1) | ((limbs_[i] >> b) & 1);
                if (carry || rem >= v) {
                    rem -= v;  // modulo 2^128: the true difference is below v
                    q |= std::uint64_t{1} << b;
                }
            }
            limbs_[i] = q;
        }
        trim();
    }

    void add(const BigUint& o) {
        if (o.limbs_.size() > limbs_.size()) limbs_.resize(o.limbs_.size(), 0);
        std::uint64_t carry = 0;
        for (std::size_t i = 0; i < limbs_.size(); ++i) {
            const std::uint64_t b = i < o.limbs_.size() ? o.limbs_[i] : 0;
            const uint128 s = static_cast<uint128>(limbs_[i]) + b + carry;
            limbs_[i] = static_cast<std::uint64_t>(s);
            carry = static_cast<std::uint64_t>(s >> 64);
            if (i >= o.limbs_.size() && carry == 0) break;
        }
        if (carry) limbs_.push_back(carry);
    }

    // *this - o; requires *this >= o.
    void subtract(const BigUint& o) {
        std::uint64_t borrow = 0;
        for (std::size_t i = 0; i < limbs_.size(); ++i) {
            const std::uint64_t b = i < o.limbs_.size() ? o.limbs_[i] : 0;
            const std::uint64_t d = limbs_[i] - b - borrow;
            borrow = (limbs_[i] < b || (limbs_[i] == b && borrow)) ? 1 : 0;
            limbs_[i] = d;
            if (i >= o.limbs_.size() && borrow == 0) break;
        }
        trim();
    }

    friend int compare(const BigUint& a, const BigUint& b) noexcept {
        if (a.limbs_.size() != b.limbs_.size()) return a.limbs_.size() < b.limbs_.size() ? -1 : 1;
        for (std::size_t i = a.limbs_.size(); i-- > 0;)
            if (a.limbs_[i] != b.limbs_[i]) return a.limbs_[i] < b.limbs_[i] ? -1 : 1;
        return 0;
    }

    static BigUint from_double_ceil(double v) {  // v >= 0, finite
        BigUint b;
        const double c = std::ceil(v);
        if (c < 18446744073709551616.0) {
            b.limbs_.push_back(static_cast<std::uint64_t>(c));
        } else {
            int exp = 0;
            const double m = std::frexp(c, &exp);  // c = m 2^exp, m in [0.5, 1)
            b.limbs_.push_back(static_cast<std::uint64_t>(std::ldexp(m, 64)));
            b.shift_left(static_cast<std::size_t>(exp - 64));
        }
        b.trim();
        return b;
    }

private:
    void trim() {
        while (!limbs_.empty() && limbs_.back() == 0) limbs_.pop_back();
    }
    std::vector<std::uint64_t> limbs_;
};

// Rounding-up factor for the error bounds, which are computed in double.
constexpr double kUp = 1.0 + 0x1p-40;

// exp(-a/d) scaled by 2^q, as the integer interval [low, high] that holds it.
struct Bounds {
    BigUint low, high;
};

Bounds exp_bounds(uint128 a, uint128 d, std::size_t q, double x_upper) {
    // Alternating series sum_k (-x)^k / k!. Each term is the previous times
    // a / d / k, both divisions rounded down: the computed term t'_k falls short
    // of the true t_k by e_k <= e_{k-1} x / k + 2 (e_0 = 0). Once past k = 2x the
    // terms at least halve, so after the first computed zero the rest sum to at
    // most 2 e_k.
    BigUint term = BigUint::power_of_two(q), positive = term, negative;
    double error = 0.0, total = 0.0;
    for (std::uint64_t k = 1;; ++k) {
        term.multiply(a);
        term.divide(d);
        term.divide(k);
        error = (error * x_upper / static_cast<double>(k) + 2.0) * kUp;
        total = (total + error) * kUp;
        if (k % 2 == 1) negative.add(term);
        else positive.add(term);
        if (term.zero() && static_cast<double>(k + 1) >= 2.0 * x_upper) {
            total = (total + 2.0 * error) * kUp;
            break;
        }
    }
    const BigUint err = BigUint::from_double_ceil(total + 1.0);
    Bounds b;
    if (compare(positive, negative) >= 0) {
        positive.subtract(negative);
        b.high = positive;
        b.high.add(err);
        if (compare(positive, err) > 0) {
            b.low = positive;
            b.low.subtract(err);
        }
    } else {
        negative.subtract(positive);  // the computed sum is negative: exp(-x) lies below the error bound
        b.high = err;
        if (compare(b.high, negative) > 0) b.high.subtract(negative);
    }
    return b;
}

double to_double(uint128 v) { return static_cast<double>(v); }

}  // namespace

double LazyUniform::neg_log_estimate(WordSource& source) {
    std::size_t first = 0;
    for (;; ++first) {
        if (first == words_.size()) extend(source);
        if (words_[first] != 0) break;
    }
    while (words_.size() < first + 2) extend(source);
    const double lead = static_cast<double>(words_[first]) * 4294967296.0 + static_cast<double>(words_[first + 1]);
    return static_cast<double>(32 * (first + 2)) * std::numbers::ln2 - std::log(lead);
}

bool less_than_exp(LazyUniform& w, uint128 a, uint128 d, WordSource& source) {
    if (a == 0) return true;  // W < 1 = exp(0)
    const double x = to_double(a) / to_double(d);
    const double x_upper = x * kUp + 0x1p-60;
    // exp(-x) < 2^-j whenever j < x log2(e): a set bit among W's first j bits
    // then puts W above it, which settles large x without the series.
    const double zero_bits_needed = x * std::numbers::log2e * (1.0 - 0x1p-30) - 1.0;
    for (std::size_t i = 0;; ++i) {
        if (static_cast<double>(32 * i) >= zero_bits_needed) break;
        if (i == w.known_words()) w.extend(source);
        if (w.word(i) != 0) {
            const double first_set = static_cast<double>(32 * i + static_cast<std::size_t>(std::countl_zero(w.word(i))) + 1);
            if (first_set <= zero_bits_needed) return false;
            break;
        }
    }
    // Guard bits cover the cancellation of the alternating series (terms up to
    // about e^x) and the error bound's growth with the number of terms.
    const double terms = 3.0 * x_upper + 64.0 * static_cast<double>(w.known_words()) + 64.0;
    std::size_t words = std::max<std::size_t>(w.known_words(), 2);
    for (;;) {
        while (w.known_words() < words) w.extend(source);
        const std::size_t m = 32 * words;
        const auto guard =
            static_cast<std::size_t>(x_upper * std::numbers::log2e + 2.0 * std::log2(terms + static_cast<double>(m)) + 16.0);
        const std::size_t q = m + guard;
        const Bounds e = exp_bounds(a, d, q, x_upper);
        BigUint w_low = BigUint::from_words(w, words), w_high = w_low;
        w_high.add_one();
        w_low.shift_left(guard);
        w_high.shift_left(guard);
        if (compare(w_high, e.low) <= 0) return true;   // every W with these bits lies below exp(-x)
        if (compare(w_low, e.high) >= 0) return false;  // every W with these bits lies at or above it
        words *= 2;
    }
}

}  // namespace segmora::engine
