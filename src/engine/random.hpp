// Seeded ChaCha12 generator and the draws the clustering code uses.
//
// Keyed from a 64-bit seed by eight PCG32 steps; 64-bit block counter from 0,
// stream 0; output consumed as 32-bit words from a buffer of four blocks. The
// same seed always gives the same sequence, on every platform. Other streams
// of the same key (ChaCha's 64-bit stream number) give independent sequences
// for work split into parts, each part drawing from its own stream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace segmora::engine {

// One ChaCha block: state = constants, key, 64-bit counter (words 12-13),
// 64-bit stream (words 14-15); `rounds` is 8, 12 or 20.
void chacha_block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream,
                  int rounds, std::uint32_t out[16]) noexcept;

// Eight consecutive ChaCha12 blocks (counters counter .. counter + 7, stream 0),
// computed side by side so the rounds vectorise, and stored interleaved: word
// w of block b (as chacha_block numbers them) at out[8 w + b].
void chacha12_blocks8(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint32_t out[128]) noexcept;

class ChaCha12Rng {
public:
    // Where a generator stands in its stream: the key, the blocks drawn so far
    // and the words of the last refill already used.
    struct Position {
        std::array<std::uint32_t, 8> key{};
        std::uint64_t counter = 0;  // a multiple of the blocks per refill
        std::uint64_t index = 0;    // 0 .. words per refill (all used: the next draw refills)
        std::uint64_t stream = 0;
    };

    // Blocks per refill: a generator placed at a block starts on a multiple of this.
    static constexpr std::uint64_t kBlocksPerRefill = 4;

    explicit ChaCha12Rng(std::uint64_t seed) noexcept;
    // Keyed directly with 256 bits (for streams seeded from the operating system).
    explicit ChaCha12Rng(const std::array<std::uint32_t, 8>& key) noexcept : key_(key) {}
    // The generator of `seed` on stream `stream`, its first draw taken from block
    // `first_block` (rounded down to a multiple of kBlocksPerRefill). Stream 0
    // from block 0 is ChaCha12Rng(seed).
    ChaCha12Rng(std::uint64_t seed, std::uint64_t stream, std::uint64_t first_block) noexcept;

    std::uint32_t next_u32() noexcept;
    // Two consecutive words, the first as the low half.
    std::uint64_t next_u64() noexcept;

    // Uniform index in 0 .. n-1 by widening multiply with rejection; n > 0.
    std::uint64_t uniform_index(std::uint64_t n) noexcept;
    // Uniform float in [0, total) for a finite total > 0.
    double uniform_float(double total) noexcept;

    const std::array<std::uint32_t, 8>& key() const noexcept { return key_; }

    Position position() const noexcept { return {key_, counter_, index_, stream_}; }
    // The generator at `p`, drawing exactly what the saved one would next;
    // nothing for a position no generator can reach.
    static std::optional<ChaCha12Rng> at(const Position& p) noexcept;

private:
    static constexpr std::size_t kBlocks = kBlocksPerRefill;
    static constexpr std::size_t kWords = 16 * kBlocks;

    void refill() noexcept;

    std::array<std::uint32_t, 8> key_{};
    std::uint64_t counter_ = 0;
    std::uint64_t stream_ = 0;
    std::array<std::uint32_t, kWords> buffer_{};
    std::size_t index_ = kWords;  // empty until the first draw
};

}  // namespace segmora::engine
