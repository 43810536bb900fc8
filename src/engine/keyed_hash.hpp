// Keyed string hashing for hash tables whose keys come from callers.
//
// Customer ids, quasi-identifier values and other caller strings are hashed
// with SipHash-1-3 under a 128-bit key drawn once per process from the
// operating system's entropy (std::random_device, getrandom on Linux), so
// colliding keys cannot be computed offline and a table never degrades to
// quadratic work. Results never depend on hash order: every table built on
// this hash is paired with a first-appearance order wherever order is visible.
// StringMap<V> is an unordered_map keyed by std::string that also looks up by
// std::string_view without building a string.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace segmora::engine {

namespace detail {

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    void round() noexcept {
        v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
        v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
    }
    void absorb(std::uint64_t m) noexcept {
        v3 ^= m;
        round();
        v0 ^= m;
    }
};

// The `n` (< 8) bytes at p as the low bytes of a little-endian word.
inline std::uint64_t load_le(const unsigned char* p, std::size_t n) noexcept {
    std::uint64_t v = 0;
    for (std::size_t i = n; i-- > 0;) v = (v << 8) | p[i];
    return v;
}

inline std::uint64_t load_le64(const unsigned char* p) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    } else {
        return load_le(p, 8);
    }
}

}  // namespace detail

// SipHash-1-3 of `bytes` under the 128-bit key (k0, k1). Inline: the grouping
// loops hash millions of short ids.
inline std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const void* bytes, std::size_t size) noexcept {
    detail::SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
                       k1 ^ 0x7465646279746573ULL};
    const auto* p = static_cast<const unsigned char*>(bytes);
    const std::size_t whole = size - size % 8;
    for (std::size_t i = 0; i < whole; i += 8) s.absorb(detail::load_le64(p + i));
    s.absorb((static_cast<std::uint64_t>(size & 0xff) << 56) | detail::load_le(p + whole, size - whole));
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// The process's random hash key, drawn on first use.
struct HashKey {
    std::uint64_t k0;
    std::uint64_t k1;
};
const HashKey& process_hash_key();

// Hash functor for caller-supplied strings (transparent: string, string_view, const char*).
struct KeyedStringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
        const HashKey& key = process_hash_key();
        return static_cast<std::size_t>(siphash13(key.k0, key.k1, s.data(), s.size()));
    }
};

// Hash functor for a fixed-width integer key mixed under the process key.
struct KeyedIntegerHash {
    std::size_t operator()(std::uint64_t v) const noexcept {
        const HashKey& key = process_hash_key();
        return static_cast<std::size_t>(siphash13(key.k0, key.k1, &v, sizeof v));
    }
};

template <class V>
using StringMap = std::unordered_map<std::string, V, KeyedStringHash, std::equal_to<>>;

}  // namespace segmora::engine
