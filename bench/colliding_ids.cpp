// Prints N distinct printable 16-character ids that all have the same
// std::hash<std::string> under libstdc++ (_Hash_bytes, seed 0xc70f6907).
//
// For a 16-byte key the hash state after the two 8-byte blocks k1, k2 is
// ((h0 ^ f(k1)) * m ^ f(k2)) * m, with f(k) = shift_mix(k * m) * m a bijection.
// For a printable k1 the block k2 = f^-1(((h0 ^ f(k1)) * m) ^ T) lands every id
// on the same state T; about one k1 in 2,800 gives a printable k2.
//
//     g++ -O2 -o colliding_ids colliding_ids.cpp && ./colliding_ids 80000
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint64_t kMul = (std::uint64_t{0xc6a4a793} << 32) + 0x5bd1e995;
constexpr std::uint64_t kSeed = 0xc70f6907;
constexpr std::uint64_t kTarget = 0x5eed5eed5eed5eed;

std::uint64_t inverse(std::uint64_t a) {  // modulo 2^64, a odd (Newton)
    std::uint64_t x = a;
    for (int i = 0; i < 6; ++i) x *= 2 - a * x;
    return x;
}

std::uint64_t splitmix64(std::uint64_t& s) {
    std::uint64_t z = (s += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
}

std::uint64_t shift_mix(std::uint64_t v) { return v ^ (v >> 47); }  // its own inverse

bool printable(std::uint64_t w) {
    for (int i = 0; i < 8; ++i) {
        const unsigned b = (w >> (8 * i)) & 0xff;
        if (b < 0x21 || b > 0x7e) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const long count = argc > 1 ? std::atol(argv[1]) : 1000;
    const std::uint64_t mul_inv = inverse(kMul);
    const std::uint64_t h0 = kSeed ^ (16 * kMul);
    std::uint64_t rng = 1;
    for (long found = 0; found < count;) {
        const std::uint64_t r = splitmix64(rng);
        std::uint64_t k1 = 0;  // eight printable bytes from the eight random ones
        for (int i = 0; i < 8; ++i) k1 |= (0x21 + ((((r >> (8 * i)) & 0xff) * 94) >> 8)) << (8 * i);
        const std::uint64_t state = (h0 ^ (shift_mix(k1 * kMul) * kMul)) * kMul;
        const std::uint64_t k2 = shift_mix((state ^ kTarget) * mul_inv) * mul_inv;
        if (!printable(k2)) continue;
        char id[17];
        std::memcpy(id, &k1, 8);  // little-endian blocks, as the hash loads them
        std::memcpy(id + 8, &k2, 8);
        id[16] = '\0';
        std::puts(id);
        ++found;
    }
}
