// libFuzzer target: bytes into a text column, label-encoded and checked
// against a plain std::map of the distinct texts.
//
// Input: byte 0 picks the expansion, byte 1 its factor, the rest is the
// column's texts separated by 0xFF (a byte UTF-8 never holds).
//   byte 0 % 8 == 6: each text repeated, cells interleaved: many cells per
//                    text, the hashing path
//   byte 0 % 8 == 7: variants of the texts with a numbered suffix, at least
//                    16Ki cells of mostly distinct texts: the sort path;
//                    with bit 4 set, at least 136Ki: the sort ranks bytes
//                    by a sample of the keys
//   otherwise:       the texts as they are (most inputs: large ones are slow)
// Bit 3 of byte 0 makes cells share entries, as repeated Python objects do
// in the cell reader, with the reader's prefixes where byte 1 is odd; bit 5
// encodes the cells once more with those prefixes.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "engine/hash.hpp"
#include "engine/label_encode.hpp"
#include "engine/pool.hpp"
#include "engine/text_sort.hpp"

namespace {

constexpr std::size_t kSortPathCells = 16 * 1024;
constexpr std::size_t kSampledSortCells = 136 * 1024;

std::vector<std::string> split_texts(std::string_view rest) {
  std::vector<std::string> texts;
  if (rest.empty()) return texts;
  for (;;) {
    const std::size_t at = rest.find('\xff');
    texts.emplace_back(rest.substr(0, at));
    if (at == std::string_view::npos) break;
    rest.remove_prefix(at + 1);
  }
  return texts;
}

std::vector<std::string> expand(const std::vector<std::string>& texts, unsigned mode, unsigned factor) {
  const unsigned kind = mode % 8;
  if (texts.empty() || kind < 6) return texts;
  std::vector<std::string> cells;
  if (kind == 6) {
    // Up to ~16k cells per text, 32Ki in all.
    const std::size_t times = std::max<std::size_t>(1, std::min<std::size_t>(1 + factor * 64, 32768 / texts.size()));
    cells.reserve(texts.size() * times);
    for (std::size_t r = 0; r < times; ++r) cells.insert(cells.end(), texts.begin(), texts.end());
    return cells;
  }
  // Variant 0 is the text itself, so markers stay in.
  const std::size_t total = (mode & 16 ? kSampledSortCells : kSortPathCells) + factor * 16;
  cells.reserve(total);
  for (std::size_t i = 0; i < total; ++i) {
    std::string t = texts[i % texts.size()];
    const std::size_t variant = i / texts.size();
    if (variant != 0) {
      t += static_cast<char>(factor & 0x7F);  // suffix bytes below and above 0x80
      for (std::size_t v = variant; v != 0; v >>= 7) t += static_cast<char>(0x80 | (v & 0x7F));
    }
    cells.push_back(std::move(t));
  }
  return cells;
}

bool is_quiet_nan(double d) { return std::bit_cast<std::uint64_t>(d) == 0x7FF8000000000000ull; }

bool marker(const std::string& t) { return t == "nan" || t == "NaN" || t == "<NA>"; }

// Code of every distinct text in byte order (std::string compares bytes as
// unsigned char), markers without one.
std::map<std::string, std::optional<std::uint64_t>> oracle(const std::vector<std::string>& cells) {
  std::map<std::string, std::optional<std::uint64_t>> codes;
  for (const auto& c : cells) codes.emplace(c, std::nullopt);
  std::uint64_t next = 0;
  for (auto& [t, code] : codes) {
    if (!marker(t)) code = next++;
  }
  return codes;
}

void check_dictionary(const dorvik::ForwardDict& dict,
                      const std::map<std::string, std::optional<std::uint64_t>>& expected) {
  CHECK(dict.size() == expected.size());
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < dict.size(); ++i) {
    const auto it = expected.find(std::string(dict.text(i)));
    CHECK(it != expected.end());
    CHECK(dict.code(i) == it->second);
    bytes += dict.text(i).size();
  }
  CHECK(dict.text_bytes() == bytes);  // so every text is there once
  const dorvik::ReverseDict reverse = dorvik::reverse_of(dict);
  std::size_t coded = 0;
  for (const auto& [t, code] : expected) {
    if (!code) continue;
    ++coded;
    const auto i = reverse.find(*code);
    CHECK(i && reverse.text(*i) == t);
  }
  CHECK(reverse.size() == coded);
  std::size_t coded_bytes = 0;
  for (std::size_t i = 0; i < reverse.size(); ++i) {
    CHECK(reverse.find(reverse.code(i)) == i);
    coded_bytes += reverse.text(i).size();
  }
  CHECK(reverse.text_bytes() == coded_bytes);
}

void check_codes(const std::vector<std::string>& cells, const double* codes, std::size_t stride,
                 const std::map<std::string, std::optional<std::uint64_t>>& expected) {
  for (std::size_t r = 0; r < cells.size(); ++r) {
    const double got = codes[r * stride];
    const auto want = expected.at(cells[r]);
    if (want) {
      CHECK(got == static_cast<double>(*want));
    } else {
      CHECK(is_quiet_nan(got));
    }
  }
}

// A text's hash and byte equality depend on its bytes alone: not on where
// they lie, nor on the bytes around them.
void check_hashing(const std::vector<std::string>& texts) {
  for (const std::string& t : texts) {
    for (const char around : {'\0', '\xff'}) {
      std::string padded(17, around);
      padded += t;
      padded.append(17, around);
      const std::string_view copy = std::string_view(padded).substr(17, t.size());
      CHECK(dorvik::hash_bytes(copy, 7) == dorvik::hash_bytes(t, 7));
      CHECK(dorvik::same_bytes(copy, t));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const unsigned mode = data[0];
  const unsigned factor = data[1];
  const std::vector<std::string> cells =
      expand(split_texts(std::string_view(reinterpret_cast<const char*>(data) + 2, size - 2)), mode,
             factor);
  const auto expected = oracle(cells);
  if (mode % 8 < 6) check_hashing(cells);

  std::vector<std::string_view> views(cells.begin(), cells.end());
  dorvik::LabelEncoded plain;
  dorvik::run_in_pool([&] { plain = dorvik::label_encode(views); });
  CHECK(plain.codes.size() == cells.size());
  check_codes(cells, plain.codes.data(), 1, expected);
  check_dictionary(plain.dictionary, expected);

  if (mode & 32) {
    // The same cells with the prefixes a cell reader hands on.
    dorvik::TextColumn column;
    column.texts = views;
    column.rows = views.size();
    column.entries_are_rows = true;
    for (std::string_view v : views) column.prefixes.push_back(dorvik::prefix_at(v, 0));
    std::vector<double> out(views.size());
    dorvik::ForwardDict dict;
    dorvik::run_in_pool([&] { dict = dorvik::label_encode_into(column, out.data(), 1); });
    check_codes(cells, out.data(), 1, expected);
    check_dictionary(dict, expected);
  }

  if (mode & 8) {
    // Cells sharing entries: entry e stands for every cell equal to it
    // modulo the entry count, written into a strided buffer.
    dorvik::TextColumn column;
    const std::size_t entries = cells.empty() ? 0 : 1 + (factor % cells.size());
    std::vector<std::string> shared_cells;
    for (std::size_t e = 0; e < entries; ++e) column.texts.push_back(cells[e]);
    if (factor & 1) {
      for (std::string_view t : column.texts) column.prefixes.push_back(dorvik::prefix_at(t, 0));
    }
    column.rows = cells.size();
    constexpr std::size_t stride = 3;
    std::vector<double> out(cells.size() * stride, -1.0);
    for (std::size_t r = 0; r < cells.size(); ++r) {
      dorvik::put_entry(&out[r * stride], static_cast<std::uint32_t>(r % entries));
      shared_cells.push_back(cells[r % entries]);
    }
    const auto shared_expected = oracle(shared_cells);
    dorvik::ForwardDict dict;
    dorvik::run_in_pool([&] { dict = dorvik::label_encode_into(column, out.data(), stride); });
    check_codes(shared_cells, out.data(), stride, shared_expected);
    check_dictionary(dict, shared_expected);
    for (std::size_t i = 0; i < out.size(); ++i) {
      if (i % stride != 0) CHECK(out[i] == -1.0);  // nothing written between rows
    }
  }
  return 0;
}
