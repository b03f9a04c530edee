#include "engine/label_encode.hpp"

#include <bit>
#include <cstring>
#include <numeric>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_sort.h>

#include "engine/hash.hpp"

namespace dorvik {

bool is_marker(std::string_view text) { return text == "nan" || text == "NaN" || text == "<NA>"; }

namespace {

// How far ahead hash-table slots are prefetched: enough to cover a miss.
constexpr std::size_t kPrefetch = 16;

// A text with its first 8 bytes as a big-endian number (zero padded):
// comparing those numbers orders texts as their bytes do, and only ties need
// the bytes themselves. `group` says whose code the text decides.
struct SortKey {
  std::uint64_t prefix;
  std::string_view text;
  std::uint32_t group;

  friend bool operator<(const SortKey& a, const SortKey& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return a.text < b.text;  // compares bytes as unsigned char, shorter first
  }
};

static_assert(std::endian::native == std::endian::little, "prefixes are byte-swapped loads");

std::uint64_t prefix_of(std::string_view t) {
  std::uint64_t v = 0;
  std::memcpy(&v, t.data(), t.size() < 8 ? t.size() : 8);
  return __builtin_bswap64(v);
}

std::vector<SortKey> sorted_keys(const std::vector<std::string_view>& texts) {
  std::vector<SortKey> keys(texts.size());
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, texts.size()),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      for (std::size_t g = r.begin(); g != r.end(); ++g) {
                        keys[g] = {prefix_of(texts[g]), texts[g], static_cast<std::uint32_t>(g)};
                      }
                    });
  tbb::parallel_sort(keys.begin(), keys.end());
  return keys;
}

bool same_text(const SortKey& a, const SortKey& b) { return a.prefix == b.prefix && a.text == b.text; }

// Walks sorted keys, numbering each distinct text (markers take no number)
// into the dictionary; code[key.group] is the key's code or NaN.
ForwardDict number_sorted(const std::vector<SortKey>& keys, std::vector<double>& code) {
  std::size_t distinct = 0, bytes = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (i == 0 || !same_text(keys[i - 1], keys[i])) {
      ++distinct;
      bytes += keys[i].text.size();
    }
  }
  ForwardDict dict;
  dict.reserve(distinct, bytes);
  std::uint64_t next = 0;
  double current = kMissing;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    // Sorted order visits the texts and the codes at random addresses.
    if (i + kPrefetch < keys.size()) {
      __builtin_prefetch(keys[i + kPrefetch].text.data());
      __builtin_prefetch(&code[keys[i + kPrefetch].group], 1);
    }
    const SortKey& key = keys[i];
    if (i == 0 || !same_text(keys[i - 1], key)) {
      if (is_marker(key.text)) {
        dict.push_back(key.text, std::nullopt);
        current = kMissing;
      } else {
        dict.push_back(key.text, next);
        current = static_cast<double>(next++);
      }
    }
    code[key.group] = current;
  }
  return dict;
}

// Whether most entries hold different texts, judged from the duplicate pairs
// among a sample of s entries: about s^2 / 2K pairs are expected when K texts
// are equally common, so few pairs mean K is close to the entry count.
bool mostly_distinct(const std::vector<std::string_view>& entries) {
  constexpr std::size_t s = 4096;
  const std::size_t n = entries.size();
  if (n < 4 * s) return false;  // small: hashing is cheap anyway
  const std::uint64_t seed = random_seed();
  FlatIndex index(s);
  std::vector<std::uint32_t> seen, count;
  std::size_t pairs = 0;
  for (std::size_t i = 0; i < s; ++i) {
    const std::string_view t = entries[i * (n / s)];
    auto [j, added] = index.find_or_insert(hash_bytes(t, seed), static_cast<std::uint32_t>(seen.size()),
                                           [&](std::uint32_t k) { return entries[seen[k]] == t; });
    if (added) {
      seen.push_back(static_cast<std::uint32_t>(i * (n / s)));
      count.push_back(1);
    } else {
      pairs += count[j]++;
    }
  }
  return pairs * n <= s * s;  // estimated K >= n / 2
}

// Many entries per text: hashes find the distinct texts (group[u] for entry
// u), and only those are sorted.
ForwardDict number_by_hashing(const std::vector<std::string_view>& entries,
                              std::vector<double>& code_of_entry) {
  const std::size_t n = entries.size();
  const std::uint64_t seed = random_seed();
  std::vector<std::uint64_t> hashes(n);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t u = r.begin(); u != r.end(); ++u) hashes[u] = hash_bytes(entries[u], seed);
  });
  std::vector<std::string_view> distinct;
  std::vector<std::uint32_t> group(n);
  FlatIndex index;
  for (std::size_t u = 0; u < n; ++u) {
    if (u + kPrefetch < n) index.prefetch(hashes[u + kPrefetch]);
    const std::string_view t = entries[u];
    auto [g, added] = index.find_or_insert(hashes[u], static_cast<std::uint32_t>(distinct.size()),
                                           [&](std::uint32_t j) { return same_bytes(distinct[j], t); });
    if (added) distinct.push_back(t);
    group[u] = g;
  }
  std::vector<double> code_of_group(distinct.size());
  ForwardDict dict = number_sorted(sorted_keys(distinct), code_of_group);
  for (std::size_t u = 0; u < n; ++u) code_of_entry[u] = code_of_group[group[u]];
  return dict;
}

}  // namespace

ForwardDict label_encode_into(const TextColumn& column, double* out, std::size_t stride) {
  std::vector<double> code_of_entry(column.texts.size());
  // Mostly distinct texts are sorted as they are: hashing them first would
  // find little to merge.
  ForwardDict dict = mostly_distinct(column.texts)
                         ? number_sorted(sorted_keys(column.texts), code_of_entry)
                         : number_by_hashing(column.texts, code_of_entry);
  const auto& rows = column.rows;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, rows.size()),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      for (std::size_t i = r.begin(); i != r.end(); ++i) {
                        out[i * stride] = code_of_entry[rows[i]];
                      }
                    });
  return dict;
}

LabelEncoded label_encode(std::span<const std::string_view> column) {
  TextColumn c;
  c.texts.assign(column.begin(), column.end());
  c.rows.resize(column.size());
  std::iota(c.rows.begin(), c.rows.end(), 0u);
  LabelEncoded result;
  result.codes.resize(column.size());
  result.dictionary = label_encode_into(c, result.codes.data(), 1);
  return result;
}

ReverseDict reverse_of(const ForwardDict& forward) {
  ReverseDict reverse;
  reverse.reserve(forward.size(), forward.text_bytes());
  // Entries are in code order already: the forward dictionary was filled
  // walking the sorted texts.
  for (std::size_t i = 0; i < forward.size(); ++i) {
    if (auto code = forward.code(i)) reverse.push_back(*code, forward.text(i));
  }
  return reverse;
}

}  // namespace dorvik
