#include "engine/label_encode.hpp"

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

}  // namespace

ForwardDict label_encode_into(const TextColumn& column, double* out, std::size_t stride) {
  Distinct d = find_distinct(column.texts);
  const std::size_t k = d.texts.size();

  // string_view compares bytes as unsigned char, shorter prefix first.
  std::vector<std::uint32_t> order(k);
  std::iota(order.begin(), order.end(), 0u);
  tbb::parallel_sort(order.begin(), order.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return d.texts[a] < d.texts[b]; });

  ForwardDict dict;
  std::size_t bytes = 0;
  for (std::string_view t : d.texts) bytes += t.size();
  dict.reserve(k, bytes);
  std::vector<double> code_of_group(k);
  std::uint64_t next = 0;
  for (std::uint32_t g : order) {
    const std::string_view t = d.texts[g];
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
