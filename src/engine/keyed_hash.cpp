#include "engine/keyed_hash.hpp"

#include <random>

namespace segmora::engine {

namespace {

HashKey draw_key() {
    std::random_device device;
    auto word = [&] { return (static_cast<std::uint64_t>(device()) << 32) | device(); };
    HashKey key{word(), word()};
    return key;
}

}  // namespace

const HashKey& process_hash_key() {
    static const HashKey key = draw_key();
    return key;
}

}  // namespace segmora::engine
