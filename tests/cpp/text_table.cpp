// A text table whose offsets leave 8 bits past 255 bytes of texts, as the
// real one leaves 32 past 4 GiB: every way of filling it, across that point
// and short of it.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/text_table.hpp"

namespace {

using Table = dorvik::BasicTextTable<std::uint8_t>;

int failures = 0;

void expect(const Table& t, const std::vector<std::string>& texts, const char* what) {
  bool ok = t.size() == texts.size();
  std::size_t bytes = 0;
  for (std::size_t i = 0; ok && i < texts.size(); ++i) {
    ok = t[i] == texts[i];
    bytes += texts[i].size();
  }
  if (!ok || t.bytes() != bytes) {
    std::fprintf(stderr, "wrong texts: %s\n", what);
    ++failures;
  }
}

Table pushed(const std::vector<std::string>& texts, std::size_t reserve_count, std::size_t reserve_bytes) {
  Table t;
  t.reserve(reserve_count, reserve_bytes);
  for (const std::string& s : texts) t.push_back(s);
  return t;
}

// Each text placed with set(), last first, as parallel numbering may.
Table placed(const std::vector<std::string>& texts) {
  std::size_t bytes = 0;
  for (const std::string& s : texts) bytes += s.size();
  Table t;
  t.resize(texts.size(), bytes);
  for (std::size_t i = texts.size(); i-- > 0;) {
    bytes -= texts[i].size();
    t.set(i, bytes, texts[i]);
  }
  return t;
}

}  // namespace

int main() {
  // 300 bytes: the fifth text ends past 255.
  const std::vector<std::string> past = {std::string(100, 'a'), "", std::string(150, 'b'), "cd",
                                         std::string(47, 'e'), "f", ""};
  const std::vector<std::string> within = {std::string(200, 'a'), "", std::string(55, 'b')};  // 255 bytes
  const std::vector<std::string> one_past = {std::string(255, 'a'), "b"};
  expect(pushed(past, 0, 0), past, "appended across the limit");
  expect(pushed(past, past.size(), 300), past, "reserved past the limit");
  expect(pushed(past, 2, 100), past, "reserved short of the limit, appended past it");
  expect(pushed(within, 0, 0), within, "appended up to the limit");
  expect(pushed(one_past, 0, 0), one_past, "appended one byte past the limit");
  expect(placed(one_past), one_past, "placed one byte past the limit");
  expect(placed(past), past, "placed past the limit");
  expect(placed(within), within, "placed up to the limit");
  const Table wide = placed(past);
  Table copy = wide;
  copy.push_back("rs");
  std::vector<std::string> longer = past;
  longer.push_back("rs");
  expect(copy, longer, "a copy of a wide table, appended to");
  expect(wide, past, "the table copied");
  expect(Table{}, {}, "an empty table");
  return failures == 0 ? 0 : 1;
}
