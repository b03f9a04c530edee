// Sorting texts by their bytes, on the pool.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "engine/no_fill.hpp"

namespace dorvik {

// A text's place in a sort: 8 of its bytes, from a position `from` that every
// text of the sort shares the bytes before, as a big-endian number (zero
// padded), and how many bytes it has from there (saturated). Comparing those
// orders texts as their bytes do; only ties between longer texts need the
// bytes themselves. `group` is the text's index in the input.
struct SortKey {
  std::uint64_t prefix;
  std::uint32_t group;
  std::uint32_t rest;
};

inline constexpr std::uint32_t kLongRest = std::numeric_limits<std::uint32_t>::max();

// A key's prefix: 8 bytes of t from `from` on, as a big-endian number, zero
// padded.
inline std::uint64_t prefix_at(std::string_view t, std::size_t from) {
  std::uint64_t v = 0;
  const std::size_t n = t.size() - from;
  if (n >= 8) {
    std::memcpy(&v, t.data() + from, 8);
  } else {
    std::memcpy(&v, t.data() + from, n);
  }
  return __builtin_bswap64(v);
}

// Compares keys as their texts' bytes compare.
class KeyOrder {
 public:
  KeyOrder(const std::vector<std::string_view>& texts, std::size_t from) : texts_(texts), from_(from) {}

  bool operator()(const SortKey& a, const SortKey& b) const {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    // Equal 8 bytes: a text that ends within them is a prefix of the other.
    if (a.rest <= 8 || b.rest <= 8) return a.rest < b.rest;
    if (one_text(a, b)) return false;
    return after_prefix(a) < after_prefix(b);  // bytes as unsigned char, shorter first
  }

  bool same(const SortKey& a, const SortKey& b) const {
    if (a.prefix != b.prefix || a.rest != b.rest) return false;
    return a.rest <= 8 || one_text(a, b) || after_prefix(a) == after_prefix(b);
  }

  // The order of the prefixes and lengths alone, which reads no text. It
  // leaves tied() keys tied: texts longer than their prefix, which both
  // share, whose bytes after it order them.
  bool by_prefix(const SortKey& a, const SortKey& b) const {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return std::min<std::uint32_t>(a.rest, 9) < std::min<std::uint32_t>(b.rest, 9);
  }
  bool tied(const SortKey& a, const SortKey& b) const { return a.prefix == b.prefix && a.rest > 8 && b.rest > 8; }
  // Whether same(a, b) may read the texts' bytes; only then are they needed.
  bool reads_texts(const SortKey& a, const SortKey& b) const { return tied(a, b) && a.rest == b.rest; }
  // Loading a key's text ahead of same(), in two steps a while apart: the
  // text's view, then the bytes after the prefix that it points to.
  void prefetch_view(const SortKey& k) const { __builtin_prefetch(&texts_[k.group]); }
  void prefetch_rest(const SortKey& k) const { __builtin_prefetch(texts_[k.group].data() + from_ + 8); }

  std::string_view text(const SortKey& k) const { return texts_[k.group]; }
  // The text's length, read from the key where it fits there.
  std::size_t size(const SortKey& k) const { return k.rest != kLongRest ? from_ + k.rest : text(k).size(); }

 private:
  std::string_view after_prefix(const SortKey& k) const { return texts_[k.group].substr(from_ + 8); }
  // Texts that view the same bytes are equal without reading them.
  bool one_text(const SortKey& a, const SortKey& b) const {
    return texts_[a.group].data() == texts_[b.group].data() && texts_[a.group].size() == texts_[b.group].size();
  }

  const std::vector<std::string_view>& texts_;
  std::size_t from_;
};

struct SortedKeys {
  UnfilledVector<SortKey> keys;
  std::size_t from = 0;  // where the keys' prefixes start
  // starts[i]: whether keys[i] is the first of its text, unlike keys[i - 1].
  UnfilledVector<std::uint8_t> starts;
};

// The keys of `texts` in byte-wise order, equal texts in any order, and
// where each text's run of keys starts. `scratch`, if it has a word per
// text, is used up instead of memory of the sort's own: its words are left
// as they happen to be. `prefixed`: its words hold prefix_at(texts[g], 0)
// already, read by the caller while the texts were at hand, which spares
// the sort a pass over texts that lie scattered in memory.
SortedKeys sorted_keys(const std::vector<std::string_view>& texts, std::span<std::uint64_t> scratch = {},
                       bool prefixed = false);

}  // namespace dorvik
