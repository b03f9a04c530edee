// Label encoding of one text column: its distinct texts numbered in
// byte-wise order, and one code per cell.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "engine/dictionary.hpp"
#include "engine/no_fill.hpp"

namespace dorvik {

// The code of a missing-value marker: the quiet NaN 0x7FF8000000000000.
inline constexpr double kMissing = std::numeric_limits<double>::quiet_NaN();

// "nan", "NaN" and "<NA>", byte for byte.
bool is_marker(std::string_view text);

// A text column as the cell reader leaves it: each of its rows names one
// entry of `texts`. Equal texts may stand in several entries (cells that were
// different objects); repeated objects share one. A row's entry is kept in
// the row's own cell of the output (see put_entry) until its code replaces
// it, so that the rows take no memory of their own.
struct TextColumn {
  std::vector<std::string_view> texts;
  std::size_t rows = 0;
  // Row r names entry r, for every row: each code then goes straight to its
  // cell, with no table from entries to codes.
  bool entries_are_rows = false;
  // Rows read in parts: each part numbered its entries from 0, and they
  // follow the entries of the parts before it. From row `row` on, a row's
  // cell holds its entry less `base` (until the next part's row). Empty
  // where the rows were read as one.
  struct PartStart {
    std::size_t row;
    std::uint32_t base;
  };
  std::vector<PartStart> part_starts;
  // Empty, or for each entry, prefix_at(text, 0) (see sorted_keys): read
  // while the cells were at hand, where the engine would read each text again
  // at a random address. The engine uses them up.
  UnfilledVector<std::uint64_t> prefixes;
};

// A row's entry, as the bits of its output cell.
inline void put_entry(double* cell, std::uint32_t entry) {
  const std::uint64_t bits = entry;
  std::memcpy(cell, &bits, sizeof bits);
}
inline std::uint32_t entry_in(const double* cell) {
  std::uint64_t bits;
  std::memcpy(&bits, cell, sizeof bits);
  return static_cast<std::uint32_t>(bits);
}

// Replaces the entry in out[r * stride] by the code of row r (NaN for a
// marker) and returns the column's forward dictionary. Runs its inner loops
// on the pool.
ForwardDict label_encode_into(TextColumn& column, double* out, std::size_t stride);

struct LabelEncoded {
  std::vector<double> codes;
  ForwardDict dictionary;
};

// The plain form: one text per cell, codes in row order.
LabelEncoded label_encode(std::span<const std::string_view> column);

// The reverse dictionary of a forward one, as encode builds it.
ReverseDict reverse_of(const ForwardDict& forward);

}  // namespace dorvik
