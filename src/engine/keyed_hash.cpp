#include "engine/keyed_hash.hpp"

#include <cstring>
#include <random>

namespace segmora::engine {

namespace {

constexpr std::uint64_t rotl(std::uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    void round() noexcept {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    }
    void absorb(std::uint64_t m) noexcept {
        v3 ^= m;
        round();
        v0 ^= m;
    }
};

std::uint64_t load_le64(const unsigned char* p) noexcept {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

HashKey draw_key() {
    std::random_device device;
    auto word = [&] { return (static_cast<std::uint64_t>(device()) << 32) | device(); };
    HashKey key{word(), word()};
    return key;
}

}  // namespace

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const void* bytes, std::size_t size) noexcept {
    SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
               k1 ^ 0x7465646279746573ULL};
    const auto* p = static_cast<const unsigned char*>(bytes);
    const std::size_t whole = size - size % 8;
    for (std::size_t i = 0; i < whole; i += 8) s.absorb(load_le64(p + i));
    std::uint64_t last = static_cast<std::uint64_t>(size & 0xff) << 56;
    for (std::size_t i = whole; i < size; ++i) last |= static_cast<std::uint64_t>(p[i]) << (8 * (i - whole));
    s.absorb(last);
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

const HashKey& process_hash_key() {
    static const HashKey key = draw_key();
    return key;
}

}  // namespace segmora::engine
