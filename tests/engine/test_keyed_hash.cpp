#include <gtest/gtest.h>

#include <set>
#include <string>

#include "engine/keyed_hash.hpp"

using namespace segmora::engine;

TEST(KeyedHash, DependsOnKeyAndEveryByteAndLengthAndMapsLookUpByView) {
    const std::string text = "customer-0001-abcdef";
    std::set<std::uint64_t> seen;
    for (std::size_t n = 0; n <= text.size(); ++n) seen.insert(siphash13(1, 2, text.data(), n));
    std::string flipped = text;
    for (std::size_t i = 0; i < text.size(); ++i) {
        flipped[i] ^= 1;
        seen.insert(siphash13(1, 2, flipped.data(), flipped.size()));
        flipped[i] ^= 1;
    }
    seen.insert(siphash13(2, 1, text.data(), text.size()));
    EXPECT_EQ(seen.size(), 2 * text.size() + 2);
    EXPECT_EQ(siphash13(1, 2, text.data(), text.size()), siphash13(1, 2, text.data(), text.size()));
    // The string map looks up by view with the process key.
    StringMap<int> map;
    map.emplace("a", 1);
    map.emplace("bc", 2);
    EXPECT_EQ(map.find(std::string_view("bc"))->second, 2);
    EXPECT_EQ(map.count(std::string_view("b")), 0u);
    EXPECT_EQ(&process_hash_key(), &process_hash_key());
}
