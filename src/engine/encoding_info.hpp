// The fitted dictionaries of one Encoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "engine/dictionary.hpp"

namespace dorvik {

struct EncodingInfo {
  std::vector<std::size_t> text_columns;  // ascending when built by encode
  std::unordered_map<std::size_t, ForwardDict> text_to_code;
  std::unordered_map<std::size_t, ReverseDict> code_to_text;
};

// The only strategy; it exists for the pickled form and the constructor.
enum class EncodingStrategy : std::uint32_t { Label = 0 };

}  // namespace dorvik
