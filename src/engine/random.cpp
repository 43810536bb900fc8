#include "engine/random.hpp"

#include <bit>
#include <cstring>

#include "engine/simd.hpp"

namespace segmora::engine {

namespace {

__extension__ typedef unsigned __int128 u128;

inline void quarter_round(std::uint32_t* x, int a, int b, int c, int d) noexcept {
    x[a] += x[b]; x[d] ^= x[a]; x[d] = std::rotl(x[d], 16);
    x[c] += x[d]; x[b] ^= x[c]; x[b] = std::rotl(x[b], 12);
    x[a] += x[b]; x[d] ^= x[a]; x[d] = std::rotl(x[d], 8);
    x[c] += x[d]; x[b] ^= x[c]; x[b] = std::rotl(x[b], 7);
}

}  // namespace

void chacha_block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream,
                  int rounds, std::uint32_t out[16]) noexcept {
    std::uint32_t state[16] = {
        0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u,  // "expand 32-byte k"
        key[0], key[1], key[2], key[3], key[4], key[5], key[6], key[7],
        static_cast<std::uint32_t>(counter), static_cast<std::uint32_t>(counter >> 32),
        static_cast<std::uint32_t>(stream), static_cast<std::uint32_t>(stream >> 32),
    };
    std::uint32_t x[16];
    std::memcpy(x, state, sizeof x);
    for (int r = 0; r < rounds; r += 2) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) out[i] = x[i] + state[i];
}

namespace {

// Eight 32-bit lanes: one word of eight blocks side by side.
typedef std::uint32_t Lanes __attribute__((vector_size(32)));

// v = (v ^ w) rotated left by N (in place: no vector crosses a call boundary).
template <int N>
inline void xor_rotate(Lanes& v, const Lanes& w) noexcept {
    v ^= w;
    v = (v << N) | (v >> (32 - N));
}

inline void quarter_round(Lanes& a, Lanes& b, Lanes& c, Lanes& d) noexcept {
    a += b; xor_rotate<16>(d, a);
    c += d; xor_rotate<12>(b, c);
    a += b; xor_rotate<8>(d, a);
    c += d; xor_rotate<7>(b, c);
}

}  // namespace

SEGMORA_TARGET_CLONES_WIDE
void chacha12_blocks8(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint32_t out[128]) noexcept {
    constexpr std::uint32_t kConstants[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};
    Lanes state[16];
    for (int w = 0; w < 4; ++w) state[w] = Lanes{} + kConstants[w];
    for (int w = 0; w < 8; ++w) state[4 + w] = Lanes{} + key[static_cast<std::size_t>(w)];
    for (int l = 0; l < 8; ++l) {
        const std::uint64_t c = counter + static_cast<std::uint64_t>(l);
        state[12][l] = static_cast<std::uint32_t>(c);
        state[13][l] = static_cast<std::uint32_t>(c >> 32);
    }
    state[14] = Lanes{};
    state[15] = Lanes{};
    Lanes x[16];
    for (int w = 0; w < 16; ++w) x[w] = state[w];
    for (int r = 0; r < 12; r += 2) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (int w = 0; w < 16; ++w) {
        const Lanes v = x[w] + state[w];
        std::memcpy(out + 8 * w, &v, sizeof v);
    }
}

ChaCha12Rng::ChaCha12Rng(std::uint64_t seed) noexcept {
    // PCG32 (XSH RR) turns the seed into the eight key words.
    std::uint64_t state = seed;
    for (auto& word : key_) {
        state = state * 6364136223846793005ull + 11634580027462260723ull;
        const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
        const auto rot = static_cast<int>(state >> 59);
        word = std::rotr(xorshifted, rot);
    }
}

ChaCha12Rng::ChaCha12Rng(std::uint64_t seed, std::uint64_t stream, std::uint64_t first_block) noexcept
    : ChaCha12Rng(seed) {
    stream_ = stream;
    counter_ = first_block - first_block % kBlocks;
}

std::optional<ChaCha12Rng> ChaCha12Rng::at(const Position& p) noexcept {
    if (p.counter % kBlocks != 0 || p.index > kWords || (p.index < kWords && p.counter == 0)) return std::nullopt;
    ChaCha12Rng rng(p.key);
    rng.stream_ = p.stream;
    if (p.index < kWords) {
        rng.counter_ = p.counter - kBlocks;
        rng.refill();  // the buffer the saved generator was reading
    }
    rng.counter_ = p.counter;
    rng.index_ = static_cast<std::size_t>(p.index);
    return rng;
}

void ChaCha12Rng::refill() noexcept {
    for (std::size_t b = 0; b < kBlocks; ++b) chacha_block(key_, counter_++, stream_, 12, buffer_.data() + 16 * b);
    index_ = 0;
}

std::uint32_t ChaCha12Rng::next_u32() noexcept {
    if (index_ >= kWords) refill();
    return buffer_[index_++];
}

std::uint64_t ChaCha12Rng::next_u64() noexcept {
    // A word left alone at the end of the buffer becomes the low half; the next
    // buffer's first word the high half.
    const std::uint64_t lo = next_u32();
    const std::uint64_t hi = next_u32();
    return (hi << 32) | lo;
}

std::uint64_t ChaCha12Rng::uniform_index(std::uint64_t n) noexcept {
    const std::uint64_t zone = (n << std::countl_zero(n)) - 1;
    for (;;) {
        const u128 product = static_cast<u128>(next_u64()) * n;
        if (static_cast<std::uint64_t>(product) <= zone) return static_cast<std::uint64_t>(product >> 64);
    }
}

double ChaCha12Rng::uniform_float(double total) noexcept {
    for (;;) {
        const std::uint64_t bits = (next_u64() >> 12) | 0x3ff0000000000000ull;  // [1, 2)
        const double r = (std::bit_cast<double>(bits) - 1.0) * total;
        if (r < total) return r;
    }
}

}  // namespace segmora::engine
