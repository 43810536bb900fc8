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

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace segmora::engine {

// SipHash-1-3 of `bytes` under the 128-bit key (k0, k1).
std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const void* bytes, std::size_t size) noexcept;

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
