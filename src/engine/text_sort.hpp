// Sorting texts by their bytes, on the pool.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace dorvik {

// A text with 8 of its bytes, from a position every text of the sort shares
// the bytes before, as a big-endian number (zero padded): comparing those
// numbers orders texts as their bytes do, and only ties need the bytes
// themselves. `group` is the text's index in the input.
struct SortKey {
  std::uint64_t prefix;
  std::string_view text;
  std::uint32_t group;

  friend bool operator<(const SortKey& a, const SortKey& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return a.text < b.text;  // compares bytes as unsigned char, shorter first
  }
};

inline bool same_text(const SortKey& a, const SortKey& b) { return a.prefix == b.prefix && a.text == b.text; }

// The keys of `texts` in byte-wise order; equal texts in any order.
std::vector<SortKey> sorted_keys(const std::vector<std::string_view>& texts);

}  // namespace dorvik
