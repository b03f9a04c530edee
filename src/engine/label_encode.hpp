// Label encoding of one text column: its distinct texts numbered in
// byte-wise order, and one code per cell.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "engine/dictionary.hpp"

namespace dorvik {

// The code of a missing-value marker: the quiet NaN 0x7FF8000000000000.
inline constexpr double kMissing = std::numeric_limits<double>::quiet_NaN();

// "nan", "NaN" and "<NA>", byte for byte.
bool is_marker(std::string_view text);

// A text column as the cell reader leaves it: each row names one entry of
// `texts`. Equal texts may stand in several entries (cells that were
// different objects); repeated objects share one.
struct TextColumn {
  std::vector<std::string_view> texts;
  std::vector<std::uint32_t> rows;
};

// Writes the code of row r (NaN for a marker) to out[r * stride] and returns
// the column's forward dictionary. Runs its inner loops on the pool.
ForwardDict label_encode_into(const TextColumn& column, double* out, std::size_t stride);

struct LabelEncoded {
  std::vector<double> codes;
  ForwardDict dictionary;
};

// The plain form: one text per cell, codes in row order.
LabelEncoded label_encode(std::span<const std::string_view> column);

// The reverse dictionary of a forward one, as encode builds it.
ReverseDict reverse_of(const ForwardDict& forward);

}  // namespace dorvik
