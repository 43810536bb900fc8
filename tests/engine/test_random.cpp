#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "engine/random.hpp"

using segmora::engine::ChaCha12Rng;
using segmora::engine::chacha_block;

// RFC 7539, section 2.3.2: key 00..1f, block counter 1, nonce 00:00:00:09:00:00:00:4a:00:00:00:00.
// With a 64-bit counter in words 12-13 and a 64-bit stream in words 14-15 that is
// counter 0x0900000000000001 and stream 0x4a000000.
TEST(ChaCha, Rfc7539BlockWith20Rounds) {
    std::array<std::uint32_t, 8> key{};
    for (std::uint32_t i = 0; i < 8; ++i) key[i] = 0x03020100u + 0x04040404u * i;  // bytes 4i..4i+3, little-endian
    std::uint32_t out[16];
    chacha_block(key, 0x0900000000000001ull, 0x4a000000ull, 20, out);
    const std::uint32_t expected[16] = {
        0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
        0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9, 0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2,
    };
    for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i], expected[i]) << "word " << i;
}

TEST(ChaCha12Rng, SameSeedSameStreamDifferentSeedDifferentStream) {
    ChaCha12Rng a(42), b(42), c(43);
    bool differs = false;
    for (int i = 0; i < 1000; ++i) {
        const auto x = a.next_u64();
        EXPECT_EQ(x, b.next_u64());
        differs = differs || x != c.next_u64();
    }
    EXPECT_TRUE(differs);
}

TEST(ChaCha12Rng, KeyComesFromEightPcg32Steps) {
    // First key word of seed 0, computed by hand from one PCG32 step.
    std::uint64_t state = 0 * 6364136223846793005ull + 11634580027462260723ull;
    const auto x = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    const auto r = static_cast<unsigned>(state >> 59);
    const std::uint32_t word = (x >> r) | (x << ((32 - r) & 31));
    EXPECT_EQ(ChaCha12Rng(0).key()[0], word);
}

TEST(ChaCha12Rng, WordsFollowBlockOrderAndU64StraddlesBuffers) {
    ChaCha12Rng rng(7);
    std::uint32_t blocks[5][16];
    for (std::uint64_t b = 0; b < 5; ++b) chacha_block(rng.key(), b, 0, 12, blocks[b]);
    // 63 words, then a 64-bit draw made of the last word of the buffer (low half)
    // and the first word of the next buffer (high half).
    for (int i = 0; i < 63; ++i) ASSERT_EQ(rng.next_u32(), blocks[i / 16][i % 16]);
    const std::uint64_t v = rng.next_u64();
    EXPECT_EQ(static_cast<std::uint32_t>(v), blocks[3][15]);
    EXPECT_EQ(static_cast<std::uint32_t>(v >> 32), blocks[4][0]);
}

TEST(ChaCha12Rng, UniformIndexCoversItsRangeAndUniformFloatIsBelowTotal) {
    ChaCha12Rng rng(1);
    int seen[7] = {};
    for (int i = 0; i < 7000; ++i) {
        const auto v = rng.uniform_index(7);
        ASSERT_LT(v, 7u);
        ++seen[v];
    }
    for (int count : seen) EXPECT_GT(count, 800);
    EXPECT_EQ(rng.uniform_index(1), 0u);
    for (double total : {1e-300, 0.5, 1.0, 3.0, 1e300}) {
        for (int i = 0; i < 1000; ++i) {
            const double r = rng.uniform_float(total);
            ASSERT_TRUE(r >= 0.0 && r < total) << r << " of " << total;
        }
    }
}

TEST(ChaCha12Rng, RestoredAtAPositionContinuesTheStreamAndUnreachableOnesAreRefused) {
    for (int drawn : {0, 1, 63, 64, 65, 200}) {
        ChaCha12Rng a(7);
        for (int i = 0; i < drawn; ++i) a.next_u32();
        auto b = ChaCha12Rng::at(a.position());
        ASSERT_TRUE(b.has_value()) << drawn;
        for (int i = 0; i < 300; ++i) ASSERT_EQ(a.next_u32(), b->next_u32()) << drawn << " + " << i;
    }
    const std::array<std::uint32_t, 8> key{1, 2, 3, 4, 5, 6, 7, 8};
    for (const auto& p : {ChaCha12Rng::Position{key, 3, 64}, ChaCha12Rng::Position{key, 0, 10},
                          ChaCha12Rng::Position{key, 4, 65}})
        EXPECT_FALSE(ChaCha12Rng::at(p).has_value()) << p.counter << " " << p.index;
}

// Another stream of the same key, placed at a block: its words are that
// stream's blocks from there on (rounded down to a refill), and a restored
// position keeps the stream.
TEST(ChaCha12Rng, StreamsAndFirstBlocks) {
    struct Case {
        std::uint64_t stream, first_block, block_read;
    };
    for (const Case c : {Case{0, 0, 0}, Case{3, 0, 0}, Case{3, 8, 8}, Case{1, (1ull << 32) + 6, (1ull << 32) + 4},
                         Case{~0ull - 1, 5, 4}}) {
        ChaCha12Rng rng(9, c.stream, c.first_block);
        std::uint32_t block[16];
        chacha_block(ChaCha12Rng(9).key(), c.block_read, c.stream, 12, block);
        for (int i = 0; i < 16; ++i) ASSERT_EQ(rng.next_u32(), block[i]) << "stream " << c.stream << " word " << i;
        const auto again = ChaCha12Rng::at(rng.position());
        ASSERT_TRUE(again.has_value());
        ChaCha12Rng restored = *again;
        EXPECT_EQ(restored.next_u64(), rng.next_u64()) << "stream " << c.stream;
    }
    ChaCha12Rng plain(9), stream0(9, 0, 0);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(plain.next_u64(), stream0.next_u64());
}
