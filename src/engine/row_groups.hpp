// Rows grouped by the values of several columns, each column first reduced to
// small integer codes.
//
// A CodedColumn gives every row a code below `bound`, equal codes exactly for
// equal values. code_integers codes 64-bit values (a narrow range directly as
// value - minimum, otherwise by first appearance); code_texts codes texts by
// first appearance, a column of few distinct texts through a small cache in
// front of a keyed map, any other under the keyed hash of grouping (SipHash
// with the per-process key). row_group_sizes counts, for every row, the rows that share
// its codes in every column: with no columns all rows form one group. Codes
// never depend on the worker count, and nothing here fails short of 2^32 - 2
// rows (std::length_error); grouping polls for interrupts between its phases
// (Interrupted).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "engine/rfm_columns.hpp"

namespace segmora::engine {

class ThreadPool;

struct CodedColumn {
    std::vector<std::uint32_t> codes;  // one per row
    std::uint64_t bound = 0;           // every code is below it
};

CodedColumn code_integers(std::span<const std::int64_t> values, ThreadPool* pool);
CodedColumn code_texts(std::span<const std::string_view> texts, ThreadPool* pool);
CodedColumn code_texts(const OffsetTexts& texts, ThreadPool* pool);
CodedColumn code_texts(const ViewTexts& texts, ThreadPool* pool);

// Rows marked in `missing` (one flag per row) get a code of their own, shared
// by all of them and by no other row.
void code_missing(CodedColumn& column, std::span<const std::uint8_t> missing);

// Rows grouped by their codes in every column (all columns of n_rows codes):
// `group_of` numbers each row's group below sizes.size(), `sizes` counts the
// rows of each number (some numbers may count none). Any pool gives the same
// sizes for every row.
struct RowGroups {
    std::vector<std::uint32_t> group_of;
    std::vector<std::uint32_t> sizes;
};
RowGroups group_rows(std::span<const CodedColumn> columns, std::size_t n_rows, ThreadPool* pool);

}  // namespace segmora::engine
