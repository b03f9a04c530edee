// Sorting texts by their bytes, on the pool.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace dorvik {

// A text's place in a sort: 8 of its bytes, from a position every text of
// the sort shares the bytes before, as a big-endian number (zero padded), and
// how many bytes it has from there (9 for more than 8). Comparing those
// orders texts as their bytes do; only ties between longer texts need the
// bytes themselves. `group` is the text's index in the input.
struct SortKey {
  std::uint64_t prefix;
  std::uint32_t group;
  std::uint32_t tail;
};

// Compares keys as their texts' bytes compare.
class KeyOrder {
 public:
  explicit KeyOrder(const std::vector<std::string_view>& texts) : texts_(texts) {}

  bool operator()(const SortKey& a, const SortKey& b) const {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    // Equal 8 bytes: a text that ends within them is a prefix of the other.
    if (a.tail <= 8 || b.tail <= 8) return a.tail < b.tail;
    return texts_[a.group] < texts_[b.group];  // bytes as unsigned char, shorter first
  }

  bool same(const SortKey& a, const SortKey& b) const {
    if (a.prefix != b.prefix || a.tail != b.tail) return false;
    return a.tail <= 8 || texts_[a.group] == texts_[b.group];
  }

  std::string_view text(const SortKey& k) const { return texts_[k.group]; }

 private:
  const std::vector<std::string_view>& texts_;
};

// The keys of `texts` in byte-wise order; equal texts in any order.
std::vector<SortKey> sorted_keys(const std::vector<std::string_view>& texts);

}  // namespace dorvik
