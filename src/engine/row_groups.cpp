#include "engine/row_groups.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <limits>
#include <stdexcept>

#include "engine/keyed_hash.hpp"
#include "engine/thread_pool.hpp"
#include "interrupt.hpp"

namespace segmora::engine {

namespace {

CodedColumn from_grouping(Grouping g) {
    CodedColumn out;
    out.bound = g.first_row.size();
    out.codes = std::move(g.group_of);
    return out;
}

// Below this many possible keys, groups are counted in a plain array.
std::uint64_t direct_limit(std::size_t n_rows) { return std::max<std::uint64_t>(2 * std::uint64_t{n_rows}, 1 << 20); }

}  // namespace

CodedColumn code_integers(std::span<const std::int64_t> values, ThreadPool* pool) {
    CodedColumn out;
    if (values.empty()) return out;
    std::int64_t low = values[0], high = values[0];
    for (const std::int64_t v : values) {
        low = std::min(low, v);
        high = std::max(high, v);
    }
    const std::uint64_t span = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
    if (span < direct_limit(values.size()) && span < std::numeric_limits<std::uint32_t>::max()) {
        const auto base = static_cast<std::uint64_t>(low);
        out.bound = span + 1;
        out.codes.resize(values.size());
        for (std::size_t i = 0; i < values.size(); ++i)
            out.codes[i] = static_cast<std::uint32_t>(static_cast<std::uint64_t>(values[i]) - base);
        return out;
    }
    return from_grouping(group_integers(values, pool));
}

namespace {

// A text's first eight bytes (zero-padded).
inline std::uint64_t head_of(std::string_view text) noexcept {
    std::uint64_t head = 0;
    if (text.size() >= 8) {
        std::memcpy(&head, text.data(), 8);
    } else {
        for (std::size_t i = 0; i < text.size(); ++i) head |= std::uint64_t{static_cast<unsigned char>(text[i])} << (8 * i);
    }
    return head;
}

// Codes by first appearance for a column of few distinct texts (the usual
// quasi-identifier: a zip code, a gender, a plan), without hashing every row:
// a direct-mapped cache of recent texts answers most rows, and the distinct
// texts live in a keyed map. The cache is indexed without a key, so crafted
// texts can only make it miss; too many misses or distinct texts give up
// (nullopt) and leave the column to the hashed grouping.
template <class Texts>
std::optional<CodedColumn> code_few_texts(const Texts& texts) {
    constexpr std::size_t kSlotBits = 12;
    constexpr std::size_t kMaxDistinct = 2048;
    struct Slot {
        std::uint64_t head = 0;
        std::uint32_t length = 0;
        std::uint32_t code_plus_one = 0;  // 0: empty
    };
    std::vector<Slot> cache(std::size_t{1} << kSlotBits);
    StringMap<std::uint32_t> seen;
    std::vector<std::string_view> distinct;
    CodedColumn out;
    const std::size_t n = texts.size();
    out.codes.resize(n);
    std::size_t misses = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string_view text = texts[i];
        std::uint64_t head;
        if constexpr (requires { texts.head(i); } && std::endian::native == std::endian::little) head = texts.head(i);
        else head = head_of(text);
        const auto length = static_cast<std::uint32_t>(std::min<std::size_t>(text.size(), 0xffffffffu));
        Slot& slot = cache[((head ^ (std::uint64_t{length} << 56)) * 0x9e3779b97f4a7c15ULL) >> (64 - kSlotBits)];
        if (slot.code_plus_one != 0 && slot.head == head && slot.length == length &&
            (text.size() <= 8 || distinct[slot.code_plus_one - 1] == text)) {
            out.codes[i] = slot.code_plus_one - 1;
            continue;
        }
        if (++misses > 1024 + i / 8) return std::nullopt;
        if (misses % 4096 == 0) poll_interrupt();
        auto found = seen.find(text);
        if (found == seen.end()) {
            if (distinct.size() == kMaxDistinct) return std::nullopt;
            found = seen.emplace(std::string(text), static_cast<std::uint32_t>(distinct.size())).first;
            distinct.push_back(text);
        }
        slot = {head, length, found->second + 1};
        out.codes[i] = found->second;
    }
    out.bound = distinct.size();
    return out;
}

template <class Texts>
CodedColumn code_texts_of(const Texts& texts, ThreadPool* pool) {
    if (std::optional<CodedColumn> few = code_few_texts(texts)) return std::move(*few);
    poll_interrupt();
    return from_grouping(group_texts(texts, pool));
}

}  // namespace

CodedColumn code_texts(std::span<const std::string_view> texts, ThreadPool* pool) { return code_texts_of(texts, pool); }

CodedColumn code_texts(const OffsetTexts& texts, ThreadPool* pool) { return code_texts_of(texts, pool); }

CodedColumn code_texts(const ViewTexts& texts, ThreadPool* pool) { return code_texts_of(texts, pool); }

void code_missing(CodedColumn& column, std::span<const std::uint8_t> missing) {
    if (std::find(missing.begin(), missing.end(), std::uint8_t{1}) == missing.end()) return;
    if (column.bound >= std::numeric_limits<std::uint32_t>::max()) throw std::length_error("too many distinct values");
    const auto code = static_cast<std::uint32_t>(column.bound++);
    for (std::size_t i = 0; i < missing.size(); ++i)
        if (missing[i]) column.codes[i] = code;
}

RowGroups group_rows(std::span<const CodedColumn> columns, std::size_t n_rows, ThreadPool* pool) {
    RowGroups out;
    if (n_rows == 0) return out;
    if (n_rows > std::numeric_limits<std::uint32_t>::max() - 1) throw std::length_error("too many rows");
    if (columns.empty()) {
        out.group_of.assign(n_rows, 0);
        out.sizes.assign(1, static_cast<std::uint32_t>(n_rows));
        return out;
    }
    // Each row's codes become one key, column after column in mixed radix.
    // While the keys stay below the direct limit they are the groups
    // themselves (counted in a plain array); past it they are 64-bit and
    // renumbered by first appearance, also whenever the next column would
    // take them past 63 bits.
    const std::uint64_t limit = direct_limit(n_rows);
    std::uint64_t bound = 1;
    std::size_t q = 0;
    std::vector<std::uint32_t>& narrow = out.group_of;
    for (; q < columns.size(); ++q) {
        const std::uint64_t radix = std::max<std::uint64_t>(columns[q].bound, 1);
        if (bound * radix > limit) break;
        const auto r = static_cast<std::uint32_t>(radix);
        const std::uint32_t* codes = columns[q].codes.data();
        if (q == 0) narrow.assign(codes, codes + n_rows);
        else for (std::size_t i = 0; i < n_rows; ++i) narrow[i] = narrow[i] * r + codes[i];
        bound *= radix;
    }
    if (q < columns.size()) {
        constexpr std::uint64_t kMaxKey = std::numeric_limits<std::int64_t>::max();
        std::vector<std::int64_t> keys(n_rows, 0);
        if (q > 0) std::copy(narrow.begin(), narrow.end(), keys.begin());
        for (; q < columns.size(); ++q) {
            const std::uint64_t radix = std::max<std::uint64_t>(columns[q].bound, 1);
            if (bound > kMaxKey / radix) {
                poll_interrupt();
                CodedColumn dense = from_grouping(group_integers(keys, pool));
                std::copy(dense.codes.begin(), dense.codes.end(), keys.begin());
                bound = dense.bound;
                if (bound > kMaxKey / radix) throw std::length_error("too many rows");
            }
            const auto r = static_cast<std::int64_t>(radix);
            const std::uint32_t* codes = columns[q].codes.data();
            for (std::size_t i = 0; i < n_rows; ++i) keys[i] = keys[i] * r + codes[i];
            bound *= radix;
        }
        poll_interrupt();
        Grouping groups = group_integers(keys, pool);
        narrow = std::move(groups.group_of);
        bound = groups.first_row.size();
    }
    out.sizes.assign(bound, 0);
    for (const std::uint32_t g : narrow) ++out.sizes[g];
    return out;
}

}  // namespace segmora::engine
