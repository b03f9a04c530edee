#include "engine/label_encode.hpp"

#include <cstring>
#include <numeric>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_sort.h>

#include "engine/hash.hpp"

namespace dorvik {

bool is_marker(std::string_view text) { return text == "nan" || text == "NaN" || text == "<NA>"; }

namespace {

// Distinct contents among the entries: group[u] is entry u's distinct text.
struct Distinct {
  std::vector<std::string_view> texts;
  std::vector<std::uint32_t> group;
};

Distinct find_distinct(const std::vector<std::string_view>& entries) {
  Distinct d;
  d.group.resize(entries.size());
  const std::uint64_t seed = random_seed();
  FlatIndex index;
  for (std::size_t u = 0; u < entries.size(); ++u) {
    const std::string_view t = entries[u];
    auto [g, added] = index.find_or_insert(
        hash_bytes(t, seed), static_cast<std::uint32_t>(d.texts.size()),
        [&](std::uint32_t j) { return d.texts[j] == t; });
    if (added) d.texts.push_back(t);
    d.group[u] = g;
  }
  return d;
}

// A distinct text with its first 8 bytes as a big-endian number (zero
// padded): comparing those numbers orders texts as their bytes do, and only
// ties need the bytes themselves.
struct SortKey {
  std::uint64_t prefix;
  std::string_view text;
  std::uint32_t group;

  friend bool operator<(const SortKey& a, const SortKey& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return a.text < b.text;  // compares bytes as unsigned char, shorter first
  }
};

std::uint64_t prefix_of(std::string_view t) {
  std::uint64_t v = 0;
  std::memcpy(&v, t.data(), t.size() < 8 ? t.size() : 8);
  return __builtin_bswap64(v);
}

std::vector<SortKey> sorted_keys(const std::vector<std::string_view>& texts) {
  std::vector<SortKey> keys(texts.size());
  for (std::size_t g = 0; g < texts.size(); ++g) {
    keys[g] = {prefix_of(texts[g]), texts[g], static_cast<std::uint32_t>(g)};
  }
  tbb::parallel_sort(keys.begin(), keys.end());
  return keys;
}

}  // namespace

ForwardDict label_encode_into(const TextColumn& column, double* out, std::size_t stride) {
  Distinct d = find_distinct(column.texts);
  const std::size_t k = d.texts.size();

  const std::vector<SortKey> order = sorted_keys(d.texts);

  ForwardDict dict;
  std::size_t bytes = 0;
  for (std::string_view t : d.texts) bytes += t.size();
  dict.reserve(k, bytes);
  std::vector<double> code_of_group(k);
  std::uint64_t next = 0;
  for (const SortKey& key : order) {
    const std::uint32_t g = key.group;
    const std::string_view t = key.text;
    if (is_marker(t)) {
      dict.push_back(t, std::nullopt);
      code_of_group[g] = kMissing;
    } else {
      dict.push_back(t, next);
      code_of_group[g] = static_cast<double>(next++);
    }
  }

  std::vector<double> code_of_entry(column.texts.size());
  for (std::size_t u = 0; u < code_of_entry.size(); ++u) code_of_entry[u] = code_of_group[d.group[u]];

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
