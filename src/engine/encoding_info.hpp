// The fitted dictionaries of one Encoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace dorvik {

// A column's forward dictionary: every distinct text, with its code; the
// missing-value markers have none.
using ForwardDict = std::unordered_map<std::string, std::optional<std::uint64_t>>;
// A column's reverse dictionary: every code with its text.
using ReverseDict = std::unordered_map<std::uint64_t, std::string>;

struct EncodingInfo {
  std::vector<std::size_t> text_columns;  // ascending when built by encode
  std::unordered_map<std::size_t, ForwardDict> text_to_code;
  std::unordered_map<std::size_t, ReverseDict> code_to_text;
};

// The only strategy; it exists for the pickled form and the constructor.
enum class EncodingStrategy : std::uint32_t { Label = 0 };

}  // namespace dorvik
