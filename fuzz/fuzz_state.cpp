// libFuzzer target: arbitrary bytes into the state reader. A rejected input
// must come back as StateError; an accepted one must survive write/read
// unchanged.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "check.hpp"
#include "api/state_bytes.hpp"

namespace {

using dorvik::EncoderState;
using dorvik::EncodingInfo;

// The state with map order taken out: what equality means for it.
struct Plain {
  bool fitted = false;
  std::vector<std::size_t> columns;
  std::map<std::size_t, std::map<std::string, std::optional<std::uint64_t>>> forward;
  std::map<std::size_t, std::map<std::uint64_t, std::string>> reverse;
  bool operator==(const Plain&) const = default;
};

Plain plain(const EncoderState& s) {
  Plain p;
  if (!s.encoding_info) return p;
  const EncodingInfo& info = *s.encoding_info;
  p.fitted = true;
  p.columns = info.text_columns;
  for (const auto& [col, d] : info.text_to_code) {
    auto& m = p.forward[col];
    for (std::size_t i = 0; i < d.size(); ++i) {
      // The reader merges repeated texts, so every text is there once.
      CHECK(m.emplace(std::string(d.text(i)), d.code(i)).second);
    }
  }
  for (const auto& [col, d] : info.code_to_text) {
    auto& m = p.reverse[col];
    for (std::size_t i = 0; i < d.size(); ++i) {
      CHECK(m.emplace(d.code(i), std::string(d.text(i))).second);
      // Decoding looks codes up by index or through the hash index.
      CHECK(d.find(d.code(i)) == std::optional<std::size_t>(i));
    }
  }
  return p;
}

bool at_most_one_column(const EncoderState& s) {
  return !s.encoding_info ||
         (s.encoding_info->text_to_code.size() <= 1 && s.encoding_info->code_to_text.size() <= 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  EncoderState state;
  try {
    state = dorvik::read_state(input);
  } catch (const dorvik::StateError& e) {
    CHECK(*e.what() != '\0');
    return 0;
  }
  const std::string once = dorvik::write_state(state);
  CHECK(once.size() <= size);  // repeated keys are written once, the rest as read
  EncoderState again;
  try {
    again = dorvik::read_state(once);
  } catch (const dorvik::StateError& e) {
    std::fprintf(stderr, "written state refused: %s\n", e.what());
    std::abort();
  }
  CHECK(plain(again) == plain(state));
  const std::string twice = dorvik::write_state(again);
  CHECK(twice.size() == once.size());
  // Entries within a column keep their order; only the order of the columns
  // themselves may change between writes.
  if (at_most_one_column(state)) CHECK(twice == once);
  // The writer's size is exact: the strategy index is its last 4 bytes.
  bool short_refused = false;
  try {
    dorvik::read_state(std::string_view(once).substr(0, once.size() - 1));
  } catch (const dorvik::StateError&) {
    short_refused = true;
  }
  CHECK(short_refused);
  return 0;
}
