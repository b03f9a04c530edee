#include "engine/label_encode.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <limits>
#include <span>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "engine/hash.hpp"
#include "engine/text_sort.hpp"

namespace dorvik {

bool is_marker(std::string_view text) { return text == "nan" || text == "NaN" || text == "<NA>"; }

namespace {

// How far ahead hash-table slots are prefetched: enough to cover a miss.
constexpr std::size_t kPrefetch = 16;

// 32-bit numbers in memory that may have held other words just before:
// read and written as bytes.
class Halfwords {
 public:
  explicit Halfwords(void* at) : at_(static_cast<std::byte*>(at)) {}
  std::byte* at(std::size_t i) const { return at_ + i * sizeof(std::uint32_t); }
  std::uint32_t operator[](std::size_t i) const {
    std::uint32_t v;
    std::memcpy(&v, at(i), sizeof v);
    return v;
  }
  void set(std::size_t i, std::uint32_t v) const { std::memcpy(at(i), &v, sizeof v); }

 private:
  std::byte* at_;
};

// Where numbering puts the code of text g: the double at word g * step of
// `at`, copied in as bytes like every other word the result's cells hold
// (see put_entry)...
struct WideCodes {
  void* at;
  std::size_t step;

  std::byte* word(std::size_t g) const { return static_cast<std::byte*>(at) + g * step * sizeof(double); }
  void put(std::size_t g, double code) const { std::memcpy(word(g), &code, sizeof code); }
};

// ...or a 32-bit number at g, kNoCode for a marker: half the room. Entries,
// and so codes, are fewer than 2^32 (a row names its entry in 32 bits).
constexpr std::uint32_t kNoCode = std::numeric_limits<std::uint32_t>::max();
struct NarrowCodes {
  Halfwords at;

  std::byte* word(std::size_t g) const { return at.at(g); }
  void put(std::size_t g, double code) const {
    at.set(g, std::isnan(code) ? kNoCode : static_cast<std::uint32_t>(code));
  }
  double operator[](std::size_t g) const {
    const std::uint32_t c = at[g];
    return c == kNoCode ? kMissing : static_cast<double>(c);
  }
};

// Sorts the texts and walks them in order, numbering each distinct text
// (markers take no number) into the dictionary; the code of texts[g], or
// NaN, goes to code.put(g). Blocks of the sorted keys are walked at once: a
// first pass counts what each block adds. `scratch`, if it has a word per
// text, holds the sort's prefixes (see sorted_keys, and `prefixed`), then the
// sorted order in the first half of its bytes; `code` may put to the other
// half.
template <class Codes>
ForwardDict number_sorted(const std::vector<std::string_view>& texts, Codes code, std::span<std::uint64_t> scratch,
                          bool prefixed) {
  const std::size_t n = texts.size();
  const std::size_t blocks = std::max<std::size_t>(1, std::min<std::size_t>(n / 4096, 256));
  auto bound = [&](std::size_t b) { return n * b / blocks; };
  struct Tally {
    std::size_t texts = 0, coded = 0, bytes = 0;
  };
  std::vector<Tally> before(blocks + 1);  // what the blocks before block b add
  // All that numbering needs of the sorted keys: each one's text, and
  // whether it starts a new text. The keys are gone before the dictionary is
  // made, which keeps the two from adding up at the peak.
  const Words group_room(scratch, (n + 1) / 2);
  const Halfwords group(group_room.data());
  UnfilledVector<std::uint8_t> starts;
  {
    SortedKeys sorted = sorted_keys(texts, scratch, prefixed);
    const auto& keys = sorted.keys;
    const KeyOrder order(texts, sorted.from);
    starts = std::move(sorted.starts);
    tbb::parallel_for(std::size_t{0}, blocks, [&](std::size_t b) {
      Tally& t = before[b + 1];
      const std::size_t end = bound(b + 1);
      for (std::size_t i = bound(b); i < end; ++i) {
        const SortKey& k = keys[i];
        group.set(i, k.group);
        if (!starts[i]) continue;
        // A text itself is read only where its length is a marker's.
        const std::size_t size = order.size(k);
        ++t.texts;
        t.coded += !((size == 3 || size == 4) && is_marker(order.text(k)));
        t.bytes += size;
      }
    });
  }
  for (std::size_t b = 1; b <= blocks; ++b) {
    before[b].texts += before[b - 1].texts;
    before[b].coded += before[b - 1].coded;
    before[b].bytes += before[b - 1].bytes;
  }
  ForwardDict dict;
  dict.resize_numbered(before[blocks].texts, before[blocks].bytes);
  std::vector<std::vector<std::size_t>> markers(blocks);  // entries without a code
  tbb::parallel_for(std::size_t{0}, blocks, [&](std::size_t b) {
    std::size_t entry = before[b].texts, at = before[b].bytes;
    std::uint64_t next = before[b].coded;
    const std::size_t from = bound(b), to = bound(b + 1);
    // A block may start inside a run of equal texts, whose code is that of
    // the last text started before it.
    double current = kMissing;
    if (from < to && !starts[from]) {
      std::size_t run = from;
      while (!starts[run]) --run;
      if (!is_marker(texts[group[run]])) current = static_cast<double>(next - 1);
    }
    for (std::size_t i = from; i < to; ++i) {
      // Sorted order visits the texts and the codes at random addresses.
      if (i + 2 * kPrefetch < to) __builtin_prefetch(&texts[group[i + 2 * kPrefetch]]);
      if (i + kPrefetch < to) {
        __builtin_prefetch(texts[group[i + kPrefetch]].data());
        __builtin_prefetch(code.word(group[i + kPrefetch]), 1);
      }
      const std::size_t g = group[i];
      if (starts[i]) {
        const std::string_view text = texts[g];
        dict.set_text(entry, at, text);
        if (is_marker(text)) {
          markers[b].push_back(entry);
          current = kMissing;
        } else {
          current = static_cast<double>(next++);
        }
        ++entry;
        at += text.size();
      }
      code.put(g, current);
    }
  });
  std::vector<std::size_t> uncoded;
  for (const auto& m : markers) uncoded.insert(uncoded.end(), m.begin(), m.end());
  dict.set_uncoded(std::move(uncoded));
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
// u), and only those are sorted. code.put(u) takes the code of entries[u].
// The hashes are held in `scratch` if it has a word per entry, which `code`
// may put to: they are done with first.
template <class Codes>
ForwardDict number_by_hashing(const std::vector<std::string_view>& entries, Codes code,
                              std::span<std::uint64_t> scratch) {
  const std::size_t n = entries.size();
  const std::uint64_t seed = random_seed();
  Words hashes(scratch, n);
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
  hashes.release();  // not needed while the distinct texts are sorted
  std::vector<double> code_of_group(distinct.size());
  ForwardDict dict = number_sorted(distinct, WideCodes{code_of_group.data(), 1}, {}, false);
  for (std::size_t u = 0; u < n; ++u) code.put(u, code_of_group[group[u]]);
  return dict;
}

}  // namespace

ForwardDict label_encode_into(TextColumn& column, double* out, std::size_t stride) {
  const BlockReuse reuse;  // the sort's keys become the dictionary's bytes
  const std::size_t n = column.texts.size();
  const bool prefixed = column.prefixes.size() == n;
  // Mostly distinct texts are sorted as they are: hashing them first would
  // find little to merge.
  auto number = [&](auto code, std::span<std::uint64_t> scratch) {
    return mostly_distinct(column.texts) ? number_sorted(column.texts, code, scratch, prefixed)
                                         : number_by_hashing(column.texts, code, scratch);
  };
  if (column.entries_are_rows) {
    UnfilledVector<std::uint64_t> prefixes = std::move(column.prefixes);
    return number(WideCodes{out, stride}, prefixed ? std::span(prefixes) : std::span<std::uint64_t>());
  }
  // A word per entry holds the sort's prefixes or the hashes first, then the
  // sorted order in the first half of its bytes and the entries' codes in the
  // other: none of the four adds to the others.
  UnfilledVector<std::uint64_t> words = prefixed ? std::move(column.prefixes) : UnfilledVector<std::uint64_t>(n);
  const NarrowCodes code_of_entry{Halfwords(reinterpret_cast<std::byte*>(words.data()) + n * sizeof(std::uint32_t))};
  ForwardDict dict = number(code_of_entry, words);
  const auto& parts = column.part_starts;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, column.rows),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      // The part of the range's first row, and the parts after it.
                      auto next = std::upper_bound(parts.begin(), parts.end(), r.begin(),
                                                   [](std::size_t row, const TextColumn::PartStart& p) {
                                                     return row < p.row;
                                                   });
                      std::uint32_t base = next == parts.begin() ? 0 : std::prev(next)->base;
                      for (std::size_t i = r.begin(); i != r.end();) {
                        const std::size_t stop = next == parts.end() ? r.end() : std::min(r.end(), next->row);
                        for (; i != stop; ++i) {
                          double* cell = out + i * stride;
                          *cell = code_of_entry[base + entry_in(cell)];
                        }
                        if (next != parts.end()) base = (next++)->base;
                      }
                    });
  return dict;
}

LabelEncoded label_encode(std::span<const std::string_view> column) {
  TextColumn c;
  c.texts.assign(column.begin(), column.end());
  c.rows = column.size();
  c.entries_are_rows = true;
  LabelEncoded result;
  result.codes.resize(column.size());
  result.dictionary = label_encode_into(c, result.codes.data(), 1);
  return result;
}

ReverseDict reverse_of(const ForwardDict& forward) {
  if (auto shared = ReverseDict::of(forward)) return std::move(*shared);
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
